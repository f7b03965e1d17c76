"""What the command shows on standard error while a run goes on: the ``video``
progress bar and the ``stream`` status line.

On a terminal both are drawn in place by ``rich``; elsewhere (a pipe, a
service's journal) the bar gives one line at the end and the stream status one
line every few seconds and one at each change of state. The counts come from
the engine's tap (``engine.tap``) and ``live.LiveState``. Frames "read"
(decoded from the file) and frames "analysed" (handed to the detector) are
named apart."""
from __future__ import annotations

import threading
import time
from typing import Any, Dict, Optional

from rich.console import Console
from rich.live import Live
from rich.progress import BarColumn, Progress, TextColumn, TimeElapsedColumn
from rich.text import Text

from .engine.tap import Tap
from .live import LiveState
from .states import NO_FRAMES, RECONNECTING


def counted(count: int, noun: str) -> str:
    """"1 alarm picture", "2 alarm pictures", "0 frames": a count and its noun."""
    return "{} {}{}".format(count, noun, "" if count == 1 else "s")


def rate(count: float, seconds: float) -> float:
    return count / seconds if seconds > 0 else 0.0


def console() -> Console:
    return Console(stderr=True, highlight=False, soft_wrap=True)


class VideoProgress:
    """Progress of ``test_video``: frames read out of the container's frame count
    (``total``, 0 when unknown), alarm pictures, read frames per second.

    Frame k is analysed when k is a multiple of ``every``, so at the n-th
    detector call exactly n * every frames have been read."""

    def __init__(self, counter: Tap, total: int, every: int,
                 out: Optional[Console] = None) -> None:
        self.counter, self.total, self.every = counter, total, every
        self.console = out or console()
        self.start = time.monotonic()
        self.progress = Progress(
            TextColumn("{task.description}"), BarColumn(),
            TextColumn("{task.completed}/{task.fields[of]} {task.fields[noun]} read  "
                       "{task.fields[alarms]}  {task.fields[fps]} read frames/s"),
            TimeElapsedColumn(), console=self.console, transient=False,
            disable=not self.console.is_terminal, redirect_stdout=False, redirect_stderr=False)
        self.noun = "frame" if total == 1 else "frames"  # of 1, of 80, of ?
        self.task = self.progress.add_task("video", total=total or None, of=total or "?",
                                           noun=self.noun, alarms=counted(0, "alarm picture"),
                                           fps="0.0")
        self.progress.start()
        counter.on_answer = self.update

    def frames_read(self) -> int:
        return self.counter.calls * self.every

    def update(self, _alarms: Any = None) -> None:
        frames = self.frames_read()
        self.progress.update(self.task, completed=frames,
                             alarms=counted(self.counter.alarms, "alarm picture"),
                             fps="{:.1f}".format(rate(frames, time.monotonic() - self.start)))

    def finish(self, ended: bool = True) -> float:
        """The last state of the bar; returns the seconds the run took. ``ended``:
        the video was read to its end (so all its frames were read)."""
        seconds = time.monotonic() - self.start
        frames = max(self.total, self.frames_read()) if ended else self.frames_read()
        self.progress.update(self.task, completed=frames,
                             alarms=counted(self.counter.alarms, "alarm picture"),
                             fps="{:.1f}".format(rate(frames, seconds)))
        self.progress.stop()
        if not self.console.is_terminal:
            self.console.print("{}/{} {} read  {}  {:.1f} read frames/s".format(
                frames, self.total or "?", self.noun, counted(self.counter.alarms, "alarm picture"),
                rate(frames, seconds)))
        return seconds


def status_text(snap: Dict[str, Any]) -> str:
    """One line of a live run's state, e.g. "streaming  120 frames analysed
    (12.4/s)  3 alarm pictures  1 reconnect"."""
    parts = [snap["state"], "{} analysed ({:.1f}/s)  {}".format(
        counted(snap["frames"], "frame"), snap["analysed_fps"], counted(snap["alarms"], "alarm picture"))]
    if snap["reconnects"]:
        parts.append(counted(snap["reconnects"], "reconnect"))
    if snap["state"] in (RECONNECTING, NO_FRAMES):
        parts.append("no frames for {:.0f} s".format(snap["seconds_without_frames"]))
    return "  ".join(parts)


class StreamStatus:
    """Status of a live run on standard error: a line redrawn in place on a
    terminal; elsewhere a line every ``every`` seconds and at each state change."""

    def __init__(self, state: LiveState, out: Optional[Console] = None, every: float = 5.0) -> None:
        self.state, self.every = state, every
        self.console = out or console()
        self.start = time.monotonic()
        self.stopped = threading.Event()
        self.live: Optional[Live] = None
        if self.console.is_terminal:
            # stderr is redirected so that log lines print above the status line
            self.live = Live(get_renderable=self._render, console=self.console,
                             refresh_per_second=4, redirect_stdout=False, redirect_stderr=True)
            self.live.start()
        self.thread = threading.Thread(target=self._run, name="visionengin-status", daemon=True)
        self.thread.start()

    def _render(self) -> Text:
        return Text(status_text(self.state.snapshot()))

    def _run(self) -> None:
        # Off a terminal: a line when the state seen at a tick differs from the last
        # line's (so a flapping camera costs at most two lines a second), else one
        # every `every` seconds.
        last, shown = time.monotonic(), ""
        while not self.stopped.wait(0.5):
            self.state.poll()  # a state reached by time alone is reported too
            if self.live is not None:
                continue
            snap = self.state.snapshot()
            if snap["state"] != shown or time.monotonic() - last >= self.every:
                last, shown = time.monotonic(), snap["state"]
                self.console.print(status_text(snap))

    def finish(self) -> float:
        """Stop refreshing and leave the last status; returns the seconds run."""
        self.stopped.set()
        self.thread.join()
        self.state.stop()
        text = status_text(self.state.snapshot())
        if self.live is not None:
            self.live.stop()
        else:
            self.console.print(text)
        return time.monotonic() - self.start
