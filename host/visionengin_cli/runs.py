"""What each subcommand of ``visionengin`` does, built on the engine's public
surface only: one ``VisionEngin``, its entry points, its two tables.

Every input is checked before anything is written (no result folder, no
working directory), so a bad input costs one line and exit status 1. Progress
comes from a counting proxy put in front of the detector the engine holds; the
engine's own lines are taken off standard output while it runs."""
from __future__ import annotations

import logging
import os
import sys
from typing import TYPE_CHECKING, Any, Dict, List, Optional, Union

from .errors import EXIT_OK, CommandError, UsageError
from .live import RESTART, CountingDetector, LiveState, engine_lines
from .native import NativeLines
from .probe import frame_count, native_stderr_quiet, picture_problem, stream_problem, video_problem
from .progress import StreamStatus, VideoProgress, counted, rate
from .secrets import mask_address
from .storage.pictures import EngineWrites, Trouble, quiet_engine_write_warnings

if TYPE_CHECKING:
    import main as engine_module

log = logging.getLogger("visionengin")

# What the behaviour table's columns mean to the detector; printed by `behaviours`.
COLUMNS = (
    ("threshold", "behavior_threshold: the lowest detector score that counts as a hit "
                  "(--threshold)"),
    ("alarm_num", "alarm_num: hits in a row before an alarm picture is made"),
    ("alarm_time", "alarm_time: least seconds between two alarm pictures of the behaviour "
                   "(--alarm-interval); with --activate the detector SDK pushes alarms at "
                   "once, as if it were 0"),
)


def selection(text: Optional[str], table: Dict[str, Any]) -> Optional[List[str]]:
    """The behaviour keys of --bev, in order; bad usage when empty, doubled or unknown."""
    if text is None:
        return None
    keys = [key.strip() for key in text.split(",")]
    if not any(keys):
        raise UsageError("--bev {!r} selects no behaviour".format(text))
    if "" in keys:
        raise UsageError("--bev {!r} has an empty entry".format(text))
    twice = sorted({key for key in keys if keys.count(key) > 1})
    if twice:
        raise UsageError("behaviour {} given twice in --bev".format(", ".join(twice)))
    unknown = [key for key in keys if key not in table]
    if unknown:
        known = list(table)
        raise UsageError("unknown behaviour {} in --bev (known: {})".format(
            ", ".join(repr(key) for key in unknown),
            "{} to {}".format(known[0], known[-1]) if known else "none"))
    return keys


def tune(table: Dict[str, Any], keys: List[str], args: Any) -> None:
    """--threshold and --alarm-interval, written into the selected rows for this run."""
    for key in keys:
        if args.threshold is not None:
            table[key]["behavior_threshold"] = args.threshold
        if args.alarm_interval is not None:
            seconds = args.alarm_interval
            table[key]["alarm_time"] = int(seconds) if float(seconds).is_integer() else seconds


_WRITES: List[EngineWrites] = []  # this run's checked picture writes


def report(counter: CountingDetector, folder: str, picture: bool = False) -> None:
    """Alarm pictures written, per info type, and where: those on disk, as
    the checked writes saw them, not those the detector asked for."""
    where = os.path.join(os.getcwd(), folder) + os.sep
    counts: Any = _WRITES[0] if _WRITES else counter
    if _WRITES and _WRITES[0].failed_count:
        print("{} could not be written: {}".format(counted(_WRITES[0].failed_count, "alarm picture"),
                                                  _WRITES[0].trouble.reason or "see the warnings"))
    total = counts.alarms
    if not total:
        print("no alarm pictures written (results go to {})".format(where))
        return
    print("{} written to {}".format(counted(total, "alarm picture"), where))
    width = max(len(kind) for kind in counts.by_type)
    for kind, count in sorted(counts.by_type.items()):
        print("  {:<{}}  {}{}".format(kind, width, count, "  ({}.jpg)".format(kind) if picture else ""))


def run_behaviours(table: Dict[str, Any], bev: Optional[List[str]]) -> None:
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


class FaceAnswers:
    """Stands for the engine's face component and keeps its last answer."""

    def __init__(self, face: Any) -> None:
        self._face = face
        self.answer: Any = None

    def register(self, im: Any, name: Any) -> Any:
        self.answer = self._face.register(im, name)
        return self.answer

    def __getattr__(self, name: str) -> Any:
        return getattr(self._face, name)


def registered_faces(cache: str) -> List[str]:
    """The names of the faces kept in the cache (faces/NAME.png)."""
    try:
        files = os.listdir(os.path.join(cache, "faces"))
    except OSError:
        return []
    return [name[:-len(".png")] for name in files if name.endswith(".png")]


def run_register(engine: Any, args: Any) -> None:
    before = registered_faces(args.cache)  # the name may be the engine's default: known after
    faces = FaceAnswers(engine.face_handle)
    engine.face_handle = faces
    with engine_lines(lambda line: True):  # the raw answer is presented below instead
        if args.name is None:
            engine.register(args.path)
        else:
            engine.register(args.path, args.name)
    answer = faces.answer
    if not hasattr(answer, "get"):
        print(answer)
        return
    name = answer.get("name", args.name)
    if answer.get("code", 0) != 0:
        raise CommandError("cannot register {} as {!r}: {}".format(
            args.path, name, answer.get("msg") or "the face component's code {}".format(answer.get("code"))))
    print("registered {!r} from {}{}".format(
        name, args.path, " into {}".format(answer["path"]) if answer.get("path") else ""))
    if str(name) in before:
        print("replaced the face registered as {!r}".format(name))


def run_video(engine: Any, counter: CountingDetector, args: Any, bev: Optional[List[str]]) -> None:
    total = frame_count(args.path)
    bar = VideoProgress(counter, total, args.t)
    ended = False
    try:
        engine.test_video(args.path, args.t, bev)
        ended = True
    finally:  # also after Ctrl-C and SIGTERM: what was written is told
        seconds = bar.finish(ended)
        read = max(total, counter.calls * args.t) if ended else counter.calls * args.t
        print("{} analysed ({}) of {} read in {:.1f} s, {:.1f} analysed frames/s".format(
            counted(counter.calls, "frame"), "every frame" if args.t == 1 else "one frame in {}".format(args.t),
            read, seconds, rate(counter.calls, seconds)))
        report(counter, "video_result")
    if not counter.calls:
        log.warning("nothing analysed: -t %d is past the end of the video (%s)", args.t,
                    counted(total, "frame") if total else "fewer frames than that")


def run_stream(engine: Any, counter: CountingDetector, state: LiveState, args: Any,
               bev: Optional[List[str]]) -> None:
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
        report(counter, "rtsp_result")


def stream_address(addr: str) -> Union[str, int]:
    """A camera index as the integer OpenCV wants; a file as an absolute path."""
    if addr.isdigit():
        return int(addr)
    return os.path.abspath(addr) if os.path.exists(addr) else addr


def check_inputs(args: Any) -> None:
    """Every input checked before anything is written."""
    if os.path.exists(args.cache) and not os.path.isdir(args.cache):
        raise CommandError("--cache {} is not a folder".format(args.cache))
    if args.workdir is not None and os.path.exists(args.workdir) and not os.path.isdir(args.workdir):
        raise CommandError("--workdir {} is not a folder".format(args.workdir))
    problem = None
    if args.command in ("pic", "register"):
        args.native = NativeLines(args.path)
        with args.native.captured() as lines:
            problem = picture_problem(args.path)
        # a picture refused is told by the error; one read is told by a warning
        args.native.tell(lines, logging.DEBUG if problem else logging.WARNING)
    elif args.command == "video":
        with native_stderr_quiet(not args.debug):
            problem = video_problem(args.path)
    elif args.command == "stream":
        problem = stream_problem(args.addr, mask_address(str(args.addr)))
        if problem and args.keep_trying:
            log.warning("%s; retrying until stopped (--keep-trying)", problem)
            problem = None
    if problem:
        raise CommandError(problem)


def build_engine(module: Any, args: Any) -> "engine_module.VisionEngin":
    """The engine ends the process with status 0 after "init failed": that is a failure here."""
    failed: List[str] = []

    def take(line: str) -> bool:
        if line.strip() == "init failed":
            failed.append(line)
            return True
        return False

    try:
        with engine_lines(take):
            engine: engine_module.VisionEngin = module.VisionEngin(
                cuda=args.cuda, activate=args.activate, cache=args.cache)
            return engine
    except SystemExit:
        raise CommandError("the detector could not be set up (the engine says \"init failed\"; "
                           "--cache {})".format(args.cache)) from None


def run(args: Any) -> int:
    import main as module  # the engine, imported as any host imports it

    table = module.devBehavior
    bev = selection(args.bev, table)
    if args.command == "behaviours":
        tune(table, list(table) if bev is None else bev, args)
        run_behaviours(table, bev)
        return EXIT_OK

    if hasattr(args, "path"):
        args.path = os.path.abspath(args.path)  # relative to where the command starts
    if hasattr(args, "addr"):
        args.addr = stream_address(args.addr)
    args.cache = os.path.abspath(os.path.expanduser(args.cache))
    check_inputs(args)
    if args.workdir is not None:
        try:
            os.makedirs(args.workdir, exist_ok=True)
            os.chdir(args.workdir)
        except OSError as error:
            raise CommandError("cannot use --workdir {}: {}".format(
                args.workdir, error.strerror or error)) from None

    tune(table, list(table) if bev is None else bev, args)
    engine = build_engine(module, args)
    if args.command == "register":
        with args.native.captured() as lines:  # the engine reads the picture again
            run_register(engine, args)
        args.native.tell(lines)
        return EXIT_OK
    state = LiveState()
    counter = CountingDetector(engine.predict, state.answer)
    engine.predict = counter
    import cv2  # the engine's own: its pictures are written through checked writes

    quiet_engine_write_warnings()
    _WRITES[:] = [EngineWrites(cv2, Trouble("alarm pictures", log), record=False).__enter__()]
    if args.command == "pic":
        with args.native.captured() as lines:
            engine.test_pic(args.path, bev)
        args.native.tell(lines)
        report(counter, "pic_result", picture=True)
    elif args.command == "video":
        run_video(engine, counter, args, bev)
    else:
        run_stream(engine, counter, state, args, bev)
    sys.stdout.flush()
    return EXIT_OK
