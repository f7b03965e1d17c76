"""What the collector keeps of each message, under its results root (layout
in ``layout``). Called with the collector's lock held, from the MQTT
client's thread and the housekeeping tick.

An incident's event arrives just before its best picture (the device sends
the ``events`` message, then the ``<camera>/<info type>/snapshot``): its
line waits for the picture, at most ``PAIR_WAIT`` seconds, so that the line
names the picture's file; neither is acknowledged to the broker before both
are on disk, so a crash between them loses nothing.
"""
from __future__ import annotations

import collections
import json
import logging
import os
import re
import time
from typing import Any, Dict, List, Optional, Tuple

from ..sinks.homeassistant import slug
from . import layout
from .events_log import iso
from .folder import Ack, Device, Pending

log = logging.getLogger("visionengin.fleet")
PAIR_WAIT = 2.0  # seconds an incident's line waits for its picture
OPEN_LOGS = 128  # event logs kept open at once
TOUCH_PERIOD = 3600.0  # seconds: a talking device's camera states marked as current this often
DEVICE_WRITE = 10.0  # seconds between two rewrites of a device.json for "last seen" alone
_PICTURE_ID = re.compile(r"[A-Za-z0-9_-]{1,64}")
INCIDENTS = ("incident_start", "incident_end")


class Store:
    def __init__(self, root: str) -> None:
        self.root = root
        self.devices: Dict[str, Device] = {}
        self.twins: Dict[str, List[str]] = {}  # a device's name: the folders of others using it
        self.open_logs: "collections.OrderedDict[str, None]" = collections.OrderedDict()
        self.refused: Dict[str, str] = {}  # what was logged once, by its kind and name
        self.counts = {"events": 0, "repeats": 0, "pictures": 0, "refused": 0}

    def device(self, name: str) -> Optional[Device]:
        found = self.devices.get(name)
        if found is None:
            if not layout.safe_name(name):
                self._refuse("device " + name, "a device name that cannot be a folder: {!r}".format(name))
                return None
            found = self.devices[name] = Device(self.root, name)
        return found

    def twin(self, device: Device, client_id: str) -> Optional[Device]:
        """The folder of a second device announcing ``device``'s name."""
        twin = self.device("{}@{}".format(device.name, slug(client_id))[:layout.MAX_NAME])
        if twin is not None and twin.state.twin_of != device.name:
            self.twins.setdefault(device.name, []).append(twin.name)
            twin.state.twin_of, twin.state.availability = device.name, "online"
            twin.state.conflict = device.state.conflict
            twin.state.urgent = twin.state.dirty = True
        return twin

    def _refuse(self, key: str, message: str) -> None:
        self.counts["refused"] += 1
        if key not in self.refused:
            if len(self.refused) > 10000:
                self.refused.clear()
            self.refused[key] = message
            log.warning("%s: dropped", message)

    # messages ----------------------------------------------------------------
    def event(self, name: str, payload: bytes, ack: Ack) -> None:
        device = self.device(name)
        if device is None:
            return ack()
        device.state.seen()
        try:
            line = json.loads(payload)
        except ValueError:
            line = None
        if not isinstance(line, dict) or not isinstance(line.get("id"), str) \
                or not isinstance(line.get("type"), str):
            self._refuse("event " + name, "device {}: an event that is not a JSON object with an id "
                         "and a type".format(name))
            return ack()
        self._flush(device, older=None)  # whatever waited for a picture has none coming
        instance = line.pop("instance", None)
        if isinstance(instance, str) and instance in device.state.twins:
            twin = self.twin(device, device.state.twins[instance])
            if twin is not None:
                twin.state.seen()
                self._flush(twin, older=None)
                device = twin
        if device.log.known(line["id"]) or any(p.line.get("id") == line["id"] for p in device.pending.values()):
            device.state.counts["repeats"] += 1
            self.counts["repeats"] += 1
            return ack()
        line["device"] = device.name
        camera = line.get("camera")
        if line["type"] in INCIDENTS and isinstance(camera, str) and layout.safe_name(camera):
            device.pending[(camera, slug(str(line.get("info_type"))))] = Pending(line, [ack])
            return None
        self._write(device, line, [ack])
        return None

    def snapshot(self, name: str, camera: str, info_type: str, payload: bytes, retained: bool,
                 ack: Ack) -> None:
        device = self.device(name)
        if device is None or not payload:  # empty: cleared, the camera left the device
            return ack()
        for candidate in [device] + [self.devices[t] for t in self.twins.get(name, ())]:
            waiting = None if retained else candidate.pending.pop((camera, info_type), None)
            if waiting is not None:
                device = candidate
                break
        else:  # the broker's copy of a picture already paired, or none to pair
            return ack()
        device.state.seen()
        waiting.acks.append(ack)
        self._picture(device, waiting.line, payload)
        self._write(device, waiting.line, waiting.acks)
        return None

    def _picture(self, device: Device, line: Dict[str, Any], payload: bytes) -> None:
        camera = str(line["camera"])
        if payload[:3] == b"\xff\xd8\xff":
            suffix = ".jpg"
        elif payload[:8] == b"\x89PNG\r\n\x1a\n":
            suffix = ".png"
        else:
            self._refuse("picture " + device.name, "device {}: a snapshot that is neither JPEG nor PNG".format(
                device.name))
            return
        ident = str(line.get("incident") or line.get("id"))
        if not _PICTURE_ID.fullmatch(ident):
            self._refuse("incident " + device.name, "device {}: an incident id unfit for a file name".format(
                device.name))
            return
        folder = os.path.join(device.folder, camera, layout.PICTURES)
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, ident + suffix)
        tmp = path + ".tmp"
        with open(tmp, "wb") as file:
            file.write(payload)
        os.replace(tmp, path)
        self.counts["pictures"] += 1
        if "picture" in line:
            line["device_picture"] = line["picture"]
        line["picture"] = "{}/{}/{}{}".format(camera, layout.PICTURES, ident, suffix)
        status = device.camera(camera)
        status["last_alarm"] = {"time": line.get("time"), "info_type": line.get("info_type"),
                                "picture": line["picture"]}

    def _write(self, device: Device, line: Dict[str, Any], acks: List[Ack]) -> None:
        """The line on disk, then the broker told; a line that cannot be
        written raises OSError unacknowledged, and the broker sends it again."""
        if not str(line.get("picture", "")).startswith(str(line.get("camera")) + "/" + layout.PICTURES + "/") \
                and "picture" in line:
            line["device_picture"] = line.pop("picture")  # the device's file: not here
        self._log_open(device)
        device.log.append(line)
        device.state.counts["events"] += 1
        self.counts["events"] += 1
        camera = line.get("camera")
        if isinstance(camera, str) and layout.safe_name(camera) and line.get("type") in INCIDENTS + (
                "camera_offline", "camera_online"):
            device.camera(camera)
            device.write_camera(camera)
        for ack in acks:
            ack()

    def _log_open(self, device: Device) -> None:
        self.open_logs[device.name] = None
        self.open_logs.move_to_end(device.name)
        while len(self.open_logs) > OPEN_LOGS:
            oldest, _ = self.open_logs.popitem(last=False)
            if oldest in self.devices:
                self.devices[oldest].log.close()

    def state(self, name: str, camera: str, payload: bytes, retained: bool, ack: Ack) -> None:
        device = self.device(name)
        if device is None or not layout.safe_name(camera):
            return ack()
        if not payload:  # cleared: the camera left the device's configuration
            device.forget_camera(camera)
            return ack()
        try:
            fields = json.loads(payload)
        except ValueError:
            fields = None
        if not isinstance(fields, dict):
            self._refuse("state " + name, "device {}: a camera state that is not a JSON object".format(name))
            return ack()
        if not retained:
            device.state.seen()
        instance = fields.get("instance")
        if isinstance(instance, str) and instance in device.state.twins:
            twin = self.twin(device, device.state.twins[instance])
            device = twin if twin is not None else device
        status = device.camera(camera)
        status.update({"state": str(fields.get("state"))[:64] if fields.get("state") is not None else None,
                       "reason": str(fields["reason"])[:500] if isinstance(fields.get("reason"), str) else None,
                       "online": fields.get("online") if isinstance(fields.get("online"), bool) else None,
                       "disk_full": fields.get("disk_full") if isinstance(fields.get("disk_full"), bool) else None,
                       "updated": iso(time.time())})
        device.write_camera(camera)
        return ack()

    def switch(self, name: str, camera: str, info_type: str, payload: bytes, retained: bool, ack: Ack) -> None:
        device = self.device(name)
        if device is None or not layout.safe_name(camera):
            return ack()
        self._flush(device, older=None, key=(camera, info_type))
        on = payload.strip().upper() == b"ON"
        status = device.camera(camera)
        active = set(status.get("active") or []) if isinstance(status.get("active"), list) else set()
        active = active | {info_type} if on else active - {info_type}
        if sorted(active) != status.get("active"):
            status["active"] = sorted(active)
            device.write_camera(camera)
        return ack()

    def availability(self, name: str, payload: bytes, retained: bool, ack: Ack) -> None:
        device = self.device(name)
        if device is not None:
            device.state.set_availability(payload, retained)
            if not retained and payload.strip() == b"online":
                device.state.seen()
        return ack()

    def instance(self, name: str, payload: bytes, retained: bool, ack: Ack) -> None:
        device = self.device(name)
        if device is None:
            return ack()
        try:
            fields = json.loads(payload)
        except ValueError:
            fields = None
        if isinstance(fields, dict):
            device.state.announce(fields, retained)
            if not retained:
                device.state.seen()
        return ack()

    # housekeeping ---------------------------------------------------------------
    def _flush(self, device: Device, older: Optional[float], key: Optional[Tuple[str, str]] = None) -> None:
        for waiting_key in list(device.pending):
            waiting = device.pending[waiting_key]
            if key is not None and waiting_key != key:
                continue
            if older is not None and time.monotonic() - waiting.at < older:
                continue
            del device.pending[waiting_key]
            self._write(device, waiting.line, waiting.acks)

    def tick(self, final: bool = False) -> None:
        now = time.monotonic()
        for device in self.devices.values():
            self._flush(device, older=None if final else PAIR_WAIT)
            device.write_cameras()
            state = device.state
            if state.availability == "online" and now - device.touched > TOUCH_PERIOD:
                device.touch_cameras()
            if state.dirty and (final or state.urgent or now - state.written >= DEVICE_WRITE):
                layout.write_json(os.path.join(device.folder, layout.DEVICE_FILE), state.as_dict())
                state.dirty = state.urgent = False
                state.written = now

    def close(self) -> None:
        for device in self.devices.values():
            device.log.close()
