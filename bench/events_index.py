"""`make bench` rows for the index over the event log (BENCH_ONLY=index):
the page's lists over 10,000 and 1,000,000 alarm events (four cameras,
incidents of 50 pictures, spread over 87 days, parts of 16 MB, most
compressed), served on 127.0.0.1 as the command serves them: recent
events, a day three months back, one camera's type that day, incidents,
a page far back by its cursor. The bar: under 100 ms (p95). Also the
index's size on disk and its cost per event written: made whole from the
log, and kept up as lines are appended.

BENCH_INDEX_EVENTS: event counts (default 10000,1000000)."""
import json
import os
import statistics
import time
import urllib.parse
import urllib.request

from visionengin_cli.events.index_place import index_path
from visionengin_cli.web.command import serve_in_background
from visionengin_cli.web.results import ResultsRoot
from host.web.event_logs import ALARM, iso, make_log

COUNTS = [int(n) for n in os.environ.get("BENCH_INDEX_EVENTS", "10000,1000000").split(",")]
DAYS, REQUESTS, APPENDED = 87, 40, 10000


def timed(url):
    took = []
    for i in range(REQUESTS + 3):
        started = time.perf_counter()
        with urllib.request.urlopen(url, timeout=30) as response:
            answer = json.loads(response.read())
        if i >= 3:
            took.append((time.perf_counter() - started) * 1000)
    assert answer.get("complete"), answer.get("reason")
    return statistics.median(took), sorted(took)[int(len(took) * 0.95) - 1]


def build(root):
    """Seconds to make the index whole from the log."""
    reader = ResultsRoot(root)
    started = time.perf_counter()
    while True:
        with reader.index.lock:
            reader.index._step(4 << 20)
        if reader.index.pending == 0:
            return reader, time.perf_counter() - started


def bench(row, log, work):
    os.environ["XDG_CACHE_HOME"] = os.path.join(work, "index-cache")
    os.environ.pop("STATE_DIRECTORY", None)
    for count in COUNTS:
        root = os.path.join(work, "index-root-%d" % count)
        end = time.time() - 3600
        log("event index: %d events" % count)
        make_log(root, count, max(1, count // 50), DAYS, end)
        reader, took = build(root)
        path = index_path(os.path.realpath(root), "device", os.environ)
        size = sum(os.path.getsize(path + s) for s in ("", "-wal") if os.path.exists(path + s))
        row("event index made from the log, %d events" % count, "%.1f us/event" % (took * 1e6 / count), "",
            note="%.1f s in all" % took)
        row("event index on disk, %d events" % count, "%.0f MB" % (size / 1e6), "",
            note="%.0f bytes/event" % (size / count))
        with open(os.path.join(root, "events.jsonl"), "a") as current:
            for i in range(APPENDED):
                current.write(ALARM % (10 ** 8 + i, iso(end + i * 0.1), "gate", "motion", "gate", "motion", i, 0.5))
        started = time.perf_counter()
        while True:
            with reader.index.lock:
                reader.index._step(4 << 20)
            if reader.index.pending == 0:
                break
        row("event index kept up, %d lines appended to %d events" % (APPENDED, count),
            "%.1f us/event" % ((time.perf_counter() - started) * 1e6 / APPENDED), "")
        served = serve_in_background(root, "127.0.0.1:0")
        try:
            back = end - 85 * 86400

            def q(moment):
                return urllib.parse.quote(iso(moment), safe="")
            with urllib.request.urlopen(served.url + "api/incidents?limit=1000", timeout=60) as response:
                far = json.loads(response.read())["next"]
            for label, path in (
                    ("/api/events?limit=100", "api/events?limit=100"),
                    ("/api/events, a day 85 days back", "api/events?limit=1000&since=%s&until=%s" % (
                        q(back), q(back + 86400))),
                    ("/api/events?camera&info_type, that day", "api/events?limit=1000&camera=gate&info_type=face"
                     "&since=%s&until=%s" % (q(back), q(back + 86400))),
                    ("/api/incidents?limit=50", "api/incidents?limit=50"),
                    ("/api/incidents?camera, a page by its cursor", "api/incidents?camera=yard&limit=100" +
                     ("&before=" + far if far else "")),
                    ("status page load (/)", None)):
                if path is None:
                    took_ms = []
                    for _ in range(REQUESTS):
                        started = time.perf_counter()
                        with urllib.request.urlopen(served.url, timeout=30) as response:
                            response.read()
                        took_ms.append((time.perf_counter() - started) * 1000)
                    median, p95 = statistics.median(took_ms), sorted(took_ms)[int(len(took_ms) * 0.95) - 1]
                else:
                    median, p95 = timed(served.url + path)
                row("%s, %d events" % (label, count), "%.1f ms median, %.1f ms p95" % (median, p95), "",
                    note="bar 100 ms (p95)" + (": over" if p95 > 100 else ""))
        finally:
            served.stop()
