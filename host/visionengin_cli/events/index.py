"""The index over a results root's event log, as the page and the API ask
it: caught up with the log before each answer (a few MB at most inline, the
rest by a background thread that ends once it has caught up), answers that
say whether they are whole (``complete``, and ``reason`` when not: still
catching up, the index unusable, a window older than what retention left),
and made again from the log when it is missing, damaged or not ours. A
camera never needs it: only the readers make and use it."""
from __future__ import annotations

import datetime
import logging
import os
import re
import sqlite3
import threading
import time
import weakref
from typing import Any, Callable, Dict, List, Optional, Tuple, TypeVar

from . import index_query as query
from .index_follow import Follower, Source
from .index_place import index_path
from .index_store import connect, open_in_memory, open_index, set_aside

log = logging.getLogger("visionengin.events")
INLINE_BYTES = 256 << 10  # read before an answer (a fraction of a second); more is left to the background
STEP_BYTES = 1 << 20  # the background's step: the lock is free between two
WAIT_SECONDS = 2.0  # an answer waits this long at most for the writer
T = TypeVar("T")
NUMBERED = re.compile(r"^events\.(\d+)\.jsonl$")


def _mb(size: int) -> str:
    return "{:.1f} MB".format(size / 1e6)


class EventIndex:
    def __init__(self, root: str, kind: str, sources: Callable[[], Optional[List[Source]]],
                 on_bad: Callable[[int], None], environ: Optional[Dict[str, str]] = None) -> None:
        self.root, self.kind, self.sources, self.on_bad = root, kind, sources, on_bad
        self.path = index_path(root, kind, dict(os.environ if environ is None else environ))
        self.lock = threading.Lock()  # one writer in this process; SQLite orders processes
        self.conn: Optional[sqlite3.Connection] = None
        self.address = self.path  # what readers open: the file, or the shared memory
        self.follower: Optional[Follower] = None
        self.pending = -1  # bytes of log not yet indexed at the last look; -1: never looked
        self.trouble: Optional[str] = None
        self.waiting = 0
        self.builder: Optional[threading.Thread] = None
        self._closer: Optional[Callable[[], object]] = None

    # -- keeping up ----------------------------------------------------------

    def _writer(self) -> Follower:
        if self.follower is None:
            try:
                self.conn = open_index(self.path, self.root, self.kind)
                self.address = self.path
            except (OSError, sqlite3.Error) as error:
                if "locked" in str(error) or "busy" in str(error):
                    raise  # another process is making it: tried again at the next step
                log.warning("cannot keep the event index at %s (%s): it is kept in memory, "
                            "and made again at every start", self.path, error)
                self.conn, self.address = open_in_memory("visionengin-index", self.root, self.kind)
            # Closed when this index goes, not left to the collector (which warns of it)
            self._closer = weakref.finalize(self, self.conn.close)
            self.follower = Follower(self.conn, self.sources, self.on_bad)
        return self.follower

    def _step(self, budget: int) -> None:
        """One step under the lock; a damaged index is set aside and made
        again, a busy one (another process writing) tried again later."""
        try:
            self.pending = self._writer().step(budget)
            self.trouble = None
        except sqlite3.OperationalError as error:  # busy, a full disk, a folder gone: not damage
            if "locked" in str(error) or "busy" in str(error):
                self.trouble = "the index is busy in another process"
            else:
                self._trouble("the index cannot be written now: {}".format(error))
        except sqlite3.DatabaseError as error:
            self._damaged(error)
        except OSError as error:
            self._trouble("the event log cannot be read now: {}".format(error.strerror or error))

    def _trouble(self, why: str) -> None:
        if why != self.trouble:
            log.warning("event index of %s: %s", self.root, why)
        self.trouble = why

    def _damaged(self, error: Exception) -> None:
        self.trouble = "the index was damaged and is being made again from the event log"
        if self._closer is not None:
            self._closer()  # closes the connection, and forgets it
            self._closer = None
        self.conn = self.follower = None
        if self.address == self.path:
            set_aside(self.path, str(error))
        self.pending = -1

    def start(self) -> None:
        """Catches up in the background (no-op while that runs)."""
        with self.lock:
            if self.builder is not None and self.builder.is_alive():
                return
            self.builder = threading.Thread(target=self._build, name="event-index", daemon=True)
            self.builder.start()

    def _build(self) -> None:
        started, last_told, failures = time.monotonic(), time.monotonic(), 0
        while failures < 3:
            with self.lock:
                self._step(STEP_BYTES)
                if self.pending == 0:
                    break
                failures = failures + 1 if self.trouble else 0
            if time.monotonic() - last_told > 30:
                last_told = time.monotonic()
                log.info("event index of %s: %s of the log left to read", self.root, _mb(max(0, self.pending)))
            # An answer waiting goes first; a busy or damaged index is tried again a little later.
            time.sleep(0.5 if self.trouble else 0.05 if self.waiting else 0.001)
        log.debug("event index of %s: caught up or stopped after %.1f s", self.root, time.monotonic() - started)

    def _catch_up(self) -> None:
        self.waiting += 1
        try:
            got = self.lock.acquire(timeout=WAIT_SECONDS)
        finally:
            self.waiting -= 1
        if got:
            try:
                self._step(INLINE_BYTES)
            finally:
                self.lock.release()
        if self.pending != 0:
            self.start()

    # -- answers -------------------------------------------------------------

    def _ask(self, ask: Callable[[sqlite3.Connection], T]) -> Optional[T]:
        self._catch_up()
        if self.conn is None:
            return None
        try:
            reader = connect(self.address, uri=self.address != self.path)
        except sqlite3.Error as error:
            self.trouble = "the index cannot be opened: {}".format(error)
            return None
        try:
            return ask(reader)
        except sqlite3.DatabaseError as error:
            if "locked" in str(error) or "busy" in str(error):
                self.trouble = "the index is busy in another process"
            else:
                with self.lock:
                    self._damaged(error)
                self.start()
            return None
        finally:
            reader.close()

    def _state(self, cut: Optional[float], since: Optional[float], until: Optional[float]) -> Dict[str, Any]:
        reasons = []
        if self.trouble:
            reasons.append(self.trouble)
        elif self.pending != 0:
            reasons.append("the index is catching up with the event log: {} left to read".format(
                _mb(self.pending)) if self.pending > 0 else "the index is being made")
        start = since if since is not None else until
        if cut is not None and start is not None and start < cut:
            reasons.append("the log no longer holds events before {} (removed by retention)".format(
                datetime.datetime.fromtimestamp(cut, datetime.timezone.utc).isoformat()))
        state: Dict[str, Any] = {"complete": not reasons}
        if reasons:
            state["reason"] = "; ".join(reasons)
        if cut is not None:
            state["held_since"] = datetime.datetime.fromtimestamp(cut, datetime.timezone.utc).isoformat()
        return state

    def _held(self, conn: sqlite3.Connection, device: Optional[str]) -> Tuple[Optional[float], int]:
        cut, bad = query.held(conn, device)
        if cut is None and self.kind == "device":  # made after retention had removed parts
            rows = conn.execute("SELECT name, first FROM parts").fetchall()
            numbered = [(int(m.group(1)), first) for name, first in rows for m in [NUMBERED.match(name)] if m]
            if numbered and min(numbered)[0] > 1:
                cut = min((first for _, first in numbered if first is not None), default=None)
        return cut, bad

    def page(self, what: str, limit: int, since: Optional[float] = None, until: Optional[float] = None,
             device: Optional[str] = None, camera: Optional[str] = None, info_type: Optional[str] = None,
             before: Optional[query.Cursor] = None,
             after: Optional[query.Cursor] = None) -> Dict[str, Any]:
        """``what`` ("events" or "incidents"): {what: [...], "next": cursor
        or None, "complete": bool, "reason" when not, "skipped"}."""
        lister = query.events if what == "events" else query.incidents

        def ask(conn: sqlite3.Connection) -> Tuple[List[Dict[str, Any]], Optional[str], Optional[float], int]:
            found, following = lister(conn, limit, since, until, device, camera, info_type, before, after)
            cut, bad = self._held(conn, device)
            return found, following, cut, bad

        got = self._ask(ask)
        if got is None:
            answer: Dict[str, Any] = {what: [], "next": None, "skipped": {"event_line": 0}}
            answer.update(self._state(None, since, until))
            if answer["complete"]:
                answer.update(complete=False, reason=self.trouble or "the index is not ready")
            return answer
        found, following, cut, bad = got
        answer = {what: found, "next": following, "skipped": {"event_line": bad}}
        answer.update(self._state(cut, since, until))
        return answer
