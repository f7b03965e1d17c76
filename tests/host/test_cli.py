"""The `visionengin` command as users run it: the installed console script, the
stand-in SDK and the real media, in a private working directory."""
import os
import pathlib
import re
import signal
import subprocess
import sys
import time

import cv2
import numpy as np
import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1]))
from children import default_sigint  # noqa: E402

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


@pytest.fixture(scope="module")
def long_video(tmp_path_factory):
    """A clip long enough to be stopped midway: a square moving over 1500 frames."""
    path = tmp_path_factory.mktemp("media") / "long.avi"
    writer = cv2.VideoWriter(str(path), cv2.VideoWriter_fourcc(*"MJPG"), 25, (320, 240))
    for i in range(1500):
        frame = np.zeros((240, 320, 3), np.uint8)
        x = (i * 7) % 280
        frame[100:140, x:x + 40] = 255
        writer.write(frame)
    writer.release()
    return path


def green_pixels(im):
    return int(np.count_nonzero(np.all(im == (0, 255, 0), axis=2)))


@pytest.mark.slow
def test_pic_writes_the_annotated_face(cli, tmp_path):
    done = cli("pic", "data/astronaut.jpg")  # relative to where the command starts
    assert done.returncode == 0, done.stderr
    picture = tmp_path / "pic_result" / "face.jpg"
    written = cv2.imread(str(picture))
    assert written.shape == (512, 512, 3)
    assert green_pixels(written) > 100 > green_pixels(cv2.imread(str(DATA / "astronaut.jpg")))
    assert "1 alarm picture written to {}/pic_result/".format(tmp_path) in done.stdout
    assert "face  1" in done.stdout


@pytest.mark.slow
@pytest.mark.timeout(120)
@pytest.mark.parametrize("every, analysed", [(10, "8 frames analysed (one frame in 10) of 80 read"),
                                             (1000, "0 frames analysed (one frame in 1000) of 80 read")])
def test_video_progress_and_summary(cli, tmp_path, every, analysed):
    done = cli("video", "data/walking.mp4", "-t", str(every))
    assert done.returncode == 0, done.stderr
    files = sorted((tmp_path / "video_result").iterdir())
    assert all(f.name.startswith("motion-") and int(f.stem.split("-")[1]) % every == 0 for f in files)
    assert analysed in done.stdout and "analysed frames/s" in done.stdout
    bar = done.stderr.splitlines()[0]  # not a terminal: only the finished bar
    pictures = "{} alarm picture{}".format(len(files), "" if len(files) == 1 else "s")
    assert re.fullmatch(r"80/80 frames read  {}  [\d.]+ read frames/s".format(pictures), bar)
    if files:
        assert "{} written to {}/video_result/".format(pictures, tmp_path) in done.stdout
        assert "motion  {}".format(len(files)) in done.stdout
    else:
        assert done.stderr.splitlines()[-1] == (
            "visionengin: warning: nothing analysed: -t 1000 is past the end of the video (80 frames)")


@pytest.mark.slow
def test_behaviours_lists_the_table_the_selection_and_the_run_settings(cli):
    done = cli("--bev", "5000002,5000010", "behaviours", "--threshold", "0.25", "--alarm-interval", "2.5")
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    rows = [line.split() for line in lines[1:12]]
    assert [row[0] for row in rows] == [str(5000001 + i) for i in range(11)]
    assert rows[0] == ["5000001", "0.5", "0", "0"]
    assert rows[1] == ["5000002", "0.25", "0", "2.5", "yes"]
    assert rows[9] == ["5000010", "0.25", "2", "2.5", "yes"]
    assert lines[12] == "selection: 5000002, 5000010 (2 of 11)"
    assert "--activate the detector SDK pushes alarms at once" in done.stdout


@pytest.mark.slow
def test_alarm_interval_spaces_the_pictures(cli, tmp_path):
    done = cli("video", "data/walking.mp4", "--bev", "5000001", "--alarm-interval", "3600")
    assert done.returncode == 0, done.stderr
    assert len(list((tmp_path / "video_result").iterdir())) == 1
    assert "  1 alarm picture  " in done.stderr and "\n1 alarm picture written to " in done.stdout


def test_counts_of_one_are_singular():
    from visionengin_cli.progress import status_text
    snap = {"state": "reconnecting", "frames": 1, "analysed_fps": 1.0, "alarms": 1, "reconnects": 1,
            "seconds_without_frames": 1.0}
    assert status_text(snap) == "reconnecting  1 frame analysed (1.0/s)  1 alarm picture  1 reconnect  no frames for 1 s"


@pytest.mark.slow
def test_register_says_where_the_face_went_and_what_it_replaced(cli, tmp_path):
    face = tmp_path / "cache" / "faces" / "eileen.png"
    told = "registered 'eileen' from {} into {}\n".format(DATA / "astronaut.jpg", face)
    done = cli("register", "data/astronaut.jpg", "--name", "eileen")
    assert (done.returncode, done.stdout) == (0, told), done.stderr
    assert face.is_file()
    again = cli("register", "data/astronaut.jpg", "--name", "eileen")
    assert (again.returncode, again.stdout) == (0, told + "replaced the face registered as 'eileen'\n")
    assert os.listdir(face.parent) == ["eileen.png"]


@pytest.mark.slow
def test_version_and_the_default_cache_in_help(tmp_path):
    env = dict(os.environ, XDG_CACHE_HOME=str(tmp_path / "xdg"))
    shown = subprocess.run([str(SCRIPT), "--version"], capture_output=True, text=True, timeout=30)
    assert re.fullmatch(r"visionengin \d+\.\d+\.\d+\n", shown.stdout)
    helped = subprocess.run([str(SCRIPT), "--help"], capture_output=True, text=True, timeout=30, env=env)
    assert "(default:{}/xdg/visionengin)".format(tmp_path) in "".join(helped.stdout.split())


@pytest.mark.parametrize("command, offered", [
    ("cameras", {"--bev", "--cache", "--debug"}), ("serve", {"--debug"}),
    ("videos", {"--bev", "--cache", "--debug"}), ("video", {"--bev", "--workdir", "--debug"})])
def test_help_offers_only_the_common_options_a_command_takes(capsys, command, offered):
    from visionengin_cli.cli import build_parser

    with pytest.raises(SystemExit):
        build_parser().parse_args([command, "--help"])
    options = set(re.findall(r"(--[a-z-]+)", capsys.readouterr().out))
    assert offered <= options and ("--workdir" in options) == ("--workdir" in offered), options
    assert command != "serve" or not options & {"--bev", "--cache", "--threshold"}


@pytest.mark.slow
@pytest.mark.timeout(90)
@pytest.mark.parametrize("command, sig, status", [
    ("stream", signal.SIGINT, 130), ("stream", signal.SIGTERM, 143), ("video", signal.SIGTERM, 143)])
def test_a_stopped_run_tells_what_it_wrote(tmp_path, long_video, command, sig, status):
    """A file as the stream is read again at each end; stdout keeps only the summary."""
    media = DATA / "walking.mp4" if command == "stream" else long_video
    folder = "rtsp_result" if command == "stream" else "video_result"
    results = tmp_path / "run" / folder
    with open(tmp_path / "out", "w+") as out, open(tmp_path / "err", "w+") as err:
        process = subprocess.Popen(
            [str(SCRIPT), command, str(media), "--bev", "5000001",
             "--workdir", str(tmp_path / "run"), "--cache", str(tmp_path / "cache")],
            stdout=out, stderr=err, preexec_fn=default_sigint)
        try:
            deadline = time.monotonic() + 45
            while not (results.is_dir() and len(list(results.iterdir())) > 2) and time.monotonic() < deadline:
                assert process.poll() is None, (tmp_path / "err").read_text()
                time.sleep(0.1)
            if command == "stream":
                time.sleep(2)  # the clip (8 s at 10 fps) ends at least once
            process.send_signal(sig)
            assert process.wait(timeout=15) == status
        finally:
            process.kill()
            process.wait()
    stdout, stderr = (tmp_path / "out").read_text(), (tmp_path / "err").read_text()
    analysed = int(re.match(r"(\d+) frames analysed ", stdout).group(1))
    assert analysed >= len(list(results.iterdir())) > 0
    assert "alarm pictures written to {}/".format(results) in stdout
    assert "restart" not in stdout and "Traceback" not in stderr
    assert stderr.splitlines()[-1] == ("visionengin: interrupted" if sig == signal.SIGINT
                                       else "visionengin: terminated")
    if command == "stream":
        assert stderr.count("ended; the stream reads it again from the start") == 1
