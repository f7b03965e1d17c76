"""Camera processes come from the camera template, also when the watchdog
replaces one and after the template itself was killed; without a template
they start as fresh interpreters. Real processes and RTSP servers."""
import os
import signal
from pathlib import Path

import psutil
import pytest

from .conftest import toml_config, wait_for

pytestmark = pytest.mark.slow  # starts servers or processes

TEMPLATE = "visionengin cameras template"


def template_of(command):
    """The pid of the command's template process, or None."""
    for child in psutil.Process(command.proc.pid).children():
        try:
            if " ".join(filter(None, child.cmdline())) == TEMPLATE:
                return child.pid
        except psutil.NoSuchProcess:
            continue
    return None


def forked(command, pid):
    """Whether the camera process ``pid`` came from the template: a child of
    the supervisor whose session began in the template's middle process,
    which is gone (a fresh interpreter leads its own session)."""
    process = psutil.Process(pid)
    session = os.getsid(pid)
    return process.ppid() == command.proc.pid and session != pid and not psutil.pid_exists(session)


@pytest.mark.timeout(180)
def test_a_camera_the_watchdog_replaces_comes_back_from_the_template(cameras, servers):
    server, = servers(1)
    config = toml_config({"gate": server.url}).replace("[cameras.gate]",
                                                       "[engine]\nwatchdog = 3\n[cameras.gate]")
    command = cameras(config)
    first = command.wait_status("gate", 60, state="streaming")
    template = template_of(command)
    assert template and forked(command, first["pid"]), command.stderr
    names = [comm.read_text().strip() for comm in Path("/proc/{}/task".format(first["pid"])).glob("*/comm")]
    assert not [name for name in names if name.startswith("av:")], names  # one decoding thread

    os.kill(first["pid"], signal.SIGSTOP)
    replaced = command.wait_status("gate", 60, state="streaming", hangs=1,
                                   pid=lambda p: p and p != first["pid"])
    assert forked(command, replaced["pid"]) and template_of(command) == template, command.stderr
    # it was analysing: back at once; a second end within the minute backs off
    assert "gate: camera process was killed by signal 9; restarting at once" in command.stderr
    os.kill(replaced["pid"], signal.SIGKILL)
    command.wait_status("gate", 60, state="streaming",
                        pid=lambda p: p and p not in (first["pid"], replaced["pid"]))
    assert "gate: camera process was killed by signal 9; restarting in 1 s" in command.stderr
    assert "fresh interpreters" not in command.stderr
    code, _ = command.end(signal.SIGTERM)
    assert code == 0, command.stderr


@pytest.mark.timeout(180)
def test_a_killed_template_is_started_again_and_cameras_still_start(cameras, servers):
    server, = servers(1)
    command = cameras(toml_config({"one": server.url}))
    first = command.wait_status("one", 60, state="streaming")
    template = template_of(command)
    assert template, command.stderr

    os.kill(template, signal.SIGKILL)
    assert wait_for(lambda: template_of(command) not in (None, template), 30), command.stderr
    assert "camera template ended (killed by signal 9)" in command.stderr
    assert command.status("one")["pid"] == first["pid"]  # the running camera is left alone

    os.kill(first["pid"], signal.SIGKILL)
    again = command.wait_status("one", 60, state="streaming", pid=lambda p: p and p != first["pid"])
    assert forked(command, again["pid"]), command.stderr
    assert "one: camera process was killed by signal 9" in command.stderr
    second = template_of(command)
    code, _ = command.end(signal.SIGTERM)
    assert code == 0, command.stderr
    assert wait_for(lambda: not psutil.pid_exists(second), 10)  # not left behind


@pytest.mark.timeout(120)
@pytest.mark.parametrize("variable, value, told", [
    ("VISIONENGIN_CAMERA_TEMPLATE", "0", 0),
    # OpenBLAS's own threads in the template: it must not fork, and says so once
    ("OPENBLAS_NUM_THREADS", "2", 1)])
def test_without_a_usable_template_cameras_start_as_fresh_interpreters(cameras, servers, monkeypatch,
                                                                       variable, value, told):
    server, = servers(1)
    monkeypatch.setenv(variable, value)
    command = cameras(toml_config({"one": server.url}))
    status = command.wait_status("one", 60, state="streaming")
    assert os.getsid(status["pid"]) == status["pid"] and template_of(command) is None
    os.kill(status["pid"], signal.SIGKILL)  # a restart, also afresh
    again = command.wait_status("one", 60, state="streaming", pid=lambda p: p and p != status["pid"])
    assert os.getsid(again["pid"]) == again["pid"]
    code, _ = command.end(signal.SIGTERM)
    assert code == 0, command.stderr
    assert command.stderr.count("camera processes start as fresh interpreters") == told, command.stderr
