"""Clips and recordings over HTTP: byte ranges answered right (206 with the
very bytes, 416 for a range no byte satisfies, the whole file when several
are asked), only MP4 files under the root and behind the token, a camera's
recordings listed by hour; and the live picture's handshake between the page
and a camera (a marker in a private runtime folder, nothing under the root)."""
import os
import threading
import time
import urllib.request

import cv2
import numpy as np
import pytest

from visionengin_cli.storage import latest

pytestmark = [pytest.mark.slow, pytest.mark.timeout(60)]
CLIP = "gate/2026-12-10/06/incident-42.mp4"
SIZE = 600000  # more than two of the chunks a response is sent in


@pytest.fixture
def clip(root):
    data = os.urandom(SIZE)
    path = root.path / CLIP
    path.parent.mkdir(parents=True)
    path.write_bytes(data)
    return data


@pytest.mark.parametrize("asked, status, span", [
    (None, 200, (0, SIZE)),
    ("bytes=0-99", 206, (0, 100)),
    ("bytes=0-0", 206, (0, 1)),
    ("bytes=250000-", 206, (250000, SIZE)),
    ("bytes=-500", 206, (SIZE - 500, SIZE)),
    ("bytes=599990-9999999", 206, (599990, SIZE)),
    ("bytes=-9999999", 206, (0, SIZE)),
    (" bytes = 10-19 ", 206, (10, 20)),
    ("bytes=0-1,5-6", 200, (0, SIZE)),  # several: the whole file, as HTTP allows
    ("items=0-5", 200, (0, SIZE)),  # a unit we do not know: ignored
    ("bytes=600000-", 416, None),
    ("bytes=5-4", 416, None),
    ("bytes=-0", 416, None),
    ("bytes=abc", 416, None),
    ("bytes=-", 416, None),
])
def test_ranges(clip, client, asked, status, span):
    code, headers, body = client.get("clips/" + CLIP, {"Range": asked} if asked else {})
    assert code == status, body[:200]
    assert headers["Accept-Ranges"] == "bytes"
    if span is None:
        assert headers["Content-Range"] == "bytes */%d" % SIZE and b"%d bytes" % SIZE in body
        return
    assert body == clip[span[0]:span[1]] and headers["Content-Length"] == str(span[1] - span[0])
    assert headers["Content-Type"] == "video/mp4"
    if status == 206:
        assert headers["Content-Range"] == "bytes %d-%d/%d" % (span[0], span[1] - 1, SIZE)


def test_if_range_and_head(clip, client):
    _, first, _ = client.get("clips/" + CLIP, {"Range": "bytes=0-9"})
    assert client.get("clips/" + CLIP, {"Range": "bytes=0-9", "If-Range": first["ETag"]})[0] == 206
    code, _, body = client.get("clips/" + CLIP, {"Range": "bytes=0-9", "If-Range": '"another"'})
    assert code == 200 and body == clip  # changed since: all of it again
    request = urllib.request.Request(client.url + "clips/" + CLIP, method="HEAD")
    with urllib.request.urlopen(request, timeout=10) as response:
        assert response.status == 200 and response.headers["Content-Length"] == str(SIZE)
        assert response.read() == b""


@pytest.mark.parametrize("path, reason", [
    ("clips/../outside.mp4", "not a plain path"),
    ("clips/gate/%2e%2e/%2e%2e/outside.mp4", "not a plain path"),
    ("clips/gate/leak.mp4", "leads out"),
    ("clips/gate/rtsp_result/motion-1.jpg", "not a clip"),
    ("clips/gate/status.json", "not a clip"),
    ("clips/gate/2026-12-10/06/incident-99.mp4", "no such clip"),
])
def test_refused_clip_paths(root, clip, client, tmp_path, caplog, path, reason):
    (tmp_path / "outside.mp4").write_bytes(b"outside the results root")
    os.symlink(tmp_path / "outside.mp4", root.path / "gate" / "leak.mp4")
    status, _, body = client.get(path)
    assert status == 404 and b"outside" not in body
    assert any("refused clip path" in r.getMessage() and reason in r.getMessage() for r in caplog.records)


def test_clips_need_the_token(root, clip, serve):
    guarded = serve(root.path, token="tok-1234567890abcdef")
    assert guarded.get("clips/" + CLIP, {"Range": "bytes=0-9"})[0] == 401
    code, _, body = guarded.get("clips/" + CLIP + "?token=tok-1234567890abcdef", {"Range": "bytes=0-9"})
    assert code == 206 and body == clip[:10]


def test_recordings_by_hour(root, client):
    base = root.path / "gate" / "recordings"
    for hour, names in (("2026-12-09/23", ["235958.500000.mp4"]),
                        ("2026-12-10/06", ["061502.000000.mp4", "061500.000000.mp4", "notes.txt",
                                           "0615.mp4", "071500.000000.mp4"]),
                        ("2026-12-10/07", ["not-a-segment.mp4"]), ("junk/00", ["000000.000000.mp4"])):
        (base / hour).mkdir(parents=True)
        for name in names:
            (base / hour / name).write_bytes(b"x" * len(name))
    hours = client.json("api/cameras/gate/recordings")
    assert [h["hour"] for h in hours["hours"]] == ["2026-12-10/06", "2026-12-09/23"]
    assert hours["hours"][0]["start"] == "2026-12-10T06:00:00+00:00" and hours["hours"][0]["label"]
    segments = client.json("api/cameras/gate/recordings?hour=2026-12-10/06")["segments"]
    assert [(s["start"], s["path"], s["bytes"]) for s in segments] == [
        ("2026-12-10T06:15:00+00:00", "gate/recordings/2026-12-10/06/061500.000000.mp4", 17),
        ("2026-12-10T06:15:02+00:00", "gate/recordings/2026-12-10/06/061502.000000.mp4", 17)]
    assert client.get("clips/" + segments[0]["path"])[2] == b"x" * 17
    assert client.json("api/cameras/yard/recordings") == {"camera": "yard", "hours": []}
    for path, code, words in (("api/cameras/gate/recordings?hour=2026-12-10T06", 400, b"YYYY-MM-DD/HH"),
                              ("api/cameras/gate/recordings?hour=2026-13-10/06", 400, b"YYYY-MM-DD/HH"),
                              ("api/cameras/nobody/recordings", 404, b"no camera 'nobody'"),
                              ("api/cameras/..%2Fgate/recordings", 404, b"Not Found"),
                              ("api/cameras/.gate/recordings", 404, b"no camera")):
        status, _, body = client.get(path)
        assert status == code and words in body, (path, body)


def snapshot(path):
    return sorted((str(p), p.stat().st_mtime_ns) for p in path.rglob("*"))


def test_live_picture_handshake(root, client):
    """The page asks (a marker), the camera writes while asked and removes
    its picture once nobody asks; the page serves only a fresh one."""
    before = snapshot(root.path)
    status, headers, body = client.get("api/cameras/gate/latest.jpg")
    assert status == 404 and b"no current picture of gate yet" in body
    folder = latest.folder_for(str(root.path))
    assert (os.stat(folder).st_mode & 0o777, os.stat(os.path.dirname(folder)).st_mode & 0o777) == (0o700, 0o700)
    marker = os.path.join(folder, "gate.wanted")
    assert time.time() - os.stat(marker).st_mtime < 2
    assert not str(folder).startswith(str(root.path))
    assert client.get("api/cameras/nobody/latest.jpg")[0] == 404

    stopping = threading.Event()
    writer = latest.LatestPicture(str(root.path / "gate"), stopping)
    frames = [np.full((720, 1280, 3), shade, np.uint8) for shade in (40, 200)]
    feeding = threading.Thread(target=lambda: [writer.offer(frames[int(time.time() * 2) % 2])
                                               for _ in iter(lambda: stopping.wait(0.04), True)])
    feeding.start()
    try:
        picture = os.path.join(folder, "gate.jpg")
        deadline = time.monotonic() + 10
        while not os.path.exists(picture):
            assert time.monotonic() < deadline, "no picture written while asked"
            time.sleep(0.1)
        status, headers, body = client.get("api/cameras/gate/latest.jpg")
        assert status == 200 and headers["Content-Type"] == "image/jpeg"
        assert cv2.imdecode(np.frombuffer(body, np.uint8), cv2.IMREAD_COLOR).shape == (540, 960, 3)
        os.utime(marker, (time.time() - 60, time.time() - 60))  # nobody asks any more
        deadline = time.monotonic() + 10
        while os.path.exists(picture):
            assert time.monotonic() < deadline, "the picture outlived the asking"
            time.sleep(0.1)
        written = os.stat(marker).st_mtime
        time.sleep(2.5)
        assert not os.path.exists(picture) and os.stat(marker).st_mtime == written
    finally:
        stopping.set()
        feeding.join()
    with open(os.path.join(folder, "gate.jpg"), "wb") as stale:
        stale.write(cv2.imencode(".jpg", frames[0])[1].tobytes())
    os.utime(os.path.join(folder, "gate.jpg"), (time.time() - 60, time.time() - 60))
    assert client.get("api/cameras/gate/latest.jpg")[0] == 404  # an old picture is no current one
    assert snapshot(root.path) == before  # the page wrote nothing under the root


def test_live_pictures_refuse_a_folder_not_their_own(root, client, tmp_path, monkeypatch, caplog):
    """A runtime folder planted by someone else (here a link) is used by neither side."""
    (tmp_path / "elsewhere").mkdir()
    os.symlink(tmp_path / "elsewhere", tmp_path / "planted")
    monkeypatch.setattr(latest, "base_folder", lambda environ: str(tmp_path / "planted"))
    status, _, body = client.get("api/cameras/gate/latest.jpg")
    assert status == 503 and b"is not a folder of this user" in body
    assert os.listdir(tmp_path / "elsewhere") == []
    assert [r for r in caplog.records if "is not a folder of this user" in r.getMessage()]
    with pytest.raises(latest.Unavailable):
        latest.folder_for(str(root.path), make=False)
