"""Camera health, told as events from the changes of a camera's state
(``cameras.state``): a camera with no analysed frame for ``offline_after``
seconds (counted from its own start when none came yet: a camera a reload
restarts starts again) is offline, and online again at its next frame; a
camera found hung is "camera_hung"; a camera that cannot write its pictures
or events for want of space is "disk_full" until "disk_ok". Each change is
one event; the camera's state (for the MQTT ``<camera>/state`` topic) is
passed on at each change."""
from __future__ import annotations

from typing import Any, Callable, Dict, Optional

from ..states import Change, Condition
from ..states import HUNG

# Before its first change a camera is taken as online, its disk as fine.
UNSEEN = Condition(state="", reason=None, online=True, disk_full=False)


class HealthWatch:
    """``emit(kind, camera, reason)`` writes a health event (``LiveEvents.health``);
    ``state(camera, state)`` receives each camera's state when it changes."""

    def __init__(self, emit: Callable[[str, Optional[str], str], Any],
                 state: Optional[Callable[[str, Dict[str, Any]], None]] = None) -> None:
        self.emit, self.state = emit, state

    def changed(self, change: Change) -> None:
        """A listener of the cameras' states (``Supervisor.listeners``)."""
        name, old, new = change.camera, change.old or UNSEEN, change.new
        if new.state == HUNG and old.state != HUNG:
            self.emit("camera_hung", name, new.reason or HUNG)
        if old.online and not new.online:
            self.emit("camera_offline", name, "no analysed frame for {:.0f} s ({})".format(
                new.quiet, new.reason or new.state or "unknown"))
        elif new.online and not old.online:
            self.emit("camera_online", name, "frames analysed again")
        if new.disk_full != old.disk_full:
            self.emit("disk_full" if new.disk_full else "disk_ok", name,
                      str(new.write_error or "No space left on device") if new.disk_full
                      else "alarm pictures written again")
        if self.state is not None:
            self.state(name, {"state": new.state, "reason": new.reason, "online": new.online,
                              "disk_full": new.disk_full})
