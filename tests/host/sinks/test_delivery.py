"""Every event in the log reaches every sink: events logged but never queued
(a crash between the two) are queued at the next start, once, for a real
mosquitto and a webhook receiver; a sink added for the first time starts
from now; two `--only` units on one root each have their own outboxes,
client id and availability, and deliver every event of theirs once."""
import http.server
import json
import signal
import threading
import time

import pytest

from cameras.conftest import cameras, servers  # noqa: F401 - fixtures
from visionengin_cli.events.log import EventLog
from visionengin_cli.events.outbox import Outbox, OutboxBusy
from visionengin_cli.sinks import config as sinks_config
from visionengin_cli.sinks.hub import Hub, unit_name

from .conftest import Subscriber, broker, wait_for  # noqa: F401 - fixtures

pytestmark = pytest.mark.slow  # starts servers or processes


class Receiver(http.server.ThreadingHTTPServer):
    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.events = []
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()

    @property
    def url(self):
        return "http://127.0.0.1:{}/hook".format(self.server_address[1])


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_POST(self):
        self.server.events.append(json.loads(self.rfile.read(int(self.headers["Content-Length"]))))
        self.send_response(204)
        self.end_headers()


def line(n, camera="gate", kind="camera_offline"):
    return {"type": kind, "id": "e{}".format(n), "time": "2026-12-10T07:00:{:02d}+00:00".format(n),
            "camera": camera, "reason": "test"}


@pytest.mark.timeout(90)
def test_events_logged_but_not_queued_reach_both_sinks_once_and_a_new_sink_starts_now(
        tmp_path, broker):  # noqa: F811
    mosquitto, receiver = broker(), Receiver()
    listener = Subscriber(mosquitto, ["visionengin/shed/events"])
    root = tmp_path / "results"
    root.mkdir()
    log = EventLog(str(root))
    log.append(line(0))  # months of history before the sinks were added
    config = sinks_config.parse({"device": "shed", "mqtt": {"host": "127.0.0.1", "port": mosquitto.port},
                                 "webhooks": [{"url": receiver.url, "events": ["camera_offline"]}]},
                                str(tmp_path))

    def run(publish, unqueued):
        hub = Hub(str(root), config, ["gate"])
        for event in publish:  # the live path: logged, then queued
            log.append(event)
            hub.publish(event)
        for event in unqueued:  # logged, and the process dies before queuing
            log.append(event)
        for sender in hub.senders:  # a SIGKILL: nothing sent, nothing stopped cleanly
            sender.outbox.close()

    alarm, other = line(4, kind="alarm"), line(5, camera="yard")
    run([line(1)], [line(2), line(3), alarm, other])  # yard: another unit's camera
    hub = Hub(str(root), config, ["gate"])
    hub.start()
    try:
        want = ["e1", "e2", "e3"]
        assert wait_for(lambda: len(receiver.events) >= 3 and len(listener.on("visionengin/shed/events")) >= 3, 30)
        time.sleep(1.0)  # anything more would come now
    finally:
        hub.stop()
    mqtt = [json.loads(p)["id"] for p, _ in listener.on("visionengin/shed/events")]
    assert [e["id"] for e in receiver.events] == want and mqtt == want
    again = Hub(str(root), config, ["gate"])
    assert [s.outbox.queued for s in again.senders] == [0, 0]  # nothing queued twice
    for sender in again.senders:
        sender.outbox.close()
    listener.close()
    receiver.shutdown()
    receiver.server_close()


def test_the_last_lines_of_a_camera_a_reload_removed_are_queued_after_a_crash(tmp_path):
    root = tmp_path / "results"
    root.mkdir()
    log = EventLog(str(root))
    config = sinks_config.parse({"webhooks": [{"url": "http://127.0.0.1:9/hook"}]}, str(tmp_path))
    hub = Hub(str(root), config, ["gate", "old"])
    for event in (line(1), line(2, camera="old")):
        log.append(event)
        hub.publish(event)
    hub.senders[0].outbox.close()
    # A reload removed "old" and ended its incident; the line was logged and
    # the process was killed before it was queued.
    log.append(line(3, camera="old", kind="incident_end"))
    log.append(line(4, camera="yard"))  # a camera of the file run by another unit (--only)
    hub = Hub(str(root), config, ["gate"], kept=["gate", "yard"])
    assert [e["id"] for _, e in hub.senders[0].outbox.peek()] == ["e1", "e2", "e3"]  # not yard's
    hub.senders[0].outbox.close()


def test_an_outbox_used_by_another_process_is_refused(tmp_path):
    import subprocess
    import sys

    folder = tmp_path / "box"
    holder = subprocess.Popen([sys.executable, "-c", "import sys; from visionengin_cli.events.outbox "
                               "import Outbox; b = Outbox(sys.argv[1]); print('ok', flush=True); "
                               "sys.stdin.read()", str(folder)],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "ok\n"
        with pytest.raises(OutboxBusy, match="used by another process"):
            Outbox(str(folder))
    finally:
        holder.communicate("", timeout=10)
    Outbox(str(folder)).close()  # free again once that process ended


@pytest.mark.long_run
@pytest.mark.timeout(240)
def test_two_only_units_with_mqtt_each_deliver_their_events_with_steady_availability(
        cameras, servers, broker, tmp_path):  # noqa: F811
    one, two = servers(2)
    mosquitto = broker()
    listener = Subscriber(mosquitto, ["visionengin/shed/#"])
    text = ('results = "results"\ndevice = "shed"\n[mqtt]\nhost = "127.0.0.1"\nport = {}\n'
            'alarm_events = true\n[cameras.gate]\naddress = "{}"\n[cameras.yard]\naddress = "{}"\n'
            .format(mosquitto.port, one.url, two.url))
    try:
        gate, yard = cameras(text, "--only", "gate"), cameras(text, "--only", "yard")
        time.sleep(30)
        codes = [gate.end(signal.SIGTERM)[0], yard.end(signal.SIGTERM)[0]]
        time.sleep(1.0)
    finally:
        listener.close()
    assert codes == [0, 0], gate.stderr + yard.stderr
    for unit, name in ((gate, "gate"), (yard, "yard")):
        assert "connected to" in unit.stderr and unit.stderr.count("connection lost") == 0, unit.stderr
        digest = unit_name([name])
        assert (gate.root / "outbox" / ("mqtt-" + digest) / "published.json").exists()
        payloads = [p for p, _ in listener.on("visionengin/shed/units/{}/availability".format(digest))]
        assert payloads[0] == b"online" and payloads[-1] == b"offline" \
            and payloads.count(b"offline") == 1, payloads
    assert not (gate.root / "outbox" / "mqtt").exists()
    assert not listener.on("visionengin/shed/availability")  # the device's: left to a unit without --only
    logged = [e["id"] for e in gate.events(None)]
    sent = [json.loads(p)["id"] for p, _ in listener.on("visionengin/shed/events")]
    assert len(logged) > 4 and sorted(sent) == sorted(logged), (len(sent), len(logged))
    cams = {e["camera"] for e in gate.events(None)}
    assert cams == {"gate", "yard"}


def test_a_far_behind_outbox_is_capped_with_one_warning_and_a_lost_place_is_found_by_time(
        tmp_path, caplog):
    from visionengin_cli.sinks.replay import Sink, catch_up

    root = tmp_path / "results"
    root.mkdir()
    log = EventLog(str(root))
    for n in range(1, 8):
        log.append(line(n))
    behind, lost = Outbox(str(tmp_path / "behind")), Outbox(str(tmp_path / "lost"))
    behind.append(line(1))
    lost.append(dict(line(4), id="not-in-the-log"))  # its line a power cut took from the log
    sinks = [Sink("behind", behind, lambda e: True), Sink("lost", lost, lambda e: True)]
    with caplog.at_level("WARNING"):
        assert catch_up(str(root), sinks, lambda e: True, max_events=3) == {"behind": 3, "lost": 3}
    assert [r.getMessage() for r in caplog.records if r.levelname == "WARNING"] == [
        "behind: 6 events in the log after the last one it queued; the newest 3 are queued, "
        "3 older ones skipped"]
    assert [e["id"] for _, e in behind.peek()] == ["e1", "e5", "e6", "e7"]
    assert [e["id"] for _, e in lost.peek()] == ["not-in-the-log", "e5", "e6", "e7"]
