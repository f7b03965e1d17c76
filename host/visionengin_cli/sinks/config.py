"""The configuration's ``device``, ``[mqtt]``, ``[[webhooks]]`` and
``[events]``, checked. Faults are ``SinkConfigError`` naming the key; a
password or secret is never quoted, and one read from a file stays off the
command line and the environment."""
from __future__ import annotations

import os
import socket
import urllib.parse
from typing import Any, Dict, FrozenSet, List, Mapping, Optional

from ..events.outbox import DEFAULT_CAP
from . import topics
from .mqtt import MqttSettings

MQTT_KEYS = ("host", "port", "tls", "ca_file", "username", "password", "password_file",
             "client_id", "prefix", "qos", "alarm_events", "homeassistant")
WEBHOOK_KEYS = ("url", "secret", "secret_file", "events", "picture")
EVENTS_KEYS = ("incident_gap", "offline_after")
INCIDENT_TYPES = ("incident_start", "incident_end")
HEALTH_TYPES = ("camera_offline", "camera_online", "camera_hung", "disk_full", "disk_ok")
EVENT_TYPES = ("alarm",) + INCIDENT_TYPES + HEALTH_TYPES


class SinkConfigError(Exception):
    """One line: the key and what is wrong with it."""


class WebhookSettings:
    def __init__(self, url: str, secret: Optional[bytes], events: FrozenSet[str], picture: bool) -> None:
        self.url, self.secret, self.events, self.picture = url, secret, events, picture

    def __repr__(self) -> str:
        return "WebhookSettings(events={})".format(sorted(self.events))


class SinksConfig:
    def __init__(self, device: str, mqtt: Optional[MqttSettings], webhooks: List[WebhookSettings],
                 incident_gap: float, offline_after: float, outbox_cap: int = DEFAULT_CAP) -> None:
        self.device, self.mqtt, self.webhooks = device, mqtt, webhooks
        self.incident_gap, self.offline_after, self.outbox_cap = incident_gap, offline_after, outbox_cap

    def _key(self) -> Any:
        mqtt = None if self.mqtt is None else sorted(vars(self.mqtt).items())
        return (self.device, mqtt, [sorted(vars(h).items()) for h in self.webhooks],
                self.incident_gap, self.offline_after)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, SinksConfig) and self._key() == other._key()


def _table(where: str, value: Any, known: Any) -> Mapping[str, Any]:
    if not isinstance(value, dict):
        raise SinkConfigError("{}: must be a table".format(where))
    for key in value:
        if key not in known:
            raise SinkConfigError("{}.{}: unknown key {!r} (known: {})".format(
                where, key, key, ", ".join(known)))
    return value


def _get(table: Mapping[str, Any], where: str, key: str, kind: Any, default: Any) -> Any:
    value = table.get(key, default)
    if value is default:
        return value
    ok = isinstance(value, kind) and not (kind in (int, float, (int, float)) and isinstance(value, bool))
    if not ok:
        names = {str: "a string", bool: "true or false", int: "an integer", list: "a list of strings"}
        raise SinkConfigError("{}.{}: must be {}".format(where, key, names.get(kind, "a number")))
    return value


def _secret(table: Mapping[str, Any], where: str, key: str, base: str) -> Optional[str]:
    """From ``key`` or ``key_file`` (its first line, relative to the
    configuration's folder); never both; the value is never shown."""
    value: Optional[str] = _get(table, where, key, str, None)
    path: Optional[str] = _get(table, where, key + "_file", str, None)
    if value is not None and path is not None:
        raise SinkConfigError("{}: give {} or {}_file, not both".format(where, key, key))
    if path is None:
        return value
    path = os.path.join(base, os.path.expanduser(path))
    try:
        with open(path, encoding="utf-8") as file:
            text = file.readline().rstrip("\r\n")
    except (OSError, UnicodeDecodeError) as error:
        raise SinkConfigError("{}.{}_file: cannot read {}: {}".format(
            where, key, path, getattr(error, "strerror", None) or "not UTF-8 text")) from None
    if not text:
        raise SinkConfigError("{}.{}_file: {} is empty".format(where, key, path))
    return text


def _mqtt(table: Mapping[str, Any], device: str, base: str) -> MqttSettings:
    w = "mqtt"
    host = _get(table, w, "host", str, None)
    if not host:
        raise SinkConfigError("mqtt.host: missing (the broker's host name or address)")
    tls = _get(table, w, "tls", bool, False)
    port = _get(table, w, "port", int, 8883 if tls else 1883)
    if not 0 < port < 65536:
        raise SinkConfigError("mqtt.port: must be 1 to 65535, got {}".format(port))
    ca_file = _get(table, w, "ca_file", str, None)
    if ca_file is not None:
        if not tls:
            raise SinkConfigError("mqtt.ca_file: given without tls = true")
        ca_file = os.path.join(base, os.path.expanduser(ca_file))
        if not os.path.isfile(ca_file):
            raise SinkConfigError("mqtt.ca_file: no such file: {}".format(ca_file))
    qos = _get(table, w, "qos", int, 1)
    if qos not in (0, 1, 2):
        raise SinkConfigError("mqtt.qos: must be 0, 1 or 2, got {}".format(qos))
    prefix = _get(table, w, "prefix", str, topics.default_prefix(device))
    if not prefix.strip("/") or any(c in prefix for c in "+#\0"):
        raise SinkConfigError("mqtt.prefix: must be a topic without '+', '#' or NUL")
    username = _get(table, w, "username", str, None)
    password = _secret(table, w, "password", base)
    if password is not None and username is None:
        raise SinkConfigError("mqtt.password: given without a username")
    return MqttSettings(host, port, tls, ca_file, username, password,
                        _get(table, w, "client_id", str, "visionengin-" + device),
                        prefix, qos, _get(table, w, "alarm_events", bool, False),
                        _get(table, w, "homeassistant", bool, False))


def _webhook(where: str, table: Mapping[str, Any], base: str) -> WebhookSettings:
    url = _get(table, where, "url", str, None)
    if not url or not url.lower().startswith(("http://", "https://")):
        raise SinkConfigError("{}.url: must be an http:// or https:// address".format(where))
    parts = urllib.parse.urlsplit(url)  # user information goes as basic authentication
    try:
        port = parts.port
    except ValueError:
        port = -1
    if port is not None and not 0 < port < 65536:
        raise SinkConfigError("{}.url: the port must be 1 to 65535".format(where))
    if not parts.hostname or any(c.isspace() or ord(c) < 32 for c in url):
        raise SinkConfigError("{}.url: must name a host, without spaces or control characters".format(where))
    events = _get(table, where, "events", list, list(INCIDENT_TYPES + HEALTH_TYPES))
    for kind in events:
        if kind not in EVENT_TYPES:
            raise SinkConfigError("{}.events: unknown event type {!r} (known: {})".format(
                where, kind, ", ".join(EVENT_TYPES)))
    secret = _secret(table, where, "secret", base)
    return WebhookSettings(url, None if secret is None else secret.encode("utf-8"),
                           frozenset(events), _get(table, where, "picture", bool, False))


def _seconds(table: Mapping[str, Any], key: str, default: float) -> float:
    value = _get(table, "events", key, (int, float), default)
    if not value > 0:
        raise SinkConfigError("events.{}: must be more than 0 seconds, got {}".format(key, value))
    return float(value)


def parse(data: Dict[str, Any], base: str) -> SinksConfig:
    """The sinks' part of a parsed configuration file; ``base`` is its folder."""
    device = _get(data, "", "device", str, None) or socket.gethostname() or "device"
    if any(c in device for c in "/+#\0"):
        raise SinkConfigError("device: must not hold '/', '+', '#' or NUL")
    mqtt = None if "mqtt" not in data else _mqtt(_table("mqtt", data["mqtt"], MQTT_KEYS), device, base)
    hooks = data.get("webhooks", [])
    if not isinstance(hooks, list):
        raise SinkConfigError("webhooks: must be a list of tables ([[webhooks]])")
    webhooks = [_webhook("webhooks[{}]".format(n), _table("webhooks[{}]".format(n), t, WEBHOOK_KEYS), base)
                for n, t in enumerate(hooks)]
    events = _table("events", data.get("events", {}), EVENTS_KEYS)
    return SinksConfig(device, mqtt, webhooks, _seconds(events, "incident_gap", 30.0),
                       _seconds(events, "offline_after", 30.0))
