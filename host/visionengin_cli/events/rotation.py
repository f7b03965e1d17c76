"""The event log's parts: ``events.jsonl`` is the current one; when it passes
``PART_BYTES`` or a new day (UTC) begins, it is renamed ``events.<n>.jsonl``
(n counting up, so parts sort by age whatever the clock does) and a new one
is started. A collector's device folders rotate through here too; the
``events-<stamp>.jsonl`` parts older collectors made are read as the
oldest. Every part but the newest is compressed (``.jsonl.gz``) by the
retention pass; retention removes parts with the pictures they name.

Several commands may append to one root (``--only`` units): a rotation is
done under ``.events.lock`` and only if the file is still the one the writer
had open, and every writer opens the file again when it finds it renamed.
"""
from __future__ import annotations

import datetime
import gzip
import json
import logging
import os
import re
import shutil
import time
from typing import Any, Dict, List, Optional, Tuple

from ..storage.lock import locked_file
from ..storage.times import epoch

log = logging.getLogger("visionengin.events")
CURRENT = "events.jsonl"
PART = re.compile(r"^events\.(\d+)\.jsonl(\.gz)?$")
# What collectors named their parts before they rotated through here: older
# than every numbered part, in the order of their stamps.
STAMPED = re.compile(r"^events-[^/]*\.jsonl(\.gz)?$")
PART_BYTES = 16 * 1024 * 1024
LOCK = ".events.lock"
SETTLE = 10.0  # seconds a part is left alone after its rotation: a late line may still come


def day_of(seconds: Any) -> Optional[str]:
    if not isinstance(seconds, (int, float)) or isinstance(seconds, bool) or not seconds:
        return None
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).strftime("%Y-%m-%d")


def first_time(path: str) -> Optional[float]:
    """The time of a log's first line, or None."""
    try:
        with open(path, "rb") as file:
            line = file.readline(4096)
        return epoch(json.loads(line).get("time"))
    except (OSError, ValueError, AttributeError):  # BadTime too
        return None


def parts(root: str) -> List[Tuple[int, str]]:
    """(n, file name) of the rotated parts, newest first. A part found both
    plain and compressed (a compression between its two steps, or cut
    short by a crash there) is its plain file: the same lines read twice
    would repeat events, and the next compression finishes the job."""
    found: Dict[int, str] = {}
    stamped: Dict[str, str] = {}
    try:
        names = os.listdir(root)
    except OSError:
        return []
    for name in names:
        match = PART.match(name)
        if match and (match.group(2) is None or int(match.group(1)) not in found):
            found[int(match.group(1))] = name
        elif STAMPED.match(name):
            plain = name[:-3] if name.endswith(".gz") else name
            if plain == name or plain not in stamped:
                stamped[plain] = name
    for number, plain in enumerate(sorted(stamped, reverse=True), 1):
        found[-number] = stamped[plain]  # before part 1, newest stamp first
    return sorted(found.items(), reverse=True)


def files_newest_first(root: str) -> List[str]:
    """The current log and its parts, newest first, as paths."""
    return [os.path.join(root, CURRENT)] + [os.path.join(root, name) for _, name in parts(root)]


class _Locked:
    def __init__(self, root: str, wait: bool) -> None:
        self.path, self.wait, self.fd = os.path.join(root, LOCK), wait, -1

    def __enter__(self) -> bool:
        fd = locked_file(self.path, self.wait)
        self.fd = -1 if fd is None else fd
        return fd is not None

    def __exit__(self, *_: Any) -> None:
        if self.fd >= 0:
            os.close(self.fd)


def rotate(root: str, ino: Optional[int]) -> bool:
    """Rename the current log into the next part, if it is still the file
    ``ino``; False when another writer did it first."""
    current = os.path.join(root, CURRENT)
    with _Locked(root, wait=True):
        try:
            if os.stat(current).st_ino != ino:
                return False
        except FileNotFoundError:
            return False
        newest = parts(root)
        os.rename(current, os.path.join(root, "events.{:06d}.jsonl".format(
            max(1, newest[0][0] + 1) if newest else 1)))
    return True


def compress(root: str, now: Optional[float] = None) -> int:
    """Compress every plain part but the newest (the page reads it from its
    end) once it has settled; returns how many were compressed."""
    now = time.time() if now is None else now
    done = 0
    if not any(not name.endswith(".gz") for _, name in parts(root)[1:]):
        return 0  # the usual case: nothing to do, and no lock file made for it
    with _Locked(root, wait=False) as locked:
        if not locked:
            return 0
        for index, (_, name) in enumerate(parts(root)):
            path = os.path.join(root, name)
            if index == 0 or name.endswith(".gz"):
                continue
            try:
                mtime = os.stat(path).st_mtime
                if now - mtime < SETTLE:
                    continue
                _gzip(path, mtime)
                done += 1
            except OSError as error:
                log.warning("cannot compress %s: %s", name, error.strerror or error)
                break
    return done


def _gzip(path: str, mtime: float) -> None:
    target, tmp = path + ".gz", path + ".gz.tmp"
    try:
        with open(path, "rb") as source, gzip.open(tmp, "wb", compresslevel=6) as out:
            shutil.copyfileobj(source, out, 256 * 1024)
        os.utime(tmp, (mtime, mtime))  # a part's time is its last line's
        os.replace(tmp, target)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    os.unlink(path)
