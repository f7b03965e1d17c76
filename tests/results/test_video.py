"""test_video on real video files: which frames are analysed, the names of their
pictures, the end of the run, and a real run of the stand-in SDK."""
import os
import re

import cv2
import pytest

import main
from conftest import alarm, make_video

from .conftest import near, warnings_of

pytestmark = pytest.mark.timeout(60)


def grey(im):
    return round(float(im.mean()) / 10) * 10


@pytest.fixture
def video(workdir):
    return make_video(workdir / "ten.avi", frames=10)


def every_frame_alarms(im, cfg):
    return {"alarmBehavior": [alarm("grey", (5, 30, 60, 90))]}


@pytest.mark.parametrize("t, frames", [(1, list(range(1, 11))), (3, [3, 6, 9]), (2.0, [2, 4, 6, 8, 10]), (10, [10])])
def test_every_t_th_frame_is_analysed_and_named_by_its_ordinal(engine, fake_sdk, cv2_proxy, video, workdir, t, frames):
    fake_sdk.answer = every_frame_alarms
    assert engine.test_video(video, t) is None
    assert [grey(im) for im, _, _ in fake_sdk.detect_calls] == [10 * k for k in frames]
    assert [a[0] for a in cv2_proxy.named("imwrite")] == ["./video_result//grey-%d.jpg" % k for k in frames]
    assert sorted(os.listdir(workdir / "video_result")) == sorted("grey-%d.jpg" % k for k in frames)
    written = cv2.imread(str(workdir / "video_result" / ("grey-%d.jpg" % frames[-1])))
    assert near(written[90, 30], (0, 255, 0)) and near(written[60, 100], (10 * frames[-1],) * 3, tol=4)
    capture, = cv2_proxy.captures
    assert (capture.reads, capture.releases) == (11, 1)


@pytest.mark.parametrize("t", [0, -1, "3", None, 11, 1.5])
def test_interval_that_never_matches_analyses_nothing(engine, fake_sdk, cv2_proxy, video, workdir, t):
    fake_sdk.answer = every_frame_alarms
    assert engine.test_video(video, t) is None
    assert not fake_sdk.detect_calls and os.listdir(workdir / "video_result") == []
    capture, = cv2_proxy.captures
    assert (capture.reads, capture.releases) == (11, 1)


def test_addresses_counted_first_and_in_device_id(engine, fake_sdk, video, picture):
    with pytest.raises(KeyError):
        engine.test_video(video, bev=[5000001])
    assert engine.adds == [video] and not os.path.exists("video_result")
    assert main.cfg["devId"] == "000001"
    engine.test_pic(picture[0])
    assert fake_sdk.detect_calls[-1][1]["devId"] == "1"
    engine.test_video("other.avi", bev=["5000003"])
    assert engine.adds == [video, "other.avi"] and main.cfg["devId"] == "2"
    assert main.cfg["devBehavior"] == [main.devBehavior["5000003"]]


def test_unopenable_source_is_logged_and_released(engine, fake_sdk, cv2_proxy, workdir, caplog):
    addr = str(workdir / "nowhere.avi")
    assert engine.test_video(addr) is None
    capture, = cv2_proxy.captures
    assert (capture.reads, capture.releases) == (0, 1) and not fake_sdk.detect_calls
    assert os.path.isdir("video_result") and engine.adds == [addr] and main.cfg["devId"] == "1"
    logged = warnings_of(caplog)
    assert len(logged) == 1 and repr(addr) in logged[0]


def test_read_failure_ends_the_run(engine, fake_sdk, cv2_proxy, video, workdir, caplog):
    cv2_proxy.fail_at = 4
    fake_sdk.answer = every_frame_alarms
    engine.test_video(video)
    capture, = cv2_proxy.captures
    assert (capture.reads, capture.releases) == (4, 1)
    assert [grey(im) for im, _, _ in fake_sdk.detect_calls] == [10, 20, 30]
    assert sorted(os.listdir("video_result")) == ["grey-1.jpg", "grey-2.jpg", "grey-3.jpg"]
    assert warnings_of(caplog) == []


def test_detector_failure_propagates_and_earlier_pictures_stay(engine, fake_sdk, video, workdir):
    def fails_on_third(im, cfg):
        if len(fake_sdk.detect_calls) == 3:
            raise RuntimeError("detector broke on frame 3")
        return every_frame_alarms(im, cfg)
    fake_sdk.answer = fails_on_third
    with pytest.raises(RuntimeError, match="frame 3"):
        engine.test_video(video)
    assert sorted(os.listdir("video_result")) == ["grey-1.jpg", "grey-2.jpg"]


def test_result_directory_made_only_when_missing(engine, fake_sdk, video, os_proxy):
    os_ = os_proxy()
    engine.test_video(video)
    engine.test_video(video)
    assert os_.mkdirs == [("./video_result/",)]


def test_real_detector_marks_motion(data, workdir, tmp_path):
    engine = main.VisionEngin(cache=str(tmp_path / "cache"))
    engine.test_video(str(data / "walking.mp4"), 4, ["5000001"])
    names = os.listdir("video_result")
    frames = sorted(int(re.fullmatch(r"motion-(\d+)\.jpg", name).group(1)) for name in names)
    assert len(frames) >= 5 and all(k % 4 == 0 and 8 <= k <= 80 for k in frames)
    written = cv2.imread("video_result/motion-%d.jpg" % frames[-1]).astype(int)
    green = (written[..., 1] > 200) & (written[..., 0] < 80) & (written[..., 2] < 80)
    assert green.sum() > 50
