"""An incident's clip: the recorded segments that cover it, joined by stream
copy (FFmpeg through PyAV) into one MP4, written whole or not at all
(a temporary file, synced, then renamed).

The clip starts with the segment holding its first wanted second, so it may
start up to one segment early, never late. Its ``comment`` tag holds the
wall time of its first picture ("start <ISO time>"), which no MP4 field
keeps to the microsecond.
"""
from __future__ import annotations

import datetime
import fractions
import logging
import os
from typing import Any, List, Optional, Tuple

from .remux import Failure, add_copy_stream, pyav

log = logging.getLogger("visionengin.clips")


class ClipError(Exception):
    """No clip could be made; the message says why."""


def write_clip(sources: List[Tuple[float, str]], target: str) -> int:
    """Joins the segments (start, path) into ``target``; returns its bytes.
    A segment that cannot be read (cut short, removed meanwhile) is left
    out and said so; none readable is a ClipError."""
    try:
        av = pyav()
    except Failure as failure:
        raise ClipError(str(failure)) from None
    tmp = target + ".tmp"
    os.makedirs(os.path.dirname(target), exist_ok=True)
    try:
        written = _join(av, sources, tmp)
        if not written:
            raise ClipError("none of the {} segments could be read".format(len(sources)))
        with open(tmp, "rb") as file:
            os.fsync(file.fileno())
            size = os.fstat(file.fileno()).st_size
        os.replace(tmp, target)
        _sync_folder(os.path.dirname(target))
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise
    return size


def _join(av: Any, sources: List[Tuple[float, str]], tmp: str) -> int:
    """Packets written; each segment's times follow the previous one's."""
    output = av.open(tmp, "w", format="mp4", options={"movflags": "+faststart"})
    stream: Optional[Any] = None
    base = fractions.Fraction(0)  # seconds into the clip where the next segment begins
    written = 0
    try:
        for start, path in sources:
            try:
                source = av.open(path)
            except (av.error.FFmpegError, OSError) as error:
                log.warning("clip: segment %s left out: %s", path, getattr(error, "strerror", None) or error)
                continue
            try:
                if not source.streams.video:
                    continue
                video = source.streams.video[0]
                if stream is None:
                    stream = add_copy_stream(output, video)
                    moment = datetime.datetime.fromtimestamp(start, datetime.timezone.utc)
                    output.metadata["comment"] = "start " + moment.isoformat()
                shift = int(base / video.time_base)
                end = base
                try:
                    for packet in source.demux(video):
                        if packet.dts is None or packet.pts is None:
                            continue
                        packet.dts += shift
                        packet.pts += shift
                        packet.stream = stream
                        after = (packet.dts + max(packet.duration or 0, 1)) * video.time_base
                        output.mux(packet)
                        written += 1
                        end = max(end, fractions.Fraction(after))
                except av.error.FFmpegError as error:  # a segment cut short: what was read stays
                    log.warning("clip: segment %s read up to an error: %s", path, error)
                base = end
            finally:
                source.close()
    finally:
        output.close()
    return written


def _sync_folder(folder: str) -> None:
    try:
        fd = os.open(folder, os.O_RDONLY)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
