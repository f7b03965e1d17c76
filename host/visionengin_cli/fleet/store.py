"""What the collector keeps of each message, under its results root (layout
in ``layout``). Called with the collector's lock held, from the MQTT
client's thread and the housekeeping tick.

An incident's event arrives just before its best picture (the device sends
the ``events`` message, then the ``<camera>/<info type>/snapshot``): its
line waits for the picture, at most ``PAIR_WAIT`` seconds, so that the line
names the picture's file; neither is acknowledged to the broker before both
are on disk, so a crash between them loses nothing.

What it holds is bounded (``limits``): devices, cameras per device, info
types per camera, a snapshot's size and form. A tick works on the devices
that changed since the last one (``due``), the few whose camera states are
to be marked current, and the few to forget, never on every device.
"""
from __future__ import annotations

import collections
import json
import logging
import os
import re
import time
from typing import Any, Dict, List, Optional, Set, Tuple

from ..sinks.homeassistant import slug
from ..storage.atomic import replace_file
from ..storage.names import is_camera_name
from . import layout, pictures
from .devices import device_time
from ..storage.times import iso
from .folder import Ack, Device, Pending
from .limits import REFUSAL_KINDS, Limits

log = logging.getLogger("visionengin.fleet")
PAIR_WAIT = 2.0  # seconds an incident's line waits for its picture
OPEN_LOGS = 128  # event logs kept open at once
TOUCH_PERIOD = 3600.0  # seconds: a talking device's camera states marked as current this often
DEVICE_WRITE = 10.0  # seconds between two rewrites of a device.json for "last seen" alone
STATUS_WRITE = 5.0  # seconds between two rewrites of the collector's own status for its counts
TOUCHES_PER_TICK = 50  # devices whose camera states are marked current in one tick, at most
_PICTURE_ID = re.compile(r"[A-Za-z0-9_-]{1,64}")
INCIDENTS = ("incident_start", "incident_end")


class Store:
    def __init__(self, root: str, limits: Optional[Limits] = None) -> None:
        self.root = root
        self.limits = limits or Limits()
        self.devices: Dict[str, Device] = {}
        self.twins: Dict[str, List[str]] = {}  # a device's name: the folders of others using it
        self.open_logs: "collections.OrderedDict[str, None]" = collections.OrderedDict()
        self.refused: Dict[str, str] = {}  # what was logged once, by its kind and name
        self.counts = {"events": 0, "repeats": 0, "pictures": 0, "refused": 0, "forgotten": 0}
        self.refusals = {kind: 0 for kind in REFUSAL_KINDS}
        self.status_failed = False  # collector.json could not be written: told once
        self.over_logged: Set[str] = set()  # the kinds of bound already logged
        # every device with a folder, loaded or not: when the collector last heard it, oldest first
        self.heard: "collections.OrderedDict[str, float]" = collections.OrderedDict(self._known())
        self.due: Set[str] = set()  # devices with something to write or pair at the next tick
        self.touch_order: "collections.OrderedDict[str, None]" = collections.OrderedDict()
        self.status_dirty, self.status_written = True, 0.0

    def _known(self) -> List[Tuple[str, float]]:
        try:
            names = os.listdir(self.root)
        except OSError:
            return []
        found = []
        for name in names:
            path = os.path.join(self.root, name, layout.DEVICE_FILE)
            if not layout.safe_name(name) or not os.path.isfile(path):
                continue
            saved = layout.read_json(path) or {}
            at = saved.get("heard_epoch", saved.get("last_seen_epoch"))
            if not isinstance(at, (int, float)) or isinstance(at, bool):
                try:
                    at = os.stat(path).st_mtime
                except OSError:
                    at = time.time()
            found.append((name, float(at)))
        found.sort(key=lambda pair: pair[1])
        return found

    def device(self, name: str) -> Optional[Device]:
        found = self.devices.get(name)
        if found is None:
            if not layout.safe_name(name):
                self._refuse("device " + name, "a device name that cannot be a folder: {!r}".format(name))
                return None
            if name not in self.heard and len(self.heard) >= self.limits.max_devices:
                self._over("devices", "device {}: beyond --max-devices {}".format(name, self.limits.max_devices))
                return None
            found = self.devices[name] = Device(self.root, name)
            found.state.dirty = True  # its device.json: the folder counts at the next start too
            if name not in self.heard:
                self.heard[name] = time.time()
                self.status_dirty = True
            self.touch_order[name] = None
        self.due.add(name)
        return found

    def _heard(self, device: Device) -> None:
        """A live message (not a retained copy): the device is not to be forgotten."""
        device.state.mark_heard()
        self.heard[device.name] = time.time()
        self.heard.move_to_end(device.name)

    def _camera_ok(self, device: Device, camera: str) -> bool:
        if camera in device.camera_names:
            return True
        if len(device.camera_names) >= self.limits.max_cameras:
            self._over("cameras", "device {}: camera {!r} beyond --max-cameras {}".format(
                device.name, camera[:64], self.limits.max_cameras))
            return False
        return True

    def _info_type_ok(self, device: Device, camera: str, info_type: str) -> bool:
        if len(info_type) > layout.MAX_NAME:
            self._refuse("info type " + device.name, "device {}: an info type longer than {} characters".format(
                device.name, layout.MAX_NAME))
            return False
        known = device.types_of(camera)
        if info_type in known:
            return True
        if len(known) >= self.limits.max_info_types:
            self._over("info_types", "device {}: camera {}: info type {!r} beyond --max-info-types {}".format(
                device.name, camera, info_type[:64], self.limits.max_info_types))
            return False
        known.add(info_type)
        return True

    def _over(self, kind: str, message: str) -> None:
        """A message beyond a bound: counted; logged once per kind, as a
        flood of made-up names would otherwise flood the log too."""
        self.refusals[kind] += 1
        self.counts["refused"] += 1
        self.status_dirty = True
        if kind not in self.over_logged:
            self.over_logged.add(kind)
            log.warning("%s: refused (further ones of this kind are counted in collector.json, not logged)",
                        message)

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
        self.refusals["bad_message"] += 1
        self.status_dirty = True
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
        self._heard(device)
        try:
            line = json.loads(payload)
        except ValueError:
            line = None
        if not isinstance(line, dict) or not isinstance(line.get("id"), str) \
                or not isinstance(line.get("type"), str):
            self._refuse("event " + name, "device {}: an event that is not a JSON object with an id "
                         "and a type".format(name))
            return ack()
        device.state.seen(device_time(line.get("time")))
        self._flush(device, older=None)  # whatever waited for a picture has none coming
        instance = line.pop("instance", None)
        if isinstance(instance, str) and instance in device.state.twins:
            twin = self.twin(device, device.state.twins[instance])
            if twin is not None:
                twin.state.seen(device_time(line.get("time")))
                self._flush(twin, older=None)
                device = twin
        camera = line.get("camera")
        if isinstance(camera, str) and is_camera_name(camera) and (
                not self._camera_ok(device, camera) or line["type"] in INCIDENTS
                and not self._info_type_ok(device, camera, slug(str(line.get("info_type"))))):
            return ack()
        if device.log.known(line["id"]) or any(p.line.get("id") == line["id"] for p in device.pending.values()):
            device.state.counts["repeats"] += 1
            self.counts["repeats"] += 1
            return ack()
        line["device"] = device.name
        if line["type"] in INCIDENTS and isinstance(camera, str) and is_camera_name(camera):
            device.pending[(camera, slug(str(line.get("info_type"))))] = Pending(line, [ack])
            return None
        self._write(device, line, [ack])
        return None

    def snapshot(self, name: str, camera: str, info_type: str, payload: bytes, retained: bool,
                 ack: Ack) -> None:
        device = self.device(name)
        # empty: cleared, the camera left the device
        if device is None or not payload or not is_camera_name(camera):
            return ack()
        if not retained:
            self._heard(device)
        for candidate in [device] + [self.devices[t] for t in self.twins.get(name, ()) if t in self.devices]:
            waiting = None if retained else candidate.pending.pop((camera, info_type), None)
            if waiting is not None:
                device = candidate
                break
        else:  # the broker's copy of a picture already paired, or none to pair
            if retained:
                self._retained_picture(device, camera, info_type, payload)
            return ack()
        waiting.acks.append(ack)
        self._picture(device, waiting.line, payload)  # a refused one: the line without it
        self._write(device, waiting.line, waiting.acks)
        return None

    def _retained_picture(self, device: Device, camera: str, info_type: str, payload: bytes) -> None:
        """The broker's copy of a camera's latest incident picture, as a new
        session receives it: the picture of an incident begun before the
        collector joined, kept while the collector has none of its own."""
        if not self._camera_ok(device, camera) or not self._info_type_ok(device, camera, info_type):
            return
        last = device.camera(camera).get("last_alarm")
        if isinstance(last, dict) and not last.get("retained"):
            return  # the collector's own is newer than what the broker kept
        line = {"camera": camera, "info_type": info_type, "incident": "retained-" + info_type, "time": None}
        if self._picture(device, line, payload):
            device.camera(camera)["last_alarm"]["retained"] = True
            device.write_camera(camera)

    def _picture(self, device: Device, line: Dict[str, Any], payload: bytes) -> bool:
        camera = str(line["camera"])
        if len(payload) > self.limits.max_snapshot:
            self._over("snapshot_size", "device {}: a snapshot of {} bytes, beyond --max-snapshot {}".format(
                device.name, len(payload), self.limits.max_snapshot))
            return False
        suffix = pictures.kind(payload)
        if suffix is None:
            self._over("snapshot_not_a_picture", "device {}: a snapshot that is not a whole JPEG or PNG "
                       "picture".format(device.name))
            return False
        ident = str(line.get("incident") or line.get("id"))
        if not _PICTURE_ID.fullmatch(ident):
            self._refuse("incident " + device.name, "device {}: an incident id unfit for a file name".format(
                device.name))
            return False
        folder = os.path.join(device.folder, camera, layout.PICTURES)
        os.makedirs(folder, exist_ok=True)
        path = os.path.join(folder, ident + suffix)
        replace_file(path, payload)
        self.counts["pictures"] += 1
        if "picture" in line:
            line["device_picture"] = line["picture"]
        line["picture"] = "{}/{}/{}{}".format(camera, layout.PICTURES, ident, suffix)
        status = device.camera(camera)
        status["last_alarm"] = {"time": line.get("time"), "info_type": line.get("info_type"),
                                "picture": line["picture"]}
        return True

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
        if isinstance(camera, str) and is_camera_name(camera) and line.get("type") in INCIDENTS + (
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
        if device is None or not is_camera_name(camera):
            return ack()
        if not retained:
            self._heard(device)
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
        instance = fields.get("instance")
        if isinstance(instance, str) and instance in device.state.twins:
            twin = self.twin(device, device.state.twins[instance])
            device = twin if twin is not None else device
        if not self._camera_ok(device, camera):
            return ack()
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
        if device is None or not is_camera_name(camera):
            return ack()
        if not retained:
            self._heard(device)
        if not self._camera_ok(device, camera) or not self._info_type_ok(device, camera, info_type):
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
            if not retained:
                self._heard(device)
            device.state.set_availability(payload, retained)  # no time of its own: not "seen"
        return ack()

    def instance(self, name: str, payload: bytes, retained: bool, ack: Ack) -> None:
        device = self.device(name)
        if device is None:
            return ack()
        try:
            fields = json.loads(payload)
        except ValueError:
            fields = None
        if not retained:
            self._heard(device)
        if isinstance(fields, dict):
            device.state.announce(fields, retained)
            # a live heartbeat (QoS 0, never kept for an absent collector) is now,
            # whatever the device's clock says; the broker's copy is as old as its time
            when = device_time(fields.get("time")) if retained else None
            if when is not None or not retained:
                device.state.seen(when)
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
        for name in list(self.devices) if final else list(self.due):
            device = self.devices.get(name)
            if device is None:
                self.due.discard(name)
                continue
            self._flush(device, older=None if final else PAIR_WAIT)
            device.write_cameras()
            state = device.state
            if state.dirty and (final or state.urgent or now - state.written >= DEVICE_WRITE):
                layout.write_json(os.path.join(device.folder, layout.DEVICE_FILE), state.as_dict())
                state.dirty = state.urgent = False
                state.written = now
            if not device.pending and not device.changed and not state.dirty:
                self.due.discard(name)
        self._touch(now)
        if not final:
            self._forget()
        if self.status_dirty and (final or now - self.status_written >= STATUS_WRITE):
            self.write_status(now)

    def _touch(self, now: float) -> None:
        for _ in range(TOUCHES_PER_TICK):
            name = next(iter(self.touch_order), None)
            if name is None:
                return
            device = self.devices.get(name)
            if device is None:
                self.touch_order.pop(name)
                continue
            if now - device.touched <= TOUCH_PERIOD:
                return
            if device.state.availability == "online":
                device.touch_cameras()
            device.touched = now
            self.touch_order.move_to_end(name)

    def _forget(self) -> None:
        """The device heard from least recently, once silent past
        --max-device-age: out of memory, its folder set aside for the next
        retention pass (removing it here would hold the lock)."""
        name = next(iter(self.heard), None)
        if name is None or time.time() - self.heard[name] <= self.limits.max_device_age:
            return
        del self.heard[name]
        device = self.devices.pop(name, None)
        if device is not None:
            device.log.close()
        self.touch_order.pop(name, None)
        self.open_logs.pop(name, None)
        self.due.discard(name)
        self.twins.pop(name, None)
        self.counts["forgotten"] += 1
        self.status_dirty = True
        try:
            os.replace(os.path.join(self.root, name),
                       os.path.join(self.root, "{}{}.{}".format(layout.FORGOTTEN, name, int(time.time()))))
        except OSError as error:
            log.error("device %s: cannot set its folder aside: %s", name, error.strerror or error)
            return
        log.info("device %s: not heard from for %.0f days: forgotten, its folder removed", name,
                 self.limits.max_device_age / 86400)

    def write_status(self, now: float) -> None:
        """collector.json: the counts the page shows beside the devices'."""
        try:
            layout.write_json(os.path.join(self.root, layout.COLLECTOR_FILE), {
                "time": time.time(), "devices": len(self.heard), "devices_loaded": len(self.devices),
                "refused": dict(self.refusals), "forgotten": self.counts["forgotten"],
                "limits": self.limits.as_dict()})
        except OSError as error:  # tried again at the next tick; the collector goes on
            if not self.status_failed:
                log.error("cannot write %s: %s", layout.COLLECTOR_FILE, error.strerror or error)
            self.status_failed = True
            return
        self.status_failed = False
        self.status_dirty, self.status_written = False, now

    def close(self) -> None:
        for device in self.devices.values():
            device.log.close()
