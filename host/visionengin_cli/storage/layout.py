"""Where a camera's pictures are kept: ``<camera>/<YYYY-MM-DD>/<HH>/`` in UTC,
each named ``<HHMMSS.ffffff>-<info type>-<n>.jpg``.

UTC, so that no hour folder is lived twice when clocks go back for the
winter. The time is when the picture was written and the same as its event's,
so names and folders sort by time; ``n`` is the engine's read counter of the
frame, which tells apart two pictures of one microsecond within one process.
A name can only come again when a restarted process meets a clock set back
to the very microsecond, and the move checks for that (the camera's lock
makes us the only writer in its folder): the picture then takes ``.1``,
``.2``... after ``n``, and is never written over another.
"""
from __future__ import annotations

import datetime
import functools
import os
import re
from typing import Optional, Tuple

from ..engine.contract import parse_picture_file, picture_file

UTC = datetime.timezone.utc
DAY = re.compile(r"^\d{4}-\d{2}-\d{2}$")
HOUR = re.compile(r"^\d{2}$")


def hour_key(when: float) -> str:
    """``YYYY-MM-DD/HH`` of a time.time(): the hour folder under the camera's."""
    return datetime.datetime.fromtimestamp(when, UTC).strftime("%Y-%m-%d/%H")


@functools.lru_cache(maxsize=1 << 16)
def hour_start(key: str) -> Optional[float]:
    """The epoch seconds an hour folder's key begins at; None for any other
    name. Cached: a retention pass asks for every hour folder's."""
    day, _, hour = key.partition("/")
    if not (DAY.match(day) and HOUR.match(hour)):
        return None
    try:
        moment = datetime.datetime(int(day[:4]), int(day[5:7]), int(day[8:10]), int(hour), tzinfo=UTC)
    except ValueError:
        return None
    return moment.timestamp()


def picture_time(name: str, key: str) -> Optional[float]:
    """When a picture of the hour folder ``key`` was written, from its name."""
    start = hour_start(key)
    stamp = name[:13]
    if start is None or len(stamp) != 13 or stamp[6] != "." or not (
            stamp[:6] + stamp[7:]).isdigit():
        return None
    day = datetime.datetime.fromtimestamp(start, UTC)
    try:
        moment = day.replace(minute=int(stamp[2:4]), second=int(stamp[4:6]),
                             microsecond=int(stamp[7:13]))
    except ValueError:
        return None
    return moment.timestamp()


def picture_name(when: float, info_type: str, n: int, extension: str = ".jpg") -> Tuple[str, str]:
    """(hour key, file name) of a picture written at ``when``."""
    moment = datetime.datetime.fromtimestamp(when, UTC)
    return (moment.strftime("%Y-%m-%d/%H"),
            "{}-{}".format(moment.strftime("%H%M%S.%f"), picture_file(info_type, n, extension)))


def picture_info_type(name: str) -> Optional[str]:
    """The info type in a picture's name (``picture_name``, maybe with the
    ``.k`` of ``free_name``); None for any other name."""
    engine_name, extension = os.path.splitext(name[14:])
    stem, dot, k = engine_name.rpartition(".")
    if dot and k.isascii() and k.isdigit():
        engine_name = stem
    parsed = parse_picture_file(engine_name + extension) if len(name) > 14 else None
    return parsed[0] if parsed is not None else None


def free_name(folder: str, name: str) -> str:
    """``name`` in ``folder``, or with ``.1``, ``.2``... before its extension
    when a picture of that name is already there."""
    base, extension = os.path.splitext(name)
    candidate, k = name, 0
    while os.path.lexists(os.path.join(folder, candidate)):
        k += 1
        candidate = "{}.{}{}".format(base, k, extension)
    return candidate
