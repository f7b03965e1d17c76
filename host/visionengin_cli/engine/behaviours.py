"""The engine's behaviour table (``main.devBehavior``): a --bev selection
checked against it, and plain values (threshold, alarm_interval, alarm_num)
written into the selected rows for this process's runs."""
from __future__ import annotations

from typing import Any, Dict, Iterable, List, Mapping, Optional, Union

from ..errors import UsageError

Table = Dict[str, Dict[str, Union[int, float]]]

# The plain values a run may set, and the table's column each goes to.
COLUMNS = {"threshold": "behavior_threshold", "alarm_interval": "alarm_time",
           "alarm_num": "alarm_num"}


def behaviour_table() -> Table:
    """The engine's own table (imports the engine): what is written to it
    holds for every run of this process."""
    import main  # the engine, imported as any host imports it

    return main.devBehavior


def selection(text: Optional[str], table: Mapping[str, Any]) -> Optional[List[str]]:
    """The behaviour keys of --bev, in order; bad usage when empty, doubled or unknown."""
    if text is None:
        return None
    keys = [key.strip() for key in text.split(",")]
    if not any(keys):
        raise UsageError("--bev {!r} selects no behaviour".format(text))
    if "" in keys:
        raise UsageError("--bev {!r} has an empty entry".format(text))
    twice = sorted({key for key in keys if keys.count(key) > 1})
    if twice:
        raise UsageError("behaviour {} given twice in --bev".format(", ".join(twice)))
    unknown = [key for key in keys if key not in table]
    if unknown:
        known = list(table)
        raise UsageError("unknown behaviour {} in --bev (known: {})".format(
            ", ".join(repr(key) for key in unknown),
            "{} to {}".format(known[0], known[-1]) if known else "none"))
    return keys


def tune(table: Any, keys: Optional[Iterable[str]], values: Mapping[str, Any]) -> None:
    """``values`` (by the names of ``COLUMNS``; others and None are left
    alone) written into the rows ``keys``, every row for None. A whole number
    of seconds between alarms goes in as an int, as the table has them."""
    for key in list(table) if keys is None else keys:
        for name, value in values.items():
            column = COLUMNS.get(name)
            if column is None or value is None:
                continue
            if name == "alarm_interval" and float(value).is_integer():
                value = int(value)
            table[key][column] = value
