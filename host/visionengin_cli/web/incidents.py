"""The incidents of ``events.jsonl`` for ``/api/incidents``: its
"incident_start" and "incident_end" lines joined by incident, newest first,
read from the log's end (bounded), bad lines skipped."""
from __future__ import annotations

import json
import os
from typing import Any, Dict, List, Optional

MAX_SCAN_BYTES = 8 << 20
KEYS = ("camera", "info_type", "start", "end", "count", "picture", "score")


def _tail(path: str) -> List[bytes]:
    try:
        with open(path, "rb") as file:
            size = file.seek(0, os.SEEK_END)
            file.seek(max(0, size - MAX_SCAN_BYTES))
            data = file.read(MAX_SCAN_BYTES)
    except OSError:
        return []
    lines = data.split(b"\n")
    return lines[1:] if len(data) == MAX_SCAN_BYTES else lines  # the first may be cut


def incidents(root: str, limit: int = 50, camera: Optional[str] = None) -> List[Dict[str, Any]]:
    found: Dict[str, Dict[str, Any]] = {}
    for raw in _tail(os.path.join(root, "events.jsonl")):
        if b"incident_" not in raw:
            continue
        try:
            line = json.loads(raw)
        except ValueError:
            continue
        if not isinstance(line, dict) or line.get("type") not in ("incident_start", "incident_end") \
                or not isinstance(line.get("incident"), str) or not isinstance(line.get("camera"), str):
            continue
        if camera and line["camera"] != camera:
            continue
        incident = found.setdefault(line["incident"], {"incident": line["incident"], "open": True})
        incident.update({key: line[key] for key in KEYS if key in line})
        if line["type"] == "incident_end":
            incident["open"] = False
    ordered = sorted(found.values(), key=lambda i: str(i.get("start", "")), reverse=True)
    return ordered[:max(0, limit)]
