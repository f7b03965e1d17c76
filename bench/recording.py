"""`make bench`, section "recording": what recording a camera costs.

- CPU of the stream copy: N recorders (cameras/recording.py: the RTSP
  stream's packets into 2 s fragmented-MP4 segments through PyAV, no
  decode), each in a process of its own as in a camera process, on the
  walking clip at 1280x720 H.264 25 fps served as it is
  (bench/rtsp_passthrough.py); CPU per recorded camera in % of one core,
  against the goal of 2 %.
- Disk per hour per camera: the segments' bytes over the run, scaled to an hour
  (the clip's bitrate decides it; a camera's own bitrate scales it).
- Clip ready after the incident's end: `visionengin cameras` with
  record = "incidents" and a detector alarming for 3 s; the seconds from the
  incident_end line to its clip on disk, and from the end of its post_roll
  (last picture + post_roll) to the clip.
Environment: BENCH_RECORDING (cameras, default 1,4), BENCH_RECORDING_SECONDS (20).
"""
import datetime
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import psutil

import media
from cameras import CLIP_FRAMES, COMMAND, Server

COUNTS = [int(n) for n in os.environ.get("BENCH_RECORDING", "1,4").split(",")]
SECONDS = float(os.environ.get("BENCH_RECORDING_SECONDS", "20"))
RECORDER = '''
import sys, time
from visionengin_cli.cameras.recording import Recorder
recorder = Recorder("always", sys.argv[1], sys.argv[2], lambda segment: None)
recorder.start()
print("ready", flush=True)
sys.stdin.read()
recorder.stop(2.0)
print(recorder.status()["reason"] or "", flush=True)
'''
BURST = '''
import time

class Burst:
    face_handle = None

    def __init__(self, *args, **kwargs):
        self.first = None

    def main(self, im, cfg):
        self.first = self.first or time.time()
        if not 6 <= time.time() - self.first <= 9:
            return {"alarmBehavior": []}
        return {"alarmBehavior": [{"behavior_number": 5000001, "score": 0.9, "result": [
            {"roi": [[20, 20], [300, 20], [300, 220], [20, 220]], "boxes": [[40, 40, 200, 160, 0.9]]}],
            "alarm_info_dict": {"info_type": "motion"}}]}
'''


def folder_bytes(folder):
    total = 0
    for base, _, names in os.walk(folder):
        total += sum(os.path.getsize(os.path.join(base, name)) for name in names if name.endswith(".mp4"))
    return total


def copy_cost(urls, work):
    """(cores per camera, bytes per hour per camera, segments) of N recorders."""
    folders = [Path(work) / ("recorder-%d" % i) for i in range(len(urls))]
    procs = [subprocess.Popen([sys.executable, "-c", RECORDER, url, str(folder)], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True) for url, folder in zip(urls, folders)]
    try:
        for proc in procs:
            proc.stdout.readline()
        time.sleep(4.0)  # connected and past the first segment
        ps = [psutil.Process(proc.pid) for proc in procs]
        cpu_before = sum(p.cpu_times().user + p.cpu_times().system for p in ps)
        bytes_before, start = sum(folder_bytes(f) for f in folders), time.monotonic()
        time.sleep(SECONDS)
        took = time.monotonic() - start
        cpu = sum(p.cpu_times().user + p.cpu_times().system for p in ps) - cpu_before
        written = sum(folder_bytes(f) for f in folders) - bytes_before
    finally:
        for proc in procs:
            proc.stdin.close()
            proc.wait(10)
            proc.stdout.close()
    segments = sum(len(list(f.glob("recordings/*/*/*.mp4"))) for f in folders)
    return cpu / took / len(urls), written / took * 3600 / len(urls), segments


def clip_ready(url, work, log):
    """(seconds from incident_end to the clip, from last picture + post_roll to the clip)."""
    work = Path(work) / "clip"
    work.mkdir()
    (work / "bursts.py").write_text(BURST)
    (work / "cameras.toml").write_text(
        'results = "results"\n[engine]\nrecord = "incidents"\npre_roll = 5\npost_roll = 5\n'
        'detector = "bursts:Burst"\nalarm_interval = 0.5\n[events]\nincident_gap = 2\n'
        '[cameras.cam0]\naddress = "%s"\n' % url)
    command = subprocess.Popen([str(COMMAND), "cameras", "cameras.toml", "--status-interval", "3600"],
                               cwd=str(work), stderr=subprocess.DEVNULL)
    events = work / "results" / "events.jsonl"
    try:
        deadline = time.monotonic() + 120
        end = None
        while end is None:
            if time.monotonic() > deadline or command.poll() is not None:
                raise RuntimeError("no incident_end")
            time.sleep(0.02)
            lines = events.read_text().splitlines() if events.exists() else []
            end = next((json.loads(line) for line in lines if '"incident_end"' in line), None)
        told = time.time()
        clip = work / "results" / end["clip"]
        while not clip.exists():
            if time.monotonic() > deadline:
                raise RuntimeError("no clip")
            time.sleep(0.02)
        ready = time.time()
    finally:
        command.send_signal(signal.SIGTERM)
        command.wait(30)
    post_end = datetime.datetime.fromisoformat(end["end"]).timestamp() + 5
    log("recording: clip %s, %d bytes" % (end["clip"], clip.stat().st_size))
    return ready - told, ready - post_end


def bench(row, log, work):
    path, codec, frames = media.clip((1280, 720), CLIP_FRAMES)
    log("recording: clip %s (%s, %d frames)" % (path, codec, frames))
    bitrate = os.path.getsize(path) * 8 / (frames / 25.0)
    for n in COUNTS:
        server = Server(path, n)
        try:
            cores, per_hour, segments = copy_cost(server.urls, work)
            row("%d x 720p H.264 25 fps recorded (stream copy to 2 s segments): CPU per camera" % n,
                "%.2f %% of a core" % (100 * cores), "", "",
                "goal 2 %%; %d segments; the recorders alone, each in its own process" % segments)
            row("%d x 720p H.264 25 fps recorded: disk per hour per camera" % n,
                "%.2f GB" % (per_hour / 1e9), "", "",
                "the clip's stream is %.2f Mbit/s; a camera's own bitrate scales it" % (bitrate / 1e6))
        finally:
            server.close()
    server = Server(path, 1)
    try:
        after_end, after_post = clip_ready(server.urls[0], work, log)
    finally:
        server.close()
    row("clip ready after the incident's end (720p, pre/post_roll 5 s, incident_gap 2 s)",
        "%.1f s after incident_end" % after_end, "", "",
        "%.1f s after its last picture + post_roll (goal: a few seconds)" % after_post)
