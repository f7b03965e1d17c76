"""Keeps every configured camera running, each in a process of its own in
its folder under the results root.

A camera process that ends, whatever the cause, is started again after a
back-off: 1 s, doubling up to 60 s, back to 1 s once a process has run a
stable minute. The others are never touched. Each camera's status.json is
rewritten about every second from what its process reports plus what only
the supervisor knows (restarts, exit status, waiting to restart).

A watchdog looks behind the reports: a process that stops reporting, whose
detector call or frame does not end, or that says "streaming" while no frame
is analysed, for the camera's ``watchdog`` seconds, is hung; it is killed
(SIGTERM, then SIGKILL: a stopped process hears nothing else) and started
again like any process that ended.

Camera processes are forked by the camera template (``cameras.forking``),
which has imported everything a camera needs once; without one they start as
fresh interpreters.
"""
from __future__ import annotations

import json
import logging
import os
import signal
import subprocess
import sys
import threading
import time
from typing import Any, Dict, List, Optional, Union

from ..secrets import mask_address, mask_text
from ..storage.ledger import Ledger
from ..storage.lock import Busy, FolderLock
from ..storage.pictures import Trouble
from ..storage.recordings import Recordings, Setting, segment_ledger
from ..storage.retention import Retention
from ..storage.segments import FOLDER as SEGMENTS
from ..storage.settings import RECORDINGS, Storage
from .config import Camera
from .events import EventLog, iso, write_status
from .forking import Forked, Template, detectors_of, reap_strangers
from .watchdog import Progress, ending, stopped, verdict

log = logging.getLogger("visionengin.cameras")
FIRST_DELAY, MAX_DELAY, STABLE = 1.0, 60.0, 60.0
STATUS_PERIOD = 1.0
# OpenCV's FFmpeg capture options when the user names none: OpenCV's own
# default (RTSP over TCP where the camera offers it) and no counting of
# frames to tell the frame rate, which the engine never asks for and which
# held a restarted camera's first frame back by most of a second.
CAPTURE_OPTIONS = "rtsp_flags;prefer_tcp|fpsprobesize;0"
KILL_GRACE = 2.0  # seconds a hung process gets to leave after SIGTERM
LATE = 3.0  # seconds without a report (one a second) before it counts as missing
HELD_UP = 2.0  # a step this late: the supervisor itself was held up
# The camera process: not "-m", whose sys.path would start with the camera's
# folder, where any stray main.py would shadow the engine.
RUNNER = ["-c", "import sys; del sys.path[0]; "
                "from visionengin_cli.cameras.runner import main; main()"]
_LEVELS = {"DEBUG": logging.DEBUG, "INFO": logging.INFO, "WARNING": logging.WARNING,
           "ERROR": logging.ERROR, "CRITICAL": logging.CRITICAL}
_TOTALS = ("frames", "alarms", "reconnects", "frames_read", "pictures_not_written")


class Slot:
    """One configured camera and its current process."""

    def __init__(self, camera: Camera, folder: str) -> None:
        self.camera, self.folder = camera, folder
        self.proc: Optional[Union[subprocess.Popen, Forked]] = None  # type: ignore[type-arg]
        self.started: Optional[float] = None  # time.time() of the current process
        self.ran_from = 0.0  # monotonic start of the current process
        self.restarts = self.failures = 0
        self.delay: Optional[float] = None
        self.start_at: Optional[float] = 0.0  # monotonic; None: not to be started
        self.exit_status: Optional[int] = None
        self.report: Dict[str, Any] = {}
        self.totals: Dict[str, Any] = {key: 0 for key in _TOTALS}
        self.totals["alarms_by_type"] = {}
        self.readers: List[threading.Thread] = []
        self.lock = threading.Lock()
        self.events_full = False  # the event log cannot be written: no space
        self.owner = FolderLock(folder)  # one process per camera folder
        self.ledger = Ledger(folder, camera.name)
        self.segments = segment_ledger(folder, camera.name)
        self.created = time.time()  # the age of a camera without frames counts from here
        self.hangs = 0
        self.hung: Optional[str] = None  # why the current process is being killed
        self.kill_at = 0.0  # monotonic: SIGKILL when the hung process is still there
        self.progress = Progress(0.0)
        self.failure: Optional[str] = None  # the last process's end, in words
        self.last_error: Optional[str] = None  # the last error line of the current process

    def silent(self) -> float:
        """Seconds since the current process last reported."""
        return time.monotonic() - self.progress.reported_at

    @property
    def state(self) -> str:
        if self.proc is not None:
            if self.hung:
                return "hung"
            state = str(self.report.get("state", "starting"))
            # a process that stopped reporting analyses nothing we know of
            return "no frames" if state == "streaming" and self.silent() >= LATE else state
        if self.start_at is None:
            return "stopped"
        return "failing" if self.failures >= 2 else "restarting"

    @property
    def reason(self) -> Optional[str]:
        """Why the camera is not streaming, in words; None while it is."""
        state = self.state
        if state == "streaming":
            return None
        if self.proc is not None:
            if self.hung:
                return self.hung
            if self.silent() >= LATE:
                return "no report from the camera process for {:.0f} s".format(self.silent())
            told = self.report.get("reason")
            if isinstance(told, str) and told:
                return told
            if state == "starting":
                return self.failure or "no frame analysed yet"
        return self.failure or state

    def figures(self) -> Dict[str, Any]:
        """Counts over every process of this camera, and the latest report."""
        with self.lock:
            report = dict(self.report)
            out = {key: self.totals[key] + int(report.get(key) or 0) for key in _TOTALS}
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
        out["last_frame_age"] = round(max(0.0, time.time() - (last or self.created)), 1)
        return out

    def status(self) -> Dict[str, Any]:
        figures = self.figures()
        last_alarm = figures["last_alarm"]
        if last_alarm:
            last_alarm = {"time": iso(last_alarm["time"]), "info_type": last_alarm["info_type"],
                          "picture": self.camera.name + "/" + last_alarm["picture"]}
        return {"camera": self.camera.name, "address": mask_address(self.camera.address),
                "state": self.state, "pid": self.proc.pid if self.proc else None,
                "started": iso(self.started), "restarts": self.restarts,
                "reconnects": figures["reconnects"], "frames": figures["frames"],
                "analysed_fps": figures["analysed_fps"], "alarms": figures["alarms"],
                "alarms_by_type": figures["alarms_by_type"],
                "last_frame": iso(figures["last_frame"]), "last_alarm": last_alarm,
                "updated": iso(time.time()), "exit_status": self.exit_status,
                "frame_age_ms": figures["frame_age_ms"], "frames_read": figures["frames_read"],
                "reason": self.reason, "hangs": self.hangs,
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
        return {"disk_full": bool(report.get("disk_full")) or self.events_full,
                "write_error": report.get("write_error"),
                "pictures_not_written": self.totals.get("pictures_not_written", 0)
                + int(report.get("pictures_not_written") or 0)}

    def close_process(self) -> None:
        """Fold the ended process's counts into the totals."""
        with self.lock:
            for key in _TOTALS:
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


class Supervisor:
    def __init__(self, root: str, events: EventLog, debug: bool = False,
                 on_event: Any = None, storage: Optional[Storage] = None) -> None:
        self.root, self.events, self.debug = root, events, debug
        self.status_trouble = Trouble("status.json", log)  # told once per run of failures
        self.retention = Retention(root, storage if storage is not None else Storage())
        # clips of incidents and the recordings' rolling buffers; stopped by its owner
        self.recordings = Recordings(root, self._clip_written)
        self.verbose = False  # the engine's own lines ("rtsp restart...") logged too
        self.on_event = on_event
        # health(kind, camera, reason): tells "camera_hung" and the like as events
        self.on_health: Any = None
        # Held while an alarm is logged and handed on: no other event comes between.
        self.write_lock: Any = threading.RLock()
        self.slots: Dict[str, Slot] = {}
        self.last_status = 0.0
        self.last_step = 0.0  # monotonic time of the last step()
        self.template = Template()

    # configuration -------------------------------------------------------
    def apply(self, cameras: Dict[str, Camera]) -> None:
        """Start added cameras, stop removed ones, restart changed ones."""
        for name in [name for name in self.slots if name not in cameras]:
            log.info("%s: removed from the configuration, stopping", name)
            self._retire(self.slots.pop(name))
            self.recordings.disown(name)
            _forget(os.path.join(self.root, name))
        for name, camera in cameras.items():
            slot = self.slots.get(name)
            if slot is not None and slot.camera == camera:
                continue
            if slot is not None:
                log.info("%s: changed in the configuration, restarting", name)
                self._retire(slot)
                del self.slots[name]
            slot = Slot(camera, os.path.join(self.root, name))
            try:
                slot.owner.acquire()
            except Busy as busy:
                log.error("%s: already run by process %s (%s is locked); not run here", name,
                          busy.pid if busy.pid is not None else "unknown",
                          os.path.join(busy.folder, ".lock"))
                continue
            except OSError as error:
                log.error("%s: cannot use its folder %s: %s", name, slot.folder,
                          error.strerror or error)
                continue
            self.slots[name] = slot
            self.retention.own(name, slot.ledger.load())
            self.retention.own(name + RECORDINGS, slot.segments.load())
            mode, pre_roll, post_roll = camera.recording
            self.recordings.own(name, Setting(mode, pre_roll, post_roll, slot.folder, slot.segments))

    def _retire(self, slot: Slot) -> None:
        self.stop([slot])
        slot.failure = "stopped: changed or removed in the configuration"
        slot.start_at = None
        self._write_status(slot)
        self.retention.disown(slot.camera.name)
        self.retention.disown(slot.camera.name + RECORDINGS)
        slot.owner.release()

    def _clip_written(self, camera: str, path: str, size: int, when: float) -> None:
        slot = self.slots.get(camera)
        if slot is not None and path.startswith(camera + "/"):
            slot.ledger.add(path[len(camera) + 1:], size, when)
            self.retention.added(size)

    def close(self) -> None:
        """Give up every camera folder; after ``stop``."""
        self.template.close()
        self.retention.stop()
        for slot in self.slots.values():
            slot.owner.release()

    # running ---------------------------------------------------------------
    def step(self) -> None:
        """Notice ended processes, start due ones, write status files."""
        now = time.monotonic()
        late = now - self.last_step if self.last_step else 0.0
        self.last_step = now
        for slot in self.slots.values():
            if late > HELD_UP:
                slot.progress.held_up(late)
            if slot.proc is not None and slot.proc.poll() is None:
                self._watch(slot, now)
            if slot.proc is not None and slot.proc.poll() is not None:
                self._ended(slot, now)
            if slot.proc is None and slot.start_at is not None and now >= slot.start_at:
                self._start(slot, now)
        self.template.check(now)
        if now - self.last_status >= STATUS_PERIOD:
            self.last_status = now
            known = {slot.proc.pid for slot in self.slots.values() if slot.proc is not None}
            reap_strangers(known | ({self.template.pid} if self.template.pid else set()))
            self.events.flush()  # events kept while the log could not be written
            for slot in self.slots.values():
                slot.events_full = self.events.disk_full
            for slot in self.slots.values():
                self._write_status(slot)

    def _watch(self, slot: Slot, now: float) -> None:
        """The watchdog: a hung process is told, killed and, once it has
        ended, restarted as any other."""
        if slot.hung:
            if now >= slot.kill_at:
                log.warning("%s: hung camera process did not stop within %.0f s of SIGTERM; "
                            "SIGKILL", slot.camera.name, KILL_GRACE)
                _signal(slot.proc, signal.SIGKILL)
                slot.kill_at = float("inf")
            return
        with slot.lock:
            report = dict(slot.report)
        reason = verdict(slot.progress, report, slot.camera.watchdog, now)
        if reason is None:
            return
        slot.hung, slot.hangs, slot.kill_at = reason, slot.hangs + 1, now + KILL_GRACE
        assert slot.proc is not None
        log.warning("%s: hung: %s (last report: %s, %s frames, %s reconnects); killing the "
                    "camera process (pid %d)", slot.camera.name, reason, report.get("state", "none"),
                    report.get("frames", 0), report.get("reconnects", 0), slot.proc.pid)
        if self.on_health is not None:
            self.on_health("camera_hung", slot.camera.name, reason)
        _signal(slot.proc, signal.SIGTERM)
        if stopped(slot.proc.pid):
            log.warning("%s: the camera process is stopped; SIGKILL", slot.camera.name)
            _signal(slot.proc, signal.SIGKILL)
            slot.kill_at = float("inf")
        self._write_status(slot)

    def _env(self) -> Dict[str, str]:
        env = dict(os.environ)
        env.setdefault("OPENCV_FFMPEG_CAPTURE_OPTIONS", CAPTURE_OPTIONS)  # the user's own kept whole
        if self.verbose:
            env["VISIONENGIN_VERBOSE"] = "1"
        if self.debug:
            env["VISIONENGIN_DEBUG"] = "1"
        else:  # OpenCV's and FFmpeg's own lines stay quiet
            env.setdefault("OPENCV_LOG_LEVEL", "ERROR")
            env.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")
        return env

    def _start(self, slot: Slot, now: float) -> None:
        camera = slot.camera
        env = self._env()
        detectors = detectors_of(each.camera.settings() for each in self.slots.values())
        forked = self.template.usable(env, detectors, now)
        if forked is None:
            return  # the template is still loading: the camera starts once it is
        try:
            os.makedirs(slot.folder, exist_ok=True)
            if forked:
                slot.proc = self.template.spawn(slot.folder, env, slot.owner.fd, now)
            if slot.proc is None:
                slot.proc = subprocess.Popen(
                    [sys.executable] + RUNNER, cwd=slot.folder, env=env, stdin=subprocess.PIPE,
                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                    pass_fds=(slot.owner.fd,) if slot.owner.fd >= 0 else ())
            assert slot.proc.stdin is not None
            slot.proc.stdin.write((json.dumps(camera.settings()) + "\n").encode("utf-8"))
            slot.proc.stdin.flush()
        except OSError as error:
            log.error("%s: cannot start: %s", camera.name, mask_text(str(error)))
            if slot.proc is not None:
                slot.proc.kill()
                slot.proc.wait()
            slot.proc = None
            slot.ran_from = now
            self._schedule(slot, now, None)
            return
        slot.started, slot.ran_from, slot.exit_status = time.time(), now, None
        slot.progress = Progress(now)
        slot.hung, slot.last_error = None, None
        slot.readers = [threading.Thread(target=self._read_reports, args=(slot, slot.proc),
                                         name=camera.name + "-reports", daemon=True),
                        threading.Thread(target=self._read_log, args=(slot, slot.proc),
                                         name=camera.name + "-log", daemon=True)]
        for reader in slot.readers:
            reader.start()
        log.info("%s: started (pid %d) on %s", camera.name, slot.proc.pid,
                 mask_address(camera.address))

    def _ended(self, slot: Slot, now: float) -> None:
        assert slot.proc is not None
        status = slot.proc.returncode
        for reader in slot.readers:  # the last reports and log lines first
            reader.join(1.0)
        slot.close_process()
        slot.exit_status = status
        slot.failure = ending(status, slot.last_error)
        if slot.hung:
            slot.failure = "hung: {}; killed".format(slot.hung)
            slot.hung = None
        self._schedule(slot, now, status)

    def _schedule(self, slot: Slot, now: float, status: Optional[int]) -> None:
        stable = now - slot.ran_from >= STABLE
        slot.delay = FIRST_DELAY if stable or slot.delay is None else min(MAX_DELAY, slot.delay * 2)
        slot.failures = 1 if stable else slot.failures + 1
        slot.restarts += 1
        slot.start_at = now + slot.delay
        how = "was killed by signal {}".format(-status) if status is not None and status < 0 \
            else "ended with status {}".format(status)
        log.warning("%s: camera process %s; restarting in %.0f s", slot.camera.name, how, slot.delay)
        self._write_status(slot)

    def _read_reports(self, slot: Slot,
                      proc: Union[subprocess.Popen, Forked]) -> None:  # type: ignore[type-arg]
        assert proc.stdout is not None
        for raw in proc.stdout:
            try:
                message = json.loads(raw)
            except ValueError:
                continue
            if "status" in message and isinstance(message["status"], dict):
                with slot.lock:
                    slot.report = message["status"]
                slot.progress.report(time.monotonic())
            elif "segment" in message:
                segment = message["segment"]
                try:
                    size, path = int(segment["bytes"]), str(segment["path"])
                    if path.startswith(SEGMENTS + "/"):
                        slot.segments.add(path[len(SEGMENTS) + 1:], size, float(segment["start"]))
                        self.retention.added(size)
                    self.recordings.segment_closed(slot.camera.name, segment)
                except (OSError, KeyError, TypeError, ValueError, AttributeError) as error:
                    log.error("%s: cannot count a recorded segment: %s", slot.camera.name, error)
            elif "event" in message:
                event = message["event"]
                with self.write_lock:
                    try:
                        size = int(event.pop("bytes", 0))
                        if event.get("picture") is not None:  # else told without its picture
                            slot.ledger.add(event["picture"], size, event["time"])
                            self.retention.added(size)
                        line = self.events.write(slot.camera.name, event)
                    except (OSError, KeyError, TypeError, ValueError, AttributeError) as error:
                        log.error("%s: cannot write an event: %s", slot.camera.name, error)
                        continue
                    if self.on_event is not None:
                        self.on_event(line)

    def _read_log(self, slot: Slot,
                  proc: Union[subprocess.Popen, Forked]) -> None:  # type: ignore[type-arg]
        assert proc.stderr is not None
        for raw in proc.stderr:
            text = mask_text(raw.decode("utf-8", "replace").rstrip())
            if not text:
                continue
            level, sep, message = text.partition(": ")
            if sep and level in ("ERROR", "CRITICAL"):
                slot.last_error = message
            if sep and level in _LEVELS:
                log.log(_LEVELS[level], "%s: %s", slot.camera.name, message)
            else:  # a native library's own line
                log.warning("%s: %s", slot.camera.name, text)

    def _write_status(self, slot: Slot) -> None:
        try:
            os.makedirs(slot.folder, exist_ok=True)
            write_status(slot.folder, slot.status())
        except OSError as error:
            self.status_trouble.failure(error, " ({})".format(slot.camera.name))
            return
        self.status_trouble.success()

    # stopping --------------------------------------------------------------
    def stop(self, slots: Optional[List[Slot]] = None, timeout: float = 1.5) -> None:
        """SIGTERM every running camera process, SIGKILL what is left after
        ``timeout`` seconds; no restart follows."""
        slots = list(self.slots.values()) if slots is None else slots
        running = [slot for slot in slots if slot.proc is not None]
        for slot in slots:
            slot.start_at = None
        for slot in running:
            _signal(slot.proc, signal.SIGTERM)
        deadline = time.monotonic() + timeout
        for slot in running:
            assert slot.proc is not None
            try:
                slot.proc.wait(max(0.0, deadline - time.monotonic()))
            except subprocess.TimeoutExpired:
                log.warning("%s: camera process did not stop within %.1f s; killed",
                            slot.camera.name, timeout)
                _signal(slot.proc, signal.SIGKILL)
                slot.proc.wait()
        for slot in running:
            assert slot.proc is not None
            status = slot.proc.returncode
            for reader in slot.readers:
                reader.join(0.2)
            slot.close_process()
            slot.exit_status = status
        for slot in slots:
            slot.failure, slot.hung = "stopped on request", None
            self._write_status(slot)


def _forget(folder: str) -> None:
    """A removed camera leaves the page and the metrics: its status file goes
    (its pictures and events stay)."""
    try:
        os.remove(os.path.join(folder, "status.json"))
    except FileNotFoundError:
        pass
    except OSError as error:
        log.error("cannot remove %s/status.json: %s", folder, error.strerror or error)


def _signal(proc: Any, number: int) -> None:
    try:
        proc.send_signal(number)
    except OSError:  # already gone
        pass
