"""How the results root stands, as the page and ``/metrics`` tell it: read
from the ledgers the owners save (every few seconds) and the file system, so
the page works for any mix of commands writing the root."""
from __future__ import annotations

import os
import time
from typing import Any, Dict, Optional

from ..events import rotation
from .ledger import read_saved
from .segments import FOLDER


def report(root: str, now: Optional[float] = None) -> Dict[str, Any]:
    """used_bytes (pictures, clips, recordings and event logs),
    recordings_bytes (the segments' part of it), free_bytes,
    removed_pictures (by retention, ever), oldest_picture (epoch seconds)
    and its age."""
    now = time.time() if now is None else now
    used = removed = pictures = recorded = 0
    oldest: Optional[float] = None
    try:
        names = os.listdir(root)
    except OSError:
        names = []
    for name in names:
        segments = read_saved(os.path.join(root, name, FOLDER))
        if segments is not None:
            recorded += sum(_int(entry[0]) for entry in segments["hours"].values()
                            if isinstance(entry, list) and entry)
        saved = read_saved(os.path.join(root, name))
        if saved is None:
            continue
        removed += _int(saved.get("removed"))
        for entry in saved["hours"].values():
            if not isinstance(entry, list) or len(entry) < 3:
                continue
            used += _int(entry[0])
            pictures += _int(entry[1])
            first = entry[2]
            if isinstance(first, (int, float)) and not isinstance(first, bool) and (
                    oldest is None or first < oldest):
                oldest = float(first)
    for path in rotation.files_newest_first(root):
        try:
            used += os.stat(path).st_size
        except OSError:
            continue
    try:
        stat = os.statvfs(root)
        free: Optional[int] = stat.f_bavail * stat.f_frsize
    except OSError:
        free = None
    return {"used_bytes": used + recorded, "recordings_bytes": recorded, "free_bytes": free,
            "pictures": pictures,
            "removed_pictures": removed, "oldest_picture": oldest,
            "oldest_picture_age_seconds": max(0.0, now - oldest) if oldest is not None else None}


def _int(value: Any) -> int:
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else 0
