"""Pictures that last and one owner per camera, with the real command: a
camera restarted again and again keeps every picture, each event names its
own, and a second command on the same folder is refused."""
import datetime
import os
import re
import signal
import subprocess
import sys
import time

import pytest

from visionengin_cli.storage.lock import Busy, FolderLock

from .conftest import one_interpreter, toml_config, with_secret

pytestmark = pytest.mark.slow  # starts servers or processes

NAME = re.compile(r"(\w+)/(\d{4}-\d\d-\d\d)/(\d\d)/(\d{6}\.\d{6})-motion-\d+\.jpg")


def pictures_on_disk(root, camera):
    return {p.relative_to(root).as_posix() for p in (root / camera).glob("*/*/*.jpg")}


@one_interpreter
@pytest.mark.timeout(300)
def test_restarted_camera_keeps_every_picture_and_each_event_names_its_own(cameras, servers):
    server, = servers(1)
    text = toml_config({"gate": with_secret(server.url)})
    for _ in range(4):  # the first run and three restarts (a reboot, systemctl restart...)
        command = cameras(text)
        command.wait_status("gate", 90, state="streaming", alarms=lambda n: n and n >= 5)
        code, _ = command.end(signal.SIGTERM)
        assert code == 0, command.stderr
    events = command.events()
    told = [e["picture"] for e in events]
    assert len(told) >= 20 and len(told) == len(set(told))
    assert set(told) == pictures_on_disk(command.root, "gate")
    # a picture written as the last stop came waits there for the next start
    assert len(list((command.root / "gate" / "rtsp_result").iterdir())) <= 1
    for event in events:  # the name tells when: the event's own time, in UTC
        camera, day, hour, stamp = NAME.fullmatch(event["picture"]).groups()
        when = datetime.datetime.fromisoformat(event["time"]).astimezone(datetime.timezone.utc)
        assert (camera, day, hour, stamp) == ("gate", when.strftime("%Y-%m-%d"),
                                              when.strftime("%H"), when.strftime("%H%M%S.%f"))


@pytest.mark.timeout(180)
def test_second_command_on_a_camera_is_refused_naming_the_owner(cameras, servers):
    # A server per camera: the test server has refused clients that set up its
    # one shared stream at the same moment.
    gate, yard = servers(2)
    text = toml_config({"gate": gate.url, "yard": yard.url})
    first = cameras(text)
    first.wait_status("gate", 60, state="streaming")
    first.wait_status("yard", 60, state="streaming")
    for args in (("--only", "gate"), ()):  # an --only unit, the whole file by hand
        second = cameras(text, *args)
        assert second.proc.wait(60) == 1, second.stderr
        second.close()
        refusals = [line for line in second.lines if "already run by process" in line]
        assert len(refusals) == (1 if args else 2), second.stderr
        assert all("process {} ".format(first.proc.pid) in line for line in refusals)
    status = first.wait_status("gate", 10, state="streaming", restarts=0)
    assert status["pid"] and first.status("yard")["restarts"] == 0
    code, _ = first.end(signal.SIGTERM)
    assert code == 0, first.stderr


# An owner that ends at once, leaving its locked descriptor to a camera
# process that needs a moment more, as a supervisor killed by SIGKILL does.
ORPHAN = """
import os, sys, time
from visionengin_cli.storage.lock import FolderLock
lock = FolderLock(sys.argv[1])
lock.acquire()
if os.fork() == 0:
    time.sleep(1.5)
os._exit(0)
"""


@pytest.mark.timeout(60)
def test_a_live_owner_is_refused_at_once_a_gone_one_waited_for(tmp_path):
    mine = FolderLock(str(tmp_path / "gate"))
    mine.acquire()
    started = time.monotonic()
    with pytest.raises(Busy) as busy:
        FolderLock(str(tmp_path / "gate")).acquire()
    assert busy.value.pid == os.getpid() and time.monotonic() - started < 2
    mine.release()
    subprocess.run([sys.executable, "-c", ORPHAN, str(tmp_path / "yard")], check=True, timeout=30)
    theirs = FolderLock(str(tmp_path / "yard"))
    theirs.acquire()  # once the camera process left; refused were it alive
    theirs.release()
