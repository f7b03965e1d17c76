"""The sinks' mosquitto fixtures, and a device as the collector hears it:
the messages a device's MQTT sink sends, in its order."""
import json
import os
import pathlib
import sys
import uuid

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from sinks.conftest import Broker, broker, wait_for  # noqa: E402,F401 - fixtures

DATA = pathlib.Path(__file__).resolve().parents[2] / "data"
JPEG, BEST = (DATA / "fruits.jpg").read_bytes(), (DATA / "astronaut.jpg").read_bytes()  # whole pictures


class FakeDevice:
    """Publishes a device's real message shapes (topic, payload, retain) with
    paho: what the load generator sends too."""

    def __init__(self, broker, name, client_id=None):
        import paho.mqtt.client as paho
        from paho.mqtt.enums import CallbackAPIVersion

        self.name, self.prefix = name, "visionengin/" + name
        self.instance = uuid.uuid4().hex
        self.client = paho.Client(CallbackAPIVersion.VERSION2, client_id=client_id or "dev-" + name,
                                  protocol=paho.MQTTv311, clean_session=True)
        self.client.will_set(self.prefix + "/availability", "offline", qos=1, retain=True)
        self.client.connect("127.0.0.1", broker.port, keepalive=10)
        self.client.loop_start()
        self.send("availability", b"online", retain=True)
        self.announce()

    def send(self, topic, payload, retain=False, qos=1):
        self.client.publish(self.prefix + "/" + topic, payload, qos=qos, retain=retain).wait_for_publish(10)

    def announce(self, at="2026-12-09T07:59:00+00:00"):  # a heartbeat's time, by the device's clock
        self.send("instance", json.dumps({"instance": self.instance, "client_id": self.client._client_id.decode(),
                                          "host": "h", "pid": 1, "started": "2026-12-09T00:00:00+00:00",
                                          "time": at}).encode(), retain=True, qos=0)

    def raw(self, topic, payload, retain=False):
        """A message under any device's name: what anyone on the broker can send."""
        self.client.publish("visionengin/" + topic, payload, qos=1, retain=retain).wait_for_publish(10)

    def event(self, line, picture=None):
        self.send("events", json.dumps(dict(line, instance=self.instance)).encode())
        if picture is not None:
            self.send("{}/{}/snapshot".format(line["camera"], line["info_type"]), picture, retain=True)
            self.send("{}/{}".format(line["camera"], line["info_type"]),
                      b"ON" if line["type"] == "incident_start" else b"OFF", retain=True)

    def close(self):
        self.client.disconnect()
        self.client.loop_stop()


def incident(kind, incident_id, camera="gate", info_type="motion", n=1):
    return {"type": kind, "id": uuid.uuid4().hex, "incident": incident_id, "time": "2026-12-09T08:00:0{}+00:00".format(n),
            "camera": camera, "info_type": info_type, "start": "2026-12-09T08:00:00+00:00",
            "end": "2026-12-09T08:00:0{}+00:00".format(n), "count": n, "picture": camera + "/rtsp_result/motion-1.jpg",
            "score": 0.9}


def health(kind="camera_offline", camera="gate"):
    return {"type": kind, "id": uuid.uuid4().hex, "time": "2026-12-09T08:00:05+00:00", "camera": camera,
            "reason": "no analysed frame for 30 s"}
