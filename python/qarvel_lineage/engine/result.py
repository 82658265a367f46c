"""The result of analysing one statement, and its flat forms."""

from __future__ import annotations

import json
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Callable, Iterable

from qarvel_lineage.engine.records import OutputColumn, Source, Table

if TYPE_CHECKING:
    import pandas

__all__ = ["LineageResult", "FLAT_KEYS", "TARGET_KEYS", "flat_rows", "statement_rows",
           "column_rows", "rows_frame",
           "rows_json", "openlineage_facet"]

# The keys of a flat row, in order; TARGET_KEYS follow "column" when the
# statement writes a table.
FLAT_KEYS = ("position", "column", "source_catalog", "source_db", "source_table",
             "source_column", "type", "subtype", "reason")
TARGET_KEYS = ("target_catalog", "target_db", "target_table")


def row_keys(with_target: bool) -> tuple[str, ...]:
    if not with_target:
        return FLAT_KEYS
    return FLAT_KEYS[:2] + TARGET_KEYS + FLAT_KEYS[2:]


def _table_parts(text: str | None) -> tuple[str | None, str | None, str | None]:
    """catalog, db, table of an unresolved entry's table text ("db.t")."""
    if not text:
        return None, None, None
    parts = text.split(".")
    if len(parts) == 2:
        return None, parts[0], parts[1]
    if len(parts) == 3:
        return parts[0], parts[1], parts[2]
    return None, None, text


def flat_rows(columns: Iterable[OutputColumn], target: Table | None = None) -> list[dict[str, Any]]:
    """One row per (output column, source); a column with no source at all
    (a constant) gets one DIRECT CONSTANT row."""
    rows: list[dict[str, Any]] = []
    head: dict[str, Any] = {}
    if target is not None:
        head = {"target_catalog": target.catalog, "target_db": target.db,
                "target_table": target.name}
    for column in columns:
        base = {"position": column.position, "column": column.name, **head}
        before = len(rows)
        for source in (*column.direct, *column.indirect):
            rows.append({**base, "source_catalog": source.catalog, "source_db": source.db,
                         "source_table": source.table, "source_column": source.column,
                         "type": source.type, "subtype": source.subtype, "reason": None})
        for entry in column.unresolved:
            catalog, db, table = _table_parts(entry.table)
            rows.append({**base, "source_catalog": catalog, "source_db": db,
                         "source_table": table, "source_column": entry.column or None,
                         "type": "UNRESOLVED", "subtype": entry.subtype, "reason": entry.reason})
        if len(rows) == before:
            rows.append({**base, "source_catalog": None, "source_db": None, "source_table": None,
                         "source_column": None, "type": "DIRECT", "subtype": "CONSTANT",
                         "reason": None})
    return rows


def statement_rows(result: "LineageResult", head: dict[str, Any],
                   shared: bool = False) -> list[dict[str, Any]]:
    """One statement's flat rows as batches, scripts and the command line
    give them: ``head`` (the keys that say which statement) first, then
    every key of ``row_keys(True)``, the target keys None when the
    statement writes nothing.  With ``shared`` see ``column_rows``."""
    rows = column_rows(result.columns, result.target, head, shared)
    if result.body is not None and not rows:
        rows.append({**head, **dict.fromkeys(row_keys(True)), "position": 0,
                     "reason": result.body_text()})
    return rows


def _source_key(source: Source) -> tuple:
    return source[:6]  # catalog, db, table, column, type, subtype


def column_rows(columns: Iterable[Any], target: Table | None, head: dict[str, Any],
                shared: bool = False) -> list[dict[str, Any]]:
    """The flat rows of output columns (a statement's, or a written
    table's traced end to end), each starting with ``head``.  With
    ``shared``, an INDIRECT source every column has is written once, after
    the columns' own rows, in a row whose ``column`` is "*" and
    ``position`` None; what only some columns have stays on them.  A column
    with no source at all (a constant) gets one DIRECT CONSTANT row."""
    columns = list(columns)
    common: dict[tuple, Source] = {}
    if shared and columns:
        keys = set(map(_source_key, columns[0].indirect))
        for column in columns[1:]:
            keys &= set(map(_source_key, column.indirect))
        common = {_source_key(s): s for s in columns[0].indirect if _source_key(s) in keys}
    tc, tdb, tt = (target.catalog, target.db, target.name) if target is not None else (None,) * 3
    rows: list[dict[str, Any]] = []

    def add(position: Any, name: str, catalog: Any, db: Any, table: Any, column: Any,
            kind: str, subtype: str, reason: Any) -> None:
        rows.append({**head, "position": position, "column": name, "target_catalog": tc,
                     "target_db": tdb, "target_table": tt, "source_catalog": catalog,
                     "source_db": db, "source_table": table, "source_column": column,
                     "type": kind, "subtype": subtype, "reason": reason})

    for column in columns:
        had = bool(column.direct or column.indirect or column.unresolved)
        for source in column.direct:
            add(column.position, column.name, *source[:6], None)
        for source in column.indirect:
            if _source_key(source) not in common:
                add(column.position, column.name, *source[:6], None)
        for entry in column.unresolved:
            catalog, db, table = _table_parts(entry.table)
            add(column.position, column.name, catalog, db, table, entry.column or None,
                "UNRESOLVED", entry.subtype, entry.reason)
        if not had:
            add(column.position, column.name, None, None, None, None, "DIRECT", "CONSTANT", None)
    for source in common.values():
        add(None, "*", *source[:6], None)
    return rows


def rows_frame(rows: list[dict[str, Any]], keys: tuple[str, ...]) -> "pandas.DataFrame":
    """The rows as a DataFrame: the keys as columns in order, "position" as
    int64 and every other column as pandas' string dtype (missing: NA),
    also when there are no rows."""
    import pandas as pd

    frame = pd.DataFrame(rows, columns=list(keys))
    dtypes = {key: ("int64" if key == "position" else "string") for key in keys}
    return frame.astype(dtypes)


def rows_json(rows: list[dict[str, Any]]) -> str:
    return json.dumps(rows, ensure_ascii=False)


# OpenLineage's column lineage facet, spec 1-2-0.
_FACET_SCHEMA = ("https://openlineage.io/spec/facets/1-2-0/ColumnLineageDatasetFacet.json"
                 "#/$defs/ColumnLineageDatasetFacet")
_PRODUCER = "https://pypi.org/project/sqlglot-main/"
# Where a source's dataset is: its namespace and name.
Place = Callable[[Source], tuple[str, str]]


def _input_field(namespace: str, source: Source, place: Place | None = None) -> dict[str, Any]:
    transformation: dict[str, Any] = {"type": source.type, "subtype": source.subtype,
                                      "description": "", "masking": source.masking}
    where, name = place(source) if place is not None else (namespace, source.qualified_table)
    return {"namespace": where, "name": name, "field": source.column,
            "transformations": [transformation]}


def _merged(namespace: str, sources: Iterable[Source], place: Place | None = None) -> list[dict[str, Any]]:
    """Input fields, one per (dataset, column), with all their transformations."""
    fields: dict[tuple[str, str, str], dict[str, Any]] = {}
    for source in sources:
        made = _input_field(namespace, source, place)
        key = (made["namespace"], made["name"], source.column)
        if key not in fields:
            fields[key] = made
        elif made["transformations"][0] not in fields[key]["transformations"]:
            fields[key]["transformations"].append(made["transformations"][0])
    return list(fields.values())


def openlineage_facet(columns: Iterable[OutputColumn], influences: Iterable[Source],
                      namespace: str, place: Place | None = None) -> dict[str, Any]:
    """The ColumnLineageDatasetFacet (spec 1-2-0) of a written dataset, as a
    JSON-ready dict: `fields` by output column, with the INDIRECT inputs that
    apply to every row also under `dataset`.  Two output columns of the same
    name share one field.  Each source's dataset is named ``namespace`` and
    its table as the statement names it, or ``place(source)`` (a namespace
    and a name) when given."""
    fields: dict[str, list[Source]] = {}
    for column in columns:
        fields.setdefault(column.name, []).extend((*column.direct, *column.indirect))
    return column_lineage_facet({name: _merged(namespace, sources, place)
                                 for name, sources in fields.items()},
                                _merged(namespace, influences, place))


def column_lineage_facet(fields: dict[str, list[dict[str, Any]]],
                         dataset: list[dict[str, Any]]) -> dict[str, Any]:
    """The facet of each field's input fields and of the dataset-wide ones."""
    return {
        "_producer": _PRODUCER,
        "_schemaURL": _FACET_SCHEMA,
        "fields": {name: {"inputFields": inputs} for name, inputs in fields.items()},
        "dataset": dataset,
    }


@dataclass(frozen=True, slots=True)
class LineageResult:
    """The lineage of one statement.

    ``columns`` has one entry per output column of the statement's result,
    in output order (for a statement that writes a table, named after the
    target columns they fill); ``tables`` the physical tables the statement
    reads, in order of first appearance; ``influences`` the INDIRECT sources
    that apply to every row (joins, filters, grouping...), which every
    column's ``indirect`` includes too; ``target`` the table a writing
    statement writes (None otherwise).  ``kind`` names the statement
    ("SELECT", "UNION", "INSERT", "CREATE VIEW", "DROP TABLE", ...).
    ``body``, for a procedure or trigger of a script, holds the 1-based
    numbers of the script's statements that make up its body (None for
    any other statement).
    """

    sql: str
    dialect: str | None
    kind: str
    columns: tuple[OutputColumn, ...]
    tables: tuple[Table, ...]
    influences: tuple[Source, ...] = field(default=())
    target: Table | None = None
    body: tuple[int, ...] | None = None

    def body_text(self) -> str | None:
        """"procedure body: statements 2-3" for a routine, None otherwise."""
        if self.body is None:
            return None
        routine = self.kind.split()[-1].lower() + " body"
        if not self.body:
            return f"{routine}: no statements"
        if len(self.body) == 1:
            return f"{routine}: statement {self.body[0]}"
        return f"{routine}: statements {self.body[0]}-{self.body[-1]}"

    @property
    def resolved(self) -> bool:
        """True when every column's lineage was traced completely."""
        return all(not column.unresolved for column in self.columns)

    def column(self, name: str) -> OutputColumn:
        """The first output column called ``name`` (KeyError when none)."""
        for column in self.columns:
            if column.name == name:
                return column
        raise KeyError(name)

    def to_dicts(self) -> list[dict[str, Any]]:
        """The flat form: one dict per (output column, source), keys in the
        order of FLAT_KEYS, with TARGET_KEYS after "column" when the
        statement writes a table; missing parts are None.  A procedure or
        trigger without output columns has one row, at position 0, whose
        reason names its body's statements."""
        rows = flat_rows(self.columns, self.target)
        if self.body is not None and not rows:
            rows.append({**dict.fromkeys(row_keys(self.target is not None)), "position": 0,
                         "reason": self.body_text()})
        return rows

    def to_dataframe(self) -> "pandas.DataFrame":
        return rows_frame(self.to_dicts(), row_keys(self.target is not None))

    def to_json(self) -> str:
        """The flat rows as JSON text (UTF-8, not escaped)."""
        return rows_json(self.to_dicts())

    def to_openlineage(self, namespace: str) -> dict[str, Any]:
        """OpenLineage's ColumnLineageDatasetFacet of what the statement
        produces, its inputs named in ``namespace``."""
        if not isinstance(namespace, str):
            raise TypeError(f"namespace must be a str, not {type(namespace).__name__}")
        return openlineage_facet(self.columns, self.influences, namespace)

    def __repr__(self) -> str:
        names = ", ".join(column.name for column in self.columns[:8])
        if len(self.columns) > 8:
            names += f", ... ({len(self.columns)} columns)"
        tables = ", ".join(str(t) for t in self.tables[:6])
        if len(self.tables) > 6:
            tables += ", ..."
        state = "resolved" if self.resolved else "partly unresolved"
        into = f" into {self.target}" if self.target is not None else ""
        body = f" ({self.body_text()})" if self.body is not None else ""
        return f"<LineageResult {self.kind}{into}{body} [{names}] from [{tables}], {state}>"
