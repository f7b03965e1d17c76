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
The alarm-heavy rows are also held against loops that read, draw the box
and write every frame as a JPEG with the same library calls (the limit for
a picture per frame). Memory rows: RSS and PSS (/proc/<pid>/smaps_rollup)
per camera process with the stand-in detector, the supervisor apart and the
camera template's PSS shared out, for camera processes forked from the
template and started as fresh interpreters (VISIONENGIN_CAMERA_TEMPLATE=0,
the old start), and with a no-op detector against the floor, a plain
process's capture of the stream by itself; and the time from a SIGKILLed
camera's new process to its first analysed frame (its first alarm event),
both ways. The plain loops run with the camera processes' settings (one
decoding thread, two malloc arenas, the capture options).
Environment: BENCH_CAMERAS (default 1,2,4,8), BENCH_CAMERAS_MEMORY (1,4,8),
BENCH_CAMERAS_SECONDS (15); empty lists leave their rows out (BENCH_CAMERAS= BENCH_CAMERAS_MEMORY=:
the restart row alone).
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
from visionengin_cli.cameras.supervisor import CAPTURE_OPTIONS, DECODE_THREADS, MALLOC_ARENAS

HERE = Path(__file__).resolve().parent
COUNTS = [int(n) for n in os.environ.get("BENCH_CAMERAS", "1,2,4,8").split(",") if n]
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
        return {"alarmBehavior": [{"behavior_number": 5000001, "score": 0.9, "result": [
            {"roi": [[20, 20], [300, 20], [300, 220], [20, 220]], "boxes": [[40, 40, 200, 160, 0.9]]}],
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


# The limit of the alarm-heavy rows: the read loop that also does, for every
# frame, what the engine does for one alarm: a copy drawn on (the region, the
# caption, the box) and written as a JPEG, with the same library calls.
PLAIN_ALARM = '''
import copy
import signal
import sys
reads = 0
signal.signal(signal.SIGUSR1, lambda *_: print(reads, flush=True))
import cv2
import main
cap = cv2.VideoCapture(sys.argv[1])
print("ready", flush=True)
while True:
    ok, frame = cap.read()
    if not ok:
        cap = cv2.VideoCapture(sys.argv[1])
        continue
    img = main.draw_roi(copy.copy(frame), [[20, 20], [300, 20], [300, 220], [20, 220]])
    cv2.putText(img, "5000001", (40, 40), cv2.FONT_HERSHEY_SIMPLEX, 0.6, (255, 255, 0), 1)
    cv2.rectangle(img, (40, 40), (200, 160), (0, 255, 0), 3)
    cv2.imwrite("%s/motion-%d.jpg" % (sys.argv[2], reads % 50), img)
    reads += 1
'''
MEMORY_COUNTS = [int(n) for n in os.environ.get("BENCH_CAMERAS_MEMORY", "1,4,8").split(",") if n]
FRESH = {"VISIONENGIN_CAMERA_TEMPLATE": "0"}  # the camera processes' old start
# The camera processes' own settings (supervisor._env), given to the plain
# loops too: both sides decode alike.
SETTINGS = {"OPENCV_FFMPEG_CAPTURE_OPTIONS": CAPTURE_OPTIONS, "OPENCV_FFMPEG_THREADS": DECODE_THREADS,
            "MALLOC_ARENA_MAX": MALLOC_ARENAS}
# The floor of a camera's memory: what a plain process's capture takes (its
# private dirty memory from before the open to after 250 reads), in KiB.
CAPTURE_FLOOR = '''
import sys
import cv2
def private():
    with open("/proc/self/smaps_rollup") as file:
        return sum(int(line.split()[1]) for line in file if line.startswith("Private_Dirty:"))
before = private()
cap = cv2.VideoCapture(sys.argv[1])
for _ in range(250):
    ok, frame = cap.read()
print(private() - before, flush=True)
'''


def smaps(procs):
    """(RSS, PSS) in MiB of each process, from /proc/<pid>/smaps_rollup."""
    out = []
    for proc in procs:
        try:
            with open("/proc/%d/smaps_rollup" % proc.pid) as file:
                fields = dict(line.split(":", 1) for line in file.read().splitlines()[1:])
        except OSError:
            continue
        out.append((int(fields["Rss"].split()[0]) / 1024, int(fields["Pss"].split()[0]) / 1024))
    return out


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


def plain_loops(urls, code=PLAIN, work=None):
    """Cores used and frames read by N plain read loops, one process each."""
    folders = []
    for i in range(len(urls)):
        folders.append(str(Path(work or ".") / ("plain-%d" % i)))
        os.makedirs(folders[-1], exist_ok=True)
    procs = [subprocess.Popen([sys.executable, "-c", code, url, folder], stdout=subprocess.PIPE, text=True,
                              env=dict(os.environ, **SETTINGS)) for url, folder in zip(urls, folders)]

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


def cameras_run(work, urls, detector, log, env=None, restart=False):
    """Cores, analysed fps, frame ages and memory of `visionengin cameras`
    (detector None: the stand-in); with ``restart``, the time from a killed
    camera's new process to its first analysed frame (an alarm's event)."""
    names = ["cam%d" % i for i in range(len(urls))]
    (work / "detectors.py").write_text(DETECTORS)
    lines = ['results = "results"']
    if detector:
        lines += ["[engine]", 'detector = "detectors:%s"' % detector]
    for name, url in zip(names, urls):
        lines += ["[cameras.%s]" % name, 'address = "%s"' % url]
    (work / "cameras.toml").write_text("\n".join(lines) + "\n")
    root = work / "results"
    command = subprocess.Popen([str(COMMAND), "cameras", "cameras.toml", "--status-interval", "3600"],
                               cwd=str(work), stderr=subprocess.DEVNULL, env=dict(os.environ, **(env or {})))
    try:
        deadline = time.monotonic() + 60
        while not all(s.get("frames") for s in statuses(root, names).values()):
            if time.monotonic() > deadline or command.poll() is not None:
                raise RuntimeError("the cameras did not start streaming")
            time.sleep(0.2)
        time.sleep(3.0)  # past the first frames' burst
        parent = psutil.Process(command.pid)
        cams, template = [], []
        for child in parent.children():
            (template if "template" in " ".join(child.cmdline()) else cams).append(child)
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
        analysed = sum(last[n]["frames"] - first[n]["frames"] for n in names)
        memory, template_memory = smaps(cams), smaps(template)
        own_memory = smaps([parent])
        back = restarted(root, names[0], last[names[0]]["pid"]) if restart else None
    finally:
        stopping = time.monotonic()
        command.send_signal(signal.SIGTERM)
        command.wait(30)
        stop = time.monotonic() - stopping
    return {"stop": stop, "cores": cpu / took, "cpu": cpu, "reads": reads, "supervisor": own, "fps": fps, "ages": ages, "restarts": restarts, "pictures": pictures,
            "rss": rss_after, "rss_growth": sum(rss_after) / len(rss_after) - sum(rss_before) / len(rss_before),
            "analysed": analysed, "memory": memory, "template": template_memory, "own": own_memory, "restart": back}


def restarted(root, name, pid):
    """SIGKILL the camera's process: (seconds from its new process's start
    to its first analysed frame, seconds from the kill to it)."""
    from datetime import datetime

    killed = time.time()
    os.kill(pid, signal.SIGKILL)
    deadline = time.monotonic() + 30
    while True:
        status = statuses(root, [name])[name]
        if status.get("pid") not in (None, pid) and status.get("started"):
            started = datetime.fromisoformat(status["started"]).timestamp()
            first = None
            for line in reversed((root / "events.jsonl").read_text().splitlines()):
                event = json.loads(line)
                when = event.get("time")
                if event.get("camera") == name and event.get("type", "alarm") == "alarm" and when:
                    when = datetime.fromisoformat(when).timestamp()
                    if when < started:
                        break
                    first = when
            if first is not None:
                return first - started, first - killed
        if time.monotonic() > deadline:
            raise RuntimeError("the killed camera did not analyse again")
        time.sleep(0.1)


def bench(row, log, work):
    path, codec, frames = media.clip((1280, 720), CLIP_FRAMES)
    log("cameras: clip %s (%s, %d frames)" % (path, codec, frames))
    for n in COUNTS:
        server = Server(path, n)
        try:
            plain = plain_loops(server.urls)
            drawn = plain_loops(server.urls, PLAIN_ALARM, Path(work) / ("plain-alarm-%d" % n))
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
                if detector == "AlarmEvery":
                    per_frame = 1000 * got["cpu"] / max(1, got["analysed"])
                    limit = 1000 * drawn["cpu"] / max(1, drawn["reads"])
                    row("%d x 720p H.264 25 fps, alarm-every-frame: CPU per analysed frame, against "
                        "loops that read, draw and write each frame" % n,
                        "%.2f ms" % per_frame, "%.2f ms" % limit, "%.3f" % (per_frame / limit),
                        "goal 1.10; %.1f vs %.1f analysed fps/camera; %.2f vs %.2f cores; per frame read "
                        "(the frames the engine dropped counted too) %.2f ms, %.3f" % (
                            got["analysed"] / SECONDS / n, drawn["reads"] / SECONDS / n, got["cores"],
                            drawn["cores"], per_read, per_read / limit))
        finally:
            server.close()
    memory(row, log, work, path)


def memory(row, log, work, path):
    """Memory per camera process (the supervisor apart), camera processes
    forked from the template against fresh interpreters (the old start), with
    the stand-in detector and a no-op one, against the floor: what a plain
    process's capture of the stream takes by itself; and the restart of a
    killed camera."""
    floor = None
    if MEMORY_COUNTS:
        server = Server(path, 1)
        try:
            floor = int(subprocess.run([sys.executable, "-c", CAPTURE_FLOOR, server.urls[0]], check=True,
                                       stdout=subprocess.PIPE, text=True, timeout=120,
                                       env=dict(os.environ, **SETTINGS)).stdout) / 1024
        finally:
            server.close()
    for n in MEMORY_COUNTS:
        server = Server(path, n)
        try:
            got = {}
            for label, env, detector in (("fresh", FRESH, None), ("template", None, None),
                                         ("no-op", None, "NoOp")):
                run_dir = Path(work) / ("memory-%d-%s" % (n, label))
                run_dir.mkdir()
                got[label] = cameras_run(run_dir, server.urls, detector, log, env)
            cells = {}
            for label, figures in got.items():
                rss = sum(r for r, _ in figures["memory"]) / n
                pss = (sum(p for _, p in figures["memory"]) + sum(p for _, p in figures["template"])) / n
                cells[label] = (rss, pss)
            fresh, forked = got["fresh"], got["template"]
            template_pss = sum(p for _, p in forked["template"])
            row("%d x 720p, stand-in detector: memory per camera (PSS with the template's share; RSS)" % n,
                "%.1f MiB PSS, %.0f MiB RSS" % (cells["template"][1], cells["template"][0]),
                "%.1f MiB PSS, %.0f MiB RSS" % (cells["fresh"][1], cells["fresh"][0]),
                "%.3f" % (cells["template"][1] / cells["fresh"][1]),
                "engine = forked from the template, plain = fresh interpreters (the old start); "
                "template %.1f MiB PSS; supervisor RSS %.0f / %.0f MiB; %.1f / %.1f analysed fps/camera" % (
                    template_pss, forked["own"][0][0] if forked["own"] else 0,
                    fresh["own"][0][0] if fresh["own"] else 0,
                    forked["analysed"] / SECONDS / n, fresh["analysed"] / SECONDS / n))
            row("%d x 720p, no-op detector: memory per camera (PSS with the template's share; RSS)" % n,
                "%.1f MiB PSS, %.0f MiB RSS" % (cells["no-op"][1], cells["no-op"][0]),
                "%.1f MiB" % floor, "%.3f" % (cells["no-op"][1] / floor),
                "engine = forked from the template; plain = the floor: a plain process's capture of "
                "the stream by itself (private memory, 250 frames read); the stand-in detector adds "
                "%.1f MiB a camera" % (cells["template"][1] - cells["no-op"][1]))
        finally:
            server.close()
    server = Server(path, 1)
    try:
        back = {}
        for label, env in (("fresh", FRESH), ("template", None)):
            run_dir = Path(work) / ("restart-%s" % label)
            run_dir.mkdir()
            back[label] = cameras_run(run_dir, server.urls, "AlarmEvery", log, env, restart=True)["restart"]
        row("720p camera SIGKILLed: its new process's start -> first analysed frame",
            "%.2f s" % back["template"][0], "%.2f s" % back["fresh"][0],
            "%.3f" % (back["template"][0] / back["fresh"][0]),
            "goal 1 s; engine = template, plain = fresh interpreter; kill -> first frame %.2f / %.2f s"
            % (back["template"][1], back["fresh"][1]))
    finally:
        server.close()
