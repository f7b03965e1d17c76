"""One device's folder in the collector's root, as the store keeps it open:
its event log, its cameras' states (rewritten once a tick) and the incident
lines waiting for their pictures. What it holds is bounded by the store's
limits: the cameras and each camera's info types are known at all times."""
from __future__ import annotations

import os
import time
from typing import Any, Callable, Dict, List, Set, Tuple

from ..storage.names import is_camera_name
from . import layout
from .devices import DeviceState
from .events_log import DeviceLog

Ack = Callable[[], None]


class Pending:
    def __init__(self, line: Dict[str, Any], acks: List[Ack]) -> None:
        self.line, self.acks, self.at = line, acks, time.monotonic()


class Device:
    def __init__(self, root: str, name: str) -> None:
        self.name, self.folder = name, os.path.join(root, name)
        os.makedirs(self.folder, exist_ok=True)
        self.state = DeviceState(name, layout.read_json(os.path.join(self.folder, layout.DEVICE_FILE)))
        self.log = DeviceLog(self.folder)
        self.cameras: Dict[str, Dict[str, Any]] = {}
        self.pending: Dict[Tuple[str, str], Pending] = {}
        self.changed: Set[str] = set()  # cameras whose status.json is to be rewritten at the tick
        self.touched = time.monotonic()
        self.camera_names: Set[str] = set(self._cameras_on_disk())
        self.info_types: Dict[str, Set[str]] = {}  # a camera's info types, as far as they are loaded

    def _cameras_on_disk(self) -> List[str]:
        try:
            names = os.listdir(self.folder)
        except OSError:
            return []
        return [n for n in names if is_camera_name(n) and os.path.isdir(os.path.join(self.folder, n))]

    def types_of(self, camera: str) -> Set[str]:
        """The info types the collector keeps of a camera: those running and
        that of its latest picture (what status.json holds)."""
        known = self.info_types.get(camera)
        if known is None:
            status = self.camera(camera)
            active = status.get("active")
            last = status.get("last_alarm")
            named: List[Any] = (active if isinstance(active, list) else []) + [
                last.get("info_type") if isinstance(last, dict) else None]
            known = self.info_types[camera] = {t for t in named if isinstance(t, str)}
        return known

    def camera(self, name: str) -> Dict[str, Any]:
        status = self.cameras.get(name)
        if status is None:
            folder = os.path.join(self.folder, name)
            os.makedirs(folder, exist_ok=True)
            status = layout.read_json(os.path.join(folder, "status.json")) or {}
            status.update({"camera": name, "device": self.name})
            self.cameras[name] = status
            self.camera_names.add(name)
        return status

    def forget_camera(self, name: str) -> None:
        """The device no longer runs it: its status goes (the page stops
        showing it); its events and incident pictures stay."""
        self.cameras.pop(name, None)
        self.changed.discard(name)
        try:
            os.unlink(os.path.join(self.folder, name, "status.json"))
        except FileNotFoundError:
            pass

    def write_camera(self, name: str) -> None:
        """Coalesced: a busy camera's status is rewritten once a tick, not per message."""
        self.changed.add(name)

    def touch_cameras(self) -> None:
        """A camera whose state has not changed for long is still this
        device's while the device talks: its file's time says so (the page
        leaves out a status not written for a day)."""
        self.touched = time.monotonic()
        try:
            names = os.listdir(self.folder)
        except OSError:
            return
        for name in names:
            try:
                os.utime(os.path.join(self.folder, name, "status.json"))
            except OSError:
                continue

    def write_cameras(self) -> None:
        while self.changed:
            name = self.changed.pop()
            layout.write_json(os.path.join(self.folder, name, "status.json"), self.cameras[name])
