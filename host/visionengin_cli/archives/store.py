"""The results root of a ``videos`` run, written by the driver only.

Per video, ``<root>/<folder>/``: ``video_result/`` (the alarm pictures),
``status.json`` (what the status page's tile shows) and ``done.json``, written
last and atomically once everything else of the video is in place: only a video
with a ``done.json`` that matches the file (size, modification time) and the
run's options is skipped by a rerun. A video is analysed into ``.work/`` beside
them, which replaces ``video_result/`` only when the video is done.

``<root>/events.jsonl`` gets the lines of ``visionengin cameras`` (type
"alarm") plus the video's path and each picture's offset into it, and the
incidents of those alarms. A line's "time" is when the driver wrote it: the log
stays in time order (the status page and ``/api/events?since=`` rely on that),
and the moment in the video is the offset. The log's lines reach the disk by the
flush policy of ``storage.flush``, the state files through ``storage.atomic``."""
from __future__ import annotations

import hashlib
import json
import os
import shutil
import time
from typing import Any, Dict, List, Optional, Tuple

from ..engine.contract import VIDEO_RESULT
from ..events.incidents import Incidents
from ..storage.atomic import replace_file
from ..storage.flush import SyncedFile
from ..storage.pictures import write_all
from ..storage.times import iso
from .sources import Video

MARKER, STATUS, WORK, PICTURES = "done.json", "status.json", ".work", VIDEO_RESULT


def fingerprint(path: str) -> Optional[Dict[str, int]]:
    try:
        info = os.stat(path)
    except OSError:
        return None
    return {"size": info.st_size, "mtime_ns": info.st_mtime_ns}


class Store:
    def __init__(self, root: str, options: Dict[str, Any], gap: float) -> None:
        self.root, self.gap = root, gap
        # What changes the results; the cache folder and CUDA do not.
        self.options = {key: options[key] for key in
                        ("t", "bev", "threshold", "alarm_interval", "activate")}
        self.events = os.open(os.path.join(root, "events.jsonl"),
                              os.O_WRONLY | os.O_APPEND | os.O_CREAT, 0o644)
        self.synced = SyncedFile("the event log " + os.path.join(root, "events.jsonl"))
        self.synced.track(self.events)

    def close(self) -> None:
        self.synced.close()
        os.close(self.events)

    def folder(self, video: Video, *parts: str) -> str:
        return os.path.join(self.root, video.folder, *parts)

    def is_done(self, video: Video) -> bool:
        try:
            with open(self.folder(video, MARKER), "rb") as file:
                marker = json.loads(file.read(1024 * 1024).decode("utf-8"))
        except (OSError, ValueError):
            return False
        return (isinstance(marker, dict) and marker.get("path") == video.path
                and marker.get("file") == fingerprint(video.path)
                and marker.get("options") == self.options)

    def start(self, video: Video, attempt: int) -> str:
        """The video's folder made ready (no marker, an empty working folder);
        returns the working folder."""
        os.makedirs(self.folder(video), exist_ok=True)
        try:
            os.unlink(self.folder(video, MARKER))
        except FileNotFoundError:
            pass
        work = self.folder(video, WORK)
        shutil.rmtree(work, ignore_errors=True)
        os.makedirs(work)
        self.status(video, "running", attempts=attempt)
        return work

    def status(self, video: Video, state: str, **fields: Any) -> None:
        now = time.time()
        status: Dict[str, Any] = {
            "camera": video.folder, "address": video.given, "video": video.given, "state": state,
            # a finished video's status is never rewritten, yet it is not stale
            "final": state in ("done", "failed"), "updated": iso(now), "frames": 0,
            "alarms": 0, "alarms_by_type": {}, "reason": None}
        status.update(fields)
        replace_file(self.folder(video, STATUS),
                     (json.dumps(status, ensure_ascii=False) + "\n").encode("utf-8"))

    def finish(self, video: Video, result: Dict[str, Any], attempt: int) -> int:
        """Everything of a finished video in place, the marker last; returns the
        number of incidents. ``result["pictures"]`` (from a Ray task) holds the
        pictures' bytes, else they are in the working folder already."""
        work = self.folder(video, WORK)
        for name, data in (result.get("pictures") or {}).items():
            base = os.path.basename(name)
            if name != PICTURES + "/" + base or base.startswith("."):
                raise OSError("a picture named {!r} is refused".format(name))
            os.makedirs(os.path.join(work, PICTURES), exist_ok=True)
            with open(os.path.join(work, PICTURES, base), "wb") as file:
                file.write(data)
        os.makedirs(os.path.join(work, PICTURES), exist_ok=True)
        shutil.rmtree(self.folder(video, PICTURES), ignore_errors=True)
        os.replace(os.path.join(work, PICTURES), self.folder(video, PICTURES))
        now = time.time()
        lines, incidents = self._lines(video, result["alarms"], now)
        by_type: Dict[str, int] = {}
        for alarm in result["alarms"]:
            by_type[alarm["info_type"]] = by_type.get(alarm["info_type"], 0) + 1
        write_all(self.events, "".join(json.dumps(line, ensure_ascii=False) + "\n"
                                       for line in lines).encode("utf-8"))
        self.synced.wrote()
        last = result["alarms"][-1] if result["alarms"] else None
        seconds = result["seconds"]
        self.status(video, "done", frames=result["frames"], analysed=result["analysed"],
                    analysed_fps=round(result["analysed"] / seconds, 1) if seconds > 0 else 0.0,
                    seconds=round(seconds, 2), alarms=len(result["alarms"]),
                    alarms_by_type=by_type, incidents=incidents, attempts=attempt,
                    duration=round(result["frames"] / result["fps"], 2) if result["fps"] else None,
                    last_alarm=None if last is None else {
                        "time": iso(now), "info_type": last["info_type"],
                        "picture": video.folder + "/" + last["picture"]})
        marker = {"path": video.path, "file": fingerprint(video.path), "options": self.options,
                  "finished": iso(time.time()), "frames": result["frames"],
                  "alarms": len(result["alarms"]), "incidents": incidents}
        replace_file(self.folder(video, MARKER), json.dumps(marker).encode("utf-8") + b"\n")
        shutil.rmtree(work, ignore_errors=True)
        return incidents

    def _lines(self, video: Video, alarms: List[Dict[str, Any]],
               now: float) -> Tuple[List[Dict[str, Any]], int]:
        """The video's event lines: alarms by offset, with their incidents."""
        key = json.dumps(self.options, sort_keys=True)

        def stable_id(camera: str, info_type: str, start: float) -> str:
            text = "\0".join((video.path, key, info_type, repr(start)))
            return hashlib.sha1(text.encode("utf-8", "surrogateescape")).hexdigest()[:16]

        grouping = Incidents(self.gap, stable_id)
        when, count = iso(now), 0
        lines: List[Dict[str, Any]] = []
        for alarm in sorted(alarms, key=lambda alarm: alarm["frame"]):
            picture = video.folder + "/" + alarm["picture"]
            offset = alarm["offset"] if alarm["offset"] is not None else float(alarm["frame"])
            for event in grouping.add(video.folder, alarm["info_type"], offset, picture,
                                      alarm.get("score")):
                count += event["type"] == "incident_start"
                lines.append(self._incident(event, when, video))
            line: Dict[str, Any] = {"time": when, "type": "alarm",
                                    "id": stable_id(video.folder, alarm["info_type"], -alarm["frame"]),
                                    "camera": video.folder, "info_type": alarm["info_type"],
                                    "picture": picture}
            for field in ("behavior_number", "score"):
                if alarm.get(field) is not None:
                    line[field] = alarm[field]
            line.update(video=video.given, offset=alarm["offset"], frame=alarm["frame"])
            lines.append(line)
        lines.extend(self._incident(event, when, video) for event in grouping.close_all())
        return lines, count

    @staticmethod
    def _incident(event: Dict[str, Any], when: str, video: Video) -> Dict[str, Any]:
        # As the cameras' lines: "id" names the line, "incident" the incident
        # its start and end share (stable, so a rerun's repeats can be dropped).
        line: Dict[str, Any] = {"time": when}
        line.update(event)
        line["incident"] = event["id"]
        line["id"] = "{}-{}".format(event["id"], "start" if event["type"] == "incident_start" else "end")
        # "start" and "end" are times, as on a camera's incidents (the page and
        # /api/incidents read them so); where in the video is told in offsets.
        line["start_offset"], line["end_offset"] = event["start"], event["end"]
        line["start"] = line["end"] = when
        line["video"] = video.given
        return line

    def failed(self, video: Video, reason: str, attempts: int) -> None:
        shutil.rmtree(self.folder(video, WORK), ignore_errors=True)
        self.status(video, "failed", reason=reason, attempts=attempts)

    def stopped(self, video: Video, attempts: int) -> None:
        self.status(video, "stopped", reason="interrupted; a rerun analyses it again",
                    attempts=attempts)
