"""`make bench` rows for the fleet: synthetic devices (a load generator
publishing the devices' real message shapes, not the engine) into a real
mosquitto on 127.0.0.1, and one `visionengin collect` draining them: the
events per second it keeps up with, its CPU per 1,000 events and its memory,
for 1, 100 and 1,000 devices of 4 cameras; and mosquitto's own throughput
with a subscriber that only counts, the figure for when a site needs a
bridge or a cluster; and the collector's tick (what it does under its lock
twice a second) with 10 and 3,000 devices, one of them talking.

BENCH_FLEET_EVENTS: events per run (default 3000); BENCH_FLEET_DEVICES:
device counts (default 1,100,1000).
"""
import json
import os
import signal
import subprocess
import sys
import threading
import time
import uuid
from pathlib import Path

import psutil

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from host.sinks.conftest import Broker  # noqa: E402

EVENTS = int(os.environ.get("BENCH_FLEET_EVENTS", "3000"))
DEVICES = [int(n) for n in os.environ.get("BENCH_FLEET_DEVICES", "1,100,1000").split(",")]
CAMERAS = 4
COLLECT = Path(sys.executable).parent / "visionengin"
PICTURE = (Path(__file__).resolve().parents[1] / "tests" / "data" / "fruits.jpg")


def client(port, name):
    import paho.mqtt.client as paho
    from paho.mqtt.enums import CallbackAPIVersion

    made = paho.Client(CallbackAPIVersion.VERSION2, client_id=name, protocol=paho.MQTTv311,
                       clean_session=True)
    made.max_inflight_messages_set(200)
    made.max_queued_messages_set(0)
    made.connect("127.0.0.1", port, keepalive=60)
    made.loop_start()
    return made


def broker(work):
    folder = Path(work) / "fleet-broker-{}".format(uuid.uuid4().hex[:6])
    folder.mkdir()
    made = Broker(folder)
    # What the README asks of a fleet's broker: a deep queue for an absent collector.
    made.conf.write_text(made.conf.read_text() + "max_queued_messages 1000000\nmax_inflight_messages 100\n")
    return made.start()


def shapes(devices, picture):
    """(topic, payload, retain) per event, cycling over devices and cameras:
    an incident's start and end, each with its snapshot and ON/OFF, and a
    health event, as a device's MQTT sink sends them."""
    instances = {d: uuid.uuid4().hex for d in range(devices)}
    n = 0
    while True:
        device, camera = n % devices, "cam{}".format((n // devices) % CAMERAS)
        prefix, kind = "visionengin/dev{}".format(device), ("incident_start", "incident_end", "camera_online")[n % 3]
        line = {"type": kind, "id": uuid.uuid4().hex, "time": "2026-12-09T08:00:00+00:00",
                "camera": camera, "instance": instances[device]}
        if kind == "camera_online":
            line["reason"] = "frames again"
            yield [(prefix + "/events", json.dumps(line).encode(), False)]
        else:
            line.update({"incident": "inc{}x{}".format(device, n // 3), "info_type": "motion",
                         "start": line["time"], "end": line["time"], "count": 3,
                         "picture": camera + "/rtsp_result/motion-1.jpg", "score": 0.9})
            yield [(prefix + "/events", json.dumps(line).encode(), False),
                   ("{}/{}/motion/snapshot".format(prefix, camera), picture, True),
                   ("{}/{}/motion".format(prefix, camera), b"ON" if kind == "incident_start" else b"OFF", True)]
        n += 1


def announce(publisher, devices):
    for d in range(devices):
        prefix = "visionengin/dev{}".format(d)
        publisher.publish(prefix + "/availability", b"online", qos=1, retain=True)
        publisher.publish(prefix + "/instance", json.dumps({"instance": uuid.uuid4().hex, "client_id": prefix,
                                                            "host": "bench", "pid": d}).encode(), qos=0, retain=True)
        for c in range(CAMERAS):
            publisher.publish("{}/cam{}/state".format(prefix, c), b'{"state": "streaming", "reason": null, '
                              b'"online": true}', qos=1, retain=True)


def written(root):
    total = 0
    for events in Path(root).glob("*/events.jsonl"):
        with open(events, "rb") as file:
            total += file.read().count(b"\n")
    return total


def run_collector(work, mq, devices, picture, log):
    root = Path(work) / "fleet-{}".format(devices)
    command = [str(COLLECT), "collect", "--broker", "127.0.0.1:{}".format(mq.port), "--results", str(root),
               "--client-id", "bench-collector-{}".format(devices)]
    collector = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
    try:
        proc = psutil.Process(collector.pid)
        deadline = time.monotonic() + 30
        while not (root / "fleet.json").exists() and time.monotonic() < deadline:
            time.sleep(0.1)
        time.sleep(1.0)  # subscribed
        publisher = client(mq.port, "bench-devices")
        announce(publisher, devices)
        deadline = time.monotonic() + 300  # the devices' states taken in before the clock starts
        while len(list(root.glob("*/device.json"))) < devices and time.monotonic() < deadline:
            time.sleep(0.5)
        time.sleep(2.0)
        baseline = written(root)
        cpu0 = sum(proc.cpu_times()[:2])
        started = time.monotonic()
        messages = 0
        generator = shapes(devices, picture)
        infos = []
        for _ in range(EVENTS):
            for topic, payload, retain in next(generator):
                infos.append(publisher.publish(topic, payload, qos=1, retain=retain))
                messages += 1
        published = time.monotonic() - started
        deadline = time.monotonic() + 600
        while written(root) - baseline < EVENTS and time.monotonic() < deadline:
            time.sleep(0.5)
        took = time.monotonic() - started
        got = written(root) - baseline
        cpu = sum(proc.cpu_times()[:2]) - cpu0
        rss = proc.memory_info().rss
        publisher.disconnect()
        publisher.loop_stop()
        log("fleet: %d devices: %d of %d events in %.1f s (published in %.1f s)" % (
            devices, got, EVENTS, took, published))
        return got, took, messages, cpu, rss
    finally:
        collector.send_signal(signal.SIGTERM)
        try:
            collector.wait(20)
        except subprocess.TimeoutExpired:
            collector.kill()
            collector.wait()


def broker_throughput(mq, picture, count=20000):
    """Messages/s through mosquitto at QoS 1 to one subscriber that only
    counts, in the collector's mix of shapes, and the broker's CPU for them."""
    got = [0]
    done = threading.Event()

    def on_message(client, userdata, message):
        got[0] += 1
        if got[0] >= count:
            done.set()

    import paho.mqtt.client as paho
    from paho.mqtt.enums import CallbackAPIVersion

    counter = paho.Client(CallbackAPIVersion.VERSION2, client_id="bench-count", protocol=paho.MQTTv311)
    counter.on_message = on_message
    counter.connect("127.0.0.1", mq.port)
    counter.subscribe("load/#", qos=1)
    counter.loop_start()
    time.sleep(0.5)
    broker_proc = psutil.Process(mq.proc.pid)
    cpu0 = sum(broker_proc.cpu_times()[:2])
    publishers = [client(mq.port, "bench-load-{}".format(n)) for n in range(2)]
    generator = shapes(1000, picture)
    started = time.monotonic()
    sent = 0
    while sent < count:
        for topic, payload, retain in next(generator):
            publishers[sent % 2].publish("load/" + topic, payload, qos=1, retain=False)
            sent += 1
    done.wait(300)
    took = time.monotonic() - started
    cpu = sum(broker_proc.cpu_times()[:2]) - cpu0
    for each in publishers + [counter]:
        each.disconnect()
        each.loop_stop()
    return got[0], took, cpu


def tick_cost(work, devices, ticks=40):
    """The median seconds of a store's tick, in-process, with ``devices``
    known and one heartbeat between two ticks."""
    from visionengin_cli.fleet.limits import Limits
    from visionengin_cli.fleet.store import Store

    store = Store(str(Path(work) / "ticks-{}".format(devices)), Limits(max_devices=devices))
    beat = lambda d: json.dumps({"instance": "i%d" % d, "client_id": "c%d" % d,  # noqa: E731
                                 "time": "2026-12-09T08:00:00+00:00"}).encode()
    for d in range(devices):
        store.availability("dev%d" % d, b"online", False, lambda: None)
        store.instance("dev%d" % d, beat(d), False, lambda: None)
    store.tick(final=True)
    took = []
    for n in range(ticks):
        store.instance("dev%d" % (n % devices), beat(n % devices), False, lambda: None)
        started = time.perf_counter()
        store.tick()
        took.append(time.perf_counter() - started)
    store.close()
    return sorted(took)[len(took) // 2]


def bench(row, log, work):
    for devices in (10, 3000):
        row("fleet: collector tick under its lock, %d devices, one talking (median of 40)" % devices,
            "%.2f ms" % (tick_cost(work, devices) * 1000))
    picture = PICTURE.read_bytes()
    for devices in DEVICES:
        mq = broker(work)
        try:
            got, took, messages, cpu, rss = run_collector(work, mq, devices, picture, log)
        finally:
            mq.stop()
        row("fleet: collector, %d device%s x %d cameras: events/s kept (%d events, %d messages)" % (
            devices, "" if devices == 1 else "s", CAMERAS, got, messages),
            "%.0f" % (got / took), note="incl. %d pictures of %d KB" % (got * 2 // 3, len(picture) // 1024))
        row("fleet: collector CPU per 1,000 events / memory (%d devices)" % devices,
            "%.2f s / %.0f MB" % (cpu / max(1, got) * 1000, rss / 1e6))
    mq = broker(work)
    try:
        got, took, cpu = broker_throughput(mq, picture)
    finally:
        mq.stop()
    per = cpu / max(1, got)
    row("fleet: mosquitto alone, QoS 1 messages/s to one counting subscriber (%d)" % got,
        "%.0f" % (got / took), note="its CPU %.3f s per 1,000 messages: about %.0f messages/s a core" % (
            per * 1000, 1 / per if per else 0))


if __name__ == "__main__":
    import tempfile

    def row(measure, value, plain="", ratio="", note=""):
        print(" | ".join(str(x) for x in (measure, value, note)), flush=True)

    def log(*args):
        print("bench:", *args, file=sys.stderr, flush=True)

    bench(row, log, tempfile.mkdtemp(prefix="bench-fleet-"))
