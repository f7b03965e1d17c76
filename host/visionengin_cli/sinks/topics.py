"""The MQTT topic tree, spelled once: what a device publishes under its prefix,
where Home Assistant's discovery goes, and how the collector subscribes to the
devices' root and reads a topic back. The device (sinks/mqtt.py,
sinks/homeassistant.py) and the collector (fleet/client.py) build and parse
every topic here, so the two cannot drift apart.

    <root>/<device>                             a device's prefix (default visionengin/<device>)
    <prefix>/availability                       "online", "offline" (retained, the will)
    <prefix>/units/<unit>/availability          a unit run with --only: its own availability
    <prefix>/instance                           the process speaking for the device (retained)
    <prefix>/events                             one JSON event a message
    <prefix>/<camera>/state                     the camera's state (retained JSON)
    <prefix>/<camera>/<info type>               "ON"/"OFF" while an incident runs (retained)
    <prefix>/<camera>/<info type>/snapshot      the incident's best picture (retained JPEG)
    <prefix>/<camera>/<zone>/<info type>        "ON"/"OFF" of one zone (retained)
    homeassistant/<component>/<node>/<unique id>/config   discovery (retained JSON)
"""
from __future__ import annotations

from typing import NamedTuple, Optional

ROOT = "visionengin"
SUBSCRIPTION = ROOT + "/#"  # the collector's default: every device one level under the root
DISCOVERY_PREFIX = "homeassistant"
AVAILABILITY, UNITS, INSTANCE, EVENTS = "availability", "units", "instance", "events"
STATE, SNAPSHOT = "state", "snapshot"


def join(*parts: str) -> str:
    return "/".join(parts)


def default_prefix(device: str) -> str:
    return join(ROOT, device)


def availability(prefix: str, unit: Optional[str] = None) -> str:
    """The device's availability, or with ``unit`` the unit's own."""
    return join(prefix, AVAILABILITY) if unit is None else join(prefix, UNITS, unit, AVAILABILITY)


def instance(prefix: str) -> str:
    return join(prefix, INSTANCE)


def events(prefix: str) -> str:
    return join(prefix, EVENTS)


def camera(prefix: str, name: str) -> str:
    """The root of a camera's topics (each of them starts with it and "/")."""
    return join(prefix, name)


def state(prefix: str, camera_name: str) -> str:
    return join(prefix, camera_name, STATE)


def switch(prefix: str, camera_name: str, key: str) -> str:
    """The ON/OFF of an info type, or of a zone's ``<zone>/<info type>`` key."""
    return join(prefix, camera_name, key)


def zone(prefix: str, camera_name: str, zone_name: str, info_type: str) -> str:
    return join(prefix, camera_name, zone_name, info_type)


def snapshot(prefix: str, camera_name: str, info_type: str) -> str:
    return join(prefix, camera_name, info_type, SNAPSHOT)


def discovery(component: str, node: str, unique: str) -> str:
    return join(DISCOVERY_PREFIX, component, node, unique, "config")


def subscription_base(subscription: str) -> str:
    """What every topic under ``ROOT/#`` starts with: ``ROOT/`` ("" for "#")."""
    return subscription[:-1]


class DeviceTopic(NamedTuple):
    """A topic a device publishes, as the collector reads it: ``kind`` is one
    of availability, instance, events, state, switch, snapshot."""
    kind: str
    device: str
    camera: Optional[str] = None
    info_type: Optional[str] = None


def parse(subscription: str, topic: str) -> Optional[DeviceTopic]:
    """The device topic ``topic`` is under the collector's ``subscription``;
    None for any other (a unit's availability, a zone's switch, discovery)."""
    base = subscription_base(subscription)
    if not topic.startswith(base):
        return None
    parts = topic[len(base):].split("/")
    if len(parts) == 2 and parts[1] in (EVENTS, AVAILABILITY, INSTANCE):
        return DeviceTopic(parts[1], parts[0])
    if len(parts) == 3:
        if parts[2] == STATE:
            return DeviceTopic(STATE, parts[0], parts[1])
        return DeviceTopic("switch", parts[0], parts[1], parts[2])
    if len(parts) == 4 and parts[3] == SNAPSHOT:
        return DeviceTopic(SNAPSHOT, parts[0], parts[1], parts[2])
    return None
