"""What the supervisor tells is true: a stopped process or a stuck detector is
found hung and replaced, a camera that never connects says why, per-camera
settings bound that camera only, signals are safe from the first instant and
removed cameras leave the metrics. Real processes and RTSP servers."""
import os
import re
import signal
import subprocess
import time
import urllib.request

import pytest

from rtsp_server import free_port

from .conftest import SCRIPT, toml_config, wait_for

pytestmark = pytest.mark.slow  # starts servers or processes

WATCHDOG = 5
# A host that cannot exist and is refused before any name server is asked (a
# label longer than 63 characters): no query leaves the machine.
UNKNOWN = "a" * 64 + ".invalid"


def catches_hup(pid):
    try:
        with open("/proc/%d/status" % pid) as status:
            caught = re.search(r"^SigCgt:\s*([0-9a-f]+)", status.read(), re.M)
    except OSError:
        return False
    return bool(caught and int(caught.group(1), 16) & (1 << (signal.SIGHUP - 1)))


def metrics(port):
    with urllib.request.urlopen("http://127.0.0.1:%d/metrics" % port, timeout=10) as answer:
        return answer.read().decode()


def series(text, name, camera):
    found = re.search(r'^%s\{camera="%s"\} (\S+)$' % (name, camera), text, re.M)
    return float(found.group(1)) if found else None


@pytest.mark.long_run
@pytest.mark.timeout(300)
def test_hung_cameras_are_replaced_and_failures_give_their_reason(cameras, servers):
    server, own = servers(2)  # the stuck camera on a server of its own (see the outage test)
    refused = "rtsp://127.0.0.1:%d/cam" % free_port()
    port = free_port()
    config = toml_config({
        "gate": server.url,
        "stuck": {"address": own.url, "detector": "detectors:Hanging"},
        "refused": refused,
        "unknown": "rtsp://{}/cam".format(UNKNOWN),
        "missing": server.url.replace("/cam", "/none"),
    }).replace("[cameras.gate]", "[engine]\nwatchdog = %d\n[cameras.gate]" % WATCHDOG)
    command = cameras(config, "--listen", "127.0.0.1:%d" % port)
    # A reload while starting is applied once started. (Only the interpreter's
    # own start, before any code of ours runs, may outlast the 0.1 s on a
    # loaded machine: that much is waited for.)
    time.sleep(0.1)
    assert wait_for(lambda: catches_hup(command.proc.pid), 10)
    command.proc.send_signal(signal.SIGHUP)
    assert wait_for(lambda: "configuration re-read" in command.stderr, 60), command.stderr
    assert command.proc.poll() is None

    gate = command.wait_status("gate", 90, state="streaming")
    args = subprocess.run(["ps", "-o", "args=", "-p", str(gate["pid"])], capture_output=True,
                          text=True, timeout=10).stdout.strip()
    assert args == "visionengin camera gate"

    # A camera that never connects says why, and the age of its (missing) last frame grows.
    wants = {"refused": "connection refused by 127.0.0.1:", "unknown": "unknown host " + UNKNOWN,
             "missing": "the server answered 404 Not Found"}
    first = {name: command.wait_status(name, 90, state="reconnecting",
                                       reason=lambda r, w=want: r and w in r)
             for name, want in wants.items()}
    os.kill(gate["pid"], signal.SIGSTOP)
    stopped_at = time.monotonic()
    for name in wants:
        later = command.wait_status(name, 30, last_frame_age_seconds=lambda a, n=name: a and a > first[
            n]["last_frame_age_seconds"] + 2)
        assert later["last_frame"] is None and later["frames"] == 0 and later["hangs"] == 0

    # The stuck detector is told as such, then its camera replaced like a hung one.
    stuck = command.wait_status("stuck", 120, hangs=lambda n: n and n >= 1)
    assert re.search(r"stuck: hung: detector call running for \d+ s", command.stderr), command.stderr
    assert "detector call running for" in stuck["reason"]

    # The stopped process: found hung, killed, and its replacement streams.
    replaced = command.wait_status("gate", 90, hangs=1, state="streaming",
                                   pid=lambda p: p and p != gate["pid"])
    reaction = time.monotonic() - stopped_at
    assert replaced["restarts"] == 1
    assert re.search(r"gate: hung: no report from the camera process for \d+ s \(last report: "
                     r"streaming, \d+ frames", command.stderr), command.stderr
    print("watchdog %d s: the stopped camera streamed again after %.1f s" % (WATCHDOG, reaction))
    hung = {(e["camera"], e["reason"].split(" for ")[0]) for e in command.events(("camera_hung",))}
    assert hung >= {("gate", "no report from the camera process"), ("stuck", "detector call running")}

    text = metrics(port)
    assert series(text, "visionengin_camera_up", "gate") == 1
    assert series(text, "visionengin_camera_up", "refused") == 0
    assert series(text, "visionengin_camera_hangs_total", "gate") == 1
    assert series(text, "visionengin_camera_last_frame_age_seconds", "unknown") > 2

    # A removed camera leaves the metrics and the page at once.
    (command.folder / "cameras.toml").write_text(config.replace(
        '[cameras.refused]\naddress = "%s"\n' % refused, ""))
    command.proc.send_signal(signal.SIGHUP)
    assert wait_for(lambda: 'camera="refused"' not in metrics(port), 30)
    assert not (command.root / "refused" / "status.json").exists()
    code, _ = command.end(signal.SIGTERM)
    assert code == 0, command.stderr


@pytest.mark.timeout(240)
def test_alarm_interval_per_camera_and_from_the_command_line(cameras, servers):
    server, = servers(1)
    # --alarm-interval is the default of every camera; "busy" sets its own.
    command = cameras(toml_config({"busy": {"address": server.url, "alarm_interval": 0},
                                   "quiet": server.url}), "--alarm-interval", "3600")
    command.wait_status("busy", 90, state="streaming", alarms=lambda n: n and n >= 10)
    quiet = command.wait_status("quiet", 30, state="streaming", frames=lambda n: n and n >= 10)
    assert quiet["alarms"] <= 1
    code, _ = command.end(signal.SIGTERM)
    assert code == 0 and command.status("quiet")["alarms"] <= 1


@pytest.mark.timeout(120)
@pytest.mark.parametrize("args, message", [
    (["serve", ".", "--cuda"], "unrecognized arguments: --cuda"),
    (["--workdir", "x", "serve", "."], "serve does not take --workdir"),
    (["cameras", "cameras.toml", "--workdir", "x"], "cameras does not take --workdir"),
])
def test_options_a_command_cannot_honour_are_refused(tmp_path, args, message):
    done = subprocess.run([str(SCRIPT), *args], cwd=str(tmp_path), capture_output=True, text=True,
                          timeout=60)
    assert done.returncode == 2 and message in done.stderr, done.stderr


@pytest.mark.timeout(120)
def test_the_stream_check_says_what_it_waits_for(tmp_path):
    address = "rtsp://viewer:pw@127.0.0.1:%d/cam" % free_port()
    done = subprocess.run([str(SCRIPT), "stream", address], cwd=str(tmp_path), capture_output=True,
                          text=True, timeout=60)
    shown = address.replace("viewer:pw@", "***@")
    assert done.returncode == 1
    assert done.stderr.startswith("visionengin: opening {}: up to 10 s\n".format(shown)), done.stderr
    assert "connection refused by 127.0.0.1:" in done.stderr and ":pw@" not in done.stderr


def test_a_status_file_left_for_a_day_leaves_the_page(tmp_path):
    from visionengin_cli.web.results import ResultsRoot

    for name in ("gone", "here"):
        (tmp_path / name).mkdir()
        (tmp_path / name / "status.json").write_text('{"camera": "%s", "state": "stopped"}' % name)
    day_and_more = time.time() - 86400 - 60
    os.utime(str(tmp_path / "gone" / "status.json"), (day_and_more, day_and_more))
    assert [camera["camera"] for camera in ResultsRoot(str(tmp_path)).cameras()] == ["here"]


@pytest.mark.parametrize("own", [None, "rtsp_transport;udp"])
def test_camera_processes_take_a_short_look_at_the_stream_unless_told_otherwise(tmp_path, monkeypatch, own):
    """OpenCV's FFmpeg capture options for the camera processes: by default
    OpenCV's own (RTSP over TCP where offered) without counting frames for the
    frame rate, which held a restart's first frame back; the user's own kept
    whole. (A camera process's title covers its /proc environ: asked here.)"""
    from visionengin_cli.cameras.supervisor import Supervisor
    from visionengin_cli.events.log import EventLog

    if own is None:
        monkeypatch.delenv("OPENCV_FFMPEG_CAPTURE_OPTIONS", raising=False)
    else:
        monkeypatch.setenv("OPENCV_FFMPEG_CAPTURE_OPTIONS", own)
    env = Supervisor(str(tmp_path), EventLog(str(tmp_path)))._env()
    assert env["OPENCV_FFMPEG_CAPTURE_OPTIONS"] == (own or "rtsp_flags;prefer_tcp|fpsprobesize;0")


def test_one_change_of_a_cameras_state_reaches_its_lines_health_and_mqtt_once(tmp_path):
    """A camera's state changes in its own object; each change is heard once
    by the status lines, the health events and the MQTT state, and a look
    that finds nothing new tells nobody. Offline counts from the camera's
    own start."""
    import io

    from visionengin_cli.cameras import config, table
    from visionengin_cli.cameras.slot import Slot
    from visionengin_cli.events.health import HealthWatch

    (tmp_path / "cameras.toml").write_text(toml_config({"gate": "rtsp://127.0.0.1:1/x"}))
    camera = config.load(str(tmp_path / "cameras.toml")).cameras["gate"]
    (tmp_path / "gate").mkdir()
    events, states, out = [], [], io.StringIO()
    lines = table.PlainLines(out, interval=3600)
    health = HealthWatch(lambda *event: events.append(event[0]),
                         lambda name, state: states.append(state))
    slot = Slot(camera, str(tmp_path / "gate"), [lines.changed, health.changed], offline_after=5)
    slot.state.created -= 10  # started ten seconds ago, no frame since

    slot.progress.report(time.monotonic())
    slot.state.started()
    slot.state.reported({"state": "streaming", "last_frame": time.time()})
    slot.progress.report(time.monotonic())
    lines.show([slot])
    slot.state.look()
    slot.state.look()
    lines.show([slot])
    slot.state.hangs("no report for 5 s")
    slot.state.look()
    lines.show([slot])

    assert events == ["camera_offline", "camera_online", "camera_hung"]
    assert [(state["state"], state["online"]) for state in states] == [
        ("starting", False), ("streaming", True), ("hung", True)]
    shown = [re.sub(r"^\S+ (?=visionengin)", "", line) for line in out.getvalue().splitlines()]
    assert [line.split(",")[0] for line in shown] == [
        "visionengin: gate: starting (no frame analysed yet)", "visionengin: gate: streaming",
        "visionengin: gate: hung (no report for 5 s)"]
