"""The camera template: one process that has imported what every camera
process needs (the interpreter's stack, NumPy, OpenCV, the engine, the
stand-in detector, the camera runner) and forks a camera process on request,
so cameras share those pages and a restart skips the imports.

Started by the supervisor (``cameras.forking``) with its end of a Unix
SOCK_SEQPACKET socket pair as the first argument. It sends one JSON message
once loaded ({"ready": pid} or {"error": why}), then serves requests: a JSON
message {"cwd", "env"} with the camera's stdin, stdout and stderr and its
folder lock as SCM_RIGHTS descriptors. It answers {"pid": n} or {"error":
why}. The camera is forked twice (the middle process ends at once), so it is
re-parented to the supervisor, a child subreaper, which waits for it as its
own child. The template holds no thread of its own: a fork copies only the
calling thread, and a lock held by another would stay held in the child for
good; it refuses to fork when it finds more than one.

The socket's end (the supervisor gone) ends the template.
"""
from __future__ import annotations

import array
import gc
import importlib
import json
import os
import socket
import sys
from typing import Any, Dict, List, Optional, Tuple

MESSAGE = 1 << 20  # largest request (the environment is most of it)
FDS = 4  # stdin, stdout, stderr, folder lock


def say(level: str, text: str) -> None:
    """A "LEVEL: message" line for the supervisor, which logs it."""
    try:
        sys.stderr.write("{}: {}\n".format(level, " ".join(text.split("\n"))))
        sys.stderr.flush()
    except (OSError, ValueError):
        pass


def threads() -> int:
    try:
        return len(os.listdir("/proc/self/task"))
    except OSError:
        return 1  # no /proc: nothing here starts a thread


def in_folder(base: str, module: str) -> bool:
    """Whether ``module`` would be found in the configuration's folder, where
    each camera looks first: those are imported by the camera itself."""
    top = module.partition(".")[0]
    return any(os.path.exists(os.path.join(base, top + end)) for end in ("", ".py", ".pyc")) or \
        any(name.startswith(top + ".") for name in _listing(base))


def _listing(base: str) -> List[str]:
    try:
        return os.listdir(base)
    except OSError:
        return []


def preload(detectors: List[Tuple[str, str]]) -> None:
    """The engine and what the cameras' detectors need, imported once."""
    import cv2  # noqa: F401
    import numpy  # noqa: F401

    from ..engine.construction import load

    load()  # the engine; it imports the stand-in SDK
    from . import runner  # noqa: F401
    from .. import probe  # noqa: F401  (the stream check's)
    try:
        import setproctitle  # noqa: F401
    except ImportError:
        pass
    for base, module in detectors:
        if base and in_folder(base, module):
            continue
        try:
            importlib.import_module(module)
        except Exception as error:  # noqa: BLE001 - the camera imports it and tells why
            say("DEBUG", "{} not preloaded: {}: {}".format(
                module, type(error).__name__, error))


def receive(sock: socket.socket) -> Tuple[Optional[Dict[str, Any]], List[int]]:
    data, ancillary, _, _ = sock.recvmsg(MESSAGE, socket.CMSG_SPACE(FDS * array.array("i").itemsize))
    fds: List[int] = []
    for level, kind, payload in ancillary:
        if level == socket.SOL_SOCKET and kind == socket.SCM_RIGHTS:
            received = array.array("i")
            received.frombytes(payload[:len(payload) - len(payload) % received.itemsize])
            fds.extend(received)
    if not data:
        return None, fds
    try:
        request = json.loads(data)
    except ValueError:
        request = {}
    return request if isinstance(request, dict) else {}, fds


def camera(sock: socket.socket, request: Dict[str, Any], fds: List[int]) -> None:
    """In the grandchild: become the camera process; never returns."""
    status = 1
    try:
        sock.close()
        for target, fd in enumerate(fds[:3]):
            os.dup2(fd, target)
        for fd in fds[:3]:
            if fd > 2:
                os.close(fd)
        os.chdir(str(request["cwd"]))
        env = request.get("env")
        if isinstance(env, dict):
            os.environ.clear()
            os.environ.update({str(k): str(v) for k, v in env.items()})
        from .runner import main as run_camera

        run_camera()  # ends the process itself
        status = 0
    except SystemExit as exit_:
        if isinstance(exit_.code, int):
            status = exit_.code
        elif exit_.code is not None:
            say("ERROR", str(exit_.code))
    except BaseException as error:  # noqa: BLE001 - one line, the supervisor restarts us
        say("ERROR", "{}: {}".format(type(error).__name__, error))
    finally:
        try:
            sys.stderr.flush()
        finally:
            os._exit(status)


def fork(sock: socket.socket, request: Dict[str, Any], fds: List[int]) -> Dict[str, Any]:
    """Forks the camera through a middle process; its pid, or why not."""
    if len(fds) < 3 or not isinstance(request.get("cwd"), str):
        return {"error": "a request without the camera's folder or pipes"}
    running = threads()
    if running > 1:
        return {"error": "{} threads in the template; it forks with one only".format(running)}
    sys.stderr.flush()
    told, tell = os.pipe()
    middle = os.fork()
    if middle == 0:
        try:
            os.close(told)
            os.setsid()  # a session of its own, as the camera had when started afresh
            pid = os.fork()
            if pid == 0:
                os.close(tell)
                camera(sock, request, fds)
            os.write(tell, str(pid).encode())
        finally:
            os._exit(0)
    os.close(tell)
    answer = b""
    while True:
        chunk = os.read(told, 32)
        if not chunk or len(answer) > 32:
            break
        answer += chunk
    os.close(told)
    os.waitpid(middle, 0)
    try:
        return {"pid": int(answer)}
    except ValueError:
        return {"error": "the camera process could not be forked"}


def serve(sock: socket.socket) -> None:
    while True:
        try:
            request, fds = receive(sock)
        except OSError:
            return
        try:
            if request is None:
                return
            try:
                answer = fork(sock, request, fds)
            except OSError as error:
                answer = {"error": "cannot fork: {}".format(error.strerror or error)}
            sock.send(json.dumps(answer).encode())
        except OSError:
            return
        finally:
            for fd in fds:  # the camera has its own; the template keeps none
                try:
                    os.close(fd)
                except OSError:
                    pass


def main() -> None:
    sock = socket.socket(fileno=int(sys.argv[1]))
    try:
        detectors = [(str(b), str(m)) for b, m in json.loads(sys.argv[2])]
    except (IndexError, ValueError, TypeError):
        detectors = []
    try:
        import setproctitle

        setproctitle.setproctitle("visionengin cameras template")
    except ImportError:
        pass
    try:
        preload(detectors)
    except Exception as error:  # noqa: BLE001 - told; the cameras start afresh then
        sock.send(json.dumps({"error": "{}: {}".format(type(error).__name__, error)}).encode())
        return
    gc.collect()
    gc.freeze()  # the collector leaves the shared objects' pages alone in the cameras
    running = threads()
    if running > 1:
        sock.send(json.dumps({"error": "{} threads after the imports".format(running)}).encode())
        return
    sock.send(json.dumps({"ready": os.getpid()}).encode())
    serve(sock)
