"""The one stand-in the host puts in front of a component of the engine: its
detector (``engine.predict``, called through ``main(im, cfg)``) or its face
component (``engine.face_handle``, called through ``register(im, name)``).

The tap delegates everything to the component; each call of its one method
goes through hooks: ``hide`` gives what the component sees of the picture,
``judge`` the answer the engine is to handle and its alarms (``alarms_of``
without it), ``on_answer`` hears those alarms. It counts calls and alarm
pictures and keeps the last answer and its alarms, and how long the current
call has run. The engine calls it from its own thread."""
from __future__ import annotations

import time
from typing import Any, Callable, Dict, List, Optional, Tuple

from .contract import alarms_of

Alarms = List[Dict[str, Any]]
Hide = Callable[[Any], Any]
Judge = Callable[[Any, Any], Tuple[Any, Alarms]]
OnAnswer = Callable[[Alarms], None]


class Tap:
    def __init__(self, component: Any, method: str = "main", hide: Optional[Hide] = None,
                 judge: Optional[Judge] = None, on_answer: Optional[OnAnswer] = None) -> None:
        self._component, self._method = component, method
        self.hide, self.judge, self.on_answer = hide, judge, on_answer
        self.calls = 0
        self.alarms = 0  # alarm pictures the answers asked for
        self.by_type: Dict[str, int] = {}
        self.answer: Any = None  # the last answer, as the engine got it
        self.last: Alarms = []  # its alarms
        self.call_started: Optional[float] = None  # monotonic, while a call runs
        # The engine looks the method up on the tap: an attribute of its own,
        # so the call costs no __getattr__.
        setattr(self, method, self._call)

    def _call(self, im: Any, *rest: Any) -> Any:
        self.last = []
        self.call_started = time.monotonic()
        try:
            answer = getattr(self._component, self._method)(
                im if self.hide is None else self.hide(im), *rest)
        finally:
            self.call_started = None
        if self.judge is None:
            alarms = alarms_of(answer)
        else:
            answer, alarms = self.judge(answer, im)
        self.answer, self.last = answer, alarms
        self.alarms += len(alarms)
        for alarm in alarms:
            self.by_type[alarm["info_type"]] = self.by_type.get(alarm["info_type"], 0) + 1
        self.calls += 1
        if self.on_answer is not None:
            self.on_answer(alarms)
        return answer

    def running_for(self) -> Optional[float]:
        """Seconds the current call has run, None between calls."""
        started = self.call_started
        return None if started is None else time.monotonic() - started

    def __getattr__(self, name: str) -> Any:
        try:
            component = self.__dict__["_component"]
        except KeyError:  # not set up yet (a copy being made)
            raise AttributeError(name) from None
        return getattr(component, name)
