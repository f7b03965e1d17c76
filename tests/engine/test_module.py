"""Importing `main`: collaborators in order, the failures that abort the import, the
built-ins it keeps, and the two process-wide tables."""
import builtins
import os
import subprocess
import sys
import textwrap

import pytest

import main

MODULES = ["os", "cv2", "queue", "threading", "copy"]
BUILDER = "kavex.object_detection.models.builder"


def run_python(code, *options, kavex=None, draw_roi=True):
    """`code` in a fresh interpreter; `kavex` is a folder for a minimal SDK put first on the path."""
    files = {"models/builder": "class ObjectDetect:\n    pass\n", "__init__": "", "../__init__": "",
             "models/__init__": "", "utils/__init__": "", "utils/base_utils": "def draw_roi(img, roi):\n    pass\n"
             if draw_roi else ""}
    for name, text in files.items() if kavex else ():
        path = kavex / "kavex/object_detection" / (name + ".py")
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    env = dict(os.environ, PYTHONPATH=str(kavex or ""), PYTHONIOENCODING="utf-8")
    return subprocess.run([sys.executable, *options, "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=60).stdout


@pytest.mark.slow
@pytest.mark.timeout(90)
@pytest.mark.parametrize("first", range(7))
def test_collaborators_are_imported_in_order(tmp_path, first):
    """Every collaborator from `first` on blocked (at 6: an SDK without draw_roi): the import stops there."""
    blocked = (MODULES + [BUILDER])[first:]
    out = run_python(f"""
        import sys, cv2
        sys.modules.update(dict.fromkeys({blocked!r}))
        try:
            import main
        except ImportError as error:
            print(type(error).__name__, error, sys.modules.get({BUILDER!r}) is not None, "main" in sys.modules)
    """, kavex=tmp_path, draw_roi=bool(blocked))
    assert out == (f"ModuleNotFoundError import of {blocked[0]} halted; None in sys.modules False False\n"
                   if blocked else "ImportError cannot import name draw_roi True False\n")


@pytest.mark.slow
@pytest.mark.timeout(90)
def test_attributes_are_bound_in_order():
    out = run_python("import main; print(*[name for name in vars(main) if not name.startswith('__')])")
    assert out.split() == MODULES + ["ObjectDetect", "draw_roi", "cfg", "devBehavior", "VisionEngin"]
    from kavex.object_detection.models.builder import ObjectDetect
    from kavex.object_detection.utils.base_utils import draw_roi
    assert [getattr(main, name) for name in MODULES] == [sys.modules[name] for name in MODULES]
    assert (main.ObjectDetect, main.draw_roi) == (ObjectDetect, draw_roi)


@pytest.mark.slow
@pytest.mark.timeout(90)
@pytest.mark.parametrize("missing, options", [("exit", ["-S"]), ("print", []), ("enumerate", [])])
def test_a_missing_builtin_fails_the_import(missing, options):
    out = run_python(f"""
        import builtins, sys
        sys.path.insert(0, {os.path.dirname(main.__file__)!r})
        vars(builtins).pop({missing!r}, None)  # -S: no site, no exit
        try:
            import main
        except NameError as error:
            sys.stdout.write(str(error))
    """, *options)
    assert out == f"name '{missing}' is not defined"


def test_print_and_exit_are_those_of_import_time(fake_sdk, monkeypatch, capsys):
    replaced = []
    monkeypatch.setattr(builtins, "print", lambda *a, **k: replaced.append(a))
    monkeypatch.setattr(builtins, "exit", replaced.append)
    fake_sdk.ObjectDetect.__init__ = lambda self, *a, **k: 1 / 0
    with pytest.raises(SystemExit) as raised:
        main.VisionEngin()
    assert (raised.value.code, capsys.readouterr().out) == (1, "init failed\n")
    assert ("init failed",) not in replaced and 1 not in replaced  # (logging prints its traceback)


def test_device_configuration():
    assert list(main.cfg.items()) == [
        ("devId", "000001"), ("devName", "zo测试摄像头"), ("filterTypeisNight", 0), ("isBlur", 0),
        ("isDuplicate", 0), ("isIncrease", 0), ("isIntegrate", 0), ("moveThreshold", None)]
    assert [type(value) for value in main.cfg.values()] == [str, str] + [int] * 5 + [type(None)]


def test_behaviour_table():
    assert list(main.devBehavior) == [str(5000001 + i) for i in range(11)]
    for key, row in main.devBehavior.items():
        threshold, alarm_num = {"5000002": (0.3, 0), "5000010": (0.5, 2)}.get(key, (0.5, 0))
        assert list(row.items()) == [("behavior_number", int(key)), ("behavior_threshold", threshold),
                                     ("alarm_num", alarm_num), ("alarm_time", 0)]
        assert [type(value) for value in row.values()] == [int, float, int, int]
    with pytest.raises(KeyError):
        main.devBehavior[5000001]

