"""Where a camera's recording is kept: ``<camera>/recordings/<YYYY-MM-DD>/<HH>/
<HHMMSS.ffffff>.mp4``, UTC, each segment named by the wall time of its first
picture, and where an incident's clip goes: ``<camera>/<YYYY-MM-DD>/<HH>/
incident-<id>.mp4`` in the hour folder of the incident's first picture.

Segments follow each other without overlap, so a segment ends where the
next begins; names sort by time within an hour folder, and hour keys sort by
time too.
"""
from __future__ import annotations

import datetime
import os
import re
from typing import List, Optional, Tuple

from .layout import DAY, HOUR, UTC, picture_time

FOLDER = "recordings"
_SEGMENT = re.compile(r"^\d{6}\.\d{6}\.mp4$")
_CLIP_ID = re.compile(r"^[A-Za-z0-9_-]{1,64}$")


def segment_path(when: float) -> str:
    """``recordings/<day>/<hour>/<HHMMSS.ffffff>.mp4`` of a segment starting at ``when``."""
    moment = datetime.datetime.fromtimestamp(when, UTC)
    return "{}/{}/{}.mp4".format(FOLDER, moment.strftime("%Y-%m-%d/%H"), moment.strftime("%H%M%S.%f"))


def clip_path(camera: str, first_picture: float, incident: str) -> Optional[str]:
    """``<camera>/<day>/<hour>/incident-<id>.mp4``, relative to the root;
    None for an id that is no safe file name."""
    if not _CLIP_ID.match(incident):
        return None
    moment = datetime.datetime.fromtimestamp(first_picture, UTC)
    return "{}/{}/incident-{}.mp4".format(camera, moment.strftime("%Y-%m-%d/%H"), incident)


def segments(folder: str, since: Optional[float] = None) -> List[Tuple[float, str]]:
    """(start, path) of every segment of a camera folder, oldest first; with
    ``since``, only those of the hour folders from the one before ``since``
    on (an hour folder's segments start within it)."""
    base = os.path.join(folder, FOLDER)
    found: List[Tuple[float, str]] = []
    first = None if since is None else datetime.datetime.fromtimestamp(since - 3600, UTC).strftime(
        "%Y-%m-%d/%H")
    try:
        days = sorted(name for name in os.listdir(base) if DAY.match(name))
    except OSError:
        return found
    for day in days:
        try:
            hours = sorted(name for name in os.listdir(os.path.join(base, day)) if HOUR.match(name))
        except OSError:
            continue
        for hour in hours:
            key = day + "/" + hour
            if first is not None and key < first:
                continue
            try:
                names = sorted(name for name in os.listdir(os.path.join(base, key))
                               if _SEGMENT.match(name))
            except OSError:
                continue
            for name in names:
                start = picture_time(name, key)
                if start is not None:
                    found.append((start, os.path.join(base, key, name)))
    return found


def covering(found: List[Tuple[float, str]], begin: float, end: float) -> List[Tuple[float, str]]:
    """The segments that hold [begin, end]: from the last one starting at or
    before ``begin`` (the first one there is when none does) to the last
    one starting before ``end``."""
    chosen = [item for item in found if item[0] < end]
    before = [index for index, item in enumerate(chosen) if item[0] <= begin]
    return chosen[before[-1]:] if before else chosen
