"""test_rtsp against a real H.264 RTSP server on 127.0.0.1: pictures named with
increasing counters, one waiting frame at most, a camera that dies and comes back,
and stop()."""
import time

import pytest
import rtsp_server

from conftest import alarm

from .conftest import RESTART, counters, wait_for


@pytest.fixture
def server():
    rtsp_server.require_rtsp()
    with rtsp_server.RtspServer(width=320, height=240) as srv:
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
