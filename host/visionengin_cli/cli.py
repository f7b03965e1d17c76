"""``visionengin``: analyse a picture, a video file or a live stream with the engine.

This module holds the command line (the options, the subcommand table) and the
ways a run ends: exit status, one-line errors, Ctrl-C, SIGTERM and a closed pipe.
What each subcommand does is in ``runs.py``; subcommands of their own modules
register through ``COMMAND_MODULES``.
"""
from __future__ import annotations

import argparse
import importlib
import logging
import os
import signal
import sys
import threading
import traceback
from typing import Any, Callable, List, Optional, Sequence

from . import HELD, hold_signals, holding
from .errors import (EXIT_ERROR, EXIT_INTERRUPTED, EXIT_PIPE, EXIT_TERMINATED, PROG, CommandError,
                     Terminated, UsageError, print_error)
from .logs import configure_logging, quiet_native_logs
from .options import common_options, face_name, positive_int

# Subcommands that live in modules of their own, named relative to this package
# (e.g. ".cameras.command"). Each such module has ``add_parser(commands, common)``:
# it adds its parser with ``commands.add_parser(name, parents=common, ...)`` and sets
# ``run=<function(args) -> exit status>`` as a default. It imports ``cv2`` and
# ``main`` only inside ``run``: the native log levels are set after parsing.
COMMAND_MODULES: Sequence[str] = (".cameras.command", ".web.command", ".archives.command",
                                   ".fleet.command")
# Commands that run as services until stopped: where their standard error is
# kept as it is (a file, a container's log), not the journal, a line needs its time.
SERVICES = ("cameras", "serve")


def version() -> str:
    try:
        from importlib.metadata import version as installed
        return installed(PROG)
    except Exception:  # noqa: BLE001 - run from a source tree
        return "unknown"


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, parents=[common_options(True)],
        description="Analyse pictures, video files and live streams with the "
                    "VisionEngin engine and write annotated alarm pictures.",
        epilog="Exit status: 0 success, 1 error, 2 bad usage, 130 interrupted (Ctrl-C), "
               "143 terminated (SIGTERM), 141 output pipe closed.")
    parser.add_argument("--version", action="version", version="%(prog)s " + version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    common: List[argparse.ArgumentParser] = [common_options(False)]

    pic = commands.add_parser("pic", parents=common, help="analyse one picture into pic_result/")
    pic.add_argument("path", metavar="PATH", help="picture file")

    video = commands.add_parser("video", parents=common,
                                help="analyse a video file into video_result/")
    video.add_argument("path", metavar="PATH", help="video file (anything OpenCV opens)")
    video.add_argument("-t", type=positive_int, default=1, metavar="N",
                       help="analyse every N-th frame read (default: 1, every frame)")

    stream = commands.add_parser(
        "stream", parents=common,
        help="analyse a live stream into rtsp_result/ until Ctrl-C or SIGTERM")
    stream.add_argument("addr", metavar="ADDR",
                        help="RTSP address, camera index (0) or device (/dev/video0), "
                             "video file, or anything else OpenCV opens")
    stream.add_argument("--mode", type=int, choices=(0, 1), default=0,
                        help="0: read continuously, keep the newest frame (default); "
                             "1: grab a fresh frame whenever the detector is free")
    stream.add_argument("--keep-trying", action="store_true",
                        help="when the stream does not open, keep retrying instead of "
                             "failing (exit 1)")

    register = commands.add_parser("register", parents=common,
                                   help="enrol the one face of a picture under a name")
    register.add_argument("path", metavar="PATH", help="picture file with one face")
    register.add_argument("--name", type=face_name,
                          help="name to register the face under: letters, digits, '_', '-', '.' "
                               "(default: the engine's); a face registered under it is replaced")

    commands.add_parser("behaviours", parents=common,
                        help="print the behaviour table, what its columns mean, and the selection")

    for name in COMMAND_MODULES:
        # A copy of the common options of its own, so that its help can leave out
        # those its command refuses without touching the other commands' help.
        before = set(commands.choices)
        importlib.import_module(name, __package__).add_parser(commands, [common_options(False)])
        for added in set(commands.choices) - before:
            _hide_refused(commands.choices[added])
    return parser


def _hide_refused(parser: argparse.ArgumentParser) -> None:
    """Leaves out of a command's help the common options it refuses: those
    not in its ``honours``, and those in its ``refuses``."""
    honours = parser.get_default("honours")
    refuses = parser.get_default("refuses") or ()
    common = set(vars(common_options(True).parse_args([])))
    for action in parser._actions:
        if action.dest in common and (action.dest in refuses or
                                      (honours is not None and action.dest not in honours)):
            action.help = argparse.SUPPRESS


def _release_signals() -> None:
    """For a command that does not take held signals over: their usual effect."""
    if not holding():
        return
    signal.signal(signal.SIGHUP, signal.SIG_DFL)
    if signal.SIGHUP in HELD:
        os.kill(os.getpid(), signal.SIGHUP)
    if signal.SIGTERM in HELD:
        raise Terminated()


def _refuse_unused(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """A common option the command has no use for is bad usage, not ignored:
    commands of their own module list the ones they honour in ``honours``."""
    honours = getattr(args, "honours", None)
    if honours is None:
        return
    for key, default in vars(common_options(True).parse_args([])).items():
        if key not in honours and getattr(args, key, default) != default:
            parser.error("{} does not take --{}".format(args.command, key.replace("_", "-")))


def _terminate(signum: int, frame: Any) -> None:
    raise Terminated()


def _quiet_pipe() -> None:
    """Standard output's reader is gone: nothing more is written there, not
    even by the interpreter's own flush at exit."""
    try:
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    except (OSError, ValueError):
        pass


def _standard_streams() -> bool:
    """A closed standard stream (``>&-``) gets /dev/null in its place, so that no
    file opened later takes its number (native code writes to fd 2, whatever it
    is). Returns whether standard output was closed: the command's results
    have nowhere to go, which is an error rather than a run told to no one."""
    stdout_closed = sys.stdout is None
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            null = os.open(os.devnull, os.O_RDWR)
            if null != fd:
                os.dup2(null, fd)
                os.close(null)
    if sys.stderr is None:  # closed on purpose: what it would have said is dropped
        sys.stderr = open(os.devnull, "w")
    return stdout_closed


def main(argv: Optional[Sequence[str]] = None) -> int:
    if "cameras" in (sys.argv[1:] if argv is None else argv):
        hold_signals()  # before the imports and the parsing, which take a while
    stdout_closed = _standard_streams()
    parser = build_parser()
    args = parser.parse_args(argv)  # bad usage: SystemExit(2)
    _refuse_unused(parser, args)
    if stdout_closed:
        print("{}: error: standard output is closed; send it to /dev/null to drop the "
              "results".format(PROG), file=sys.stderr)
        return EXIT_ERROR
    quiet_native_logs(args.debug)
    configure_logging(args.debug, args.verbose, timed=args.command in SERVICES)
    try:
        if args.command != "cameras":
            signal.signal(signal.SIGTERM, _terminate)
            _release_signals()
        run: Optional[Callable[[argparse.Namespace], int]] = getattr(args, "run", None)
        if run is None:
            from . import runs
            run = runs.run
        status = run(args)
        sys.stdout.flush()
        return int(status)
    except UsageError as error:
        parser.error(str(error))  # SystemExit(2)
        raise
    except Terminated:
        print("{}: terminated".format(PROG), file=sys.stderr)
        return EXIT_TERMINATED
    except KeyboardInterrupt:
        print("{}: interrupted".format(PROG), file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        _quiet_pipe()
        return EXIT_PIPE
    except Exception as error:  # noqa: BLE001 - every failure becomes one line
        if args.debug:
            traceback.print_exc()
        if isinstance(error, CommandError):
            print_error(str(error))
            return error.status
        print_error("{}: {}".format(type(error).__name__, error))
        return EXIT_ERROR


def console_main() -> None:
    """The ``visionengin`` executable: ``main``, then the exit.

    A live run stopped while its camera hangs (frozen, or an open that gets no
    answer) leaves its capture thread inside OpenCV until the engine's read or
    open bound ends that call; once the run has returned, that thread touches
    nothing. The interpreter would still wait for it at exit (it is not a
    daemon), holding Ctrl-C or SIGTERM for seconds, so the process ends at once
    instead, its output flushed."""
    status = main()
    left = [thread for thread in threading.enumerate()
            if thread is not threading.main_thread() and not thread.daemon and thread.is_alive()]
    if left:
        logging.shutdown()
        for stream in (sys.stdout, sys.stderr):
            try:
                stream.flush()
            except (OSError, ValueError, AttributeError):  # a stream may be None
                pass
        os._exit(status)
    sys.exit(status)
