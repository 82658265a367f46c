"""Walks over the stored lineage graph, by the ids of its rows.

Every walk is a loop over a frontier, never a recursion, and asks SQLite
for one level of edges at a time through the indexes on ``edges.src`` and
``edges.dst``: a stored graph is not loaded back to answer.  Breadth-first
walks reach each column once, at the fewest hops it can be reached, so a
cycle is gone round once.  Paths are found shortest first, by depth-first
searches bounded by a length that grows to the next one that exists; a step
is taken only when the column it reaches can still reach the target within
the bound (through columns not on the path yet), so no search follows a
dead end.
"""

from __future__ import annotations

import sqlite3
from typing import Callable, Iterable

__all__ = ["walk", "paths", "nodes", "statements", "degrees", "Row"]

Row = tuple[int, int, str, str, int]   # src, dst, type, subtype, statement (ids)
_CHUNK = 500                            # within SQLite's bound on parameters
_EDGES = {
    (way, direct): f"select src, dst, type, subtype, statement from edges where {near} in "
                   + "({marks})" + (" and type = 'DIRECT'" if direct else "")
    for way, near in (("down", "src"), ("up", "dst")) for direct in (False, True)}


def _chunks(ids: list[int]) -> Iterable[tuple[str, list[int]]]:
    for at in range(0, len(ids), _CHUNK):
        part = ids[at:at + _CHUNK]
        yield ",".join("?" * len(part)), part


def _level(db: sqlite3.Connection, way: str, frontier: list[int], direct_only: bool) -> list[Row]:
    """Every edge one hop from the frontier, the way the walk goes."""
    query = _EDGES[way, direct_only]
    rows: list[Row] = []
    for marks, part in _chunks(frontier):
        rows.extend(db.execute(query.format(marks=marks), part))
    return rows


def walk(db: sqlite3.Connection, start: int, way: str, bound: int | None,
         direct_only: bool, most: int | None = None) -> list[tuple[Row, int]]:
    """Each edge of the walk from ``start`` ("up" or "down") with its depth:
    the edges of every column reached within ``bound - 1`` hops.  With
    ``most``, the walk ends with the first level that brings it past
    ``most`` edges (so more than ``most`` edges say that it was cut)."""
    down = way == "down"
    seen, frontier, depth = {start}, [start], 0
    found: list[tuple[Row, int]] = []
    while frontier and (bound is None or depth < bound) and (most is None or len(found) <= most):
        depth += 1
        reached: list[int] = []
        for row in _level(db, way, frontier, direct_only):
            found.append((row, depth))
            node = row[1] if down else row[0]
            if node not in seen:
                seen.add(node)
                reached.append(node)
        frontier = reached
    return found


def nodes(db: sqlite3.Connection, ids: Iterable[int]) -> dict[int, tuple[str, tuple]]:
    """Each node's shown name and parts (catalog, db, table, column; None when missing)."""
    found: dict[int, tuple[str, tuple]] = {}
    for marks, part in _chunks(list(set(ids))):
        for key, shown, catalog, db_name, table, column in db.execute(
                "select n.id, n.shown, t.catalog, t.db, t.name, n.name from nodes n "
                f"join tables t on t.id = n.tbl where n.id in ({marks})", part):
            found[key] = (shown, (catalog or None, db_name or None, table, column))
    return found


def statements(db: sqlite3.Connection, ids: Iterable[int]) -> dict[int, str]:
    found: dict[int, str] = {}
    for marks, part in _chunks(list(set(ids))):
        found.update(db.execute(f"select id, name from statements where id in ({marks})", part))
    return found


def degrees(db: sqlite3.Connection, ids: Iterable[int],
            direct_only: bool) -> dict[int, tuple[int, int]]:
    """Each node's number of edges in (from upstream) and out (downstream)."""
    found = {node: [0, 0] for node in ids}
    kind = " and type = 'DIRECT'" if direct_only else ""
    for side, near in ((0, "dst"), (1, "src")):
        for marks, part in _chunks(list(found)):
            for node, count in db.execute(f"select {near}, count(*) from edges where {near} in "
                                          f"({marks}){kind} group by {near}", part):
                found[node][side] = count
    return {node: (up, down) for node, (up, down) in found.items()}


# --- paths --------------------------------------------------------------------------------

def _cone(db: sqlite3.Connection, end: int,
          direct_only: bool) -> tuple[dict[int, int], dict[int, list[Row]]]:
    """Every column above ``end`` with its fewest hops to it, and the edges
    among them by their source."""
    hops: dict[int, int] = {end: 0}
    onward: dict[int, list[Row]] = {}
    for row, depth in walk(db, end, "up", None, direct_only):
        onward.setdefault(row[0], []).append(row)
        hops.setdefault(row[0], depth)
    return hops, onward


def _cycles(onward: dict[int, list[Row]]) -> dict[int, int]:
    """The strongly connected component of each column in a cycle of more
    than one column (Tarjan's algorithm, with a stack of its own)."""
    index: dict[int, int] = {}
    low: dict[int, int] = {}
    stack: list[int] = []
    held: set[int] = set()
    component: dict[int, int] = {}

    def enter(node: int) -> None:
        index[node] = low[node] = len(index)
        stack.append(node)
        held.add(node)

    for root in onward:
        if root in index:
            continue
        enter(root)
        work = [(root, 0)]
        while work:
            node, at = work[-1]
            out = onward.get(node, ())
            if at < len(out):
                work[-1] = (node, at + 1)
                nxt = out[at][1]
                if nxt not in index:
                    enter(nxt)
                    work.append((nxt, 0))
                elif nxt in held:
                    low[node] = min(low[node], index[nxt])
                continue
            work.pop()
            if work:
                parent = work[-1][0]
                low[parent] = min(low[parent], low[node])
            if low[node] == index[node]:
                members = []
                while True:
                    member = stack.pop()
                    held.discard(member)
                    members.append(member)
                    if member == node:
                        break
                if len(members) > 1:
                    component.update((member, node) for member in members)
    return component


def _hops_avoiding(start: int, end: int, onward: dict[int, list[Row]], avoid: set[int]) -> int | None:
    """The fewest hops from ``start`` to ``end`` through no column of ``avoid``."""
    seen, frontier, hops = {start}, [start], 0
    while frontier:
        hops += 1
        reached = []
        for node in frontier:
            for row in onward.get(node, ()):
                if row[1] == end:
                    return hops
                if row[1] not in seen and row[1] not in avoid:
                    seen.add(row[1])
                    reached.append(row[1])
        frontier = reached
    return None


def paths(db: sqlite3.Connection, start: int, end: int, limit: int, direct_only: bool,
          order: Callable[[Row], tuple],
          describe: Callable[[list[Row]], None]) -> list[list[Row]]:
    """Up to ``limit`` paths (no column twice) from ``start`` to ``end``,
    shortest first; paths of one length in the order of their steps, each
    step's edges ordered by ``order`` (once ``describe`` has been told of
    the edges that may be on a path)."""
    if start == end:
        return []
    hops, onward = _cone(db, end, direct_only)
    if start not in hops:
        return []
    describe([row for rows in onward.values() for row in rows])
    for rows in onward.values():
        rows.sort(key=order)
    search = _Search(start, end, hops, onward, _cycles(onward), limit)
    bound: int | None = hops[start]
    while bound is not None and len(search.found) < limit:
        bound = search.of_length(bound)
    return search.found


class _Search:
    def __init__(self, start: int, end: int, hops: dict[int, int],
                 onward: dict[int, list[Row]], cycles: dict[int, int], limit: int):
        self.start, self.end, self.hops, self.onward = start, end, hops, onward
        self.cycles, self.limit = cycles, limit
        self.found: list[list[Row]] = []

    def of_length(self, length: int) -> int | None:
        """Add the paths of ``length`` hops; the next length worth a search
        (None: no longer path exists, or the limit was reached)."""
        end, hops, onward, cycles = self.end, self.hops, self.onward, self.cycles
        path: list[Row] = []
        on_path = {self.start}
        inside: dict[int, int] = {}    # columns of each cycle on the path
        if self.start in cycles:
            inside[cycles[self.start]] = 1
        frames = [[self.start, 0]]
        following: int | None = None
        while frames:
            frame = frames[-1]
            out = onward.get(frame[0], ())
            if frame[1] == len(out):
                frames.pop()
                if path:
                    left = path.pop()[1]
                    on_path.discard(left)
                    if left in cycles:
                        inside[cycles[left]] -= 1
                continue
            row = out[frame[1]]
            frame[1] += 1
            node, steps = row[1], len(path) + 1
            if node in on_path:
                continue
            if node == end:
                if steps == length:
                    self.found.append(path + [row])
                    if len(self.found) >= self.limit:
                        return None
                continue
            total = steps + hops[node]
            if total <= length and inside.get(cycles.get(node, -1)):
                # Its shortest way on may run through the path: measure the way round.
                rest = _hops_avoiding(node, end, onward, on_path)
                if rest is None:
                    continue
                total = steps + rest
            if total > length:
                following = total if following is None else min(following, total)
                continue
            path.append(row)
            on_path.add(node)
            if node in cycles:
                inside[cycles[node]] = inside.get(cycles[node], 0) + 1
            frames.append([node, 0])
        return following
