"""The one way state files (status.json, ledgers, done.json, device.json,
collector.json, pictures a collector keeps) are written: a temporary file
with a unique name in the same folder, fsync, rename over the old one, and
an fsync of the folder, so that after a crash or a power cut a reader finds
the previous whole file or the new whole one, never a mix or nothing.

A file whose state must still be told on a full disk (``in_place_when_full``:
a camera's status.json says "disk full") is rewritten in place when no new
file can be made: its blocks are already there, and a reader that meets the
moment of the rewrite skips one reading."""
from __future__ import annotations

import errno
import itertools
import json
import os
import threading
from typing import Any

from .pictures import Buffer, write_all

_numbers = itertools.count(1)
_numbers_lock = threading.Lock()


def temporary_name(path: str) -> str:
    """A name beside ``path`` no other writer (process or thread) uses."""
    with _numbers_lock:
        number = next(_numbers)
    return "{}.{}.{}.tmp".format(path, os.getpid(), number)


def replace_file(path: str, data: Buffer, in_place_when_full: bool = False,
                 sync_folder: bool = True) -> None:
    """``data`` as the whole file ``path``, replaced atomically and durably.
    Raises OSError when it cannot be; no temporary file is left behind."""
    tmp = temporary_name(path)
    try:
        fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_CLOEXEC, 0o644)
        try:
            write_all(fd, data)
            os.fsync(fd)
        finally:
            os.close(fd)
        os.replace(tmp, path)
    except OSError as error:
        _remove(tmp)
        if not (in_place_when_full and error.errno in (errno.ENOSPC, errno.EDQUOT)
                and os.path.exists(path)):
            raise
        _rewrite_in_place(path, data)
        return
    except BaseException:
        _remove(tmp)
        raise
    if sync_folder:
        sync_folder_of(path)


def replace_json(path: str, value: Any, in_place_when_full: bool = False,
                 **dump: Any) -> None:
    """``value`` as one JSON line in ``path`` (``dump``: json.dumps' options;
    non-ASCII kept as it is unless told otherwise)."""
    dump.setdefault("ensure_ascii", False)
    replace_file(path, (json.dumps(value, **dump) + "\n").encode("utf-8"), in_place_when_full)


def sync_folder_of(path: str) -> None:
    """fsync of the folder holding ``path``: its new name survives a power cut."""
    fd = os.open(os.path.dirname(path) or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def _rewrite_in_place(path: str, data: Buffer) -> None:
    fd = os.open(path, os.O_WRONLY | os.O_CLOEXEC)
    try:
        os.pwrite(fd, data, 0)
        os.ftruncate(fd, len(data))
        os.fsync(fd)
    finally:
        os.close(fd)


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except OSError:
        pass
