"""One video through the engine, in whatever process does the work (a local
worker or a Ray task): the engine's ``test_video`` run in a working folder of
its own, and what it found returned as plain data.

The engine names each picture ``video_result/<info type>-<frame>.jpg`` by the
frame's 1-based ordinal, and analyses frames t, 2t, 3t...; the tap in front
of its detector notes each answer's alarms, so the i-th answer is frame i * t
and every picture is matched with its behaviour and score."""
from __future__ import annotations

import os
import shutil
import time
from typing import Any, Callable, Dict, List, Optional

from ..engine.behaviours import behaviour_table, tune
from ..engine.construction import build_engine
from ..engine.contract import VIDEO_RESULT, picture_file
from ..engine.lines import engine_lines
from ..engine.tap import Tap
from ..probe import native_stderr_quiet, opencv, video_problem

PICTURES = VIDEO_RESULT
ENGINE_OPTIONS = ("cuda", "activate", "cache")  # the run's options the engine is built with


class VideoFailed(Exception):
    """The video cannot be analysed; the message is the reason."""


def video_facts(path: str) -> Dict[str, float]:
    """The container's frame rate and frame count (0 where it does not say)."""
    cv2 = opencv()
    capture = cv2.VideoCapture(path)
    try:
        fps = float(capture.get(cv2.CAP_PROP_FPS) or 0.0)
        count = float(capture.get(cv2.CAP_PROP_FRAME_COUNT) or 0.0)
    finally:
        capture.release()
    return {"fps": fps if 0 < fps < 10000 else 0.0, "frame_count": max(0.0, count)}


class Analyser:
    """The engine of one process, built once with the run's options; each
    video is analysed as if it were the engine's first and only one, whichever
    videos the process analysed before."""

    def __init__(self, options: Dict[str, Any]) -> None:
        self.options = options
        tune(behaviour_table(), options["bev"], options)  # threshold and alarm_interval
        self.engine = self.build()
        self.detector = self.engine.predict
        self.used = False  # whether the engine has seen a video yet

    def build(self) -> Any:
        return build_engine({key: self.options[key] for key in ENGINE_OPTIONS})

    def fresh(self) -> None:
        """Forget the last video: the detector's state (its motion background,
        hits and alarm times: frame 1 is no motion against the last video's
        end) by its ``reset()``, or where the detector has none, by a new
        engine; and the engine's count of videos (the ``devId`` it hands the
        detector)."""
        if not self.used:
            return
        reset = getattr(self.detector, "reset", None)
        if callable(reset):
            reset()
            del self.engine.adds[:]
        else:
            self.engine = self.build()
            self.detector = self.engine.predict

    def analyse(self, path: str, workdir: str,
                on_frames: Optional[Callable[[int], None]] = None) -> Dict[str, Any]:
        """Analyses ``path`` with its pictures written under ``workdir``; returns
        frames read, analysed, fps, seconds and the alarms (frame, offset, info
        type, picture relative to ``workdir``, behaviour number and score)."""
        with native_stderr_quiet(not self.options.get("debug")):  # GLib's lines on a bad file
            problem = video_problem(path)
            if problem:
                raise VideoFailed(problem)
            facts = video_facts(path)
        every = int(self.options["t"])
        shutil.rmtree(os.path.join(workdir, PICTURES), ignore_errors=True)
        os.makedirs(workdir, exist_ok=True)
        self.fresh()
        self.used = True
        answers: List[List[Dict[str, Any]]] = []  # each answer's alarms, in order

        def answered(alarms: List[Dict[str, Any]]) -> None:
            answers.append(alarms)
            if on_frames is not None:
                on_frames(len(answers) * every)

        before = os.getcwd()
        start = time.monotonic()
        self.engine.predict = Tap(self.detector, on_answer=answered)
        os.chdir(workdir)
        try:
            with engine_lines(lambda line: True):
                self.engine.test_video(path, every, self.options["bev"])
        finally:
            os.chdir(before)
            self.engine.predict = self.detector
        seconds = time.monotonic() - start
        analysed = len(answers)
        return {"frames": max(int(facts["frame_count"]), analysed * every), "analysed": analysed,
                "fps": facts["fps"], "seconds": seconds,
                "alarms": _alarms(answers, every, facts["fps"], workdir)}


def _alarms(answers: List[List[Dict[str, Any]]], every: int, fps: float,
            workdir: str) -> List[Dict[str, Any]]:
    found = []
    for call, alarms in enumerate(answers, 1):
        frame = call * every
        written = set()
        for alarm in alarms:
            picture = "{}/{}".format(PICTURES, picture_file(alarm["info_type"], frame))
            if picture in written or not os.path.isfile(os.path.join(workdir, picture)):
                continue  # two alarms of a type in one frame: the engine writes one file
            written.add(picture)
            found.append(dict(alarm, frame=frame, picture=picture,
                              offset=round((frame - 1) / fps, 3) if fps else None))
    return found
