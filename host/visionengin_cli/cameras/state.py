"""A camera's state, held in one object and changed only there.

What decides the state (its process running, hung or waiting to start
again, what the process last reported, how long it has been silent, the
failures in a row, a full disk, the last analysed frame) is set through the
transitions below; after each the state is worked out again and, when it
differs from the one last announced, the change is announced once to every
listener (the terminal's lines, the health events and, through them, the
MQTT state). Listeners hear it on the supervisor's thread: a report read on
a camera's reader thread is only noted, and announced at the next ``look``.
"""
from __future__ import annotations

import threading
import time
from typing import Any, Callable, Dict, List, Optional

from ..states import Change, Condition, Listener, FAILING, HUNG, NO_FRAMES, RESTARTING, STARTING, STOPPED, STREAMING

LATE = 3.0  # seconds without a report (one a second) before it counts as missing




class CameraState:
    """``silent()``: seconds since the camera's process last reported;
    ``listeners``: the supervisor's list, shared by its cameras (a camera
    handed over to its successor is muted); ``before``: the condition last
    announced for this camera by the one it follows (a camera restarted by a
    reload)."""

    def __init__(self, camera: str, silent: Callable[[], float], listeners: List[Listener],
                 offline_after: float, before: Optional[Condition] = None) -> None:
        self.camera, self.silent, self.listeners = camera, silent, listeners
        self.offline_after = offline_after
        self.created = time.time()  # offline is counted from here until a frame comes
        self.lock = threading.Lock()  # the reported fields come from a reader thread
        self.running = False  # a process of the camera's is running
        self.to_start = True  # else stopped: no process is to start again
        self.hung: Optional[str] = None  # why the running process is being killed
        self.failures = 0  # processes in a row that ended before running a stable minute
        self.failure: Optional[str] = None  # the last process's end, in words
        self.events_full = False  # the event log cannot be written: no space
        self.told: Dict[str, Any] = {}  # the running process's last report
        self.last_frame: Optional[float] = None  # epoch seconds, over every process
        self.announced = before
        self.now = self._work_out()

    # transitions -----------------------------------------------------------
    def started(self) -> None:
        with self.lock:
            self.running, self.hung, self.told = True, None, {}
        self._settle()

    def reported(self, report: Dict[str, Any]) -> None:
        """A report of the running process (its reader thread); told at the next look."""
        with self.lock:
            self.told = report
            self.last_frame = report.get("last_frame") or self.last_frame

    def hangs(self, reason: str) -> None:
        with self.lock:
            self.hung = reason
        self._settle()

    def ended(self, failure: Optional[str]) -> None:
        """The process is gone (its last report counted); what follows is still to tell."""
        with self.lock:
            self.running, self.hung, self.told, self.failure = False, None, {}, failure

    def waiting(self, failures: int) -> None:
        """To start again after a back-off; ``failures`` in a row so far."""
        with self.lock:
            self.running, self.to_start, self.failures = False, True, failures
        self._settle()

    def stopped(self, failure: str) -> None:
        with self.lock:
            self.running, self.to_start, self.hung, self.told = False, False, None, {}
            self.failure = failure
        self._settle()

    def storage(self, events_full: bool) -> None:
        with self.lock:
            self.events_full = events_full
        self._settle()

    def look(self) -> None:
        """What time alone changes (silence, offline) and the reports read since."""
        self._settle()

    def hand_over(self) -> Optional[Condition]:
        """Mute this camera (it is retired); the condition its successor follows."""
        self.listeners = []
        return self.announced

    # working out -----------------------------------------------------------
    def _settle(self) -> None:
        new = self._work_out()
        self.now = new
        old, self.announced = self.announced, new
        if old != new:
            change = Change(self.camera, old, new)
            for listener in list(self.listeners):
                listener(change)

    def _work_out(self) -> Condition:
        with self.lock:
            silent = self.silent()
            state = self._state(silent)
            quiet = max(0.0, time.time() - max(self.created, self.last_frame or 0.0))
            told = self.told if self.running else {}
            return Condition(state, self._reason(state, silent), quiet <= self.offline_after,
                             bool(told.get("disk_full")) or self.events_full, quiet,
                             told.get("write_error"))

    def _state(self, silent: float) -> str:
        if self.running:
            if self.hung:
                return HUNG
            state = str(self.told.get("state", STARTING))
            # a process that stopped reporting analyses nothing we know of
            return NO_FRAMES if state == STREAMING and silent >= LATE else state
        if not self.to_start:
            return STOPPED
        return FAILING if self.failures >= 2 else RESTARTING

    def _reason(self, state: str, silent: float) -> Optional[str]:
        if state == STREAMING:
            return None
        if self.running:
            if self.hung:
                return self.hung
            if silent >= LATE:
                return "no report from the camera process for {:.0f} s".format(silent)
            told = self.told.get("reason")
            if isinstance(told, str) and told:
                return told
            if state == STARTING:
                return self.failure or "no frame analysed yet"
        return self.failure or state
