"""`make bench`: the engine against plain Python making the same library calls,
measured side by side in one run, printed as one table on standard output
(progress goes to standard error).

Environment: BENCH_LIVE_SECONDS (default 60; 600 for the 10-minute figure),
BENCH_REPEAT (default 2: best of N for the short throughput runs),
BENCH_ONLY (comma list of sections: video, live, stops, memory, cameras, web, index, videos,
storage, sinks, fleet, fleetpage, recording, zones, livepicture, record_log; the cameras, index, videos,
sinks, fleet, fleetpage, recording, zones and livepicture sections have their own settings, see
bench/cameras.py, bench/events_index.py, bench/archives.py, bench/sinks.py, bench/fleet.py,
bench/fleet_page.py, bench/recording.py, bench/zones.py, bench/live_picture.py and
bench/record_log.py).
"""
import os

# Failed opens of a dead camera stay quiet (OpenCV's and FFmpeg's own messages).
os.environ.setdefault("OPENCV_LOG_LEVEL", "ERROR")
os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")

import contextlib  # noqa: E402
import gc  # noqa: E402
import resource  # noqa: E402
import shutil  # noqa: E402
import statistics  # noqa: E402
import sys  # noqa: E402
import tempfile  # noqa: E402
import threading  # noqa: E402
import time  # noqa: E402
from pathlib import Path  # noqa: E402

import cv2  # noqa: E402
import psutil  # noqa: E402

import main  # noqa: E402

HERE = Path(__file__).resolve().parent
sys.path[:0] = [str(HERE), str(HERE.parent / "tests")]
import media  # noqa: E402
import archives  # noqa: E402
import cameras  # noqa: E402
import live_stops  # noqa: E402
import status_page  # noqa: E402
import events_index  # noqa: E402
import storage  # noqa: E402
import sinks  # noqa: E402
import fleet  # noqa: E402
import fleet_page  # noqa: E402
import recording  # noqa: E402
import zones  # noqa: E402
import live_picture  # noqa: E402
import record_log  # noqa: E402
import reference as ref  # noqa: E402
from rtsp_server import RtspServer, free_port, rtsp_unavailable_reason  # noqa: E402

LIVE_SECONDS = float(os.environ.get("BENCH_LIVE_SECONDS", "60"))
REPEAT = max(1, int(os.environ.get("BENCH_REPEAT", "2")))
ONLY = os.environ.get("BENCH_ONLY", "video,live,stops,memory,cameras,web,index,videos,storage,sinks,fleet,fleetpage,"
                      "recording,zones,livepicture,record_log").split(",")
ALL = list(main.devBehavior)
ROWS = []


def log(*args):
    print("bench:", *args, file=sys.stderr, flush=True)


def row(measure, engine, plain="", ratio="", note=""):
    ROWS.append((measure, engine, plain, ratio, note))
    log(" | ".join(str(x) for x in ROWS[-1]))


def clean(*dirs):
    for d in dirs:
        shutil.rmtree(d, ignore_errors=True)


def rss_mib():
    return psutil.Process().memory_info().rss / 2**20


class Lines:
    """Counts the lines printed on standard output (the engine prints through it)."""

    def __init__(self):
        self.counts = {}

    def write(self, text):
        for line in text.splitlines():
            self.counts[line] = self.counts.get(line, 0) + 1
        return len(text)

    def flush(self):
        pass


def engine_with(detector, **kwargs):
    engine = main.VisionEngin(**kwargs)
    if detector is not None:
        engine.predict = detector
    return engine


# -- test_video throughput -----------------------------------------------------------

def measured(call):
    """Wall seconds, process CPU seconds and minor page faults of one call."""
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    wall, cpu = time.perf_counter(), time.process_time()
    call()
    return (time.perf_counter() - wall, time.process_time() - cpu,
            resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults)


def video_case(label, path, frames, make_detector, bev, repeat):
    """test_video against the plain loop, alternating, best of `repeat`. The ratio is
    of CPU time, which other load on a shared machine disturbs far less than wall time."""
    runs = {"engine": [], "plain": []}
    pictures = {}
    for i in range(repeat):
        for side in (("plain", "engine") if i % 2 == 0 else ("engine", "plain")):
            clean("video_result")
            detector = make_detector()
            if side == "engine":
                engine = engine_with(detector)
                runs[side].append(measured(lambda: engine.test_video(path, 1, bev)))
            else:
                detector = detector or main.ObjectDetect()
                runs[side].append(measured(lambda: ref.test_video(detector, path, bev)))
            pictures[side] = len(os.listdir("video_result"))
    wall = {side: min(r[0] for r in runs[side]) for side in runs}
    cpu = {side: min(r[1] for r in runs[side]) for side in runs}
    faults = {side: min(r[2] for r in runs[side]) / frames for side in runs}
    note = "%d pictures each" % pictures["engine"] if pictures["engine"] == pictures["plain"] else \
        "pictures: engine %d, plain %d" % (pictures["engine"], pictures["plain"])
    note += "; page faults/frame %.0f / %.0f" % (faults["engine"], faults["plain"])
    cell = "%.1f fps, %.1f ms CPU/fr"
    row(label, cell % (frames / wall["engine"], 1000 * cpu["engine"] / frames),
        cell % (frames / wall["plain"], 1000 * cpu["plain"] / frames),
        "%.3f" % (cpu["engine"] / cpu["plain"]), note + ("; best of %d" % repeat if repeat > 1 else ""))


def bench_video():
    for (w, h), count, cases in (
            ((1280, 720), 640, [("no alarm", lambda: ref.Detector(alarm=False), ALL, REPEAT),
                                ("1 alarm/frame", lambda: ref.Detector(), ALL, REPEAT),
                                ("stand-in, motion", lambda: None, ["5000001"], 1)]),
            ((640, 480), 300, [("no alarm", lambda: ref.Detector(alarm=False), ALL, REPEAT),
                               ("stand-in, all 11", lambda: None, ALL, 1)])):
        log("making the %dx%d clip (once)" % (w, h))
        path, codec, frames = media.clip((w, h), count)
        for name, make_detector, bev, repeat in cases:
            video_case("test_video %dx%d %s %d fr, %s" % (w, h, codec, frames, name), path, frames,
                       make_detector, bev, repeat)


# -- live pipeline -----------------------------------------------------------------

class Running:
    """A blocking pipeline call on its own thread; records when it returned, then
    runs `after` (which puts back what the run patched)."""

    def __init__(self, call, after=None):
        self.returned_at, self.error = None, None
        self.thread = threading.Thread(target=self._run, args=(call, after), daemon=True)
        self.thread.start()

    def _run(self, call, after):
        try:
            call()
        except BaseException as error:  # reported by end()
            self.error = error
        finally:
            self.returned_at = time.monotonic()
            if after is not None:
                after()

    def end(self, stop, release=None):
        """stop(), then wait for the call; the seconds from stop() to its return."""
        asked = time.monotonic()
        stop()
        if release is not None:
            release.set()
        self.thread.join(60)
        if self.thread.is_alive():
            raise RuntimeError("the live run did not end within 60 s of stop()")
        if self.error is not None:
            raise RuntimeError("the live run failed: %r" % (self.error,))
        return self.returned_at - asked


def wait_for(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out waiting for " + what)
        time.sleep(0.02)


def start_live(side, detector, addr, mode=0, probe=None):
    """Starts test_rtsp (engine) or the plain pipeline; returns (running, stop)."""
    if side == "engine":
        engine = engine_with(detector)
        saved = main.cv2
        if probe is not None:
            main.cv2 = probe

        def restore():
            main.cv2 = saved
        return Running(lambda: engine.test_rtsp(addr, mode), restore), engine.stop
    pipeline = ref.LivePipeline(detector, addr, ALL, mode, cv=probe or cv2, say=print)
    return Running(pipeline.run), pipeline.stop


def frame_age(url, delay, window):
    """Median and 95th percentile age at write, and analysed frames per second."""
    out = {}
    for side in ("plain", "engine"):
        probe = ref.Probe()
        detector = ref.Detector(delay=delay, probe=probe)
        with contextlib.redirect_stdout(Lines()):
            running, stop = start_live(side, detector, url, probe=probe)
            wait_for(lambda: detector.calls >= 5, 30, "frames from the stream")
            time.sleep(1.0)
            probe.reset()
            time.sleep(window)
            with probe.lock:
                ages, fps = sorted(probe.ages), probe.analysed / (time.monotonic() - probe.since)
                wait = statistics.median(probe.waits)
            took = running.end(stop)
        out[side] = (statistics.median(ages), ages[int(0.95 * (len(ages) - 1))], fps, took, len(ages), wait)
    return out


def cpu_use(side, url, mode, detector, ready, window=5.0):
    """Process CPU use (% of one core) over `window` s once ready(); stop time."""
    lines = Lines()
    with contextlib.redirect_stdout(lines):
        running, stop = start_live(side, detector, url, mode, probe=detector.probe)
        wait_for(ready, 30, "the pipeline to settle")
        cpu0, wall0 = time.process_time(), time.monotonic()
        before = dict(lines.counts)
        time.sleep(window)
        cpu, wall = time.process_time() - cpu0, time.monotonic() - wall0
        restarts = lines.counts.get("rtsp restart...", 0) - before.get("rtsp restart...", 0)
        took = running.end(stop, getattr(detector, "gate", None))
    return 100.0 * cpu / wall, restarts / wall, took


def bench_live():
    reason = rtsp_unavailable_reason()
    if reason:
        row("live pipeline", "skipped", note=reason)
        return
    with RtspServer(width=640, height=480, fps=25) as server:
        stream = "RTSP 640x480 25 fps"
        for delay in (0.1, 0.05):
            r = frame_age(server.url, delay, window=8.0)
            e, p = r["engine"], r["plain"]
            row("frame age read->written, %d ms detector, %s" % (delay * 1000, stream),
                "%.0f ms (p95 %.0f)" % (e[0] * 1000, e[1] * 1000),
                "%.0f ms (p95 %.0f)" % (p[0] * 1000, p[1] * 1000), "%.3f" % (e[0] / p[0]),
                "median of %d/%d pictures; of it waiting in the queue %.0f/%.0f ms" % (
                    e[4], p[4], e[5] * 1000, p[5] * 1000))
            if delay == 0.05:
                row("analysed fps, 50 ms detector, 1 alarm/frame", "%.1f fps" % e[2], "%.1f fps" % p[2],
                    "%.3f" % (p[2] / e[2]), "ratio = time per frame engine/plain")
                row("stop() -> test_rtsp returns, streaming", "%.0f ms" % (e[3] * 1000), "n/a",
                    note="50 ms detector mid-frame")

        dead = "rtsp://127.0.0.1:%d/x" % free_port()
        cpu = {}
        for side in ("plain", "engine"):
            start = time.monotonic()
            cpu[side] = cpu_use(side, dead, 0, ref.Detector(), lambda: time.monotonic() - start > 0.2)
        e, p = cpu["engine"], cpu["plain"]
        row("CPU while camera offline (refused port), mode 0", "%.1f %%" % e[0], "%.1f %%" % p[0],
            "%.3f" % (e[0] / p[0]) if p[0] else "", "restarts/s: engine %.1f, plain %.0f" % (e[1], p[1]))
        row("stop() -> test_rtsp returns, camera offline", "%.0f ms" % (e[2] * 1000), "n/a",
            note="stopped during the reconnect back-off")

        for side in ("plain", "engine"):
            probe = ref.Probe()
            detector = ref.Detector(probe=probe, gate=threading.Event())
            # the first frame is being analysed and the second waits in the queue
            cpu[side] = cpu_use(side, server.url, 1, detector,
                                lambda: detector.calls >= 1 and probe.reads >= 2 and not time.sleep(0.5))
        e, p = cpu["engine"], cpu["plain"]
        row("CPU while waiting, on-demand mode 1, queue full", "%.2f %%" % e[0], "%.1f %%" % p[0],
            "%.3f" % (e[0] / p[0]) if p[0] else "", "detector blocked; % of one core over 5 s")


# -- memory ------------------------------------------------------------------------

def bench_memory(runs=20000, warm=500):
    picture = media.small_picture()
    results = {}
    for side in ("plain", "engine"):
        detector = ref.Detector()
        if side == "engine":
            engine = engine_with(detector)

            def once():
                engine.test_pic(picture)
        else:
            def once():
                ref.test_pic(detector, picture, ALL)
        for _ in range(warm):
            once()
        gc.collect()
        before, objects = rss_mib(), len(gc.get_objects())
        start = time.process_time()
        for _ in range(runs):
            once()
        took = time.process_time() - start
        gc.collect()
        results[side] = (before, rss_mib(), len(gc.get_objects()) - objects, took)
    e, p = results["engine"], results["plain"]
    row("RSS before/after %d test_pic, 1 alarm, 128x128" % runs,
        "%.1f -> %.1f MiB (%+.2f)" % (e[0], e[1], e[1] - e[0]),
        "%.1f -> %.1f MiB (%+.2f)" % (p[0], p[1], p[1] - p[0]), "%.3f" % (e[3] / p[3]),
        "gc objects %+d / %+d; ratio = CPU time" % (e[2], p[2]))

    reason = rtsp_unavailable_reason()
    if reason:
        row("RSS during a live run", "skipped", note=reason)
        return
    with RtspServer(width=640, height=480, fps=25) as server:
        detector = ref.Detector()
        with contextlib.redirect_stdout(Lines()):
            running, stop = start_live("engine", detector, server.url)
            wait_for(lambda: detector.calls >= 25, 30, "frames from the stream")
            time.sleep(5)
            gc.collect()
            before, calls, samples = rss_mib(), detector.calls, []
            log("live run for %.0f s" % LIVE_SECONDS)
            for _ in range(4):
                time.sleep(LIVE_SECONDS / 4)
                samples.append(rss_mib())
            analysed = detector.calls - calls
            took = running.end(stop)
        gc.collect()
        row("RSS during a %.0f s live run, 1 alarm/frame" % LIVE_SECONDS,
            "%.1f -> %.1f MiB (%+.2f)" % (before, samples[-1], samples[-1] - before), "",
            note="quarters %s MiB; %d frames analysed; after stop %.1f MiB (stop %.0f ms)" % (
                "/".join("%.1f" % s for s in samples), analysed, rss_mib(), took * 1000))


def table():
    head = ("measure", "engine", "plain Python", "engine/plain", "note")
    widths = [max(len(str(r[i])) for r in ROWS + [head]) for i in range(5)]
    line = "  ".join("%%-%ds" % w for w in widths)
    print("Benchmarks: Python %s, OpenCV %s, %d cores, load %.1f at start, %s" % (
        sys.version.split()[0], cv2.__version__, os.cpu_count(), LOAD, time.strftime("%Y-%m-%d %H:%M")))
    print((line % head).rstrip())
    print(line % tuple("-" * w for w in widths))
    for r in ROWS:
        print((line % r).rstrip())
    print("engine/plain: ratio of CPU time for test_video/test_pic rows, of the figures otherwise; "
          "above 1 = the engine costs more.")


if __name__ == "__main__":
    LOAD = os.getloadavg()[0]
    work = tempfile.mkdtemp(prefix="bench-")
    os.chdir(work)  # the result directories are relative to the working directory
    try:
        for section, bench in (("video", bench_video), ("live", bench_live),
                               ("stops", lambda: live_stops.bench(row, log, work)), ("memory", bench_memory),
                               ("cameras", lambda: cameras.bench(row, log, work)),
                               ("web", lambda: status_page.bench(row, log, work)),
                               ("index", lambda: events_index.bench(row, log, work)),
                               ("videos", lambda: archives.bench(row, log, work)),
                               ("storage", lambda: storage.bench(row, log, work)),
                               ("sinks", lambda: sinks.bench(row, log, work)),
                               ("fleet", lambda: fleet.bench(row, log, work)),
                               ("fleetpage", lambda: fleet_page.bench(row, log, work)),
                               ("recording", lambda: recording.bench(row, log, work)),
                               ("zones", lambda: zones.bench(row, log, work)),
                               ("livepicture", lambda: live_picture.bench(row, log, work)),
                               ("record_log", lambda: record_log.bench(row, log, work))):
            if section in ONLY:
                log("section", section)
                bench()
    finally:
        os.chdir("/")
        shutil.rmtree(work, ignore_errors=True)
    table()
