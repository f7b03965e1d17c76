"""Follows the event log into the index, step by step: each part (the
current ``events.jsonl``, the rotated ``events.N.jsonl[.gz]`` of a device,
the ``events-<stamp>.jsonl`` of a collector's device folder) is known by
its first line, so a rename (rotation) or a compression keeps what was read
of it, and how far it was read is kept with the rows in one transaction. A
part no longer there (retention) takes its rows with it; a part rewritten
under the same name (its first line changed, or it shrank) is read again.
Lines are taken in by ``storage.parsing``, as the page reads them.

A source read to its end and found quiet since (the same files in its
log, its current file's stat unchanged) is passed over without looking
into its files: a collector's root of a thousand quiet devices costs a
listing and a stat per device at each answer, not two listings and two
reads."""
from __future__ import annotations

import gzip
import hashlib
import json
import logging
import math
import os
import re
import sqlite3
import struct
import time
import zlib
from typing import Any, Callable, Dict, IO, Iterable, List, Optional, Set, Tuple, cast

from ..storage.parsing import Bad, alarm_line, parse_event, parse_time
from .rotation import CURRENT

log = logging.getLogger("visionengin.events")
PART_NAME = re.compile(r"^events(?:\.(\d+)|-(\d{8}T\d{6}(?:\.\d+)?Z))\.jsonl(\.gz)?$")
HEAD_BYTES = 64 * 1024 + 1  # a first line longer than an event line is none
CHUNK = 1 << 20
INCIDENT_KEYS = ("camera", "info_type", "zone", "start", "end", "count", "picture", "score", "clip")
Source = Tuple[str, str]  # (device, folder): "" for a device's own root
Quiet = Tuple[Tuple[Tuple[str, Tuple[str, bool]], ...], Tuple[int, int, int]]  # its log's files, the current one's stat
RACY_SECONDS = 2.0  # a file changed this recently may change again within one tick of its clock, unseen


def _order(name: str) -> Tuple[int, str]:
    """Parts oldest first, the current file last."""
    match = PART_NAME.match(name)
    if match is None:
        return (2, name)
    return (0, "{:020d}".format(int(match.group(1)))) if match.group(1) else (1, match.group(2))


def log_files(folder: str) -> Optional[Dict[str, Tuple[str, bool]]]:
    """{name without ".gz": (file name, compressed)} of a folder's log; a part
    found plain and compressed is its plain file. None: cannot be listed."""
    try:
        names = os.listdir(folder)
    except FileNotFoundError:
        return {}
    except OSError as error:
        log.warning("cannot list %s for the event index: %s", folder, error.strerror or error)
        return None
    found: Dict[str, Tuple[str, bool]] = {}
    for name in names:
        match = PART_NAME.match(name)
        if name == CURRENT:
            found[name] = (name, False)
        elif match is not None and not (match.group(3) and match.group(2)):
            plain = name[:-3] if match.group(3) else name
            if not match.group(3) or plain not in found:
                found[plain] = (name, bool(match.group(3)))
    return found


class _Gzip(gzip.GzipFile):
    """A compressed part read from a file already open, closed with it."""

    def __init__(self, raw: IO[bytes]) -> None:
        super().__init__(fileobj=raw, mode="rb")
        self._raw = raw

    def close(self) -> None:
        try:
            super().close()
        finally:
            self._raw.close()


def _open(path: str, gz: bool, ino: Optional[int] = None) -> IO[bytes]:
    """The file at ``path``; with ``ino``, only if it is still that file
    (FileNotFoundError otherwise): a rotation may have put another file
    under the name since it was listed."""
    raw = open(path, "rb")
    try:
        if ino is not None and os.fstat(raw.fileno()).st_ino != ino:
            raise FileNotFoundError(2, "renamed since it was listed", path)
        if gz:
            return cast(IO[bytes], _Gzip(raw))
    except BaseException:
        raw.close()
        raise
    return raw


def head_of(path: str, gz: bool) -> Optional[str]:
    """A digest of the file's first whole line, None while it has none."""
    with _open(path, gz) as file:
        first = file.readline(HEAD_BYTES)
    if not first.endswith(b"\n"):
        return None
    return hashlib.sha1(first).hexdigest()


def gz_length(path: str) -> int:
    """The text length a gzip file's trailer gives (modulo 4 GiB: a part is
    far smaller)."""
    with open(path, "rb") as file:
        if file.seek(0, os.SEEK_END) < 24:  # shorter than gzip's own header and trailer: nothing
            return 0
        file.seek(-4, os.SEEK_END)
        return int(struct.unpack("<I", file.read(4))[0])


def _plain(value: Any) -> bool:
    if isinstance(value, float):
        return math.isfinite(value)
    return value is None or isinstance(value, (bool, int)) or isinstance(value, str) and len(value) <= 1024


def current_stamp(folder: str) -> Optional[Tuple[int, int, int]]:
    """The current file's inode, size and time ((0, 0, 0): none); None when
    a write could still hide within the clock's tick, or the stat fails."""
    try:
        current = os.stat(os.path.join(folder, CURRENT))
    except FileNotFoundError:
        return 0, 0, 0
    except OSError:
        return None
    if time.time() - current.st_mtime <= RACY_SECONDS:
        return None
    return current.st_ino, current.st_size, current.st_mtime_ns


class Follower:
    """One catching-up step at a time over ``sources()`` (None: the list of
    sources cannot be known now, nothing is removed)."""

    def __init__(self, conn: sqlite3.Connection, sources: Callable[[], Optional[List[Source]]],
                 on_bad: Callable[[int], None]) -> None:
        self.conn, self.sources, self.on_bad = conn, sources, on_bad
        self.quiet: Dict[str, Quiet] = {}  # sources read to their end, as they then stood
        self.stamps: Dict[str, Quiet] = {}  # this step's: of the sources it looks at

    def step(self, budget: int) -> int:
        """Reads up to about ``budget`` bytes of new lines (of a compressed
        part, after decompressing what was read before: cheap next to
        parsing); returns the bytes left to read after it."""
        conn = self.conn
        self.stamps = {}
        conn.execute("BEGIN IMMEDIATE")
        try:
            work, pending = self._match()
            moved: Set[str] = set()  # devices with a part moved since the listing
            for part, path, gz, size in work:
                if budget <= 0 or part["device"] in moved:  # newer parts wait for it: no gap
                    pending += max(0, size - max(part["offset"], part["seen"]))
                    self.stamps.pop(part["device"], None)
                    continue
                try:
                    budget -= self._read(part, path, gz, size, budget)
                except FileNotFoundError:  # rotated or compressed since the listing: the next step
                    moved.add(part["device"])
                except (OSError, EOFError, zlib.error) as error:
                    self._unreadable(part, path, size, error)
                left = max(0, size - max(part["offset"], part["seen"]))
                if left or part["device"] in moved:
                    self.stamps.pop(part["device"], None)
                pending += left
            conn.execute("COMMIT")
        except BaseException:
            self.quiet.clear()  # what was read is not kept: every source is looked at again
            if conn.in_transaction:
                conn.execute("ROLLBACK")
            raise
        self.quiet.update(self.stamps)  # read to their end, as they stood before they were listed
        return pending

    # -- which part is which --------------------------------------------------

    def _match(self) -> Tuple[List[Tuple[Dict[str, Any], str, bool, int]], int]:
        conn = self.conn
        columns = ("id", "device", "name", "head", "ino", "gz", "offset", "seen", "tail", "bad", "first", "last")
        stored: Dict[str, List[Dict[str, Any]]] = {}
        for row in conn.execute("SELECT {} FROM parts".format(", ".join(columns))):
            part = dict(zip(columns, row))
            stored.setdefault(part["device"], []).append(part)
        sources = self.sources()
        work: List[Tuple[Dict[str, Any], str, bool, int]] = []
        pending = 0
        if sources is not None:
            listed = {device for device, _ in sources}
            for device in [d for d in self.quiet if d not in listed]:
                del self.quiet[device]
        for device, folder in sources or []:
            current = current_stamp(folder)  # before the listing: a change after either is seen next time
            files = log_files(folder)
            stamp = None if files is None or current is None else (tuple(sorted(files.items())), current)
            if stamp is not None and self.quiet.get(device) == stamp and device in stored:
                stored.pop(device)
                continue
            self.quiet.pop(device, None)
            known = stored.pop(device, [])
            if files is None:
                continue
            unsure = False
            matched: List[int] = []
            found_here: List[Tuple[Dict[str, Any], str, bool, int]] = []
            for plain in sorted(files, key=_order):
                name, gz = files[plain]
                path = os.path.join(folder, name)
                try:
                    found = self._part_of(known, matched, device, plain, path, gz)
                except OSError:  # gone or compressed between the listing and now
                    unsure = True
                    continue
                if found is not None:
                    found_here.append(found)
            # A rotation or a compression between the listing and the looks at
            # its files renames what was listed: a part not matched may only
            # have moved, and reading the newer parts without it would leave a
            # gap. Such a folder is read, and its lost parts dropped, only in a
            # step that sees it hold still.
            if log_files(folder) != files:
                pending += sum(max(0, size - max(part["offset"], part["seen"]))
                               for part, _, _, size in found_here)
                continue
            work.extend(found_here)
            if not unsure:
                self._drop([p for p in known if p["id"] not in matched], device)
                if stamp is not None:
                    self.stamps[device] = stamp  # unless a part of it is left unread
        if sources is not None:
            for device, parts in stored.items():  # a device folder gone
                self._drop(parts, device)
        return work, pending

    def _part_of(self, known: List[Dict[str, Any]], matched: List[int], device: str, plain: str,
                 path: str, gz: bool) -> Optional[Tuple[Dict[str, Any], str, bool, int]]:
        info = os.stat(path)
        size = gz_length(path) if gz else info.st_size
        same = [p for p in known if p["name"] == plain and p["ino"] == info.st_ino and p["gz"] == gz
                and p["id"] not in matched and size >= p["offset"]]
        head: Optional[str] = None
        rewritten = -1
        if same and plain == CURRENT:  # rewritten in place (same file, other lines)?
            head = head_of(path, gz)
            if head != same[0]["head"] or info.st_size < same[0]["seen"] \
                    or _tail(path, same[0]["offset"]) != same[0]["tail"]:
                rewritten, same = same[0]["id"], []
        if same:
            part = same[0]
        else:
            head = head if head is not None else head_of(path, gz)
            if head is None:
                return None
            alike = [p for p in known if p["head"] == head and p["id"] not in matched and p["id"] != rewritten]
            alike.sort(key=lambda p: p["name"] != plain)
            if alike and size >= alike[0]["offset"]:
                part = alike[0]
                self.conn.execute("UPDATE parts SET name = ?, ino = ?, gz = ? WHERE id = ?",
                                  (plain, info.st_ino, int(gz), part["id"]))
                part.update(name=plain, ino=info.st_ino, gz=gz)
            else:
                cursor = self.conn.execute(
                    "INSERT INTO parts(device, name, head, ino, gz) VALUES (?, ?, ?, ?, ?)",
                    (device, plain, head, info.st_ino, int(gz)))
                part = {"id": cursor.lastrowid, "device": device, "name": plain, "head": head,
                        "ino": info.st_ino, "gz": gz, "offset": 0, "seen": 0, "tail": "", "bad": 0,
                        "first": None, "last": None}
        matched.append(part["id"])
        return part, path, gz, size

    def _drop(self, parts: Iterable[Dict[str, Any]], device: str) -> None:
        """A part gone from the log (retention, a device's folder removed):
        its rows go. An incident begun in it and ended in a kept part stays,
        told by its end."""
        conn = self.conn
        for part in parts:
            last = conn.execute("SELECT max(t) FROM events WHERE part = ?", (part["id"],)).fetchone()[0]
            conn.execute("DELETE FROM events WHERE part = ?", (part["id"],))
            conn.execute("DELETE FROM incidents WHERE e_part = ? OR s_part = ? AND e_part IS NULL",
                         (part["id"], part["id"]))
            conn.execute("UPDATE incidents SET s_part = NULL, s_body = NULL WHERE s_part = ?", (part["id"],))
            conn.execute("DELETE FROM parts WHERE id = ?", (part["id"],))
            if last is not None:
                conn.execute("INSERT INTO meta(key, value) VALUES (?, ?) ON CONFLICT(key) DO UPDATE "
                             "SET value = max(CAST(value AS REAL), CAST(excluded.value AS REAL))",
                             ("removed_through:" + device, repr(float(last))))
            log.debug("event index: part %s of %r gone, its rows removed", part["name"], device)

    # -- reading ------------------------------------------------------------

    def _read(self, part: Dict[str, Any], path: str, gz: bool, size: int, budget: int) -> int:
        """Reads from the part's offset; returns the bytes read. What was
        read is kept with its offset even when reading fails midway."""
        start = part["offset"]
        if size <= max(start, part["seen"]):
            return 0
        read = 0
        try:
            with _open(path, gz, part["ino"]) as file:
                if gz:
                    _skip(file, start)
                else:
                    file.seek(start)
                rest = b""
                while read < budget:
                    chunk = file.read(CHUNK)
                    if not chunk:  # a last line without its newline: read again once the file grows
                        part["seen"] = size
                        break
                    read += len(chunk)
                    data = rest + chunk
                    cut = data.rfind(b"\n") + 1
                    if cut == 0 and len(data) > HEAD_BYTES:  # no line at all: damage, skipped whole
                        part["bad"] += 1
                        part["offset"] += len(data)
                        rest = b""
                        continue
                    self._lines(part, data[:cut])
                    part["offset"] += cut
                    rest = data[cut:]
            if not gz:
                part["tail"] = _tail(path, part["offset"])
        finally:
            self.conn.execute("UPDATE parts SET offset = ?, seen = ?, tail = ?, bad = ?, first = ?, last = ? "
                              "WHERE id = ?", (part["offset"], part["seen"], part["tail"], part["bad"],
                                               part["first"], part["last"], part["id"]))
        return read

    def _unreadable(self, part: Dict[str, Any], path: str, size: int, error: BaseException) -> None:
        """A part that cannot be read on (a damaged compressed file, a read
        error): what was read stays, the rest is counted as one damaged
        line, and it is not tried again unless it changes."""
        log.warning("event index: %s cannot be read past byte %d (%s); the rest of it is left out",
                    path, part["offset"], error)
        part["seen"], part["bad"] = size, part["bad"] + 1
        self.on_bad(1)
        self.conn.execute("UPDATE parts SET seen = ?, bad = ? WHERE id = ?", (size, part["bad"], part["id"]))

    def _lines(self, part: Dict[str, Any], data: bytes) -> None:
        events: List[Tuple[Any, ...]] = []
        bad = 0
        for raw in data.split(b"\n"):
            if not raw.strip():
                continue
            if alarm_line(raw):
                if b'"no_picture"' in raw:  # an alarm told without its picture: none to list
                    continue
                try:
                    event, moment = parse_event(raw)
                except Bad:
                    bad += 1
                    continue
                if event.get("type", "alarm") != "alarm":
                    continue
                body = json.dumps({k: v for k, v in event.items() if k not in ("camera", "info_type")},
                                  ensure_ascii=False, separators=(",", ":"))  # those two have columns
                events.append((part["id"], moment.timestamp(), part["device"], event["camera"],
                               event["info_type"], event.get("score"), body))
            elif b"incident_" in raw:
                self._incident(part, raw)
        if events:
            self.conn.executemany("INSERT INTO events(part, t, device, camera, info_type, score, body) "
                                  "VALUES (?, ?, ?, ?, ?, ?, ?)", events)
            first, last = min(e[1] for e in events), max(e[1] for e in events)
            part["first"] = first if part["first"] is None else min(part["first"], first)
            part["last"] = last if part["last"] is None else max(part["last"], last)
        if bad:
            part["bad"] += bad
            self.on_bad(bad)

    def _incident(self, part: Dict[str, Any], raw: bytes) -> None:
        try:
            line = json.loads(raw)
        except (ValueError, RecursionError):
            return
        if not isinstance(line, dict) or line.get("type") not in ("incident_start", "incident_end") \
                or not isinstance(line.get("incident"), str) or not isinstance(line.get("camera"), str) \
                or len(line["incident"]) > 256:
            return
        body = json.dumps({k: line[k] for k in INCIDENT_KEYS if k in line and _plain(line[k])})
        info_type = line.get("info_type") if isinstance(line.get("info_type"), str) else ""
        moment = parse_time(line.get("start")) or parse_time(line.get("time"))
        start = moment.timestamp() if moment is not None else 0.0
        key = (part["device"], line["incident"], line["camera"], info_type, start)
        if line["type"] == "incident_start":
            self.conn.execute(
                "INSERT INTO incidents(device, incident, camera, info_type, start, s_part, s_body) "
                "VALUES (?, ?, ?, ?, ?, ?, ?) ON CONFLICT(device, incident) DO UPDATE SET "
                "s_part = excluded.s_part, s_body = excluded.s_body", key + (part["id"], body))
        else:
            ended = parse_time(line.get("end")) or parse_time(line.get("time"))
            self.conn.execute(
                "INSERT INTO incidents(device, incident, camera, info_type, start, end, e_part, e_body) "
                "VALUES (?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT(device, incident) DO UPDATE SET "
                "end = excluded.end, e_part = excluded.e_part, e_body = excluded.e_body",
                key + (ended.timestamp() if ended is not None else start, part["id"], body))


def _tail(path: str, offset: int) -> str:
    """A digest of the bytes just before ``offset``: the current file
    rewritten in place (not only appended to) no longer has them."""
    with open(path, "rb") as file:
        file.seek(max(0, offset - 64))
        return hashlib.sha1(file.read(min(offset, 64))).hexdigest() if offset else ""


def _skip(file: IO[bytes], count: int) -> None:
    while count > 0:
        got = len(file.read(min(count, CHUNK)))
        if not got:
            return
        count -= got
