"""The live cameras' events beyond the single picture: incidents (alarm
pictures grouped by the shared grouping) and camera health, each written to
``events.jsonl`` with a stable ``id`` and a ``type``, then handed to the sinks.

Called from the supervisor's threads (one reader per camera) and its loop;
one lock keeps the log's order and the sinks' order the same.
"""
from __future__ import annotations

import logging
import threading
import time
import uuid
from typing import Any, Callable, Dict, Iterable, List, Optional, Protocol, Set

from ..storage.times import BadTime, epoch, iso
from .incidents import Incidents

log = logging.getLogger("visionengin.events")
HEALTH = ("camera_offline", "camera_online", "camera_hung", "disk_full", "disk_ok")


class Grouping(Protocol):
    """What this needs of the incidents' grouping (events/incidents.py): each call
    returns the incident events it causes, in order, as dicts with "type",
    "id" (the incident's), "camera", "info_type", "start", "end" (on the
    caller's clock, epoch seconds here), "count", "picture", maybe "score" and,
    for an incident of one zone, "zone"."""

    def add(self, camera: str, info_type: str, at: float, picture: Optional[str],
            score: Optional[float] = None, zone: Optional[str] = None) -> List[Dict[str, Any]]: ...

    def close_idle(self, now: float) -> List[Dict[str, Any]]: ...

    def close_all(self, camera: Optional[str] = None) -> List[Dict[str, Any]]: ...


def new_id() -> str:
    return uuid.uuid4().hex


def shared_grouping(gap: float) -> Grouping:
    """The grouping of alarms into incidents the archives use too."""
    return Incidents(gap)


class LiveEvents:
    """``write(line)`` appends a whole line to events.jsonl (the event log's
    ``append``); ``publish(line)`` hands it to the sinks. The alarms of the
    cameras in ``by_zone`` that name zones make an incident per zone."""

    def __init__(self, write: Callable[[Dict[str, Any]], None],
                 publish: Optional[Callable[[Dict[str, Any]], None]],
                 grouping: Optional[Grouping], by_zone: Iterable[str] = ()) -> None:
        self.write, self.publish, self.grouping = write, publish, grouping
        self.by_zone: Set[str] = set(by_zone)  # set again after a reload
        # Reentrant: the supervisor holds it while it logs an alarm and calls alarm().
        self.lock = threading.RLock()
        # on_incident(line): may add to an incident's line before it is written
        # (the recordings name an incident_end's clip)
        self.on_incident: Optional[Callable[[Dict[str, Any]], None]] = None

    def alarm(self, line: Dict[str, Any]) -> None:
        """An alarm picture's line, just written to the log (the supervisor's
        ``on_event``)."""
        with self.lock:
            self._publish(line)
            if self.grouping is not None:
                score, picture = line.get("score"), line.get("picture")
                camera, zones = str(line["camera"]), line.get("zones")
                try:
                    at = epoch(line["time"])
                except BadTime as error:  # not of our writing: grouped as it arrives, and said so
                    log.warning("camera %s: an alarm with a bad time (%s): grouped at its arrival",
                                line.get("camera"), error)
                    at = time.time()
                places: List[Optional[str]] = [None]
                if camera in self.by_zone and isinstance(zones, list) and zones:
                    places = [str(zone) for zone in zones]
                for zone in places:
                    self._incidents(self.grouping.add(
                        camera, str(line["info_type"]), at,
                        picture if isinstance(picture, str) else None,  # None: not written
                        score if isinstance(score, (int, float)) else None, zone))

    def tick(self, now: Optional[float] = None) -> None:
        """Ends the incidents quiet for longer than the gap; call it often."""
        if self.grouping is not None:
            with self.lock:
                self._incidents(self.grouping.close_idle(time.time() if now is None else now))

    def close(self, camera: Optional[str] = None) -> None:
        """Ends the open incidents (of one camera): at a stop or a removal."""
        if self.grouping is not None:
            with self.lock:
                self._incidents(self.grouping.close_all(camera))

    def health(self, kind: str, camera: Optional[str], reason: str,
               at: Optional[float] = None) -> Dict[str, Any]:
        """One camera-health event: "camera_offline", "camera_online",
        "camera_hung", "disk_full", "disk_ok", of ``camera`` (None: of the
        whole results root)."""
        if kind not in HEALTH:
            raise ValueError("not a health event: {!r}".format(kind))
        line: Dict[str, Any] = {"type": kind, "id": new_id(),
                                "time": iso(time.time() if at is None else at)}
        if camera is not None:
            line["camera"] = camera
        line["reason"] = reason
        with self.lock:
            self._emit(line)
        return line

    def recovered(self, events: List[Dict[str, Any]], reason: Optional[str]) -> None:
        """Incident events a start recovers (events/recovery.py): each end
        carries ``reason``, why it ends without its camera going quiet."""
        with self.lock:
            self._incidents(events, reason)

    def _incidents(self, events: List[Dict[str, Any]], reason: Optional[str] = None) -> None:
        for event in events:
            line = {"type": event["type"], "id": new_id(), "incident": event["id"],
                    "time": iso(event["start"] if event["type"] == "incident_start" else event["end"]),
                    "camera": event["camera"], "info_type": event["info_type"],
                    "start": iso(event["start"]), "end": iso(event["end"]),
                    "count": event["count"], "picture": event["picture"]}
            if event.get("score") is not None:
                line["score"] = event["score"]
            if event.get("zone") is not None:
                line["zone"] = event["zone"]
            if reason is not None and event["type"] == "incident_end":
                line["reason"] = reason
            if self.on_incident is not None:
                try:
                    self.on_incident(line)
                except Exception:  # noqa: BLE001 - the incident is told whatever its clip does
                    log.exception("cannot name the clip of incident %s", event["id"])
            self._emit(line)

    def _emit(self, line: Dict[str, Any]) -> None:
        try:
            self.write(line)
        except OSError as error:
            log.error("cannot write a %s event: %s", line["type"], error.strerror or error)
        self._publish(line)

    def publish_alarm(self, line: Dict[str, Any]) -> None:
        """An alarm line to the sinks alone, outside the grouping."""
        with self.lock:
            self._publish(line)

    def _publish(self, line: Dict[str, Any]) -> None:
        if self.publish is not None:
            try:
                self.publish(line)
            except Exception:  # noqa: BLE001 - the cameras go on whatever a sink does
                log.exception("cannot queue an event for the sinks")
