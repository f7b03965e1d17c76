"""Behaviour of the kavex stand-in SDK on real pictures and video."""
import os
import types

import cv2
import numpy as np
import pytest

from kavex.object_detection.models import builder
from kavex.object_detection.models.builder import ObjectDetect
from kavex.object_detection.utils.base_utils import draw_roi

DATA = os.path.join(os.path.dirname(__file__), os.pardir, "data")
MOTION, FACE = 5000001, 5000002


def picture(name):
    im = cv2.imread(os.path.join(DATA, name))
    assert im is not None, name
    return im


ASTRONAUT = picture("astronaut.jpg")
FRUITS = picture("fruits.jpg")


def cfg(*numbers, **row):
    return {"devBehavior": [dict(row, behavior_number=n) for n in numbers]}


def alarms(answer):
    return [(a.get("behavior_number"), a.get("alarm_info_dict").get("info_type"))
            for a in answer.get("alarmBehavior")]


def test_register_stores_the_one_face(tmp_path):
    cache = tmp_path / "cache"
    detector = ObjectDetect("model.bin", cache=str(cache))
    assert not cache.exists()
    answer = detector.face_handle.register(ASTRONAUT, "eileen")
    assert answer["code"] == 0 and answer["name"] == "eileen"
    x1, y1, x2, y2 = answer["box"]
    assert 150 < x1 < x2 < 300 and 40 < y1 < y2 < 200
    stored = cv2.imread(str(cache / "faces" / "eileen.png"))
    assert answer["path"] == str(cache / "faces" / "eileen.png")
    assert stored.shape == (y2 - y1 + 1, x2 - x1 + 1, 3)


def test_each_name_has_a_file_of_its_own(tmp_path):
    handle = ObjectDetect(cache=str(tmp_path)).face_handle
    names = ["a/b", "a_b", "a%2Fb", "..", "%2E.", ".x", ""]
    paths = [handle.register(ASTRONAUT, name)["path"] for name in names]
    assert len(set(paths)) == len(names)
    assert sorted(os.listdir(tmp_path / "faces")) == sorted(os.path.basename(p) for p in paths)
    assert paths[1] == str(tmp_path / "faces" / "a_b.png")


@pytest.mark.parametrize("im, code, msg", [
    (FRUITS, 1, "no face found"),
    (None, 3, "no picture"),
    (np.hstack([ASTRONAUT, ASTRONAUT]), 2, "2 faces found, expected one"),
])
def test_register_refuses(tmp_path, im, code, msg):
    answer = ObjectDetect(cache=str(tmp_path)).face_handle.register(im, 7)
    assert (answer["code"], answer["msg"], answer["name"]) == (code, msg, 7)
    assert not (tmp_path / "faces").exists()


@pytest.mark.parametrize("numbers, expect_motion", [
    ((MOTION,), True), ((MOTION, FACE), True), ((FACE, 42), False)])
def test_motion_on_walking_video(numbers, expect_motion):
    detector, seen = ObjectDetect(), []
    capture = cv2.VideoCapture(os.path.join(DATA, "walking.mp4"))
    ok, frame = capture.read()
    while ok:
        seen.append(detector.main(frame, cfg(*numbers)))
        ok, frame = capture.read()
    assert len(seen) == 80 and seen[0] == {"alarmBehavior": []}
    moving = [a for answer in seen for a in answer["alarmBehavior"]
              if a["alarm_info_dict"]["info_type"] == "motion"]
    assert len(moving) == (79 if expect_motion else 0)
    for alarm in moving:
        assert alarm["behavior_number"] == MOTION
        assert 0 < alarm["alarm_info_dict"]["score"] < 1
        (region,) = alarm["result"]
        assert region["roi"] == [[0, 0], [383, 0], [383, 287], [0, 287]]
        for x1, y1, x2, y2, score in region["boxes"]:
            assert 0 <= x1 < x2 <= 383 and 0 <= y1 < y2 <= 287 and score <= 1


@pytest.mark.parametrize("numbers, found", [
    ((FACE,), [(FACE, "face")]), ((MOTION,), []), ((1234567,), []), ((), [])])
def test_face_only_when_selected(numbers, found):
    assert alarms(ObjectDetect().main(ASTRONAUT, cfg(*numbers))) == found


@pytest.mark.parametrize("threshold, found", [(0.5, 1), (1.0, 0), (5.0, 0)])
def test_threshold_suppresses(threshold, found):
    answer = ObjectDetect().main(ASTRONAUT, cfg(FACE, behavior_threshold=threshold))
    assert len(answer["alarmBehavior"]) == found


def test_alarm_num_needs_consecutive_hits():
    detector = ObjectDetect()
    frames = [ASTRONAUT, FRUITS, ASTRONAUT, ASTRONAUT, ASTRONAUT, ASTRONAUT]
    got = [bool(detector.main(f, cfg(FACE, alarm_num=2))["alarmBehavior"]) for f in frames]
    assert got == [False, False, False, True, False, True]


@pytest.mark.parametrize("activate, expect", [
    (False, [True, False, False, True]), (True, [True, True, True, True])])
def test_alarm_time_spaces_alarms(monkeypatch, activate, expect):
    clock = iter([100.0, 101.0, 159.0, 161.0])
    monkeypatch.setattr(builder, "time", types.SimpleNamespace(monotonic=lambda: next(clock)))
    detector = ObjectDetect(activate=activate)
    got = [bool(detector.main(ASTRONAUT, cfg(FACE, alarm_time=60))["alarmBehavior"])
           for _ in expect]
    assert got == expect


def test_none_picture_raises():
    with pytest.raises(ValueError, match="needs a picture, got None"):
        ObjectDetect().main(None, cfg(MOTION))


def test_constructor_keeps_arguments():
    detector = ObjectDetect("a", 2, cuda=True)
    assert detector.args == ("a", 2)
    assert detector.providers[0] == "CUDAExecutionProvider"


@pytest.mark.parametrize("roi, red", [
    ([[10, 10], [89, 10], [89, 59], [10, 59]], True), (None, False), ([], False)])
def test_draw_roi(roi, red):
    img = np.zeros((70, 100, 3), np.uint8)
    assert draw_roi(img, roi) is img
    assert (img[10, 50] == [0, 0, 255]).all() == red and not img[35, 50].any()
