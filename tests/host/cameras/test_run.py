"""Several cameras under one command, against real RTSP servers on 127.0.0.1:
own folders, events matching pictures, outages and failures that touch only
their own camera, stopping by signal, reloading by SIGHUP, no password shown."""
import json
import os
import re
import signal
import urllib.request

import pytest

from rtsp_server import free_port

from .conftest import SECRET, toml_config, wait_for, with_secret

pytestmark = pytest.mark.slow  # starts servers or processes

STATUS_KEYS = {"camera", "address", "state", "pid", "started", "restarts", "reconnects", "frames",
               "analysed_fps", "alarms", "alarms_by_type", "last_frame", "last_alarm", "updated",
               "exit_status", "frame_age_ms", "frames_read", "disk_full", "write_error",
               "pictures_not_written",
               "reason", "hangs", "last_frame_age_seconds", "recording"}


def secret_free(command):
    texts = [command.stderr, command.out, (command.root / "events.jsonl").read_text()]
    texts += [p.read_text() for p in command.root.glob("*/status.json")]
    return all(SECRET not in text for text in texts)


@pytest.mark.timeout(180)
def test_three_cameras_write_their_own_folders_and_events(cameras, servers):
    names = ["gate", "yard", "door"]
    urls = [with_secret(server.url) for server in servers(3)]
    command = cameras(toml_config(dict(zip(names, urls))))
    for name in names:
        status = command.wait_status(name, 60, state="streaming", alarms=lambda n: n and n >= 5)
        assert set(status) == STATUS_KEYS
        assert status["address"] == "rtsp://***@" + urls[names.index(name)].split("@")[1]
    code, took = command.end(signal.SIGTERM)
    assert code == 0 and took < 10, command.stderr

    events = command.events()
    for name in names:
        status = command.status(name)
        assert (status["state"], status["exit_status"], status["restarts"]) == ("stopped", 0, 0)
        on_disk = {p.relative_to(command.root).as_posix()
                   for p in (command.root / name).glob("*/*/*.jpg")}
        told = [e["picture"] for e in events if e["camera"] == name and e["type"] == "alarm"]
        assert len(told) == len(set(told)) and set(told) == on_disk
        assert status["alarms"] == len(told) and status["last_alarm"]["picture"] in told
    events = [e for e in events if e["type"] == "alarm"]  # incidents are told beside them
    assert all(set(e) == {"type", "id", "time", "camera", "info_type", "picture", "behavior_number",
                          "score"}
               and e["info_type"] == "motion" and e["time"].endswith("+00:00")
               and re.fullmatch(r"\w+/\d{4}-\d\d-\d\d/\d\d/\d{6}\.\d{6}-motion-\d+\.jpg", e["picture"]) for e in events)
    assert secret_free(command)


@pytest.mark.timeout(300)
def test_outage_failure_and_hang_touch_only_their_camera(cameras, servers):
    # A server per camera: the test server's shared stream has refused (503) a
    # client that connected while two others were setting up the same stream.
    steady, flaky, other, third = servers(4)
    command = cameras(toml_config({
        "steady": with_secret(steady.url),
        "flaky": flaky.url,
        "broken": {"address": other.url, "detector": "detectors:Broken"},
        "stuck": {"address": third.url, "detector": "detectors:Hanging"},
    }))
    command.wait_status("flaky", 60, state="streaming")
    flaky.kill()
    command.wait_status("flaky", 60, reconnects=lambda n: n and n >= 1)
    # each start imports the engine and opens the stream: slow on a loaded machine
    broken = command.wait_status("broken", 120, restarts=lambda n: n and n >= 3, state="failing")
    assert broken["exit_status"] == 1
    frames = command.status("steady")["frames"]
    flaky.restart()
    command.wait_status("flaky", 60, state="streaming", restarts=0)
    command.wait_status("steady", 30, state="streaming", restarts=0, frames=lambda n: n > frames + 25)
    # back-off: 1 s, 2 s, 4 s... between the broken camera's restarts
    delays = re.findall(r"broken: camera process ended with status 1; restarting in (\d+) s", command.stderr)
    assert delays[:3] == ["1", "2", "4"], command.stderr
    assert "broken: process_frames: RuntimeError: the detector broke" in command.stderr

    code, took = command.end(signal.SIGINT)  # "stuck" never answers: the stop must not wait for it
    assert code == 130 and took < 10, command.stderr
    assert {command.status(n)["state"] for n in ("steady", "flaky", "broken", "stuck")} == {"stopped"}
    assert secret_free(command)


@pytest.mark.timeout(180)
def test_sighup_adds_removes_and_keeps_running_on_a_bad_file(cameras, servers):
    url, other = (with_secret(server.url) for server in servers(2))  # see the outage test
    command = cameras(toml_config({"gate": url, "yard": other}))
    gate = command.wait_status("gate", 60, state="streaming")
    command.wait_status("yard", 60, state="streaming")

    (command.folder / "cameras.toml").write_text(toml_config({"gate": url, "door": other}))
    command.proc.send_signal(signal.SIGHUP)
    command.wait_status("door", 60, state="streaming")
    # a removed camera leaves the page: its status goes, its folder stays
    assert wait_for(lambda: not (command.root / "yard" / "status.json").exists(), 10)
    assert (command.root / "yard").is_dir()

    (command.folder / "cameras.toml").write_text(toml_config({"gate": {"address": url, "mode": 7}}))
    command.proc.send_signal(signal.SIGHUP)
    assert wait_for(lambda: "keeping the running cameras" in command.stderr, 20), command.stderr
    assert "cameras.gate.mode: must be 0 (continuous) or 1" in command.stderr
    for name in ("gate", "door"):
        status = command.wait_status(name, 10, state="streaming", restarts=0)
    assert command.status("gate")["pid"] == gate["pid"] and os.path.isdir(command.root / "door")
    code, _ = command.end(signal.SIGTERM)
    assert code == 0 and status["restarts"] == 0
    assert secret_free(command)


@pytest.mark.timeout(120)
def test_only_runs_one_camera_of_the_file_and_serves_its_page(cameras, servers):
    server, = servers(1)
    port = free_port()
    command = cameras(toml_config({"gate": "rtsp://127.0.0.1:9/none", "yard": server.url}),
                      "--only", "yard", "--listen", "127.0.0.1:%d" % port)
    command.wait_status("yard", 60, state="streaming")
    with urllib.request.urlopen("http://127.0.0.1:%d/api/status" % port, timeout=10) as answer:
        assert [c["camera"] for c in json.load(answer)["cameras"]] == ["yard"]
    code, _ = command.end(signal.SIGTERM)
    assert code == 0 and sorted(p.name for p in command.root.iterdir()) == ["events.jsonl", "yard"]
