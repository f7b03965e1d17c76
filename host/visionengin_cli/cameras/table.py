"""How the cameras' states are shown on standard error: a live table redrawn
in place on a terminal (rich), fitted to its width, plain lines elsewhere (a
service's journal, or a file, where each line starts with its time): one line
per camera at a steady interval and one at each change of state. Both hear
the changes from the cameras' own states (``changed``), drawn at the next
``show``."""
from __future__ import annotations

import sys
import time
from typing import Any, Dict, List, Optional, Set, TextIO, Tuple

from ..progress import counted
from ..stamps import needs_time, stamped
from ..states import (FAILING, HUNG, NO_FRAMES, RECONNECTING, RESTARTING, STARTING, STOPPED,
                      STREAMING)
from .slot import Slot
from ..states import Change

COLOURS = {STREAMING: "green", STARTING: "cyan", RECONNECTING: "yellow", NO_FRAMES: "yellow",
           RESTARTING: "yellow", FAILING: "red", HUNG: "red", STOPPED: "dim"}


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
        state = slot.state.now
        reason = state.reason
        out.append({"camera": slot.camera.name, "state": state.state,
                    "why": " ({})".format(reason) if reason else "", "reason": reason or "",
                    "fps": figures["analysed_fps"], "frames": figures["frames"],
                    "alarms": figures["alarms"], "reconnects": figures["reconnects"],
                    "last_alarm": "{} {}".format(alarm["info_type"], _ago(alarm["time"], now))
                    if alarm else "-", "restarts": slot.restarts,
                    "disk": ", disk full" if state.disk_full else ""})
    return out


class PlainLines:
    """For a pipe or a journal: a line per camera every ``interval`` seconds
    and one whenever a camera's state changes."""

    def __init__(self, stream: TextIO, interval: float) -> None:
        self.stream, self.interval = stream, interval
        self.timed = needs_time(stream)  # off the journal, each line its time
        self.due: Set[str] = set()  # cameras whose state changed since the last show
        self.last = time.monotonic()

    def changed(self, change: Change) -> None:
        old, new = change.old, change.new
        if old is None or (old.state, old.disk_full) != (new.state, new.disk_full):
            self.due.add(change.camera)

    def show(self, slots: List[Slot], final: bool = False) -> None:
        now = time.monotonic()
        every = final or now - self.last >= self.interval
        if every:
            self.last = now
        due, self.due = self.due, set()
        for row in rows(slots):
            if every or row["camera"] in due:
                line = ("visionengin: {camera}: {state}{disk}{why}, {fps:.1f} analysed frames/s, {}, "
                        "{} (last: {last_alarm}), {}, {}\n").format(
                    counted(row["frames"], "frame"), counted(row["alarms"], "alarm picture"),
                    counted(row["restarts"], "restart"), counted(row["reconnects"], "reconnect"), **row)
                self.stream.write(stamped(line) if self.timed else line)
        self.stream.flush()

    def close(self, slots: List[Slot]) -> None:
        self.show(slots, final=True)


# The live table's columns in their order: heading, alignment, the row's
# text, and their claim to room (lower first): a narrow terminal leaves out
# the columns with the weakest claims.
COLUMNS = (
    ("camera", "left", 0, lambda row: row["camera"]),
    ("state", "left", 0, lambda row: row["state"] + (" disk full" if row["disk"] else "")),
    ("fps", "right", 1, lambda row: "{:.1f}".format(row["fps"])),
    ("frames", "right", 6, lambda row: str(row["frames"])),
    ("pictures", "right", 2, lambda row: str(row["alarms"])),
    ("last alarm", "left", 5, lambda row: row["last_alarm"]),
    ("restarts", "right", 3, lambda row: str(row["restarts"])),
    ("reconnects", "right", 4, lambda row: str(row["reconnects"])),
)
GAP = 3        # columns between two columns: padding, rule, padding
WHY_ROOM = 30  # the least width for the reason as a column; else its own line below


def layout(texts: List[List[str]], width: int) -> Tuple[List[int], Optional[int]]:
    """The columns shown at ``width`` (their numbers, in order) and the
    reason column's width, None when the reasons go below the table: every
    heading whole, no cell cut."""
    from rich.cells import cell_len

    widths = [max([cell_len(heading)] + [cell_len(cells[n]) for cells in texts])
              for n, (heading, _, _, _) in enumerate(COLUMNS)]
    shown: List[int] = []
    used = -GAP
    for n in sorted(range(len(COLUMNS)), key=lambda n: (COLUMNS[n][2], n)):
        if shown and COLUMNS[n][2] > 0 and used + GAP + widths[n] > width:
            break  # this and every weaker claim left out
        shown.append(n)
        used += GAP + widths[n]
    room = width - used - GAP
    return sorted(shown), room if room >= WHY_ROOM else None


def draw(shown_rows: List[Dict[str, Any]], width: int) -> Any:
    """The table of ``rows`` for a terminal ``width`` columns wide."""
    from rich import box
    from rich.console import Group
    from rich.table import Table
    from rich.text import Text

    texts = [[text(row) for _, _, _, text in COLUMNS] for row in shown_rows]
    columns, why = layout(texts, width)
    table = Table(box=box.SIMPLE_HEAD, show_edge=False, pad_edge=False, padding=(0, 1), expand=False,
                  caption="fps: analysed frames per second; pictures: alarm pictures written",
                  caption_justify="left")
    for n in columns:
        heading, justify, _, _ = COLUMNS[n]
        table.add_column(heading, justify=justify, no_wrap=True)  # type: ignore[arg-type]
    if why is not None:
        table.add_column("why", width=why, overflow="fold")
    below = []
    for row, cells in zip(shown_rows, texts):
        line = [Text(cells[n]) for n in columns]
        if 1 in columns:  # the state, in its colour
            line[columns.index(1)] = Text(row["state"], style=COLOURS.get(row["state"], "white"))
            if row["disk"]:
                line[columns.index(1)].append(" disk full", style="red")
        if why is not None:
            line.append(Text(row["reason"]))  # Text: an error's [brackets] stay as they are
        elif row["reason"]:
            below.append(Text("{}: {}".format(row["camera"], row["reason"])))
        table.add_row(*line)
    return Group(table, *below) if below else table


class LiveTable:
    """For a terminal: one table, redrawn in place, fitted to its width."""

    PERIOD = 0.5  # seconds between redraws

    def __init__(self, console: Any) -> None:
        from rich.live import Live

        self.console, self.drawn = console, 0.0
        self.due = False  # a camera's state changed: drawn at once
        self.live = Live(self._table([]), console=console, auto_refresh=False, transient=False)
        self.live.start()

    def _table(self, slots: List[Slot]) -> Any:
        return draw(rows(slots), self.console.width)

    def changed(self, change: Change) -> None:
        self.due = True

    def show(self, slots: List[Slot]) -> None:
        now = time.monotonic()
        if self.due or now - self.drawn >= self.PERIOD:
            self.drawn, self.due = now, False
            self.live.update(self._table(slots), refresh=True)

    def close(self, slots: List[Slot]) -> None:
        self.live.update(self._table(slots), refresh=True)
        self.live.stop()


def display(stream: TextIO = sys.stderr, interval: float = 30.0, console: Any = None) -> Any:
    """The table on a terminal, plain lines elsewhere."""
    if console is not None and stream.isatty():
        return LiveTable(console)
    return PlainLines(stream, interval)
