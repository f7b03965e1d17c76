"""Packaging: installing the engine never brings an OpenCV of its own (a device's
system OpenCV must not be shadowed), the OpenCV in use meets the declared floor,
and the interpreter running the suite is one the project declares."""
import re
import sys
from importlib import metadata

import cv2


def opencv_requirements():
    return [r for r in metadata.requires("visionengin") or [] if r.lower().startswith("opencv")]


def test_opencv_comes_only_through_the_extra():
    requirements = opencv_requirements()
    assert requirements and all(re.search(r"""extra\s*==\s*["']opencv["']""", r) for r in requirements)


def test_opencv_in_use_meets_the_declared_floor():
    floors = {tuple(map(int, m)) for r in opencv_requirements() for m in re.findall(r">=(\d+)\.(\d+)", r)}
    assert len(floors) == 1
    assert tuple(int(part) for part in cv2.__version__.split(".")[:2]) >= floors.pop()


def test_running_interpreter_is_declared():
    classifiers = metadata.metadata("visionengin").get_all("Classifier") or []
    assert "Programming Language :: Python :: %d.%d" % sys.version_info[:2] in classifiers
