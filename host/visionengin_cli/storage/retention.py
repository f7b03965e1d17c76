"""The retention pass: ages first, then the oldest pictures and event-log
parts until the root is under ``max_size`` and its file system has
``min_free`` free, with room for what the cameras write before the next
pass.

It works from the ledgers (one per camera folder), so a pass costs the same
with a million pictures stored as with a hundred: whole hour folders go at
once; only the hour a camera is still writing is thinned picture by picture.
A camera's recorded segments have a ledger of their own
(``<camera>/recordings``), counted here as one more owner beside its
pictures. Several commands may share a root (``--only`` units): each removes only from
folders it owns (or that nobody owns: their lock is free), counting what the
others will remove from theirs, so together they go oldest first.
"""
from __future__ import annotations

import logging
import os
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

from ..events import outbox, rotation
from .layout import hour_key, hour_start
from .ledger import Ledger, read_saved, trim_hours
from .lock import Busy, FolderLock
from .settings import RECORDINGS, Storage

log = logging.getLogger("visionengin.storage")
PERIOD = 1.0  # seconds between passes
WOKEN_EVERY = 0.2  # least seconds between two passes that bursts of pictures call for


class Space:
    """The figures of the last pass, for the status and the page."""

    def __init__(self) -> None:
        self.used = self.free = self.removed = 0
        self.oldest: Optional[float] = None


class Retention:
    def __init__(self, root: str, storage: Storage) -> None:
        self.root, self.storage = root, storage
        self.ledgers: Dict[str, Ledger] = {}  # the folders we own, by camera
        self.space = Space()
        self.short = False  # told that the disk is filled by other data
        self.lock = threading.Lock()
        self.stopping = threading.Event()
        self.wake = threading.Event()
        self.slack: Optional[float] = None  # bytes that may come before a limit is reached
        self.since = 0  # bytes come since the last pass
        self.thread: Optional[threading.Thread] = None

    # -- running -------------------------------------------------------------
    def start(self) -> None:
        self.thread = threading.Thread(target=self._loop, name="retention", daemon=True)
        self.thread.start()

    def stop(self) -> None:
        self.stopping.set()
        self.wake.set()
        if self.thread is not None:
            self.thread.join(10.0)
        with self.lock:
            for ledger in self.ledgers.values():
                ledger.save(time.time(), force=True)

    def _loop(self) -> None:
        last = time.monotonic()
        while True:
            self.wake.wait(PERIOD)
            self.wake.clear()
            pause = WOKEN_EVERY - (time.monotonic() - last)
            if self.stopping.is_set() or (pause > 0 and self.stopping.wait(pause)):
                return
            last = time.monotonic()
            try:
                self.run_pass()
            except Exception as error:  # noqa: BLE001 - the next pass tries again
                log.error("retention pass: %s: %s", type(error).__name__, error)

    def own(self, camera: str, ledger: Ledger) -> None:
        with self.lock:
            self.ledgers[camera] = ledger

    def added(self, size: int) -> None:
        """A picture came. Pictures that take half the room left before a
        limit call the next pass at once: a burst, or a pass that came late
        on a loaded machine, would otherwise take the root past its limit
        until the next second's pass."""
        with self.lock:
            self.since += size
            call = self.slack is not None and self.since * 2 >= self.slack
        if call:
            self.wake.set()

    def disown(self, camera: str) -> None:
        with self.lock:
            ledger = self.ledgers.pop(camera, None)
        if ledger is not None:
            ledger.save(time.time(), force=True)

    # -- one pass --------------------------------------------------------------
    def run_pass(self, now: Optional[float] = None) -> Space:
        now = time.time() if now is None else now
        with self.lock:
            ours = dict(self.ledgers)
            self.since = 0
        headroom = 2 * sum(ledger.take_added() for ledger in ours.values())
        for camera, ledger in ours.items():
            self._ages(camera, ledger, now)
            ledger.true_up(now)
        rotation.compress(self.root, now)
        self._old_parts(now)
        others = self._others(ours)
        items, used = self._items(ours, others)
        free, total = _free(self.root)
        need = max(0.0, used + headroom - self.storage.max_size) if self.storage.max_size is not None else 0.0
        floor = self.storage.min_free_bytes(total)
        if floor > 0:  # min_free 0: the disk may fill, and is then told as full
            need = max(need, floor + headroom - free)
        slack = min(self.storage.max_size - used if self.storage.max_size is not None else float("inf"),
                    free - floor if floor > 0 else float("inf"))
        if need > 0:
            wanted, need = need, self._free_up(items, ours, need, now)
            slack += wanted - need
        if need > 0 and not self.short:
            self.short = True
            log.warning("cannot keep %s: nothing of ours left to remove (the disk holds other data)",
                        self.storage.describe())
        elif need <= 0 and self.short:
            self.short = False
            log.warning("the results root is within its limits again (%s)", self.storage.describe())
        with self.lock:
            self.slack = None if self.short or slack == float("inf") else max(0.0, slack)
        for ledger in ours.values():
            ledger.save(now)
        self.space = self._figures(ours, others, now)
        return self.space

    def _ages(self, camera: str, ledger: Ledger, now: float) -> None:
        age = self.storage.age_of(camera)
        if age is None:
            return
        for key, _, count, _ in ledger.items():
            start = hour_start(key)
            if start is None or start + 3600 > now - age:
                break
            ledger.remove_hour(key)
            log.debug("%s: removed %s (%d pictures): older than max_age", camera, key, count)

    def _old_parts(self, now: float) -> None:
        ages = [age for age in [self.storage.max_age] + list(self.storage.camera_max_age.values()) if age]
        if not ages:
            return
        for _, name in rotation.parts(self.root):
            path = os.path.join(self.root, name)
            try:
                if os.stat(path).st_mtime < now - max(ages):
                    os.unlink(path)
            except OSError:
                continue

    def _others(self, ours: Dict[str, Ledger]) -> Dict[str, Tuple[Optional[Ledger], Dict[str, Any]]]:
        """Camera folders of the root we do not own: (None, saved ledger) for
        those another process owns, (ledger, {}) for those nobody owns."""
        found: Dict[str, Tuple[Optional[Ledger], Dict[str, Any]]] = {}
        try:
            names = os.listdir(self.root)
        except OSError:
            return found
        for camera in names:
            for name in (camera, camera + RECORDINGS):  # its pictures and clips, its segments
                folder = os.path.join(self.root, name)
                if name in ours or not os.path.isfile(os.path.join(folder, "ledger.json")):
                    continue
                saved = read_saved(folder)
                if saved is not None:
                    found[name] = (None, saved)
        return found

    def _items(self, ours: Dict[str, Ledger], others: Dict[str, Tuple[Optional[Ledger], Dict[str, Any]]]
               ) -> Tuple[List[Tuple[float, str, str, int]], float]:
        """(time, kind, what, bytes) of everything retention may remove, and
        the bytes all of it takes with the current event log and the sinks'
        outboxes (never removed here: they hold events not yet delivered, and
        bound themselves)."""
        items: List[Tuple[float, str, str, int]] = []
        used = float(outbox.bytes_under(self.root))
        for camera, ledger in ours.items():
            for key, size, _, _ in ledger.items():
                items.append((hour_start(key) or 0.0, "ours", camera + "/" + key, size))
                used += size
        for camera, (_, saved) in others.items():
            for key, entry in saved["hours"].items():
                size = entry[0] if isinstance(entry, list) and entry and isinstance(entry[0], int) else 0
                items.append((hour_start(key) or 0.0, "theirs", camera + "/" + key, size))
                used += size
        for path in rotation.files_newest_first(self.root):
            try:
                stat = os.stat(path)
            except OSError:
                continue
            used += stat.st_size
            if os.path.basename(path) != rotation.CURRENT:
                items.append((stat.st_mtime, "part", path, stat.st_size))
        items.sort()
        return items, used

    def _free_up(self, items: List[Tuple[float, str, str, int]], ours: Dict[str, Ledger],
                 need: float, now: float) -> float:
        current = {camera: max((key for key, _, _, _ in ledger.items()), default=None)
                   for camera, ledger in ours.items()}
        written = {camera: key for camera, key in current.items()
                   if key is not None and key >= hour_key(now - 3600)}
        trimmed = False
        for _, kind, what, size in items:
            if need <= 0:
                break
            if kind == "theirs":
                need -= self._theirs(what, need) if self._unowned(what) else size
            elif kind == "part":
                try:
                    os.unlink(what)
                    need -= size
                except OSError:
                    pass
            else:
                camera, key = _owner_and_hour(what)
                if written.get(camera) != key:
                    need -= ours[camera].remove_hour(key)
                elif not trimmed:  # the hours still written to: their oldest pictures, all at once
                    need -= trim_hours([(ours[name], hour) for name, hour in written.items()], need)
                    trimmed = True
        return need

    def _unowned(self, what: str) -> bool:
        lock = FolderLock(os.path.join(self.root, what.partition("/")[0]))
        try:
            lock.acquire()
        except (Busy, OSError):
            return False
        lock.release()
        return True

    def _theirs(self, what: str, need: float) -> int:
        """Remove from a folder nobody owns, under its lock."""
        name, key = _owner_and_hour(what)
        camera = name.partition("/")[0]
        lock = FolderLock(os.path.join(self.root, camera))
        try:
            lock.acquire()
        except (Busy, OSError):
            return 0
        try:
            ledger = Ledger(os.path.join(self.root, name), camera).load()
            freed = ledger.remove_hour(key) if key in ledger.hours else 0
            ledger.save(time.time(), force=True)
        finally:
            lock.release()
        return freed

    def _figures(self, ours: Dict[str, Ledger], others: Dict[str, Tuple[Optional[Ledger], Dict[str, Any]]],
                 now: float) -> Space:
        space = Space()
        used = sum(ledger.total()[0] for ledger in ours.values()) + outbox.bytes_under(self.root)
        for _, saved in others.values():
            used += sum(entry[0] for entry in saved["hours"].values()
                        if isinstance(entry, list) and entry and isinstance(entry[0], int))
        for path in rotation.files_newest_first(self.root):
            try:
                used += os.stat(path).st_size
            except OSError:
                continue
        space.used = int(used)
        space.free = int(_free(self.root)[0])
        oldest = []
        for ledger in ours.values():
            _, _, first = ledger.total()
            space.removed += ledger.removed
            if first is not None:
                oldest.append(first)
        for _, saved in others.values():
            space.removed += int(saved.get("removed") or 0)
        space.oldest = min(oldest) if oldest else None
        return space


def _owner_and_hour(what: str) -> Tuple[str, str]:
    """("<camera>" or "<camera>/recordings", "YYYY-MM-DD/HH") of an item's
    "<owner>/<hour key>"."""
    parts = what.rsplit("/", 2)
    if len(parts) < 3:  # another owner's ledger may hold anything
        return what, ""
    return parts[0], parts[1] + "/" + parts[2]


def _free(root: str) -> Tuple[float, int]:
    """(bytes free for us, the file system's size)."""
    try:
        stat = os.statvfs(root)
    except OSError:
        return float("inf"), 0
    return float(stat.f_bavail * stat.f_frsize), stat.f_blocks * stat.f_frsize
