"""The ``[storage]`` table: how much the results root may take and keep.

Sizes are bytes or a text with a unit ("500 MB", "2 GB"; decimal, and
"MiB"/"GiB" for binary); ``min_free`` also a share of the file system
("5%"). Ages are days or a text like "30d" or "12h", at least an hour:
pictures go by whole hour folders. A camera may set its own ``max_age``;
``recordings_max_age`` is the recordings' (their segments), which keep the
pictures' age without it. Clips are kept as pictures are.

The default keeps 5 % of the root's file system free, so a service never
configured for storage can never fill its disk; nothing else is bounded
unless asked.
"""
from __future__ import annotations

import re
from typing import Any, Dict, Optional, Tuple

KEYS = ("max_size", "min_free", "max_age", "recordings_max_age")
RECORDINGS = "/recordings"  # the retention's name of a camera's segments: "<camera>/recordings"
DEFAULT_MIN_FREE = ("percent", 5.0)
_UNITS = {"": 1, "b": 1, "kb": 10 ** 3, "mb": 10 ** 6, "gb": 10 ** 9, "tb": 10 ** 12,
          "kib": 2 ** 10, "mib": 2 ** 20, "gib": 2 ** 30, "tib": 2 ** 40}
_SIZE = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*([A-Za-z]*)\s*$")
_AGE = re.compile(r"^\s*(\d+(?:\.\d+)?)\s*([dhDH])\s*$")


class SettingError(ValueError):
    """One line: what is wrong with the value."""


def _is_number(value: Any) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool)


def parse_size(value: Any, percent: bool = False) -> Tuple[str, float]:
    """("bytes", n) or, with ``percent``, ("percent", p)."""
    if _is_number(value):
        if value < 0:
            raise SettingError("must not be negative, got {}".format(value))
        return ("bytes", float(int(value)))
    if not isinstance(value, str):
        raise SettingError("must be a number of bytes or a text like \"500 MB\"")
    if percent and value.strip().endswith("%"):
        try:
            share = float(value.strip()[:-1])
        except ValueError:
            share = -1.0
        if not 0 <= share < 100:
            raise SettingError("must be a share from 0% to below 100%, got {!r}".format(value))
        return ("percent", share)
    match = _SIZE.match(value)
    unit = match.group(2).lower() if match else ""
    if not match or unit not in _UNITS:
        raise SettingError("not a size: {!r} (e.g. \"500 MB\", \"2 GB\"{})".format(
            value, ", \"5%\"" if percent else ""))
    return ("bytes", float(int(float(match.group(1)) * _UNITS[unit])))


def parse_age(value: Any) -> float:
    """Seconds."""
    if _is_number(value):
        seconds = float(value) * 86400
    elif isinstance(value, str) and _AGE.match(value):
        match = _AGE.match(value)
        assert match is not None
        seconds = float(match.group(1)) * (86400 if match.group(2).lower() == "d" else 3600)
    else:
        raise SettingError("not an age: {!r} (days, or a text like \"30d\" or \"12h\")".format(value))
    if seconds < 3600:
        raise SettingError("must be at least an hour (pictures go by whole hours), got {!r}".format(value))
    return seconds


class Storage:
    """What retention holds the root to; equal settings need no restart."""

    def __init__(self, max_size: Optional[float] = None,
                 min_free: Tuple[str, float] = DEFAULT_MIN_FREE,
                 max_age: Optional[float] = None,
                 camera_max_age: Optional[Dict[str, float]] = None,
                 recordings_max_age: Optional[float] = None) -> None:
        self.max_size, self.min_free, self.max_age = max_size, min_free, max_age
        self.camera_max_age: Dict[str, float] = dict(camera_max_age or {})
        self.recordings_max_age = recordings_max_age

    def age_of(self, camera: str) -> Optional[float]:
        """The age kept of a camera's pictures, or of its segments ("<camera>/recordings")."""
        if camera.endswith(RECORDINGS):
            camera = camera[:-len(RECORDINGS)]
            if self.recordings_max_age is not None:
                return self.recordings_max_age
        return self.camera_max_age.get(camera, self.max_age)

    def min_free_bytes(self, total: int) -> float:
        kind, value = self.min_free
        return total * value / 100.0 if kind == "percent" else value

    def describe(self) -> str:
        kind, value = self.min_free
        parts = ["min_free {}".format("{:g}%".format(value) if kind == "percent" else _bytes(value))]
        if self.max_size is not None:
            parts.append("max_size {}".format(_bytes(self.max_size)))
        if self.max_age is not None:
            parts.append("max_age {:g} h".format(self.max_age / 3600))
        if self.recordings_max_age is not None:
            parts.append("recordings_max_age {:g} h".format(self.recordings_max_age / 3600))
        return ", ".join(parts)


def _bytes(value: float) -> str:
    for unit, size in (("GB", 10 ** 9), ("MB", 10 ** 6), ("kB", 10 ** 3)):
        if value >= size:
            return "{:.3g} {}".format(value / size, unit)
    return "{:.0f} B".format(value)


def from_table(table: Any, camera_ages: Dict[str, Any]) -> Storage:
    """``[storage]`` and the cameras' own ``max_age``; SettingError names the key."""
    if not isinstance(table, dict):
        raise SettingError("storage: must be a table")
    for key in table:
        if key not in KEYS:
            raise SettingError("storage.{}: unknown key {!r} (known: {})".format(key, key, ", ".join(KEYS)))
    try:
        size = parse_size(table["max_size"])[1] if "max_size" in table else None
    except SettingError as error:
        raise SettingError("storage.max_size: {}".format(error)) from None
    try:
        free = parse_size(table["min_free"], percent=True) if "min_free" in table else DEFAULT_MIN_FREE
    except SettingError as error:
        raise SettingError("storage.min_free: {}".format(error)) from None
    try:
        age = parse_age(table["max_age"]) if "max_age" in table else None
    except SettingError as error:
        raise SettingError("storage.max_age: {}".format(error)) from None
    try:
        recordings = parse_age(table["recordings_max_age"]) if "recordings_max_age" in table else None
    except SettingError as error:
        raise SettingError("storage.recordings_max_age: {}".format(error)) from None
    ages = {}
    for name, value in camera_ages.items():
        try:
            ages[name] = parse_age(value)
        except SettingError as error:
            raise SettingError("cameras.{}.max_age: {}".format(name, error)) from None
    return Storage(size, free, age, ages, recordings)
