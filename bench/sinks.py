"""`make bench` rows for the sinks, against a real mosquitto and an HTTP
receiver on 127.0.0.1: an alarm's latency from its report to an MQTT
subscriber, an incident's to a webhook, the events per second one device
sustains and the CPU each costs, and eight busy cameras with the broker away
(nothing lost, time to drain).

BENCH_SINKS_OUTAGE: seconds the broker is away (default 60).
"""
import http.server
import json
import os
import resource
import statistics
import sys
import threading
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests"))
from host.sinks.conftest import Broker, Subscriber  # noqa: E402

from visionengin_cli.cameras.events import EventLog  # noqa: E402
from visionengin_cli.events.live import LiveEvents  # noqa: E402
from visionengin_cli.sinks import config as sinks_config  # noqa: E402
from visionengin_cli.sinks.hub import Hub  # noqa: E402

OUTAGE = float(os.environ.get("BENCH_SINKS_OUTAGE", "60"))
PREFIX = "visionengin/bench"


def cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def pct(values, q):
    values = sorted(values)
    return values[min(len(values) - 1, int(q * len(values)))]


class Receiver(http.server.ThreadingHTTPServer):
    def __init__(self):
        super().__init__(("127.0.0.1", 0), Handler)
        self.arrived = {}
        threading.Thread(target=self.serve_forever, args=(0.05,), daemon=True).start()


class Handler(http.server.BaseHTTPRequestHandler):
    def log_message(self, *args):
        pass

    def do_POST(self):
        event = json.loads(self.rfile.read(int(self.headers["Content-Length"])))
        self.server.arrived[event["id"]] = time.monotonic()
        self.send_response(204)
        self.end_headers()


def hub_for(root, broker, receiver=None, alarm_events=True):
    data = {"device": "bench", "mqtt": {"host": "127.0.0.1", "port": broker.port,
                                        "alarm_events": alarm_events}}
    if receiver is not None:
        data["webhooks"] = [{"url": "http://127.0.0.1:%d/" % receiver.server_address[1],
                             "secret": "bench-secret"}]
    hub = Hub(str(root), sinks_config.parse(data, str(root)), ["cam%d" % i for i in range(8)])
    hub.start()
    return hub


def bench(row, log, work):
    work = Path(work) / "sinks"
    work.mkdir(parents=True, exist_ok=True)
    (work / "broker").mkdir()
    broker = Broker(work / "broker").start()
    received = {}
    copies = [0]

    def on_message(client, userdata, message):
        if message.topic == PREFIX + "/events":
            copies[0] += 1
            received.setdefault(json.loads(message.payload)["id"], time.monotonic())
    listener = Subscriber(broker, [PREFIX + "/events"])
    listener.client.on_message = on_message
    receiver = Receiver()
    try:
        _latency(row, log, work, broker, receiver, received)
        _throughput(row, log, work, broker, received)
        _outage(row, log, work, broker, received)
        row("sinks: repeats over all the MQTT rows (same id delivered again)", "%d" % (copies[0] - len(received)),
            note="of %d events" % len(received))
    finally:
        listener.close()
        receiver.shutdown()
        receiver.server_close()
        broker.stop()


def _latency(row, log, work, broker, receiver, received):
    root = work / "latency"
    root.mkdir()
    events = EventLog(str(root))
    hub = hub_for(root, broker, receiver)
    live = LiveEvents(events.append, hub.publish, None)
    sent = {}
    try:
        time.sleep(1.0)
        for n in range(300):  # an alarm picture as the supervisor takes its report
            at = time.monotonic()
            line = events.write("cam%d" % (n % 8), {"time": time.time(), "info_type": "motion",
                                                  "picture": "rtsp_result/motion-%d.jpg" % n})
            live.alarm(line)
            sent[line["id"]] = at
            time.sleep(0.02)
        starts = {}
        for n in range(100):
            at = time.monotonic()
            line = live.health("camera_offline", "cam0", "bench")  # one event, as an incident's
            starts[line["id"]] = at
            time.sleep(0.02)
        deadline = time.monotonic() + 30
        while time.monotonic() < deadline and not (set(sent) <= set(received)
                                                   and set(starts) <= set(receiver.arrived)):
            time.sleep(0.05)
    finally:
        hub.stop()
        events.close()
    mqtt = [(received[i] - t) * 1000 for i, t in sent.items() if i in received]
    hook = [(receiver.arrived[i] - t) * 1000 for i, t in starts.items() if i in receiver.arrived]
    row("sinks: alarm reported -> MQTT subscriber, p50 / p95 (300 at 50/s)",
        "%.1f / %.1f ms" % (statistics.median(mqtt), pct(mqtt, 0.95)), note="%d of 300 arrived" % len(mqtt))
    row("sinks: incident/health event -> webhook received, p50 / p95 (100)",
        "%.1f / %.1f ms" % (statistics.median(hook), pct(hook, 0.95)), note="%d of 100 arrived" % len(hook))


def _throughput(row, log, work, broker, received, count=5000):
    root = work / "throughput"
    root.mkdir()
    events = EventLog(str(root))
    hub = hub_for(root, broker)
    live = LiveEvents(events.append, hub.publish, None)
    ids = []
    try:
        time.sleep(1.0)
        started, cpu0 = time.monotonic(), cpu()
        for n in range(count):
            line = events.write("cam%d" % (n % 8), {"time": time.time(), "info_type": "motion",
                                                  "picture": "rtsp_result/motion-%d.jpg" % n})
            live.alarm(line)
            ids.append(line["id"])
        deadline = time.monotonic() + 120
        while time.monotonic() < deadline and not set(ids) <= set(received):
            time.sleep(0.02)
        took, used = time.monotonic() - started, cpu() - cpu0
    finally:
        hub.stop()
        events.close()
    arrived = len(set(ids) & set(received))
    row("sinks: events/s sustained to MQTT (qos 1, %d alarms, log + outbox + broker)" % count,
        "%.0f /s" % (arrived / took), note="%d of %d arrived" % (arrived, count))
    row("sinks: CPU per event (this process: log, outbox, sender, paho)",
        "%.0f us" % (used / count * 1e6))


def _outage(row, log, work, broker, received, cameras=8, rate=10.0):
    root = work / "outage"
    root.mkdir()
    events = EventLog(str(root))
    hub = hub_for(root, broker)
    live = LiveEvents(events.append, hub.publish, None)
    ids = []
    try:
        time.sleep(1.0)
        broker.stop()
        log("sinks: broker away for %.0f s, %d cameras at %.0f alarms/s each" % (OUTAGE, cameras, rate))
        end = time.monotonic() + OUTAGE
        n = 0
        while time.monotonic() < end:
            for camera in range(cameras):
                line = events.write("cam%d" % camera, {"time": time.time(), "info_type": "motion",
                                                       "picture": "rtsp_result/motion-%d.jpg" % n})
                live.alarm(line)
                ids.append(line["id"])
            n += 1
            time.sleep(1.0 / rate)
        queued = hub.status()["sinks"][0]["queued"]
        back = time.monotonic()
        broker.start()
        deadline = back + 300
        while time.monotonic() < deadline and not set(ids) <= set(received):
            time.sleep(0.05)
        drained = time.monotonic() - back
        status = hub.status()["sinks"][0]
    finally:
        hub.stop()
        events.close()
    lost = len(set(ids) - set(received))
    row("sinks: %d cameras x %.0f alarms/s, broker away %.0f s: lost / time to drain" % (
        cameras, rate, OUTAGE), "%d lost, %.1f s" % (lost, drained),
        note="%d events, %d queued at the return, %d dropped" % (len(ids), queued, status["dropped"]))
