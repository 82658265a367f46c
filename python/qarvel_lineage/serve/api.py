"""The JSON API over a stored graph, as data: each question's parameters
checked, asked of the graph and answered as (HTTP status, JSON body).

    /api/search?q=TEXT[&limit=N]
    /api/upstream?column=NAME[&depth=N][&direct_only=1][&limit=N]   (and /api/downstream)
    /api/impact?column=NAME[&direct_only=1][&limit=N]
    /api/paths?source=A&target=B[&direct_only=1][&limit=N]
    /api/column?name=NAME
    /api/table?name=NAME

A name that means several columns is 409 with its candidates, one that
means none 404, a parameter that is missing, repeated, unknown, too long or
malformed 400.  Every answer is bounded (``limit``, with a ceiling) and says
when it was cut (``truncated``).
"""

from __future__ import annotations

import threading
from typing import Any, Callable, Iterable

from qarvel_lineage.graph import Edge, Graph

__all__ = ["ENDPOINTS", "BadRequest", "ThreadGraphs", "answer", "LIMITS", "MAX_TEXT"]

MAX_TEXT = 2000          # the longest name or search text taken
MAX_DEPTH = 10_000
CANDIDATES_SHOWN = 200
# Each answer's default and ceiling of what it holds.
LIMITS = {"search": (20, 200), "walk": (2000, 20_000), "impact": (1000, 10_000),
          "paths": (100, 1000)}
_TRUE, _FALSE = ("1", "true", "yes", "on"), ("0", "false", "no", "off", "")


class BadRequest(Exception):
    """A question that cannot be asked as it stands: ``status`` and the body."""

    def __init__(self, status: int, body: dict[str, Any]):
        super().__init__(body.get("error", ""))
        self.status, self.body = status, body


class ThreadGraphs:
    """One read-only connection to the graph file per thread that asks."""

    def __init__(self, path: str):
        self.path = path
        self.local = threading.local()

    def get(self) -> Graph:
        graph = getattr(self.local, "graph", None)
        if graph is None:
            graph = self.local.graph = Graph.open(self.path, readonly=True)
        return graph


class _Params:
    """The query's parameters: each known name at most once, none unknown."""

    def __init__(self, items: Iterable[tuple[str, str]], known: tuple[str, ...]):
        self.values: dict[str, str] = {}
        for key, value in items:
            if key not in known:
                raise BadRequest(400, {"error": f"unknown parameter {key[:100]!r}; this question "
                                                f"takes {', '.join(known)}"})
            if key in self.values:
                raise BadRequest(400, {"error": f"{key} is given more than once"})
            self.values[key] = value

    def text(self, key: str, required: bool = True) -> str | None:
        value = self.values.get(key)
        if value is None or not value.strip():
            if required:
                raise BadRequest(400, {"error": f"{key} is required"})
            return None
        if len(value) > MAX_TEXT:
            raise BadRequest(400, {"error": f"{key} is longer than {MAX_TEXT:,} characters"})
        if "\x00" in value:
            raise BadRequest(400, {"error": f"{key} holds a NUL character"})
        return value

    def number(self, key: str, default: int | None, ceiling: int) -> int | None:
        value = self.values.get(key)
        if value is None or value == "":
            return default
        text = value.strip()
        if not (text.isascii() and text.isdigit()) or len(text) > 9 or int(text) < 1:
            raise BadRequest(400, {"error": f"{key} must be a whole number from 1 to "
                                            f"{ceiling:,}, not {value[:40]!r}"})
        return min(int(text), ceiling)

    def flag(self, key: str) -> bool:
        value = self.values.get(key)
        if value is None:
            return False
        if value.strip().lower() in _TRUE:
            return True
        if value.strip().lower() in _FALSE:
            return False
        raise BadRequest(400, {"error": f"{key} must be 1 or 0 (true or false), "
                                        f"not {value[:40]!r}"})


def _one(graph: Graph, name: str, kind: str = "column") -> str:
    """The one column (or table) ``name`` means, as shown; 404 or 409 otherwise."""
    found = graph.matches(name, kind)
    if len(found) == 1:
        return found[0]
    if not found:
        raise BadRequest(404, {"error": f"no {kind} {name[:200]!r} in the graph"})
    body: dict[str, Any] = {"error": f"{name[:200]!r} names {len(found):,} {kind}s; "
                                     "ask again with one of the candidates",
                            "candidates": found[:CANDIDATES_SHOWN]}
    if len(found) > CANDIDATES_SHOWN:
        body["more_candidates"] = len(found) - CANDIDATES_SHOWN
    raise BadRequest(409, body)


def _edge(edge: Edge) -> dict[str, Any]:
    return {"source": edge.source, "target": edge.target, "type": edge.type,
            "subtype": edge.subtype, "statement": edge.statement, "depth": edge.depth}


def _nodes(graph: Graph, shown: Iterable[str], direct_only: bool) -> dict[str, dict[str, Any]]:
    """Each column's table, own name and number of edges each way, for a
    page to group columns into tables and to offer what can open further."""
    wanted = list(dict.fromkeys(shown))
    places = graph.places(wanted)
    counts = graph.degrees(wanted, direct_only)
    return {name: {"table": places[name][0], "name": places[name][1],
                   "up": counts.get(name, (0, 0))[0], "down": counts.get(name, (0, 0))[1]}
            for name in wanted if name in places}


def _search(graph: Graph, params: _Params) -> dict[str, Any]:
    text = params.text("q")
    assert text is not None
    limit = params.number("limit", *LIMITS["search"])
    found, total = graph.search(text, limit or 1)
    return {"query": text, "results": [match._asdict() for match in found], "total": total,
            "truncated": total > len(found)}


def _walk(way: str) -> Callable[[Graph, _Params], dict[str, Any]]:
    def ask(graph: Graph, params: _Params) -> dict[str, Any]:
        column = _one(graph, params.text("column") or "")
        depth = params.number("depth", None, MAX_DEPTH)
        direct_only = params.flag("direct_only")
        limit = params.number("limit", *LIMITS["walk"])
        assert limit is not None
        edges = (graph.upstream if way == "upstream" else graph.downstream)(
            column, depth=depth, direct_only=direct_only, limit=limit)
        kept = edges[:limit]
        return {"column": column, "direction": way, "depth": depth, "direct_only": direct_only,
                "edges": [_edge(edge) for edge in kept],
                "nodes": _nodes(graph, [column, *(e.source for e in kept),
                                        *(e.target for e in kept)], direct_only),
                "truncated": len(edges) > limit}
    return ask


def _impact(graph: Graph, params: _Params) -> dict[str, Any]:
    column = _one(graph, params.text("column") or "")
    direct_only = params.flag("direct_only")
    limit = params.number("limit", *LIMITS["impact"])
    assert limit is not None
    found = graph.impact(column, direct_only=direct_only)
    ordered = sorted(found.items(), key=lambda item: (len(item[1]), item[0]))
    return {"column": column, "direct_only": direct_only,
            "impacted": [{"column": name, "depth": len(path), "path": [_edge(e) for e in path]}
                         for name, path in ordered[:limit]],
            "total": len(found), "truncated": len(found) > limit}


def _paths(graph: Graph, params: _Params) -> dict[str, Any]:
    source = _one(graph, params.text("source") or "")
    target = _one(graph, params.text("target") or "")
    direct_only = params.flag("direct_only")
    limit = params.number("limit", *LIMITS["paths"])
    assert limit is not None
    found = graph.paths(source, target, limit=limit + 1, direct_only=direct_only)
    return {"source": source, "target": target, "direct_only": direct_only,
            "paths": [[_edge(edge) for edge in path] for path in found[:limit]],
            "truncated": len(found) > limit}


def _column(graph: Graph, params: _Params) -> dict[str, Any]:
    column = _one(graph, params.text("name") or "")
    found = graph.details(column)
    up, down = graph.degrees([column]).get(column, (0, 0))
    return {"name": found.column, "table": found.table, "column": found.name,
            "data_type": found.data_type, "description": found.description,
            "tests": list(found.tests),
            "statements": [{"name": name, "sql": sql} for name, sql in found.statements],
            "upstream": up, "downstream": down}


def _table(graph: Graph, params: _Params) -> dict[str, Any]:
    table = _one(graph, params.text("name") or "", "table")
    columns = graph.table_columns(table)
    return {"name": table, "columns": columns}


ENDPOINTS: dict[str, tuple[Callable[[Graph, _Params], dict[str, Any]], tuple[str, ...]]] = {
    "search": (_search, ("q", "limit")),
    "upstream": (_walk("upstream"), ("column", "depth", "direct_only", "limit")),
    "downstream": (_walk("downstream"), ("column", "depth", "direct_only", "limit")),
    "impact": (_impact, ("column", "direct_only", "limit")),
    "paths": (_paths, ("source", "target", "direct_only", "limit")),
    "column": (_column, ("name",)),
    "table": (_table, ("name",)),
}


def answer(graph: Graph, endpoint: str, items: Iterable[tuple[str, str]]) -> tuple[int, dict]:
    """The status and JSON body of ``/api/<endpoint>`` with the query ``items``."""
    found = ENDPOINTS.get(endpoint)
    if found is None:
        return 404, {"error": f"no such question; the API answers "
                              f"{', '.join('/api/' + name for name in ENDPOINTS)}"}
    ask, known = found
    try:
        return 200, ask(graph, _Params(items, known))
    except BadRequest as refused:
        return refused.status, refused.body
    except ValueError as error:   # what the graph refuses (a depth, a limit)
        return 400, {"error": str(error).splitlines()[0] if str(error) else "bad request"}
