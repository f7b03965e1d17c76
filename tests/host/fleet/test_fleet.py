"""Three real `visionengin cameras` devices (RTSP servers on 127.0.0.1), a
mosquitto, `visionengin collect` and the page over its root: all three shown,
a device killed shows offline (the broker's last will), the collector
stopped for a while loses nothing, and a device reusing another's name is
reported. The engine's slowest test here: one interpreter only."""
import json
import os
import pathlib
import signal
import subprocess
import sys
import urllib.request

import pytest

from cameras.conftest import SCRIPT, Command, free_port, servers, wait_for  # noqa: F401 - fixtures
from rtsp_server import require_rtsp

from .conftest import broker  # noqa: F401 - fixture
from visionengin_cli.web.command import serve_in_background

pytestmark = [pytest.mark.slow, pytest.mark.skipif(
    sys.version_info[:2] != (3, 11),
    reason="three devices, a broker and a collector take a minute: run on 3.11 only")]


def device(folder, name, port, address, client_id=None):
    folder.mkdir()
    mqtt = '[mqtt]\nhost = "127.0.0.1"\nport = {}\n'.format(port)
    if client_id:
        mqtt += 'client_id = "{}"\n'.format(client_id)
    (folder / "cameras.toml").write_text(
        'results = "results"\ndevice = "{}"\n[events]\nincident_gap = 1\noffline_after = 3\n{}'
        '[cameras.gate]\naddress = "{}"\n'.format(name, mqtt, address))
    return Command(folder, "cameras.toml")


class Collect:
    def __init__(self, tmp_path, port):
        self.log = open(tmp_path / "collect.log", "ab")
        self.proc = subprocess.Popen(
            [str(SCRIPT), "collect", "--broker", "127.0.0.1:{}".format(port), "--results",
             str(tmp_path / "fleet"), "--client-id", "test-collector", "--max-size", "1GB"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=self.log)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(20)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.log.close()
        return self.proc.returncode


def ids(path, kinds=None):
    if not path.exists():
        return []
    lines = [json.loads(line) for line in path.read_text().splitlines()]
    return [e["id"] for e in lines if e["type"] != "alarm" and (kinds is None or e["type"] in kinds)]


@pytest.mark.timeout(420)
def test_three_devices_one_view(tmp_path, broker, servers):  # noqa: F811
    require_rtsp()
    mosquitto, feeds = broker(), servers(3)
    devices = [device(tmp_path / "dev{}".format(n), "dev{}".format(n), mosquitto.port, feeds[n].url)
               for n in range(3)]
    collect = Collect(tmp_path, mosquitto.port)
    root = tmp_path / "fleet"
    served = None
    try:
        assert wait_for(lambda: (root / "fleet.json").exists(), 30)
        served = serve_in_background(str(root), "127.0.0.1:{}".format(free_port()), None)

        def status():
            with urllib.request.urlopen(served.url + "api/status", timeout=10) as answer:
                return json.loads(answer.read())

        def shown(state="streaming"):
            now = status()
            return now.get("fleet") and {d["device"] for d in now["devices"] if d["online"]} == \
                {"dev0", "dev1", "dev2"} and sorted((c["device"], c["state"]) for c in now["cameras"]) == \
                [(n, state) for n in ("dev0", "dev1", "dev2")]
        assert wait_for(shown, 90), (status(), [d.stderr for d in devices])
        def incidents(query):
            with urllib.request.urlopen(served.url + "api/incidents?" + query, timeout=10) as answer:
                return [i for i in json.loads(answer.read())["incidents"] if i.get("picture")]
        assert wait_for(lambda: incidents("device=dev1&info_type=motion"), 90), status()
        shown_one = incidents("device=dev1")[0]
        assert shown_one["device"] == "dev1" and shown_one["picture"].startswith("dev1/gate/incidents/")
        with urllib.request.urlopen(served.url + "pictures/" + shown_one["picture"], timeout=10) as answer:
            assert answer.read(3) == b"\xff\xd8\xff"
        assert not incidents("device=dev1&info_type=nothing")
        with urllib.request.urlopen(served.url + "metrics", timeout=10) as answer:
            assert 'visionengin_device_online{device="dev1"} 1.0' in answer.read().decode()

        # a second process announcing "dev1" (its own client id): reported, not taken as dev1
        twin = device(tmp_path / "twin", "dev1", mosquitto.port,
                      "rtsp://127.0.0.1:{}/none".format(free_port()), client_id="visionengin-dev1-twin")
        try:
            assert wait_for(lambda: any(d["device"] == "dev1" and d["name_reused"] for d in status()["devices"]),
                            60), status()
        finally:
            twin.end(signal.SIGTERM)
        assert "two processes announce this name" in (tmp_path / "collect.log").read_text()
        with urllib.request.urlopen(served.url, timeout=10) as answer:
            page = answer.read().decode()
        assert "Fleet" in page and "name reused by two devices" in page and 'data-device="dev2"' in page

        # the collector away: an outage on dev0 told meanwhile, dev2 killed
        assert collect.stop() == 0
        feeds[0].kill()
        devices[2].proc.kill()
        own = devices[0].root / "events.jsonl"
        assert wait_for(lambda: ids(own, ("camera_offline",)), 60), devices[0].stderr
        collect = Collect(tmp_path, mosquitto.port)
        kept = root / "dev0" / "events.jsonl"
        assert wait_for(lambda: set(ids(kept, ("camera_offline",))) >= set(ids(own, ("camera_offline",))), 60)
        assert wait_for(lambda: {d["device"]: d["online"] for d in status()["devices"]}.get("dev2") is False,
                        90), status()
        for each in devices[:2]:
            assert each.end(signal.SIGTERM)[0] == 0, each.stderr
        for n in range(2):  # everything each device published, once
            theirs = ids(devices[n].root / "events.jsonl")
            assert wait_for(lambda: sorted(ids(root / "dev{}".format(n) / "events.jsonl")) == sorted(theirs), 30), \
                (n, theirs, ids(root / "dev{}".format(n) / "events.jsonl"))
    finally:
        if served is not None:
            served.stop()
        collect.stop()
        for each in devices:
            each.close()
    for line in (root / "dev0" / "events.jsonl").read_text().splitlines():
        event = json.loads(line)
        assert event["device"] == "dev0"
        if event["type"].startswith("incident_") and "picture" in event:
            assert (root / "dev0" / event["picture"]).is_file()
    assert os.path.isfile(root / "dev0" / "gate" / "status.json")
