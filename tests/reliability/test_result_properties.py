"""Any detector answer, however malformed, either gives exactly the pictures that the
plain sequence of calls gives, or the same error, one of those the result handling
can raise; nothing is ever written outside ./pic_result."""
import copy
import os
import shutil

import cv2
import pytest

hypothesis = pytest.importorskip("hypothesis")
from hypothesis import HealthCheck, given, settings, strategies as st  # noqa: E402

import main  # noqa: E402

ERRORS = (AttributeError, TypeError, ValueError, LookupError, OverflowError, cv2.error)

def mostly(good, bad, odds=4):
    """`good` `odds` times to one, so that most answers get deep enough to write pictures."""
    return st.sampled_from([good] * odds + [bad]).flatmap(lambda strategy: strategy)


anything = st.recursive(st.none() | st.integers() | st.text(max_size=5) | st.floats(),
                        lambda inner: st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=3), inner,
                                                                                      max_size=3), max_leaves=6)
coordinate = mostly(
    st.integers(-50, 200) | st.floats(-50, 200),
    st.integers(-2**70, 2**70) | st.floats() | st.booleans() | st.none() | st.sampled_from(["12", " 7 ", "x", ""]),
    odds=15)
box = mostly(
    st.lists(coordinate, min_size=4, max_size=6),
    st.lists(coordinate, max_size=3) | st.tuples(coordinate, coordinate, coordinate, coordinate) | anything
    | st.dictionaries(st.integers(0, 4), coordinate, max_size=4))
roi = st.one_of(st.none(), st.lists(st.tuples(st.integers(-50, 200), st.integers(-50, 200)), max_size=4))
region = mostly(
    st.fixed_dictionaries({"roi": roi, "boxes": st.lists(box, max_size=3)}),
    st.fixed_dictionaries({}, optional={"roi": roi | anything, "boxes": anything}) | anything)
info_type = mostly(
    st.text(st.characters(exclude_characters="/\0"), max_size=30) | st.sampled_from(["..", ".", "", "person"]),
    st.sampled_from(["../escape", "../../escape", "a/b", "/abs", "x\0y", "x/", "a\udc80b"])
    | st.text(max_size=10).map(lambda t: t + "/" + t) | st.binary(max_size=5) | anything)
behaviour = mostly(
    st.fixed_dictionaries({"result": st.lists(region, max_size=3), "behavior_number": st.integers() | anything,
                           "alarm_info_dict": st.fixed_dictionaries({"info_type": info_type})}),
    st.fixed_dictionaries({}, optional={
        "result": anything, "behavior_number": anything,
        "alarm_info_dict": st.fixed_dictionaries({}, optional={"info_type": info_type}) | anything})
    | anything)
answer = mostly(
    st.fixed_dictionaries({"alarmBehavior": st.lists(behaviour, max_size=3)}),
    st.fixed_dictionaries({}, optional={"alarmBehavior": anything}) | anything)


def rules(im, answer, draw_roi, save_path="./pic_result/"):
    """The result handling as a plain sequence of calls."""
    result = answer.get("alarmBehavior")
    if not result:
        return
    for behavior in result:
        img = copy.copy(im)
        out_result = behavior.get("result")
        behavior_number = behavior.get("behavior_number")
        alarm_info = behavior.get("alarm_info_dict").get("info_type")
        for roi in out_result:
            _roi, boxes = roi.get("roi"), roi.get("boxes")
            img = draw_roi(img, _roi)
            for bbox in boxes:
                x0, y0, x1, y1 = int(bbox[0]), int(bbox[1]), int(bbox[2]), int(bbox[3])
                cv2.putText(img, str(behavior_number), (x0, y0), cv2.FONT_HERSHEY_SIMPLEX, 0.6, (255, 255, 0), 1)
                cv2.rectangle(img, (x0, y0), (x1, y1), (0, 255, 0), 3)
        name = save_path + "/" + alarm_info
        if "/" in alarm_info or "\0" in alarm_info or not alarm_info.encode(errors="ignore").decode() == alarm_info:
            raise ValueError(alarm_info)  # unsafe, or not encodable (OpenCV would crash)
        cv2.imwrite(name + ".jpg", img)


def outcome(call):
    try:
        call()
    except Exception as error:  # compared below, and must be one the rules name
        return type(error)
    return None


def tree(root, skip=None):
    return {str(path.relative_to(root)): path.read_bytes() for path in root.rglob("*")
            if path.is_file() and skip not in path.relative_to(root).parts}


@pytest.fixture
def layout(tmp_path, data, monkeypatch):
    """Engine and rules each run two levels below tmp_path, so that an escape through
    "../" would still land where the test looks."""
    picture = tmp_path / "small.jpg"
    cv2.imwrite(str(picture), cv2.resize(cv2.imread(str(data / "astronaut.jpg")), (96, 96)))
    dirs = {}
    for side in ("engine", "rules"):
        dirs[side] = tmp_path / "a" / "b" / side
        dirs[side].mkdir(parents=True)
    return tmp_path, str(picture), dirs


# Derandomized: every run, CI included, checks the same answers.
@settings(max_examples=200, deadline=None, derandomize=True, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(answer=answer)
def test_any_answer_writes_what_the_rules_write_or_raises_their_error(engine, fake_sdk, layout, answer):
    root, picture, dirs = layout
    im = cv2.imread(picture)
    fake_sdk.answer = answer
    before = tree(root, skip="pic_result")
    got = {}
    for side, run in (("engine", lambda: engine.test_pic(picture)),
                      ("rules", lambda: rules(im, answer, fake_sdk.draw_roi))):
        shutil.rmtree(dirs[side] / "pic_result", ignore_errors=True)
        (dirs[side] / "pic_result").mkdir()
        os.chdir(dirs[side])
        got[side] = outcome(run), tree(dirs[side] / "pic_result")
    (error, written), (expected_error, expected) = got["engine"], got["rules"]

    assert error is expected_error
    assert error is None or issubclass(error, ERRORS)
    assert written == expected  # same names, same pixels (same JPEG bytes)
    assert all("/" not in name and name.endswith(".jpg") for name in written)
    assert tree(root, skip="pic_result") == before
    assert (cv2.imread(picture) == im).all()  # the analysed picture is never drawn on
