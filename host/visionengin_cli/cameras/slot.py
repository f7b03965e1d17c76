"""One configured camera as the supervisor keeps it: its folder, its
current process, the counts over all its processes and its state (one
``CameraState``), and the status.json made of them."""
from __future__ import annotations

import subprocess
import threading
import time
from typing import Any, Dict, List, Optional, Union

from ..secrets import mask_address
from ..storage.ledger import Ledger
from ..storage.lock import FolderLock
from ..storage.recordings import segment_ledger
from .config import Camera
from .events import iso
from .forking import Forked
from ..states import Condition, Listener
from .state import LATE, CameraState
from .watchdog import Progress

TOTALS = ("frames", "alarms", "reconnects", "frames_read", "pictures_not_written")


class Slot:
    """One configured camera and its current process."""

    def __init__(self, camera: Camera, folder: str, listeners: List[Listener],
                 offline_after: float, before: Optional[Condition] = None) -> None:
        self.camera, self.folder = camera, folder
        self.proc: Optional[Union[subprocess.Popen, Forked]] = None  # type: ignore[type-arg]
        self.started: Optional[float] = None  # time.time() of the current process
        self.ran_from = 0.0  # monotonic start of the current process
        self.restarts = 0
        self.delay: Optional[float] = None
        self.start_at: Optional[float] = 0.0  # monotonic; None: not to be started
        self.exit_status: Optional[int] = None
        self.report: Dict[str, Any] = {}
        self.totals: Dict[str, Any] = {key: 0 for key in TOTALS}
        self.totals["alarms_by_type"] = {}
        self.readers: List[threading.Thread] = []
        self.lock = threading.Lock()
        self.owner = FolderLock(folder)  # one process per camera folder
        self.ledger = Ledger(folder, camera.name)
        self.segments = segment_ledger(folder, camera.name)
        self.hangs = 0
        self.kill_at = 0.0  # monotonic: SIGKILL when the hung process is still there
        self.progress = Progress(0.0)
        self.last_error: Optional[str] = None  # the last error line of the current process
        self.state = CameraState(camera.name, self.silent, listeners, offline_after, before)

    def silent(self) -> float:
        """Seconds since the current process last reported."""
        return time.monotonic() - self.progress.reported_at

    def figures(self) -> Dict[str, Any]:
        """Counts over every process of this camera, and the latest report."""
        with self.lock:
            report = dict(self.report)
            out = {key: self.totals[key] + int(report.get(key) or 0) for key in TOTALS}
            by_type = dict(self.totals["alarms_by_type"])
            for kind, count in (report.get("alarms_by_type") or {}).items():
                by_type[kind] = by_type.get(kind, 0) + count
            out["alarms_by_type"] = by_type
            out["analysed_fps"] = report.get("analysed_fps", 0.0) \
                if self.proc and self.silent() < LATE else 0.0
            out["last_frame"] = report.get("last_frame") or self.totals.get("last_frame")
            out["last_alarm"] = report.get("last_alarm") or self.totals.get("last_alarm")
            out["frame_age_ms"] = report.get("frame_age_ms") if self.proc else None
        last = out["last_frame"]
        out["last_frame_age"] = round(max(0.0, time.time() - (last or self.state.created)), 1)
        return out

    def status(self) -> Dict[str, Any]:
        figures = self.figures()
        now = self.state.now
        last_alarm = figures["last_alarm"]
        if last_alarm:
            last_alarm = {"time": iso(last_alarm["time"]), "info_type": last_alarm["info_type"],
                          "picture": self.camera.name + "/" + last_alarm["picture"]}
        return {"camera": self.camera.name, "address": mask_address(self.camera.address),
                "state": now.state, "pid": self.proc.pid if self.proc else None,
                "started": iso(self.started), "restarts": self.restarts,
                "reconnects": figures["reconnects"], "frames": figures["frames"],
                "analysed_fps": figures["analysed_fps"], "alarms": figures["alarms"],
                "alarms_by_type": figures["alarms_by_type"],
                "last_frame": iso(figures["last_frame"]), "last_alarm": last_alarm,
                "updated": iso(time.time()), "exit_status": self.exit_status,
                "frame_age_ms": figures["frame_age_ms"], "frames_read": figures["frames_read"],
                "reason": now.reason, "hangs": self.hangs,
                "last_frame_age_seconds": figures["last_frame_age"],
                "recording": self.recording(), **self.storage_fields(), **self.camera.drawn()}

    def recording(self) -> Dict[str, Any]:
        """The recording as the current process tells it."""
        mode = self.camera.recording[0]
        with self.lock:
            told = self.report.get("recording") if self.proc else None
        if isinstance(told, dict) and mode != "off":
            return {"mode": mode, "state": told.get("state"), "reason": told.get("reason")}
        if self.proc is not None and mode != "off":  # started, not yet reporting
            return {"mode": mode, "state": "recording", "reason": None}
        if mode == "off" or self.start_at is None:
            return {"mode": mode, "state": "off", "reason": None}
        return {"mode": mode, "state": "failed", "reason": "the camera process is not running"}

    def storage_fields(self) -> Dict[str, Any]:
        """The picture writes of the current process: a full disk is a state
        of its own, beside the camera's."""
        with self.lock:
            report = dict(self.report) if self.proc else {}
        return {"disk_full": self.state.now.disk_full, "write_error": report.get("write_error"),
                "pictures_not_written": self.totals.get("pictures_not_written", 0)
                + int(report.get("pictures_not_written") or 0)}

    def close_process(self) -> None:
        """Fold the ended process's counts into the totals."""
        with self.lock:
            for key in TOTALS:
                self.totals[key] += int(self.report.get(key) or 0)
            for kind, count in (self.report.get("alarms_by_type") or {}).items():
                by_type = self.totals["alarms_by_type"]
                by_type[kind] = by_type.get(kind, 0) + count
            for key in ("last_frame", "last_alarm"):
                self.totals[key] = self.report.get(key) or self.totals.get(key)
            self.report = {}
        if self.proc is not None:
            for pipe in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
                try:
                    if pipe is not None:
                        pipe.close()
                except OSError:  # stdin of a process gone: nothing to flush to
                    pass
        self.proc = None
