"""test_pic: behaviour selection, ./pic_result/, unreadable pictures, and a real run
of the stand-in SDK on a photo."""
import os

import cv2
import numpy as np
import pytest

import main
from conftest import alarm

from .conftest import near, warnings_of

BOX = (20, 40, 80, 100)


@pytest.mark.parametrize("bev, keys", [
    ((), list(main.devBehavior)),
    ((["5000004"],), ["5000004"]),
    (([],), []),
    ((["5000010", "5000002", "5000010"],), ["5000010", "5000002", "5000010"]),
])
def test_selection_is_in_cfg_before_the_picture_is_read(engine, fake_sdk, cv2_proxy, picture, monkeypatch, bev, keys):
    at_read = []
    monkeypatch.setattr(cv2_proxy, "imread",
                        lambda addr: at_read.append(list(main.cfg["devBehavior"])) or cv2.imread(addr))
    engine.test_pic(picture[0], *bev)
    rows = [main.devBehavior[k] for k in keys]
    (im, cfg, seen), = fake_sdk.detect_calls
    assert cfg is main.cfg and all(a is b for a, b in zip(seen, rows)) and len(seen) == len(rows)
    assert at_read == [seen]


def test_unknown_key_fails_before_reading(engine, fake_sdk, cv2_proxy, picture, workdir):
    before = dict(main.cfg)
    with pytest.raises(KeyError):
        engine.test_pic(picture[0], [5000001])
    assert not cv2_proxy.calls and not fake_sdk.detect_calls and main.cfg == before
    assert not (workdir / "pic_result").exists()


def test_plain_file_in_the_way_raises(engine, fake_sdk, cv2_proxy, picture, workdir):
    (workdir / "pic_result").write_text("not a directory")
    with pytest.raises(OSError):
        engine.test_pic(picture[0])
    assert not cv2_proxy.calls and not fake_sdk.detect_calls


def made_by_another_run(path, *args):
    os.mkdir(path)
    raise FileExistsError(17, "File exists", path)


@pytest.mark.parametrize("premade, race", [(False, {}), (True, {"exists": lambda path: False}),
                                            (False, {"mkdir": made_by_another_run})],
                         ids=["missing", "exists lies", "made meanwhile"])
def test_result_directory_is_made_also_when_a_concurrent_run_made_it(
        engine, fake_sdk, picture, workdir, os_proxy, premade, race):
    if premade:
        (workdir / "pic_result").mkdir()
    os_ = os_proxy(**race)
    fake_sdk.answer = {"alarmBehavior": [alarm("made", BOX)]}
    assert engine.test_pic(picture[0]) is None
    assert os_.mkdirs == [("./pic_result/",)] and (workdir / "pic_result" / "made.jpg").is_file()


@pytest.mark.parametrize("name, content", [("missing.jpg", None), ("garbage.jpg", b"no picture here")])
def test_unreadable_picture_reaches_the_detector_as_none(engine, fake_sdk, workdir, caplog, name, content):
    if content is not None:
        (workdir / name).write_bytes(content)
    assert engine.test_pic(name) is None
    assert fake_sdk.detect_calls[0][0] is None
    logged = warnings_of(caplog)
    assert len(logged) == 1 and repr(name) in logged[0]


def test_second_call_overwrites_and_adds_stay(engine, fake_sdk, picture, workdir):
    other = (110, 50, 170, 120)
    for box in (BOX, other):
        fake_sdk.answer = {"alarmBehavior": [alarm("same", box), alarm("twice", box)]}
        engine.test_pic(picture[0])
    assert engine.adds == [] and sorted(os.listdir(workdir / "pic_result")) == ["same.jpg", "twice.jpg"]
    for name in ("same.jpg", "twice.jpg"):
        written = cv2.imread(str(workdir / "pic_result" / name))
        assert near(written[120, 140], (0, 255, 0)) and not near(written[100, 50], (0, 255, 0))


def test_real_detector_marks_the_face(data, workdir, tmp_path):
    engine = main.VisionEngin(cache=str(tmp_path / "cache"))
    engine.test_pic(str(data / "astronaut.jpg"))
    assert os.listdir("pic_result") == ["face.jpg"]
    original = cv2.imread(str(data / "astronaut.jpg"))
    written = cv2.imread("pic_result/face.jpg")
    (x0, y0, x1, y1, _), = engine.predict.face_handle.find(original)
    h, w = original.shape[:2]
    assert w / 4 < (x0 + x1) / 2 < 3 * w / 4 and (y0 + y1) / 2 < h / 2
    for x, y in (((x0 + x1) // 2, y0), ((x0 + x1) // 2, y1), (x0, (y0 + y1) // 2), (x1, (y0 + y1) // 2)):
        assert near(written[y, x], (0, 255, 0), tol=60)
    inside = (slice(y0 + 10, y1 - 10), slice(x0 + 10, x1 - 10))
    assert np.abs(written[inside].astype(int) - original[inside]).mean() < 8
