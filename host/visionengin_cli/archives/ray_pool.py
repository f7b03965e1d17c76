"""Videos as tasks on a Ray cluster: one task per video, the video's bytes sent
with it, its pictures' bytes and alarms returned as data, so that no node needs
the driver's files or a shared file system; the driver writes the results.

Ray is an optional dependency (the extra ``visionengin[ray]``), imported only
here and only when ``--ray`` is given. Ray's own retries are off: a failed task
is retried once by the driver, as with local workers, so the reason is told the
same way."""
from __future__ import annotations

import importlib
import logging
import os
import shutil
import tempfile
import threading
from typing import Any, Dict, List, Optional, Tuple

from ..probe import native_stderr_quiet

log = logging.getLogger("visionengin.videos")
Event = Tuple[str, Any, Any]
CONNECT_SECONDS = 60.0  # joining a cluster; a busy head answers within seconds

NODE_COPY = "\0video\0"  # where a reason names the node's copy of the video
# The engine of a Ray worker process, kept between the tasks it runs.
_ANALYSERS: Dict[str, Any] = {}


def load_ray(debug: bool = False) -> Optional[Any]:
    """The ``ray`` module, or None when it is not installed. Ray's native log
    lines (its guess of this machine's address, say) stay off standard error
    unless debugging; values the user set are kept."""
    if not debug:
        os.environ.setdefault("RAY_BACKEND_LOG_LEVEL", "error")
    try:
        return importlib.import_module("ray")
    except ImportError:
        return None


def analyse_task(options: Dict[str, Any], data: bytes, suffix: str) -> Dict[str, Any]:
    """Runs on a cluster node: the video from its bytes, results as data."""
    from .analyse import Analyser, VideoFailed

    key = repr(sorted(options.items()))
    if key not in _ANALYSERS:
        _ANALYSERS.clear()
        _ANALYSERS[key] = Analyser(options)
    folder = tempfile.mkdtemp(prefix="visionengin-video-")
    try:
        video = os.path.join(folder, "video" + suffix)
        with open(video, "wb") as file:
            file.write(data)
        del data
        workdir = os.path.join(folder, "work")
        try:
            result = _ANALYSERS[key].analyse(video, workdir)
        except VideoFailed as error:  # told with the driver's path, not the node's copy
            return {"failed": str(error).replace(video, NODE_COPY)}
        pictures = {}
        for alarm in result["alarms"]:
            with open(os.path.join(workdir, alarm["picture"]), "rb") as file:
                pictures[alarm["picture"]] = file.read()
        result["pictures"] = pictures
        return dict(result)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def _reason(error: BaseException) -> str:
    """Ray's error, in one line: the task's own exception where there is one."""
    cause = getattr(error, "cause", None)
    if isinstance(cause, BaseException):
        return "engine error: {}: {}".format(type(cause).__name__, cause)
    name = type(error).__name__
    if "Worker" in name or "Node" in name or "Actor" in name:
        return "worker lost ({})".format(name)
    text = str(error).strip().splitlines()
    return "{}: {}".format(name, text[-1] if text else "")


class RayPool:
    """Tasks on the cluster at ``address`` ("auto": the one this machine is part of)."""

    def __init__(self, ray: Any, address: str, options: Dict[str, Any]) -> None:
        self.ray = ray
        self.options = options
        # Ray's lines while it joins (its guess of this machine's address, its
        # log level, its signal handlers) say nothing to the user; its errors
        # come back as the exception.
        with native_stderr_quiet(not options.get("debug")):
            self._join(address)
        self.remote = ray.remote(num_cpus=1, max_retries=0)(analyse_task)
        self.cpus = max(1, int(ray.cluster_resources().get("CPU", 1)))
        self.running: Dict[Any, Any] = {}

    def _join(self, address: str) -> None:
        """``ray.init``, bounded: Ray waits minutes for an address that does not
        answer, in native code that Ctrl-C cannot interrupt; a thread makes the
        wait one that ends on time and on Ctrl-C."""
        failed: List[BaseException] = []

        def join() -> None:
            try:
                self.ray.init(address=address, logging_level=logging.WARNING,
                              log_to_driver=False, configure_logging=False)
            except BaseException as error:  # noqa: BLE001 - handed to the caller
                failed.append(error)

        thread = threading.Thread(target=join, name="ray-init", daemon=True)
        thread.start()
        thread.join(CONNECT_SECONDS)
        if thread.is_alive():
            raise ConnectionError("no answer within {:.0f} s".format(CONNECT_SECONDS))
        if failed:
            raise failed[0]

    def free(self) -> bool:
        return len(self.running) < self.cpus

    def busy(self) -> bool:
        return bool(self.running)

    def submit(self, job: Any, path: str, workdir: str) -> List[Event]:
        try:
            with open(path, "rb") as file:
                data = file.read()
        except OSError as error:
            return [("failed", job, "cannot read {}: {}".format(path, error.strerror or error))]
        ref = self.remote.remote(self.options, data, os.path.splitext(path)[1])
        self.running[ref] = (job, path)
        return []

    def wait(self, timeout: float) -> List[Event]:
        if not self.running:
            return []
        ready, _ = self.ray.wait(list(self.running), num_returns=1, timeout=timeout)
        events: List[Event] = []
        for ref in ready:
            job, path = self.running.pop(ref)
            try:
                result = self.ray.get(ref)
            except Exception as error:  # noqa: BLE001 - a lost node or worker, an engine error
                events.append(("failed", job, _reason(error)))
                continue
            if "failed" in result:
                events.append(("failed", job, str(result["failed"]).replace(NODE_COPY, path)))
            else:
                events.append(("done", job, result))
        return events

    def close(self) -> None:
        for ref in self.running:
            try:
                self.ray.cancel(ref, force=True)
            except Exception:  # noqa: BLE001 - gone already
                pass
        self.running.clear()
        self.ray.shutdown()
