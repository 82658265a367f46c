"""The lineage of statements held in a Spark DataFrame (PySpark is optional
and not needed to import the rest of the package).

    from qarvel_lineage.spark import lineage_frame
    log = spark.read.parquet("query_log/")          # columns: query_id, sql, ...
    rows = lineage_frame(log, column="sql", dialect="snowflake")

Each executor analyses its partitions with ``mapInPandas``: the rows are
the ones ``partition_lineage`` gives for the same statements, every other
column of the input carried first with its Spark type.
"""

from __future__ import annotations

from typing import Any, Iterator

from qarvel_lineage.batch.analyzer import Analyzer, frame_lineage
from qarvel_lineage.engine.result import row_keys
from qarvel_lineage.engine.rules import rules_for

__all__ = ["lineage_frame", "lineage_schema"]


def lineage_schema(carried: Any = None):
    """The Spark schema of ``lineage_frame``'s output: the ``carried``
    fields (a StructType or a list of StructFields), then "statement",
    the target keys and the flat keys."""
    from pyspark.sql.types import LongType, StringType, StructField, StructType

    fields = list(carried.fields if isinstance(carried, StructType) else carried or [])
    for key in ("statement",) + row_keys(True):
        fields.append(StructField(key, LongType() if key in ("statement", "position") else StringType(),
                                  nullable=key not in ("statement", "position")))
    return StructType(fields)


def lineage_frame(df: Any, column: str = "sql", dialect: Any = None, schema: Any = None):
    """A Spark DataFrame of the flat lineage rows of ``df``'s statements
    (in its column ``column``); a statement that fails gives one row of
    type "ERROR" and the job goes on."""
    if column not in df.columns:
        raise KeyError(f"no column {column!r} in the DataFrame (it has {', '.join(df.columns)})")
    rules_for(dialect)  # an unknown dialect fails here, on the driver
    # The carried columns come first, in the input's order, as in partition_lineage.
    carried = [field for field in df.schema.fields if field.name != column]

    def analyse(batches: Iterator[Any]) -> Iterator[Any]:
        analyzer = Analyzer(dialect, schema)  # one per task: its cache spans the batches
        for batch in batches:
            yield frame_lineage(batch, column, analyzer)

    return df.mapInPandas(analyse, schema=lineage_schema(carried))
