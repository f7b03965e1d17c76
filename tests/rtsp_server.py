"""Test helper: a real H.264 RTSP server on 127.0.0.1 that a test starts and
stops itself.

The server (tools/rtsp_server.py) needs Debian's GStreamer GI bindings, which
import only under /usr/bin/python3, so it always runs as a separate process
started with that interpreter, even when the tests run in a virtualenv.
tools/install-system-deps installs what it needs.

    with RtspServer(width=320, height=240) as srv:
        cap = cv2.VideoCapture(srv.url)
        ...
        srv.kill()      # camera dies: reads fail once buffered frames are gone
        srv.restart()   # camera comes back on the same URL
"""

import functools
import os
import select
import signal
import socket
import subprocess
import tempfile
import time
from pathlib import Path

REPO_ROOT = Path(__file__).resolve().parent.parent
SERVER_SCRIPT = REPO_ROOT / "tools" / "rtsp_server.py"
# The arm64 test run (tools/arm64/) sets this to a stand-in that runs the server
# natively outside its emulated root.
SYSTEM_PYTHON = os.environ.get("RTSP_SERVER_PYTHON", "/usr/bin/python3")

_PROBE = """
import gi
gi.require_version("Gst", "1.0")
gi.require_version("GstRtspServer", "1.0")
from gi.repository import Gst, GstRtspServer
Gst.init(None)
find = Gst.ElementFactory.find
missing = [e for e in ("videotestsrc", "videoconvert", "rtph264pay") if not find(e)]
if not (find("x264enc") or find("openh264enc")):
    missing.append("x264enc|openh264enc")
if missing:
    raise SystemExit("missing GStreamer elements: " + ", ".join(missing))
"""


@functools.lru_cache(maxsize=None)
def rtsp_unavailable_reason():
    """None when the RTSP server can run here, else why not (for a skip)."""
    hint = " (run tools/install-system-deps as root)"
    if not os.access(SYSTEM_PYTHON, os.X_OK):
        return "no %s%s" % (SYSTEM_PYTHON, hint)
    try:
        proc = subprocess.run([SYSTEM_PYTHON, "-c", _PROBE], capture_output=True,
                              text=True, timeout=60)
    except subprocess.TimeoutExpired:
        return "probing the GStreamer RTSP bindings timed out"
    if proc.returncode != 0:
        lines = (proc.stderr or proc.stdout).strip().splitlines() or ["?"]
        return "%s cannot run the GStreamer RTSP server: %s%s" % (
            SYSTEM_PYTHON, lines[-1], hint)
    return None


def rtsp_available():
    """Whether /usr/bin/python3 imports GstRtspServer and has an H.264 encoder."""
    return rtsp_unavailable_reason() is None


def require_rtsp():
    """Skip the calling test, with the reason, when the server cannot run."""
    reason = rtsp_unavailable_reason()
    if reason:
        import pytest
        pytest.skip(reason)


def free_port(host="127.0.0.1"):
    """A TCP port that was free a moment ago (bind to port 0 and close)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind((host, 0))
        return s.getsockname()[1]


def wait_port_free(port, host="127.0.0.1", timeout=5.0):
    """Wait until a listener could bind host:port (with SO_REUSEADDR, as the
    server does); return whether it could within timeout."""
    deadline = time.monotonic() + timeout
    while True:
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            try:
                s.bind((host, port))
                return True
            except OSError:
                pass
        if time.monotonic() >= deadline:
            return False
        time.sleep(0.05)


class RtspServer:
    """One tools/rtsp_server.py process; a context manager.

    port=None lets the server bind a free port itself (no race with other
    processes); the port is then kept for restart(). still_left=True: the
    test pattern moves in the right half only. fps defaults to 25:
    OpenCV's FFmpeg probes about 28 frames before VideoCapture() returns, so
    opening takes ~1.2 s at 25 fps against ~3 s at 10 fps.
    """

    def __init__(self, port=None, path="/cam", source="testsrc", width=640,
                 height=480, fps=25, host="127.0.0.1", ready_timeout=10.0, still_left=False):
        self.host = host
        self.port = port
        self.path = path if path.startswith("/") else "/" + path
        self.source = str(source)
        self.width, self.height, self.fps = width, height, fps
        self.ready_timeout = ready_timeout
        self.still_left = still_left  # the test pattern moves in the right half only
        self.proc = None
        self._stderr = None

    @property
    def url(self):
        if self.port is None:
            raise RuntimeError("RtspServer not started yet")
        return "rtsp://%s:%d%s" % (self.host, self.port, self.path)

    @property
    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def start(self):
        if self.running:
            raise RuntimeError("RtspServer already running at %s" % self.url)
        self._close_pipes()
        cmd = [SYSTEM_PYTHON, str(SERVER_SCRIPT), "--watch-stdin",
               "--host", self.host, "--port", str(self.port or 0),
               "--path", self.path, "--source", self.source,
               "--width", str(self.width), "--height", str(self.height),
               "--fps", str(self.fps)] + (["--still-left"] if self.still_left else [])
        self._stderr = tempfile.TemporaryFile()
        # stdin stays open for the server's lifetime: if this process dies,
        # the server sees EOF and exits, so no server outlives its tests.
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self._stderr,
                                     start_new_session=True)
        try:
            line = self._read_ready_line()
        except BaseException:
            self.kill()
            raise
        url = line.split()[1]
        self.port = int(url.rsplit(":", 1)[1].split("/", 1)[0])
        return self

    def _read_ready_line(self):
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + self.ready_timeout
        buf = b""
        while b"\n" not in buf:
            remaining = deadline - time.monotonic()
            if remaining <= 0:
                raise RuntimeError("RTSP server not ready within %.0f s%s"
                                   % (self.ready_timeout, self._stderr_tail()))
            ready, _, _ = select.select([fd], [], [], remaining)
            if ready:
                chunk = os.read(fd, 4096)
                if not chunk:
                    code = self.proc.wait(timeout=5)
                    raise RuntimeError("RTSP server exited with %s before READY%s"
                                       % (code, self._stderr_tail()))
                buf += chunk
        line = buf.split(b"\n", 1)[0].decode(errors="replace").strip()
        if not line.startswith("READY rtsp://"):
            raise RuntimeError("unexpected line from RTSP server: %r" % line)
        return line

    def _stderr_tail(self):
        if self._stderr is None:
            return ""
        self._stderr.seek(0)
        text = self._stderr.read().decode(errors="replace").strip()
        return (":\n" + text[-2000:]) if text else ""

    def stop(self, grace=3.0):
        """SIGTERM, then SIGKILL if the server is still there after grace s."""
        if self.running:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=grace)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(timeout=10)
        self._close_pipes()

    def kill(self):
        """SIGKILL, as a camera that dies without saying goodbye."""
        if self.running:
            self.proc.kill()
            self.proc.wait(timeout=10)
        self._close_pipes()

    def restart(self):
        """Start again on the same port (after kill() or stop())."""
        self.stop()
        if self.port is not None:
            wait_port_free(self.port, self.host)
        return self.start()

    def _close_pipes(self):
        if self.proc is not None:
            for pipe in (self.proc.stdin, self.proc.stdout):
                if pipe is not None:
                    try:
                        pipe.close()
                    except OSError:
                        pass
        if self._stderr is not None:
            self._stderr.close()
            self._stderr = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()
        return False

    def __repr__(self):
        state = "running" if self.running else "stopped"
        port = self.port if self.port is not None else "?"
        return "<RtspServer %s:%s%s %s>" % (self.host, port, self.path, state)
