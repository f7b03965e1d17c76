"""The one rule for a camera's name, which the configuration and the collector share.

A camera's name is its folder under a results root: the device's own root, and the
device's folder under a collector's root (which reads like a device's root). So a
name must be a plain folder name on every file system we run on, and must never
take the place of what those roots keep beside the cameras: their files
(``events.jsonl``, ``ledger.json``, ``sinks.json``, ``device.json``...), their
folders (``outbox``, ``incidents``) and their dot files (``.lock``). Case is folded
for these, as a case-insensitive file system would.
"""
from __future__ import annotations

import re
from typing import Optional

CAMERA_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9_.-]{0,63}")
# What a results root's own files end with (a camera's folder name never does).
OWN_FILE_ENDINGS = (".json", ".jsonl", ".tmp")
OWN_FOLDERS = ("incidents", "outbox")


def camera_name_fault(name: str) -> Optional[str]:
    """Why ``name`` cannot be a camera's, in words that follow "the name 'x' ";
    None for a good name."""
    if not CAMERA_NAME.fullmatch(name):
        return ("is not a safe folder name (letters, digits, '_', '-', '.', starting with "
                "a letter or digit, at most 64)")
    folded = name.lower()
    if folded in OWN_FOLDERS or folded.endswith(OWN_FILE_ENDINGS):
        return "is taken by the results root's own files (no {}, nor a name ending in {})".format(
            ", ".join(OWN_FOLDERS), ", ".join(OWN_FILE_ENDINGS))
    return None


def is_camera_name(name: str) -> bool:
    return camera_name_fault(name) is None
