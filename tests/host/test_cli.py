"""The `visionengin` command as users run it: the installed console script, the
stand-in SDK and the real media, in a private working directory."""
import pathlib
import re
import signal
import subprocess
import sys
import time

import cv2
import numpy as np
import pytest

DATA = pathlib.Path(__file__).parents[1] / "data"
SCRIPT = pathlib.Path(sys.executable).parent / "visionengin"


@pytest.fixture
def cli(tmp_path):
    """Runs the command with --workdir and --cache in tmp_path, from the tests folder."""
    assert SCRIPT.exists(), "the visionengin command is missing: pip install the project"

    def run(*args, timeout=90):
        return subprocess.run(
            [str(SCRIPT), *args, "--workdir", str(tmp_path), "--cache", str(tmp_path / "cache")],
            cwd=DATA.parent, capture_output=True, text=True, timeout=timeout)

    return run


def green_pixels(im):
    return int(np.count_nonzero(np.all(im == (0, 255, 0), axis=2)))


def test_pic_writes_the_annotated_face(cli, tmp_path):
    done = cli("pic", "data/astronaut.jpg")  # relative to where the command starts
    assert done.returncode == 0, done.stderr
    picture = tmp_path / "pic_result" / "face.jpg"
    written = cv2.imread(str(picture))
    assert written.shape == (512, 512, 3)
    assert green_pixels(written) > 100 > green_pixels(cv2.imread(str(DATA / "astronaut.jpg")))
    assert "1 alarm picture written to {}/pic_result/".format(tmp_path) in done.stdout
    assert "face  1" in done.stdout


@pytest.mark.timeout(120)
def test_video_progress_and_summary(cli, tmp_path):
    done = cli("video", "data/walking.mp4", "-t", "10")
    assert done.returncode == 0, done.stderr
    files = sorted((tmp_path / "video_result").iterdir())
    assert files and all(f.name.startswith("motion-") for f in files)
    assert {int(f.stem.split("-")[1]) % 10 for f in files} == {0}
    assert "8 frames analysed (one frame in 10)" in done.stdout
    assert "{} alarm pictures written to {}/video_result/".format(len(files), tmp_path) in done.stdout
    assert "motion  {}".format(len(files)) in done.stdout
    bar = done.stderr.splitlines()[-1]  # not a terminal: only the finished bar
    assert bar.startswith("[########################] 80/80 frames  {} alarm pictures".format(len(files)))
    assert bar.endswith("frames/s")


def test_behaviours_lists_the_table_and_the_selection(cli):
    done = cli("--bev", "5000002,5000010", "behaviours")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    rows = [line.split() for line in lines[1:12]]
    assert [row[0] for row in rows] == [str(5000001 + i) for i in range(11)]
    assert rows[1] == ["5000002", "0.3", "0", "0", "yes"]
    assert rows[9] == ["5000010", "0.5", "2", "0", "yes"]
    assert sum(row[-1] == "yes" for row in rows) == 2
    assert lines[12] == "selection: 5000002, 5000010 (2 of 11)"


def test_register_prints_the_result(cli, tmp_path):
    done = cli("register", "data/astronaut.jpg", "--name", "eileen")
    assert done.returncode == 0, done.stderr
    assert "'code': 0" in done.stdout and "'name': 'eileen'" in done.stdout
    assert (tmp_path / "cache" / "faces" / "eileen.png").is_file()


@pytest.mark.parametrize("args, status, message", [
    (["--bev", "123", "pic", "data/astronaut.jpg"], 1, "error: unknown behaviour '123' in --bev"),
    (["pic", "data/missing.jpg"], 1, "error: no such picture:"),
    (["video", "data/missing.mp4"], 1, "error: cannot open the video"),
    (["pic", "data/astronaut.jpg", "--frob"], 2, "error: unrecognized arguments: --frob"),
    (["video", "data/walking.mp4", "-t", "0"], 2, "must be 1 or more"),
    (["stream", "data/walking.mp4", "--mode", "2"], 2, "invalid choice: 2"),
])
def test_errors_and_bad_usage(cli, args, status, message):
    done = cli(*args)
    assert done.returncode == status
    assert message in done.stderr.splitlines()[-1]
    assert "Traceback" not in done.stderr
    if status == 1:
        assert done.stderr.count("\n") == 1


def test_engine_errors_are_one_line_unless_debugging(cli):
    # A video is no picture: the engine warns and the detector refuses None.
    done = cli("pic", "data/walking.mp4", "--bev", "5000002")
    assert done.returncode == 1
    warning, error = done.stderr.splitlines()
    assert warning.startswith("visionengin: warning: cannot read the picture")
    assert error == "visionengin: error: ValueError: main() needs a picture, got None"
    debugged = cli("pic", "data/walking.mp4", "--debug")
    assert debugged.returncode == 1 and "Traceback" in debugged.stderr


@pytest.mark.timeout(90)
def test_stream_ends_cleanly_on_ctrl_c(tmp_path):
    """A video file as the stream (it loops through reconnects) until SIGINT."""
    results = tmp_path / "run" / "rtsp_result"
    with open(tmp_path / "out", "w+") as out, open(tmp_path / "err", "w+") as err:
        process = subprocess.Popen(
            [str(SCRIPT), "stream", str(DATA / "walking.mp4"), "--bev", "5000001",
             "--workdir", str(tmp_path / "run"), "--cache", str(tmp_path / "cache")],
            stdout=out, stderr=err)
        try:
            deadline = time.monotonic() + 45
            while not (results.is_dir() and any(results.iterdir())) and time.monotonic() < deadline:
                assert process.poll() is None, (tmp_path / "err").read_text()
                time.sleep(0.2)
            time.sleep(1)
            process.send_signal(signal.SIGINT)
            assert process.wait(timeout=15) == 130
        finally:
            process.kill()
            process.wait()
    stdout, stderr = (tmp_path / "out").read_text(), (tmp_path / "err").read_text()
    assert "rtsp restart..." in stdout
    analysed = int(re.search(r"^(\d+) frames analysed in ", stdout, re.M).group(1))
    assert analysed >= len(list(results.iterdir())) > 0
    assert "alarm pictures written to {}/".format(results) in stdout
    assert stderr.splitlines()[-1] == "visionengin: interrupted"
    assert "Traceback" not in stderr
