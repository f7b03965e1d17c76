"""What the benchmarks compare the engine with, and how they watch it.

* Plain Python doing the same library calls as the engine, in the same order: the
  result handling of one picture, the picture and video tests, and the two-thread
  live pipeline (which, like the engine before its stop/back-off work, reopens a
  dead camera at once and polls the queue without pause in on-demand mode; it only
  gains a stop flag so that the benchmark can end it).
* Detectors with a fixed cost and a fixed answer.
* `Probe`, a stand-in for the `cv2` module (installed as `main.cv2` for the engine,
  handed to the plain pipeline) that stamps each frame when read() returns it and
  records the age of the frame being analysed when each picture has been written.
"""
import copy
import os
import queue
import threading
import time

import cv2

import main


def one_alarm(info_type="person", box=(40, 40, 200, 160, 0.9)):
    return {"alarmBehavior": [{
        "behavior_number": 5000001,
        "alarm_info_dict": {"info_type": info_type},
        "result": [{"roi": [[20, 20], [300, 20], [300, 220], [20, 220]], "boxes": [list(box)]}],
    }]}


class Detector:
    """main() costs `delay` seconds (a GIL-free sleep, as native inference) or waits
    for `gate`, and answers one alarm with one box, or no alarm."""

    def __init__(self, alarm=True, delay=0.0, probe=None, gate=None):
        self.alarm, self.delay, self.probe, self.gate = alarm, delay, probe, gate
        self.calls = 0

    def main(self, im, cfg):
        self.calls += 1
        if self.probe is not None:
            self.probe.analysing(im)
        if self.gate is not None:
            self.gate.wait(120)
        elif self.delay:
            time.sleep(self.delay)
        return one_alarm() if self.alarm else {"alarmBehavior": []}


# -- plain Python, same calls -------------------------------------------------------

def handle(detector, im, cfg, save_path, number=None, cv=cv2):
    result = detector.main(im, cfg).get("alarmBehavior")
    if not result:
        return
    for behavior in result:
        img = copy.copy(im)
        out_result = behavior.get("result")
        behavior_number = behavior.get("behavior_number")
        alarm_info = behavior.get("alarm_info_dict").get("info_type")
        for roi in out_result:
            _roi = roi.get("roi")
            boxes = roi.get("boxes")
            img = main.draw_roi(img, _roi)
            for bbox in boxes:
                xx_min, yy_min, xx_max, yy_max = int(bbox[0]), int(bbox[1]), int(bbox[2]), int(bbox[3])
                cv.putText(img, str(behavior_number), (xx_min, yy_min), cv.FONT_HERSHEY_SIMPLEX, 0.6,
                           (255, 255, 0), 1)
                cv.rectangle(img, (xx_min, yy_min), (xx_max, yy_max), (0, 255, 0), 3)
        name = save_path + "/" + alarm_info
        if "/" in alarm_info or "\0" in alarm_info:
            raise ValueError("unsafe info type %r" % alarm_info)
        if number is not None:
            name = name + "-" + str(number)
        cv.imwrite(name + ".jpg", img)


def load_cfg(adds, bev):
    main.cfg["devId"] = str(len(adds))
    main.cfg["devBehavior"] = [main.devBehavior[key] for key in bev]
    return main.cfg


def ensure_dir(save_path):
    if not os.path.exists(save_path):
        os.mkdir(save_path)


def test_pic(detector, addr, bev, adds=()):
    cfg = load_cfg(adds, bev)
    ensure_dir("./pic_result/")
    handle(detector, cv2.imread(addr), cfg, "./pic_result/")


def test_video(detector, addr, bev, t=1, adds=None):
    adds = [] if adds is None else adds
    adds.append(addr)
    cfg = load_cfg(adds, bev)
    save_path = "./video_result/"
    ensure_dir(save_path)
    k = pic_num_read = 0
    camera = cv2.VideoCapture(addr)
    while camera.isOpened():
        ret, im = camera.read()
        if not ret:
            break
        pic_num_read += 1
        if pic_num_read - k == t:
            k = pic_num_read
            handle(detector, im, cfg, save_path, k)
    camera.release()


class LivePipeline:
    """The two-thread live pipeline in plain Python; run() blocks until stop()."""

    def __init__(self, detector, addr, bev, mode=0, cv=cv2, say=print):
        self.detector, self.addr, self.mode, self.cv, self.say = detector, addr, mode, cv, say
        self.cfg = load_cfg((), bev)
        self.stopped = threading.Event()

    def capture(self, frame_queue):
        n = 0
        if int(self.mode) == 0:
            camera = self.cv.VideoCapture(self.addr)
            while not self.stopped.is_set():
                n += 1
                ret, frame = camera.read()
                if not ret:
                    self.say("rtsp restart...")
                    camera = self.cv.VideoCapture(self.addr)
                    continue
                if frame_queue.full():
                    try:
                        frame_queue.get_nowait()
                    except queue.Empty:
                        pass
                frame_queue.put((n, frame))
            camera.release()
            return
        while not self.stopped.is_set():
            while not frame_queue.empty():
                if self.stopped.is_set():
                    return
            n += 1
            camera = self.cv.VideoCapture(self.addr)
            ret, frame = camera.read()
            if ret:
                frame_queue.put((n, frame))
            camera.release()

    def process(self, frame_queue):
        while not self.stopped.is_set():
            try:
                n, im = frame_queue.get(timeout=0.5)  # 5 s in the engine; 0.5 to end promptly
            except queue.Empty:
                continue
            handle(self.detector, im, self.cfg, "./rtsp_result/", n, self.cv)
            frame_queue.task_done()

    def run(self):
        ensure_dir("./rtsp_result/")
        frame_queue = queue.Queue(maxsize=1)
        threads = [threading.Thread(target=self.capture, args=(frame_queue,)),
                   threading.Thread(target=self.process, args=(frame_queue,))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    def stop(self):
        self.stopped.set()


# -- watching -----------------------------------------------------------------------

class Probe:
    """Stands for the cv2 module: frames are stamped when read() returns them; the
    detector's call records how long its frame waited, and each picture written
    records now minus the stamp of the frame being analysed."""

    def __init__(self):
        self.lock = threading.Lock()
        self.read_at = {}
        self.reads = 0
        self.current = None
        self.reset()

    def reset(self):
        with self.lock:
            self.ages, self.waits, self.analysed, self.since = [], [], 0, time.monotonic()

    def VideoCapture(self, *args):
        return _StampingCapture(self, cv2.VideoCapture(*args))

    def stamp(self, frame):
        with self.lock:
            self.reads += 1
            self.read_at[id(frame)] = time.monotonic()  # the frame lives on while queued
            while len(self.read_at) > 64:
                del self.read_at[next(iter(self.read_at))]

    def analysing(self, im):
        with self.lock:
            self.current = self.read_at.pop(id(im), None)
            self.analysed += 1
            if self.current is not None:
                self.waits.append(time.monotonic() - self.current)

    def imwrite(self, name, img):
        written = cv2.imwrite(name, img)
        with self.lock:
            if self.current is not None:
                self.ages.append(time.monotonic() - self.current)
        return written

    def __getattr__(self, name):
        return getattr(cv2, name)


class _StampingCapture:
    def __init__(self, probe, capture):
        self.probe, self.capture = probe, capture

    def read(self):
        ret, frame = self.capture.read()
        if ret:
            self.probe.stamp(frame)
        return ret, frame

    def isOpened(self):
        return self.capture.isOpened()

    def release(self):
        self.capture.release()
