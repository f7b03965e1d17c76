"""``visionengin pic PATH``: one picture through the engine into pic_result/."""
from __future__ import annotations

import argparse
import os
import sys
from typing import Any, List

from ..engine.contract import PIC_RESULT
from ..errors import EXIT_OK
from ..native import NativeLines
from .common import engine_for, picture_check, report, selected, tapped


def add_parser(commands: Any, common: List[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser("pic", parents=common, help="analyse one picture into pic_result/")
    parser.add_argument("path", metavar="PATH", help="picture file")
    parser.set_defaults(run=run)


def run(args: Any) -> int:
    table, bev = selected(args)
    args.path = os.path.abspath(args.path)  # relative to where the command starts
    native = NativeLines(args.path)
    engine = engine_for(args, table, bev, lambda: picture_check(native, args.path))
    with tapped(engine) as (_, writes):
        with native.captured() as lines:  # the engine reads the picture again
            engine.test_pic(args.path, bev)
        native.tell(lines)
        report(writes, PIC_RESULT, picture=True)
    sys.stdout.flush()
    return EXIT_OK
