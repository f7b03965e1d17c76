"""The engine class as a host sees it: a plain class whose methods take their arguments
exactly as the same `def`s written in Python would."""
import threading
import types

import pytest

import main
from conftest import make_video

METHODS = ["__init__", "load_cfg", "test_video", "video_stream_capture", "process_frames", "test_rtsp",
           "test_pic", "register", "stop"]
INIT_DOC = """
        算法测试类

        Args:
            args: 行参
            test: 默认True
            cuda: 默认False，如果为True，则调用CUDAExecutionProvider
            activate： 默认为False，如果为True，则alarm_time设置为0，识别即推送
            cache： zo缓存模型地址
        """


class VisionEngin:
    """The engine's signatures in Python: the interpreter's own messages to compare with."""
    def __init__(self, *args, test=True, cuda=False, activate=False, cache="/home/morel/.mx/"): pass
    def load_cfg(self, bev_list): pass
    def test_video(self, addr, t=1, bev=None): pass
    def video_stream_capture(self, addr, frame_queue, mode): pass
    def process_frames(self, frame_queue, cfg, save_path): pass
    def test_rtsp(self, addr, mode=0, bev=None): pass
    def test_pic(self, addr, bev=None): pass
    def register(self, addr, name="zo"): pass
    def stop(self): pass


def test_a_plain_class(engine, fake_sdk):
    cls = main.VisionEngin
    assert (type(cls), cls.__bases__, cls.__doc__, cls.__module__, cls.__qualname__) == (
        type, (object,), None, "main", "VisionEngin")
    assert [name for name in vars(cls) if name in METHODS] == METHODS
    for name in METHODS:
        method = getattr(cls, name)
        assert (method.__name__, method.__qualname__, method.__module__) == (name, "VisionEngin." + name, "main")
        assert method.__doc__ == (INIT_DOC if name == "__init__" else None)
    assert list(vars(engine)) == ["predict", "face_handle", "bev", "adds"]
    assert isinstance(engine.load_cfg, types.MethodType) and engine.load_cfg.__self__ is engine


BAD_CALLS = [  # (method, positional, keywords) that no `def` of that signature accepts
    ("__init__", (), {"verbose": True}), ("__init__", (1,), {"cache": "c", "tests": True}), ("__init__", (), {1: 2}),
    ("load_cfg", (), {}), ("load_cfg", ([], 2), {}), ("load_cfg", (), {"bev": []}), ("load_cfg", (), {"self": 1}),
    ("load_cfg", ([],), {"bev_list": []}), ("load_cfg", (), {1: 2}), ("test_video", (), {"t": 2}),
    ("test_video", ("a", 1, None, 4), {}), ("test_video", ("a",), {"addr": "b"}), ("test_video", ("a",), {"mode": 0}),
    ("video_stream_capture", ("a",), {}), ("video_stream_capture", ("a", None, 0, 1), {}),
    ("video_stream_capture", ("a", None), {"addr": "b"}), ("process_frames", (None, {}, "p"), {"extra": 1}),
    ("test_rtsp", (), {"mode": 1}), ("test_rtsp", ("a", 0, None, 1, 2), {}), ("test_rtsp", ("a", 1), {"mode": 1}),
    ("test_pic", (), {"bev": None}), ("test_pic", ("a", None, None), {}), ("test_pic", ("a",), {"t": 1}),
    ("register", (), {}), ("register", ("a", "b", "c"), {}), ("register", ("a",), {"name": "n", "addr": "b"}),
    ("register", ("a",), {"nmae": "n"}), ("register", (), {1: 2, "addr": "a"}), ("stop", (1,), {}),
    ("stop", (), {"now": True}),
]


def error_of(function, args=(), kwargs={}):
    with pytest.raises(TypeError) as raised:
        function(*args, **kwargs)
    return str(raised.value)


@pytest.mark.parametrize("name, args, kwargs", BAD_CALLS)
def test_bad_calls_are_refused_like_python_functions(engine, fake_sdk, workdir, name, args, kwargs):
    reference, cfg_before = VisionEngin(), dict(main.cfg)
    if name == "__init__":  # through the class, as a host constructs
        assert error_of(main.VisionEngin, args, kwargs) == error_of(VisionEngin, args, kwargs)
    assert error_of(getattr(engine, name), args, kwargs) == error_of(getattr(reference, name), args, kwargs)
    assert error_of(getattr(main.VisionEngin, name), (engine, *args), kwargs) == error_of(
        getattr(VisionEngin, name), (reference, *args), kwargs)
    assert len(fake_sdk.constructions) == 1  # the engine fixture's own
    assert (fake_sdk.face_component.calls, main.cfg, list(workdir.iterdir())) == ([], cfg_before, [])


@pytest.mark.parametrize("name", METHODS)
def test_calls_through_the_class_need_the_engine(name):
    assert error_of(getattr(main.VisionEngin, name)) == error_of(getattr(VisionEngin, name))


KEYWORDS = {"test": True, "cuda": False, "activate": False, "cache": "/home/morel/.mx/"}


@pytest.mark.parametrize("args, kwargs, passed", [
    ((), {}, KEYWORDS), ((False,), {}, KEYWORDS),
    ((1, "model", None), {"cache": "/tmp/c", "test": 0}, dict(KEYWORDS, cache="/tmp/c", test=0)),
    ((), {"activate": 1, "cuda": 2, "test": 3, "cache": b"x"}, {"test": 3, "cuda": 2, "activate": 1, "cache": b"x"}),
])
def test_construction_passes_its_arguments_on(fake_sdk, args, kwargs, passed):
    main.VisionEngin(*args, **kwargs)
    main.VisionEngin(*args, **kwargs)
    (first_args, first), (_, second) = fake_sdk.constructions
    assert type(first_args) is tuple and first_args == args and list(first.items()) == list(passed.items())
    assert all(first[key] is kwargs.get(key, second[key]) for key in first)  # defaults made once


@pytest.mark.timeout(30)
def test_default_arguments_of_the_entry_points(engine, fake_sdk, workdir, data, monkeypatch, capsys):
    engine.test_video(make_video(workdir / "four.avi", frames=4))  # t=1: every frame, bev=None: every row
    assert [round(im.mean() / 10) for im, _, _ in fake_sdk.detect_calls] == [1, 2, 3, 4]
    assert fake_sdk.detect_calls[0][2] == list(main.devBehavior.values())
    engine.register(str(data / "astronaut.jpg"))
    assert [name for _, name in fake_sdk.face_component.calls] == ["zo"]
    started = []
    monkeypatch.setattr(main, "threading", types.SimpleNamespace(Lock=threading.Lock, Thread=lambda target, args:
                        types.SimpleNamespace(start=lambda: started.append((target.__name__, args)), join=lambda: 0)))
    engine.test_rtsp("rtsp://camera")
    [(capture, (addr, _, mode)), (process, (_, cfg, _))] = started
    assert (capture, addr, mode, process, cfg, len(cfg["devBehavior"])) == (
        "video_stream_capture", "rtsp://camera", 0, "process_frames", main.cfg, 11)
