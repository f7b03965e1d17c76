"""`make bench`, section "cameras": N = 1, 2, 4, 8 cameras of 1280x720 H.264
at 25 fps run by `visionengin cameras` (one process per camera), against the
limit: plain ``VideoCapture.read()`` loops on the same streams, one process
each, measured side by side in the same run. CPU is compared per frame read,
which holds even when other work on the machine leaves either side short of
frames; the cores used are in the note.

The streams are the walking clip, served as it is (bench/rtsp_passthrough.py:
demuxed and packetised, never re-encoded), so the server costs little. The
detectors: a no-op and one that takes 40 ms (sleeping, as a detector waiting
for an accelerator does), both answering no alarm, and one answering an alarm
on every frame (a 1280x720 picture written, moved into the dated layout and
told as an event for each analysed frame; "pictures/s" in the note). Frame age is the time from a
frame's read to the end of its handling, where its pictures are written.
Environment: BENCH_CAMERAS (default 1,2,4,8), BENCH_CAMERAS_SECONDS (15).
"""
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import psutil

import media

HERE = Path(__file__).resolve().parent
COUNTS = [int(n) for n in os.environ.get("BENCH_CAMERAS", "1,2,4,8").split(",")]
SECONDS = float(os.environ.get("BENCH_CAMERAS_SECONDS", "15"))
CLIP_FRAMES = 2250  # 90 s: every measurement ends before a stream does
COMMAND = Path(sys.executable).parent / "visionengin"
DETECTORS = '''
import time


class NoOp:
    face_handle = None

    def __init__(self, *args, **kwargs):
        pass

    def main(self, im, cfg):
        return {"alarmBehavior": []}


class Takes40ms(NoOp):
    def main(self, im, cfg):
        time.sleep(0.040)
        return {"alarmBehavior": []}


class AlarmEvery(NoOp):
    def main(self, im, cfg):
        return {"alarmBehavior": [{"behavior_number": 5000001, "score": 0.9, "result": [],
                                   "alarm_info_dict": {"info_type": "motion"}}]}
'''
# The limit: a plain read loop. SIGUSR1 makes it print the frames read so far;
# it says "ready" once it can take the signal (a loaded machine takes a while).
PLAIN = '''
import signal
import sys
reads = 0
signal.signal(signal.SIGUSR1, lambda *_: print(reads, flush=True))
import cv2
cap = cv2.VideoCapture(sys.argv[1])
print("ready", flush=True)
while True:
    ok, frame = cap.read()
    reads += ok
    if not ok:
        cap = cv2.VideoCapture(sys.argv[1])
'''


def cpu_seconds(procs):
    total = 0.0
    for proc in procs:
        try:
            times = proc.cpu_times()
            total += times.user + times.system
        except psutil.NoSuchProcess:
            pass
    return total


def rss_mib(procs):
    out = []
    for proc in procs:
        try:
            out.append(proc.memory_info().rss / 2**20)
        except psutil.NoSuchProcess:
            pass
    return out


class Server:
    def __init__(self, path, mounts):
        self.proc = subprocess.Popen(["/usr/bin/python3", str(HERE / "rtsp_passthrough.py"), path,
                                      "--mounts", str(mounts)], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, text=True)
        line = self.proc.stdout.readline().split()
        if not line or line[0] != "READY":
            raise RuntimeError("the passthrough RTSP server did not start")
        self.urls = ["%s/cam%d" % (line[1], i) for i in range(mounts)]

    def close(self):
        self.proc.terminate()
        self.proc.wait(10)
        self.proc.stdin.close()
        self.proc.stdout.close()


def plain_loops(urls):
    """Cores used and frames read by N plain read loops, one process each."""
    procs = [subprocess.Popen([sys.executable, "-c", PLAIN, url], stdout=subprocess.PIPE, text=True)
             for url in urls]

    def reads():
        for p in procs:
            p.send_signal(signal.SIGUSR1)
        return sum(int(p.stdout.readline()) for p in procs)

    try:
        ps = [psutil.Process(p.pid) for p in procs]
        for p in procs:
            p.stdout.readline()
        time.sleep(4.0)  # opened and reading
        before, read_before, start = cpu_seconds(ps), reads(), time.monotonic()
        time.sleep(SECONDS)
        cpu, read = cpu_seconds(ps) - before, reads() - read_before
        return {"cores": cpu / (time.monotonic() - start), "cpu": cpu, "reads": read}
    finally:
        for p in procs:
            p.kill()
            p.wait()
            p.stdout.close()


def statuses(root, names):
    out = {}
    for name in names:
        try:
            out[name] = json.loads((root / name / "status.json").read_text())
        except (OSError, ValueError):
            out[name] = {}
    return out


def cameras_run(work, urls, detector, log):
    """Cores, analysed fps, frame ages and RSS of `visionengin cameras`."""
    names = ["cam%d" % i for i in range(len(urls))]
    (work / "detectors.py").write_text(DETECTORS)
    lines = ['results = "results"', "[engine]", 'detector = "detectors:%s"' % detector]
    for name, url in zip(names, urls):
        lines += ["[cameras.%s]" % name, 'address = "%s"' % url]
    (work / "cameras.toml").write_text("\n".join(lines) + "\n")
    root = work / "results"
    command = subprocess.Popen([str(COMMAND), "cameras", "cameras.toml", "--status-interval", "3600"],
                               cwd=str(work), stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 60
        while not all(s.get("frames") for s in statuses(root, names).values()):
            if time.monotonic() > deadline or command.poll() is not None:
                raise RuntimeError("the cameras did not start streaming")
            time.sleep(0.2)
        time.sleep(3.0)  # past the first frames' burst
        parent = psutil.Process(command.pid)
        cams = parent.children()
        first = statuses(root, names)
        rss_before = rss_mib(cams)
        cpu_before, own_before, start = cpu_seconds(cams), cpu_seconds([parent]), time.monotonic()
        time.sleep(SECONDS)
        took = time.monotonic() - start
        cpu, own = cpu_seconds(cams) - cpu_before, (cpu_seconds([parent]) - own_before) / took
        rss_after = rss_mib(cams)
        last = statuses(root, names)
        fps = [(last[n]["frames"] - first[n]["frames"]) / took for n in names]
        reads = sum(last[n]["frames_read"] - first[n]["frames_read"] for n in names)
        ages = [last[n]["frame_age_ms"] for n in names if last[n].get("frame_age_ms")]
        restarts = sum(last[n]["restarts"] for n in names)
        pictures = sum(last[n]["alarms"] - first[n]["alarms"] for n in names) / took
    finally:
        stopping = time.monotonic()
        command.send_signal(signal.SIGTERM)
        command.wait(30)
        stop = time.monotonic() - stopping
    return {"stop": stop, "cores": cpu / took, "cpu": cpu, "reads": reads, "supervisor": own, "fps": fps, "ages": ages, "restarts": restarts, "pictures": pictures,
            "rss": rss_after, "rss_growth": sum(rss_after) / len(rss_after) - sum(rss_before) / len(rss_before)}


def bench(row, log, work):
    path, codec, frames = media.clip((1280, 720), CLIP_FRAMES)
    log("cameras: clip %s (%s, %d frames)" % (path, codec, frames))
    for n in COUNTS:
        server = Server(path, n)
        try:
            plain = plain_loops(server.urls)
            for detector, label, budget in (("NoOp", "no-op", 0), ("Takes40ms", "40 ms", 40),
                                            ("AlarmEvery", "alarm-every-frame", 0)):
                run_dir = Path(work) / ("cameras-%d-%s" % (n, detector))
                run_dir.mkdir()
                got = cameras_run(run_dir, server.urls, detector, log)
                medians = sorted(a[0] for a in got["ages"])
                p95 = max(a[1] for a in got["ages"]) if got["ages"] else float("nan")
                per_read = 1000 * got["cpu"] / max(1, got["reads"])
                plain_per_read = 1000 * plain["cpu"] / max(1, plain["reads"])
                row("%d x 720p H.264 25 fps, %s detector: CPU per frame read" % (n, label),
                    "%.2f ms" % per_read, "%.2f ms" % plain_per_read, "%.3f" % (per_read / plain_per_read),
                    "%.2f vs %.2f cores, %.1f vs %.1f read fps/camera; %.1f analysed fps/camera "
                    "(min %.1f); frame age %.0f ms (p95 %.0f, goal %d); RSS %.0f MiB/camera "
                    "(%+.1f over %.0f s); command %.2f cores; %d restarts; SIGTERM to exit %.1f s; "
                    "%.1f pictures/s" % (
                        got["cores"], plain["cores"], got["reads"] / SECONDS / n, plain["reads"] / SECONDS / n,
                        sum(got["fps"]) / n, min(got["fps"]), medians[len(medians) // 2] if medians else 0,
                        p95, budget + 40, sum(got["rss"]) / n, got["rss_growth"], SECONDS,
                        got["supervisor"], got["restarts"], got["stop"], got["pictures"]))
        finally:
            server.close()
