"""Where the status page's token comes from, never the command line when it
can be helped (``ps`` shows a command line to every local user): a file
(``--token-file``), the environment (``VISIONENGIN_TOKEN``), else, for an
address other machines reach, one made once and kept in a file only its owner
reads, so that a restart keeps it (and the scrape configurations using it).
A token is long enough not to be guessed, and fits a header as it is."""
from __future__ import annotations

import logging
import os
import secrets
import stat
from typing import Dict, MutableMapping, Optional, Tuple

log = logging.getLogger("visionengin.web")
ENVIRONMENT = "VISIONENGIN_TOKEN"
KEPT_NAME = "web-token"
MIN_LENGTH, MAX_LENGTH = 16, 1024
MAKE_ONE = "make one with: python3 -c 'import secrets; print(secrets.token_urlsafe(32))'"


class TokenError(Exception):
    """A token that cannot be used; the message is one line, without the token."""


def check(token: str, origin: str) -> str:
    if not MIN_LENGTH <= len(token) <= MAX_LENGTH:
        raise TokenError("the token {} has {} characters; it needs {} to {} ({})".format(
            origin, len(token), MIN_LENGTH, MAX_LENGTH, MAKE_ONE))
    if not all("!" <= c <= "~" for c in token):
        raise TokenError("the token {} holds spaces, control or non-ASCII characters; it must "
                         "fit an HTTP header as it is ({})".format(origin, MAKE_ONE))
    return token


def read_file(path: str) -> str:
    """The token a file holds: its text, without the line break that ends it."""
    try:
        with open(path, "rb") as file:
            data = file.read(MAX_LENGTH + 2)
    except OSError as error:
        raise TokenError("cannot read the token file {}: {}".format(path, error.strerror or error)) from None
    try:
        return data.decode("utf-8").strip()
    except UnicodeDecodeError:
        raise TokenError("the token file {} is not text".format(path)) from None


def chosen(option: Optional[str], path: Optional[str],
           environ: MutableMapping[str, str]) -> Optional[str]:
    """The token given with --token, in the --token-file, or in the
    environment (taken out of it, so that child processes do not inherit it);
    None if none was given."""
    if option is not None:
        return check(option, "of --token")
    if path is not None:
        return check(read_file(path), "in " + path)
    value = environ.pop(ENVIRONMENT, None)
    if value is not None:
        return check(value.strip(), "in " + ENVIRONMENT)
    return None


def state_directory(environ: Dict[str, str]) -> str:
    """The service's state directory under systemd (StateDirectory=), else
    $XDG_STATE_HOME/visionengin, else ~/.local/state/visionengin."""
    given = environ.get("STATE_DIRECTORY", "").split(":")[0]
    if given:
        return given
    base = environ.get("XDG_STATE_HOME", "")
    if not os.path.isabs(base):
        base = os.path.join(os.path.expanduser("~"), ".local", "state")
    return os.path.join(base, "visionengin")


def kept(environ: Dict[str, str]) -> Tuple[str, str, bool]:
    """(token, the file keeping it, whether it was made now). A new one is
    written whole under another name, then linked into place, so that two
    servers starting at once end with the same token."""
    folder = state_directory(environ)
    path = os.path.join(folder, KEPT_NAME)
    try:
        return _read_kept(path), path, False
    except FileNotFoundError:
        pass
    try:
        os.makedirs(folder, mode=0o700, exist_ok=True)
        temporary = "{}.{}.tmp".format(path, os.getpid())
        fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
        try:
            with os.fdopen(fd, "w", encoding="ascii") as file:
                file.write(secrets.token_urlsafe(32) + "\n")
                file.flush()
                os.fsync(file.fileno())
            try:
                os.link(temporary, path)
                made = True
            except FileExistsError:
                made = False
        finally:
            os.unlink(temporary)
        return _read_kept(path), path, made
    except FileNotFoundError as error:
        raise TokenError("cannot keep a token in {}: {}".format(path, error.strerror)) from None
    except OSError as error:
        raise TokenError("cannot keep a token in {}: {} (give one with --token-file or {})".format(
            path, error.strerror or error, ENVIRONMENT)) from None


def _read_kept(path: str) -> str:
    token = read_file(path) if os.path.exists(path) else None
    if token is None:
        raise FileNotFoundError(path)
    mode = os.stat(path).st_mode
    if mode & (stat.S_IRWXG | stat.S_IRWXO):
        log.warning("the token file %s can be read by other users: chmod 600 %s", path, path)
    return check(token, "in " + path)
