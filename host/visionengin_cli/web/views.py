"""One interface over the two roots the page can show: a device's results root
and a collector's (``visionengin collect``). Which one a root is gets decided
once, when the application is made (``open_view``); from then on every route
asks the view, and each question has one answer that the page renders as HTML
and the API as JSON. Nothing here writes under the root."""
from __future__ import annotations

import datetime
import time
from typing import Any, Dict, List, Mapping, Optional, Tuple

from ..events.index_query import Cursor
from ..fleet.layout import is_fleet_root
from . import recordings
from .fleet import FleetRoot
from .fleet_pages import page_number, split
from ..storage.parsing import Bad, parse_since
from .results import ResultsRoot
from ..sinks.status import read_sinks

RECENT_ALARMS = 60
RECENT_INCIDENTS = 12
Params = Mapping[str, str]


def _epoch(moment: Optional[datetime.datetime]) -> Optional[float]:
    return None if moment is None else moment.timestamp()


def _span(params: Params) -> Tuple[Optional[datetime.datetime], Optional[datetime.datetime]]:
    """The page's ``from`` and ``until`` (an incident's first and last
    picture), both included; Bad for a bad value."""
    try:
        start = parse_since(params["from"]) if params.get("from") else None
        until = parse_since(params["until"]) if params.get("until") else None
    except Bad as error:
        raise Bad(str(error).replace("since:", "from/until:")) from None
    return (start - datetime.timedelta(microseconds=1) if start is not None else None), until


class RootView:
    """What the page and the API ask of a root. ``results`` reads the files
    both kinds of root serve alike (pictures, clips, a camera's folder)."""

    fleet = False
    page_template, tiles_template = "index.html", "_tiles.html"

    def __init__(self, results: ResultsRoot) -> None:
        self.results = results
        self.path = results.path
        self.fleet_root: Optional[FleetRoot] = None  # a collector's: what /metrics reads

    def start(self) -> None:
        """Brings the index up to date before the first question."""
        raise NotImplementedError

    def status(self, params: Params) -> Dict[str, Any]:
        """``/api/status`` but its time: the cameras and what they stand on."""
        raise NotImplementedError

    def listing(self, what: str, limit: int, params: Params, since: Optional[float] = None,
                until: Optional[float] = None, before: Optional[Cursor] = None,
                after: Optional[Cursor] = None) -> Dict[str, Any]:
        """A page of ``what`` ("events" or "incidents") with its cursor."""
        raise NotImplementedError

    def values(self, params: Params, alarms: bool, carried: str) -> Dict[str, Any]:
        """What the page's templates show; ``alarms`` False for the tiles
        alone, ``carried`` the query string its links carry on. Bad: a 400."""
        raise NotImplementedError

    def live_camera(self, name: str) -> str:
        """The folder of a camera whose live picture is asked; Bad: a 404."""
        raise NotImplementedError

    def camera_folder(self, name: str) -> str:
        return recordings.camera_folder(self.path, name)

    def picture(self, relative: str) -> Optional[str]:
        return self.results.picture(relative)

    def clip(self, relative: str) -> Optional[str]:
        return self.results.clip(relative)


class DeviceView(RootView):
    """A device's own results root: its cameras' status files and event log."""

    def start(self) -> None:
        self.results.index.start()

    def status(self, params: Params) -> Dict[str, Any]:
        skipped: Dict[str, int] = {}
        cameras = self.results.cameras(skipped=skipped)
        return {"cameras": cameras, "skipped": skipped, "storage": self.results.space(),
                "sinks": read_sinks(self.path)}

    def listing(self, what: str, limit: int, params: Params, since: Optional[float] = None,
                until: Optional[float] = None, before: Optional[Cursor] = None,
                after: Optional[Cursor] = None) -> Dict[str, Any]:
        return self.results.index.page(what, limit, since, until, None, params.get("camera") or None,
                                       params.get("info_type") or None, before, after)

    def values(self, params: Params, alarms: bool, carried: str) -> Dict[str, Any]:
        camera, info_type = params.get("camera") or "", params.get("info_type") or ""
        status = self.status(params)
        cameras: List[Dict[str, Any]] = status["cameras"]
        types = sorted({t for cam in cameras for t in cam["alarms_by_type"]} | ({info_type} - {""}))
        shown: Dict[str, Any] = {}
        cards: Dict[str, Any] = {}
        if alarms:
            since, until = _span(params)
            shown = self.listing("events", RECENT_ALARMS, params, _epoch(since), _epoch(until))
            cards = self.listing("incidents", RECENT_INCIDENTS, {"camera": camera})
        return {"cameras": cameras, "camera": camera, "info_type": info_type, "types": types,
                "alarms": shown.get("events", []), "q": carried, "space": status["storage"],
                "sinks": status["sinks"], "incidents": cards.get("incidents", []),
                "alarms_note": shown.get("reason"), "incidents_note": cards.get("reason")}

    def live_camera(self, name: str) -> str:
        return self.camera_folder(name)


class FleetView(RootView):
    """A collector's root: its devices, their cameras and one index over all their logs."""

    fleet = True
    page_template, tiles_template = "fleet.html", "_fleet_tiles.html"

    def __init__(self, results: ResultsRoot) -> None:
        super().__init__(results)
        self.root = self.fleet_root = FleetRoot(results.path)
        self.root.skipped = results.skipped  # one count of damaged lines for /metrics

    def start(self) -> None:
        self.root.index.start()

    def status(self, params: Params) -> Dict[str, Any]:
        skipped: Dict[str, int] = {}
        devices = self.root.devices()
        return {"fleet": True, "devices": devices,
                "cameras": self.root.cameras(devices, params.get("device"), skipped),
                "skipped": skipped, "sinks": [], "collector": self.root.collector()}

    def listing(self, what: str, limit: int, params: Params, since: Optional[float] = None,
                until: Optional[float] = None, before: Optional[Cursor] = None,
                after: Optional[Cursor] = None) -> Dict[str, Any]:
        return self.root.page(what, limit, params.get("device"), params.get("camera"),
                              params.get("info_type"), since, until, before, after)

    def values(self, params: Params, alarms: bool, carried: str) -> Dict[str, Any]:
        device, camera, info_type = (params.get(k) or "" for k in ("device", "camera", "info_type"))
        asked = page_number(params.get("page"))
        now = time.time()
        summaries = self.root.summaries(now)
        devices = [s.device(now) for s in summaries]
        token = params.get("token")
        tiles, paging = split(summaries, devices, asked, device, token if token and carried else None)
        cards = self.listing("incidents", RECENT_INCIDENTS * 2,
                             {"device": device, "camera": camera, "info_type": info_type}) if alarms else {}
        found = cards.get("incidents", [])
        types = sorted({str(i.get("info_type")) for i in found} | ({info_type} - {""})
                       | {t for s in summaries for t in s.types})
        return {"fleet": True, "devices": devices, "tiles": tiles, "paging": paging, "device": device,
                "camera": camera, "info_type": info_type, "types": types,
                "camera_names": sorted({n for s in summaries for n in s.camera_names}), "alarms": [],
                "q": carried, "sinks": [], "incidents": found,
                "incidents_note": cards.get("reason")}

    def live_camera(self, name: str) -> str:
        raise Bad("live pictures are served by each device's own page")


def open_view(path: str) -> RootView:
    """The view of ``path``: a collector's root by its marker file, else a device's."""
    results = ResultsRoot(path)
    return FleetView(results) if is_fleet_root(results.path) else DeviceView(results)
