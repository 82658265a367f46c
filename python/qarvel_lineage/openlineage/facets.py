"""The columnLineage facet of each dataset that SQL statements write, from
the engine's lineage of each statement (as ``analyze_script`` gives it:
each statement against the tables the statements before it wrote), named
as the producer of the event names its datasets.

A producer that can read the database's information schema asks
``catalog_tables`` which tables' columns the statements need (for stars,
unqualified columns over several tables, an INSERT without a column list),
and gives them back as rows to ``catalog_schema``."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Iterable

from sqlglot import exp
from sqlglot.errors import SqlglotError

from qarvel_lineage.engine.parse import parse
from qarvel_lineage.engine.records import OutputColumn, Source, Table
from qarvel_lineage.engine.result import LineageResult, openlineage_facet
from qarvel_lineage.engine.rules import Rules, Schema, rules_for, split_statements
from qarvel_lineage.engine.script import ScriptResult, StatementError, analyze_pieces
from qarvel_lineage.openlineage.naming import DatasetNames

__all__ = ["Written", "analyse_sql", "catalog_tables", "catalog_schema", "sqlglot_dialect",
           "written_facets"]

# sqlglot's dialect of the names producers give a database's SQL: OpenLineage's
# dialects, Airflow's connection types.
_DIALECTS = {
    "postgres": "postgres", "postgresql": "postgres", "redshift": "redshift",
    "snowflake": "snowflake", "mysql": "mysql", "mariadb": "mysql", "mssql": "tsql",
    "tsql": "tsql", "oracle": "oracle", "sqlite": "sqlite", "trino": "trino", "presto": "presto",
    "databricks": "databricks", "hive": "hive", "hive_cli": "hive", "hiveserver2": "hive",
    "spark": "spark", "spark_sql": "spark", "sparksql": "spark", "bigquery": "bigquery",
    "google_cloud_platform": "bigquery", "gcpbigquery": "bigquery", "teradata": "teradata",
    "duckdb": "duckdb", "clickhouse": "clickhouse", "athena": "athena", "doris": "doris",
    "starrocks": "starrocks", "exasol": "exasol", "drill": "drill",
}


def sqlglot_dialect(name: Any) -> str | None:
    """sqlglot's name of a dialect a producer names (None: not known)."""
    return _DIALECTS.get(name.lower()) if isinstance(name, str) else None


# An unexpanded star: its columns would be named by a schema.
NEEDS_SCHEMA = "needs a schema"


def analyse_sql(sql: str | Iterable[str], dialect: Any = None, schema: Any = None) -> ScriptResult:
    """The lineage of every statement of ``sql`` (a text of statements, or
    a list of them, as SQL operators take them), in order."""
    rules = rules_for(dialect)
    texts = [sql] if isinstance(sql, str) else list(sql)
    pieces: list[tuple[str, int]] = []
    for text in texts:
        if not isinstance(text, str):
            raise TypeError(f"SQL must be a str or a list of str, not {type(text).__name__}")
        pieces.extend(split_statements(text, rules))
    return analyze_pieces(pieces, rules, schema)


def _results(script: ScriptResult) -> list[LineageResult]:
    return [result for result in script.statements if isinstance(result, LineageResult)]


def _without_column_list(result: LineageResult, rules: Rules) -> bool:
    """An INSERT that names no columns: the target's fill its values."""
    if result.kind != "INSERT":
        return False
    try:
        trees = parse(result.sql, rules)
    except (SqlglotError, ValueError, RecursionError):
        return False
    return bool(trees) and isinstance(trees[0], exp.Insert) \
        and not isinstance(trees[0].this, exp.Schema)


def catalog_tables(script: ScriptResult, dialect: Any = None) -> list[Table]:
    """The tables (read or written) whose columns the statements need from
    the database's catalog; none when every statement is traced without."""
    rules = rules_for(dialect)
    results = _results(script)
    needed = any(column.unresolved for result in results for column in result.columns) \
        or any(_without_column_list(result, rules) for result in results)
    if not needed:
        return []
    tables: dict[Table, None] = {}
    for result in results:
        tables.update(dict.fromkeys(result.tables))
        if result.target is not None:
            tables[result.target] = None
    return list(tables)


def catalog_schema(rows: Iterable[tuple], database: str | None, dialect: Any = None) -> Schema:
    """A schema of the rows an information schema gives: (schema, table,
    column, type), names as the database stores them, in the database
    ``database`` (None: a schema of dbs and tables only)."""
    tables: dict[str, dict[str, dict[str, str]]] = {}
    for schema, table, column, kind in rows:
        tables.setdefault(str(schema), {}).setdefault(str(table), {})[str(column)] = \
            "" if kind is None else str(kind)
    mapping: dict[str, Any] = {database: tables} if database else tables
    return Schema(mapping, dialect, stored=True)


@dataclass
class Written:
    """What statements write: the facet of each dataset by (namespace,
    name), in the order first written, and one line for each statement
    whose lineage is not known (it did not parse, or a star in it needs
    columns no catalog gave)."""

    facets: dict[tuple[str, str], dict[str, Any]] = field(default_factory=dict)
    skipped: list[str] = field(default_factory=list)


def _unexpanded(result: LineageResult) -> list[str]:
    """The tables whose columns a star of the statement left unknown."""
    return list(dict.fromkeys(entry.table or entry.column for column in result.columns
                              for entry in column.unresolved if entry.reason == NEEDS_SCHEMA))


def written_facets(script: ScriptResult, names: DatasetNames) -> Written:
    """The columnLineage facet of every dataset the statements write (a
    table several statements write: all of theirs), each source named by
    ``names``."""
    written = Written()
    columns: dict[tuple[str, str], list[OutputColumn]] = {}
    influences: dict[tuple[str, str], list[Source]] = {}
    for number, result in enumerate(script.statements, 1):
        if isinstance(result, StatementError):
            first = (str(result.error).splitlines() or [""])[0]
            written.skipped.append(f"statement {number}: {type(result.error).__name__}: {first}")
            continue
        if result.target is None or not result.columns:
            continue
        unknown = _unexpanded(result)
        if unknown:
            written.skipped.append(f"statement {number}: the columns of {', '.join(unknown)} "
                                   "are not known")
            continue
        place = names.place(result.target)
        columns.setdefault(place, []).extend(result.columns)
        influences.setdefault(place, []).extend(result.influences)
    for place, found in columns.items():
        written.facets[place] = openlineage_facet(found, influences[place], names.namespace,
                                                  names.place)
    return written
