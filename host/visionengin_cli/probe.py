"""Checks of the command's inputs before the engine sees them, each failure a
reason the user can act on: a picture or video file that OpenCV cannot read, and
a stream address that does not open or delivers no frame (why, where it can be
known: unknown host, connection refused, no answer, the server's own refusal).

OpenCV only says "not opened"; the reasons come from the file system and, for
network addresses, from a connection of our own (and, for RTSP, the server's
answer to a DESCRIBE request, sent without the credentials)."""
from __future__ import annotations

import contextlib
import importlib
import os
import socket
import sys
import threading
from typing import Any, Iterator, Optional, Union
from urllib.parse import urlsplit, urlunsplit

OPEN_SECONDS = 10.0  # bounds of the stream check: a slow camera still opens
READ_SECONDS = 10.0
CONNECT_SECONDS = OPEN_SECONDS  # a host that does not answer is told within the open's bound
DEFAULT_PORTS = {"rtsp": 554, "rtsps": 322, "rtmp": 1935, "http": 80, "https": 443}


def file_problem(path: str, what: str) -> Optional[str]:
    """Why ``path`` cannot be a ``what`` file, judged by the file system alone."""
    if os.path.isdir(path):
        return "{} is a folder, not a {}".format(path, what)
    if not os.path.exists(path):
        return "no such {}: {}".format(what, path)
    try:
        with open(path, "rb") as handle:
            empty = not handle.read(1)
    except OSError as error:
        return "cannot read the {} {}: {}".format(what, path, error.strerror or error)
    if empty:
        return "the {} {} is empty".format(what, path)
    return None


@contextlib.contextmanager
def native_stderr_quiet(quiet: bool) -> Iterator[None]:
    """Native lines on file descriptor 2 dropped while a file is probed. A file
    that FFmpeg cannot read goes on to GStreamer where OpenCV has it (a system
    OpenCV), and GLib's criticals about it have no log level to turn down."""
    if not quiet:
        yield
        return
    sys.stderr.flush()
    saved = os.dup(2)
    try:
        null = os.open(os.devnull, os.O_WRONLY)
        os.dup2(null, 2)
        os.close(null)
        yield
    finally:
        os.dup2(saved, 2)
        os.close(saved)


def opencv() -> Any:
    """OpenCV, imported when first needed (after the native log levels are set).
    Typed as Any: a system OpenCV ships no type information, PyPI's wheel does."""
    return importlib.import_module("cv2")


def picture_problem(path: str) -> Optional[str]:
    problem = file_problem(path, "picture")
    if problem is None:
        cv2 = opencv()
        if cv2.imread(path) is None:
            problem = "{} is not a picture OpenCV can read".format(path)
    return problem


def video_problem(path: str) -> Optional[str]:
    problem = file_problem(path, "video")
    if problem is None:
        cv2 = opencv()
        capture = cv2.VideoCapture(path)
        try:
            if not (capture.isOpened() and capture.read()[0]):
                problem = "{} is not a video OpenCV can read".format(path)
        finally:
            capture.release()
    return problem


def frame_count(path: str) -> int:
    """The container's frame count, 0 when it does not say."""
    cv2 = opencv()
    capture = cv2.VideoCapture(path)
    try:
        return max(0, int(capture.get(cv2.CAP_PROP_FRAME_COUNT)))
    finally:
        capture.release()


def stream_problem(addr: Union[str, int], shown: str) -> Optional[str]:
    """None when ``addr`` opens and delivers a frame, else why not, naming the
    address as ``shown`` (the password masked). Bounded in time; runs on a
    thread of its own so that Ctrl-C and SIGTERM are heard meanwhile."""
    network = isinstance(addr, str) and "://" in addr
    if network:  # a silent host would leave a blank terminal meanwhile
        print("visionengin: opening {}: up to {:.0f} s".format(shown, OPEN_SECONDS),
              file=sys.stderr, flush=True)
    result = []
    thread = threading.Thread(target=lambda: result.append(_stream_problem(addr, shown)),
                              name="visionengin-probe", daemon=True)
    thread.start()
    limit = OPEN_SECONDS + READ_SECONDS + CONNECT_SECONDS + 5.0
    waited = 0.0
    while thread.is_alive() and waited < limit:
        thread.join(0.2)  # short joins: a signal handler runs between them
        waited += 0.2
    if not result:
        return "cannot open the stream {}: no frame within {:.0f} s".format(shown, limit)
    return result[0]


def _stream_problem(addr: Union[str, int], shown: str) -> Optional[str]:
    cv2 = opencv()
    network = isinstance(addr, str) and "://" in addr
    if network:
        # The host first: one that is unknown, refuses or stays silent is told
        # at once, or within the open's bound, not after it.
        reason = _unreachable(str(addr))
        if reason is not None:
            return "cannot open the stream {}: {}".format(shown, reason)
        # FFmpeg, as the engine opens streams where OpenCV has it: GStreamer's
        # open, tried next under CAP_ANY, takes no bound.
        registry = getattr(cv2, "videoio_registry", None)
        ffmpeg = registry is not None and registry.hasBackend(cv2.CAP_FFMPEG)
        capture = cv2.VideoCapture(addr, cv2.CAP_FFMPEG if ffmpeg else cv2.CAP_ANY, [
            cv2.CAP_PROP_OPEN_TIMEOUT_MSEC, int(OPEN_SECONDS * 1000),
            cv2.CAP_PROP_READ_TIMEOUT_MSEC, int(READ_SECONDS * 1000)])
    else:
        capture = cv2.VideoCapture(addr)
    try:
        if capture.isOpened():
            if capture.read()[0]:
                return None
            return "the stream {} opened but delivered no frame".format(shown)
    finally:
        capture.release()
    if isinstance(addr, int):
        reason = "no camera with index {}".format(addr)
    elif network:
        reason = _network_reason(addr)
    else:
        reason = _local_reason(addr)
    return "cannot open the stream {}: {}".format(shown, reason)


def _local_reason(path: str) -> str:
    if os.path.isdir(path):
        return "a folder, not a video or device"
    if not os.path.exists(path):
        return "no such file or device (nor an address such as rtsp://host/path)"
    if not os.access(path, os.R_OK):
        return "permission denied"
    return "OpenCV cannot read it as video"


def network_reason(addr: str) -> str:
    """Why a network address gives no video, as far as a connection of our own
    tells; bounded by CONNECT_SECONDS."""
    return _network_reason(addr)


def _unreachable(addr: str) -> Optional[str]:
    """The reason when the host cannot be reached at all, else None."""
    reason = _network_reason(addr)
    return None if reason.startswith(("the server", "OpenCV cannot")) else reason


def _network_reason(addr: str) -> str:
    parts = urlsplit(addr)
    host = parts.hostname
    if not host:
        return "no host in the address"
    try:
        port = parts.port or DEFAULT_PORTS.get(parts.scheme.lower())
    except ValueError:
        return "bad port in the address"
    if port is None:
        return "OpenCV cannot open this kind of address"
    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM)
    except (socket.gaierror, UnicodeError):
        return "unknown host {}".format(host)
    family, kind, proto, _, where = infos[0]
    try:
        with socket.socket(family, kind, proto) as connection:
            connection.settimeout(CONNECT_SECONDS)
            connection.connect(where)
            if parts.scheme.lower() == "rtsp":
                answer = _rtsp_describe(connection, parts)
                if answer:
                    return "the server answered {}".format(answer)
    except ConnectionRefusedError:
        return "connection refused by {}:{}".format(host, port)
    except socket.timeout:
        return "no answer from {}:{} within {:.0f} s".format(host, port, CONNECT_SECONDS)
    except OSError as error:
        return "{}:{}: {}".format(host, port, error.strerror or error)
    return "the server at {}:{} gave no video".format(host, port)


def _rtsp_describe(connection: Any, parts: Any) -> Optional[str]:
    """The status of the server's answer to DESCRIBE when it is no success
    ("404 Not Found", "401 Unauthorized"); the credentials are not sent."""
    netloc = parts.hostname + (":{}".format(parts.port) if parts.port else "")
    url = urlunsplit((parts.scheme, netloc, parts.path, parts.query, ""))
    connection.sendall("DESCRIBE {} RTSP/1.0\r\nCSeq: 1\r\nAccept: application/sdp\r\n\r\n"
                       .format(url).encode("ascii", "replace"))
    status = connection.recv(1024).split(b"\r\n", 1)[0].decode("ascii", "replace").split(" ", 2)
    if len(status) == 3 and status[0].startswith("RTSP/") and not status[1].startswith("2"):
        return "{} {}".format(status[1], status[2].strip())
    return None
