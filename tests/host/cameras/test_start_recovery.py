"""A start over what an unclean stop may leave: every file read at start
missing its end, empty or not what it should hold is rebuilt or set aside
with one warning, and the command runs (no crash, no restart loop). And a
camera restarted by a reload counts its time without frames from its own
start, not from the command's; one a reload adds has its last run's
leftovers recovered as at a start."""
import json
import os
import signal
import time

import pytest

from visionengin_cli.storage.lock import locked_file

pytestmark = pytest.mark.slow  # starts servers or processes

START = json.dumps({"type": "incident_start", "id": "s1", "incident": "i1", "camera": "gate",
                    "info_type": "motion", "time": "2026-12-09T07:00:00+00:00",
                    "start": "2026-12-09T07:00:00+00:00", "end": "2026-12-09T07:00:00+00:00",
                    "count": 1, "picture": "gate/m.jpg"})
# (file under the results root, what it holds, what the one warning says or
# None when the file is only written at start, whether it is JSON after the run)
DAMAGED = [
    ("gate/ledger.json", b'{"hours": {"2026-12-09/07": [1, 2', "ledger", True),
    ("gate/ledger.json", b'{"hours": 3}', "ledger", True),
    ("gate/status.json", b"", None, True),
    ("gate/.lock", b"\x00\xffnot a pid", None, False),
    ("sinks.json", b'{"updated": 1, "sin', None, True),
    ("outbox/mqtt/published.json", b"\x00\xff", "published.json", True),
    ("outbox/mqtt/published.json", b'{"types": 5}', "published.json", True),
    ("outbox/mqtt/state.json", b'{"segment": "x", "offset": [1]}', "state unreadable", False),
    ("outbox/mqtt/state.json", b"", "state unreadable", False),
    ("outbox/mqtt/000000000001.jsonl", b'{"type": "alarm", "id": "a1"}\n{"type": "ala',
     "cut short", False),
    ("events.jsonl", START.encode() + b'\n{"type": "alarm", "id": "x", "ti', "cut short", False),
    (".events.lock", b"\xff" * 10, None, False),
]


@pytest.mark.timeout(60)
@pytest.mark.parametrize("name,data,warning,rewritten", DAMAGED,
                         ids=["{}-{}".format(d[0].rsplit("/", 1)[-1], n) for n, d in enumerate(DAMAGED)])
def test_a_start_over_a_damaged_file(cameras, tmp_path, name, data, warning, rewritten):
    path = tmp_path / "results" / name
    path.parent.mkdir(parents=True)
    path.write_bytes(data)
    command = cameras('results = "results"\ndevice = "shed"\n[mqtt]\nhost = "127.0.0.1"\n'
                      'port = 9\n[cameras.gate]\naddress = "rtsp://127.0.0.1:9/none"\n')
    command.wait_status("gate", 30, pid=lambda pid: pid)
    time.sleep(1.0)
    assert command.proc.poll() is None, command.stderr
    code, _ = command.end(signal.SIGTERM)
    assert code == 0, command.stderr
    assert "Traceback" not in command.stderr
    told = [line for line in command.stderr.splitlines()
            if ("WARNING" in line or "ERROR" in line) and "cannot connect" not in line
            and "127.0.0.1:9" not in line and "camera process" not in line
            and "left open by an unclean stop" not in line]
    if warning is None:
        assert not told, command.stderr
    else:
        assert len(told) == 1 and warning in told[0], command.stderr
    if rewritten:
        json.loads(path.read_text())
    if name == "events.jsonl":  # the incident left open ends, on a line of its own
        ended = command.events(("incident_end",))
        assert [(e["incident"], e["reason"]) for e in ended] == [
            ("i1", "ended at start after an unclean stop")]


@pytest.mark.long_run
@pytest.mark.timeout(120)
def test_a_camera_restarted_by_a_reload_is_not_told_offline(cameras, servers, tmp_path):
    server, = servers(1)
    text = ('results = "results"\n[events]\noffline_after = 6\n[cameras.gate]\naddress = "{}"\n'
            .format(server.url))
    command = cameras(text)
    command.wait_status("gate", 60, state="streaming")
    time.sleep(7)  # the command has run longer than offline_after
    (tmp_path / "cameras.toml").write_text(text + "threshold = 0.4\n")  # gate changed: restarted
    first = command.status("gate")["pid"]
    command.proc.send_signal(signal.SIGHUP)
    command.wait_status("gate", 30, state="streaming", pid=lambda pid: pid and pid != first)
    time.sleep(3)  # several looks of the health watch
    code, _ = command.end(signal.SIGTERM)
    assert code == 0, command.stderr
    assert "changed in the configuration, restarting" in command.stderr
    assert not command.events(("camera_offline",)), command.stderr


@pytest.mark.timeout(60)
def test_a_camera_a_reload_adds_has_what_its_last_run_left_ended(cameras, tmp_path):
    (tmp_path / "results" / "yard").mkdir(parents=True)
    holder = locked_file(str(tmp_path / "results" / "yard" / ".lock"))  # another run's, until the reload
    (tmp_path / "results" / "events.jsonl").write_text(START.replace('"gate"', '"yard"') + "\n")
    text = 'results = "results"\n[cameras.gate]\naddress = "rtsp://127.0.0.1:9/none"\n'
    command = cameras(text)
    command.wait_status("gate", 30, pid=lambda pid: pid)
    assert not command.events(("incident_end",))  # not run here, its folder held: not ours to end
    os.close(holder)
    (tmp_path / "cameras.toml").write_text(text + '[cameras.yard]\naddress = "rtsp://127.0.0.1:9/none"\n')
    command.proc.send_signal(signal.SIGHUP)
    command.wait_status("yard", 30, pid=lambda pid: pid)
    code, _ = command.end(signal.SIGTERM)
    assert code == 0, command.stderr
    assert [(e["camera"], e["incident"], e["reason"]) for e in command.events(("incident_end",))] == [
        ("yard", "i1", "ended at start after an unclean stop")]


@pytest.mark.timeout(60)
def test_a_start_ends_the_open_incident_of_a_camera_the_file_no_longer_names(cameras, tmp_path):
    results = tmp_path / "results"
    results.mkdir()
    gone = START.replace('"gate"', '"porch"').replace('"i1"', '"i2"').replace("gate/", "porch/")
    (results / "events.jsonl").write_text(START + "\n" + gone + "\n")
    command = cameras('results = "results"\n[cameras.gate]\naddress = "rtsp://127.0.0.1:9/none"\n')
    command.wait_status("gate", 30, pid=lambda pid: pid)
    code, _ = command.end(signal.SIGTERM)
    assert code == 0, command.stderr
    ended = command.events(("incident_end",))
    assert sorted((e["camera"], e["incident"], e["reason"]) for e in ended) == [
        ("gate", "i1", "ended at start after an unclean stop"),
        ("porch", "i2", "ended at start after an unclean stop")]
