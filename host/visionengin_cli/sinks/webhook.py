"""A webhook: each event a JSON POST, signed so the receiver knows it came
from this device and is fresh. The signature is HMAC-SHA256, keyed with the
webhook's secret, over "<timestamp>.<body>"; it travels in
``X-Visionengin-Signature: sha256=<hex>`` beside ``X-Visionengin-Timestamp``
(Unix seconds). The body's ``device`` and ``X-Visionengin-Device`` name the
device, so one receiver can serve several. A user and password in the address
go as HTTP basic authentication, never shown."""
from __future__ import annotations

import base64
import hashlib
import hmac
import http.client
import json
import logging
import os
import string
import time
import urllib.parse
import urllib.request
from typing import Any, Dict, FrozenSet, Optional, Tuple

from ..events.outbox import Outbox
from .request import Requests, Unanswered
from .sender import DeliveryError, Sender

log = logging.getLogger("visionengin.sinks")
TIMEOUT = 10.0  # seconds without a byte from the receiver
DEADLINE = 30.0  # seconds for a whole request, from connecting to the answer's end
USER_AGENT = "visionengin-webhook/1"
# A header carries printable ASCII; the rest of a device's name goes percent-encoded.
_PLAIN = "".join(c for c in string.printable if c not in "%\t\n\r\x0b\x0c")


def sign(secret: bytes, timestamp: str, body: bytes) -> str:
    digest = hmac.new(secret, timestamp.encode("ascii") + b"." + body, hashlib.sha256)
    return "sha256=" + digest.hexdigest()


def shown(url: str) -> str:
    """The address as logs and the page show it: scheme, host and port only;
    a webhook's path or query often is its secret."""
    parts = urllib.parse.urlsplit(url)
    host = parts.hostname or "?"
    if ":" in host:
        host = "[" + host + "]"
    try:
        port = parts.port
    except ValueError:
        port = None
    rest = "/..." if parts.path not in ("", "/") or parts.query else "/"
    return "{}://{}{}{}".format(parts.scheme, host, ":{}".format(port) if port else "", rest)


def credentials(url: str) -> Tuple[str, Optional[str]]:
    """The address without its user information, and that as the value of
    an Authorization header (None without)."""
    parts = urllib.parse.urlsplit(url)
    userinfo, at, hostport = parts.netloc.rpartition("@")
    if not at:
        return url, None
    user, _, password = userinfo.partition(":")
    pair = urllib.parse.unquote(user) + ":" + urllib.parse.unquote(password)
    plain = urllib.parse.urlunsplit(parts._replace(netloc=hostport))
    return plain, "Basic " + base64.b64encode(pair.encode("utf-8")).decode("ascii")


def device_header(device: str) -> str:
    return urllib.parse.quote(device, safe=_PLAIN)


class Webhook(Sender):
    """``connected`` means "the last delivery succeeded": a receiver that
    answers 401 or 500 to everything is reachable but not delivered to."""

    kind = "webhook"

    def __init__(self, name: str, outbox: Outbox, url: str, secret: Optional[bytes],
                 events: FrozenSet[str], picture: bool, root: str, device: str) -> None:
        super().__init__(name, outbox, shown(url))
        self.url, self.authorization = credentials(url)
        self.secret, self.events, self.device = secret, events, device
        self.picture, self.root = picture, root
        self.requests = Requests("sink-" + name, DEADLINE, TIMEOUT)
        if self.authorization is not None and self.url.lower().startswith("http://"):
            log.warning("%s: %s gets a user and password over plain http://: anyone on the way "
                        "can read them", name, self.target)

    def wants(self, event: Dict[str, Any]) -> bool:
        return str(event.get("type")) in self.events

    def body(self, event: Dict[str, Any]) -> bytes:
        payload = dict(event, device=self.device)
        if self.picture and event.get("type") != "alarm" and event.get("picture"):
            try:
                with open(os.path.join(self.root, str(event["picture"])), "rb") as file:
                    payload["picture_jpeg"] = base64.b64encode(file.read()).decode("ascii")
            except OSError:
                pass  # removed by retention meanwhile: the event goes without it
        return json.dumps(payload, ensure_ascii=False).encode("utf-8")

    def stop(self, timeout: float = 5.0) -> None:
        self.requests.cancel()  # a request under way ends now, not at its deadline
        super().stop(timeout)

    def deliver(self, event: Dict[str, Any]) -> None:
        body = self.body(event)
        timestamp = str(int(time.time()))
        headers = {"Content-Type": "application/json", "User-Agent": USER_AGENT,
                   "X-Visionengin-Timestamp": timestamp,
                   "X-Visionengin-Device": device_header(self.device),
                   "X-Visionengin-Event": str(event.get("type")),
                   "X-Visionengin-Id": str(event.get("id"))}
        if self.secret is not None:
            headers["X-Visionengin-Signature"] = sign(self.secret, timestamp, body)
        if self.authorization is not None:
            headers["Authorization"] = self.authorization
        request = urllib.request.Request(self.url, data=body, headers=headers, method="POST")
        try:
            status, reason = self.requests.post(request)
        except Unanswered as error:
            self.connected = False
            raise DeliveryError("{}: {}".format(self.target, error)) from None
        except (OSError, ValueError, http.client.HTTPException) as error:
            self.connected = False
            why = getattr(error, "reason", None) or error
            raise DeliveryError("{}: {}".format(self.target, getattr(why, "strerror", None) or why)) from None
        if not 200 <= status < 300:
            self.connected = False  # reachable, but nothing is delivered
            raise DeliveryError("{} answered {} {}".format(self.target, status, reason).rstrip())
        self.connected, self.last_error = True, None  # last_error_at stays: when it last failed
