"""The event log read from its end, as the status page reads it: the current
file, then its rotated parts, newest first, within one bound of bytes; a
line still being written (no newline yet) is left out."""
from __future__ import annotations

import collections
import gzip
import logging
import os
from typing import Any, Deque, Iterator, List, Optional

from .rotation import CURRENT, parts

log = logging.getLogger("visionengin.web")
BLOCK = 64 * 1024


def lines_from_end(root: str, max_bytes: int) -> Iterator[bytes]:
    """The lines of the event log and its parts, last first, reading at most
    ``max_bytes`` in all (a compressed part: of its text). A rotation or a
    compression while we read neither skips nor repeats a part: the current
    file is opened between two listings of the parts that agree (no
    rotation in between), a part compressed meanwhile is read compressed,
    and a part that is the current file we read, rotated since, is skipped.
    That file stays open until the end: an inode freed by a compression is
    soon given to the next part's compressed file, so a closed file's inode
    could name another part."""
    current = os.path.join(root, CURRENT)
    opened: Any = None
    for _ in range(5):  # the current file and the parts as one moment saw them
        before = parts(root)
        try:
            opened = open(current, "rb")
        except OSError:
            opened = None
        after = parts(root)
        if after[:1] == before[:1]:
            break
        if opened is not None:  # rotated in between: look again
            opened.close()
            opened = None
        # A writer that rotates at every look: the parts alone, as the last
        # listing saw them, are whole if a little old; with the current file
        # they could leave out the part rotated in between.
        before = after
    try:
        yield from _read_parts(root, max_bytes, opened, [name for _, name in before])
    finally:
        if opened is not None:
            opened.close()


def _read_parts(root: str, budget: int, opened: Any, names: List[str]) -> Iterator[bytes]:
    first: Optional[int] = None
    if opened is not None:
        first = os.fstat(opened.fileno()).st_ino
        size = os.fstat(opened.fileno()).st_size
        yield from _from_end_of(opened, budget)
        budget -= size
    for name in names:
        if budget <= 0:
            return
        path = os.path.join(root, name)
        try:
            file = open(path, "rb")
        except FileNotFoundError:
            if path.endswith(".gz"):
                continue
            path += ".gz"
            try:
                file = open(path, "rb")
            except OSError:
                continue
        except OSError:
            continue
        with file:
            if os.fstat(file.fileno()).st_ino == first:
                continue
            if path.endswith(".gz"):
                lines = _gz_tail(file, path, budget)
                budget -= sum(len(line) + 1 for line in lines)
                yield from (line for line in reversed(lines) if line.strip())
            else:
                size = os.fstat(file.fileno()).st_size
                yield from _from_end_of(file, budget)
                budget -= size


def _gz_tail(file: Any, path: str, budget: int) -> List[bytes]:
    """The last lines of a compressed part, up to ``budget`` bytes of text."""
    lines: Deque[bytes] = collections.deque()
    kept = 0
    try:
        with gzip.open(file, "rb") as text:
            for line in text:
                lines.append(line.rstrip(b"\n"))
                kept += len(line)
                while kept > budget and lines:
                    kept -= len(lines.popleft()) + 1
    except (OSError, EOFError) as error:
        log.warning("skipping unreadable event log part %s: %s", path, error)
    return list(lines)


def _from_end_of(file: Any, max_bytes: int) -> Iterator[bytes]:
    end = file.seek(0, os.SEEK_END)
    start_limit = max(0, end - max_bytes)
    position, rest, tail_found = end, b"", False
    while position > start_limit:
        size = min(BLOCK, position - start_limit)
        position -= size
        file.seek(position)
        chunk = file.read(size) + rest
        if not tail_found:
            if b"\n" not in chunk:
                rest = b""  # all of it belongs to the unfinished last line
                continue
            chunk = chunk[:chunk.rindex(b"\n")]
            tail_found = True
        lines = chunk.split(b"\n")
        rest = lines.pop(0)  # may go on in the block before
        for line in reversed(lines):
            if line.strip():
                yield line
    if position == 0 and tail_found and rest.strip():
        yield rest
