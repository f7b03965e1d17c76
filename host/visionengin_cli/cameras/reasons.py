"""Why a camera is not streaming, in words, as its own process tells it.

OpenCV only says that a stream did not open; the engine only says "rtsp
restart...". The reason (connection refused, unknown host, no answer, the
server's "404 Not Found") comes from a connection of our own to the camera,
made on a thread of its own, at most every RECHECK seconds while the stream
fails, and kept until frames come again.
"""
from __future__ import annotations

import logging
import threading
import time
from typing import Optional

from ..states import NO_FRAMES, RECONNECTING, STREAMING
from ..secrets import mask_text

log = logging.getLogger("visionengin.camera")
RECHECK = 15.0  # least seconds between two looks at why the stream fails
SLOW_CALL = 5.0  # seconds of one detector call worth telling


class StreamCheck:
    def __init__(self, address: object) -> None:
        self.address = address if isinstance(address, str) and "://" in address else None
        self.reason: Optional[str] = None
        self.checked_at: Optional[float] = None
        self.running = False

    def failed(self) -> None:
        """The stream failed once more: look why, unless looked at lately."""
        now = time.monotonic()
        if (self.address is None or self.running
                or (self.checked_at is not None and now - self.checked_at < RECHECK)):
            return
        self.running, self.checked_at = True, now
        threading.Thread(target=self._check, args=(self.address,), name="stream-check",
                         daemon=True).start()

    def _check(self, address: str) -> None:
        from ..probe import network_reason

        try:
            self.reason = network_reason(address)
        except Exception as error:  # noqa: BLE001 - a reason is a help, not a need
            log.debug("cannot tell why the stream fails: %s", mask_text(str(error)))
        finally:
            self.running = False

    def streaming(self) -> None:
        """Frames come: the next outage is looked at anew."""
        self.reason, self.checked_at = None, None


def describe(state: str, quiet: float, call: Optional[float], check: StreamCheck) -> Optional[str]:
    """The reason for ``state`` after ``quiet`` seconds without an analysed
    frame, with a detector call running for ``call`` seconds (or None)."""
    if call is not None and call >= SLOW_CALL:
        return "detector call running for {:.0f} s".format(call)
    if state == STREAMING:
        check.streaming()
        return None
    if state == RECONNECTING:
        return check.reason or "the stream cannot be read"
    if state == NO_FRAMES:
        return "no frames for {:.0f} s".format(quiet)
    return check.reason
