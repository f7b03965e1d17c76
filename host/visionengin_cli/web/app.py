"""The status page as a Starlette application over one results root: the page
and its self-refreshing fragments, the JSON API, ``/metrics``, the alarm
pictures, the clips and recordings (in byte ranges) and the cameras' live
pictures. Read-only: nothing here writes under the root."""
from __future__ import annotations

import datetime
import hashlib
import logging
import os
import time
from typing import Any, Dict, List, Optional, Tuple
from urllib.parse import urlencode

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import (FileResponse, HTMLResponse, JSONResponse, PlainTextResponse,
                                 Response)
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles
from starlette.templating import Jinja2Templates

from ..cameras import latest
from ..fleet.layout import is_fleet_root
from . import metrics, recordings
from .fleet import FleetRoot
from .fleet_pages import page_number, split
from .gates import HostGate, TokenGate, printable
from .lists import list_query
from .parsing import Bad, parse_since, parse_time
from .ranges import file_response
from .results import ResultsRoot
from .sinks import read_sinks

log = logging.getLogger("visionengin.web")
HERE = os.path.dirname(os.path.abspath(__file__))
RECENT_ALARMS = 60
RECENT_INCIDENTS = 12
MAX_EVENTS = 1000  # a page at most; more is walked page by page
POLL_SECONDS = 2


def _local(moment: datetime.datetime, form: str) -> str:
    """``moment`` in the device's own time zone, followed by the zone's name
    (its UTC offset where the zone has no name): the one zone of the page,
    whatever the zone of the browser that shows it."""
    local = moment.astimezone()
    zone = local.strftime("%Z") or local.strftime("%z")
    return "{} {}".format(local.strftime(form), zone).encode("ascii", "backslashreplace").decode("ascii")


def _when(text: Any) -> str:
    """An event time for people: to the second today, else with the date."""
    moment = parse_time(text)
    if moment is None:
        return "?"
    if moment.astimezone().date() == datetime.datetime.now().date():
        return _local(moment, "%H:%M:%S")
    return _local(moment, "%Y-%m-%d %H:%M")


def _now() -> str:
    return _local(datetime.datetime.now(datetime.timezone.utc), "%H:%M:%S")


def _digest(html: str) -> str:
    """Names a fragment's content: the page replaces a part only when it changed
    (so pictures are not reloaded and elements stay put between updates)."""
    return hashlib.sha1(html.encode("utf-8")).hexdigest()[:16]


def create_app(root_path: str, token: Optional[str] = None, port: Optional[int] = None) -> Starlette:
    """The application over ``root_path``; ``token`` guards every request,
    and without one the Host must name the server by a loopback name and
    ``port`` (by default the port of the connection)."""
    root = ResultsRoot(root_path)
    fleet = FleetRoot(root_path)  # read when the root is a collector's (its marker file)
    fleet.skipped = root.skipped  # one count of damaged lines for /metrics
    (fleet.index if is_fleet_root(root.path) else root.index).start()  # caught up before asked
    registry = metrics.registry_for(root, fleet)
    templates = Jinja2Templates(directory=os.path.join(HERE, "templates"))
    templates.env.filters["when"] = _when
    templates.env.filters["digest"] = _digest

    def context(request: Request, alarms: bool = True) -> Dict[str, Any]:
        """What every template needs; the token a browser came with is
        carried on in the links it follows (an <img> sends no header)."""
        given = request.query_params.get("token")
        camera = request.query_params.get("camera") or ""
        info_type = request.query_params.get("info_type") or ""
        if is_fleet_root(root.path):
            return fleet_context(request, alarms)
        cameras = root.cameras()
        types = sorted({t for cam in cameras for t in cam["alarms_by_type"]} | ({info_type} - {""}))
        since, until = span(request.query_params) if alarms else (None, None)
        shown = root.events_page(RECENT_ALARMS, since, camera, info_type, until=until) if alarms else {}
        cards = root.incidents_page(RECENT_INCIDENTS, camera=camera or None) if alarms else {}
        return {"cameras": cameras, "camera": camera, "info_type": info_type, "types": types,
                "alarms": shown.get("events", []),
                "q": "?" + urlencode({"token": given}) if given and token else "",
                "poll_ms": POLL_SECONDS * 1000, "space": root.space(), "sinks": read_sinks(root.path),
                "incidents": cards.get("incidents", []),
                "alarms_note": shown.get("reason"), "incidents_note": cards.get("reason")}

    def fleet_context(request: Request, alarms: bool) -> Dict[str, Any]:
        given, params = request.query_params.get("token"), request.query_params
        device, camera, info_type = (params.get(k) or "" for k in ("device", "camera", "info_type"))
        try:
            asked = page_number(params.get("page"))
        except Bad as error:
            raise HTTPException(400, str(error)) from None
        now = time.time()
        summaries = fleet.summaries(now)
        devices = [s.device(now) for s in summaries]
        tiles, paging = split(summaries, devices, asked, device, given if given and token else None)
        cards = fleet.page("incidents", RECENT_INCIDENTS * 2, device, camera, info_type) if alarms else {}
        found = cards.get("incidents", [])
        types = sorted({str(i.get("info_type")) for i in found} | ({info_type} - {""})
                       | {t for s in summaries for t in s.types})
        return {"fleet": True, "devices": devices, "tiles": tiles, "paging": paging, "device": device,
                "camera": camera, "info_type": info_type, "types": types,
                "camera_names": sorted({n for s in summaries for n in s.camera_names}), "alarms": [],
                "q": "?" + urlencode({"token": given}) if given and token else "",
                "poll_ms": POLL_SECONDS * 1000, "sinks": [], "incidents": found,
                "incidents_note": cards.get("reason")}

    def page(request: Request) -> Response:
        values = context(request)
        return templates.TemplateResponse(request, "fleet.html" if values.get("fleet") else "index.html",
                                          values)

    def span(params: Any) -> Tuple[Optional[datetime.datetime], Optional[datetime.datetime]]:
        """``from`` and ``until`` (an incident's first and last picture), both
        included; a bad value is a 400."""
        try:
            start = parse_since(params["from"]) if params.get("from") else None
            until = parse_since(params["until"]) if params.get("until") else None
        except Bad as error:
            raise HTTPException(400, str(error).replace("since:", "from/until:")) from None
        return (start - datetime.timedelta(microseconds=1) if start is not None else None), until

    def fragment(name: str, values: Dict[str, Any]) -> Response:
        html = templates.get_template(name).render(values)
        return HTMLResponse(html, headers={"X-Digest": _digest(html), "X-Updated": _now(),
                                           "Cache-Control": "no-store"})

    def tiles(request: Request) -> Response:
        values = context(request, alarms=False)
        return fragment("_fleet_tiles.html" if values.get("fleet") else "_tiles.html", values)

    def alarms(request: Request) -> Response:
        return fragment("_alarms.html", context(request))

    def incident_cards(request: Request) -> Response:
        return fragment("_incidents.html", context(request))

    def api_status(request: Request) -> Response:
        skipped: Dict[str, int] = {}
        if is_fleet_root(root.path):
            devices = fleet.devices()
            return JSONResponse({"time": time.time(), "fleet": True, "devices": devices,
                                 "cameras": fleet.cameras(devices, request.query_params.get("device"),
                                                          skipped),
                                 "skipped": skipped, "sinks": [], "collector": fleet.collector()})
        cameras = root.cameras(skipped=skipped)
        return JSONResponse({"time": time.time(), "cameras": cameras, "skipped": skipped,
                             "storage": root.space(), "sinks": read_sinks(root.path)})

    def api_list(request: Request, what: str) -> Response:
        """A page of events or incidents: the list, ``next`` (a cursor for
        ``before=``, or for ``after=`` when walking forward; null at the
        end), ``complete`` and, when not, its ``reason``."""
        params = request.query_params
        try:
            asked = list_query(params, what[0], 100 if what == "events" else 50, MAX_EVENTS)
        except Bad as error:
            return JSONResponse({"error": str(error)}, status_code=400)
        since = None if asked.since is None else asked.since.timestamp()
        until = None if asked.until is None else asked.until.timestamp()
        if is_fleet_root(root.path):
            answer = fleet.page(what, asked.limit, params.get("device"), params.get("camera"),
                                params.get("info_type"), since, until, asked.before, asked.after)
        else:
            answer = root.index.page(what, asked.limit, since, until, None, params.get("camera") or None,
                                     params.get("info_type") or None, asked.before, asked.after)
        answer["time"] = time.time()
        if what == "incidents":
            del answer["skipped"]
        return JSONResponse(answer)

    def api_events(request: Request) -> Response:
        return api_list(request, "events")

    def api_incidents(request: Request) -> Response:
        return api_list(request, "incidents")

    def scrape(request: Request) -> Response:
        return Response(metrics.render(registry), media_type=metrics.CONTENT_TYPE)

    def picture(request: Request) -> Response:
        path = root.picture(request.path_params["path"])
        if path is None:
            return PlainTextResponse("Not Found", status_code=404)
        return FileResponse(path)

    def clip(request: Request) -> Response:
        path = root.clip(request.path_params["path"])
        if path is None:
            return PlainTextResponse("Not Found", status_code=404)
        return file_response(path, "video/mp4", request.headers)

    def api_recordings(request: Request) -> Response:
        """The hours with segments of a camera, newest first; with
        ``hour=YYYY-MM-DD/HH``, that hour's segments, oldest first."""
        name = request.path_params["name"]
        try:
            folder = recordings.camera_folder(root.path, name)
        except Bad as error:
            return JSONResponse({"error": str(error)}, status_code=404)
        hour = request.query_params.get("hour")
        try:
            if hour is None:
                found = recordings.hours(folder)
                return JSONResponse({"camera": name, "hours": labelled(found, "%Y-%m-%d %H:00")})
            found = recordings.segments(folder, name, hour)
            return JSONResponse({"camera": name, "hour": hour, "segments": labelled(found, "%H:%M:%S")})
        except Bad as error:
            return JSONResponse({"error": str(error)}, status_code=400)

    def labelled(items: List[Dict[str, Any]], form: str) -> List[Dict[str, Any]]:
        """Each item's start for people, in the device's zone as every time of the page."""
        for item in items:
            item["label"] = _local(datetime.datetime.fromisoformat(item["start"]), form)
        return items

    runtime: List[str] = []  # the live pictures' folder, once found

    def live_picture(request: Request) -> Response:
        """The camera's current picture; asking for it is what makes its
        camera write one (about a second later), for a few seconds."""
        name = request.path_params["name"]
        if is_fleet_root(root.path):
            return PlainTextResponse("live pictures are served by each device's own page\n",
                                     status_code=404)
        try:
            recordings.camera_folder(root.path, name)
        except Bad as error:
            return PlainTextResponse(str(error) + "\n", status_code=404)
        for attempt in (0, 1):
            try:
                if not runtime:
                    runtime.append(latest.folder_for(root.path))
                latest.ask(runtime[0], name)
                data = latest.read_picture(runtime[0], name)
                break
            except latest.Unavailable as error:
                root.skipped.warn("live pictures", "no live pictures: {}".format(error))  # once
                return PlainTextResponse("no live pictures: {}\n".format(error), status_code=503)
            except OSError as error:  # the folder removed under us: made again once
                runtime.clear()
                if attempt:
                    reason = "no live pictures: {}".format(error.strerror or error)
                    root.skipped.warn("live pictures", reason)
                    return PlainTextResponse(reason + "\n", status_code=503)
        if data is None:
            return PlainTextResponse(
                "no current picture of {} yet: its camera writes one about a second after it is "
                "asked, while it analyses frames and runs as the same user as this page\n".format(name),
                status_code=404,
                headers={"Cache-Control": "no-store"})
        return Response(data, media_type="image/jpeg", headers={"Cache-Control": "no-store"})

    async def http_error(request: Request, exc: Exception) -> Response:
        code = getattr(exc, "status_code", 500)
        if code == 404:
            log.warning("refused %s %s: unknown path", printable(request.method),
                        printable(request.url.path))
        return PlainTextResponse(getattr(exc, "detail", "error"), status_code=code)

    routes = [
        Route("/", page), Route("/fragments/tiles", tiles), Route("/fragments/alarms", alarms),
        Route("/fragments/incidents", incident_cards),
        Route("/api/status", api_status), Route("/api/events", api_events),
        Route("/api/incidents", api_incidents),
        Route("/metrics", scrape), Route("/pictures/{path:path}", picture),
        Route("/clips/{path:path}", clip),
        Route("/api/cameras/{name}/recordings", api_recordings),
        Route("/api/cameras/{name}/latest.jpg", live_picture),
        Mount("/static", StaticFiles(directory=os.path.join(HERE, "static")), name="static"),
    ]
    return Starlette(routes=routes, middleware=[Middleware(HostGate, token=token, port=port),
                                                Middleware(TokenGate, token=token)],
                     exception_handlers={HTTPException: http_error})
