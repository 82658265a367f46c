"""The answers the command gives besides each statement's rows: the edges
of a walk up or down from one column (with the columns where it ends), the
tables of a graph by role, and the differences between two versions.  Each
answer is data; the formats write it."""

from __future__ import annotations

from collections import deque
from dataclasses import dataclass, field
from typing import Any, Iterator

from qarvel_lineage.changes import ROW_KEYS

__all__ = ["EDGE_KEYS", "TABLE_KEYS", "ROLE_NAMES", "EdgesAnswer", "ImpactAnswer", "PathsAnswer",
           "TablesAnswer", "ChangesAnswer", "Leaf", "COLUMN_CHANGES", "CHANGE_WORDS", "group_changes",
           "walk", "leaves", "chains", "tables_answer"]

EDGE_KEYS = ("depth", "source", "target", "type", "subtype", "statement")
TABLE_KEYS = ("table", "role")
ROLE_NAMES = {"sources": "source", "intermediates": "intermediate", "targets": "target",
              "queries": "query"}
COLUMN_CHANGES = ("failed", "column_removed", "column_renamed", "column_added", "type_changed",
                  "rows_changed", "expression_changed")
CHANGE_WORDS = {"failed": "fails", "column_removed": "removed", "column_renamed": "renamed",
                "column_added": "added", "type_changed": "type changed",
                "rows_changed": "rows changed", "expression_changed": "expression changed"}


@dataclass(frozen=True, slots=True)
class Leaf:
    """A column where a walk ends (nothing further that way), the fewest
    hops to it, and the hop that reaches it on such a path."""

    column: str
    hops: int
    edge: Any


@dataclass(slots=True)
class EdgesAnswer:
    """Every edge of a walk from ``start`` (``way`` "upstream" or
    "downstream"), nearest first; ``places`` the (table, column) of every
    column it names."""

    kind = "edges"
    way: str
    start: str
    edges: list[Any]
    places: dict[str, tuple[str, str]]
    depth: int | None = None
    direct_only: bool = False

    def records(self) -> tuple[tuple[str, ...], list[dict[str, Any]]]:
        return EDGE_KEYS, [{key: getattr(edge, key) for key in EDGE_KEYS} for edge in self.edges]


@dataclass(slots=True)
class ImpactAnswer:
    """Every column below ``start``, each with a shortest path to it
    (``reached``: column -> the path's edges, nearest columns first);
    ``edges`` every edge of those paths, for the drawings."""

    kind = "edges"
    way = "impact"
    start: str
    reached: dict[str, list[Any]]
    places: dict[str, tuple[str, str]]
    direct_only: bool = False
    depth: int | None = None

    KEYS = ("column", "hops") + EDGE_KEYS

    @property
    def edges(self) -> list[Any]:
        return list({tuple(edge)[:5]: edge for path in self.reached.values()
                     for edge in path}.values())

    def records(self) -> tuple[tuple[str, ...], list[dict[str, Any]]]:
        return self.KEYS, [{"column": column, "hops": len(path),
                            **{key: getattr(edge, key) for key in EDGE_KEYS}}
                           for column, path in self.reached.items() for edge in path]


@dataclass(slots=True)
class PathsAnswer:
    """The paths from ``start`` down to ``end`` (shortest first), at most
    ``limit`` of them; ``complete`` is False when there are more."""

    kind = "edges"
    way = "paths"
    start: str
    end: str
    paths: list[list[Any]]
    places: dict[str, tuple[str, str]]
    limit: int
    complete: bool = True
    direct_only: bool = False
    depth: int | None = None

    KEYS = ("path",) + EDGE_KEYS

    @property
    def edges(self) -> list[Any]:
        return list({tuple(edge)[:5]: edge for path in self.paths for edge in path}.values())

    def records(self) -> tuple[tuple[str, ...], list[dict[str, Any]]]:
        return self.KEYS, [{"path": number, **{key: getattr(edge, key) for key in EDGE_KEYS}}
                           for number, path in enumerate(self.paths, 1) for edge in path]


@dataclass(slots=True)
class TablesAnswer:
    """The tables of a graph by role: only read ("sources"), read and
    written ("intermediates"), only written ("targets"), and the queries
    that write nothing ("queries"); ``links`` each (source, target) pair."""

    kind = "tables"
    roles: dict[str, list[str]]
    links: list[tuple[str, str]]

    def records(self) -> tuple[tuple[str, ...], list[dict[str, Any]]]:
        return TABLE_KEYS, [{"table": table, "role": ROLE_NAMES[role]}
                            for role, tables in self.roles.items() for table in tables]


@dataclass(slots=True)
class ChangesAnswer:
    """What changed between two versions (``qarvel_lineage.changes``): each
    changed column (added, removed, renamed, its type, expression or rows),
    the lineage edges added, removed and changed, the columns that became
    unresolved or resolved, then every downstream column and exposure
    affected ("impacted"); ``summary`` counts the models changed and the
    models and exposures affected."""

    kind = "changes"
    rows: list[dict[str, Any]] = field(default_factory=list)
    summary: dict[str, int] | None = None

    KEYS = ROW_KEYS

    def records(self) -> tuple[tuple[str, ...], list[dict[str, Any]]]:
        return self.KEYS, self.rows

    @property
    def breaking(self) -> bool:
        return any(row["severity"] == "breaking" for row in self.rows)


def group_changes(rows: list[dict[str, Any]]) -> list[dict[str, Any]]:
    """The column changes, a unit's rows change and failure once for the
    unit (``table.*``, with how many columns)."""
    grouped: list[dict[str, Any]] = []
    seen: dict[tuple[str, str], dict[str, Any]] = {}
    for row in rows:
        if row["change"] not in COLUMN_CHANGES:
            continue
        if row["change"] in ("rows_changed", "failed"):
            key = (row["model"], row["change"])
            table = row["column"].rsplit(".", 1)[0]
            if key in seen:
                seen[key]["count"] += 1
                continue
            seen[key] = entry = {**row, "column": f"{table}.*", "count": 1}
            grouped.append(entry)
            continue
        grouped.append({**row, "count": 1})
    return grouped


# --- walks -----------------------------------------------------------------------------------

def _far(edge: Any, way: str) -> str:
    return edge.source if way == "upstream" else edge.target


def _near(edge: Any, way: str) -> str:
    return edge.target if way == "upstream" else edge.source


def walk(graph: Any, way: str, column: str, depth: int | None, direct_only: bool) -> list[Any]:
    """The edges of a walk from ``column``; with ``direct_only`` the walk
    follows DIRECT edges only."""
    return getattr(graph, way)(column, depth, direct_only=direct_only)


def _nearest(edges: list[Any], start: str, way: str,
             follow: Any) -> dict[str, tuple[int, Any]]:
    """Each column a walk over the edges ``follow`` accepts reaches from
    ``start``: (fewest hops, the edge that reaches it on such a path)."""
    onward: dict[str, list[Any]] = {}
    for edge in edges:
        if follow(edge):
            onward.setdefault(_near(edge, way), []).append(edge)
    reached: dict[str, tuple[int, Any]] = {start: (0, None)}
    queue = deque([start])
    while queue:
        node = queue.popleft()
        hops = reached[node][0]
        for edge in sorted(onward.get(node, ()), key=lambda e: (_far(e, way), e.subtype, e.statement)):
            far = _far(edge, way)
            if far not in reached:
                reached[far] = (hops + 1, edge)
                queue.append(far)
    return reached


def leaves(answer: EdgesAnswer) -> tuple[list[Leaf], list[Leaf], int]:
    """(the DIRECT leaves: where the walk over DIRECT edges ends; the
    INDIRECT ones: other columns where the whole walk ends; how many
    columns the walk reaches), each list by hops, then name."""
    way, start = answer.way, answer.start
    every = _nearest(answer.edges, start, way, lambda edge: True)
    direct = _nearest(answer.edges, start, way, lambda edge: edge.type == "DIRECT")
    goes_on = {_near(edge, way) for edge in answer.edges}
    goes_on_directly = {_near(edge, way) for edge in answer.edges if edge.type == "DIRECT"}
    direct_leaves = [Leaf(column, hops, edge) for column, (hops, edge) in direct.items()
                     if column != start and column not in goes_on_directly]
    named = {leaf.column for leaf in direct_leaves}
    indirect_leaves = [Leaf(column, hops, edge) for column, (hops, edge) in every.items()
                       if column != start and column not in goes_on and column not in named]
    order = lambda leaf: (leaf.hops, leaf.column)  # noqa: E731
    return sorted(direct_leaves, key=order), sorted(indirect_leaves, key=order), len(every) - 1


def chains(answer: EdgesAnswer, limit: int, count_cap: int = 100_000) -> tuple[list[str], int, bool]:
    """(the first ``limit`` chains from the start to where the walk ends,
    as text; how many chains there are; whether counting stopped at
    ``count_cap``).  Each chain visits a column once; the walk is a loop
    over an explicit stack, safe on cycles and deep graphs."""
    way, start = answer.way, answer.start
    onward: dict[str, list[Any]] = {}
    for edge in answer.edges:
        onward.setdefault(_near(edge, way), []).append(edge)
    arrow = " <- " if way == "upstream" else " -> "
    shown: list[str] = []
    total = 0
    # Each entry: (column, the text so far, columns on the chain, next edge to try).
    stack: list[tuple[str, str, frozenset, Iterator[Any]]] = [
        (start, start, frozenset({start}), iter(onward.get(start, ())))]
    moved = [False]
    while stack:
        node, text, seen, pending = stack[-1]
        # A chain is at most --depth hops long, however its columns were reached.
        longest = answer.depth is not None and len(stack) > answer.depth
        edge = None if longest else next((e for e in pending if _far(e, way) not in seen), None)
        if edge is None:
            stack.pop()
            if not moved[-1] and text != start:
                total += 1
                if len(shown) < limit or not limit:
                    shown.append(text)
                if total >= count_cap:
                    return shown, total, True
            moved.pop()
            if moved:
                moved[-1] = True
            continue
        far = _far(edge, way)
        stack.append((far, f"{text}{arrow}{far} ({edge.subtype}, {edge.statement})",
                      seen | {far}, iter(onward.get(far, ()))))
        moved.append(False)
    return shown, total, False


# --- tables ----------------------------------------------------------------------------------

def tables_answer(graph: Any, direct_only: bool = False) -> TablesAnswer:
    """The graph's tables by role (from its DIRECT edges only, with
    ``direct_only``).  A query that writes nothing is named after its
    statement (``s.sql#1``): it is a query, never a written table or an
    output."""
    return TablesAnswer(graph.summary(direct_only), graph.table_edges(direct_only))
