"""When a camera process counts as hung, and how a process's end is told.

The reports of a camera process say what it believes; the watchdog judges by
what moves: the reports themselves (a stopped or wedged process sends none),
the running detector call and frame (a stuck detector or native call), and
the frame count of a process that says "streaming".
"""
from __future__ import annotations

import signal
from typing import Any, Dict, Optional

from ..states import STREAMING

# A process still loading the engine and its detector (a large model may hold
# the interpreter for a while) gets this long at least before it is hung.
LOADING_LIMIT = 120.0


class Progress:
    """What the watchdog saw of one camera process."""

    def __init__(self, now: float) -> None:
        self.reported_at = now  # monotonic time of the last report
        self.frames: Any = None
        self.frames_at = now  # ... and of the last change of its frame count

    def report(self, now: float) -> None:
        self.reported_at = now

    def held_up(self, seconds: float) -> None:
        """The supervisor itself did not run for ``seconds`` (a suspended
        machine, an overload): that time is not the camera's."""
        self.reported_at += seconds
        self.frames_at += seconds


def verdict(progress: Progress, report: Dict[str, Any], limit: float, now: float) -> Optional[str]:
    """Why the process is hung, or None while it is not."""
    if report.get("frames") != progress.frames:
        progress.frames, progress.frames_at = report.get("frames"), now
    silent = now - progress.reported_at
    loading = report.get("loading", True) is not False
    call = _seconds(report.get("detector_call_seconds"))
    work = _seconds(report.get("frame_work_seconds"))
    if silent >= (max(limit, LOADING_LIMIT) if loading else limit):
        return "no report from the camera process for {:.0f} s".format(silent)
    if call >= limit:
        return "detector call running for {:.0f} s".format(call)
    if work >= limit:
        return "the analysis of one frame running for {:.0f} s".format(work)
    if report.get("state") == STREAMING and now - progress.frames_at >= limit:
        return "\"streaming\" but no frame analysed for {:.0f} s".format(now - progress.frames_at)
    return None


def ending(status: Optional[int], error: Optional[str]) -> str:
    """A process's end in words: its exit status or signal, and its last error."""
    if status is not None and status < 0:
        try:
            name = signal.Signals(-status).name
        except ValueError:
            name = "signal {}".format(-status)
        how = "the camera process was killed by {}".format(name)
    else:
        how = "the camera process ended with status {}".format(status)
    return how + (" ({})".format(error) if error else "")


def stopped(pid: int) -> bool:
    """Whether the process is stopped (SIGSTOP, a debugger): it would hear
    SIGTERM only once continued. Linux tells in /proc; elsewhere: no."""
    try:
        with open("/proc/{}/stat".format(pid), "rb") as file:
            stat = file.read(4096)
    except OSError:
        return False
    fields = stat[stat.rfind(b")") + 2:].split(b" ", 1)  # the name may hold anything
    return bool(fields) and fields[0] in (b"T", b"t")


def _seconds(value: Any) -> float:
    return float(value) if isinstance(value, (int, float)) and not isinstance(value, bool) else 0.0
