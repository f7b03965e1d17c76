"""The collector's MQTT client: one persistent session (a fixed client id,
clean_session off, QoS 1), so the broker keeps what the devices publish while
the collector is away and hands it over at the next connect. Messages are
acknowledged by hand, once what they carry is on disk; one that cannot be
written is left unacknowledged and the session reconnected, so the broker
sends it again."""
from __future__ import annotations

import logging
import ssl
import threading
import time
from typing import Any, Callable, Optional

import paho.mqtt.client as paho
from paho.mqtt.enums import CallbackAPIVersion

from ..secrets import mask_text
from ..sinks import broker_errors, topics
from .store import Store

log = logging.getLogger("visionengin.fleet")
KEEPALIVE = 30
RECONNECT_AFTER_FAILURE = 5.0  # seconds: a full disk is not fixed at once


class Settings:
    def __init__(self, host: str, port: int, tls: bool, ca_file: Optional[str], username: Optional[str],
                 password: Optional[str], client_id: str, topic: str) -> None:
        self.host, self.port, self.tls, self.ca_file = host, port, tls, ca_file
        self.username, self.password, self.client_id, self.topic = username, password, client_id, topic

    def __repr__(self) -> str:
        return "Settings({}:{}, {!r})".format(self.host, self.port, self.topic)


class Collector:
    def __init__(self, settings: Settings, store: Store, lock: threading.Lock) -> None:
        self.settings, self.store, self.lock = settings, store, lock
        self.connected = False
        self.stopping = False
        self.broken_at: Optional[float] = None  # a write failed: reconnect after a pause
        self.last_error: Optional[str] = None
        client = paho.Client(CallbackAPIVersion.VERSION2, client_id=settings.client_id,
                             protocol=paho.MQTTv311, clean_session=False, manual_ack=True)
        if log.isEnabledFor(logging.DEBUG):
            client.enable_logger(logging.getLogger("visionengin.fleet.paho"))
        if settings.username is not None:
            client.username_pw_set(settings.username, settings.password)
        if settings.tls:
            client.tls_set(ca_certs=settings.ca_file, cert_reqs=ssl.CERT_REQUIRED)
        client.reconnect_delay_set(1, 30)
        client.on_connect, client.on_disconnect = self._on_connect, self._on_disconnect
        client.on_connect_fail = self._on_connect_fail
        client.on_message = self._on_message
        self.client = client

    @property
    def target(self) -> str:
        return "{}://{}:{}".format("mqtts" if self.settings.tls else "mqtt", self.settings.host,
                                   self.settings.port)

    def start(self) -> None:
        self.client.connect_async(self.settings.host, self.settings.port, keepalive=KEEPALIVE)
        self.client.loop_start()

    def stop(self) -> None:
        with self.lock:
            self.stopping = True  # later messages stay unacknowledged: the broker keeps them
            self.store.tick(final=True)
        self.client.disconnect()
        self.client.loop_stop()

    def check(self) -> None:
        """From the main loop: after a failed write, a new connection once
        the pause is over (the broker then sends the unacknowledged again)."""
        if self.broken_at is None or time.monotonic() - self.broken_at < RECONNECT_AFTER_FAILURE:
            return
        self.broken_at = None
        self.client.loop_stop()
        try:
            self.client.reconnect()
        except OSError as error:
            self._error("{}: cannot connect: {}".format(self.target, broker_errors.describe(error)))
        self.client.loop_start()

    def _error(self, text: str) -> None:
        text = mask_text(text)
        if text != self.last_error:
            log.warning("%s", text)
        self.last_error = text

    def _on_connect(self, client: Any, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        if reason.is_failure:
            self._error("{} refused the connection: {}".format(self.target, reason))
            return
        self.connected, self.last_error = True, None
        if not flags.session_present:  # a new session: subscribe (the broker keeps it from now on)
            client.subscribe(self.settings.topic, qos=1)
        log.info("connected to %s as %s (%s session)", self.target, self.settings.client_id,
                 "resumed" if flags.session_present else "new")

    def _on_connect_fail(self, client: Any, userdata: Any) -> None:
        self.connected = False
        if not self.stopping:
            self._error("{}: cannot connect: {}".format(self.target, broker_errors.handled()))

    def _on_disconnect(self, client: Any, userdata: Any, flags: Any, reason: Any, properties: Any) -> None:
        was, self.connected = self.connected, False
        if not self.stopping:
            self._error("{}: connection lost ({})".format(self.target, reason) if was
                        else "{}: cannot connect ({})".format(self.target, reason))

    def _on_message(self, client: Any, userdata: Any, message: Any) -> None:
        mid, qos = message.mid, message.qos

        def ack() -> None:
            if qos:
                client.ack(mid, qos)

        with self.lock:
            if self.stopping or self.broken_at is not None:
                return
            try:
                self._dispatch(message.topic, bytes(message.payload), bool(message.retain), ack)
            except OSError as error:
                log.error("cannot keep a message of %s: %s; the broker sends it again in %.0f s",
                          message.topic, error.strerror or error, RECONNECT_AFTER_FAILURE)
                self.broken_at = time.monotonic()
                client.disconnect()
            except Exception:  # noqa: BLE001 - one odd message must not stop the collector
                log.exception("a message of %s could not be handled; dropped", message.topic)
                ack()

    def _dispatch(self, topic: str, payload: bytes, retained: bool, ack: Callable[[], None]) -> None:
        found, store = topics.parse(self.settings.topic, topic), self.store
        if found is None:
            if topic.startswith(topics.subscription_base(self.settings.topic)):
                log.debug("not a device's topic: %s", topic)
            return ack()
        device, camera, info_type = found.device, str(found.camera), str(found.info_type)
        if found.kind == topics.EVENTS:
            return store.event(device, payload, ack)
        if found.kind == topics.AVAILABILITY:
            return store.availability(device, payload, retained, ack)
        if found.kind == topics.INSTANCE:
            return store.instance(device, payload, retained, ack)
        if found.kind == topics.STATE:
            return store.state(device, camera, payload, retained, ack)
        if found.kind == topics.SNAPSHOT:
            return store.snapshot(device, camera, info_type, payload, retained, ack)
        return store.switch(device, camera, info_type, payload, retained, ack)
