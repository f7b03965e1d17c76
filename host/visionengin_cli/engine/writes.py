"""The engine's alarm pictures, written with checked writes.

The engine writes each picture with ``cv2.imwrite(path, picture)``, looked up
on the cv2 module at every call. ``EngineWrites`` stands in for it while a
camera or a ``stream``/``video`` run goes on: it encodes as imwrite does and
writes with ``os.write`` until every byte is out, so a failure has its
reason (imwrite only says False), a partial file is removed at once, and
what was written for each path is known exactly, not guessed from a name a
stale file could satisfy. Where the pictures go next is the storage's
(``storage.pictures``)."""
from __future__ import annotations

import logging
import os
import threading
from typing import Any, Dict, List, Optional, Tuple

from ..storage.pictures import Trouble, write_file
from .contract import picture_type


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
        kind = picture_type(key)
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


def checked_writes(trouble: Trouble, record: bool = True) -> EngineWrites:
    """The engine's pictures written through ``EngineWrites`` from now on."""
    import cv2  # the engine's own, already imported by it

    return EngineWrites(cv2, trouble, record).__enter__()
