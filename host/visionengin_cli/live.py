"""What a live run tells, gathered in one thread-safe state object.

A live run speaks in two ways: the detector's answers (one per analysed frame,
seen through the engine's tap, ``engine.tap``, put in front of
``engine.predict``) and the engine's own lines "rtsp restart..." (a failed
read, the capture is reopened) and "wait..." (no frame for 5 s), which the
engine prints to ``sys.stdout`` and ``engine.lines`` hands to ``LiveState``.
The ``stream`` command and the multi-camera runner both present a run from a
``LiveState``.
"""
from __future__ import annotations

import collections
import logging
import threading
import time
from typing import Any, Callable, Deque, Dict, List, Optional, Tuple

from .engine.contract import LIVE_LINES, RESTART
from .states import NO_FRAMES, RECONNECTING, STARTING, STOPPED, STREAMING


log = logging.getLogger("visionengin.live")


class LiveState:
    """The state of one live run. ``answer`` and ``engine_line`` feed it (from any
    thread); the properties read it. ``on_change(old, new)`` hears every change
    of ``state``; "no frames" is also reached by time alone, ``NO_FRAMES_AFTER``
    seconds after the last analysed frame."""

    NO_FRAMES_AFTER = 5.0
    WINDOW = 3.0  # seconds over which analysed_fps is measured

    def __init__(self, on_change: Optional[Callable[[str, str], None]] = None) -> None:
        self._lock = threading.Lock()
        self._state = STARTING
        self._reported = STARTING
        self.on_change = on_change
        self.started = time.time()
        self.frames = 0
        self.alarms = 0
        self.by_type: Dict[str, int] = {}
        self.reconnects = 0
        self.waits = 0
        self.last_frame: Optional[float] = None
        self.last_alarm: Optional[Dict[str, Any]] = None
        self._samples: Deque[Tuple[float, int]] = collections.deque([(time.monotonic(), 0)])

    # -- feeding -----------------------------------------------------------
    def answer(self, alarms: List[Dict[str, Any]]) -> None:
        """One analysed frame and the alarm pictures it made (``alarms_of``)."""
        now = time.time()
        with self._lock:
            self.frames += 1
            self.last_frame = now
            for alarm in alarms:
                self.alarms += 1
                self.by_type[alarm["info_type"]] = self.by_type.get(alarm["info_type"], 0) + 1
                self.last_alarm = dict(alarm, time=now)
            self._state = STREAMING
        self._notify()

    def engine_line(self, line: str) -> bool:
        """Takes one line the engine printed; False when it is none of its own."""
        text = line.strip()
        if text not in LIVE_LINES:
            return False
        with self._lock:
            if text == RESTART:
                self.reconnects += 1
                self._state = RECONNECTING
            else:
                self.waits += 1
                if self._state != RECONNECTING:
                    self._state = NO_FRAMES
        log.info("engine: %s", text)
        self._notify()
        return True

    def stop(self) -> None:
        with self._lock:
            self._state = STOPPED
        self._notify()

    # -- reading -----------------------------------------------------------
    @property
    def state(self) -> str:
        with self._lock:
            return self._current()

    def _current(self) -> str:
        if self._state == STREAMING and self._quiet() >= self.NO_FRAMES_AFTER:
            return NO_FRAMES
        return self._state

    def _quiet(self) -> float:
        return time.time() - (self.last_frame if self.last_frame is not None else self.started)

    @property
    def seconds_without_frames(self) -> float:
        with self._lock:
            return self._quiet()

    @property
    def analysed_fps(self) -> float:
        now = time.monotonic()
        with self._lock:
            self._samples.append((now, self.frames))
            while len(self._samples) > 2 and now - self._samples[0][0] > self.WINDOW:
                self._samples.popleft()
            then, before = self._samples[0]
            return (self.frames - before) / (now - then) if now > then else 0.0

    def snapshot(self) -> Dict[str, Any]:
        """Every field at one moment, for a status line, table or file."""
        fps = self.analysed_fps
        with self._lock:
            return {"state": self._current(), "frames": self.frames, "alarms": self.alarms,
                    "by_type": dict(self.by_type), "reconnects": self.reconnects,
                    "last_frame": self.last_frame, "seconds_without_frames": self._quiet(),
                    "analysed_fps": fps,
                    "last_alarm": dict(self.last_alarm) if self.last_alarm else None}

    def poll(self) -> str:
        """The state now; tells ``on_change`` of a change reached by time alone."""
        self._notify()
        return self.state

    def _notify(self) -> None:
        with self._lock:
            new, old = self._current(), self._reported
            self._reported = new
        if new != old and self.on_change is not None:
            self.on_change(old, new)
