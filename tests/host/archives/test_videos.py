"""`visionengin videos` with local worker processes: every video in a folder of
its own, events and incidents in the results root, failures told while the
others go on, reruns that skip what is done, a lost worker that costs a retry."""
import json
import os
import signal
import subprocess
import sys
import time
import urllib.request

import cv2
import psutil
import pytest

from visionengin_cli.web.command import serve_in_background

from .conftest import SCRIPT, events_of, made_clip, run_videos, status_of

pytestmark = pytest.mark.slow  # starts servers or processes


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
        assert [e["incident"] for e in starts] == [e["incident"] for e in ends] and starts
        assert sum(e["count"] for e in ends) == len(alarms)
        assert len({e["id"] for e in mine}) == len(mine)  # every line its own id
        assert all((root / e["picture"]).is_file() and e["start_offset"] <= e["end_offset"]
                   and e["start"] == e["time"] for e in ends)
    return events


@pytest.mark.long_run
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
        with urllib.request.urlopen(served.url + "api/incidents", timeout=10) as answer:
            cards = json.loads(answer.read())["incidents"]
    finally:
        served.stop()
    assert sorted(c["state"] for c in tiles.values()) == ["done", "done", "done", "failed"]
    assert len(listed) == len([e for e in events if e["type"] == "alarm"])
    ends = [e for e in events if e["type"] == "incident_end"]
    assert sorted(c["incident"] for c in cards) == sorted(e["incident"] for e in ends)
    assert all(c["start"] == c["end"] and c["start"].startswith("20") for c in cards)

    again = run_videos(videos, "--results", root, "--workers", "2", "-t", "2",
                       cache=tmp_path / "cache")
    assert again.returncode == 1, again.stderr
    assert "0 videos analysed" in again.stdout and "3 skipped" in again.stdout
    assert events_of(root) == events  # nothing analysed twice

    (videos / "gate" / "clip.mp4").touch()  # a changed file is analysed again
    changed = run_videos(videos / "gate", "--results", root, cache=tmp_path / "cache")
    assert changed.returncode == 0, changed.stderr
    assert "1 video analysed" in changed.stdout


def wait_for(condition, what, seconds=90):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        found = condition()
        if found:
            return found
        time.sleep(0.02)
    raise AssertionError("no " + what)


@pytest.mark.long_run
@pytest.mark.timeout(300)
def test_a_lost_worker_costs_a_retry_and_ctrl_c_stops_cleanly_for_a_rerun(tmp_path):
    first, second = made_clip(tmp_path / "first.avi", 800), made_clip(tmp_path / "second.avi", 400)
    root = tmp_path / "results"
    command = [str(SCRIPT), "videos", str(first), str(second), "--results", str(root),
               "--workers", "1", "--cache", str(tmp_path / "cache")]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                               preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        def holding_first():
            for child in psutil.Process(process.pid).children():
                try:
                    if any(f.path == os.path.realpath(first) for f in child.open_files()):
                        return child
                except psutil.NoSuchProcess:
                    pass
            return None

        os.kill(wait_for(holding_first, "worker reading first.avi").pid, signal.SIGKILL)
        finished = wait_for(lambda: list(root.glob("*/done.json")), "video done")[0].parent.name
        other = str(second) if finished.startswith("first-") else str(first)

        def other_running():
            status = [s for s in status_of(root).values() if s["video"] == other]
            return status and status[0]["state"] == "running" and status[0]["frames"] > 0

        wait_for(other_running, "second video running")
        helpers = psutil.Process(process.pid).children(recursive=True)
        process.send_signal(signal.SIGINT)
        out, err = process.communicate(timeout=60)
    finally:
        process.kill()
        process.communicate()  # its pipes closed here, whatever failed above
    assert process.returncode == 130, err
    assert out.startswith("1 video analysed (") and "1 of 2 videos analysed before the stop" in err
    assert "first.avi: worker lost (killed by SIGKILL); trying again" in err
    assert not psutil.wait_procs(helpers, timeout=10)[1]  # its workers ended with it
    statuses = {s["video"]: s for s in status_of(root).values()}
    assert statuses[other]["state"] == "stopped" and len(list(root.glob("*/done.json"))) == 1
    assert statuses[str(first)]["attempts"] == 2

    rerun = subprocess.run(command, capture_output=True, text=True, timeout=180)
    assert rerun.returncode == 0, rerun.stderr
    assert "1 video analysed" in rerun.stdout and "1 skipped" in rerun.stdout
    alarms = [e for e in events_of(root) if e["type"] == "alarm"]
    assert {e["video"] for e in alarms} == {str(first), str(second)}


@pytest.mark.timeout(240)
def test_each_video_is_analysed_as_if_alone(tmp_path):
    """Byte-identical copies in one worker, in either order: the same alarms,
    the same ids (the second copy's first frame is no motion against the end
    of the first)."""
    first = made_clip(tmp_path / "a.avi", 40)
    second = tmp_path / "b.avi"
    second.write_bytes(first.read_bytes())
    found = []
    for order, root in (((first, second), tmp_path / "one"), ((second, first), tmp_path / "two")):
        run = run_videos(*order, "--results", root, "--workers", "1", cache=tmp_path / "cache")
        assert run.returncode == 0, run.stderr
        alarms = [e for e in events_of(root) if e["type"] == "alarm"]
        by_video = {v: sorted(e["frame"] for e in alarms if e["video"] == v) for v in map(str, order)}
        assert by_video[str(first)] == by_video[str(second)] and by_video[str(first)][0] > 1, by_video
        found.append(sorted(e["id"] for e in events_of(root)))
    assert found[0] == found[1]


def test_ray_options_without_ray_are_one_line_naming_the_extra(tmp_path):
    hidden = ("import sys; sys.modules['ray'] = None  # as where it is not installed\n"
              "from visionengin_cli.cli import console_main; console_main()")
    run = subprocess.run([sys.executable, "-c", hidden, "videos", str(tmp_path), "--results",
                          str(tmp_path / "r"), "--ray", "auto"],
                         capture_output=True, text=True, timeout=60)
    assert run.returncode == 2
    assert run.stderr == 'visionengin: error: --ray needs Ray: pip install "visionengin[ray]"\n'
    assert not (tmp_path / "r").exists()
