"""Live-pipeline helpers: recording stand-ins for the engine's cv2.VideoCapture and
queue.Queue, and runs on a background thread that engine.stop() always ends."""
import queue
import re
import sys
import threading
import time
import types
from pathlib import Path

import cv2
import numpy as np
import pytest

import main

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from rtsp_server import free_port  # noqa: E402

RESTART = "rtsp restart..."


def refused_addr():
    return "rtsp://127.0.0.1:%d/cam" % free_port()


def wait_for(predicate, timeout=10.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def counters(info="motion", folder="rtsp_result"):
    """Frame counters of the pictures "<info>-<n>.jpg", ascending."""
    pattern = re.compile(re.escape(info) + r"-(\d+)\.jpg$")
    return sorted(int(m.group(1)) for p in Path(folder).glob("*.jpg") for m in [pattern.match(p.name)] if m)


class Camera:
    """A capture the engine opened: real OpenCV, or the log's script when set. Its
    record (id, reads, released) outlives it; its end is logged as ("drop", id)."""

    def __init__(self, log, addr, *args):
        self.log, self.rec = log, types.SimpleNamespace(id=len(log.opened) + 1, reads=0, released=False, args=args)
        self.real = cv2.VideoCapture(addr, *args) if log.script is None else None
        log.opened.append(self.rec)
        log.events.append(("open", self.rec.id))

    def isOpened(self):
        return self.real.isOpened() if self.real else True

    def read(self):
        self.rec.reads += 1
        return self.real.read() if self.real else self.log.script(next(self.log.attempts))

    def release(self):
        self.rec.released = True
        self.log.events.append(("release", self.rec.id))
        return self.real and self.real.release()

    def __del__(self):
        self.log.events.append(("drop", self.rec.id))


class Cv2Proxy(types.ModuleType):
    def __getattr__(self, name):
        return getattr(cv2, name)


@pytest.fixture
def cams(monkeypatch):
    """The engine's cv2 becomes cams.cv2: OpenCV with every VideoCapture recorded."""
    log = types.SimpleNamespace(opened=[], events=[], script=None, attempts=iter(range(1, 1 << 62)))

    def fake(fail=0, error=None):
        """Read attempts 1..fail fail, later ones give a frame whose pixels are the
        attempt number; or every read raises `error`."""
        def script(attempt):
            time.sleep(0.005)
            if error is not None:
                raise error
            return (False, None) if attempt <= fail else (True, np.full((8, 8, 3), attempt % 256, np.uint8))
        log.script = script
    log.fake, log.cv2 = fake, Cv2Proxy("cv2")
    log.cv2.VideoCapture = lambda addr, *args: Camera(log, addr, *args)
    monkeypatch.setattr(main, "cv2", log.cv2)
    return log


class RecordingQueue(queue.Queue):
    """Records its size after each put and the counters the consumer takes."""
    made = []

    def __init__(self, *args, **kwargs):
        super().__init__(*args, **kwargs)
        self.made.append((self, args, kwargs))
        self.sizes, self.taken = [], []

    def put(self, item, *args, **kwargs):
        super().put(item, *args, **kwargs)
        self.sizes.append(self.qsize())

    def get(self, *args, **kwargs):
        item = super().get(*args, **kwargs)
        if "timeout" in kwargs and isinstance(item, tuple):  # not the producer's drop
            self.taken.append(item[0])
        return item


@pytest.fixture
def queues(monkeypatch):
    """The queues the engine creates, as (queue, args, kwargs)."""
    monkeypatch.setattr(RecordingQueue, "made", [])
    monkeypatch.setattr(main, "queue", types.SimpleNamespace(Queue=RecordingQueue, Empty=queue.Empty))
    return RecordingQueue.made


class Background:
    def __init__(self, engine, fn, args, kwargs):
        self.engine, self.result, self.error = engine, None, None
        self.thread = threading.Thread(target=self._run, args=(fn, args, kwargs), daemon=True)
        self.thread.start()

    def _run(self, fn, args, kwargs):
        try:
            self.result = fn(*args, **kwargs)
        except BaseException as error:
            self.error = error

    def stop(self):
        """engine.stop(); returns the seconds until the run ended."""
        started = time.monotonic()
        assert self.engine.stop() is None
        self.thread.join(15)
        assert not self.thread.is_alive(), "the run did not end after stop()"
        return time.monotonic() - started


@pytest.fixture
def background(engine):
    """background(fn, *args): fn (test_rtsp or a worker) on a thread; at teardown
    the engine is stopped and no thread of the run may be left."""
    before, runs = set(threading.enumerate()), []
    yield lambda fn, *args, **kwargs: runs.append(Background(engine, fn, args, kwargs)) or runs[-1]
    for run in runs:
        run.stop()
    assert wait_for(lambda: not set(threading.enumerate()) - before), "threads left behind"
