"""Why a connection to an MQTT broker failed, in a few words: paho-mqtt's
connect-failure callback is given no error, so the one it is handling is
read here (the callback runs inside paho's ``except OSError`` clause)."""
from __future__ import annotations

import socket
import ssl
import sys
from typing import Optional


def describe(error: Optional[BaseException]) -> str:
    if isinstance(error, ssl.SSLCertVerificationError):
        return "TLS certificate refused: {}".format(error.verify_message or error.reason or error)
    if isinstance(error, ssl.SSLError):
        return "TLS failed: {}".format(error.reason or error)
    if isinstance(error, socket.timeout):
        return "no answer (timed out)"
    if isinstance(error, OSError) and error.strerror:
        return str(error.strerror)
    if error is None:
        return "reason unknown"
    return str(error) or type(error).__name__


def handled() -> str:
    """The exception being handled, described; for a callback run from an
    ``except`` clause."""
    return describe(sys.exc_info()[1])


__all__ = ["describe", "handled"]
