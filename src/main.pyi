# Type information for the extension module `main` (PEP 561), installed next
# to it. Written for CPython 3.8 and later: typing-module generics only.
import queue as _queue
from types import ModuleType
from typing import Any, Callable, Dict, Iterable, KeysView, List, Optional, Union

os: ModuleType
cv2: ModuleType
queue: ModuleType
threading: ModuleType
copy: ModuleType

# The detector class and the region-drawing function of the detection SDK
# (kavex.object_detection); a host may put its own in their place.
ObjectDetect: Callable[..., Any]
draw_roi: Callable[[Any, Any], Any]

# The process-wide device configuration, handed to the detector with every
# picture; load_cfg() writes "devBehavior" (the selected rows) and "devId".
cfg: Dict[str, Any]
# The behaviour table: rows keyed "5000001" to "5000011", each with
# "behavior_number", "behavior_threshold", "alarm_num" and "alarm_time".
devBehavior: Dict[str, Dict[str, Union[int, float]]]

class VisionEngin:
    predict: Any
    face_handle: Any
    bev: KeysView[str]
    adds: List[Any]
    def __init__(
        self,
        *args: Any,
        test: bool = ...,
        cuda: bool = ...,
        activate: bool = ...,
        cache: str = ...,
    ) -> None: ...
    def load_cfg(self, bev_list: Iterable[str]) -> Dict[str, Any]: ...
    def test_video(self, addr: Any, t: Any = ..., bev: Optional[Iterable[str]] = ...) -> None: ...
    def video_stream_capture(self, addr: Any, frame_queue: _queue.Queue[Any], mode: Any) -> None: ...
    def process_frames(
        self, frame_queue: _queue.Queue[Any], cfg: Dict[str, Any], save_path: str
    ) -> None: ...
    def test_rtsp(self, addr: Any, mode: Any = ..., bev: Optional[Iterable[str]] = ...) -> None: ...
    def test_pic(self, addr: Any, bev: Optional[Iterable[str]] = ...) -> None: ...
    def register(self, addr: Any, name: Any = ...) -> None: ...
    def stop(self) -> None: ...
