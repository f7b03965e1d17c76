"""How the cameras' states are shown on standard error: a live table redrawn
in place on a terminal (rich), plain lines elsewhere (a service's journal):
one line per camera at a steady interval and one at each change of state."""
from __future__ import annotations

import sys
import time
from typing import Any, Dict, List, Optional, TextIO

from ..progress import counted
from .supervisor import Slot

COLOURS = {"streaming": "green", "starting": "cyan", "reconnecting": "yellow",
           "no frames": "yellow", "restarting": "yellow", "failing": "red", "hung": "red",
           "stopped": "dim"}


def _ago(seconds: Optional[float], now: float) -> str:
    if seconds is None:
        return "-"
    delta = max(0, int(now - seconds))
    if delta < 60:
        return "{} s ago".format(delta)
    if delta < 3600:
        return "{} min ago".format(delta // 60)
    return time.strftime("%H:%M:%S", time.localtime(seconds))


def rows(slots: List[Slot]) -> List[Dict[str, Any]]:
    now = time.time()
    out = []
    for slot in slots:
        figures = slot.figures()
        alarm = figures["last_alarm"]
        reason = slot.reason
        out.append({"camera": slot.camera.name, "state": slot.state,
                    "why": " ({})".format(reason) if reason else "", "reason": reason or "",
                    "fps": figures["analysed_fps"], "frames": figures["frames"],
                    "alarms": figures["alarms"], "reconnects": figures["reconnects"],
                    "last_alarm": "{} {}".format(alarm["info_type"], _ago(alarm["time"], now))
                    if alarm else "-", "restarts": slot.restarts,
                    "disk": ", disk full" if slot.storage_fields()["disk_full"] else ""})
    return out


class PlainLines:
    """For a pipe or a journal: a line per camera every ``interval`` seconds
    and one whenever a camera's state changes."""

    def __init__(self, stream: TextIO, interval: float) -> None:
        self.stream, self.interval = stream, interval
        self.states: Dict[str, str] = {}
        self.last = time.monotonic()

    def show(self, slots: List[Slot], final: bool = False) -> None:
        now = time.monotonic()
        every = final or now - self.last >= self.interval
        if every:
            self.last = now
        for row in rows(slots):
            before = self.states.get(row["camera"])
            self.states[row["camera"]] = row["state"] + row["disk"]
            if every or row["state"] + row["disk"] != before:
                self.stream.write(
                    "visionengin: {camera}: {state}{disk}{why}, {fps:.1f} analysed frames/s, {}, {} (last: "
                    "{last_alarm}), {}, {}\n".format(
                        counted(row["frames"], "frame"), counted(row["alarms"], "alarm picture"),
                        counted(row["restarts"], "restart"), counted(row["reconnects"], "reconnect"),
                        **row))
        self.stream.flush()

    def close(self, slots: List[Slot]) -> None:
        self.show(slots, final=True)


class LiveTable:
    """For a terminal: one table, redrawn in place."""

    PERIOD = 0.5  # seconds between redraws

    def __init__(self, console: Any) -> None:
        from rich.live import Live

        self.console, self.drawn = console, 0.0
        self.live = Live(self._table([]), console=console, auto_refresh=False, transient=False)
        self.live.start()

    def _table(self, slots: List[Slot]) -> Any:
        from rich.markup import escape
        from rich.table import Table

        table = Table(caption="fps: analysed frames per second; pictures: alarm pictures written",
                      caption_justify="left", expand=False)
        for heading, justify in (("camera", "left"), ("state", "left"), ("fps", "right"),
                                 ("frames", "right"), ("pictures", "right"),
                                 ("last alarm", "left"), ("restarts", "right"),
                                 ("reconnects", "right"), ("why", "left")):
            table.add_column(heading, justify=justify)  # type: ignore[arg-type]
        for row in rows(slots):
            table.add_row(row["camera"], "[{}]{}[/]{}".format(COLOURS.get(row["state"], "white"), row["state"],
                                                              " [red]disk full[/]" if row["disk"] else ""),
                          "{:.1f}".format(row["fps"]), str(row["frames"]), str(row["alarms"]),
                          row["last_alarm"], str(row["restarts"]), str(row["reconnects"]),
                          escape(row["reason"]))  # an error's text may hold [brackets]
        return table

    def show(self, slots: List[Slot]) -> None:
        now = time.monotonic()
        if now - self.drawn >= self.PERIOD:
            self.drawn = now
            self.live.update(self._table(slots), refresh=True)

    def close(self, slots: List[Slot]) -> None:
        self.live.update(self._table(slots), refresh=True)
        self.live.stop()


def display(stream: TextIO = sys.stderr, interval: float = 30.0, console: Any = None) -> Any:
    """The table on a terminal, plain lines elsewhere."""
    if console is not None and stream.isatty():
        return LiveTable(console)
    return PlainLines(stream, interval)
