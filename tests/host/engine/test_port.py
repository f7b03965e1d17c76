"""The engine's port: its picture names read back as they are made, the tap's
hooks around a real engine's calls, the behaviour table tuned from plain
values, and "init failed" as the commands and the cameras take it."""
import main
import numpy as np
import cv2
import pytest

from conftest import alarm
from visionengin_cli.engine.behaviours import tune
from visionengin_cli.engine.construction import build_engine
from visionengin_cli.engine.contract import parse_picture_file, picture_file, picture_type
from visionengin_cli.engine.tap import Tap
from visionengin_cli.engine.writes import checked_writes
from visionengin_cli.errors import CommandError
from visionengin_cli.storage.layout import free_name, picture_info_type, picture_name
from visionengin_cli.storage.pictures import Trouble


@pytest.mark.parametrize("info_type", ["motion", "fire-smoke", "person.face", "7"])
def test_picture_names_read_back_as_they_are_made(info_type, tmp_path):
    assert parse_picture_file(picture_file(info_type, 42)) == (info_type, 42)
    assert parse_picture_file("rtsp_result/" + picture_file(info_type, 3, ".png")) == (info_type, 3)
    assert picture_type(picture_file(info_type)) == picture_type(picture_file(info_type, 5)) == info_type
    _, name = picture_name(1700000000.25, info_type, 9)
    (tmp_path / name).write_bytes(b"x")
    again = free_name(str(tmp_path), name)  # the same name once more: ".1" after n
    assert again != name and picture_info_type(name) == picture_info_type(again) == info_type


@pytest.mark.parametrize("name", ["motion.jpg", "motion-.jpg", "-5.jpg", "motion-5x.jpg",
                                  "motion-\u00b2.jpg", ""])
def test_other_names_are_no_engine_picture_names(name):
    assert parse_picture_file(name) is None
    assert picture_info_type("120000.000000-" + name) is None


def test_the_tap_hands_each_call_through_its_hooks(engine, fake_sdk, workdir):
    cv2.imwrite("grey.png", np.full((40, 60, 3), 200, np.uint8))
    fake_sdk.answer = {"alarmBehavior": [alarm("motion", [1, 1, 9, 9, 0.9]),
                                         alarm("fire", [1, 1, 9, 9, 0.8])]}
    heard = []

    def judge(answer, im):  # only the fire alarm is handled by the engine
        kept = dict(answer, alarmBehavior=answer["alarmBehavior"][1:])
        return kept, [{"info_type": "fire"}]

    tap = Tap(engine.predict, hide=lambda im: im * 0, judge=judge, on_answer=heard.append)
    engine.predict = tap
    writes = checked_writes(Trouble("alarm pictures"))
    try:
        engine.test_pic("grey.png")
    finally:
        writes.__exit__()
    assert (fake_sdk.detect_calls[-1][0] == 0).all()  # the detector saw what hide gave
    assert heard == [[{"info_type": "fire"}]] and tap.last == [{"info_type": "fire"}]
    assert (tap.calls, tap.alarms, tap.by_type, tap.running_for()) == (1, 1, {"fire": 1}, None)
    assert [path for path, _ in writes.take()[0]] == ["pic_result/" + picture_file("fire")]
    assert writes.by_type == {"fire": 1}
    assert tap.face_handle is fake_sdk.face_component  # everything else is the detector's

    faces = Tap(engine.face_handle, "register", judge=lambda answer, im: (answer, []))
    engine.face_handle = faces
    engine.register("grey.png", "eileen")
    assert faces.answer == "registered" and fake_sdk.face_component.calls[-1][1] == "eileen"


def test_the_behaviour_table_takes_plain_values_as_the_table_has_them():
    table = {"1": {"alarm_time": 5}, "2": {"alarm_time": 5}}
    tune(table, ["2"], {"threshold": 0.5, "alarm_interval": 3.0, "alarm_num": 2, "t": 4})
    assert table == {"1": {"alarm_time": 5},
                     "2": {"alarm_time": 3, "behavior_threshold": 0.5, "alarm_num": 2}}
    assert type(table["2"]["alarm_time"]) is int
    tune(table, None, {"threshold": None, "alarm_interval": 2.5})
    assert table["1"] == {"alarm_time": 2.5} and table["2"]["behavior_threshold"] == 0.5


def test_init_failed_is_the_commands_error_and_the_cameras_exit(monkeypatch, tmp_path, capsys):
    class Broken:
        def __init__(self, *args, **kwargs):
            raise RuntimeError("no model")

    monkeypatch.setattr(main, "ObjectDetect", main.ObjectDetect)  # put back afterwards
    with pytest.raises(CommandError, match=r'"init failed"; --cache .*cache'):
        build_engine({"cache": str(tmp_path / "cache")}, Broken)
    assert "init failed" not in capsys.readouterr().out
    with pytest.raises(SystemExit) as raised:
        build_engine({"cache": str(tmp_path / "cache")}, Broken, exits=True)
    assert raised.value.code == 1 and capsys.readouterr().out == "init failed\n"


def test_the_tap_hands_the_frame_itself_and_each_alarm_draws_on_one_copy(engine, fake_sdk, workdir,
                                                                          monkeypatch):
    import copy
    import types

    made = []
    monkeypatch.setattr(main, "copy", types.SimpleNamespace(copy=lambda obj: made.append(obj) or copy.copy(obj)))
    cv2.imwrite("grey.png", np.full((40, 60, 3), 200, np.uint8))
    fake_sdk.answer = {"alarmBehavior": [alarm("motion", [1, 1, 9, 9, 0.9]), alarm("fire", [1, 1, 9, 9, 0.8])]}
    engine.predict = Tap(engine.predict)  # a camera without masks
    engine.test_pic("grey.png")
    seen = fake_sdk.detect_calls[-1][0]
    assert len(made) == 2 and all(frame is seen for frame in made)  # the frame read, copied once an alarm
