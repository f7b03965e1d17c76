"""The capture worker: modes, read counter, reconnection with back-off, drop-oldest,
bounded opening, and video files read through the whole pipeline."""
import queue
import time
import types

import cv2
import numpy as np
import pytest

import main
from conftest import alarm, make_video

from .conftest import RESTART, Camera, counters, refused_addr, wait_for

BOUNDS = (cv2.CAP_ANY, [cv2.CAP_PROP_OPEN_TIMEOUT_MSEC, 10000, cv2.CAP_PROP_READ_TIMEOUT_MSEC, 5000])
# Stream addresses go to FFmpeg where it is built in: after its failure CAP_ANY would
# try GStreamer, whose open takes no bound.
STREAM_BOUNDS = (cv2.CAP_FFMPEG if cv2.videoio_registry.hasBackend(cv2.CAP_FFMPEG) else cv2.CAP_ANY,
                 BOUNDS[1])


@pytest.mark.timeout(30)
@pytest.mark.parametrize("source", ["video", "images", "bounds refused", "refused stream"])
def test_opens_with_bounds_and_plainly_where_they_are_refused(engine, cams, workdir, background, source):
    """Addresses that open the plain way still open; a stream address never falls back
    to the unbounded open."""
    if source == "images":
        for i in range(3):
            cv2.imwrite(str(workdir / ("img%02d.png" % i)), np.full((8, 8, 3), 50, np.uint8))
        addr = str(workdir / "img%02d.png")
    else:
        addr = refused_addr() if source == "refused stream" else make_video(workdir / "v.avi")
    if source == "bounds refused":  # a back end that opens nothing when given the bounds
        cams.cv2.VideoCapture = lambda a, *args: Camera(cams, a if not args else "", *args)
    q = queue.Queue(maxsize=1)
    background(engine.video_stream_capture, addr, q, 0)
    if source == "refused stream":
        assert wait_for(lambda: len(cams.opened) >= 2, 10)
        assert all(c.args == STREAM_BOUNDS for c in cams.opened)
        return
    n, frame = q.get(timeout=10)
    assert frame.shape[2] == 3 and cams.opened[0].args == BOUNDS
    second = [c.args for c in cams.opened[1:2]]  # a reopen at the end of the file has the bounds
    assert second == [()] if source == "bounds refused" else second in ([], [BOUNDS])


class OpenCVWithoutBounds(types.ModuleType):
    """An OpenCV from before the open and read bounds."""

    def __init__(self, opencv):
        super().__init__("cv2")
        self.opencv = opencv

    def __getattr__(self, name):
        if name.endswith("_TIMEOUT_MSEC"):
            raise AttributeError(name)
        return getattr(self.opencv, name)


class DriverError(Exception):
    pass


@pytest.mark.timeout(30)
@pytest.mark.parametrize("source", ["stream", "video", "opencv without bounds"])
def test_open_error_propagates_where_opencv_takes_the_bounds(engine, cams, workdir, background, monkeypatch,
                                                              source):
    """An error of the bounded open reaches the caller, and nothing opens a second time;
    an OpenCV without the bounds opens a stream address the plain way."""
    addr = make_video(workdir / "v.avi") if source == "video" else refused_addr()
    calls = []

    def video_capture(a, *args):
        calls.append(args)
        if args:
            raise DriverError("the camera driver failed")
        return Camera(cams, a)
    cams.cv2.VideoCapture = video_capture
    if source == "opencv without bounds":
        monkeypatch.setattr(main, "cv2", OpenCVWithoutBounds(cams.cv2))
    run = background(engine.video_stream_capture, addr, queue.Queue(maxsize=1), 0)
    if source == "opencv without bounds":
        assert wait_for(lambda: len(calls) >= 2, 10) and all(args == () for args in calls)
        return
    run.thread.join(10)
    assert isinstance(run.error, DriverError) and len(calls) == 1 and calls[0][1][::2] == BOUNDS[1][::2]


@pytest.mark.timeout(20)
@pytest.mark.parametrize("mode, continuous", [
    (0, True), ("0", True), (0.0, True), (1, False), (-1, False), ("2", False), (True, False)])
def test_mode_selects_continuous_or_on_demand(engine, cams, background, mode, continuous):
    cams.fake()
    q = queue.Queue(maxsize=1)
    background(engine.video_stream_capture, "cam", q, mode)
    assert wait_for(q.full, 5)
    time.sleep(0.3)
    [camera] = cams.opened  # while the queue stays full no other capture opens
    n, frame = q.get(timeout=1)
    assert frame[0, 0, 0] == n
    if continuous:  # one capture, still read: the waiting frame is replaced
        assert camera.reads > 3 and not camera.released and n > 1
    else:  # one fresh capture per frame, released after its single read
        assert camera.reads == 1 and camera.released and n == 1


@pytest.mark.timeout(10)
@pytest.mark.parametrize("mode, error", [("x", ValueError), (None, TypeError), ("1.5", ValueError)])
def test_bad_mode_raises_before_any_capture(engine, cams, mode, error):
    with pytest.raises(error):
        engine.video_stream_capture("cam", queue.Queue(maxsize=1), mode)
    assert cams.opened == []


@pytest.mark.timeout(20)
@pytest.mark.parametrize("k", [0, 1, 4])
def test_failed_reads_reconnect_once_each_with_back_off(engine, cams, background, capsys, k):
    cams.fake(fail=k)
    q, started = queue.Queue(maxsize=1), time.monotonic()
    background(engine.video_stream_capture, "cam", q, 0)
    n, frame = q.get(timeout=10)
    elapsed = time.monotonic() - started
    assert n >= k + 1 and frame[0, 0, 0] == n  # a busy machine may let a newer frame replace it
    assert capsys.readouterr().out.splitlines() == [RESTART] * k
    assert len(cams.opened) == k + 1
    # Reopens wait 0, 0.1, 0.2, 0.4 s: the first at once, then doubling.
    assert elapsed >= {0: 0, 1: 0, 4: 0.7}[k] - 0.01
    for old in range(1, k + 1):  # the new capture exists before the old one goes
        assert cams.events.index(("open", old + 1)) < cams.events.index(("drop", old))
        assert ("release", old) not in cams.events[:cams.events.index(("open", old + 1))]


@pytest.mark.timeout(20)
def test_stop_cuts_the_back_off_wait_short(engine, cams, background, capsys):
    cams.fake(fail=1 << 40)
    run, out = background(engine.video_stream_capture, "cam", queue.Queue(maxsize=1), 0), []
    assert wait_for(lambda: out.append(capsys.readouterr().out) or "".join(out).count(RESTART) >= 6)
    assert run.stop() < 0.8  # the sixth failure has just begun a 1.6 s wait
    assert run.error is None and cams.opened[-1].released


class EmptiedQueue(queue.Queue):
    """A queue whose consumer always wins the race: full() says yes even when empty."""

    def full(self):
        return True


@pytest.mark.timeout(20)
def test_drop_oldest_never_waits_for_an_emptied_queue(engine, cams, background):
    cams.fake()
    q = EmptiedQueue(maxsize=1)
    run = background(engine.video_stream_capture, "cam", q, 0)
    assert q.get(timeout=5)[0] < q.get(timeout=5)[0] and run.error is None


@pytest.mark.timeout(40)
def test_video_file_is_read_to_the_end_and_reopened(engine, fake_sdk, workdir, background, capsys):
    video = make_video(workdir / "ten.avi", frames=10)
    fake_sdk.answer = {"alarmBehavior": [alarm("motion")]}
    run = background(engine.test_rtsp, video)
    # Attempt 11 fails at the end of the file; the reopened file gives n = 12...
    assert wait_for(lambda: counters()[-1:] > [12], 20)
    run.stop()
    assert RESTART in capsys.readouterr().out
    for n in counters()[:25]:
        im = cv2.imread("rtsp_result/motion-%d.jpg" % n)
        assert abs(im.mean() - 10 * ((n - 1) % 11 + 1)) < 6, n  # frame ((n-1) % 11) + 1


@pytest.mark.timeout(40)
def test_on_demand_opens_a_fresh_capture_per_frame(engine, fake_sdk, workdir, cams, queues, background, capsys):
    video = make_video(workdir / "ten.avi", frames=10)
    fake_sdk.answer = lambda im, cfg: time.sleep(0.05) or {"alarmBehavior": [alarm("motion")]}
    run = background(engine.test_rtsp, video, 1)
    assert wait_for(lambda: len(counters()) >= 6, 20)
    run.stop()  # a run still going may be between opening a capture and reading it
    done = counters()
    assert max(queues[0][0].sizes) == 1 and done == list(range(1, len(done) + 1))
    assert len(done) <= len(cams.opened) <= len(done) + 3
    assert all(c.reads == 1 for c in cams.opened[:len(done)]) and all(c.reads <= 1 for c in cams.opened)
    assert all(c.released for c in cams.opened)
    for n in done:  # always the first frame of the file, from a new connection
        assert abs(cv2.imread("rtsp_result/motion-%d.jpg" % n).mean() - 10) < 6
    assert RESTART not in capsys.readouterr().out
