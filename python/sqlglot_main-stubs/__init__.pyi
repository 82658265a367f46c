"""Type stub of the sqlglot_main extension module."""

import os
from typing import Any, Literal, overload

import pandas
from prettytable import PrettyTable
from qarvel_var import Column, QarvelVar
from sqlglot import exp
from sqlglot.dialects.dialect import DialectType

# A statement: its text, or the path of a file that holds it.
Statement = str | os.PathLike[str]
# A column record as plain data ("normal").
ColumnRecord = dict[str, Any]

class QarvelSQLGlotMain:
    _var: QarvelVar
    def __init__(self, *args: Any, **kwargs: Any) -> None: ...
    def _set_sql_md5(self, sql: Statement) -> str: ...
    def _format(self, sql: Statement) -> str: ...
    @overload
    def _parse(
        self, sql: Statement, dialect: DialectType, callback: Literal["normal"]
    ) -> list[ColumnRecord]: ...
    @overload
    def _parse(
        self, sql: Statement, dialect: DialectType, callback: Literal["qarvel"]
    ) -> list[Column]: ...
    @overload
    def _parse(
        self, sql: Statement, dialect: DialectType, callback: Literal["print", "sql"]
    ) -> str: ...
    @overload
    def _parse(
        self, sql: Statement, dialect: DialectType, callback: Literal["dataframe"]
    ) -> pandas.DataFrame: ...
    @overload
    def _parse(
        self, sql: Statement, dialect: DialectType, callback: Literal["table"]
    ) -> PrettyTable: ...
    @overload
    def _parse(self, sql: Statement, dialect: DialectType, callback: str) -> Any: ...
    def _get_columns(self, sql_md5: str, expressions: list[exp.Expression]) -> None: ...
    def _find_column(
        self,
        sql_md5: str,
        find_list: list[exp.Expression],
        column_type: str,
        column_alias: str | None = None,
    ) -> None: ...
    @staticmethod
    def _get_column_parent(
        column: exp.Expression, column_table: str
    ) -> tuple[str, exp.Expression | None]: ...
    def _append_column_info(
        self,
        sql_md5: str,
        column: exp.Expression,
        column_table: str,
        column_alias: str,
        column_type: str,
        table: exp.Expression | None = None,
    ) -> None: ...
    def _get_tables(self, sql_md5: str, expression: exp.Select) -> None: ...
    def _match_column(
        self, sql_md5: str, table_args: exp.Expression, columns: list[ColumnRecord]
    ) -> list[ColumnRecord]: ...
    # The outputs of an analysed statement.  _callback_qarvel and
    # _callback_normal answer None for a statement that was registered but
    # never analysed; the others have no such case.
    def _callback(self, sql_md5: str, callback: str) -> Any: ...
    def _callback_qarvel(self, sql_md5: str) -> list[Column] | None: ...
    def _callback_print(self, sql_md5: str) -> str: ...
    def _callback_normal(self, sql_md5: str) -> list[ColumnRecord] | None: ...
    def _callback_dataframe(self, sql_md5: str) -> pandas.DataFrame: ...
    def _callback_sql(self, sql_md5: str) -> str: ...
    def _callback_table(self, sql_md5: str) -> PrettyTable: ...
