"""Dataset names as a producer of OpenLineage events gives them.

A statement names a table as its author wrote it (``orders``,
``sales.orders``); a producer names the dataset in full, in the namespace
of the connection (``shop.sales.orders`` in ``postgres://host:5432``).
``DatasetNames`` completes a table's name with the connection's database
and default schema, and prefers the name of a dataset the event already
holds whose last parts are the table's."""

from __future__ import annotations

from typing import Iterable

from qarvel_lineage.engine.records import Source, Table

__all__ = ["DatasetNames"]


class DatasetNames:
    """Where each table a statement names is: ``namespace`` and a name
    whose missing parts are ``database`` and ``schema`` (as the producer
    names them), or the one dataset of ``known`` (namespace, name) whose
    name ends with the table's parts (compared as written, then ignoring
    case)."""

    def __init__(self, namespace: str, database: str | None = None, schema: str | None = None,
                 known: Iterable[tuple[str, str]] = ()):
        self.namespace = namespace
        self.database = database or None
        self.schema = schema or None
        self.known = list(dict.fromkeys(known))
        self._found: dict[tuple, tuple[str, str]] = {}

    def full_name(self, table: Table) -> str:
        """The table's name with the connection's database and schema
        where the statement leaves them out."""
        catalog, db, name = table
        if catalog is None and db is None:
            parts = (self.database, self.schema, name)
        elif catalog is None:
            parts = (self.database, db, name)
        else:
            parts = (catalog, db, name)
        return ".".join(part for part in parts if part)

    def place(self, table: Table | Source) -> tuple[str, str]:
        """(namespace, name) of a table, or of a source's table."""
        key = (table.catalog, table.db, table.table if isinstance(table, Source) else table.name)
        found = self._found.get(key)
        if found is None:
            found = self._found[key] = self._place(Table(*key))
        return found

    def _place(self, table: Table) -> tuple[str, str]:
        full = self.full_name(table)
        if (self.namespace, full) in self.known:
            return self.namespace, full
        given = [part for part in table if part]
        for fold in (False, True):
            matches = [(namespace, name) for namespace, name in self.known
                       if _ends_with(name, given, fold)]
            if len(matches) == 1:
                return matches[0]
            if matches:
                break  # several datasets may be the table: none is chosen
        return self.namespace, full


def _ends_with(name: str, parts: list[str], fold: bool) -> bool:
    """Whether a dataset name ends with the parts, part for part."""
    tail = name.split(".")[-len(parts):]
    if len(tail) != len(parts):
        return False
    if fold:
        return [part.casefold() for part in tail] == [part.casefold() for part in parts]
    return tail == parts
