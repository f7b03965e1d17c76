"""The index's answers: alarm events and incidents by device, camera, info
type and time window, a page at a time. A page's ``next`` is an opaque
cursor (the time and row of its last item): passed back as ``before=`` it
gives the page after it, newest first, as ``after=`` the newer ones, oldest
first; each page costs the same, however far back it is."""
from __future__ import annotations

import base64
import json
import sqlite3
from typing import Any, Dict, List, Optional, Tuple

from ..storage.parsing import Bad

Cursor = Tuple[float, int]


def encode_cursor(kind: str, t: float, row: int) -> str:
    text = json.dumps([kind, t, row]).encode("ascii")
    return base64.urlsafe_b64encode(text).decode("ascii").rstrip("=")


def decode_cursor(kind: str, name: str, value: str) -> Cursor:
    """A cursor this API gave for ``kind``; Bad (naming ``name``) else."""
    try:
        if len(value) > 200:
            raise ValueError
        got = json.loads(base64.urlsafe_b64decode(value + "=" * (-len(value) % 4)))
        if not (isinstance(got, list) and len(got) == 3 and got[0] == kind
                and isinstance(got[1], (int, float)) and isinstance(got[2], int)
                and not isinstance(got[2], bool)):
            raise ValueError
        return float(got[1]), got[2]
    except (ValueError, TypeError, UnicodeError):
        raise Bad("{}: not a cursor of this list (give the \"next\" of an answer)".format(name)) from None


def _where(column: str, filters: Dict[str, Optional[str]], before: Optional[Cursor],
           after: Optional[Cursor]) -> Tuple[List[str], List[Any]]:
    clauses: List[str] = []
    values: List[Any] = []
    for name, value in filters.items():
        if value:
            clauses.append("{} = ?".format(name))
            values.append(value)
    if before is not None:
        clauses.append("{0} <= ? AND ({0} < ? OR id < ?)".format(column))
        values += [before[0], before[0], before[1]]
    if after is not None:
        clauses.append("{0} >= ? AND ({0} > ? OR id > ?)".format(column))
        values += [after[0], after[0], after[1]]
    return clauses, values


def _page(conn: sqlite3.Connection, sql: str, values: List[Any], limit: int, kind: str,
          key: int) -> Tuple[List[Tuple[Any, ...]], Optional[str]]:
    rows = conn.execute(sql, values + [limit + 1]).fetchall()
    more = len(rows) > limit
    rows = rows[:limit]
    return rows, encode_cursor(kind, rows[-1][key], rows[-1][0]) if more and rows else None


def events(conn: sqlite3.Connection, limit: int, since: Optional[float] = None,
           until: Optional[float] = None, device: Optional[str] = None, camera: Optional[str] = None,
           info_type: Optional[str] = None, before: Optional[Cursor] = None,
           after: Optional[Cursor] = None) -> Tuple[List[Dict[str, Any]], Optional[str]]:
    """Alarm events later than ``since``, not later than ``until``: newest
    first (oldest first with ``after``), with their device when there is
    one, and the cursor of the next page (None: no more)."""
    clauses, values = _where("t", {"device": device, "camera": camera, "info_type": info_type},
                             before, after)
    if since is not None:
        clauses.append("t > ?")
        values.append(since)
    if until is not None:
        clauses.append("t <= ?")
        values.append(until)
    order = "ASC" if after is not None else "DESC"
    sql = ("SELECT id, t, device, camera, info_type, body FROM events {} "
           "ORDER BY t {o}, id {o} LIMIT ?").format("WHERE " + " AND ".join(clauses) if clauses else "", o=order)
    rows, following = _page(conn, sql, values, limit, "e", 1)
    found = []
    for _, _, dev, cam, kind, body in rows:
        event = json.loads(body)
        event.update(camera=cam, info_type=kind)
        if dev:
            event["device"] = dev
        found.append(event)
    return found, following


def incidents(conn: sqlite3.Connection, limit: int, since: Optional[float] = None,
              until: Optional[float] = None, device: Optional[str] = None, camera: Optional[str] = None,
              info_type: Optional[str] = None, before: Optional[Cursor] = None,
              after: Optional[Cursor] = None) -> Tuple[List[Dict[str, Any]], Optional[str]]:
    """Incidents that overlap the window, by their start, newest first: the
    end's figures over the start's; a running one's count and best picture
    are those of its camera's alarms of its type since its start."""
    clauses, values = _where("start", {"device": device, "camera": camera, "info_type": info_type},
                             before, after)
    if since is not None:
        clauses.append("(end IS NULL OR end > ?)")
        values.append(since)
    if until is not None:
        clauses.append("start <= ?")
        values.append(until)
    order = "ASC" if after is not None else "DESC"
    sql = ("SELECT id, start, device, incident, camera, info_type, s_body, e_body FROM incidents {} "
           "ORDER BY start {o}, id {o} LIMIT ?").format(
        "WHERE " + " AND ".join(clauses) if clauses else "", o=order)
    rows, following = _page(conn, sql, values, limit, "i", 1)
    found = []
    for _, start, dev, ident, cam, kind, s_body, e_body in rows:
        incident: Dict[str, Any] = {"incident": ident, "open": e_body is None}
        for body in (s_body, e_body):
            if body:
                incident.update(json.loads(body))
        if e_body is None:
            _so_far(conn, incident, dev, cam, kind, start)
        if dev:
            incident["device"] = dev
        found.append(incident)
    return found, following


def _so_far(conn: sqlite3.Connection, incident: Dict[str, Any], device: str, camera: str,
            info_type: str, start: float) -> None:
    """A running incident as its alarms so far tell it: at least the count
    its start gave, the best scored picture (else its first)."""
    where = "device = ? AND camera = ? AND info_type = ? AND t >= ?"
    args = (device, camera, info_type, start)
    count = conn.execute("SELECT count(*) FROM events WHERE " + where, args).fetchone()[0]
    if count > (incident.get("count") if isinstance(incident.get("count"), int) else 0):
        incident["count"] = count
    best = conn.execute("SELECT score, body FROM events WHERE {} AND score IS NOT NULL "
                        "ORDER BY score DESC, t LIMIT 1".format(where), args).fetchone()
    score = incident.get("score")
    if best is not None and not (isinstance(score, (int, float)) and score >= best[0]):
        picture = json.loads(best[1]).get("picture")
        if isinstance(picture, str):
            incident["picture"], incident["score"] = picture, best[0]


def held(conn: sqlite3.Connection, device: Optional[str]) -> Tuple[Optional[float], int]:
    """(the time up to which retention removed events, None when nothing is
    known removed; the damaged lines skipped) for a device or all."""
    if device:
        rows = conn.execute("SELECT value FROM meta WHERE key = ?", ("removed_through:" + device,)).fetchall()
        bad = conn.execute("SELECT total(bad) FROM parts WHERE device = ?", (device,)).fetchone()[0]
    else:
        rows = conn.execute("SELECT value FROM meta WHERE key LIKE 'removed_through:%'").fetchall()
        bad = conn.execute("SELECT total(bad) FROM parts").fetchone()[0]
    cut = max((float(r[0]) for r in rows), default=None)
    return cut, int(bad)
