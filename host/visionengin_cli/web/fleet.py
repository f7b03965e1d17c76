"""The page over a collector's root (``visionengin collect``): its devices
(online or offline, last seen, a name two devices share), their cameras and
the incidents across the fleet. Each device's folder reads like a device's
own results root, so the single-device readers do the reading; here their
answers gain the device and paths from the collector's root. The events and
incidents of all devices are answered from one index over their logs.
What each device's files say is kept between requests (``fleet_cache``)."""
from __future__ import annotations

import os
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

from ..events.index import EventIndex
from ..events.index_query import Cursor
from ..fleet.layout import COLLECTOR_FILE, DEVICE_FILE, read_json, safe_name
from .fleet_cache import FleetCache, Summary
from .results import Skipped


class FleetRoot:
    def __init__(self, path: str) -> None:
        self.path = os.path.realpath(path)
        self.skipped = Skipped()
        self._index: Optional[EventIndex] = None
        self._cache: Optional[FleetCache] = None
        self._lock = threading.Lock()  # one refresh of the summaries at a time
        self._last: Dict[str, Summary] = {}  # the summaries of the last refresh, by device

    def _listed(self) -> List[str]:
        try:
            entries = sorted(os.listdir(self.path))
        except OSError:
            return []
        return [n for n in entries if safe_name(n)]

    def names(self) -> List[str]:
        """The devices: folders of a device's name holding a device.json."""
        return [n for n in self._listed() if os.path.isfile(os.path.join(self.path, n, DEVICE_FILE))]

    def summaries(self, now: Optional[float] = None) -> List[Summary]:
        """Every device's summary, sorted by name, each read again only
        where its files changed since the last request."""
        with self._lock:
            if self._cache is None:
                self._cache = FleetCache(self.path, self.skipped)
            found = self._cache.refresh(self._listed(), now)  # device.json looked at there
            self._last = {s.name: s for s in found}
        return found

    def devices(self, now: Optional[float] = None) -> List[Dict[str, Any]]:
        now = time.time() if now is None else now
        return [s.device(now) for s in self.summaries(now)]

    def cameras(self, devices: Optional[List[Dict[str, Any]]] = None, device: Optional[str] = None,
                skipped: Optional[Dict[str, int]] = None) -> List[Dict[str, Any]]:
        """Every device's cameras (of the devices given: those of the last
        ``devices()``); a camera's state is what its device last said,
        "offline" while the device is, and no incident running then: a
        device killed leaves its incidents' "ON" on the broker."""
        now = time.time()
        if devices is None:
            found = self.summaries(now)
        else:
            last = self._last
            found = [last[d["device"]] for d in devices if d["device"] in last]
        cameras: List[Dict[str, Any]] = []
        for summary in found:
            if device and summary.name != device:
                continue
            cameras.extend(summary.cameras_at(now))
            if skipped is not None:
                for kind, count in summary.counts.items():
                    skipped[kind] = skipped.get(kind, 0) + count
        return cameras

    def collector(self) -> Dict[str, Any]:
        """The collector's own counts (collector.json): devices, messages refused by kind."""
        saved = read_json(os.path.join(self.path, COLLECTOR_FILE)) or {}
        refused: Dict[str, Any] = saved["refused"] if isinstance(saved.get("refused"), dict) else {}
        return {"devices": saved.get("devices") if isinstance(saved.get("devices"), int) else None,
                "forgotten": saved.get("forgotten") if isinstance(saved.get("forgotten"), int) else None,
                "refused": {str(k)[:64]: v for k, v in refused.items() if isinstance(v, int) and v >= 0},
                "limits": saved.get("limits") if isinstance(saved.get("limits"), dict) else None}

    # -- the fleet's events and incidents, from one index over every device's log --

    @property
    def index(self) -> EventIndex:
        if self._index is None:
            self._index = EventIndex(self.path, "fleet", self._sources, self._bad)
        return self._index

    def _sources(self) -> Optional[List[Tuple[str, str]]]:
        """(device, its folder) of every device; None when the root cannot
        be listed now (its devices' rows are then kept)."""
        try:
            os.listdir(self.path)
        except OSError:
            return None
        return [(name, os.path.join(self.path, name)) for name in self.names()]

    def _bad(self, count: int) -> None:
        self.skipped.add({"event_line": count})

    def page(self, what: str, limit: int, device: Optional[str] = None, camera: Optional[str] = None,
             info_type: Optional[str] = None, since: Optional[float] = None, until: Optional[float] = None,
             before: Optional[Cursor] = None, after: Optional[Cursor] = None) -> Dict[str, Any]:
        """A page of the fleet's ``what`` ("events" or "incidents"), each
        with its device, its picture's path from the collector's root."""
        answer = self.index.page(what, limit, since, until, device or None, camera or None,
                                 info_type or None, before, after)
        for item in answer[what]:
            name = item.get("device")
            if isinstance(item.get("picture"), str) and isinstance(name, str):
                item["picture"] = name + "/" + item["picture"]
        return answer
