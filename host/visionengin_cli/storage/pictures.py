"""Checked writes of whole files, a run of failed writes told once, and the
engine's alarm pictures moved into the camera's dated layout once written
(through the checked writes of ``engine.writes``): a failed write has its
reason, and a partial file is removed at once.
"""
from __future__ import annotations

import errno
import logging
import os
import threading
from typing import Any, Dict, List, Optional, Union

from ..engine.contract import parse_picture_file

Buffer = Union[bytes, bytearray, memoryview]  # anything os.write takes

log = logging.getLogger("visionengin.storage")


def write_all(fd: int, data: Buffer) -> None:
    """Every byte of ``data`` to ``fd``: ``os.write`` may write less than asked."""
    view = memoryview(data)
    while view:
        done = os.write(fd, view)
        if done <= 0:  # pragma: no cover - a file system that takes nothing without an error
            raise OSError(errno.EIO, os.strerror(errno.EIO))
        view = view[done:]


def write_file(path: str, data: Buffer) -> None:
    """``data`` as the whole file ``path``; a failed write leaves no file."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
    try:
        write_all(fd, data)
    except BaseException:
        os.close(fd)
        _remove(path)
        raise
    os.close(fd)


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass


class Trouble:
    """A run of failed writes told once: one warning with the reason when it
    starts, one when writing works again."""

    def __init__(self, what: str, logger: logging.Logger = log) -> None:
        self.what, self.log = what, logger
        self.reason: Optional[str] = None
        self.failed = 0
        self.lock = threading.Lock()

    @property
    def disk_full(self) -> bool:
        return self.reason is not None and self.reason == os.strerror(errno.ENOSPC)

    def failure(self, error: OSError, detail: str = "") -> None:
        reason = error.strerror or str(error)
        with self.lock:
            self.failed += 1
            first, self.reason = self.reason is None, reason
        if first:
            self.log.warning("cannot write %s: %s%s", self.what, reason, detail)

    def success(self) -> None:
        if self.reason is None:  # the usual case, without the lock
            return
        with self.lock:
            reason, self.reason = self.reason, None
        if reason is not None:
            self.log.warning("%s written again (after %s)", self.what, reason)


class Mover:
    """Moves the engine's pictures into ``<folder>/<YYYY-MM-DD>/<HH>/``."""

    def __init__(self, folder: str, trouble: Trouble) -> None:
        self.folder, self.trouble = folder, trouble
        self.made: Optional[str] = None  # the hour folder made last

    def move(self, source: str, when: float, info_type: str, n: int) -> Optional[str]:
        """The picture's new path relative to the folder, or None when it
        could not be moved (it is then removed: it has no event)."""
        from .layout import free_name, picture_name

        key, name = picture_name(when, info_type, n, os.path.splitext(source)[1] or ".jpg")
        hour = os.path.join(self.folder, key)
        for attempt in (0, 1):  # retention may have removed the hour folder we made
            try:
                if self.made != hour or attempt:
                    os.makedirs(hour, exist_ok=True)
                    self.made = hour
                name = free_name(hour, name)
                os.rename(source, os.path.join(hour, name))
                return key + "/" + name
            except FileNotFoundError:
                if attempt or not os.path.exists(source):
                    break
            except OSError as error:
                self.trouble.failure(error, " (moving {})".format(source))
                break
        _remove(source)
        return None

    def put_back(self, picture: str, source: str) -> None:
        """Undo a move: the picture's event could not be sent."""
        try:
            os.rename(os.path.join(self.folder, picture), source)
        except OSError:
            pass

    def recover(self, folder: str) -> List[Dict[str, Any]]:
        """Pictures an earlier process wrote into ``folder`` and never moved
        (it ended in between): moved now, by their time of writing."""
        found = []
        try:
            entries = sorted(os.scandir(folder), key=lambda entry: entry.name)
        except OSError:
            return []
        for entry in entries:
            parsed = parse_picture_file(entry.name)
            try:
                stat = entry.stat()
            except OSError:
                continue
            if not entry.is_file() or parsed is None or stat.st_size == 0:
                _remove(entry.path)
                continue
            info_type, n = parsed
            moved = self.move(entry.path, stat.st_mtime, info_type, n)
            if moved is not None:
                found.append({"time": stat.st_mtime, "info_type": info_type, "picture": moved,
                              "bytes": stat.st_size})
        if found:
            log.info("moved %d picture%s an earlier process left in %s", len(found),
                     "" if len(found) == 1 else "s", os.path.basename(folder.rstrip("/")))
        return found
