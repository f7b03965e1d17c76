"""The one home of the times written to and read from our files: ``iso``
writes epoch seconds as ISO 8601 in UTC with the offset; ``epoch`` reads
such a time back and refuses anything else with ``BadTime``: a bad time is
never quietly taken for "now", the caller decides what it means."""
from __future__ import annotations

import datetime
from typing import Any, Optional, overload

UTC = datetime.timezone.utc
LONGEST = 64  # characters: no ISO 8601 time of ours is longer


class BadTime(ValueError):
    """A value that is not an ISO 8601 time."""


@overload
def iso(seconds: float) -> str: ...


@overload
def iso(seconds: None) -> None: ...


def iso(seconds: Optional[float]) -> Optional[str]:
    """time.time() as ISO 8601 with the UTC offset, or None."""
    if seconds is None:
        return None
    return datetime.datetime.fromtimestamp(seconds, UTC).isoformat()


def epoch(text: Any, naive: bool = True) -> float:
    """An ISO 8601 time (a trailing "Z" too) as epoch seconds. A time
    without its offset is taken as UTC, or refused when ``naive`` is False.
    Raises BadTime for anything else."""
    if not isinstance(text, str) or not text or len(text) > LONGEST:
        raise BadTime("not an ISO 8601 time: {!r}".format(text)[:120])
    try:
        moment = datetime.datetime.fromisoformat(text[:-1] + "+00:00" if text[-1:] in "zZ" else text)
        if moment.tzinfo is None:
            if not naive:
                raise BadTime("an ISO 8601 time without its offset: {!r}".format(text))
            moment = moment.replace(tzinfo=UTC)
        return moment.timestamp()
    except (ValueError, OverflowError) as error:
        if isinstance(error, BadTime):
            raise
        raise BadTime("not an ISO 8601 time: {!r}".format(text)) from None


def epoch_or_none(text: Any, naive: bool = True) -> Optional[float]:
    """``epoch``, with None for a time that is absent or bad, for a reader
    whose every caller treats a bad time as no time."""
    try:
        return epoch(text, naive)
    except BadTime:
        return None
