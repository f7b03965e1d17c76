"""`visionengin videos --ray auto` on a real two-node Ray cluster started by the
test. Ray binds to the machine's interface address whatever it is told, so the
cluster and the command run in a network and PID namespace of their own: the
traffic stays on its loopback and every Ray process ends with it (never `ray
stop`, which would end Ray processes machine-wide by name)."""
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from .conftest import events_of, status_of
from .test_videos import check_results

pytestmark = pytest.mark.slow  # starts servers or processes

SCRIPT = pathlib.Path(__file__).with_name("ray_cluster.sh")
BIN = pathlib.Path(sys.executable).parent


def skip_reason():
    if importlib.util.find_spec("ray") is None:
        return "Ray is installed for the tests on one interpreter only (requirements-dev.txt)"
    if os.geteuid() != 0:
        return "needs root to make the cluster's network and PID namespace"
    if not (shutil.which("unshare") and shutil.which("ip")):
        return "needs unshare (util-linux) and ip (iproute2)"
    return None


@pytest.mark.skipif(skip_reason() is not None, reason=skip_reason() or "")
@pytest.mark.timeout(300)
def test_a_two_node_cluster_analyses_the_collection_and_a_rerun_skips_it(collection, tmp_path):
    videos, broken = collection
    root, out = tmp_path / "results", tmp_path / "out"
    out.mkdir()
    subprocess.run(["unshare", "--net", "--pid", "--fork", "--mount-proc", "bash", str(SCRIPT),
                    str(BIN), str(out), str(videos), "--results", str(root), "-t", "2",
                    "--cache", str(tmp_path / "cache")],
                   check=True, timeout=280, stdin=subprocess.DEVNULL)
    logs = {path.name: path.read_text() for path in out.iterdir()}
    assert logs["nodes"].strip() == "2", logs
    assert logs["status1"].strip() == "1", logs  # the broken file
    assert "3 videos analysed" in logs["out1"] and "failed: {}".format(broken) in logs["out1"]
    events = check_results(root, broken)
    assert all(s["attempts"] == 1 for s in status_of(root).values() if s["state"] == "done")
    assert logs["status2"].strip() == "1" and "3 skipped" in logs["out2"], logs
    assert events_of(root) == events
