"""Column lineage of SQL statements.

    import qarvel_lineage
    result = qarvel_lineage.analyze("select a, b + 1 as c from db.t where d > 0")
    result.columns[1].direct      # (Source(... table='t', column='b', type='DIRECT', subtype='TRANSFORMATION'),)
    result.to_dicts()             # one flat row per (output column, source)

Parsing is sqlglot's; the lineage is worked out by a native engine in one
read-only pass over sqlglot's tree.
"""

from __future__ import annotations

import sys
import types

from sqlglot.errors import ParseError

from qarvel_lineage.batch.analyzer import Analyzer, analyze_many, lineage_ddl, lineage_meta, partition_lineage
from qarvel_lineage.catalog.database import CatalogError
from qarvel_lineage.engine import parse as _parse
from qarvel_lineage.engine.parse import analyze, analyze_tree, parse
from qarvel_lineage.engine.records import OutputColumn, Source, Table, Unresolved
from qarvel_lineage.engine.result import FLAT_KEYS, LineageResult
from qarvel_lineage.engine.rules import Schema
from qarvel_lineage.engine.script import EndToEnd, ScriptResult, StatementError, TargetColumn, analyze_script
from qarvel_lineage.graph import Graph, GraphError

__all__ = ["analyze", "analyze_tree", "parse", "analyze_script", "LineageResult", "ScriptResult", "StatementError",
           "EndToEnd", "TargetColumn", "analyze_many", "partition_lineage", "lineage_meta", "lineage_ddl",
           "Analyzer", "OutputColumn", "Source", "Table", "Unresolved",
           "Schema", "CatalogError", "Graph", "GraphError", "FLAT_KEYS", "ParseError"]


class _Package(types.ModuleType):
    """The package's one setting, MAX_NESTING, lives where parsing reads it."""

    @property
    def MAX_NESTING(self) -> int:
        return _parse.MAX_NESTING

    @MAX_NESTING.setter
    def MAX_NESTING(self, value: int) -> None:
        _parse.MAX_NESTING = value


sys.modules[__name__].__class__ = _Package
