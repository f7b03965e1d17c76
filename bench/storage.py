"""`make bench`, section "storage": what keeping pictures for months costs.

- A retention pass over 1,000,000 stored pictures against the same pass over
  100: 8 camera folders with a ledger of 30 days of hour folders each
  (ledger-only: the hour folders exist on disk but hold no files, so the
  setup is cheap; a pass never looks inside a closed hour folder it keeps).
  Each pass has to free space, so it removes the oldest hour folders.
  Time per pass (median) and the memory it allocates (tracemalloc peak).
- A pass that has to thin the hour still being written: 8 cameras with
  3,600 pictures each in it (an hour at one alarm a second), small files;
  each pass frees 8 pictures' worth, taken oldest first across the cameras.
- Per alarm picture, in one process: writing the engine's 1280x720 picture
  (encoding included) through the checked writes, against what the camera
  adds around it: the dated name, the move into the hour folder, the event
  line and the ledger entry. CPU time over BENCH_STORAGE_PICTURES pictures.
"""
import json
import os
import statistics
import time
import tracemalloc
from pathlib import Path

import cv2
import numpy as np

from visionengin_cli.events.log import EventLog
from visionengin_cli.storage.layout import hour_key, hour_start, picture_name
from visionengin_cli.storage.ledger import Ledger
from visionengin_cli.engine.writes import EngineWrites
from visionengin_cli.storage.pictures import Mover, Trouble
from visionengin_cli.storage.retention import Retention
from visionengin_cli.storage.settings import Storage

PICTURES = int(os.environ.get("BENCH_STORAGE_PICTURES", "300"))
CAMERAS, HOURS = 8, 30 * 24


def synthesise(root, pictures):
    """8 camera folders whose ledgers hold ``pictures`` over 30 days."""
    now = time.time()
    per_hour = max(1, pictures // (CAMERAS * HOURS))
    for c in range(CAMERAS):
        folder = root / ("cam%d" % c)
        hours = {}
        for h in range(HOURS, 0, -1):
            key = hour_key(now - h * 3600)
            (folder / key).mkdir(parents=True, exist_ok=True)
            hours[key] = [per_hour * 150_000, per_hour, now - h * 3600, True]
        (folder / "ledger.json").write_text(json.dumps({"camera": "cam%d" % c, "removed": 0,
                                                        "hours": hours}))
    return per_hour * CAMERAS * HOURS


def retention_pass(root, pictures, passes=6):
    stored = synthesise(root, pictures)
    load_started = time.perf_counter()
    ledgers = {("cam%d" % c): Ledger(str(root / ("cam%d" % c)), "cam%d" % c).load() for c in range(CAMERAS)}
    load = time.perf_counter() - load_started
    used = sum(ledger.total()[0] for ledger in ledgers.values())
    times, peaks = [], []
    for i in range(passes):
        # each pass must remove one hour folder per camera's worth of bytes
        storage = Storage(max_size=used * (1 - (i + 1) / (HOURS * 2)), min_free=("bytes", 0.0))
        retention = Retention(str(root), storage)
        for name, ledger in ledgers.items():
            retention.own(name, ledger)
        if i == passes - 1:  # the memory in a pass of its own: tracemalloc slows Python down
            tracemalloc.start()
            retention.run_pass()
            peaks.append(tracemalloc.get_traced_memory()[1])
            tracemalloc.stop()
        else:
            started = time.perf_counter()
            retention.run_pass()
            times.append(time.perf_counter() - started)
    return stored, statistics.median(times), max(peaks), load


def thinning_pass(root, per_camera=3600, passes=6):
    now = time.time()
    start = hour_start(hour_key(now))
    ledgers = {}
    for c in range(CAMERAS):
        ledger = ledgers["cam%d" % c] = Ledger(str(root / ("cam%d" % c)), "cam%d" % c)
        for n in range(per_camera):
            when = start + (now - start) * n / per_camera
            key, name = picture_name(when, "motion", n)
            os.makedirs(os.path.join(ledger.folder, key), exist_ok=True)
            with open(os.path.join(ledger.folder, key, name), "wb") as file:
                file.write(b"x" * 100)
            ledger.add(key + "/" + name, 100, when)
    used = sum(ledger.total()[0] for ledger in ledgers.values())
    times = []
    for i in range(passes):
        for ledger in ledgers.values():
            ledger.take_added()  # no headroom for pictures to come: only what the limit asks
        retention = Retention(str(root), Storage(max_size=used - 800 * (i + 1), min_free=("bytes", 0.0)))
        for name, ledger in ledgers.items():
            retention.own(name, ledger)
        started = time.perf_counter()
        retention.run_pass()
        times.append(time.perf_counter() - started)
    return statistics.median(times)


def picture_costs(root):
    picture = cv2.resize(cv2.imread(str(Path(__file__).resolve().parents[1] / "tests" / "data" / "fruits.jpg")),
                         (1280, 720))
    camera = root / "cam"
    (camera / "rtsp_result").mkdir(parents=True)
    trouble = Trouble("alarm pictures")
    writes = EngineWrites(cv2, trouble)
    mover, events, ledger = Mover(str(camera), trouble), EventLog(str(root)), Ledger(str(camera), "cam")
    write_cpu = around_cpu = 0.0
    size = 0
    with writes:
        for n in range(1, PICTURES + 1):
            path = str(camera / "rtsp_result" / ("motion-%d.jpg" % n))
            started = time.process_time()
            cv2.imwrite(path, picture)
            write_cpu += time.process_time() - started
            started = time.process_time()
            (written, size), = writes.take()[0]
            now = time.time()
            moved = mover.move(written, now, "motion", n)
            ledger.add(moved, size, now)
            events.write("cam", {"time": now, "info_type": "motion", "picture": moved,
                                 "behavior_number": 5000001, "score": 0.9})
            around_cpu += time.process_time() - started
    events.close()
    return write_cpu / PICTURES, around_cpu / PICTURES, size


def bench(row, log, work):
    for pictures in (100, 1_000_000):
        root = Path(work) / ("retention-%d" % pictures)
        stored, took, peak, load = retention_pass(root, pictures)
        log("storage: %d pictures stored, pass %.2f ms" % (stored, took * 1000))
        row("retention pass, %s pictures stored (8 cameras x 30 days of hour folders)" % format(stored, ","),
            "%.1f ms" % (took * 1000), "", "",
            "median of 5 passes, each removing the oldest hour folders; %.0f KiB allocated at most; "
            "ledger-only (hour folders empty on disk); loading the 8 ledgers at start %.0f ms" % (
                peak / 1024, load * 1000))
    took = thinning_pass(Path(work) / "thinning")
    log("storage: thinning pass %.2f ms" % (took * 1000))
    row("retention pass thinning the hour being written (8 cameras x 3,600 pictures)", "%.1f ms" % (took * 1000),
        "", "", "median of 6 passes, each removing the 8 oldest pictures across the cameras")
    write, around, size = picture_costs(Path(work) / "pictures")
    row("per alarm picture: name, move, event, ledger", "%.3f ms CPU" % (around * 1000),
        "%.3f ms CPU" % (write * 1000), "%.3f" % (around / write),
        "plain column: writing the 1280x720 picture itself (encoding included, %d KB) through the "
        "checked writes; %d pictures" % (size // 1000, PICTURES))
