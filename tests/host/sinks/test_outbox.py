"""The outbox on disk: in order across a restart, a line cut short by a crash
cut back, bounded with the oldest dropped, counted and logged; and the sinks'
configuration refusing what it cannot run, naming the key, never a secret."""
import pytest

from visionengin_cli.cameras import config as cameras_config
from visionengin_cli.events.outbox import Outbox

from storage.conftest import small_disk  # noqa: F401 - fixtures


def drain(outbox, limit=1000):
    got = []
    for position, event in outbox.peek(limit):
        got.append(event["id"])
        outbox.ack(position)
    return got


def test_in_order_across_restarts_and_a_torn_line(tmp_path):
    folder = str(tmp_path / "outbox" / "mqtt")
    box = Outbox(folder, segment_bytes=4096)
    for n in range(300):  # several segments
        box.append({"id": n, "pad": "x" * 40})
    assert box.queued == 300
    first = box.peek(100)
    box.ack(first[-1][0], len(first))
    box.close()
    with open(sorted((tmp_path / "outbox" / "mqtt").glob("*.jsonl"))[-1], "ab") as segment:
        segment.write(b'{"id": "torn')  # the crash came mid-write
    box = Outbox(folder, segment_bytes=4096)
    assert (box.queued, box.delivered) == (200, 100)
    box.append({"id": 300})
    assert drain(box) == list(range(100, 301))
    assert box.queued == 0 and len(list((tmp_path / "outbox" / "mqtt").glob("*.jsonl"))) == 1
    box.close()
    assert Outbox(folder).queued == 0


def test_bounded_oldest_dropped_counted_and_logged(tmp_path, caplog):
    box = Outbox(str(tmp_path / "box"), cap=8192, segment_bytes=4096)
    for n in range(1000):
        box.append({"id": n, "pad": "x" * 40})
    kept = drain(box)
    assert box.dropped + len(kept) == 1000 and box.dropped > 800
    assert kept == list(range(1000 - len(kept), 1000))  # the newest, in order
    assert sum(p.stat().st_size for p in (tmp_path / "box").glob("*.jsonl")) <= 8192 + 4096
    assert "dropped the oldest" in caplog.text
    box.close()
    assert Outbox(str(tmp_path / "box")).dropped == box.dropped


def test_temporary_files_a_crash_left_are_removed_and_each_write_has_its_own(tmp_path):
    from visionengin_cli.sinks.published import Published

    folder = tmp_path / "box"
    folder.mkdir()
    (folder / "state.json.tmp").write_text('{"segm')  # what older versions' crashes left
    (folder / "published.json.tmp").write_text("")
    (folder / "state.json.77.3.tmp").write_text('{"segment": 1')
    box = Outbox(str(folder))
    box.append({"id": "a"})
    assert [e["id"] for _, e in box.peek()] == ["a"]
    box.ack(box.peek()[0][0])
    published = Published(str(folder))
    published.add_cameras(["gate"])
    box.close()
    assert sorted(p.name for p in folder.iterdir()) == [
        ".lock", "000000000001.jsonl", "published.json", "state.json"]
    assert not published.failing and Outbox(str(folder)).delivered == 1


def test_on_a_full_disk_events_are_held_bounded_and_those_left_at_the_stop_counted(
        tmp_path, small_disk, caplog):
    from storage.test_disk_full import fill

    folder = small_disk(1) / "box"
    box = Outbox(str(folder))
    box.append({"id": 0})
    box.close()  # its state.json made: on a full disk it is rewritten in place
    box = Outbox(str(folder))
    fill(folder.parent / "other-data")
    box.held.limit = 5
    for n in range(1, 200):  # the segment's last block fills, then the rest is held
        box.append({"id": n, "pad": "x" * 100})
    waiting = box.peek(1000)
    held = [e["id"] for position, e in waiting if position[0] == 0]
    on_disk = len(waiting) - len(held)
    assert held == [195, 196, 197, 198, 199] and box.queued == len(waiting)  # the newest, in order
    assert box.dropped == 199 - (on_disk - 1) - 5
    for position, _ in waiting[:-2]:  # the disk's, then three held, delivered
        box.ack(position)
    box.close()  # still full: the two undelivered held ones are lost to this sink, and told
    assert [r.getMessage() for r in caplog.records] == [
        "outbox box: cannot write (No space left on device): events held in memory and delivered "
        "from there (at most 5) until it can",
        "outbox box: more than 5 events held in memory: the oldest undelivered dropped and counted",
        "outbox box: 2 undelivered events held in memory could not be written before the stop: "
        "lost to this sink"]
    again = Outbox(str(folder))
    assert (again.queued, again.dropped) == (0, 199 - (on_disk - 1) - 3)
    again.close()


@pytest.mark.parametrize("text, message", [
    ('[mqtt]\nport = 1883\n', "mqtt.host: missing"),
    ('[mqtt]\nhost = "b"\nqos = 3\n', "mqtt.qos: must be 0, 1 or 2"),
    ('[mqtt]\nhost = "b"\nusername = "u"\npassword = "pw-1"\npassword_file = "f"\n',
     "mqtt: give password or password_file, not both"),
    ('[mqtt]\nhost = "b"\nusername = "u"\npassword_file = "missing"\n', "mqtt.password_file: cannot read"),
    ('[mqtt]\nhost = "b"\nretain = true\n', "mqtt.retain: unknown key"),
    ('[[webhooks]]\nurl = "ftp://x"\nsecret = "pw-1"\n', "webhooks[0].url: must be an http"),
    ('[[webhooks]]\nurl = "https://u:pw-1@h:99999/x"\n', "webhooks[0].url: the port must be 1 to 65535"),
    ('[[webhooks]]\nurl = "https://u:pw-1@/x"\n', "webhooks[0].url: must name a host"),
    ('[[webhooks]]\nurl = "http://x"\nevents = ["incident"]\n', "webhooks[0].events: unknown event type 'incident'"),
    ('[events]\nincident_gap = 0\n', "events.incident_gap: must be more than 0"),
    ('[events]\noffline_after = "30"\n', "events.offline_after: must be a number"),
])
def test_configuration_faults_name_file_and_key_never_the_secret(tmp_path, text, message):
    path = tmp_path / "cameras.toml"
    path.write_text('[cameras.gate]\naddress = "rtsp://h/x"\n' + text)
    with pytest.raises(cameras_config.ConfigError) as error:
        cameras_config.load(str(path))
    assert str(error.value).startswith(str(path) + ": " + message), str(error.value)
    assert "pw-1" not in str(error.value)


def test_configuration_defaults_and_secret_files(tmp_path):
    (tmp_path / "pw").write_text("from-a-file\n")
    path = tmp_path / "cameras.toml"
    path.write_text('device = "shed"\n[mqtt]\nhost = "b"\nusername = "u"\npassword_file = "pw"\n'
                    '[[webhooks]]\nurl = "https://r/x"\nsecret = "s"\n[cameras.gate]\naddress = "rtsp://h/x"\n')
    sinks = cameras_config.load(str(path)).sinks
    mqtt = sinks.mqtt
    assert (mqtt.port, mqtt.qos, mqtt.prefix, mqtt.password, mqtt.alarm_events, mqtt.homeassistant) == \
        (1883, 1, "visionengin/shed", "from-a-file", False, False)
    assert "from-a-file" not in repr(mqtt) and "'s'" not in repr(sinks.webhooks[0])
    assert sinks.webhooks[0].events == {"incident_start", "incident_end", "camera_offline",
                                        "camera_online", "camera_hung", "disk_full", "disk_ok"}
    assert (sinks.incident_gap, sinks.offline_after) == (30.0, 30.0)
