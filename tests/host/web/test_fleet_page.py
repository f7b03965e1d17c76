"""The fleet page over a collector's root of many devices, built on disk as
`visionengin collect` lays it out: split into pages that together show
every device once, those asking for a look first, the API whole, and what
is kept between requests read again when a device's files change."""
import json
import os
import re
import time

import pytest

pytestmark = pytest.mark.slow  # starts servers or processes

DEVICES, CAMERAS = 240, 4  # 960 tiles: three pages


def iso(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%S+00:00", time.gmtime(seconds))


def write(path, data, at):
    path.write_text(json.dumps(data))
    os.utime(path, (at, at))


def build(root, now):
    """Devices dev000..: every 10th offline, dev203 with an incident running,
    dev157 with a camera down; every file a minute old (as quiet devices')."""
    old = now - 60
    root.mkdir()
    (root / "fleet.json").write_text(json.dumps({"kind": "visionengin-collect"}))
    for d in range(DEVICES):
        device = root / ("dev%03d" % d)
        device.mkdir()
        write(device / "device.json", {"availability": "offline" if d % 10 == 0 else "online",
                                       "last_seen": iso(now), "last_seen_epoch": now}, old)
        lines = []
        for c in range(CAMERAS):
            camera = device / ("cam%d" % c)
            camera.mkdir()
            write(camera / "status.json", {
                "camera": camera.name, "device": device.name, "updated": iso(old),
                "state": "no frames" if (d, c) == (157, 2) else "streaming",
                "active": ["motion"] if (d, c) == (203, 1) else []}, old)
            lines.append(json.dumps({"type": "incident_start", "id": "s%d-%d" % (d, c), "time": iso(old),
                                     "device": device.name, "camera": camera.name, "incident": "i%d-%d" % (d, c),
                                     "info_type": "motion", "start": iso(old), "count": 1}))
            os.utime(camera, (old, old))
        (device / "events.jsonl").write_text("\n".join(lines) + "\n")
        os.utime(device / "events.jsonl", (old, old))
        os.utime(device, (old, old))


def shown(html):
    """The devices of a page, in order, and the number of tiles of each."""
    sections = re.findall(r'<section class="device [a-z]+" data-device="([^"]+)">(.*?)</section>', html, re.S)
    return [(name, body.count('<article class="tile')) for name, body in sections]


@pytest.mark.timeout(120)
def test_many_devices_in_pages_each_once_those_to_look_at_first(tmp_path, serve):
    now = time.time()
    root = tmp_path / "fleet"
    build(root, now)
    client = serve(root)
    looks = ["dev%03d" % d for d in range(0, DEVICES, 10)] + ["dev157", "dev203"]

    status, _, body = client.get("")
    first = body.decode()
    assert status == 200 and "Devices 1–100 of 240; the 26 offline, silent" in first
    seen = shown(first)
    assert [name for name, _ in seen[:len(looks)]] == sorted(looks)
    assert re.findall(r'<a href="\?page=(\d)"', first) == ["2", "3"]
    walked = seen + shown(client.get("?page=2")[2].decode()) + shown(client.get("fragments/tiles?page=3")[2].decode())
    assert sorted(walked) == [("dev%03d" % d, CAMERAS) for d in range(DEVICES)]  # every device once, whole
    assert 'data-device="dev239"' in client.get("?device=dev239")[2].decode()  # the page holding it
    assert shown(client.get("?page=99")[2].decode()) == walked[200:]  # past the last: the last
    assert client.get("?page=0")[0] == 400 and client.get("fragments/tiles?page=x")[0] == 400

    answer = client.json("api/status")
    assert [d["device"] for d in answer["devices"]] == ["dev%03d" % d for d in range(DEVICES)]
    assert len(answer["cameras"]) == DEVICES * CAMERAS
    assert {(c["device"], c["camera"]) for c in answer["cameras"] if c["state"] == "offline"} == \
        {("dev%03d" % d, "cam%d" % c) for d in range(0, DEVICES, 10) for c in range(CAMERAS)}
    assert len(client.json("api/incidents?limit=1000")["incidents"]) == DEVICES * CAMERAS

    # a quiet device's files changed: read again, its log too
    later = time.time()
    write(root / "dev111" / "device.json", {"availability": "offline", "last_seen_epoch": later}, later)
    write(root / "dev112" / "cam3" / "status.json", {"camera": "cam3", "state": "hung"}, later)
    (root / "dev113" / "cam9").mkdir()
    write(root / "dev113" / "cam9" / "status.json", {"camera": "cam9", "state": "streaming"}, later)
    with open(root / "dev114" / "events.jsonl", "a") as log:
        log.write(json.dumps({"type": "incident_start", "id": "late", "time": iso(later), "device": "dev114",
                              "camera": "cam0", "incident": "late", "info_type": "person",
                              "start": iso(later), "count": 1}) + "\n")
    answer = client.json("api/status")
    states = {(c["device"], c["camera"]): c["state"] for c in answer["cameras"]}
    assert states[("dev111", "cam0")] == "offline" and states[("dev112", "cam3")] == "hung"
    assert states[("dev113", "cam9")] == "streaming" and len(states) == DEVICES * CAMERAS + 1
    assert [i["incident"] for i in client.json("api/incidents?device=dev114&info_type=person")["incidents"]] \
        == ["late"]
    first = client.get("")[2].decode()
    assert "the 28 offline" in first and {"dev111", "dev112"} <= {name for name, _ in shown(first)}
