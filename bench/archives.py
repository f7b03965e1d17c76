"""`make bench` rows for `visionengin videos`: copies of the bundled clip (a
known length of video) analysed by 1 and 2 local workers and by a two-node Ray
cluster on this machine (in a namespace of its own, as the tests start it).
Times are the command's own: from the first video handed out to the last
result written (a Ray cluster's start and the driver's joining it left out)."""
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

HERE = Path(__file__).resolve().parent
CLIP = HERE.parent / "tests" / "data" / "walking.mp4"
CLUSTER = HERE.parent / "tests" / "host" / "archives" / "ray_cluster.sh"
BIN = Path(sys.executable).parent
COPIES = int(os.environ.get("BENCH_VIDEOS", "6"))
CLIP_SECONDS = 8.0  # 80 frames at 10 fps


def summary(text):
    found = re.search(r"(\d+) videos? analysed \((\d+) frames in ([\d.]+) s\)", text)
    if not found:
        raise RuntimeError("no summary in: " + text)
    return int(found.group(1)), int(found.group(2)), float(found.group(3))


def local(videos, results, cache, workers):
    run = subprocess.run([str(BIN / "visionengin"), "videos", str(videos), "--results", str(results),
                          "--workers", str(workers), "--cache", str(cache)],
                         capture_output=True, text=True, timeout=1800)
    assert run.returncode == 0, run.stderr
    return summary(run.stdout)


def ray(videos, results, cache, work):
    out = work / "ray-out"
    out.mkdir()
    subprocess.run(["unshare", "--net", "--pid", "--fork", "--mount-proc", "bash", str(CLUSTER),
                    str(BIN), str(out), str(videos), "--results", str(results), "--cache", str(cache)],
                   check=True, timeout=1800, env=dict(os.environ, RUNS="1"),
                   stdin=subprocess.DEVNULL)
    assert (out / "status1").read_text().strip() == "0", (out / "err1").read_text()
    return summary((out / "out1").read_text())


def ray_unavailable():
    try:
        import ray  # noqa: F401
    except ImportError:
        return "Ray not installed (pip install \".[ray]\")"
    if os.geteuid() != 0 or not shutil.which("unshare"):
        return "needs root and unshare for the cluster's namespace"
    return None


def bench(row, log, work):
    work = Path(work) / "videos"
    videos = work / "in"
    for i in range(COPIES):
        (videos / str(i)).mkdir(parents=True)
        shutil.copy(CLIP, videos / str(i) / "walking.mp4")
    real = COPIES * CLIP_SECONDS
    cache = work / "cache"
    figures = {}
    runs = [("1 local worker", lambda r: local(videos, r, cache, 1)),
            ("2 local workers", lambda r: local(videos, r, cache, 2))]
    why_not = ray_unavailable()
    if why_not is None:
        runs.append(("Ray, 2 nodes of 1 CPU", lambda r: ray(videos, r, cache, work)))
    else:
        log("videos: no Ray row: " + why_not)
    for label, run in runs:
        count, frames, seconds = run(work / label.replace(" ", "-").replace(",", ""))
        assert count == COPIES
        figures[label] = seconds
        log("videos: %s: %d frames in %.1f s" % (label, frames, seconds))
        note = "%.1f x real time; speed-up over 1 worker %.2f" % (
            real / seconds, figures["1 local worker"] / seconds)
        if label.startswith("Ray"):
            note += "; Ray's overhead against 2 local workers %+.2f s per video" % (
                (seconds - figures["2 local workers"]) / COPIES)
        row("videos: %d x %.0f s clip (%d frames), %s" % (COPIES, CLIP_SECONDS, frames, label),
            "%.1f frames/s" % (frames / seconds), "", "", note)
