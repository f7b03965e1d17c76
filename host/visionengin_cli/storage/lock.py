"""One owner per camera: a process runs a camera only while it holds an
``fcntl.flock`` on ``<camera>/.lock``, so the whole-file service, an
``--only`` unit and a run by hand can never run one camera twice.

The lock file holds the owner's PID, for the one line that refuses the
second. The camera process inherits the locked descriptor, so the folder
stays owned until the owner and its camera process have both gone (a
supervisor killed with SIGKILL leaves a camera process that needs a moment
to notice). The kernel drops the lock with the last descriptor: a crash
never leaves a stale lock. A lock whose named owner is gone is such a camera
process on its way out: it is waited for, a few seconds at most, so that a
restart right after a crash is not refused.

``locked_file`` is the one way a lock file is taken here, also for the
roots of ``videos`` and ``collect`` and the event log's rotation.
"""
from __future__ import annotations

import errno
import fcntl
import os
import time
from typing import Optional

NAME = ".lock"
ORPHAN_WAIT = 5.0  # seconds a lock whose owner is gone is waited for


class Busy(Exception):
    """The folder is owned by another process; ``pid`` is its PID when known."""

    def __init__(self, folder: str, pid: Optional[int]) -> None:
        super().__init__(folder, pid)
        self.folder, self.pid = folder, pid


def locked_file(path: str, wait: bool = False) -> Optional[int]:
    """The descriptor of the lock file ``path`` (made when missing) with an
    exclusive ``flock`` on it, or None when another holds it (``wait``:
    wait for it instead). The lock lasts until the descriptor is closed.
    OSError when the file cannot be opened."""
    fd = os.open(path, os.O_RDWR | os.O_CREAT | os.O_CLOEXEC, 0o644)
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | (0 if wait else fcntl.LOCK_NB))
    except OSError as error:
        os.close(fd)
        if error.errno in (errno.EWOULDBLOCK, errno.EAGAIN):
            return None
        raise
    return fd


class FolderLock:
    def __init__(self, folder: str) -> None:
        self.folder = folder
        self.path = os.path.join(folder, NAME)
        self.fd = -1

    def acquire(self) -> None:
        """Take the lock or raise ``Busy``; OSError when the folder cannot be made."""
        os.makedirs(self.folder, exist_ok=True)
        deadline = time.monotonic() + ORPHAN_WAIT
        while True:
            taken = locked_file(self.path)
            if taken is not None:
                fd = taken
                break
            pid = _pid_in(self.path)
            if (pid is not None and _alive(pid)) or time.monotonic() > deadline:
                raise Busy(self.folder, pid)
            time.sleep(0.1)
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


def is_held(folder: str) -> bool:
    """Whether a living process holds ``folder``'s lock now (one that does not
    exist is held by nobody; nothing is made)."""
    path = os.path.join(folder, NAME)
    try:
        fd = os.open(path, os.O_RDWR | os.O_CLOEXEC)
    except OSError:
        return False
    try:
        fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError as error:
        return error.errno in (errno.EWOULDBLOCK, errno.EAGAIN)
    finally:
        os.close(fd)
    return False


def _alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:  # another user's process
        return True
    return True


def _pid_in(path: str) -> Optional[int]:
    try:
        with open(path, "rb") as file:
            text = file.read(32).decode("ascii", "replace").strip()
    except OSError:
        return None
    return int(text) if text.isdigit() else None
