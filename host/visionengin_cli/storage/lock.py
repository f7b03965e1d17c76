"""One owner per camera: a process runs a camera only while it holds an
``fcntl.flock`` on ``<camera>/.lock``, so the whole-file service, an
``--only`` unit and a run by hand can never run one camera twice.

The lock file holds the owner's PID, for the one line that refuses the
second. The camera process inherits the locked descriptor, so the folder
stays owned until the owner and its camera process have both gone (a
supervisor killed with SIGKILL leaves a camera process that needs a moment
to notice). The kernel drops the lock with the last descriptor: a crash
never leaves a stale lock.
"""
from __future__ import annotations

import errno
import fcntl
import os
from typing import Optional

NAME = ".lock"


class Busy(Exception):
    """The folder is owned by another process; ``pid`` is its PID when known."""

    def __init__(self, folder: str, pid: Optional[int]) -> None:
        super().__init__(folder, pid)
        self.folder, self.pid = folder, pid


class FolderLock:
    def __init__(self, folder: str) -> None:
        self.folder = folder
        self.path = os.path.join(folder, NAME)
        self.fd = -1

    def acquire(self) -> None:
        """Take the lock or raise ``Busy``; OSError when the folder cannot be made."""
        os.makedirs(self.folder, exist_ok=True)
        fd = os.open(self.path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            os.close(fd)
            if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
                raise Busy(self.folder, _pid_in(self.path)) from None
            raise
        try:  # the PID is a courtesy for the refusal's message: a full disk does not stop us
            os.ftruncate(fd, 0)
            os.pwrite(fd, "{}\n".format(os.getpid()).encode(), 0)
        except OSError:
            pass
        self.fd = fd

    def release(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


def _pid_in(path: str) -> Optional[int]:
    try:
        with open(path, "rb") as file:
            text = file.read(32).decode("ascii", "replace").strip()
    except OSError:
        return None
    return int(text) if text.isdigit() else None
