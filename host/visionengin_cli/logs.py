"""Logging, set up once for every command before its run (``setup``), in the
style its parser names (``log_style``): one line per record on standard error,
secrets masked, tracebacks only with --debug."""
from __future__ import annotations

import logging
import os
import sys
import threading
from typing import Any, Optional

from .errors import PROG, one_line
from .secrets import MaskingFilter

# The styles a command's parser may name as its default ``log_style``:
LINES = "lines"          # one-shot commands: warnings and errors, --verbose for more
TIMED_LINES = "timed"    # the page's server: the same, each line with its time off the journal
SERVICE = "service"      # the cameras: information too, a rich console on a terminal
COLLECTOR = "collector"  # the collector: information too, plain lines

class OneLineFormatter(logging.Formatter):
    """Log records as single lines, passwords masked; tracebacks only with --debug."""

    def __init__(self, debug: bool) -> None:
        super().__init__()
        self.debug = debug

    def format(self, record: logging.LogRecord) -> str:
        text = "{}: {}: {}".format(PROG, record.levelname.lower(), one_line(record.getMessage()))
        if self.debug and record.exc_info:
            text += "\n" + self.formatException(record.exc_info)
        return text


class StderrHandler(logging.StreamHandler):  # type: ignore[type-arg]
    """Writes to the ``sys.stderr`` of the moment, so a live status display that
    takes standard error over prints the lines above itself."""

    def __init__(self) -> None:
        super().__init__(sys.stderr)

    def emit(self, record: logging.LogRecord) -> None:
        self.stream = sys.stderr
        super().emit(record)


def configure_logging(debug: bool, verbose: bool = False, timed: bool = False) -> None:
    """``timed``: each line starts with its time where standard error is
    neither a terminal nor the journal (a file, a pipe)."""
    from .stamps import for_stream

    handler = StderrHandler()
    handler.setFormatter(for_stream(OneLineFormatter(debug), sys.stderr) if timed
                         else OneLineFormatter(debug))
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(logging.DEBUG if debug else logging.INFO if verbose else logging.WARNING)
    threading.excepthook = _thread_failed


def _thread_failed(failure: Any) -> None:
    """An error that ends a thread (a detector failing in the engine's processing
    thread) is one line too, not the interpreter's traceback."""
    if issubclass(failure.exc_type, SystemExit):
        return
    name = failure.thread.name if failure.thread is not None else "?"
    logging.getLogger(PROG).error(
        "thread %s: %s: %s", name, failure.exc_type.__name__, failure.exc_value,
        exc_info=(failure.exc_type, failure.exc_value, failure.exc_traceback))


def quiet_native_logs(debug: bool) -> None:
    """OpenCV's and FFmpeg's own log lines off unless debugging. Read when ``cv2``
    is imported, so this comes first; values the user set are kept."""
    if debug:
        return
    os.environ.setdefault("OPENCV_LOG_LEVEL", "SILENT")
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")  # FFmpeg's AV_LOG_QUIET




def _service(debug: bool, timed: bool) -> Optional[Any]:
    """The rich console on a terminal (log lines print above the camera table),
    one plain line per record elsewhere, with its time (``timed``) unless in
    the journal. Returns the console or None."""
    from .stamps import for_stream

    root = logging.getLogger()
    root.setLevel(logging.DEBUG if debug else logging.INFO)
    if timed and sys.stderr.isatty():
        from rich.console import Console
        from rich.logging import RichHandler

        console = Console(stderr=True)
        handler: logging.Handler = RichHandler(console=console, show_path=False, markup=False)
        handler.addFilter(MaskingFilter())
        root.handlers[:] = [handler]
        return console
    handler = logging.StreamHandler(sys.stderr)
    plain = logging.Formatter("visionengin: %(levelname)s: %(message)s")
    handler.setFormatter(for_stream(plain, sys.stderr) if timed else plain)
    handler.addFilter(MaskingFilter())
    root.handlers[:] = [handler]
    return None


def setup(style: str, debug: bool, verbose: bool = False) -> Optional[Any]:
    """Logging for a command's run, once; returns the cameras' rich console, if any."""
    quiet_native_logs(debug)
    if style in (SERVICE, COLLECTOR):
        threading.excepthook = _thread_failed
        return _service(debug, timed=style == SERVICE)
    configure_logging(debug, verbose, timed=style == TIMED_LINES)
    return None
