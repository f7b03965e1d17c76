"""Fixtures shared by the engine's tests: a private working directory, the real
media under data/, a recording detector SDK and clean process-wide tables.

The host's own logic is tested without the built engine too (tools/check-no-engine):
nothing here needs `main` or `cv2` until an engine fixture is used."""
import copy
import os
import pathlib
import sys
import threading

import pytest

try:
    import main
except ImportError as error:  # the engine's fixtures say so when used
    main = None
    NO_ENGINE = "the built engine is not importable: %s" % error
else:
    NO_ENGINE = None

DATA = pathlib.Path(__file__).parent / "data"
# Long runs of real commands, brokers and clusters run on these interpreters
# only (`make test` runs six, one after another, within CI's time): the
# devices' own and the one the demo and the benchmarks use.
LONG_RUN_PYTHONS = ((3, 8), (3, 11))
# The host's packages are pure Python: their tests that start processes and
# servers run on the oldest interpreter, the demo's and the newest; every
# interpreter runs the engine's own (tests/engine, results, stream,
# reliability), the command line's and the host's fast tests.
HOST_PROCESS_PYTHONS = ((3, 8), (3, 11), (3, 13))
HOST_PACKAGES = pathlib.Path(__file__).parent / "host"


def pytest_configure(config):
    config.addinivalue_line(
        "markers", "slow: starts a server or a process (the real command, a broker, an RTSP "
                   "server, a browser, a cluster); `pytest -m \"not slow\"` leaves these out")
    config.addinivalue_line(
        "markers", "long_run: a long run of real commands, brokers or clusters; runs on "
                   "Python {} only".format(" and ".join("%d.%d" % v for v in LONG_RUN_PYTHONS)))


@pytest.hookimpl(tryfirst=True)  # before `-m` chooses: a long run is slow too
def pytest_collection_modifyitems(config, items):
    skip = pytest.mark.skip(reason="a long run: tested on Python {} only".format(
        " and ".join("%d.%d" % v for v in LONG_RUN_PYTHONS)))
    skip_host = pytest.mark.skip(reason="the host's processes and servers: tested on Python {} "
                                        "only".format(", ".join("%d.%d" % v for v in HOST_PROCESS_PYTHONS)))
    for item in items:
        if item.get_closest_marker("long_run") is not None:
            item.add_marker(pytest.mark.slow)
            if sys.version_info[:2] not in LONG_RUN_PYTHONS:
                item.add_marker(skip)
        elif (item.get_closest_marker("slow") is not None
              and sys.version_info[:2] not in HOST_PROCESS_PYTHONS
              and item.path.parent.parent == HOST_PACKAGES):
            item.add_marker(skip_host)


@pytest.fixture(autouse=True, scope="session")
def index_folder(tmp_path_factory):
    """The page's event index goes to the cache folder: a private one for the
    tests, set before any server starts (module-scoped ones included)."""
    saved = {key: os.environ.get(key) for key in ("STATE_DIRECTORY", "XDG_CACHE_HOME")}
    os.environ.pop("STATE_DIRECTORY", None)
    os.environ["XDG_CACHE_HOME"] = str(tmp_path_factory.mktemp("cache"))
    yield
    for key, value in saved.items():
        if value is None:
            os.environ.pop(key, None)
        else:
            os.environ[key] = value


@pytest.fixture(autouse=True)
def clean_tables():
    """cfg and devBehavior are process-wide: every test gets them as imported."""
    if main is None:
        yield
        return
    cfg_items = list(main.cfg.items())
    rows = {key: dict(row) for key, row in main.devBehavior.items()}
    row_objects = dict(main.devBehavior)
    yield
    main.cfg.clear()
    main.cfg.update(cfg_items)
    main.devBehavior.clear()
    for key, row in row_objects.items():
        row.clear()
        row.update(rows[key])
        main.devBehavior[key] = row


@pytest.fixture
def workdir(tmp_path, monkeypatch):
    """The result directories are relative to the working directory."""
    monkeypatch.chdir(tmp_path)
    return tmp_path


@pytest.fixture
def data():
    return DATA


class RecordingFaceComponent:
    def __init__(self, answer="registered"):
        self.calls = []
        self.answer = answer

    def register(self, im, name):
        self.calls.append((im, name))
        if isinstance(self.answer, BaseException):
            raise self.answer
        return self.answer


class RecordingSDK:
    """Stands for the detection SDK and records every call the engine makes.

    `answer` is what the detector's main() returns: a value, or a callable taking
    (im, cfg). draw_roi records its arguments and returns the picture it got."""

    def __init__(self):
        self.constructions = []
        self.detect_calls = []
        self.draw_calls = []
        self.answer = {"alarmBehavior": []}
        self.face_component = RecordingFaceComponent()
        self.lock = threading.Lock()
        sdk = self

        class ObjectDetect:
            def __init__(self, *args, **kwargs):
                sdk.constructions.append((args, kwargs))
                self.face_handle = sdk.face_component

            def main(self, im, cfg):
                with sdk.lock:
                    sdk.detect_calls.append((im, cfg, copy.copy(cfg.get("devBehavior"))))
                answer = sdk.answer
                return answer(im, cfg) if callable(answer) else answer

        def draw_roi(img, roi):
            sdk.draw_calls.append((img, roi))
            return img

        self.ObjectDetect = ObjectDetect
        self.draw_roi = draw_roi


@pytest.fixture
def fake_sdk(monkeypatch):
    if main is None:
        pytest.fail(NO_ENGINE)
    sdk = RecordingSDK()
    monkeypatch.setattr(main, "ObjectDetect", sdk.ObjectDetect)
    monkeypatch.setattr(main, "draw_roi", sdk.draw_roi)
    return sdk


@pytest.fixture
def engine(fake_sdk):
    return main.VisionEngin()


def alarm(info_type, *boxes, number=5000001, roi=None):
    """One alarm behaviour of a detector answer, with one region holding `boxes`."""
    return {
        "behavior_number": number,
        "alarm_info_dict": {"info_type": info_type},
        "result": [{"roi": roi, "boxes": list(boxes)}],
    }


def make_video(path, frames=10, size=(160, 120), fps=10):
    """A real video file whose frame i (1-based) is filled with grey level 10 * i."""
    import cv2
    import numpy as np

    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), fps, size)
    assert writer.isOpened()
    for i in range(1, frames + 1):
        writer.write(np.full((size[1], size[0], 3), (10 * i) % 256, np.uint8))
    writer.release()
    return str(path)
