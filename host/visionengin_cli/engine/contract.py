"""What the engine says and writes, as the host reads it: its own lines on
standard output, the names of its alarm pictures, the alarms of a detector
answer and the frame items of its live workers. Imports nothing of the engine,
so any part of the host may use it."""
from __future__ import annotations

import os
from typing import Any, Dict, List, Optional, Tuple

# Lines the engine prints to sys.stdout.
INIT_FAILED = "init failed"   # its detector could not be set up; it then calls exit(1)
RESTART = "rtsp restart..."   # a failed read: the capture is opened again
WAIT = "wait..."              # no frame for 5 s
LIVE_LINES = (RESTART, WAIT)  # those of a live run

# The folders the engine's entry points write their pictures to.
PIC_RESULT, VIDEO_RESULT, RTSP_RESULT = "pic_result", "video_result", "rtsp_result"


def picture_file(info_type: str, n: Optional[int] = None, extension: str = ".jpg") -> str:
    """The file name the engine gives an alarm picture: ``<info type>-<n>.jpg``
    with a frame number (video and live runs), ``<info type>.jpg`` without
    (a picture)."""
    return "{}{}{}".format(info_type, "" if n is None else "-{}".format(n), extension)


def parse_picture_file(name: str) -> Optional[Tuple[str, int]]:
    """(info type, frame number) of a name ``<info type>-<n>.<ext>`` (a path's
    folders left out); None for any other name. An info type may hold "-"."""
    stem = os.path.splitext(os.path.basename(name))[0]
    info_type, _, n = stem.rpartition("-")
    if not info_type or not (n.isascii() and n.isdigit()):  # int() takes what isdigit() says
        return None
    return info_type, int(n)


def picture_type(name: str) -> str:
    """The info type of any picture the engine writes: ``<info type>-<n>``
    or ``<info type>`` (a picture's)."""
    parsed = parse_picture_file(name)
    return parsed[0] if parsed is not None else os.path.splitext(os.path.basename(name))[0]


def _info_type(behaviour: Any) -> str:
    try:
        info_type = behaviour.get("alarm_info_dict").get("info_type")
    except AttributeError:
        return "?"
    return info_type if isinstance(info_type, str) else repr(info_type)


def alarms_of(answer: Any) -> List[Dict[str, Any]]:
    """The alarm pictures one detector answer makes, as the engine reads it
    (through ``get``): info type, and behaviour number and score where given."""
    behaviours = answer.get("alarmBehavior") if hasattr(answer, "get") else None
    if not isinstance(behaviours, (list, tuple)):  # never consume what the engine will read
        return []
    found = []
    for behaviour in behaviours:
        alarm: Dict[str, Any] = {"info_type": _info_type(behaviour)}
        if hasattr(behaviour, "get"):
            info = behaviour.get("alarm_info_dict")
            for key in ("behavior_number", "score"):
                value = behaviour.get(key)
                if value is None and key == "score" and hasattr(info, "get"):
                    value = info.get(key)
                if isinstance(value, (int, float)) and not isinstance(value, bool):
                    alarm[key] = value
        found.append(alarm)
    return found


def is_frame_item(item: Any) -> bool:
    """Whether a queue item of the live workers is a frame: (read counter n, picture)."""
    return type(item) is tuple and len(item) == 2 and isinstance(item[0], int)
