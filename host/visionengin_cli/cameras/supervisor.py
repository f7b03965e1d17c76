"""Keeps every configured camera running, each in a process of its own in
its folder under the results root.

A camera process that ends, whatever the cause, is started again after a
back-off: 1 s, doubling up to 60 s, back to 1 s once a process has run a
stable minute; a process that had analysed frames is started again at once
the first time (a second end within the minute backs off). The others are
never touched. Each camera's status.json is rewritten about every second
from what its process reports plus what only the supervisor knows
(restarts, exit status, waiting to restart).

A watchdog looks behind the reports: a process that stops reporting, whose
detector call or frame does not end, or that says "streaming" while no frame
is analysed, for the camera's ``watchdog`` seconds, is hung; it is killed
(SIGTERM, then SIGKILL: a stopped process hears nothing else) and started
again like any process that ended.

A camera's state changes in its ``CameraState`` (``cameras.state``), which
announces each change to the supervisor's ``listeners``; reading a
process's pipes is ``cameras.reports``, carrying its events onward
``cameras.carrier``.

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
import time
from typing import Any, Dict, List, Optional

from ..secrets import mask_address, mask_text
from ..storage.lock import Busy
from ..storage.pictures import Trouble
from ..storage.recordings import Recordings, Setting
from ..storage.retention import Retention
from ..storage.settings import RECORDINGS, Storage
from . import reports
from .carrier import Carrier
from .config import Camera
from .events import EventLog, write_status
from .forking import Template, detectors_of, reap_strangers
from .slot import Slot
from ..states import Listener
from .watchdog import Progress, ending, stopped, verdict

log = logging.getLogger("visionengin.cameras")
FIRST_DELAY, MAX_DELAY, STABLE = 1.0, 60.0, 60.0
STATUS_PERIOD = 1.0
# OpenCV's FFmpeg capture options when the user names none: OpenCV's own
# default (RTSP over TCP where the camera offers it) and no counting of
# frames to tell the frame rate, which the engine never asks for and which
# held a restarted camera's first frame back by most of a second.
CAPTURE_OPTIONS = "rtsp_flags;prefer_tcp|fpsprobesize;0"
# FFmpeg decodes with a thread per core by default, each holding frames of its
# own (about 6 MiB a 720p camera on 2 cores, more with more cores): with a
# process per camera, one thread each spreads the cameras over the cores at
# the same cost in CPU.
DECODE_THREADS = "1"
# glibc gives each busy thread a heap of its own, which keeps what it freed:
# two are enough for a camera's threads, which mostly wait on the GIL, and
# save a few MiB each.
MALLOC_ARENAS = "2"
KILL_GRACE = 2.0  # seconds a hung process gets to leave after SIGTERM
HELD_UP = 2.0  # a step this late: the supervisor itself was held up
# The camera process: not "-m", whose sys.path would start with the camera's
# folder, where any stray main.py would shadow the engine.
RUNNER = ["-c", "import sys; del sys.path[0]; "
                "from visionengin_cli.cameras.runner import main; main()"]


class Supervisor:
    """``on_event(line)`` hears each event line a camera's process told;
    ``offline_after``: seconds without an analysed frame before a camera is
    offline; ``listeners`` hear each change of a camera's state."""

    def __init__(self, root: str, events: EventLog, debug: bool = False,
                 on_event: Any = None, storage: Optional[Storage] = None,
                 offline_after: float = float("inf")) -> None:
        self.root, self.events, self.debug = root, events, debug
        self.offline_after = offline_after
        self.status_trouble = Trouble("status.json", log)  # told once per run of failures
        self.retention = Retention(root, storage if storage is not None else Storage())
        # clips of incidents and the recordings' rolling buffers; stopped by its owner
        self.recordings = Recordings(root, self._clip_written)
        self.carrier = Carrier(events, self.retention, self.recordings, on_event)
        self.verbose = False  # the engine's own lines ("rtsp restart...") logged too
        self.listeners: List[Listener] = []
        self.slots: Dict[str, Slot] = {}
        self.last_status = 0.0
        self.last_step = 0.0  # monotonic time of the last step()
        self.template = Template()

    # configuration -------------------------------------------------------
    def apply(self, cameras: Dict[str, Camera]) -> None:
        """Start added cameras, stop removed ones, restart changed ones."""
        for name in [name for name in self.slots if name not in cameras]:
            log.info("%s: removed from the configuration, stopping", name)
            self.slots[name].state.hand_over()
            self._retire(self.slots.pop(name))
            self.recordings.disown(name)
            _forget(os.path.join(self.root, name))
        for name, camera in cameras.items():
            slot = self.slots.get(name)
            if slot is not None and slot.camera == camera:
                continue
            before = None  # the state its successor goes on from: a change is one to it
            if slot is not None:
                log.info("%s: changed in the configuration, restarting", name)
                before = slot.state.hand_over()
                self._retire(slot)
                del self.slots[name]
            slot = Slot(camera, os.path.join(self.root, name), self.listeners, self.offline_after,
                        before)
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
        slot.start_at = None
        slot.state.stopped("stopped: changed or removed in the configuration")
        self._write_status(slot)
        self.retention.disown(slot.camera.name)
        self.retention.disown(slot.camera.name + RECORDINGS)
        slot.owner.release()

    def _clip_written(self, camera: str, path: str, size: int, when: float) -> None:
        slot = self.slots.get(camera)
        if slot is not None:
            self.carrier.clip(slot, path, size, when)

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
        status_due = now - self.last_status >= STATUS_PERIOD
        if status_due:
            self.last_status = now
            known = {slot.proc.pid for slot in self.slots.values() if slot.proc is not None}
            reap_strangers(known | ({self.template.pid} if self.template.pid else set()))
            self.events.flush()  # events kept while the log could not be written
            for slot in self.slots.values():
                slot.state.storage(self.events.disk_full)
        for slot in list(self.slots.values()):
            slot.state.look()
        if status_due:
            for slot in self.slots.values():
                self._write_status(slot)

    def _watch(self, slot: Slot, now: float) -> None:
        """The watchdog: a hung process is told, killed and, once it has
        ended, restarted as any other."""
        if slot.state.hung:
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
        slot.hangs, slot.kill_at = slot.hangs + 1, now + KILL_GRACE
        assert slot.proc is not None
        log.warning("%s: hung: %s (last report: %s, %s frames, %s reconnects); killing the "
                    "camera process (pid %d)", slot.camera.name, reason, report.get("state", "none"),
                    report.get("frames", 0), report.get("reconnects", 0), slot.proc.pid)
        slot.state.hangs(reason)  # told as "camera_hung" by the health events
        _signal(slot.proc, signal.SIGTERM)
        if stopped(slot.proc.pid):
            log.warning("%s: the camera process is stopped; SIGKILL", slot.camera.name)
            _signal(slot.proc, signal.SIGKILL)
            slot.kill_at = float("inf")
        self._write_status(slot)

    def _env(self) -> Dict[str, str]:
        env = dict(os.environ)
        env.setdefault("OPENCV_FFMPEG_CAPTURE_OPTIONS", CAPTURE_OPTIONS)  # the user's own kept whole
        env.setdefault("OPENCV_FFMPEG_THREADS", DECODE_THREADS)
        env.setdefault("MALLOC_ARENA_MAX", MALLOC_ARENAS)
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
        slot.last_error = None
        slot.readers = reports.read(slot, slot.proc, self.carrier)
        log.info("%s: started (pid %d) on %s", camera.name, slot.proc.pid,
                 mask_address(camera.address))
        slot.state.started()

    def _ended(self, slot: Slot, now: float) -> None:
        assert slot.proc is not None
        status = slot.proc.returncode
        for reader in slot.readers:  # the last reports and log lines first
            reader.join(1.0)
        analysed = bool(slot.report.get("frames"))
        slot.close_process()
        slot.exit_status = status
        hung = slot.state.hung
        slot.state.ended("hung: {}; killed".format(hung) if hung else ending(status, slot.last_error))
        self._schedule(slot, now, status, analysed)

    def _schedule(self, slot: Slot, now: float, status: Optional[int], analysed: bool = False) -> None:
        stable = now - slot.ran_from >= STABLE
        if stable:
            slot.delay = None
        if slot.delay is None and analysed:
            slot.delay = 0.0  # it was working: back at once, once; a second end backs off
        elif not slot.delay:
            slot.delay = FIRST_DELAY
        else:
            slot.delay = min(MAX_DELAY, slot.delay * 2)
        slot.restarts += 1
        slot.start_at = now + slot.delay
        how = "was killed by signal {}".format(-status) if status is not None and status < 0 \
            else "ended with status {}".format(status)
        when = "in {:.0f} s".format(slot.delay) if slot.delay else "at once"
        log.warning("%s: camera process %s; restarting %s", slot.camera.name, how, when)
        slot.state.waiting(1 if stable else slot.state.failures + 1)
        self._write_status(slot)

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
            slot.state.stopped("stopped on request")
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
