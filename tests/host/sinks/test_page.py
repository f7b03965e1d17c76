"""The status page, its API and /metrics show each sink as its hub wrote it
(a webhook whose receiver refuses: not connected, queued, the error);
"Recent alarms" keeps to alarm pictures when incidents and health events
share the log; incidents show as cards and in /api/incidents."""
import json
import urllib.error
import urllib.request

import pytest

from visionengin_cli.sinks import config as sinks_config
from visionengin_cli.sinks.hub import Hub
from visionengin_cli.web.command import serve_in_background

from .conftest import free_port, wait_for

pytestmark = pytest.mark.slow  # starts servers or processes


def get(url):
    with urllib.request.urlopen(url, timeout=10) as answer:
        return answer.read().decode()


@pytest.mark.timeout(60)
def test_page_api_and_metrics_show_each_sink(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))  # the page's event index
    monkeypatch.delenv("STATE_DIRECTORY", raising=False)
    root = tmp_path / "results"
    root.mkdir()
    line = {"time": "2026-12-09T07:00:00+00:00", "camera": "gate", "info_type": "motion",
            "picture": "gate/rtsp_result/motion-1.jpg"}
    earlier = dict(line, time="2026-12-09T06:59:00+00:00", picture="gate/rtsp_result/motion-0.jpg")
    (root / "events.jsonl").write_text("".join(json.dumps(e) + "\n" for e in [
        dict(earlier, type="alarm", id="a0"), dict(line, type="alarm", id="a1"), dict(line, type="incident_start", id="i1", incident="x", count=3,
                                                    start=line["time"], end=line["time"]),
        {"type": "camera_offline", "id": "h1", "camera": "gate", "time": line["time"], "reason": "r"}]))
    hook = "http://127.0.0.1:{}/hook".format(free_port())  # nobody listens
    hub = Hub(str(root), sinks_config.parse({"webhooks": [{"url": hook, "secret": "k3y"}]}, str(tmp_path)),
              ["gate"])
    hub.start()
    served = serve_in_background(str(root), "127.0.0.1:{}".format(free_port()), None)
    try:
        hub.publish({"type": "incident_start", "id": "e1", "camera": "gate"})
        assert wait_for(lambda: hub.status()["sinks"][0]["last_error"], 20)
        hub.write_status()
        sink, = json.loads(get(served.url + "api/status"))["sinks"]
        assert (sink["name"], sink["kind"], sink["connected"], sink["queued"], sink["dropped"]) == \
            ("webhook-1", "webhook", False, 1, 0)
        assert "refused" in sink["last_error"].lower() and sink["target"] == hook.replace("/hook", "/...")
        page = get(served.url)
        assert 'data-sink="webhook-1"' in page and "not connected" in page
        cards = get(served.url + "fragments/incidents")
        assert cards.count('<article class="incident open">') == 1 and "3 pictures" in cards
        assert 'href="pictures/gate/rtsp_result/motion-1.jpg"' in cards and cards in page
        metrics = get(served.url + "metrics")
        assert 'visionengin_sink_queued_events{kind="webhook",sink="webhook-1"} 1.0' in metrics
        assert 'visionengin_sink_connected{kind="webhook",sink="webhook-1"} 0.0' in metrics
        answer = json.loads(get(served.url + "api/events"))
        assert [e["id"] for e in answer["events"]] == ["a1", "a0"] and not any(answer["skipped"].values())
        # An incident's button shows its pictures: from its first to its last.
        assert 'data-from="{}"'.format(line["time"]) in cards
        its = get(served.url + "fragments/alarms?camera=gate&info_type=motion&from=" + line["time"].replace("+", "%2B"))
        assert "motion-1.jpg" in its and "motion-0.jpg" not in its
        until = json.loads(get(served.url + "api/events?until=" + earlier["time"].replace("+", "%2B")))
        assert [e["id"] for e in until["events"]] == ["a0"]
        for bad in ("fragments/alarms?until=nope", "api/events?until=1e20"):
            with pytest.raises(urllib.error.HTTPError) as refused:
                get(served.url + bad)
            refused.value.close()
            assert refused.value.code == 400
        incident, = json.loads(get(served.url + "api/incidents"))["incidents"]
        assert (incident["incident"], incident["camera"], incident["open"]) == ("x", "gate", True)
        assert "k3y" not in page + metrics and "/hook" not in page
    finally:
        served.stop()
        hub.stop()
