"""The collector's bounds: anyone on the broker can publish under the topic
root, so made-up devices, cameras, info types and pictures must not grow
its root, its memory or its tick without end. Beyond a bound a message is
refused (acknowledged, dropped, counted by kind, logged once per kind)."""
from __future__ import annotations

from typing import Any, Dict

MAX_DEVICES = 1000
MAX_CAMERAS = 64  # per device
MAX_INFO_TYPES = 32  # per camera
MAX_SNAPSHOT = 10 * 1000 * 1000  # bytes: the broker's suggested message_size_limit
MAX_DEVICE_AGE = 90 * 86400.0  # seconds without a message: the device and its folder are forgotten

# what the counts of refused messages are kept under (collector.json, /api/status, /metrics)
REFUSAL_KINDS = ("devices", "cameras", "info_types", "snapshot_size", "snapshot_not_a_picture",
                 "bad_message")


class Limits:
    def __init__(self, max_devices: int = MAX_DEVICES, max_cameras: int = MAX_CAMERAS,
                 max_info_types: int = MAX_INFO_TYPES, max_snapshot: int = MAX_SNAPSHOT,
                 max_device_age: float = MAX_DEVICE_AGE) -> None:
        self.max_devices, self.max_cameras, self.max_info_types = max_devices, max_cameras, max_info_types
        self.max_snapshot, self.max_device_age = max_snapshot, max_device_age

    def as_dict(self) -> Dict[str, Any]:
        return {"max_devices": self.max_devices, "max_cameras": self.max_cameras,
                "max_info_types": self.max_info_types, "max_snapshot": self.max_snapshot,
                "max_device_age": self.max_device_age}
