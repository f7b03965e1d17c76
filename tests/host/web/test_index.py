"""The page's answers over months of events, from its index: a day long ago
answered with the same events as a full scan of the log, a camera's
incidents walked page by page, the index made again when deleted, damaged
or not ours, and the rows of a part gone with the part (rotation,
compression and retention as the writers and retention do them)."""
import datetime
import gzip
import json
import logging
import os
import shutil
import sqlite3
import sys
import time
import urllib.parse

import pytest

from visionengin_cli.events.index_place import index_path

from .event_logs import full_scan, iso, make_log

pytestmark = [pytest.mark.slow, pytest.mark.timeout(300)]
DAY = 86400.0


def q(moment):
    return urllib.parse.quote(iso(moment), safe="")


def whole(client, path, seconds=240):
    """The answer of ``path`` once it says it is whole."""
    started = time.monotonic()
    while True:
        answer = client.json(path)
        if answer["complete"] or "retention" in answer.get("reason", ""):
            return answer
        assert "catching up" in answer["reason"] or "being made" in answer["reason"], answer["reason"]
        assert time.monotonic() - started < seconds, answer["reason"]
        time.sleep(0.3)


def walk(client, path, key):
    """Every item of a list, page after page; no page repeats an item."""
    seen, cursor = [], None
    while True:
        answer = client.json(path + ("&{}={}".format(key, cursor) if cursor else ""))
        assert answer["complete"], answer.get("reason")
        seen += [item["incident"] for item in answer["incidents"]]
        cursor = answer["next"]
        if cursor is None:
            assert len(seen) == len(set(seen))
            return seen


def camera_incidents(count, per_camera=4):
    """The incidents make_log writes for "gate", newest first."""
    return ["i%d" % k for k in reversed(range(count)) if k % per_camera == 0]


def check_root(client, root, events, incidents, days, end, back, removed=False, wait=240):
    """A day ``back`` days ago: as a full scan; gate's incidents by pages."""
    since, until = end - back * DAY + 0.5, end - (back - 1) * DAY + 0.5  # no event on an edge
    path = "api/events?limit=1000&since={}&until={}".format(q(since), q(until))
    pages = [whole(client, path, wait)]
    while pages[-1]["next"]:
        pages.append(client.json(path + "&before=" + pages[-1]["next"]))
    assert [e["id"] for page in pages for e in page["events"]] == full_scan(root, since, until)
    assert pages[0]["events"] and all(p["complete"] and p["skipped"] == {"event_line": 0} for p in pages)
    newest_first = walk(client, "api/incidents?camera=gate&limit={}".format(max(7, incidents // 20)), "before")
    assert newest_first == camera_incidents(incidents)[:len(newest_first)]
    assert removed or len(newest_first) == incidents // 4
    third = client.json("api/incidents?camera=gate&limit=3")["next"]
    forward = client.json("api/incidents?camera=gate&limit=2&after=" + third)
    assert [i["incident"] for i in forward["incidents"]] == newest_first[1::-1] and forward["next"] is None


def test_months_answered_whole_and_by_pages(tmp_path, serve, caplog):
    root = tmp_path / "results"
    end = time.time() - 60
    names = make_log(str(root), 4000, 80, 30, end, part_bytes=64 << 10)
    assert len(names) > 6 and any(n.endswith(".jsonl") and n != "events.jsonl" for n in os.listdir(root))
    client = serve(root)
    check_root(client, str(root), 4000, 80, 30, end, back=28)
    every = "api/events?limit=1000&since={}".format(q(end - 40 * DAY))

    # Refused, not bent: a limit over the most, a cursor of another list, both directions.
    for bad, message in (("api/events?limit=5000", "limit: at most 1000"),
                         ("api/incidents?before=xyz", "before: not a cursor"),
                         ("api/events?before=" + client.json("api/incidents?limit=1")["next"], "before: "),
                         ("api/events?before=a&after=b", "before")):
        status, _, body = client.get(bad)
        assert status == 400 and json.loads(body)["error"].startswith(message), body

    # Walking forward from a cursor: the newer events, oldest first.
    newest = client.json("api/events?limit=2")
    newer = client.json("api/events?limit=5&after=" + newest["next"])
    assert [e["id"] for e in newer["events"]] == [newest["events"][0]["id"]] and newer["next"] is None

    # A rotation, the compression of the part before, a new line: nothing twice, nothing lost.
    numbered = sorted(int(n.split(".")[1]) for n in os.listdir(root) if n.count(".") >= 2)
    os.rename(root / "events.jsonl", root / ("events.%06d.jsonl" % (numbered[-1] + 1)))
    plain = root / ("events.%06d.jsonl" % numbered[-1])
    with open(plain, "rb") as source, gzip.open(str(plain) + ".gz", "wb") as packed:
        packed.write(source.read())
    plain.unlink()
    extra = {"type": "alarm", "id": "late", "time": iso(end + 30), "camera": "gate", "info_type": "motion",
             "picture": "gate/rtsp_result/late.jpg"}
    (root / "events.jsonl").write_text(json.dumps(extra) + "\n")
    pages = [whole(client, every)]
    while pages[-1]["next"]:
        pages.append(client.json(every + "&before=" + pages[-1]["next"]))
    ids = [e["id"] for page in pages for e in page["events"]]
    assert ids == full_scan(str(root), end - 40 * DAY, end + 60) and ids[0] == "late" and len(ids) == 4001

    # Retention removes the oldest part: its rows go, and a day it held says it is no longer held.
    oldest = root / "events.000001.jsonl.gz"
    with gzip.open(str(oldest)) as part:
        first_day = json.loads(part.readline())["time"]
    gone_since = datetime.datetime.fromisoformat(first_day).timestamp() - 1
    oldest.unlink()
    old_day = client.json("api/events?limit=1000&since={}&until={}".format(q(gone_since), q(gone_since + DAY)))
    assert [e["id"] for e in old_day["events"]] == full_scan(str(root), gone_since, gone_since + DAY)
    assert not old_day["complete"] and "removed by retention" in old_day["reason"] and old_day["held_since"]
    assert len(whole(client, every)["events"]) == 1000

    # Deleted, damaged, foreign: set aside with a warning, made again, the same answers.
    path = index_path(os.path.realpath(str(root)), "device", os.environ)
    assert os.path.isfile(path) and not str(path).startswith(str(root))
    served = client
    for damage in ("delete", "garbage", "foreign"):
        served.stop()  # a restart: the server that used the file has gone when it is damaged
        for suffix in ("", "-wal", "-shm"):
            if os.path.exists(path + suffix):
                os.unlink(path + suffix)
        if damage == "garbage":
            with open(path, "wb") as file:
                file.write(b"SQLite format 3\x00" + os.urandom(8192))
        elif damage == "foreign":
            other = sqlite3.connect(path)
            try:
                other.execute("CREATE TABLE photos(x)")
                other.commit()
            finally:
                other.close()
        caplog.clear()
        with caplog.at_level(logging.WARNING, "visionengin.events"):
            served = serve(root)
            check_root(served, str(root), 4000, 80, 30, end, back=20, removed=True)
        told = [r for r in caplog.records if "set aside" in r.getMessage()]
        assert len(told) == (0 if damage == "delete" else 1), [r.getMessage() for r in told]
        assert os.path.exists(path + ".damaged") == (damage != "delete") or damage == "foreign"


def test_running_incident_shows_its_count_and_best_picture_so_far(root, client):
    """Item 11 of issue 25: a running incident, told by its start line only."""
    start = time.time() - 30
    first = root.alarm("gate", "person", when=start, score=0.2)
    root.append_line(json.dumps({"type": "incident_start", "id": "s1", "incident": "run1", "time": iso(start),
                                 "camera": "gate", "info_type": "person", "start": iso(start), "end": iso(start),
                                 "count": 1, "picture": first["picture"], "score": 0.2}))
    best = root.alarm("gate", "person", when=start + 5, score=0.9)
    root.alarm("gate", "person", when=start + 9, score=0.5)
    root.alarm("gate", "motion", when=start + 10, score=0.99)  # another info type: another incident
    incident = next(i for i in client.json("api/incidents")["incidents"] if i["incident"] == "run1")
    assert (incident["open"], incident["count"], incident["picture"], incident["score"]) == \
        (True, 3, best["picture"], 0.9)
    cards = client.get("fragments/incidents")[2].decode()
    assert "3 pictures" in cards and best["picture"] in cards


def test_fleet_events_and_incidents_by_device(tmp_path, serve):
    """A collector's root: every device's log and its rotated logs, one
    list labelled by device; a rotated log removed takes its rows."""
    root = tmp_path / "fleet"
    root.mkdir()
    (root / "fleet.json").write_text(json.dumps({"kind": "visionengin-collect"}))
    end = time.time() - 60
    for device in ("north", "south"):
        folder = root / device
        make_log(str(folder), 300, 12, 3, end, part_bytes=16 << 10)
        for name in os.listdir(folder):  # a collector's rotated logs: events-<stamp>.jsonl, plain
            if name != "events.jsonl":
                with (gzip.open if name.endswith(".gz") else open)(str(folder / name), "rb") as part:
                    data = part.read()
                number = int(name.split(".")[1])
                (folder / ("events-20261201T%06d.000000Z.jsonl" % number)).write_bytes(data)
                (folder / name).unlink()
        (folder / "device.json").write_text(json.dumps({"availability": "online", "last_seen_epoch": end}))
    client = serve(root)
    answer = whole(client, "api/events?limit=1000")
    assert len(answer["events"]) == 600 and answer["next"] is None
    assert {e["device"] for e in answer["events"]} == {"north", "south"}
    south = client.json("api/incidents?device=south&camera=gate&limit=2")
    assert {i["device"] for i in south["incidents"]} == {"south"} and south["next"]
    assert south["incidents"][0]["picture"].startswith("south/gate/")
    walked = walk(client, "api/incidents?device=south&camera=gate&limit=2", "before")
    assert walked == camera_incidents(12)
    stamped = sorted(n for n in os.listdir(root / "north") if n.startswith("events-"))
    (root / "north" / stamped[0]).unlink()
    left = client.json("api/events?limit=1000&device=north")
    assert 0 < len(left["events"]) < 300
    shutil.rmtree(root / "south")
    assert {e["device"] for e in client.json("api/events?limit=1000")["events"]} == {"north"}


@pytest.mark.long_run
@pytest.mark.skipif(sys.version_info[:2] != (3, 11),
                    reason="a million lines take three minutes to index: run on 3.11 only")
@pytest.mark.timeout(2400)
def test_a_million_lines(tmp_path, serve):
    """Three months of four cameras: a million alarm lines, twenty thousand
    incidents, parts of 16 MB, most compressed."""
    root = tmp_path / "results"
    end = time.time() - 60
    make_log(str(root), 1_000_000, 20_000, 87, end)
    client = serve(root)
    check_root(client, str(root), 1_000_000, 20_000, 87, end, back=85, wait=1800)


def test_a_damaged_compressed_part_is_read_as_far_as_it_goes(tmp_path, serve, caplog):
    root = tmp_path / "results"
    end = time.time() - 60
    make_log(str(root), 2000, 40, 4, end, part_bytes=64 << 10)
    broken = root / "events.000002.jsonl.gz"
    data = broken.read_bytes()
    broken.write_bytes(data[:len(data) // 2])
    with caplog.at_level(logging.WARNING, "visionengin.events"):
        answer = whole(serve(root), "api/events?limit=1000&since={}&until={}".format(
            q(end - 5 * DAY), q(end - 3 * DAY)))
    assert answer["complete"] and answer["events"] and answer["skipped"]["event_line"] == 1
    assert any("events.000002.jsonl.gz cannot be read past byte" in r.getMessage() for r in caplog.records)
