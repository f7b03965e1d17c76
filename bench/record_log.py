"""`make bench` rows for the event log (BENCH_ONLY=record_log): alarm lines
appended through ``EventLog`` as the supervisor appends them, with the flush
policy (an fdatasync at most every second and at the stop): events per
second and the process's CPU per event (the flush thread's included).
Runs on any tree's ``EventLog``, so the same rows can be taken of the code
before the flush policy (PYTHONPATH at that tree) to compare.

BENCH_RECORD_EVENTS: events per run (default 20000); BENCH_RECORD_FOLDER:
where the log is written (default: a temporary folder; give one on the
device's own disk, the flush costs what that disk costs)."""
import os
import resource
import tempfile
import time

from visionengin_cli.events.log import EventLog

EVENTS = int(os.environ.get("BENCH_RECORD_EVENTS", "20000"))


def _cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def measure(events=EVENTS, paced=0.0):
    """(events per second, CPU microseconds per event) for ``events`` lines;
    ``paced``: seconds between lines (0: as fast as they come)."""
    with tempfile.TemporaryDirectory(dir=os.environ.get("BENCH_RECORD_FOLDER")) as root:
        log = EventLog(root)
        cpu, started = _cpu(), time.perf_counter()
        for n in range(events):
            log.write("cam{}".format(n % 4), {"time": time.time(), "info_type": "MOTION",
                                             "picture": "2026-12-10/07/{:06d}.jpg".format(n),
                                             "behavior_number": 3, "score": 0.87})
            if paced:
                time.sleep(paced)
        log.close()
        wall, cpu = time.perf_counter() - started, _cpu() - cpu
    return events / wall, cpu / events * 1e6


def bench(row, log, work=None):
    rate, per_event = measure()
    row("event log: events/s, back to back ({} events)".format(EVENTS), "{:.0f}".format(rate))
    row("event log: CPU per event, back to back", "{:.1f} us".format(per_event))
    paced = max(1, EVENTS // 20)
    _, per_event = measure(paced, 0.005)
    row("event log: CPU per event, 200 events/s ({} events)".format(paced), "{:.1f} us".format(per_event))
    log("record_log: done")
