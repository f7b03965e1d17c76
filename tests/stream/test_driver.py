"""test_rtsp: the order in which it builds the pipeline, behaviour selection, stop(),
Ctrl-C, and the CPU a waiting pipeline costs."""
import os
import signal
import subprocess
import sys
import threading
import time
import types

import pytest

import main
from conftest import alarm, make_video

from .conftest import refused_addr, wait_for


class Thread(threading.Thread):
    """A real thread whose creation, start and join are logged in `log`."""
    log = []

    def __init__(self, *args, **kwargs):
        self.log.append(("create", args, kwargs))
        super().__init__(*args, **kwargs)
        self.body = kwargs.get("target")

    def start(self):
        self.log.append(("start", self.body))
        super().start()

    def join(self, *args):
        self.log.append(("join", self.body) + args)
        super().join(*args)


@pytest.fixture
def threads(monkeypatch):
    monkeypatch.setattr(Thread, "log", [])
    monkeypatch.setattr(main, "threading", types.SimpleNamespace(Thread=Thread))
    return Thread.log


@pytest.mark.timeout(30)
@pytest.mark.parametrize("bev, rows", [(None, list(main.devBehavior)), ([], [])])
def test_builds_queue_then_capture_then_processing_thread(engine, fake_sdk, workdir, cams, queues, threads,
                                                          background, bev, rows):
    cams.fake()
    run = background(engine.test_rtsp, "cam", bev=bev)
    assert wait_for(lambda: len(fake_sdk.detect_calls) >= 2)
    run.stop()
    [(q, args, kwargs)] = queues
    assert args == () and kwargs == {"maxsize": 1} and os.path.isdir("rtsp_result")
    capture, process = engine.video_stream_capture, engine.process_frames
    assert threads[:4] == [
        ("create", (), {"target": capture, "args": ("cam", q, 0)}), ("start", capture),
        ("create", (), {"target": process, "args": (q, main.cfg, "./rtsp_result/")}), ("start", process)]
    assert threads[4:] == [("join", capture), ("join", process)]
    assert threads[2][2]["args"][1] is main.cfg
    assert fake_sdk.detect_calls[0][2] == [main.devBehavior[k] for k in rows]
    assert run.result is None and run.error is None
    assert list(engine.__dict__) == ["predict", "face_handle", "bev", "adds"] and engine.adds == []


@pytest.mark.timeout(10)
def test_unknown_behaviour_key_raises_before_anything_is_built(engine, workdir, cams, queues, threads):
    with pytest.raises(KeyError):
        engine.test_rtsp("cam", 0, ["5000001", "nope"])
    assert queues == [] and threads == [] and cams.opened == [] and not os.path.exists("rtsp_result")


@pytest.mark.timeout(40)
@pytest.mark.parametrize("mode", [0, 1])
def test_waiting_pipeline_costs_little_cpu_and_stops_at_once(engine, fake_sdk, workdir, background, capsys, mode):
    """Mode 0: the camera is offline (refused port), the processing worker waits in
    its 5 s get. Mode 1: a frame waits for a detector busy with the previous one."""
    assert engine.stop() is None and engine.stop() is None  # no live run: nothing to do
    busy = threading.Event()
    fake_sdk.answer = lambda im, cfg: busy.wait(15) and {"alarmBehavior": [alarm("motion")]}
    run = background(engine.test_rtsp, make_video(workdir / "v.avi") if mode else refused_addr(), mode)
    time.sleep(0.5)
    cpu = time.process_time()
    time.sleep(3)
    cpu = time.process_time() - cpu
    busy.set()
    assert cpu < 0.5, "%.2f s of CPU in 3 s of waiting" % cpu
    assert run.stop() < 1.5 and run.result is None and run.error is None and engine.stop() is None
    assert ("rtsp restart..." in capsys.readouterr().out) == (mode == 0)
    assert list(engine.__dict__) == ["predict", "face_handle", "bev", "adds"]


HOST = """
import signal, sys, threading
import main
signal.signal(signal.SIGINT, signal.default_int_handler)  # even where SIGINT was ignored
engine = main.VisionEngin()
print("started", flush=True)
try:
    engine.test_rtsp(sys.argv[1])
except KeyboardInterrupt:
    print("threads left:", threading.active_count() - 1, flush=True)
    raise
"""


@pytest.mark.slow
@pytest.mark.timeout(60)
@pytest.mark.parametrize("source", ["video", "refused"])
def test_ctrl_c_stops_the_run_and_raises_keyboard_interrupt(workdir, source):
    addr = make_video(workdir / "v.avi", frames=20) if source == "video" else refused_addr()
    (workdir / "host.py").write_text(HOST)
    host = subprocess.Popen([sys.executable, "host.py", addr], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            text=True)
    try:
        assert host.stdout.readline() == "started\n"
        time.sleep(2)
        assert host.poll() is None
        host.send_signal(signal.SIGINT)
        out, err = host.communicate(timeout=15)
    finally:
        host.kill()
    assert out.splitlines()[-1:] == ["threads left: 0"], (out[-200:], err[-1500:])
    assert host.returncode == -signal.SIGINT, err[-1500:]
    assert err.rstrip().splitlines()[-1] == "KeyboardInterrupt"


STOPS = """
import sys, threading, time
import main
class Detect:
    def __init__(self, *args, **kwargs):
        self.face_handle = None
    def main(self, im, cfg):
        time.sleep(0.05)
        return {"alarmBehavior": []}
main.ObjectDetect = Detect
engine = main.VisionEngin()
for i in range(20):
    run = threading.Thread(target=engine.test_rtsp, args=(sys.argv[1], 1))
    run.start()
    time.sleep(0.2)
    end = time.monotonic() + 0.03
    while time.monotonic() < end:  # keep the GIL while the capture worker's 10 ms wait runs out
        pass
    engine.stop()
    run.join()
print("stopped", i + 1)
"""


@pytest.mark.slow
@pytest.mark.timeout(90)
def test_stop_while_a_worker_wakes_up_never_deadlocks(workdir):
    """In a child process, so that a deadlock cannot hang the test session."""
    (workdir / "stops.py").write_text(STOPS)
    try:
        child = subprocess.run([sys.executable, "stops.py", make_video(workdir / "v.avi")], capture_output=True,
                               text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("stop() and a waking worker deadlocked")
    assert child.stdout.splitlines()[-1:] == ["stopped 20"], child.stderr[-1500:]


DAEMON_HOST = """
import sys, threading, time
import main
engine = main.VisionEngin()
threading.Thread(target=engine.test_rtsp, args=(sys.argv[1], int(sys.argv[2])), daemon=True).start()
time.sleep(1.5)
print("exiting")
"""


@pytest.mark.slow
@pytest.mark.timeout(60)
@pytest.mark.parametrize("mode", [0, 1])
def test_host_may_exit_while_a_daemon_thread_runs_the_stream(workdir, mode):
    """Run from a daemon thread, the workers are daemon threads: the host just exits."""
    (workdir / "host.py").write_text(DAEMON_HOST)
    child = subprocess.run([sys.executable, "host.py", make_video(workdir / "v.avi"), str(mode)],
                           capture_output=True, text=True, timeout=30)
    # The workers print too ("rtsp restart..."), so lines may interleave.
    assert child.returncode == 0 and "exiting" in child.stdout, child.stderr[-1500:]
