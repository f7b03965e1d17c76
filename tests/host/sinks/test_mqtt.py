"""The MQTT sink against a real mosquitto on 127.0.0.1: a password, TLS with a
CA made here, the broker away and the service restarted mid-run, Home
Assistant's discovery payloads field by field. The sinks are driven directly:
the events are what the live cameras hand them."""
import json
import logging
import socket
import threading
import time
import uuid

import jinja2
import paho.mqtt.client as paho
import pytest
from paho.mqtt.enums import CallbackAPIVersion

from visionengin_cli.cameras import config as config_module
from visionengin_cli.cameras.table import COLOURS
from visionengin_cli.fleet.client import Collector, Settings
from visionengin_cli.fleet.store import Store
from visionengin_cli.sinks import config as sinks_config
from visionengin_cli.sinks import topics
from visionengin_cli.sinks.hub import Hub

from .conftest import PASSWORD, USER, free_port, wait_for

pytestmark = pytest.mark.slow  # starts servers or processes

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
COMMON = {"name", "unique_id", "availability", "availability_mode", "availability_topic",
          "payload_available", "payload_not_available", "device", "origin", "entity_category",
          "icon", "object_id", "json_attributes_topic", "value_template"}
SCHEMA = {
    "binary_sensor": (COMMON | {"state_topic", "payload_on", "payload_off", "device_class"},
                      {"state_topic"}),
    "sensor": (COMMON | {"state_topic", "unit_of_measurement", "device_class", "options"}, {"state_topic"}),
    "image": (COMMON | {"image_topic", "content_type", "url_topic"}, set()),
}
DEVICE_KEYS = {"identifiers", "name", "manufacturer", "model", "sw_version", "connections",
               "configuration_url"}
AVAILABILITY_KEYS = {"topic", "payload_available", "payload_not_available", "value_template"}
ORIGIN_KEYS = {"name", "sw_version", "support_url"}
DEVICE_AVAILABILITY = {"topic": PREFIX + "/availability", "payload_available": "online",
                       "payload_not_available": "offline"}


def check_discovery(topic, payload, subscribed):
    """One discovery payload against the documented keys."""
    component = topic.split("/")[1]
    allowed, required = SCHEMA[component]
    assert topic == "homeassistant/{}/cam-host/{}/config".format(component, payload["unique_id"])
    assert set(payload) <= allowed and required <= set(payload), (topic, payload)
    assert "availability_topic" not in payload  # not beside "availability"
    assert payload["availability_mode"] in ("all", "any", "latest")
    for entry in payload["availability"]:
        assert set(entry) <= AVAILABILITY_KEYS and "topic" in entry and entry["topic"] in subscribed
    assert payload["availability"][0] == DEVICE_AVAILABILITY
    assert payload.get("entity_category", "diagnostic") in ("config", "diagnostic")
    assert set(payload["origin"]) <= ORIGIN_KEYS and payload["origin"]["name"] == "visionengin"
    assert set(payload["device"]) <= DEVICE_KEYS
    assert payload["device"]["identifiers"] == ["visionengin_cam-host"]
    assert payload["device"]["name"] == "cam-host"
    for key in ("state_topic", "image_topic", "json_attributes_topic"):
        if key in payload:
            assert payload[key] in subscribed, (key, payload[key])  # a topic we publish


def render(template, payload):
    """A value template as Home Assistant renders it: Jinja with value_json."""
    return jinja2.Environment().from_string(template).render(value_json=json.loads(payload))


@pytest.mark.timeout(120)
def test_tls_topics_and_home_assistant_discovery(tmp_path, broker, subscriber):
    server = broker(tls=True)
    listener = subscriber(server, [PREFIX + "/#", "homeassistant/#"])
    root = tmp_path / "results"
    (root / "gate" / "rtsp_result").mkdir(parents=True)
    jpeg = b"\xff\xd8\xff\xe0 a best picture \xff\xd9"
    (root / "gate" / "rtsp_result" / "motion-7.jpg").write_bytes(jpeg)
    hub = Hub(str(root), settings(tmp_path, server, homeassistant=True), ["gate"])
    hub.set_page("http://0.0.0.0:8080/")  # the page on every address: named by the host's name
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
                        and b"reconnecting" in listener.on(PREFIX + "/gate/state")[-1][0], 30)
    finally:
        hub.stop()
    assert ids(listener.on(PREFIX + "/events")) == ["e1", "e2", "e3"]
    assert [p for p, _ in listener.on(PREFIX + "/gate/motion")] == [b"ON", b"OFF"]
    assert listener.on(PREFIX + "/gate/motion/snapshot")[0] == (jpeg, False)
    last_state = listener.on(PREFIX + "/gate/state")[-1][0]
    state = json.loads(last_state)
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
        check_discovery(topic, payload, subscribed)
        assert payload["device"]["configuration_url"] == "http://{}:8080/".format(socket.gethostname())
    sensor = configs["homeassistant/binary_sensor/cam-host/cam-host_gate_motion/config"]
    assert (sensor["payload_on"], sensor["payload_off"], sensor["device_class"]) == ("ON", "OFF", "motion")
    image = configs["homeassistant/image/cam-host/cam-host_gate_motion_snapshot/config"]
    assert image["content_type"] == "image/jpeg"
    for entity in (sensor, image):  # the camera's own availability beside the device's
        assert entity["availability_mode"] == "all" and len(entity["availability"]) == 2
        camera = entity["availability"][1]
        assert camera["topic"] == PREFIX + "/gate/state"
        assert render(camera["value_template"], last_state) == "offline"  # no video: unavailable
        assert render(camera["value_template"], last_state.replace(b"false", b"true")) == "online"
    state = configs["homeassistant/sensor/cam-host/cam-host_gate_state/config"]
    assert state["value_template"] == "{{ value_json.state }}"
    assert (state["device_class"], state["entity_category"]) == ("enum", "diagnostic")
    assert set(COLOURS) <= set(state["options"])  # every word a camera's state can be
    assert render(state["value_template"], last_state) in state["options"]
    assert state["availability"] == [DEVICE_AVAILABILITY]  # shows why a camera has no video


def retained(server, topics):
    """The retained messages on ``topics`` now, {topic: payload}: a new
    client stores a marker, subscribes to ``topics``, then to the marker; the
    broker answers in order, so the marker comes after the rest."""
    marker = "test/marker/" + uuid.uuid4().hex
    got, done = {}, threading.Event()
    client = paho.Client(CallbackAPIVersion.VERSION2, client_id="retained-" + uuid.uuid4().hex,
                         protocol=paho.MQTTv311, clean_session=True)

    def on_connect(client, userdata, flags, reason, properties):
        client.publish(marker, b"end", qos=1, retain=True)
        client.subscribe([(topic, 1) for topic in topics])
        client.subscribe(marker, 1)

    def on_message(client, userdata, message):
        if message.topic == marker:
            done.set()
        elif message.retain:
            got[message.topic] = bytes(message.payload)

    client.on_connect, client.on_message = on_connect, on_message
    client.connect("127.0.0.1", server.port, keepalive=10)
    client.loop_start()
    try:
        assert done.wait(20), "no marker"
    finally:
        client.publish(marker, b"", qos=1, retain=True).wait_for_publish(5)
        client.disconnect()
        client.loop_stop()
    return got


def incident_of(camera, kind, n):
    return {"type": kind, "id": "{}-{}-{}".format(camera, kind, n), "camera": camera, "info_type": "motion",
            "incident": "{}-i{}".format(camera, n), "count": 1, "picture": camera + "/m.jpg", "score": 0.9}


def of(camera, messages):
    return sorted(t for t in messages if t.startswith(PREFIX + "/" + camera + "/")
                  or "_{}_".format(camera) in t)


@pytest.mark.timeout(120)
def test_a_camera_removed_leaves_the_broker_at_a_reload_and_at_the_next_start(tmp_path, broker, subscriber):
    server = broker()
    listener = subscriber(server, [PREFIX + "/#"])
    root, fleet = tmp_path / "results", tmp_path / "fleet"
    root.mkdir()
    for camera in ("gate", "yard", "door"):
        (root / (camera + ".jpg")).write_bytes(b"\xff\xd8\xff\xe0 " + camera.encode() + b" \xff\xd9")
    store, lock = Store(str(fleet)), threading.Lock()

    def shown(camera):  # the collector's tick writes what it heard
        with lock:
            store.tick()
        return (fleet / "cam-host" / camera / "status.json").exists()

    collector = Collector(Settings("127.0.0.1", server.port, False, None, None, None, "collector-test",
                                   "visionengin/#"), store, lock)
    collector.start()
    config = settings(tmp_path, server, homeassistant=True)
    topics = [PREFIX + "/#", "homeassistant/#"]
    hub = Hub(str(root), config, ["gate", "yard", "door"])
    hub.start()
    try:
        for camera in ("gate", "yard", "door"):
            hub.publish(dict(incident_of(camera, "incident_start", 1), picture=camera + ".jpg"))
            hub.camera_state(camera, {"state": "streaming", "reason": None, "online": True, "disk_full": False})
        assert wait_for(lambda: all(listener.on(PREFIX + "/{}/motion".format(c)) for c in ("gate", "yard", "door")))
        assert wait_for(lambda: shown("door"), 20)
        assert len(of("door", retained(server, topics))) == 6  # 3 discovery, state, ON/OFF, snapshot
        hub.set_cameras(["gate", "yard"])  # a reload: door is gone
        hub.publish(incident_of("door", "incident_end", 1))  # its incident ends at the reload
        assert wait_for(lambda: not of("door", retained(server, topics)), 20)
        assert wait_for(lambda: ids(listener.on(PREFIX + "/events"))[-1:] == ["door-incident_end-1"], 20)
        time.sleep(0.5)  # the end was sent: its ON/OFF and snapshot were not
        assert not of("door", retained(server, topics))
    finally:
        hub.stop()
    hub = Hub(str(root), config, ["gate"])  # yard left the file while the command was stopped
    hub.start()
    try:
        assert wait_for(lambda: not of("yard", retained(server, topics)), 20)
    finally:
        hub.stop()
    kept = retained(server, topics)
    assert len(of("gate", kept)) == 6 and not of("yard", kept) and not of("door", kept)
    published = json.loads((root / "outbox" / "mqtt" / "published.json").read_text())
    assert published == {"cameras": ["gate"], "types": [["gate", "motion"]]}
    try:  # the collector stops showing them
        assert wait_for(lambda: not shown("yard"), 20)
        assert not shown("door") and shown("gate")
    finally:
        collector.stop()
        store.close()


@pytest.mark.timeout(120)
def test_a_camera_added_by_a_reload_gets_its_state_sensor(tmp_path, broker, subscriber):
    server = broker()
    listener = subscriber(server, [PREFIX + "/#", "homeassistant/#"])
    hub = Hub(str(tmp_path / "results"), settings(tmp_path, server, homeassistant=True), ["gate"])
    hub.start()
    try:
        assert wait_for(lambda: listener.on("homeassistant/sensor/cam-host/cam-host_gate_state/config"))
        hub.set_cameras(["gate", "porch"])
        assert wait_for(lambda: listener.on("homeassistant/sensor/cam-host/cam-host_porch_state/config"), 20)
        assert json.loads(listener.on(PREFIX + "/porch/state")[-1][0])["state"] == "starting"
    finally:
        hub.stop()


@pytest.mark.timeout(120)
def test_the_state_comes_before_online_and_is_sent_on_change_only(tmp_path, broker, subscriber):
    server = broker()
    old = paho.Client(CallbackAPIVersion.VERSION2, client_id="last-run", protocol=paho.MQTTv311)
    old.connect("127.0.0.1", server.port)
    old.loop_start()
    for topic, payload in ((PREFIX + "/gate/state", b'{"state": "streaming", "instance": "old"}'),
                           (PREFIX + "/availability", b"offline")):
        old.publish(topic, payload, qos=1, retain=True).wait_for_publish(10)
    old.disconnect()
    old.loop_stop()
    listener = subscriber(server, [PREFIX + "/#"])
    hub = Hub(str(tmp_path / "results"), settings(tmp_path, server), ["gate"])
    hub.start()
    try:
        assert wait_for(lambda: (b"online", False) in listener.on(PREFIX + "/availability"), 20)
        with listener.lock:
            live = [(t, p) for t, p, retain in listener.messages if not retain]
        first_state = next(n for n, (t, _) in enumerate(live) if t == PREFIX + "/gate/state")
        assert first_state < live.index((PREFIX + "/availability", b"online"))  # no report yet
        assert json.loads(live[first_state][1])["state"] == "starting"
        for seconds in (3, 4, 5):  # a stopped process, as each look tells it
            hub.camera_state("gate", {"state": "starting", "online": True, "disk_full": False,
                                      "reason": "no report from the camera process for {} s".format(seconds)})
        hub.camera_state("gate", {"state": "streaming", "reason": None, "online": True, "disk_full": False})
        assert wait_for(lambda: b"streaming" in listener.on(PREFIX + "/gate/state")[-1][0], 20)
        states = [json.loads(p) for p, retain in listener.on(PREFIX + "/gate/state") if not retain]
        assert [s["reason"] for s in states] == ["no frame analysed yet", "no report from the camera process",
                                                 None]
    finally:
        hub.stop()


def test_the_collector_reads_back_every_topic_a_device_builds():
    """One tree for both ends: what the device publishes under the default
    prefix is what the collector's default subscription reads, field by field."""
    prefix, read = topics.default_prefix("shed"), lambda topic: topics.parse(topics.SUBSCRIPTION, topic)
    assert [read(t) for t in (topics.events(prefix), topics.availability(prefix), topics.instance(prefix),
                              topics.state(prefix, "gate"), topics.switch(prefix, "gate", "motion"),
                              topics.snapshot(prefix, "gate", "motion"))] == [
        ("events", "shed", None, None), ("availability", "shed", None, None), ("instance", "shed", None, None),
        ("state", "shed", "gate", None), ("switch", "shed", "gate", "motion"),
        ("snapshot", "shed", "gate", "motion")]
    assert topics.snapshot(prefix, "gate", "motion") == "visionengin/shed/gate/motion/snapshot"
    # a unit's own availability, a zone's switch and discovery are not the collector's
    assert [read(t) for t in (topics.availability(prefix, "u1"), topics.zone(prefix, "gate", "drive", "motion"),
                              topics.discovery("sensor", "shed", "shed_gate_state"))] == [None, None, None]


def test_names_one_in_home_assistant_are_refused_together(tmp_path):
    text = ('[mqtt]\nhost = "127.0.0.1"\nhomeassistant = {}\n'
            '[cameras.cam_1]\naddress = "rtsp://a/1"\n[cameras."cam.1"]\naddress = "rtsp://a/2"\n')
    path = tmp_path / "cameras.toml"
    path.write_text(text.format("true"))
    with pytest.raises(config_module.ConfigError) as refused:
        config_module.load(str(path))
    assert str(refused.value) == ("{}: cameras.cam.1: 'cam_1' and 'cam.1' would be one entity in Home "
                                  "Assistant (its ids write '.' as '_'): rename one".format(path))
    path.write_text(text.format("false"))  # without discovery nothing is shared: as before
    assert sorted(config_module.load(str(path)).cameras) == ["cam.1", "cam_1"]


@pytest.mark.timeout(120)
# paho drops the socket of a failed TLS handshake without closing it: the
# garbage collector closes it, with this warning.
@pytest.mark.filterwarnings("ignore:unclosed <ssl.SSLSocket:ResourceWarning")
@pytest.mark.parametrize("case", ["certificate", "closed port"])
def test_why_the_broker_cannot_be_reached_is_told(tmp_path, broker, caplog, case):
    caplog.set_level(logging.INFO)
    if case == "certificate":  # a CA of its own, which the system's do not know
        server, port, reason = broker(tls=True), None, "cannot connect: TLS certificate refused"
        port = server.port
    else:
        port, reason = free_port(), "cannot connect: Connection refused"
    config = sinks_config.parse({"device": "cam-host", "mqtt": {
        "host": "127.0.0.1", "port": port, "tls": case == "certificate"}}, str(tmp_path))
    root = tmp_path / "results"
    hub = Hub(str(root), config, ["gate"])
    attempts = []
    hook = hub.mqtt.client.on_connect_fail
    hub.mqtt.client.on_connect_fail = lambda *a: (attempts.append(1), hook(*a))
    hub.start()
    try:
        assert wait_for(lambda: len(attempts) >= 2, 20)  # tried again, told once
    finally:
        hub.stop()
    assert reason in json.loads((root / "sinks.json").read_text())["sinks"][0]["last_error"]
    assert caplog.text.count(reason) == 1, caplog.text
    collector = Collector(Settings("127.0.0.1", port, case == "certificate", None, None, None, "c",
                                   "visionengin/#"), Store(str(tmp_path / "fleet")), threading.Lock())
    collector.start()
    try:
        assert wait_for(lambda: collector.last_error, 20)
        assert reason in collector.last_error
    finally:
        collector.stop()
    assert caplog.text.count(reason) == 2, caplog.text
