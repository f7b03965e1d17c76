"""Home Assistant's MQTT discovery: the retained configuration messages that
make each camera appear by itself, all tied to one device (this one) and to
its availability topic.

Per camera a sensor of its state; per camera and info type a binary sensor
(on while an incident runs) and an image (the incident's best picture).
"""
from __future__ import annotations

import json
import re
from typing import Any, Dict, List, Tuple

DISCOVERY_PREFIX = "homeassistant"
_UNSAFE = re.compile(r"[^A-Za-z0-9_-]")
# The binary sensor's device class for the engine's info types HA knows a
# class for; others show as a plain on/off sensor.
DEVICE_CLASSES = {"motion": "motion", "face": "occupancy", "person": "occupancy"}


def slug(text: str) -> str:
    return _UNSAFE.sub("_", text)


def _version() -> str:
    try:
        from importlib import metadata
    except ImportError:  # pragma: no cover - 3.8 has it; kept for odd builds
        return "unknown"
    try:
        return metadata.version("visionengin")
    except metadata.PackageNotFoundError:
        return "unknown"


def _common(device: str, prefix: str, unique: str, name: str) -> Dict[str, Any]:
    return {"name": name, "unique_id": unique,
            "availability_topic": prefix + "/availability",
            "payload_available": "online", "payload_not_available": "offline",
            "device": {"identifiers": ["visionengin_" + slug(device)], "name": device,
                       "manufacturer": "visionengin", "model": "visionengin cameras",
                       "sw_version": _version()}}


def camera_configs(device: str, prefix: str, camera: str) -> List[Tuple[str, Dict[str, Any]]]:
    """(topic, payload) of the camera's state sensor."""
    node = slug(device)
    unique = "{}_{}_state".format(node, slug(camera))
    payload = _common(device, prefix, unique, "{} state".format(camera))
    payload.update({"state_topic": "{}/{}/state".format(prefix, camera),
                    "value_template": "{{ value_json.state }}",
                    "json_attributes_topic": "{}/{}/state".format(prefix, camera),
                    "icon": "mdi:cctv"})
    return [("{}/sensor/{}/{}/config".format(DISCOVERY_PREFIX, node, unique), payload)]


def info_type_configs(device: str, prefix: str, camera: str,
                      info_type: str) -> List[Tuple[str, Dict[str, Any]]]:
    """(topic, payload) of the binary sensor and the image of one camera's
    info type."""
    node, base = slug(device), "{}/{}/{}".format(prefix, camera, slug(info_type))
    unique = "{}_{}_{}".format(node, slug(camera), slug(info_type))
    sensor = _common(device, prefix, unique, "{} {}".format(camera, info_type))
    sensor.update({"state_topic": base, "payload_on": "ON", "payload_off": "OFF"})
    if info_type in DEVICE_CLASSES:
        sensor["device_class"] = DEVICE_CLASSES[info_type]
    image = _common(device, prefix, unique + "_snapshot", "{} {} snapshot".format(camera, info_type))
    image.update({"image_topic": base + "/snapshot", "content_type": "image/jpeg"})
    return [("{}/binary_sensor/{}/{}/config".format(DISCOVERY_PREFIX, node, unique), sensor),
            ("{}/image/{}/{}/config".format(DISCOVERY_PREFIX, node, unique + "_snapshot"), image)]


def encode(payload: Dict[str, Any]) -> bytes:
    return json.dumps(payload, ensure_ascii=False, sort_keys=True).encode("utf-8")


__all__ = ["camera_configs", "info_type_configs", "encode", "slug"]
