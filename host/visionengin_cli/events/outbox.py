"""A sink's outbox: events first go to disk here, a sender delivers them and
acknowledges, so nothing is lost to a broker or receiver away, or to a
restart of the service.

One folder per sink under the results root, ``outbox/<sink>/``, holding
append-only segments (``<number>.jsonl``, one event a line) and ``state.json``
(the first event not yet delivered, as segment and byte offset, the
counts, and the newest event queued). Its newest line is also this sink's
place in the event log: the id and time of the newest log event it took in,
kept atomically with the queue because it is the queue's own last line
(``mark``; ``sinks/replay.py`` queues the log's later events at a start).
A new outbox records the log's newest event as its mark, so a sink added
for the first time starts from now. ``.lock`` is held while the outbox is
open: a second process using the folder is refused, and temporary files a
crash left there are removed at the opening. Every line goes out in one checked write; a line cut short (a full
disk, a crash) is cut back to the last whole one. Past the cap the oldest
segment goes whole; what it held undelivered is counted and logged as
dropped. Delivery is at least once and in order: an event delivered just
before a crash is sent again after it, under the same ``id``.

While the folder cannot be written (a full disk) events are held in memory
(``outbox_held``) and delivered from there, with one warning; once a write
works again they are written to the folder, those delivered meanwhile as
delivered, so none goes out twice. What a crash takes while they are held
is what the event log, on the same disk, loses with it.
"""
from __future__ import annotations

import errno
import fcntl
import json
import logging
import os
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

from ..storage import atomic
from .outbox_held import HELD, Held

log = logging.getLogger("visionengin.sinks")
SEGMENT_BYTES = 1 << 20
DEFAULT_CAP = 64 << 20  # bytes of undelivered events a sink may hold
STATE = "state.json"
STATE_PERIOD = 0.5  # seconds
Position = Tuple[int, int]  # segment number, byte offset in it
Mark = Tuple[Optional[str], Optional[str]]  # id and time of the newest event queued
TAIL_BYTES = 1 << 20  # how far back a segment is read for its last whole line
LOCK = ".lock"


class OutboxBusy(OSError):
    """Another process has the outbox open."""


class Outbox:
    """Thread-safe: the event writer appends, the sink's sender reads and
    acknowledges."""

    def __init__(self, folder: str, cap: int = DEFAULT_CAP, segment_bytes: int = SEGMENT_BYTES) -> None:
        self.folder, self.cap, self.segment_bytes = folder, max(cap, 2 * segment_bytes), segment_bytes
        self.name = os.path.basename(folder.rstrip(os.sep))
        self._lock = threading.Lock()
        self._state_at = 0.0
        self.added = threading.Condition(self._lock)
        os.makedirs(folder, exist_ok=True)
        self._lock_fd = _take(folder)
        _clean(folder)
        fresh = not os.path.exists(os.path.join(folder, STATE))
        state = self._read_state()
        self.delivered, self.dropped = int(state.get("delivered", 0)), int(state.get("dropped", 0))
        self.segments = sorted(int(name[:-6]) for name in os.listdir(folder)
                               if name.endswith(".jsonl") and name[:-6].isdigit())
        if not self.segments:
            self.segments = [1]
        self.acked: Position = (int(state.get("segment", self.segments[0])), int(state.get("offset", 0)))
        if self.acked[0] < self.segments[0]:  # its segment was dropped
            self.acked = (self.segments[0], 0)
        self._fd = self._open(self.segments[-1])
        if self.acked[1] > self._bytes(self.acked[0]):  # a power cut took lines the state had seen
            self.acked = (self.acked[0], self._bytes(self.acked[0]))
        self.size = sum(self._bytes(n) for n in self.segments)
        self.queued = self._count_from(self.acked)
        self._dirty = False  # appended since the last fsync
        self.held = Held()  # while the folder cannot be written
        self.mark: Mark = self._last_line() or _mark(state.get("mark"))
        # No state and nothing queued ever: a sink added now, which starts from now.
        self.fresh = fresh and self.mark == (None, None)

    # writing ---------------------------------------------------------------
    def append(self, event: Dict[str, Any]) -> None:
        """Adds one event (JSON-ready, with its "id"); held in memory when it
        cannot be written whole (a full disk), written once it can be."""
        data = (json.dumps(event, ensure_ascii=False, separators=(",", ":")) + "\n").encode("utf-8")
        with self._lock:
            self.queued += 1
            self.fresh = False
            self.mark = (_text(event.get("id")), _text(event.get("time")))
            if not self.held:
                try:
                    self._write(data)
                except OSError as error:
                    self.held.reason = error.strerror or str(error)
                    log.warning("outbox %s: cannot write (%s): events held in memory and "
                                "delivered from there (at most %d) until it can", self.name,
                                self.held.reason, self.held.limit)
                    self._hold(data, event)
            else:  # after those held: the order stays
                self._hold(data, event)
            self.added.notify_all()

    def _write(self, data: bytes) -> None:
        if os.fstat(self._fd).st_size >= self.segment_bytes:
            self._next_segment()
        start = os.lseek(self._fd, 0, os.SEEK_END)
        try:
            written = os.write(self._fd, data)
            if written != len(data):
                raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))  # what a short write means here
        except OSError:
            os.ftruncate(self._fd, start)  # never leave half a line
            raise
        self.size += len(data)
        self._dirty = True
        self._bound()

    def _hold(self, data: bytes, event: Dict[str, Any]) -> None:
        if self.held.add(data, event):
            self.queued -= 1
            self.dropped += 1
            if self.held.lost == 1:
                log.warning("outbox %s: more than %d events held in memory: the oldest "
                            "undelivered dropped and counted", self.name, self.held.limit)

    def _settle(self) -> None:
        """What is held, to the folder, if it can be written again."""
        while self.held:
            first = self.held.events[0]
            try:
                self._write(first.data)
            except OSError:
                return
            self.held.events.popleft()
            if first.delivered:  # delivered from memory: not again
                self.acked = (self.segments[-1], os.fstat(self._fd).st_size)
        held, sent, lost = self.held.end()
        log.warning("outbox %s: written again: %d events held in memory meanwhile, %d of them "
                    "delivered from there, %d lost", self.name, held, sent, lost)
        self._write_state()

    def start_at(self, mark: Mark) -> None:
        """A new outbox: ``mark`` (the log's newest event now) is where it
        starts, recorded at once."""
        with self._lock:
            self.mark, self.fresh = mark, False
            self._write_state()

    def sync(self) -> None:
        """What was queued, to the disk (called about once a second, off the
        cameras' path: an fsync may take a while on a memory card)."""
        with self._lock:
            if not self._dirty or self._fd < 0:
                return
            self._dirty = False
            fd = os.dup(self._fd)
        try:
            os.fsync(fd)
        except OSError as error:
            log.error("outbox %s: cannot sync to disk: %s", self.name, error.strerror or error)
        finally:
            os.close(fd)

    def _next_segment(self) -> None:
        number = self.segments[-1] + 1
        fd = self._open(number)  # first: on a full disk nothing changes
        try:
            os.fsync(self._fd)
        except OSError as error:
            log.error("outbox %s: cannot sync to disk: %s", self.name, error.strerror or error)
        os.close(self._fd)
        self.segments.append(number)
        self._fd = fd

    def _bound(self) -> None:
        while self.size > self.cap and len(self.segments) > 1:
            oldest = self.segments.pop(0)
            lost = self._count_from(self.acked, only=oldest) if self.acked[0] <= oldest else 0
            self.size -= self._bytes(oldest)
            try:
                os.unlink(self._path(oldest))
            except OSError as error:
                log.error("outbox %s: cannot remove a full segment: %s", self.name, error)
            if self.acked[0] <= oldest:
                self.acked = (self.segments[0], 0)
            self.queued -= lost
            self.dropped += lost
            log.warning("outbox %s: full (%d bytes), dropped the oldest %d undelivered events "
                        "(%d dropped so far)", self.name, self.cap, lost, self.dropped)
            self._write_state()

    # reading ---------------------------------------------------------------
    def peek(self, limit: int = 50) -> List[Tuple[Position, Dict[str, Any]]]:
        """Up to ``limit`` undelivered events in order, each with the position
        after it (what ``ack`` takes)."""
        out: List[Tuple[Position, Dict[str, Any]]] = []
        with self._lock:
            segment, offset = self.acked
            for number in [n for n in self.segments if n >= segment]:
                try:
                    with open(self._path(number), "rb") as file:
                        file.seek(offset if number == segment else 0)
                        at = file.tell()
                        for raw in file:
                            if not raw.endswith(b"\n"):
                                break  # being written
                            at += len(raw)
                            try:
                                event = json.loads(raw)
                            except ValueError:
                                log.error("outbox %s: an unreadable line skipped", self.name)
                                event = None
                            if isinstance(event, dict):
                                out.append(((number, at), event))
                            elif out:  # carry the skip with the next ack
                                out[-1] = ((number, at), out[-1][1])
                            else:
                                self.acked = (number, at)
                                self.queued = max(0, self.queued - 1)
                            if len(out) >= limit:
                                return out
                except FileNotFoundError:
                    continue
            return out + self.held.undelivered(limit - len(out))

    def ack(self, position: Position, count: int = 1) -> None:
        """Everything before ``position`` is delivered."""
        with self._lock:
            if position[0] == HELD:
                count = self.held.ack(position[1])
                self.delivered += count
                self.queued = max(0, self.queued - count)
                return
            if position <= self.acked:
                return
            self.acked = position
            self.delivered += count
            self.queued = max(0, self.queued - count)
            while len(self.segments) > 1 and self.segments[0] < position[0]:
                oldest = self.segments.pop(0)
                self.size -= self._bytes(oldest)
                try:
                    os.unlink(self._path(oldest))
                except OSError as error:
                    log.error("outbox %s: cannot remove a delivered segment: %s", self.name, error)
            # Recorded when the box empties or every STATE_PERIOD: a crash between
            # sends a few events again, which at-least-once allows.
            now = time.monotonic()
            if self.queued == 0 or now - self._state_at >= STATE_PERIOD:
                self._state_at = now
                self._write_state()

    def wait(self, timeout: float) -> bool:
        """Until an event is queued or ``timeout`` passes; True when one is."""
        with self._lock:
            if self.held:  # on the sender's thread, between two batches: no held ack pending
                self._settle()
            if self.queued == 0:
                self.added.wait(timeout)
            return self.queued > 0

    def close(self) -> None:
        with self._lock:
            if self.held and self._fd >= 0:
                self._settle()
            left = len(self.held.undelivered(self.held.limit))
            if left:
                self.dropped += left
                log.warning("outbox %s: %d undelivered events held in memory could not be "
                            "written before the stop: lost to this sink", self.name, left)
            if self._fd >= 0:
                try:
                    os.fsync(self._fd)
                except OSError as error:
                    log.error("outbox %s: cannot sync to disk: %s", self.name, error.strerror or error)
            self._write_state()
            if self._fd >= 0:
                os.close(self._fd)
                self._fd = -1
            if self._lock_fd >= 0:
                os.close(self._lock_fd)
                self._lock_fd = -1

    # files -----------------------------------------------------------------
    def _path(self, number: int) -> str:
        return os.path.join(self.folder, "{:012d}.jsonl".format(number))

    def _open(self, number: int) -> int:
        fd = os.open(self._path(number), os.O_RDWR | os.O_CREAT, 0o600)
        size = os.fstat(fd).st_size
        if size:  # a line cut short by a crash or a full disk: cut back
            os.lseek(fd, max(0, size - 65536), os.SEEK_SET)
            tail = os.read(fd, 65536)
            if not tail.endswith(b"\n"):
                cut = size - len(tail) + tail.rfind(b"\n") + 1
                log.warning("outbox %s: the last line of %s was cut short (a crash or a full "
                            "disk): %d bytes set aside", self.name, os.path.basename(
                                self._path(number)), size - cut)
                os.ftruncate(fd, cut)
        return fd

    def _last_line(self) -> Optional[Mark]:
        """The mark the newest whole line of the newest segment holding one gives."""
        for number in reversed(self.segments):
            try:
                with open(self._path(number), "rb") as file:
                    size = file.seek(0, os.SEEK_END)
                    file.seek(max(0, size - TAIL_BYTES))
                    lines = file.read().split(b"\n")
            except OSError:
                continue
            for raw in reversed(lines):
                try:
                    event = json.loads(raw) if raw.strip() else None
                except ValueError:
                    continue
                if isinstance(event, dict) and isinstance(event.get("id"), str):
                    return (event["id"], _text(event.get("time")))
        return None

    def _bytes(self, number: int) -> int:
        try:
            return os.path.getsize(self._path(number))
        except OSError:
            return 0

    def _count_from(self, position: Position, only: Optional[int] = None) -> int:
        count = 0
        for number in self.segments if only is None else [only]:
            if number < position[0]:
                continue
            try:
                with open(self._path(number), "rb") as file:
                    file.seek(position[1] if number == position[0] else 0)
                    count += file.read().count(b"\n")
            except OSError:
                continue
        return count

    def _read_state(self) -> Dict[str, Any]:
        try:
            with open(os.path.join(self.folder, STATE), encoding="utf-8") as file:
                state = json.load(file)
        except FileNotFoundError:
            return {}
        except (OSError, ValueError) as error:
            log.error("outbox %s: state unreadable (%s): sending from the oldest event kept",
                      self.name, error)
            return {}
        # Each count a whole number or the file is not ours to trust: a wrong
        # type must not stop the start (it would again at every restart).
        if not isinstance(state, dict) or not all(
                isinstance(state.get(key, 0), int) and not isinstance(state.get(key, 0), bool)
                and state.get(key, 0) >= 0 for key in ("segment", "offset", "delivered", "dropped")):
            log.error("outbox %s: state unreadable (not the counts it should hold): sending from "
                      "the oldest event kept", self.name)
            return {}
        return state

    def _write_state(self) -> None:
        # A name of its own per write (storage.atomic): a crash's leftover or
        # another writer never meets this one's temporary file.
        state = {"segment": self.acked[0], "offset": self.acked[1], "delivered": self.delivered,
                 "dropped": self.dropped, "mark": {"id": self.mark[0], "time": self.mark[1]}}
        try:
            atomic.replace_json(os.path.join(self.folder, STATE), state, in_place_when_full=True)
        except OSError as error:  # delivered again after a restart: at least once holds
            log.error("outbox %s: cannot record delivery: %s", self.name, error)


def _clean(folder: str) -> None:
    """Temporary files a crash left in the folder (the state's, published.json's):
    ours to remove, as the folder's lock is held."""
    for name in os.listdir(folder):
        if name.endswith(".tmp"):
            try:
                os.unlink(os.path.join(folder, name))
            except OSError as error:
                log.error("outbox %s: cannot remove the leftover %s: %s",
                          os.path.basename(folder), name, error.strerror or error)


def _text(value: Any) -> Optional[str]:
    return value if isinstance(value, str) else None


def _mark(value: Any) -> Mark:
    if not isinstance(value, dict):
        return (None, None)
    return (_text(value.get("id")), _text(value.get("time")))


def _take(folder: str) -> int:
    """The outbox's lock, held until close; OutboxBusy when another process has it."""
    path = os.path.join(folder, LOCK)
    fd = os.open(path, os.O_RDWR | os.O_CREAT, 0o600)
    try:
        fcntl.lockf(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
    except OSError:
        os.close(fd)
        raise OutboxBusy(16, "{} is used by another process (two units with the same cameras "
                             "on one results root?)".format(folder)) from None
    return fd


def bytes_under(root: str) -> int:
    """What every sink's outbox under ``root`` takes on disk, for retention:
    a few segment files per sink, so this stays cheap."""
    total = 0
    top = os.path.join(root, "outbox")
    try:
        sinks = os.listdir(top)
    except OSError:
        return 0
    for sink in sinks:
        folder = os.path.join(top, sink)
        try:
            names = os.listdir(folder)
        except OSError:
            continue
        for name in names:
            try:
                total += os.stat(os.path.join(folder, name)).st_size
            except OSError:
                continue
    return total
