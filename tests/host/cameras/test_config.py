"""A configuration that cannot run: one line naming the file, the camera and
the key, exit status 2, nothing started (not even the results folder)."""
import pathlib
import subprocess

import pytest

from .conftest import SCRIPT, SECRET

GOOD = '[cameras.gate]\naddress = "rtsp://viewer:{}@127.0.0.1:9/cam"\n'.format(SECRET)


@pytest.mark.slow
@pytest.mark.timeout(120)
@pytest.mark.parametrize("text, message", [
    (GOOD + "adress = 'x'\n", "cameras.toml: cameras.gate.adress: unknown key 'adress' (known: "
     "address, mode, bev, detector, zones, masks, watchdog, threshold, alarm_interval, alarm_num, "
     "record, pre_roll, post_roll, incidents_by_zone, max_age)"),
    (GOOD + "[cameras.gate.zones]\ndrive = [[0, 0], [1, 0]]\n",
     "cameras.toml: cameras.gate.zones.drive: 2 points, a polygon needs at least 3"),
    (GOOD + "[cameras.gate.masks]\nclock = [[0, 0], [1.5, 0], [1, 1]]\n",
     "cameras.toml: cameras.gate.masks.clock: point 2 [1.5, 0] is outside the frame"),
    (GOOD + "[cameras.gate.zones]\nbow = [[0, 0], [1, 1], [1, 0], [0, 1]]\n",
     "cameras.toml: cameras.gate.zones.bow: crosses itself (the edge from point 1 to 2 meets the "
     "edge from point 3 to 4)"),
    (GOOD + "[cameras.gate.zones]\n'a/b' = [[0, 0], [1, 0], [1, 1]]\n",
     "cameras.toml: cameras.gate.zones.a/b: the name 'a/b' is not usable"),
    (GOOD + "zones = [[0, 0], [1, 0], [1, 1]]\n", "cameras.gate.zones: must be a table, got a list"),
    (GOOD + "[engine]\nincidents_by_zone = 1\n", "engine.incidents_by_zone: must be true or false"),
    (GOOD + "mode = '0'\n", "cameras.toml: cameras.gate.mode: must be an integer, got a string"),
    (GOOD + "mode = 3\n", "cameras.toml: cameras.gate.mode: must be 0 (continuous) or 1"),
    (GOOD + "bev = ['5000001', '6000000']\n", "cameras.gate.bev: unknown behaviour '6000000'"),
    (GOOD + "bev = []\n", "cameras.gate.bev: empty list"),
    ("[cameras.gate]\nmode = 1\n", "cameras.toml: cameras.gate: missing address"),
    ("[cameras.gate]\naddress = 5\n", "cameras.gate.address: must be a string, got an integer"),
    (GOOD + GOOD, "cameras.toml: cameras.gate: duplicate camera name"),
    (GOOD + '[cameras.Gate]\naddress = "x"\n', "cameras.Gate: duplicate camera name"),
    ('[cameras."../up"]\naddress = "x"\n', "cameras.../up: the name '../up' is not a safe folder name"),
    ('[cameras."a b"]\naddress = "x"\n', "the name 'a b' is not a safe folder name"),
    ('[cameras.Incidents]\naddress = "x"\n', "cameras.Incidents: the name 'Incidents' is taken by the "
     "results root's own files (no incidents, outbox, nor a name ending in .json, .jsonl, .tmp)"),
    ('[cameras."gate.json"]\naddress = "x"\n', "the name 'gate.json' is taken by the results root's own"),
    (GOOD + "[engine]\ncuda = 'yes'\n", "cameras.toml: engine.cuda: must be true or false"),
    (GOOD + "watchdog = 1\n", "cameras.toml: cameras.gate.watchdog: must be 2.0 or more, got 1"),
    (GOOD + "alarm_num = 0\n", "cameras.gate.alarm_num: must be 1 or more, got 0"),
    ("[engine]\nthreshold = 1.5\n" + GOOD, "cameras.toml: engine.threshold: must be from 0.0 to 1.0"),
    (GOOD + "alarm_interval = 'x'\n", "cameras.gate.alarm_interval: must be a number, got a string"),
    ("result = 'r'\n" + GOOD, "cameras.toml: result: unknown key 'result'"),
    ("results = 'r'\n", "cameras.toml: cameras: no camera configured"),
    (GOOD + "address = ", "cameras.toml: not valid TOML"),
    (None, "cameras.toml: cannot read: No such file or directory"),
    (GOOD, "cameras.toml: no camera 'yard' (cameras: gate)"),  # with --only yard
])
def test_bad_configuration(tmp_path, text, message):
    if text is not None:
        (tmp_path / "cameras.toml").write_text(text)
    only = ["--only", "yard"] if "'yard'" in message else []
    done = subprocess.run([str(SCRIPT), "cameras", "cameras.toml", *only], cwd=str(tmp_path),
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 2, done.stderr
    assert message in done.stderr
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("visionengin: error: ")
    assert SECRET not in done.stderr + done.stdout
    assert not (tmp_path / "results").exists()


def test_zones_masks_and_incidents_by_zone_are_read(tmp_path):
    from visionengin_cli.cameras import config

    text = ("[engine]\nincidents_by_zone = true\n" + GOOD
            + "[cameras.gate.zones]\ndrive = [[0.1, 0.5], [0.9, 0.5], [0.9, 1], [0.1, 1.0]]\n"
            + "[cameras.gate.masks]\nclock = [[0, 0], [0.2, 0], [0.2, 0.1]]\n"
            + '[cameras.yard]\naddress = "x"\nincidents_by_zone = false\n')
    gate, yard = config.parse(text, str(tmp_path / "cameras.toml")).cameras.values()
    assert gate.zones == (("drive", ((0.1, 0.5), (0.9, 0.5), (0.9, 1.0), (0.1, 1.0))),)
    assert gate.settings()["masks"] == {"clock": [[0.0, 0.0], [0.2, 0.0], [0.2, 0.1]]}
    assert (gate.incidents_by_zone, yard.incidents_by_zone) == (True, False)
    assert yard.drawn() == {} and set(gate.drawn()) == {"zones", "masks"}
    assert "incidents_by_zone" not in dict(gate.engine)  # not the engine's to take


def test_the_sample_configuration_is_valid():
    from visionengin_cli.cameras import config

    sample = config.load(str(pathlib.Path(__file__).parents[3] / "deploy" / "cameras.toml"))
    assert list(sample.cameras) == ["gate", "yard"] and sample.results == "/var/lib/visionengin/results"
