"""Event logs of months made quickly for the index's tests and benchmarks:
alarm lines of four cameras spread evenly over a span, grouped into
incidents (a start line before their first picture, an end line after
their last), written straight as rotated parts of about ``part_bytes``,
all but the newest rotated part compressed, the rest in events.jsonl. A
full scan of what was written is given for comparison."""
import datetime
import gzip
import json
import os

CAMERAS = ("gate", "yard", "door", "drive")
TYPES = ("motion", "face")
ALARM = ('{"type": "alarm", "id": "a%d", "time": "%s", "camera": "%s", "info_type": "%s", '
         '"picture": "%s/rtsp_result/%s-%d.jpg", "behavior_number": 5000001, "score": %.3f}\n')
INCIDENT = ('{"type": "%s", "id": "l%d", "incident": "i%d", "time": "%s", "camera": "%s", "info_type": "%s", '
            '"start": "%s", "end": "%s", "count": %d, "picture": "%s/rtsp_result/%s-%d.jpg"}\n')


def iso(seconds):
    return datetime.datetime.fromtimestamp(seconds, datetime.timezone.utc).isoformat()


def make_log(root, events, incidents, days, end, part_bytes=16 << 20):
    """Writes ``events`` alarm lines in ``incidents`` incidents over ``days``
    days up to ``end`` (epoch seconds) under ``root``; returns the file names."""
    os.makedirs(root, exist_ok=True)
    step = days * 86400.0 / events
    start = end - days * 86400.0
    per = max(1, events // incidents)
    names, chunk, size, n = [], [], 0, 0

    def flush(last):
        nonlocal chunk, size, n
        data = "".join(chunk).encode()
        chunk, size = [], 0
        if last:
            name = "events.jsonl"
        else:
            n += 1
            name = "events.%06d.jsonl" % n
        with open(os.path.join(root, name), "wb") as file:
            file.write(data)
        names.append(name)

    for k in range((events + per - 1) // per):
        camera, kind = CAMERAS[k % len(CAMERAS)], TYPES[(k // len(CAMERAS)) % len(TYPES)]
        first, last = k * per, min(events, (k + 1) * per) - 1
        t0, t1 = start + first * step, start + last * step
        lines = [INCIDENT % ("incident_start", 2 * k, k, iso(t0), camera, kind, iso(t0), iso(t0), 1,
                             camera, kind, first)]
        for i in range(first, last + 1):
            lines.append(ALARM % (i, iso(start + i * step), camera, kind, camera, kind, i,
                                  (i * 7919 % 1000) / 1000.0))
        lines.append(INCIDENT % ("incident_end", 2 * k + 1, k, iso(t1), camera, kind, iso(t0), iso(t1),
                                 last - first + 1, camera, kind, first + (last - first) // 2))
        chunk += lines
        size += sum(len(line) for line in lines)
        if size >= part_bytes:
            flush(False)
    flush(True)
    for name in names[:-2]:  # the newest rotated part stays plain, as rotation leaves it
        path = os.path.join(root, name)
        with open(path, "rb") as plain, gzip.open(path + ".gz", "wb", compresslevel=1) as packed:
            packed.write(plain.read())
        os.unlink(path)
    return names


def full_scan(root, since, until, camera=None):
    """The alarm events of every part with since < time <= until, newest first."""
    found = []
    for name in sorted(os.listdir(root)):
        if not name.startswith("events"):
            continue
        opener = gzip.open if name.endswith(".gz") else open
        with opener(os.path.join(root, name), "rb") as file:
            for raw in file:
                if b'"type": "alarm"' not in raw:
                    continue
                line = json.loads(raw)
                moment = datetime.datetime.fromisoformat(line["time"]).timestamp()
                if since < moment <= until and (camera is None or line["camera"] == camera):
                    found.append((moment, line["id"]))
    return [ident for _, ident in sorted(found, reverse=True)]
