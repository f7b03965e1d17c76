"""A camera's recording, in its camera process beside the engine: the
stream's video packets as they come (no decode, no re-encode) into short
fragmented-MP4 segments (``storage.segments``), each starting on a key frame.

FFmpeg does the demuxing and muxing through PyAV; the camera address never
leaves this process (no command line). A segment is a fragmented MP4 (a
fragment per key frame), so a segment cut short by a power cut still plays
up to its last fragment. A recording that fails (no PyAV, a stream it cannot
copy, a camera gone) is a state with its reason, tried again after a
back-off; it never touches the engine's work.
"""
from __future__ import annotations

import logging
import os
import threading
import time
from typing import Any, Callable, Dict, Optional

from ..secrets import mask_text
from ..storage.remux import Failure, add_copy_stream, pyav
from ..storage.segments import segment_path, segments

log = logging.getLogger("visionengin.recording")
SEGMENT_SECONDS = 2.0  # a segment is cut at the first key frame after this
LONGEST_SEGMENT = 30.0  # cut even without a key frame after this long: nothing unbounded
FIRST_DELAY, MAX_DELAY, STABLE = 1.0, 60.0, 60.0  # the back-off after a failure
OPEN_TIMEOUT, READ_TIMEOUT = 10.0, 5.0
DRIFT = 2.0  # seconds the stream's clock may stray from ours before it is set again
# a fragment per key frame, handed to the disk at once: a process killed loses its last second only
FRAGMENTED = {"movflags": "frag_keyframe+empty_moov+default_base_moof", "flush_packets": "1"}
COPYABLE = ("h264", "hevc")  # what browsers play from an MP4
NO_FRAGMENT = 1024  # bytes: a segment this small holds its header only


class Recorder:
    """``on_segment(message)`` is told each segment closed: its path
    (relative to the camera's folder), bytes, start and end (epoch seconds)."""

    def __init__(self, mode: str, address: str, folder: str,
                 on_segment: Callable[[Dict[str, Any]], Any],
                 segment_seconds: float = SEGMENT_SECONDS) -> None:
        self.mode, self.address, self.folder = mode, address, folder
        self.on_segment, self.segment_seconds = on_segment, segment_seconds
        self.state = "off" if mode == "off" else "starting"
        self.reason: Optional[str] = None
        self.told: Optional[str] = None  # the failure last logged
        self.stopping = threading.Event()
        self.thread: Optional[threading.Thread] = None
        self.lock = threading.Lock()

    def status(self) -> Dict[str, Any]:
        with self.lock:
            state = "failed" if self.state == "starting" and self.reason else self.state
            if state == "starting":
                state = "recording"  # opening the stream: nothing has failed
            return {"mode": self.mode, "state": state, "reason": self.reason}

    def start(self) -> None:
        if self.mode != "off":
            self.thread = threading.Thread(target=self._loop, name="recording", daemon=True)
            self.thread.start()

    def stop(self, timeout: float = 1.0) -> None:
        """The segment being written is closed (and told) when the stream
        answers within ``timeout``; else it stays as written, up to its last
        fragment."""
        self.stopping.set()
        if self.thread is not None:
            self.thread.join(timeout)

    def _set(self, state: str, reason: Optional[str]) -> None:
        with self.lock:
            self.state, self.reason = state, reason

    def _loop(self) -> None:
        delay = FIRST_DELAY
        while not self.stopping.is_set():
            self._drop_empty()
            began = time.monotonic()
            try:
                self._record()
                reason = "the stream ended"
            except Failure as failure:
                reason = str(failure)
            except OSError as error:  # FFmpeg's write errors too: a full disk, a folder gone
                reason = error.strerror or str(error)
            except Exception as error:  # noqa: BLE001 - FFmpeg's errors are many; each is a state
                reason = "{}: {}".format(type(error).__name__, error)
            if self.stopping.is_set():
                break
            reason = mask_text(reason)
            delay = FIRST_DELAY if time.monotonic() - began >= STABLE else delay
            # told once while it fails the same way (a full disk, a camera away)
            log.log(logging.DEBUG if reason == self.told else logging.WARNING,
                    "recording failed: %s; trying again in %.0f s", reason, delay)
            self.told = reason
            self._set("failed", reason)
            self.stopping.wait(delay)
            delay = min(MAX_DELAY, delay * 2)
        self._set("off", None)

    def _drop_empty(self) -> None:
        """A process killed while it began a segment leaves it without a
        fragment (no picture in it): it goes."""
        found = segments(self.folder, time.time())
        if not found:
            return
        try:
            if os.stat(found[-1][1]).st_size < NO_FRAGMENT:
                os.unlink(found[-1][1])
                log.info("removed %s: cut short before its first picture", found[-1][1])
        except OSError as error:
            log.warning("cannot look at %s: %s", found[-1][1], error.strerror or error)

    def _record(self) -> None:
        av = pyav()
        try:
            source = av.open(self.address, options={"rtsp_transport": "tcp"},
                             timeout=(OPEN_TIMEOUT, READ_TIMEOUT))
        except av.error.FFmpegError as error:
            raise Failure("cannot open the stream: {}".format(error.strerror or error)) from None
        try:
            if not source.streams.video:
                raise Failure("the stream has no video")
            video = source.streams.video[0]
            codec = video.codec_context.name
            if codec not in COPYABLE:
                raise Failure("cannot copy {} video into MP4 for browsers (H.264 or H.265 only)".format(
                    codec))
            self._copy(source, video)
        finally:
            source.close()

    def _copy(self, source: Any, video: Any) -> None:
        av = pyav()
        segment: Optional[Segment] = None
        anchor: Optional[Any] = None  # (our time, the stream's time in seconds) of one packet
        floor = 0.0  # the end of the last segment: the next never starts before it
        try:
            for packet in source.demux(video):
                if self.stopping.is_set():
                    break
                if packet.dts is None or packet.pts is None:
                    continue  # an empty packet (the stream's end) or one without a time
                stream_time = float(packet.pts * video.time_base)
                now = time.time()
                if anchor is None or abs(anchor[0] + stream_time - anchor[1] - now) > DRIFT:
                    anchor = (now, stream_time)
                wall = anchor[0] + stream_time - anchor[1]
                if segment is None and not packet.is_keyframe:
                    continue  # a segment starts on a key frame
                if segment is not None and wall - segment.start >= self.segment_seconds and (
                        packet.is_keyframe or wall - segment.start >= LONGEST_SEGMENT):
                    floor = max(wall, segment.last_wall)
                    self._close(segment, floor)
                    segment = None
                if segment is None:
                    segment = Segment(av, self.folder, max(wall, floor), video, packet.dts)
                    if self.told is not None:
                        log.info("recording again")
                        self.told = None
                    self._set("recording", None)
                segment.write(packet)
        finally:
            if segment is not None:
                self._close(segment, segment.last_wall)

    def _close(self, segment: "Segment", end: float) -> None:
        size = segment.close()
        self.on_segment({"path": segment.path, "bytes": size, "start": segment.start, "end": end})


class Segment:
    """One fragmented MP4 being written, its times starting at 0."""

    def __init__(self, av: Any, folder: str, start: float, video: Any, first_dts: int) -> None:
        self.path = segment_path(start)
        while os.path.lexists(os.path.join(folder, self.path)):  # a clock set back: never over one
            start += 1e-6
            self.path = segment_path(start)
        self.start, self.last_wall = start, start
        self.full = os.path.join(folder, self.path)
        try:
            os.makedirs(os.path.dirname(self.full), exist_ok=True)
            self.output = av.open(self.full, "w", format="mp4", options=dict(FRAGMENTED))
            self.stream = add_copy_stream(self.output, video)
        except (av.error.FFmpegError, OSError) as error:
            try:
                os.unlink(self.full)  # begun on a full disk: nothing of it is worth keeping
            except OSError:
                pass
            raise Failure("cannot write {}: {}".format(self.path, error.strerror or error)) from None
        self.offset = first_dts
        self.time_base = video.time_base

    def write(self, packet: Any) -> None:
        packet.dts -= self.offset
        packet.pts -= self.offset
        if packet.dts < 0:  # from before the segment's key frame (reordered frames)
            return
        self.last_wall = self.start + float(packet.pts * self.time_base)
        packet.stream = self.stream
        self.output.mux(packet)

    def close(self) -> int:
        """The file's bytes, synced to the disk."""
        self.output.close()
        with open(self.full, "rb") as file:
            os.fsync(file.fileno())
            return os.fstat(file.fileno()).st_size
