"""The incidents of ``events.jsonl`` for ``/api/incidents``: its
"incident_start" and "incident_end" lines joined by incident, newest first,
read from the log's end and its rotated parts (bounded), bad lines skipped."""
from __future__ import annotations

import json
from typing import Any, Dict, List, Optional

from ..events.reader import lines_from_end

MAX_SCAN_BYTES = 8 << 20
KEYS = ("camera", "info_type", "start", "end", "count", "picture", "score")


def incidents(root: str, limit: int = 50, camera: Optional[str] = None) -> List[Dict[str, Any]]:
    found: Dict[str, Dict[str, Any]] = {}
    for raw in lines_from_end(root, MAX_SCAN_BYTES):  # newest first, across rotated parts
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
        for key in KEYS:  # the end's figures win over the start's (read after them)
            if key in line and (key not in incident or line["type"] == "incident_end"):
                incident[key] = line[key]
        if line["type"] == "incident_end":
            incident["open"] = False
    ordered = sorted(found.values(), key=lambda i: str(i.get("start", "")), reverse=True)
    return ordered[:max(0, limit)]
