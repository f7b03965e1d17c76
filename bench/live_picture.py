"""`make bench`, section "livepicture": what a tile's live picture costs a
camera. One 1280x720 H.264 camera at 25 fps (the walking clip, served as it
is) run by `visionengin cameras` with a no-op detector; its process's CPU per
analysed frame measured in alternating windows with nobody watching and with
a page asking for /api/cameras/<name>/latest.jpg once a second (as a visible
page does), the page served in this process. On a busy machine the difference
of the two windows is within its noise: the cost of one picture (scaling,
encoding and writing a frame of the clip, in this process) tells it alone.
Also: the per-frame cost of the hand-over while nobody watches
(LatestPicture.offer), the answer's time, the picture's age when served and
its size.
Environment: BENCH_LIVE_PICTURE_SECONDS (window, default 15), BENCH_LIVE_PICTURE_ROUNDS (2).
"""
import os
import signal
import statistics
import subprocess
import threading
import time
import timeit
import urllib.error
import urllib.request
from pathlib import Path

import psutil

import cameras
import media
from visionengin_cli.storage import latest
from visionengin_cli.web.command import serve_in_background

SECONDS = float(os.environ.get("BENCH_LIVE_PICTURE_SECONDS", "15"))
ROUNDS = int(os.environ.get("BENCH_LIVE_PICTURE_ROUNDS", "2"))


class Watcher:
    """A visible page: latest.jpg asked once a second; each answer's time,
    the age of the picture it gave and its size."""

    def __init__(self, url):
        self.url, self.stop = url, threading.Event()
        self.took, self.ages, self.sizes, self.missing = [], [], [], 0
        self.folder = None
        self.thread = threading.Thread(target=self.run, daemon=True)
        self.thread.start()

    def run(self):
        while not self.stop.is_set():
            started = time.perf_counter()
            try:
                with urllib.request.urlopen(self.url, timeout=10) as response:
                    body = response.read()
                self.took.append((time.perf_counter() - started) * 1000)
                self.sizes.append(len(body))
                if self.folder:
                    self.ages.append(time.time() - os.stat(os.path.join(self.folder, "cam0.jpg")).st_mtime)
            except urllib.error.HTTPError:
                self.missing += 1
            except OSError:
                pass
            self.stop.wait(max(0.0, 1.0 - (time.perf_counter() - started)))

    def close(self):
        self.stop.set()
        self.thread.join(15)


def window(cam, root, seconds):
    first, cpu = cameras.statuses(root, ["cam0"])["cam0"], cameras.cpu_seconds([cam])
    time.sleep(seconds)
    last = cameras.statuses(root, ["cam0"])["cam0"]
    frames, reads = last["frames"] - first["frames"], last["frames_read"] - first["frames_read"]
    return (cameras.cpu_seconds([cam]) - cpu), frames, reads


def offer_cost():
    """ns per frame of the hand-over while nobody watches."""
    stopping = threading.Event()
    stopping.set()  # its thread leaves at once: only offer() is measured
    picture = latest.LatestPicture(os.getcwd(), stopping)
    runs = 1000000
    return min(timeit.repeat(lambda: picture.offer(None), number=runs, repeat=5)) / runs * 1e9


def write_cost(path, folder):
    """ms to scale, encode and write one picture of a frame of the clip."""
    import cv2

    capture = cv2.VideoCapture(str(path))
    for _ in range(50):  # a frame with the walker in it
        ok, frame = capture.read()
    capture.release()
    stopping = threading.Event()
    stopping.set()
    picture = latest.LatestPicture(os.getcwd(), stopping)
    target = os.path.join(folder, "bench.jpg")
    took = min(timeit.repeat(lambda: picture._write(frame, target), number=20, repeat=5)) / 20 * 1000
    os.unlink(target)
    return took


def bench(row, log, work):
    work = Path(work)
    path, _, _ = media.clip((1280, 720), cameras.CLIP_FRAMES)
    server = cameras.Server(path, 1)
    (work / "detectors.py").write_text(cameras.DETECTORS)
    (work / "cameras.toml").write_text('results = "results"\n[engine]\ndetector = "detectors:NoOp"\n'
                                       '[cameras.cam0]\naddress = "%s"\n' % server.urls[0])
    root = work / "results"
    command = subprocess.Popen([str(cameras.COMMAND), "cameras", "cameras.toml"], cwd=str(work),
                               stderr=subprocess.DEVNULL)
    served = None
    try:
        deadline = time.monotonic() + 60
        while not cameras.statuses(root, ["cam0"])["cam0"].get("frames"):
            if time.monotonic() > deadline or command.poll() is not None:
                raise RuntimeError("the camera did not start streaming")
            time.sleep(0.2)
        time.sleep(3.0)
        cam = next(c for c in psutil.Process(command.pid).children() if "template" not in " ".join(c.cmdline()))
        served = serve_in_background(str(root), "127.0.0.1:0")
        results = {"nobody": [], "watched": []}
        watchers = []
        for i in range(ROUNDS):
            log("live picture: round %d of %d, %.0f s nobody watching, %.0f s watched" % (
                i + 1, ROUNDS, SECONDS, SECONDS))
            time.sleep(latest.WANTED_SECONDS + 1)  # the last watcher's asking has lapsed
            results["nobody"].append(window(cam, root, SECONDS))
            watcher = Watcher(served.url + "api/cameras/cam0/latest.jpg")
            watcher.folder = latest.folder_for(str(root))
            watchers.append(watcher)
            time.sleep(3.0)  # asked, and writing
            results["watched"].append(window(cam, root, SECONDS))
            watcher.close()
    finally:
        if served is not None:
            served.stop()
        command.send_signal(signal.SIGTERM)
        command.wait(30)
        server.close()
        if os.path.isdir(os.path.join(latest.base_folder(os.environ), latest.root_id(str(root)))):
            import shutil
            shutil.rmtree(os.path.join(latest.base_folder(os.environ), latest.root_id(str(root))))

    def share(pairs):
        cpu, frames, reads = (sum(p[i] for p in pairs) for i in range(3))
        took = SECONDS * len(pairs)
        return cpu / took * 100, cpu / max(1, frames) * 1000, frames / took, reads / took
    nobody, watched = share(results["nobody"]), share(results["watched"])
    note = "camera process, 1280x720 H.264 25 fps, no-op detector; %d windows of %.0f s each" % (
        ROUNDS, SECONDS)
    row("live picture: camera CPU, nobody watching", "%.1f %% of a core (%.2f ms/frame)" % nobody[:2], "",
        "", note + ", %.1f fps analysed of %.1f read" % nobody[2:])
    row("live picture: camera CPU, a page watching", "%.1f %% of a core (%.2f ms/frame)" % watched[:2], "",
        "", "latest.jpg asked once a second; %.1f fps analysed of %.1f read" % watched[2:])
    row("live picture: added by watching", "%+.1f %% of a core" % (watched[0] - nobody[0]), "", "",
        "a 960x540 JPEG encoded and written once a second")
    row("live picture: one picture (scale, encode, write)", "%.1f ms" % write_cost(path, str(work)), "", "",
        "1280x720 frame to a 960x540 JPEG, quality %d; one a second while watched" % latest.QUALITY)
    row("live picture: hand-over per frame, nobody watching", "%.0f ns" % offer_cost(), "", "",
        "LatestPicture.offer; besides, one stat() a second")
    took = [t for w in watchers for t in w.took]
    ages = [a for w in watchers for a in w.ages]
    sizes = [s for w in watchers for s in w.sizes]
    if took:
        row("live picture: latest.jpg answer", "%.1f ms (p95 %.1f)" % (
            statistics.median(took), sorted(took)[int(len(took) * 0.95) - 1] if len(took) > 1 else took[0]),
            "", "", "%d answers, %d without a picture yet; 127.0.0.1" % (
                len(took), sum(w.missing for w in watchers)))
    if ages:
        row("live picture: age when served", "%.2f s median (max %.2f)" % (statistics.median(ages), max(ages)),
            "", "", "%.0f KB a picture" % (statistics.median(sizes) / 1024))
