"""Zones and masks: real RTSP cameras whose test pattern moves in the right
half of the frame only, run by `visionengin cameras` (their incidents by
zone); and the engine itself
handed a picture through the camera's detector proxy, to see what the
detector is given and what is written."""
import json
import signal

import cv2
import numpy as np
import pytest

from conftest import alarm
from rtsp_server import RtspServer
from visionengin_cli.cameras.runner import detector_tap
from visionengin_cli.cameras.zones import Guard, parse

LEFT = [[0, 0], [0.4, 0], [0.4, 1], [0, 1]]  # the still half, less a margin for the blur
RIGHT = [[0.5, 0], [1, 0], [1, 1], [0.5, 1]]  # where the ball moves


def camera_table(name, address, **polygons):
    lines = ["[cameras.{}]".format(name), "address = {}".format(json.dumps(address)),
             "alarm_interval = 0"]
    for kind, table in polygons.items():
        lines.append("[cameras.{}.{}]".format(name, kind))
        lines += ["{} = {}".format(key, json.dumps(points)) for key, points in table.items()]
    return "\n".join(lines) + "\n"


@pytest.mark.long_run
@pytest.mark.timeout(240)
def test_zones_and_masks_on_cameras_moving_in_their_right_half(cameras):
    servers = []
    try:
        for _ in range(3):  # a server each: see the outage test of test_run.py
            servers.append(RtspServer(width=320, height=240, still_left=True).start())
        command = cameras('results = "results"\n[engine]\nincidents_by_zone = true\n'
                          + camera_table("still", servers[0].url, zones={"lawn": LEFT})
                          + camera_table("moving", servers[1].url, zones={"drive": RIGHT, "lawn": LEFT})
                          + camera_table("masked", servers[2].url, masks={"ball": RIGHT}))
        command.wait_status("moving", 90, state="streaming", alarms=lambda n: n and n >= 10)
        for name in ("still", "masked"):  # as long at work, not one picture
            command.wait_status(name, 30, state="streaming", frames=lambda n: n and n >= 100)
        code, _ = command.end(signal.SIGTERM)
        assert code == 0, command.stderr
    finally:
        for server in servers:
            server.stop()
    for name in ("still", "masked"):
        status = command.status(name)
        assert status["alarms"] == 0 and status["frames"] >= 100, status
        assert not list((command.root / name).glob("*/*/*.jpg"))
    events = command.events()
    assert events and {e["camera"] for e in events} == {"moving"}
    assert all(e["zones"] == ["drive"] for e in events)  # every picture, with its zone's name
    on_disk = {p.relative_to(command.root).as_posix() for p in (command.root / "moving").glob("*/*/*.jpg")}
    assert {e["picture"] for e in events} == on_disk
    incidents = command.events(("incident_start", "incident_end"))
    assert incidents and all(e["zone"] == "drive" and e["camera"] == "moving" for e in incidents)
    # the page draws them from status.json: there when the camera has any, else absent
    statuses = {name: command.status(name) for name in ("still", "moving", "masked")}
    assert statuses["moving"]["zones"] == {"drive": RIGHT, "lawn": LEFT}
    assert "masks" not in statuses["moving"] and "zones" not in statuses["masked"]
    assert statuses["masked"]["masks"] == {"ball": RIGHT} and statuses["still"]["zones"] == {"lawn": LEFT}


@pytest.mark.timeout(60)
def test_the_detector_sees_the_masks_the_picture_does_not_and_alarms_outside_the_zones_write_nothing(
        engine, fake_sdk, workdir):
    picture = np.full((120, 160, 3), 200, np.uint8)
    cv2.imwrite("grey.png", picture)
    guard = Guard(parse("zones", {"door": [[0.5, 0], [1, 0], [1, 1], [0.5, 1]]}),
                  parse("masks", {"clock": [[0, 0], [0.25, 0], [0.25, 0.25], [0, 0.25]]}))
    proxy = detector_tap(engine.predict, guard)
    engine.predict = proxy
    answers = {"outside": alarm("motion", [10, 60, 40, 90, 0.9]),
               "inside": alarm("motion", [70, 60, 100, 90, 0.9]),
               "across": alarm("motion", [10, 10, 100, 20, 0.9])}
    for case, behaviour in answers.items():
        fake_sdk.answer = {"alarmBehavior": [behaviour]}
        engine.test_pic("grey.png")
        seen = fake_sdk.detect_calls[-1][0]
        # the mask (and the pixels its edges fall on), no more
        assert (seen[:30, :40] == 0).all() and (seen[31:] == 200).all() and (seen[:, 41:] == 200).all()
        written = workdir / "pic_result" / "motion.jpg"
        if case == "outside":
            assert not written.exists() and proxy.last == []
        else:
            assert proxy.last == [{"info_type": "motion", "behavior_number": 5000001,
                                     "zones": ["door"]}]
            assert cv2.imread(str(written))[24:30, :8].min() > 150  # written as read, unmasked
            written.unlink()


def test_a_box_touches_a_zone_the_same_way_in_python_and_in_arrays():
    """Many boxes or edges are sorted in arrays: the same answers as one by one."""
    import math
    import random

    from visionengin_cli.cameras.zones import _Zone

    star = [[0.5 + 0.4 * math.cos(i * math.pi / 10) * (1 if i % 2 else 0.4),
             0.5 + 0.4 * math.sin(i * math.pi / 10) * (1 if i % 2 else 0.4)] for i in range(20)]
    zone = _Zone("star", parse("zones", {"star": star})[0][1], 320, 240)
    shuffled = random.Random(7)
    boxes = []
    for _ in range(2000):
        x, y = shuffled.uniform(0, 320), shuffled.uniform(0, 240)
        boxes.append((x, y, x + shuffled.uniform(0, 30), y + shuffled.uniform(0, 30)))
    one_by_one = [zone.touched_by([box]) for box in boxes]
    assert one_by_one == [zone._touched_by_many(np.array([box])) for box in boxes]
    assert 0.2 < sum(one_by_one) / len(boxes) < 0.8  # both answers are common
    assert zone.touched_by([(159, 119, 161, 121)])  # wholly inside, no edge near
    assert not zone.touched_by([(0, 0, 20, 20)])
