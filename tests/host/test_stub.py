"""The installed type stub of `main`, as a type checker sees it from a host.
The host package itself is checked against it once, by `make check`."""
import re
import subprocess
import sys

import pytest

pytestmark = pytest.mark.slow  # starts servers or processes

METHODS = ("__init__", "load_cfg", "test_video", "video_stream_capture", "process_frames",
           "test_rtsp", "test_pic", "register", "stop")

GOOD_HOST = '''
import queue
from typing import Any, Dict, List

import main


def run(path: str) -> int:
    engine = main.VisionEngin("model", cache="/tmp/cache", cuda=False, activate=True)
    cfg: Dict[str, Any] = engine.load_cfg(["5000001"])
    engine.test_pic(path)
    engine.test_video(path, 5, bev=list(engine.bev)[:2])
    engine.register(path, "eileen")
    frames: "queue.Queue[Any]" = queue.Queue(maxsize=1)
    engine.process_frames(frames, cfg, "./rtsp_result/")
    engine.stop()
    main.draw_roi = lambda img, roi: img
    thresholds: List[float] = [row["behavior_threshold"] for row in main.devBehavior.values()]
    return len(engine.adds) + len(thresholds) + len(main.cfg)
'''

BAD_HOST = '''
import main

engine = main.VisionEngin(cahce="/tmp")
engine.test_pic("a.jpg", bev=[5000001])
engine.test_rtsp()
'''


def mypy(tmp_path, *targets):
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *targets],
        cwd=tmp_path, capture_output=True, text=True, timeout=300)


@pytest.mark.timeout(300)
def test_strict_host_programs_type_check_against_the_stub(tmp_path):
    (tmp_path / "host.py").write_text(GOOD_HOST)
    checked = mypy(tmp_path, "host.py")
    assert checked.returncode == 0, checked.stdout + checked.stderr


@pytest.mark.timeout(120)
def test_the_stub_catches_mistakes(tmp_path):
    (tmp_path / "bad.py").write_text(BAD_HOST)
    checked = mypy(tmp_path, "bad.py")
    assert checked.returncode == 1
    assert 'bad.py:4: error: Unexpected keyword argument "cahce"' in checked.stdout
    assert 'bad.py:5: error: List item 0 has incompatible type "int"; expected "str"' in checked.stdout
    assert 'bad.py:6: error: Missing positional argument "addr"' in checked.stdout


@pytest.mark.timeout(120)
def test_stub_matches_the_module(tmp_path):
    # The methods are C functions bound to the class, which stubtest takes for
    # classmethods: that is the one complaint allowed, once per method.
    checked = subprocess.run([sys.executable, "-m", "mypy.stubtest", "main"],
                             cwd=tmp_path, capture_output=True, text=True, timeout=120)
    errors = dict(re.findall(r"^error: main\.(\S+) (.*)$", checked.stdout, re.M))
    assert errors == {"VisionEngin." + name: "is inconsistent, runtime is a classmethod but stub is not"
                      for name in METHODS}, checked.stdout + checked.stderr
