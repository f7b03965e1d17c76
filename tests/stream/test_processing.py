"""The processing worker, called directly and inside test_rtsp: file names with the
frame counter, task_done, "wait...", and a failing worker ending the whole run."""
import os
import queue
import threading
import time

import cv2
import numpy as np
import pytest

import main
from conftest import alarm

from .conftest import wait_for

SAVE = "./rtsp_result/"
FRAME = np.zeros((20, 30, 3), np.uint8)


@pytest.fixture
def acked(cams, workdir):
    """(queue, events): the engine's imwrite paths and task_done calls, in order."""
    os.mkdir(SAVE)
    q, events = queue.Queue(maxsize=1), []
    cams.cv2.imwrite = lambda path, im: events.append(path) or cv2.imwrite(path, im)
    q.task_done = lambda: events.append("task_done") or queue.Queue.task_done(q)
    return q, events


@pytest.mark.timeout(20)
@pytest.mark.parametrize("answer, written", [
    ({"alarmBehavior": [alarm("T")]}, ["T-7.jpg"]), ({"alarmBehavior": [alarm("T"), alarm("U")]}, ["T-7.jpg", "U-7.jpg"]),
    ({"alarmBehavior": []}, []), ({"alarmBehavior": None}, []), ({}, [])])
def test_one_item_gives_its_pictures_then_one_task_done(engine, fake_sdk, acked, background, answer, written):
    q, events = acked
    fake_sdk.answer = answer
    background(engine.process_frames, q, main.cfg, SAVE)
    q.put((7, FRAME))
    q.join()  # returns at the task_done
    assert events == [SAVE + "/" + name for name in written] + ["task_done"]
    assert sorted(os.listdir(SAVE)) == written
    assert [call[1] for call in fake_sdk.detect_calls] == [main.cfg]


@pytest.mark.timeout(20)
@pytest.mark.parametrize("item, info, error", [
    ((1, FRAME, 3), "T", ValueError), ((FRAME,), "T", ValueError), ((1, FRAME), 5, TypeError)])
def test_bad_item_or_info_type_propagates_from_a_direct_call(engine, fake_sdk, acked, item, info, error):
    q, events = acked
    fake_sdk.answer = {"alarmBehavior": [alarm(info)]}
    q.put(item)
    with pytest.raises(error):
        engine.process_frames(q, main.cfg, SAVE)
    assert "task_done" not in events and q.unfinished_tasks == 1


@pytest.mark.timeout(30)
def test_says_wait_after_five_idle_seconds_and_stops_at_once(engine, fake_sdk, background, capsys):
    run = background(engine.process_frames, queue.Queue(maxsize=1), main.cfg, SAVE)
    time.sleep(3.5)
    assert capsys.readouterr().out == ""
    assert wait_for(lambda: capsys.readouterr().out == "wait...\n", 5)
    time.sleep(1)  # now inside the next 5 s get
    assert run.stop() < 2
    assert fake_sdk.detect_calls == [] and capsys.readouterr().out == "" and run.error is None


@pytest.mark.timeout(30)
@pytest.mark.parametrize("where", ["detector", "read"])
def test_a_failing_worker_ends_the_run_and_its_error_is_raised(engine, fake_sdk, cams, workdir, monkeypatch,
                                                               capsys, where):
    boom, reported = RuntimeError("boom in the " + where), []
    monkeypatch.setattr(threading, "excepthook", reported.append)  # "Exception in thread ..."
    cams.fake(error=boom if where == "read" else None)

    def detector(im, cfg):
        raise boom
    fake_sdk.answer = detector if where == "detector" else fake_sdk.answer
    before = set(threading.enumerate())
    with pytest.raises(RuntimeError) as raised:
        engine.test_rtsp("cam")
    assert raised.value is boom and set(threading.enumerate()) <= before  # both workers ended
    assert reported == [] and "Exception in thread" not in capsys.readouterr().err
    assert all(c.released for c in cams.opened) if where == "detector" else len(cams.opened) == 1
    assert list(engine.__dict__) == ["predict", "face_handle", "bev", "adds"]


@pytest.mark.timeout(20)
@pytest.mark.parametrize("fails", [False, True])
def test_stop_during_detection_leaves_the_callers_queue_as_it_was(engine, fake_sdk, workdir, fails):
    """Stopped while the detector runs, the worker takes back the wake-up item it
    was not there to receive, also when the detector then raises: the caller's queue
    is empty, with only the failed frame's task open."""
    def slow(im, cfg):
        time.sleep(0.3)
        if fails:
            raise ValueError("detector failed")
        return {"alarmBehavior": []}
    fake_sdk.answer = slow
    q, raised = queue.Queue(maxsize=1), []

    def work():
        try:
            engine.process_frames(q, main.cfg, SAVE)
        except ValueError as error:
            raised.append(error)
    worker = threading.Thread(target=work)
    worker.start()
    q.put((1, FRAME))
    assert wait_for(lambda: fake_sdk.detect_calls, 5)
    engine.stop()
    worker.join(5)
    assert not worker.is_alive() and len(raised) == int(fails)
    assert q.qsize() == 0 and q.unfinished_tasks == int(fails)


class InterruptedWakeUp(queue.Queue):
    def put_nowait(self, item):
        if not isinstance(item, tuple):
            raise KeyboardInterrupt
        super().put_nowait(item)


@pytest.mark.timeout(20)
def test_keyboard_interrupt_in_the_wake_up_reaches_the_caller_of_stop(engine, fake_sdk, workdir):
    q = InterruptedWakeUp(maxsize=1)
    worker = threading.Thread(target=engine.process_frames, args=(q, main.cfg, SAVE))
    worker.start()
    time.sleep(0.2)  # the worker waits for a frame
    with pytest.raises(KeyboardInterrupt):
        engine.stop()
    q.put((1, FRAME))  # the stopped worker takes it and leaves
    worker.join(5)
    assert not worker.is_alive() and not fake_sdk.detect_calls
