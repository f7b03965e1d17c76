"""The status page over the results root of a real `visionengin cameras` run
(two RTSP servers on 127.0.0.1, the stand-in SDK): the API, the metrics and
the page in the browser agree with what the cameras wrote, follow new alarms,
show each camera's live picture as its process writes it, and show the
cameras stopped once the command ends."""
import json
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest
from prometheus_client.parser import text_string_to_metric_families

from rtsp_server import RtspServer, require_rtsp

from .conftest import PASSWORD, forget_live_pictures, loaded, wait

pytestmark = pytest.mark.slow  # starts servers or processes

SCRIPT = Path(sys.executable).parent / "visionengin"


def wait_until(predicate, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not predicate():
        assert time.monotonic() < deadline, "not reached in %.0f s" % timeout
        time.sleep(0.2)


@pytest.fixture
def run(tmp_path):
    """`visionengin cameras` on two cameras, one with a password in its address."""
    require_rtsp()
    servers = [RtspServer(width=320, height=240).start() for _ in range(2)]
    gate = servers[0].url.replace("rtsp://", "rtsp://viewer:%s@" % PASSWORD)
    (tmp_path / "cameras.toml").write_text(
        'results = "results"\n[cameras.gate]\naddress = "%s"\n[cameras.yard]\naddress = "%s"\n'
        % (gate, servers[1].url))
    proc = subprocess.Popen([str(SCRIPT), "cameras", "cameras.toml"], cwd=str(tmp_path),
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    try:
        yield proc, tmp_path / "results"
    finally:
        if proc.poll() is None:
            proc.kill()
        proc.wait()
        for server in servers:
            server.stop()
        forget_live_pictures(tmp_path / "results")


@pytest.mark.timeout(240)
def test_page_api_and_metrics_follow_a_real_run(run, serve, browser, tmp_path):
    proc, root = run
    wait_until(lambda: root.is_dir())
    client = serve(root)

    def cameras():
        return {c["camera"]: c for c in client.json("api/status")["cameras"]}
    wait_until(lambda: len(cameras()) == 2 and all(
        c["state"] == "streaming" and c["alarms"] >= 3 for c in cameras().values()), 90)

    status = cameras()
    assert status["gate"]["address"] == "rtsp://***@" + status["gate"]["address"].split("@")[1]
    events = client.json("api/events?limit=1000")["events"]
    for name in ("gate", "yard"):
        told = [e for e in events if e["camera"] == name]
        assert told and status[name]["last_alarm"]["picture"] in [e["picture"] for e in told]
        code, headers, body = client.get("pictures/" + told[0]["picture"])
        assert code == 200 and body[:2] == b"\xff\xd8"  # a JPEG, as written

    samples = {(s.name, s.labels.get("camera"), s.labels.get("state") or s.labels.get("info_type")): s.value
               for f in text_string_to_metric_families(client.get("metrics")[2].decode())
               for s in f.samples}
    for name in ("gate", "yard"):
        assert samples[("visionengin_camera_frames_analysed_total", name, None)] > 0
        assert samples[("visionengin_camera_alarm_pictures_total", name, "motion")] >= 3
        assert samples[("visionengin_camera_state", name, "streaming")] == 1
        assert samples[("visionengin_camera_last_frame_age_seconds", name, None)] < 10

    by = "css selector"
    browser.get(client.url)
    assert [t.get_attribute("data-camera") for t in browser.find_elements(by, ".tile")] == ["gate", "yard"]
    wait(browser, lambda: all(loaded(browser, i) for i in browser.find_elements(by, ".shot img")))
    first = browser.find_element(by, "#alarms a.alarm").get_attribute("href")
    wait(browser, lambda: browser.find_element(by, "#alarms a.alarm").get_attribute("href") != first, 30)
    # the live picture, written by the camera process only while the page asks
    live = ".tile[data-camera=gate] figure.live img"
    wait(browser, lambda: loaded(browser, browser.find_element(by, live)) == 320, 30)
    pictures = []
    wait(browser, lambda: pictures.append(client.get("api/cameras/gate/latest.jpg")[2]) or
         len(set(p for p in pictures if p[:2] == b"\xff\xd8")) >= 2, 30)  # the ball moves
    browser.save_screenshot(str(tmp_path / "status-page-real-run.png"))
    for path in ("", "api/status", "api/events", "metrics"):
        assert PASSWORD not in client.get(path)[2].decode()

    proc.send_signal(signal.SIGTERM)
    assert proc.wait(30) == 0
    wait(browser, lambda: [e.text for e in browser.find_elements(by, ".tile .state")] == ["stopped"] * 2)
    assert json.loads(client.get("api/status")[2])["cameras"][0]["exit_status"] == 0
