"""The collector in-process against a real mosquitto, fed a device's real
message shapes: what it keeps and where, repeats dropped, nothing lost
while it is away, and a name two processes announce at once reported."""
import json
import threading
import time

import pytest

from visionengin_cli.fleet import devices, layout
from visionengin_cli.fleet.client import Collector, Settings
from visionengin_cli.fleet.store import Store

from .conftest import BEST, JPEG, FakeDevice, health, incident, wait_for


class Running:
    def __init__(self, broker, root):
        self.store, self.lock = Store(str(root)), threading.Lock()
        self.collector = Collector(Settings("127.0.0.1", broker.port, False, None, None, None,
                                            "collector-test", "visionengin/#"), self.store, self.lock)
        self.collector.start()
        self.stop_flag = threading.Event()
        self.thread = threading.Thread(target=self._tick, daemon=True)
        self.thread.start()
        assert wait_for(lambda: self.collector.connected, 20)

    def _tick(self):
        while not self.stop_flag.wait(0.1):
            with self.lock:
                self.store.tick()

    def stop(self):
        self.stop_flag.set()
        self.thread.join(5)
        self.collector.stop()
        self.store.close()


def lines(path):
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


@pytest.mark.timeout(90)
def test_events_pictures_states_kept_once_across_a_collector_outage(tmp_path, broker):
    server, root = broker(), tmp_path / "fleet"
    running = Running(server, root)
    device = FakeDevice(server, "shed")
    try:
        start, end = incident("incident_start", "inc1"), incident("incident_end", "inc1", n=4)
        device.send("gate/state", json.dumps({"state": "streaming", "reason": None, "online": True}).encode(),
                    retain=True)
        device.event(start, JPEG)
        device.event(health())
        device.event(start)  # a resend after the device restarted: same id
        log = root / "shed" / "events.jsonl"
        assert wait_for(lambda: len(lines(log)) == 2, 20), lines(log)
        running.stop()  # away: the broker keeps what comes meanwhile
        device.event(end, BEST)
        device.event(health("camera_online"))
        running = Running(server, root)
        assert wait_for(lambda: len(lines(log)) == 4, 30), lines(log)
        device.event(end, BEST)  # repeat after the restart: dropped by its id
        device.send("availability", b"offline", retain=True)  # as at a stop
        assert wait_for(lambda: (layout.read_json(str(root / "shed" / "device.json")) or {}).get(
            "availability") == "offline", 20)
    finally:
        device.close()
        running.stop()
    kept = lines(log)
    assert [e["type"] for e in kept] == ["incident_start", "camera_offline", "incident_end", "camera_online"]
    assert all(e["device"] == "shed" for e in kept)
    assert kept[0]["picture"] == kept[2]["picture"] == "gate/incidents/inc1.jpg"
    assert kept[0]["device_picture"] == "gate/rtsp_result/motion-1.jpg"
    assert (root / "shed" / "gate" / "incidents" / "inc1.jpg").read_bytes() == BEST  # the best
    status = json.loads((root / "shed" / "gate" / "status.json").read_text())
    assert status["state"] == "streaming" and status["active"] == [] and status["last_alarm"]["picture"]
    assert (layout.read_json(str(root / "shed" / "device.json")) or {})["repeats"] >= 1


@pytest.mark.timeout(60)
def test_a_name_announced_by_two_processes_is_reported(tmp_path, broker, caplog):
    server, root = broker(), tmp_path / "fleet"
    running = Running(server, root)
    one, other = FakeDevice(server, "shed", "dev-a"), FakeDevice(server, "shed", "dev-b")
    restarted = FakeDevice(server, "barn")
    try:
        restarted.instance = "0" * 32
        restarted.announce()  # a restart is a new instance, once: no report
        for _ in range(2):
            one.announce()
            other.announce()
        device = lambda name: layout.read_json(str(root / name / "device.json")) or {}  # noqa: E731
        assert wait_for(lambda: (device("shed").get("conflict") or {}).get("active"), 20)
        one.event(health())
        other.event(health())  # the second device's: kept apart
        other.send("gate/state", json.dumps({"state": "failing", "instance": other.instance}).encode())
        assert wait_for(lambda: all(len(lines(root / name / "events.jsonl")) == 1
                                    for name in ("shed", "shed@dev-b")), 20)
        assert wait_for(lambda: (root / "shed@dev-b" / "gate" / "status.json").exists(), 20)
    finally:
        for each in (one, other, restarted):
            each.close()
        running.stop()
    conflict = device("shed")["conflict"]
    assert {i["client_id"] for i in conflict["instances"]} == {"dev-a", "dev-b"}
    assert device("barn").get("conflict") is None
    assert device("shed@dev-b")["twin_of"] == "shed"
    states = [json.loads((root / name / "gate" / "status.json").read_text()).get("state")
              for name in ("shed", "shed@dev-b")]
    assert states == [None, "failing"]
    assert "two processes announce this name" in caplog.text
