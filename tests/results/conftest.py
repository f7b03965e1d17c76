"""Thin recording stand-ins for the engine's module-level `cv2`, `os` and `copy`:
each records the calls that matter and hands everything to the real module."""
import copy
import os
import types

import cv2
import numpy as np
import pytest

import main

GREY = 40  # background of the synthetic picture: far from green, cyan and red


class Capture:
    """A real cv2.VideoCapture that counts reads and releases; read number `fail_at` fails."""

    def __init__(self, addr, fail_at):
        self.real, self.fail_at, self.reads, self.releases = cv2.VideoCapture(addr), fail_at, 0, 0
        self.isOpened = self.real.isOpened

    def read(self):
        self.reads += 1
        return (False, None) if self.reads == self.fail_at else self.real.read()

    def release(self):
        self.releases += 1
        self.real.release()


class Cv2Proxy:
    """Real cv2; `calls` holds (name, args) of imread, putText, rectangle and imwrite.
    imwrite of a path in `refuse` writes nothing and returns False; with `answer_none`
    it writes and returns None."""

    def __init__(self):
        self.calls, self.captures, self.refuse, self.answer_none, self.fail_at = [], [], set(), False, None

    def __getattr__(self, name):
        real = getattr(cv2, name)
        if name not in ("imread", "putText", "rectangle"):
            return real
        return lambda *args: self.calls.append((name, args)) or real(*args)

    def named(self, name):
        return [args for called, args in self.calls if called == name]

    def imwrite(self, *args):
        self.calls.append(("imwrite", args))
        written = args[0] not in self.refuse and cv2.imwrite(*args)
        return None if self.answer_none else written

    def VideoCapture(self, addr):
        self.captures.append(Capture(addr, self.fail_at))
        return self.captures[-1]


@pytest.fixture
def cv2_proxy(monkeypatch):
    monkeypatch.setattr(main, "cv2", Cv2Proxy())
    return main.cv2


@pytest.fixture
def os_proxy(monkeypatch):
    """install(exists=..., mkdir=...): real os with mkdir calls in `.mkdirs`."""
    def install(exists=os.path.exists, mkdir=os.mkdir):
        mkdirs = []
        proxy = types.SimpleNamespace(mkdirs=mkdirs, mkdir=lambda *a: mkdirs.append(a) or mkdir(*a),
                                      path=types.SimpleNamespace(exists=exists, isdir=os.path.isdir))
        monkeypatch.setattr(main, "os", proxy)
        return proxy
    return install


@pytest.fixture
def copies(monkeypatch):
    """Every picture the engine copies, in order."""
    made = []
    monkeypatch.setattr(main, "copy", types.SimpleNamespace(copy=lambda obj: made.append(obj) or copy.copy(obj)))
    return made


@pytest.fixture
def picture(workdir):
    """A lossless 200x160 dark grey picture on disk: (path, pixels)."""
    pixels = np.full((160, 200, 3), GREY, np.uint8)
    assert cv2.imwrite(str(workdir / "in.png"), pixels)
    return str(workdir / "in.png"), pixels


def near(pixel, colour, tol=40):
    return bool(np.all(np.abs(np.asarray(pixel, int) - colour) <= tol))


def cyan_pixels(im, x0, y0, x1, y1):
    """Pixels of the region that still look cyan after JPEG loss."""
    part = im[y0:y1, x0:x1].astype(int)
    return int(((part[..., 0] > 150) & (part[..., 1] > 150) & (part[..., 2] < 110)).sum())


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if r.name == "main" and r.levelname == "WARNING"]
