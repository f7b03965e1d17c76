"""Files answered in byte ranges, as a <video> element asks for them while it
plays and seeks: one range of ``Range: bytes=...`` is a 206 with exactly
those bytes, one that no byte of the file satisfies a 416, several at once
(which no player asks for) the whole file, as HTTP allows. Written here
rather than taken from Starlette's FileResponse: the releases that still run
on Python 3.8 either have no ranges (before 0.39) or merge many ranges in
quadratic time (0.39 to 0.49.0), and a range is a few lines to answer right."""
from __future__ import annotations

import email.utils
import hashlib
import logging
import os
import re
from typing import Any, Dict, Optional, Tuple

import anyio.to_thread
from starlette.responses import PlainTextResponse, Response

log = logging.getLogger("visionengin.web")
CHUNK = 256 * 1024
_ONE_RANGE = re.compile(r"^(\d{0,19})-(\d{0,19})$")


class Unsatisfiable(ValueError):
    """A range the file cannot answer (past its end, backwards, malformed)."""


def wanted_span(header: Optional[str], size: int) -> Optional[Tuple[int, int]]:
    """(first byte, one past the last) of the one range asked for; None for
    the whole file (no range, another unit, several ranges)."""
    if header is None:
        return None
    unit, sep, asked = header.partition("=")
    if not sep or unit.strip().lower() != "bytes":
        return None  # a unit we do not know: the whole file
    if "," in asked:
        return None
    match = _ONE_RANGE.match(asked.strip())
    if match is None or match.group(0) == "-":
        raise Unsatisfiable("malformed range")
    first, last = match.groups()
    if not first:  # the last N bytes
        length = int(last)
        if length == 0 or size == 0:
            raise Unsatisfiable("an empty suffix")
        return max(0, size - length), size
    start = int(first)
    end = size if not last else min(size, int(last) + 1)
    if last and int(last) < start:
        raise Unsatisfiable("backwards")
    if start >= size:
        raise Unsatisfiable("starts past the end")
    return start, end


class RangedFile(Response):
    """Bytes [start, end) of a file already opened; the file is closed once
    sent (or when the client leaves)."""

    def __init__(self, file: Any, start: int, end: int, status_code: int, headers: Dict[str, str]) -> None:
        self.file, self.start, self.end = file, start, end
        self.status_code, self.media_type, self.background = status_code, None, None
        self.init_headers(headers)

    async def __call__(self, scope: Any, receive: Any, send: Any) -> None:
        try:
            await send({"type": "http.response.start", "status": self.status_code,
                        "headers": self.raw_headers})
            if scope.get("method") == "HEAD" or self.start >= self.end:
                await send({"type": "http.response.body", "body": b"", "more_body": False})
                return
            await anyio.to_thread.run_sync(self.file.seek, self.start)
            left = self.end - self.start
            while left > 0:
                chunk = await anyio.to_thread.run_sync(self.file.read, min(CHUNK, left))
                if not chunk:  # cut short under us (retention): the connection ends early
                    log.warning("%s ended %d bytes before the length it had", self.file.name, left)
                    break
                left -= len(chunk)
                await send({"type": "http.response.body", "body": chunk, "more_body": left > 0})
        finally:
            self.file.close()


def file_response(path: str, media_type: str, headers: Any) -> Response:
    """``path`` answered as ``headers`` (the request's) ask: 200 whole, 206
    a range, 416 a range it cannot satisfy, 404 when it is gone."""
    try:
        file = open(path, "rb")
        stat = os.fstat(file.fileno())
    except OSError as error:
        log.warning("cannot read %s: %s", path, error.strerror or error)
        return PlainTextResponse("Not Found", status_code=404)
    size = stat.st_size
    etag = '"{}"'.format(hashlib.sha1("{}-{}".format(stat.st_mtime, size).encode()).hexdigest()[:20])
    modified = email.utils.formatdate(stat.st_mtime, usegmt=True)
    common = {"Accept-Ranges": "bytes", "ETag": etag, "Last-Modified": modified,
              "Content-Type": media_type}
    asked = headers.get("range")
    if_range = headers.get("if-range")
    if if_range is not None and if_range.strip() not in (etag, modified):
        asked = None  # the file changed since the client's first part: all of it again
    try:
        span = wanted_span(asked, size)
    except Unsatisfiable:
        file.close()
        return PlainTextResponse("Range Not Satisfiable: the file has {} bytes\n".format(size),
                                 status_code=416, headers={"Content-Range": "bytes */{}".format(size),
                                                           "Accept-Ranges": "bytes"})
    if span is None:
        return RangedFile(file, 0, size, 200, dict(common, **{"Content-Length": str(size)}))
    start, end = span
    return RangedFile(file, start, end, 206, dict(common, **{
        "Content-Length": str(end - start),
        "Content-Range": "bytes {}-{}/{}".format(start, end - 1, size)}))

