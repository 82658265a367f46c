"""Column lineage in Airflow's OpenLineage events: an extractor for
SQLExecuteQueryOperator and the SQL operators built on it.

    pip install 'sqlglot-main[airflow]'
    AIRFLOW__OPENLINEAGE__EXTRACTORS=qarvel_lineage.airflow.ColumnLineageExtractor

The provider consults configured extractors before an operator's own
OpenLineage methods.  This one runs those methods (it is the provider's
DefaultExtractor), so the event keeps Airflow's datasets, their names
(``database.schema.table`` in the connection's namespace) and facets; then
it gives each output dataset its own columnLineage facet from this
package's engine: every field named as the target's column, DIRECT and
INDIRECT transformations with their subtypes, each dataset the lineage of
the statements that write it.  The dialect is the one the connection's hook
reports, else the connection's type; the columns of the tables a statement
needs them for (stars, unqualified columns over several tables, an INSERT
without a column list) come from the connection's information schema,
read through the operator's own hook with bound parameters.  A statement
that cannot be analysed leaves Airflow's own facet in place and logs one
line; nothing here fails the task.

Operators of other names: subclass the extractor and extend ``OPERATORS``.
Importable only where Airflow and its OpenLineage provider are installed.
"""

from __future__ import annotations

from typing import Any

from airflow.providers.openlineage.extractors.base import DefaultExtractor, OperatorLineage

from qarvel_lineage.engine.records import Table
from qarvel_lineage.openlineage.facets import (
    analyse_sql,
    catalog_schema,
    catalog_tables,
    sqlglot_dialect,
    written_facets,
)
from qarvel_lineage.openlineage.naming import DatasetNames
from qarvel_lineage.openlineage.objects import lineage_facet

__all__ = ["ColumnLineageExtractor", "OPERATORS"]

# SQLExecuteQueryOperator and the operators of Airflow's providers built on
# it, now or in earlier releases (the provider matches a task's class name).
OPERATORS = (
    "SQLExecuteQueryOperator", "SnowflakeSqlApiOperator", "SnowflakeOperator",
    "DatabricksSqlOperator", "ExasolOperator", "TeradataOperator", "PostgresOperator",
    "MySqlOperator", "MsSqlOperator", "OracleOperator", "SqliteOperator", "TrinoOperator",
    "VerticaOperator", "JdbcOperator", "RedshiftSQLOperator", "Db2SqlOperator",
)

# At most this many names bound in one query of the information schema.
_NAMES_PER_QUERY = 500


def dialect_of(hook: Any, connection: Any) -> str | None:
    """The dialect the hook reports for OpenLineage, else the connection's
    type, as sqlglot names it (None: sqlglot's default)."""
    try:
        reported = hook.get_openlineage_database_dialect(connection)
    except Exception:
        reported = None
    for name in (reported, getattr(connection, "conn_type", None)):
        found = sqlglot_dialect(name)
        if found is not None:
            return found
    return None


def catalog_rows(hook: Any, info: Any, tables: list[Table], database: str | None,
                 schema: str | None) -> list[tuple]:
    """(schema, table, column, type) of the tables, from the information
    schema table the hook names, through the hook, the names bound as
    parameters (the table's and its columns' names are the hook's own)."""
    wanted = {(table.db or schema, table.name) for table in tables
              if table.catalog in (None, database)}
    names = sorted({name for _, name in wanted})
    schemas = sorted({db for db, _ in wanted if db})
    columns = list(info.information_schema_columns)
    in_schema, in_table, in_column, position = columns[:4]
    kind = columns[4] if len(columns) > 4 else "NULL"
    rows: list[tuple] = []
    for start in range(0, len(names), _NAMES_PER_QUERY):
        chunk = names[start:start + _NAMES_PER_QUERY]
        marks = ", ".join([hook.placeholder] * len(chunk))
        query = (f"SELECT {in_schema}, {in_table}, {in_column}, {kind} "
                 f"FROM {info.information_schema_table_name} WHERE {in_table} IN ({marks})")
        if schemas:
            query += f" AND {in_schema} IN ({', '.join([hook.placeholder] * len(schemas))})"
        query += f" ORDER BY {in_schema}, {in_table}, {position}"
        for row in hook.get_records(query, parameters=(*chunk, *schemas)) or ():
            if (row[0], row[1]) in wanted:
                rows.append(tuple(row[:4]))
    return rows


class ColumnLineageExtractor(DefaultExtractor):
    """Airflow's lineage of a SQL operator, each output dataset with this
    package's columnLineage facet."""

    OPERATORS: tuple[str, ...] = OPERATORS

    @classmethod
    def get_operator_classnames(cls) -> list[str]:
        return list(cls.OPERATORS)

    def __init__(self, operator: Any, *args: Any, **kwargs: Any):
        super().__init__(operator, *args, **kwargs)
        self._inside = False  # the provider's methods call one another

    def _with_column_lineage(self, call: Any, *args: Any) -> OperatorLineage | None:
        if self._inside:
            return call(*args)
        self._inside = True
        try:
            lineage = call(*args)
        finally:
            self._inside = False
        if lineage is None:
            return None
        try:
            self._add_column_lineage(lineage)
        except Exception as error:  # never the task's failure: Airflow's facets stay
            first = (str(error).splitlines() or [""])[0]
            self.log.warning("column lineage of task %s not added: %s: %s",
                             getattr(self.operator, "task_id", "?"), type(error).__name__, first)
        return lineage

    def extract(self) -> OperatorLineage | None:
        return self._with_column_lineage(super().extract)

    def extract_on_complete(self, task_instance: Any) -> OperatorLineage | None:
        return self._with_column_lineage(super().extract_on_complete, task_instance)

    def extract_on_failure(self, task_instance: Any) -> OperatorLineage | None:
        return self._with_column_lineage(super().extract_on_failure, task_instance)

    def _add_column_lineage(self, lineage: OperatorLineage) -> None:
        operator = self.operator
        sql = getattr(operator, "sql", None)
        if not lineage.outputs or not callable(getattr(operator, "get_db_hook", None)) \
                or not (isinstance(sql, str) or (isinstance(sql, list)
                                                 and all(isinstance(s, str) for s in sql))):
            return
        from airflow.providers.openlineage.sqlparser import SQLParser

        hook = operator.get_db_hook()
        connection = hook.get_connection(hook.get_conn_id())
        info = hook.get_openlineage_database_info(connection)
        if info is None:
            return
        database = getattr(operator, "database", None) or info.database
        schema = hook.get_openlineage_default_schema()
        dialect = dialect_of(hook, connection)
        script = analyse_sql(sql, dialect)
        tables = catalog_tables(script, dialect)
        if tables:
            try:
                rows = catalog_rows(hook, info, tables, database, schema)
            except Exception as error:
                first = (str(error).splitlines() or [""])[0]
                self.log.warning("column lineage of task %s: the information schema could not "
                                 "be read (%s: %s)", operator.task_id, type(error).__name__, first)
            else:
                script = analyse_sql(sql, dialect, catalog_schema(rows, database, dialect))
        datasets = [*lineage.inputs, *lineage.outputs]
        names = DatasetNames(SQLParser.create_namespace(info), database, schema,
                             [(dataset.namespace, dataset.name) for dataset in datasets])
        written = written_facets(script, names)
        for line in written.skipped:
            self.log.warning("column lineage of task %s: %s; Airflow's own facet is kept",
                             operator.task_id, line)
        for dataset in lineage.outputs:
            facet = written.facets.get((dataset.namespace, dataset.name))
            if facet is not None:
                dataset.facets = {**(dataset.facets or {}), "columnLineage": lineage_facet(facet)}
