"""Reading a camera process: its standard output carries one JSON message a
line (the runner's protocol: "status", "segment", "event"), its standard
error its log lines. A status is the camera's latest report (noted in its
state, told at the supervisor's next look); segments and events go to the
carrier; log lines to this process's log, the last error kept to tell the
process's end."""
from __future__ import annotations

import json
import logging
import subprocess
import threading
import time
from typing import List, Union

from ..secrets import mask_text
from .carrier import Carrier
from .forking import Forked
from .slot import Slot

log = logging.getLogger("visionengin.cameras")
LEVELS = {"DEBUG": logging.DEBUG, "INFO": logging.INFO, "WARNING": logging.WARNING,
          "ERROR": logging.ERROR, "CRITICAL": logging.CRITICAL}
Process = Union["subprocess.Popen[bytes]", Forked]


def read(slot: Slot, proc: Process, carrier: Carrier) -> List[threading.Thread]:
    """The two reader threads of ``proc``, started."""
    readers = [threading.Thread(target=_reports, args=(slot, proc, carrier),
                                name=slot.camera.name + "-reports", daemon=True),
               threading.Thread(target=_log, args=(slot, proc),
                                name=slot.camera.name + "-log", daemon=True)]
    for reader in readers:
        reader.start()
    return readers


def _reports(slot: Slot, proc: Process, carrier: Carrier) -> None:
    assert proc.stdout is not None
    for raw in proc.stdout:
        try:
            message = json.loads(raw)
        except ValueError:
            continue
        if not isinstance(message, dict):
            continue
        if "status" in message and isinstance(message["status"], dict):
            with slot.lock:
                slot.report = message["status"]
            slot.state.reported(message["status"])
            slot.progress.report(time.monotonic())
        elif "segment" in message:
            carrier.segment(slot, message["segment"])
        elif "event" in message:
            carrier.event(slot, message["event"])


def _log(slot: Slot, proc: Process) -> None:
    assert proc.stderr is not None
    for raw in proc.stderr:
        text = mask_text(raw.decode("utf-8", "replace").rstrip())
        if not text:
            continue
        level, sep, message = text.partition(": ")
        if sep and level in ("ERROR", "CRITICAL"):
            slot.last_error = message
        if sep and level in LEVELS:
            log.log(LEVELS[level], "%s: %s", slot.camera.name, message)
        else:  # a native library's own line
            log.warning("%s: %s", slot.camera.name, text)
