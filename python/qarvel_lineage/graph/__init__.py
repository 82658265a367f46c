"""The lineage graph: columns as nodes, lineage as edges, in SQLite.

    graph = Graph()
    graph.add(analyze_script(text), name="etl.sql")    # or a LineageResult, a DbtProject
    graph.upstream("mart.totals.amount")               # every edge above it, hop by hop
    graph.downstream("raw.orders.amount", depth=2)
    graph.paths("raw.orders.amount", "mart.totals.amount")
    graph.impact("raw.orders.amount")                  # each column below it, by its shortest path
    graph.save("lineage.db"); Graph.open("lineage.db")

A node is a column: its parts (catalog, db, table, column), or for a query
that writes nothing the statement's name as its table (``name.column``,
``"etl.sql#2".column`` for a script's second).  It is shown with its parts
joined by dots, a part holding a dot in double quotes (``s.t."a.b"``).  An
edge runs from a source column to the column it feeds, with its type
(DIRECT or INDIRECT), its subtype and the statement that made it.  The
graph lives in SQLite (in memory until it is saved), indexed both ways;
walks ask for one level of edges at a time, so a stored graph is not loaded
back to answer one column's question.  Adding under a name again replaces
everything that name made before.
"""

from __future__ import annotations

import os
import time
from typing import Any, Iterable, NamedTuple

from qarvel_lineage.dbt import DbtProject, refresh_lineage
from qarvel_lineage.dbt.refresh import Record
from qarvel_lineage.engine.escapes import valid_text
from qarvel_lineage.engine.result import LineageResult
from qarvel_lineage.engine.script import ScriptResult
from qarvel_lineage.graph import details, names, search, store, walks
from qarvel_lineage.graph.details import ColumnDetails
from qarvel_lineage.graph.search import Match
from qarvel_lineage.graph.store import APPLICATION_ID, FORMAT_VERSION, GraphError

__all__ = ["Graph", "Edge", "Refresh", "GraphError", "APPLICATION_ID", "FORMAT_VERSION",
           "ColumnDetails", "Match"]

Parts = tuple["str | None", "str | None", str, str]


class Edge(NamedTuple):
    """One hop: ``source`` feeds ``target`` in ``statement``.  ``depth``
    is how many hops from the column asked about (1: next to it);
    ``source_parts`` and ``target_parts`` are the columns' (catalog, db,
    table, column), None for a part the statement does not name."""

    source: str
    target: str
    type: str
    subtype: str
    statement: str
    depth: int = 1
    source_parts: Parts | None = None
    target_parts: Parts | None = None

    def __str__(self) -> str:
        return f"{self.source} -> {self.target} ({self.type} {self.subtype}, {self.statement})"


def _order(edge: Edge) -> tuple:
    return (edge.depth, edge.source, edge.target, edge.type, edge.subtype, edge.statement)


class Graph:
    """Column lineage of many statements, kept in SQLite.  ``Graph()`` is
    in memory; ``Graph(path)`` is ``Graph.open(path, create=True)``."""

    def __init__(self, path: str | os.PathLike | None = None):
        self._path: str | None = None
        self._identity: tuple[str, int, int] | None = None
        if path is None:
            self._db = store.connect_memory()
        else:
            self._path = os.fspath(path)
            self._db, self._identity = store.connect_file(self._path, create=True)

    # --- storing ---------------------------------------------------------------------
    @classmethod
    def open(cls, path: str | os.PathLike, create: bool = False,
             readonly: bool = False) -> "Graph":
        """A graph saved before; what is added to it is stored at once, in
        one transaction per call, so runs adding to one file at the same
        time take turns and all of it lands.  With ``create`` a new path
        (or an empty file) becomes an empty graph; without, a missing file
        is a FileNotFoundError.  Anything else that is not a graph file of
        this format and version is a GraphError, and left untouched.
        ``readonly`` opens it so that nothing can be written to it (adding
        is then a GraphError), as a server does."""
        graph = cls.__new__(cls)
        graph._path = os.fspath(path)
        if readonly:
            graph._db, graph._identity = store.connect_readonly(graph._path), None
        else:
            graph._db, graph._identity = store.connect_file(graph._path, create)
        return graph

    def save(self, path: str | os.PathLike) -> None:
        """Write the graph to ``path``: a new path, or a graph file that is
        replaced whole (by a temporary file beside it renamed over it, so a
        failed save leaves it as it was).  A graph opened from ``path`` is
        stored there already."""
        target = os.fspath(path)
        if self._identity is not None and os.path.exists(target) and os.path.samefile(
                target, self._identity[0]):
            return
        store.save(self._db, target)

    def close(self) -> None:
        self._db.close()

    def set_deadline(self, when: float | None) -> None:
        """Questions still running at ``when`` (a ``time.monotonic()``
        time) stop with sqlite3.OperationalError ("interrupted"), as a
        server bounds each answer; None takes the deadline away."""
        if when is None:
            self._db.set_progress_handler(None, 0)
        else:
            self._db.set_progress_handler(lambda: time.monotonic() > when, 2000)

    def __enter__(self) -> "Graph":
        return self

    def __exit__(self, *exc_info: Any) -> None:
        self.close()

    # --- adding ------------------------------------------------------------------------
    def add(self, lineage: Any, name: str = "query") -> "Graph":
        """Add what a statement, a script or a dbt project says.  A
        statement is known as ``name``, a script's as ``name#N``, a dbt
        model by its unique id.  Adding under a name again replaces all
        the name made before (a model: what that model made)."""
        made: dict[str, list[tuple[str, Any]]]
        described: list[details.Described] = []
        if isinstance(lineage, LineageResult):
            made = {name: [(name, lineage)]}
        elif isinstance(lineage, ScriptResult):
            made = {name: [(f"{name}#{index}", result)
                           for index, result in enumerate(lineage.statements, 1)
                           if isinstance(result, LineageResult)]}
        elif isinstance(lineage, DbtProject):
            made = _project_made(lineage, lineage.exposure_edges())
            described = [details.Described(*item) for item in lineage.described()]
        else:
            raise TypeError("a graph is built from a LineageResult, a ScriptResult or a "
                            f"DbtProject, not {type(lineage).__name__}")
        self._replace(made, described)
        return self

    def add_many(self, results: Iterable[Any], name: str = "log") -> "Graph":
        """Statements of a log in order (``name#1``, ``name#2``, ...; an
        exception in place of a result is skipped), as analyze_many gives
        them; all that ``name`` made before is replaced."""
        self._replace({name: [(f"{name}#{index}", result)
                              for index, result in enumerate(results, 1)
                              if isinstance(result, LineageResult)]})
        return self

    def _replace(self, made: dict[str, list[tuple[str, LineageResult]]],
                 described: list[details.Described] | None = None) -> None:
        described = described or []
        with store.writing(self._db, self._path, self._identity):
            _Writer(self._db).replace(made)
            _record_details(self._db, made, described)
            store.forget_records(self._db, list(made))

    def refresh(self, project: str | os.PathLike, dialect: Any = None, schema: Any = None, *,
                select: Any = None, exclude: Any = None, progress: Any = None,
                waiting: Any = None) -> "Refresh":
        """Bring what a dbt project (its folder, target folder or
        manifest.json) made in the graph up to date, analysing only what
        changed since the graph was last refreshed from it: models whose
        compiled SQL changed, models whose inputs now have other columns
        (so a change of a model's output columns reaches its descendants),
        new models; models gone from the manifest leave the graph (without
        ``select``/``exclude``: every model no longer analysed).  The graph
        then holds what adding the whole project to an empty one would.
        All of it is one transaction: an interrupted refresh leaves the
        graph as it was; a second refresh at once waits for the first
        (``waiting()`` is called when it has to)."""
        with store.writing(self._db, self._path, self._identity, waiting):
            return _refresh(self._db, project, dialect, schema, select, exclude, progress)

    # --- asking ------------------------------------------------------------------------
    def column(self, name: str) -> str:
        """The column ``name`` names, as the graph shows it: in full or by
        its last parts (``orders.amount`` for ``sales.orders.amount``), in
        any case, quoted or not; a KeyError when it names none or several."""
        return self._find("nodes", "column", name)[1]

    def _find(self, kind: str, what: str, text: str) -> tuple[int, str]:
        rows = self._candidates(kind, what, text)
        if len(rows) == 1:
            return rows[0]
        if not rows:
            raise KeyError(f"no {what} {text!r} in the graph")
        raise KeyError(f"{text!r} names {len(rows)} {what}s: "
                       f"{', '.join(sorted(row[1] for row in rows))}")

    def _candidates(self, kind: str, what: str, text: str) -> list[tuple[int, str]]:
        """What ``text`` names: one row, or every row it may mean."""
        if not isinstance(text, str):
            raise TypeError(f"a {what} is named by a str, not {type(text).__name__}")
        text = valid_text(text)  # stored so: a byte that was not UTF-8 as \xe9
        # The name as shown; else shown or plain in any case; else their last parts.
        whole = names.folded(text)
        rows = list(self._db.execute(
            f"select id, shown from {kind} where rshown = ? or rplain = ?", (whole, whole)))
        exact = [row for row in rows if row[1] == text]
        for found in (exact, rows):
            if len(found) == 1:
                return found
        if not rows:
            low, high = names.prefix_range(text)
            rows = list(self._db.execute(
                f"select id, shown from {kind} where (rshown >= ? and rshown < ?) "
                "or (rplain >= ? and rplain < ?)", (low, high, low, high)))
        return sorted(rows, key=lambda row: row[1])

    def _edges(self, found: list[tuple[walks.Row, int]]) -> list[Edge]:
        seen = walks.nodes(self._db, (n for row, _ in found for n in row[:2]))
        made = walks.statements(self._db, (row[4] for row, _ in found))
        return [Edge(seen[src][0], seen[dst][0], kind, subtype, made[statement], depth,
                     seen[src][1], seen[dst][1])
                for (src, dst, kind, subtype, statement), depth in found]

    def _walk(self, way: str, column: str, depth: int | None, direct_only: bool,
              limit: int | None = None) -> list[Edge]:
        start = self._find("nodes", "column", column)[0]
        if depth is not None and (isinstance(depth, bool) or not isinstance(depth, int)
                                  or depth < 1):
            raise ValueError(f"depth must be 1 or more, not {depth!r}")
        if limit is not None and (isinstance(limit, bool) or not isinstance(limit, int)
                                  or limit < 1):
            raise ValueError(f"limit must be 1 or more, not {limit!r}")
        found = walks.walk(self._db, start, way, depth, direct_only, limit)
        return sorted(self._edges(found), key=_order)

    def upstream(self, column: str, depth: int | None = None,
                 direct_only: bool = False, limit: int | None = None) -> list[Edge]:
        """Every edge above ``column`` (within ``depth`` hops; DIRECT ones
        alone with ``direct_only``), nearest first; each column is gone
        past once, at the fewest hops it is reached.  With ``limit`` the
        walk stops after the first hop that takes it past ``limit`` edges:
        a list longer than ``limit`` was cut there."""
        return self._walk("up", column, depth, direct_only, limit)

    def downstream(self, column: str, depth: int | None = None,
                   direct_only: bool = False, limit: int | None = None) -> list[Edge]:
        """Every edge below ``column`` (within ``depth`` hops), nearest first."""
        return self._walk("down", column, depth, direct_only, limit)

    def impact(self, column: str, direct_only: bool = False) -> dict[str, list[Edge]]:
        """Every column below ``column``, each with a shortest path to it."""
        start = self.column(column)
        reached: dict[str, list[Edge]] = {start: []}
        impact: dict[str, list[Edge]] = {}
        for edge in self.downstream(start, direct_only=direct_only):
            if edge.target not in reached:   # nearest first: its source is reached
                reached[edge.target] = impact[edge.target] = reached[edge.source] + [edge]
        return impact

    def paths(self, source: str, target: str, limit: int = 1000,
              direct_only: bool = False) -> list[list[Edge]]:
        """Paths from ``source`` down to ``target`` (no column twice, each
        hop with its statement and subtype), shortest first, paths of one
        length in the order of their hops; at most ``limit``: past it, the
        longer paths are not looked for (a list of ``limit`` paths may not
        be all of them)."""
        if isinstance(limit, bool) or not isinstance(limit, int) or limit < 1:
            raise ValueError(f"limit must be 1 or more, not {limit!r}")
        start = self._find("nodes", "column", source)[0]
        end = self._find("nodes", "column", target)[0]
        seen: dict[int, tuple[str, Parts]] = {}
        made: dict[int, str] = {}

        def order(row: walks.Row) -> tuple:
            return (seen[row[1]][0], row[2], row[3], made[row[4]])

        def describe(rows: list[walks.Row]) -> None:
            seen.update(walks.nodes(self._db, (n for row in rows for n in row[:2])))
            made.update(walks.statements(self._db, (row[4] for row in rows)))

        found = walks.paths(self._db, start, end, limit, direct_only, order, describe)
        return [[Edge(seen[src][0], seen[dst][0], kind, subtype, made[statement], depth,
                      seen[src][1], seen[dst][1])
                 for depth, (src, dst, kind, subtype, statement) in enumerate(path, 1)]
                for path in found]

    # --- tables --------------------------------------------------------------------------
    def _links(self, direct_only: bool = False) -> list[tuple[int, int]]:
        return list(self._db.execute(
            "select distinct s.tbl, d.tbl from edges e join nodes s on s.id = e.src "
            "join nodes d on d.id = e.dst where s.tbl != d.tbl"
            + (" and e.type = 'DIRECT'" if direct_only else "")))

    def _shown(self) -> dict[int, str]:
        return dict(self._db.execute("select id, shown from tables"))

    def table_edges(self, direct_only: bool = False) -> list[tuple[str, str]]:
        """Each (source table, target table) some column edge joins (a
        DIRECT one, with ``direct_only``)."""
        links = self._links(direct_only)
        shown = self._shown()
        return sorted({(shown[src], shown[dst]) for src, dst in links})

    def upstream_tables(self, table: str) -> list[str]:
        """Every table ``table``'s columns come from, nearest first."""
        return self._tables(table, "up")

    def downstream_tables(self, table: str) -> list[str]:
        """Every table fed by ``table``'s columns, nearest first."""
        return self._tables(table, "down")

    def _tables(self, table: str, way: str) -> list[str]:
        start = self._find("tables", "table", table)[0]
        onward: dict[int, list[int]] = {}
        for src, dst in self._links():
            near, far = (src, dst) if way == "down" else (dst, src)
            onward.setdefault(near, []).append(far)
        shown = self._shown()
        seen, frontier, order = {start}, [start], []
        while frontier:
            reached = []
            for node in frontier:
                for far in onward.get(node, ()):
                    if far not in seen:
                        seen.add(far)
                        reached.append(far)
            order.extend(sorted(shown[node] for node in reached))
            frontier = reached
        return order

    def summary(self, direct_only: bool = False) -> dict[str, list[str]]:
        """The tables only read ("sources"), both written and read
        ("intermediates") and only written ("targets"), by the edges
        between them (DIRECT ones only, with ``direct_only``).  A table a
        statement writes is written, even when no edge leads into it (its
        columns all constants).  A query that writes nothing is no written
        table: when there are any, they are listed as "queries", and what
        only they read is where the writing ends.  A dbt exposure (a
        dashboard) is none of these."""
        exposures = {row[0] for row in self._db.execute(
            "select distinct s.writes from statements s join edges e on e.statement = s.id "
            "where e.subtype = 'EXPOSURE'")}
        queries = {row[0] for row in self._db.execute(
            "select t.id from statements s join tables t on t.catalog = '' and t.db = '' "
            "and t.name = s.name where s.writes is null")}
        links = [(src, dst) for src, dst in self._links(direct_only) if dst not in exposures]
        read = {src for src, _ in links}
        read_to_write = {src for src, dst in links if dst not in queries}
        written = ({dst for _, dst in links if dst not in queries} | {row[0] for row in self._db.execute(
            "select distinct writes from statements where writes is not null")}) - exposures
        shown = self._shown()
        roles = {role: sorted(shown[table] for table in tables) for role, tables in (
            ("sources", read - written), ("intermediates", read_to_write & written),
            ("targets", written - read_to_write))}
        asked = {dst for _, dst in links if dst in queries}
        if asked:
            roles["queries"] = sorted(shown[table] for table in asked)
        return roles

    def places(self, names_shown: Iterable[str]) -> dict[str, tuple[str, str]]:
        """The (table, column) of each column as the graph shows it."""
        wanted = list(dict.fromkeys(names_shown))
        found: dict[str, tuple[str, str]] = {}
        for at in range(0, len(wanted), 500):
            chunk = wanted[at:at + 500]
            for shown, table, column in self._db.execute(
                    "select n.shown, t.shown, n.name from nodes n join tables t on t.id = n.tbl "
                    f"where n.rshown in ({','.join('?' * len(chunk))})",
                    [names.folded(name) for name in chunk]):
                if shown in chunk:
                    found[shown] = (table, column)
        return found

    # --- what pages, servers and agents show ------------------------------------------------
    def matches(self, name: str, kind: str = "column") -> list[str]:
        """The columns (or, with ``kind="table"``, tables) ``name`` may
        mean, as shown: one when it names one, none when it names none,
        several when it is ambiguous (in order)."""
        found = self._candidates("nodes" if kind == "column" else "tables", kind, name)
        return [row[1] for row in found]

    def search(self, text: str, limit: int = 20) -> tuple[list[Match], int]:
        """Tables and columns whose names hold ``text``, best first (see
        graph.search), at most ``limit``, and how many match in all."""
        if not isinstance(text, str):
            raise TypeError(f"a search is a str, not {type(text).__name__}")
        return search.search(self._db, text, limit)

    def details(self, column: str) -> ColumnDetails:
        """What the graph keeps of a column: its table, data type,
        description and tests (from a dbt project), and the text of each
        statement that writes it."""
        node, shown = self._find("nodes", "column", column)
        _, parts = walks.nodes(self._db, [node])[node]
        description, data_type, tests = details.column(self._db, node)
        return ColumnDetails(shown, names.shown(parts[:3]), parts[3], data_type, description,
                             tests, tuple(details.writers(self._db, node)))

    def table_columns(self, table: str) -> list[str]:
        """The columns of ``table`` the graph holds, as shown, in the order first met."""
        key = self._find("tables", "table", table)[0]
        return [row[0] for row in self._db.execute(
            "select shown from nodes where tbl = ? order by id", (key,))]

    def statement_sql(self, statement: str) -> str | None:
        """The text of a statement (a dbt model's compiled SQL), when kept."""
        return details.statement_sql(self._db, statement)

    def degrees(self, columns: Iterable[str],
                direct_only: bool = False) -> dict[str, tuple[int, int]]:
        """For each column as the graph shows it, its number of edges from
        upstream and to downstream (DIRECT ones alone with ``direct_only``)."""
        wanted = list(dict.fromkeys(columns))
        ids: dict[int, str] = {}
        for at in range(0, len(wanted), 500):
            chunk = wanted[at:at + 500]
            for key, shown in self._db.execute(
                    f"select id, shown from nodes where rshown in ({','.join('?' * len(chunk))})",
                    [names.folded(name) for name in chunk]):
                if shown in chunk:
                    ids[key] = shown
        return {ids[node]: counts for node, counts in
                walks.degrees(self._db, ids, direct_only).items()}

    def edges(self) -> list[Edge]:
        """Every edge of the graph."""
        found = [(row, 1) for row in self._db.execute(
            "select src, dst, type, subtype, statement from edges")]
        return sorted(self._edges(found), key=_order)

    def __len__(self) -> int:
        return self._db.execute("select count(*) from edges").fetchone()[0]

    def __repr__(self) -> str:
        columns = self._db.execute("select count(*) from nodes").fetchone()[0]
        return f"<Graph {columns} columns, {len(self)} edges>"


def _project_made(project: DbtProject, exposures: dict[str, list]) -> dict[str, list]:
    """What a dbt project's models and exposures make, by unique id."""
    # An ephemeral model's query is part of each child's.
    made: dict[str, list] = {
        unique_id: [(unique_id, result)] if isinstance(result, LineageResult)
        and result.target is not None else []
        for unique_id, result in project.models.items()}
    # An exposure (a dashboard, an application) is a node the columns of
    # the models it rests on feed; its id names what made it.
    for exposure, columns in exposures.items():
        package, _, title = exposure.removeprefix("exposure.").partition(".")
        made[exposure] = [(exposure, _Feeds((None, "exposure", package, title),
                                            tuple(columns), "EXPOSURE"))]
    return made


class Refresh(NamedTuple):
    """What a refresh did: models analysed again, models that stood as
    they were, models (and exposures) removed, and the project analysed
    (its ``models`` those analysed again, with their errors and warnings)."""

    analysed: int
    unchanged: int
    removed: int
    project: DbtProject

    def __str__(self) -> str:
        line = f"refreshed: {self.analysed:,} models re-analysed, {self.unchanged:,} unchanged"
        return line + (f", {self.removed:,} removed" if self.removed else "")


def _refresh(db: Any, path: Any, dialect: Any, schema: Any, select: Any, exclude: Any,
             progress: Any) -> Refresh:
    stored: dict[str, dict[str, str]] = {}

    def previous(key: str) -> dict[str, Record]:
        stored[key] = store.refresh_records(db, key)
        found = {uid: Record.from_json(text) for uid, text in stored[key].items()}
        return {uid: record for uid, record in found.items() if record is not None}

    done = refresh_lineage(path, previous, dialect, schema, select=select, exclude=exclude,
                           progress=progress)
    project = done.project
    recorded = stored.get(done.key, {})
    made = _project_made(project, done.exposure_edges())
    if done.selected_all:
        removed = [uid for uid in recorded if uid not in made and uid not in done.kept]
    else:
        removed = [uid for uid in recorded if uid not in done.present]
    for unique_id in removed:
        made[unique_id] = []
    _Writer(db).replace(made)
    _record_details(db, made, [details.Described(*item) for item in project.described()])
    records = {uid: record.to_json() for uid, record in done.records.items()}
    records.update({uid: "exposure" for uid in made if uid.startswith("exposure.")
                    and uid not in removed})
    store.keep_records(db, done.key, records, removed)
    return Refresh(len(done.records), len(done.kept), len(removed), project)


def _record_details(db: Any, made: dict[str, list], described: list[details.Described]) -> None:
    """Beside the edges: each statement's text and what the project says of
    columns, stored as the edges are (a byte that was not UTF-8 as \\xe9)."""
    details.record_sql(db, ((valid_text(statement), valid_text(result.sql))
                            for statements in made.values() for statement, result in statements
                            if isinstance(result, LineageResult) and isinstance(result.sql, str)))
    described = [details.Described(
        valid_text(item.origin),
        tuple(None if part is None else valid_text(part) for part in item.table),
        valid_text(item.column), valid_text(item.description or ""),
        valid_text(item.data_type or ""), tuple(valid_text(str(test)) for test in item.tests))
        for item in described]
    details.record_columns(db, [*map(valid_text, made), *(item.origin for item in described)],
                           described)


class _Feeds(NamedTuple):
    """Edges into one node that no statement computes (a dbt exposure):
    every column of ``sources`` feeds ``target``, each (catalog, db,
    table, column)."""

    target: tuple
    sources: tuple
    subtype: str


class _Writer:
    """One replacement of what some names made, inside a write transaction."""

    def __init__(self, db: Any):
        self.db = db
        self.tables: dict[tuple[str, str, str], int] = {}
        self.nodes: dict[tuple[int, str], int] = {}

    def replace(self, made: dict[str, list[tuple[str, LineageResult]]]) -> None:
        db = self.db
        # Names that cannot be UTF-8 (a file name's odd byte) are stored escaped.
        made = {valid_text(origin): [(valid_text(name), result) for name, result in statements]
                for origin, statements in made.items()}
        dropped = {row[0] for origin in made for row in db.execute(
            "select id from statements where origin = ?", (origin,))}
        dropped |= {row[0] for statements in made.values() for statement, _ in statements
                    for row in db.execute("select id from statements where name = ?",
                                          (statement,))}
        touched_nodes: set[int] = set()
        touched_tables: set[int] = set()
        for statement in dropped:
            for src, dst in db.execute("select src, dst from edges where statement = ?",
                                       (statement,)):
                touched_nodes.update((src, dst))
            writes = db.execute("select writes from statements where id = ?",
                                (statement,)).fetchone()[0]
            if writes is not None:
                touched_tables.add(writes)
        db.executemany("delete from edges where statement = ?", [(s,) for s in dropped])
        db.executemany("delete from statements where id = ?", [(s,) for s in dropped])
        for origin, statements in made.items():
            for statement, result in statements:
                self._statement(origin, statement, result)
        for node in touched_nodes:
            row = db.execute("select tbl from nodes where id = ?", (node,)).fetchone()
            if row and not db.execute("select 1 from edges where src = ? limit 1",
                                      (node,)).fetchone() and not db.execute(
                    "select 1 from edges where dst = ? limit 1", (node,)).fetchone():
                db.execute("delete from nodes where id = ?", (node,))
                touched_tables.add(row[0])
        for table in touched_tables:
            db.execute("delete from tables where id = ? and not exists (select 1 from nodes "
                       "where tbl = ?) and not exists (select 1 from statements where writes = ?)",
                       (table, table, table))

    def _statement(self, origin: str, statement: str, result: "LineageResult | _Feeds") -> None:
        if isinstance(result, _Feeds):
            self._feeds(origin, statement, result)
            return
        target = result.target
        owner = ((target.catalog, target.db, target.name) if target is not None
                 else (None, None, statement))
        writes = self._table(owner) if target is not None else None
        key = self.db.execute("insert into statements (name, origin, writes) values (?, ?, ?)",
                              (statement, origin, writes)).lastrowid
        rows = []
        for column in result.columns:
            sources = (*column.direct, *column.indirect)
            if not sources:   # a constant: no edge would hold its node
                continue
            dst = self._node(owner, column.name)
            for source in sources:
                src = self._node((source.catalog, source.db, source.table), source.column)
                rows.append((src, dst, source.type, source.subtype, key))
        self.db.executemany("insert or ignore into edges values (?, ?, ?, ?, ?)", rows)

    def _feeds(self, origin: str, statement: str, feeds: "_Feeds") -> None:
        owner = feeds.target[:3]
        key = self.db.execute("insert into statements (name, origin, writes) values (?, ?, ?)",
                              (statement, origin, self._table(owner))).lastrowid
        dst = self._node(owner, feeds.target[3])
        self.db.executemany("insert or ignore into edges values (?, ?, ?, ?, ?)",
                            [(self._node(tuple(column[:3]), column[3]), dst, "DIRECT",
                              feeds.subtype, key) for column in feeds.sources])

    def _table(self, parts: tuple) -> int:
        parts = tuple(None if part is None else valid_text(part) for part in parts)
        key = (parts[0] or "", parts[1] or "", parts[2])
        found = self.tables.get(key)
        if found is None:
            db = self.db
            cursor = db.execute(
                "insert or ignore into tables (catalog, db, name, shown, rshown, rplain) "
                "values (?, ?, ?, ?, ?, ?)",
                (*key, names.shown(parts), names.folded(names.shown(parts)),
                 names.folded(names.plain(parts))))
            found = cursor.lastrowid if cursor.rowcount == 1 else db.execute(
                "select id from tables where catalog = ? and db = ? and name = ?", key).fetchone()[0]
            self.tables[key] = found
        return found

    def _node(self, table: tuple, column: str) -> int:
        tbl = self._table(table)
        column = valid_text(column)
        found = self.nodes.get((tbl, column))
        if found is None:
            parts = (*table, column)
            cursor = self.db.execute(
                "insert or ignore into nodes (tbl, name, shown, rshown, rplain) "
                "values (?, ?, ?, ?, ?)",
                (tbl, column, names.shown(parts), names.folded(names.shown(parts)),
                 names.folded(names.plain(parts))))
            found = cursor.lastrowid if cursor.rowcount == 1 else self.db.execute(
                "select id from nodes where tbl = ? and name = ?", (tbl, column)).fetchone()[0]
            self.nodes[(tbl, column)] = found
        return found
