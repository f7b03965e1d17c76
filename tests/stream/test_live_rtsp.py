"""test_rtsp against a real H.264 RTSP server on 127.0.0.1: pictures named with
increasing counters, one waiting frame at most, a camera that dies and comes back,
one that freezes, one that never answers, and stop()."""
import contextlib
import os
import signal
import socket
import time

import pytest
import rtsp_server

from conftest import alarm

from .conftest import RESTART, counters, wait_for

pytestmark = pytest.mark.slow  # starts servers or processes


@contextlib.contextmanager
def frozen(srv):
    """The server process stopped: its sockets stay open and say nothing."""
    os.kill(srv.proc.pid, signal.SIGSTOP)
    try:
        yield
    finally:
        os.kill(srv.proc.pid, signal.SIGCONT)


@pytest.fixture
def server():
    rtsp_server.require_rtsp()
    with rtsp_server.RtspServer(width=320, height=240) as srv:
        srv.frozen = lambda: frozen(srv)
        yield srv


def slow_detector(seconds):
    def detect(im, cfg):
        assert im.shape == (240, 320, 3)
        time.sleep(seconds)
        return {"alarmBehavior": [alarm("motion")]}
    return detect


@pytest.mark.timeout(60)
def test_slow_detector_gets_the_newest_frame_only(engine, fake_sdk, workdir, server, cams, queues, background):
    fake_sdk.answer = slow_detector(0.2)
    run = background(engine.test_rtsp, server.url)
    assert wait_for(lambda: len(counters()) >= 8, 30)
    assert run.stop() < 5
    q = queues[0][0]
    done = counters()
    assert max(q.sizes) == 1 and len(q.sizes) > len(done)  # frames were dropped, never queued up
    assert q.taken[:len(done)] == done  # the detector's frames, in order, each with its picture
    steps = [b - a for a, b in zip(done, done[1:])]
    assert min(steps) >= 1 and max(steps) > 1
    assert len(cams.opened) == 1 and cams.opened[0].released


@pytest.mark.timeout(90)
def test_camera_dies_and_comes_back(engine, fake_sdk, workdir, server, cams, background, capsys):
    fake_sdk.answer = slow_detector(0.02)
    run = background(engine.test_rtsp, server.url)
    assert wait_for(lambda: len(counters()) >= 3, 30)
    server.kill()
    out = []
    assert wait_for(lambda: out.append(capsys.readouterr().out) or RESTART in "".join(out), 15)
    time.sleep(3.5)  # nothing listens: reopens back off 0, 0.1, 0.2, 0.4, 0.8, 1.6 s
    out.append(capsys.readouterr().out)
    restarts = "".join(out).splitlines().count(RESTART)
    assert 3 <= restarts <= 8, restarts
    last = counters()[-1]
    server.restart()
    assert wait_for(lambda: counters()[-1] > last, 30), "no frames after the restart"
    assert run.stop() < 5 and run.error is None
    out.append(capsys.readouterr().out)
    # one new capture per failed read; the one in use at the stop is released
    assert len(cams.opened) == 1 + "".join(out).splitlines().count(RESTART) and cams.opened[-1].released


@pytest.mark.timeout(120)
def test_frozen_camera_is_noticed_and_comes_back(engine, fake_sdk, workdir, server, background, capsys):
    """A server frozen with its socket open (SIGSTOP): the read bound notices it, frames
    come again after SIGCONT, and stop() during a freeze returns at once."""
    fake_sdk.answer = slow_detector(0.02)
    run = background(engine.test_rtsp, server.url)
    assert wait_for(lambda: len(counters()) >= 3, 30)
    capsys.readouterr()
    out, frozen = [], time.monotonic()
    with server.frozen():
        assert wait_for(lambda: out.append(capsys.readouterr().out) or RESTART in "".join(out), 30)
        noticed = time.monotonic() - frozen
    last = counters()[-1]
    assert wait_for(lambda: counters()[-1] > last, 40), "no frames after the freeze"
    with server.frozen():
        time.sleep(1)
        took = run.stop()
    assert took < 3 and run.error is None
    assert 4 < noticed < 20, noticed  # the read bound is 5 s


@pytest.mark.timeout(90)
def test_listener_that_never_answers_bounds_each_open(engine, fake_sdk, workdir, background, capsys):
    """Accepted by the kernel, never answered: each open gives up after its bound, and
    stop() during a hung open returns at once."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        run = background(engine.test_rtsp, "rtsp://127.0.0.1:%d/cam" % listener.getsockname()[1])
        out, started = [], time.monotonic()
        assert wait_for(lambda: out.append(capsys.readouterr().out) or RESTART in "".join(out), 45)
        assert 8 < time.monotonic() - started < 45  # the open bound is 10 s
        time.sleep(1)
        assert run.stop() < 3 and run.error is None
