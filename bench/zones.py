"""`make bench`, section "zones": what a camera's zones and masks cost and save.

- CPU per 1280x720 frame that the camera's zones and masks add around the
  detector (``cameras.zones.Guard``: the masked copy the detector is given,
  and the alarms sorted by zone), against the frame's own cost in a camera
  process: decoding it and the stand-in detector's motion behaviour. The
  walking clip, every frame analysed, alarm_time 0 (an alarm on nearly every
  frame, so the sorting runs nearly every frame: the worst case). The guard's
  calls are timed in their thread's CPU time; the frame's cost is the
  process's CPU time (FFmpeg decodes in threads of its own) less the guard's.
- Pictures and disk saved on a scene with motion outside the zone: the
  engine's test_video over the same clip with the camera's detector proxy,
  without a zone and with a zone over the lower left of the frame, where the
  walkers pass only now and then.
Environment: BENCH_ZONES_FRAMES (default 300).
"""
import os
import shutil
import time

import cv2

import main
import media
from visionengin_cli.cameras.runner import detector_tap
from visionengin_cli.cameras.zones import Guard, parse

FRAMES = int(os.environ.get("BENCH_ZONES_FRAMES", "300"))
# Three zones as a user draws them (4 to 6 points) and two masks (a timestamp
# overlay, a tree).
ZONES = {"drive": [[0.0, 0.55], [0.55, 0.55], [0.55, 1.0], [0.0, 1.0]],
         "porch": [[0.6, 0.7], [0.8, 0.65], [0.95, 0.75], [0.95, 1.0], [0.7, 1.0], [0.6, 0.9]],
         "gate": [[0.02, 0.2], [0.2, 0.2], [0.25, 0.5], [0.1, 0.55], [0.02, 0.45]]}
MASKS = {"clock": [[0.0, 0.0], [0.3, 0.0], [0.3, 0.06], [0.0, 0.06]],
         "tree": [[0.8, 0.0], [1.0, 0.0], [1.0, 0.3], [0.9, 0.35], [0.8, 0.25]]}
MOTION = ["5000001"]


class Timed:
    """A guard whose calls' CPU time (this thread's) is summed."""

    def __init__(self, guard):
        self.guard, self.hiding, self.judging = guard, 0.0, 0.0

    def hide(self, im):
        start = time.thread_time()
        try:
            return self.guard.hide(im)
        finally:
            self.hiding += time.thread_time() - start

    def judge(self, answer, im):
        start = time.thread_time()
        try:
            return self.guard.judge(answer, im)
        finally:
            self.judging += time.thread_time() - start


def guard_cost(path, zones, masks):
    """(guard CPU s, the frames' CPU s besides, frames, masking s, sorting s) over the clip."""
    timed = Timed(Guard(parse("zones", zones), parse("masks", masks)))
    proxy = detector_tap(main.ObjectDetect(), timed)
    cfg = {"devBehavior": [dict(main.devBehavior[key]) for key in MOTION]}
    cap = cv2.VideoCapture(path)
    frames = 0
    start = time.process_time()  # decoding runs in FFmpeg's threads too
    while True:
        ok, frame = cap.read()
        if not ok:
            break
        proxy.main(frame, cfg)
        frames += 1
    total = time.process_time() - start
    cap.release()
    guard = timed.hiding + timed.judging
    return guard, total - guard, frames, timed.hiding, timed.judging


def video_run(path, zones):
    """(pictures, bytes, CPU s) of test_video with the camera's proxy."""
    shutil.rmtree("video_result", ignore_errors=True)
    guard = Guard(parse("zones", zones), ()) if zones else None
    engine = main.VisionEngin()
    engine.predict = detector_tap(engine.predict, guard)
    start = time.process_time()
    engine.test_video(path, 1, MOTION)
    took = time.process_time() - start
    files = [os.path.join("video_result", name) for name in os.listdir("video_result")]
    return len(files), sum(os.path.getsize(f) for f in files), took


def bench(row, log, work):
    path, codec, frames = media.clip((1280, 720), FRAMES)
    clip = "1280x720 %s, %d fr" % (codec, frames)
    for label, zones, masks in (("3 zones + 2 masks", ZONES, MASKS), ("3 zones", ZONES, {}),
                                ("2 masks", {}, MASKS)):
        guard, rest, count, hiding, judging = min(
            (guard_cost(path, zones, masks) for _ in range(2)), key=lambda r: r[0])
        log("zones: %s: %.3f ms guard, %.2f ms rest per frame" % (label, guard / count * 1000,
                                                                  rest / count * 1000))
        row("zones/masks CPU per frame, %s, %s" % (label, clip),
            "%.0f us CPU/fr" % (guard / count * 1e6), "%.1f ms CPU/fr" % (rest / count * 1000),
            "%.2f %%" % (100 * guard / rest),
            "plain column: the frame itself (decode + stand-in motion); masked copy %.0f us, "
            "alarms by zone %.0f us per frame; best of 2" % (hiding / count * 1e6,
                                                            judging / count * 1e6))
    without, with_zone = video_run(path, None), video_run(path, {"drive": ZONES["drive"]})
    row("test_video %s, stand-in motion, a zone over the lower left" % clip,
        "%d pictures, %.1f MB, %.1f ms CPU/fr" % (with_zone[0], with_zone[1] / 1e6,
                                                   with_zone[2] / frames * 1000),
        "%d pictures, %.1f MB, %.1f ms CPU/fr" % (without[0], without[1] / 1e6,
                                                   without[2] / frames * 1000),
        "%.3f" % (with_zone[1] / without[1]) if without[1] else "",
        "plain column: no zone; ratio = bytes written with/without; the walkers cross the "
        "zone's top now and then")
    shutil.rmtree("video_result", ignore_errors=True)
