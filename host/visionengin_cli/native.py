"""Lines that native code writes straight to file descriptor 2, past every log
level: libjpeg's "Premature end of JPEG file" for a truncated picture, printed
once by the check of the picture and again by the engine's own read.

``NativeLines`` keeps them off the terminal while a picture is read and tells
each distinct line once, through ``logging``, naming the picture."""
from __future__ import annotations

import contextlib
import logging
import os
import sys
import tempfile
from typing import Iterator, List, Set

log = logging.getLogger("visionengin")

CAPTURE_BYTES = 64 * 1024  # what is read back of one capture: a picture's warnings fit


class NativeLines:
    def __init__(self, about: str) -> None:
        self.about = about
        self.told: Set[str] = set()

    @contextlib.contextmanager
    def captured(self) -> Iterator[List[str]]:
        """While inside, native lines on fd 2 are kept off the terminal, and on
        the way out handed back in the list yielded. Python's own standard error
        (log lines, the engine's warnings) still reaches the user meanwhile."""
        lines: List[str] = []
        with _fd2_captured(lines):
            yield lines

    def tell(self, lines: List[str], level: int = logging.WARNING) -> None:
        """Each line not told before, logged at ``level``."""
        for line in lines:
            if line not in self.told:
                self.told.add(line)
                log.log(level, "%s: %s", self.about, line)


@contextlib.contextmanager
def _fd2_captured(lines: List[str]) -> Iterator[None]:
    python_stderr = sys.stderr
    try:
        python_stderr.flush()
        capture = tempfile.TemporaryFile()
    except (OSError, ValueError, AttributeError):  # nowhere to keep them: they go their way
        yield
        return
    with capture:
        saved = os.dup(2)
        try:
            os.dup2(capture.fileno(), 2)
            # Python's standard error goes on to where fd 2 went before
            sys.stderr = open(saved, "w", buffering=1, closefd=False,
                              encoding=getattr(python_stderr, "encoding", None) or "utf-8",
                              errors="backslashreplace")
            try:
                yield
            finally:
                try:
                    sys.stderr.close()
                finally:
                    sys.stderr = python_stderr
        finally:
            os.dup2(saved, 2)
            os.close(saved)
        capture.seek(0)
        text = capture.read(CAPTURE_BYTES).decode("utf-8", "replace")
    lines.extend(dict.fromkeys(line.strip() for line in text.splitlines() if line.strip()))
