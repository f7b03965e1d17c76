"""A real `visionengin cameras` run against an RTSP server on 127.0.0.1 with a
webhook: alarm lines gain a type and an id, the camera going away and coming
back are told as health events, alarms are grouped into incidents that all
end, and what the receiver gets is what events.jsonl says."""
import http.server
import json
import signal
import threading

import pytest

from cameras.conftest import cameras, servers, wait_for  # noqa: F401 - fixtures

pytestmark = pytest.mark.slow  # starts servers or processes


class Receiver(http.server.ThreadingHTTPServer):
    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.events = []
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_POST(self):
        self.server.events.append(json.loads(self.rfile.read(int(self.headers["Content-Length"]))))
        self.send_response(200)
        self.end_headers()


@pytest.mark.long_run
@pytest.mark.timeout(240)
def test_a_camera_run_tells_health_and_incidents_to_a_webhook(cameras, servers):  # noqa: F811
    server, = servers(1)
    receiver = Receiver()
    url = "http://127.0.0.1:{}/hook".format(receiver.server_address[1])
    command = cameras('results = "results"\ndevice = "shed"\n'
                      '[events]\nincident_gap = 1\noffline_after = 3\n'
                      '[[webhooks]]\nurl = "{}"\nsecret = "hook-k3y"\n'
                      '[cameras.gate]\naddress = "{}"\n'.format(url, server.url))
    try:
        command.wait_status("gate", 60, state="streaming", alarms=lambda n: n and n >= 3)
        server.kill()
        assert wait_for(lambda: any(e["type"] == "camera_offline" for e in receiver.events), 60), \
            command.stderr
        server.restart()
        assert wait_for(lambda: any(e["type"] == "camera_online" for e in receiver.events), 90), \
            command.stderr
        assert wait_for(lambda: any(e["type"] == "incident_end" for e in receiver.events), 30)
        code, _ = command.end(signal.SIGTERM)
        assert code == 0, command.stderr
    finally:
        receiver.shutdown()
        receiver.server_close()
    lines = command.events(None)
    alarms = [e for e in lines if e["type"] == "alarm"]
    assert alarms and all(set(e) >= {"type", "id", "time", "camera", "info_type", "picture"} for e in alarms)
    assert len({e["id"] for e in lines}) == len(lines)
    offline = next(e for e in lines if e["type"] == "camera_offline")
    assert offline["camera"] == "gate" and offline["reason"].startswith("no analysed frame for")
    wanted = [e for e in lines if e["type"] != "alarm"]
    assert [e["id"] for e in receiver.events] == [e["id"] for e in wanted]  # in order, each once
    assert receiver.events == [dict(e, device="shed") for e in wanted]  # each naming its device
    starts = [e for e in lines if e["type"] == "incident_start"]
    ends = {e["incident"]: e for e in lines if e["type"] == "incident_end"}
    assert starts and all(e["picture"] in {a["picture"] for a in alarms} for e in starts)
    assert set(ends) == {e["incident"] for e in starts}  # each ends, at the latest at the stop
    assert sum(e["count"] for e in ends.values()) == len(alarms)
    status = json.loads((command.root / "sinks.json").read_text())["sinks"][0]
    assert (status["delivered"], status["queued"]) == (len(wanted), 0)
    assert "hook-k3y" not in command.stderr + json.dumps(status)
