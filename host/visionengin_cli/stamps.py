"""Where standard error goes decides whether its lines need a time: a
terminal shows them as they come, and systemd's journal stamps every line
itself; a file or a pipe (nohup, a container's log, a redirect) keeps only
what is written, so there each line starts with the time it was written."""
from __future__ import annotations

import datetime
import logging
import os
from typing import Any, Optional, TextIO


def to_journal(stream: TextIO) -> bool:
    """Whether ``stream`` is the journal's: systemd names that stream's device
    and inode in ``JOURNAL_STREAM`` ("DEVICE:INODE")."""
    device, _, inode = os.environ.get("JOURNAL_STREAM", "").partition(":")
    try:
        facts = os.fstat(stream.fileno())
        return (facts.st_dev, facts.st_ino) == (int(device), int(inode))
    except (OSError, ValueError, AttributeError):  # no such variable, no file behind the stream
        return False


def needs_time(stream: TextIO) -> bool:
    try:
        if stream.isatty():
            return False
    except (OSError, ValueError, AttributeError):
        pass
    return not to_journal(stream)


def now() -> str:
    """The local time with its offset to UTC, to the millisecond."""
    return datetime.datetime.now().astimezone().isoformat(timespec="milliseconds")


def stamped(line: str) -> str:
    return now() + " " + line


class StampedFormatter(logging.Formatter):
    """Another formatter's lines, each beginning with the time."""

    def __init__(self, inner: logging.Formatter) -> None:
        super().__init__()
        self.inner = inner

    def format(self, record: logging.LogRecord) -> str:
        return "\n".join(stamped(line) for line in self.inner.format(record).split("\n"))


def for_stream(formatter: logging.Formatter, stream: Optional[Any]) -> logging.Formatter:
    """``formatter``, with times where ``stream`` needs them."""
    return StampedFormatter(formatter) if stream is not None and needs_time(stream) else formatter
