"""``visionengin serve ROOT [--listen HOST:PORT] [--token TOKEN]``: the status
page of a results root, served by uvicorn; and ``serve_in_background`` for
commands that serve it beside their own work (``visionengin cameras --listen``).

Safe by default: it listens on 127.0.0.1; any other address needs a token,
given with --token or made here and printed once. We bind the socket
ourselves so that a busy port is a one-line error before anything starts, and
so that port 0 (tests) gives the port actually taken.
"""
from __future__ import annotations

import argparse
import ipaddress
import os
import secrets
import signal
import socket
import sys
import threading
import time
from typing import Any, List, Optional, Tuple

DEFAULT_LISTEN = "127.0.0.1:8080"
START_TIMEOUT = 15.0
STOP_TIMEOUT = 10.0


class ServeError(Exception):
    """A server that cannot start; the message is one line."""


def parse_listen(text: str) -> Tuple[str, int]:
    """"HOST:PORT" (IPv6 as "[::1]:8080") as (host, port)."""
    host, sep, port = text.rpartition(":")
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    if not sep or not host or not port.isdigit() or int(port) > 65535:
        raise ServeError("--listen wants HOST:PORT (e.g. {}), got {!r}".format(DEFAULT_LISTEN, text))
    return host, int(port)


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def url_of(host: str, port: int) -> str:
    return "http://{}:{}/".format("[{}]".format(host) if ":" in host else host, port)


def token_for(host: str, port: int, token: Optional[str]) -> Optional[str]:
    """The token the server checks: the one given, else a new one when the
    address is not loopback (printed here, the only time it is shown)."""
    if token or is_loopback(host):
        return token or None
    token = secrets.token_urlsafe(24)
    print("visionengin: {} is reachable from other machines; requests need this token "
          "(Authorization: Bearer <token>, or ?token=<token>): {}".format(url_of(host, port), token),
          flush=True)
    return token


def bind(host: str, port: int) -> socket.socket:
    try:
        family, kind, proto, _, address = socket.getaddrinfo(
            host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)[0]
        sock = socket.socket(family, kind, proto)
    except OSError as error:
        raise ServeError("cannot listen on {}:{}: {}".format(host, port, error.strerror or error)) from None
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(128)
    except OSError as error:
        sock.close()
        raise ServeError("cannot listen on {}:{}: {}".format(host, port, error.strerror or error)) from None
    sock.set_inheritable(False)
    return sock


def _server_class() -> Any:
    import uvicorn

    class Server(uvicorn.Server):
        """Remembers the signal that stopped it (older uvicorn swallows it)."""
        stop_signal: Optional[int] = None

        def handle_exit(self, sig: int, frame: Any) -> None:
            self.stop_signal = sig
            super().handle_exit(sig, frame)
    return Server


class Served:
    """A running server: its ``url``, ``token`` and ``stop()``."""

    def __init__(self, root: str, listen: str, token: Optional[str]) -> None:
        import uvicorn

        from .app import create_app

        if not os.path.isdir(root):
            raise ServeError("no such results root: {}".format(root))
        host, port = parse_listen(listen)
        self.socket = bind(host, port)
        port = self.socket.getsockname()[1]
        self.url = url_of(host, port)
        self.token = token_for(host, port, token)
        config = uvicorn.Config(create_app(root, self.token), log_config=None, access_log=False,
                                lifespan="off")
        self.server = _server_class()(config)
        self.thread: Optional[threading.Thread] = None

    def run(self) -> None:
        """Serve on this thread until stopped (Ctrl-C on the main thread)."""
        try:
            self.server.run(sockets=[self.socket])
        finally:
            self.socket.close()

    def start(self) -> "Served":
        self.thread = threading.Thread(target=self.run, name="visionengin-web", daemon=True)
        self.thread.start()
        deadline = time.monotonic() + START_TIMEOUT
        while not self.server.started:
            if not self.thread.is_alive() or time.monotonic() > deadline:
                self.stop()
                raise ServeError("the status page did not start on {}".format(self.url))
            time.sleep(0.02)
        return self

    def stop(self) -> None:
        self.server.should_exit = True
        if self.thread is not None:
            self.thread.join(STOP_TIMEOUT)


def serve_in_background(root: str, listen: str = DEFAULT_LISTEN,
                        token: Optional[str] = None) -> Served:
    """The status page of ``root`` on a thread of this process, started and
    answering when this returns; ``.stop()`` ends it. Raises ServeError."""
    return Served(root, listen, token).start()


def add_parser(commands: Any, common: List[argparse.ArgumentParser]) -> None:
    del common  # the engine's run options mean nothing here: given before "serve", refused
    serve = commands.add_parser(
        "serve", help="serve the status page and metrics of a results root (read-only)",
        description="Serve the status page of ROOT (camera tiles, recent alarm pictures), "
                    "its JSON API (/api/status, /api/events?since=...) and Prometheus metrics "
                    "(/metrics), read-only, until Ctrl-C.")
    serve.add_argument("root", metavar="ROOT", type=os.path.abspath,
                       help="results root of `visionengin cameras`")
    add_listen_options(serve)
    serve.add_argument("--debug", action="store_true", default=argparse.SUPPRESS,
                       help="show tracebacks of errors")
    serve.set_defaults(run=run, honours=("debug",))


def add_listen_options(parser: argparse.ArgumentParser, default: Optional[str] = DEFAULT_LISTEN) -> None:
    parser.add_argument("--listen", metavar="HOST:PORT", default=default,
                        help="address of the status page (default: {}); any address but "
                             "loopback needs a token".format(default or "not served"))
    parser.add_argument("--token", metavar="TOKEN", default=None,
                        help="token every request must carry (default: none on loopback, "
                             "a new one printed at start elsewhere)")


def run(args: argparse.Namespace) -> int:
    """The ``serve`` subcommand: serve until Ctrl-C."""
    from ..cli import CommandError, UsageError

    try:
        parse_listen(args.listen)
    except ServeError as error:
        raise UsageError(str(error)) from None
    try:
        served = Served(args.root, args.listen, args.token)
    except ServeError as error:
        raise CommandError(str(error)) from None
    print("visionengin: serving {} at {} (Ctrl-C stops)".format(
        os.path.abspath(args.root), served.url), file=sys.stderr, flush=True)
    served.run()  # newer uvicorn raises the stopping signal again itself
    if served.server.stop_signal == signal.SIGINT:
        raise KeyboardInterrupt
    if served.server.stop_signal == signal.SIGTERM:
        from ..cli import Terminated
        raise Terminated()
    return 0
