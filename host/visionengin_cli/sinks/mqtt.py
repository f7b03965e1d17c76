"""The MQTT sink: events, camera states, incidents as ON/OFF and their best
pictures, under one topic prefix, over paho-mqtt's client (its own network
thread reconnects with a back-off; QoS 1 messages in flight are sent again
after a reconnect, so the sender waits for each rather than sending twice).

Topics under the prefix: ``availability`` ("online", "offline" as the last
will, retained), ``events`` (one JSON event a message), ``<camera>/state``
(retained JSON), ``<camera>/<info type>`` ("ON"/"OFF", retained),
``<camera>/<info type>/snapshot`` (JPEG bytes, retained),
``<camera>/<zone>/<info type>`` ("ON"/"OFF", retained: the incidents of one
zone, for a camera whose incidents are told by zone), and ``instance``
(retained JSON naming this process: a collector tells a restart from two
devices sharing a name by it), sent with "online" again every ``HEARTBEAT``
seconds so a collector knows when the device was last seen.

At each connect the discovery and every camera's state go out before
"online" (a camera without a report yet is "starting"), so neither Home
Assistant nor a collector takes the last run's retained state for this one's.
A state is sent when it changes, its reason without the seconds it counts.
A camera gone from the configuration has its retained topics cleared (empty
payloads, discovery first), at a reload or, failing that, at the next start.

A unit run with ``--only`` (``unit``: a digest of its cameras' names) connects
as ``<client id>-<unit>`` and tells its own availability on
``units/<unit>/availability`` (its will too), which its cameras' Home
Assistant entities follow; it leaves ``availability`` and ``instance`` to a
unit without ``--only``, so units that stop and start never flap the device's.
"""
from __future__ import annotations

import json
import logging
import datetime
import os
import re
import socket
import ssl
import threading
import time
import uuid
from typing import Any, Dict, List, Optional, Sequence, Set, Tuple

import paho.mqtt.client as paho
from paho.mqtt.enums import CallbackAPIVersion

from .. import states
from ..events.outbox import Outbox
from . import broker_errors
from . import homeassistant as ha
from . import topics
from .published import Published
from .sender import DeliveryError, Sender

log = logging.getLogger("visionengin.sinks")
WAIT = 1.0  # seconds between looks at the stop flag while a message is in flight
INCIDENTS = ("incident_start", "incident_end")
HEARTBEAT = 15.0  # seconds between two "instance" messages
# A camera's state before its first report, in the words the supervisor uses.
STARTING = {"state": states.STARTING, "reason": "no frame analysed yet", "online": True, "disk_full": False}
_COUNTING = re.compile(r" for \d+ s\b")  # "no frames for 4 s": a reason that changes every second
Message = Tuple[str, bytes, bool]  # topic, payload, retained


def steady(reason: str) -> str:
    """The reason without the seconds it counts: sent once, not every second."""
    return _COUNTING.sub("", reason)


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
                 cameras: List[str], kept: Optional[Sequence[str]] = None,
                 unit: Optional[str] = None) -> None:
        scheme = "mqtts" if settings.tls else "mqtt"
        super().__init__("mqtt", outbox, "{}://{}:{}".format(scheme, settings.host, settings.port))
        self.settings, self.device, self.root, self.unit = settings, device, root, unit
        self.client_id = settings.client_id if unit is None else settings.client_id + "-" + unit
        self.availability = topics.availability(settings.prefix, unit)
        self.lock = threading.Lock()
        self.cameras = list(cameras)  # those run here: their topics are published
        self.kept = set(cameras if kept is None else kept)  # in the configuration: never cleared
        self.retained: Dict[str, bytes] = {}  # topic: latest payload, sent again at each connect
        self.published = Published(outbox.folder)
        self.published.add_cameras(self.cameras)  # on disk before anything of them is sent
        self.discovery = ha.Discovery(device, settings.prefix, availability=self.availability)
        self.discovered: Set[str] = set()  # cameras discovered on this connection (sender's thread)
        self.acked = threading.Condition()  # never held while calling the client
        self.completions = 0
        self.done: Dict[int, int] = {}  # message id: completion number
        self.resend = self.refused = False
        self.instance = uuid.uuid4().hex  # this process, whatever its client id
        self.started = time.time()
        self.beat_at: Optional[float] = None  # None: "online" and "instance" are due
        self.client = self._client()
        for camera in self.cameras:
            self.camera_state(camera, STARTING)

    def _client(self) -> paho.Client:
        s = self.settings
        client = paho.Client(CallbackAPIVersion.VERSION2, client_id=self.client_id,
                             protocol=paho.MQTTv311, clean_session=True)
        if log.isEnabledFor(logging.DEBUG):  # otherwise our own lines tell the failures, once
            client.enable_logger(logging.getLogger("visionengin.sinks.paho"))
        if s.username is not None:
            client.username_pw_set(s.username, s.password)
        if s.tls:
            client.tls_set(ca_certs=s.ca_file, cert_reqs=ssl.CERT_REQUIRED)
        client.will_set(self.availability, "offline", qos=1, retain=True)
        client.reconnect_delay_set(1, 30)
        client.max_queued_messages_set(0)
        client.on_connect = self._on_connect
        client.on_connect_fail = self._on_connect_fail
        client.on_disconnect = self._on_disconnect
        client.on_publish = self._on_publish
        return client

    def set_page(self, url: str) -> None:
        """The status page's address, for Home Assistant's device page; before start()."""
        self.discovery.page = ha.page_address(url)

    def set_cameras(self, cameras: List[str], kept: Optional[Sequence[str]] = None) -> None:
        """After a reload: the cameras run now, and those the configuration
        holds; a camera in neither is cleared from the broker by the sender."""
        self.published.add_cameras(cameras)
        with self.lock:
            added = [camera for camera in cameras if camera not in self.cameras]
            self.cameras = list(cameras)
            self.kept = set(cameras if kept is None else kept)
        for camera in added:
            self.camera_state(camera, STARTING)

    # connection ------------------------------------------------------------
    def start(self) -> None:
        self.client.connect_async(self.settings.host, self.settings.port, keepalive=30)
        self.client.loop_start()
        super().start()

    def stop(self, timeout: float = 5.0) -> None:
        with self.lock:
            self.stopping.set()
        if self.connected:  # a clean leave: the will is not sent, so say it
            info = self.client.publish(self.availability, "offline", qos=1, retain=True)
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
        # Nothing is sent here: the sender's thread sends discovery, states
        # and then "online", in that order (paho's callbacks hold its lock:
        # no waiting on ours from them).
        self.resend, self.connected, self.beat_at = True, True, None
        self.wake.set()
        with self.outbox.added:
            self.outbox.added.notify_all()
        log.info("mqtt: connected to %s", self.target)

    def _on_connect_fail(self, client: Any, userdata: Any) -> None:
        self.connected = False
        if not self.stopping.is_set():
            self.failed("{}: cannot connect: {}".format(self.target, broker_errors.handled()))

    def housekeeping(self) -> None:
        """From the sender's thread, so an older state never follows a newer
        one: after a connect discovery and every retained state again, then
        "online"; cameras added or removed by a reload."""
        if self.connected:
            try:
                self._tidy()
            except DeliveryError:  # stopping: the rest at the next start
                return
        self.heartbeat()

    def _tidy(self) -> None:
        with self.lock:
            resend, self.resend = self.resend, False
            cameras, kept = list(self.cameras), set(self.kept) | set(self.cameras)
        if resend:
            self.discovered.clear()
        with self.published.lock:
            removed = sorted(self.published.cameras - kept)
        if removed:
            self._clear(removed)
        for camera in cameras:
            if camera not in self.discovered and self.settings.homeassistant:
                self._discover(camera)
            self.discovered.add(camera)
        if resend:
            with self.lock:
                for topic, payload in self.retained.items():
                    self._send(topic, payload, retain=True)

    def _clear(self, cameras: List[str]) -> None:
        """Empty retained payloads on every topic of ``cameras``: discovery
        first (Home Assistant drops the entities), then their states."""
        discovery: List[Message] = []
        cleared: List[Message] = []
        prefix = self.settings.prefix
        for camera in cameras:
            types = self.published.types_of(camera)
            configs = self.discovery.camera(camera)
            for key in types:  # an info type, or a zone's "<zone>/<info type>"
                configs += self.discovery.recorded(camera, key)
                if ha.split_key(key)[0] is None:
                    cleared.append((topics.snapshot(prefix, camera, key), b"", True))
                cleared.append((topics.switch(prefix, camera, key), b"", True))
            discovery += [(topic, b"", True) for topic, _ in configs]
            cleared.append((topics.state(prefix, camera), b"", True))
            with self.lock:
                for topic in [t for t in self.retained if t.startswith(topics.camera(prefix, camera) + "/")]:
                    del self.retained[topic]
        self._send_all(discovery + cleared)
        with self.lock:  # one added again meanwhile stays known, and is discovered anew
            gone = [camera for camera in cameras if camera not in self.kept and camera not in self.cameras]
        self.published.forget(gone)
        self.discovered.difference_update(cameras)
        log.info("mqtt: %s no longer configured: %s retained topics cleared", ", ".join(cameras),
                 "their" if len(cameras) > 1 else "its")

    def heartbeat(self) -> None:
        """"online" and this process's ``instance``, at QoS 0 once connected:
        the latest is all that matters, and none pile up for an absent collector."""
        now = time.monotonic()
        if not self.connected or (self.beat_at is not None and now - self.beat_at < HEARTBEAT):
            return
        qos = self.settings.qos if self.beat_at is None else 0  # the first after a connect
        self.beat_at = now
        stamp = datetime.datetime.now(datetime.timezone.utc).isoformat()
        started = datetime.datetime.fromtimestamp(self.started, datetime.timezone.utc).isoformat()
        payload = {"instance": self.instance, "client_id": self.client_id,
                   "host": socket.gethostname(), "pid": os.getpid(), "started": started,
                   "time": stamp}
        with self.lock:  # never after the "offline" of a stop
            if self.stopping.is_set():
                return
            self.client.publish(self.availability, b"online", qos=qos, retain=True)
            if self.unit is None:  # the device's: one process speaks for it
                self.client.publish(topics.instance(self.settings.prefix), json.dumps(payload).encode("utf-8"),
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
        """The camera's current state, retained, when it changes; not queued:
        only the latest matters, and it is sent again at every connect."""
        state = dict(state)
        if isinstance(state.get("reason"), str):
            state["reason"] = steady(state["reason"])
        payload = json.dumps(dict(state, instance=self.instance), ensure_ascii=False).encode("utf-8")
        topic = topics.state(self.settings.prefix, camera)
        with self.lock:
            if camera not in self.cameras or self.retained.get(topic) == payload:
                return
            self.retained[topic] = payload
            if self.connected:
                self._send(topic, payload, retain=True)

    def deliver(self, event: Dict[str, Any]) -> None:
        if not self.connected:
            raise DeliveryError(self.last_error or "{}: not connected".format(self.target))
        self.housekeeping()
        prefix = self.settings.prefix
        messages: List[Message] = [
            (topics.events(prefix), json.dumps(dict(event, instance=self.instance),
                                               ensure_ascii=False).encode("utf-8"), False)]
        kind, camera = event.get("type"), str(event.get("camera", ""))
        with self.lock:  # a camera removed meanwhile keeps its events, not its retained topics
            running = camera in self.cameras
        zone = event.get("zone")
        if kind in INCIDENTS and camera and running and isinstance(zone, str) and zone:
            info_type, zone = ha.slug(str(event.get("info_type"))), ha.slug(zone)
            if self.published.add_type(camera, ha.zone_key(zone, info_type)) \
                    and self.settings.homeassistant:
                for topic, payload in self.discovery.zone(camera, zone, info_type):
                    self._send(topic, ha.encode(payload), retain=True)
            messages.append((topics.zone(prefix, camera, zone, info_type),
                             b"ON" if kind == "incident_start" else b"OFF", True))
        elif kind in INCIDENTS and camera and running:
            info_type = ha.slug(str(event.get("info_type")))
            if self.published.add_type(camera, info_type) and self.settings.homeassistant:
                for topic, payload in self.discovery.info_type(camera, info_type):
                    self._send(topic, ha.encode(payload), retain=True)
            picture = self._picture(event)
            if picture is not None:
                messages.append((topics.snapshot(prefix, camera, info_type), picture, True))
            messages.append((topics.switch(prefix, camera, info_type),
                             b"ON" if kind == "incident_start" else b"OFF", True))
        self._send_all(messages)

    def _send_all(self, messages: List[Message]) -> None:
        """Sends each and waits until the broker has them all (QoS 1 and 2: in
        flight, paho sends them again after a reconnect); raises
        DeliveryError when stopping or when one cannot be queued."""
        mids = []
        for topic, payload, retain in messages:
            with self.acked:
                since = self.completions
            if retain:
                with self.lock:
                    if payload:  # an empty one clears the topic: nothing to send again
                        self.retained[topic] = payload
                    info = self._send(topic, payload, retain)
            else:
                info = self._send(topic, payload, retain)
            if info.rc != paho.MQTT_ERR_SUCCESS and self.settings.qos == 0:
                raise DeliveryError("{}: not connected".format(self.target))  # QoS 0: dropped, never acknowledged
            mids.append((info.mid, since))
        with self.acked:
            try:
                while not all(self.done.get(mid, -1) > since for mid, since in mids):
                    if self.stopping.is_set():
                        raise DeliveryError("stopping")
                    self.acked.wait(WAIT)
            finally:
                for mid, _ in mids:
                    self.done.pop(mid, None)

    def _on_publish(self, client: Any, userdata: Any, mid: int, reason: Any, properties: Any) -> None:
        # A count, not a set: a number the client gives again later is told
        # apart from its earlier use by when it completed.
        with self.acked:
            self.completions += 1
            self.done[mid] = self.completions
            self.acked.notify_all()

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

    def _discover(self, camera: str) -> None:
        """The camera's discovery, its info types' too; waits for none."""
        configs = self.discovery.camera(camera)
        for key in self.published.types_of(camera):
            configs += self.discovery.recorded(camera, key)
        for topic, payload in configs:
            self._send(topic, ha.encode(payload), retain=True)
