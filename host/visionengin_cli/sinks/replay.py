"""At a start, before any new event: every sink's outbox gets the events the
log holds after its mark (the newest log event it took in) that it would have
taken (its cameras, its filter), oldest first. A crash between writing an
event to the log and queuing it costs nothing then. Each event goes to the
log and then to the outboxes under one lock (``LiveEvents.lock``), so an
outbox's order is the log's order for its cameras and "after the mark" is
exact. A mark the log no longer holds within ``READ_BYTES`` (a quiet sink
whose mark was rotated away, or a log line a power cut took) is placed by its
time: the events later than it are queued.

A new outbox starts at the log's newest event: no history is replayed."""
from __future__ import annotations

import datetime
import json
import logging
from typing import Any, Callable, Dict, List, Optional, Sequence

from ..events.outbox import Mark, Outbox
from ..events.reader import lines_from_end

log = logging.getLogger("visionengin.sinks")
READ_BYTES = 16 * 1024 * 1024  # how far back the log is read, as the start's recovery reads it
MAX_REPLAY = 10000  # per sink and start: the newest are queued, the rest told as skipped


class Sink:
    """One outbox to catch up: ``wants(event)`` is the sink's live filter."""

    def __init__(self, name: str, outbox: Outbox, wants: Callable[[Dict[str, Any]], bool]) -> None:
        self.name, self.outbox, self.wants = name, outbox, wants
        self.mark: Mark = outbox.mark
        self.found = False
        self.later: List[Dict[str, Any]] = []  # newest first
        self.skipped = 0
        self.skipped_later = 0  # of those, later than the mark's time
        self.since = _epoch(self.mark[1])


def _epoch(text: Any) -> Optional[float]:
    if not isinstance(text, str):
        return None
    try:
        moment = datetime.datetime.fromisoformat(text)
    except ValueError:
        return None
    if moment.tzinfo is None:
        moment = moment.replace(tzinfo=datetime.timezone.utc)
    return moment.timestamp()


def newest(root: str) -> Mark:
    """The id and time of the log's newest event, or (None, now)."""
    for raw in lines_from_end(root, 1 << 20):
        try:
            line = json.loads(raw)
        except ValueError:
            continue
        if isinstance(line, dict) and isinstance(line.get("id"), str):
            return (line["id"], line.get("time") if isinstance(line.get("time"), str) else None)
    return (None, datetime.datetime.now(datetime.timezone.utc).isoformat())


def catch_up(root: str, sinks: Sequence[Sink], ours: Callable[[Dict[str, Any]], bool],
             max_bytes: int = READ_BYTES, max_events: int = MAX_REPLAY) -> Dict[str, int]:
    """Queues in each sink what it missed; ``ours(event)``: an event of the
    cameras run here. Returns sink name: events queued."""
    fresh = [sink for sink in sinks if sink.outbox.fresh]
    if fresh:
        start = newest(root)
        for sink in fresh:
            sink.outbox.start_at(start)
    pending = [sink for sink in sinks if sink not in fresh and sink.mark != (None, None)]
    marks = {sink.mark[0]: sink for sink in pending if sink.mark[0] is not None}
    if pending:
        for raw in lines_from_end(root, max_bytes):
            hit_id = next((ident for ident in marks if ident.encode() in raw), None)
            try:
                line = json.loads(raw)
            except ValueError:
                continue
            if not isinstance(line, dict):
                continue
            if hit_id is not None and line.get("id") == hit_id:
                marks.pop(hit_id).found = True
                if all(sink.found for sink in pending):
                    break
                continue
            if not isinstance(line.get("id"), str) or not ours(line):
                continue
            for sink in pending:
                if not sink.found and sink.wants(line):
                    if len(sink.later) < max_events:
                        sink.later.append(line)
                    else:
                        sink.skipped += 1
                        at = _epoch(line.get("time"))
                        if sink.since is not None and at is not None and at > sink.since:
                            sink.skipped_later += 1
    queued: Dict[str, int] = {}
    for sink in pending:
        later, skipped = sink.later, sink.skipped
        if not sink.found:  # placed by its time
            since = sink.since
            later = [line for line in later if since is not None and (_epoch(line.get("time")) or 0.0) > since]
            skipped = sink.skipped_later
        if skipped:
            log.warning("%s: %d events in the log after the last one it queued; the newest %d are "
                        "queued, %d older ones skipped", sink.name, len(later) + skipped,
                        len(later), skipped)
        count = 0
        for line in reversed(later):
            try:
                sink.outbox.append(line)
            except OSError as error:
                log.error("%s: cannot queue the events the log holds after its last one: %s",
                          sink.name, error.strerror or error)
                break
            count += 1
        if count:
            log.info("%s: %d event%s the log holds but the outbox did not (an unclean stop) "
                     "queued now", sink.name, count, "" if count == 1 else "s")
        queued[sink.name] = count
    return queued
