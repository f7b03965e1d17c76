"""How each sink (MQTT, webhooks) fares: ``<root>/sinks.json``, which the
cameras' command rewrites every few seconds, and in that command's own
process the state it last told. Read for the page, the API and /metrics;
read defensively: a missing file means no sinks."""
from __future__ import annotations

import json
import os
import time
from typing import Any, Dict, List

STALE = 30.0  # seconds without a rewrite: the command is not running
MAX_BYTES = 1 << 20


# root: the last state the sinks of this process told (``live_status``); a
# page served by the cameras' command reads it rather than the file, which a
# full disk may keep from being rewritten.
_LIVE: Dict[str, Dict[str, Any]] = {}


def live_status(root: str, status: Dict[str, Any]) -> None:
    _LIVE[os.path.realpath(root)] = status


def read_sinks(root: str) -> List[Dict[str, Any]]:
    data: Any = _LIVE.get(os.path.realpath(root))
    if data is None:
        try:
            with open(os.path.join(root, "sinks.json"), "rb") as file:
                data = json.loads(file.read(MAX_BYTES))
        except (OSError, ValueError):
            return []
    if not isinstance(data, dict) or not isinstance(data.get("sinks"), list):
        return []
    updated = data.get("updated")
    stale = not isinstance(updated, (int, float)) or time.time() - updated > STALE
    out = []
    for sink in data["sinks"]:
        if not isinstance(sink, dict) or not isinstance(sink.get("name"), str):
            continue
        out.append({"name": sink["name"], "kind": str(sink.get("kind", "")),
                    "target": str(sink.get("target", "")),
                    "connected": sink.get("connected") is True and not stale,
                    "queued": _count(sink.get("queued")), "delivered": _count(sink.get("delivered")),
                    "dropped": _count(sink.get("dropped")),
                    "last_error": sink["last_error"] if isinstance(sink.get("last_error"), str) else None,
                    "stale": stale})
    return out


def _count(value: Any) -> int:
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else 0
