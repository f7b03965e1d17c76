"""``visionengin``: analyse a picture, a video file or a live stream with the engine.

A small host program: it imports the engine module ``main``, builds one
``VisionEngin`` and calls its entry points as any other host would. Progress
comes from a counting proxy put in front of the detector the engine holds
(``progress.CountingDetector``); the engine itself is used unchanged.

Exit status: 0 success, 1 error (one line on standard error; the traceback
too with --debug), 2 bad usage, 130 interrupted (Ctrl-C).
"""
from __future__ import annotations

import argparse
import logging
import os
import sys
import traceback
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Sequence

from .progress import CountingDetector, StatusLine, StreamStatus, VideoProgress, rate

if TYPE_CHECKING:
    import main as engine_module

PROG = "visionengin"
EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130


class CommandError(Exception):
    """A failure the user can act on, reported as one line (exit status 1)."""


def _one_line(text: str) -> str:
    return " ".join(line.strip() for line in text.splitlines()) or text


class OneLineFormatter(logging.Formatter):
    """The engine's log records as single lines; tracebacks only with --debug."""

    def __init__(self, debug: bool) -> None:
        super().__init__()
        self.debug = debug

    def format(self, record: logging.LogRecord) -> str:
        text = "{}: {}: {}".format(PROG, record.levelname.lower(), _one_line(record.getMessage()))
        if self.debug and record.exc_info:
            text += "\n" + self.formatException(record.exc_info)
        return text


def configure_logging(debug: bool) -> None:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(OneLineFormatter(debug))
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(logging.DEBUG if debug else logging.WARNING)


def positive_int(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError("not an integer: {!r}".format(text)) from None
    if value < 1:
        raise argparse.ArgumentTypeError("must be 1 or more, got {}".format(value))
    return value


def _common_options(with_defaults: bool) -> argparse.ArgumentParser:
    """The options every subcommand takes, before or after its name. The copy on
    the subcommands has no defaults, so it never hides a value given earlier."""

    def default(value: Any) -> Any:
        return value if with_defaults else argparse.SUPPRESS

    parser = argparse.ArgumentParser(add_help=False)
    group = parser.add_argument_group("common options")
    group.add_argument("--bev", metavar="KEYS", default=default(None),
                       help="behaviours to watch for, comma-separated "
                            "(e.g. 5000001,5000002; default: all)")
    group.add_argument("--cuda", action="store_true", default=default(False),
                       help="let the detector use the CUDA execution provider")
    group.add_argument("--activate", action="store_true", default=default(False),
                       help="push alarms at once (alarm_time taken as 0)")
    group.add_argument("--cache", metavar="DIR", default=default(None),
                       help="detector model cache directory (default: the detector's)")
    group.add_argument("--workdir", metavar="DIR", default=default(None),
                       help="run in DIR (made if missing); the result folders "
                            "pic_result/, video_result/, rtsp_result/ are made there")
    group.add_argument("--debug", action="store_true", default=default(False),
                       help="show tracebacks of errors")
    return parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, parents=[_common_options(True)],
        description="Analyse pictures, video files and live streams with the "
                    "VisionEngin engine and write annotated alarm pictures.",
        epilog="Exit status: 0 success, 1 error, 2 bad usage, 130 interrupted.")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    common = [_common_options(False)]

    pic = commands.add_parser("pic", parents=common, help="analyse one picture into pic_result/")
    pic.add_argument("path", metavar="PATH", help="picture file")

    video = commands.add_parser("video", parents=common,
                                help="analyse a video file into video_result/")
    video.add_argument("path", metavar="PATH", help="video file (anything OpenCV opens)")
    video.add_argument("-t", type=positive_int, default=1, metavar="N",
                       help="analyse every N-th frame (default: 1, every frame)")

    stream = commands.add_parser("stream", parents=common,
                                 help="analyse a live stream into rtsp_result/ until Ctrl-C")
    stream.add_argument("addr", metavar="ADDR", help="RTSP address, or anything OpenCV opens")
    stream.add_argument("--mode", type=int, choices=(0, 1), default=0,
                        help="0: read continuously, keep the newest frame (default); "
                             "1: grab a fresh frame whenever the detector is free")

    register = commands.add_parser("register", parents=common,
                                   help="enrol the one face of a picture under a name")
    register.add_argument("path", metavar="PATH", help="picture file with one face")
    register.add_argument("--name", help="name to register the face under "
                                         "(default: the engine's)")

    commands.add_parser("behaviours", parents=common,
                        help="print the behaviour table and the selection")
    return parser


def _absolute_if_file(addr: str) -> str:
    """Paths are given relative to where the command starts, not to --workdir."""
    return os.path.abspath(addr) if os.path.exists(addr) else addr


def _selection(text: Optional[str], table: Dict[str, Any]) -> Optional[List[str]]:
    if text is None:
        return None
    keys = [key.strip() for key in text.split(",") if key.strip()]
    unknown = [key for key in keys if key not in table]
    if unknown:
        known = list(table)
        raise CommandError("unknown behaviour {} in --bev (known: {})".format(
            ", ".join(repr(key) for key in unknown),
            "{} to {}".format(known[0], known[-1]) if known else "none"))
    return keys


def _report(counter: CountingDetector, folder: str, picture: bool = False) -> None:
    """Alarm pictures written, per info type, and where."""
    where = os.path.join(os.getcwd(), folder) + os.sep
    total = counter.alarms
    if not total:
        print("no alarm pictures written (results go to {})".format(where))
        return
    print("{} alarm picture{} written to {}".format(total, "" if total == 1 else "s", where))
    width = max(len(kind) for kind in counter.by_type)
    for kind, count in sorted(counter.by_type.items()):
        print("  {:<{}}  {}{}".format(kind, width, count, "  ({}.jpg)".format(kind) if picture else ""))


def _probe_frame_count(path: str) -> int:
    """The container's frame count (0 when unknown), from a capture of our own."""
    import cv2

    probe = cv2.VideoCapture(path)
    try:
        if not probe.isOpened():
            raise CommandError("cannot open the video {}".format(path))
        return max(0, int(probe.get(cv2.CAP_PROP_FRAME_COUNT)))
    finally:
        probe.release()


def _require_file(path: str, what: str) -> None:
    if not os.path.isfile(path):
        raise CommandError("no such {}: {}".format(what, path))


def run_behaviours(module: Any, bev: Optional[List[str]]) -> None:
    table = module.devBehavior
    chosen = list(table) if bev is None else bev
    print("{:<9}  {:>9}  {:>9}  {:>10}  {}".format(
        "behaviour", "threshold", "alarm_num", "alarm_time", "selected"))
    for key, row in table.items():
        print("{:<9}  {:>9}  {:>9}  {:>10}  {}".format(
            key, row.get("behavior_threshold"), row.get("alarm_num"),
            row.get("alarm_time"), "yes" if key in chosen else ""))
    print("selection: {} ({} of {})".format(", ".join(chosen) or "none", len(chosen), len(table)))


def run(args: argparse.Namespace) -> int:
    import main as module  # the engine, imported as any host imports it

    bev = _selection(args.bev, module.devBehavior)
    if args.command == "behaviours":
        run_behaviours(module, bev)
        return EXIT_OK

    if args.command in ("pic", "register"):
        _require_file(args.path, "picture")
    frame_count = _probe_frame_count(args.path) if args.command == "video" else 0

    options: Dict[str, Any] = {"cuda": args.cuda, "activate": args.activate}
    if args.cache is not None:
        options["cache"] = args.cache
    engine: engine_module.VisionEngin = module.VisionEngin(**options)
    counter = CountingDetector(engine.predict)
    engine.predict = counter

    if args.command == "register":
        if args.name is None:
            engine.register(args.path)
        else:
            engine.register(args.path, args.name)
    elif args.command == "pic":
        engine.test_pic(args.path, bev)
        _report(counter, "pic_result", picture=True)
    elif args.command == "video":
        bar = VideoProgress(counter, frame_count, args.t, StatusLine(sys.stderr))
        engine.test_video(args.path, args.t, bev)
        seconds = bar.finish()
        print("{} frames analysed ({}) in {:.1f} s, {:.1f} frames/s".format(
            counter.calls, "every frame" if args.t == 1 else "one frame in {}".format(args.t),
            seconds, rate(counter.calls, seconds)))
        _report(counter, "video_result")
    else:
        status = StreamStatus(counter, StatusLine(sys.stderr, 0.1, pipe_interval=5.0))
        try:
            engine.test_rtsp(args.addr, args.mode, bev)
        finally:
            engine.stop()  # ends the live run on every way out; harmless twice
            seconds = status.finish()
            print("{} frames analysed in {:.1f} s".format(counter.calls, seconds))
            _report(counter, "rtsp_result")
    return EXIT_OK


def main(argv: Optional[Sequence[str]] = None) -> int:
    args = build_parser().parse_args(argv)  # bad usage: SystemExit(2)
    configure_logging(args.debug)
    try:
        for name in ("path", "addr"):
            if hasattr(args, name):
                setattr(args, name, _absolute_if_file(getattr(args, name)))
        if args.cache is not None:
            args.cache = os.path.abspath(args.cache)
        if args.workdir is not None:
            os.makedirs(args.workdir, exist_ok=True)
            os.chdir(args.workdir)
        return run(args)
    except KeyboardInterrupt:
        print("{}: interrupted".format(PROG), file=sys.stderr)
        return EXIT_INTERRUPTED
    except Exception as error:  # noqa: BLE001 - every failure becomes one line
        if args.debug:
            traceback.print_exc()
        message = str(error) if isinstance(error, CommandError) else "{}: {}".format(
            type(error).__name__, error)
        print("{}: error: {}".format(PROG, _one_line(message)), file=sys.stderr)
        return EXIT_ERROR
    finally:
        sys.stdout.flush()
