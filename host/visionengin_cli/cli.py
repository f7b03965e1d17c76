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
from .secrets import mask_text

PROG = "visionengin"
EXIT_OK, EXIT_ERROR, EXIT_USAGE, EXIT_INTERRUPTED = 0, 1, 2, 130
EXIT_TERMINATED, EXIT_PIPE = 128 + signal.SIGTERM, 128 + 13  # 143, 141

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


class CommandError(Exception):
    """A failure the user can act on, reported as one line (exit status 1)."""


class UsageError(Exception):
    """Bad usage found after parsing (exit status 2), e.g. an unknown --bev."""


class Terminated(KeyboardInterrupt):
    """SIGTERM, raised like Ctrl-C so that a run stops the same clean way."""


def _one_line(text: str) -> str:
    return mask_text(" ".join(line.strip() for line in text.splitlines()) or text)


class OneLineFormatter(logging.Formatter):
    """Log records as single lines, passwords masked; tracebacks only with --debug."""

    def __init__(self, debug: bool) -> None:
        super().__init__()
        self.debug = debug

    def format(self, record: logging.LogRecord) -> str:
        text = "{}: {}: {}".format(PROG, record.levelname.lower(), _one_line(record.getMessage()))
        if self.debug and record.exc_info:
            text += "\n" + self.formatException(record.exc_info)
        return text


class StderrHandler(logging.StreamHandler):  # type: ignore[type-arg]
    """Writes to the ``sys.stderr`` of the moment, so a live status display that
    takes standard error over prints the lines above itself."""

    def __init__(self) -> None:
        super().__init__(sys.stderr)

    def emit(self, record: logging.LogRecord) -> None:
        self.stream = sys.stderr
        super().emit(record)


def configure_logging(debug: bool, verbose: bool = False, timed: bool = False) -> None:
    """``timed``: each line starts with its time where standard error is
    neither a terminal nor the journal (a file, a pipe)."""
    from .stamps import for_stream

    handler = StderrHandler()
    handler.setFormatter(for_stream(OneLineFormatter(debug), sys.stderr) if timed
                         else OneLineFormatter(debug))
    root = logging.getLogger()
    root.handlers[:] = [handler]
    root.setLevel(logging.DEBUG if debug else logging.INFO if verbose else logging.WARNING)
    threading.excepthook = _thread_failed


def _thread_failed(failure: Any) -> None:
    """An error that ends a thread (a detector failing in the engine's processing
    thread) is one line too, not the interpreter's traceback."""
    if issubclass(failure.exc_type, SystemExit):
        return
    name = failure.thread.name if failure.thread is not None else "?"
    logging.getLogger(PROG).error(
        "thread %s: %s: %s", name, failure.exc_type.__name__, failure.exc_value,
        exc_info=(failure.exc_type, failure.exc_value, failure.exc_traceback))


def quiet_native_logs(debug: bool) -> None:
    """OpenCV's and FFmpeg's own log lines off unless debugging. Read when ``cv2``
    is imported, so this comes first; values the user set are kept."""
    if debug:
        return
    os.environ.setdefault("OPENCV_LOG_LEVEL", "SILENT")
    os.environ.setdefault("OPENCV_FFMPEG_LOGLEVEL", "-8")  # FFmpeg's AV_LOG_QUIET


def default_cache() -> str:
    """The user's cache folder (XDG): $XDG_CACHE_HOME/visionengin or ~/.cache/visionengin."""
    base = os.environ.get("XDG_CACHE_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, PROG)


def version() -> str:
    try:
        from importlib.metadata import version as installed
        return installed(PROG)
    except Exception:  # noqa: BLE001 - run from a source tree
        return "unknown"


def _number(kind: Callable[[str], Any], low: float, high: Optional[float] = None) -> Callable[[str], Any]:
    def parse(text: str) -> Any:
        try:
            value = kind(text)
        except ValueError:
            raise argparse.ArgumentTypeError("not a number: {!r}".format(text)) from None
        if not low <= value <= (high if high is not None else value):  # NaN fails too
            raise argparse.ArgumentTypeError("must be {}, got {}".format(
                "from {} to {}".format(low, high) if high is not None else "{} or more".format(low),
                text))
        return value
    return parse


positive_int = _number(int, 1)


FACE_NAME_LENGTH = 60  # characters: even at four bytes each, "NAME.png" fits a file name


def _name(text: str) -> str:
    """A face's name, which is also its file name in the cache (faces/NAME.png):
    only characters that stand for themselves in a file name, so that two names
    never share a file ("a/b" and "a_b") and none reaches out of faces/."""
    if not text.strip():
        raise argparse.ArgumentTypeError("must not be empty")
    if (len(text) > FACE_NAME_LENGTH or text.startswith(".")
            or not all(c.isalnum() or c in "_-." for c in text)):
        raise argparse.ArgumentTypeError(
            "{!r} is not a face name: use letters, digits, '_', '-' and '.' (not first), "
            "at most {} characters".format(text, FACE_NAME_LENGTH))
    return text


def _common_options(with_defaults: bool) -> argparse.ArgumentParser:
    """The options every subcommand takes, before or after its name. The copy on
    the subcommands has no defaults, so it never hides a value given earlier."""

    def default(value: Any) -> Any:
        return value if with_defaults else argparse.SUPPRESS

    parser = argparse.ArgumentParser(add_help=False)
    group = parser.add_argument_group("common options")
    group.add_argument("--bev", metavar="KEYS", default=default(None),
                       help="behaviours to watch for, comma-separated "
                            "(e.g. 5000001,5000002; default: all; see `behaviours`)")
    group.add_argument("--threshold", metavar="VALUE", type=_number(float, 0.0, 1.0),
                       default=default(None),
                       help="lowest detector score that counts, for the selected behaviours "
                            "(their behavior_threshold, for this run)")
    group.add_argument("--alarm-interval", metavar="SECONDS", type=_number(float, 0.0),
                       default=default(None),
                       help="least time between two alarm pictures of a behaviour "
                            "(its alarm_time, for this run)")
    group.add_argument("--activate", action="store_true", default=default(False),
                       help="let the detector SDK push every alarm at once "
                            "(alarm_time taken as 0)")
    group.add_argument("--cuda", action="store_true", default=default(False),
                       help="let the detector use the CUDA execution provider")
    group.add_argument("--cache", metavar="DIR", default=default(default_cache()),
                       help="detector model cache folder, where registered faces are kept "
                            "(default: {})".format(default_cache().replace("%", "%%")))
    group.add_argument("--workdir", metavar="DIR", default=default(None),
                       help="run in DIR (made if missing); the result folders "
                            "pic_result/, video_result/, rtsp_result/ are made there")
    group.add_argument("-v", "--verbose", action="store_true", default=default(False),
                       help="show the engine's own lines (\"rtsp restart...\", \"wait...\") "
                            "and state changes as they come")
    group.add_argument("--debug", action="store_true", default=default(False),
                       help="show tracebacks of errors and OpenCV's and FFmpeg's own log lines")
    return parser


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG, parents=[_common_options(True)],
        description="Analyse pictures, video files and live streams with the "
                    "VisionEngin engine and write annotated alarm pictures.",
        epilog="Exit status: 0 success, 1 error, 2 bad usage, 130 interrupted (Ctrl-C), "
               "143 terminated (SIGTERM), 141 output pipe closed.")
    parser.add_argument("--version", action="version", version="%(prog)s " + version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    commands.required = True
    common: List[argparse.ArgumentParser] = [_common_options(False)]

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
    register.add_argument("--name", type=_name,
                          help="name to register the face under: letters, digits, '_', '-', '.' "
                               "(default: the engine's); a face registered under it is replaced")

    commands.add_parser("behaviours", parents=common,
                        help="print the behaviour table, what its columns mean, and the selection")

    for name in COMMAND_MODULES:
        # A copy of the common options of its own, so that its help can leave out
        # those its command refuses without touching the other commands' help.
        before = set(commands.choices)
        importlib.import_module(name, __package__).add_parser(commands, [_common_options(False)])
        for added in set(commands.choices) - before:
            _hide_refused(commands.choices[added])
    return parser


def _hide_refused(parser: argparse.ArgumentParser) -> None:
    """Leaves out of a command's help the common options it refuses: those
    not in its ``honours``, and those in its ``refuses``."""
    honours = parser.get_default("honours")
    refuses = parser.get_default("refuses") or ()
    common = set(vars(_common_options(True).parse_args([])))
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
    for key, default in vars(_common_options(True).parse_args([])).items():
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
        message = str(error) if isinstance(error, CommandError) else "{}: {}".format(
            type(error).__name__, error)
        print("{}: error: {}".format(PROG, _one_line(message)), file=sys.stderr)
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
