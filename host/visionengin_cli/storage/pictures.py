"""The engine's alarm pictures, written with checked writes and then moved
into the camera's dated layout.

The engine writes each picture with ``cv2.imwrite(path, picture)``, looked up
on the cv2 module at every call. ``EngineWrites`` stands in for it while a
camera or a ``stream``/``video`` run goes on: it encodes as imwrite does and
writes with ``os.write`` until every byte is out, so a failure has its
reason (imwrite only says False), a partial file is removed at once, and
what was written for each path is known exactly, not guessed from a name a
stale file could satisfy.
"""
from __future__ import annotations

import errno
import logging
import os
import threading
from typing import Any, Dict, List, Optional, Tuple, Union

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


class EngineWrites:
    """A checked ``cv2.imwrite`` for the engine. With ``record``, ``take()``
    returns what was written since the last call: (path, size) and (path,
    error). ``alarms`` and ``by_type`` count the pictures written (a picture
    the engine writes twice in a row, two alarms of a type in one frame, is
    one), ``failed_count`` those that could not be."""

    def __init__(self, cv2: Any, trouble: Trouble, record: bool = True) -> None:
        self.cv2, self.trouble, self.record = cv2, trouble, record
        self.original = cv2.imwrite
        self.written: List[Tuple[str, int]] = []
        self.failed: List[Tuple[str, OSError]] = []
        self.lock = threading.Lock()
        self.alarms = self.failed_count = 0
        self.by_type: Dict[str, int] = {}
        self.last: Optional[str] = None

    def __enter__(self) -> "EngineWrites":
        self.cv2.imwrite = self
        return self

    def __exit__(self, *_: Any) -> None:
        self.cv2.imwrite = self.original

    def __call__(self, path: Any, picture: Any, *params: Any) -> bool:
        path = os.fspath(path)
        extension = os.path.splitext(path)[1] or ".jpg"
        ok, data = self.cv2.imencode(extension, picture, *params)
        if not ok:
            return False
        key = os.path.normpath(path)
        try:
            write_file(path, memoryview(data).cast("B"))  # the encoded picture, not a copy of it
        except OSError as error:
            with self.lock:
                if self.record:
                    self.failed.append((key, error))
                self.failed_count += 1
                if self.last == key:  # the first of the two is gone with it
                    self.last = None
                    self._count(key, -1)
            self.trouble.failure(error)
            return False
        self.trouble.success()
        with self.lock:
            if self.record:
                self.written.append((key, len(data)))
            if self.last != key:
                self.last = key
                self._count(key, 1)
        return True

    def _count(self, key: str, step: int) -> None:
        stem = os.path.splitext(os.path.basename(key))[0]
        kind, _, n = stem.rpartition("-")
        kind = kind if kind and n.isdigit() else stem  # "<type>-<n>", or "<type>" of a picture
        self.alarms += step
        self.by_type[kind] = self.by_type.get(kind, 0) + step
        if not self.by_type[kind]:
            del self.by_type[kind]

    def take(self) -> Tuple[List[Tuple[str, int]], List[Tuple[str, OSError]]]:
        with self.lock:
            written, failed = self.written, self.failed
            self.written, self.failed = [], []
        return written, failed


def quiet_engine_write_warnings() -> None:
    """The engine warns once per picture it could not write; ``Trouble`` tells
    a run of them once, with the reason."""
    class Drop(logging.Filter):
        def filter(self, record: logging.LogRecord) -> bool:
            return not str(record.msg).startswith("could not write the alarm picture")

    logging.getLogger("main").addFilter(Drop())


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
            base, extension = os.path.splitext(entry.name)
            info_type, _, n = base.rpartition("-")
            try:
                stat = entry.stat()
            except OSError:
                continue
            if not entry.is_file() or not info_type or not n.isdigit() or stat.st_size == 0:
                _remove(entry.path)
                continue
            moved = self.move(entry.path, stat.st_mtime, info_type, int(n))
            if moved is not None:
                found.append({"time": stat.st_mtime, "info_type": info_type, "picture": moved,
                              "bytes": stat.st_size})
        if found:
            log.info("moved %d picture%s an earlier process left in %s", len(found),
                     "" if len(found) == 1 else "s", os.path.basename(folder.rstrip("/")))
        return found
