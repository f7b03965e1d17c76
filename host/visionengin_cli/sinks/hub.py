"""The configured sinks as one: each event goes into the outbox of every sink
that wants it (a local append, so a camera's reports never wait for a
network), and ``<root>/sinks.json`` tells the page and /metrics how each
sink fares.

A unit run with ``--only`` has outboxes of its own, ``outbox/<sink>-<unit>/``
(``unit``: a digest of its cameras' names, ``unit_name``), beside the other
units on the same root; a unit without keeps ``outbox/<sink>/``. At the
creation every outbox gets what the log holds after its mark (``replay``)."""
from __future__ import annotations

import hashlib
import logging
import os
import threading
import time
from typing import Any, Dict, List, Optional, Sequence, Set

from ..events.log import replace_json
from ..events.outbox import Outbox
from ..storage.pictures import Trouble
from .status import live_status
from .config import SinksConfig
from .replay import Sink, catch_up
from .sender import Sender

log = logging.getLogger("visionengin.sinks")
STATUS_PERIOD = 2.0
STATUS_FILE = "sinks.json"
SYNC_PERIOD = 1.0  # seconds between two fsyncs of what the outboxes queued


def unit_name(cameras: Sequence[str]) -> str:
    """The name of a unit run with ``--only``: a digest of its cameras' names,
    the same at every start, safe in a folder name and a client id."""
    return hashlib.sha256("\n".join(sorted(cameras)).encode("utf-8")).hexdigest()[:10]


class Hub:
    def __init__(self, root: str, config: SinksConfig, cameras: List[str],
                 kept: Optional[Sequence[str]] = None, unit: Optional[str] = None) -> None:
        """``cameras``: those run here; ``kept``: all the configuration holds
        (with ``--only``, more than those run), never cleared from the broker;
        ``unit``: the unit's name (``unit_name``) with ``--only``, else None.
        Raises OSError (OutboxBusy: another process has an outbox)."""
        self.root, self.unit = root, unit
        self.cameras = list(cameras)
        self.listed = None if kept is None else set(kept)  # None: the configuration is not known
        self.senders: List[Sender] = []
        folder = os.path.join(root, "outbox")
        suffix = "" if unit is None else "-" + unit
        try:
            if config.mqtt is not None:
                from .mqtt import Mqtt

                self.mqtt: Optional[Mqtt] = Mqtt(
                    Outbox(os.path.join(folder, "mqtt" + suffix), config.outbox_cap),
                    config.mqtt, config.device, root, cameras, kept, unit)
                self.senders.append(self.mqtt)
            else:
                self.mqtt = None
            for number, hook in enumerate(config.webhooks, 1):
                from .webhook import Webhook

                name = "webhook-{}".format(number)
                self.senders.append(Webhook(name, Outbox(os.path.join(folder, name + suffix),
                                                         config.outbox_cap),
                                            hook.url, hook.secret, hook.events, hook.picture, root,
                                            config.device))
        except OSError:
            for sender in self.senders:
                sender.outbox.close()
            raise
        catch_up(root, [Sink(sender.name, sender.outbox, sender.wants) for sender in self.senders],
                 self._ours)
        self.failing: Set[str] = set()  # sinks whose outbox cannot be written
        self.status_trouble = Trouble(STATUS_FILE, log)  # told once per run of failures
        self.stopping = threading.Event()
        self.thread = threading.Thread(target=self._report, name="sinks-status", daemon=True)

    def start(self) -> None:
        for sender in self.senders:
            sender.start()
        self.thread.start()

    def publish(self, event: Dict[str, Any]) -> None:
        """Queue ``event`` (with its "id" and "type") for every sink that wants it."""
        for sender in self.senders:
            if sender.wants(event):
                try:
                    sender.outbox.append(event)
                except OSError as error:  # counted each, logged once an episode (a full disk)
                    sender.outbox.dropped += 1
                    if sender.name not in self.failing:
                        self.failing.add(sender.name)
                        log.error("%s: cannot queue events (%s): dropped and counted until it can",
                                  sender.name, error.strerror or error)
                    continue
                if sender.name in self.failing:
                    self.failing.discard(sender.name)
                    log.info("%s: queueing events again", sender.name)

    def _ours(self, event: Dict[str, Any]) -> bool:
        """An event this unit would have queued: of its cameras (one of none
        only for a unit without ``--only``). A unit without ``--only`` runs
        every camera of the configuration, so a camera the configuration no
        longer names was its own: the last lines of a camera a reload removed
        (the ``incident_end`` of its open incident) still go out after a crash."""
        camera = event.get("camera")
        if not isinstance(camera, str):
            return self.unit is None
        return camera in self.cameras or (
            self.unit is None and self.listed is not None and camera not in self.listed)

    def camera_state(self, camera: str, state: Dict[str, Any]) -> None:
        if self.mqtt is not None:
            self.mqtt.camera_state(camera, state)

    def set_cameras(self, cameras: List[str], kept: Optional[Sequence[str]] = None) -> None:
        """After a reload: cameras added get their topics, those gone from
        the configuration leave the broker."""
        self.cameras = list(cameras)
        self.listed = None if kept is None else set(kept)
        if self.mqtt is not None:
            self.mqtt.set_cameras(cameras, kept)

    def set_page(self, url: str) -> None:
        """The status page served beside the cameras; before start()."""
        if self.mqtt is not None:
            self.mqtt.set_page(url)

    def stop(self, drain: float = 1.0) -> None:
        """Stops every sender; those connected first get up to ``drain``
        seconds to deliver what is queued (the rest waits in the outbox for
        the next start)."""
        deadline = time.monotonic() + drain
        while time.monotonic() < deadline and any(
                sender.connected and sender.outbox.queued for sender in self.senders):
            time.sleep(0.02)
        self.stopping.set()
        for sender in self.senders:
            sender.stop()
        if self.thread.is_alive():
            self.thread.join(5.0)
        self.write_status()

    def status(self) -> Dict[str, Any]:
        return {"updated": time.time(), "sinks": [sender.status() for sender in self.senders]}

    def write_status(self) -> None:
        """sinks.json for the page; on a full disk rewritten in place (as a
        camera's status.json is), and the page served beside us reads the
        state from memory whatever the disk does, so a healthy sink is never
        shown "not connected" for want of space."""
        path = os.path.join(self.root, STATUS_FILE)
        status = self.status()
        live_status(self.root, status)
        try:
            replace_json(path, status)
        except OSError as error:
            self.status_trouble.failure(error)
            return
        self.status_trouble.success()

    def _report(self) -> None:
        last = time.monotonic()
        while not self.stopping.wait(SYNC_PERIOD):
            for sender in self.senders:
                sender.outbox.sync()
            if time.monotonic() - last >= STATUS_PERIOD:
                last = time.monotonic()
                self.write_status()
