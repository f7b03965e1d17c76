"""The event log itself: whole lines on a disk that fills mid-line, kept
events written when space returns, and parts rotated, compressed and read by
the page while a writer goes on."""
import gzip
import json
import os
import threading
import time

import pytest

from visionengin_cli.events import reader, rotation
from visionengin_cli.events.log import EventLog
from visionengin_cli.web.results import ResultsRoot

from storage.test_disk_full import fill


def event(n, size=0):
    return {"time": 1_800_000_000 + n / 10, "info_type": "motion", "picture": "p/%d.jpg" % n,
            "score": "x" * size if size else 0.5, "behavior_number": n}


def all_lines(root):
    lines = []
    for path in reversed(rotation.files_newest_first(str(root))):
        opener = gzip.open if path.endswith(".gz") else open
        with opener(path, "rb") as file:
            lines += file.read().splitlines()
    return [json.loads(line) for line in lines]


@pytest.mark.timeout(60)
def test_full_disk_leaves_whole_lines_and_kept_events_follow(small_disk, caplog):
    disk = small_disk(1)
    log = EventLog(str(disk))
    log.write("gate", event(0))
    fill(disk / "other-data")
    for n in range(1, 6):  # the first does not fit whole: a short write, then ENOSPC
        log.write("gate", event(n, size=6000))
    assert (disk / "events.jsonl").read_bytes().endswith(b"\n") and len(log.kept) == 5
    assert [e["behavior_number"] for e in all_lines(disk)] == [0]
    os.unlink(disk / "other-data")
    log.flush()
    log.write("gate", event(6))
    log.close()
    assert [e["behavior_number"] for e in all_lines(disk)] == list(range(7))
    said = [r.getMessage() for r in caplog.records if "events.jsonl" in r.getMessage()]
    assert len(said) == 2 and "No space left on device" in said[0] and "written again" in said[1]


@pytest.mark.timeout(60)
def test_rotation_while_the_page_reads(tmp_path):
    log = EventLog(str(tmp_path), part_bytes=8 * 1024)
    page = ResultsRoot(str(tmp_path))
    total, seen, problems = 3000, [], []

    def write():
        for n in range(total):
            log.write("gate" if n % 2 else "yard", event(n))
            if n % 500 == 0:
                rotation.compress(str(tmp_path), now=2e9)

    writer = threading.Thread(target=write)
    writer.start()
    while writer.is_alive():
        got = [e["behavior_number"] for e in page.events_page(limit=40)["events"]]
        if (got or seen) and (not got or got != list(range(got[0], got[0] - len(got), -1))):
            problems.append(got)  # an empty or a broken answer once events exist
        if got:
            seen.append(len(got))
    writer.join()
    log.close()
    assert not problems and max(seen) == 40
    rotation.compress(str(tmp_path), now=2e9)
    names = sorted(os.listdir(tmp_path))
    assert len([n for n in names if n.endswith(".jsonl.gz")]) > 10 and names[-1] == "events.jsonl"
    assert [e["behavior_number"] for e in all_lines(tmp_path)] == list(range(total))
    # Across the current file, the plain part and compressed ones. An answer
    # just after a compression may still be catching up: it says so, and a
    # later one is whole.
    deadline = time.monotonic() + 30
    newest = page.events_page(limit=1000)
    while not newest["complete"] and time.monotonic() < deadline:
        assert "catching up" in newest["reason"], newest["reason"]
        time.sleep(0.1)
        newest = page.events_page(limit=1000)
    assert newest["complete"], newest.get("reason")
    assert [e["behavior_number"] for e in newest["events"]] == list(range(total - 1, total - 1001, -1))
    assert [e["behavior_number"] for e in page.events_page(limit=1000, camera="yard")["events"]][:3] == [2998, 2996, 2994]


def test_a_part_left_both_plain_and_compressed_is_read_once(tmp_path):
    """As a compression leaves it between its two steps, or when cut short there."""
    log = EventLog(str(tmp_path), part_bytes=2 * 1024)
    for n in range(60):
        log.write("gate", event(n))
    log.close()
    twin = tmp_path / rotation.parts(str(tmp_path))[1][1]
    with gzip.open(str(twin) + ".gz", "wb") as out:
        out.write(twin.read_bytes())
    page = ResultsRoot(str(tmp_path))
    assert [e["behavior_number"] for e in page.events_page(limit=100)["events"]] == list(range(59, -1, -1))
    rotation.compress(str(tmp_path), now=2e9)
    assert not twin.exists() and [e["behavior_number"] for e in all_lines(tmp_path)] == list(range(60))


def test_a_writer_rotating_at_every_look_gives_an_older_but_whole_answer(tmp_path, monkeypatch):
    log = EventLog(str(tmp_path), part_bytes=2 * 1024)
    numbers = iter(range(1 << 20))
    for _ in range(30):
        log.write("gate", event(next(numbers)))
    listing = reader.parts

    def busy(root):  # a part's worth of lines, so a rotation, between one look and the next
        found = listing(root)
        for _ in range(12):
            log.write("gate", event(next(numbers)))
        return found
    monkeypatch.setattr(reader, "parts", busy)
    got = [json.loads(line)["behavior_number"] for line in reader.lines_from_end(str(tmp_path), 1 << 20)][:40]
    assert len(got) == 40 and got == list(range(got[0], got[0] - 40, -1))
