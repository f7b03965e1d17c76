"""A camera's recordings as the page browses them: the hours that hold
segments (``<camera>/recordings/<YYYY-MM-DD>/<HH>/<HHMMSS.ffffff>.mp4``,
UTC, named by the segment's start), and the segments of one hour. Read from
the folders as the camera leaves them; a name that is not of this layout is
passed over, and every listing is bounded."""
from __future__ import annotations

import datetime
import logging
import os
import re
from typing import Any, Dict, List, Optional

from ..storage.names import is_camera_name
from ..storage.parsing import Bad

log = logging.getLogger("visionengin.web")
DAY = re.compile(r"^\d{4}-\d\d-\d\d$")
HOUR = re.compile(r"^\d\d$")
SEGMENT = re.compile(r"^(\d\d)(\d\d)(\d\d)\.(\d{6})\.mp4$")
MOST_HOURS = 24 * 400  # more than retention keeps
MOST_SEGMENTS = 20000  # an hour of 0.2 s segments


def camera_folder(root: str, name: str) -> str:
    """The folder of a camera of the root; Bad (a 404) for a name that is
    none (the names the configuration allows, with a status.json)."""
    if not is_camera_name(name) or not os.path.isfile(os.path.join(root, name, "status.json")):
        raise Bad("no camera {!r} under this results root".format(name))
    return os.path.join(root, name)


def parse_hour(text: str) -> datetime.datetime:
    """"YYYY-MM-DD/HH" (UTC) as the hour's start; Bad otherwise."""
    day, sep, hour = text.partition("/")
    try:
        if not (sep and DAY.match(day) and HOUR.match(hour)):
            raise ValueError
        return datetime.datetime.strptime(day + " " + hour, "%Y-%m-%d %H").replace(
            tzinfo=datetime.timezone.utc)
    except ValueError:
        raise Bad("hour: not YYYY-MM-DD/HH (UTC), e.g. 2026-03-01/14") from None


def _names(folder: str) -> List[str]:
    try:
        return sorted(os.listdir(folder))
    except FileNotFoundError:
        return []
    except OSError as error:
        log.warning("cannot list %s: %s", folder, error.strerror or error)
        return []


def _any_segment(folder: str) -> bool:
    try:
        with os.scandir(folder) as entries:
            return any(SEGMENT.match(entry.name) for entry in entries)
    except OSError:  # not a folder, or removed as we looked
        return False


def hours(folder: str) -> List[Dict[str, Any]]:
    """The hours with segments, newest first: their name ("YYYY-MM-DD/HH")
    and start (each hour's folder read up to its first segment only)."""
    base = os.path.join(folder, "recordings")
    found: List[Dict[str, Any]] = []
    for day in reversed(_names(base)):
        if not DAY.match(day):
            continue
        for hour in reversed(_names(os.path.join(base, day))):
            name = day + "/" + hour
            if not HOUR.match(hour):
                continue
            try:
                start = parse_hour(name)
            except Bad:
                continue
            if _any_segment(os.path.join(base, day, hour)):
                found.append({"hour": name, "start": start.isoformat()})
            if len(found) >= MOST_HOURS:
                return found
    return found


def segments(folder: str, camera: str, hour: str) -> List[Dict[str, Any]]:
    """The segments of ``hour``, oldest first: their start, path (relative to
    the root, as /clips/ serves it) and size; each ends where the next starts."""
    start = parse_hour(hour)
    where = os.path.join(folder, "recordings", *hour.split("/"))
    found: List[Dict[str, Any]] = []
    for name in _names(where):
        match = SEGMENT.match(name)
        if match is None:
            continue
        hh, mm, ss, micro = (int(g) for g in match.groups())
        if hh != start.hour or mm > 59 or ss > 59:
            continue
        try:
            size: Optional[int] = os.stat(os.path.join(where, name)).st_size
        except OSError:  # removed by retention as we looked
            continue
        begins = start.replace(minute=mm, second=ss, microsecond=micro)
        found.append({"start": begins.isoformat(), "path": "/".join((camera, "recordings", hour, name)),
                      "bytes": size})
        if len(found) >= MOST_SEGMENTS:
            break
    return found
