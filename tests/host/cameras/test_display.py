"""What a person reads: the live table fitted to an 80-column terminal
(headings whole, the reason whole), and the log and status lines with their
time where standard error is kept in a file rather than in the journal."""
import datetime
import io
import os
import re
import signal
import subprocess
import time

import pytest
from rich.console import Console

from visionengin_cli.cameras import table

from .conftest import SCRIPT, default_sigint, free_port, toml_config, wait_for

REASON = "the camera process ended with status 1 (RuntimeError: the detector broke [see the log])"


def row(camera, state, reason=""):
    return {"camera": camera, "state": state, "reason": reason, "why": "", "fps": 12.5,
            "frames": 123456, "alarms": 789, "reconnects": 14, "restarts": 2,
            "last_alarm": "motion 29 s ago", "disk": ""}


@pytest.mark.parametrize("width", [80, 100, 160])
def test_the_table_fits_its_terminal_with_headings_and_reasons_whole(width):
    out = io.StringIO()
    console = Console(file=out, width=width, force_terminal=True, color_system=None)
    console.print(table.draw([row("gate", "streaming"), row("backyard-east", "failing", REASON)], width))
    lines = out.getvalue().splitlines()
    assert all(len(line.rstrip()) <= width for line in lines) and "…" not in out.getvalue()
    headings = lines[0].split()
    for heading in ("camera", "state", "fps", "pictures", "restarts"):
        assert heading in headings, lines[0]
    assert ("reconnects" in headings and "last" in headings) == (width >= 100)
    assert REASON in " ".join(" ".join(line.split()) for line in lines).replace("( ", "(")


@pytest.mark.slow
@pytest.mark.timeout(60)
@pytest.mark.parametrize("journal", [False, True])
def test_lines_carry_their_time_off_the_journal(tmp_path, journal):
    (tmp_path / "cameras.toml").write_text(toml_config({"gate": "rtsp://127.0.0.1:{}/x".format(free_port())}))
    with open(tmp_path / "err", "w+") as err:
        facts = os.fstat(err.fileno())
        env = dict(os.environ, JOURNAL_STREAM="{}:{}".format(facts.st_dev, facts.st_ino) if journal else "")
        process = subprocess.Popen([str(SCRIPT), "cameras", "cameras.toml", "--status-interval", "1"],
                                   cwd=str(tmp_path), stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                   stderr=err, env=env, preexec_fn=default_sigint)
        try:
            assert wait_for(lambda: (tmp_path / "err").read_text().count("visionengin: gate: ") >= 2, 30)
        finally:
            process.send_signal(signal.SIGTERM)
            assert process.wait(15) == 0
    lines = (tmp_path / "err").read_text().splitlines()
    stamp = re.compile(r"(\S+) visionengin: ")
    times = [stamp.match(line) for line in lines]
    if journal:
        assert all(line.startswith("visionengin: ") for line in lines), lines
        return
    assert all(times) and any(": running 1 camera from " in line for line in lines), lines
    for found in times:
        moment = datetime.datetime.fromisoformat(found.group(1))
        assert abs(moment.timestamp() - time.time()) < 60 and moment.utcoffset() is not None
