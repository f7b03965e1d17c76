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
from typing import Any, Dict, List, Optional
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

from ..storage import latest
from . import metrics, recordings
from .gates import HostGate, TokenGate, printable
from .lists import list_query
from ..storage.parsing import Bad, parse_time
from .ranges import file_response
from .views import open_view

log = logging.getLogger("visionengin.web")
HERE = os.path.dirname(os.path.abspath(__file__))
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
    view = open_view(root_path)  # a device's root or a collector's: decided here, once
    view.start()  # the index caught up before it is asked
    registry = metrics.registry_for(view.results, view.fleet_root)
    templates = Jinja2Templates(directory=os.path.join(HERE, "templates"))
    templates.env.filters["when"] = _when
    templates.env.filters["digest"] = _digest

    def values(request: Request, alarms: bool = True) -> Dict[str, Any]:
        """What the templates show; the token a browser came with is carried
        on in the links it follows (an <img> sends no header)."""
        given = request.query_params.get("token")
        carried = "?" + urlencode({"token": given}) if given and token else ""
        try:
            found = view.values(request.query_params, alarms, carried)
        except Bad as error:
            raise HTTPException(400, str(error)) from None
        found["poll_ms"] = POLL_SECONDS * 1000
        return found

    # Each route asks the view one question and renders the answer: as HTML
    # for the page and its fragments, as JSON for the API.
    def page(request: Request) -> Response:
        return templates.TemplateResponse(request, view.page_template, values(request))

    def fragment(name: str, shown: Dict[str, Any]) -> Response:
        html = templates.get_template(name).render(shown)
        return HTMLResponse(html, headers={"X-Digest": _digest(html), "X-Updated": _now(),
                                           "Cache-Control": "no-store"})

    def tiles(request: Request) -> Response:
        return fragment(view.tiles_template, values(request, alarms=False))

    def alarms(request: Request) -> Response:
        return fragment("_alarms.html", values(request))

    def incident_cards(request: Request) -> Response:
        return fragment("_incidents.html", values(request))

    def api_status(request: Request) -> Response:
        return JSONResponse(dict({"time": time.time()}, **view.status(request.query_params)))

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
        answer = view.listing(what, asked.limit, params, since, until, asked.before, asked.after)
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
        path = view.picture(request.path_params["path"])
        if path is None:
            return PlainTextResponse("Not Found", status_code=404)
        return FileResponse(path)

    def clip(request: Request) -> Response:
        path = view.clip(request.path_params["path"])
        if path is None:
            return PlainTextResponse("Not Found", status_code=404)
        return file_response(path, "video/mp4", request.headers)

    def api_recordings(request: Request) -> Response:
        """The hours with segments of a camera, newest first; with
        ``hour=YYYY-MM-DD/HH``, that hour's segments, oldest first."""
        name = request.path_params["name"]
        try:
            folder = view.camera_folder(name)
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
        try:
            view.live_camera(name)
        except Bad as error:
            return PlainTextResponse(str(error) + "\n", status_code=404)
        for attempt in (0, 1):
            try:
                if not runtime:
                    runtime.append(latest.folder_for(view.path))
                latest.ask(runtime[0], name)
                data = latest.read_picture(runtime[0], name)
                break
            except latest.Unavailable as error:
                view.results.skipped.warn("live pictures", "no live pictures: {}".format(error))  # once
                return PlainTextResponse("no live pictures: {}\n".format(error), status_code=503)
            except OSError as error:  # the folder removed under us: made again once
                runtime.clear()
                if attempt:
                    reason = "no live pictures: {}".format(error.strerror or error)
                    view.results.skipped.warn("live pictures", reason)
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
