"""What every sink shares: an outbox, the thread that empties it in order,
the back-off after a failure, and the figures the page shows (connected,
queued, delivered, dropped, last error)."""
from __future__ import annotations

import logging
import threading
import time
from typing import Any, Dict, List, Optional, Tuple

from ..events.outbox import Outbox, Position
from ..secrets import mask_text

log = logging.getLogger("visionengin.sinks")
FIRST_RETRY, MAX_RETRY = 1.0, 60.0
BATCH = 50


class DeliveryError(Exception):
    """One delivery failed; the message is one line, safe to log."""


class Sender:
    """Delivers its outbox's events one after the other; subclasses give
    ``deliver``. The thread never waits unbounded, so ``stop`` ends it in
    about a second."""

    kind = "sink"

    def __init__(self, name: str, outbox: Outbox, target: str) -> None:
        self.name, self.outbox, self.target = name, outbox, target
        self.stopping = threading.Event()
        self.wake = threading.Event()  # ends a back-off early: the receiver is back
        self.connected = False
        self.last_error: Optional[str] = None
        self.last_error_at: Optional[float] = None
        self.retry = FIRST_RETRY
        self.thread = threading.Thread(target=self._run, name="sink-" + name, daemon=True)

    def wants(self, event: Dict[str, Any]) -> bool:
        return True

    def deliver(self, event: Dict[str, Any]) -> None:
        """Deliver one event or raise DeliveryError."""
        raise NotImplementedError

    def housekeeping(self) -> None:
        """Called on the sender's thread between events."""

    def start(self) -> None:
        self.thread.start()

    def stop(self, timeout: float = 5.0) -> None:
        self.stopping.set()
        self.wake.set()
        with self.outbox.added:
            self.outbox.added.notify_all()
        if self.thread.is_alive():
            self.thread.join(timeout)
        self.outbox.close()

    def failed(self, error: str) -> None:
        error = mask_text(error)
        if error != self.last_error:
            log.warning("%s: %s; retrying in %.3g s", self.name, error, self.retry)
        self.last_error, self.last_error_at = error, time.time()

    def status(self) -> Dict[str, Any]:
        return {"name": self.name, "kind": self.kind, "target": self.target,
                "connected": self.connected, "queued": self.outbox.queued,
                "delivered": self.outbox.delivered, "dropped": self.outbox.dropped,
                "last_error": self.last_error, "last_error_at": self.last_error_at}

    def _run(self) -> None:
        while not self.stopping.is_set():
            self.housekeeping()
            if not self.outbox.wait(1.0):
                continue
            batch: List[Tuple[Position, Dict[str, Any]]] = self.outbox.peek(BATCH)
            for position, event in batch:
                if self.stopping.is_set():
                    return
                try:
                    self.deliver(event)
                except DeliveryError as error:
                    if self.stopping.is_set():
                        return  # cut short by the stop: no failure of the receiver's
                    self.failed(str(error))
                    self._pause()
                    break
                except Exception as error:  # noqa: BLE001 - a sink's fault must not stop its thread
                    log.exception("%s: unexpected failure", self.name)
                    self.failed("{}: {}".format(type(error).__name__, error))
                    self._pause()
                    break
                if self.retry > FIRST_RETRY:
                    log.info("%s: delivering again", self.name)
                self.retry = FIRST_RETRY
                self.outbox.ack(position)

    def _pause(self) -> None:
        self.wake.wait(self.retry)
        self.wake.clear()
        self.retry = min(MAX_RETRY, self.retry * 2)
