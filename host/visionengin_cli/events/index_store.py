"""The index's SQLite file: its tables, opened in WAL mode, and set aside
(one warning, never a crash) when it is damaged or not ours, so that it is
made again from the log. Only the log is the truth: everything here can be
thrown away at any moment, a power cut included (each catching-up step is
one transaction with the offsets it reached)."""
from __future__ import annotations

import logging
import os
import sqlite3
import time
from typing import Optional, Tuple

log = logging.getLogger("visionengin.events")
VERSION = "2"  # a file of another version is set aside and made again
SCHEMA = """
CREATE TABLE IF NOT EXISTS meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS parts(
    id INTEGER PRIMARY KEY, device TEXT NOT NULL, name TEXT NOT NULL, head TEXT NOT NULL,
    ino INTEGER NOT NULL, gz INTEGER NOT NULL, offset INTEGER NOT NULL DEFAULT 0,
    seen INTEGER NOT NULL DEFAULT 0, tail TEXT NOT NULL DEFAULT '', bad INTEGER NOT NULL DEFAULT 0,
    first REAL, last REAL);
CREATE TABLE IF NOT EXISTS events(
    id INTEGER PRIMARY KEY, part INTEGER NOT NULL, t REAL NOT NULL, device TEXT NOT NULL,
    camera TEXT NOT NULL, info_type TEXT NOT NULL, score REAL, body TEXT NOT NULL);
CREATE INDEX IF NOT EXISTS events_t ON events(t);
CREATE INDEX IF NOT EXISTS events_camera ON events(camera, t);
CREATE INDEX IF NOT EXISTS events_camera_type ON events(camera, info_type, t);
CREATE INDEX IF NOT EXISTS events_type ON events(info_type, t);
CREATE INDEX IF NOT EXISTS events_part ON events(part);
CREATE TABLE IF NOT EXISTS incidents(
    id INTEGER PRIMARY KEY, device TEXT NOT NULL, incident TEXT NOT NULL, camera TEXT NOT NULL,
    info_type TEXT NOT NULL, start REAL NOT NULL, end REAL, s_part INTEGER, e_part INTEGER,
    s_body TEXT, e_body TEXT, UNIQUE(device, incident));
CREATE INDEX IF NOT EXISTS incidents_start ON incidents(start);
CREATE INDEX IF NOT EXISTS incidents_camera ON incidents(camera, start);
CREATE INDEX IF NOT EXISTS incidents_device ON incidents(device, start);
CREATE INDEX IF NOT EXISTS incidents_s_part ON incidents(s_part);
CREATE INDEX IF NOT EXISTS incidents_e_part ON incidents(e_part);
"""


class Foreign(Exception):
    """A file at the index's place that is not this root's index."""


def connect(path: str, uri: bool = False) -> sqlite3.Connection:
    conn = sqlite3.connect(path, timeout=10.0, isolation_level=None, check_same_thread=False, uri=uri)
    conn.execute("PRAGMA busy_timeout = 10000")
    return conn


def _prepare(conn: sqlite3.Connection, root: str, kind: str, in_memory: bool) -> None:
    if not in_memory:
        mode = conn.execute("PRAGMA journal_mode = WAL").fetchone()
        if not mode or str(mode[0]).lower() != "wal":
            raise sqlite3.DatabaseError("cannot use WAL mode (got {!r})".format(mode))
        conn.execute("PRAGMA synchronous = NORMAL")  # derived data: a lost last step is read again
    conn.execute("BEGIN IMMEDIATE")
    try:
        tables = {row[0] for row in conn.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if tables and "meta" not in tables:
            raise Foreign("it holds other tables")
        for statement in SCHEMA.split(";"):
            if statement.strip():
                conn.execute(statement)
        if kind == "fleet":  # a device's own root has one device: no rows to tell apart by it
            conn.execute("CREATE INDEX IF NOT EXISTS events_device ON events(device, t)")
        meta = dict(conn.execute("SELECT key, value FROM meta").fetchall())
        wanted = {"root": root, "kind": kind, "version": VERSION}
        if not meta:
            conn.executemany("INSERT INTO meta(key, value) VALUES (?, ?)", sorted(wanted.items()))
        elif any(meta.get(key) != value for key, value in wanted.items()):
            raise Foreign("it is the index of {!r} ({}, version {})".format(
                meta.get("root"), meta.get("kind"), meta.get("version")))
        conn.execute("COMMIT")
    except BaseException:
        if conn.in_transaction:
            conn.execute("ROLLBACK")
        raise


def set_aside(path: str, why: str) -> None:
    """Keeps the last damaged or foreign file as ``<path>.damaged`` (one,
    never more) for a look, and its journals go."""
    log.warning("the event index %s is set aside and made again from the event log: %s", path, why)
    try:
        os.replace(path, path + ".damaged")
    except FileNotFoundError:
        pass
    for suffix in ("-wal", "-shm"):
        try:
            os.unlink(path + suffix)
        except FileNotFoundError:
            pass


def open_index(path: str, root: str, kind: str) -> sqlite3.Connection:
    """The index at ``path``, made or repaired as needed. Raises OSError
    when the folder cannot be made or written (the caller falls back)."""
    os.makedirs(os.path.dirname(path), mode=0o700, exist_ok=True)
    for attempt in (0, 1):
        conn: Optional[sqlite3.Connection] = None
        try:
            conn = connect(path)
            _prepare(conn, root, kind, in_memory=False)
            return conn
        except (sqlite3.DatabaseError, Foreign) as error:
            if conn is not None:
                conn.close()
            if isinstance(error, sqlite3.OperationalError) and "locked" in str(error) or attempt:
                raise
            set_aside(path, str(error) or type(error).__name__)
    raise AssertionError("unreachable")


def open_in_memory(name: str, root: str, kind: str) -> Tuple[sqlite3.Connection, str]:
    """An index kept in this process's memory only, and the address its
    other connections open it by (while this one stays open): for a
    process that may write nowhere."""
    uri = "file:{}-{}?mode=memory&cache=shared".format(name, int(time.time() * 1e6))
    conn = connect(uri, uri=True)
    _prepare(conn, root, kind, in_memory=True)
    return conn, uri
