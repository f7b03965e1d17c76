"""One device as the collector knows it: availability, last seen, the process
that speaks for it (its instance), and a name two devices share.

Each device process announces an instance id of its own and its client id
(``instance`` topic, again every few seconds), and tags its events with the
instance. Under the client id that holds the name, a new instance is a
restart (and one that was replaced speaking again, two processes sharing
the client id). A second client id announcing the name while the first is
alive is a second device: reported, and its events kept apart (under
``<name>@<its client id>``), never merged; once the first has been silent
for ``CONFLICT_WINDOW`` the name passes to the one still speaking.

"Last seen" and the availability's time are the device's own: the time its
payloads carry (an event's, the broker's retained copy of a heartbeat), so
that messages the broker kept while the collector was away, or its retained
copies at a new session, do not read as the device speaking at the
collector's start. A live heartbeat is taken as now: a device whose clock is
off is not shown silent while it talks. When the collector
last heard from it, by its own clock, is kept apart (``heard_epoch``): it
decides when a silent device is forgotten.
"""
from __future__ import annotations

import logging
import time
from typing import Any, Dict, List, Optional

from ..storage.times import epoch_or_none, iso

log = logging.getLogger("visionengin.fleet")
CONFLICT_WINDOW = 120.0  # seconds: a replaced instance heard again within it is a second device
KEPT_INSTANCES = 16


def _text(value: Any, limit: int = 256) -> Optional[str]:
    return value[:limit] if isinstance(value, str) and value.isprintable() else None


def device_time(value: Any) -> Optional[float]:
    """An ISO 8601 time with its offset, as devices write it, in epoch seconds."""
    if not isinstance(value, str) or len(value) > 40:
        return None
    return epoch_or_none(value, naive=False)


class DeviceState:
    def __init__(self, name: str, saved: Optional[Dict[str, Any]]) -> None:
        self.name = name
        saved = saved or {}
        self.availability: Optional[str] = _text(saved.get("availability"), 16)
        self.availability_at: Optional[str] = _text(saved.get("availability_at"))
        self.last_seen: Optional[float] = saved.get("last_seen_epoch") \
            if isinstance(saved.get("last_seen_epoch"), (int, float)) else None
        heard = saved.get("heard_epoch")
        self.heard_epoch: Optional[float] = heard if isinstance(heard, (int, float)) else self.last_seen
        self.since_pending = False  # "online" learned: its time is the next payload's time
        instance = saved.get("instance")
        self.instance: Optional[Dict[str, Any]] = instance if isinstance(instance, dict) else None
        conflict = saved.get("conflict")
        self.conflict: Optional[Dict[str, Any]] = conflict if isinstance(conflict, dict) else None
        self.replaced: Dict[str, float] = {}  # instance id: when another took its place
        self.twins: Dict[str, str] = {}  # instance id: client id of a second device of this name
        self.heard = time.monotonic()  # the holder's last live announcement
        self.twin_of: Optional[str] = _text(saved.get("twin_of"))
        self.known: Dict[str, Dict[str, Any]] = {}
        self.counts = {k: int(saved.get(k, 0)) if isinstance(saved.get(k, 0), int) else 0
                       for k in ("events", "repeats")}
        self.dirty = False
        self.urgent = False  # written at the next tick, not within the next few seconds
        self.written = 0.0

    def seen(self, when: Optional[float] = None) -> None:
        """A message of the device at ``when`` by its clock (None: it has no
        time, so now); never later than now, never back in time."""
        now = time.time()
        when = now if when is None else min(when, now)
        if self.since_pending:
            self.availability_at, self.since_pending = iso(when), False
        if self.last_seen is None or when > self.last_seen:
            self.last_seen = when
        self.dirty = True

    def mark_heard(self) -> None:
        self.heard_epoch = time.time()
        self.dirty = True

    def set_availability(self, payload: bytes, retained: bool) -> None:
        text = payload.decode("utf-8", "replace").strip().lower()
        if text not in ("online", "offline"):
            log.warning("device %s: availability %r is neither online nor offline", self.name, text[:40])
            return
        if text != self.availability:
            if not retained or self.availability is not None:
                log.info("device %s: %s", self.name, text)
            # offline: since its last message (a last will comes after it, a stop
            # right after it); online: from the time of its next message
            now = time.time()
            self.availability = text
            self.availability_at = iso(min(now, self.last_seen) if text == "offline" and self.last_seen else now)
            self.since_pending = text == "online"
            self.urgent = self.dirty = True

    def announce(self, fields: Dict[str, Any], retained: bool) -> None:
        """An ``instance`` message: a restart, a second device of the same
        name, or the same process again."""
        ident = _text(fields.get("instance"), 64)
        if ident is None:
            log.warning("device %s: an instance message without an instance id", self.name)
            return
        info = {k: fields[k] for k in ("instance", "client_id", "host", "pid", "started")
                if isinstance(fields.get(k), (str, int)) and not isinstance(fields.get(k), bool)}
        self.known[ident] = info
        while len(self.known) > KEPT_INSTANCES:
            self.known.pop(next(iter(self.known)))
        current = None if self.instance is None else self.instance.get("instance")
        if retained and current is not None:
            return  # what the broker kept: no news about who speaks now
        now = time.monotonic()
        if current == ident:
            self.instance, self.heard = info, now
            return
        holder = None if self.instance is None else self.instance.get("client_id")
        client = info.get("client_id")
        if current is not None and holder is not None and client is not None and client != holder:
            self._other_client(ident, info, now)
            return
        self.heard = now
        if current is not None:
            if ident in self.replaced and now - self.replaced[ident] < CONFLICT_WINDOW:
                self._reused(self.known.get(current, {"instance": current}), info)
            elif not retained:
                log.info("device %s: a new instance %s (was %s): restarted", self.name, ident[:8], current[:8])
            self.replaced[current] = now
            while len(self.replaced) > KEPT_INSTANCES:
                self.replaced.pop(next(iter(self.replaced)))
        self.instance = info
        self.urgent = self.dirty = True

    def _other_client(self, ident: str, info: Dict[str, Any], now: float) -> None:
        holder: Dict[str, Any] = self.instance or {}
        if now - self.heard < CONFLICT_WINDOW and self.availability != "offline":
            if ident not in self.twins:
                self.twins[ident] = str(info.get("client_id"))
                while len(self.twins) > KEPT_INSTANCES:
                    self.twins.pop(next(iter(self.twins)))
            self._reused(holder, info)
            self.urgent = self.dirty = True
            return
        log.info("device %s: now announced by client id %s (%s silent)", self.name,
                 info.get("client_id"), holder.get("client_id"))
        self.twins.pop(ident, None)
        self.instance, self.heard = info, now
        if self.conflict is not None:
            self.conflict = dict(self.conflict, active=False)
        self.urgent = self.dirty = True

    def _reused(self, one: Dict[str, Any], other: Dict[str, Any]) -> None:
        first = self.conflict is None or self.conflict.get("active") is False
        pair: List[Dict[str, Any]] = sorted([one, other], key=lambda i: str(i.get("instance")))
        self.conflict = {"at": iso(time.time()), "at_epoch": time.time(), "instances": pair, "active": True}
        if first:
            log.warning("device %s: two processes announce this name at once (client ids %s, hosts %s): "
                        "the second one's events kept under %s@<its client id>; give each device a name of its own",
                        self.name, " and ".join(str(i.get("client_id", "?")) for i in pair),
                        " and ".join(str(i.get("host", "?")) for i in pair), self.name)

    def as_dict(self) -> Dict[str, Any]:
        conflict = self.conflict
        if conflict is not None and isinstance(conflict.get("at_epoch"), (int, float)) \
                and time.time() - conflict["at_epoch"] > 5 * CONFLICT_WINDOW:
            conflict = dict(conflict, active=False)
        return {"device": self.name, "availability": self.availability,
                "availability_at": self.availability_at,
                "last_seen": iso(self.last_seen) if self.last_seen is not None else None,
                "last_seen_epoch": self.last_seen, "heard_epoch": self.heard_epoch, "instance": self.instance,
                "conflict": conflict, "events": self.counts["events"],
                "repeats": self.counts["repeats"], "twin_of": self.twin_of}
