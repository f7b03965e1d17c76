"""Choosing the behaviours of a run (`load_cfg`) and enrolling faces (`register`)."""
import logging

import cv2
import numpy as np
import pytest

import main
from conftest import make_video

KEYS = [str(5000001 + i) for i in range(11)]


@pytest.mark.parametrize("selection", [
    KEYS, ["5000010", "5000002"], ["5000001", "5000001"], [], ("5000011",), {"5000005": None}, "", "bev", "iterator"])
def test_selection_goes_into_the_shared_configuration(engine, selection):
    keys = KEYS if selection == "bev" else ["5000003", "5000004"] if selection == "iterator" else list(selection)
    cfg = engine.load_cfg(engine.bev if selection == "bev" else iter(keys) if selection == "iterator" else selection)
    assert cfg is main.cfg and list(cfg)[0] == "devId" and list(cfg)[-1] == "devBehavior" and len(cfg) == 9
    assert cfg["devId"] == "0" and type(cfg["devBehavior"]) is list and len(cfg["devBehavior"]) == len(keys)
    assert all(row is main.devBehavior[key] for row, key in zip(cfg["devBehavior"], keys))


@pytest.mark.parametrize("selection, error, key", [
    ([5000001], KeyError, 5000001), ("5000001", KeyError, "5"), (["5000002", "5000099"], KeyError, "5000099"),
    ([["5000001"]], TypeError, None), (5000001, TypeError, None), (None, TypeError, None),
])
def test_a_bad_selection_changes_nothing(engine, selection, error, key):
    engine.adds.append("earlier.mp4")
    first = engine.load_cfg(["5000004"])["devBehavior"]
    engine.adds.append("later.mp4")
    before = dict(main.cfg)
    with pytest.raises(error) as raised:
        engine.load_cfg(selection)
    assert key is None or raised.value.args == (key,)
    assert main.cfg == before and main.cfg["devBehavior"] is first and main.cfg["devId"] == "1"
    second = engine.load_cfg(["5000005"])["devBehavior"]  # a new list each time; the old one is kept as it was
    assert second is not first and first == [main.devBehavior["5000004"]] and main.cfg["devId"] == "2"


@pytest.mark.timeout(60)
def test_device_id_counts_this_engines_videos(engine, fake_sdk, workdir):
    video = make_video(workdir / "short.avi", frames=2)
    engine.test_video(video, bev=["5000002"])
    engine.test_video(video, 2)
    assert engine.adds == [video, video] and engine.load_cfg([])["devId"] == "2"
    other = main.VisionEngin()
    assert other.load_cfg([])["devId"] == "0" and engine.load_cfg(["5000001"])["devId"] == "2"


def test_an_engine_without_adds(engine):
    del engine.adds
    with pytest.raises(AttributeError, match="adds"):
        engine.load_cfg(["5000006"])
    assert main.cfg["devBehavior"] == [main.devBehavior["5000006"]] and main.cfg["devId"] == "000001"


def state(engine):
    return (list(main.cfg.items()), {key: dict(row) for key, row in main.devBehavior.items()},
            {name: id(value) for name, value in vars(engine).items()}, list(engine.adds))


@pytest.mark.parametrize("path, name, answer", [
    ("astronaut.jpg", (), "registered"), ("astronaut.jpg", ("alice",), "registered"), ("fruits.jpg", (42,), None),
    ("missing.jpg", ("bob",), {"code": 3}), ("astronaut.jpg", (), RuntimeError("face store full")),
])
def test_register_hands_the_picture_and_name_on(engine, fake_sdk, data, capsys, caplog, path, name, answer):
    fake_sdk.face_component.answer = answer
    before, path = state(engine), str(data / path)
    if isinstance(answer, Exception):
        with pytest.raises(RuntimeError, match="face store full"):
            engine.register(path, *name)
    else:
        assert engine.register(path, *name) is None
    [(picture, given_name)] = fake_sdk.face_component.calls
    expected = cv2.imread(path)
    assert given_name == (name or ("zo",))[0] and (picture is expected is None or np.array_equal(picture, expected))
    assert capsys.readouterr() == ("" if isinstance(answer, Exception) else f"{answer}\n", "")
    warnings = [(r.name, r.levelno, path in r.getMessage()) for r in caplog.records]
    assert warnings == ([("main", logging.WARNING, True)] if expected is None else [])
    assert state(engine) == before and fake_sdk.detect_calls == []


@pytest.mark.timeout(60)
def test_register_with_the_sdk(tmp_path, data, capsys):
    engine = main.VisionEngin(cache=str(tmp_path))
    engine.register(str(data / "astronaut.jpg"), "astronaut")
    assert "registered" in capsys.readouterr().out
    [stored] = (tmp_path / "faces").iterdir()
    assert stored.name == "astronaut.png" and min(cv2.imread(str(stored)).shape[:2]) >= 40
    engine.register(str(data / "fruits.jpg"), "fruit")
    assert "no face" in capsys.readouterr().out and list((tmp_path / "faces").iterdir()) == [stored]
