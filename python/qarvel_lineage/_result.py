"""The result of analysing one statement, and its flat forms."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from ._types import OutputColumn, Source, Table, Unresolved

__all__ = ["LineageResult", "FLAT_KEYS"]

# The keys of a flat row, in order.
FLAT_KEYS = ("position", "column", "source_catalog", "source_db", "source_table",
             "source_column", "type", "subtype", "reason")


def _source_row(position: int, name: str, source: Source) -> dict[str, Any]:
    return {"position": position, "column": name, "source_catalog": source.catalog,
            "source_db": source.db, "source_table": source.table,
            "source_column": source.column, "type": source.type,
            "subtype": source.subtype, "reason": None}


def _unresolved_row(position: int, name: str, entry: Unresolved) -> dict[str, Any]:
    return {"position": position, "column": name, "source_catalog": None,
            "source_db": None, "source_table": entry.table,
            "source_column": entry.column or None, "type": "UNRESOLVED",
            "subtype": entry.subtype, "reason": entry.reason}


def flat_rows(columns: tuple[OutputColumn, ...]) -> list[dict[str, Any]]:
    """One row per (output column, source); a column with no source at all
    (a constant) gets one DIRECT CONSTANT row."""
    rows: list[dict[str, Any]] = []
    for column in columns:
        position, name = column.position, column.name
        before = len(rows)
        rows.extend(_source_row(position, name, s) for s in column.direct)
        rows.extend(_source_row(position, name, s) for s in column.indirect)
        rows.extend(_unresolved_row(position, name, u) for u in column.unresolved)
        if len(rows) == before:
            rows.append({"position": position, "column": name, "source_catalog": None,
                         "source_db": None, "source_table": None, "source_column": None,
                         "type": "DIRECT", "subtype": "CONSTANT", "reason": None})
    return rows


@dataclass(frozen=True, slots=True)
class LineageResult:
    """The lineage of one statement.

    ``columns`` has one entry per output column of the statement's result,
    in output order; ``tables`` the physical tables the statement reads, in
    order of first appearance; ``influences`` the INDIRECT sources that apply
    to every row (joins, filters, grouping...), which every column's
    ``indirect`` includes too.  ``kind`` names the statement ("SELECT",
    "UNION", "INSERT", ...).
    """

    sql: str
    dialect: str | None
    kind: str
    columns: tuple[OutputColumn, ...]
    tables: tuple[Table, ...]
    influences: tuple[Source, ...] = field(default=())

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
        order of ``FLAT_KEYS``; missing parts are None."""
        return flat_rows(self.columns)

    def __repr__(self) -> str:
        names = ", ".join(column.name for column in self.columns[:8])
        if len(self.columns) > 8:
            names += f", ... ({len(self.columns)} columns)"
        tables = ", ".join(str(t) for t in self.tables[:6])
        if len(self.tables) > 6:
            tables += ", ..."
        state = "resolved" if self.resolved else "partly unresolved"
        return f"<LineageResult {self.kind} [{names}] from [{tables}], {state}>"
