"""``visionengin cameras CONFIG``: run every camera of a configuration file,
each in a process of its own, until SIGTERM (exit 0) or Ctrl-C (exit 130).
SIGHUP re-reads the file. ``--only NAME`` runs one camera of it: the unit an
orchestrator runs when one device is not enough."""
from __future__ import annotations

import argparse
import logging
import os
import signal
import sys
import time
from typing import Any, Dict, List, Optional, Set

from .. import logs
from ..errors import EXIT_ERROR, EXIT_INTERRUPTED, EXIT_OK, EXIT_USAGE, CommandError
from ..secrets import mask_text
from ..storage.lock import is_held
from ..storage.names import is_camera_name
from ..web.command import (ServeError, add_listen_options, chosen_token, parse_listen,
                           serve_in_background)
from . import config as config_module
from ..events.health import HealthWatch
from ..events.live import LiveEvents, shared_grouping
from ..events.recovery import recover
from ..sinks.homeassistant import page_address
from ..sinks.hub import Hub, unit_name
from .events import EventLog
from .supervisor import Supervisor
from .table import display

log = logging.getLogger("visionengin.cameras")
TICK = 0.2  # seconds between looks at signals, processes and the display


# The common options this command honours: the behaviour and engine options as
# defaults for every camera (a camera's own keys win), --verbose and --debug.
HONOURS = ("bev", "threshold", "alarm_interval", "activate", "cuda", "cache", "verbose", "debug")


def add_parser(commands: Any, common: List[argparse.ArgumentParser]) -> argparse.ArgumentParser:
    parser: argparse.ArgumentParser = commands.add_parser(
        "cameras", parents=common, help="run every camera of a configuration file, supervised",
        description="Run every camera of CONFIG (TOML), each in its own process and folder "
                    "under the results root; restart those that end. SIGTERM stops (exit 0), "
                    "Ctrl-C too (exit 130), SIGHUP re-reads CONFIG. --bev, --threshold, "
                    "--alarm-interval, --activate, --cuda and --cache replace the [engine] "
                    "values of CONFIG for every camera without its own.")
    parser.add_argument("config", metavar="CONFIG", help="configuration file (see deploy/cameras.toml)")
    parser.add_argument("--only", metavar="NAME", help="run just this camera of CONFIG")
    parser.add_argument("--status-interval", type=float, default=30.0, metavar="SECONDS",
                        help="without a terminal: a status line per camera this often "
                             "(default: 30), and one at each change of state")
    add_listen_options(parser, default=None)
    parser.set_defaults(run=run, honours=HONOURS, log_style=logs.SERVICE)
    return parser


def _behaviours(path: str, wanted: bool = False) -> Optional[Dict[str, Any]]:
    """The engine's behaviour table, to check "bev" keys against; the engine is
    imported only when the file (or ``wanted``: --bev) selects behaviours."""
    try:
        if wanted:
            raise OSError
        with open(path, "rb") as file:
            if b"bev" not in file.read():
                return None
    except OSError:
        return None
    from ..engine.behaviours import behaviour_table

    return dict(behaviour_table())


def _options(args: argparse.Namespace) -> Dict[str, Any]:
    """The command line's values for every camera; --bev checked here."""
    from ..engine.behaviours import behaviour_table, selection
    from ..options import default_cache

    options: Dict[str, Any] = {}
    if getattr(args, "bev", None) is not None:
        options["bev"] = selection(args.bev, dict(behaviour_table()))
    for key in ("threshold", "alarm_interval"):
        if getattr(args, key, None) is not None:
            options[key] = float(getattr(args, key))
    for key in ("activate", "cuda"):
        if getattr(args, key, False):
            options[key] = True
    cache = getattr(args, "cache", None)
    if cache is not None and cache != default_cache():
        options["cache"] = os.path.abspath(os.path.expanduser(cache))
    return options


def _load(path: str, only: Optional[str], options: Optional[Dict[str, Any]] = None) -> config_module.Config:
    options = options or {}
    config = config_module.load(path, _behaviours(path, "bev" in options), options)
    if only is not None:
        if only not in config.cameras:
            raise config_module.ConfigError("{}: no camera {!r} (cameras: {})".format(
                path, only, ", ".join(config.cameras)))
        config.cameras = {only: config.cameras[only]}
    return config


def run(args: argparse.Namespace) -> int:
    from .. import HELD

    pending: Dict[str, Any] = {"exit": None, "reload": False}

    def on_signal(number: int, _frame: Any) -> None:
        if number == signal.SIGHUP:
            pending["reload"] = True
        elif pending["exit"] is None:
            pending["exit"] = EXIT_INTERRUPTED if number == signal.SIGINT else EXIT_OK

    # First of all: a signal held since the start is acted on once start-up
    # ends (a reload re-reads the file then; a stop starts no camera).
    for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
        signal.signal(number, on_signal)
    for held in HELD:
        on_signal(held, None)
    del HELD[:]
    console = getattr(args, "console", None)
    args.options = _options(args)
    try:
        config = _load(args.config, args.only, args.options)
    except config_module.ConfigError as error:
        raise CommandError(str(error), EXIT_USAGE) from None
    if args.listen is not None:
        try:
            parse_listen(args.listen)
            args.token = chosen_token(args)
        except ServeError as error:
            raise CommandError(str(error), EXIT_USAGE) from None
    try:
        os.makedirs(config.results, exist_ok=True)
        events = EventLog(config.results)
    except OSError as error:
        raise CommandError("results root {}: {}".format(
            config.results, error.strerror or error)) from None
    try:
        sinks = _sinks(config, args.only is not None)
    except OSError as error:
        events.close()
        raise CommandError("the sinks' outboxes under {}: {}".format(
            config.results, error.strerror or error)) from None
    live = LiveEvents(events.append, sinks.publish if sinks else None,
                      shared_grouping(config.sinks.incident_gap), _by_zone(config))
    health = HealthWatch(live.health, sinks.camera_state if sinks else None)
    served = None
    if args.listen is not None:
        try:  # before any camera starts: a busy port starts nothing
            served = serve_in_background(config.results, args.listen, args.token)
        except ServeError as error:
            events.close()
            if sinks is not None:
                sinks.stop()
            raise CommandError(str(error)) from None
        log.info("status page at %s", served.url)
        if sinks is not None:
            sinks.set_page(served.url)

    supervisor = Supervisor(config.results, events, debug=args.debug, storage=config.storage,
                            on_event=live.alarm, offline_after=config.sinks.offline_after)
    supervisor.listeners.append(health.changed)  # health events and the MQTT state
    # the log's order is the outboxes' order (sinks/replay.py)
    supervisor.carrier.write_lock = live.lock
    live.on_incident = supervisor.recordings.incident
    if served is not None:
        supervisor.recordings.page = page_address(served.url)
    supervisor.verbose = bool(getattr(args, "verbose", False))
    if pending["exit"] is None:  # else stopped while starting: no camera starts
        log.info("running %d camera%s from %s; results in %s", len(config.cameras),
                 "" if len(config.cameras) == 1 else "s", config.path, config.results)
        supervisor.apply(config.cameras)  # takes each camera's folder; starts nothing yet
        if not supervisor.slots:  # each refusal was told in one line
            supervisor.close()
            events.close()
            if sinks is not None:
                sinks.stop()
            if served is not None:
                served.stop()
            return EXIT_ERROR
        _recover(config, supervisor, events, live)
        supervisor.retention.start()
        log.info("storage: %s", config.storage.describe())
        if sinks is not None:
            sinks.start()
    view = display(sys.stderr, args.status_interval, console)
    supervisor.listeners.append(view.changed)
    try:
        live_cameras = list(config.cameras)
        while pending["exit"] is None:
            if pending["reload"]:
                pending["reload"] = False
                config = _reload(args, config, supervisor)
                if sinks is not None:
                    sinks.set_cameras(list(config.cameras), config.listed)
                for name in set(live_cameras) - set(config.cameras):  # their incidents end
                    live.close(name)
                added = [name for name in config.cameras if name not in live_cameras]
                if added:  # a camera run here again: what its last run left, as at a start
                    _recover(config, supervisor, events, live, added)
                live.by_zone = _by_zone(config)
                live_cameras = list(config.cameras)
            supervisor.step()
            live.tick()
            view.show(list(supervisor.slots.values()))
            time.sleep(TICK)
    finally:
        for number in (signal.SIGTERM, signal.SIGINT, signal.SIGHUP):
            signal.signal(number, signal.SIG_IGN)  # a second Ctrl-C must not cut the stop short
        # the stop is no change of health, nor of the state last sent
        supervisor.listeners.remove(health.changed)
        supervisor.stop()
        supervisor.close()
        view.close(list(supervisor.slots.values()))
        live.close()
        supervisor.recordings.stop()  # the clips of the incidents just ended, from what was recorded
        if sinks is not None:
            sinks.stop()
        events.close()
        if served is not None:
            served.stop()
    log.info("stopped")
    return pending["exit"] if pending["exit"] is not None else EXIT_ERROR


def _recover(config: config_module.Config, supervisor: Supervisor, events: EventLog,
             live: LiveEvents, only: Optional[List[str]] = None) -> None:
    """What an unclean stop left for the cameras owned here (``only`` these),
    before any of them starts: open incidents ended, pictures without events
    told. At a start of the whole file, the open incidents of cameras it no
    longer names and that no living process runs (their folder's lock is
    free) are ended too: no other run will."""
    folders = {name: slot.folder for name, slot in supervisor.slots.items()
               if only is None or name in only}
    whole_file = only is None and set(config.cameras) == set(config.listed)
    listed = set(config.listed)
    try:
        with live.lock:  # each line logged and queued with no other between
            recover(config.results, folders, config.sinks.incident_gap, events.write,
                    live.publish_alarm, live.recovered,
                    strays=(lambda camera: camera not in listed and is_camera_name(camera)
                            and not is_held(os.path.join(config.results, camera)))
                    if whole_file else None)
    except Exception:  # noqa: BLE001 - the cameras run whatever the old log holds
        log.exception("cannot recover what the last run left open; going on")
def _by_zone(config: config_module.Config) -> Set[str]:
    """The cameras whose incidents are told per zone."""
    return {name for name, camera in config.cameras.items() if camera.incidents_by_zone}


def _sinks(config: config_module.Config, only: bool) -> Optional[Hub]:
    """The configured sinks (not started yet), or None without any; a unit
    run with --only has sink names of its own."""
    if config.sinks.mqtt is None and not config.sinks.webhooks:
        return None
    return Hub(config.results, config.sinks, list(config.cameras), config.listed,
               unit_name(list(config.cameras)) if only else None)


def _reload(args: argparse.Namespace, old: config_module.Config,
            supervisor: Supervisor) -> config_module.Config:
    try:
        new = _load(args.config, args.only, args.options)
    except config_module.ConfigError as error:
        log.error("%s; keeping the running cameras", mask_text(str(error)))
        return old
    if new.results != old.results:
        log.warning("the results root changed to %s: restart the command to use it; "
                    "staying with %s", new.results, old.results)
        new.results = old.results
    if new.sinks != old.sinks:
        log.warning("device, [mqtt], [[webhooks]] or [events] changed: restart the command to "
                    "use them; staying with the running ones")
        new.sinks = old.sinks
    log.info("configuration re-read: %d camera%s", len(new.cameras), "" if len(new.cameras) == 1 else "s")
    supervisor.apply(new.cameras)
    supervisor.retention.storage = new.storage
    return new
