"""The flush policy of the event logs (the device's, the collector's, the
archives'): a line is written at once (a process crash, SIGKILL or the OOM
killer loses nothing: it is in the page cache) and reaches the disk by an
fdatasync at most ``INTERVAL`` seconds later and at every stop, so a power
cut costs at most about a second of events.

One thread per process syncs every log written since its last round; it
sleeps while nothing is written (no busy loop) and writers never wait for a
sync: each log is synced through a duplicate of its descriptor, so a writer
may rotate or close its file meanwhile."""
from __future__ import annotations

import logging
import os
import threading
import time
from typing import Callable, List, Optional, Set

log = logging.getLogger("visionengin.storage")
INTERVAL = 1.0  # seconds: the longest a written line waits for the disk


class Flusher:
    """The thread that syncs the logs marked since its last round."""

    def __init__(self, interval: float = INTERVAL,
                 sync: Callable[[int], None] = os.fdatasync) -> None:
        self.interval, self.sync = interval, sync
        self._cond = threading.Condition()
        self._dirty: Set["SyncedFile"] = set()
        self._thread: Optional[threading.Thread] = None

    def mark(self, synced: "SyncedFile") -> None:
        with self._cond:
            if synced in self._dirty:
                return
            self._dirty.add(synced)
            if self._thread is None or not self._thread.is_alive():
                self._thread = threading.Thread(target=self._run, name="log-flush", daemon=True)
                self._thread.start()
            self._cond.notify()

    def forget(self, synced: "SyncedFile") -> None:
        with self._cond:
            self._dirty.discard(synced)

    def _run(self) -> None:
        while True:
            with self._cond:
                while not self._dirty:
                    self._cond.wait()
            time.sleep(self.interval)  # what is written meanwhile joins this round
            with self._cond:
                due: List[SyncedFile] = list(self._dirty)
                self._dirty.clear()
            for synced in due:
                synced.sync()

    def _after_fork(self) -> None:
        """A forked child has no flush thread: the next mark starts one."""
        self._cond = threading.Condition()
        self._dirty = set()
        self._thread = None


FLUSHER = Flusher()
os.register_at_fork(after_in_child=FLUSHER._after_fork)


class SyncedFile:
    """One log file as its writer sees it: ``track`` the descriptor at each
    open, ``wrote`` after each write, ``close`` at the stop (a last sync)."""

    def __init__(self, label: str, flusher: Optional[Flusher] = None) -> None:
        self.label, self.flusher = label, flusher or FLUSHER
        self._lock = threading.Lock()
        self._fd = -1
        self._failing = False

    def track(self, fd: int) -> None:
        """The writer's file is now ``fd`` (-1: none); the one before is synced."""
        copy = os.dup(fd) if fd >= 0 else -1
        with self._lock:
            old, self._fd = self._fd, copy
            if old >= 0:
                self._sync(old)
                os.close(old)

    def wrote(self) -> None:
        self.flusher.mark(self)

    def sync(self) -> None:
        with self._lock:
            if self._fd >= 0:
                self._sync(self._fd)

    def close(self) -> None:
        self.flusher.forget(self)
        self.track(-1)

    def _sync(self, fd: int) -> None:
        try:
            self.flusher.sync(fd)
        except OSError as error:
            if not self._failing:
                log.error("%s: cannot flush to disk: %s", self.label, error.strerror or error)
            self._failing = True
            return
        if self._failing:
            log.info("%s: flushed to disk again", self.label)
        self._failing = False
