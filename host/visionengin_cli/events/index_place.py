"""Where the index over a results root's event log is kept: never under the
root (the page writes nothing there), but in the reading process's own
state folder ($STATE_DIRECTORY under systemd), else the user's cache folder
($XDG_CACHE_HOME/visionengin, else ~/.cache/visionengin). The index is a
cache of the log: losing it costs one rebuild, nothing else. One file per
root and kind, named by a digest of the root's real path."""
from __future__ import annotations

import hashlib
import os
from typing import Mapping


def index_folder(environ: Mapping[str, str]) -> str:
    given = environ.get("STATE_DIRECTORY", "").split(":")[0]
    if os.path.isabs(given):
        return given
    base = environ.get("XDG_CACHE_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".cache")
    return os.path.join(base, "visionengin")


def index_path(root: str, kind: str, environ: Mapping[str, str]) -> str:
    """The index file of ``root`` (a real path) read as ``kind`` ("device"
    or "fleet")."""
    digest = hashlib.sha256(root.encode("utf-8", "surrogateescape")).hexdigest()[:20]
    return os.path.join(index_folder(environ), "events-index-{}-{}.sqlite".format(digest, kind))
