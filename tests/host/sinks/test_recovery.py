"""What a start recovers after an unclean stop: `visionengin cameras` SIGKILLed
during an incident, with a picture moved in that no event names, then started
again: the incident ends with its reason in the log and on a real mosquitto
(the retained ON/OFF turns OFF), and the picture gets its alarm line."""
import json
import re
import shutil
import signal
import time

import pytest

from cameras.conftest import cameras, servers  # noqa: F401 - fixtures
from visionengin_cli.storage.layout import picture_name

from storage.conftest import small_disk  # noqa: F401 - fixtures

from .conftest import Subscriber, broker, wait_for  # noqa: F401 - fixtures

pytestmark = pytest.mark.slow  # starts servers or processes

UNCLEAN = "ended at start after an unclean stop"


@pytest.mark.long_run
@pytest.mark.timeout(240)
def test_a_killed_run_has_its_incident_ended_and_its_pictures_told_at_the_next_start(
        cameras, servers, broker, tmp_path):  # noqa: F811
    server, = servers(1)
    mosquitto = broker()
    listener = Subscriber(mosquitto, ["visionengin/shed/#"])
    text = ('results = "results"\ndevice = "shed"\n[events]\nincident_gap = 600\n'
            '[mqtt]\nhost = "127.0.0.1"\nport = {}\n[cameras.gate]\naddress = "{}"\n'
            .format(mosquitto.port, server.url))
    try:
        first = cameras(text)
        assert wait_for(lambda: first.events(("incident_start",)) and len(first.events()) >= 2, 90), \
            first.stderr
        kind = first.events(("incident_start",))[0]["info_type"]
        topic = "visionengin/shed/gate/" + kind
        assert wait_for(lambda: [payload for payload, _ in listener.on(topic)][-1:] == [b"ON"], 30)
        first.proc.send_signal(signal.SIGKILL)
        first.proc.wait(10)
        server.stop()  # the camera is quiet from now on: nothing but the recovery ends it
        time.sleep(1.5)  # the camera process notices its supervisor went and its last event with it
        root = first.root
        lines = [json.loads(line) for line in (root / "events.jsonl").read_text().splitlines()]
        started = next(e for e in lines if e["type"] == "incident_start")
        alarms = [e for e in lines if e["type"] == "alarm"]
        assert not [e for e in lines if e["type"] == "incident_end"]
        hour, name = picture_name(time.time(), kind, 999999)
        (root / "gate" / hour).mkdir(parents=True, exist_ok=True)
        shutil.copy(str(root / alarms[-1]["picture"]), str(root / "gate" / hour / name))

        second = cameras(text)
        assert wait_for(lambda: second.events(("incident_end",)), 30), second.stderr
        assert wait_for(lambda: [payload for payload, _ in listener.on(topic)][-1:] == [b"OFF"], 30), \
            second.stderr
        code, _ = second.end(signal.SIGTERM)
        assert code == 0, second.stderr
        later = Subscriber(mosquitto, [topic], client_id="later")  # what a new client is told
        assert wait_for(lambda: later.on(topic) == [(b"OFF", True)], 20)
        later.close()
    finally:
        listener.close()
    lines = second.events(None)
    told = [e for e in lines if e["type"] == "alarm" and e["picture"] == "gate/{}/{}".format(hour, name)]
    assert len(told) == 1 and told[0]["info_type"] == kind
    ended = [e for e in lines if e["type"] == "incident_end" and "reason" in e]
    assert [(e["incident"], e["reason"]) for e in ended] == [(started["incident"], UNCLEAN)]
    before = lines[:lines.index(ended[0])]  # the camera's own start may tell pictures of its own after
    alarms = [e for e in before if e["type"] == "alarm" and e["info_type"] == kind]
    assert ended[0]["count"] == len(alarms) and ended[0]["end"] == told[0]["time"]
    assert second.stderr.count("left open by an unclean stop") == 1, second.stderr
    assert second.stderr.count("had no event") == 1, second.stderr


@pytest.mark.long_run
@pytest.mark.timeout(120)
def test_the_sinks_state_stays_true_on_a_full_disk(tmp_path, broker, small_disk):  # noqa: F811
    from visionengin_cli.sinks import config as sinks_config
    from visionengin_cli.sinks.hub import Hub
    from visionengin_cli.sinks.status import read_sinks

    from storage.test_disk_full import fill

    mosquitto = broker()
    root = small_disk(1) / "results"
    root.mkdir()
    config = sinks_config.parse({"device": "shed", "mqtt": {"host": "127.0.0.1", "port": mosquitto.port}},
                                str(tmp_path))
    hub = Hub(str(root), config, ["gate"])
    hub.start()
    try:
        def on_disk():
            try:
                return json.loads((root / "sinks.json").read_text())
            except (OSError, ValueError):
                return None
        assert wait_for(lambda: (on_disk() or {"sinks": [{}]})["sinks"][0].get("connected"), 20)
        fill(root / "other-data")
        full = time.time()
        assert wait_for(lambda: (on_disk() or {}).get("updated", 0) > full + 2, 20)  # still rewritten
        assert on_disk()["sinks"][0]["connected"] is True
        assert read_sinks(str(root))[0]["connected"] is True
    finally:
        hub.stop()


@pytest.mark.long_run
@pytest.mark.timeout(180)
def test_a_camera_removed_by_a_reload_ends_its_open_incident_on_both_sinks(
        cameras, servers, broker, tmp_path):  # noqa: F811
    from .test_delivery import Receiver

    server, = servers(1)
    mosquitto, receiver = broker(), Receiver()
    listener = Subscriber(mosquitto, ["visionengin/shed/events"])
    head = ('results = "results"\ndevice = "shed"\n[events]\nincident_gap = 600\n[mqtt]\n'
            'host = "127.0.0.1"\nport = {}\n[[webhooks]]\nurl = "{}"\n'
            '[cameras.yard]\naddress = "rtsp://127.0.0.1:9/none"\n'.format(mosquitto.port, receiver.url))
    try:
        command = cameras(head + '[cameras.gate]\naddress = "{}"\n'.format(server.url))
        assert wait_for(lambda: [e for e in receiver.events if e["type"] == "incident_start"], 90), \
            command.stderr
        (tmp_path / "cameras.toml").write_text(head)
        command.proc.send_signal(signal.SIGHUP)
        ended = lambda: [e["incident"] for e in receiver.events if e["type"] == "incident_end"]  # noqa: E731
        assert wait_for(ended, 30), command.stderr
        mqtt = lambda: [json.loads(p) for p, _ in listener.on("visionengin/shed/events")]  # noqa: E731
        assert wait_for(lambda: [e for e in mqtt() if e["type"] == "incident_end"], 30), command.stderr
        code, _ = command.end(signal.SIGTERM)
    finally:
        listener.close()
        receiver.shutdown()
        receiver.server_close()
    assert code == 0, command.stderr
    started = [e["incident"] for e in command.events(("incident_start",))]
    assert [e["incident"] for e in command.events(("incident_end",))] == started == ended()
    assert [e["incident"] for e in mqtt() if e["type"] == "incident_end"] == started


@pytest.mark.long_run
@pytest.mark.timeout(120)
def test_pushes_go_out_while_the_disk_is_full_and_none_twice_once_space_returns(
        tmp_path, broker, small_disk, caplog):  # noqa: F811
    import os

    from visionengin_cli.events.log import EventLog
    from visionengin_cli.sinks import config as sinks_config
    from visionengin_cli.sinks.hub import Hub

    from storage.test_disk_full import fill

    from .test_delivery import Receiver, line

    mosquitto, receiver = broker(), Receiver()
    listener = Subscriber(mosquitto, ["visionengin/shed/events"])
    root = small_disk(1) / "results"
    root.mkdir()
    config = sinks_config.parse({"device": "shed", "mqtt": {"host": "127.0.0.1", "port": mosquitto.port},
                                 "webhooks": [{"url": receiver.url}]}, str(tmp_path))
    log, hub = EventLog(str(root)), Hub(str(root), config, ["gate"])

    def publish(numbers):
        for n in numbers:  # the live path: logged (kept in memory when it cannot be), then queued
            log.append(line(n))
            hub.publish(line(n))

    mqtt = lambda: [json.loads(p)["id"] for p, _ in listener.on("visionengin/shed/events")]  # noqa: E731
    hooks = lambda: [e["id"] for e in receiver.events]  # noqa: E731
    got = lambda n: mqtt()[-1:] == hooks()[-1:] == ["e{}".format(n)]  # noqa: E731
    hub.start()
    try:
        publish([1])
        assert wait_for(lambda: got(1), 20)
        fill(root / "other-data")
        publish(range(2, 80))  # beyond what the files' last blocks still hold
        assert wait_for(lambda: got(79), 20)  # delivered from memory
        assert log.disk_full
        os.unlink(root / "other-data")
        publish([80])
        assert wait_for(lambda: got(80), 20)
        log.flush()
    finally:
        hub.stop()
        log.close()
        listener.close()
        receiver.shutdown()
        receiver.server_close()
    want = ["e{}".format(n) for n in range(1, 81)]
    assert mqtt() == want and hooks() == want
    again = Hub(str(root), config, ["gate"])  # the log and the outboxes agree: nothing to send again
    assert [(s.outbox.queued, s.outbox.delivered) for s in again.senders] == [(0, 80), (0, 80)]
    for sender in again.senders:
        sender.outbox.close()
    told = [r.getMessage() for r in caplog.records if r.getMessage().startswith("outbox ")]
    for name in ("mqtt", "webhook-1"):
        first, then = [m for m in told if m.startswith("outbox {}:".format(name))]
        assert first == ("outbox {}: cannot write (No space left on device): events held in memory "
                         "and delivered from there (at most 10000) until it can".format(name))
        figures = re.fullmatch(r"outbox {}: written again: (\d+) events held in memory meanwhile, "
                               r"(\d+) of them delivered from there, 0 lost".format(name), then)
        held, sent = map(int, figures.groups())
        assert 1 < held <= 79 and sent in (held - 1, held), then
    logged = [json.loads(raw)["id"] for raw in (root / "events.jsonl").read_text().splitlines()]
    assert logged == want  # the log kept what it could not write and wrote it once it could
