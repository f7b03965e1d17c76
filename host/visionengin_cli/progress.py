"""Progress of a run, observed from outside the engine.

The engine calls its detector's ``main(im, cfg)`` once per analysed picture and
writes one alarm picture per entry of the answer's "alarmBehavior" list.
``CountingDetector`` stands in front of the detector the engine holds, counts
both and hands everything through; the display classes turn the counts into a
progress bar or a live status line on standard error.
"""
from __future__ import annotations

import collections
import threading
import time
from typing import Any, Callable, Deque, Dict, Optional, TextIO, Tuple


def _info_type(behaviour: Any) -> str:
    try:
        info_type = behaviour.get("alarm_info_dict").get("info_type")
    except AttributeError:
        return "?"
    return info_type if isinstance(info_type, str) else repr(info_type)


class CountingDetector:
    """Delegates to ``detector``; counts analysed pictures and alarm pictures."""

    def __init__(self, detector: Any) -> None:
        self._detector = detector
        self.calls = 0
        self.alarms = 0
        self.by_type: Dict[str, int] = {}
        self.on_answer: Optional[Callable[[], None]] = None

    def main(self, im: Any, cfg: Any) -> Any:
        answer = self._detector.main(im, cfg)
        alarms = answer.get("alarmBehavior") if hasattr(answer, "get") else None
        if isinstance(alarms, (list, tuple)):  # never consume what the engine will read
            self.alarms += len(alarms)
            for behaviour in alarms:
                kind = _info_type(behaviour)
                self.by_type[kind] = self.by_type.get(kind, 0) + 1
        self.calls += 1
        if self.on_answer is not None:
            self.on_answer()
        return answer

    def __getattr__(self, name: str) -> Any:
        return getattr(self._detector, name)


class StatusLine:
    """One line of status on ``stream``: redrawn in place on a terminal, at most
    every ``interval`` seconds; elsewhere a full line every ``pipe_interval``
    seconds (never when None) and the last one."""

    def __init__(self, stream: TextIO, interval: float = 0.1,
                 pipe_interval: Optional[float] = None) -> None:
        self.stream = stream
        self.tty = stream.isatty()
        self.interval = interval if self.tty else pipe_interval
        self.last = float("-inf")
        self.drawn = False

    def show(self, text: str) -> None:
        now = time.monotonic()
        if self.interval is None or now - self.last < self.interval:
            return
        self.last = now
        self._write(text, final=False)

    def done(self, text: str) -> None:
        self._write(text, final=True)

    def _write(self, text: str, final: bool) -> None:
        if self.tty:
            self.stream.write("\r" + text + "\x1b[K" + ("\n" if final else ""))
        else:
            self.stream.write(text + "\n")
        self.stream.flush()


def rate(count: float, seconds: float) -> float:
    return count / seconds if seconds > 0 else 0.0


class VideoProgress:
    """Progress bar of ``test_video``: frames read out of the container's frame
    count (``total``, 0 when unknown), alarm pictures, frames per second.

    Frame k is analysed when k is a multiple of ``every``, so at the n-th
    detector call exactly n * every frames have been read."""

    WIDTH = 24

    def __init__(self, counter: CountingDetector, total: int, every: int,
                 line: StatusLine) -> None:
        self.counter, self.total, self.every, self.line = counter, total, every, line
        self.start = time.monotonic()
        counter.on_answer = self.update

    def text(self, frames: int) -> str:
        seconds = time.monotonic() - self.start
        tail = "{} alarm pictures  {:.1f} frames/s".format(
            self.counter.alarms, rate(frames, seconds))
        if self.total <= 0:
            return "{} frames  {}".format(frames, tail)
        filled = min(self.WIDTH, self.WIDTH * frames // self.total)
        return "[{}{}] {}/{} frames  {}".format(
            "#" * filled, "." * (self.WIDTH - filled), frames, self.total, tail)

    def update(self) -> None:
        self.line.show(self.text(self.counter.calls * self.every))

    def finish(self) -> float:
        """Draw the finished bar; returns the seconds the run took."""
        frames = max(self.total, self.counter.calls * self.every)
        self.line.done(self.text(frames))
        return time.monotonic() - self.start


class StreamStatus:
    """Live status of ``test_rtsp``, refreshed by its own thread: frames
    analysed, alarm pictures and analysed frames per second over the last
    few seconds."""

    WINDOW = 3.0

    def __init__(self, counter: CountingDetector, line: StatusLine,
                 period: float = 0.5) -> None:
        self.counter, self.line, self.period = counter, line, period
        self.start = time.monotonic()
        self.samples: Deque[Tuple[float, int]] = collections.deque([(self.start, 0)])
        self.stopped = threading.Event()
        self.thread = threading.Thread(target=self._run, name="visionengin-status", daemon=True)
        self.thread.start()

    def text(self) -> str:
        now, calls = time.monotonic(), self.counter.calls
        self.samples.append((now, calls))
        while len(self.samples) > 2 and now - self.samples[0][0] > self.WINDOW:
            self.samples.popleft()
        then, before = self.samples[0]
        return "{} frames analysed  {} alarm pictures  {:.1f} analysed frames/s".format(
            calls, self.counter.alarms, rate(calls - before, now - then))

    def _run(self) -> None:
        while not self.stopped.wait(self.period):
            self.line.show(self.text())

    def finish(self) -> float:
        """Stop refreshing and draw the last status; returns the seconds run."""
        self.stopped.set()
        self.thread.join()
        self.line.done(self.text())
        return time.monotonic() - self.start
