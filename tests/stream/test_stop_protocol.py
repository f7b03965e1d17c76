"""The stop protocol of live runs: a stop from a signal handler amid a queue
operation, a stop made early in test_rtsp, an interrupted thread start, and a
process forked while a run is live, and workers started on a queue whose run is
still stopping. Hangs run in child processes."""
import os
import queue
import re
import subprocess
import sys
import textwrap
import threading
import types

import pytest

import main
from conftest import alarm, make_video

from .conftest import Camera, counters, wait_for

PRELUDE = textwrap.dedent("""
    import os, queue, signal, sys, threading, time
    import main
    class Detect:
        def __init__(self, *args, **kwargs):
            self.face_handle = None
        def main(self, im, cfg):
            return {"alarmBehavior": []}
    main.ObjectDetect = Detect
    engine = main.VisionEngin()
""")

REENTRANT = PRELUDE + textwrap.dedent("""
    class SlowPut(queue.Queue):
        def put(self, item, *args, **kwargs):
            time.sleep(0.02)  # the handler runs here, inside the producer's put
            super().put(item, *args, **kwargs)
    q = SlowPut(maxsize=1)
    threading.Thread(target=engine.process_frames, args=(q, main.cfg, "./"), daemon=True).start()
    signal.signal(signal.SIGALRM, lambda *args: engine.stop())
    signal.setitimer(signal.ITIMER_REAL, 0.5)
    engine.video_stream_capture(sys.argv[1], q, 0)
    print("stopped")
""")

FORK = PRELUDE + textwrap.dedent("""
    threading.Thread(target=engine.test_rtsp, args=(sys.argv[1],), daemon=True).start()
    time.sleep(1)
    started = time.monotonic()
    pid = os.fork()
    if pid == 0:
        engine.stop()
        sys.exit(0)  # through the exit hook, which has no run of the child's to wait for
    os.waitpid(pid, 0)
    sys.stdout.write("child ended in %.2f s\\n" % (time.monotonic() - started))
""")


def run_child(workdir, script, timeout=20):
    try:
        return subprocess.run([sys.executable, "-c", script, make_video(workdir / "v.avi")], cwd=workdir,
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired:
        pytest.fail("the child process hung")


@pytest.mark.slow
@pytest.mark.timeout(60)
def test_stop_from_a_signal_handler_inside_a_queue_operation(workdir):
    child = run_child(workdir, REENTRANT)
    assert child.stdout.splitlines()[-1:] == ["stopped"], child.stderr[-1500:]


@pytest.mark.slow
@pytest.mark.timeout(60)
def test_forked_child_forgets_the_live_runs(workdir):
    child = run_child(workdir, FORK)
    # the parent's own run goes on printing its restarts around this line, even amid it
    ended = re.search(r"child ended in ([0-9.]+) s", child.stdout)
    assert ended, (child.returncode, child.stderr[-1500:])
    assert float(ended.group(1)) < 2.0  # the exit hook waited 3 s for workers it did not have


@pytest.mark.timeout(30)
def test_stop_made_while_test_rtsp_starts_ends_the_run(fake_sdk, workdir, cams, background):
    class Engine(main.VisionEngin):
        def load_cfg(self, bev):
            self.stop()  # another thread's stop() lands here as often as anywhere
            return super().load_cfg(bev)
    cams.fake()
    engine = Engine()
    run = background(engine.test_rtsp, "cam")
    run.thread.join(5)
    assert not run.thread.is_alive() and run.error is None


class InterruptedStart(threading.Thread):
    def start(self):
        super().start()
        if self._target.__name__ == "video_stream_capture":
            raise KeyboardInterrupt


@pytest.mark.timeout(30)
def test_interrupted_thread_start_leaves_no_worker(engine, workdir, cams, monkeypatch):
    cams.fake()
    monkeypatch.setattr(main, "threading", types.SimpleNamespace(Thread=InterruptedStart))
    before = set(threading.enumerate())
    with pytest.raises(KeyboardInterrupt):
        engine.test_rtsp("cam")
    left = lambda: set(threading.enumerate()) - before  # noqa: E731
    try:
        assert wait_for(lambda: not left(), 5), left()
    finally:
        engine.stop()  # ends an orphaned worker, should there be one


@pytest.mark.timeout(60)
def test_workers_started_while_the_old_capture_leaves_run_a_fresh_run(engine, fake_sdk, workdir, cams, background):
    """A host restarts its workers on the same queue right after stop(), while the old
    capture is still inside a hung open: the new workers run until the next stop."""
    hung, leave = threading.Event(), threading.Event()

    def video_capture(addr, *args):
        if addr == "hung":
            hung.set()
            leave.wait(30)
        return Camera(cams, addr, *args)
    cams.fake()
    cams.cv2.VideoCapture = video_capture
    fake_sdk.answer = {"alarmBehavior": [alarm("T")]}
    os.mkdir("rtsp_result")
    q = queue.Queue(maxsize=1)
    old = background(engine.video_stream_capture, "hung", q, 0)
    try:
        assert hung.wait(10)
        engine.stop()
        new = [background(engine.video_stream_capture, "cam", q, 0),
               background(engine.process_frames, q, main.cfg, "./rtsp_result/")]
        assert wait_for(lambda: counters("T"), 15), "the workers started after stop() did not run"
    finally:
        leave.set()
    old.thread.join(15)
    assert not old.thread.is_alive() and old.error is None
    seen = len(counters("T"))
    assert wait_for(lambda: len(counters("T")) > seen, 15), "the old capture's leaving ended the fresh run"
    assert all(run.thread.is_alive() for run in new)
