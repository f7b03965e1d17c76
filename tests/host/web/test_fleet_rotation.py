"""A collector's device log rotates into the parts a device's own log has, so
after rotations the fleet page lists every incident the collector holds,
those of a part an older collector named ``events-<stamp>.jsonl`` too; and
the ids read back at a restart reach across a rotation."""
import json
import os
import time

import pytest

from visionengin_cli.events.reader import lines_from_end
from visionengin_cli.fleet.events_log import DeviceLog

from .conftest import iso
from .test_index import walk, whole

pytestmark = pytest.mark.slow  # starts servers or processes


def incident(n, at):
    common = {"incident": "i{:02d}".format(n), "camera": "gate", "info_type": "motion",
              "start": iso(at), "end": iso(at + 1), "count": 2, "picture": "north/gate/m.jpg"}
    return [dict(common, type="incident_start", id="s{:02d}".format(n), time=iso(at)),
            {"type": "alarm", "id": "a{:02d}".format(n), "time": iso(at + 1), "camera": "gate",
             "info_type": "motion", "picture": "north/gate/m{}.jpg".format(n)},
            dict(common, type="incident_end", id="e{:02d}".format(n), time=iso(at + 1))]


def test_a_collector_rotation_keeps_every_incident_on_the_fleet_page(tmp_path, serve):
    root = tmp_path / "fleet"
    folder = root / "north"
    folder.mkdir(parents=True)
    (root / "fleet.json").write_text(json.dumps({"kind": "visionengin-collect"}))
    (folder / "device.json").write_text(json.dumps({"availability": "online",
                                                    "last_seen_epoch": time.time()}))
    start = time.time() - 3600
    old = [line for n in range(5) for line in incident(n, start + n * 10)]  # an older collector's part
    (folder / "events-20261201T000000.000000Z.jsonl").write_text(
        "".join(json.dumps(line) + "\n" for line in old))
    log = DeviceLog(str(folder), part_bytes=2048)
    for n in range(5, 40):
        for line in incident(n, start + n * 10):
            log.append(line)
    log.close()
    names = sorted(os.listdir(folder))
    parts = [name for name in names if name.startswith("events.") and name != "events.jsonl"]
    assert len(parts) >= 3 and all(name.startswith("events.0") for name in parts), names
    # The shared reader reads every part, the stamped one last (the oldest).
    read = [json.loads(raw)["id"] for raw in lines_from_end(str(folder), 1 << 20)]
    assert len(read) == 120 and read[-3:] == ["e00", "a00", "s00"] and read[0] == "e39"
    again = DeviceLog(str(folder))  # a restart: every id known, across the parts
    assert all(again.known(ident) for ident in ("s00", "e04", "s05", "e39"))
    again.close()
    client = serve(root)
    whole(client, "api/events?limit=1000")
    listed = walk(client, "api/incidents?device=north&limit=7", "before")
    assert sorted(listed) == ["i{:02d}".format(n) for n in range(40)]
