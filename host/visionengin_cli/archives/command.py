"""``visionengin videos PATH... --results DIR``: the command line and the run.

The driver gathers the videos, skips those done before with the same options,
hands the others to a pool (local worker processes or Ray tasks), retries a
failed video once, and writes every result under DIR itself (``store.py``).
Exit status 0 only when every video was analysed."""
from __future__ import annotations

import argparse
import logging
import os
import sys
import time
from collections import deque
from typing import Any, Deque, Dict, List, Optional, Tuple

from ..errors import EXIT_ERROR, EXIT_OK, EXIT_USAGE, PROG, CommandError, UsageError
from ..options import number, positive_int
from ..events.incidents import DEFAULT_GAP
from ..storage.lock import locked_file
from .sources import Video, gather, read_list

log = logging.getLogger("visionengin.videos")
ATTEMPTS = 2  # a failed video is tried once more, then reported
WAIT = 0.5    # seconds the driver waits for news before looking again
STATUS_EVERY = 1.0  # seconds between two rewrites of a running video's status.json


def add_parser(commands: Any, common: List[argparse.ArgumentParser]) -> None:
    parser = commands.add_parser(
        "videos", parents=common,
        help="analyse many video files in parallel (local workers or a Ray cluster), "
             "each into a folder of its own under --results",
        description="Analyse video files in parallel, each into a folder of its own under "
                    "DIR, with its alarms and incidents in DIR/events.jsonl. A rerun skips "
                    "the videos done before with the same options.")
    parser.add_argument("paths", metavar="PATH", nargs="*",
                        help="video file, or folder searched (sub-folders too) for video files")
    parser.add_argument("--from", dest="from_file", metavar="FILE",
                        help="read more paths from FILE, one a line (\"-\": standard input)")
    parser.add_argument("--results", metavar="DIR", required=True,
                        help="results root (made if missing); `visionengin serve DIR` shows it")
    parser.add_argument("-t", type=positive_int, default=1, metavar="N",
                        help="analyse every N-th frame read (default: 1, every frame)")
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--workers", type=positive_int, metavar="N",
                       help="worker processes on this machine (default: one per CPU core, "
                            "at most one per video)")
    where.add_argument("--ray", metavar="ADDRESS",
                       help="run one task per video on the Ray cluster at ADDRESS (HOST:PORT, "
                            "or \"auto\": the cluster this machine belongs to); needs "
                            "visionengin[ray]")
    parser.add_argument("--incident-gap", type=number(float, 0.0), default=DEFAULT_GAP,
                        metavar="SECONDS",
                        help="alarms of a type further apart than this in a video start a new "
                             "incident (default: %(default)s)")
    parser.set_defaults(run=run, refuses=("workdir",))


def options_of(args: Any, bev: Optional[List[str]]) -> Dict[str, Any]:
    return {"t": args.t, "bev": bev, "threshold": args.threshold,
            "alarm_interval": args.alarm_interval, "activate": bool(args.activate),
            "cuda": bool(args.cuda), "cache": args.cache, "debug": bool(args.debug)}


def _lock(root: str) -> int:
    fd = locked_file(os.path.join(root, ".lock"))
    if fd is None:
        raise CommandError("another `{} videos` is writing to {}".format(PROG, root))
    return fd


def run(args: Any) -> int:
    from .ray_pool import load_ray

    ray = None
    if args.ray is not None:
        ray = load_ray(args.debug)
        if ray is None:
            raise CommandError("--ray needs Ray: pip install \"visionengin[ray]\"", EXIT_USAGE)
    from ..engine.behaviours import behaviour_table, selection

    bev = selection(args.bev, behaviour_table())  # imports the engine
    if args.workdir is not None:
        raise UsageError("--workdir has no use with videos: their results go to --results")
    args.cache = os.path.abspath(os.path.expanduser(args.cache))
    if os.path.exists(args.cache) and not os.path.isdir(args.cache):
        raise CommandError("--cache {} is not a folder".format(args.cache))
    paths = list(args.paths)
    if args.from_file is not None:
        try:
            paths += read_list(args.from_file)
        except (OSError, UnicodeDecodeError) as error:
            raise CommandError("cannot read --from {}: {}".format(
                args.from_file, getattr(error, "strerror", None) or error)) from None
    if not paths:
        raise CommandError("no videos given (PATH... or --from FILE)")
    root = os.path.abspath(args.results)
    videos = gather(paths, root)
    if not videos:
        raise CommandError("no video files found in {}".format(", ".join(paths)))
    try:
        os.makedirs(root, exist_ok=True)
    except OSError as error:
        raise CommandError("cannot make --results {}: {}".format(
            args.results, error.strerror or error)) from None
    if not os.path.isdir(root):
        raise CommandError("--results {} is not a folder".format(args.results))
    lock = _lock(root)
    try:
        return Run(args, root, videos, options_of(args, bev), ray).go()
    finally:
        os.close(lock)


class Run:
    def __init__(self, args: Any, root: str, videos: List[Video], options: Dict[str, Any],
                 ray: Any) -> None:
        from .store import Store

        self.args, self.root, self.videos, self.options, self.ray = args, root, videos, options, ray
        self.store = Store(root, options, args.incident_gap)
        self.failures: Dict[int, str] = {}
        self.done = 0
        self.alarms = 0
        self.incidents = 0

    def go(self) -> int:
        from ..probe import native_stderr_quiet
        from .analyse import video_facts
        from .progress import RunProgress

        todo = [i for i, video in enumerate(self.videos) if not self.store.is_done(video)]
        skipped = len(self.videos) - len(todo)
        if skipped:
            log.info("%d of %d videos done before with these options: skipped",
                     skipped, len(self.videos))
        with native_stderr_quiet(not self.args.debug):
            frames = sum(int(video_facts(self.videos[i].path)["frame_count"])
                         for i in todo if os.path.isfile(self.videos[i].path))
        pool = self._pool(len(todo)) if todo else None
        progress = RunProgress(len(todo), frames)
        pending: Deque[int] = deque(todo)
        attempts: Dict[int, int] = {}
        running: Dict[int, int] = {}
        shown = time.monotonic()
        try:
            while pool is not None and (pending or pool.busy()):
                while pending and pool.free():
                    job = pending.popleft()
                    attempts[job] = attempts.get(job, 0) + 1
                    work = self.store.start(self.videos[job], attempts[job])
                    running[job] = 1
                    events = pool.submit(job, self.videos[job].path, work)
                    self._handle(events, progress, pending, attempts, running)
                self._handle(pool.wait(WAIT), progress, pending, attempts, running)
                if time.monotonic() - shown >= STATUS_EVERY:
                    shown = time.monotonic()
                    for job in running:  # the page's tile of a running video stays fresh
                        self.store.status(self.videos[job], "running", attempts=attempts[job],
                                          frames=progress.running.get(job, 0))
        except CommandError as error:  # e.g. no worker's engine starts: the run ends
            for job in running:
                self.store.failed(self.videos[job], str(error), attempts[job])
            progress.finish()
            raise
        except KeyboardInterrupt:
            if pool is not None:
                pool.close()
                pool = None
            for job in running:
                self.store.stopped(self.videos[job], attempts[job])
            seconds = progress.finish()
            self._summary(skipped, len(todo), progress.done_frames, seconds)  # as a finished run's
            print("{} of {} videos analysed before the stop; a rerun goes on with the rest".format(
                self.done, len(todo)), file=sys.stderr)
            raise
        finally:
            if pool is not None:
                pool.close()
            self.store.close()
        seconds = progress.finish()
        return self._summary(skipped, len(todo), progress.done_frames, seconds)

    def _pool(self, count: int) -> Any:
        if self.ray is not None:
            from .ray_pool import RayPool

            try:
                return RayPool(self.ray, self.args.ray, self.options)
            except Exception as error:  # noqa: BLE001 - Ray's errors are of many kinds
                lines = str(error).strip().splitlines()
                raise CommandError("cannot join the Ray cluster at {}: {}".format(
                    self.args.ray, lines[-1] if lines else type(error).__name__)) from None
        from .local import LocalPool

        workers = self.args.workers or max(1, min(os.cpu_count() or 1, count))
        return LocalPool(workers, self.options)

    def _handle(self, events: List[Tuple[str, Any, Any]], progress: Any, pending: Deque[int],
                attempts: Dict[int, int], running: Dict[int, int]) -> None:
        for kind, job, payload in events:
            video = self.videos[job]
            if kind == "frames":
                progress.frames_of(job, payload)
            elif kind == "done":
                running.pop(job, None)
                try:
                    incidents = self.store.finish(video, payload, attempts[job])
                except OSError as error:
                    self._failed(job, "cannot write its results: {}".format(
                        error.strerror or error), progress, pending, attempts, retry=False)
                    continue
                self.done += 1
                self.alarms += len(payload["alarms"])
                self.incidents += incidents
                progress.ended(job, payload["frames"], "done {}: {} frames, {} alarm pictures, "
                               "{} incident{} in {:.1f} s".format(
                                   video.given, payload["frames"], len(payload["alarms"]),
                                   incidents, "" if incidents == 1 else "s", payload["seconds"]))
            else:
                running.pop(job, None)
                self._failed(job, payload, progress, pending, attempts)

    def _failed(self, job: int, reason: str, progress: Any, pending: Deque[int],
                attempts: Dict[int, int], retry: bool = True) -> None:
        video = self.videos[job]
        if retry and attempts[job] < ATTEMPTS:
            log.warning("%s: %s; trying again", video.given, reason)
            progress.dropped(job)
            pending.append(job)
            return
        self.failures[job] = reason
        self.store.failed(video, reason, attempts[job])
        log.warning("%s failed: %s", video.given, reason)
        progress.ended(job, 0, None)  # the warning above is its line

    def _summary(self, skipped: int, todo: int, frames: int, seconds: float) -> int:
        print("{} video{} analysed ({} frames in {:.1f} s), {} skipped (done before), {} failed; "
              "{} alarm pictures, {} incident{} in {}".format(
                  self.done, "" if self.done == 1 else "s", frames, seconds, skipped,
                  len(self.failures), self.alarms, self.incidents,
                  "" if self.incidents == 1 else "s", self.root))
        for job, reason in sorted(self.failures.items()):
            print("  failed: {}: {}".format(self.videos[job].given, reason))
        return EXIT_ERROR if self.failures else EXIT_OK
