"""The page over a collector's root (``visionengin collect``): its devices
(online or offline, last seen, a name two devices share), their cameras and
the incidents across the fleet. Each device's folder reads like a device's
own results root, so the single-device readers do the reading; here their
answers gain the device and paths from the collector's root. The events and
incidents of all devices are answered from one index over their logs."""
from __future__ import annotations

import os
import time
from typing import Any, Dict, List, Optional, Tuple

from ..events.index import EventIndex
from ..events.index_query import Cursor
from ..fleet.layout import COLLECTOR_FILE, DEVICE_FILE, read_json, safe_name
from .results import ResultsRoot, Skipped

SILENT_AFTER = 60.0  # seconds without a message: an "online" device shown as silent


class FleetRoot:
    def __init__(self, path: str) -> None:
        self.path = os.path.realpath(path)
        self.roots: Dict[str, ResultsRoot] = {}
        self.skipped = Skipped()
        self._index: Optional[EventIndex] = None

    def names(self) -> List[str]:
        try:
            entries = sorted(os.listdir(self.path))
        except OSError:
            return []
        return [n for n in entries if safe_name(n) and os.path.isfile(os.path.join(self.path, n, DEVICE_FILE))]

    def _root(self, name: str) -> ResultsRoot:
        root = self.roots.get(name)
        if root is None:
            root = self.roots[name] = ResultsRoot(os.path.join(self.path, name))
        return root

    def devices(self, now: Optional[float] = None) -> List[Dict[str, Any]]:
        now = time.time() if now is None else now
        found = []
        for name in self.names():
            saved = read_json(os.path.join(self.path, name, DEVICE_FILE)) or {}
            seen = saved.get("last_seen_epoch")
            age = max(0.0, now - seen) if isinstance(seen, (int, float)) else None
            availability = saved.get("availability") if saved.get("availability") in ("online", "offline") else None
            conflict = saved.get("conflict") if isinstance(saved.get("conflict"), dict) else None
            found.append({"device": name, "availability": availability or "unknown",
                          "online": availability == "online",
                          "silent": availability == "online" and (age is None or age > SILENT_AFTER),
                          "last_seen": saved.get("last_seen") if isinstance(saved.get("last_seen"), str) else None,
                          "last_seen_age": age,
                          "instance": saved.get("instance") if isinstance(saved.get("instance"), dict) else None,
                          "name_reused": bool(conflict and conflict.get("active")),
                          "conflict": conflict})
        return found

    def cameras(self, devices: Optional[List[Dict[str, Any]]] = None, device: Optional[str] = None,
                skipped: Optional[Dict[str, int]] = None) -> List[Dict[str, Any]]:
        """Every device's cameras; a camera's state is what its device last
        said, "offline" while the device is, and no incident running then:
        a device killed leaves its incidents' "ON" on the broker."""
        online = {d["device"]: d["online"] for d in (devices if devices is not None else self.devices())}
        found = []
        for name, is_online in online.items():
            if device and name != device:
                continue
            for cam in self._root(name).cameras(skipped=skipped):
                cam = dict(cam, device=name, stale=False,
                           state=cam.get("reported_state") or "unknown" if is_online else "offline")
                if not is_online:
                    cam["active"] = []
                last = cam.get("last_alarm")
                if isinstance(last, dict) and isinstance(last.get("picture"), str):
                    cam["last_alarm"] = dict(last, picture=name + "/" + last["picture"])
                found.append(cam)
        return found

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

    def incidents(self, limit: int, device: Optional[str] = None, camera: Optional[str] = None,
                  info_type: Optional[str] = None) -> List[Dict[str, Any]]:
        found: List[Dict[str, Any]] = self.page("incidents", limit, device, camera, info_type)["incidents"]
        return found
