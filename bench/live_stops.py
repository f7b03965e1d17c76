"""Benchmark rows of live runs that must end: a camera frozen with its socket open
(the RTSP server stopped with SIGSTOP) and an address that accepts and never answers,
for test_rtsp and for the plain Python pipeline of bench/reference.py."""
import contextlib
import os
import signal
import socket
import threading
import time

import main
import reference as ref
from rtsp_server import RtspServer, rtsp_unavailable_reason

ALL = list(main.devBehavior)
CAP = 120.0  # seconds a plain-loop figure is waited for at most


class Restarts:
    """Standard output that notes when "rtsp restart..." is printed."""

    def __init__(self):
        self.times = []

    def write(self, text):
        self.times.extend(time.monotonic() for line in text.splitlines() if line == "rtsp restart...")
        return len(text)

    def flush(self):
        pass


class Live:
    """test_rtsp (engine) or the plain pipeline on a daemon thread."""

    def __init__(self, side, addr):
        self.detector = ref.Detector(alarm=False)
        if side == "engine":
            engine = main.VisionEngin()
            engine.predict = self.detector
            call, self.stop = (lambda: engine.test_rtsp(addr)), engine.stop
        else:
            pipeline = ref.LivePipeline(self.detector, addr, ALL)
            call, self.stop = pipeline.run, pipeline.stop
        self.returned = None
        self.thread = threading.Thread(target=self._run, args=(call,), daemon=True)
        self.thread.start()

    def _run(self, call):
        try:
            call()
        finally:
            self.returned = time.monotonic()

    def stop_time(self):
        """Seconds from stop() to the run's return, or None past CAP."""
        asked = time.monotonic()
        self.stop()
        self.thread.join(CAP)
        return None if self.returned is None else self.returned - asked


def wait(condition, timeout):
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.02)
    return condition()


def figure(seconds, unit="s"):
    if seconds is None:
        return "> %.0f s" % CAP
    return "%.0f ms" % (seconds * 1000) if unit == "ms" else "%.1f s" % seconds


def frozen_camera(side, server):
    """(freeze -> first restart, stop() during a freeze -> return) for one side."""
    out = Restarts()
    with contextlib.redirect_stdout(out):
        live = Live(side, server.url)
        wait(lambda: live.detector.calls >= 5, 30)
        os.kill(server.proc.pid, signal.SIGSTOP)
        frozen = time.monotonic()
        try:
            noticed = out.times[0] - frozen if wait(lambda: out.times, CAP) else None
        finally:
            os.kill(server.proc.pid, signal.SIGCONT)
        wait(lambda: live.detector.calls >= 10, 30)  # streaming again
        os.kill(server.proc.pid, signal.SIGSTOP)
        try:
            time.sleep(1.0)
            took = live.stop_time()
        finally:
            os.kill(server.proc.pid, signal.SIGCONT)
    return noticed, took


def silent_listener(side):
    """stop() -> return while the run's open hangs on an address that never answers."""
    with socket.socket() as listener, contextlib.redirect_stdout(Restarts()):
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        live = Live(side, "rtsp://127.0.0.1:%d/cam" % listener.getsockname()[1])
        time.sleep(2.0)
        return live.stop_time()


def bench(row, log, work):
    reason = rtsp_unavailable_reason()
    if reason:
        row("live stops", "skipped", note=reason)
        return
    results = {}
    with RtspServer(width=640, height=480, fps=25) as server:
        for side in ("engine", "plain"):
            log("live stops:", side, "frozen camera")
            results[side] = frozen_camera(side, server)
    (e_noticed, e_stop), (p_noticed, p_stop) = results["engine"], results["plain"]
    row("camera frozen -> first \"rtsp restart...\"", figure(e_noticed), figure(p_noticed),
        note="server stopped with SIGSTOP; read bound 5 s")
    row("stop() -> test_rtsp returns, camera frozen", figure(e_stop, "ms"), figure(p_stop, "ms"),
        note="stop() 1 s into the freeze")
    for side in ("engine", "plain"):
        log("live stops:", side, "silent listener")
        results[side] = silent_listener(side)
    row("stop() -> test_rtsp returns, open hangs", figure(results["engine"], "ms"),
        figure(results["plain"], "ms"), note="listener that accepts and never answers; open bound 10 s")
