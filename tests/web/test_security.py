"""Safe by default: only pictures under the root are served (traversal,
symlinks leading out and unknown paths get 404 and a log line), a token
guards every request when one is set or the address is not loopback, and the
command itself starts, refuses what it cannot serve and stops on a signal."""
import os
import re
import signal
import subprocess
import sys
from pathlib import Path

import pytest
from children import default_sigint

from visionengin_cli.web.command import token_for

from .conftest import Client

SCRIPT = Path(sys.executable).parent / "visionengin"
SECRET = b"outside the results root"
pytestmark = pytest.mark.timeout(60)


@pytest.fixture
def outside(root, tmp_path):
    """A picture and a folder outside the root, each reached by a symlink."""
    (tmp_path / "away").mkdir()
    for target in (tmp_path / "outside.jpg", tmp_path / "away" / "x.jpg"):
        target.write_bytes(SECRET)
    os.symlink(tmp_path / "outside.jpg", root.path / "gate" / "rtsp_result" / "leak.jpg")
    os.symlink(tmp_path / "away", root.path / "gate" / "away")
    os.symlink("motion-1.jpg", root.path / "gate" / "rtsp_result" / "latest.jpg")


@pytest.mark.parametrize("path, reason", [
    ("pictures/../outside.jpg", "not a plain path"),
    ("pictures/gate/%2e%2e/%2e%2e/outside.jpg", "not a plain path"),
    ("pictures/%2Foutside.jpg", "not a plain path"),
    ("pictures/gate/rtsp_result/leak.jpg", "leads out"),
    ("pictures/gate/away/x.jpg", "leads out"),
    ("pictures/gate/status.json", "not a picture"),
    ("pictures/gate/rtsp_result/motion-99.jpg", "no such picture"),
    ("static/%2e%2e/app.py", "unknown path"),
    ("admin", "unknown path"),
])
def test_refused_paths(root, outside, client, caplog, path, reason):
    status, _, body = client.get(path)
    assert status == 404 and SECRET not in body and b"import" not in body
    assert any("refused" in r.getMessage() and reason in r.getMessage() for r in caplog.records)


def test_symlink_within_root_is_served(root, outside, client):
    status, headers, body = client.get("pictures/gate/rtsp_result/latest.jpg")
    assert status == 200 and headers["Content-Type"] == "image/jpeg"
    assert body == (root.path / "gate" / "rtsp_result" / "motion-1.jpg").read_bytes()


def test_token_on_every_request(root, serve, caplog):
    client = serve(root.path, token="tok-9")
    paths = ("", "fragments/tiles", "api/status", "api/events", "metrics", "static/page.js",
             "pictures/gate/rtsp_result/motion-1.jpg")
    for path in paths:
        sep = "&" if "?" in path else "?"
        assert client.get(path)[0] == 401
        assert client.get(path + sep + "token=tok-90")[0] == 401
        assert client.get(path, {"Authorization": "Bearer tok-"})[0] == 401
        assert client.get(path + sep + "token=tok-9")[0] == 200
        assert client.get(path, {"Authorization": "Bearer tok-9"})[0] == 200
    status, headers, _ = client.get("metrics")
    assert status == 401 and headers["WWW-Authenticate"] == "Bearer"
    assert not any("tok-9" in r.getMessage() for r in caplog.records)


@pytest.mark.parametrize("host", ["0.0.0.0", "192.0.2.1", "::"])
def test_other_addresses_get_a_token_printed_once(host, capsys):
    token = token_for(host, 8080, None)
    printed = capsys.readouterr().out
    assert len(token) >= 30 and printed.count(token) == 1
    assert token_for(host, 8080, "mine") == "mine" and capsys.readouterr().out == ""


@pytest.mark.parametrize("host", ["127.0.0.1", "::1", "localhost"])
def test_loopback_needs_no_token(host, capsys):
    assert token_for(host, 8080, None) is None and capsys.readouterr().out == ""


def test_command(root, client):
    """`visionengin serve` answers, refuses a port in use, stops on Ctrl-C."""
    busy = client.url.rstrip("/").rsplit(":", 1)[1]
    refused = subprocess.run([str(SCRIPT), "serve", str(root.path), "--listen", "127.0.0.1:" + busy],
                             capture_output=True, text=True, timeout=30)
    assert refused.returncode == 1
    assert re.fullmatch(r"visionengin: error: cannot listen on 127\.0\.0\.1:\d+: .*\n", refused.stderr)
    missing = subprocess.run([str(SCRIPT), "serve", str(root.path / "nope")],
                             capture_output=True, text=True, timeout=30)
    assert (missing.returncode, missing.stderr.count("\n")) == (1, 1)

    with subprocess.Popen([str(SCRIPT), "serve", str(root.path), "--listen", "127.0.0.1:0"],
                          stderr=subprocess.PIPE, text=True, preexec_fn=default_sigint) as proc:
        try:
            url = re.search(r" at (http://127\.0\.0\.1:\d+/) ", proc.stderr.readline()).group(1)
            cameras = Client(url).json("api/status")["cameras"]
            assert [c["camera"] for c in cameras] == ["gate", "yard"]
        finally:
            proc.send_signal(signal.SIGINT)
            assert proc.wait(30) == 130
        assert proc.stderr.read().splitlines()[-1] == "visionengin: interrupted"
