"""Webhooks against a local HTTP receiver that checks each signature as the
README tells receivers to, fails some requests, and still gets every event
once, in order, after the retries."""
import base64
import hashlib
import hmac
import http.server
import json
import threading
import time

import pytest

from visionengin_cli.sinks import config as sinks_config
from visionengin_cli.sinks import sender
from visionengin_cli.sinks.hub import Hub

from .conftest import wait_for

SECRET = "wh-s3cret"


class Receiver(http.server.ThreadingHTTPServer):
    """Answers 500 to every third request and drops the connection of every
    seventh; records the events whose signature holds."""

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.events, self.bad, self.requests = [], [], 0
        self.lock = threading.Lock()
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    @property
    def url(self):
        return "http://127.0.0.1:{}/hook".format(self.server_address[1])


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_POST(self):
        body = self.rfile.read(int(self.headers["Content-Length"]))
        timestamp = self.headers["X-Visionengin-Timestamp"]
        expected = "sha256=" + hmac.new(SECRET.encode(), timestamp.encode() + b"." + body,
                                        hashlib.sha256).hexdigest()
        good = hmac.compare_digest(expected, self.headers.get("X-Visionengin-Signature", "")) \
            and abs(time.time() - int(timestamp)) < 300
        with self.server.lock:
            self.server.requests += 1
            n = self.server.requests
            if n % 7 == 0:
                self.close_connection = True
                self.connection.close()
                return
            if n % 3 == 0:
                self.send_response(500)
                self.end_headers()
                return
            (self.server.events if good else self.server.bad).append(json.loads(body))
        self.send_response(204)
        self.end_headers()


@pytest.mark.timeout(120)
def test_signed_posts_retried_until_every_event_arrived_in_order(tmp_path, monkeypatch):
    monkeypatch.setattr(sender, "FIRST_RETRY", 0.05)
    receiver = Receiver()
    root = tmp_path / "results"
    (root / "gate").mkdir(parents=True)
    (root / "gate" / "best.jpg").write_bytes(b"\xff\xd8 jpeg \xff\xd9")
    (tmp_path / "hook.secret").write_text(SECRET + "\n")
    config = sinks_config.parse({"webhooks": [
        {"url": receiver.url, "secret_file": "hook.secret", "picture": True},
        {"url": receiver.url.replace("/hook", "/all"), "secret": "wrong", "events": ["alarm"]}]},
        str(tmp_path))
    hub = Hub(str(root), config, ["gate"])
    hub.start()
    sent = []
    try:
        for n in range(40):
            kind = ("incident_start", "alarm", "camera_offline", "incident_end")[n % 4]
            sent.append({"type": kind, "id": "e{}".format(n), "camera": "gate",
                         "picture": "gate/best.jpg"})
            hub.publish(sent[-1])
        wanted = [e["id"] for e in sent if e["type"] != "alarm"]
        assert wait_for(lambda: {e["id"] for e in receiver.events} >= set(wanted), 60), receiver.events
        assert wait_for(lambda: len(receiver.bad) == 10, 30)  # the second hook's wrong secret
        status = {s["name"]: s for s in hub.status()["sinks"]}
    finally:
        hub.stop()
        receiver.shutdown()
        receiver.server_close()
    got = [e["id"] for e in receiver.events]
    assert list(dict.fromkeys(got)) == wanted and len(got) == len(wanted)
    incident = next(e for e in receiver.events if e["type"] == "incident_start")
    assert base64.b64decode(incident["picture_jpeg"]) == b"\xff\xd8 jpeg \xff\xd9"
    assert [e["id"] for e in receiver.bad] == [e["id"] for e in sent if e["type"] == "alarm"]
    first = status["webhook-1"]
    assert (first["delivered"], first["queued"], first["dropped"]) == (30, 0, 0)
    assert first["last_error"] and "500" in first["last_error"] or "Connection" in first["last_error"]
    assert SECRET not in json.dumps(status) and "wrong" not in json.dumps(status)
