"""The cameras' configuration file (TOML): loaded, checked and turned into
one ``Camera`` per table under ``[cameras]``.

Every fault is a ``ConfigError`` whose one line names the file, the place
(``cameras.gate.mode``) and what is wrong, so a user can mend it without
reading code. Addresses are never quoted back: they may hold a password.
"""
from __future__ import annotations

import os
import re
import sys
from typing import Any, Dict, List, Mapping, Optional, Tuple

from ..secrets import mask_text
from ..sinks import config as sinks_config
from ..sinks.config import SinksConfig
from ..sinks.homeassistant import slug
from ..storage import settings as storage_settings
from ..storage.names import camera_name_fault
from . import zones as zones_module
from .zones import Polygons

if sys.version_info >= (3, 11):
    import tomllib
else:  # pragma: no cover - the same parser, released separately before 3.11
    import tomli as tomllib

TOP_KEYS = ("results", "engine", "cameras", "storage", "device", "mqtt", "webhooks", "events")
# Keys a camera may set for itself, with [engine] giving the default: the
# watchdog, the behaviour settings written into its behaviour table, its
# recording (cameras/recording.py) and whether its incidents are told per zone.
CAMERA_DEFAULTS = {"watchdog": float, "threshold": float, "alarm_interval": float, "alarm_num": int,
                   "record": str, "pre_roll": float, "post_roll": float, "incidents_by_zone": bool}
RECORD_MODES = ("off", "incidents", "always")
ROLL = 5.0  # seconds of pre_roll and post_roll
ENGINE_KEYS = dict({"cuda": bool, "activate": bool, "cache": str, "detector": str}, **CAMERA_DEFAULTS)
CAMERA_KEYS = dict({"address": str, "mode": int, "bev": list, "detector": str, "zones": dict,
                    "masks": dict}, **CAMERA_DEFAULTS)
# What an unknown key's message lists: a camera's max_age too, which [storage] takes out first.
CAMERA_KNOWN = tuple(CAMERA_KEYS) + ("max_age",)
WATCHDOG = 30.0  # seconds without progress before a camera counts as hung
# (lowest, highest) of each number; None: no bound.
BOUNDS = {"watchdog": (2.0, None), "threshold": (0.0, 1.0), "alarm_interval": (0.0, None),
          "alarm_num": (1, None), "pre_roll": (0.0, 300.0), "post_roll": (0.0, 300.0)}
_TYPE_NAMES = {bool: "true or false", str: "a string", int: "an integer",
               list: "a list of strings", float: "a number", dict: "a table"}
_DUPLICATE = re.compile(r"Cannot declare \('cameras', '([^']*)'\) twice(.*)")


class ConfigError(Exception):
    """A configuration that cannot be run; the message is one line."""


class Camera:
    """One camera as the configuration gives it, with the engine settings it
    runs under; equal cameras need no restart after a reload."""

    __slots__ = ("name", "address", "mode", "bev", "detector", "engine", "base", "watchdog",
                 "behaviour", "recording", "zones", "masks", "incidents_by_zone")

    def __init__(self, name: str, address: str, mode: int, bev: Optional[Tuple[str, ...]],
                 detector: Optional[str], engine: Tuple[Tuple[str, Any], ...], base: str,
                 watchdog: float = WATCHDOG,
                 behaviour: Tuple[Tuple[str, Any], ...] = (),
                 recording: Tuple[str, float, float] = ("off", ROLL, ROLL), zones: Polygons = (),
                 masks: Polygons = (), incidents_by_zone: bool = False) -> None:
        self.name, self.address, self.mode, self.bev = name, address, mode, bev
        self.detector, self.engine, self.base = detector, engine, base
        self.watchdog = watchdog
        self.behaviour = behaviour  # threshold, alarm_interval, alarm_num where given
        self.recording = recording  # (record, pre_roll, post_roll)
        self.zones, self.masks = zones, masks
        self.incidents_by_zone = incidents_by_zone

    def _key(self) -> Tuple[Any, ...]:
        # incidents_by_zone is left out: the incidents are grouped by the
        # command, so a change of it needs no restart of the camera.
        return (self.name, self.address, self.mode, self.bev, self.detector, self.engine, self.base,
                self.watchdog, self.behaviour, self.recording, self.zones, self.masks)

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Camera) and self._key() == other._key()

    def __hash__(self) -> int:
        return hash(self._key())

    def settings(self) -> Dict[str, Any]:
        """What a camera process needs, as JSON-ready values."""
        return {"name": self.name, "address": self.address, "mode": self.mode,
                "bev": list(self.bev) if self.bev is not None else None,
                "detector": self.detector, "engine": dict(self.engine), "base": self.base,
                "behaviour": dict(self.behaviour), "record": self.recording[0],
                "zones": zones_module.as_table(self.zones), "masks": zones_module.as_table(self.masks)}

    def drawn(self) -> Dict[str, Any]:
        """Its zones and masks as status.json carries them, each only when it has any."""
        fields = {"zones": self.zones, "masks": self.masks}
        return {key: zones_module.as_table(value) for key, value in fields.items() if value}


class Config:
    def __init__(self, path: str, results: str, cameras: Dict[str, Camera],
                 storage: Optional[storage_settings.Storage] = None,
                 sinks: Optional[SinksConfig] = None) -> None:
        self.path, self.results, self.cameras = path, results, cameras
        self.listed = list(cameras)  # every camera of the file, also when --only runs one
        self.storage = storage if storage is not None else storage_settings.Storage()
        self.sinks = sinks if sinks is not None else sinks_config.parse({}, os.path.dirname(path))


def _storage(data: Dict[str, Any]) -> storage_settings.Storage:
    """``[storage]``, and takes each camera's own ``max_age`` out of its table."""
    ages = {}
    for name, table in (data.get("cameras") or {}).items():
        if isinstance(table, dict) and "max_age" in table:
            ages[name] = table.pop("max_age")
    try:
        return storage_settings.from_table(data.get("storage", {}), ages)
    except storage_settings.SettingError as error:
        raise ConfigError(str(error)) from None


def _check_type(where: str, value: Any, kind: type) -> None:
    if kind is float and isinstance(value, int) and not isinstance(value, bool):
        value = float(value)
    ok = isinstance(value, kind) and not (kind is int and isinstance(value, bool))
    if ok and kind is list:
        ok = all(isinstance(item, str) for item in value)
    if not ok:
        raise ConfigError("{}: must be {}, got {}".format(where, _TYPE_NAMES[kind], _kind(value)))


def _kind(value: Any) -> str:
    return {bool: "a boolean", str: "a string", int: "an integer", float: "a number",
            list: "a list", dict: "a table"}.get(type(value), type(value).__name__)


def _unknown_keys(where: str, table: Mapping[str, Any], known: Any, listed: Any = None) -> None:
    for key in table:
        if key not in known:
            raise ConfigError("{}: unknown key {!r} (known: {})".format(
                where + "." + key if where else key, key, ", ".join(listed or known)))


def _check_bounds(where: str, key: str, value: Any) -> None:
    if key not in BOUNDS:
        return
    low, high = BOUNDS[key]
    if value < low or (high is not None and value > high):  # NaN passes neither test
        raise ConfigError("{}: must be {}, got {}".format(
            where, "from {} to {}".format(low, high) if high is not None else "{} or more".format(low),
            value))
    if value != value:
        raise ConfigError("{}: must be a number, got nan".format(where))


def _engine(table: Any, base: str) -> Tuple[Tuple[str, Any], ...]:
    if not isinstance(table, dict):
        raise ConfigError("engine: must be a table, got {}".format(_kind(table)))
    _unknown_keys("engine", table, ENGINE_KEYS)
    for key, value in table.items():
        _check_type("engine." + key, value, ENGINE_KEYS[key])
        _check_bounds("engine." + key, key, value)
    options = dict(table)
    if "cache" in options:
        options["cache"] = os.path.normpath(os.path.join(base, os.path.expanduser(options["cache"])))
    return tuple(sorted(options.items()))


def _camera(name: str, table: Any, engine: Tuple[Tuple[str, Any], ...], base: str,
            behaviours: Optional[Mapping[str, Any]]) -> Camera:
    where = "cameras." + name
    fault = camera_name_fault(name)
    if fault is not None:
        raise ConfigError("{}: the name {!r} {}".format(where, name, fault))
    if not isinstance(table, dict):
        raise ConfigError("{}: must be a table, got {}".format(where, _kind(table)))
    _unknown_keys(where, table, CAMERA_KEYS, CAMERA_KNOWN)
    for key, value in table.items():
        _check_type(where + "." + key, value, CAMERA_KEYS[key])
        _check_bounds(where + "." + key, key, value)
    if not table.get("address"):
        raise ConfigError("{}: missing address".format(where))
    mode = table.get("mode", 0)
    if mode not in (0, 1):
        raise ConfigError("{}.mode: must be 0 (continuous) or 1 (on demand), got {}".format(where, mode))
    bev = table.get("bev")
    if bev is not None:
        if not bev:
            raise ConfigError("{}.bev: empty list (leave bev out to watch for all behaviours)".format(where))
        seen: List[str] = []
        for key in bev:
            if key in seen:
                raise ConfigError("{}.bev: behaviour {!r} given twice".format(where, key))
            if behaviours is not None and key not in behaviours:
                raise ConfigError("{}.bev: unknown behaviour {!r} (known: {})".format(
                    where, key, ", ".join(behaviours)))
            seen.append(key)
    defaults = dict(engine)
    detector = table.get("detector", defaults.get("detector"))
    own = {key: table.get(key, defaults.get(key)) for key in CAMERA_DEFAULTS}
    engine = tuple(item for item in engine if item[0] != "detector" and item[0] not in CAMERA_DEFAULTS)
    behaviour = tuple((key, own[key]) for key in ("threshold", "alarm_interval", "alarm_num")
                      if own[key] is not None)
    record = own["record"] or "off"
    if record not in RECORD_MODES:
        raise ConfigError("{}.record: must be one of {}, got {!r}".format(
            where if "record" in table else "engine", ", ".join(RECORD_MODES), record))
    recording = (record, float(ROLL if own["pre_roll"] is None else own["pre_roll"]),
                 float(ROLL if own["post_roll"] is None else own["post_roll"]))
    try:
        polygons = {key: zones_module.parse("{}.{}".format(where, key), table[key])
                    for key in ("zones", "masks") if key in table}
    except zones_module.ZoneError as error:
        raise ConfigError(str(error)) from None
    return Camera(name, table["address"], mode, tuple(bev) if bev is not None else None,
                  detector, engine, base, float(own["watchdog"] or WATCHDOG), behaviour, recording,
                  polygons.get("zones", ()), polygons.get("masks", ()),
                  bool(own["incidents_by_zone"]))


def _one_id_each(cameras: Mapping[str, Camera]) -> None:
    """Home Assistant's ids and discovery topics write a camera's "." as
    "_": two names that differ only there would be one entity."""
    seen: Dict[str, str] = {}
    for name in cameras:
        other = seen.setdefault(slug(name), name)
        if other != name:
            raise ConfigError("cameras.{}: {!r} and {!r} would be one entity in Home Assistant "
                              "(its ids write '.' as '_'): rename one".format(name, other, name))


def parse(text: str, path: str, behaviours: Optional[Mapping[str, Any]] = None,
          options: Optional[Mapping[str, Any]] = None) -> Config:
    """The configuration in ``text``; ``path`` names it in messages and
    relative paths in it are taken from its folder. ``options`` (the command
    line's) replace the file's [engine] values; a camera's own keys win over
    both, and a "bev" there is the selection of cameras without one."""
    base = os.path.dirname(os.path.abspath(path))
    try:
        data = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        duplicate = _DUPLICATE.match(str(error))
        if duplicate:
            raise ConfigError("cameras.{}: duplicate camera name{}".format(
                duplicate.group(1), duplicate.group(2))) from None
        raise ConfigError("not valid TOML: {}".format(error)) from None
    _unknown_keys("", data, TOP_KEYS)
    storage = _storage(data) if isinstance(data.get("cameras"), dict) else None
    results = data.get("results", "results")
    _check_type("results", results, str)
    engine = _engine(data.get("engine", {}), base)
    options = dict(options or {})
    default_bev = options.pop("bev", None)
    if options:
        engine = tuple(sorted(dict(dict(engine), **options).items()))
    cameras_table = data.get("cameras")
    if not isinstance(cameras_table, dict) or not cameras_table:
        raise ConfigError("cameras: no camera configured (add a [cameras.NAME] table "
                          "with an address)")
    cameras: Dict[str, Camera] = {}
    folded: Dict[str, str] = {}
    for name, table in cameras_table.items():
        if default_bev is not None and isinstance(table, dict) and "bev" not in table:
            table = dict(table, bev=list(default_bev))
        camera = _camera(name, table, engine, base, behaviours)
        other = folded.setdefault(name.lower(), name)
        if other != name:  # one folder on a case-insensitive file system
            raise ConfigError("cameras.{}: duplicate camera name (differs from {!r} only "
                              "in case)".format(name, other))
        cameras[name] = camera
    try:
        sinks = sinks_config.parse(data, base)
    except sinks_config.SinkConfigError as error:
        raise ConfigError(str(error)) from None
    if sinks.mqtt is not None and sinks.mqtt.homeassistant:
        _one_id_each(cameras)
    return Config(os.path.abspath(path), os.path.normpath(os.path.join(base, os.path.expanduser(results))),
                  cameras, storage, sinks)


def load(path: str, behaviours: Optional[Mapping[str, Any]] = None,
         options: Optional[Mapping[str, Any]] = None) -> Config:
    """Read and check the file; every fault becomes a ConfigError naming it."""
    try:
        try:
            with open(path, encoding="utf-8") as file:
                text = file.read()
        except (OSError, UnicodeDecodeError) as error:
            raise ConfigError("cannot read: {}".format(getattr(error, "strerror", None) or error)) from None
        return parse(text, path, behaviours, options)
    except ConfigError as error:
        raise ConfigError(mask_text("{}: {}".format(path, error))) from None
