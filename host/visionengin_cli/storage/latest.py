"""A camera's current picture for the status page, only while someone looks.

The page and the camera processes meet in a private runtime folder outside
the results root (RAM-backed: a picture a second is no wear on a device's
flash, and the page still writes nothing under the root): the page, asked for
a camera's latest picture, touches ``<camera>.wanted`` there; the camera
looks at that marker once a second and, while it is fresher than
``WANTED_SECONDS``, writes the frame its processing worker took last as
``<camera>.jpg`` (a temporary file renamed into place), and removes it when
nobody asks any more. With nobody looking a camera costs one stat a second.
This works the same for ``visionengin serve ROOT`` (another process) and for
the page inside ``visionengin cameras --listen``.

The folder is ``/dev/shm/visionengin-<uid>/<root id>`` (shared by systemd
units even with PrivateTmp, and by login sessions), else
``$XDG_RUNTIME_DIR/visionengin/<root id>``, else the temporary folder's
``visionengin-<uid>/<root id>``; the root id is a digest of the root's real
path. The page makes each folder, mode 0700; a camera only uses one that is
there, and both refuse one that is not this user's own: the page and the
cameras run as the same user.
"""
from __future__ import annotations

import hashlib
import logging
import os
import stat
import tempfile
import threading
import time
from typing import Any, Mapping, Optional

log = logging.getLogger("visionengin.camera")
WANTED_SECONDS = 5.0  # a request keeps the pictures coming this long
INTERVAL = 1.0  # a picture (and a look at the marker) a second
STALE_SECONDS = 5.0  # the page serves no picture older than this
MAX_WIDTH = 960  # enough for a tile and for drawing a zone; a quick encode
QUALITY = 80
MAX_BYTES = 16 * 1024 * 1024


class Unavailable(Exception):
    """No runtime folder to meet in; the message is one line."""


def root_id(root: str) -> str:
    real = os.path.realpath(root).encode("utf-8", "surrogateescape")
    return hashlib.sha256(real).hexdigest()[:16]


def base_folder(environ: Mapping[str, str]) -> str:
    uid = os.getuid()
    if os.path.isdir("/dev/shm") and os.access("/dev/shm", os.W_OK | os.X_OK):
        return "/dev/shm/visionengin-{}".format(uid)
    runtime = environ.get("XDG_RUNTIME_DIR", "")
    if os.path.isabs(runtime) and os.path.isdir(runtime):
        return os.path.join(runtime, "visionengin")
    return os.path.join(tempfile.gettempdir(), "visionengin-{}".format(uid))


def _private(folder: str, make: bool = True) -> None:
    """``folder`` made (0700) or found: a folder of this user, not a link,
    closed to others. Raises Unavailable."""
    try:
        if make:
            os.mkdir(folder, 0o700)
    except FileExistsError:
        pass
    except OSError as error:
        raise Unavailable("cannot make {}: {}".format(folder, error.strerror or error)) from None
    try:
        found = os.lstat(folder)
        if not stat.S_ISDIR(found.st_mode) or found.st_uid != os.getuid():
            raise Unavailable("{} is not a folder of this user (uid {}): live pictures are off".format(
                folder, os.getuid()))
        if stat.S_IMODE(found.st_mode) != 0o700:
            os.chmod(folder, 0o700)
    except OSError as error:
        raise Unavailable("cannot use {}: {}".format(folder, error.strerror or error)) from None


def folder_for(root: str, make: bool = True, environ: Optional[Mapping[str, str]] = None) -> str:
    """The runtime folder of ``root``, checked, and made when missing (the
    page makes it; a camera only uses one that is there). Raises Unavailable."""
    base = base_folder(os.environ if environ is None else environ)
    path = os.path.join(base, root_id(root))
    for folder in (base, path):
        _private(folder, make)
    return path


# -- the page's side -------------------------------------------------------------

def ask(folder: str, camera: str) -> None:
    """Tells ``camera`` that someone looks (its marker touched)."""
    marker = os.path.join(folder, camera + ".wanted")
    try:
        os.utime(marker)
    except FileNotFoundError:
        os.close(os.open(marker, os.O_WRONLY | os.O_CREAT | os.O_NOFOLLOW, 0o600))


def read_picture(folder: str, camera: str, now: Optional[float] = None) -> Optional[bytes]:
    """The camera's current picture, None when there is none written in the
    last ``STALE_SECONDS`` (not asked before, or its camera not analysing)."""
    try:
        fd = os.open(os.path.join(folder, camera + ".jpg"), os.O_RDONLY | os.O_NOFOLLOW)
    except FileNotFoundError:
        return None
    with os.fdopen(fd, "rb") as file:
        found = os.fstat(file.fileno())
        if not -1.0 < (time.time() if now is None else now) - found.st_mtime < STALE_SECONDS:
            return None
        data = file.read(MAX_BYTES + 1)
    return data if 0 < len(data) <= MAX_BYTES and data[:2] == b"\xff\xd8" else None


# -- the camera's side -------------------------------------------------------------

class LatestPicture:
    """Writes the camera's latest frame while it is asked for. ``offer`` is
    called with every frame the processing worker takes and costs nothing
    but a test while nobody looks; the encoding is done on a thread of its
    own, once a second at most."""

    def __init__(self, camera_folder: str, stopping: threading.Event) -> None:
        real = os.path.realpath(camera_folder)
        self.camera, self.root = os.path.basename(real), os.path.dirname(real)
        self.stopping = stopping
        self.wanted = False
        self.frame: Any = None
        self.arrived = threading.Event()
        self.failed: Optional[str] = None  # the last trouble logged, once
        threading.Thread(target=self._run, name="latest picture", daemon=True).start()

    def offer(self, frame: Any) -> None:
        if self.wanted:
            self.frame = frame
            self.arrived.set()

    def _run(self) -> None:
        folder = os.path.join(base_folder(os.environ), root_id(self.root))
        marker = os.path.join(folder, self.camera + ".wanted")
        picture = os.path.join(folder, self.camera + ".jpg")
        written = checked = False
        while not self.stopping.is_set():
            tick = time.monotonic()
            try:
                # a marker in the future (the clock set back) counts as old
                self.wanted = -1.0 < time.time() - os.stat(marker).st_mtime < WANTED_SECONDS
            except OSError:  # no page has asked (its folder may not even be there)
                self.wanted = False
            if self.wanted and not checked:
                try:
                    folder_for(self.root, make=False)
                    checked = True
                except Unavailable as error:
                    self.wanted = False
                    log.warning("no live picture for the page: %s", error)
                    return
            if self.wanted:
                self.arrived.clear()  # a frame taken from now on, not one kept since the last
                if self.arrived.wait(INTERVAL):
                    frame, self.frame = self.frame, None
                    try:
                        written = self._write(frame, picture) or written
                    except Exception as error:  # noqa: BLE001 - an odd frame (cv2.error): the next may do
                        self._trouble("{}: {}".format(type(error).__name__, error))
            else:
                self.frame = None
                if written:
                    _remove(picture)
                    written = False
            self.stopping.wait(max(0.0, INTERVAL - (time.monotonic() - tick)))
        if written:
            _remove(picture)

    def _write(self, frame: Any, path: str) -> bool:
        import cv2  # the engine's own, imported by it already

        shape = getattr(frame, "shape", None)
        if shape is None or len(shape) < 2 or not shape[0] or not shape[1]:
            return False
        if shape[1] > MAX_WIDTH:
            frame = cv2.resize(frame, (MAX_WIDTH, max(1, round(shape[0] * MAX_WIDTH / shape[1]))),
                               interpolation=cv2.INTER_AREA)
        ok, data = cv2.imencode(".jpg", frame, [cv2.IMWRITE_JPEG_QUALITY, QUALITY])
        if not ok:
            self._trouble("the frame could not be encoded as JPEG")
            return False
        temporary = "{}.{}.tmp".format(path, os.getpid())
        try:
            # No fsync: the folder is in RAM and gone after a power cut; the
            # rename alone keeps a reader from ever seeing half a picture.
            fd = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_TRUNC | os.O_NOFOLLOW, 0o600)
            try:
                view = data.data.cast("B")  # the encoded bytes themselves, not a copy
                while view:
                    view = view[os.write(fd, view):]
            finally:
                os.close(fd)
            os.replace(temporary, path)
        except OSError as error:
            _remove(temporary)
            self._trouble("cannot write {}: {}".format(path, error.strerror or error))
            return False
        self.failed = None
        return True

    def _trouble(self, message: str) -> None:
        if message != self.failed:
            log.warning("live picture: %s", message)
            self.failed = message


def _remove(path: str) -> None:
    try:
        os.unlink(path)
    except FileNotFoundError:
        pass
    except OSError as error:
        log.warning("cannot remove %s: %s", path, error.strerror or error)
