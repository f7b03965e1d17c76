"""The MQTT sink: events, camera states, incidents as ON/OFF and their best
pictures, under one topic prefix, over paho-mqtt's client (its own network
thread reconnects with a back-off; QoS 1 messages in flight are sent again
after a reconnect, so the sender waits for each rather than sending twice).

Topics under the prefix: ``availability`` ("online", "offline" as the last
will, retained), ``events`` (one JSON event a message), ``<camera>/state``
(retained JSON), ``<camera>/<info type>`` ("ON"/"OFF", retained),
``<camera>/<info type>/snapshot`` (JPEG bytes, retained), and ``instance``
(retained JSON naming this process: a collector tells a restart from two
devices sharing a name by it), sent with "online" again every ``HEARTBEAT``
seconds so a collector knows when the device was last seen.
"""
from __future__ import annotations

import json
import logging
import datetime
import os
import socket
import ssl
import threading
import time
import uuid
from typing import Any, Dict, List, Optional, Set, Tuple

import paho.mqtt.client as paho
from paho.mqtt.enums import CallbackAPIVersion

from ..events.outbox import Outbox
from . import homeassistant as ha
from .sender import DeliveryError, Sender

log = logging.getLogger("visionengin.sinks")
WAIT = 1.0  # seconds between looks at the stop flag while a message is in flight
INCIDENTS = ("incident_start", "incident_end")
HEARTBEAT = 15.0  # seconds between two "instance" messages


class MqttSettings:
    """The ``[mqtt]`` table, checked; ``password`` is never shown."""

    def __init__(self, host: str, port: int, tls: bool, ca_file: Optional[str],
                 username: Optional[str], password: Optional[str], client_id: str,
                 prefix: str, qos: int, alarm_events: bool, homeassistant: bool) -> None:
        self.host, self.port, self.tls, self.ca_file = host, port, tls, ca_file
        self.username, self.password, self.client_id = username, password, client_id
        self.prefix, self.qos = prefix.rstrip("/"), qos
        self.alarm_events, self.homeassistant = alarm_events, homeassistant

    def __repr__(self) -> str:
        return "MqttSettings({}:{}, prefix {!r})".format(self.host, self.port, self.prefix)


class Mqtt(Sender):
    kind = "mqtt"

    def __init__(self, outbox: Outbox, settings: MqttSettings, device: str, root: str,
                 cameras: List[str]) -> None:
        scheme = "mqtts" if settings.tls else "mqtt"
        super().__init__("mqtt", outbox, "{}://{}:{}".format(scheme, settings.host, settings.port))
        self.settings, self.device, self.root = settings, device, root
        self.cameras = list(cameras)
        self.retained: Dict[str, bytes] = {}  # topic: latest payload, sent again at each connect
        self.types: Set[Tuple[str, str]] = set(self._load_types())
        self.lock = threading.Lock()
        self.published = threading.Condition()  # never held while calling the client
        self.completions = 0
        self.done: Dict[int, int] = {}  # message id: completion number
        self.resend = self.refused = False
        self.instance = uuid.uuid4().hex  # this process, whatever its client id
        self.started = time.time()
        self.beat_at = 0.0
        self.client = self._client()

    def _client(self) -> paho.Client:
        s = self.settings
        client = paho.Client(CallbackAPIVersion.VERSION2, client_id=s.client_id,
                             protocol=paho.MQTTv311, clean_session=True)
        if log.isEnabledFor(logging.DEBUG):  # otherwise our own lines tell the failures, once
            client.enable_logger(logging.getLogger("visionengin.sinks.paho"))
        if s.username is not None:
            client.username_pw_set(s.username, s.password)
        if s.tls:
            client.tls_set(ca_certs=s.ca_file, cert_reqs=ssl.CERT_REQUIRED)
        client.will_set(self.topic("availability"), "offline", qos=1, retain=True)
        client.reconnect_delay_set(1, 30)
        client.max_queued_messages_set(0)
        client.on_connect = self._on_connect
        client.on_disconnect = self._on_disconnect
        client.on_publish = self._on_publish
        return client

    def topic(self, *parts: str) -> str:
        return "/".join((self.settings.prefix,) + parts)

    # connection ------------------------------------------------------------
    def start(self) -> None:
        self.client.connect_async(self.settings.host, self.settings.port, keepalive=30)
        self.client.loop_start()
        super().start()

    def stop(self, timeout: float = 5.0) -> None:
        with self.lock:
            self.stopping.set()
        if self.connected:  # a clean leave: the will is not sent, so say it
            info = self.client.publish(self.topic("availability"), "offline", qos=1, retain=True)
            try:
                info.wait_for_publish(2.0)
            except (RuntimeError, ValueError):
                pass
        self.client.disconnect()
        self.client.loop_stop()
        super().stop(timeout)

    def _on_connect(self, client: Any, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        if reason.is_failure:
            self.connected, self.refused = False, True
            self.failed("{} refused the connection: {}".format(self.target, reason))
            return
        self.refused = False
        # Only what needs no order here; the sender's thread sends the rest
        # (paho's callbacks hold its lock: no waiting on ours from them).
        self.client.publish(self.topic("availability"), b"online", qos=self.settings.qos, retain=True)
        self.resend, self.connected, self.beat_at = True, True, 0.0
        self.wake.set()
        with self.outbox.added:
            self.outbox.added.notify_all()
        log.info("mqtt: connected to %s", self.target)

    def housekeeping(self) -> None:
        """After a connect: discovery and every retained state again, from
        the sender's thread, so an older state never follows a newer one."""
        self.heartbeat()
        if not (self.resend and self.connected):
            return
        self.resend = False
        if self.settings.homeassistant:
            for camera in self.cameras:
                self._discover(camera, None)
            for camera, info_type in sorted(self.types):
                self._discover(camera, info_type)
        with self.lock:
            for topic, payload in self.retained.items():
                self._send(topic, payload, retain=True)

    def heartbeat(self) -> None:
        """"online" and this process's ``instance``, at QoS 0: the latest is
        all that matters, and none pile up for an absent collector."""
        now = time.monotonic()
        if not self.connected or now - self.beat_at < HEARTBEAT:
            return
        self.beat_at = now
        stamp = datetime.datetime.now(datetime.timezone.utc).isoformat()
        started = datetime.datetime.fromtimestamp(self.started, datetime.timezone.utc).isoformat()
        payload = {"instance": self.instance, "client_id": self.settings.client_id,
                   "host": socket.gethostname(), "pid": os.getpid(), "started": started,
                   "time": stamp}
        with self.lock:  # never after the "offline" of a stop
            if self.stopping.is_set():
                return
            self.client.publish(self.topic("availability"), b"online", qos=0, retain=True)
            self.client.publish(self.topic("instance"), json.dumps(payload).encode("utf-8"),
                                qos=0, retain=True)

    def _on_disconnect(self, client: Any, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        was, self.connected = self.connected, False
        if not self.stopping.is_set() and not (self.refused and not was):  # the refusal says more
            self.failed("{}: connection lost ({})".format(self.target, reason) if was else
                        "{}: cannot connect ({})".format(self.target, reason))

    def _send(self, topic: str, payload: bytes, retain: bool = False) -> Any:
        return self.client.publish(topic, payload, qos=self.settings.qos, retain=retain)

    # what is sent ----------------------------------------------------------
    def wants(self, event: Dict[str, Any]) -> bool:
        return event.get("type") != "alarm" or self.settings.alarm_events

    def camera_state(self, camera: str, state: Dict[str, Any]) -> None:
        """The camera's current state, retained; not queued: only the latest
        matters, and it is sent again at every connect."""
        payload = json.dumps(dict(state, instance=self.instance), ensure_ascii=False).encode("utf-8")
        topic = self.topic(camera, "state")
        with self.lock:
            if self.retained.get(topic) == payload:
                return
            self.retained[topic] = payload
            if self.connected:
                self._send(topic, payload, retain=True)

    def deliver(self, event: Dict[str, Any]) -> None:
        if not self.connected:
            raise DeliveryError(self.last_error or "{}: not connected".format(self.target))
        self.housekeeping()
        messages: List[Tuple[str, bytes, bool]] = [
            (self.topic("events"), json.dumps(dict(event, instance=self.instance),
                                              ensure_ascii=False).encode("utf-8"), False)]
        kind, camera = event.get("type"), str(event.get("camera", ""))
        if kind in INCIDENTS and camera:
            info_type = ha.slug(str(event.get("info_type")))
            if (camera, info_type) not in self.types:
                self.types.add((camera, info_type))
                self._save_types()
                if self.settings.homeassistant and self.connected:
                    self._discover(camera, info_type)
            picture = self._picture(event)
            if picture is not None:
                messages.append((self.topic(camera, info_type, "snapshot"), picture, True))
            messages.append((self.topic(camera, info_type),
                             b"ON" if kind == "incident_start" else b"OFF", True))
        mids = []
        for topic, payload, retain in messages:
            with self.published:
                since = self.completions
            if retain:
                with self.lock:
                    self.retained[topic] = payload
                    mids.append((self._send(topic, payload, retain).mid, since))
            else:
                mids.append((self._send(topic, payload, retain).mid, since))
        with self.published:  # in flight: paho sends it again after a reconnect
            try:
                while not all(self.done.get(mid, -1) > since for mid, since in mids):
                    if self.stopping.is_set():
                        raise DeliveryError("stopping")
                    self.published.wait(WAIT)
            finally:
                for mid, _ in mids:
                    self.done.pop(mid, None)

    def _on_publish(self, client: Any, userdata: Any, mid: int, reason: Any, properties: Any) -> None:
        # A count, not a set: a number the client gives again later is told
        # apart from its earlier use by when it completed.
        with self.published:
            self.completions += 1
            self.done[mid] = self.completions
            self.published.notify_all()

    def _picture(self, event: Dict[str, Any]) -> Optional[bytes]:
        picture = event.get("picture")
        if not isinstance(picture, str):
            return None
        try:
            with open(os.path.join(self.root, picture), "rb") as file:
                return file.read()
        except OSError as error:  # removed by retention meanwhile
            log.debug("mqtt: no snapshot %s: %s", picture, error)
            return None

    def _discover(self, camera: str, info_type: Optional[str]) -> None:
        configs = ha.camera_configs(self.device, self.settings.prefix, camera) if info_type is None \
            else ha.info_type_configs(self.device, self.settings.prefix, camera, info_type)
        for topic, payload in configs:
            self._send(topic, ha.encode(payload), retain=True)

    def _load_types(self) -> List[Tuple[str, str]]:
        try:
            with open(os.path.join(self.outbox.folder, "types.json"), encoding="utf-8") as file:
                pairs = json.load(file)
            return [(str(a), str(b)) for a, b in pairs]
        except (OSError, ValueError, TypeError):
            return []

    def _save_types(self) -> None:
        path = os.path.join(self.outbox.folder, "types.json")
        try:
            with open(path + ".tmp", "w", encoding="utf-8") as file:
                json.dump(sorted(self.types), file)
            os.replace(path + ".tmp", path)
        except OSError as error:
            log.warning("mqtt: cannot keep the info types seen: %s", error)
