"""Nothing accumulates: repeating an entry point many times leaves the number of live
objects (and, in a debug build of CPython, the total reference count) and the memory
traced by tracemalloc as they were after a warm-up, within a small slack."""
import ast
import gc
import logging
import os
import subprocess
import sys
import threading
import tracemalloc

import pytest

import main
from conftest import alarm, make_video

BAD_ANSWERS = [
    ({"alarmBehavior": [{"result": [], "behavior_number": 1}]}, AttributeError),  # no alarm_info_dict
    ({"alarmBehavior": [alarm("short", [1, 2, 3])]}, IndexError),
    ({"alarmBehavior": [alarm("x", ["a", 2, 3, 4])]}, ValueError),
    ({"alarmBehavior": [alarm("../escape", [1, 2, 3, 4])]}, ValueError),
    ({"alarmBehavior": [alarm(5, [1, 2, 3, 4])]}, TypeError),
    (RuntimeError("detector failed"), RuntimeError),
]


class Detector:
    """A detector with a fixed answer (or error); counts its calls and keeps nothing."""

    def __init__(self, answer):
        self.answer, self.calls = answer, 0

    def main(self, im, cfg):
        self.calls += 1
        if isinstance(self.answer, BaseException):  # a fresh one: a re-raised error grows its traceback
            raise type(self.answer)(*self.answer.args)
        return self.answer


def growth(action, runs, warm=3):
    """Growth of live objects, total references (None unless a debug build) and traced
    bytes over `runs` calls of `action`, measured after `warm` calls."""
    def counts():
        gc.collect()
        total = sys.gettotalrefcount() if hasattr(sys, "gettotalrefcount") else None
        return len(gc.get_objects()), total, tracemalloc.get_traced_memory()[0]

    for _ in range(warm):
        action()
    before = counts()
    for _ in range(runs):
        action()
    after = counts()
    return [None if b is None else a - b for a, b in zip(after, before)]


@pytest.fixture
def traced():
    tracemalloc.start()
    yield
    tracemalloc.stop()


@pytest.fixture
def make_engine(workdir):
    def make(answer):
        engine = main.VisionEngin()  # the stand-in SDK's draw_roi; the detector is scripted
        engine.predict = Detector(answer)
        return engine
    return make


def assert_flat(objects, refs, traced_bytes, runs, per_run_bytes=64):
    assert objects <= 20, "%d more live objects after %d runs" % (objects, runs)
    assert refs is None or refs <= 50, "%d more references after %d runs" % (refs, runs)
    assert traced_bytes <= 64 * 1024 + per_run_bytes * runs, "%d more bytes after %d runs" % (traced_bytes, runs)


@pytest.mark.timeout(60)
def test_picture_results_with_alarms(make_engine, workdir, data, traced):
    engine = make_engine({"alarmBehavior": [alarm("a", [10, 10, 50, 50]), alarm("b", [5.5, 6.5, 70, 80])]})
    picture = str(data / "astronaut.jpg")
    assert_flat(*growth(lambda: engine.test_pic(picture), runs=300), runs=300)
    assert sorted(p.name for p in (workdir / "pic_result").iterdir()) == ["a.jpg", "b.jpg"]


@pytest.mark.timeout(60)
def test_failing_answers_and_unreadable_pictures(make_engine, data, traced, caplog):
    caplog.set_level(logging.ERROR, logger="main")  # pytest would keep every warning record
    engines = [(make_engine(answer), error) for answer, error in BAD_ANSWERS]
    unreadable = make_engine({"alarmBehavior": [alarm("a", [1, 2, 3, 4])]})
    picture = str(data / "fruits.jpg")

    def every_failure():
        for engine, error in engines:
            with pytest.raises(error):
                engine.test_pic(picture)
        with pytest.raises(Exception):  # no picture: OpenCV cannot draw on None
            unreadable.test_pic("missing.jpg")

    assert_flat(*growth(every_failure, runs=100), runs=100)


@pytest.mark.timeout(60)
def test_video_file_runs(make_engine, workdir, traced):
    engine = make_engine({"alarmBehavior": [alarm("v", [10, 10, 40, 40])]})
    clip = make_video(workdir / "tiny.avi", frames=8, size=(64, 48))
    assert_flat(*growth(lambda: engine.test_video(clip), runs=40), runs=40, per_run_bytes=256)
    assert engine.predict.calls == 8 * 43
    engine.adds.clear()  # test_video records every address


def live_growth(folder):
    """Growth over six live runs on a video file, each ended by stop() from a timer.
    Runs in a child process (see below); prints nothing but the run's own lines."""
    os.chdir(folder)
    tracemalloc.start()
    engine = main.VisionEngin()
    engine.predict = Detector({"alarmBehavior": [alarm("live", [10, 10, 40, 40])]})
    clip = make_video(os.path.join(folder, "live.avi"), frames=20, size=(64, 48), fps=25)

    def live_run():
        calls = engine.predict.calls
        timer = threading.Timer(0.4, engine.stop)
        timer.start()
        engine.test_rtsp(clip)
        timer.join()
        assert engine.predict.calls > calls

    return growth(live_run, runs=6, warm=2)


@pytest.mark.slow
@pytest.mark.timeout(90)
def test_live_runs_stopped_by_the_host(workdir):
    # A child process: a run that deadlocks while holding the GIL would stop every
    # timeout in this process as well.
    here = os.path.dirname(os.path.abspath(__file__))
    code = ("import sys; sys.path[:0] = %r; import test_leaks; print('GROWTH', test_leaks.live_growth(%r))"
            % ([here, os.path.dirname(here)], str(workdir)))
    try:
        proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("the live runs did not end within 60 s (deadlock?)")
    lines = [line for line in proc.stdout.splitlines() if line.startswith("GROWTH ")]
    assert proc.returncode == 0 and lines, proc.stderr[-3000:]
    assert_flat(*ast.literal_eval(lines[-1][len("GROWTH "):]), runs=6, per_run_bytes=4096)
