"""What a request must show before the page answers it: the token, when one
is set; without one, a Host header naming this server by a loopback name and
its port. A web page the operator visits can make its own name resolve to
127.0.0.1 (DNS rebinding) and so reach a server there through the browser, but
it cannot make the browser send "127.0.0.1" or "localhost" as the Host."""
from __future__ import annotations

import hmac
import logging
from typing import Any, Dict, Optional

from starlette.datastructures import Headers, QueryParams
from starlette.responses import PlainTextResponse

log = logging.getLogger("visionengin.web")
LOOPBACK_NAMES = ("127.0.0.1", "localhost", "[::1]")


def printable(text: Any, limit: int = 200) -> str:
    """``text`` for a log line: control characters (terminal escapes, line
    breaks) and other unprintable ones escaped as repr() does, and cut."""
    text = str(text)
    shown = "".join(c if c.isprintable() and c != "\\" else c.encode("unicode_escape").decode("ascii")
                    for c in text[:limit])
    return shown + ("..." if len(text) > limit else "")


class TokenGate:
    """Every request must carry the token, as "Authorization: Bearer <token>"
    or a ``token`` query parameter; anything else gets 401."""

    def __init__(self, app: Any, token: Optional[str]) -> None:
        self.app, self.token = app, token

    def allowed(self, scope: Dict[str, Any]) -> bool:
        if not self.token:
            return True
        header = Headers(scope=scope).get("authorization", "")
        scheme, _, given = header.partition(" ")
        if scheme.lower() != "bearer" or not given.strip():
            given = QueryParams(scope.get("query_string", b"")).get("token", "")
        return hmac.compare_digest(given.strip().encode(), self.token.encode())

    async def __call__(self, scope: Dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] == "http" and not self.allowed(scope):
            log.warning("refused %s %s: no valid token", printable(scope.get("method")),
                        printable(scope.get("path")))
            response = PlainTextResponse("a valid token is needed (Authorization: Bearer "
                                         "<token>, or ?token=<token>)\n", status_code=401,
                                         headers={"WWW-Authenticate": "Bearer"})
            await response(scope, receive, send)
            return
        await self.app(scope, receive, send)


class HostGate:
    """Without a token, only requests whose Host is a loopback name with the
    port the server listens on (``port``; None: the port of the connection);
    anything else gets 421. With a token, the token protects."""

    def __init__(self, app: Any, token: Optional[str], port: Optional[int]) -> None:
        self.app, self.token, self.port = app, token, port

    @staticmethod
    def allowed(host: Optional[str], port: Any) -> bool:
        if host is None:
            return False
        host = host.lower()
        if host.endswith("]") or ":" not in host:
            name, given = host, "80"
        else:
            name, _, given = host.rpartition(":")
        return name in LOOPBACK_NAMES and given == str(port)

    async def __call__(self, scope: Dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] == "http" and not self.token:
            port = self.port if self.port is not None else (scope.get("server") or (None, None))[1]
            host = Headers(scope=scope).get("host")
            if not self.allowed(host, port):
                log.warning("refused %s %s: Host %s is not 127.0.0.1, localhost or [::1] with "
                            "port %s (a page of another site?)", printable(scope.get("method")),
                            printable(scope.get("path")), printable(host), port)
                response = PlainTextResponse(
                    "421 Misdirected Request: without a token this server answers only to "
                    "http://127.0.0.1:{0}/, http://localhost:{0}/ and http://[::1]:{0}/ (through "
                    "an SSH tunnel, forward the same port number)\n".format(port), status_code=421)
                await response(scope, receive, send)
                return
        await self.app(scope, receive, send)
