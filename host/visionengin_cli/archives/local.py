"""Worker processes on this machine, one video at a time each.

Each worker builds its engine once and takes videos over a pipe. The driver
waits on every pipe and every worker's exit at once, so it knows which video a
worker that dies (killed, crashed in native code) was holding: that video fails
with the reason and only that worker is started again, the others go on.
Workers ignore SIGINT: Ctrl-C reaches the whole process group on a terminal,
and it is the driver that stops them."""
from __future__ import annotations

import logging
import multiprocessing
import multiprocessing.connection
import os
import signal
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

from ..errors import CommandError

log = logging.getLogger("visionengin.videos")
PROGRESS_EVERY = 0.25  # seconds between two frame counts a worker sends
STOP_GRACE = 2.0

Event = Tuple[str, Any, Any]  # ("frames" | "done" | "failed", job, payload)


class _PipeHandler(logging.Handler):
    def __init__(self, send: Any) -> None:
        super().__init__(logging.INFO)
        self.send = send

    def emit(self, record: logging.LogRecord) -> None:
        try:
            self.send(("log", record.levelno, record.getMessage()))
        except Exception:  # noqa: BLE001 - the driver is gone; nothing to tell
            pass


def worker_main(conn: Any, options: Dict[str, Any], level: int) -> None:
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)  # the engine's own prints cannot reach the driver's terminal
    lock = threading.Lock()

    def send(message: Any) -> None:
        with lock:
            conn.send(message)

    root = logging.getLogger()
    root.handlers[:] = [_PipeHandler(send)]
    root.setLevel(level)
    from .analyse import Analyser, VideoFailed

    try:
        analyser = Analyser(options)
    except BaseException as error:  # noqa: BLE001 - "init failed" exits; told, then gone
        send(("broken", None, str(error) or type(error).__name__))
        return
    while True:
        try:
            message = conn.recv()
        except EOFError:
            return
        if message is None:
            return
        job, path, workdir = message
        last = [0.0]

        def frames(count: int, job: Any = job, last: List[float] = last) -> None:
            now = time.monotonic()
            if now - last[0] >= PROGRESS_EVERY:
                last[0] = now
                send(("frames", job, count))

        try:
            send(("done", job, analyser.analyse(path, workdir, frames)))
        except VideoFailed as error:
            send(("failed", job, str(error)))
        except Exception as error:  # noqa: BLE001 - the engine's error, for this video only
            send(("failed", job, "engine error: {}: {}".format(type(error).__name__, error)))


def exit_reason(code: Optional[int]) -> str:
    if code is not None and code < 0:
        try:
            name = signal.Signals(-code).name
        except ValueError:
            name = "signal {}".format(-code)
        return "worker lost (killed by {})".format(name)
    return "worker lost (exit status {})".format(code)


class _Slot:
    def __init__(self) -> None:
        self.process: Any = None
        self.conn: Any = None
        self.job: Any = None


class LocalPool:
    """``workers`` processes; ``submit`` a job when ``free()``, then ``wait``."""

    def __init__(self, workers: int, options: Dict[str, Any]) -> None:
        self.context = multiprocessing.get_context("spawn")
        self.options = options
        self.slots = [_Slot() for _ in range(workers)]

    def free(self) -> bool:
        return any(slot.job is None for slot in self.slots)

    def busy(self) -> bool:
        return any(slot.job is not None for slot in self.slots)

    def submit(self, job: Any, path: str, workdir: str) -> List[Event]:
        slot = next(slot for slot in self.slots if slot.job is None)
        slot.job = job
        try:
            if slot.process is None:
                self._start(slot)
            slot.conn.send((job, path, workdir))
        except OSError as error:  # the worker died before it took the video
            return self._lost(slot, error)
        return []

    def _start(self, slot: _Slot) -> None:
        parent, child = self.context.Pipe()
        process = self.context.Process(
            target=worker_main, name="visionengin-videos-worker", daemon=True,
            args=(child, self.options, logging.getLogger().getEffectiveLevel()))
        try:
            process.start()  # writes the worker's start data to it: fails if it is gone
        except BaseException:
            parent.close()
            raise
        finally:
            child.close()
        slot.process, slot.conn = process, parent

    def wait(self, timeout: float) -> List[Event]:
        watched: Dict[Any, _Slot] = {}
        for slot in self.slots:
            if slot.process is not None:
                watched[slot.conn] = slot
                watched[slot.process.sentinel] = slot
        events: List[Event] = []
        for ready in multiprocessing.connection.wait(list(watched), timeout):
            slot = watched[ready]
            if slot.process is None:
                continue  # its pipe and its exit were both ready
            if ready is slot.conn:
                events.extend(self._receive(slot))
            if slot.process is not None and not slot.process.is_alive() and not slot.conn.poll():
                events.extend(self._lost(slot))
        return events

    def _receive(self, slot: _Slot) -> List[Event]:
        events: List[Event] = []
        while slot.process is not None and slot.conn.poll():
            try:
                kind, job, payload = slot.conn.recv()
            except (EOFError, OSError):
                return events + self._lost(slot)
            if kind == "log":
                log.log(job, "worker: %s", payload)
            elif kind == "broken":
                raise CommandError("the engine could not start in a worker: {}".format(payload))
            else:
                if kind in ("done", "failed"):
                    slot.job = None
                events.append((kind, job, payload))
        return events

    def _lost(self, slot: _Slot, error: Optional[OSError] = None) -> List[Event]:
        if slot.process is None:  # it never started
            reason = "worker lost while starting ({})".format(error.strerror or error if error else "?")
        else:
            slot.process.join(STOP_GRACE)
            reason = exit_reason(slot.process.exitcode)
            slot.conn.close()
        job, slot.job = slot.job, None
        slot.process = slot.conn = None
        if job is None:
            log.warning("an idle %s", reason)
            return []
        return [("failed", job, reason)]

    def close(self) -> None:
        """Ends every worker: asked to leave, then terminated, then killed."""
        for slot in self.slots:
            if slot.process is not None and slot.job is None:
                try:
                    slot.conn.send(None)
                except OSError:
                    pass
            elif slot.process is not None:
                slot.process.terminate()
        deadline = time.monotonic() + STOP_GRACE
        for slot in self.slots:
            if slot.process is None:
                continue
            slot.process.join(max(0.0, deadline - time.monotonic()))
            if slot.process.is_alive():
                slot.process.kill()
                slot.process.join()
            slot.conn.close()
            slot.process = slot.conn = slot.job = None
