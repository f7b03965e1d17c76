"""`make bench` row, section "fleetpage": the status page over a collector's
root of 1,000 devices of 4 cameras (BENCH_FLEET_PAGE_DEVICES), the root
built directly on disk as `visionengin collect` lays it out (fleet.json, per
device device.json, events.jsonl with a few incidents, each camera's
status.json), the page then asked for in-process through the ASGI app, no
network: the time of one page, median and worst of BENCH_FLEET_PAGE_RUNS;
once over a quiet fleet (its files older than the page's two seconds of
doubt, the event index caught up with their logs), once while BENCH_FLEET_PAGE_CHANGED devices' device.json are
rewritten between two pages (what 1,000 talking devices cause: the
collector rewrites each one's every 10 s, the page asks every 2 s)."""
import asyncio
import json
import os
import statistics
import time
from pathlib import Path

from visionengin_cli.web.app import create_app

DEVICES = int(os.environ.get("BENCH_FLEET_PAGE_DEVICES", "1000"))
RUNS = int(os.environ.get("BENCH_FLEET_PAGE_RUNS", "10"))
CHANGED = int(os.environ.get("BENCH_FLEET_PAGE_CHANGED", "200"))
CAMERAS = 4
GOAL_MS = 200


def iso(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime(seconds))


def build(root):
    now = time.time()
    (root / "fleet.json").write_text(json.dumps({"kind": "visionengin-collect", "broker": "127.0.0.1:1883",
                                                 "topic": "visionengin/#", "started": now}))
    for d in range(DEVICES):
        device = root / ("dev%04d" % d)
        device.mkdir()
        (device / "device.json").write_text(json.dumps({
            "availability": "online" if d % 10 else "offline", "last_seen": iso(now - d % 90),
            "last_seen_epoch": now - d % 90, "instance": {"id": "i%d" % d, "started": iso(now - 3600)}}))
        lines = []
        for c in range(CAMERAS):
            camera = "cam%d" % c
            (device / camera).mkdir()
            (device / camera / "status.json").write_text(json.dumps({
                "camera": camera, "state": "streaming", "reported_state": "streaming", "frames": 1000 + d,
                "analysed_fps": 5.0, "alarms": 3, "restarts": 0, "reconnects": 0, "updated": iso(now - 1),
                "last_frame": iso(now - 1), "reason": None}))
            for i in range(2):
                incident = "inc%d-%d-%d" % (d, c, i)
                for kind in ("incident_start", "incident_end"):
                    lines.append(json.dumps({
                        "type": kind, "id": "%s-%s" % (incident, kind), "time": iso(now - 600 + i * 60),
                        "device": device.name, "camera": camera, "incident": incident, "info_type": "motion",
                        "start": iso(now - 600 + i * 60), "end": iso(now - 590 + i * 60), "count": 3,
                        "score": 0.9}))
        (device / "events.jsonl").write_text("\n".join(lines) + "\n")


async def get(app, path):
    scope = {"type": "http", "asgi": {"version": "3.0"}, "http_version": "1.1", "method": "GET",
             "scheme": "http", "path": path.partition("?")[0], "raw_path": path.partition("?")[0].encode(),
             "query_string": path.partition("?")[2].encode(),
             "root_path": "", "headers": [(b"host", b"127.0.0.1")], "client": ("127.0.0.1", 1),
             "server": ("127.0.0.1", 80)}
    answer = {"status": None, "size": 0, "body": b""}

    async def receive():
        return {"type": "http.request", "body": b"", "more_body": False}

    async def send(message):
        if message["type"] == "http.response.start":
            answer["status"] = message["status"]
        elif message["type"] == "http.response.body":
            answer["size"] += len(message.get("body", b""))
            if path.startswith("/api/"):
                answer["body"] += message.get("body", b"")

    await app(scope, receive, send)
    return answer


def rewrite(root, first, count):
    """``count`` devices' device.json rewritten as the collector does, from the ``first``."""
    now = time.time()
    for n in range(first, first + count):
        d = n % DEVICES
        path = root / ("dev%04d" % d) / "device.json"
        tmp = path.with_suffix(".tmp")
        tmp.write_text(json.dumps({"availability": "online" if d % 10 else "offline", "last_seen": iso(now),
                                   "last_seen_epoch": now, "instance": {"id": "i%d" % d}}))
        tmp.replace(path)


def timed(loop, app, runs, between=None):
    times, size = [], 0
    for i in range(runs):
        if between is not None:
            between(i)
        began = time.perf_counter()
        answer = loop.run_until_complete(get(app, "/"))
        if answer["status"] != 200:
            raise RuntimeError("the fleet page answered %s" % answer["status"])
        times.append(time.perf_counter() - began)
        size = answer["size"]
    return times, size


def bench(row, log, work):
    root = Path(work) / "fleet-page"
    root.mkdir()
    started = time.monotonic()
    build(root)
    log("fleet page: %d devices built in %.1f s" % (DEVICES, time.monotonic() - started))
    app = create_app(str(root))
    loop = asyncio.new_event_loop()
    try:
        time.sleep(max(0.0, 2.5 - (time.monotonic() - started)))  # files no longer within the doubt
        timed(loop, app, 1)  # the first reads every file
        deadline = time.monotonic() + 120
        while not json.loads(loop.run_until_complete(get(app, "/api/incidents?limit=1"))["body"])["complete"]:
            if time.monotonic() > deadline:  # the index still catching up: timed as it is
                log("fleet page: the event index did not catch up within 120 s")
                break
            time.sleep(0.2)
        timed(loop, app, 1)  # the index's first look at every log since: each one then known to be quiet
        quiet, size = timed(loop, app, RUNS)
        busy, _ = timed(loop, app, RUNS, lambda i: rewrite(root, i * CHANGED, CHANGED))
    finally:
        loop.close()
    what = "fleet page: %d devices x %d cameras, one page in-process" % (DEVICES, CAMERAS)
    row(what, "%.0f ms (worst %.0f)" % (1000 * statistics.median(quiet), 1000 * max(quiet)), "", "",
        "goal under %d ms; median of %d after the warm-up; %.0f kB of HTML" % (GOAL_MS, RUNS, size / 1024))
    row(what + ", %d devices changed before each" % CHANGED,
        "%.0f ms (worst %.0f)" % (1000 * statistics.median(busy), 1000 * max(busy)), "", "",
        "goal under %d ms; median of %d" % (GOAL_MS, RUNS))
