"""Results roots laid out as the camera processes leave them (status files,
events log, real JPEG pictures), and the status page served over one of them
on 127.0.0.1 by the same function the commands use, and a headless browser."""
import datetime
import json
import os
import shutil
import subprocess
import time
import urllib.error
import urllib.request
from pathlib import Path

import cv2
import pytest

from visionengin_cli.web.command import serve_in_background

DATA = Path(__file__).resolve().parents[2] / "data"
PASSWORD = "s3cret-pw"


def iso(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).isoformat()


class Root:
    """A results root that tests add alarms to, as a camera process does."""

    def __init__(self, path):
        self.path = path
        self.counts = {}
        self.picture = cv2.resize(cv2.imread(str(DATA / "fruits.jpg")), (160, 120))

    def camera(self, name, updated_ago=0.0):
        (self.path / name / "rtsp_result").mkdir(parents=True)
        now = time.time()
        self.write_status(name, {
            "camera": name, "address": "rtsp://admin:%s@192.0.2.7/%s" % (PASSWORD, name),
            "state": "streaming", "pid": 4321, "started": iso(now - 60), "restarts": 1,
            "reconnects": 2, "frames": 300, "analysed_fps": 12.5, "alarms": 0, "alarms_by_type": {},
            "last_frame": iso(now - 1.5), "last_alarm": None, "updated": iso(now - updated_ago),
            "exit_status": None, "frame_age_ms": [4.2, 9.8]})

    def status(self, name):
        return json.loads((self.path / name / "status.json").read_text())

    def write_status(self, name, status):
        tmp = self.path / name / "status.json.tmp"
        tmp.write_text(json.dumps(status))
        tmp.replace(self.path / name / "status.json")

    def alarm(self, name, info_type="motion", when=None, touch=True, **extra):
        """One alarm picture: the JPEG, its events line, the camera's status
        (rewritten as by its process, unless touch is False)."""
        n = self.counts[name] = self.counts.get(name, 0) + 1
        relative = "%s/rtsp_result/%s-%d.jpg" % (name, info_type, n)
        assert cv2.imwrite(str(self.path / relative), self.picture)
        event = {"time": iso(time.time() if when is None else when), "camera": name,
                 "info_type": info_type, "picture": relative, **extra}
        self.append_line(json.dumps(event))
        status = self.status(name)
        status["alarms"] += 1
        status["alarms_by_type"][info_type] = status["alarms_by_type"].get(info_type, 0) + 1
        status["last_alarm"] = {k: event[k] for k in ("time", "info_type", "picture")}
        if touch:
            status["updated"] = iso(time.time())
        self.write_status(name, status)
        return event

    def append_line(self, text):
        with open(self.path / "events.jsonl", "a", encoding="utf-8") as log:
            log.write(text + "\n")


@pytest.fixture
def root(tmp_path):
    """Two cameras: "gate" streaming with three alarms (and bad lines in the
    log between them), "yard" whose process is gone (status not rewritten)."""
    made = Root(tmp_path / "results")
    made.camera("gate")
    made.camera("yard", updated_ago=60)
    made.alarm("yard", "face", when=time.time() - 120, touch=False)
    made.alarm("gate", "motion", behavior_number=5000001, score=0.9)
    made.append_line("not json at all")
    made.append_line('{"time": "2026-01-01T00:00:00+00:00"}')
    made.alarm("gate", "motion")
    made.alarm("gate", "face", behavior_number=5000002)
    yield made
    forget_live_pictures(made.path)


def forget_live_pictures(root):
    """The live pictures' runtime folder of a test's root (outside it, in RAM)."""
    from visionengin_cli.storage import latest

    shutil.rmtree(os.path.join(latest.base_folder(os.environ), latest.root_id(str(root))),
                  ignore_errors=True)


class Client:
    def __init__(self, url):
        self.url = url

    def get(self, path, headers=None):
        """(status, headers, body) of a GET, errors included."""
        request = urllib.request.Request(self.url + path, headers=headers or {})
        try:
            with urllib.request.urlopen(request, timeout=10) as response:
                return response.status, response.headers, response.read()
        except urllib.error.HTTPError as error:
            return error.code, error.headers, error.read()

    def json(self, path):
        status, _, body = self.get(path)
        assert status == 200, body
        return json.loads(body)


@pytest.fixture
def serve():
    """serve(root, token=None): the status page on 127.0.0.1, a free port."""
    running = []

    def start(path, token=None):
        running.append(serve_in_background(str(path), "127.0.0.1:0", token))
        client = Client(running[-1].url)
        client.stop = running[-1].stop  # a restart: the server goes before the next starts
        return client
    yield start
    for served in running:
        served.stop()
        assert not served.thread.is_alive()


@pytest.fixture
def client(root, serve):
    return serve(root.path)


def make_mp4(path, seconds=3, fps=25):
    """A small H.264 MP4 of a bar moving across, made with PyAV, else with
    Debian's ffmpeg program; the test is skipped when neither is there."""
    path.parent.mkdir(parents=True, exist_ok=True)
    try:
        import av
        import numpy as np
    except ImportError:
        av = None
    if av is not None:
        with av.open(str(path), "w") as out:
            stream = out.add_stream("libx264", rate=fps)
            stream.width, stream.height, stream.pix_fmt = 320, 240, "yuv420p"
            for i in range(seconds * fps):
                frame = np.zeros((240, 320, 3), np.uint8)
                frame[:, (i * 4) % 280:(i * 4) % 280 + 40] = 255
                for packet in stream.encode(av.VideoFrame.from_ndarray(frame, format="bgr24")):
                    out.mux(packet)
            for packet in stream.encode():
                out.mux(packet)
    elif shutil.which("ffmpeg"):
        subprocess.run(["ffmpeg", "-v", "error", "-y", "-f", "lavfi", "-i",
                        "testsrc=size=320x240:rate=%d:duration=%d" % (fps, seconds),
                        "-c:v", "libx264", "-pix_fmt", "yuv420p", str(path)], check=True, timeout=60)
    else:
        pytest.skip("needs PyAV (the av package) or Debian's ffmpeg to make an H.264 MP4")
    return path


CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")


@pytest.fixture(scope="session")
def browser():
    """Headless chromium, one for the session."""
    if not (CHROMIUM and DRIVER):
        pytest.skip("needs Debian's chromium and chromium-driver (tools/install-system-deps)")
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service

    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for flag in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--disable-gpu",
                 "--window-size=1280,900"):
        options.add_argument(flag)
    driver = webdriver.Chrome(service=Service(DRIVER), options=options)
    driver.set_page_load_timeout(30)
    yield driver
    driver.quit()


def wait(driver, condition, timeout=20):
    """The page replaces its parts as it updates: elements found before go stale."""
    from selenium.common.exceptions import StaleElementReferenceException
    from selenium.webdriver.support.ui import WebDriverWait

    return WebDriverWait(driver, timeout, poll_frequency=0.1,
                         ignored_exceptions=[StaleElementReferenceException]).until(lambda d: condition())


def loaded(driver, image):
    return driver.execute_script("return arguments[0].complete && arguments[0].naturalWidth", image)
