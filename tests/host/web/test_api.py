"""The JSON API and /metrics over a results root: what the cameras reported,
the alarms newest first, stale cameras, and no password anywhere."""
import datetime
import json
import re
import time

import pytest
from prometheus_client.parser import text_string_to_metric_families

from .conftest import PASSWORD

pytestmark = [pytest.mark.slow, pytest.mark.timeout(60)]


def test_status_and_events(root, client):
    cameras = {cam["camera"]: cam for cam in client.json("api/status")["cameras"]}
    assert sorted(cameras) == ["gate", "yard"]
    gate, yard = cameras["gate"], cameras["yard"]
    assert (gate["state"], gate["restarts"], gate["analysed_fps"]) == ("streaming", 1, 12.5)
    assert gate["alarms_by_type"] == {"motion": 2, "face": 1}
    assert gate["last_alarm"]["picture"] == "gate/rtsp_result/face-3.jpg"
    assert 1.0 < gate["last_frame_age"] < 30
    assert (gate["frame_age_ms"], gate["bad_fields"]) == ([4.2, 9.8], [])  # as the runner writes it
    assert gate["address"] == "rtsp://***@192.0.2.7/gate"
    assert (yard["state"], yard["reported_state"], yard["stale"]) == ("stale", "streaming", True)

    events = client.json("api/events")["events"]  # bad lines in between are skipped
    assert [e["picture"] for e in events] == [
        "gate/rtsp_result/face-3.jpg", "gate/rtsp_result/motion-2.jpg",
        "gate/rtsp_result/motion-1.jpg", "yard/rtsp_result/face-1.jpg"]
    assert events[2]["behavior_number"] == 5000001 and events[2]["score"] == 0.9

    since = events[1]["time"]
    later = client.json("api/events?since=" + since.replace("+", "%2B"))["events"]
    assert [e["picture"] for e in later] == ["gate/rtsp_result/face-3.jpg"]
    epoch = datetime.datetime.fromisoformat(since).timestamp()
    assert client.json("api/events?since=%r" % epoch)["events"] == later
    assert [e["camera"] for e in client.json("api/events?info_type=face")["events"]] == ["gate", "yard"]
    assert len(client.json("api/events?camera=gate&limit=2")["events"]) == 2
    for bad in ("since=yesterday", "limit=many"):
        assert client.get("api/events?" + bad)[0] == 400
    for path in ("", "fragments/tiles", "fragments/alarms", "api/status", "metrics"):
        assert PASSWORD not in client.get(path)[2].decode()


def test_metrics(root, client):
    status, headers, body = client.get("metrics")
    assert status == 200 and headers["Content-Type"].startswith("text/plain")
    samples = {(s.name, tuple(sorted(s.labels.items()))): s.value
               for family in text_string_to_metric_families(body.decode())
               for s in family.samples}

    def value(name, **labels):
        return samples[(name, tuple(sorted(labels.items())))]

    assert value("visionengin_camera_frames_analysed_total", camera="gate") == 300
    assert value("visionengin_camera_alarm_pictures_total", camera="gate", info_type="motion") == 2
    assert value("visionengin_camera_alarm_pictures_total", camera="yard", info_type="face") == 1
    assert value("visionengin_camera_restarts_total", camera="gate") == 1
    assert value("visionengin_camera_reconnects_total", camera="yard") == 2
    assert value("visionengin_camera_state", camera="gate", state="streaming") == 1
    assert value("visionengin_camera_state", camera="yard", state="stale") == 1
    assert value("visionengin_camera_state", camera="yard", state="streaming") == 0
    assert 1.0 < value("visionengin_camera_last_frame_age_seconds", camera="gate") < 30

    root.alarm("gate", "motion")  # read at scrape time: the next scrape has it
    body = client.get("metrics")[2].decode()
    assert 'visionengin_camera_alarm_pictures_total{camera="gate",info_type="motion"} 3.0' in body


def test_huge_and_malformed_log(root, client):
    """A log of garbage ending in a few good lines, an unfinished last line:
    answered at once, said to be not whole while the index catches up, then
    whole: the good lines only."""
    with open(root.path / "events.jsonl", "ab") as log:
        line = b'{"camera": "gate", "info_type": "x"' + b"x" * 1000 + b"\n"
        log.write(line * 40000 + b"\xff\xfe garbage \x00\n" + b"{" * 3_000_000 + b"\n")
    good = [root.alarm("gate", "motion") for _ in range(3)]
    root.append_line('{"time": "%s", "camera": "gate"' % good[-1]["time"])  # no newline yet
    with open(root.path / "events.jsonl", "ab") as log:
        log.seek(0, 2)
        log.truncate(log.tell() - 1)
    started = time.monotonic()
    answer = client.json("api/events?limit=10")
    assert client.get("")[0] == 200
    assert time.monotonic() - started < 5  # a fraction of a second on a quiet machine
    while not answer["complete"]:
        assert "catching up" in answer["reason"] and time.monotonic() - started < 50
        time.sleep(0.2)
        answer = client.json("api/events?limit=10")
    assert [e["picture"] for e in answer["events"]][:3] == [e["picture"] for e in reversed(good)]
    assert len(answer["events"]) == 7 and answer["skipped"]["event_line"] >= 40002
    assert json.loads(client.get("api/status")[2])["cameras"]


@pytest.fixture
def zone(monkeypatch):
    """The device's time zone: three hours east of UTC, a name no system has."""
    monkeypatch.setenv("TZ", "XYZ-3")
    time.tzset()
    yield "XYZ"
    monkeypatch.undo()
    time.tzset()


def test_times_in_the_devices_zone(root, client, zone):
    """One zone on the whole page, named, also for the "updated" note."""
    status, headers, body = client.get("fragments/tiles")
    assert status == 200 and re.fullmatch(r"\d\d:\d\d:\d\d XYZ", headers["X-Updated"])
    shown = re.findall(r"<time>([^<]*)</time>", body.decode() + client.get("fragments/alarms")[2].decode())
    assert len(shown) == 6 and all(text.endswith(" XYZ") for text in shown), shown
    moment = datetime.datetime.fromisoformat(root.status("gate")["last_alarm"]["time"]) + datetime.timedelta(hours=3)
    assert shown[0] in (moment.strftime("%H:%M:%S XYZ"), moment.strftime("%Y-%m-%d %H:%M XYZ"))
