"""``visionengin stream ADDR``: a live stream through the engine into
rtsp_result/ until Ctrl-C or SIGTERM, its state on standard error and a
summary at the end."""
from __future__ import annotations

import argparse
import logging
import os
import sys
from typing import Any, List, Optional, Union

from ..engine.contract import RESTART, RTSP_RESULT
from ..engine.lines import engine_lines
from ..errors import EXIT_OK
from ..live import LiveState
from ..probe import stream_problem
from ..progress import StreamStatus, counted, rate
from ..secrets import mask_address
from .common import engine_for, report, selected, tapped

log = logging.getLogger("visionengin")


def add_parser(commands: Any, common: List[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "stream", parents=common,
        help="analyse a live stream into rtsp_result/ until Ctrl-C or SIGTERM")
    parser.add_argument("addr", metavar="ADDR",
                        help="RTSP address, camera index (0) or device (/dev/video0), "
                             "video file, or anything else OpenCV opens")
    parser.add_argument("--mode", type=int, choices=(0, 1), default=0,
                        help="0: read continuously, keep the newest frame (default); "
                             "1: grab a fresh frame whenever the detector is free")
    parser.add_argument("--keep-trying", action="store_true",
                        help="when the stream does not open, keep retrying instead of "
                             "failing (exit 1)")
    parser.set_defaults(run=run)


def stream_address(addr: str) -> Union[str, int]:
    """A camera index as the integer OpenCV wants; a file as an absolute path."""
    if addr.isdigit():
        return int(addr)
    return os.path.abspath(addr) if os.path.exists(addr) else addr


def _problem(args: Any) -> Optional[str]:
    problem = stream_problem(args.addr, mask_address(str(args.addr)))
    if problem and args.keep_trying:
        log.warning("%s; retrying until stopped (--keep-trying)", problem)
        return None
    return problem


def run(args: Any) -> int:
    table, bev = selected(args)
    args.addr = stream_address(args.addr)
    engine = engine_for(args, table, bev, lambda: _problem(args))
    state = LiveState()
    shown = mask_address(str(args.addr))
    is_file = isinstance(args.addr, str) and os.path.isfile(args.addr)
    loops = [0]

    def take(line: str) -> bool:
        if is_file and line.strip() == RESTART:
            # A file read to its end is opened again: no outage, said once, not per loop.
            if not loops[0]:
                log.warning("%s ended; the stream reads it again from the start", shown)
            loops[0] += 1
            log.info("engine: %s", line.strip())
            return True
        return state.engine_line(line)

    state.on_change = lambda old, new: log.info("%s: %s -> %s", shown, old, new)
    with tapped(engine, state.answer) as (_, writes):
        status = StreamStatus(state)
        try:
            with engine_lines(take):
                engine.test_rtsp(args.addr, args.mode, bev)
        finally:
            engine.stop()  # ends the live run on every way out; harmless twice
            seconds = status.finish()
            again = state.reconnects + loops[0]
            print("{} analysed in {:.1f} s, {:.1f} analysed frames/s, {}".format(
                counted(state.frames, "frame"), seconds, rate(state.frames, seconds),
                counted(again, "replay" if is_file else "reconnect")))
            report(writes, RTSP_RESULT)
    sys.stdout.flush()
    return EXIT_OK
