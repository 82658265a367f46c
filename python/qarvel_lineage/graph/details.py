"""What the stored graph keeps beside the lineage, for pages, servers and
agents: the text of each statement (a dbt model's compiled SQL, a script's
or a log's statement) and what a project says of a column (description,
data type, tests).  Both live in tables of their own (store.DETAILS_SCHEMA)
whose rows go with the statement or the column they describe.
"""

from __future__ import annotations

import json
import sqlite3
from typing import Iterable, NamedTuple

__all__ = ["ColumnDetails", "Described", "record_sql", "record_columns", "column", "writers",
           "statement_sql"]

_CHUNK = 500


class Described(NamedTuple):
    """What a project says of one column: ``origin`` is the node that
    declares it (a dbt unique id), ``table`` its (catalog, db, name)."""

    origin: str
    table: tuple["str | None", "str | None", str]
    column: str
    description: str
    data_type: str
    tests: tuple[str, ...]


class ColumnDetails(NamedTuple):
    """A column of the graph and what is known of it: ``statements`` are
    the (name, SQL text or None) of each statement that writes it."""

    column: str
    table: str
    name: str
    data_type: str
    description: str
    tests: tuple[str, ...]
    statements: tuple[tuple[str, "str | None"], ...]


def record_sql(db: sqlite3.Connection, texts: Iterable[tuple[str, str]]) -> None:
    """Keep the text of each (statement name, SQL) the graph holds."""
    db.executemany("insert or replace into statement_sql (statement, sql) "
                   "select id, ? from statements where name = ?",
                   ((sql, name) for name, sql in texts if isinstance(sql, str) and sql))


def record_columns(db: sqlite3.Connection, origins: Iterable[str],
                   described: Iterable[Described]) -> None:
    """Replace what ``origins`` said of columns by ``described``; a column
    the graph does not hold (no edge reaches it) is left out."""
    gone = list(dict.fromkeys(origins))
    for at in range(0, len(gone), _CHUNK):
        part = gone[at:at + _CHUNK]
        db.execute(f"delete from column_details where origin in ({','.join('?' * len(part))})",
                   part)
    for item in described:
        catalog, schema, name = item.table
        found = db.execute(
            "select n.id from nodes n join tables t on t.id = n.tbl where t.catalog = ? "
            "and t.db = ? and t.name = ? and n.name = ?",
            (catalog or "", schema or "", name, item.column)).fetchone()
        if found is None or not (item.description or item.data_type or item.tests):
            continue
        db.execute("insert or replace into column_details values (?, ?, ?, ?, ?)",
                   (found[0], item.origin, item.description, item.data_type,
                    json.dumps(list(item.tests))))


def column(db: sqlite3.Connection, node: int) -> tuple[str, str, tuple[str, ...]]:
    """The (description, data type, tests) kept for a node ("" and () when none)."""
    row = db.execute("select description, data_type, tests from column_details where node = ?",
                     (node,)).fetchone()
    if row is None:
        return "", "", ()
    try:
        tests = json.loads(row[2])
    except ValueError:
        tests = []
    return row[0], row[1], tuple(str(test) for test in tests if isinstance(test, (str, int)))


def writers(db: sqlite3.Connection, node: int) -> list[tuple[str, str | None]]:
    """Each statement that writes a node, by name, with its text when kept."""
    return list(db.execute(
        "select s.name, q.sql from statements s left join statement_sql q on q.statement = s.id "
        "where s.id in (select distinct statement from edges where dst = ?) order by s.name",
        (node,)))


def statement_sql(db: sqlite3.Connection, name: str) -> str | None:
    row = db.execute("select q.sql from statements s join statement_sql q on q.statement = s.id "
                     "where s.name = ?", (name,)).fetchone()
    return None if row is None else row[0]
