"""What a camera process tells, carried onward: an alarm's picture counted
in the camera's ledger and retention woken for it, the event written to the
log and handed to the sinks; a recorded segment counted likewise and handed
to the recordings; a clip written for an incident counted."""
from __future__ import annotations

import logging
import threading
from typing import Any, Callable, Dict, Optional

from ..storage.recordings import Recordings
from ..storage.retention import Retention
from ..storage.segments import FOLDER as SEGMENTS
from .events import EventLog
from .slot import Slot

log = logging.getLogger("visionengin.cameras")


class Carrier:
    """``on_event(line)`` hears each event line written (the sinks)."""

    def __init__(self, events: EventLog, retention: Retention, recordings: Recordings,
                 on_event: Optional[Callable[[Dict[str, Any]], Any]] = None) -> None:
        self.events, self.retention, self.recordings = events, retention, recordings
        self.on_event = on_event
        # Held while an alarm is logged and handed on: no other event comes between.
        self.write_lock: Any = threading.RLock()

    def event(self, slot: Slot, event: Dict[str, Any]) -> None:
        with self.write_lock:
            try:
                size = int(event.pop("bytes", 0))
                if event.get("picture") is not None:  # else told without its picture
                    slot.ledger.add(event["picture"], size, event["time"])
                    self.retention.added(size)
                line = self.events.write(slot.camera.name, event)
            except (OSError, KeyError, TypeError, ValueError, AttributeError) as error:
                log.error("%s: cannot write an event: %s", slot.camera.name, error)
                return
            if self.on_event is not None:
                self.on_event(line)

    def segment(self, slot: Slot, segment: Any) -> None:
        try:
            size, path = int(segment["bytes"]), str(segment["path"])
            if path.startswith(SEGMENTS + "/"):
                slot.segments.add(path[len(SEGMENTS) + 1:], size, float(segment["start"]))
                self.retention.added(size)
            self.recordings.segment_closed(slot.camera.name, segment)
        except (OSError, KeyError, TypeError, ValueError, AttributeError) as error:
            log.error("%s: cannot count a recorded segment: %s", slot.camera.name, error)

    def clip(self, slot: Slot, path: str, size: int, when: float) -> None:
        """A clip the recordings wrote, ``path`` under the results root."""
        if path.startswith(slot.camera.name + "/"):
            slot.ledger.add(path[len(slot.camera.name) + 1:], size, when)
            self.retention.added(size)
