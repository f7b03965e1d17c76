#!/bin/bash
# Run as PID 1 of a network, PID and mount namespace of its own: a two-node Ray
# cluster on the namespace's loopback, then `visionengin videos --ray auto`
# twice. Every Ray process ends with this script (the namespace's init).
# Arguments: BIN (the venv's bin folder) OUT (folder for logs and exit
# statuses) then the arguments of `visionengin videos`.
set -eu
BIN=$1 OUT=$2
shift 2
ip link set lo up
mkdir -p /tmp/ray
mount -t tmpfs -o size=1g tmpfs /tmp/ray  # this cluster's sessions and sockets only
export RAY_USAGE_STATS_ENABLED=0
common=(--num-cpus=1 --node-ip-address=127.0.0.1 --object-store-memory=100000000 --disable-usage-stats)
"$BIN/ray" start --head --port=6379 --include-dashboard=false "${common[@]}" >"$OUT/head.log" 2>&1
"$BIN/ray" start --address=127.0.0.1:6379 "${common[@]}" >"$OUT/node.log" 2>&1
"$BIN/python" -c 'import ray; ray.init("auto", logging_level="ERROR"); print(sum(n["Alive"] for n in ray.nodes()))' >"$OUT/nodes" 2>>"$OUT/node.log"
for run in $(seq "${RUNS:-2}"); do
    status=0
    "$BIN/visionengin" videos "$@" --ray auto >"$OUT/out$run" 2>"$OUT/err$run" || status=$?
    echo "$status" >"$OUT/status$run"
done
