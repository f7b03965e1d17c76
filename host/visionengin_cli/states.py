"""The words a camera's state is told in: by a live run and a camera
process (``live.LiveState``), by the supervisor that runs them, on the
terminal, in status.json, on MQTT (Home Assistant lists them all, and
refuses a state outside its list), on the page and in the metrics. Every
module takes them from here."""
from __future__ import annotations

from dataclasses import dataclass, field
from typing import Callable, Optional

# a live run's own, reported by a camera process
STARTING = "starting"
STREAMING = "streaming"
RECONNECTING = "reconnecting"
NO_FRAMES = "no frames"
STOPPED = "stopped"
# the supervisor's, of a process it watches or waits to start again
HUNG = "hung"
RESTARTING = "restarting"
FAILING = "failing"

# Every state a camera can report, in the order they are listed.
CAMERA_STATES = (STARTING, STREAMING, RECONNECTING, NO_FRAMES, HUNG, RESTARTING, FAILING, STOPPED)

# What a reader of the status files says beside them: a status nobody
# rewrites any more, one without a state, a camera of a device gone offline.
STALE = "stale"
UNKNOWN = "unknown"
OFFLINE = "offline"


@dataclass(frozen=True)
class Condition:
    """A camera's state at one moment, as it is shown and told. Two
    conditions are the same when what they tell is: the seconds counted and
    the write error ride along."""

    state: str
    reason: Optional[str]  # why the camera is not streaming; None while it is
    online: bool  # False once no frame came for the camera's offline_after seconds
    disk_full: bool
    quiet: float = field(default=0.0, compare=False)  # seconds since the last analysed frame
    write_error: Optional[str] = field(default=None, compare=False)


@dataclass(frozen=True)
class Change:
    """One change of a camera's condition; ``old`` is None at its first."""

    camera: str
    old: Optional[Condition]
    new: Condition


Listener = Callable[[Change], None]
