"""A camera's zones and masks: named polygons in fractions of the frame.

A zone says where an alarm counts: an alarm none of whose boxes touches a
zone is taken out of the detector's answer before the engine draws or writes
anything for it, and one that does names the zones it touches. A mask hides
what lies under it from the detector: the detector is given a copy of the
frame with the masks painted black, while the engine draws and writes the
frame as read.

``parse`` checks the configuration's polygons (one line per mistake, naming
the zone); ``Guard`` applies them in the camera process. A camera without
zones or masks has no guard at all, so it runs exactly as before.
"""
from __future__ import annotations

import math
import re
from typing import Any, Dict, List, Mapping, Optional, Sequence, Tuple

import numpy as np

from ..engine.contract import alarms_of

MAX_POINTS = 100  # per polygon: the self-crossing check is quadratic
MAX_POLYGONS = 32  # zones, and masks, per camera
# A zone's name is part of MQTT topics and Home Assistant ids: no '/', '+',
# '#', nor '.' (which Home Assistant's ids would write as '_').
NAME = re.compile(r"^[A-Za-z0-9][A-Za-z0-9_-]{0,63}$")

Point = Tuple[float, float]
Polygon = Tuple[Point, ...]
Polygons = Tuple[Tuple[str, Polygon], ...]  # in the configuration's order


class ZoneError(ValueError):
    """A polygon that cannot be used; the message is one line."""


def parse(where: str, table: Any) -> Polygons:
    """The polygons of ``[cameras.<name>.zones]`` (or ``.masks``), checked;
    ``where`` is that table's place, e.g. "cameras.gate.zones"."""
    if not isinstance(table, dict):
        raise ZoneError("{}: must be a table of name = [[x, y], ...], got {}".format(
            where, type(table).__name__))
    if len(table) > MAX_POLYGONS:
        raise ZoneError("{}: {} polygons, at most {}".format(where, len(table), MAX_POLYGONS))
    polygons = []
    for name, points in table.items():
        place = "{}.{}".format(where, name)
        if not NAME.match(name):
            raise ZoneError("{}: the name {!r} is not usable (letters, digits, '_' and '-', "
                            "starting with a letter or digit, at most 64)".format(place, name))
        polygon = _points(place, points)
        _check_simple(place, polygon)
        polygons.append((name, polygon))
    return tuple(polygons)


def _points(place: str, points: Any) -> Polygon:
    if not isinstance(points, list):
        raise ZoneError("{}: must be a list of [x, y] points, got {}".format(
            place, type(points).__name__))
    if len(points) < 3:
        raise ZoneError("{}: {} point{}, a polygon needs at least 3".format(
            place, len(points), "" if len(points) == 1 else "s"))
    if len(points) > MAX_POINTS:
        raise ZoneError("{}: {} points, at most {}".format(place, len(points), MAX_POINTS))
    polygon = []
    for number, point in enumerate(points, 1):
        if not (isinstance(point, list) and len(point) == 2 and all(
                isinstance(v, (int, float)) and not isinstance(v, bool) for v in point)):
            raise ZoneError("{}: point {} must be [x, y], two numbers, got {!r}".format(
                place, number, point))
        x, y = float(point[0]), float(point[1])
        if not (0.0 <= x <= 1.0 and 0.0 <= y <= 1.0):  # NaN fails too
            raise ZoneError("{}: point {} {!r} is outside the frame (x and y are fractions "
                            "of it, from 0 to 1)".format(place, number, point))
        polygon.append((x, y))
    return tuple(polygon)


def _orient(a: Point, b: Point, c: Point) -> int:
    value = (b[0] - a[0]) * (c[1] - a[1]) - (b[1] - a[1]) * (c[0] - a[0])
    return (value > 0) - (value < 0)


def _within(a: Point, b: Point, c: Point) -> bool:
    """c, on the line through a and b, lies on the segment between them."""
    return min(a[0], b[0]) <= c[0] <= max(a[0], b[0]) and min(a[1], b[1]) <= c[1] <= max(a[1], b[1])


def _meet(p1: Point, p2: Point, q1: Point, q2: Point) -> bool:
    """The closed segments p1-p2 and q1-q2 have a point in common."""
    o1, o2, o3, o4 = _orient(p1, p2, q1), _orient(p1, p2, q2), _orient(q1, q2, p1), _orient(q1, q2, p2)
    if o1 != o2 and o3 != o4:
        return True
    return ((o1 == 0 and _within(p1, p2, q1)) or (o2 == 0 and _within(p1, p2, q2))
            or (o3 == 0 and _within(q1, q2, p1)) or (o4 == 0 and _within(q1, q2, p2)))


def _check_simple(place: str, polygon: Polygon) -> None:
    """Refuses a polygon that meets itself anywhere but at its corners, or
    has no area."""
    n = len(polygon)
    for i in range(n):
        a, b, c = polygon[i], polygon[(i + 1) % n], polygon[(i + 2) % n]
        if a == b:
            raise ZoneError("{}: point {} repeats point {}".format(place, (i + 1) % n + 1, i + 1))
        # two edges in a row that fold back over each other
        if _orient(a, b, c) == 0 and (a[0] - b[0]) * (c[0] - b[0]) + (a[1] - b[1]) * (c[1] - b[1]) > 0:
            raise ZoneError("{}: crosses itself (the edges meeting at point {} fold back over "
                            "each other)".format(place, (i + 1) % n + 1))
    for i in range(n):
        for j in range(i + 2, n):
            if i == 0 and j == n - 1:  # neighbours: they share point 1
                continue
            if _meet(polygon[i], polygon[i + 1], polygon[j], polygon[(j + 1) % n]):
                raise ZoneError("{}: crosses itself (the edge from point {} to {} meets the edge "
                                "from point {} to {})".format(place, i + 1, i + 2, j + 1,
                                                              (j + 1) % n + 1))
    area = sum(polygon[i][0] * polygon[(i + 1) % n][1] - polygon[(i + 1) % n][0] * polygon[i][1]
               for i in range(n))
    if area == 0.0:
        raise ZoneError("{}: has no area (its points lie on one line)".format(place))


def as_table(polygons: Polygons) -> Dict[str, List[List[float]]]:
    """JSON-ready: {name: [[x, y], ...]}, as status.json and the camera
    process's settings carry them."""
    return {name: [[x, y] for x, y in polygon] for name, polygon in polygons}


def from_table(table: Any) -> Polygons:
    """Back from ``as_table`` (settings that were checked when read)."""
    if not isinstance(table, dict):
        return ()
    return tuple((str(name), tuple((float(x), float(y)) for x, y in points))
                 for name, points in table.items())


Box = Tuple[float, float, float, float]  # x1, y1, x2, y2, x1 <= x2 and y1 <= y2
SMALL = 1024  # boxes x edges up to which plain Python beats NumPy's per-call cost


class _Zone:
    """A zone in pixels of one frame size: its corners, its bounds and, for
    many boxes at once, its edges as arrays."""

    def __init__(self, name: str, polygon: Polygon, width: int, height: int) -> None:
        self.name = name
        self.points = [(x * width, y * height) for x, y in polygon]
        self.edges = list(zip(self.points, self.points[1:] + self.points[:1]))
        xs, ys = [x for x, _ in self.points], [y for _, y in self.points]
        self.bounds = (min(xs), min(ys), max(xs), max(ys))
        starts = np.array(self.points)
        ends = np.roll(starts, -1, axis=0)
        self.ax, self.ay, self.bx, self.by = starts[:, 0], starts[:, 1], ends[:, 0], ends[:, 1]

    def touched_by(self, boxes: List[Box]) -> bool:
        """Whether a box has a point in the zone: an edge of the zone meets
        the box, or the box lies wholly inside the zone."""
        left, top, right, bottom = self.bounds
        near = [box for box in boxes if left <= box[2] and right >= box[0] and top <= box[3]
                and bottom >= box[1]]
        if not near:  # the usual alarm far from a zone: no more work
            return False
        if len(near) * len(self.edges) > SMALL:
            return self._touched_by_many(np.array(near))
        for x1, y1, x2, y2 in near:
            inside = False
            for (ax, ay), (bx, by) in self.edges:
                if min(ax, bx) <= x2 and max(ax, bx) >= x1 and min(ay, by) <= y2 \
                        and max(ay, by) >= y1:
                    # the edge's line passes through the box: corners on both sides
                    dx, dy = bx - ax, by - ay
                    offset = dx * ay - dy * ax
                    if min(dx * y1, dx * y2) - max(dy * x1, dy * x2) <= offset \
                            <= max(dx * y1, dx * y2) - min(dy * x1, dy * x2):
                        return True
                if (ay > y1) != (by > y1) and x1 < ax + (y1 - ay) * (bx - ax) / (by - ay):
                    inside = not inside  # a ray from the box's corner crosses the edge
            if inside:
                return True
        return False

    def _touched_by_many(self, boxes: "np.ndarray[Any, Any]") -> bool:
        """``touched_by`` for many boxes or edges, in arrays (boxes x edges)."""
        ax, ay, bx, by = self.ax, self.ay, self.bx, self.by
        x1, y1, x2, y2 = (boxes[:, k:k + 1] for k in range(4))
        near = (np.minimum(ax, bx) <= x2) & (np.maximum(ax, bx) >= x1) & \
            (np.minimum(ay, by) <= y2) & (np.maximum(ay, by) >= y1)
        dx, dy = bx - ax, by - ay
        offset = dx * ay - dy * ax
        low = np.minimum(dx * y1, dx * y2) - np.maximum(dy * x1, dy * x2)
        high = np.maximum(dx * y1, dx * y2) - np.minimum(dy * x1, dy * x2)
        if (near & (low <= offset) & (high >= offset)).any():
            return True
        spans = (ay > y1) != (by > y1)
        with np.errstate(divide="ignore", invalid="ignore"):
            crossings = spans & (x1 < ax + (y1 - ay) * dx / dy)
        return bool((crossings.sum(axis=1) % 2 == 1).any())


def _boxes(behaviour: Any) -> List[Box]:
    """An alarm's boxes through the centres of their first and last pixels;
    what cannot be read as a box is left out."""
    found: List[Box] = []
    result = behaviour.get("result") if hasattr(behaviour, "get") else None
    for region in result if isinstance(result, (list, tuple)) else ():
        boxes = region.get("boxes") if hasattr(region, "get") else None
        for box in boxes if isinstance(boxes, (list, tuple, np.ndarray)) else ():
            try:
                x1, y1, x2, y2 = float(box[0]), float(box[1]), float(box[2]), float(box[3])
            except (TypeError, ValueError, IndexError, KeyError):
                continue
            if math.isfinite(x1 + y1 + x2 + y2):
                found.append((min(x1, x2) + 0.5, min(y1, y2) + 0.5, max(x1, x2) + 0.5,
                              max(y1, y2) + 0.5))
    return found


class _Answer:
    """A detector's answer other than a dict, with the alarms kept: the
    engine reads an answer only through ``get``."""

    def __init__(self, answer: Any, kept: List[Any]) -> None:
        self._answer, self._kept = answer, kept

    def get(self, key: Any, default: Any = None) -> Any:
        return self._kept if key == "alarmBehavior" else self._answer.get(key, default)


class Guard:
    """Applies a camera's zones and masks around its detector's calls."""

    def __init__(self, zones: Polygons, masks: Polygons) -> None:
        import cv2  # the engine's own, already imported in a camera process

        self._cv2 = cv2
        self.zones, self.masks = zones, masks
        self._size: Optional[Tuple[int, int]] = None  # width, height the pixels are for
        self._zones: List[_Zone] = []
        self._masks: List["np.ndarray[Any, Any]"] = []

    @classmethod
    def of(cls, settings: Mapping[str, Any]) -> Optional["Guard"]:
        """The guard a camera's settings ask for; None without zones and masks."""
        zones, masks = from_table(settings.get("zones")), from_table(settings.get("masks"))
        return cls(zones, masks) if zones or masks else None

    def _fit(self, shape: Sequence[int]) -> None:
        size = (int(shape[1]), int(shape[0]))
        if size != self._size:
            width, height = size
            self._zones = [_Zone(name, polygon, width, height) for name, polygon in self.zones]
            # the pixels a mask's edges fall on are hidden too: a mask hides
            # at least what it covers
            self._masks = [np.round(np.array(polygon) * (width, height)).astype(np.int32)
                           for _, polygon in self.masks]
            self._size = size

    def hide(self, im: Any) -> Any:
        """What the detector is given: a copy of the frame with the masks
        painted black, or the frame itself without masks."""
        if not self.masks or not isinstance(im, np.ndarray) or im.ndim not in (2, 3) or not im.size:
            return im
        self._fit(im.shape)
        hidden = im.copy()
        self._cv2.fillPoly(hidden, self._masks, (0,) * (1 if im.ndim == 2 else im.shape[2]))
        return hidden

    def judge(self, answer: Any, im: Any) -> Tuple[Any, List[Dict[str, Any]]]:
        """The answer the engine is to handle, with only the alarms that touch
        a zone, and those alarms as ``alarms_of`` gives them, each with its
        "zones" (names in the configuration's order)."""
        behaviours = answer.get("alarmBehavior") if self.zones and hasattr(answer, "get") else None
        shape = getattr(im, "shape", None)
        if not behaviours or not isinstance(behaviours, (list, tuple)) or shape is None \
                or len(shape) < 2:
            return answer, alarms_of(answer)
        self._fit(shape)
        kept, named = [], []
        for behaviour in behaviours:
            boxes = _boxes(behaviour)
            names = [zone.name for zone in self._zones if boxes and zone.touched_by(boxes)]
            if names:
                kept.append(behaviour)
                named.append(names)
        if len(kept) < len(behaviours):
            answer = dict(answer, alarmBehavior=kept) if isinstance(answer, dict) \
                else _Answer(answer, kept)
        alarms = alarms_of(answer)
        # alarms of one info type share one picture (the engine writes it once
        # per alarm, under one name): each names the zones of them all
        by_type: Dict[str, List[str]] = {}
        for alarm, names in zip(alarms, named):
            by_type.setdefault(alarm["info_type"], []).extend(names)
        order = {zone.name: place for place, zone in enumerate(self._zones)}
        for alarm in alarms:
            alarm["zones"] = sorted(set(by_type[alarm["info_type"]]), key=order.__getitem__)
        return answer, alarms
