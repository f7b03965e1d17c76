"""Retention with the real command on a small tmpfs: three busy cameras
never take the root past max_size nor its file system past min_free, and
the oldest pictures are the ones that go."""
import json
import os
import time

import pytest

from .conftest import one_interpreter, toml_config, wait_for

MB = 1000 * 1000


def used_by_pictures_and_events(root):
    total = 0
    for folder, _, names in os.walk(root):
        for name in names:
            if name.endswith((".jpg", ".jsonl", ".gz")) and "rtsp_result" not in folder:
                try:
                    total += os.stat(os.path.join(folder, name)).st_size
                except FileNotFoundError:  # removed while we looked
                    pass
    return total


@pytest.mark.slow
@one_interpreter
@pytest.mark.timeout(180)
@pytest.mark.parametrize("limit", ["max_size", "min_free"])
def test_limits_hold_while_three_cameras_run(cameras, servers, small_disk, limit):
    disk = small_disk(8)
    names = ["gate", "yard", "door"]
    made = servers(len(names))  # a server per camera, as the owner test explains
    text = toml_config({name: server.url for name, server in zip(names, made)}, results=str(disk))
    text = text.replace("[cameras.", "[storage]\n{} = \"{}\"\n[cameras.".format(
        limit, "2 MB" if limit == "max_size" else "6 MB"), 1)
    command = cameras(text)
    command.root = disk
    for name in names:
        command.wait_status(name, 90, state="streaming")
    stat = os.statvfs(disk)
    # min_free: also the blocks of status files, ledgers and folders, and the
    # pictures written between two passes (a few)
    most = 2 * MB if limit == "max_size" else stat.f_blocks * stat.f_frsize - 6 * MB + 128 * 1024
    worst = 0
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        if limit == "max_size":
            worst = max(worst, used_by_pictures_and_events(disk))
        else:
            stat = os.statvfs(disk)
            worst = max(worst, (stat.f_blocks - stat.f_bavail) * stat.f_frsize)
        time.sleep(0.1)
    statuses = {name: command.status(name) for name in names}
    code, _ = command.end()
    assert code == 0, command.stderr
    assert worst <= most, (worst, most, command.stderr)
    removed = sum(json.loads((disk / name / "ledger.json").read_text())["removed"] for name in names)
    assert removed > 0 and all(s["alarms"] > removed / 10 and not s["disk_full"]
                               for s in statuses.values()), (removed, statuses)
    kept = {name: sorted(p.relative_to(disk).as_posix() for p in (disk / name).glob("*/*/*.jpg"))
            for name in names}
    gone = set()
    for name in names:  # what is left is the newest: every picture after the first kept one
        told = [e["picture"] for e in command.events() if e["camera"] == name]
        assert kept[name] and told[-len(kept[name]):] == kept[name]
        gone.update(told[:-len(kept[name])])
    # and across the cameras: in the hour written to, all that went is older than all that is left
    hour = max(path.split("/", 1)[1].rpartition("/")[0] for path in sum(kept.values(), []))

    def times(paths):
        return [path.rpartition("/")[2][:13] for path in paths if path.split("/", 1)[1].startswith(hour + "/")]
    assert max(times(gone), default="") < min(times(sum(kept.values(), []))), kept


@pytest.mark.parametrize("limit", ["max_size", "recordings_max_age"])
def test_segments_and_clips_go_oldest_first_with_the_pictures(tmp_path, limit):
    """Hours of pictures (with a clip) and of segments, three, two, one and
    no hours old: max_size takes the oldest two whatever they hold;
    recordings_max_age takes old segments and leaves the pictures."""
    from visionengin_cli.storage.layout import hour_key
    from visionengin_cli.storage.ledger import Ledger
    from visionengin_cli.storage.recordings import segment_ledger
    from visionengin_cli.storage.retention import Retention
    from visionengin_cli.storage.settings import Storage
    from visionengin_cli.storage.space import report

    now = time.time()
    folder = tmp_path / "gate"
    hours = {ago: hour_key(now - ago * 3600) for ago in range(4)}
    for ago, under in ((3, ""), (2, "recordings/"), (1, ""), (0, "recordings/")):
        hour = folder / (under + hours[ago])
        hour.mkdir(parents=True)
        for n in range(3):
            name = "{}0{}00.000000{}".format(hours[ago][-2:], n, ".mp4" if under else "-motion-1.jpg")
            (hour / name).write_bytes(b"x" * (MB // 10))
        if not under:
            (hour / "incident-ab12.mp4").write_bytes(b"x" * (MB // 10))
    storage = Storage(max_size=0.75 * MB) if limit == "max_size" else Storage(recordings_max_age=3600)
    retention = Retention(str(tmp_path), storage)
    retention.own("gate", Ledger(str(folder), "gate").load())
    retention.own("gate/recordings", segment_ledger(str(folder), "gate").load())
    retention.run_pass(now)
    left = {path.relative_to(folder).parent.as_posix() for path in folder.rglob("*.*")
            if path.name != "ledger.json"}
    if limit == "max_size":  # 1.4 MB held: the two oldest hours go
        assert left == {hours[1], "recordings/" + hours[0]}
    else:
        assert left == {hours[3], hours[1], "recordings/" + hours[0]}
    space = report(str(tmp_path), now)  # as the page tells it: the segments left among the bytes used
    assert space["recordings_bytes"] == 3 * (MB // 10)
    assert space["used_bytes"] == sum(p.stat().st_size for p in folder.rglob("*.*") if p.name != "ledger.json")
