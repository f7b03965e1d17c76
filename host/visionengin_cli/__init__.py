"""visionengin_cli: the ``visionengin`` command, a small host program of the engine.

It uses the engine module ``main`` exactly as any host does: one ``VisionEngin``
and its entry points (see ``visionengin --help`` and ``cli.py``).
"""
from __future__ import annotations

# SIGHUP and SIGTERM that came while ``visionengin cameras`` was still loading
# (the imports alone take a tenth of a second); the command takes them over
# once its own handlers are in place. Noted here, the first of our code the
# interpreter runs, with as little imported as can be (the C module, not
# ``signal``, which imports enum), so that a ``systemctl reload`` right after
# a start does not end the service.
import os as _os
import sys as _sys

_signal = __import__("_signal")

HELD: list[int] = []
HELD_SIGNALS = (_signal.SIGHUP, _signal.SIGTERM)


def _hold(signum, frame):  # type: (int, object) -> None
    HELD.append(signum)


def hold_signals():  # type: () -> None
    for number in HELD_SIGNALS:
        _signal.signal(number, _hold)


def holding():  # type: () -> bool
    return _signal.getsignal(_signal.SIGHUP) is _hold


if (_os.path.basename(_sys.argv[0] if _sys.argv else "") in ("visionengin", "__main__.py")
        and "cameras" in _sys.argv[1:]):
    hold_signals()
