"""Spark, for real: lineage_frame on a local[2] session, against partition_lineage."""

import os
import shutil
import sys

import pandas as pd
import pytest

from qarvel_lineage import partition_lineage

from helpers import corpus_statements

pyspark = pytest.importorskip("pyspark", reason="PySpark is a test dependency that ./dev installs")
if "libasan" in os.environ.get("LD_PRELOAD", ""):
    # Spark's launcher runs ps, which hangs with the sanitizer's runtime preloaded.
    pytest.skip("Spark's launcher does not run under the sanitizer's preloaded runtime",
                allow_module_level=True)

# PySpark 4.3 warns that it does not fully support pandas 3 (and uses a
# keyword pandas 3 deprecates); what these tests use works, and is checked.
pytestmark = [pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas"),
              pytest.mark.filterwarnings("ignore:The copy keyword is deprecated")]

TPCH_SCHEMA = {"customer": {"c_custkey": "int", "c_name": "text", "c_nationkey": "int"},
               "nation": {"n_nationkey": "int", "n_name": "text"}}


@pytest.fixture(scope="module")
def spark():
    if shutil.which("java") is None:
        pytest.fail("PySpark needs Java 17 (the machine's default JDK)")
    from pyspark.sql import SparkSession

    os.environ["PYSPARK_PYTHON"] = sys.executable
    os.environ["PYSPARK_DRIVER_PYTHON"] = sys.executable
    session = (SparkSession.builder.master("local[2]").appName("qarvel_lineage tests")
               .config("spark.ui.enabled", "false")
               .config("spark.sql.shuffle.partitions", "2")
               .config("spark.sql.execution.arrow.pyspark.enabled", "true")
               .getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    try:
        yield session
    finally:
        session.stop()


def statements():
    texts = [sql for dialect, sql in corpus_statements() if dialect is None][:60]
    texts += ["select from where", "insert into z select a from y; select b from x",
              "select c.c_name, n.n_name from customer c join nation n on c.c_nationkey = n.n_nationkey",
              "select * from customer"]
    return pd.DataFrame({"query_id": [f"q{n:03d}" for n in range(len(texts))],
                         "user_id": range(len(texts)), "sql": texts})


def test_lineage_frame_gives_partition_lineages_rows_with_the_carried_columns(spark):
    from pyspark.sql.types import LongType, StringType

    from qarvel_lineage.spark import lineage_frame

    frame = statements()
    expected = partition_lineage(frame, schema=TPCH_SCHEMA)
    df = spark.createDataFrame(frame).repartition(3, "query_id")
    result = lineage_frame(df, column="sql", schema=TPCH_SCHEMA)
    fields = [(f.name, type(f.dataType)) for f in result.schema.fields]
    assert fields[:4] == [("query_id", StringType), ("user_id", LongType),
                          ("statement", LongType), ("position", LongType)]
    assert [name for name, _ in fields] == list(expected.columns)
    got = result.toPandas()
    order = ["query_id", "statement", "position", "source_table", "source_column", "type"]
    got = got.sort_values(order, na_position="first", kind="stable").reset_index(drop=True)
    want = expected.sort_values(order, na_position="first", kind="stable").reset_index(drop=True)
    pd.testing.assert_frame_equal(got.astype(object).where(got.notna(), None),
                                  want.astype(object).where(want.notna(), None),
                                  check_dtype=False)
    by_query = {key: rows for key, rows in want.groupby("query_id")}
    last = len(frame) - 1
    star = by_query[f"q{last:03d}"]
    assert list(star["column"]) == ["c_custkey", "c_name", "c_nationkey"]
    error = by_query[f"q{last - 3:03d}"]
    assert list(error["type"]) == ["ERROR"] and error["reason"].iloc[0].startswith("ParseError")
    script = by_query[f"q{last - 2:03d}"]
    assert sorted(set(script["statement"])) == [1, 2]


def test_lineage_frame_refuses_a_missing_column_and_an_unknown_dialect(spark):
    from qarvel_lineage.spark import lineage_frame

    df = spark.createDataFrame(statements())
    with pytest.raises(KeyError, match="no column 'text'"):
        lineage_frame(df, column="text")
    with pytest.raises(ValueError):
        lineage_frame(df, dialect="no-such-dialect")


def readme_spark_example():
    text = open(os.path.join(os.path.dirname(__file__), "..", "README.md"), encoding="utf-8").read()
    block = text.split("<!-- spark example -->\n```python\n", 1)[1]
    return block.split("```", 1)[0]


def test_the_readme_spark_example_runs_as_written(spark, capsys):
    names = {}
    exec(compile(readme_spark_example(), "README.md", "exec"), names)
    rows = [tuple(row) for row in names["rows"].select(
        "query_id", "column", "source_table", "source_column", "type", "subtype", "reason").collect()]
    assert rows[:-1] == [
        ("q1", "name", "customers", "name", "DIRECT", "IDENTITY", None),
        ("q1", "name", "orders", "customer_id", "INDIRECT", "JOIN", None),
        ("q1", "name", "customers", "id", "INDIRECT", "JOIN", None),
        ("q1", "name", "customers", "name", "INDIRECT", "GROUP_BY", None),
        ("q1", "total", "orders", "amount", "DIRECT", "AGGREGATION", None),
        ("q1", "total", "orders", "customer_id", "INDIRECT", "JOIN", None),
        ("q1", "total", "customers", "id", "INDIRECT", "JOIN", None),
        ("q1", "total", "customers", "name", "INDIRECT", "GROUP_BY", None)]
    assert rows[-1][:6] == ("q2", None, None, None, "ERROR", None)
    assert rows[-1][6].startswith("ParseError: ")
    shown = capsys.readouterr().out
    assert "|query_id|column|source_table|source_column|    type|    subtype|" in shown
