"""What the status page reads from a results root, and nothing else: each
camera's ``status.json``, the tail of ``events.jsonl`` and the alarm pictures.

The camera processes write these files while we read them, and the events log
only grows, so every read here is bounded: the log is read from its end in
blocks, up to a fixed number of bytes, and lines that are not whole events
(a half-written tail, garbage, a foreign line) are skipped.
"""
from __future__ import annotations

import datetime
import json
import logging
import os
import time
from typing import Any, Dict, Iterator, List, Optional

from ..secrets import mask_address

log = logging.getLogger("visionengin.web")

STALE_SECONDS = 10.0  # a status not rewritten for this long: its process is gone
GONE_SECONDS = 86400.0  # ... and for this long: a camera no longer configured
BLOCK = 64 * 1024
MAX_SCAN_BYTES = 8 * 1024 * 1024  # how far back one events query reads at most
PICTURE_SUFFIXES = (".jpg", ".jpeg", ".png")
UTC = datetime.timezone.utc


def parse_time(text: Any) -> Optional[datetime.datetime]:
    """An ISO 8601 time with zone (a trailing "Z" too) or epoch seconds, as an
    aware datetime; None when it is neither."""
    if isinstance(text, (int, float)) and not isinstance(text, bool):
        return datetime.datetime.fromtimestamp(text, UTC)
    if not isinstance(text, str):
        return None
    try:
        return datetime.datetime.fromtimestamp(float(text), UTC)
    except (ValueError, OverflowError):
        pass
    try:
        value = datetime.datetime.fromisoformat(text[:-1] + "+00:00" if text.endswith("Z") else text)
    except ValueError:
        return None
    return value if value.tzinfo is not None else value.replace(tzinfo=UTC)


def _seconds_since(text: Any, now: float) -> Optional[float]:
    moment = parse_time(text)
    return None if moment is None else max(0.0, now - moment.timestamp())


def _frame_age(status: Dict[str, Any], updated_age: Optional[float], now: float) -> Optional[float]:
    """Seconds since the last analysed frame; for a camera without one yet,
    the age its status gave plus the status's own age."""
    age = _seconds_since(status.get("last_frame"), now)
    told = status.get("last_frame_age_seconds")
    if age is None and isinstance(told, (int, float)) and not isinstance(told, bool):
        age = max(0.0, float(told)) + (updated_age or 0.0)
    return age


def _number(value: Any) -> float:
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else 0


class ResultsRoot:
    """A results root as the page and the metrics see it."""

    def __init__(self, path: str) -> None:
        self.path = os.path.realpath(path)
        self.events_path = os.path.join(self.path, "events.jsonl")

    # -- cameras -------------------------------------------------------------

    def cameras(self, now: Optional[float] = None) -> List[Dict[str, Any]]:
        """One entry per ``<root>/<camera>/status.json``, sorted by name."""
        now = time.time() if now is None else now
        found = []
        try:
            names = sorted(os.listdir(self.path))
        except OSError as error:
            log.warning("cannot list the results root %s: %s", self.path, error.strerror)
            return []
        for name in names:
            status = self._status(name)
            if status is not None:
                camera = self._camera(name, status, now)
                if camera["updated_age"] is None or camera["updated_age"] <= GONE_SECONDS:
                    found.append(camera)
        return found

    def _status(self, name: str) -> Optional[Dict[str, Any]]:
        path = os.path.join(self.path, name, "status.json")
        try:
            with open(path, "rb") as file:
                status = json.loads(file.read(1024 * 1024).decode("utf-8"))
        except (FileNotFoundError, NotADirectoryError):
            return None
        except (OSError, ValueError) as error:
            log.warning("skipping unreadable status %s: %s", path, error)
            return None
        return status if isinstance(status, dict) else None

    @staticmethod
    def _camera(name: str, status: Dict[str, Any], now: float) -> Dict[str, Any]:
        """The status as the page shows it: a state of "stale" when nobody
        rewrites it any more, ages in seconds, the address masked again."""
        updated_age = _seconds_since(status.get("updated"), now)
        stale = updated_age is None or updated_age > STALE_SECONDS
        by_type = status.get("alarms_by_type")
        last_alarm = status.get("last_alarm")
        address = status.get("address")
        return {
            "camera": name,
            "address": mask_address(address) if isinstance(address, str) else None,
            "state": "stale" if stale else str(status.get("state") or "unknown"),
            "reported_state": status.get("state"),
            "stale": stale,
            "pid": status.get("pid"),
            "started": status.get("started"),
            "updated": status.get("updated"),
            "restarts": _number(status.get("restarts")),
            "reconnects": _number(status.get("reconnects")),
            "frames": _number(status.get("frames")),
            "analysed_fps": _number(status.get("analysed_fps")),
            "alarms": _number(status.get("alarms")),
            "alarms_by_type": {str(k): _number(v) for k, v in by_type.items()}
            if isinstance(by_type, dict) else {},
            "last_frame": status.get("last_frame"),
            "last_frame_age": _frame_age(status, updated_age, now),
            "updated_age": updated_age,
            "reason": status.get("reason") if isinstance(status.get("reason"), str) else None,
            "hangs": _number(status.get("hangs")),
            "last_alarm": last_alarm if isinstance(last_alarm, dict) else None,
            "exit_status": status.get("exit_status"),
        }

    # -- events --------------------------------------------------------------

    def events(self, limit: int = 50, since: Optional[datetime.datetime] = None,
               camera: Optional[str] = None, info_type: Optional[str] = None) -> List[Dict[str, Any]]:
        """Up to ``limit`` alarm events, newest first, later than ``since``.
        The log is in append order, which is time order up to the moment a
        line waits for its write(), so reading goes a little past ``since``."""
        floor = None if since is None else since - datetime.timedelta(seconds=5)
        found: List[Dict[str, Any]] = []
        for event, moment in self._tail():
            if floor is not None and moment <= floor:
                break
            if since is not None and moment <= since:
                continue
            if camera and event["camera"] != camera or info_type and event["info_type"] != info_type:
                continue
            found.append(event)
            if len(found) >= limit:
                break
        return found

    def _tail(self) -> Iterator[Any]:
        """(event, time) for the whole event lines of the log, last first."""
        for line in _lines_from_end(self.events_path, MAX_SCAN_BYTES):
            try:
                event = json.loads(line)
            except ValueError:
                continue
            if not isinstance(event, dict) or not all(
                    isinstance(event.get(key), str) for key in ("camera", "info_type", "picture")):
                continue
            moment = parse_time(event.get("time"))
            if moment is not None:
                yield event, moment

    # -- pictures ------------------------------------------------------------

    def picture(self, relative: str) -> Optional[str]:
        """The real path of a picture under the root, or None (logged) for
        anything else: traversal, a symlink leading out, a missing file."""
        parts = relative.split("/")
        if ("\x00" in relative or "\\" in relative or relative.startswith("/")
                or any(part in ("", ".", "..") for part in parts)):
            log.warning("refused picture path %r: not a plain path under the results root", relative)
            return None
        if not relative.lower().endswith(PICTURE_SUFFIXES):
            log.warning("refused picture path %r: not a picture", relative)
            return None
        real = os.path.realpath(os.path.join(self.path, *parts))
        if os.path.commonpath([real, self.path]) != self.path:
            log.warning("refused picture path %r: leads out of the results root", relative)
            return None
        if not os.path.isfile(real):
            log.warning("refused picture path %r: no such picture", relative)
            return None
        return real


def _lines_from_end(path: str, max_bytes: int) -> Iterator[bytes]:
    """The newline-ended lines of a file, last first, reading at most
    ``max_bytes`` from its end; a line without its newline is still being
    written and is left out, and so is the partial line where reading stops."""
    try:
        file = open(path, "rb")
    except OSError:
        return
    with file:
        end = file.seek(0, os.SEEK_END)
        start_limit = max(0, end - max_bytes)
        position, rest, tail_found = end, b"", False
        while position > start_limit:
            size = min(BLOCK, position - start_limit)
            position -= size
            file.seek(position)
            chunk = file.read(size) + rest
            if not tail_found:
                if b"\n" not in chunk:
                    rest = b""  # all of it belongs to the unfinished last line
                    continue
                chunk = chunk[:chunk.rindex(b"\n")]
                tail_found = True
            lines = chunk.split(b"\n")
            rest = lines.pop(0)  # may go on in the block before
            for line in reversed(lines):
                if line.strip():
                    yield line
        if position == 0 and tail_found and rest.strip():
            yield rest
