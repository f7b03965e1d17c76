"""The one way the host takes in files it did not make: event lines,
status files and query values. Camera processes, other programs and people
write these, so any of them may hold anything: a value too large for a date,
NaN, text that is not UTF-8, nesting deep enough to exhaust the interpreter's
stack. Each record is read through a table of its fields; a field that is not
what its table says is dropped (and named), a record without its required
fields is refused with ``Bad``, and what comes out is safe to compute with, to
render and to encode as strict JSON. A new field is a new row of a table."""
from __future__ import annotations

import datetime
import json
import math
import re
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from ..secrets import mask_text

UTC = datetime.timezone.utc
# Times outside these bounds are damage, not history or plans; the margin to
# datetime's own limits keeps arithmetic and conversion to any zone safe.
EARLIEST = 0.0                 # 1970-01-01
LATEST = 32503680000.0         # 3000-01-01
MAX_LINE = 64 * 1024           # an event line is well under 1 KB
MAX_STATUS = 1024 * 1024
MAX_TEXT = 4096
MAX_EXTRA_FIELDS = 64
MAX_INT = 2 ** 63


class Bad(ValueError):
    """A value or record that is not what it should be; the message says why."""


Field = Callable[[Any], Any]  # the clean value, or raises Bad


def parse_time(value: Any) -> Optional[datetime.datetime]:
    """An ISO 8601 time (naive taken as UTC, a trailing "Z" too) or epoch
    seconds, as an aware UTC datetime within bounds; None for anything else."""
    if isinstance(value, bool):
        return None
    if isinstance(value, str):
        text = value.strip()
        if not text or len(text) > 64:
            return None
        try:
            value = float(text)
        except ValueError:
            return _iso_time(text)
    if not isinstance(value, (int, float)):
        return None
    try:
        seconds = float(value)
    except OverflowError:
        return None
    if not EARLIEST <= seconds < LATEST:  # NaN fails too
        return None
    return datetime.datetime.fromtimestamp(seconds, UTC)


def _iso_time(text: str) -> Optional[datetime.datetime]:
    try:
        moment = datetime.datetime.fromisoformat(text[:-1] + "+00:00" if text[-1:] in "zZ" else text)
        moment = moment.replace(tzinfo=UTC) if moment.tzinfo is None else moment.astimezone(UTC)
    except (ValueError, OverflowError):
        return None
    return moment if EARLIEST <= moment.timestamp() < LATEST else None


# -- field kinds -------------------------------------------------------------

def time_text(value: Any) -> str:
    """A time, rewritten as ISO 8601 in UTC."""
    moment = parse_time(value)
    if moment is None:
        raise Bad("not a time")
    return moment.isoformat()


def text(limit: int = MAX_TEXT) -> Field:
    def check(value: Any) -> str:
        if not isinstance(value, str) or len(value) > limit:
            raise Bad("not a text of at most {} characters".format(limit))
        try:
            value.encode("utf-8")
        except UnicodeError:
            raise Bad("not valid Unicode") from None
        return value
    return check


def integer(low: int = -MAX_INT, high: int = MAX_INT) -> Field:
    def check(value: Any) -> int:
        if isinstance(value, float) and value.is_integer():
            value = int(value)
        if isinstance(value, bool) or not isinstance(value, int) or not low <= value <= high:
            raise Bad("not an integer from {} to {}".format(low, high))
        return int(value)
    return check


def number(value: Any) -> float:
    """A finite number, at least 0 (rates, scores)."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise Bad("not a number")
    try:
        result = float(value)
    except OverflowError:
        raise Bad("too large") from None
    if not math.isfinite(result) or result < 0:
        raise Bad("not a finite number of at least 0")
    return result


count = integer(0)


def counts(value: Any) -> Dict[str, int]:
    """Counts by name (alarm pictures by info type)."""
    if not isinstance(value, dict) or len(value) > 1000:
        raise Bad("not a table of counts")
    return {text(256)(key): count(item) for key, item in value.items()}


def names(value: Any) -> List[str]:
    """A short list of names (a gathered camera's info types alarming now)."""
    if not isinstance(value, list) or len(value) > 1000:
        raise Bad("not a list of names")
    return [text(256)(item) for item in value]


def percentiles(value: Any) -> List[float]:
    """[median, 95th percentile] of a measure (a camera's frame ages in ms)."""
    if not isinstance(value, list) or len(value) != 2:
        raise Bad("not a list of two numbers")
    return [number(item) for item in value]


def polygons(value: Any) -> Dict[str, List[List[float]]]:
    """Named polygons in fractions of the frame (a camera's zones, masks)."""
    if not isinstance(value, dict) or len(value) > 256:
        raise Bad("not a table of polygons")
    found = {}
    for key, points in value.items():
        if not isinstance(points, list) or not 3 <= len(points) <= 1000:
            raise Bad("not a polygon of 3 to 1000 points")
        found[text(256)(key)] = [_point(point) for point in points]
    return found


def _point(value: Any) -> List[float]:
    if not isinstance(value, list) or len(value) != 2:
        raise Bad("not a point [x, y]")
    x, y = number(value[0]), number(value[1])
    if x > 1 or y > 1:
        raise Bad("not a point within the frame (0..1)")
    return [x, y]


def masked(value: Any) -> str:
    """A text that may quote a camera address: its password masked."""
    return mask_text(text()(value))


def scalar(value: Any) -> Any:
    """A field no table names: a plain value passes (masked if text), a
    nested one is dropped, so that new fields reach the API unasked."""
    if value is None or isinstance(value, bool):
        return value
    if isinstance(value, int):
        return integer()(value)
    if isinstance(value, float):
        if not math.isfinite(value):
            raise Bad("not a finite number")
        return value
    return masked(value)


def record(fields: Dict[str, Field], required: Sequence[str] = ()) -> Callable[[Any], Tuple[Dict[str, Any], List[str]]]:
    """A reader of JSON objects through ``fields``: (clean record, names of
    the fields dropped); Bad when it is no object or lacks a required field.
    A known field that is null counts as absent."""
    def read(value: Any) -> Tuple[Dict[str, Any], List[str]]:
        if not isinstance(value, dict):
            raise Bad("not a JSON object")
        clean: Dict[str, Any] = {}
        dropped: List[str] = []
        extra = 0
        for key, item in value.items():
            kind = fields.get(key)
            if kind is not None and item is None:
                continue
            if kind is None:
                extra += 1
                if extra > MAX_EXTRA_FIELDS or not _plain_key(key):
                    continue
                kind = scalar
            try:
                clean[key] = kind(item)
            except Bad:
                dropped.append(key)
        missing = [key for key in required if key not in clean]
        if missing:
            raise Bad("no valid {}".format(", ".join(missing)))
        return clean, sorted(dropped)
    return read


def _plain_key(key: str) -> bool:
    return len(key) <= 64 and key.isascii() and key.isprintable()


def sub_record(fields: Dict[str, Field], required: Sequence[str] = ()) -> Field:
    """A record inside a record: refused whole when any of its fields is bad."""
    read = record(fields, required)

    def check(value: Any) -> Dict[str, Any]:
        clean, dropped = read(value)
        if dropped:
            raise Bad("bad " + ", ".join(dropped))
        return clean
    return check


def load_json(data: bytes, limit: int) -> Any:
    """JSON from bytes; Bad for anything that is not (too long, not UTF-8,
    nested too deep for the parser)."""
    if len(data) > limit:
        raise Bad("longer than {} bytes".format(limit))
    try:
        return json.loads(data.decode("utf-8"))
    except (ValueError, RecursionError) as error:
        raise Bad(type(error).__name__ if isinstance(error, RecursionError) else
                  "not JSON ({})".format(str(error)[:80])) from None


# -- the records ---------------------------------------------------------------

EVENT_FIELDS: Dict[str, Field] = {
    "time": time_text, "camera": text(256), "info_type": text(256), "picture": text(1024),
    "behavior_number": integer(), "score": number, "type": text(64), "id": text(64),
}
read_event = record(EVENT_FIELDS, required=("time", "camera", "info_type", "picture"))
_OTHER_TYPE = re.compile(rb'"type"\s*:\s*"(?!alarm")')


def alarm_line(line: bytes) -> bool:
    """Whether an events line is an alarm picture's (lines written before
    they had a "type" are); incidents and health events share the log."""
    return b'"type"' not in line or _OTHER_TYPE.search(line) is None

RECORDING_FIELDS: Dict[str, Field] = {"mode": text(16), "state": text(16), "reason": text(1024)}
LAST_ALARM_FIELDS: Dict[str, Field] = {"time": time_text, "info_type": text(256), "picture": text(1024)}
STATUS_FIELDS: Dict[str, Field] = {
    "camera": text(256), "address": masked, "state": text(64), "pid": integer(0), "exit_status": integer(),
    "started": time_text, "updated": time_text, "last_frame": time_text,
    "restarts": count, "reconnects": count, "frames": count, "alarms": count,
    "analysed_fps": number, "alarms_by_type": counts,
    "last_alarm": sub_record(LAST_ALARM_FIELDS, required=("picture",)),
    "reason": text(1024), "hangs": count, "last_frame_age_seconds": number,
    "active": names, "frame_age_ms": percentiles,
    "zones": polygons, "masks": polygons, "recording": sub_record(RECORDING_FIELDS),
}
read_status = record(STATUS_FIELDS)


def parse_event(line: bytes) -> Tuple[Dict[str, Any], datetime.datetime]:
    """One line of the events log as (event, its time); Bad if it is none."""
    event, _ = read_event(load_json(line, MAX_LINE))
    moment = parse_time(event["time"])
    assert moment is not None  # time_text accepted it
    return event, moment


def parse_status(data: bytes) -> Tuple[Dict[str, Any], List[str]]:
    """A camera's status.json as (fields, names of the fields dropped)."""
    return read_status(load_json(data, MAX_STATUS))


# -- query values --------------------------------------------------------------

def parse_since(value: str) -> datetime.datetime:
    moment = parse_time(value)
    if moment is None:
        raise Bad("since: not an ISO 8601 time or epoch seconds between 1970 and 3000")
    return moment


def parse_limit(value: str, most: int) -> int:
    try:
        wanted = int(value) if len(value) <= 12 else None
    except ValueError:
        wanted = None
    if wanted is None:
        raise Bad("limit: not an integer")
    if wanted > most:
        raise Bad("limit: at most {} a page; walk further pages with the answer's \"next\"".format(most))
    return max(1, wanted)
