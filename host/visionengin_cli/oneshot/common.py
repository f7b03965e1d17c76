"""What the one-shot commands share: the selection of behaviours, every input
checked before anything is written (no result folder, no working directory),
so that a bad input costs one line and exit status 1, the engine built with
its tap and checked picture writes, and the report of the pictures written."""
from __future__ import annotations

import contextlib
import logging
import os
from typing import TYPE_CHECKING, Any, Callable, Iterator, List, Optional, Tuple

from ..engine.behaviours import Table, behaviour_table, selection, tune
from ..engine.construction import build_engine
from ..engine.contract import picture_file
from ..engine.tap import OnAnswer, Tap
from ..engine.writes import EngineWrites, checked_writes, quiet_engine_write_warnings
from ..errors import CommandError
from ..native import NativeLines
from ..probe import picture_problem
from ..progress import counted
from ..storage.pictures import Trouble

if TYPE_CHECKING:
    from ..engine.construction import Engine

log = logging.getLogger("visionengin")


def selected(args: Any) -> Tuple[Table, Optional[List[str]]]:
    """The engine's behaviour table and the keys of --bev (imports the engine)."""
    table = behaviour_table()
    return table, selection(args.bev, table)


def tuned(table: Table, bev: Optional[List[str]], args: Any) -> None:
    """--threshold and --alarm-interval, written into the selected rows for this run."""
    tune(table, bev, {"threshold": args.threshold, "alarm_interval": args.alarm_interval})


def engine_for(args: Any, table: Table, bev: Optional[List[str]],
               problem: Callable[[], Optional[str]]) -> "Engine":
    """The engine, once every input is checked (``problem``: the command's
    own input, None when fine) and the run is in --workdir."""
    args.cache = os.path.abspath(os.path.expanduser(args.cache))
    if os.path.exists(args.cache) and not os.path.isdir(args.cache):
        raise CommandError("--cache {} is not a folder".format(args.cache))
    if args.workdir is not None and os.path.exists(args.workdir) and not os.path.isdir(args.workdir):
        raise CommandError("--workdir {} is not a folder".format(args.workdir))
    found = problem()
    if found:
        raise CommandError(found)
    if args.workdir is not None:
        try:
            os.makedirs(args.workdir, exist_ok=True)
            os.chdir(args.workdir)
        except OSError as error:
            raise CommandError("cannot use --workdir {}: {}".format(
                args.workdir, error.strerror or error)) from None
    tuned(table, bev, args)
    return build_engine({"cuda": args.cuda, "activate": args.activate, "cache": args.cache})


def picture_check(native: NativeLines, path: str) -> Optional[str]:
    """What is wrong with the picture ``path``; libjpeg's lines about it are
    told by the error when it is refused, by a warning when it is read."""
    with native.captured() as lines:
        problem = picture_problem(path)
    native.tell(lines, logging.DEBUG if problem else logging.WARNING)
    return problem


@contextlib.contextmanager
def tapped(engine: "Engine",
           on_answer: Optional[OnAnswer] = None) -> Iterator[Tuple[Tap, EngineWrites]]:
    """While inside, the engine's detector is tapped (each answer's alarms to
    ``on_answer``) and its pictures are written through checked writes."""
    tap = Tap(engine.predict, on_answer=on_answer)
    engine.predict = tap
    quiet_engine_write_warnings()
    writes = checked_writes(Trouble("alarm pictures", log), record=False)
    try:
        yield tap, writes
    finally:
        writes.__exit__()


def report(writes: EngineWrites, folder: str, picture: bool = False) -> None:
    """Alarm pictures written, per info type, and where: those on disk, as
    the checked writes saw them, not those the detector asked for."""
    where = os.path.join(os.getcwd(), folder) + os.sep
    if writes.failed_count:
        print("{} could not be written: {}".format(counted(writes.failed_count, "alarm picture"),
                                                  writes.trouble.reason or "see the warnings"))
    total = writes.alarms
    if not total:
        print("no alarm pictures written (results go to {})".format(where))
        return
    print("{} written to {}".format(counted(total, "alarm picture"), where))
    width = max(len(kind) for kind in writes.by_type)
    for kind, count in sorted(writes.by_type.items()):
        print("  {:<{}}  {}{}".format(kind, width, count,
                                      "  ({})".format(picture_file(kind)) if picture else ""))
