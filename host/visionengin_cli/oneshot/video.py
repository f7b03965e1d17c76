"""``visionengin video PATH``: a video file through the engine into
video_result/, with a progress bar and a summary that is told also after
Ctrl-C and SIGTERM."""
from __future__ import annotations

import argparse
import logging
import os
import sys
from typing import Any, List, Optional

from ..engine.contract import VIDEO_RESULT
from ..errors import EXIT_OK
from ..options import positive_int
from ..probe import frame_count, native_stderr_quiet, video_problem
from ..progress import VideoProgress, counted, rate
from .common import engine_for, report, selected, tapped

log = logging.getLogger("visionengin")


def add_parser(commands: Any, common: List[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser("video", parents=common,
                                 help="analyse a video file into video_result/")
    parser.add_argument("path", metavar="PATH", help="video file (anything OpenCV opens)")
    parser.add_argument("-t", type=positive_int, default=1, metavar="N",
                        help="analyse every N-th frame read (default: 1, every frame)")
    parser.set_defaults(run=run)


def _problem(args: Any) -> Optional[str]:
    with native_stderr_quiet(not args.debug):
        return video_problem(args.path)


def run(args: Any) -> int:
    table, bev = selected(args)
    args.path = os.path.abspath(args.path)  # relative to where the command starts
    engine = engine_for(args, table, bev, lambda: _problem(args))
    with tapped(engine) as (tap, writes):
        total = frame_count(args.path)
        bar = VideoProgress(tap, total, args.t)
        ended = False
        try:
            engine.test_video(args.path, args.t, bev)
            ended = True
        finally:  # also after Ctrl-C and SIGTERM: what was written is told
            seconds = bar.finish(ended)
            read = max(total, tap.calls * args.t) if ended else tap.calls * args.t
            print("{} analysed ({}) of {} read in {:.1f} s, {:.1f} analysed frames/s".format(
                counted(tap.calls, "frame"),
                "every frame" if args.t == 1 else "one frame in {}".format(args.t),
                read, seconds, rate(tap.calls, seconds)))
            report(writes, VIDEO_RESULT)
    if not tap.calls:
        log.warning("nothing analysed: -t %d is past the end of the video (%s)", args.t,
                    counted(total, "frame") if total else "fewer frames than that")
    sys.stdout.flush()
    return EXIT_OK
