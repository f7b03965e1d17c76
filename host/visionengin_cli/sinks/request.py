"""One webhook request with a deadline for the whole of it, which a stop cuts
short. urllib's timeout bounds each socket operation, not the request: a
receiver that sends a byte every few seconds would hold its sink for ever.
So the request runs on a thread of its own and registers its sockets; at the
deadline or a stop they are shut down and that thread ends at once. (A name
lookup, which no socket can cut, ends by itself; the connection it leads to
is closed as soon as it is made.)"""
from __future__ import annotations

import http.client
import logging
import socket
import threading
import urllib.error
import urllib.request
from typing import Any, List, Optional, Tuple

log = logging.getLogger("visionengin.sinks")
GRACE = 1.0  # seconds for a cut request's thread to end


class Unanswered(Exception):
    """No whole answer: the message is one line, safe to log."""


class _Call:
    """One request's sockets, so that another thread can cut them."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.cut = False
        self.sockets: List[socket.socket] = []
        self.over = threading.Event()  # answered, failed or cut

    def register(self, sock: socket.socket) -> socket.socket:
        with self.lock:
            if not self.cut:
                self.sockets.append(sock)
                return sock
        sock.close()
        raise OSError("request cancelled")

    def cancel(self) -> None:
        with self.lock:
            self.cut = True
            sockets = list(self.sockets)
        for sock in sockets:
            try:  # the plain socket's call: an SSL socket's own would unwrap it under its reader
                socket.socket.shutdown(sock, socket.SHUT_RDWR)
            except OSError:
                pass  # closed already, or never connected
        self.over.set()


class _Registering:
    """A connection that registers its socket with its call, the plain one
    before a TLS handshake as well as the one it ends with."""

    call: _Call
    sock: Any
    _create_connection: Any

    def _register_created(self) -> None:
        create = self._create_connection
        self._create_connection = lambda *args, **kwargs: self.call.register(create(*args, **kwargs))

    def connect(self) -> None:
        super().connect()  # type: ignore[misc]
        self.call.register(self.sock)


class _HttpConnection(_Registering, http.client.HTTPConnection):
    def __init__(self, host: str, call: _Call, **kwargs: Any) -> None:
        http.client.HTTPConnection.__init__(self, host, **kwargs)
        self.call = call
        self._register_created()


class _HttpsConnection(_Registering, http.client.HTTPSConnection):
    def __init__(self, host: str, call: _Call, **kwargs: Any) -> None:
        http.client.HTTPSConnection.__init__(self, host, **kwargs)
        self.call = call
        self._register_created()


class _HttpHandler(urllib.request.HTTPHandler):
    def __init__(self, call: _Call) -> None:
        super().__init__()
        self.call = call

    def http_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self.do_open(_HttpConnection, req, call=self.call)  # type: ignore[arg-type]


class _HttpsHandler(urllib.request.HTTPSHandler):
    def __init__(self, call: _Call) -> None:
        super().__init__()
        self.call = call

    def https_open(self, req: urllib.request.Request) -> http.client.HTTPResponse:
        return self.do_open(_HttpsConnection, req, call=self.call)  # type: ignore[arg-type]


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    def redirect_request(self, *args: Any, **kwargs: Any) -> None:
        return None  # a signed body goes where it was configured to, or nowhere


class Requests:
    """A sink's requests, one at a time, each answered within ``deadline``
    seconds (``read_timeout`` for each wait on the network) or given up."""

    def __init__(self, name: str, deadline: float, read_timeout: float) -> None:
        self.name, self.deadline, self.read_timeout = name, deadline, read_timeout
        self.lock = threading.Lock()
        self.current: Optional[_Call] = None
        self.cancelled = False

    def cancel(self) -> None:
        """Cuts the running request and refuses the next ones: the sink stops."""
        with self.lock:
            self.cancelled = True
            call = self.current
        if call is not None:
            call.cancel()

    def post(self, request: urllib.request.Request) -> Tuple[int, str]:
        """The status and reason of the answer, whatever its status; raises
        Unanswered, or the network's OSError (urllib.error.URLError)."""
        call = _Call()
        with self.lock:
            if self.cancelled:
                raise Unanswered("stopping")
            self.current = call
        answers: List[Tuple[int, str]] = []
        failures: List[BaseException] = []

        def attempt() -> None:
            try:
                opener = urllib.request.build_opener(_NoRedirect, _HttpHandler(call), _HttpsHandler(call))
                with opener.open(request, timeout=self.read_timeout) as answer:
                    answer.read(65536)
                    answers.append((answer.status, answer.reason))
            except urllib.error.HTTPError as error:  # an answer all the same
                error.close()
                answers.append((error.code, str(error.reason)))
            except Exception as error:  # noqa: BLE001 - handed to the sink's thread
                failures.append(error)
            finally:
                call.over.set()

        worker = threading.Thread(target=attempt, name="{}-request".format(self.name), daemon=True)
        worker.start()
        late = not call.over.wait(self.deadline)
        if late:
            call.cancel()
        worker.join(GRACE)
        with self.lock:
            self.current = None
        if worker.is_alive():  # in a name lookup: it ends by itself, its connection refused
            log.debug("%s: a cut request is still looking up its host", self.name)
        if answers:
            return answers[0]
        if call.cut and not late:
            raise Unanswered("stopping")
        if late:
            raise Unanswered("no whole answer within {:g} s".format(self.deadline))
        if not failures:
            raise Unanswered("no answer")
        raise failures[0]
