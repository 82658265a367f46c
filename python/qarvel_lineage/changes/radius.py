"""The blast radius of changes: every downstream column, unit and exposure
a change can affect, with how (severity), why (the change, and the path's
first hop) and how far (hops).

The walk follows the new version's own lineage hops (a unit's columns from
the columns of the relations it reads), breadth first from every change at
once, so each column is reached at its fewest hops; states keep what can
change on the way:

- ``values``: a column's values.  DIRECT hops carry it; a hop that decides
  rows (JOIN, FILTER, GROUP_BY, SORT) turns it into ``rows`` of the unit
  reached, other INDIRECT hops (WINDOW, CONDITIONAL) keep it ``values``;
- ``rows``: which rows a unit holds.  IDENTITY and TRANSFORMATION hops
  carry it (a pass-through has the same rows); aggregations and windows
  turn it into ``values``;
- ``type``: a column's type, carried by DIRECT hops; into a unit with an
  enforced contract it makes that unit fail.

A unit that will fail (it reads a column that is gone, its SQL does not
parse, its contract breaks) is ``breaking`` with every column of it and of
every unit below it, and every exposure over them.  Each walk visits a
column at most once per state and a unit at most once: safe on cycles,
linear in the edges reached, and nothing recurses.
"""

from __future__ import annotations

import heapq
from collections import deque
from dataclasses import dataclass
from qarvel_lineage.changes.compare import Change, Compared
from qarvel_lineage.changes.sides import Side
from qarvel_lineage.engine.records import Table

__all__ = ["Impact", "blast_radius", "SEVERITY_RANK", "change_severity"]

SEVERITY_RANK = {"values": 1, "rows": 2, "breaking": 3}
_ROWS = frozenset({"JOIN", "FILTER", "GROUP_BY", "SORT"})
_PASSING = frozenset({"IDENTITY", "TRANSFORMATION"})


@dataclass(frozen=True, slots=True)
class Impact:
    """A downstream column (``column``: its shown name; an exposure is
    ``exposure.<name>``) of unit ``model`` that a change can affect."""

    model: str
    column: str
    severity: str
    because: str
    via: str | None
    depth: int


def _next(state: str, kind: str, subtype: str) -> str:
    if kind != "DIRECT":
        return "rows" if subtype in _ROWS else "values"
    if state == "type":
        return "type"
    if state == "rows" and subtype in _PASSING:
        return "rows"
    return "values"


class _Graph:
    """Who reads whom in the new version, and each reader's hops by the
    column they read (made when the walk first reaches the reader)."""

    def __init__(self, side: Side):
        self.side = side
        self._keys: dict[tuple, str | None] = {}
        self.readers: dict[str, list[str]] = {}
        self.dependants: dict[str, list[str]] = {}
        for key, unit in side.units.items():
            reads = [self.key_of(Table(*table)) for table in unit.result.tables] \
                if unit.result is not None else []
            for parent in dict.fromkeys(p for p in reads if p is not None and p != key):
                self.readers.setdefault(parent, []).append(key)
            for parent in dict.fromkeys([*unit.parents, *(p for p in reads if p is not None)]):
                if parent != key:
                    self.dependants.setdefault(parent, []).append(key)
        self._hops: dict[str, dict[tuple[str, str], list[tuple[str, str, str]]]] = {}

    def key_of(self, table: Table) -> str | None:
        if table not in self._keys:
            self._keys[table] = self.side.key_of(table)
        return self._keys[table]

    def hops(self, reader: str) -> dict[tuple[str, str], list[tuple[str, str, str]]]:
        found = self._hops.get(reader)
        if found is None:
            found = self._hops[reader] = {}
            result = self.side.units[reader].result
            for column in result.columns if result is not None else ():
                for source in (*column.direct, *column.indirect):
                    parent = self.key_of(Table(source.catalog, source.db, source.table))
                    if parent is not None:
                        found.setdefault((parent, source.column), []).append(
                            (column.name, source.type, source.subtype))
        return found


def _walk(graph: _Graph, starts: list[tuple[str, str, str, str]]
          ) -> dict[tuple[str, str, str], tuple[int, str, str | None]]:
    """Every (unit, column, state) reached from the starts, with its fewest
    hops, the change it comes from and the path's first hop."""
    side = graph.side
    reached: dict[tuple[str, str, str], tuple[int, str, str | None]] = {}
    queue: deque[tuple[str, str, str]] = deque()
    for key, name, state, because in starts:
        node = (key, name, state)
        if node not in reached:
            reached[node] = (0, because, None)
            queue.append(node)
    while queue:
        key, name, state = node = queue.popleft()
        depth, because, via = reached[node]
        for reader in graph.readers.get(key, ()):
            for target, kind, subtype in graph.hops(reader).get((key, name), ()):
                step = (reader, target, _next(state, kind, subtype))
                if step not in reached:
                    reached[step] = (depth + 1, because,
                                     via or f"{side.units[reader].shown}.{target}")
                    queue.append(step)
    return reached


def _failures(graph: _Graph, first: dict[str, tuple[int, str, str | None]]
              ) -> dict[str, tuple[int, str, str | None]]:
    """Every unit that fails: the first ones and all that depend on them,
    each at its fewest hops from a change."""
    failing: dict[str, tuple[int, str, str | None]] = {}
    heap = [(depth, key, because, via or "") for key, (depth, because, via) in first.items()]
    heapq.heapify(heap)
    while heap:
        depth, key, because, via = heapq.heappop(heap)
        if key in failing:
            continue
        failing[key] = (depth, because, via or None)
        for reader in graph.dependants.get(key, ()):
            if reader not in failing:
                shown = f"{graph.side.units[reader].shown}.*"
                heapq.heappush(heap, (depth + 1, reader, because, via or shown))
    return failing


def change_severity(change: Change, breaking: set[str]) -> str | None:
    """How a change itself weighs: a removed or renamed column something
    still reads, a type change that breaks a contract and a unit that
    fails are breaking."""
    kind = change.change
    if kind == "failed":
        return "breaking"
    if kind in ("column_removed", "column_renamed"):
        gone = change.column.rsplit(".", 1)[0] + "." + (change.old or change.name)
        return "breaking" if gone in breaking else None
    if kind == "type_changed":
        return "breaking" if change.column in breaking else "values"
    return {"rows_changed": "rows", "expression_changed": "values"}.get(kind)


def blast_radius(new: Side, compared: Compared) -> tuple[list[Impact], set[str]]:
    """(every impacted column and exposure, breaking first, then by depth;
    the shown names of the changed columns that break something)."""
    graph = _Graph(new)
    reached = _walk(graph, compared.starts)
    first = dict(compared.failing)
    for (key, name, state), (depth, because, via) in reached.items():
        if state == "type" and depth and new.units[key].contract:
            if key not in first or first[key][0] > depth:
                first[key] = (depth, because, via)
    failing = _failures(graph, first)
    breaking = {because for _, because, _ in failing.values()}
    best: dict[tuple[str, str], tuple[int, int, str, str | None]] = {}
    for (key, name, state), (depth, because, via) in reached.items():
        if depth == 0 or key in failing:
            continue
        rank = SEVERITY_RANK["rows" if state == "rows" else "values"]
        have = best.get((key, name))
        if have is None or (-rank, depth) < (-have[0], have[1]):
            best[(key, name)] = (rank, depth, because, via)
    impacts: list[Impact] = []
    names = {rank: severity for severity, rank in SEVERITY_RANK.items()}
    for key, (depth, because, via) in failing.items():
        unit = new.units[key]
        for name in unit.columns() or ("*",):
            impacts.append(Impact(key, f"{unit.shown}.{name}", "breaking", because, via, depth))
    for (key, name), (rank, depth, because, via) in best.items():
        impacts.append(Impact(key, f"{new.units[key].shown}.{name}", names[rank], because, via,
                              depth))
    impacts.extend(_exposures(new, compared, failing, best, breaking))
    impacts.sort(key=lambda i: (-SEVERITY_RANK[i.severity], i.depth, i.column))
    return impacts, breaking


def _exposures(new: Side, compared: Compared, failing: dict[str, tuple[int, str, str | None]],
               best: dict[tuple[str, str], tuple[int, int, str, str | None]],
               breaking: set[str]) -> list[Impact]:
    """An exposure rests on every column of the units it depends on: it is
    affected as the most affected of them, one hop further."""
    changed: dict[str, list[tuple[int, int, str, str | None]]] = {}
    for change in compared.changes:
        severity = change_severity(change, breaking)
        if change.change in ("column_removed", "column_renamed"):
            severity = "breaking"  # the exposure may read the column that is gone
        if severity is not None:
            # A change of rows is the unit's, as its blast radius says.
            because = change.column.rsplit(".", 1)[0] if change.change == "rows_changed" \
                else change.column
            changed.setdefault(change.model, []).append(
                (SEVERITY_RANK[severity], 0, because, None))
    for (key, name), entry in best.items():
        changed.setdefault(key, []).append(entry)
    found: list[Impact] = []
    for unique_id, (name, depends_on) in new.exposures.items():
        candidates: list[tuple[int, int, str, str | None]] = []
        for parent in depends_on:
            if parent in failing:
                depth, because, via = failing[parent]
                candidates.append((SEVERITY_RANK["breaking"], depth, because, via))
            candidates.extend(changed.get(parent, ()))
        if not candidates:
            continue
        rank, depth, because, via = min(candidates, key=lambda c: (-c[0], c[1], c[2]))
        severity = next(s for s, r in SEVERITY_RANK.items() if r == rank)
        found.append(Impact(unique_id, f"exposure.{name}", severity, because,
                            via or f"exposure.{name}", depth + 1))
    return found
