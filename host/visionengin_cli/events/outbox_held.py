"""The events an outbox holds in memory while its folder cannot be written (a
full disk): delivered from here in order, after what the disk holds, and
written to the folder once it can be, those already delivered marked so, so
that nothing goes out twice. Bounded: past ``MAX_HELD`` the oldest goes, and
an undelivered one is counted as lost."""
from __future__ import annotations

import collections
from typing import Any, Deque, Dict, List, Optional, Tuple

MAX_HELD = 10000  # events, a few megabytes at most
HELD = 0  # the segment number of a held event's position (segments start at 1)


class HeldEvent:
    def __init__(self, number: int, data: bytes, event: Dict[str, Any]) -> None:
        self.number, self.data, self.event = number, data, event
        self.delivered = False


class Held:
    def __init__(self, limit: int = MAX_HELD) -> None:
        self.limit = limit
        self.events: Deque[HeldEvent] = collections.deque()
        self.numbers = 0
        self.reason: Optional[str] = None  # why the folder cannot be written, while it lasts
        self.held = self.sent = self.lost = 0  # of this episode

    def __bool__(self) -> bool:
        return bool(self.events)

    def add(self, data: bytes, event: Dict[str, Any]) -> bool:
        """Holds one event; True when the oldest undelivered one had to go."""
        self.numbers += 1
        self.held += 1
        self.events.append(HeldEvent(self.numbers, data, event))
        if len(self.events) <= self.limit:
            return False
        oldest = self.events.popleft()
        if oldest.delivered:
            return False
        self.lost += 1
        return True

    def undelivered(self, limit: int) -> List[Tuple[Tuple[int, int], Dict[str, Any]]]:
        return [((HELD, each.number), each.event) for each in self.events
                if not each.delivered][:limit]

    def ack(self, number: int) -> int:
        """Those up to ``number`` are delivered; returns how many were not yet."""
        count = 0
        for each in self.events:
            if each.number > number:
                break
            if not each.delivered:
                each.delivered, count = True, count + 1
        self.sent += count
        return count

    def end(self) -> Tuple[int, int, int]:
        """The episode's figures (held, delivered from memory, lost), counted anew."""
        figures = (self.held, self.sent, self.lost)
        self.held = self.sent = self.lost = 0
        self.reason = None
        return figures
