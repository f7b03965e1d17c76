"""`visionengin cameras` as a service runs it: the installed command in its own
process, standard error a pipe (plain status lines), real RTSP servers on
127.0.0.1 and the stand-in SDK."""
import json
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2]))
from children import default_sigint  # noqa: E402
from rtsp_server import RtspServer, free_port, require_rtsp  # noqa: E402

SCRIPT = pathlib.Path(sys.executable).parent / "visionengin"
SECRET = "s3cret-pw"
# Detectors a configuration can name ("module:Class"), written beside it.
DETECTORS = '''
import time

class Broken:
    face_handle = None

    def __init__(self, *args, **kwargs):
        pass

    def main(self, im, cfg):
        raise RuntimeError("the detector broke")

class Hanging:
    face_handle = None

    def __init__(self, *args, **kwargs):
        pass

    def main(self, im, cfg):
        time.sleep(3600)
'''


def wait_for(predicate, timeout=30.0):
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(0.1)


def toml_config(cameras, results="results"):
    """cameras: {name: address or {key: value}}."""
    lines = ['results = "{}"'.format(results)]
    for name, table in cameras.items():
        table = {"address": table} if isinstance(table, str) else table
        lines.append("[cameras.{}]".format(name))
        lines += ["{} = {}".format(key, json.dumps(value)) for key, value in table.items()]
    return "\n".join(lines) + "\n"


def with_secret(url):
    return url.replace("rtsp://", "rtsp://viewer:{}@".format(SECRET))


class Command:
    """One `visionengin cameras` process and everything it wrote to stderr."""

    def __init__(self, folder, *args):
        self.folder, self.root = folder, folder / "results"
        self.proc = subprocess.Popen([str(SCRIPT), "cameras", "--status-interval", "1", *args],
                                     cwd=str(folder), stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                     preexec_fn=default_sigint)
        self.lines, self.out = [], ""
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()

    def _read(self):
        for line in self.proc.stderr:
            self.lines.append(line)

    @property
    def stderr(self):
        return "".join(self.lines)

    def status(self, camera):
        try:
            return json.loads((self.root / camera / "status.json").read_text())
        except (OSError, ValueError):
            return {}

    def wait_status(self, camera, timeout=30.0, **want):
        """The camera's status once every key of want is satisfied (a value, or
        a predicate on the value); fails with the last status seen."""
        def ok():
            status = self.status(camera)
            return status and all(v(status.get(k)) if callable(v) else status.get(k) == v
                                  for k, v in want.items()) and status
        status = wait_for(ok, timeout)
        assert status, "{}: {} not reached; last {}\n{}".format(camera, want, self.status(camera), self.stderr)
        return status

    def events(self):
        path = self.root / "events.jsonl"
        return [json.loads(line) for line in path.read_text().splitlines()] if path.exists() else []

    def end(self, signum=signal.SIGTERM, timeout=15.0):
        """Send signum; returns (exit status, seconds until the command ended)."""
        started = time.monotonic()
        self.proc.send_signal(signum)
        status = self.proc.wait(timeout)
        took = time.monotonic() - started
        self.out = self.proc.stdout.read()
        self.reader.join(5)
        self.close()
        return status, took

    def close(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        self.reader.join(5)
        self.proc.stdout.close()
        self.proc.stderr.close()


@pytest.fixture
def cameras(tmp_path):
    """cameras(config_text, *args) starts the command on tmp_path/cameras.toml;
    every command still running at the end is killed."""
    require_rtsp()
    (tmp_path / "detectors.py").write_text(DETECTORS)
    started = []

    def start(text, *args):
        (tmp_path / "cameras.toml").write_text(text)
        started.append(Command(tmp_path, "cameras.toml", *args))
        return started[-1]

    yield start
    for command in started:
        command.close()


@pytest.fixture
def servers():
    """servers(n): n small RTSP servers (320x240, 25 fps), stopped at the end."""
    made = []

    def start(n):
        for _ in range(n):
            made.append(RtspServer(width=320, height=240).start())
        return made[-n:]

    yield start
    for server in made:
        server.stop()


__all__ = ["free_port", "toml_config", "wait_for", "with_secret", "SECRET"]
