"""Home Assistant's MQTT discovery: the retained configuration messages that
make each camera appear by itself, all tied to one device (this one) and to
its availability topic (or, for a unit run with ``--only``, the unit's own:
the unit that runs a camera is what its entities' availability depends on).

Per camera a diagnostic sensor of its state; per camera and info type a
binary sensor (on while an incident runs) and an image (the incident's best
picture), and per camera, zone and info type (incidents by zone) a binary
sensor, available only while both the device and the camera are (a camera
without video says nothing about motion). The state sensor keeps only the
device's availability: it is what tells why a camera has no video.
"""
from __future__ import annotations

import json
import re
import socket
from typing import Any, Dict, List, Optional, Tuple
from urllib.parse import urlsplit, urlunsplit

from ..states import CAMERA_STATES
from . import topics

_UNSAFE = re.compile(r"[^A-Za-z0-9_-]")
# The binary sensor's device class for the engine's info types HA knows a
# class for; others show as a plain on/off sensor.
DEVICE_CLASSES = {"motion": "motion", "face": "occupancy", "person": "occupancy"}
# Every word a camera's state can be (the supervisor's and the live run's):
# HA refuses an enum sensor's state outside its options.
STATES = CAMERA_STATES
# A camera's own availability, read from its state: "online" is false once no
# frame came for [events] offline_after seconds.
CAMERA_AVAILABLE = "{{ 'online' if value_json.online else 'offline' }}"
_ANY_ADDRESS = ("", "0.0.0.0", "::")


def slug(text: str) -> str:
    return _UNSAFE.sub("_", text)


def zone_key(zone: str, info_type: str) -> str:
    """How a zone's sensor is recorded beside a camera's info types (which,
    as slugs, hold no '/')."""
    return "{}/{}".format(slug(zone), slug(info_type))


def split_key(key: str) -> Tuple[Optional[str], str]:
    """(zone or None, info type) of a recorded key."""
    zone, sep, info_type = key.partition("/")
    return (zone, info_type) if sep else (None, key)


def _version() -> str:
    try:
        from importlib import metadata
    except ImportError:  # pragma: no cover - 3.8 has it; kept for odd builds
        return "unknown"
    try:
        return metadata.version("visionengin")
    except metadata.PackageNotFoundError:
        return "unknown"


def page_address(url: str) -> str:
    """The served page's address as another machine reaches it: a page
    listening on every address is named by this host's name."""
    parts = urlsplit(url)
    if (parts.hostname or "") not in _ANY_ADDRESS:
        return url
    port = ":{}".format(parts.port) if parts.port else ""
    return urlunsplit((parts.scheme, (socket.gethostname() or "localhost") + port, parts.path or "/",
                       "", ""))


class Discovery:
    """The discovery payloads of one device: its name, topic prefix and,
    when a page is served, the page's address."""

    def __init__(self, device: str, prefix: str, page: Optional[str] = None,
                 availability: Optional[str] = None) -> None:
        """``availability``: the topic the entities follow (a unit's own with
        ``--only``); the device's ``<prefix>/availability`` by default."""
        self.device, self.prefix, self.page = device, prefix, page
        self.availability = availability or topics.availability(prefix)
        self.node = slug(device)

    def _common(self, unique: str, name: str, camera: Optional[str]) -> Dict[str, Any]:
        availability: List[Dict[str, str]] = [
            {"topic": self.availability, "payload_available": "online",
             "payload_not_available": "offline"}]
        if camera is not None:
            availability.append({"topic": topics.state(self.prefix, camera),
                                 "value_template": CAMERA_AVAILABLE})
        device = {"identifiers": ["visionengin_" + self.node], "name": self.device,
                  "manufacturer": "visionengin", "model": "visionengin cameras",
                  "sw_version": _version()}
        if self.page is not None:
            device["configuration_url"] = self.page
        return {"name": name, "unique_id": unique, "availability": availability,
                "availability_mode": "all", "device": device,
                "origin": {"name": "visionengin", "sw_version": _version()}}

    def camera(self, camera: str) -> List[Tuple[str, Dict[str, Any]]]:
        """(topic, payload) of the camera's state sensor."""
        unique = "{}_{}_state".format(self.node, slug(camera))
        payload = self._common(unique, "{} state".format(camera), None)
        payload.update({"state_topic": topics.state(self.prefix, camera),
                        "value_template": "{{ value_json.state }}",
                        "json_attributes_topic": topics.state(self.prefix, camera),
                        "device_class": "enum", "options": list(STATES),
                        "entity_category": "diagnostic", "icon": "mdi:cctv"})
        return [(topics.discovery("sensor", self.node, unique), payload)]

    def info_type(self, camera: str, info_type: str) -> List[Tuple[str, Dict[str, Any]]]:
        """(topic, payload) of the binary sensor and the image of one
        camera's info type."""
        base = topics.switch(self.prefix, camera, slug(info_type))
        unique = "{}_{}_{}".format(self.node, slug(camera), slug(info_type))
        sensor = self._common(unique, "{} {}".format(camera, info_type), camera)
        sensor.update({"state_topic": base, "payload_on": "ON", "payload_off": "OFF"})
        if info_type in DEVICE_CLASSES:
            sensor["device_class"] = DEVICE_CLASSES[info_type]
        image = self._common(unique + "_snapshot", "{} {} snapshot".format(camera, info_type), camera)
        image.update({"image_topic": topics.snapshot(self.prefix, camera, slug(info_type)),
                      "content_type": "image/jpeg"})
        return [(topics.discovery("binary_sensor", self.node, unique), sensor),
                (topics.discovery("image", self.node, unique + "_snapshot"), image)]

    def zone(self, camera: str, zone: str, info_type: str) -> List[Tuple[str, Dict[str, Any]]]:
        """(topic, payload) of the binary sensor of one info type in one zone
        of a camera: on while an incident of that zone runs."""
        zone, info_type = slug(zone), slug(info_type)
        unique = "{}_{}_{}_{}_zone".format(self.node, slug(camera), zone, info_type)
        sensor = self._common(unique, "{} {} {}".format(camera, zone, info_type), camera)
        sensor.update({"state_topic": topics.zone(self.prefix, camera, zone, info_type),
                       "payload_on": "ON", "payload_off": "OFF"})
        if info_type in DEVICE_CLASSES:
            sensor["device_class"] = DEVICE_CLASSES[info_type]
        return [(topics.discovery("binary_sensor", self.node, unique), sensor)]

    def recorded(self, camera: str, key: str) -> List[Tuple[str, Dict[str, Any]]]:
        """The discovery of a recorded key: an info type, or a zone's (``zone_key``)."""
        zone, info_type = split_key(key)
        return self.info_type(camera, info_type) if zone is None else self.zone(camera, zone, info_type)


def encode(payload: Dict[str, Any]) -> bytes:
    return json.dumps(payload, ensure_ascii=False, sort_keys=True).encode("utf-8")


__all__ = ["Discovery", "STATES", "encode", "page_address", "slug", "split_key", "zone_key"]
