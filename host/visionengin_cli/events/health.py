"""Camera health from the supervisor's own figures: a camera with no
analysed frame for ``offline_after`` seconds (counted from its own start
when none came yet: a camera a reload restarts starts again) is offline, and online again at its next frame; a camera
that cannot write its pictures or events for want of space is "disk_full"
until "disk_ok". Each change is one event; the camera's state (for the MQTT
``<camera>/state`` topic) is passed on at every look."""
from __future__ import annotations

import time
from typing import Any, Callable, Dict, Optional

PERIOD = 1.0  # seconds between looks


class HealthWatch:
    """``emit(kind, camera, reason)`` writes a health event (``LiveEvents.health``);
    ``state(camera, state)`` receives each camera's current state."""

    def __init__(self, offline_after: float, emit: Callable[[str, Optional[str], str], Any],
                 state: Optional[Callable[[str, Dict[str, Any]], None]] = None) -> None:
        self.offline_after, self.emit, self.state = offline_after, emit, state
        self.since: Dict[str, float] = {}  # camera: when its current slot was first watched
        self.slot_of: Dict[str, Any] = {}  # camera: that slot (a reload makes a new one)
        self.offline: Dict[str, bool] = {}
        self.disk_full: Dict[str, bool] = {}
        self.last = 0.0

    def watch(self, slots: Dict[str, Any], now: Optional[float] = None) -> None:
        """``slots``: the supervisor's, name to Slot (``status()`` and
        ``figures()``); called from its loop, looks about once a second."""
        now = time.time() if now is None else now
        if now - self.last < PERIOD:
            return
        self.last = now
        for name in [name for name in self.since if name not in slots]:
            del self.since[name]
            self.slot_of.pop(name, None)
            self.offline.pop(name, None)
            self.disk_full.pop(name, None)
        for name, slot in slots.items():
            status = slot.status()
            last_frame = slot.figures().get("last_frame")
            if self.slot_of.get(name) is not slot:  # added, or restarted by a reload
                self.slot_of[name], self.since[name] = slot, now
            start = self.since[name]
            quiet = now - max(start, last_frame or 0.0)
            reason = status.get("reason") or status.get("state") or "unknown"
            if quiet > self.offline_after and not self.offline.get(name):
                self.offline[name] = True
                self.emit("camera_offline", name, "no analysed frame for {:.0f} s ({})".format(
                    quiet, reason))
            elif quiet <= self.offline_after and self.offline.get(name):
                self.offline[name] = False
                self.emit("camera_online", name, "frames analysed again")
            full = bool(status.get("disk_full"))
            if full != self.disk_full.get(name, False):
                self.disk_full[name] = full
                self.emit("disk_full" if full else "disk_ok", name,
                          str(status.get("write_error") or "No space left on device") if full
                          else "alarm pictures written again")
            if self.state is not None:
                self.state(name, {"state": status.get("state"), "reason": status.get("reason"),
                                  "online": not self.offline.get(name, False), "disk_full": full})
