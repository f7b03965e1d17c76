"""Camera addresses carry credentials: everything that shows an address, or a
message that may quote one, masks them first (logs, status files, the status
page's API, errors).

Masking errs on the side of hiding:

- the whole user information goes, user name included
  ("rtsp://admin:pw@host/live" is shown "rtsp://***@host/live"): a user name
  alone may be a token ("rtsp://TOKEN@host"), and where a password holds an
  unencoded ":", "@", "/" or space no rule can tell where the name ends, so no
  part of it is shown. It runs to the last "@" of the address, which may hold
  spaces: an address reaches to the next address in the text;
- the values of query and ";" parameters whose names say secret (holding
  pass, pwd, token, key, auth, secret, cred, session, sig, user or login, in
  any case and inside longer names such as "api_key" or
  "X-Auth-Token"). A value ends at the next parameter; in a message it ends at
  white space too (a space cannot travel in a request line, and the message
  goes on after the address)."""
from __future__ import annotations

import logging
import re
from urllib.parse import unquote

MASK = "***"

# Where an address begins: a scheme and "://", not inside a longer word, nor
# inside an address (a password holding "x://" has it after ":", "/" or "@").
_SCHEME = re.compile(r"(?<![A-Za-z0-9+.\-:/@%])[A-Za-z][A-Za-z0-9+.\-]*://")
# A parameter "name=value" after "?", "&" or ";"; the value ends at the next
# parameter, fragment or white space (a message's ": " after it is kept).
_PARAM = re.compile(r"(?<=[?&;])([^=?&;#\s]+)=([^&;#\s]*?)(?=:?(?:[&;#\s]|$))")
_PARAM_IN_ADDRESS = re.compile(r"(?<=[?&;])([^=?&;#]+)=([^&;#]*)")
# A parameter whose value an "@" cuts (it ends the text before the "@").
_CUT = re.compile(r"[?&;]([^=?&;#\s]+)=[^&;#\s]*$")
_CUT_IN_ADDRESS = re.compile(r"[?&;]([^=?&;#]+)=[^&;#]*$")
_SECRET_WORDS = ("pass", "pwd", "token", "key", "auth", "secret", "cred", "session", "sig",
                 "user", "login")


def _secret_name(name: str) -> bool:
    folded = unquote(name).lower()
    return any(word in folded for word in _SECRET_WORDS)


def _mask_params(text: str, pattern: "re.Pattern[str]") -> str:
    def one(match: "re.Match[str]") -> str:
        name, value = match.group(1), match.group(2)
        return "{}={}".format(name, MASK) if value and _secret_name(name) else match.group(0)

    return pattern.sub(one, text)


def _mask_one(address: str, whole: bool) -> str:
    """``address`` (beginning with its scheme, running to the next address of the
    text or, ``whole``, being all of it) masked."""
    # A space in a parameter's value cannot travel in a request line; in an
    # address given alone such a value still runs to the next separator.
    params = _PARAM_IN_ADDRESS if whole else _PARAM
    start = address.index("://") + 3
    at = address.rfind("@", start)
    if at < 0:
        return address[:start] + _mask_params(address[start:], params)
    rest = address[at + 1:]
    cut = (_CUT_IN_ADDRESS if whole else _CUT).search(address[start:at])
    if cut is not None and _secret_name(cut.group(1)):
        # the "@" was inside a secret value: what follows it, up to the next
        # separator, is the rest of that value
        ends = re.search(r"[&;#]|$" if whole else r":?(?:[&;#\s]|$)", rest)
        rest = MASK + rest[ends.start():] if ends else MASK
    return address[:start] + MASK + "@" + _mask_params(rest, params)


def mask_address(addr: str) -> str:
    """``addr`` with its user information and secret parameters replaced by
    ``***``; anything that is no address (a file, a device) comes back unchanged."""
    first = _SCHEME.search(addr)
    if first is None or first.start() != 0:
        return mask_text(addr)
    rest = _SCHEME.search(addr, first.end())
    if rest is not None:
        return mask_text(addr)
    return _mask_one(addr, whole=True)


def mask_text(text: str) -> str:
    """Every address in ``text`` (an error message, a log line) masked."""
    starts = [match.start() for match in _SCHEME.finditer(text)]
    if not starts:
        return text
    pieces = [text[:starts[0]]]
    for begin, end in zip(starts, starts[1:] + [len(text)]):
        pieces.append(_mask_one(text[begin:end], whole=False))
    return "".join(pieces)


class MaskingFilter(logging.Filter):
    """A log handler's last net: a record whose message quotes an address is
    masked even where the line that logged it forgot to."""

    def filter(self, record: logging.LogRecord) -> bool:
        try:
            text = record.getMessage()
        except Exception:  # noqa: BLE001 - a bad record is the handler's to report
            return True
        masked = mask_text(text)
        if masked != text:
            record.msg, record.args = masked, None
        return True
