"""Video collections as a user holds them (copies of the bundled clip under
folders of their own, a made clip, a broken file) and the `videos` command run
as installed."""
import json
import pathlib
import shutil
import subprocess
import sys

import cv2
import numpy as np
import pytest

DATA = pathlib.Path(__file__).parents[2] / "data"
SCRIPT = pathlib.Path(sys.executable).parent / "visionengin"


def made_clip(path, frames, size=(320, 240), fps=25):
    """A square moving over a black background: motion in every frame."""
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), fps, size)
    assert writer.isOpened()
    for i in range(frames):
        frame = np.zeros((size[1], size[0], 3), np.uint8)
        x = (i * 7) % (size[0] - 40)
        frame[100:140, x:x + 40] = 255
        writer.write(frame)
    writer.release()
    return path


@pytest.fixture
def collection(tmp_path):
    """Two same-named copies of walking.mp4 in different folders, a made clip in
    a sub-folder, a broken file; returns (folder to search, the broken file)."""
    videos = tmp_path / "videos"
    for name in ("gate", "yard"):
        (videos / name).mkdir(parents=True)
        shutil.copy(DATA / "walking.mp4", videos / name / "clip.mp4")
    (videos / "yard" / "night").mkdir()
    made_clip(videos / "yard" / "night" / "square.avi", 40)
    broken = videos / "broken.mp4"
    broken.write_bytes(b"\x00\x00\x00\x18ftypmp42 this is no video at all")
    (videos / "notes.txt").write_text("not a video, not searched")
    return videos, broken


def run_videos(*args, cache, timeout=240, **kwargs):
    assert SCRIPT.exists(), "the visionengin command is missing: pip install the project"
    return subprocess.run([str(SCRIPT), "videos", *map(str, args), "--cache", str(cache)],
                          capture_output=True, text=True, timeout=timeout, **kwargs)


def events_of(root):
    path = root / "events.jsonl"
    return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []


def status_of(root):
    return {p.parent.name: json.loads(p.read_text()) for p in root.glob("*/status.json")}
