"""``/metrics``: the cameras' figures in the Prometheus text format, read
from the results root at scrape time by a custom collector (no state of our
own that could drift from what the camera processes report)."""
from __future__ import annotations

import time
from typing import Iterable, List, Optional

from prometheus_client import CONTENT_TYPE_LATEST, CollectorRegistry, generate_latest
from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily
from prometheus_client.metrics_core import Metric
from prometheus_client.registry import Collector

from ..states import CAMERA_STATES, STALE, STREAMING
from .fleet import FleetRoot
from .results import ResultsRoot
from .sinks import SinkCollector

CONTENT_TYPE = CONTENT_TYPE_LATEST
STATES = CAMERA_STATES + (STALE,)


class CameraCollector(Collector):
    """Per camera: frames analysed, alarm pictures by info type, restarts,
    reconnects, the state (one series per state, 1 for the current one) and
    the age of the last analysed frame; and the damaged things skipped."""

    def __init__(self, root: ResultsRoot, fleet: Optional[FleetRoot] = None) -> None:
        self.root, self.fleet = root, fleet

    def collect(self) -> Iterable[Metric]:
        if self.fleet is not None:  # a collector's root: chosen once, when the page is made
            return fleet_metrics(self.fleet)
        cameras = self.root.cameras(time.time())
        frames = CounterMetricFamily("visionengin_camera_frames_analysed",
                                     "Frames the detector analysed", labels=["camera"])
        pictures = CounterMetricFamily("visionengin_camera_alarm_pictures",
                                       "Alarm pictures written", labels=["camera", "info_type"])
        restarts = CounterMetricFamily("visionengin_camera_restarts",
                                       "Restarts of the camera's process", labels=["camera"])
        reconnects = CounterMetricFamily("visionengin_camera_reconnects",
                                         "Reconnections to the stream", labels=["camera"])
        fps = GaugeMetricFamily("visionengin_camera_analysed_fps",
                                "Frames analysed per second, recent window", labels=["camera"])
        state = GaugeMetricFamily("visionengin_camera_state",
                                  "The camera's state (1 for the current one; "
                                  "stale: its status is no longer rewritten)",
                                  labels=["camera", "state"])
        age = GaugeMetricFamily("visionengin_camera_last_frame_age_seconds",
                                "Seconds since the last analysed frame", labels=["camera"])
        up = GaugeMetricFamily("visionengin_camera_up",
                               "1 while the camera streams (frames are analysed), else 0",
                               labels=["camera"])
        hangs = CounterMetricFamily("visionengin_camera_hangs",
                                    "Camera processes found hung and killed", labels=["camera"])
        for cam in cameras:
            name = cam["camera"]
            up.add_metric([name], 1.0 if cam["state"] == STREAMING else 0.0)
            hangs.add_metric([name], cam.get("hangs", 0))
            frames.add_metric([name], cam["frames"])
            for info_type, count in sorted(cam["alarms_by_type"].items()):
                pictures.add_metric([name, info_type], count)
            restarts.add_metric([name], cam["restarts"])
            reconnects.add_metric([name], cam["reconnects"])
            fps.add_metric([name], cam["analysed_fps"])
            known = cam["state"] if cam["state"] in STATES else None
            for value in STATES + (() if known else (cam["state"],)):
                state.add_metric([name, value], 1.0 if value == cam["state"] else 0.0)
            if cam["last_frame_age"] is not None:
                age.add_metric([name], cam["last_frame_age"])
        skipped = CounterMetricFamily(
            "visionengin_web_skipped", "Damaged things the status page skipped since it started, "
            "counted at each read: unreadable status files, bad fields of a status, bad events lines",
            labels=["what"])
        for what, total in sorted(self.root.skipped.totals.items()):
            skipped.add_metric([what], total)
        full = GaugeMetricFamily("visionengin_camera_disk_full",
                                 "1 while the camera's pictures or events cannot be written "
                                 "for want of space", labels=["camera"])
        for cam in cameras:
            full.add_metric([cam["camera"]], 1.0 if cam.get("disk_full") else 0.0)
        return [frames, pictures, restarts, reconnects, fps, state, age, up, hangs, skipped, full] + self._storage()

    def _storage(self) -> List[Metric]:
        space = self.root.space()
        used = GaugeMetricFamily("visionengin_storage_used_bytes",
                                 "Bytes the pictures and event logs under the results root take")
        used.add_metric([], space["used_bytes"])
        found: List[Metric] = [used]
        if space["free_bytes"] is not None:
            found.append(GaugeMetricFamily("visionengin_storage_free_bytes",
                                           "Bytes free on the results root's file system",
                                           value=space["free_bytes"]))
        found.append(CounterMetricFamily("visionengin_storage_removed_pictures",
                                         "Pictures removed by retention", value=space["removed_pictures"]))
        if space["oldest_picture_age_seconds"] is not None:
            found.append(GaugeMetricFamily("visionengin_storage_oldest_picture_age_seconds",
                                           "Age of the oldest picture kept: how far back they reach",
                                           value=space["oldest_picture_age_seconds"]))
        return found


def fleet_metrics(fleet: FleetRoot) -> List[Metric]:
    """Over a collector's root: each device's availability and last message,
    each camera's state, labelled by device."""
    devices = fleet.devices()
    online = GaugeMetricFamily("visionengin_device_online", "1 while the device is online "
                               "(its availability, the broker's last will)", labels=["device"])
    seen = GaugeMetricFamily("visionengin_device_last_seen_age_seconds",
                             "Seconds since the device's last message", labels=["device"])
    reused = GaugeMetricFamily("visionengin_device_name_reused",
                               "1 while two processes announce this device's name", labels=["device"])
    state = GaugeMetricFamily("visionengin_camera_state", "The camera's state as its device last "
                              "told it (1 for the current one; offline: its device is)",
                              labels=["device", "camera", "state"])
    for device in devices:
        online.add_metric([device["device"]], 1.0 if device["online"] else 0.0)
        reused.add_metric([device["device"]], 1.0 if device["name_reused"] else 0.0)
        if device["last_seen_age"] is not None:
            seen.add_metric([device["device"]], device["last_seen_age"])
    for cam in fleet.cameras(devices):
        state.add_metric([cam["device"], cam["camera"], str(cam["state"])], 1.0)
    refused = CounterMetricFamily("visionengin_collector_refused", "Messages the collector refused, by "
                                  "kind (beyond a bound such as --max-devices, a fake snapshot, a bad message)",
                                  labels=["kind"])
    for kind, count in sorted(fleet.collector()["refused"].items()):
        refused.add_metric([kind], float(count))
    return [online, seen, reused, state, refused]


def registry_for(root: ResultsRoot, fleet: Optional[FleetRoot] = None) -> CollectorRegistry:
    """The page's metrics over ``root``, or over ``fleet`` for a collector's root."""
    registry = CollectorRegistry(auto_describe=False)
    registry.register(CameraCollector(root, fleet))
    registry.register(SinkCollector(root.path))
    return registry


def render(registry: CollectorRegistry) -> bytes:
    return generate_latest(registry)
