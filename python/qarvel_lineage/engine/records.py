"""The result types of the lineage engine.

Every value is immutable.  The per-column and per-source types are named
tuples, made by the native engine directly; the statement result is a frozen
dataclass with the output methods.
"""

from __future__ import annotations

from typing import NamedTuple

__all__ = ["Source", "Unresolved", "OutputColumn", "Table"]


class Table(NamedTuple):
    """A physical table: catalog and db are None when the statement does not name them."""

    catalog: str | None
    db: str | None
    name: str

    def __str__(self) -> str:
        return ".".join(part for part in (self.catalog, self.db, self.name) if part)


class Source(NamedTuple):
    """One physical column that feeds an output column.

    ``type`` is "DIRECT" (the value flows into the output) or "INDIRECT" (it
    decides which rows or values appear); ``subtype`` is OpenLineage's:
    IDENTITY, TRANSFORMATION, AGGREGATION for direct sources, JOIN, FILTER,
    GROUP_BY, SORT, WINDOW, CONDITIONAL for indirect ones.  ``masking`` is
    True when the value passes through a hash or mask function on the way.
    """

    catalog: str | None
    db: str | None
    table: str
    column: str
    type: str
    subtype: str
    masking: bool = False

    @property
    def qualified_table(self) -> str:
        return ".".join(part for part in (self.catalog, self.db, self.table) if part)

    def __str__(self) -> str:
        return f"{self.qualified_table}.{self.column} ({self.type} {self.subtype})"


class Unresolved(NamedTuple):
    """Something the engine could not trace to a physical column, and why.

    ``column`` is the reference as the statement writes it (a column name, or
    ``t.*`` for a star); ``table`` the table it names, when it names one;
    ``subtype`` the role it plays (IDENTITY ... CONDITIONAL, as for a source);
    ``reason`` says in words why it is unresolved ("ambiguous: one of orders,
    customer", "needs a schema").
    """

    column: str
    table: str | None
    subtype: str
    reason: str

    def __str__(self) -> str:
        where = f"{self.table}." if self.table and not self.column.startswith(self.table + ".") else ""
        return f"{where}{self.column}: {self.reason}"


class OutputColumn(NamedTuple):
    """One output column of a statement's result, in output order."""

    position: int
    name: str
    direct: tuple[Source, ...]
    indirect: tuple[Source, ...]
    unresolved: tuple[Unresolved, ...]

    @property
    def resolved(self) -> bool:
        """True when every part of the column's lineage was traced."""
        return not self.unresolved


class EngineResult(NamedTuple):
    """What the native engine returns for one statement.

    ``literal_names`` says what depends on literal values: True when a name
    other than an output column's came from a literal, else the 1-based
    positions of the output columns named by a literal.  ``effect`` is what
    the statement does to the tables of a script ("DEFINE", "WRITE",
    "REPLACE", "FILTER", "EMPTY", "DROP", "RENAME", or None), ``named`` the
    tables a DROP or an emptying statement names (a RENAME's (old, new)
    pairs, flat), ``defined`` the columns of a
    CREATE TABLE without a query (("*",) where they are not known; for an
    INSERT that names its columns, ("*",): the table may have others; None
    otherwise).
    """

    kind: str
    columns: tuple[OutputColumn, ...]
    tables: tuple[Table, ...]
    influences: tuple[Source, ...]
    target: Table | None
    literal_names: bool | tuple[int, ...]
    effect: str | None
    named: tuple[Table, ...]
    defined: tuple[str, ...] | None
