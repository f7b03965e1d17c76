"""The engine's own lines ("init failed", "rtsp restart...", "wait...", see
``contract``), which it prints to ``sys.stdout``: ``engine_lines`` takes them
off standard output while the engine runs, so that standard output keeps only
the command's results (or, in a camera process, only its messages)."""
from __future__ import annotations

import contextlib
import io
import sys
import threading
from typing import Callable, Iterator, TextIO


class _LineSplitter(io.TextIOBase):
    """Stands for ``sys.stdout`` while the engine runs. ``print`` writes a line in
    pieces (the text, then the end), so each thread keeps its own partial line;
    whole lines that ``take`` refuses go on to ``out`` unchanged."""

    def __init__(self, take: Callable[[str], bool], out: TextIO) -> None:
        super().__init__()
        self._take, self._out = take, out
        self._partial = threading.local()

    def writable(self) -> bool:
        return True

    def write(self, text: str) -> int:
        pending = getattr(self._partial, "text", "") + text
        *lines, rest = pending.split("\n")
        self._partial.text = rest
        for line in lines:
            if not self._take(line):
                self._out.write(line + "\n")
        return len(text)

    def flush(self) -> None:
        self._out.flush()

    def isatty(self) -> bool:
        return self._out.isatty()

    @property
    def encoding(self) -> str:  # type: ignore[override]
        return getattr(self._out, "encoding", "utf-8")


@contextlib.contextmanager
def engine_lines(take: Callable[[str], bool]) -> Iterator[None]:
    """While inside, lines printed to ``sys.stdout`` go to ``take`` first (e.g.
    ``LiveState.engine_line``); those it refuses reach the real standard output."""
    out = sys.stdout
    sys.stdout = _LineSplitter(take, out)
    try:
        yield
    finally:
        sys.stdout = out
