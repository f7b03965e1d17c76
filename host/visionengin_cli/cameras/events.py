"""The event log and the status files, kept where the cameras' code has
always found them."""
from __future__ import annotations

from ..events.log import EventLog, iso, write_status

__all__ = ["EventLog", "iso", "write_status"]
