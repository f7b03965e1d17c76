"""What one camera's folder holds, by hour folder: bytes, pictures and the
oldest picture's time, kept in ``<camera>/ledger.json`` so that a retention
pass never has to walk the pictures.

The owner adds each picture as its event passes (its size is known from the
write). A closed hour is counted once from the disk (one scandir of that
folder) to make its figures exact whatever a crash lost; a missing or
unreadable ledger is rebuilt from the folders once, and said so.
"""
from __future__ import annotations

import heapq
import json
import logging
import os
import shutil
import threading
import time
from typing import Any, Dict, Iterator, List, Optional, Tuple

from .layout import DAY, HOUR, hour_key, hour_start, picture_time
from .atomic import replace_file

log = logging.getLogger("visionengin.storage")
FILE = "ledger.json"
SAVE_EVERY = 10.0  # seconds between writes of a changed ledger


class Hour:
    __slots__ = ("bytes", "count", "oldest", "exact")

    def __init__(self, size: int = 0, count: int = 0, oldest: Optional[float] = None,
                 exact: bool = False) -> None:
        self.bytes, self.count, self.oldest, self.exact = size, count, oldest, exact


class Ledger:
    def __init__(self, folder: str, camera: str) -> None:
        self.folder, self.camera = folder, camera
        self.path = os.path.join(folder, FILE)
        self.hours: Dict[str, Hour] = {}
        self.removed = 0  # pictures removed by retention, ever
        self.lock = threading.Lock()
        self.dirty, self.saved = False, 0.0
        self.added = 0  # bytes added since the last look (for the pass's headroom)

    # -- reading -------------------------------------------------------------
    def load(self) -> "Ledger":
        """The saved ledger, checked against the hour folders on disk; those
        it does not know (a crash before a save) are counted from the disk."""
        known: Dict[str, Any] = {}
        unreadable = False
        try:
            with open(self.path, "rb") as file:
                data = json.loads(file.read(64 * 1024 * 1024))
            if not isinstance(data, dict) or not isinstance(data.get("hours"), dict):
                raise ValueError("not a ledger")
            known = data["hours"]
            self.removed = int(data.get("removed") or 0)
        except FileNotFoundError:
            pass
        except (OSError, ValueError, TypeError, AttributeError, KeyError) as error:
            log.warning("%s: the ledger %s is unreadable (%s); counting the pictures again",
                        self.camera, self.path, error)
            unreadable = True  # written again soon, not left to warn at every start
        on_disk = hour_folders(self.folder)
        counted = 0
        for key in on_disk:
            entry: Any = known.get(key)
            try:
                self.hours[key] = Hour(int(entry[0]), int(entry[1]),
                                       float(entry[2]) if entry[2] is not None else None, bool(entry[3]))
            except (TypeError, ValueError, IndexError, KeyError):
                self.hours[key] = self._count(key)
                counted += 1
        if counted:
            log.info("%s: counted %d hour folder%s the ledger did not know", self.camera, counted,
                     "" if counted == 1 else "s")
        self.dirty = unreadable or bool(counted) or set(known) != set(self.hours)
        return self

    def _count(self, key: str, keep: Optional[Hour] = None) -> Hour:
        size = count = 0
        oldest: Optional[float] = None
        first: Optional[str] = None
        try:
            with os.scandir(os.path.join(self.folder, key)) as entries:
                for entry in entries:
                    try:
                        size += entry.stat().st_size
                    except OSError:
                        continue
                    count += 1
                    if first is None or entry.name < first:
                        first = entry.name
        except OSError:
            pass
        if first is not None:
            oldest = picture_time(first, key)
        return Hour(size, count, oldest, key < hour_key(time.time()))

    # -- changing --------------------------------------------------------------
    def add(self, picture: str, size: int, when: float) -> None:
        """A picture moved in; ``picture`` relative to the camera's folder."""
        key = picture.rpartition("/")[0]
        if hour_start(key) is None:
            return
        with self.lock:
            hour = self.hours.get(key)
            if hour is None:
                hour = self.hours[key] = Hour(oldest=when)
            hour.bytes += size
            hour.count += 1
            if hour.oldest is None or when < hour.oldest:
                hour.oldest = when
            self.added += size
            self.dirty = True

    def discard(self, key: str, size: int) -> None:
        """One file of an hour folder removed by its owner (a recording's
        rolling buffer); the hour's oldest time is trued up once it closes."""
        with self.lock:
            hour = self.hours.get(key)
            if hour is not None:
                hour.bytes, hour.count = max(0, hour.bytes - size), max(0, hour.count - 1)
                hour.exact = False
                self.dirty = True

    def true_up(self, now: float) -> None:
        """Count one closed hour from the disk, if one is not yet exact."""
        current = hour_key(now)
        with self.lock:
            key = next((key for key, hour in sorted(self.hours.items())
                        if not hour.exact and key < current), None)
        if key is None:
            return
        counted = self._count(key)
        with self.lock:
            if key in self.hours:
                self.hours[key] = counted
                self.dirty = True

    def remove_hour(self, key: str) -> int:
        """Remove a whole hour folder; returns the bytes it held."""
        path = os.path.join(self.folder, key)
        shutil.rmtree(path, ignore_errors=True)
        with self.lock:
            hour = self.hours.pop(key, None)
            if os.path.exists(path):  # something in it could not go: count it again
                self.hours[key] = self._count(key)
            self.dirty = True
            if hour is None:
                return 0
            left = self.hours.get(key)
            self.removed += hour.count - (left.count if left else 0)
            freed = hour.bytes - (left.bytes if left else 0)
        try:
            os.rmdir(os.path.dirname(path))  # the day, once its last hour is gone
        except OSError:
            pass
        return max(0, freed)

    def pictures(self, key: str) -> List[str]:
        """The pictures of an hour folder, oldest first (their names start
        with the time)."""
        try:
            with os.scandir(os.path.join(self.folder, key)) as entries:
                return sorted(entry.name for entry in entries)
        except OSError:
            return []

    def forget(self, key: str, freed: int, gone: int, left: Optional[str]) -> None:
        """The oldest pictures of an hour went; ``left`` is the oldest kept."""
        with self.lock:
            hour = self.hours.get(key)
            if hour is not None:
                hour.bytes = max(0, hour.bytes - freed)
                hour.count = max(0, hour.count - gone)
                hour.oldest = picture_time(left, key) if left else None
            self.removed += gone
            self.dirty = True

    def save(self, now: float, force: bool = False) -> None:
        if not self.dirty or (not force and now - self.saved < SAVE_EVERY):
            return
        with self.lock:
            data = {"camera": self.camera, "removed": self.removed,
                    "hours": {key: [h.bytes, h.count, h.oldest, h.exact]
                              for key, h in sorted(self.hours.items())}}
            self.dirty = False
        self.saved = now
        try:
            replace_file(self.path, json.dumps(data, separators=(",", ":")).encode("utf-8"))
        except OSError as error:
            self.dirty = True
            log.debug("%s: cannot save the ledger: %s", self.camera, error)

    # -- figures -----------------------------------------------------------------
    def items(self) -> List[Tuple[str, int, int, Optional[float]]]:
        """(hour key, bytes, pictures, oldest), oldest hour first."""
        with self.lock:
            return [(key, h.bytes, h.count, h.oldest) for key, h in sorted(self.hours.items())]

    def total(self) -> Tuple[int, int, Optional[float]]:
        """(bytes, pictures, the oldest picture's time)."""
        with self.lock:
            size = sum(h.bytes for h in self.hours.values())
            count = sum(h.count for h in self.hours.values())
            oldest = min((h.oldest for h in self.hours.values() if h.oldest is not None), default=None)
        return size, count, oldest

    def take_added(self) -> int:
        with self.lock:
            added, self.added = self.added, 0
        return added


def hour_folders(folder: str) -> List[str]:
    found = []
    try:
        days = [name for name in os.listdir(folder) if DAY.match(name)]
    except OSError:
        return []
    for day in days:
        try:
            found += [day + "/" + hour for hour in os.listdir(os.path.join(folder, day))
                      if HOUR.match(hour)]
        except OSError:
            continue
    return sorted(found)


def read_saved(folder: str) -> Optional[Dict[str, Any]]:
    """Another owner's saved ledger, as the page and other owners read it."""
    try:
        with open(os.path.join(folder, FILE), "rb") as file:
            data = json.loads(file.read(64 * 1024 * 1024))
    except (OSError, ValueError):
        return None
    return data if isinstance(data, dict) and isinstance(data.get("hours"), dict) else None


def _in_time_order(names: List[str], key: str, index: int) -> Iterator[Tuple[str, str, int, str]]:
    for name in names:
        yield key, name[:13], index, name


def trim_hours(hours: List[Tuple[Ledger, str]], need: float) -> int:
    """Remove the oldest pictures of hour folders still written to, oldest
    first across all of them, until ``need`` bytes are freed; returns the
    bytes freed. Thinned one after the other, the camera whose folder came
    first would lose every picture before the others lost any."""
    # An hour key and a name that starts with the time of day order pictures
    # by time as text: nothing is parsed, and only the oldest are looked at.
    queue = heapq.merge(*(_in_time_order(ledger.pictures(key), key, index)
                          for index, (ledger, key) in enumerate(hours)))
    freed = [0] * len(hours)
    gone = [0] * len(hours)
    left: List[Optional[str]] = [None] * len(hours)
    for _, _, index, name in queue:
        ledger, key = hours[index]
        if sum(freed) >= need:
            if left[index] is None:
                left[index] = name
            if all(left[i] is not None or not gone[i] for i in range(len(hours))):
                break
            continue
        path = os.path.join(ledger.folder, key, name)
        try:
            size = os.stat(path).st_size
            os.unlink(path)
        except OSError:
            continue
        freed[index] += size
        gone[index] += 1
    for index, (ledger, key) in enumerate(hours):
        if gone[index]:
            ledger.forget(key, freed[index], gone[index], left[index])
    return sum(freed)
