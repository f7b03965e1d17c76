"""The test RTSP server works with OpenCV: frames of the requested size, more
than one client, a killed camera makes read() fail, and a restarted one on
the same URL serves again."""

import sys
import time
from pathlib import Path

import pytest

cv2 = pytest.importorskip("cv2")
np = pytest.importorskip("numpy")

sys.path.insert(0, str(Path(__file__).resolve().parents[1]))
from rtsp_server import RtspServer, free_port, require_rtsp  # noqa: E402

pytestmark = pytest.mark.slow  # starts servers or processes

# Bound every blocking OpenCV call, so that a hung server fails the test
# instead of blocking read() for OpenCV's default 30 s (three times over).
CAPTURE_TIMEOUT_MS = 5000


@pytest.fixture(autouse=True)
def _needs_rtsp_server():
    require_rtsp()


def open_capture(url):
    return cv2.VideoCapture(url, cv2.CAP_FFMPEG, [
        cv2.CAP_PROP_OPEN_TIMEOUT_MSEC, CAPTURE_TIMEOUT_MS,
        cv2.CAP_PROP_READ_TIMEOUT_MSEC, CAPTURE_TIMEOUT_MS,
    ])


def read_frames(cap, n, shape):
    frames = []
    for i in range(n):
        ok, frame = cap.read()
        assert ok, "read() failed at frame %d" % i
        assert frame.shape == shape and frame.dtype == np.uint8
        frames.append(frame)
    return frames


@pytest.mark.timeout(30)
def test_reads_moving_frames_of_requested_size():
    with RtspServer(width=320, height=240) as srv:
        assert srv.url == "rtsp://127.0.0.1:%d/cam" % srv.port
        cap = open_capture(srv.url)
        try:
            assert cap.isOpened()
            frames = read_frames(cap, 10, (240, 320, 3))
        finally:
            cap.release()
    assert any(not np.array_equal(frames[0], f) for f in frames[1:])


@pytest.mark.timeout(40)
def test_concurrent_and_repeated_clients():
    with RtspServer(width=160, height=120) as srv:
        first, second = open_capture(srv.url), open_capture(srv.url)
        try:
            assert first.isOpened() and second.isOpened()
            read_frames(first, 3, (120, 160, 3))
            read_frames(second, 3, (120, 160, 3))
        finally:
            first.release()
            second.release()
        again = open_capture(srv.url)
        try:
            assert again.isOpened()
            read_frames(again, 3, (120, 160, 3))
        finally:
            again.release()


@pytest.mark.timeout(60)
def test_killed_server_fails_read_then_restart_serves_again():
    with RtspServer(width=320, height=240) as srv:
        url = srv.url
        cap = open_capture(url)
        try:
            assert cap.isOpened()
            read_frames(cap, 3, (240, 320, 3))

            srv.kill()
            # Frames already buffered by FFmpeg (about 28) still come out.
            started = time.monotonic()
            for _ in range(500):
                if not cap.read()[0]:
                    break
            else:
                pytest.fail("read() still succeeds after the server was killed")
            assert time.monotonic() - started < 5
        finally:
            cap.release()

        srv.restart()
        assert srv.url == url
        cap = open_capture(url)
        try:
            assert cap.isOpened()
            read_frames(cap, 5, (240, 320, 3))
        finally:
            cap.release()


@pytest.mark.timeout(30)
def test_unknown_path_and_closed_port_fail_fast():
    with RtspServer() as srv:
        started = time.monotonic()
        cap = open_capture(srv.url.replace("/cam", "/nope"))
        assert not cap.isOpened()
        cap = open_capture("rtsp://127.0.0.1:%d/cam" % free_port())
        assert not cap.isOpened()
        assert time.monotonic() - started < 3


def bar_positions(frames, bars):
    """Index of the bright vertical bar in each frame."""
    width = frames[0].shape[1]
    return [int(np.argmax(f.mean(axis=(0, 2)))) * bars // width for f in frames]


@pytest.mark.timeout(60)
def test_file_source_loops(tmp_path):
    bars, size = 5, (160, 120)
    video = tmp_path / "bars.avi"
    writer = cv2.VideoWriter(str(video), cv2.VideoWriter_fourcc(*"MJPG"), 10, size)
    assert writer.isOpened()
    step = size[0] // bars
    for i in range(bars):
        frame = np.zeros((size[1], size[0], 3), np.uint8)
        frame[:, i * step:(i + 1) * step] = 255
        writer.write(frame)
    writer.release()

    # A 0.5 s file served at 25 fps: 60 frames cover it about five times.
    with RtspServer(source=video, width=320, height=240, fps=25) as srv:
        cap = open_capture(srv.url)
        try:
            assert cap.isOpened()
            positions = bar_positions(read_frames(cap, 60, (240, 320, 3)), bars)
        finally:
            cap.release()
    assert set(positions) == set(range(bars)), positions
    wraps = sum(1 for a, b in zip(positions, positions[1:]) if b < a)
    assert wraps >= 2, positions
