"""A webhook: each event a JSON POST, signed so the receiver knows it came
from this device and is fresh. The signature is HMAC-SHA256, keyed with the
webhook's secret, over "<timestamp>.<body>"; it travels in
``X-Visionengin-Signature: sha256=<hex>`` beside ``X-Visionengin-Timestamp``
(Unix seconds). A receiver recomputes it and refuses an old timestamp."""
from __future__ import annotations

import base64
import hashlib
import hmac
import json
import os
import time
import urllib.error
import urllib.parse
import urllib.request
from typing import Any, Dict, FrozenSet, Optional

from ..events.outbox import Outbox
from .sender import DeliveryError, Sender

TIMEOUT = 10.0  # seconds for one request, connection to answer
USER_AGENT = "visionengin-webhook/1"


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


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args: Any, **kwargs: Any) -> None:
        return None  # a signed body goes where it was configured to, or nowhere


class Webhook(Sender):
    kind = "webhook"

    def __init__(self, name: str, outbox: Outbox, url: str, secret: Optional[bytes],
                 events: FrozenSet[str], picture: bool, root: str) -> None:
        super().__init__(name, outbox, shown(url))
        self.url, self.secret, self.events = url, secret, events
        self.picture, self.root = picture, root
        self.opener = urllib.request.build_opener(_NoRedirect)

    def wants(self, event: Dict[str, Any]) -> bool:
        return str(event.get("type")) in self.events

    def body(self, event: Dict[str, Any]) -> bytes:
        payload = dict(event)
        if self.picture and event.get("type") != "alarm" and event.get("picture"):
            try:
                with open(os.path.join(self.root, str(event["picture"])), "rb") as file:
                    payload["picture_jpeg"] = base64.b64encode(file.read()).decode("ascii")
            except OSError:
                pass  # removed by retention meanwhile: the event goes without it
        return json.dumps(payload, ensure_ascii=False).encode("utf-8")

    def deliver(self, event: Dict[str, Any]) -> None:
        body = self.body(event)
        timestamp = str(int(time.time()))
        headers = {"Content-Type": "application/json", "User-Agent": USER_AGENT,
                   "X-Visionengin-Timestamp": timestamp,
                   "X-Visionengin-Event": str(event.get("type")),
                   "X-Visionengin-Id": str(event.get("id"))}
        if self.secret is not None:
            headers["X-Visionengin-Signature"] = sign(self.secret, timestamp, body)
        request = urllib.request.Request(self.url, data=body, headers=headers, method="POST")
        try:
            with self.opener.open(request, timeout=TIMEOUT) as answer:
                answer.read(65536)
                status = answer.status
        except urllib.error.HTTPError as error:
            self.connected = True
            error.close()
            raise DeliveryError("{} answered {} {}".format(self.target, error.code, error.reason)) from None
        except (urllib.error.URLError, OSError, ValueError) as error:
            self.connected = False
            reason = getattr(error, "reason", None) or error
            raise DeliveryError("{}: {}".format(self.target, getattr(reason, "strerror", None) or reason)) from None
        self.connected = True
        if not 200 <= status < 300:
            raise DeliveryError("{} answered {}".format(self.target, status))
