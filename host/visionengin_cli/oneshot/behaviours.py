"""``visionengin behaviours``: the engine's behaviour table as this run would
use it (--threshold and --alarm-interval written in), what its columns mean,
and the selection of --bev."""
from __future__ import annotations

import argparse
from typing import Any, Dict, List, Optional

from ..errors import EXIT_OK
from .common import selected, tuned

# What the behaviour table's columns mean to the detector.
COLUMNS = (
    ("threshold", "behavior_threshold: the lowest detector score that counts as a hit "
                  "(--threshold)"),
    ("alarm_num", "alarm_num: hits in a row before an alarm picture is made"),
    ("alarm_time", "alarm_time: least seconds between two alarm pictures of the behaviour "
                   "(--alarm-interval); with --activate the detector SDK pushes alarms at "
                   "once, as if it were 0"),
)


def add_parser(commands: Any, common: List[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "behaviours", parents=common,
        help="print the behaviour table, what its columns mean, and the selection")
    parser.set_defaults(run=run)


def show(table: Dict[str, Any], bev: Optional[List[str]]) -> None:
    chosen = list(table) if bev is None else bev
    print("{:<9}  {:>9}  {:>9}  {:>10}  {}".format(
        "behaviour", "threshold", "alarm_num", "alarm_time", "selected"))
    for key, row in table.items():
        print("{:<9}  {:>9}  {:>9}  {:>10}  {}".format(
            key, row.get("behavior_threshold"), row.get("alarm_num"),
            row.get("alarm_time"), "yes" if key in chosen else ""))
    print("selection: {} ({} of {})".format(", ".join(chosen) or "none", len(chosen), len(table)))
    print()
    for _, meaning in COLUMNS:
        print(meaning)


def run(args: Any) -> int:
    table, bev = selected(args)
    tuned(table, bev, args)
    show(table, bev)
    return EXIT_OK
