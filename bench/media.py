"""Benchmark media, made once into bench/.cache from the bundled test media.

The clips are the walking-people sample scaled up and played forwards and
backwards (so motion never jumps), encoded as H.264 the way a camera does. The
OpenCV wheel cannot encode H.264, so GStreamer's x264enc is driven through
Debian's /usr/bin/python3 (tools/install-system-deps installs it); ffmpeg is used
when present instead; mp4v is the last resort and the table says so.
"""
import os
import shutil
import subprocess
from pathlib import Path

import cv2

ROOT = Path(__file__).resolve().parent.parent
DATA = ROOT / "tests" / "data"
CACHE = Path(os.environ.get("BENCH_CACHE", Path(__file__).resolve().parent / ".cache"))

_GST_ENCODE = r"""
import sys
import gi
gi.require_version("Gst", "1.0")
from gi.repository import Gst
Gst.init(None)
w, h, fps, out = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
pipeline = Gst.parse_launch(
    "fdsrc fd=0 blocksize=%d ! rawvideoparse width=%d height=%d format=bgr framerate=%d/1 "
    "! videoconvert ! x264enc speed-preset=faster bframes=0 key-int-max=%d ! h264parse "
    "! mp4mux ! filesink location=%s" % (w * h * 3, w, h, fps, 2 * fps, out))
pipeline.set_state(Gst.State.PLAYING)
msg = pipeline.get_bus().timed_pop_filtered(
    Gst.CLOCK_TIME_NONE, Gst.MessageType.EOS | Gst.MessageType.ERROR)
pipeline.set_state(Gst.State.NULL)
sys.exit(0 if msg.type == Gst.MessageType.EOS else msg.parse_error()[0].message)
"""


def source_frames():
    cap = cv2.VideoCapture(str(DATA / "walking.mp4"))
    frames = []
    while True:
        ok, frame = cap.read()
        if not ok:
            break
        frames.append(frame)
    cap.release()
    if not frames:
        raise RuntimeError("cannot read %s" % (DATA / "walking.mp4"))
    return frames


def _frames(size, count):
    base = source_frames()
    cycle = base + base[-2:0:-1]  # forwards, then backwards
    for i in range(count):
        yield cv2.resize(cycle[i % len(cycle)], size, interpolation=cv2.INTER_CUBIC)


def _encoders(size, fps, out):
    w, h = size
    if os.access("/usr/bin/python3", os.X_OK):
        yield "x264 (GStreamer)", ["/usr/bin/python3", "-c", _GST_ENCODE, str(w), str(h), str(fps), out]
    ffmpeg = shutil.which("ffmpeg")
    if ffmpeg:
        yield "x264 (ffmpeg)", [ffmpeg, "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "bgr24",
                                "-s", "%dx%d" % (w, h), "-r", str(fps), "-i", "-", "-c:v", "libx264",
                                "-preset", "faster", "-bf", "0", "-pix_fmt", "yuv420p", out]


def _pipe(cmd, size, count):
    proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        for frame in _frames(size, count):
            proc.stdin.write(frame.tobytes())
    except BrokenPipeError:
        pass
    finally:
        proc.stdin.close()
    proc.stderr.read()
    return proc.wait(timeout=600) == 0


def codec_of(path):
    cap = cv2.VideoCapture(str(path))
    fourcc = int(cap.get(cv2.CAP_PROP_FOURCC))
    frames = int(cap.get(cv2.CAP_PROP_FRAME_COUNT))
    cap.release()
    return fourcc.to_bytes(4, "little").decode("ascii", "replace").strip("\0 "), frames


def clip(size, count, fps=25):
    """Path and codec of a cached clip of `count` frames of `size` (w, h)."""
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / ("walking-%dx%d-%d.mp4" % (size[0], size[1], count))
    if not path.exists():
        tmp = str(path) + ".part.mp4"
        for _, cmd in _encoders(size, fps, tmp):
            if _pipe(cmd, size, count) and codec_of(tmp)[1] >= count - 1:
                break
        else:  # no H.264 encoder here: fall back to mp4v
            writer = cv2.VideoWriter(tmp, cv2.VideoWriter_fourcc(*"mp4v"), fps, size)
            for frame in _frames(size, count):
                writer.write(frame)
            writer.release()
        os.replace(tmp, path)
    fourcc, frames = codec_of(path)
    codec = "H.264" if fourcc.lower() in ("avc1", "h264", "x264") else fourcc + " (no H.264 encoder)"
    return str(path), codec, frames


def small_picture():
    """A small real picture (the astronaut portrait, 128x128) for the memory runs."""
    CACHE.mkdir(parents=True, exist_ok=True)
    path = CACHE / "astronaut-128.jpg"
    if not path.exists():
        im = cv2.resize(cv2.imread(str(DATA / "astronaut.jpg")), (128, 128), interpolation=cv2.INTER_AREA)
        cv2.imwrite(str(path), im)
    return str(path)
