"""The durability helpers: the event log's flush policy (lines kept through
a SIGKILL; an fdatasync at most once per interval and at the stop), the one
writer of state files on a full disk, and the one time parser refusing bad
times."""
import json
import os
import subprocess
import sys
import threading
import time

import pytest

from visionengin_cli.events.log import EventLog
from visionengin_cli.storage import atomic
from visionengin_cli.storage.flush import Flusher
from visionengin_cli.storage.times import BadTime, epoch, iso

from .test_disk_full import fill

KILLED = """
import os, signal, sys
from visionengin_cli.events.log import EventLog
log = EventLog(sys.argv[1])
for n in range(2000):
    log.append({"type": "alarm", "id": str(n)})
os.kill(os.getpid(), signal.SIGKILL)
"""


@pytest.mark.slow
@pytest.mark.timeout(60)
def test_flush_policy(tmp_path):
    # A process killed right after its writes keeps every line: they are in the page cache.
    done = subprocess.run([sys.executable, "-c", KILLED, str(tmp_path)], timeout=50)
    assert done.returncode == -9
    lines = (tmp_path / "events.jsonl").read_text().splitlines()
    assert [json.loads(line)["id"] for line in lines] == [str(n) for n in range(2000)]
    # fdatasync: at most once per interval while lines come, none while idle, one at the stop.
    synced = []
    lock = threading.Lock()

    def sync(fd):
        with lock:
            synced.append(time.monotonic())
    (tmp_path / "again").mkdir()
    log = EventLog(str(tmp_path / "again"), flusher=Flusher(0.2, sync))
    started = time.monotonic()
    while time.monotonic() - started < 1.0:
        log.append({"type": "alarm", "id": "x"})
        time.sleep(0.002)
    elapsed = time.monotonic() - started
    deadline = time.monotonic() + 10
    while len(synced) < 1 and time.monotonic() < deadline:
        time.sleep(0.05)
    assert 1 <= len(synced) <= elapsed / 0.2 + 1
    time.sleep(0.5)
    idle = len(synced)
    time.sleep(0.5)
    assert len(synced) == idle  # nothing written: no sync, the thread sleeps
    log.append({"type": "alarm", "id": "last"})
    log.close()
    assert len(synced) == idle + 1  # the stop syncs what the interval has not yet


def test_state_file_on_a_full_disk(tmp_path, small_disk):
    disk = small_disk(1)
    path = str(disk / "status.json")
    atomic.replace_json(path, {"state": "streaming", "pad": "x" * 64})
    atomic.replace_json(str(disk / "sinks.json"), {"mqtt": "connected"})
    fill(disk / "other-data")
    # The status is told in place on a full disk; other state files keep their whole previous version.
    atomic.replace_json(path, {"state": "disk full"}, in_place_when_full=True)
    assert json.loads((disk / "status.json").read_text()) == {"state": "disk full"}
    with pytest.raises(OSError):
        atomic.replace_json(str(disk / "sinks.json"), {"mqtt": "x" * 8192})
    assert json.loads((disk / "sinks.json").read_text()) == {"mqtt": "connected"}
    assert sorted(os.listdir(str(disk))) == ["other-data", "sinks.json", "status.json"]  # no temporary left


@pytest.mark.parametrize("bad", [None, "", "yesterday", "2026-13-01T00:00:00+00:00", 1700000000, "9" * 80])
def test_bad_times_are_refused(bad):
    with pytest.raises(BadTime):
        epoch(bad)
    assert epoch(iso(1700000000.5)) == 1700000000.5 == epoch("2023-11-14T22:13:20.500Z")
    with pytest.raises(BadTime):
        epoch("2023-11-14T22:13:20", naive=False)
