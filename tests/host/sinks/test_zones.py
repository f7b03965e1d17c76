"""Incidents by zone against a real mosquitto: the live events' grouping fed
alarm lines that name zones, as the cameras' command feeds it, and what the
MQTT sink makes of them (topics, Home Assistant's binary sensors, clearing)."""
import json

import pytest

from visionengin_cli.events.incidents import Incidents
from visionengin_cli.events.live import LiveEvents
from visionengin_cli.sinks.hub import Hub

from .conftest import wait_for
from .test_mqtt import PREFIX, check_discovery, retained, settings

pytestmark = pytest.mark.slow  # starts servers or processes


def line(n, camera, zones, second):
    return {"type": "alarm", "id": "a{}".format(n), "camera": camera, "info_type": "motion",
            "time": "2026-12-09T07:00:{:02d}+00:00".format(second), "zones": zones,
            "picture": "{}/rtsp_result/motion-{}.jpg".format(camera, n), "score": 0.5}


@pytest.mark.timeout(120)
def test_incidents_by_zone_have_their_own_topics_and_sensors(tmp_path, broker, subscriber):
    server = broker()
    listener = subscriber(server, [PREFIX + "/#", "homeassistant/#"])
    root = tmp_path / "results"
    hub = Hub(str(root), settings(tmp_path, server, homeassistant=True), ["gate", "yard"])
    written = []
    live = LiveEvents(written.append, hub.publish, Incidents(5.0), by_zone=["gate"])
    hub.start()
    try:
        live.alarm(line(1, "gate", ["drive", "porch"], 0))
        live.alarm(line(2, "gate", ["drive"], 3))
        live.alarm(line(3, "yard", ["lawn"], 3))  # zones, but incidents of the whole camera
        live.close()
        want = {PREFIX + t: [b"ON", b"OFF"] for t in ("/gate/drive/motion", "/gate/porch/motion",
                                                      "/yard/motion")}
        assert wait_for(lambda: {t: [p for p, _ in listener.on(t)] for t in want} == want, 30)
        assert not listener.on(PREFIX + "/gate/motion")
        hub.set_cameras(["yard"])  # a reload: gate is gone, its zones' topics with it
        topics = [PREFIX + "/gate/#", "homeassistant/#"]
        assert wait_for(lambda: not [t for t in retained(server, topics) if "gate" in t], 20)
    finally:
        hub.stop()
    incidents = [e for e in written if e["type"] in ("incident_start", "incident_end")]
    assert [(e["type"], e.get("zone"), e["count"]) for e in incidents] == [
        ("incident_start", "drive", 1), ("incident_start", "porch", 1), ("incident_start", None, 1),
        ("incident_end", "drive", 2), ("incident_end", "porch", 1), ("incident_end", None, 1)]
    configs = {}
    with listener.lock:
        for topic, payload, _ in listener.messages:
            if topic.startswith("homeassistant/binary_sensor/") and payload:
                configs[topic] = json.loads(payload)
    subscribed = {topic for topic, _, _ in listener.messages}
    for topic, payload in configs.items():
        check_discovery(topic, payload, subscribed)
    sensor = configs["homeassistant/binary_sensor/cam-host/cam-host_gate_drive_motion_zone/config"]
    assert (sensor["state_topic"], sensor["name"], sensor["device_class"]) == (
        PREFIX + "/gate/drive/motion", "gate drive motion", "motion")
    assert len(configs) == 3  # two zones of gate, yard's motion
    published = json.loads((root / "outbox" / "mqtt" / "published.json").read_text())
    assert published == {"cameras": ["yard"], "types": [["yard", "motion"]]}
