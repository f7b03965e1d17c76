"""Which cameras, and which of their info types, this device has put on the
broker as retained topics: kept across restarts in ``published.json`` in the
MQTT sink's outbox folder, so that a camera taken out of the configuration
is cleared from the broker (and from Home Assistant) at the next start too.

A camera is recorded before anything of it is published and forgotten only
once the broker has taken the empty payloads that clear it: a stop at any
instant leaves it listed, and the next start clears it again. The file is
replaced atomically (temporary file, fsync, rename). ``types.json``, which
older versions kept the info types in, is read when there is no file yet."""
from __future__ import annotations

import json
import logging
import os
import threading
from typing import Any, Iterable, List, Set, Tuple

from ..storage import atomic

log = logging.getLogger("visionengin.sinks")
FILE, OLD_FILE = "published.json", "types.json"
MAX_BYTES = 4 << 20  # far beyond any real list: a foreign file is not read whole


class Published:
    def __init__(self, folder: str) -> None:
        self.path, self.old = os.path.join(folder, FILE), os.path.join(folder, OLD_FILE)
        self.lock = threading.RLock()
        self.cameras: Set[str] = set()
        self.types: Set[Tuple[str, str]] = set()
        self.failing = False  # the last write failed: told once
        self._load()

    def _load(self) -> None:
        data = self._read(self.path)
        if data is None:
            old = self._read(self.old)
            data = {"types": old} if isinstance(old, list) else {}
        if not isinstance(data, dict):
            log.warning("mqtt: %s is not a JSON object: the cameras published before are not known",
                        self.path)
            return
        types, cameras = data.get("types", []), data.get("cameras", [])
        if not isinstance(types, list) or not isinstance(cameras, list):
            log.warning("mqtt: %s does not hold lists of cameras and types: the cameras "
                        "published before are not known", self.path)
            return
        for pair in types:
            if isinstance(pair, list) and len(pair) == 2 and all(isinstance(p, str) for p in pair):
                self.types.add((pair[0], pair[1]))
        self.cameras = {c for c in cameras if isinstance(c, str)}
        self.cameras |= {camera for camera, _ in self.types}

    @staticmethod
    def _read(path: str) -> Any:
        try:
            with open(path, "rb") as file:
                return json.loads(file.read(MAX_BYTES))
        except FileNotFoundError:
            return None
        except (OSError, ValueError) as error:
            log.warning("mqtt: cannot read %s: %s", path, getattr(error, "strerror", None) or error)
            return {}

    def types_of(self, camera: str) -> List[str]:
        with self.lock:
            return sorted(t for c, t in self.types if c == camera)

    def add_cameras(self, cameras: Iterable[str]) -> None:
        with self.lock:
            new = set(cameras) - self.cameras
            if new:
                self.cameras |= new
                self._save()

    def add_type(self, camera: str, info_type: str) -> bool:
        """True when the pair is new (it is then on disk, or the failure told)."""
        with self.lock:
            if (camera, info_type) in self.types:
                return False
            self.types.add((camera, info_type))
            self.cameras.add(camera)
            self._save()
            return True

    def forget(self, cameras: Iterable[str]) -> None:
        gone = set(cameras)
        with self.lock:
            self.cameras -= gone
            self.types = {pair for pair in self.types if pair[0] not in gone}
            self._save()

    def _save(self) -> None:
        data = json.dumps({"cameras": sorted(self.cameras), "types": sorted(self.types)}).encode("utf-8")
        try:
            atomic.replace_file(self.path, data)  # a temporary file of its own name
        except OSError as error:
            if not self.failing:
                log.warning("mqtt: cannot keep the cameras published in %s (%s): a camera removed "
                            "from the configuration may stay on the broker", self.path,
                            error.strerror or error)
            self.failing = True
            return
        if self.failing:
            log.info("mqtt: %s written again", self.path)
        self.failing = False
        try:
            os.unlink(self.old)
        except OSError:
            pass
