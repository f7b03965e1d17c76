"""``visionengin serve ROOT [--listen HOST:PORT] [--token-file PATH]``: the
status page of a results root, served by uvicorn; and ``serve_in_background``
for commands that serve it beside their own work (``visionengin cameras
--listen``). Both take the listen options of ``add_listen_options``.

Safe by default: it listens on 127.0.0.1; any other address needs a token,
given (``tokens.chosen``) or made once and kept (``tokens.kept``). We bind the
socket ourselves so that a busy port is a one-line error before anything
starts, and so that port 0 (tests) gives the port actually taken.
"""
from __future__ import annotations

import argparse
import ipaddress
import os
import signal
import socket
import sys
import threading
import time
from typing import Any, List, Optional, Tuple

from .. import logs
from ..errors import EXIT_OK, EXIT_USAGE, CommandError, Terminated
from . import tokens

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
    """The token the server checks: the one given, else, when the address is
    not loopback, the kept one (made at the first start). Where it is kept is
    printed, the token never."""
    if token or is_loopback(host):
        return token or None
    try:
        token, path, made = tokens.kept(dict(os.environ))
    except tokens.TokenError as error:
        raise ServeError(str(error)) from None
    print("visionengin: {} is reachable from other machines; requests need the token {} {} "
          "(as Authorization: Bearer <token>, or ?token=<token>)".format(
              url_of(host, port), "made now and kept in" if made else "kept in", path),
          file=sys.stderr, flush=True)
    return token


def chosen_token(args: argparse.Namespace) -> Optional[str]:
    """The token given by the options of ``add_listen_options`` or the
    environment, checked; None if none was. Raises ServeError."""
    try:
        return tokens.chosen(args.token, args.token_file, os.environ)
    except tokens.TokenError as error:
        raise ServeError(str(error)) from None


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
        try:
            self.token = token_for(host, port, token)
        except ServeError:
            self.socket.close()
            raise
        config = uvicorn.Config(create_app(root, self.token, port), log_config=None, access_log=False,
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
    serve.set_defaults(run=run, honours=("debug",), log_style=logs.TIMED_LINES)


def add_listen_options(parser: argparse.ArgumentParser, default: Optional[str] = DEFAULT_LISTEN) -> None:
    """--listen and the token options; ``chosen_token`` reads what they give."""
    parser.add_argument("--listen", metavar="HOST:PORT", default=default,
                        help="address of the status page (default: {}); any address but "
                             "loopback needs a token".format(default or "not served"))
    given = parser.add_mutually_exclusive_group()
    given.add_argument("--token-file", metavar="PATH", default=None,
                       help="file holding the token every request must carry (at least {} "
                            "characters); or set ${}. Default: none on loopback; elsewhere one "
                            "made at the first start and kept in {} under $STATE_DIRECTORY, "
                            "else $XDG_STATE_HOME/visionengin".format(
                                tokens.MIN_LENGTH, tokens.ENVIRONMENT, tokens.KEPT_NAME))
    given.add_argument("--token", metavar="TOKEN", default=None,
                       help="the token itself; every local user sees it in `ps`: prefer "
                            "--token-file or ${}".format(tokens.ENVIRONMENT))


def run(args: argparse.Namespace) -> int:
    """The ``serve`` subcommand: serve until Ctrl-C."""
    try:
        parse_listen(args.listen)
        token = chosen_token(args)
    except ServeError as error:
        raise CommandError(str(error), EXIT_USAGE) from None
    try:
        served = Served(args.root, args.listen, token)
    except ServeError as error:
        raise CommandError(str(error)) from None
    print("visionengin: serving {} at {} (Ctrl-C stops)".format(
        os.path.abspath(args.root), served.url), file=sys.stderr, flush=True)
    served.run()  # newer uvicorn raises the stopping signal again itself
    if served.server.stop_signal == signal.SIGINT:
        raise KeyboardInterrupt
    if served.server.stop_signal == signal.SIGTERM:
        raise Terminated()
    return EXIT_OK
