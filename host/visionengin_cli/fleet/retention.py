"""Retention of a collector's root, as on a device: past ``max_age`` or past
``max_size`` in all, the oldest pictures and rotated event logs go first.
A pass walks the root (a minute apart): simple, and cheap next to the
broker's traffic for the sizes a collector holds. The folders of devices
the collector forgot go first, whatever the limits."""
from __future__ import annotations

import logging
import os
import shutil
import time
from typing import List, Optional, Tuple

from ..events import rotation
from .layout import FORGOTTEN, PICTURES

log = logging.getLogger("visionengin.fleet")


def _removable(root: str) -> Tuple[List[Tuple[float, int, str]], int]:
    """(mtime, size, path) of what may go, and the root's whole size."""
    files: List[Tuple[float, int, str]] = []
    total = 0
    for folder, _dirs, names in os.walk(root):
        depth = os.path.relpath(folder, root).count(os.sep) + (folder != root)
        for name in names:
            path = os.path.join(folder, name)
            try:
                info = os.stat(path)
            except OSError:
                continue
            total += info.st_size
            rotated = depth == 1 and (rotation.PART.match(name) is not None
                                      or rotation.STAMPED.match(name) is not None)
            picture = os.path.basename(folder) == PICTURES and depth == 3
            if rotated or picture:
                files.append((info.st_mtime, info.st_size, path))
    files.sort()
    return files, total


def _remove_forgotten(root: str) -> None:
    try:
        names = [n for n in os.listdir(root) if n.startswith(FORGOTTEN)]
    except OSError as error:
        log.error("retention: cannot list %s: %s", root, error.strerror or error)
        return
    for name in names:
        try:
            shutil.rmtree(os.path.join(root, name))
        except OSError as error:
            log.error("retention: cannot remove a forgotten device's folder %s: %s", name,
                      error.strerror or error)


def enforce(root: str, max_size: Optional[int], max_age: Optional[float],
            now: Optional[float] = None) -> int:
    """One pass; returns the number of files removed."""
    _remove_forgotten(root)
    if max_size is None and max_age is None:
        return 0
    now = time.time() if now is None else now
    files, total = _removable(root)
    removed = freed = 0
    for mtime, size, path in files:
        too_old = max_age is not None and now - mtime > max_age
        too_big = max_size is not None and total - freed > max_size
        if not (too_old or too_big):
            break  # the rest is newer, and the size is kept
        try:
            os.unlink(path)
        except FileNotFoundError:
            continue
        except OSError as error:
            log.error("retention: cannot remove %s: %s", path, error.strerror or error)
            continue
        removed += 1
        freed += size
    if removed:
        log.info("retention: removed %d old pictures and logs (%d bytes)", removed, freed)
    if max_size is not None and total - freed > max_size:
        log.warning("retention: %d bytes kept, over --max-size, with nothing old left to remove",
                    total - freed)
    return removed
