"""The engine's construction: one ``VisionEngin`` with the detector of the
host's choice. After "init failed" (its detector could not be set up) the
engine calls exit(1); a command takes that as its error, a camera process
ends with it."""
from __future__ import annotations

from typing import TYPE_CHECKING, Any, List, Mapping, Optional

from ..errors import CommandError
from .contract import INIT_FAILED
from .lines import engine_lines

if TYPE_CHECKING:
    import main

    Engine = main.VisionEngin  # for the annotations of the host


def load() -> None:
    """The engine imported (and the detector SDK it imports), e.g. to be
    shared by the processes forked afterwards."""
    import main  # noqa: F401


def build_engine(options: Mapping[str, Any], detector: Optional[Any] = None,
                 exits: bool = False) -> "Engine":
    """A ``VisionEngin`` of ``options`` (cuda, activate, cache). ``detector``:
    the class (or function) it calls for its detector, in place of the SDK's
    ObjectDetect. "init failed" is a ``CommandError``, or with ``exits`` the
    engine's own exit, its line going on to standard output."""
    import main  # the engine, imported as any host imports it

    if detector is not None:
        main.ObjectDetect = detector
    if exits:
        return main.VisionEngin(**options)
    failed: List[str] = []

    def take(line: str) -> bool:
        if line.strip() == INIT_FAILED:
            failed.append(line)
            return True
        return False

    try:
        with engine_lines(take):
            return main.VisionEngin(**options)
    except SystemExit:
        raise CommandError("the detector could not be set up (the engine says \"init failed\"; "
                           "--cache {})".format(options.get("cache"))) from None
