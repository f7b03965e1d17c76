"""A disk filled by other data while a camera runs: no crash and no restart,
the state told once with its reason, counts that count only pictures on
disk, alarm lines (without their pictures) and incidents all along, and
everything written again once space returns; and a video's
summary on a full disk, which counts what reached it."""
import os
import pathlib
import re
import signal
import subprocess

import pytest

from .conftest import SCRIPT, toml_config, wait_for

pytestmark = pytest.mark.slow  # starts servers or processes

DATA = pathlib.Path(__file__).resolve().parents[2] / "data"


def fill(path):
    """Write other data into the file system of ``path`` until it is full."""
    fd = os.open(str(path), os.O_WRONLY | os.O_CREAT)
    try:
        while True:
            os.write(fd, b"\0" * 4096)
    except OSError:
        pass
    finally:
        os.close(fd)


@pytest.mark.long_run
@pytest.mark.timeout(180)
def test_full_disk_is_told_and_survived(cameras, servers, small_disk):
    disk = small_disk(6)
    server, = servers(1)
    text = toml_config({"gate": server.url}, results=str(disk / "results"))
    command = cameras(text.replace("[cameras.", "[storage]\nmin_free = 0\n[cameras.", 1))
    command.root = disk / "results"
    command.wait_status("gate", 90, state="streaming", alarms=lambda n: n and n >= 3)
    fill(disk / "other-data")
    full = command.wait_status("gate", 60, disk_full=True)
    assert full["write_error"] == "No space left on device" and full["restarts"] == 0
    command.wait_status("gate", 30, pictures_not_written=lambda n: n and n > full["pictures_not_written"] + 10)
    os.unlink(disk / "other-data")
    back = command.wait_status("gate", 60, disk_full=False, alarms=lambda n: n > full["alarms"] + 3)
    assert back["state"] == "streaming" and back["restarts"] == 0
    assert wait_for(lambda: len(command.events()) >= back["alarms"], 20)
    code, _ = command.end(signal.SIGTERM)
    assert code == 0, command.stderr
    told = [e["picture"] for e in command.events() if "picture" in e]
    on_disk = {p.relative_to(command.root).as_posix() for p in (command.root / "gate").glob("*/*/*.jpg")}
    assert len(told) == len(set(told)) and set(told) == on_disk
    assert command.status("gate")["alarms"] == len(told)
    # The alarms whose pictures the full disk refused are told all the same,
    # without a picture and with the reason, and grouped into incidents.
    unwritten = [e for e in command.events() if "picture" not in e]
    assert unwritten and all(e["no_picture"] == "No space left on device" for e in unwritten)
    ends = command.events(("incident_end",))
    assert sum(e["count"] for e in ends) == len(told) + len(unwritten)
    for said in ("cannot write alarm pictures: No space left on device", "alarm pictures written again"):
        assert command.stderr.count(said) == 1, command.stderr
    told = [(e["type"], e["camera"], e["reason"]) for e in command.events(("disk_full", "disk_ok"))]
    assert told == [("disk_full", "gate", "No space left on device"),
                    ("disk_ok", "gate", "alarm pictures written again")]


@pytest.mark.timeout(120)
def test_video_summary_counts_the_pictures_on_a_full_disk(small_disk):
    disk = small_disk(1)
    done = subprocess.run([str(SCRIPT), "video", str(DATA / "walking.mp4"), "--workdir", str(disk)],
                          capture_output=True, text=True, timeout=100)
    assert done.returncode == 0, done.stderr
    on_disk = len([p for p in (disk / "video_result").iterdir() if p.stat().st_size])
    assert 0 < on_disk < 80 and len(list((disk / "video_result").iterdir())) == on_disk
    assert "{} alarm pictures written to".format(on_disk) in done.stdout, done.stdout
    refused = re.search(r"(\d+) alarm pictures? could not be written: No space left on device", done.stdout)
    assert refused and int(refused.group(1)) > 0, done.stdout
    assert done.stderr.count("No space left on device") == 1, done.stderr
