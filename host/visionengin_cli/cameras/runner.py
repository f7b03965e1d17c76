"""One camera's process, started by the supervisor as
``python -m visionengin_cli.cameras.runner`` in the camera's own folder.

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
(``storage.pictures``), which tells exactly what it wrote for this frame, and
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
from typing import Any, Deque, Dict, List, Optional, TextIO

from ..live import LiveState, alarms_of, engine_lines
from ..secrets import mask_text
from ..storage.pictures import EngineWrites, Mover, Trouble, quiet_engine_write_warnings

log = logging.getLogger("visionengin.camera")
SAVE_PATH = "./rtsp_result/"
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
        self.reads = 0  # read counter of the newest frame item

    def put(self, item: Any, *args: Any, **kwargs: Any) -> None:
        if _is_frame_item(item):
            self.reads = item[0]
            self.read_at[item[0]] = time.monotonic()
            while len(self.read_at) > 8:  # dropped items are never taken
                del self.read_at[min(self.read_at)]
        super().put(item, *args, **kwargs)

    def get(self, *args: Any, **kwargs: Any) -> Any:
        item = super().get(*args, **kwargs)
        if threading.current_thread() is self.consumer and _is_frame_item(item):
            self.current = item[0]
            self.current_read = self.read_at.pop(item[0], None)
        return item

    def task_done(self) -> None:
        super().task_done()
        if threading.current_thread() is self.consumer and self.current is not None:
            n, read, self.current = self.current, self.current_read, None
            self.on_done(n, read)


def _is_frame_item(item: Any) -> bool:
    return type(item) is tuple and len(item) == 2 and isinstance(item[0], int)


class Detector:
    """Delegates to the engine's detector and keeps each answer's alarms until
    the frame's pictures are written."""

    def __init__(self, detector: Any) -> None:
        self._detector = detector
        self.alarms: List[Dict[str, Any]] = []

    def main(self, im: Any, cfg: Any) -> Any:
        self.alarms = []
        answer = self._detector.main(im, cfg)
        self.alarms = alarms_of(answer)
        return answer

    def __getattr__(self, name: str) -> Any:
        return getattr(self._detector, name)


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

    def frame_done(self, n: int, read: Optional[float]) -> None:
        if read is not None:
            self.ages.append(time.monotonic() - read)
        assert self.writes is not None
        written, failed = self.writes.take()
        now, events, seen = time.time(), [], set()
        alarms = {alarm["info_type"]: alarm for alarm in self.detector.alarms}
        for path, size in written:
            if path in seen:  # two alarms of a type: the engine wrote one file twice
                continue
            seen.add(path)
            info_type = os.path.basename(path).rpartition("-")[0]
            picture = self.mover.move(path, now, info_type, n)
            if picture is None:
                self.not_written += 1
                continue
            alarm = alarms.get(info_type, {"info_type": info_type})
            events.append(dict(alarm, picture=picture, bytes=size, source=path))
        self.not_written += len({path for path, _ in failed} - seen)
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
        return True

    def report(self) -> Dict[str, Any]:
        report = self.state.snapshot()
        report["alarms_by_type"] = report.pop("by_type")
        report["analysed_fps"] = round(report["analysed_fps"], 1)
        report["frames_read"] = self.frames.reads if self.frames else 0
        report["disk_full"] = self.trouble.disk_full
        report["write_error"] = self.trouble.reason
        report["pictures_not_written"] = self.not_written
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
        import main as module  # the engine, imported as any host imports it

        if self.settings.get("detector"):
            module.ObjectDetect = load_detector(self.settings["detector"])
        engine = module.VisionEngin(**self.settings["engine"])  # "init failed": exits 1
        self.detector = Detector(engine.predict)
        engine.predict = self.detector
        bev = self.settings.get("bev")
        cfg = engine.load_cfg(engine.bev if bev is None else bev)
        os.makedirs(SAVE_PATH, exist_ok=True)
        for event in self.mover.recover(SAVE_PATH):
            self.channel.send({"event": event})
        import cv2  # the engine's own, already imported by it

        self.writes = EngineWrites(cv2, self.trouble)
        self.writes.__enter__()
        self.frames = frames = FrameQueue(self.frame_done)
        capture = threading.Thread(target=self._worker, name="capture", daemon=True,
                                   args=(engine.video_stream_capture, self.settings["address"],
                                         frames, self.settings.get("mode", 0)))
        process = threading.Thread(target=self._worker, name="process", daemon=True,
                                   args=(engine.process_frames, frames, cfg, SAVE_PATH))
        frames.consumer = process
        threading.Thread(target=self._reporter, name="reporter", daemon=True).start()
        capture.start()
        process.start()
        while not self.stopping.wait(0.2):
            pass
        engine.stop()
        deadline = time.monotonic() + STOP_GRACE
        for thread in (capture, process):
            thread.join(max(0.0, deadline - time.monotonic()))
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


def main() -> None:
    channel = Channel(os.fdopen(os.dup(1), "w", encoding="utf-8"))
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)  # native libraries writing to stdout cannot garble the channel
    debug = bool(os.environ.get("VISIONENGIN_DEBUG"))
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(OneLine(debug))
    logging.basicConfig(level=logging.DEBUG if debug else logging.INFO, handlers=[handler])
    quiet_engine_write_warnings()
    if not os.environ.get("VISIONENGIN_DEBUG"):  # reconnects show in the status, not as lines
        logging.getLogger("visionengin.live").setLevel(logging.WARNING)
    settings = json.loads(sys.stdin.readline() or "null")
    # The end of stdin is watched on a private descriptor: site's exit(), which
    # the engine calls after "init failed", closes sys.stdin and would wait
    # for a reader blocked in it.
    watched = os.dup(0)
    os.dup2(devnull, 0)
    if not isinstance(settings, dict):
        sys.exit("no camera settings on standard input")
    camera = Camera(settings, channel)
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
