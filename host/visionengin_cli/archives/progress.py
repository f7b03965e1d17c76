"""One progress bar over all the videos of a run, on standard error: videos
and frames done, frames per second, time left. Off a terminal there is no bar,
but a line for each video that ends."""
from __future__ import annotations

import time
from typing import Dict, Optional

from rich.console import Console
from rich.progress import BarColumn, Progress, TextColumn, TimeRemainingColumn

from ..progress import console, rate


class RunProgress:
    def __init__(self, videos: int, frames: int, out: Optional[Console] = None) -> None:
        self.console = out or console()
        self.videos, self.done_videos = videos, 0
        self.done_frames = 0
        self.running: Dict[object, int] = {}
        self.start = time.monotonic()
        self.progress = Progress(
            TextColumn("videos {task.fields[videos]}"), BarColumn(),
            TextColumn("{task.completed}/{task.fields[of]} frames  {task.fields[fps]} frames/s"),
            TextColumn("left"), TimeRemainingColumn(), console=self.console, transient=False,
            disable=not self.console.is_terminal, redirect_stdout=False, redirect_stderr=True)
        self.task = self.progress.add_task("videos", total=frames or None, of=frames or "?",
                                           videos="0/{}".format(videos), fps="0.0")
        self.progress.start()

    def frames(self) -> int:
        return self.done_frames + sum(self.running.values())

    def update(self) -> None:
        frames = self.frames()
        self.progress.update(self.task, completed=frames,
                             videos="{}/{}".format(self.done_videos, self.videos),
                             fps="{:.1f}".format(rate(frames, time.monotonic() - self.start)))

    def frames_of(self, job: object, count: int) -> None:
        self.running[job] = count
        self.update()

    def ended(self, job: object, frames: int, line: Optional[str]) -> None:
        """A video finished (or failed for good, with ``frames`` 0)."""
        self.running.pop(job, None)
        self.done_frames += frames
        self.done_videos += 1
        self.update()
        if line is not None and not self.console.is_terminal:
            self.console.print(line)

    def dropped(self, job: object) -> None:
        """A video's attempt failed: its frames are not done."""
        self.running.pop(job, None)
        self.update()

    def finish(self) -> float:
        self.update()
        self.progress.stop()
        return time.monotonic() - self.start
