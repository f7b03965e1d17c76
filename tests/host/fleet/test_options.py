"""`visionengin collect`'s options refused in one line (nothing started,
no password shown), retention removing the oldest pictures and logs, and
devices silent past --max-device-age forgotten."""
import os
import subprocess
import sys
import time
from pathlib import Path

import pytest

from visionengin_cli.fleet import layout, retention
from visionengin_cli.fleet.limits import Limits
from visionengin_cli.fleet.store import Store

SCRIPT = Path(sys.executable).parent / "visionengin"


@pytest.mark.slow
@pytest.mark.parametrize("args, message", [
    (["--topic", "visionengin/+/events"], "--topic: must be a topic root ending in '/#'"),
    (["--ca", "ca.pem"], "--ca: given without --tls"),
    (["--broker", "broker:99999"], "--broker: the port must be 1 to 65535"),
    (["--password-file", "pw"], "a password without --username"),
    (["--max-size", "lots"], "--max-size: not a size"),
    (["--max-size", "0GB"], "--max-size: must be more than 0"),
    (["--max-age", "30"], "--max-age: not an age"),  # days on a device, so never seconds here
    (["--max-devices", "0"], "--max-devices: must be a whole number from 1 to 1000000"),
    (["--max-info-types", "many"], "--max-info-types: must be a whole number"),
    (["--max-snapshot", "10"], "--max-snapshot: must be at least 1KB"),
    (["--max-device-age", "30m"], "--max-device-age: not an age"),
])
@pytest.mark.timeout(60)
def test_bad_options_are_one_line_and_start_nothing(tmp_path, args, message):
    # The command in a process of its own: its start-up sets the process's
    # signals, logging and native log levels, which must not reach other tests.
    (tmp_path / "pw").write_text("br0ker-s3cret\n")
    base = ["collect", "--broker", "127.0.0.1:1", "--results", "fleet"]
    if "--broker" in args:
        base = ["collect", "--results", "fleet"]
    done = subprocess.run([str(SCRIPT)] + base + args, cwd=str(tmp_path), capture_output=True,
                          text=True, timeout=50)
    err = done.stderr
    assert done.returncode == 2, err
    assert message in err and len(err.strip().splitlines()) == 1 and "s3cret" not in err
    assert not (tmp_path / "fleet").exists()


def test_retention_removes_the_oldest_pictures_and_rotated_logs_first(tmp_path):
    now = time.time()
    pictures = tmp_path / "shed" / "gate" / "incidents"
    pictures.mkdir(parents=True)
    kept = [tmp_path / "shed" / "events.jsonl", tmp_path / "shed" / "gate" / "status.json"]
    files = {tmp_path / "shed" / "events-old.jsonl": 7}  # hours old
    files.update({pictures / "{}.jpg".format(n): 6 - n for n in range(6)})
    files.update({path: 10 for path in kept})  # the current log and states never go
    for path, hours in files.items():
        path.write_bytes(b"x" * 1000)
        os.utime(path, (now - 3600 * hours, now - 3600 * hours))
    assert retention.enforce(str(tmp_path), None, 5.75 * 3600, now) == 2  # events-old, 0.jpg
    assert retention.enforce(str(tmp_path), 4500, None, now) == 3  # the oldest pictures, down to 4500 bytes
    assert sorted(p.name for p in pictures.iterdir()) == ["4.jpg", "5.jpg"]
    assert all(path.exists() for path in kept)


def test_a_device_silent_past_its_age_is_forgotten_and_its_slot_freed(tmp_path):
    now = time.time()
    for name, heard in (("old", now - 7200), ("recent", now - 60)):
        (tmp_path / name / "gate").mkdir(parents=True)
        layout.write_json(str(tmp_path / name / layout.DEVICE_FILE), {"device": name, "heard_epoch": heard})
    store = Store(str(tmp_path), Limits(max_devices=2, max_device_age=3600))
    assert store.device("new") is None  # two known already
    store.tick()
    assert store.device("new") is not None and store.device("recent") is not None
    store.tick()
    store.close()
    assert not (tmp_path / "old").exists() and (tmp_path / "recent" / "gate").is_dir()
    retention.enforce(str(tmp_path), None, None)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["collector.json", "new", "recent"]
    assert (layout.read_json(str(tmp_path / layout.COLLECTOR_FILE)) or {})["forgotten"] == 1
