"""Recordings and clips with the real command against a real RTSP server: an
incident's clip that ffprobe reads and that covers the incident with its pre-
and post-roll, named in its incident_end line and webhook; ``always``
keeping contiguous segments across a camera process killed, old segments
going by recordings_max_age; a recording that cannot run being a state of
a camera that goes on."""
import datetime
import json
import os
import signal
import subprocess

import pytest

from .conftest import toml_config, wait_for

pytestmark = pytest.mark.slow  # starts servers or processes

SEGMENT = 3.0  # the longest segment: 2 s, up to the next key frame (one a second)
# A detector whose alarms come in one burst: from 8 s to 11 s after its first
# picture, when the recording (its own RTSP session, opened beside the
# engine's) has had time to hold a pre_roll even on a loaded machine.
BURSTS = '''
import time
from kavex.object_detection.models.builder import ObjectDetect

class Burst(ObjectDetect):
    def main(self, im, cfg):
        self.first = getattr(self, "first", None) or time.time()
        answer = super().main(im, cfg)
        return answer if 8 <= time.time() - self.first <= 11 else {"alarmBehavior": []}
'''


def probe(path):
    done = subprocess.run(["ffprobe", "-v", "error", "-show_entries",
                           "format=duration:format_tags=comment:stream=codec_name", "-of", "json",
                           str(path)], capture_output=True, text=True, timeout=30)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout)


def epoch(text):
    return datetime.datetime.fromisoformat(text).timestamp()


def segment_times(folder):
    """(start, duration) of each segment, oldest first, from names and ffprobe."""
    found = []
    for path in sorted((folder / "recordings").glob("*/*/*.mp4")):
        day, hour = path.parent.parent.name, path.parent.name
        start = datetime.datetime.strptime("{} {}{}".format(day, hour, path.name[2:13]),
                                           "%Y-%m-%d %H%M%S.%f").replace(
            tzinfo=datetime.timezone.utc).timestamp()
        found.append((start, float(probe(path)["format"]["duration"])))
    return found


@pytest.mark.long_run
@pytest.mark.timeout(180)
def test_an_incident_gives_a_clip_with_its_pre_and_post_roll(cameras, servers, tmp_path):
    from sinks.test_live import Receiver

    server, = servers(1)
    (tmp_path / "bursts.py").write_text(BURSTS)
    receiver = Receiver()
    hook = "http://127.0.0.1:{}/hook".format(receiver.server_address[1])
    text = toml_config({"gate": {"address": server.url, "detector": "bursts:Burst",
                                 "alarm_interval": 0.5}})
    text = text.replace("[cameras.", '[engine]\nrecord = "incidents"\npre_roll = 3\npost_roll = 2\n'
                        '[events]\nincident_gap = 2\n[[webhooks]]\nurl = "{}"\n'
                        'events = ["incident_end"]\n[cameras.'.format(hook), 1)
    command = cameras(text, "--listen", "127.0.0.1:0")
    try:
        ends = wait_for(lambda: command.events(["incident_end"]), 90)
        assert ends, command.stderr
        end, = ends
        clip = command.root / end["clip"]
        assert wait_for(clip.exists, 3 + 2 + 10), command.stderr  # post_roll and a segment
        assert wait_for(lambda: receiver.events, 30)
        status = command.status("gate")
        in_buffer = len(list((command.root / "gate" / "recordings").glob("*/*/*.mp4")))
        code, _ = command.end()
    finally:
        receiver.shutdown()
        receiver.server_close()
    assert code == 0, command.stderr
    assert status["recording"] == {"mode": "incidents", "state": "recording", "reason": None}
    alarms = [e for e in command.events() if e["camera"] == "gate"]
    first, last = epoch(alarms[0]["time"]), epoch(alarms[-1]["time"])
    assert (epoch(end["start"]), epoch(end["end"])) == (first, last)
    start_time = datetime.datetime.strftime(datetime.datetime.fromtimestamp(
        first, datetime.timezone.utc), "%Y-%m-%d/%H")
    assert end["clip"] == "gate/{}/incident-{}.mp4".format(start_time, end["incident"])
    assert end["clip_url"].endswith("/clips/" + end["clip"]) and end["clip_url"].startswith("http://")
    assert receiver.events[0]["clip"] == end["clip"] and receiver.events[0]["clip_url"] == end["clip_url"]
    told = probe(clip)
    assert [s["codec_name"] for s in told["streams"]] == ["h264"]
    begins = epoch(told["format"]["tags"]["comment"].split(" ", 1)[1])
    ends_at = begins + float(told["format"]["duration"])
    assert first - 3 - SEGMENT <= begins <= first - 3  # no later than pre_roll before it
    assert last + 2 - 0.1 <= ends_at <= last + 2 + SEGMENT + 0.5  # post_roll, within a segment
    assert in_buffer <= (3 + 10) / 2 + 3  # the rolling buffer: pre_roll and its margin
    assert "s3cret" not in command.stderr


@pytest.mark.long_run
@pytest.mark.timeout(180)
def test_always_keeps_contiguous_segments_across_a_restart(cameras, servers, tmp_path):
    server, = servers(1)
    folder = tmp_path / "results" / "gate"
    two_days_ago = datetime.datetime.now(datetime.timezone.utc) - datetime.timedelta(days=2)
    for under in ("recordings/", ""):  # an old hour of segments and one of pictures
        old = folder / (under + two_days_ago.strftime("%Y-%m-%d/%H"))
        old.mkdir(parents=True)
        (old / (two_days_ago.strftime("%H%M%S.000000") + (".mp4" if under else "-motion-1.jpg"))).write_bytes(
            b"x" * 1000)
    text = toml_config({"gate": {"address": server.url, "record": "always"}})
    command = cameras(text.replace("[cameras.", '[storage]\nrecordings_max_age = "1d"\n[cameras.', 1))
    assert wait_for(lambda: len(list(folder.glob("recordings/*/*/*.mp4"))) >= 3, 60), command.stderr
    pid = command.status("gate")["pid"]
    os.kill(pid, signal.SIGKILL)  # its last segment stays as written, up to its last fragment
    command.wait_status("gate", 60, restarts=1, state="streaming")
    count = len(list(folder.glob("recordings/*/*/*.mp4")))
    assert wait_for(lambda: len(list(folder.glob("recordings/*/*/*.mp4"))) >= count + 3, 60)
    code, _ = command.end()
    assert code == 0, command.stderr
    found = segment_times(folder)  # every segment readable, also the one cut short
    gaps = [after - (start + duration) for (start, duration), (after, _) in zip(found, found[1:])]
    assert all(gap > -0.1 for gap in gaps), gaps  # no overlap
    assert sum(gap > 0.2 for gap in gaps) == 1 and max(gaps) < 30, gaps  # one gap: the restart
    assert not (folder / "recordings" / two_days_ago.strftime("%Y-%m-%d")).exists()  # retention's
    assert (folder / two_days_ago.strftime("%Y-%m-%d/%H")).exists()  # the pictures' own age
    ledger = json.loads((folder / "recordings" / "ledger.json").read_text())
    assert sum(entry[1] for entry in ledger["hours"].values()) >= len(found) - 1  # the cut one aside


@pytest.mark.long_run
@pytest.mark.timeout(120)
def test_a_recording_that_cannot_run_is_a_state(cameras, servers, tmp_path, monkeypatch):
    broken = tmp_path / "no-pyav" / "av"
    broken.mkdir(parents=True)
    (broken / "__init__.py").write_text('raise ImportError("no FFmpeg here")\n')
    monkeypatch.setenv("PYTHONPATH", "{}:{}".format(broken.parent, os.environ.get("PYTHONPATH", "")))
    server, = servers(1)
    command = cameras(toml_config({"gate": {"address": server.url, "record": "always"}}))
    status = command.wait_status("gate", 60, state="streaming", alarms=lambda n: n and n >= 3,
                                 recording=lambda r: r and r["state"] == "failed")
    code, _ = command.end()
    assert code == 0, command.stderr
    assert status["recording"]["reason"].startswith("PyAV (the av package) is not installed")
    assert status["restarts"] == 0 and not list((command.root / "gate").glob("recordings/*/*/*"))
