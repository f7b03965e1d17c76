"""The words a camera's state is told in: by a live run and a camera
process (``live.LiveState``), by the supervisor that runs them, on the
terminal, in status.json, on MQTT (Home Assistant lists them all, and
refuses a state outside its list), on the page and in the metrics. Every
module takes them from here."""
from __future__ import annotations

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
