"""What the status page reads from a results root, and nothing else: each
camera's ``status.json``, the event log (through its index, kept outside
the root: ``events/index.py``) and the alarm pictures.

The camera processes write these files while we read them; lines that are
not whole events (a half-written tail, garbage, a foreign line) are skipped.
What the files hold is taken in by ``parsing`` only; what it refuses is
counted here.
"""
from __future__ import annotations

import datetime
import logging
import os
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

from ..events.index import EventIndex
from ..events.index_query import Cursor
from ..storage import space as storage_space
from ..storage.parsing import MAX_STATUS, Bad, parse_status, parse_time

log = logging.getLogger("visionengin.web")

STALE_SECONDS = 10.0  # a status not rewritten for this long: its process is gone
GONE_SECONDS = 86400.0  # a status file older than this: a camera no longer run
PICTURE_SUFFIXES = (".jpg", ".jpeg", ".png")
VIDEO_SUFFIXES = (".mp4",)


class Skipped:
    """Damaged things skipped while reading, by kind, since the server
    started (each read counts what it skips); shared by the request threads."""

    KINDS = ("status_file", "status_field", "event_line")

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.totals = dict.fromkeys(self.KINDS, 0)
        self.warned: Dict[str, str] = {}

    def add(self, counts: Dict[str, int]) -> None:
        with self.lock:
            for kind, n in counts.items():
                self.totals[kind] += n

    def warn(self, key: str, message: str) -> None:
        """Logs ``message`` when it is new for ``key``: the page reads every
        few seconds, and the same damage once in the log is enough."""
        with self.lock:
            if self.warned.get(key) == message:
                return
            if len(self.warned) > 10000:
                self.warned.clear()
            self.warned[key] = message
        log.warning("%s", message)


def _epoch(moment: Optional[datetime.datetime]) -> Optional[float]:
    return None if moment is None else moment.timestamp()


def _seconds_since(text: Any, now: float) -> Optional[float]:
    moment = parse_time(text)
    return None if moment is None else max(0.0, now - moment.timestamp())


def _gone(path: str, now: float) -> bool:
    """A status file nobody has written for a day: its camera has left."""
    try:
        return now - os.stat(path).st_mtime > GONE_SECONDS
    except OSError:  # no file, or one the reading will report
        return False


FrameClock = Tuple[Optional[float], Optional[float], Optional[float]]


def frame_clock(status: Dict[str, Any]) -> FrameClock:
    """What a camera's frame age is told by, in epoch seconds: (its last
    analysed frame, the age its status gave, the status's own time); kept
    by the fleet page between requests, the age taken at each."""
    told = status.get("last_frame_age_seconds")
    return (_epoch(parse_time(status.get("last_frame"))),
            float(told) if isinstance(told, (int, float)) and not isinstance(told, bool) else None,
            _epoch(parse_time(status.get("updated"))))


def frame_age(clock: FrameClock, now: float) -> Optional[float]:
    """Seconds since the last analysed frame; for a camera without one yet,
    the age its status gave plus the status's own age."""
    frame, told, updated = clock
    if frame is not None:
        return max(0.0, now - frame)
    if told is None:
        return None
    return max(0.0, told) + (max(0.0, now - updated) if updated is not None else 0.0)


class ResultsRoot:
    """A results root as the page and the metrics see it."""

    def __init__(self, path: str) -> None:
        self.path = os.path.realpath(path)
        self.skipped = Skipped()
        self._index: Optional[EventIndex] = None

    # -- cameras -------------------------------------------------------------

    def cameras(self, now: Optional[float] = None,
                skipped: Optional[Dict[str, int]] = None) -> List[Dict[str, Any]]:
        """One entry per readable ``<root>/<camera>/status.json``, sorted by
        name; what is skipped is counted into ``skipped`` (if given) too."""
        now = time.time() if now is None else now
        counts = {"status_file": 0, "status_field": 0}
        found = []
        try:
            names = sorted(os.listdir(self.path))
        except OSError as error:
            log.warning("cannot list the results root %s: %s", self.path, error.strerror)
            return []
        for name in names:
            path = os.path.join(self.path, name, "status.json")
            if _gone(path, now):
                continue
            try:
                read = read_status(name, path)
                if read is None:
                    continue
                status, dropped = read
            except Bad as error:
                counts["status_file"] += 1
                self.skipped.warn(path, "skipping the status {!r}: {}".format(path, error))
                continue
            if dropped:
                counts["status_field"] += len(dropped)
                self.skipped.warn(path, "skipping fields of the status {!r}: {}".format(path, ", ".join(dropped)))
            found.append(self.shown(name, status, dropped, now))
        self.skipped.add(counts)
        if skipped is not None:
            skipped.update(counts)
        return found

    @staticmethod
    def shown(name: str, status: Dict[str, Any], dropped: List[str], now: float) -> Dict[str, Any]:
        """The status as the page shows it: a state of "stale" when nobody
        rewrites it any more, ages in seconds. Fields the page does not know
        pass on as they came, after those it knows."""
        updated_age = _seconds_since(status.get("updated"), now)
        # A finished run (an analysed video) is never rewritten again, yet not gone.
        stale = status.get("final") is not True and (updated_age is None or updated_age > STALE_SECONDS)
        shown = dict(status)
        shown.update({
            "camera": name,
            "address": status.get("address"),
            "state": "stale" if stale else str(status.get("state") or "unknown"),
            "reported_state": status.get("state"),
            "stale": stale,
            "pid": status.get("pid"),
            "started": status.get("started"),
            "updated": status.get("updated"),
            "restarts": status.get("restarts", 0),
            "reconnects": status.get("reconnects", 0),
            "frames": status.get("frames", 0),
            "analysed_fps": status.get("analysed_fps", 0),
            "alarms": status.get("alarms", 0),
            "alarms_by_type": status.get("alarms_by_type", {}),
            "last_frame": status.get("last_frame"),
            "last_frame_age": frame_age(frame_clock(status), now),
            "reason": status.get("reason"),
            "hangs": status.get("hangs", 0),
            "last_alarm": status.get("last_alarm"),
            "exit_status": status.get("exit_status"),
            "disk_full": status.get("disk_full") is True,
            "bad_fields": dropped,
        })
        return shown

    def space(self) -> Dict[str, Any]:
        """Bytes used by pictures and event logs, free space, pictures removed
        by retention, the oldest picture kept."""
        return storage_space.report(self.path)

    # -- events ----------------------------------------------------------------

    @property
    def index(self) -> EventIndex:
        """The index over the log, made at the first question (a camera's
        folder read by the collector's page never needs one)."""
        if self._index is None:
            self._index = EventIndex(self.path, "device", lambda: [("", self.path)],
                                     lambda n: self.skipped.add({"event_line": n}))
        return self._index

    def events_page(self, limit: int = 50, since: Optional[datetime.datetime] = None,
                    camera: Optional[str] = None, info_type: Optional[str] = None,
                    until: Optional[datetime.datetime] = None, before: Optional[Cursor] = None,
                    after: Optional[Cursor] = None) -> Dict[str, Any]:
        """A page of alarm events, newest first (oldest first after
        ``after``), later than ``since`` and not later than ``until``, with
        the cursor of the next page and whether the answer is whole."""
        return self.index.page("events", limit, _epoch(since), _epoch(until), None, camera or None,
                               info_type or None, before, after)


    # -- pictures ------------------------------------------------------------

    def picture(self, relative: str) -> Optional[str]:
        """The real path of a picture under the root, or None (logged) for
        anything else: traversal, a symlink leading out, a missing file."""
        return self.file(relative, PICTURE_SUFFIXES, "picture")

    def clip(self, relative: str) -> Optional[str]:
        """The real path of an MP4 (a clip, a recording's segment) under the
        root, or None (logged), as ``picture``."""
        return self.file(relative, VIDEO_SUFFIXES, "clip")

    def file(self, relative: str, suffixes: Tuple[str, ...], what: str) -> Optional[str]:
        parts = relative.split("/")
        if ("\x00" in relative or "\\" in relative or relative.startswith("/")
                or any(part in ("", ".", "..") for part in parts)):
            log.warning("refused %s path %r: not a plain path under the results root", what, relative)
            return None
        if not relative.lower().endswith(suffixes):
            log.warning("refused %s path %r: not a %s", what, relative, what)
            return None
        real = os.path.realpath(os.path.join(self.path, *parts))
        if os.path.commonpath([real, self.path]) != self.path:
            log.warning("refused %s path %r: leads out of the results root", what, relative)
            return None
        if not os.path.isfile(real):
            log.warning("refused %s path %r: no such %s", what, relative, what)
            return None
        return real


def read_status(name: str, path: str) -> Optional[Tuple[Dict[str, Any], List[str]]]:
    """A camera folder's status as (fields, fields dropped); None for a
    folder without one; Bad for one that cannot be read."""
    try:
        with open(path, "rb") as file:
            data = file.read(MAX_STATUS + 1)
    except (FileNotFoundError, NotADirectoryError):
        return None
    except OSError as error:
        raise Bad(error.strerror or str(error)) from None
    try:
        name.encode("utf-8")
    except UnicodeError:
        raise Bad("the folder's name is not UTF-8") from None
    if not name.isprintable():
        raise Bad("the folder's name is not printable")
    return parse_status(data)
