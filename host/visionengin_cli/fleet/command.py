"""``visionengin collect --broker HOST[:PORT] --results DIR``: gather every
device publishing under a topic root into one results root, until SIGTERM
(exit 0) or Ctrl-C (exit 130). The broker's password comes from a file or
the environment, never the command line."""
from __future__ import annotations

import argparse
import logging
import os
import signal
import socket
import threading
import time
from typing import Any, Dict, List, Optional

from .. import logs
from ..errors import EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, CommandError
from ..sinks import topics
from ..storage import settings as storage_settings
from ..storage.lock import locked_file
from . import layout, limits, retention
from .client import Collector, Settings
from .store import Store

log = logging.getLogger("visionengin.fleet")
TICK = 0.5
RETENTION_PERIOD = 60.0
PASSWORD_ENV = "VISIONENGIN_MQTT_PASSWORD"


class CollectError(Exception):
    """Bad usage: one line, exit status 2."""


def add_parser(commands: Any, common: List[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    del common  # the engine's options mean nothing here
    parser: argparse.ArgumentParser = commands.add_parser(
        "collect", help="gather the devices' events, pictures and states from an MQTT broker",
        description="Subscribe to every device under a topic root on an MQTT broker (a persistent "
                    "session: what is published while the collector is away arrives later) and keep "
                    "their events, incidents with their best pictures, camera states and availability "
                    "under one results root, which `visionengin serve` shows as a fleet. "
                    "SIGTERM stops (exit 0), Ctrl-C too (exit 130).")
    parser.add_argument("--broker", required=True, metavar="HOST[:PORT]",
                        help="the MQTT broker (port default 1883, 8883 with --tls)")
    parser.add_argument("--results", required=True, metavar="DIR", help="the collector's results root")
    parser.add_argument("--topic", default=topics.SUBSCRIPTION, metavar="ROOT/#",
                        help="the devices' topic root, each device one level under it "
                             "(default: {})".format(topics.SUBSCRIPTION))
    parser.add_argument("--client-id", metavar="ID",
                        help="the session's fixed client id (default: visionengin-collect-<host name>); "
                             "a second collector needs its own")
    parser.add_argument("--tls", action="store_true", help="connect with TLS")
    parser.add_argument("--ca", metavar="FILE", help="CA certificates for --tls (default: the system's)")
    parser.add_argument("--username", metavar="NAME", help="the broker's user name")
    parser.add_argument("--password-file", metavar="FILE",
                        help="a file whose first line is the broker's password (or the environment "
                             "variable {})".format(PASSWORD_ENV))
    parser.add_argument("--max-size", metavar="SIZE", help="keep the root under SIZE (e.g. 20GB, 500MB): "
                        "the oldest pictures and event logs go first")
    parser.add_argument("--max-age", metavar="AGE", help="remove pictures and event logs older than "
                        "AGE (30d, 12h; at least an hour)")
    parser.add_argument("--max-devices", metavar="N", help="devices kept at most; messages of further "
                        "names are refused and counted (default: {})".format(limits.MAX_DEVICES))
    parser.add_argument("--max-cameras", metavar="N", help="cameras kept per device at most "
                        "(default: {})".format(limits.MAX_CAMERAS))
    parser.add_argument("--max-info-types", metavar="N", help="info types kept per camera at most "
                        "(default: {})".format(limits.MAX_INFO_TYPES))
    parser.add_argument("--max-snapshot", metavar="SIZE", help="the largest incident picture kept "
                        "(default: 10MB); a larger one, or one that is not a whole JPEG or PNG, is refused")
    parser.add_argument("--max-device-age", metavar="AGE", help="a device not heard from for AGE is "
                        "forgotten and its folder removed (default: 90d)")
    parser.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                        help="log at debug level, with the MQTT client's own lines")
    parser.set_defaults(run=run, log_style=logs.COLLECTOR)
    return parser


def _broker(text: str, tls: bool) -> Any:
    if text.startswith("["):  # [::1]:1883
        inner, _, rest = text[1:].partition("]")
        host, port = inner, rest[1:] if rest.startswith(":") else ""
    elif text.count(":") == 1:
        host, _, port = text.partition(":")
    else:
        host, port = text, ""
    if not host:
        raise CollectError("--broker: give HOST or HOST:PORT, got {!r}".format(text))
    if not port:
        return host, 8883 if tls else 1883
    if not port.isdigit() or not 0 < int(port) < 65536:
        raise CollectError("--broker: the port must be 1 to 65535, got {!r}".format(port))
    return host, int(port)


def _password(args: argparse.Namespace) -> Optional[str]:
    if args.password_file is not None:
        try:
            with open(args.password_file, encoding="utf-8") as file:
                text = file.readline().rstrip("\r\n")
        except (OSError, UnicodeDecodeError) as error:
            raise CollectError("--password-file: cannot read {}: {}".format(
                args.password_file, getattr(error, "strerror", None) or "not UTF-8 text")) from None
        if not text:
            raise CollectError("--password-file: {} is empty".format(args.password_file))
        return text
    return os.environ.get(PASSWORD_ENV) or None


def settings_from(args: argparse.Namespace) -> Settings:
    topic = args.topic
    if not (topic == "#" or topic.endswith("/#")) or "+" in topic or "#" in topic[:-1] or "\0" in topic:
        raise CollectError("--topic: must be a topic root ending in '/#' (e.g. visionengin/#), got {!r}"
                           .format(topic))
    if args.ca is not None:
        if not args.tls:
            raise CollectError("--ca: given without --tls")
        if not os.path.isfile(args.ca):
            raise CollectError("--ca: no such file: {}".format(args.ca))
    password = _password(args)
    if password is not None and args.username is None:
        raise CollectError("a password without --username")
    host, port = _broker(args.broker, args.tls)
    client_id = args.client_id or "visionengin-collect-" + (socket.gethostname() or "host")
    if not client_id or len(client_id.encode("utf-8")) > 65535:
        raise CollectError("--client-id: must not be empty")
    return Settings(host, port, args.tls, args.ca, args.username, password, client_id, topic)


def _limits(args: argparse.Namespace) -> Any:
    """Spelled as in a device's ``[storage]``, so "30" is never read as seconds
    here and days there."""
    try:
        size = None if args.max_size is None else int(storage_settings.parse_size(args.max_size)[1])
        if size == 0:
            raise ValueError("must be more than 0")
    except ValueError as error:
        raise CollectError("--max-size: {}".format(error)) from None
    try:
        age = None if args.max_age is None else storage_settings.parse_age(args.max_age)
    except ValueError as error:
        raise CollectError("--max-age: {}".format(error)) from None
    return size, age


def _bounds(args: argparse.Namespace) -> limits.Limits:
    counts = {}
    for option in ("max_devices", "max_cameras", "max_info_types"):
        text = getattr(args, option)
        if text is None:
            counts[option] = getattr(limits, option.upper())
        elif not text.isdigit() or not 0 < int(text) <= 1000000:
            raise CollectError("--{}: must be a whole number from 1 to 1000000, got {!r}".format(
                option.replace("_", "-"), text))
        else:
            counts[option] = int(text)
    try:
        snapshot = limits.MAX_SNAPSHOT if args.max_snapshot is None \
            else int(storage_settings.parse_size(args.max_snapshot)[1])
        if snapshot < 1000:
            raise ValueError("must be at least 1KB")
    except ValueError as error:
        raise CollectError("--max-snapshot: {}".format(error)) from None
    try:
        age = limits.MAX_DEVICE_AGE if args.max_device_age is None \
            else storage_settings.parse_age(args.max_device_age)
    except ValueError as error:
        raise CollectError("--max-device-age: {}".format(error)) from None
    return limits.Limits(counts["max_devices"], counts["max_cameras"], counts["max_info_types"], snapshot, age)


def _claim(root: str, settings: Settings) -> int:
    """The root's lock (one collector per root) and its marker for the page."""
    os.makedirs(root, exist_ok=True)
    fd = locked_file(os.path.join(root, ".collect.lock"))
    if fd is None:
        raise CollectError("{}: another collector keeps this root".format(root))
    layout.write_json(os.path.join(root, layout.MARKER), {
        "kind": "visionengin-collect", "broker": "{}:{}".format(settings.host, settings.port),
        "topic": settings.topic, "client_id": settings.client_id, "pid": os.getpid(),
        "started": time.time()})
    return fd


def run(args: argparse.Namespace) -> int:
    try:
        settings = settings_from(args)
        max_size, max_age = _limits(args)
        bounds = _bounds(args)
        root = os.path.abspath(args.results)
        lock = _claim(root, settings)
    except CollectError as error:
        raise CommandError(str(error), EXIT_USAGE) from None
    except OSError as error:
        raise CommandError("results root {}: {}".format(args.results, error.strerror or error)) from None
    pending: Dict[str, Any] = {"exit": None}

    def on_signal(number: int, _frame: Any) -> None:
        if pending["exit"] is None:
            pending["exit"] = EXIT_INTERRUPTED if number == signal.SIGINT else EXIT_OK

    for number in (signal.SIGTERM, signal.SIGINT):
        signal.signal(number, on_signal)
    store, guard = Store(root, bounds), threading.Lock()
    collector = Collector(settings, store, guard)
    log.info("collecting %s from %s into %s", settings.topic, collector.target, root)
    collector.start()
    swept = 0.0
    try:
        while pending["exit"] is None:
            time.sleep(TICK)
            with guard:
                try:
                    store.tick()
                except OSError as error:
                    log.error("cannot write a device's status: %s", error.strerror or error)
            collector.check()
            if time.monotonic() - swept >= RETENTION_PERIOD:
                swept = time.monotonic()
                retention.enforce(root, max_size, max_age)
    finally:
        for number in (signal.SIGTERM, signal.SIGINT):
            signal.signal(number, signal.SIG_IGN)
        try:
            collector.stop()
        finally:
            store.close()
            os.close(lock)
    log.info("stopped")
    return int(pending["exit"]) if pending["exit"] is not None else EXIT_ERROR
