"""The event log ``<root>/events.jsonl`` (one JSON line per alarm picture,
incident and health event, each with a "type" and an "id") and each camera's
``status.json``.

events.jsonl is opened with O_APPEND and every line goes out whole, so lines
stay in order and unmixed even when several commands (one per camera,
``--only``) append to the same file. ``os.write`` may write less than asked
(a disk that fills mid-line): the rest is written, and when that fails the
file is cut back to its last whole line, so a half line can never merge with
the next one. A line that cannot be written is kept, in order, and written
as soon as writing works again; past ``MAX_KEPT`` the oldest kept ones are
counted as lost. Each run of failures is told once with its reason, and its
end once. The log is rotated into parts (``rotation``); a writer that finds
the file renamed under it opens the new one.

Every line is in the page cache once written (a crash of the process loses
nothing) and reaches the disk within a second and at the stop (``storage.flush``).

status.json is replaced atomically, so a reader sees the old file or the new
one, never a mix; a failed write leaves no temporary file behind.
"""
from __future__ import annotations

import collections
import json
import logging
import os
import threading
import time
import uuid
from typing import Any, Deque, Dict, Optional

from ..storage import atomic
from ..storage.flush import Flusher, SyncedFile
from ..storage.pictures import Trouble, write_all
from ..storage.times import iso
from . import rotation

log = logging.getLogger("visionengin.events")
MAX_KEPT = 10000  # events kept in memory while the log cannot be written
TAIL = 64 * 1024  # how far back a cut looks for the last whole line


__all__ = ["EventLog", "iso", "replace_json", "write_status"]


class EventLog:
    """The writer of ``<root>/events.jsonl`` in this process."""

    def __init__(self, root: str, part_bytes: int = rotation.PART_BYTES,
                 flusher: Optional[Flusher] = None) -> None:
        self.root = root
        self.path = os.path.join(root, rotation.CURRENT)
        self.synced = SyncedFile("the event log " + self.path, flusher)
        self.part_bytes = part_bytes
        self._lock = threading.Lock()
        self._fd = -1
        self._ino: Optional[int] = None
        self._day: Optional[str] = None
        self._open()
        self._mend()
        self.kept: Deque[bytes] = collections.deque()
        self.lost = 0
        self.trouble = Trouble("the event log " + self.path, log)

    def _open(self) -> None:
        fd = os.open(self.path, os.O_RDWR | os.O_APPEND | os.O_CREAT, 0o644)  # read: the cut
        if self._fd >= 0:
            os.close(self._fd)
        self._fd = fd
        self.synced.track(fd)
        stat = os.fstat(fd)
        self._ino = stat.st_ino
        self._day = rotation.day_of(stat.st_size and rotation.first_time(self.path))

    def _mend(self) -> None:
        """A last line a power cut left without its end is ended here: the
        next line must not merge into it (the readers skip the half line)."""
        size = os.fstat(self._fd).st_size
        if size and os.pread(self._fd, 1, size - 1) != b"\n":
            log.warning("the event log %s ends in a line cut short (an unclean stop): set "
                        "aside as an unreadable line", self.path)
            try:
                write_all(self._fd, b"\n")
                self.synced.wrote()
            except OSError as error:
                log.error("cannot end the cut line of %s: %s", self.path, error.strerror or error)

    def write(self, camera: str, event: Dict[str, Any]) -> Dict[str, Any]:
        """Append the event of ``camera``; ``event`` holds "time" (epoch
        seconds), "info_type", "picture" (relative to the camera's folder;
        None, or left out, for a picture that could not be written, with the
        reason as "no_picture") and optionally "behavior_number", "score" and
        "zones" (the names of the camera's zones the alarm touches). Returns
        the line's object, also when the line had to be kept for later."""
        line: Dict[str, Any] = {"type": "alarm", "id": uuid.uuid4().hex,
                                "time": iso(event["time"]), "camera": camera,
                                "info_type": event["info_type"]}
        if isinstance(event.get("picture"), str):
            line["picture"] = camera + "/" + event["picture"].lstrip("/")
        else:
            line["no_picture"] = str(event.get("no_picture") or "not written")
        for key in ("behavior_number", "score", "zones"):
            if event.get(key) is not None:
                line[key] = event[key]
        self.append(line)
        return line

    def append(self, line: Dict[str, Any]) -> None:
        """One whole line of any type (an incident's, a camera's health),
        kept and written as ``write`` keeps and writes."""
        data = (json.dumps(line, ensure_ascii=False) + "\n").encode("utf-8")
        with self._lock:
            self.kept.append(data)
            if len(self.kept) > MAX_KEPT:
                self.kept.popleft()
                self.lost += 1
            self._flush()

    def flush(self) -> None:
        """Write what was kept, if writing works again; called now and then."""
        with self._lock:
            if self.kept:
                self._flush()

    @property
    def disk_full(self) -> bool:
        return self.trouble.disk_full

    def _flush(self) -> None:
        kept = len(self.kept)
        while self.kept:
            try:
                self._append(self.kept[0])
            except OSError as error:
                self.trouble.failure(error, "; keeping events until it can ({} kept, {} lost)".format(
                    len(self.kept), self.lost))
                return
            self.kept.popleft()
            self.synced.wrote()
        if self.trouble.reason is not None:
            log.info("the event log: %d kept event%s written, %d lost", kept,
                     "" if kept == 1 else "s", self.lost)
        self.trouble.success()

    def _append(self, data: bytes) -> None:
        if self._fd < 0:
            raise OSError(9, "the event log is closed")
        self._follow(data)
        before = os.fstat(self._fd).st_size
        try:
            write_all(self._fd, data)
        except OSError:
            if os.fstat(self._fd).st_size != before:
                _cut_to_last_line(self._fd, before)
            raise

    def _follow(self, data: bytes) -> None:
        """Open the current file again when another process rotated it, and
        rotate it ourselves when it is full or of another day."""
        try:
            ino = os.stat(self.path).st_ino
        except FileNotFoundError:
            ino = None
        if ino != self._ino:
            self._open()
        size = os.fstat(self._fd).st_size
        today = rotation.day_of(time.time())
        if size and (size + len(data) > self.part_bytes or (self._day and today != self._day)):
            if rotation.rotate(self.root, self._ino):
                log.info("the event log was rotated (%s)", "a new day" if size + len(
                    data) <= self.part_bytes else "{} bytes".format(size))
            self._open()
        if self._day is None:
            self._day = today

    def close(self) -> None:
        with self._lock:
            if self.kept:
                log.warning("the event log: %d event%s could not be written before the stop",
                            len(self.kept), "" if len(self.kept) == 1 else "s")
            self.synced.close()  # the last lines reach the disk before the stop
            if self._fd >= 0:
                os.close(self._fd)
                self._fd = -1


def _cut_to_last_line(fd: int, before: int) -> None:
    """Cut the file back to just after its last newline: the half line a short
    write left is gone, the whole lines before it stay."""
    size = os.fstat(fd).st_size
    start = max(0, size - TAIL)
    tail = os.pread(fd, size - start, start)
    end = tail.rfind(b"\n")
    os.ftruncate(fd, start + end + 1 if end >= 0 else before)


def write_status(folder: str, status: Dict[str, Any]) -> None:
    """Replace ``<folder>/status.json`` atomically and durably (``storage.atomic``).
    On a full disk, where no new file can be made, the old one is rewritten
    in place (its blocks are already there): the state "disk full" must
    still be told, and a reader that meets the moment of the rewrite skips
    one reading."""
    replace_json(os.path.join(folder, "status.json"), status)


def replace_json(path: str, value: Any) -> None:
    """``value`` as the JSON file ``path``, as ``write_status`` writes it."""
    atomic.replace_json(path, value, in_place_when_full=True)
