"""The recordings of the supervised cameras, as the supervisor keeps them:
each segment a camera process closes is counted in the camera's recordings
ledger; ``incidents`` mode keeps only a rolling buffer (at least
``pre_roll``, and whatever an open incident or a clip still to be made
needs); and each incident that ends gets its clip, made by a worker
thread once its ``post_roll`` is recorded, so the supervisor's loop never
waits for it.
"""
from __future__ import annotations

import collections
import logging
import os
import threading
import time
from typing import Any, Callable, Deque, Dict, List, Optional

from .clips import ClipError, write_clip
from .layout import hour_key
from .ledger import Ledger
from .times import epoch_or_none, iso
from .segments import FOLDER, clip_path, covering, segments

log = logging.getLogger("visionengin.clips")
# Seconds beyond post_roll a clip waits for its last segment to be closed.
SEGMENT_WAIT = 35.0
QUEUE_CAP = 256  # clips waiting to be made; nothing unbounded
BUFFER_MARGIN = 10.0  # seconds kept beyond pre_roll: an alarm is told after its frame


class Setting:
    """One camera's recording as configured."""

    def __init__(self, mode: str, pre_roll: float, post_roll: float, folder: str,
                 recordings: Ledger) -> None:
        self.mode, self.pre_roll, self.post_roll = mode, pre_roll, post_roll
        self.folder, self.recordings = folder, recordings
        self.closed_until = 0.0  # the end of the newest segment closed
        self.holds: Dict[str, float] = {}  # incident id: the oldest second it needs


class Job:
    def __init__(self, camera: str, incident: str, begin: float, end: float, path: str,
                 first: float) -> None:
        self.camera, self.incident, self.begin, self.end = camera, incident, begin, end
        self.path, self.first = path, first
        self.queued = time.monotonic()


class Recordings:
    """``on_clip(camera, path, bytes, when)`` is told each clip written
    (path relative to the root), for the retention's count."""

    def __init__(self, root: str, on_clip: Optional[Callable[[str, str, int, float], None]] = None) -> None:
        self.root, self.on_clip = root, on_clip
        self.cameras: Dict[str, Setting] = {}
        self.page: Optional[str] = None  # the page's base URL, where one is served
        self.jobs: Deque[Job] = collections.deque()
        self.changed = threading.Condition()
        self.stopping = False
        self.thread: Optional[threading.Thread] = None  # started with the first clip

    # -- from the supervisor ----------------------------------------------------
    def own(self, camera: str, setting: Setting) -> None:
        with self.changed:
            old = self.cameras.get(camera)
            if old is not None:
                setting.holds, setting.closed_until = old.holds, old.closed_until
            self.cameras[camera] = setting

    def disown(self, camera: str) -> None:
        with self.changed:
            self.cameras.pop(camera, None)
            self.changed.notify_all()

    def segment_closed(self, camera: str, message: Dict[str, Any]) -> None:
        """A camera process closed a segment (its "segment" message)."""
        with self.changed:
            setting = self.cameras.get(camera)
            if setting is None:
                return
            setting.closed_until = max(setting.closed_until, float(message["end"]))
            self.changed.notify_all()
            if setting.mode != "incidents":
                return
            keep = time.time() - setting.pre_roll - BUFFER_MARGIN
            keep = min([keep] + list(setting.holds.values()))
        self._prune(setting, keep)

    # -- from the incidents ------------------------------------------------------
    def incident(self, line: Dict[str, Any]) -> None:
        """An incident's line, before it is written: its start holds the
        recording from ``pre_roll`` before its first picture; its end names
        the clip (``clip``, and ``clip_url`` where a page is served) and
        queues it."""
        camera, ident = str(line.get("camera")), str(line.get("incident"))
        first, last = epoch_or_none(line.get("start")), epoch_or_none(line.get("end"))
        with self.changed:
            setting = self.cameras.get(camera)
            if setting is None or setting.mode == "off" or first is None or last is None:
                return
            begin, end = first - setting.pre_roll, last + setting.post_roll
            if line.get("type") == "incident_start":
                setting.holds[ident] = begin
                return
            path = clip_path(camera, first, ident)
            if path is None:
                setting.holds.pop(ident, None)
                return
            if len(self.jobs) >= QUEUE_CAP:
                dropped = self.jobs.popleft()
                log.error("%s: too many clips waiting; no clip for incident %s", dropped.camera,
                          dropped.incident)
                self._release(dropped)
            setting.holds[ident] = begin
            self.jobs.append(Job(camera, ident, begin, end, path, first))
            self.changed.notify_all()
            if self.thread is None and not self.stopping:
                self.thread = threading.Thread(target=self._work, name="clips", daemon=True)
                self.thread.start()
        line["clip"] = path
        if self.page is not None:
            line["clip_url"] = self.page.rstrip("/") + "/clips/" + path

    def stop(self, timeout: float = 10.0) -> None:
        """Clips still queued are made from what is recorded, within ``timeout``."""
        with self.changed:
            self.stopping = True
            self.changed.notify_all()
            thread = self.thread
        if thread is not None:
            thread.join(timeout)
        with self.changed:
            for job in self.jobs:
                log.error("%s: stopped before the clip of incident %s was made", job.camera,
                          job.incident)
            self.jobs.clear()

    # -- the worker -----------------------------------------------------------------
    def _work(self) -> None:
        while True:
            with self.changed:
                job = self._next()
                if job is None:
                    return
            try:
                self._make(job)
            except Exception as error:  # noqa: BLE001 - the next clip is tried all the same
                log.error("%s: no clip for incident %s: %s: %s", job.camera, job.incident,
                          type(error).__name__, error)
            finally:
                with self.changed:
                    self._release(job)

    def _next(self) -> Optional[Job]:
        """The oldest job once its end is recorded (or can no longer be);
        None when stopping with nothing left. Under the lock."""
        while True:
            if self.jobs:
                job = self.jobs[0]
                setting = self.cameras.get(job.camera)
                ready = setting is None or setting.closed_until >= job.end or self.stopping
                waited = time.time() - job.end
                if ready or waited >= SEGMENT_WAIT:
                    return self.jobs.popleft()
                self.changed.wait(min(1.0, SEGMENT_WAIT - waited))
            elif self.stopping:
                return None
            else:
                self.changed.wait()

    def _make(self, job: Job) -> None:
        with self.changed:
            setting = self.cameras.get(job.camera)
        if setting is None:
            log.warning("%s: removed before the clip of incident %s was made", job.camera, job.incident)
            return
        chosen = covering(segments(setting.folder, job.begin), job.begin, job.end)
        if not chosen:
            log.error("%s: no clip for incident %s: nothing recorded from %s", job.camera, job.incident,
                      iso(job.begin))
            return
        if chosen[0][0] > job.begin + 1.0:
            log.warning("%s: the clip of incident %s starts %.1f s late: recorded from then on",
                        job.camera, job.incident, chosen[0][0] - job.begin)
        target = os.path.join(self.root, job.path)
        try:
            size = write_clip(chosen, target)
        except (ClipError, OSError) as error:
            log.error("%s: no clip for incident %s: %s", job.camera, job.incident,
                      getattr(error, "strerror", None) or error)
            return
        log.info("%s: clip of incident %s: %s (%d segments, %d bytes)", job.camera, job.incident,
                 job.path, len(chosen), size)
        if self.on_clip is not None:
            self.on_clip(job.camera, job.path, size, job.first)

    def _release(self, job: Job) -> None:
        setting = self.cameras.get(job.camera)
        if setting is not None:
            setting.holds.pop(job.incident, None)

    # -- the rolling buffer ---------------------------------------------------------
    def _prune(self, setting: Setting, keep: float) -> None:
        """Removes the segments that end before ``keep``; an hour folder
        left empty goes too."""
        found = segments(setting.folder)
        emptied: List[str] = []
        for (start, path), (after, _) in zip(found, found[1:]):
            if after > keep:
                break
            try:
                size = os.stat(path).st_size
                os.unlink(path)
            except OSError as error:
                log.debug("cannot remove %s: %s", path, error)
                continue
            key = hour_key(start)
            setting.recordings.discard(key, size)
            if key != hour_key(after):
                emptied.append(key)
        for key in emptied:
            if os.path.isdir(os.path.join(setting.folder, FOLDER, key)):
                setting.recordings.remove_hour(key)


def segment_ledger(folder: str, camera: str) -> Ledger:
    """The ledger of a camera's segments, beside them."""
    return Ledger(os.path.join(folder, FOLDER), camera)
