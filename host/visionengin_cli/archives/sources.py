"""Which videos a run analyses and where each one's results go.

Paths on the command line and in a ``--from`` list may be files (taken as they
are, whatever their suffix) or folders (searched, sub-folders too, for files
with a video suffix). Each video gets a folder under the results root named by
a readable part of its file name and a short hash of its absolute path, so two
``clip.mp4`` in different folders never share one."""
from __future__ import annotations

import hashlib
import os
import re
import sys
from typing import Iterable, List, NamedTuple, Optional

VIDEO_SUFFIXES = frozenset((
    ".mp4", ".m4v", ".mov", ".avi", ".mkv", ".webm", ".mpg", ".mpeg", ".ts", ".mts", ".m2ts",
    ".wmv", ".flv", ".3gp", ".mjpeg", ".mjpg", ".h264", ".264", ".h265", ".265", ".hevc"))
NAME_LENGTH = 40


class Video(NamedTuple):
    given: str     # the path as the user gave it (or as found under a folder given)
    path: str      # absolute
    folder: str    # its folder's name under the results root


def folder_name(path: str) -> str:
    stem = os.path.splitext(os.path.basename(path))[0]
    readable = re.sub(r"[^A-Za-z0-9._-]+", "_", stem).strip("._-")[:NAME_LENGTH] or "video"
    digest = hashlib.sha1(os.fsencode(os.path.abspath(path))).hexdigest()[:8]
    return "{}-{}".format(readable, digest)


def read_list(name: str) -> List[str]:
    """The paths of a ``--from`` file ("-": standard input), one a line; blank
    lines and lines starting with "#" are skipped."""
    if name == "-":
        lines: Iterable[str] = sys.stdin.read().splitlines()
    else:
        with open(name, encoding="utf-8", errors="surrogateescape") as file:
            lines = file.read().splitlines()
    return [line.strip() for line in lines if line.strip() and not line.lstrip().startswith("#")]


def _search(folder: str) -> List[str]:
    found: List[str] = []
    for top, dirs, files in os.walk(folder):
        dirs[:] = sorted(d for d in dirs if not d.startswith("."))
        found.extend(os.path.join(top, name) for name in sorted(files)
                     if os.path.splitext(name)[1].lower() in VIDEO_SUFFIXES)
    return found


def gather(paths: Iterable[str], results: Optional[str] = None) -> List[Video]:
    """The videos of ``paths`` in the order given, each once. A path that does not
    exist is kept (its analysis fails with the reason, the others go on); a folder
    is searched, but never the results root itself."""
    videos: List[Video] = []
    seen = set()
    skip = os.path.realpath(results) if results else None
    for given in paths:
        if os.path.isdir(given):
            if skip is not None and os.path.realpath(given) == skip:
                continue
            found = [path for path in _search(given) if skip is None
                     or os.path.commonpath([os.path.realpath(path), skip]) != skip]
        else:
            found = [given]
        for path in found:
            absolute = os.path.abspath(path)
            if absolute not in seen:
                seen.add(absolute)
                videos.append(Video(path, absolute, folder_name(absolute)))
    return videos
