"""Option values every command parses the same way: numbers with their bounds,
face names and the user's cache folder."""
from __future__ import annotations

import argparse
import os
from typing import Any, Callable, Optional

from .errors import PROG

def default_cache() -> str:
    """The user's cache folder (XDG): $XDG_CACHE_HOME/visionengin or ~/.cache/visionengin."""
    base = os.environ.get("XDG_CACHE_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, PROG)


def number(kind: Callable[[str], Any], low: float, high: Optional[float] = None) -> Callable[[str], Any]:
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


positive_int = number(int, 1)


FACE_NAME_LENGTH = 60  # characters: even at four bytes each, "NAME.png" fits a file name


def face_name(text: str) -> str:
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


def common_options(with_defaults: bool) -> argparse.ArgumentParser:
    """The options every subcommand takes, before or after its name. The copy on
    the subcommands has no defaults, so it never hides a value given earlier."""

    def default(value: Any) -> Any:
        return value if with_defaults else argparse.SUPPRESS

    parser = argparse.ArgumentParser(add_help=False)
    group = parser.add_argument_group("common options")
    group.add_argument("--bev", metavar="KEYS", default=default(None),
                       help="behaviours to watch for, comma-separated "
                            "(e.g. 5000001,5000002; default: all; see `behaviours`)")
    group.add_argument("--threshold", metavar="VALUE", type=number(float, 0.0, 1.0),
                       default=default(None),
                       help="lowest detector score that counts, for the selected behaviours "
                            "(their behavior_threshold, for this run)")
    group.add_argument("--alarm-interval", metavar="SECONDS", type=number(float, 0.0),
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


