"""A device's ``events.jsonl`` in the collector's root: whole lines in one
checked write each, rotated past a size into the parts a device's own log
has (``events.<n>.jsonl``, by ``events.rotation``, so the shared readers
know them; the rotated parts are what retention removes, oldest first), and
the ids of its recent events, read back from the log's end (across its
parts) at the first use, so a repeat is dropped across a restart too."""
from __future__ import annotations

import collections
import json
import os
from typing import Any, Dict, List, Optional

from ..events import rotation
from ..events.reader import lines_from_end
from ..storage.flush import Flusher, SyncedFile
from ..storage.times import iso
from .layout import EVENTS

ROTATE_BYTES = 16 << 20
RECENT_IDS = 20000  # per device: far more than one outage's resends
TAIL_BYTES = 4 << 20


__all__ = ["DeviceLog", "iso"]


class DeviceLog:
    def __init__(self, folder: str, part_bytes: int = ROTATE_BYTES,
                 flusher: Optional[Flusher] = None) -> None:
        self.folder, self.path, self.part_bytes = folder, os.path.join(folder, EVENTS), part_bytes
        self.synced = SyncedFile("the event log " + self.path, flusher)
        self.fd = -1
        self.ids: "collections.OrderedDict[str, None]" = collections.OrderedDict()
        self._load_ids()

    def _load_ids(self) -> None:
        newest_first: List[bytes] = []
        for raw in lines_from_end(self.folder, TAIL_BYTES):
            newest_first.append(raw)
            if len(newest_first) >= RECENT_IDS:
                break
        for raw in reversed(newest_first):
            try:
                line = json.loads(raw)
            except ValueError:
                continue
            if isinstance(line, dict) and isinstance(line.get("id"), str):
                self.ids[line["id"]] = None

    def known(self, ident: str) -> bool:
        return ident in self.ids

    def append(self, line: Dict[str, Any]) -> None:
        """Raises OSError when the line cannot be written whole (nothing of it stays)."""
        data = (json.dumps(line, ensure_ascii=False) + "\n").encode("utf-8")
        if self.fd < 0:
            self.fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
            self.synced.track(self.fd)
        start = os.fstat(self.fd).st_size
        if start >= self.part_bytes:
            self._rotate()
            start = 0
        try:
            written = os.write(self.fd, data)
            if written != len(data):
                raise OSError(28, "short write: {} of {} bytes".format(written, len(data)))
        except OSError:
            try:
                os.ftruncate(self.fd, start)
            except OSError:
                pass
            raise
        self.synced.wrote()
        ident = line.get("id")
        if isinstance(ident, str):
            self.ids[ident] = None
            while len(self.ids) > RECENT_IDS:
                self.ids.popitem(last=False)

    def _rotate(self) -> None:
        rotation.rotate(self.folder, os.fstat(self.fd).st_ino)
        os.close(self.fd)
        self.fd = -1
        self.fd = os.open(self.path, os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        self.synced.track(self.fd)

    def close(self) -> None:
        self.synced.close()
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1
