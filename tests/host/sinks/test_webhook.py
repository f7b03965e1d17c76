"""Webhooks against a local HTTP receiver that checks each signature as the
README tells receivers to, fails some requests, and still gets every event
once, in order, after the retries, each naming its device and with the
address's user and password as basic authentication; receivers that refuse
everything or trickle their answer are not shown connected and cannot hold a
stop."""
import base64
import hashlib
import hmac
import http.server
import json
import socketserver
import threading
import time

import pytest

from visionengin_cli.sinks import config as sinks_config
from visionengin_cli.sinks import sender, webhook
from visionengin_cli.sinks.hub import Hub

from .conftest import wait_for

pytestmark = pytest.mark.slow  # starts servers or processes

SECRET = "wh-s3cret"


class Receiver(http.server.ThreadingHTTPServer):
    """Answers 500 to every third request and drops the connection of every
    seventh; records the events whose signature holds."""

    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.events, self.bad, self.requests, self.seen = [], [], 0, set()
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
            self.server.seen.add((self.headers["X-Visionengin-Device"], self.headers["Authorization"]))
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
    with_user = receiver.url.replace("//", "//us%40er:pa%3As-7q@")
    config = sinks_config.parse({"device": "shed Ü", "webhooks": [
        {"url": with_user, "secret_file": "hook.secret", "picture": True},
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
        # the receiver has an event before its sender has the answer and counts it
        def sinks():
            return {s["name"]: s for s in hub.status()["sinks"]}
        assert wait_for(lambda: sinks()["webhook-1"]["queued"] == 0, 10)
        status = sinks()
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
    # It failed on the way (500s, dropped connections) and has recovered since.
    assert (first["connected"], first["last_error"]) == (True, None) and first["last_error_at"]
    assert SECRET not in json.dumps(status) and "wrong" not in json.dumps(status)
    assert not any(word in json.dumps(status) for word in ("s-7q", "us@er", "us%40er"))
    assert {e["device"] for e in receiver.events + receiver.bad} == {"shed Ü"}
    basic = "Basic " + base64.b64encode(b"us@er:pa:s-7q").decode()
    assert receiver.seen == {("shed %C3%9C", basic), ("shed %C3%9C", None)}


class Trickle(socketserver.ThreadingTCPServer):
    """Answers every request one byte every 0.3 s, for ever."""
    daemon_threads = True

    def __init__(self):
        super().__init__(("127.0.0.1", 0), TrickleHandler)
        self.closing, self.connections = threading.Event(), 0
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()


class TrickleHandler(socketserver.BaseRequestHandler):
    def handle(self):
        self.server.connections += 1
        self.request.recv(65536)
        answer = b"HTTP/1.1 200 OK\r\n" + b"X-Slow: yes\r\n" * 10000
        for byte in answer:
            if self.server.closing.wait(0.3):
                return
            try:
                self.request.sendall(bytes([byte]))
            except OSError:
                return  # the sink gave up


class Refusing(http.server.ThreadingHTTPServer):
    def __init__(self):
        super().__init__(("127.0.0.1", 0), RefusingHandler)
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()


class RefusingHandler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_POST(self):
        self.rfile.read(int(self.headers["Content-Length"]))
        self.send_response(401)
        self.end_headers()


@pytest.mark.timeout(60)
@pytest.mark.parametrize("kind", ["refusing", "trickling", "trickling past the deadline"])
def test_failing_receivers_are_not_connected_and_a_stop_cuts_a_request(tmp_path, monkeypatch, kind):
    monkeypatch.setattr(sender, "FIRST_RETRY", 0.05)
    if kind.endswith("deadline"):
        monkeypatch.setattr(webhook, "DEADLINE", 1.0)
    server = Refusing() if kind == "refusing" else Trickle()
    url = "http://127.0.0.1:{}/hook".format(server.server_address[1])
    hub = Hub(str(tmp_path), sinks_config.parse({"webhooks": [{"url": url}]}, str(tmp_path)), ["gate"])
    hub.start()
    stopped = False
    try:
        hub.publish({"type": "incident_start", "id": "e1", "camera": "gate"})
        error = {"refusing": "answered 401 Unauthorized", "trickling": None,
                 "trickling past the deadline": "no whole answer within 1 s"}[kind]
        if error:
            assert wait_for(lambda: error in (hub.status()["sinks"][0]["last_error"] or ""), 20)
            assert hub.status()["sinks"][0]["connected"] is False
        assert wait_for(lambda: kind == "refusing" or server.connections >= 1 + bool(error), 20)
        began = time.monotonic()
        hub.stop()
        stopped, took = True, time.monotonic() - began
        threads = [t.name for t in threading.enumerate() if t.name.startswith("sink-webhook")]
    finally:
        if not stopped:
            hub.stop()
        if isinstance(server, Trickle):
            server.closing.set()
        server.shutdown()
        server.server_close()
    assert took < 3 and not threads, (took, threads)
    assert hub.status()["sinks"][0]["queued"] == 1  # kept for the next start
