"""The web application of ``sqlglot-main serve``: Starlette routes for the
JSON API and the explorer page, over a graph file opened read-only.

What it refuses before anything is asked: a request whose Host is not the
server's own address or localhost (DNS rebinding), a method other than GET
or HEAD (405), a path that is not one of its own (404: the page's three
assets are held in memory, so no file is ever looked up by a requested
path), a query string longer than MAX_QUERY bytes (414), headers longer
than MAX_HEADERS bytes (431; uvicorn's parser drops a request line or
headers that do not arrive whole within its own bound).  Questions run on
a few worker threads, each with its own read-only connection, and one that
takes longer than ANSWER_SECONDS is interrupted (503).
"""

from __future__ import annotations

import ipaddress
import json
import sqlite3
import time
from functools import lru_cache
from importlib import resources
from typing import Any, Callable

from qarvel_lineage.serve import api

__all__ = ["make_app", "HostCheck", "ASSETS", "MAX_QUERY", "ANSWER_SECONDS", "WORKERS"]

MAX_QUERY = 16 * 1024          # bytes of query string taken
MAX_HEADERS = 16 * 1024        # bytes of headers taken
ANSWER_SECONDS = 15.0          # the longest a question may take
WORKERS = 4                    # questions answered at once; the rest wait their turn

# What the page may do: its own script and style, requests to this server only.
_PAGE_POLICY = ("default-src 'none'; script-src 'self'; style-src 'self'; connect-src 'self'; "
                "img-src 'self' data:; base-uri 'none'; form-action 'none'; "
                "frame-ancestors 'none'")
_HEADERS = {"x-content-type-options": "nosniff", "cache-control": "no-store",
            "referrer-policy": "no-referrer", "x-frame-options": "DENY"}
# Path -> (asset file, media type).
ASSETS = {"/": ("explorer.html", "text/html; charset=utf-8"),
          "/explorer.js": ("explorer.js", "text/javascript; charset=utf-8"),
          "/explorer.css": ("explorer.css", "text/css; charset=utf-8")}


@lru_cache(maxsize=None)
def _asset(name: str) -> bytes:
    return (resources.files("qarvel_lineage") / "serve" / name).read_bytes()


def _json(status: int, body: Any, extra: dict[str, str] | None = None) -> Any:
    from starlette.responses import Response

    text = json.dumps(body, ensure_ascii=False, separators=(",", ":"))
    # Safe to embed anywhere, as the page's JSON is.
    for char, escaped in (("<", "\\u003c"), (">", "\\u003e"), ("&", "\\u0026"),
                          ("\u2028", "\\u2028"), ("\u2029", "\\u2029")):
        text = text.replace(char, escaped)
    return Response(text.encode("utf-8"), status_code=status, media_type="application/json",
                    headers={**_HEADERS, **(extra or {})})


def _host_name(value: str) -> tuple[str, int | None] | None:
    """The name and port of a Host header (``[::1]:80`` included), or None."""
    value = value.strip().lower()
    port: int | None = None
    if value.startswith("["):
        end = value.find("]")
        if end < 0:
            return None
        name, rest = value[1:end], value[end + 1:]
        if rest:
            if not rest.startswith(":") or not rest[1:].isdigit():
                return None
            port = int(rest[1:])
        return name, port
    name, colon, rest = value.partition(":")
    if colon:
        if not rest.isascii() or not rest.isdigit() or len(rest) > 5:
            return None
        port = int(rest)
    return name, port


class HostCheck:
    """ASGI middleware: only requests whose Host names this server (its
    address, ``localhost``, a loopback address when it listens on one; any
    address when it listens on every interface) and its port get through."""

    def __init__(self, app: Any, host: str, port: Callable[[], int]):
        self.app = app
        self.port = port
        self.allowed = {host.lower().strip("[]"), "localhost"}
        try:
            address = ipaddress.ip_address(host.strip("[]"))
        except ValueError:
            address = None
        self.loopback = address is not None and address.is_loopback
        self.everywhere = address is not None and address.is_unspecified
        if self.loopback or host == "localhost":
            self.allowed |= {"127.0.0.1", "::1"}

    def accepts(self, header: str | None) -> bool:
        if header is None:
            return False
        found = _host_name(header)
        if found is None:
            return False
        name, port = found
        if port is not None and port != self.port():
            return False
        if name in self.allowed:
            return True
        if self.everywhere:
            # Listening everywhere, the server is reached by any of its
            # addresses; a name is still refused (it may be rebound).
            try:
                ipaddress.ip_address(name)
                return True
            except ValueError:
                return False
        return False

    async def __call__(self, scope: dict, receive: Any, send: Any) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        headers = [value for key, value in scope.get("headers", ()) if key == b"host"]
        host = headers[0].decode("latin-1") if len(headers) == 1 else None
        if not self.accepts(host):
            await _json(421, {"error": "this server answers only requests for its own "
                                       "address or localhost"})(scope, receive, send)
            return
        if scope["method"] not in ("GET", "HEAD"):
            await _json(405, {"error": "only GET is served: this server never changes "
                                       "anything"}, {"allow": "GET, HEAD"})(scope, receive, send)
            return
        if sum(len(key) + len(value) for key, value in scope.get("headers", ())) > MAX_HEADERS:
            await _json(431, {"error": f"the request's headers are longer than "
                                       f"{MAX_HEADERS:,} bytes"})(scope, receive, send)
            return
        if len(scope.get("query_string", b"")) > MAX_QUERY:
            await _json(414, {"error": f"the query is longer than {MAX_QUERY:,} bytes"})(
                scope, receive, send)
            return
        await self.app(scope, receive, send)


def make_app(path: str, host: str, port: Callable[[], int]) -> Any:
    """The application serving the graph file at ``path``, for a server
    listening on ``host`` at the port ``port()`` gives."""
    import anyio
    from starlette.applications import Starlette
    from starlette.middleware import Middleware
    from starlette.requests import Request
    from starlette.responses import Response
    from starlette.routing import Route

    graphs = api.ThreadGraphs(path)
    graphs.get()   # the file opens, or the server does not start
    limiter = anyio.CapacityLimiter(WORKERS)

    def ask(endpoint: str, items: list[tuple[str, str]]) -> tuple[int, dict]:
        graph = graphs.get()
        deadline = time.monotonic() + ANSWER_SECONDS
        graph.set_deadline(deadline)
        try:
            return api.answer(graph, endpoint, items)
        except sqlite3.OperationalError as error:
            if "interrupt" in str(error):
                return 503, {"error": f"the answer took longer than {ANSWER_SECONDS:g} s; ask "
                                      "for less (a depth, direct_only, a limit)"}
            raise
        finally:
            graph.set_deadline(None)

    async def question(request: Request) -> Response:
        endpoint = request.path_params["endpoint"]
        try:
            items = list(request.query_params.multi_items())
        except (UnicodeDecodeError, ValueError):
            return _json(400, {"error": "the query string is not UTF-8 text"})
        status, body = await anyio.to_thread.run_sync(ask, endpoint, items, limiter=limiter)
        return _json(status, body)

    async def asset(request: Request) -> Response:
        name, media = ASSETS[request.url.path]
        headers = dict(_HEADERS)
        if name.endswith(".html"):
            headers["content-security-policy"] = _PAGE_POLICY
        return Response(_asset(name), media_type=media, headers=headers)

    async def missing(request: Request, error: Exception) -> Response:
        return _json(404, {"error": "not found"})

    async def failed(request: Request, error: Exception) -> Response:
        return _json(500, {"error": "the server failed to answer this question"})

    routes = [Route(path, asset, methods=["GET"]) for path in ASSETS]
    routes.append(Route("/api/{endpoint}", question, methods=["GET"]))
    return Starlette(routes=routes, middleware=[Middleware(HostCheck, host=host, port=port)],
                     exception_handlers={404: missing, 500: failed})
