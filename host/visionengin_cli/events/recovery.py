"""What a start recovers from a process that died (SIGKILL, OOM, power cut)
instead of stopping: the incidents it left open, and the alarm pictures it
moved into a camera's folder without logging their events.

Read from the end of the event log (the current file and its parts, within
``READ_BYTES``), for the cameras this process owns (their folder locks are
held, so no live process writes for them):
- an ``incident_start`` with no ``incident_end`` is ended now, counting the
  alarms the log holds for it, with the reason ``UNCLEAN``;
- a picture in a camera's hour folders, written at or after that camera's
  last logged alarm (a health line may have passed an alarm still on its way)
  and named by no event, gets its alarm line, grouped into
  the open incident of its info type, or into new ones that end at once.
Every line goes through the event log and the sinks as any other, so the
retained MQTT ``<camera>/<info type>`` turns OFF and Home Assistant clears.
"""
from __future__ import annotations

import json
import logging
import os
import time
from typing import Any, Callable, Dict, Iterable, List, Optional, Set, Tuple

from ..storage.layout import hour_key, hour_start, picture_info_type, picture_time
from ..storage.ledger import hour_folders
from ..storage.times import epoch_or_none
from .incidents import END, START, Incident, Incidents
from .reader import lines_from_end

log = logging.getLogger("visionengin.events")
UNCLEAN = "ended at start after an unclean stop"
READ_BYTES = 16 * 1024 * 1024  # how far back the log is read (a part): a second or so at a start
NO_EVENT_HOURS = 24  # a camera with no logged event: its pictures of this many hours are looked at
MAX_ORPHANS = 10000  # per camera and start: pictures told at most
PICTURE_ENDS = (".jpg", ".jpeg", ".png")


class Left:
    """What the log's end says of the cameras owned here."""

    def __init__(self) -> None:
        self.open: Dict[str, Incident] = {}  # incident id: as far as the log tells it
        self.last: Dict[str, float] = {}  # camera: time of its last logged alarm
        self.named: Set[str] = set()  # pictures ("<camera>/<hour>/<name>") alarm lines name


def read_left(root: str, cameras: Iterable[str], max_bytes: int = READ_BYTES,
              strays: Optional[Callable[[str], bool]] = None) -> Left:
    """Read newest first, keeping only what is still undecided: the incidents
    of one camera and info type follow each other, so the first incident line
    met of a kind decides it (an end: nothing of it is open; a start: it is,
    with the alarms met so far, all later than it). ``strays(camera)``: also
    a camera not run here whose incidents are this run's to end (one the
    configuration no longer names)."""
    wanted = set(cameras)
    left = Left()
    # Keyed by camera, info type and zone (None: the whole frame's incidents)
    decided: Set[Tuple[str, str, Optional[str]]] = set()
    since: Dict[Tuple[str, str, Optional[str]], List[Tuple[float, Optional[str], Optional[float]]]] = {}
    for raw in lines_from_end(root, max_bytes):
        try:
            line = json.loads(raw)
        except ValueError:  # a line a crash cut short: nothing to recover from it
            continue
        if not isinstance(line, dict) or not isinstance(line.get("camera"), str) \
                or not isinstance(line.get("info_type"), str) \
                or not (line["camera"] in wanted or (strays is not None and strays(line["camera"]))):
            continue
        camera, kind = line["camera"], line.get("type", "alarm")
        zone = line.get("zone") if isinstance(line.get("zone"), str) else None
        key = (camera, line["info_type"], zone)
        at = epoch_or_none(line.get("time"))
        if kind == "alarm" and at is not None:
            last = left.last.setdefault(camera, at)  # alarms only: a health line may pass one in flight
            picture = line.get("picture")
            if isinstance(picture, str) and at >= last - 1.0:
                left.named.add(picture)
            zones: List[Any] = line["zones"] if isinstance(line.get("zones"), list) else []
            score = line.get("score")
            told = (at, picture if isinstance(picture, str) else None,
                    score if isinstance(score, (int, float)) else None)
            for each in [key] + [(camera, line["info_type"], str(z)) for z in zones]:
                if each not in decided:  # an alarm counts in its zones' incidents too
                    since.setdefault(each, []).append(told)
        elif kind in (START, END) and key not in decided:
            decided.add(key)
            alarms = since.pop(key, [])
            start = epoch_or_none(line.get("start")) or at
            if kind == END or not isinstance(line.get("incident"), str) or start is None:
                continue
            score = line.get("score")
            incident = Incident(line["incident"], camera, line["info_type"], start,
                                line["picture"] if isinstance(line.get("picture"), str) else None,
                                score if isinstance(score, (int, float)) else None, zone)
            for when, picture, score in reversed(alarms):  # oldest first
                if when > start or (when == start and picture != incident.picture):
                    incident.add(when, picture, score)
            left.open[incident.id] = incident
    return left


def orphans(folder: str, camera: str, since: Optional[float], named: Set[str],
            now: float) -> List[Tuple[float, str, str]]:
    """(time, info type, picture relative to the camera's folder) of the
    pictures at or after ``since`` that no event names, oldest first."""
    since = now - NO_EVENT_HOURS * 3600.0 if since is None else since
    first = hour_key(since)
    found: List[Tuple[float, str, str]] = []
    for key in hour_folders(folder):
        if key < first or hour_start(key) is None:
            continue
        try:
            names = sorted(os.listdir(os.path.join(folder, key)))
        except OSError:
            continue
        for name in names:
            if not name.endswith(PICTURE_ENDS) or camera + "/" + key + "/" + name in named:
                continue
            at = picture_time(name, key)
            info_type = picture_info_type(name)
            if at is not None and at >= since and info_type:
                found.append((at, info_type, key + "/" + name))
    found.sort()
    return found


def recover(root: str, folders: Dict[str, str], gap: float,
            write_alarm: Callable[[str, Dict[str, Any]], Dict[str, Any]],
            publish: Callable[[Dict[str, Any]], None],
            incidents: Callable[[List[Dict[str, Any]], Optional[str]], None],
            now: Optional[float] = None,
            strays: Optional[Callable[[str], bool]] = None) -> Tuple[int, int]:
    """``folders``: camera name to its folder, for the cameras owned here.
    ``write_alarm(camera, event)`` logs an alarm line and returns it (the
    event log's ``write``); ``publish(line)`` hands it to the sinks;
    ``incidents(events, reason)`` logs and publishes incident events (the
    live events'). ``strays``: as ``read_left``'s, their open incidents
    ended too. Returns (incidents ended, pictures told)."""
    now = time.time() if now is None else now
    left = read_left(root, folders, strays=strays)
    grouping = Incidents(gap)
    for incident in sorted(left.open.values(), key=lambda each: each.start):
        grouping.open[(incident.camera, incident.info_type, incident.zone)] = incident
    ended, told = 0, 0
    for camera, folder in folders.items():
        found = orphans(folder, camera, left.last.get(camera), left.named, now)
        if len(found) > MAX_ORPHANS:
            log.warning("%s: %d pictures have no event; the newest %d are told", camera,
                        len(found), MAX_ORPHANS)
            found = found[-MAX_ORPHANS:]
        for at, info_type, picture in found:
            try:
                line = write_alarm(camera, {"time": at, "info_type": info_type, "picture": picture})
            except OSError as error:
                log.error("%s: cannot write the event of %s: %s", camera, picture,
                          error.strerror or error)
                continue
            told += 1
            publish(line)
            events = grouping.add(camera, info_type, at, line["picture"])
            ended += sum(1 for event in events if event["type"] == END)
            incidents(events, UNCLEAN)  # an incident of pictures told now ends as one left open
        if found:
            log.warning("%s: %d alarm picture%s had no event (an unclean stop): told now", camera,
                        len(found), "" if len(found) == 1 else "s")
    closing = grouping.close_all()
    incidents(closing, UNCLEAN)
    if left.open:
        log.warning("%d incident%s left open by an unclean stop: ended now", len(left.open),
                    "" if len(left.open) == 1 else "s")
    return ended + len(closing), told
