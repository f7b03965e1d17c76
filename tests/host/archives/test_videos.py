"""`visionengin videos` with local worker processes: every video in a folder of
its own, events and incidents in the results root, failures told while the
others go on, reruns that skip what is done, a lost worker that costs a retry."""
import json
import os
import signal
import subprocess
import time
import urllib.request

import cv2
import psutil
import pytest

from visionengin_cli.web.command import serve_in_background

from .conftest import SCRIPT, events_of, made_clip, run_videos, status_of


def check_results(root, broken):
    """The three good videos done with whole results; the broken one failed."""
    statuses = status_of(root)
    assert len(statuses) == 4, statuses
    done = {name: s for name, s in statuses.items() if s["state"] == "done"}
    failed = [s for s in statuses.values() if s["state"] == "failed"]
    assert len(done) == 3 and len(failed) == 1
    assert failed[0]["video"].endswith("broken.mp4") and "not a video" in failed[0]["reason"]
    assert failed[0]["attempts"] == 2  # tried once more before it was given up
    assert len({s["video"] for s in done.values()}) == 3  # the two clip.mp4 kept apart
    events = events_of(root)
    for name, status in done.items():
        assert (root / name / "done.json").is_file()
        mine = [e for e in events if e["camera"] == name]
        alarms = [e for e in mine if e["type"] == "alarm"]
        assert len(alarms) == status["alarms"] > 0
        for alarm in alarms:
            assert (root / alarm["picture"]).is_file() and alarm["video"] == status["video"]
            fps = cv2.VideoCapture(alarm["video"]).get(cv2.CAP_PROP_FPS)
            assert alarm["offset"] == pytest.approx((alarm["frame"] - 1) / fps, abs=0.01)
        starts = [e for e in mine if e["type"] == "incident_start"]
        ends = [e for e in mine if e["type"] == "incident_end"]
        assert [e["id"] for e in starts] == [e["id"] for e in ends] and starts
        assert sum(e["count"] for e in ends) == len(alarms)
        assert all((root / e["picture"]).is_file() and e["start"] <= e["end"] for e in ends)
    return events


@pytest.mark.timeout(400)
def test_a_collection_is_analysed_in_parallel_and_a_rerun_skips_what_is_done(collection, tmp_path):
    videos, broken = collection
    root = tmp_path / "results"
    first = run_videos(videos, "--results", root, "--workers", "2", "-t", "2",
                       cache=tmp_path / "cache")
    assert first.returncode == 1, first.stderr
    assert "3 videos analysed" in first.stdout and "1 failed" in first.stdout
    assert "failed: {}".format(broken) in first.stdout
    events = check_results(root, broken)

    # The page and its API read the results root as they read a camera root.
    served = serve_in_background(str(root), "127.0.0.1:0")
    try:
        with urllib.request.urlopen(served.url + "api/status", timeout=10) as answer:
            tiles = {c["camera"]: c for c in json.loads(answer.read())["cameras"]}
        with urllib.request.urlopen(served.url + "api/events?limit=1000", timeout=10) as answer:
            listed = json.loads(answer.read())["events"]
    finally:
        served.stop()
    assert sorted(c["state"] for c in tiles.values()) == ["done", "done", "done", "failed"]
    assert len(listed) == len([e for e in events if e["type"] == "alarm"])

    again = run_videos(videos, "--results", root, "--workers", "2", "-t", "2",
                       cache=tmp_path / "cache")
    assert again.returncode == 1, again.stderr
    assert "0 videos analysed" in again.stdout and "3 skipped" in again.stdout
    assert events_of(root) == events  # nothing analysed twice

    (videos / "gate" / "clip.mp4").touch()  # a changed file is analysed again
    changed = run_videos(videos / "gate", "--results", root, cache=tmp_path / "cache")
    assert changed.returncode == 0, changed.stderr
    assert "1 video analysed" in changed.stdout


@pytest.mark.timeout(240)
def test_a_worker_killed_mid_run_costs_one_retry(tmp_path):
    clip = made_clip(tmp_path / "long.avi", 400)
    root = tmp_path / "results"
    process = subprocess.Popen([str(SCRIPT), "videos", str(clip), "--results", str(root),
                                "--workers", "1", "--cache", str(tmp_path / "cache")],
                               stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        deadline = time.monotonic() + 60
        worker = None
        while worker is None and time.monotonic() < deadline:
            workers = [child for child in psutil.Process(process.pid).children()
                       if "spawn_main" in " ".join(child.cmdline())]  # not the resource tracker
            worker = workers[0] if workers else None
            time.sleep(0.02)
        assert worker is not None, "no worker started"
        os.kill(worker.pid, signal.SIGKILL)
        out, err = process.communicate(timeout=180)
    finally:
        process.kill()
    assert process.returncode == 0, err
    assert "worker lost (killed by SIGKILL); trying again" in err
    status = status_of(root)
    (only,) = status.values()
    assert only["state"] == "done" and only["attempts"] == 2 and only["frames"] == 400
