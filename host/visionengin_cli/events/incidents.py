"""Incidents: the alarm pictures of one camera and one info type (and, when
asked, one zone of the camera) that follow each other within a gap, told as
one "incident_start" and one "incident_end".

Pure logic over a stream of alarms in time order, on whatever clock the caller
has: seconds into a video for the archives, epoch seconds for a live camera
(which also calls ``close_idle`` as time passes, since an incident of a quiet
camera ends by time alone). Nothing here reads a clock or writes a file.
"""
from __future__ import annotations

import uuid
from typing import Any, Callable, Dict, List, Optional, Tuple

START, END = "incident_start", "incident_end"
DEFAULT_GAP = 30.0


def _new_id(camera: str, info_type: str, start: float) -> str:
    return uuid.uuid4().hex


class Incident:
    """One incident as it grows: its first and last alarm, its count and its
    best picture (the highest score, else the first picture)."""

    def __init__(self, ident: str, camera: str, info_type: str, at: float, picture: Optional[str],
                 score: Optional[float], zone: Optional[str] = None) -> None:
        self.id, self.camera, self.info_type, self.zone = ident, camera, info_type, zone
        self.start = self.end = at
        self.count = 1
        self.picture, self.score = picture, score

    def add(self, at: float, picture: Optional[str], score: Optional[float]) -> None:
        self.end = max(self.end, at)
        self.count += 1
        if picture is None:  # an alarm whose picture could not be written: never the best
            return
        if self.picture is None or score is not None and (self.score is None or score > self.score):
            self.picture, self.score = picture, score

    def event(self, kind: str) -> Dict[str, Any]:
        event: Dict[str, Any] = {"type": kind, "id": self.id, "camera": self.camera,
                                 "info_type": self.info_type, "start": self.start,
                                 "end": self.end, "count": self.count, "picture": self.picture}
        if self.score is not None:
            event["score"] = self.score
        if self.zone is not None:
            event["zone"] = self.zone
        return event


class Incidents:
    """Groups alarms into incidents. ``add`` and the ``close_*`` calls return
    the incident events they cause, in order; "start" and "end" are on the
    caller's clock. ``new_id(camera, info_type, start)`` names an incident
    (random by default; a caller that must name the same incident the same way
    on a second run passes its own)."""

    def __init__(self, gap: float = DEFAULT_GAP,
                 new_id: Optional[Callable[[str, str, float], str]] = None) -> None:
        if not gap >= 0:
            raise ValueError("the incident gap must be 0 or more, got {!r}".format(gap))
        self.gap = gap
        self.new_id = new_id or _new_id
        self.open: Dict[Tuple[str, str, Optional[str]], Incident] = {}

    def add(self, camera: str, info_type: str, at: float, picture: Optional[str],
            score: Optional[float] = None, zone: Optional[str] = None) -> List[Dict[str, Any]]:
        """One alarm picture at time ``at`` (in ``zone`` of the camera: an
        incident of that zone alone)."""
        events: List[Dict[str, Any]] = []
        key = (camera, info_type, zone)
        current = self.open.get(key)
        if current is not None and at - current.end > self.gap:
            events.append(self.open.pop(key).event(END))
            current = None
        if current is None:
            current = Incident(self.new_id(camera, info_type, at), camera, info_type, at,
                               picture, score, zone)
            self.open[key] = current
            events.append(current.event(START))
        else:
            current.add(at, picture, score)
        return events

    def close_idle(self, now: float) -> List[Dict[str, Any]]:
        """Ends the incidents whose last alarm is more than the gap before ``now``."""
        idle = [key for key, incident in self.open.items() if now - incident.end > self.gap]
        return [self.open.pop(key).event(END) for key in idle]

    def close_all(self, camera: Optional[str] = None) -> List[Dict[str, Any]]:
        """Ends every open incident (of ``camera`` only, when given), oldest first."""
        keys = sorted((key for key in self.open if camera is None or key[0] == camera),
                      key=lambda key: self.open[key].start)
        return [self.open.pop(key).event(END) for key in keys]
