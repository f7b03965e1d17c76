"""The collector in-process against a real mosquitto, fed a device's real
message shapes: what it keeps and where, repeats dropped, nothing lost
while it is away, a name two processes announce at once reported, its
bounds, the device's own times and the broker's copy of a running
incident's picture, and the page over it."""
import datetime
import json
import threading
import time
import urllib.request

import pytest

from visionengin_cli.fleet import devices, layout
from visionengin_cli.fleet.client import Collector, Settings
from visionengin_cli.fleet.limits import Limits
from visionengin_cli.fleet.store import Store
from visionengin_cli.storage.names import camera_name_fault
from visionengin_cli.web.command import serve_in_background

from .conftest import BEST, JPEG, FakeDevice, health, incident, wait_for

pytestmark = pytest.mark.slow  # starts servers or processes


class Running:
    def __init__(self, broker, root, limits=None, client_id="collector-test"):
        self.store, self.lock = Store(str(root), limits), threading.Lock()
        self.collector = Collector(Settings("127.0.0.1", broker.port, False, None, None, None,
                                            client_id, "visionengin/#"), self.store, self.lock)
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


@pytest.mark.timeout(60)
def test_made_up_devices_cameras_info_types_and_fake_snapshots_are_refused_and_counted(tmp_path, broker):
    server, root = broker(), tmp_path / "fleet"
    running = Running(server, root, Limits(max_devices=3, max_cameras=2, max_info_types=2, max_snapshot=70000))
    device = FakeDevice(server, "d0")  # its availability and instance: d0 is the first device
    try:
        device.event(incident("incident_start", "inc1"), b"\xff\xd8\xff\xe0" + b"\0" * 50000 + b"\xff\xd9")
        device.event(incident("incident_start", "inc2", info_type="person"), JPEG + b"\0" * 60000 + b"\xff\xd9")
        for n in range(1, 6):
            device.raw("d{}/availability".format(n), b"online")
        for n in range(5):  # "gate" and c0 kept
            device.raw("d0/c{}/state".format(n), b'{"state": "streaming"}')
        for n in range(3):  # beyond "motion" and "person"
            device.raw("d0/gate/t{}".format(n), b"ON")
        device.event(health())
        assert wait_for(lambda: len(lines(root / "d0" / "events.jsonl")) == 3, 20)
    finally:
        device.close()
        running.stop()
    counts = layout.read_json(str(root / layout.COLLECTOR_FILE)) or {}
    assert counts["refused"] == dict(counts["refused"], devices=3, cameras=4, info_types=3, snapshot_size=1,
                                     snapshot_not_a_picture=1), counts
    assert counts["devices"] == 3
    assert sorted(p.name for p in root.iterdir() if p.is_dir()) == ["d0", "d1", "d2"]
    assert sorted(p.name for p in (root / "d0").iterdir() if p.is_dir()) == ["c0", "gate"]
    assert not (root / "d0" / "gate" / "incidents").exists()  # neither picture kept, both lines kept
    assert json.loads((root / "d0" / "gate" / "status.json").read_text())["active"] == ["motion", "person"]


@pytest.mark.parametrize("camera", ["gate", "yard-2.e", "incidents", "Outbox", "x.json", "events.jsonl",
                                    "a b", ".hidden", "gate\n", "é"])
def test_the_collector_keeps_the_cameras_a_configuration_may_name(tmp_path, camera):
    store = Store(str(tmp_path))
    try:
        store.state("shed", camera, b'{"state": "streaming"}', True, lambda: None)
        store.tick()
    finally:
        store.close()
    kept = (tmp_path / "shed" / camera / "status.json").is_file()
    assert kept == (camera_name_fault(camera) is None) == (camera in ("gate", "yard-2.e"))


def epoch(text):
    return datetime.datetime.fromisoformat(text).timestamp()


@pytest.mark.timeout(90)
def test_device_times_kept_across_a_restart_and_a_running_incident_pictured_from_the_broker(tmp_path, broker):
    server, root = broker(), tmp_path / "fleet"
    running = Running(server, root)
    shed = FakeDevice(server, "shed")
    try:
        saved = lambda: layout.read_json(str(root / "shed" / "device.json")) or {}  # noqa: E731
        assert wait_for(lambda: saved().get("last_seen_epoch"), 20), saved()
        running.stop()
        time.sleep(0.5)
        later = dict(health("camera_online"), time=datetime.datetime.now(datetime.timezone.utc).isoformat())
        shed.event(later)  # kept by the broker while the collector is away
        shed.send("availability", b"offline", retain=True)
        time.sleep(1.5)
        started = time.time()
        running = Running(server, root)
        assert wait_for(lambda: saved().get("availability") == "offline", 20), saved()
    finally:
        shed.close()
        running.stop()
    assert saved()["last_seen_epoch"] == epoch(later["time"])
    assert epoch(saved()["availability_at"]) == epoch(later["time"])  # since its last message, not our start
    assert saved()["heard_epoch"] >= started

    # an incident begun before this collector's first session: the broker's copy of its picture
    late, barn = tmp_path / "late", FakeDevice(server, "barn")
    layout.write_json(str(late / layout.MARKER), {"kind": "visionengin-collect"}) if late.mkdir() is None else None
    barn.event(incident("incident_start", "inc9"), JPEG)
    running, served = Running(server, late, client_id="collector-late"), None
    try:
        status = lambda: layout.read_json(str(late / "barn" / "gate" / "status.json")) or {}  # noqa: E731
        assert wait_for(lambda: status().get("active") == ["motion"] and status().get("last_alarm"), 20), status()
        assert (late / "barn" / status()["last_alarm"]["picture"]).read_bytes() == JPEG
        served = serve_in_background(str(late), "127.0.0.1:0", None)
        page = lambda query="": urllib.request.urlopen(served.url + query, timeout=10).read().decode()  # noqa: E731
        assert wait_for(lambda: "incident: motion" in page(), 10)
        assert "pictures/barn/gate/incidents/" in page() and 'class="state availability-online' in page()
        barn.send("availability", b"offline", retain=True)  # its last will
        barn_tiles = lambda: page("fragments/tiles").partition('data-device="barn"')[2].partition("</section>")[0]  # noqa: E731
        assert wait_for(lambda: 'class="state availability-offline"' in barn_tiles(), 20), barn_tiles()
        tiles, own = barn_tiles(), page("?device=barn")
        assert "incident: motion" not in tiles and "tile state-offline" in tiles
        assert '<span class="device-name">barn</span>' in own and "<title>visionengin: barn (fleet)" in own
        assert "refused" in json.loads(page("api/status"))["collector"]
        assert 'visionengin_collector_refused_total{kind="devices"} 0.0' in page("metrics")
    finally:
        if served is not None:
            served.stop()
        barn.close()
        running.stop()
