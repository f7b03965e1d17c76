"""What the fleet page knows of each device between two requests: its
device.json and its cameras' status.json as the page shows them, read
again only when one of those files (or the device's folder, for cameras
come or gone) changed by its stat. A request over a thousand quiet devices
thus stats their files and reads none; the ages are taken at each request.

A file changed within RACY_SECONDS of its reading may change again within
the same tick of the file system's clock, its stat alike: such a reading is
not trusted, and the file is read again at the next request."""
from __future__ import annotations

import logging
import os
import stat
import time
from typing import Any, Dict, List, Optional, Set, Tuple

from ..fleet.layout import DEVICE_FILE, read_json
from ..states import FAILING, HUNG, NO_FRAMES, OFFLINE, UNKNOWN
from ..storage.parsing import Bad
from .results import GONE_SECONDS, FrameClock, ResultsRoot, Skipped, frame_age, frame_clock, read_status

log = logging.getLogger("visionengin.web")
RACY_SECONDS = 2.0
SILENT_AFTER = 60.0  # seconds without a message: an "online" device shown as silent
# a camera in one of these states asks for a look, as an incident running does
BAD_STATES = frozenset((OFFLINE, NO_FRAMES, FAILING, HUNG))

Stamp = Tuple[int, int, int]  # inode, size, modification time in ns


def _stamp(info: os.stat_result) -> Stamp:
    return info.st_ino, info.st_size, info.st_mtime_ns


def _sure(info: os.stat_result, now: float) -> bool:
    return now - info.st_mtime > RACY_SECONDS


class _Read:
    """One file as last read: its stamp, whether the reading can be trusted, what it gave."""

    def __init__(self, info: Optional[os.stat_result], value: Any, now: float) -> None:
        self.stamp = None if info is None else _stamp(info)
        self.sure = info is None or _sure(info, now)
        self.value = value

    def holds(self, info: Optional[os.stat_result]) -> bool:
        return self.sure and self.stamp == (None if info is None else _stamp(info))


class Summary:
    """A device as the page shows it, but for the ages."""

    def __init__(self, name: str, saved: Dict[str, Any], cameras: List[Tuple[Dict[str, Any], FrameClock]],
                 counts: Dict[str, int], gone_after: float) -> None:
        self.name = name
        seen = saved.get("last_seen_epoch")
        self.seen: Optional[float] = float(seen) if isinstance(seen, (int, float)) and not isinstance(
            seen, bool) else None
        availability = saved.get("availability") if saved.get("availability") in ("online", "offline") else None
        conflict = saved.get("conflict") if isinstance(saved.get("conflict"), dict) else None
        self.availability: str = availability or "unknown"
        self.online = availability == "online"
        self.last_seen = saved.get("last_seen") if isinstance(saved.get("last_seen"), str) else None
        self.instance = saved.get("instance") if isinstance(saved.get("instance"), dict) else None
        self.name_reused = bool(conflict and conflict.get("active"))
        self.conflict = conflict
        self.counts = counts
        self.gone_after = gone_after  # a camera leaves the page then (its status a day old)
        self.clocks = [clock for _, clock in cameras]
        self.cameras: List[Dict[str, Any]] = []
        for cam, _ in cameras:
            cam = dict(cam, device=name, stale=False,
                       state=cam.get("reported_state") or UNKNOWN if self.online else OFFLINE)
            if not self.online:
                cam["active"] = []
            last = cam.get("last_alarm")
            if isinstance(last, dict) and isinstance(last.get("picture"), str):
                cam["last_alarm"] = dict(last, picture=name + "/" + last["picture"])
            self.cameras.append(cam)
        self.camera_names = {str(c["camera"]) for c in self.cameras}
        self.types: Set[str] = set()
        for cam in self.cameras:
            last = cam.get("last_alarm")
            if isinstance(last, dict) and last.get("info_type"):
                self.types.add(str(last["info_type"]))
            active = cam.get("active")
            self.types.update(t for t in (active if isinstance(active, list) else []) if isinstance(t, str))
        # an incident running, or a camera down: shown before the quiet devices when the page is split
        self.alarm = any(c.get("active") or c.get("state") in BAD_STATES for c in self.cameras)

    def device(self, now: float) -> Dict[str, Any]:
        """The device as /api/status answers it."""
        age = max(0.0, now - self.seen) if self.seen is not None else None
        return {"device": self.name, "availability": self.availability, "online": self.online,
                "silent": self.online and (age is None or age > SILENT_AFTER),
                "last_seen": self.last_seen, "last_seen_age": age, "instance": self.instance,
                "name_reused": self.name_reused, "conflict": self.conflict}

    def cameras_at(self, now: float) -> List[Dict[str, Any]]:
        """Its cameras as /api/status answers them, their frame ages now."""
        return [dict(cam, last_frame_age=frame_age(clock, now)) for cam, clock in zip(self.cameras, self.clocks)]


class _Device:
    """The readings behind one device's summary."""

    def __init__(self) -> None:
        self.saved: Optional[_Read] = None
        self.folder: Optional[_Read] = None  # value: the names of its sub-folders, sorted
        self.statuses: Dict[str, _Read] = {}  # value: what ``FleetCache._status`` gives
        self.summary: Optional[Summary] = None


class FleetCache:
    """The summaries of the devices under a collector's root; one refresh at a time."""

    def __init__(self, path: str, skipped: Skipped) -> None:
        self.path, self.skipped = path, skipped
        self.devices: Dict[str, _Device] = {}

    def refresh(self, names: List[str], now: Optional[float] = None) -> List[Summary]:
        """The summaries of ``names`` (devices whose device.json is a file),
        each brought up to date with its files."""
        now = time.time() if now is None else now
        found, kept = [], {}
        for name in names:
            entry = self.devices.get(name) or _Device()
            summary = self._refresh(name, entry, now)
            if summary is not None:
                found.append(summary)
                kept[name] = entry
        self.devices = kept  # a device gone leaves nothing behind
        return found

    def _refresh(self, name: str, entry: _Device, now: float) -> Optional[Summary]:
        folder = os.path.join(self.path, name)
        try:
            info = os.stat(os.path.join(folder, DEVICE_FILE))
        except OSError:
            return None
        if not stat.S_ISREG(info.st_mode):
            return None
        # rebuilt when what a file says changed, not when it was only written again
        changed = entry.summary is None or now >= entry.summary.gone_after
        if entry.saved is None or not entry.saved.holds(info):
            saved = _Read(info, read_json(os.path.join(folder, DEVICE_FILE)) or {}, now)
            changed = changed or entry.saved is None or saved.value != entry.saved.value
            entry.saved = saved
        try:
            folder_info: Optional[os.stat_result] = os.stat(folder)
        except OSError:
            folder_info = None
        if entry.folder is None or not entry.folder.holds(folder_info):
            listed = _Read(folder_info, self._sub_folders(folder), now)
            changed = changed or entry.folder is None or listed.value != entry.folder.value
            entry.folder = listed
        statuses: Dict[str, _Read] = {}
        mtimes: Dict[str, float] = {}
        for camera in entry.folder.value:
            path = folder + os.sep + camera + os.sep + "status.json"
            try:
                status_info: Optional[os.stat_result] = os.stat(path)
            except OSError:  # none yet, or one the reading reports
                status_info = None
            read = entry.statuses.get(camera)
            if read is None or not read.holds(status_info):
                fresh = _Read(status_info, self._status(camera, path, now), now)
                if read is None or fresh.value[:2] != read.value[:2]:
                    changed = True
                    read = fresh
                else:  # the same fields: the camera as shown before, its new stamp kept
                    fresh.value = read.value
                    read = fresh
            statuses[camera] = read
            if status_info is not None:
                mtimes[camera] = status_info.st_mtime
        if statuses.keys() != entry.statuses.keys():
            changed = True
        entry.statuses = statuses
        if changed or entry.summary is None:
            entry.summary = self._summary(name, entry, mtimes, now)
        return entry.summary

    def _sub_folders(self, folder: str) -> List[str]:
        try:
            with os.scandir(folder) as listing:
                return sorted(e.name for e in listing if e.is_dir())
        except OSError as error:
            log.warning("cannot list the results root %s: %s", folder, error.strerror)
            return []

    def _status(self, camera: str, path: str, now: float) -> Tuple[Any, ...]:
        """("ok", its fields, the camera as shown, its frame clock), ("bad",
        why), or ("none", None) for a folder without a status."""
        try:
            read = read_status(camera, path)
        except Bad as error:
            self.skipped.warn(path, "skipping the status {!r}: {}".format(path, error))
            return "bad", str(error)
        if read is None:
            return "none", None
        status, dropped = read
        if dropped:
            self.skipped.warn(path, "skipping fields of the status {!r}: {}".format(path, ", ".join(dropped)))
        return "ok", read, ResultsRoot.shown(camera, status, dropped, now), frame_clock(status)

    def _summary(self, name: str, entry: _Device, mtimes: Dict[str, float], now: float) -> Summary:
        counts = {"status_file": 0, "status_field": 0}
        cameras: List[Tuple[Dict[str, Any], FrameClock]] = []
        gone_after = float("inf")
        for camera, read in entry.statuses.items():
            kind = read.value[0]
            mtime = mtimes.get(camera)
            if mtime is not None and now - mtime > GONE_SECONDS:
                continue  # nobody has written it for a day: its camera has left
            if mtime is not None:
                gone_after = min(gone_after, mtime + GONE_SECONDS)
            if kind == "bad":
                counts["status_file"] += 1
            elif kind == "ok":
                _, (_, dropped), shown, clock = read.value
                counts["status_field"] += len(dropped)
                cameras.append((shown, clock))
        saved = entry.saved.value if entry.saved is not None else {}
        return Summary(name, saved, cameras, counts, gone_after)
