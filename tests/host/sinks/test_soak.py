"""A soak with faults: `visionengin cameras` with three cameras under alarm
load and both sinks on (a real mosquitto and a webhook receiver), its
supervisor SIGKILLed at random moments and started again each time, then
stopped cleanly. Afterwards every alarm picture kept has exactly one event
naming it, every incident has ended, and every incident and health event of
the log reached the broker and the receiver (at least once: a kill may send
again what was delivered just before it, under the same id)."""
import collections
import fcntl
import json
import os
import random
import signal
import sys
import time

import pytest

from cameras.conftest import cameras, servers  # noqa: F401 - fixtures

from .conftest import Subscriber, broker, wait_for  # noqa: F401 - fixtures
from .test_delivery import Receiver

CAMERAS = ("gate", "yard", "shed")
KILLS = 8
TOLD = ("incident_start", "incident_end", "camera_offline", "camera_online", "camera_hung",
        "disk_full", "disk_ok")


def folders_free(root):
    """True once no camera process of a killed supervisor holds its folder."""
    for name in CAMERAS:
        path = root / name / ".lock"
        if not path.exists():
            continue
        fd = os.open(str(path), os.O_RDONLY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError:
            return False
        finally:
            os.close(fd)
    return True


@pytest.mark.long_run
@pytest.mark.skipif(sys.version_info[:2] != (3, 11),
                    reason="a soak of about 90 s of the real command: run on Python 3.11 only")
@pytest.mark.timeout(300)
def test_a_soak_with_supervisor_kills_loses_no_event_and_leaves_nothing_open(
        cameras, servers, broker, tmp_path):  # noqa: F811
    seed = int(os.environ.get("SOAK_SEED", random.randrange(1 << 30)))
    rng = random.Random(seed)
    print("soak seed: {} (SOAK_SEED={} runs it again)".format(seed, seed))
    mosquitto, receiver = broker(), Receiver()
    listener = Subscriber(mosquitto, ["visionengin/shed/events"])
    made = servers(len(CAMERAS))
    text = ('results = "results"\ndevice = "shed"\n[events]\nincident_gap = 1.5\noffline_after = 3\n'
            '[mqtt]\nhost = "127.0.0.1"\nport = {}\n[[webhooks]]\nurl = "{}"\n'.format(
                mosquitto.port, receiver.url))
    for name, server in zip(CAMERAS, made):
        text += '[cameras.{}]\naddress = "{}"\nalarm_interval = 0.3\n'.format(name, server.url)
    started, stderr = time.monotonic(), []
    try:
        for run in range(KILLS + 1):
            if run == KILLS // 3:
                made[-1].stop()  # a camera away for a while: health events among the alarms
            elif run == 2 * KILLS // 3:
                made[-1].restart()
            command = cameras(text)
            alarms = len(command.events())
            if run < KILLS and rng.random() < 0.25:  # killed while it starts
                time.sleep(rng.uniform(0.0, 3.0))
            else:  # killed at a random moment once this run has logged alarms of its own
                assert wait_for(lambda: len(command.events()) > alarms + 2, 60), \
                    "seed {}: no alarms\n{}".format(seed, command.stderr)
                # the run the camera went away in lasts until it is told offline
                time.sleep(rng.uniform(5.0 if run == KILLS // 3 else 1.0, 9.0))
            if run == KILLS:
                code, _ = command.end(signal.SIGTERM, 30)
                stderr.append(command.stderr)
                assert code == 0, "seed {}\n{}".format(seed, command.stderr)
                break
            command.proc.send_signal(signal.SIGKILL)
            command.proc.wait(10)
            stderr.append(command.stderr)
            command.close()
            assert wait_for(lambda: folders_free(command.root), 20), "seed {}".format(seed)
        lines = command.events(None)
        wanted = {e["id"] for e in lines if e.get("type") in TOLD}
        mqtt_ids = lambda: [json.loads(p)["id"] for p, _ in listener.on("visionengin/shed/events")]  # noqa: E731
        # The clean stop drains for a second; what is left goes out at once
        # from a start of the sinks alone (their outboxes, no camera run).
        after = not wanted <= set(mqtt_ids()) or not wanted <= {e["id"] for e in receiver.events}
        if after:
            from visionengin_cli.sinks import config as sinks_config
            from visionengin_cli.sinks.hub import Hub

            config = sinks_config.parse({"device": "shed", "mqtt": {"host": "127.0.0.1",
                                                                    "port": mosquitto.port},
                                         "webhooks": [{"url": receiver.url}]}, str(tmp_path))
            hub = Hub(str(command.root), config, list(CAMERAS))
            hub.start()
            try:
                wait_for(lambda: wanted <= set(mqtt_ids()) and wanted <= {e["id"] for e in receiver.events}, 30)
            finally:
                hub.stop()
        took = time.monotonic() - started
    finally:
        listener.close()
        receiver.shutdown()
        receiver.server_close()
    root = command.root
    everything = "".join(stderr)
    assert "Traceback" not in everything, "seed {}\n{}".format(seed, everything)
    pictures = collections.Counter(e["picture"] for e in lines if e.get("type") == "alarm" and "picture" in e)
    on_disk = {p.relative_to(root).as_posix() for name in CAMERAS for p in (root / name).glob("*/*/*.jpg")}
    starts = {e["incident"] for e in lines if e["type"] == "incident_start"}
    ends = collections.Counter(e["incident"] for e in lines if e["type"] == "incident_end")
    mqtt, hooks = collections.Counter(mqtt_ids()), collections.Counter(e["id"] for e in receiver.events)
    print("soak seed {}: {} kills, {:.0f} s, {} events ({} alarms, {} incidents, {} health), {} pictures "
          "on disk; mqtt {} sent ({} again), webhook {} sent ({} again){}".format(
              seed, KILLS, took, len(lines), sum(pictures.values()), len(starts),
              len(wanted) - 2 * len(starts), len(on_disk), sum(mqtt.values()),
              sum(n - 1 for n in mqtt.values()), sum(hooks.values()), sum(n - 1 for n in hooks.values()),
              "; some sent after the stop" if after else ""))
    assert len(on_disk) > 20, "seed {}".format(seed)
    assert {p for p in on_disk if pictures[p] != 1} == set(), "seed {}: pictures without exactly one event".format(seed)
    assert set(pictures) <= on_disk, "seed {}: events naming no picture".format(seed)
    assert starts and {i for i in starts if ends[i] != 1} == set(), "seed {}: incidents not ended once".format(seed)
    assert wanted - set(mqtt) == set(), "seed {}: events the broker never got".format(seed)
    assert wanted - set(hooks) == set(), "seed {}: events the receiver never got".format(seed)
