"""One camera's process, forked by the camera template (``cameras.template``)
or started by the supervisor as a fresh interpreter, in the camera's own
folder; ``main`` is the same either way.

It reads the camera's settings as one JSON line on standard input (never the
command line, where ``ps`` would show the password) and keeps stdin open: its
end means the supervisor is gone, and the camera stops. Messages for the
supervisor (status about every second, one per alarm picture) go out as JSON
lines on the original standard output; the engine's own lines ("rtsp
restart...", "wait...") are caught on their way to ``sys.stdout`` and become
the camera's state. Log lines go to standard error as "LEVEL: message".

The live pipeline is run through the engine's public workers,
``video_stream_capture`` and ``process_frames``, joined by a queue of our
own: it notes the read counter n of each frame item the processing worker
takes, and its ``task_done`` (called by the engine after the frame's
pictures are written) is the moment to take them: the engine writes
``rtsp_result/<info type>-<n>.jpg`` through our checked ``cv2.imwrite``
(``engine.writes``), which tells exactly what it wrote for this frame, and
each picture is moved at once into the camera's dated layout
(``storage.layout``) under a name of its own, which its event names.
"""
from __future__ import annotations

import collections
import importlib
import json
import logging
import os
import queue
import signal
import statistics
import sys
import threading
import time
from typing import Any, Callable, Deque, Dict, List, Optional, TextIO

from ..engine.behaviours import behaviour_table, tune
from ..engine.construction import build_engine, load
from ..engine.contract import RESTART, RTSP_RESULT, is_frame_item, picture_type
from ..engine.lines import engine_lines
from ..engine.tap import Tap
from ..engine.writes import EngineWrites, checked_writes, quiet_engine_write_warnings
from ..live import LiveState
from ..secrets import mask_text
from ..storage.pictures import Mover, Trouble
from ..storage.latest import LatestPicture
from .reasons import StreamCheck, describe
from .recording import Recorder
from .zones import Guard

log = logging.getLogger("visionengin.camera")
SAVE_PATH = "./{}/".format(RTSP_RESULT)
STOP_GRACE = 1.0  # seconds the workers get to leave after stop()


class Channel:
    """JSON lines to the supervisor; safe from any thread."""

    def __init__(self, stream: TextIO) -> None:
        self.stream, self.lock = stream, threading.Lock()

    def send(self, message: Dict[str, Any]) -> bool:
        """False when the supervisor is gone (stdin's end stops us too)."""
        text = json.dumps(message) + "\n"
        with self.lock:
            try:
                self.stream.write(text)
                self.stream.flush()
            except (OSError, ValueError):
                return False
        return True


class FrameQueue(queue.Queue):  # type: ignore[type-arg]
    """The one-slot queue between the workers, noting when each frame item
    was put (just after its read) and which one the processing worker holds."""

    def __init__(self, on_done: Any) -> None:
        super().__init__(maxsize=1)
        self.on_done = on_done
        self.consumer: Optional[threading.Thread] = None
        self.read_at: Dict[int, float] = {}
        self.current: Optional[int] = None
        self.current_read: Optional[float] = None
        self.taken_at: Optional[float] = None  # monotonic; the consumer holds a frame since
        self.reads = 0  # read counter of the newest frame item
        self.on_frame: Optional[Callable[[Any], None]] = None  # each frame the consumer takes

    def put(self, item: Any, *args: Any, **kwargs: Any) -> None:
        if is_frame_item(item):
            self.reads = item[0]
            self.read_at[item[0]] = time.monotonic()
            while len(self.read_at) > 8:  # dropped items are never taken
                del self.read_at[min(self.read_at)]
        super().put(item, *args, **kwargs)

    def get(self, *args: Any, **kwargs: Any) -> Any:
        item = super().get(*args, **kwargs)
        if threading.current_thread() is self.consumer and is_frame_item(item):
            self.current = item[0]
            self.current_read = self.read_at.pop(item[0], None)
            self.taken_at = time.monotonic()
            if self.on_frame is not None:
                self.on_frame(item[1])
        return item

    def task_done(self) -> None:
        super().task_done()
        if threading.current_thread() is self.consumer:
            self.taken_at = None
        if threading.current_thread() is self.consumer and self.current is not None:
            n, read, self.current = self.current, self.current_read, None
            self.on_done(n, read)


def detector_tap(detector: Any, guard: Optional[Guard] = None) -> Tap:
    """The tap in front of the engine's detector: it keeps each answer's alarms
    until the frame's pictures are written; a camera's zones and masks
    (``guard``) act on what goes in and what comes back."""
    if guard is None:
        return Tap(detector)
    return Tap(detector, hide=guard.hide, judge=guard.judge)


def load_detector(name: str) -> Any:
    """``module:name`` (the module looked up first in the configuration's
    folder): a class or function called like the SDK's ObjectDetect."""
    module_name, _, attr = name.partition(":")
    return getattr(importlib.import_module(module_name), attr or "ObjectDetect")


class Camera:
    def __init__(self, settings: Dict[str, Any], channel: Channel) -> None:
        self.settings, self.channel = settings, channel
        self.state = LiveState()
        self.ages: Deque[float] = collections.deque(maxlen=250)  # s, read to written (~10 s)
        self.stopping = threading.Event()
        self.errors: List[BaseException] = []
        self.frames: Optional[FrameQueue] = None
        self.trouble = Trouble("alarm pictures", log)
        self.mover = Mover(os.getcwd(), self.trouble)
        self.writes: Optional[EngineWrites] = None
        self.not_written = 0
        self.check = StreamCheck(settings.get("address"))
        self.loading = True  # until the engine and its detector are set up
        self.recorder = Recorder(str(settings.get("record") or "off"), str(settings.get("address") or ""),
                                 os.getcwd(), lambda segment: channel.send({"segment": segment}))

    def frame_done(self, n: int, read: Optional[float]) -> None:
        if read is not None:
            self.ages.append(time.monotonic() - read)
        assert self.writes is not None
        written, failed = self.writes.take()
        now, events, seen = time.time(), [], set()
        unwritten: List[Dict[str, Any]] = []  # alarms whose picture could not be written
        alarms = {alarm["info_type"]: alarm for alarm in self.detector.last}
        for path, size in written:
            if path in seen:  # two alarms of a type: the engine wrote one file twice
                continue
            seen.add(path)
            info_type = picture_type(path)
            picture = self.mover.move(path, now, info_type, n)
            alarm = alarms.get(info_type, {"info_type": info_type})
            if picture is None:
                self.not_written += 1
                unwritten.append(dict(alarm, no_picture=self.trouble.reason or "not moved"))
                continue
            events.append(dict(alarm, picture=picture, bytes=size, source=path))
        for path, error in failed:
            if path not in seen:  # no picture, still an alarm: its line and pushes go on
                seen.add(path)
                self.not_written += 1
                info_type = picture_type(path)
                unwritten.append(dict(alarms.get(info_type, {"info_type": info_type}),
                                      no_picture=error.strerror or str(error)))
        for event in unwritten:
            self.channel.send({"event": dict(event, time=now)})
        self.state.answer(events)
        for event in events:
            source = event.pop("source")
            if not self.channel.send({"event": dict(event, time=now)}):
                # Nobody will write its event: back where the next start
                # finds it and tells it, and no more pictures until then.
                self.mover.put_back(event["picture"], source)
                self.stopping.set()

    def engine_line(self, line: str) -> bool:
        if not self.state.engine_line(line) and line.strip():
            log.info("engine: %s", line.strip())  # e.g. "init failed"
        elif line.strip() == RESTART:
            self.check.failed()
        return True

    def _detector_call(self) -> Optional[float]:
        detector: Optional[Tap] = getattr(self, "detector", None)  # set once the engine runs
        return None if detector is None else detector.running_for()

    def report(self) -> Dict[str, Any]:
        report = self.state.snapshot()
        report["alarms_by_type"] = report.pop("by_type")
        report["analysed_fps"] = round(report["analysed_fps"], 1)
        report["frames_read"] = self.frames.reads if self.frames else 0
        report["disk_full"] = self.trouble.disk_full
        report["write_error"] = self.trouble.reason
        report["pictures_not_written"] = self.not_written
        report["loading"] = self.loading
        report["recording"] = self.recorder.status()
        call = self._detector_call()
        report["reason"] = describe(report["state"], report.pop("seconds_without_frames"), call,
                                    self.check)
        report["detector_call_seconds"] = None if call is None else round(call, 1)
        taken = self.frames.taken_at if self.frames else None
        report["frame_work_seconds"] = None if taken is None else round(time.monotonic() - taken, 1)
        ages = sorted(self.ages)
        report["frame_age_ms"] = [round(statistics.median(ages) * 1000, 1), round(
            ages[min(len(ages) - 1, int(0.95 * len(ages)))] * 1000, 1)] if ages else None
        return report

    def _worker(self, target: Any, *args: Any) -> None:
        try:
            target(*args)
        except BaseException as error:  # noqa: BLE001 - ends the camera, reported once
            if not self.stopping.is_set():
                self.errors.append(error)
                log.error("%s: %s: %s", getattr(target, "__name__", "worker"),
                          type(error).__name__, mask_text(str(error)))
        finally:
            self.stopping.set()

    def _reporter(self) -> None:
        while not self.stopping.wait(1.0):
            self.channel.send({"status": self.report()})

    def run(self) -> int:
        self.recorder.start()  # beside the engine, from its first second
        load()  # the engine first: a camera's detector may count on it
        detector = load_detector(self.settings["detector"]) if self.settings.get("detector") else None
        engine = build_engine(self.settings["engine"], detector, exits=True)  # "init failed": exits 1
        self.detector = detector_tap(engine.predict, Guard.of(self.settings))
        engine.predict = self.detector
        bev = self.settings.get("bev")
        tune(behaviour_table(), bev, self.settings.get("behaviour") or {})
        cfg = engine.load_cfg(engine.bev if bev is None else bev)
        self.loading = False
        os.makedirs(SAVE_PATH, exist_ok=True)
        for event in self.mover.recover(SAVE_PATH):
            self.channel.send({"event": event})
        self.writes = checked_writes(self.trouble)
        self.frames = frames = FrameQueue(self.frame_done)
        capture = threading.Thread(target=self._worker, name="capture", daemon=True,
                                   args=(engine.video_stream_capture, self.settings["address"],
                                         frames, self.settings.get("mode", 0)))
        process = threading.Thread(target=self._worker, name="process", daemon=True,
                                   args=(engine.process_frames, frames, cfg, SAVE_PATH))
        frames.consumer = process
        frames.on_frame = LatestPicture(os.getcwd(), self.stopping).offer  # the page's live picture
        capture.start()
        process.start()
        while not self.stopping.wait(0.2):
            pass
        engine.stop()
        deadline = time.monotonic() + STOP_GRACE
        for thread in (capture, process):
            thread.join(max(0.0, deadline - time.monotonic()))
        self.recorder.stop(max(0.2, deadline - time.monotonic()))
        self.state.stop()
        self.channel.send({"status": self.report()})
        return 1 if self.errors else 0


class OneLine(logging.Formatter):
    """"LEVEL: message" on one line, as the supervisor reads it; tracebacks
    (as more lines) only when debugging."""

    def __init__(self, debug: bool) -> None:
        super().__init__()
        self.debug = debug

    def format(self, record: logging.LogRecord) -> str:
        text = "{}: {}".format(record.levelname, " ".join(record.getMessage().split("\n")))
        if self.debug and record.exc_info:
            text += "\n" + self.formatException(record.exc_info)
        return text


def _name_process(name: str) -> None:
    """``ps`` and ``top`` show the camera's name, never its address."""
    try:
        import setproctitle
    except ImportError:  # pragma: no cover - a dependency; the name is a help only
        log.debug("setproctitle is missing: the process keeps the interpreter's name")
        return
    setproctitle.setproctitle("visionengin camera " + name)
    # top shows the short name, cut at 15 characters: the camera's first
    setproctitle.setthreadtitle("camera " + name)


def main() -> None:
    channel = Channel(os.fdopen(os.dup(1), "w", encoding="utf-8"))
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)  # native libraries writing to stdout cannot garble the channel
    debug = bool(os.environ.get("VISIONENGIN_DEBUG"))
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(OneLine(debug))
    logging.basicConfig(level=logging.DEBUG if debug else logging.INFO, handlers=[handler])
    quiet_engine_write_warnings()
    if not os.environ.get("VISIONENGIN_DEBUG") and not os.environ.get("VISIONENGIN_VERBOSE"):
        # reconnects show in the status, not as lines
        logging.getLogger("visionengin.live").setLevel(logging.WARNING)
    settings = json.loads(sys.stdin.readline() or "null")
    # The end of stdin is watched on a private descriptor: site's exit(), which
    # the engine calls after "init failed", closes sys.stdin and would wait
    # for a reader blocked in it.
    watched = os.dup(0)
    os.dup2(devnull, 0)
    if not isinstance(settings, dict):
        sys.exit("no camera settings on standard input")
    _name_process(str(settings.get("name") or "?"))
    camera = Camera(settings, channel)
    # Reports go out from here on, also while the engine loads: the
    # supervisor takes a camera that stops reporting as hung.
    threading.Thread(target=camera._reporter, name="reporter", daemon=True).start()
    if settings.get("base"):
        sys.path.insert(0, settings["base"])

    def stop(*_: Any) -> None:
        camera.stopping.set()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)

    def watch_stdin() -> None:
        while os.read(watched, 512):
            pass
        stop()  # EOF: the supervisor has gone

    threading.Thread(target=watch_stdin, name="stdin", daemon=True).start()
    try:
        with engine_lines(camera.engine_line):
            status = camera.run()
    except SystemExit as exit_:  # the engine's "init failed"
        status = exit_.code if isinstance(exit_.code, int) else 1
    except Exception as error:  # noqa: BLE001 - one line, the supervisor restarts us
        log.error("%s: %s", type(error).__name__, mask_text(str(error)))
        status = 1
    sys.stderr.flush()
    os._exit(status)  # daemon workers may still sit in a native call


if __name__ == "__main__":
    main()
