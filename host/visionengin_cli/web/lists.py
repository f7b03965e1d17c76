"""The query of a list of the API (``/api/events``, ``/api/incidents``): its
page size, its time window and its cursor, each refused with a one-line
reason (a 400) rather than bent: a ``limit`` over the most is refused, not
cut, so that a client never takes a cut answer for a whole one."""
from __future__ import annotations

import datetime
from typing import Any, NamedTuple, Optional

from ..events.index_query import Cursor, decode_cursor
from ..storage.parsing import Bad, parse_limit, parse_since


class ListQuery(NamedTuple):
    limit: int
    since: Optional[datetime.datetime]
    until: Optional[datetime.datetime]
    before: Optional[Cursor]
    after: Optional[Cursor]


def list_query(params: Any, kind: str, default_limit: int, most: int) -> ListQuery:
    """``kind``: "e" (events) or "i" (incidents), whose cursors are not
    each other's."""
    since = parse_since(params["since"]) if params.get("since") else None
    try:
        until = parse_since(params["until"]) if params.get("until") else None
    except Bad:
        raise Bad("until: not an ISO 8601 time or epoch seconds between 1970 and 3000") from None
    limit = parse_limit(params.get("limit", str(default_limit)), most)
    before = decode_cursor(kind, "before", params["before"]) if params.get("before") else None
    after = decode_cursor(kind, "after", params["after"]) if params.get("after") else None
    if before is not None and after is not None:
        raise Bad("before, after: give one of them, not both")
    return ListQuery(limit, since, until, before, after)
