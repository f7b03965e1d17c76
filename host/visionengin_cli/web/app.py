"""The status page as a Starlette application over one results root: the page
and its two self-refreshing fragments, the JSON API, ``/metrics`` and the
alarm pictures. Read-only: nothing here writes under the root."""
from __future__ import annotations

import datetime
import hashlib
import hmac
import logging
import os
import time
from typing import Any, Dict, Optional
from urllib.parse import urlencode

from starlette.applications import Starlette
from starlette.datastructures import Headers, QueryParams
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import (FileResponse, HTMLResponse, JSONResponse, PlainTextResponse,
                                 Response)
from starlette.routing import Mount, Route
from starlette.staticfiles import StaticFiles
from starlette.templating import Jinja2Templates

from . import metrics
from .results import ResultsRoot, parse_time

log = logging.getLogger("visionengin.web")
HERE = os.path.dirname(os.path.abspath(__file__))
RECENT_ALARMS = 60
MAX_EVENTS = 1000
POLL_SECONDS = 2


class TokenGate:
    """Every request must carry the token, as "Authorization: Bearer <token>"
    or a ``token`` query parameter; anything else gets 401."""

    def __init__(self, app: Any, token: Optional[str]) -> None:
        self.app, self.token = app, token

    def allowed(self, scope: Dict[str, Any]) -> bool:
        if not self.token:
            return True
        header = Headers(scope=scope).get("authorization", "")
        scheme, _, given = header.partition(" ")
        if scheme.lower() != "bearer" or not given.strip():
            given = QueryParams(scope.get("query_string", b"")).get("token", "")
        return hmac.compare_digest(given.strip().encode(), self.token.encode())

    async def __call__(self, scope: Dict[str, Any], receive: Any, send: Any) -> None:
        if scope["type"] == "http" and not self.allowed(scope):
            log.warning("refused %s %s: no valid token", scope.get("method"), scope.get("path"))
            response = PlainTextResponse("a valid token is needed (Authorization: Bearer "
                                         "<token>, or ?token=<token>)\n", status_code=401,
                                         headers={"WWW-Authenticate": "Bearer"})
            await response(scope, receive, send)
            return
        await self.app(scope, receive, send)


def _when(text: Any) -> str:
    """An event time for people, in UTC: to the second today, else with the date."""
    moment = parse_time(text)
    if moment is None:
        return "?"
    moment = moment.astimezone(datetime.timezone.utc)
    if moment.date() == datetime.datetime.now(datetime.timezone.utc).date():
        return moment.strftime("%H:%M:%S UTC")
    return moment.strftime("%Y-%m-%d %H:%M UTC")


def _digest(html: str) -> str:
    """Names a fragment's content: the page replaces a part only when it changed
    (so pictures are not reloaded and elements stay put between updates)."""
    return hashlib.sha1(html.encode("utf-8")).hexdigest()[:16]


def create_app(root_path: str, token: Optional[str] = None) -> Starlette:
    root = ResultsRoot(root_path)
    registry = metrics.registry_for(root)
    templates = Jinja2Templates(directory=os.path.join(HERE, "templates"))
    templates.env.filters["when"] = _when
    templates.env.filters["digest"] = _digest

    def context(request: Request, alarms: bool = True) -> Dict[str, Any]:
        """What every template needs; the token a browser came with is
        carried on in the links it follows (an <img> sends no header)."""
        given = request.query_params.get("token")
        camera = request.query_params.get("camera") or ""
        info_type = request.query_params.get("info_type") or ""
        cameras = root.cameras()
        types = sorted({t for cam in cameras for t in cam["alarms_by_type"]} | ({info_type} - {""}))
        return {"cameras": cameras, "camera": camera, "info_type": info_type, "types": types,
                "alarms": root.events(RECENT_ALARMS, camera=camera, info_type=info_type)
                if alarms else [],
                "q": "?" + urlencode({"token": given}) if given and token else "",
                "poll_ms": POLL_SECONDS * 1000, "space": root.space()}

    def page(request: Request) -> Response:
        return templates.TemplateResponse(request, "index.html", context(request))

    def fragment(name: str, values: Dict[str, Any]) -> Response:
        html = templates.get_template(name).render(values)
        return HTMLResponse(html, headers={"X-Digest": _digest(html), "Cache-Control": "no-store"})

    def tiles(request: Request) -> Response:
        return fragment("_tiles.html", context(request, alarms=False))

    def alarms(request: Request) -> Response:
        return fragment("_alarms.html", context(request))

    def api_status(request: Request) -> Response:
        return JSONResponse({"time": time.time(), "cameras": root.cameras(), "storage": root.space()})

    def api_events(request: Request) -> Response:
        params = request.query_params
        since = None
        if params.get("since"):
            since = parse_time(params["since"])
            if since is None:
                return JSONResponse({"error": "since: not an ISO 8601 time or epoch seconds"},
                                    status_code=400)
        try:
            limit = min(MAX_EVENTS, max(1, int(params.get("limit", "100"))))
        except ValueError:
            return JSONResponse({"error": "limit: not an integer"}, status_code=400)
        events = root.events(limit, since, params.get("camera"), params.get("info_type"))
        return JSONResponse({"time": time.time(), "events": events})

    def scrape(request: Request) -> Response:
        return Response(metrics.render(registry), media_type=metrics.CONTENT_TYPE)

    def picture(request: Request) -> Response:
        path = root.picture(request.path_params["path"])
        if path is None:
            return PlainTextResponse("Not Found", status_code=404)
        return FileResponse(path)

    async def http_error(request: Request, exc: Exception) -> Response:
        code = getattr(exc, "status_code", 500)
        if code == 404:
            log.warning("refused %s %s: unknown path", request.method, request.url.path)
        return PlainTextResponse(getattr(exc, "detail", "error"), status_code=code)

    routes = [
        Route("/", page), Route("/fragments/tiles", tiles), Route("/fragments/alarms", alarms),
        Route("/api/status", api_status), Route("/api/events", api_events),
        Route("/metrics", scrape), Route("/pictures/{path:path}", picture),
        Mount("/static", StaticFiles(directory=os.path.join(HERE, "static")), name="static"),
    ]
    return Starlette(routes=routes, middleware=[Middleware(TokenGate, token=token)],
                     exception_handlers={HTTPException: http_error})
