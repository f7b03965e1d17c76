"""One video through the engine, in whatever process does the work (a local
worker or a Ray task): the engine's ``test_video`` run in a working folder of
its own, and what it found returned as plain data.

The engine names each picture ``video_result/<info type>-<frame>.jpg`` by the
frame's 1-based ordinal, and analyses frames t, 2t, 3t...; a proxy in front of
its detector notes each answer's alarms, so the i-th answer is frame i * t and
every picture is matched with its behaviour and score."""
from __future__ import annotations

import os
import shutil
import time
import types
from typing import Any, Callable, Dict, List, Optional

from ..live import alarms_of, engine_lines
from ..probe import native_stderr_quiet, opencv, video_problem

PICTURES = "video_result"


class VideoFailed(Exception):
    """The video cannot be analysed; the message is the reason."""


def option_args(options: Dict[str, Any]) -> Any:
    return types.SimpleNamespace(**options)


class Recorder:
    """Delegates to the engine's detector; keeps each answer's alarms in order."""

    def __init__(self, detector: Any, on_answer: Optional[Callable[[int], None]]) -> None:
        self._detector = detector
        self.answers: List[List[Dict[str, Any]]] = []
        self.on_answer = on_answer

    def main(self, im: Any, cfg: Any) -> Any:
        answer = self._detector.main(im, cfg)
        self.answers.append(alarms_of(answer))
        if self.on_answer is not None:
            self.on_answer(len(self.answers))
        return answer

    def __getattr__(self, name: str) -> Any:
        return getattr(self._detector, name)


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
        import main as module  # the engine, imported as any host imports it

        from ..runs import tune

        self.options, self.module = options, module
        self.args = option_args(options)
        table = module.devBehavior
        tune(table, list(table) if options["bev"] is None else options["bev"], self.args)
        self.engine = self.build()
        self.detector = self.engine.predict
        self.used = False  # whether the engine has seen a video yet

    def build(self) -> Any:
        from ..runs import build_engine

        return build_engine(self.module, self.args)

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
        recorder = Recorder(self.detector, None if on_frames is None
                            else lambda calls: on_frames(calls * every))
        before = os.getcwd()
        start = time.monotonic()
        self.engine.predict = recorder
        os.chdir(workdir)
        try:
            with engine_lines(lambda line: True):
                self.engine.test_video(path, every, self.options["bev"])
        finally:
            os.chdir(before)
            self.engine.predict = self.detector
        seconds = time.monotonic() - start
        analysed = len(recorder.answers)
        return {"frames": max(int(facts["frame_count"]), analysed * every), "analysed": analysed,
                "fps": facts["fps"], "seconds": seconds,
                "alarms": _alarms(recorder.answers, every, facts["fps"], workdir)}


def _alarms(answers: List[List[Dict[str, Any]]], every: int, fps: float,
            workdir: str) -> List[Dict[str, Any]]:
    found = []
    for call, alarms in enumerate(answers, 1):
        frame = call * every
        written = set()
        for alarm in alarms:
            picture = "{}/{}-{}.jpg".format(PICTURES, alarm["info_type"], frame)
            if picture in written or not os.path.isfile(os.path.join(workdir, picture)):
                continue  # two alarms of a type in one frame: the engine writes one file
            written.add(picture)
            found.append(dict(alarm, frame=frame, picture=picture,
                              offset=round((frame - 1) / fps, 3) if fps else None))
    return found
