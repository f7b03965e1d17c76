"""Building an engine: a failing detector is reported and ends the host with status 1;
a working one leaves the engine its detector, face component and live selection."""
import gc
import logging
import subprocess
import sys
import types

import pytest

import main


class Broken:
    def __init__(self, *args, **kwargs):
        raise ValueError("model file is corrupt")


class Faceless:
    def __init__(self, *args, **kwargs):
        pass


FAILURES = {  # how construction fails: (name, replacement or None to delete), attributes left, cause
    "detector raises": (("ObjectDetect", Broken), [], "ValueError: model file is corrupt"),
    "no face_handle": (("ObjectDetect", Faceless), ["predict"], "AttributeError"),
    "no detector class": (("ObjectDetect", None), [], "NameError: name 'ObjectDetect'"),
    "no behaviour table": (("devBehavior", None), ["predict", "face_handle"], "NameError: name 'devBehavior'"),
}


@pytest.mark.parametrize("failure", FAILURES)
def test_failed_construction_reports_and_exits_with_1(fake_sdk, monkeypatch, capsys, caplog, failure):
    (name, replacement), kept, cause = FAILURES[failure]
    monkeypatch.setattr(main, name, replacement) if replacement else monkeypatch.delattr(main, name)
    engine = main.VisionEngin.__new__(main.VisionEngin)
    with pytest.raises(SystemExit) as raised:
        engine.__init__("model.onnx", cuda=True)
    assert raised.value.code == 1 and capsys.readouterr() == ("init failed\n", "")
    [record] = caplog.records
    assert (record.name, record.levelno) == ("main", logging.ERROR)
    assert cause in logging.Formatter().format(record)
    assert list(vars(engine)) == kept
    assert failure != "no face_handle" or type(engine.predict) is Faceless


@pytest.mark.parametrize("interrupt", [KeyboardInterrupt, GeneratorExit])
def test_interrupts_pass_through_untouched(monkeypatch, capsys, caplog, interrupt):
    raised_here = interrupt("stop")

    def detector(*args, **kwargs):
        raise raised_here

    monkeypatch.setattr(main, "ObjectDetect", detector)
    with pytest.raises(interrupt) as raised:
        main.VisionEngin()
    assert raised.value is raised_here and capsys.readouterr() == ("", "") and caplog.records == []


@pytest.mark.slow
@pytest.mark.timeout(90)
def test_a_host_whose_engine_cannot_be_built_exits_with_1(tmp_path):
    host = "import main\nmain.VisionEngin(cache=None)\nprint('not reached')\n"
    done = subprocess.run([sys.executable, "-c", host], capture_output=True, text=True, timeout=60, cwd=tmp_path)
    assert (done.returncode, done.stdout) == (1, "init failed\n") and "TypeError" in done.stderr


def test_a_built_engine(engine, fake_sdk):
    assert engine.face_handle is fake_sdk.face_component and type(engine.predict) is fake_sdk.ObjectDetect
    assert type(engine.bev) is type({}.keys()) and list(engine.bev) == [str(5000001 + i) for i in range(11)]
    assert engine.adds == [] and type(engine.adds) is list and engine.adds is not main.VisionEngin().adds
    main.devBehavior["5000012"] = {"behavior_number": 5000012}
    del main.devBehavior["5000001"]
    assert list(engine.bev) == [str(5000002 + i) for i in range(11)]


@pytest.mark.timeout(120)
def test_repeated_use_leaks_nothing(monkeypatch, capsys):
    Detector = lambda *args, **kwargs: types.SimpleNamespace(face_handle=object(), kwargs=kwargs)  # noqa: E731
    monkeypatch.setattr(main, "ObjectDetect", Detector)
    monkeypatch.setattr(logging.getLogger("main"), "disabled", True)
    engine = main.VisionEngin()
    watched = [main.cfg, engine.predict.kwargs["cache"], main.devBehavior["5000001"], Detector]

    def exercise(times):
        for i in range(times):
            engine.load_cfg(engine.bev)
            main.VisionEngin(i, test=False)
            for call in (lambda: engine.register("a", "b", "c"), lambda: main.VisionEngin(nope=1)):
                with pytest.raises(TypeError):
                    call()
            main.ObjectDetect = Broken
            with pytest.raises(SystemExit):
                main.VisionEngin()
            main.ObjectDetect = Detector
        capsys.readouterr()
        gc.collect()
        return len(gc.get_objects()), [sys.getrefcount(item) for item in watched]

    objects, references = exercise(200)
    objects_after, references_after = exercise(3000)
    assert objects_after - objects < 100 and references_after == references
