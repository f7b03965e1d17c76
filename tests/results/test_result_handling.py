"""From a detector answer to annotated JPEG files, seen through test_pic with real
OpenCV writing into ./pic_result/ of a private working directory."""
import re

import cv2
import numpy as np
import pytest

import main
from conftest import alarm

from .conftest import GREY, cyan_pixels, near, warnings_of

BOX_A, BOX_B = (20, 40, 80, 100), (110, 50, 170, 120)


def files(root):
    return sorted(p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file())


def test_each_alarm_is_drawn_on_its_own_copy(engine, fake_sdk, cv2_proxy, picture, copies, workdir):
    path, pixels = picture
    fake_sdk.answer = {"alarmBehavior": [alarm("first", BOX_A), alarm("second", BOX_B, number=5000002)]}
    assert engine.test_pic(path) is None
    assert [a[0] for a in cv2_proxy.named("imwrite")] == ["./pic_result//first.jpg", "./pic_result//second.jpg"]
    assert files(workdir / "pic_result") == ["first.jpg", "second.jpg"]
    im = fake_sdk.detect_calls[0][0]
    assert np.array_equal(im, pixels) and len(copies) == 2 and all(c is im for c in copies)
    first, second = (cv2.imread(str(workdir / "pic_result" / n)) for n in ("first.jpg", "second.jpg"))
    for own, other, (x0, y0, x1, y1) in ((first, second, BOX_A), (second, first, BOX_B)):
        mid_x, mid_y = (x0 + x1) // 2, (y0 + y1) // 2
        for x, y in ((mid_x, y1), (mid_x, y0), (x0, mid_y), (x1, mid_y)):
            assert near(own[y, x], (0, 255, 0)) and near(other[y, x], (GREY,) * 3)
        assert cyan_pixels(own, x0, y0 - 16, x0 + 70, y0 - 2) > 5
        assert cyan_pixels(other, x0, y0 - 16, x0 + 70, y0 - 2) == 0
        assert near(own[(y0 + y1) // 2, (x0 + x1) // 2], (GREY,) * 3)


def test_empty_result_writes_an_unmarked_copy(engine, fake_sdk, cv2_proxy, picture, workdir):
    fake_sdk.answer = {"alarmBehavior": [dict(alarm("plain"), result=[])]}
    engine.test_pic(picture[0])
    assert not cv2_proxy.named("putText") and not fake_sdk.draw_calls
    assert near(cv2.imread(str(workdir / "pic_result" / "plain.jpg")), (GREY,) * 3, tol=3)


def test_regions_drawn_before_their_boxes_and_their_picture_written(
        engine, fake_sdk, cv2_proxy, picture, workdir, monkeypatch):
    drawn = []

    def draw_roi(img, roi):
        drawn.append(np.full_like(img, 200))
        cv2_proxy.calls.append(("draw_roi", (img, roi)))
        return drawn[-1]
    monkeypatch.setattr(main, "draw_roi", draw_roi)
    behaviour = alarm("regions", BOX_A, BOX_B, roi="r1")
    behaviour["result"].append({"roi": "r2", "boxes": [BOX_A]})
    fake_sdk.answer = {"alarmBehavior": [behaviour]}
    engine.test_pic(picture[0])
    steps = [(name, args[1] if name == "draw_roi" else None) for name, args in cv2_proxy.calls[1:]]
    assert steps == [("draw_roi", "r1"), ("putText", None), ("rectangle", None), ("putText", None),
                     ("rectangle", None), ("draw_roi", "r2"), ("putText", None), ("rectangle", None),
                     ("imwrite", None)]
    pictures = [args[1] if name == "imwrite" else args[0] for name, args in cv2_proxy.calls[1:]]
    assert all(p is drawn[0] for p in pictures[1:6]) and all(p is drawn[1] for p in pictures[6:])
    assert near(cv2.imread(str(workdir / "pic_result" / "regions.jpg"))[130, 100], (200,) * 3, tol=3)


@pytest.mark.parametrize("box, number, caption", [
    ((10.7, 20.2, 50.9, 60.5), 5000003, "5000003"),
    ((10, 20, 50, 60, 0.93, "extra"), "night", "night"),
    ([np.int64(10), np.float32(20.9), "50", 60], 7.5, "7.5"),
])
def test_caption_and_outline_arguments(engine, fake_sdk, cv2_proxy, picture, box, number, caption):
    fake_sdk.answer = {"alarmBehavior": [alarm("t", box, box, number=number)]}
    engine.test_pic(picture[0])
    img = cv2_proxy.named("imwrite")[0][1]
    texts, rects = cv2_proxy.named("putText"), cv2_proxy.named("rectangle")
    assert texts == [(img, caption, (10, 20), cv2.FONT_HERSHEY_SIMPLEX, 0.6, (255, 255, 0), 1)] * 2
    assert rects == [(img, (10, 20), (50, 60), (0, 255, 0), 3)] * 2
    assert all(type(v) is int for v in texts[0][2] + rects[0][1] + rects[0][2])


@pytest.mark.parametrize("answer", [{}, {"alarmBehavior": None}, {"alarmBehavior": []}, {"other": [alarm("x")]}])
def test_no_alarm_writes_nothing_and_copies_nothing(engine, fake_sdk, cv2_proxy, picture, copies, workdir, answer):
    fake_sdk.answer = answer
    assert engine.test_pic(picture[0]) is None
    assert not copies and not cv2_proxy.named("imwrite") and files(workdir / "pic_result") == []


def without(key):
    return {k: v for k, v in alarm("bad", BOX_A).items() if k != key}


@pytest.mark.parametrize("bad, error, drawn", [
    (without("alarm_info_dict"), AttributeError, 0),
    (dict(alarm("bad", BOX_A), alarm_info_dict={}), TypeError, 1),
    (without("result"), TypeError, 0),
    (alarm("bad", (1, 2, 3)), IndexError, 0),
    (alarm("bad", ("x", 2, 3, 4)), ValueError, 0),
    (alarm("bad", (1, 2, None, 4)), TypeError, 0),
    (alarm(7, BOX_A), TypeError, 1),
    (alarm(b"bytes", BOX_A), TypeError, 1),
])
def test_broken_behaviour_stops_the_picture_and_keeps_earlier_files(
        engine, fake_sdk, cv2_proxy, picture, workdir, bad, error, drawn):
    fake_sdk.answer = {"alarmBehavior": [alarm("before", BOX_B), bad, alarm("after", BOX_B)]}
    with pytest.raises(error):
        engine.test_pic(picture[0])
    assert files(workdir / "pic_result") == ["before.jpg"]
    assert len(cv2_proxy.named("imwrite")) == 1 and len(cv2_proxy.named("rectangle")) == 1 + drawn


def test_detector_failure_propagates(engine, fake_sdk, cv2_proxy, picture):
    fake_sdk.answer = lambda im, cfg: 1 / 0
    with pytest.raises(ZeroDivisionError):
        engine.test_pic(picture[0])
    assert not cv2_proxy.named("imwrite")


@pytest.mark.parametrize("info_type", ["a/b", "../x", "../../x", "x\x00y", "/abs", "lone\udc80surrogate"])
def test_unsafe_info_type_is_refused(engine, fake_sdk, cv2_proxy, picture, workdir, info_type):
    fake_sdk.answer = {"alarmBehavior": [alarm("ok", BOX_A), alarm(info_type, BOX_A), alarm("later", BOX_A)]}
    with pytest.raises(ValueError, match=re.escape(repr(info_type))):
        engine.test_pic(picture[0])
    assert [a[0] for a in cv2_proxy.named("imwrite")] == ["./pic_result//ok.jpg"]
    assert files(workdir) == ["in.png", "pic_result/ok.jpg"]
    assert not [p.name for p in workdir.parent.iterdir() if p.suffix == ".jpg"]


def test_failed_write_is_logged_and_the_next_alarm_written(engine, fake_sdk, cv2_proxy, picture, workdir, caplog):
    long_name = "n" * 300
    cv2_proxy.refuse.add("./pic_result//refused.jpg")
    fake_sdk.answer = {"alarmBehavior": [alarm("refused", BOX_A), alarm(long_name, BOX_A), alarm("kept", BOX_A)]}
    assert engine.test_pic(picture[0]) is None
    assert files(workdir / "pic_result") == ["kept.jpg"]
    refused, too_long = warnings_of(caplog)
    assert "./pic_result//refused.jpg" in refused and "./pic_result//%s.jpg" % long_name in too_long


def test_imwrite_answering_none_is_no_failure(engine, fake_sdk, cv2_proxy, picture, workdir, caplog):
    cv2_proxy.answer_none = True
    fake_sdk.answer = {"alarmBehavior": [alarm("a", BOX_A)]}
    engine.test_pic(picture[0])
    assert files(workdir / "pic_result") == ["a.jpg"] and warnings_of(caplog) == []
