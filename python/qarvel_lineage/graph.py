"""The lineage graph: columns as nodes, lineage as edges, in SQLite.

    graph = Graph()
    graph.add(analyze_script(text), name="etl.sql")    # or a LineageResult, a DbtProject
    graph.upstream("mart.totals.amount")               # every edge above it, hop by hop
    graph.downstream("raw.orders.amount", depth=2)
    graph.paths("raw.orders.amount", "mart.totals.amount")
    graph.impact("raw.orders.amount")                  # each column below it, by its shortest path
    graph.save("lineage.db"); Graph.open("lineage.db")

A node is a column of a table (``db.table.column``), or of a query that
writes nothing (``name.column``, ``name#N.column`` for a script's N-th).  An edge runs from a source
column to the column it feeds, with its type (DIRECT or INDIRECT), its
subtype and the statement that made it.  The graph lives in SQLite (an
in-memory database until it is saved), indexed both ways, and walks are
recursive queries in the database: a stored graph is not loaded back to
answer one column's question.  Adding a statement again replaces the edges
it made before.
"""

from __future__ import annotations

import os
import sqlite3
from typing import Any, Iterable, NamedTuple

from ._result import LineageResult
from ._script import ScriptResult
from ._types import Source, Table
from .dbt import DbtProject

__all__ = ["Graph", "Edge"]


class Edge(NamedTuple):
    """One hop: ``source`` feeds ``target`` in ``statement``.  ``depth``
    is how many hops from the column asked about (1: next to it)."""

    source: str
    target: str
    type: str
    subtype: str
    statement: str
    depth: int = 1

    def __str__(self) -> str:
        return f"{self.source} -> {self.target} ({self.type} {self.subtype}, {self.statement})"


_SCHEMA = """
create table if not exists nodes (
    id integer primary key,
    name text not null unique,      -- table.column as users write it
    lowered text not null,          -- for look-ups in any case
    tbl text not null,
    col text not null
);
create index if not exists nodes_lowered on nodes (lowered);
create index if not exists nodes_tbl on nodes (tbl);
create table if not exists edges (
    src integer not null references nodes (id),
    dst integer not null references nodes (id),
    type text not null,
    subtype text not null,
    statement text not null,
    unique (src, dst, type, subtype, statement)
);
-- the unique index leads with src: walks downwards use it
create index if not exists edges_dst on edges (dst);
create index if not exists edges_statement on edges (statement);
"""

# Walks go one way along the edges: (column the walk follows, column it reaches).
_WAYS = {"down": ("src", "dst"), "up": ("dst", "src")}


def _walk_sql(way: str) -> str:
    near, far = _WAYS[way]
    # A column is reached at the fewest hops it can be; a cycle ends where
    # its columns have been reached, since the depth bound stops the rest.
    return f"""
    with recursive walk(node, depth) as (
        select ?, 0
        union
        select e.{far}, w.depth + 1 from edges e join walk w on e.{near} = w.node
        where w.depth < ?
    ),
    nearest(node, depth) as (select node, min(depth) from walk group by node)
    select s.name, d.name, e.type, e.subtype, e.statement, n.depth + 1
    from nearest n join edges e on e.{near} = n.node
    join nodes s on s.id = e.src join nodes d on d.id = e.dst
    where n.depth < ?
    order by n.depth, s.name, d.name, e.type, e.subtype, e.statement
    """


class Graph:
    """Column lineage of many statements, kept in SQLite."""

    def __init__(self, path: str | os.PathLike | None = None):
        self._path = os.fspath(path) if path is not None else ":memory:"
        self._db = sqlite3.connect(self._path)
        self._db.executescript(_SCHEMA)

    # --- storing ---------------------------------------------------------------------
    @classmethod
    def open(cls, path: str | os.PathLike) -> "Graph":
        """A graph saved before; what is added to it is stored at once."""
        if not os.path.isfile(path):
            raise FileNotFoundError(f"no lineage graph at {os.fspath(path)}")
        return cls(path)

    def save(self, path: str | os.PathLike) -> None:
        """Write the graph to a SQLite file (replacing what was there)."""
        target = os.fspath(path)
        if os.path.abspath(target) == os.path.abspath(self._path):
            self._db.commit()
            return
        if os.path.exists(target):
            os.remove(target)
        with sqlite3.connect(target) as copy:
            self._db.backup(copy)
        copy.close()

    def close(self) -> None:
        self._db.commit()
        self._db.close()

    def __enter__(self) -> "Graph":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    # --- adding ------------------------------------------------------------------------
    def add(self, lineage: Any, name: str = "query") -> "Graph":
        """Add what a statement, a script or a dbt project says.  A
        statement is known as ``name``, a script's as ``name#N``, a dbt
        model by its unique id; adding one again replaces its edges."""

        if isinstance(lineage, LineageResult):
            self._statement(name, lineage)
        elif isinstance(lineage, ScriptResult):
            for index, result in enumerate(lineage.statements, 1):
                if isinstance(result, LineageResult):
                    self._statement(f"{name}#{index}", result)
        elif isinstance(lineage, DbtProject):
            # An ephemeral model's query is part of each child's.
            for unique_id, result in lineage.models.items():
                if isinstance(result, LineageResult) and result.target is not None:
                    self._statement(unique_id, result)
            # An exposure is a node its models' columns feed (statement: its id).
            for exposure, columns in lineage.exposure_edges().items():
                self._replace({exposure}, [(column, exposure, "DIRECT", "EXPOSURE", exposure)
                                           for column in columns])
        else:
            raise TypeError("a graph is built from a LineageResult, a ScriptResult or a "
                            f"DbtProject, not {type(lineage).__name__}")
        self._db.commit()
        return self

    def add_many(self, results: Iterable[Any], name: str = "log") -> "Graph":
        """Statements of a log in order (``name#1``, ``name#2``, ...; an
        exception in place of a result is skipped), as analyze_many gives them."""
        rows = []
        for index, result in enumerate(results, 1):
            if isinstance(result, LineageResult):
                rows.extend(self._edges(f"{name}#{index}", result))
        self._replace({row[4] for row in rows}, rows)
        self._db.commit()
        return self

    def _statement(self, statement: str, result: LineageResult) -> None:
        self._replace({statement}, list(self._edges(statement, result)))

    def _edges(self, statement: str, result: LineageResult) -> Iterable[tuple]:
        owner = str(result.target) if result.target is not None else statement
        for column in result.columns:
            target = f"{owner}.{column.name}"
            for source in (*column.direct, *column.indirect):
                yield (_column_name(source), target, source.type, source.subtype, statement)

    def _replace(self, statements: set[str], rows: list[tuple]) -> None:
        db = self._db
        db.executemany("delete from edges where statement = ?", [(s,) for s in statements])
        names = {name for row in rows for name in row[:2]}
        db.executemany("insert or ignore into nodes (name, lowered, tbl, col) values (?, ?, ?, ?)",
                       [(n, n.lower(), *n.rsplit(".", 1)) for n in names])
        ids = self._ids(names)
        db.executemany("insert or ignore into edges values (?, ?, ?, ?, ?)",
                       [(ids[s], ids[d], kind, sub, stmt) for s, d, kind, sub, stmt in rows])

    def _ids(self, names: set[str]) -> dict[str, int]:
        found: dict[str, int] = {}
        listed = list(names)
        for start in range(0, len(listed), 500):
            part = listed[start:start + 500]
            marks = ",".join("?" * len(part))
            found.update(self._db.execute(f"select name, id from nodes where name in ({marks})",
                                          part))
        return found

    # --- asking ------------------------------------------------------------------------
    def column(self, name: str) -> str:
        """The column ``name`` names: in full, or by its last parts
        (``orders.amount`` for ``sales.orders.amount``), in any case; a
        KeyError when it names none or several."""
        if not isinstance(name, str):
            raise TypeError(f"a column is named by a str, not {type(name).__name__}")
        exact = self._db.execute("select name from nodes where name = ?", (name,)).fetchone()
        if exact:
            return exact[0]
        lowered = name.lower()
        found = [row[0] for row in self._db.execute(
            "select name from nodes where lowered = ? or lowered like ? escape '\\'",
            (lowered, "%." + lowered.replace("\\", "\\\\").replace("%", "\\%").replace("_", "\\_")))]
        if len(found) == 1:
            return found[0]
        if not found:
            raise KeyError(f"no column {name!r} in the graph")
        raise KeyError(f"{name!r} names {len(found)} columns: {', '.join(sorted(found))}")

    def _walk(self, way: str, column: str, depth: int | None) -> list[Edge]:
        node = self._db.execute("select id from nodes where name = ?",
                                (self.column(column),)).fetchone()[0]
        if depth is not None and (not isinstance(depth, int) or depth < 1):
            raise ValueError(f"depth must be 1 or more, not {depth!r}")
        bound = depth if depth is not None else self._node_count()
        return [Edge(*row) for row in self._db.execute(_walk_sql(way), (node, bound, bound))]

    def _node_count(self) -> int:
        return self._db.execute("select count(*) from nodes").fetchone()[0]

    def upstream(self, column: str, depth: int | None = None) -> list[Edge]:
        """Every edge above ``column`` (within ``depth`` hops), nearest first."""
        return self._walk("up", column, depth)

    def downstream(self, column: str, depth: int | None = None) -> list[Edge]:
        """Every edge below ``column`` (within ``depth`` hops), nearest first."""
        return self._walk("down", column, depth)

    def impact(self, column: str) -> dict[str, list[Edge]]:
        """Every column below ``column``, each with a shortest path to it."""
        start = self.column(column)
        first: dict[str, Edge] = {}
        for edge in self.downstream(start):
            if edge.target != start and edge.target not in first:
                first[edge.target] = edge
        impact: dict[str, list[Edge]] = {}
        for target in first:
            path = [first[target]]
            while path[0].source != start:
                path.insert(0, first[path[0].source])
            impact[target] = path
        return impact

    def paths(self, source: str, target: str, limit: int = 1000) -> list[list[Edge]]:
        """Every path from ``source`` down to ``target`` (each hop with its
        statement and subtype), shortest first; at most ``limit``."""
        start, end = self.column(source), self.column(target)
        above = {e.source for e in self.upstream(end)} | {end}
        onward: dict[str, list[Edge]] = {}
        for edge in self.downstream(start):
            if edge.target in above:
                onward.setdefault(edge.source, []).append(edge)
        found: list[list[Edge]] = []
        trail: list[Edge] = []

        def follow(node: str, seen: set[str]) -> None:
            for edge in onward.get(node, ()):
                if len(found) >= limit or edge.target in seen:
                    continue
                trail.append(edge._replace(depth=len(trail) + 1))
                if edge.target == end:
                    found.append(list(trail))
                else:
                    follow(edge.target, seen | {edge.target})
                trail.pop()

        follow(start, {start})
        return sorted(found, key=len)

    # --- tables --------------------------------------------------------------------------
    def table_edges(self) -> list[tuple[str, str]]:
        """Each (source table, target table) some column edge joins."""
        return list(self._db.execute(
            "select distinct s.tbl, d.tbl from edges e join nodes s on s.id = e.src "
            "join nodes d on d.id = e.dst where s.tbl != d.tbl order by 1, 2"))

    def upstream_tables(self, table: str) -> list[str]:
        """Every table ``table``'s columns come from, nearest first."""
        return self._tables(table, "up")

    def downstream_tables(self, table: str) -> list[str]:
        """Every table fed by ``table``'s columns, nearest first."""
        return self._tables(table, "down")

    def _tables(self, table: str, way: str) -> list[str]:
        start = self._table(table)
        links: dict[str, list[str]] = {}
        for src, dst in self.table_edges():
            near, far = (src, dst) if way == "down" else (dst, src)
            links.setdefault(near, []).append(far)
        seen, frontier, order = {start}, [start], []
        while frontier:
            reached = []
            for node in frontier:
                for far in links.get(node, ()):
                    if far not in seen:
                        seen.add(far)
                        reached.append(far)
            order.extend(sorted(reached))
            frontier = reached
        return order

    def _table(self, name: str) -> str:
        rows = [r[0] for r in self._db.execute(
            "select distinct tbl from nodes where lower(tbl) = ? or lower(tbl) like ?",
            (name.lower(), "%." + name.lower()))]
        if len(rows) != 1:
            raise KeyError(f"no table {name!r} in the graph" if not rows
                           else f"{name!r} names {len(rows)} tables: {', '.join(sorted(rows))}")
        return rows[0]

    def summary(self) -> dict[str, list[str]]:
        """The tables only read ("sources"), both written and read
        ("intermediates") and only written ("targets")."""
        links = self.table_edges()
        read = {src for src, _ in links}
        written = {dst for _, dst in links}
        return {"sources": sorted(read - written), "intermediates": sorted(read & written),
                "targets": sorted(written - read)}

    def places(self, names: Iterable[str]) -> dict[str, tuple[str, str]]:
        """The (table, column) of each stored column name."""
        wanted = list(dict.fromkeys(names))
        found: dict[str, tuple[str, str]] = {}
        for at in range(0, len(wanted), 500):  # within SQLite's bound on parameters
            chunk = wanted[at:at + 500]
            found.update((name, (tbl, col)) for name, tbl, col in self._db.execute(
                f"select name, tbl, col from nodes where name in ({','.join('?' * len(chunk))})",
                chunk))
        return found

    def edges(self) -> list[Edge]:
        """Every edge of the graph."""
        return [Edge(*row) for row in self._db.execute(
            "select s.name, d.name, e.type, e.subtype, e.statement, 1 from edges e "
            "join nodes s on s.id = e.src join nodes d on d.id = e.dst "
            "order by s.name, d.name, e.type, e.subtype, e.statement")]

    def __len__(self) -> int:
        return self._db.execute("select count(*) from edges").fetchone()[0]

    def __repr__(self) -> str:
        return f"<Graph {self._node_count()} columns, {len(self)} edges>"


def _column_name(source: Source) -> str:
    return f"{Table(source.catalog, source.db, source.table)}.{source.column}"
