"""The supervisor's side of the camera template (``cameras.template``):
starting it, asking it for camera processes, and ``Forked``, which stands in
for ``subprocess.Popen`` for a camera process it forked.

The supervisor marks itself a child subreaper (Linux), so a camera forked by
the template through a middle process that ends at once becomes the
supervisor's own child: it is waited for, signalled and its status read just
as a process the supervisor started itself. A template that ends is started
again (after a back-off when it keeps ending); while there is none, or when
it cannot be used at all, a camera starts as a fresh interpreter, as before,
and the log says so once.
"""
from __future__ import annotations

import array
import ctypes
import json
import logging
import os
import select
import signal
import socket
import subprocess
import sys
import threading
import time
from typing import IO, Any, Dict, Iterable, List, Optional, Set, Tuple

log = logging.getLogger("visionengin.cameras")
PR_SET_CHILD_SUBREAPER = 36
READY_LIMIT = 60.0  # seconds the template may take to import everything
ANSWER_LIMIT = 5.0  # seconds for the answer to a fork request
FIRST_DELAY, MAX_DELAY, STABLE = 1.0, 60.0, 60.0
# "-c", not "-m": sys.path must not start with the working directory (a stray main.py).
CODE = ("import sys; del sys.path[0]; "
        "from visionengin_cli.cameras.template import main; main()")
SWITCH = "VISIONENGIN_CAMERA_TEMPLATE"  # "0": every camera starts as a fresh interpreter


class Forked:
    """A camera process forked by the template, a child of ours: what the
    supervisor uses of ``subprocess.Popen``."""

    def __init__(self, pid: int, stdin: IO[bytes], stdout: IO[bytes], stderr: IO[bytes]) -> None:
        self.pid, self.stdin, self.stdout, self.stderr = pid, stdin, stdout, stderr
        self.returncode: Optional[int] = None

    def poll(self) -> Optional[int]:
        if self.returncode is None:
            try:
                pid, status = os.waitpid(self.pid, os.WNOHANG)
            except ChildProcessError:  # reaped elsewhere: as Popen takes it
                self.returncode = 0
                return 0
            if pid == self.pid:
                self.returncode = -os.WTERMSIG(status) if os.WIFSIGNALED(status) \
                    else os.WEXITSTATUS(status)
        return self.returncode

    def wait(self, timeout: Optional[float] = None) -> int:
        deadline = None if timeout is None else time.monotonic() + timeout
        pause = 0.0005
        while self.poll() is None:
            if deadline is not None and time.monotonic() >= deadline:
                raise subprocess.TimeoutExpired("camera process {}".format(self.pid), timeout or 0.0)
            pause = min(pause * 2, 0.05)
            time.sleep(pause if deadline is None else max(0.0, min(pause, deadline - time.monotonic())))
        assert self.returncode is not None
        return self.returncode

    def send_signal(self, number: int) -> None:
        if self.poll() is None:  # never a pid that may have been reused
            os.kill(self.pid, number)

    def kill(self) -> None:
        self.send_signal(signal.SIGKILL)


def _subreaper() -> Optional[str]:
    """Why the camera processes cannot become ours through the template, or None."""
    if not sys.platform.startswith("linux"):
        return "child subreapers are Linux's"
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        if libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) != 0:
            return "prctl(PR_SET_CHILD_SUBREAPER): " + os.strerror(ctypes.get_errno())
    except (OSError, AttributeError) as error:
        return "prctl: {}".format(error)
    return None


def _close(fds: Iterable[int]) -> None:
    for fd in fds:
        try:
            os.close(fd)
        except OSError:
            pass


class Template:
    """The template process, started when first wanted."""

    def __init__(self) -> None:
        self.proc: Optional[subprocess.Popen] = None  # type: ignore[type-arg]
        self.sock: Optional[socket.socket] = None
        self.ready = False
        self.started_at = 0.0  # monotonic
        self.retry_at = 0.0
        self.delay: Optional[float] = None
        self.unusable: Optional[str] = None  # for good, in words
        self.told = False  # the fresh start was told
        self.wanted: Optional[Tuple[Dict[str, str], List[Tuple[str, str]]]] = None  # its start
        if os.environ.get(SWITCH, "1") == "0":
            self.unusable = "{}=0".format(SWITCH)
            self.told = True  # asked for: nothing to tell

    @property
    def pid(self) -> Optional[int]:
        return self.proc.pid if self.proc is not None else None

    def usable(self, env: Dict[str, str], detectors: List[Tuple[str, str]], now: float) -> Optional[bool]:
        """True: ask it for the camera; False: start the camera afresh; None:
        it is still loading, the camera waits."""
        if self.unusable is not None:
            return self._fresh(self.unusable)
        self.wanted = (env, detectors)
        self.check(now)
        if self.proc is None:
            if now < self.retry_at:
                return self._fresh("the camera template is restarting")
            self._start(env, detectors, now)
            if self.proc is None:
                return self._fresh(self.unusable or "the camera template cannot start")
        if not self.ready:
            return None
        return True

    def _fresh(self, why: str) -> bool:
        if not self.told:
            self.told = True
            log.warning("camera processes start as fresh interpreters (%s), each importing "
                        "everything anew", why)
        return False

    def _start(self, env: Dict[str, str], detectors: List[Tuple[str, str]], now: float) -> None:
        why = _subreaper()
        if why is not None:
            self.unusable = why
            return
        # OpenBLAS (NumPy's, OpenCV's) starts a pool of threads when loaded,
        # unless told to use one: the template must hold none when it forks.
        env = dict(env)
        env.setdefault("OPENBLAS_NUM_THREADS", "1")
        ours, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        try:
            self.proc = subprocess.Popen(
                [sys.executable, "-c", CODE, str(theirs.fileno()), json.dumps(detectors)],
                env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                stderr=subprocess.PIPE, pass_fds=(theirs.fileno(),), start_new_session=True)
        except OSError as error:
            ours.close()
            self._failed(now, "cannot start: {}".format(error.strerror or error))
            return
        finally:
            theirs.close()
        self.sock, self.ready, self.started_at = ours, False, now
        threading.Thread(target=self._read_log, args=(self.proc,), name="template-log",
                         daemon=True).start()
        log.info("camera template started (pid %d)", self.proc.pid)

    def check(self, now: float) -> None:
        """Notice its readiness and its end; restart it after a back-off."""
        if self.proc is None and self.wanted is not None and self.unusable is None \
                and now >= self.retry_at:
            self._start(self.wanted[0], self.wanted[1], now)
        if self.proc is None or self.sock is None:
            return
        status = self.proc.poll()
        if status is not None:
            how = "killed by signal {}".format(-status) if status < 0 else "status {}".format(status)
            self._failed(now, "ended ({})".format(how))
            return
        if self.ready:
            return
        try:
            if select.select([self.sock], [], [], 0)[0]:
                message = json.loads(self.sock.recv(65536) or b"{}")
                if isinstance(message, dict) and "ready" in message:
                    self.ready = True
                    log.info("camera template ready (pid %d) after %.1f s", self.proc.pid,
                             now - self.started_at)
                    return
                error = message.get("error") if isinstance(message, dict) else None
                # what it met while loading, a new one would meet again
                self.close(for_good=True)
                self.unusable = "the camera template cannot be used: {}".format(
                    error or "no ready message")
                self._fresh(self.unusable)
                return
        except (OSError, ValueError) as error:
            self._failed(now, "cannot be used: {}".format(error))
            return
        if now - self.started_at > READY_LIMIT:
            self._failed(now, "not loaded within {:.0f} s".format(READY_LIMIT))

    def _failed(self, now: float, why: str) -> None:
        ran = now - self.started_at if self.proc is not None else 0.0
        self.close(for_good=False)
        self.delay = FIRST_DELAY if ran >= STABLE or self.delay is None \
            else min(MAX_DELAY, self.delay * 2)
        self.retry_at = now + self.delay
        log.warning("camera template %s; a new one in %.0f s, cameras start afresh meanwhile",
                    why, self.delay)

    def spawn(self, folder: str, env: Dict[str, str], lock_fd: int, now: float) -> Optional[Forked]:
        """A camera process forked in ``folder``, or None (told) when the
        template did not give one; the camera then starts afresh."""
        assert self.sock is not None
        ends = [os.pipe(), os.pipe(), os.pipe()]  # stdin, stdout, stderr: (read, write)
        child = [ends[0][0], ends[1][1], ends[2][1]]
        mine = [ends[0][1], ends[1][0], ends[2][0]]
        try:
            request = json.dumps({"cwd": folder, "env": env}).encode("utf-8")
            fds = array.array("i", child + ([lock_fd] if lock_fd >= 0 else []))
            self.sock.settimeout(ANSWER_LIMIT)
            self.sock.sendmsg([request], [(socket.SOL_SOCKET, socket.SCM_RIGHTS, fds)])
            answer = json.loads(self.sock.recv(65536) or b"{}")
        except (OSError, ValueError) as error:
            _close(mine)
            self._failed(now, "did not answer: {}".format(error))
            return None
        finally:
            _close(child)
            if self.sock is not None:
                self.sock.settimeout(None)
        pid = answer.get("pid") if isinstance(answer, dict) else None
        if not isinstance(pid, int) or pid <= 0:
            _close(mine)
            refusal = answer.get("error") if isinstance(answer, dict) else None
            self._failed(now, "did not fork: {}".format(refusal or "no answer"))
            return None
        return Forked(pid, os.fdopen(mine[0], "wb"), os.fdopen(mine[1], "rb"),
                      os.fdopen(mine[2], "rb"))

    def close(self, for_good: bool = True) -> None:
        """Ends it: the socket's end tells it to go; SIGKILL if it does not."""
        if for_good:
            self.wanted = None
        if self.sock is not None:
            self.sock.close()
            self.sock = None
        if self.proc is not None:
            try:  # a stopped or wedged template must not hold the supervisor up for long
                self.proc.wait(1.0)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
            if self.proc.stderr is not None:
                self.proc.stderr.close()
            self.proc = None
        self.ready = False

    def _read_log(self, proc: subprocess.Popen) -> None:  # type: ignore[type-arg]
        assert proc.stderr is not None
        try:
            for raw in proc.stderr:
                text = raw.decode("utf-8", "replace").rstrip()
                level, sep, message = text.partition(": ")
                number = logging.getLevelName(level) if sep else None
                if isinstance(number, int):
                    log.log(number, "camera template: %s", message)
                elif text:
                    log.warning("camera template: %s", text)
        except (OSError, ValueError):  # closed by close()
            pass


def reap_strangers(known: Set[int]) -> None:
    """A subreaper inherits every orphan below it (a detector's own helper
    processes, say): those that ended are reaped, never one of ours."""
    try:
        tasks = os.listdir("/proc/self/task")
    except OSError:
        return
    children: Set[int] = set()
    for task in tasks:
        try:
            with open("/proc/self/task/{}/children".format(task)) as file:
                children.update(int(pid) for pid in file.read().split())
        except (OSError, ValueError):
            continue
    for pid in children - known:
        try:
            with open("/proc/{}/stat".format(pid), "rb") as file:
                stat = file.read(4096)
        except OSError:
            continue
        if stat[stat.rfind(b")") + 2:][:1] == b"Z":
            try:
                os.waitpid(pid, os.WNOHANG)
            except ChildProcessError:
                pass


def detectors_of(settings: Iterable[Dict[str, Any]]) -> List[Tuple[str, str]]:
    """(configuration folder, detector module) of each camera, for the preload."""
    out: List[Tuple[str, str]] = []
    for each in settings:
        name = each.get("detector")
        if isinstance(name, str) and name:
            pair = (str(each.get("base") or ""), name.partition(":")[0])
            if pair not in out:
                out.append(pair)
    return out
