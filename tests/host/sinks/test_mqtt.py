"""The MQTT sink against a real mosquitto on 127.0.0.1: a password, TLS with a
CA made here, the broker away and the service restarted mid-run, Home
Assistant's discovery payloads field by field. The sinks are driven directly:
the events are what the live cameras hand them."""
import json
import logging
import threading
import time

import pytest

from visionengin_cli.sinks import config as sinks_config
from visionengin_cli.sinks.hub import Hub

from .conftest import PASSWORD, USER, wait_for

PREFIX = "visionengin/cam-host"


def settings(tmp_path, broker, **mqtt):
    table = {"host": "127.0.0.1", "port": broker.port}
    if "password" in broker.conf.read_text():
        (tmp_path / "mqtt-password").write_text(PASSWORD + "\n")
        table.update(username=USER, password_file="mqtt-password")
    if broker.tls:
        table.update(tls=True, ca_file=str(broker.ca))
    table.update(mqtt)
    return sinks_config.parse({"device": "cam-host", "mqtt": table}, str(tmp_path))


def alarm(n, camera="gate"):
    return {"type": "alarm", "id": "alarm-{:04d}".format(n), "camera": camera,
            "info_type": "motion", "time": "2026-12-09T07:00:00+00:00",
            "picture": "{}/rtsp_result/motion-{}.jpg".format(camera, n), "score": 0.5}


def ids(messages):
    return [json.loads(payload)["id"] for payload, _ in messages]


@pytest.mark.long_run
@pytest.mark.timeout(180)
def test_every_event_arrives_once_per_id_across_a_broker_outage_and_a_restart(
        tmp_path, broker, subscriber, caplog):
    caplog.set_level(logging.DEBUG)
    server = broker(password=True)
    listener = subscriber(server, [PREFIX + "/#"])
    root = tmp_path / "results"
    (tmp_path / "wrong").write_text("not-the-password\n")
    wrong = sinks_config.parse({"device": "cam-host", "mqtt": {
        "host": "127.0.0.1", "port": server.port, "username": USER, "password_file": "wrong"}}, str(tmp_path))
    refused = Hub(str(tmp_path / "refused"), wrong, ["gate"])
    refused.start()
    try:  # told, with the broker's reason
        assert wait_for(lambda: refused.status()["sinks"][0]["last_error"], 20)
        assert "refused the connection: Not authorized" in refused.status()["sinks"][0]["last_error"]
    finally:
        refused.stop()
    config = settings(tmp_path, server, alarm_events=True)
    hub = Hub(str(root), config, ["gate"])
    hub.start()
    sent = []

    def feed(first, last, pause=0.002):
        for n in range(first, last):
            sent.append(alarm(n))
            hub.publish(sent[-1])
            time.sleep(pause)

    feed(0, 100)
    assert wait_for(lambda: len(listener.on(PREFIX + "/events")) >= 100, 30)
    outage = threading.Thread(target=feed, args=(100, 300, 0.005))
    outage.start()
    time.sleep(0.2)
    server.stop()  # mid-feed: events in flight, some queued, some still coming
    outage.join()
    hub.stop()  # the service restarts while the broker is away
    assert json.loads((root / "sinks.json").read_text())["sinks"][0]["queued"] > 0
    hub = Hub(str(root), config, ["gate"])
    hub.start()
    feed(300, 350)
    server.start()
    try:
        got = wait_for(lambda: set(ids(listener.on(PREFIX + "/events"))) >= {e["id"] for e in sent}, 60)
        events = listener.on(PREFIX + "/events")
        assert got, "missing {}".format(sorted({e["id"] for e in sent} - set(ids(events)))[:10])
        by_id = {}
        for payload, retain in events:
            event = json.loads(payload)
            assert not retain and by_id.setdefault(event["id"], event) == event  # a repeat is the same event
        assert len(by_id) == len(sent)
        first_seen = list(dict.fromkeys(ids(events)))
        assert first_seen == [e["id"] for e in sent]  # in order
        assert wait_for(lambda: hub.status()["sinks"][0]["queued"] == 0, 30)
        status = hub.status()["sinks"][0]
        assert status["connected"] and status["dropped"] == 0 and status["delivered"] >= 250
        assert listener.on(PREFIX + "/availability")[-1] == (b"online", False)
    finally:
        hub.stop()
    assert listener.on(PREFIX + "/availability")[-1][0] == b"offline"
    texts = [caplog.text, (root / "sinks.json").read_text(), server.log_text()]
    texts += [p.read_text() for p in (root / "outbox").rglob("*") if p.is_file()]
    assert all(PASSWORD not in text for text in texts)
    assert "connection lost" in caplog.text or "cannot connect" in caplog.text


# Home Assistant's MQTT discovery: the keys each component accepts (of those
# we may send) and the ones it needs; https://www.home-assistant.io/integrations/
# binary_sensor.mqtt, sensor.mqtt, image.mqtt and mqtt/#discovery-messages.
COMMON = {"name", "unique_id", "availability_topic", "payload_available", "payload_not_available",
          "device", "icon", "object_id", "json_attributes_topic", "value_template"}
SCHEMA = {
    "binary_sensor": (COMMON | {"state_topic", "payload_on", "payload_off", "device_class"},
                      {"state_topic"}),
    "sensor": (COMMON | {"state_topic", "unit_of_measurement", "device_class"}, {"state_topic"}),
    "image": (COMMON | {"image_topic", "content_type", "url_topic"}, set()),
}
DEVICE_KEYS = {"identifiers", "name", "manufacturer", "model", "sw_version", "connections"}


@pytest.mark.timeout(120)
def test_tls_topics_and_home_assistant_discovery(tmp_path, broker, subscriber):
    server = broker(tls=True)
    listener = subscriber(server, [PREFIX + "/#", "homeassistant/#"])
    root = tmp_path / "results"
    (root / "gate" / "rtsp_result").mkdir(parents=True)
    jpeg = b"\xff\xd8\xff\xe0 a best picture \xff\xd9"
    (root / "gate" / "rtsp_result" / "motion-7.jpg").write_bytes(jpeg)
    hub = Hub(str(root), settings(tmp_path, server, homeassistant=True), ["gate"])
    hub.start()
    try:
        incident = {"camera": "gate", "info_type": "motion", "incident": "i1", "count": 3,
                    "picture": "gate/rtsp_result/motion-7.jpg", "score": 0.9}
        hub.publish(dict(incident, type="incident_start", id="e1"))
        hub.publish(alarm(1))  # alarm pictures stay off MQTT unless alarm_events
        hub.publish({"type": "camera_offline", "id": "e2", "camera": "gate", "reason": "no frame"})
        hub.publish(dict(incident, type="incident_end", id="e3"))
        hub.camera_state("gate", {"state": "reconnecting", "reason": "connection refused", "online": False})
        assert wait_for(lambda: len(listener.on(PREFIX + "/events")) == 3
                        and listener.on(PREFIX + "/gate/state"), 30)
    finally:
        hub.stop()
    assert ids(listener.on(PREFIX + "/events")) == ["e1", "e2", "e3"]
    assert [p for p, _ in listener.on(PREFIX + "/gate/motion")] == [b"ON", b"OFF"]
    assert listener.on(PREFIX + "/gate/motion/snapshot")[0] == (jpeg, False)
    state = json.loads(listener.on(PREFIX + "/gate/state")[-1][0])
    assert len(state.pop("instance")) == 32  # names the process, for a collector
    assert state == {"state": "reconnecting", "reason": "connection refused", "online": False}

    configs = {}
    with listener.lock:
        for topic, payload, _ in listener.messages:
            if topic.startswith("homeassistant/"):
                configs[topic] = json.loads(payload)
    components = sorted(topic.split("/")[1] for topic in configs)
    assert components == ["binary_sensor", "image", "sensor"], configs
    subscribed = {topic for topic, _, _ in listener.messages}
    for topic, payload in configs.items():
        component = topic.split("/")[1]
        allowed, required = SCHEMA[component]
        assert topic == "homeassistant/{}/cam-host/{}/config".format(component, payload["unique_id"])
        assert set(payload) <= allowed and required <= set(payload), (topic, payload)
        assert payload["availability_topic"] == PREFIX + "/availability"
        assert (payload["payload_available"], payload["payload_not_available"]) == ("online", "offline")
        assert set(payload["device"]) <= DEVICE_KEYS
        assert payload["device"]["identifiers"] == ["visionengin_cam-host"]
        assert payload["device"]["name"] == "cam-host"
        for key in ("state_topic", "image_topic", "json_attributes_topic"):
            if key in payload:
                assert payload[key] in subscribed, (key, payload[key])  # a topic we publish
    sensor = configs["homeassistant/binary_sensor/cam-host/cam-host_gate_motion/config"]
    assert (sensor["payload_on"], sensor["payload_off"], sensor["device_class"]) == ("ON", "OFF", "motion")
    image = configs["homeassistant/image/cam-host/cam-host_gate_motion_snapshot/config"]
    assert image["content_type"] == "image/jpeg"
    state = configs["homeassistant/sensor/cam-host/cam-host_gate_state/config"]
    assert state["value_template"] == "{{ value_json.state }}"
