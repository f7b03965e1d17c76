"""How each sink (MQTT, webhooks) fares (``sinks.status``), as /metrics tells it."""
from __future__ import annotations

from typing import Iterable

from prometheus_client.core import CounterMetricFamily, GaugeMetricFamily
from prometheus_client.metrics_core import Metric
from prometheus_client.registry import Collector

from ..sinks.status import read_sinks


class SinkCollector(Collector):
    """Per sink: connected (1/0), events queued, delivered and dropped."""

    def __init__(self, root: str) -> None:
        self.root = root

    def collect(self) -> Iterable[Metric]:
        labels = ["sink", "kind"]
        up = GaugeMetricFamily("visionengin_sink_connected", "1 while the sink's receiver answers", labels=labels)
        queued = GaugeMetricFamily("visionengin_sink_queued_events", "Events waiting in the sink's outbox",
                                   labels=labels)
        delivered = CounterMetricFamily("visionengin_sink_delivered_events", "Events the sink delivered",
                                        labels=labels)
        dropped = CounterMetricFamily("visionengin_sink_dropped_events",
                                      "Events dropped undelivered from a full outbox", labels=labels)
        for sink in read_sinks(self.root):
            key = [sink["name"], sink["kind"]]
            up.add_metric(key, 1.0 if sink["connected"] else 0.0)
            queued.add_metric(key, sink["queued"])
            delivered.add_metric(key, sink["delivered"])
            dropped.add_metric(key, sink["dropped"])
        return [up, queued, delivered, dropped]
