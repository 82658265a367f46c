"""Whole scripts: statements in order, and lineage traced through them.

``analyze_script`` splits a text at the statement separators sqlglot's
tokenizer finds, analyses each statement with the schema as the statements
before it left it (``CREATE TABLE t (a INT)`` and ``CREATE TABLE t AS ...``
define ``t``, ``DROP TABLE`` removes it), and traces every column of every
table or view the script writes through the tables and views earlier
statements created or filled, down to the tables the script only reads.
"""

from __future__ import annotations

from dataclasses import dataclass, field, replace
from typing import Any, Iterable, NamedTuple

from sqlglot import exp
from sqlglot.errors import ParseError, SqlglotError

from qarvel_lineage.engine.blocks import Blocks
from qarvel_lineage.engine.parse import analyze_statement, parse
from qarvel_lineage.engine.records import EngineResult, OutputColumn, Source, Table, Unresolved
from qarvel_lineage.engine.result import (
    LineageResult,
    flat_rows,
    openlineage_facet,
    row_keys,
    rows_frame,
    rows_json,
    statement_rows,
)
from qarvel_lineage.engine.routines import Routine, group_routines
from qarvel_lineage.engine.rules import Rules, Schema, SchemaIndex, rules_for, split_statements
from qarvel_lineage.engine.tracing import Traced, Tracer

__all__ = ["analyze_script", "ScriptResult", "StatementError", "EndToEnd", "TargetColumn"]


class TargetColumn(NamedTuple):
    """A column of a table or view a script writes, traced to the tables the
    script only reads."""

    target: Table
    position: int
    name: str
    direct: tuple[Source, ...]
    indirect: tuple[Source, ...]
    unresolved: tuple[Unresolved, ...]


@dataclass(frozen=True, slots=True)
class StatementError:
    """A statement of a script that could not be analysed."""

    index: int       # 1-based statement number
    line: int        # line of the script where the statement starts
    sql: str
    error: Exception

    def __str__(self) -> str:
        return f"statement {self.index} (line {self.line}): {type(self.error).__name__}: {self.error}"


# --- the script's schema and written tables -------------------------------------------

def _key(table: Table) -> tuple[str | None, str | None, str]:
    return (table.catalog, table.db, table.name)


def _matches(read: tuple, written: tuple) -> bool:
    """A table a statement reads, named as it names it, against a written
    one: names equal, and db and catalog equal wherever both are given."""
    return read[2] == written[2] and all(a is None or b is None or a == b
                                         for a, b in zip(read[:2], written[:2]))


class _Written:
    """The current content of one table or view the script wrote."""

    __slots__ = ("table", "columns", "influences")

    def __init__(self, table: Table):
        self.table = table
        self.columns: dict[str, Traced] = {}
        # What decided which rows it holds (every writing statement's).
        self.influences: tuple[Source, ...] = ()

    def column(self, name: str) -> Traced:
        found = self.columns.get(name)
        if found is None:
            found = self.columns[name] = Traced(name)
        return found


class _ScriptState:
    """The tables a script has defined and written so far.  Everything is
    kept by table name as well, so a statement costs the same however many
    tables the script made before it."""

    def __init__(self, schema: Any, rules: Rules):
        self.rules = rules
        base = schema if isinstance(schema, Schema) else (
            Schema(schema, rules.dialect) if schema is not None else None)
        self.tables: dict[tuple, tuple[str, ...]] = {}
        self._tables_named: dict[str, set[tuple]] = {}
        # Tables a script defines are named in full; a schema of tables only
        # still matches them by name.
        self._index = SchemaIndex(base.index.depth if base is not None else 4)
        self.current: dict[tuple, _Written] = {}   # written and not dropped
        self._current_named: dict[str, set[tuple]] = {}
        self.history: dict[tuple, _Written] = {}   # every written table's last version
        # Per name, how many current tables lack a catalog or a db (a table
        # named in full is then looked up by its key alone).
        self._partial_named: dict[str, int] = {}
        self.tracer = Tracer(self._column_of, self._through_star)
        for key, cols in (base.tables.items() if base is not None else ()):
            self.tables[key] = cols
            self._tables_named.setdefault(key[2], set()).add(key)
        for name in self._tables_named:
            self._reindex(name)

    # schema -------------------------------------------------------------------------
    def index(self) -> SchemaIndex:
        return self._index

    def _reindex(self, name: str) -> None:
        self._index.reindex(name, [(full, self.tables[full]) for full in self._tables_named.get(name, ())])

    def define(self, table: Table, columns: Iterable[str]) -> None:
        self.drop_schema(table, reindex=False)
        key = _key(table)
        self.tables[key] = tuple(columns)
        self._tables_named.setdefault(key[2], set()).add(key)
        self._reindex(key[2])

    def drop_schema(self, table: Table, reindex: bool = True) -> None:
        read = _key(table)
        named = self._tables_named.get(read[2], set())
        for key in [k for k in named if _matches(read, k)]:
            del self.tables[key]
            named.discard(key)
        if reindex:
            self._reindex(read[2])

    # written tables -------------------------------------------------------------------
    def _written(self, read: tuple) -> list[tuple]:
        named = self._current_named.get(read[2])
        if not named:
            return []
        if read[0] is not None and read[1] is not None and not self._partial_named.get(read[2]):
            # Named in full, and every table of that name too: its key or nothing.
            return [read] if read in self.current else []
        return [key for key in named if _matches(read, key)]

    def find(self, catalog, db, name) -> _Written | None:
        found = self._written((catalog, db, name))
        return self.current[found[0]] if len(found) == 1 else None

    def _set_current(self, written: _Written) -> None:
        key = _key(written.table)
        if key not in self.current and (key[0] is None or key[1] is None):
            self._partial_named[key[2]] = self._partial_named.get(key[2], 0) + 1
        self.current[key] = written
        self._current_named.setdefault(key[2], set()).add(key)

    def _drop_current(self, read: tuple) -> None:
        for key in self._written(read):
            del self.current[key]
            self._current_named[read[2]].discard(key)
            if key[0] is None or key[1] is None:
                self._partial_named[key[2]] -= 1

    def known(self, table: Table) -> bool:
        """Whether the script or the schema defines ``table``."""
        read = _key(table)
        return any(_matches(read, key) for key in self._tables_named.get(read[2], ()))

    def _column_of(self, item: Source) -> Any:
        """The written column a source stands for, ``("*", star)`` for a
        table written from a star over columns not known, or None."""
        written = self.find(item.catalog, item.db, item.table)
        if written is None:
            return None
        column = written.columns.get(item.column)
        if column is not None:
            return column
        star = written.columns.get("*")
        # A table the script created without filling: its columns are
        # what it holds from elsewhere.
        return ("*", star) if star is not None else None

    def expand(self, item: Source | Unresolved) -> list[Source | Unresolved]:
        """A source in terms of tables the script only reads."""
        if isinstance(item, Unresolved):
            return [item]
        found = self._column_of(item)
        if found is None:
            return [item]
        if not isinstance(found, Traced):
            return self._through_star(item, found[1])
        if item.type == "DIRECT":
            expanded = list(self.tracer.as_direct(found.direct, item.subtype, item.masking))
        else:
            expanded = list(self.tracer.as_indirect(found.direct, item.subtype))
        expanded.extend(found.indirect)
        expanded.extend(found.unresolved)
        return expanded

    @staticmethod
    def _through_star(item: Source, star: Traced) -> list[Source | Unresolved]:
        """A column read from a table written from a star over tables whose
        columns were not known: that column of each of those tables (with
        what decided the star's rows)."""
        expanded: list[Source | Unresolved] = []
        for entry in star.unresolved:
            if entry.column != "*" or entry.table is None:
                expanded.append(entry)
                continue
            parts = entry.table.split(".")
            if len(parts) > 3:
                expanded.append(entry)
                continue
            catalog, db, table = [None] * (3 - len(parts)) + parts
            expanded.append(item._replace(catalog=catalog, db=db, table=table))
        for source in star.direct:
            expanded.append(source._replace(type="INDIRECT", subtype=item.subtype, masking=False)
                            if item.type != "DIRECT" else source)
        expanded.extend(star.indirect)
        return expanded

    def write(self, result: LineageResult, replace: bool) -> None:
        table = result.target
        key = _key(table)
        traced = self.tracer.trace(result.columns)
        written = None if replace else self.find(*key)
        if written is None:
            written = _Written(table)
            self._drop_current(key)
        for column in traced:
            into = written.columns.get(column.name)
            if into is None:
                written.columns[column.name] = column
            else:
                self.tracer.extend(into, column.direct, column.indirect, column.unresolved)
        parts = [written.influences]
        for source in result.influences:
            parts.extend(self.tracer.influence(source))
        written.influences = self.tracer.union(parts)
        self._set_current(written)
        self.history[_key(written.table)] = written

    def filter_rows(self, result: LineageResult) -> None:
        """DELETE: what decides which rows remain is an influence of every column."""
        written = self.find(*_key(result.target))
        if written is None:
            return
        influences = [part for source in result.influences for part in self.expand(source)]
        for column in written.columns.values():
            self.tracer.add(column, influences)
        written.influences = self.tracer.union([written.influences, self.tracer.dedupe(
            part for part in influences if isinstance(part, Source))])

    def empty(self, table: Table) -> None:
        """TRUNCATE, or DELETE without WHERE: the table stays, what it held
        and where that came from is gone."""
        for key in self._written(_key(table)):
            emptied = _Written(self.current[key].table)
            for name in self.current[key].columns:
                emptied.column(name)
            self.current[key] = self.history[key] = emptied

    def drop(self, table: Table) -> None:
        self.drop_schema(table)
        self._drop_current(_key(table))

    def rename(self, old: Table, new: Table) -> None:
        """ALTER ... RENAME TO: the table's columns and content under its new name."""
        read = _key(old)
        defined = [key for key in self._tables_named.get(read[2], ()) if _matches(read, key)]
        columns = self.tables[defined[0]] if len(defined) == 1 else None
        written = self.find(*read)
        self.drop(old)
        if columns is not None:
            self.define(new, columns)
        if written is not None:
            moved = _Written(new)
            moved.columns, moved.influences = written.columns, written.influences
            self._set_current(moved)
            self.history[_key(new)] = moved


# --- results -----------------------------------------------------------------------

class EndToEnd:
    """Every column of every table or view a script writes (its last
    version), traced to the tables the script only reads."""

    __slots__ = ("columns", "tables", "influences")

    def __init__(self, columns: tuple[TargetColumn, ...], tables: tuple[Table, ...],
                 influences: dict[Table, tuple[Source, ...]] | None = None):
        self.columns = columns
        self.tables = tables
        # Per written table: the INDIRECT sources that decided its rows.
        self.influences = influences or {}

    def to_dicts(self) -> list[dict[str, Any]]:
        """Flat rows with the target keys, as LineageResult.to_dicts gives them."""
        rows: list[dict[str, Any]] = []
        for table in self.tables:
            columns = [OutputColumn(c.position, c.name, c.direct, c.indirect, c.unresolved)
                       for c in self.columns if c.target == table]
            rows.extend(flat_rows(columns, table))
        return rows

    def to_dataframe(self):
        return rows_frame(self.to_dicts(), row_keys(True))

    def to_json(self) -> str:
        return rows_json(self.to_dicts())

    def to_openlineage(self, namespace: str) -> list[dict[str, Any]]:
        """One OpenLineage output dataset per written table, each with its
        ColumnLineageDatasetFacet under facets["columnLineage"]."""
        if not isinstance(namespace, str):
            raise TypeError(f"namespace must be a str, not {type(namespace).__name__}")
        datasets = []
        for table in self.tables:
            columns = [OutputColumn(c.position, c.name, c.direct, c.indirect, c.unresolved)
                       for c in self.columns if c.target == table]
            facet = openlineage_facet(columns, self.influences.get(table, ()), namespace)
            datasets.append({"namespace": namespace, "name": str(table),
                             "facets": {"columnLineage": facet}})
        return datasets

    def __repr__(self) -> str:
        return f"<EndToEnd {len(self.columns)} columns of {len(self.tables)} tables>"


@dataclass(frozen=True, slots=True)
class ScriptResult:
    """The statements of a script, in order (a LineageResult each, or a
    StatementError for one that could not be analysed), and the lineage
    traced through the whole script."""

    statements: tuple[LineageResult | StatementError, ...]
    end_to_end: EndToEnd
    # For each procedure or trigger (its 1-based statement number), the
    # numbers of the statements of its body, which follow it.
    routines: dict[int, tuple[int, ...]] = field(default_factory=dict)

    @property
    def errors(self) -> tuple[StatementError, ...]:
        return tuple(s for s in self.statements if isinstance(s, StatementError))

    def to_dicts(self) -> list[dict[str, Any]]:
        """Every statement's flat rows, each with "statement" (1-based) first
        and the target keys (None when the statement writes nothing)."""
        rows: list[dict[str, Any]] = []
        for index, result in enumerate(self.statements, 1):
            if not isinstance(result, StatementError):
                rows.extend(statement_rows(result, {"statement": index}))
        return rows

    def to_dataframe(self):
        frame = rows_frame(self.to_dicts(), ("statement",) + row_keys(True))
        return frame.astype({"statement": "int64"})

    def to_json(self) -> str:
        return rows_json(self.to_dicts())

    def to_openlineage(self, namespace: str) -> list[dict[str, Any]]:
        return self.end_to_end.to_openlineage(namespace)


def table_of(table: exp.Table, rules: Rules) -> Table | None:
    """The Table a sqlglot table names, its unquoted parts normalised
    (None without a name)."""
    parts: list[str | None] = []
    for part in ("catalog", "db", "this"):
        identifier = table.args.get(part)
        if isinstance(identifier, exp.Identifier):
            parts.append(identifier.name if identifier.quoted else rules.normalise_table(identifier.name))
        else:
            parts.append(None)
    return Table(parts[0], parts[1], parts[2]) if parts[2] else None


def analyze_script(text: str, dialect: Any = None, schema: Any = None,
                   progress: Any = None) -> ScriptResult:
    """The lineage of every statement of a script, and traced through it.

    A statement that fails to parse is reported as a StatementError with its
    number and line; the rest of the script is still analysed.
    ``progress(done, total)``, when given, is called after each statement.
    """

    if not isinstance(text, str):
        raise TypeError(f"text must be a str, not {type(text).__name__}")
    rules = rules_for(dialect)
    return analyze_pieces(split_statements(text, rules), rules, schema, progress)


def analyze_pieces(pieces: list[tuple[str, int]], rules: Rules, schema: Any = None,
                   progress: Any = None, strict: bool = False) -> ScriptResult:
    """``analyze_script`` of a script already split into (statement, line)
    pieces.  With ``strict``, a statement that does not parse raises its
    ParseError rather than becoming a StatementError."""
    state = _ScriptState(schema, rules)
    blocks = Blocks()
    statements: list[LineageResult | StatementError] = []
    routines: dict[int, tuple[int, ...]] = {}
    done = 0

    def analyse_one(sql: str, line: int, conditions: tuple[str, ...]) -> None:
        try:
            trees = parse(sql, rules)
            if not trees:
                raise ParseError("no statement")
            result, found = analyze_statement(trees[0], sql, rules, state.index())
            if conditions:
                result = _under_conditions(result, conditions, rules, state.index())
        except (SqlglotError, ValueError, RecursionError) as error:
            if strict and isinstance(error, ParseError):
                raise
            statements.append(StatementError(len(statements) + 1, line, sql, error))
            return
        statements.append(result)
        apply_statement(state, result, found)

    def analyse(sql: str, line: int) -> None:
        # The statements inside control flow (IF, WHILE, TRY ... CATCH) are
        # the script's, governed by their blocks' conditions.
        for text, at, conditions in blocks.unwrap(sql, line):
            analyse_one(text, at, conditions)

    for item in group_routines(pieces):
        if progress is not None and done:
            progress(min(done, len(pieces)), len(pieces))
        if isinstance(item, Routine):
            # A procedure or trigger: its body's statements are the script's,
            # and its own result names them.
            statements.append(LineageResult(sql=item.header, dialect=rules.name, kind=item.kind,
                                            columns=(), tables=()))
            number = len(statements)
            for sql, line in item.body:
                analyse(sql, line)
            body = tuple(range(number + 1, len(statements) + 1))
            routines[number] = body
            statements[number - 1] = replace(statements[number - 1], body=body)
            done += len(item.body) + 2
        else:
            analyse(*item)
            done += 1
    if progress is not None and pieces:
        progress(len(pieces), len(pieces))
    return ScriptResult(tuple(statements), end_to_end(state), routines)


def _under_conditions(result: LineageResult, conditions: tuple[str, ...], rules: Rules,
                      index: SchemaIndex) -> LineageResult:
    """A statement inside IF / WHILE / FOR blocks: the columns their
    conditions read decide whether it writes (INDIRECT CONDITIONAL, on every
    column and the statement's influences); a condition that cannot be read
    is reported on every column."""
    found: dict[Source, None] = {}
    tables = dict.fromkeys(result.tables)
    unread: list[Unresolved] = []
    for text in conditions:
        try:
            condition = rules.dialect.parse_into(exp.Condition, text)[0]
            tree = exp.Select(expressions=[exp.Literal.number(1)]).where(condition)
            read, _ = analyze_statement(tree, text, rules, index)
        except (SqlglotError, ValueError, RecursionError, IndexError):
            unread.append(Unresolved("*", None, "CONDITIONAL", "not traced: a control-flow condition"))
            continue
        tables.update(dict.fromkeys(read.tables))
        for source in read.influences:
            found[source._replace(subtype="CONDITIONAL")] = None
        for column in read.columns:
            unread.extend(u._replace(subtype="CONDITIONAL") for u in column.unresolved)
    extra = tuple(found)
    columns = tuple(c._replace(indirect=c.indirect + tuple(s for s in extra if s not in c.indirect),
                               unresolved=c.unresolved + tuple(unread)) for c in result.columns)
    influences = result.influences + tuple(s for s in extra if s not in result.influences)
    return replace(result, columns=columns, influences=influences, tables=tuple(tables))


def apply_statement(state: _ScriptState, result: LineageResult, found: EngineResult) -> None:
    """What one analysed statement does to the tables of a script: the
    action of its effect, as the engine names it."""
    action = _ACTIONS.get(found.effect)
    if action is not None:
        action(state, result, found)


def _define(state: _ScriptState, result: LineageResult, found: EngineResult) -> None:
    names = found.defined if found.defined is not None else [c.name for c in result.columns]
    if "*" in names:
        # A star over columns no schema gave: which columns it has is not
        # known, so later statements read any name from it.
        state.drop_schema(result.target)
    else:
        state.define(result.target, names)
    state.write(result, replace=True)


def _write(state: _ScriptState, result: LineageResult, found: EngineResult) -> None:
    # A table neither the schema nor the script defined takes the columns
    # written into it, unless the statement named only some of them
    # (``defined`` is then ("*",)): its other columns are read as they are.
    partial = found.defined is not None and "*" in found.defined
    if state.find(*_key(result.target)) is None and not state.known(result.target) and not partial:
        state.define(result.target, [c.name for c in result.columns])
    # INSERT OVERWRITE replaces what the table held.
    state.write(result, replace=found.effect == "REPLACE")


def _empty(state: _ScriptState, result: LineageResult, found: EngineResult) -> None:
    for table in found.named:
        state.empty(table)


def _drop(state: _ScriptState, result: LineageResult, found: EngineResult) -> None:
    for table in found.named:
        state.drop(table)


def _rename(state: _ScriptState, result: LineageResult, found: EngineResult) -> None:
    for old, new in zip(found.named[::2], found.named[1::2]):
        state.rename(old, new)


# One action per effect the engine reports (src/lineage: `effect`).
_ACTIONS = {
    "DEFINE": _define,
    "WRITE": _write,
    "REPLACE": _write,
    "FILTER": lambda state, result, found: state.filter_rows(result),
    "EMPTY": _empty,
    "DROP": _drop,
    "RENAME": _rename,
}


def end_to_end(state: _ScriptState) -> EndToEnd:
    """Every column of every table written (its last version), traced."""
    columns = []
    for written in state.history.values():
        for position, column in enumerate(written.columns.values(), 1):
            columns.append(TargetColumn(written.table, position, column.name, column.direct,
                                        column.indirect, column.unresolved))
    tables = tuple(written.table for written in state.history.values())
    influences = {written.table: written.influences for written in state.history.values()}
    return EndToEnd(tuple(columns), tables, influences)
