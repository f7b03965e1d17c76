"""Where a collector keeps what the devices publish, under its results root:

    fleet.json                      marks the root as a collector's (the page reads it)
    collector.json                  the collector's counts: devices, messages refused by kind
    <device>/device.json            availability, last seen, instance, a reused name
    <device>/events.jsonl           the device's events, each with "device"
    <device>/<camera>/status.json   the camera's last state
    <device>/<camera>/incidents/<incident>.jpg   each incident's best picture

A device's folder thus reads like a device's own results root.
"""
from __future__ import annotations

import json
import os
from typing import Any, Dict, Optional

from ..storage.atomic import replace_json

MARKER = "fleet.json"
COLLECTOR_FILE = "collector.json"
FORGOTTEN = ".forgotten-"  # a forgotten device's folder, set aside until the next retention pass
DEVICE_FILE = "device.json"
EVENTS = "events.jsonl"
PICTURES = "incidents"
MAX_NAME = 128


def safe_name(name: str) -> bool:
    """A device's name that can be a folder of its own and never takes the
    place of one of our files (a camera's: storage/names.py)."""
    return (0 < len(name) <= MAX_NAME and name.isprintable() and not name.startswith(".")
            and "/" not in name and "\\" not in name and not name.endswith((".json", ".jsonl", ".tmp"))
            and name != PICTURES)


def write_json(path: str, data: Dict[str, Any]) -> None:
    """Replaced atomically and durably: a reader sees the old file or the new one."""
    replace_json(path, data)


def read_json(path: str, limit: int = 1 << 20) -> Optional[Dict[str, Any]]:
    """The object a file holds, or None for a missing, damaged or foreign one."""
    try:
        with open(path, "rb") as file:
            data = json.loads(file.read(limit))
    except (OSError, ValueError):
        return None
    return data if isinstance(data, dict) else None


def is_fleet_root(root: str) -> bool:
    marker = read_json(os.path.join(root, MARKER))
    return marker is not None and marker.get("kind") == "visionengin-collect"
