"""What the cameras tell other programs: ``events.jsonl`` (one JSON line per
alarm picture, incident and health event, each with a "type" and an "id")
and each camera's ``status.json`` under the results root.

events.jsonl is opened with O_APPEND and every line goes out in one write()
call, so lines are whole and in order even when several commands (one per
camera, ``--only``) append to the same file, and a camera that crashes can
never leave half a line behind. status.json is replaced atomically, so a
reader sees the old file or the new one, never a mix.
"""
from __future__ import annotations

import datetime
import json
import os
import threading
import uuid
from typing import Any, Dict, Optional


def iso(seconds: Optional[float]) -> Optional[str]:
    """time.time() as ISO 8601 with the UTC offset, or None."""
    if seconds is None:
        return None
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).isoformat()


class EventLog:
    """The one writer of ``<root>/events.jsonl``."""

    def __init__(self, root: str) -> None:
        self.path = os.path.join(root, "events.jsonl")
        self._fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        self._lock = threading.Lock()

    def write(self, camera: str, event: Dict[str, Any]) -> Dict[str, Any]:
        """Append the event of ``camera``; ``event`` holds "time" (epoch
        seconds), "info_type", "picture" (relative to the camera's folder) and
        optionally "behavior_number" and "score". Returns the line's object."""
        line: Dict[str, Any] = {"type": "alarm", "id": uuid.uuid4().hex,
                                "time": iso(event["time"]), "camera": camera,
                                "info_type": event["info_type"],
                                "picture": camera + "/" + event["picture"].lstrip("/")}
        for key in ("behavior_number", "score"):
            if event.get(key) is not None:
                line[key] = event[key]
        self.append(line)
        return line

    def append(self, line: Dict[str, Any]) -> None:
        """One whole line (an incident or a health event)."""
        data = (json.dumps(line, ensure_ascii=False) + "\n").encode("utf-8")
        with self._lock:
            os.write(self._fd, data)

    def close(self) -> None:
        with self._lock:
            if self._fd >= 0:
                os.close(self._fd)
                self._fd = -1


def write_status(folder: str, status: Dict[str, Any]) -> None:
    """Replace ``<folder>/status.json`` atomically (temporary file in the same
    folder, then rename)."""
    path = os.path.join(folder, "status.json")
    tmp = path + ".{}.tmp".format(os.getpid())
    with open(tmp, "w", encoding="utf-8") as file:
        json.dump(status, file, ensure_ascii=False)
        file.write("\n")
    os.replace(tmp, path)
