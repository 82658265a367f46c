"""The engine's rules for what decides which rows a statement makes and where
its values go, in MySQL, Oracle, ClickHouse, Databricks, Snowflake and
DuckDB idioms: MERGE with stars, CREATE TABLE LIKE, row generators, inline(),
UNPIVOT's dropped NULLs, paths into objects built in the query, and the
columns of a table a script only inserts into.  Expected lineage worked out
by hand; the row counts of the UNPIVOT and UNNEST cases agree with DuckDB."""

import json

import pytest

import qarvel_lineage
from helpers import CORPUS, expect, subtype_text, unresolved_text, view

TPCH = json.loads((CORPUS / "tpch" / "schema.json").read_text())
FACT = {**TPCH, "fact_orders": {"o_orderkey": "int", "o_totalprice": "double", "o_comment": "text"}}


def case(sql, dialect, *columns, schema=TPCH, id=None):
    return pytest.param(sql, dialect, schema, expect(*columns), id=id)


def check(sql, dialect, schema, expected):
    assert view(qarvel_lineage.analyze(sql, dialect=dialect, schema=schema)) == expected


MERGED = ("MERGE INTO fact_orders f USING (SELECT o_orderkey, o_totalprice * 2 AS o_totalprice FROM orders "
          "WHERE o_orderstatus = 'P') c ON f.o_orderkey = c.o_orderkey "
          "WHEN MATCHED AND c.o_totalprice > 10 THEN UPDATE SET * WHEN NOT MATCHED THEN INSERT *")
MERGE_ROWS = ("fact_orders.o_orderkey JOIN; orders.o_orderkey JOIN; orders.o_orderstatus FILTER; "
              "orders.o_totalprice FILTER")

# 1. MERGE ... UPDATE SET * / INSERT *: columns match by name.
MERGE_STARS = [
    # The target's columns unknown: the source's, with the ON, the source's
    # filter and the WHEN's condition deciding the rows.
    case(MERGED, "databricks",
         ("o_orderkey", "orders.o_orderkey IDENTITY", MERGE_ROWS),
         ("o_totalprice", "orders.o_totalprice TRANSFORMATION", MERGE_ROWS), id="source-columns"),
    # The target's columns known: each from the source's of its name; one
    # the source lacks is reported.
    case(MERGED, "databricks",
         ("o_orderkey", "orders.o_orderkey IDENTITY", MERGE_ROWS),
         ("o_totalprice", "orders.o_totalprice TRANSFORMATION", MERGE_ROWS),
         ("o_comment", "", MERGE_ROWS, "o_comment @c IDENTITY: not a column of c"),
         schema=FACT, id="target-columns"),
    case("MERGE INTO tgt USING src ON tgt.k = src.k WHEN MATCHED THEN UPDATE SET * WHEN NOT MATCHED THEN INSERT *",
         "databricks", ("*", "", "src.k JOIN; tgt.k JOIN", "* @src IDENTITY: needs a schema"), schema=None,
         id="neither-known"),
    case("MERGE INTO tgt USING src ON tgt.k = src.k WHEN MATCHED THEN UPDATE SET * WHEN NOT MATCHED THEN INSERT *",
         "databricks", ("k", "src.k IDENTITY", "src.k JOIN; tgt.k JOIN"),
         ("v", "src.v IDENTITY", "src.k JOIN; tgt.k JOIN"), schema={"tgt": {"k": "int", "v": "int"}},
         id="target-known-source-not"),
]

PART_ROWS = "part.p_name FILTER"

# 3. Row generators: what they expand decides how many rows there are.
GENERATORS = [
    case("SELECT p_partkey, word FROM part LATERAL VIEW explode(split(p_name, ' ')) w AS word", "spark",
         ("p_partkey", "part.p_partkey IDENTITY", PART_ROWS), ("word", "part.p_name TRANSFORMATION", PART_ROWS),
         id="lateral-view-explode"),
    case("SELECT p_partkey, word FROM part LATERAL VIEW OUTER explode(split(p_name, ' ')) w AS word", "spark",
         ("p_partkey", "part.p_partkey IDENTITY", PART_ROWS), ("word", "part.p_name TRANSFORMATION", PART_ROWS),
         id="lateral-view-outer"),
    case("SELECT p_partkey, pos, word FROM part LATERAL VIEW posexplode(split(p_name, ' ')) w AS pos, word",
         "spark", ("p_partkey", "part.p_partkey IDENTITY", PART_ROWS), ("pos", "", PART_ROWS),
         ("word", "part.p_name TRANSFORMATION", PART_ROWS), id="lateral-view-posexplode"),
    case("SELECT p_partkey, explode(split(p_name, ' ')) AS word FROM part", "spark",
         ("p_partkey", "part.p_partkey IDENTITY", PART_ROWS), ("word", "part.p_name TRANSFORMATION", PART_ROWS),
         id="explode-in-the-select-list"),
    case("SELECT p_partkey, posexplode(split(p_name, ' ')) AS (pos, word) FROM part", "spark",
         ("p_partkey", "part.p_partkey IDENTITY", PART_ROWS), ("pos", "", PART_ROWS),
         ("word", "part.p_name TRANSFORMATION", PART_ROWS), id="posexplode-in-the-select-list"),
    case("SELECT p_partkey, unnest(string_split(p_name, ' ')) AS word FROM part", "duckdb",
         ("p_partkey", "part.p_partkey IDENTITY", PART_ROWS), ("word", "part.p_name TRANSFORMATION", PART_ROWS),
         id="duckdb-unnest-in-the-select-list"),
    case("SELECT p_partkey, w.word FROM part, unnest(string_split(p_name, ' ')) AS w(word)", "duckdb",
         ("p_partkey", "part.p_partkey IDENTITY", PART_ROWS), ("word", "part.p_name TRANSFORMATION", PART_ROWS),
         id="duckdb-unnest-source"),
    case("SELECT p_partkey, word FROM part CROSS JOIN UNNEST(SPLIT(p_name, ' ')) AS word", "bigquery",
         ("p_partkey", "part.p_partkey IDENTITY", PART_ROWS), ("word", "part.p_name TRANSFORMATION", PART_ROWS),
         id="bigquery-unnest"),
    case("SELECT p_partkey, word FROM part CROSS JOIN UNNEST(string_to_array(p_name, ' ')) AS w(word)",
         "postgres", ("p_partkey", "part.p_partkey IDENTITY", PART_ROWS),
         ("word", "part.p_name TRANSFORMATION", PART_ROWS), id="postgres-unnest"),
    case("SELECT p_partkey, word FROM part CROSS JOIN UNNEST(split(p_name, ' ')) AS w(word)", "trino",
         ("p_partkey", "part.p_partkey IDENTITY", PART_ROWS), ("word", "part.p_name TRANSFORMATION", PART_ROWS),
         id="trino-unnest"),
    case("SELECT p_partkey, arrayJoin(splitByChar(' ', p_name)) AS word FROM part", "clickhouse",
         ("p_partkey", "part.p_partkey IDENTITY", PART_ROWS), ("word", "part.p_name TRANSFORMATION", PART_ROWS),
         id="clickhouse-arrayjoin"),
    case("SELECT p_partkey, word FROM part ARRAY JOIN splitByChar(' ', p_name) AS word", "clickhouse",
         ("p_partkey", "part.p_partkey IDENTITY", PART_ROWS), ("word", "part.p_name TRANSFORMATION", PART_ROWS),
         id="clickhouse-array-join"),
    case("SELECT p_partkey, f.value AS word FROM part, LATERAL FLATTEN(input => SPLIT(p_name, ' ')) f",
         "snowflake", ("P_PARTKEY", "PART.P_PARTKEY IDENTITY", "PART.P_NAME FILTER"),
         ("WORD", "PART.P_NAME TRANSFORMATION", "PART.P_NAME FILTER"), id="snowflake-flatten"),
    # An array the text builds has as many elements as it lists, whatever
    # their values; an aggregated one, one per row aggregated.
    case("SELECT p_partkey, x FROM part LATERAL VIEW explode(array(p_size, p_retailprice)) w AS x", "spark",
         ("p_partkey", "part.p_partkey IDENTITY", ""),
         ("x", "part.p_retailprice TRANSFORMATION; part.p_size TRANSFORMATION", ""), id="listed-array"),
    case("WITH c AS (SELECT collect_list(p_name) AS names FROM part) SELECT n FROM c LATERAL VIEW explode(names) e AS n",
         "spark", ("n", "part.p_name AGGREGATION", ""), id="aggregated-array"),
]

# 4. inline(): the struct's fields name the columns; a list names them in order.
INLINE = [
    case("SELECT bal.a, bal.b FROM customer "
         "LATERAL VIEW inline(array(named_struct('a', c_acctbal, 'b', c_nationkey))) bal", "spark",
         ("a", "customer.c_acctbal IDENTITY", ""), ("b", "customer.c_nationkey IDENTITY", ""),
         id="lateral-view-fields"),
    case("SELECT bal.x, bal.y FROM customer "
         "LATERAL VIEW inline(array(named_struct('a', c_acctbal, 'b', c_nationkey))) bal AS x, y", "spark",
         ("x", "customer.c_acctbal IDENTITY", ""), ("y", "customer.c_nationkey IDENTITY", ""),
         id="lateral-view-column-list"),
    case("SELECT inline(array(named_struct('a', c_acctbal, 'b', c_nationkey))) FROM customer", "spark",
         ("a", "customer.c_acctbal IDENTITY", ""), ("b", "customer.c_nationkey IDENTITY", ""),
         id="select-list"),
    case("SELECT bal.a FROM customer LATERAL VIEW inline(c_comment) bal", "spark",
         ("a", "", "customer.c_comment FILTER",
          "a @bal IDENTITY: the fields of struct c_comment are not known"), id="fields-not-known"),
]

SUPPLIER_NULLS = "supplier.s_acctbal FILTER; supplier.s_nationkey FILTER"

# 5. UNPIVOT drops the rows of NULL values unless told INCLUDE NULLS.
UNPIVOT_NULLS = [
    case("SELECT s_suppkey, metric, val FROM supplier UNPIVOT (val FOR metric IN (s_acctbal, s_nationkey))",
         "databricks", ("s_suppkey", "supplier.s_suppkey IDENTITY", SUPPLIER_NULLS), ("metric", "", SUPPLIER_NULLS),
         ("val", "supplier.s_acctbal IDENTITY; supplier.s_nationkey IDENTITY", SUPPLIER_NULLS),
         id="exclude-nulls-by-default"),
    case("SELECT s_suppkey, metric, val FROM supplier UNPIVOT EXCLUDE NULLS "
         "(val FOR metric IN (s_acctbal, s_nationkey))",
         "databricks", ("s_suppkey", "supplier.s_suppkey IDENTITY", SUPPLIER_NULLS), ("metric", "", SUPPLIER_NULLS),
         ("val", "supplier.s_acctbal IDENTITY; supplier.s_nationkey IDENTITY", SUPPLIER_NULLS),
         id="exclude-nulls"),
    case("SELECT s_suppkey, metric, val FROM supplier UNPIVOT INCLUDE NULLS "
         "(val FOR metric IN (s_acctbal, s_nationkey))",
         "databricks", ("s_suppkey", "supplier.s_suppkey IDENTITY", ""), ("metric", "", ""),
         ("val", "supplier.s_acctbal IDENTITY; supplier.s_nationkey IDENTITY", ""), id="include-nulls"),
    case("SELECT s_suppkey, metric, val FROM supplier UNPIVOT (val FOR metric IN (s_acctbal, s_nationkey))",
         "duckdb", ("s_suppkey", "supplier.s_suppkey IDENTITY", SUPPLIER_NULLS), ("metric", "", SUPPLIER_NULLS),
         ("val", "supplier.s_acctbal IDENTITY; supplier.s_nationkey IDENTITY", SUPPLIER_NULLS), id="duckdb"),
]

# 6. A path into an object built in the query reads only that field.
PATHS = [
    case("SELECT JSON_OBJECT('nation', n_name, 'region', n_regionkey) ->> '$.nation' AS x FROM nation", "mysql",
         ("x", "nation.n_name IDENTITY", ""), id="mysql-json-object-arrow"),
    case("SELECT JSON_EXTRACT(JSON_OBJECT('nation', n_name, 'region', n_regionkey), '$.region') AS x FROM nation",
         "mysql", ("x", "nation.n_regionkey IDENTITY", ""), id="mysql-json-extract"),
    case("SELECT json_build_object('nation', n_name, 'region', n_regionkey) ->> 'nation' AS x FROM nation",
         "postgres", ("x", "nation.n_name IDENTITY", ""), id="postgres-json-build-object"),
    case("SELECT named_struct('nation', n_name, 'region', n_regionkey).nation AS x FROM nation", "spark",
         ("x", "nation.n_name IDENTITY", ""), id="spark-named-struct"),
    case("SELECT struct(n_name AS nation, n_regionkey AS region).nation AS x FROM nation", "spark",
         ("x", "nation.n_name IDENTITY", ""), id="spark-struct"),
    case("SELECT map('nation', n_name, 'region', n_regionkey)['nation'] AS x FROM nation", "spark",
         ("x", "nation.n_name IDENTITY", ""), id="spark-map"),
    case("SELECT OBJECT_CONSTRUCT('nation', n_name, 'region', n_regionkey):nation AS x FROM nation", "snowflake",
         ("X", "NATION.N_NAME IDENTITY", ""), id="snowflake-object-construct"),
    case("SELECT tupleElement((n_name, n_regionkey), 1) AS x FROM nation", "clickhouse",
         ("x", "nation.n_name IDENTITY", ""), id="clickhouse-tuple-element"),
    case("SELECT (n_name, n_regionkey).2 AS x FROM nation", "clickhouse",
         ("x", "nation.n_regionkey IDENTITY", ""), id="clickhouse-tuple-position"),
    # A field the object does not have: a value computed from all of it.
    case("SELECT JSON_OBJECT('nation', n_name, 'region', n_regionkey) ->> '$.other' AS x FROM nation", "mysql",
         ("x", "nation.n_name TRANSFORMATION; nation.n_regionkey TRANSFORMATION", ""), id="a-field-not-built"),
]

SALES = {"sales": {"id": "int", "jan": "int", "feb": "int", "north": "int", "south": "int"}}
JAN_FEB = "sales.feb FILTER; sales.jan FILTER"
ALL_FOUR = "sales.feb FILTER; sales.jan FILTER; sales.north FILTER; sales.south FILTER"
GROUPED = "sales.feb GROUP_BY; sales.north GROUP_BY; sales.south GROUP_BY"

# 9. An alias's column list renames the operator's output in order, name
# and value columns included (the column names as DuckDB gives them).
ALIAS_LISTS = [
    case("SELECT * FROM sales UNPIVOT(score FOR month IN (jan, feb)) AS u(i, n, s, m, v)", "duckdb",
         ("i", "sales.id IDENTITY", JAN_FEB), ("n", "sales.north IDENTITY", JAN_FEB),
         ("s", "sales.south IDENTITY", JAN_FEB), ("m", "", JAN_FEB),
         ("v", "sales.feb IDENTITY; sales.jan IDENTITY", JAN_FEB), schema=SALES, id="unpivot"),
    case("SELECT * FROM sales PIVOT(sum(jan) FOR id IN (1, 2)) AS p(a, b, c, d, e)", "duckdb",
         ("a", "sales.feb IDENTITY", GROUPED), ("b", "sales.north IDENTITY", GROUPED),
         ("c", "sales.south IDENTITY", GROUPED), ("d", "sales.jan AGGREGATION", GROUPED + "; sales.id FILTER"),
         ("e", "sales.jan AGGREGATION", GROUPED + "; sales.id FILTER"), schema=SALES, id="pivot"),
    case("SELECT s1.v, s2.w FROM sales UNPIVOT(v FOR m IN (jan, feb)) AS s1 "
         "JOIN sales UNPIVOT(w FOR r IN (north, south)) AS s2 ON s1.id = s2.id", "duckdb",
         ("v", "sales.feb IDENTITY; sales.jan IDENTITY", ALL_FOUR + "; sales.id JOIN"),
         ("w", "sales.north IDENTITY; sales.south IDENTITY", ALL_FOUR + "; sales.id JOIN"), schema=SALES,
         id="joined-unpivots"),
    case("SELECT * FROM sales UNPIVOT((a, b) FOR s IN ((jan, feb) AS 'x', (north, south) AS 'y')) AS u(k, name, p, q)",
         "databricks", ("k", "sales.id IDENTITY", ALL_FOUR), ("name", "", ALL_FOUR),
         ("p", "sales.jan IDENTITY; sales.north IDENTITY", ALL_FOUR),
         ("q", "sales.feb IDENTITY; sales.south IDENTITY", ALL_FOUR), schema=SALES, id="unpivot-of-column-groups"),
]

GROUPS = {"merge-stars": MERGE_STARS, "alias-lists": ALIAS_LISTS, "row-generators": GENERATORS, "inline": INLINE,
          "unpivot-nulls": UNPIVOT_NULLS, "paths-into-built-objects": PATHS}


@pytest.mark.parametrize("sql, dialect, schema, expected", [
    pytest.param(*param.values, id=f"{group}/{param.id}") for group, params in GROUPS.items() for param in params])
def test_rule(sql, dialect, schema, expected):
    check(sql, dialect, schema, expected)


def statements(text, dialect, schema=TPCH):
    """Each statement of a script as (kind, target, columns as view gives them)."""
    script = qarvel_lineage.analyze_script(text, dialect=dialect, schema=schema)
    assert script.errors == ()
    return script, [(s.kind, s.target.name if s.target else None, view(s)) for s in script.statements]


PART_COLUMNS = ("p_partkey", "p_name", "p_mfgr", "p_brand", "p_type", "p_size", "p_container", "p_retailprice",
                "p_comment")


# 2. CREATE TABLE t LIKE src: t has src's columns from then on.
@pytest.mark.parametrize("dialect", ["mysql", "databricks"])
def test_create_table_like_gives_the_columns_of_its_source(dialect):
    _, got = statements("CREATE TABLE t LIKE part; INSERT INTO t SELECT * FROM part WHERE p_size > 3; "
                        "UPDATE t SET p_size = 1 WHERE p_partkey IN (SELECT l_partkey FROM lineitem)", dialect)
    assert got == [
        ("CREATE TABLE", "t", []),
        ("INSERT", "t", expect(*[(c, f"part.{c} IDENTITY", "part.p_size FILTER") for c in PART_COLUMNS])),
        ("UPDATE", "t", expect(("p_size", "", "lineitem.l_partkey FILTER; t.p_partkey FILTER")))]


def test_create_table_like_in_postgres_adds_the_listed_columns():
    _, got = statements("CREATE TABLE t (LIKE part INCLUDING ALL, extra INT); INSERT INTO t SELECT *, 1 FROM part",
                        "postgres")
    assert got[1] == ("INSERT", "t", expect(*[(c, f"part.{c} IDENTITY", "") for c in PART_COLUMNS], ("extra", "", "")))


def test_create_table_like_snowflake_then_delete_reads_its_columns():
    script, got = statements("CREATE TABLE t LIKE part; DELETE FROM t WHERE p_name = 'x'", "snowflake")
    assert [(kind, target) for kind, target, _ in got] == [("CREATE TABLE", "T"), ("DELETE", "T")]
    assert [subtype_text(s) for s in script.statements[1].influences] == ["T.P_NAME FILTER"]


def test_create_table_like_of_an_unknown_table_reads_any_name():
    script, got = statements("CREATE TABLE t LIKE nosuch; INSERT INTO t SELECT * FROM other; "
                             "DELETE FROM t WHERE zz > 1", "databricks")
    assert got[1] == ("INSERT", "t", expect(("*", "", "", "* @other IDENTITY: needs a schema")))
    assert [subtype_text(s) for s in script.statements[2].influences] == ["t.zz FILTER"]


def end_to_end(script):
    return [(f"{c.target}.{c.name}", frozenset(map(subtype_text, c.direct)),
             frozenset(map(subtype_text, c.indirect)), frozenset(map(unresolved_text, c.unresolved)))
            for c in script.end_to_end.columns]


# 8. A table the script only inserts into keeps the columns it did not write.
def test_a_table_only_inserted_into_keeps_its_other_columns():
    script = qarvel_lineage.analyze_script(
        "INSERT INTO tab2 (col1) SELECT col1 FROM tab1; INSERT INTO tab3 SELECT col1, col2 FROM tab2")
    assert script.errors == ()
    assert view(script.statements[1]) == expect(("col1", "tab2.col1 IDENTITY", ""), ("col2", "tab2.col2 IDENTITY", ""))
    assert end_to_end(script) == [
        ("tab2.col1", frozenset({"tab1.col1 IDENTITY"}), frozenset(), frozenset()),
        ("tab3.col1", frozenset({"tab1.col1 IDENTITY"}), frozenset(), frozenset()),
        ("tab3.col2", frozenset({"tab2.col2 IDENTITY"}), frozenset(), frozenset())]


def test_a_table_filled_without_a_column_list_has_the_columns_written():
    script = qarvel_lineage.analyze_script("INSERT INTO tab2 SELECT col1 FROM tab1; INSERT INTO tab3 SELECT * FROM tab2")
    assert script.errors == ()
    assert view(script.statements[1]) == expect(("col1", "tab2.col1 IDENTITY", ""))


def written_columns(script):
    """Each analysed statement as (kind, target, columns as view gives them)."""
    return [(s.kind, s.target.name if s.target else None, view(s)) for s in script.statements]


# 7. The statements inside control flow are the script's; the conditions of
# IF / WHILE that read columns decide whether they write (CONDITIONAL).
def test_statements_inside_try_and_catch_blocks_are_traced():
    script = qarvel_lineage.analyze_script(
        "BEGIN TRY\n INSERT INTO tab1 (col1) SELECT col1 FROM tab2;\nEND TRY\n"
        "BEGIN CATCH\n INSERT INTO err (m) SELECT ERROR_MESSAGE();\nEND CATCH", dialect="tsql")
    assert script.errors == ()
    assert written_columns(script) == [("INSERT", "tab1", expect(("col1", "tab2.col1 IDENTITY", ""))),
                                       ("INSERT", "err", expect(("m", "", "")))]
    assert [s.sql for s in script.statements] == ["INSERT INTO tab1 (col1) SELECT col1 FROM tab2",
                                                  "INSERT INTO err (m) SELECT ERROR_MESSAGE()"]


def test_statements_of_a_try_block_without_semicolons():
    script = qarvel_lineage.analyze_script(
        "BEGIN TRY\n INSERT INTO tab1 (col1) SELECT col1 FROM tab2\nEND TRY\nBEGIN CATCH\n SELECT 1\nEND CATCH",
        dialect="tsql")
    assert script.errors == ()
    assert written_columns(script)[0] == ("INSERT", "tab1", expect(("col1", "tab2.col1 IDENTITY", "")))


def test_statements_inside_a_while_loop_are_traced():
    script = qarvel_lineage.analyze_script(
        "DECLARE @i INT = 0;\nWHILE @i < 10\nBEGIN\n INSERT INTO tab1 (col1) SELECT col1 FROM tab2;\n"
        " SET @i = @i + 1;\nEND", dialect="tsql")
    assert script.errors == ()
    assert [(s.kind, s.target and s.target.name) for s in script.statements] == [
        ("DECLARE", None), ("INSERT", "tab1"), ("SET", None)]
    assert view(script.statements[1]) == expect(("col1", "tab2.col1 IDENTITY", ""))


IF_ELSE = expect(("tab1.col1", "tab2.col1 IDENTITY; tab4.col9 IDENTITY", "tab3.flag CONDITIONAL"))


@pytest.mark.parametrize("text", [
    "IF EXISTS (SELECT 1 FROM tab3 WHERE flag = 1)\nBEGIN\n INSERT INTO tab1 (col1) SELECT col1 FROM tab2;\nEND\n"
    "ELSE\nBEGIN\n INSERT INTO tab1 (col1) SELECT col9 FROM tab4;\nEND",
    "IF (SELECT COUNT(*) FROM tab3 WHERE flag = 1) > 0 INSERT INTO tab1 (col1) SELECT col1 FROM tab2 "
    "ELSE INSERT INTO tab1 (col1) SELECT col9 FROM tab4",
], ids=["blocks", "single-statements"])
def test_if_else_conditions_decide_what_each_branch_writes(text):
    script = qarvel_lineage.analyze_script(text, dialect="tsql")
    assert script.errors == ()
    assert written_columns(script) == [
        ("INSERT", "tab1", expect(("col1", "tab2.col1 IDENTITY", "tab3.flag CONDITIONAL"))),
        ("INSERT", "tab1", expect(("col1", "tab4.col9 IDENTITY", "tab3.flag CONDITIONAL")))]
    assert end_to_end(script) == IF_ELSE


def test_bigquery_blocks_if_while_and_exception_handler():
    script = qarvel_lineage.analyze_script(
        "BEGIN\n  IF (SELECT COUNT(*) FROM s WHERE k = 1) > 0 THEN\n    INSERT INTO t (a) SELECT a FROM s;\n"
        "  END IF;\n  WHILE (SELECT MAX(v) FROM u) < 3 DO\n    INSERT INTO t (a) SELECT b FROM u;\n  END WHILE;\n"
        "EXCEPTION WHEN ERROR THEN\n  INSERT INTO log (m) SELECT 'x';\nEND", dialect="bigquery")
    assert script.errors == ()
    assert written_columns(script) == [
        ("INSERT", "t", expect(("a", "s.a IDENTITY", "s.k CONDITIONAL"))),
        ("INSERT", "t", expect(("a", "u.b IDENTITY", "u.v CONDITIONAL"))),
        ("INSERT", "log", expect(("m", "", "")))]


def test_postgres_begin_and_end_stay_transaction_statements():
    script = qarvel_lineage.analyze_script("BEGIN; INSERT INTO t (a) SELECT a FROM s; END", dialect="postgres")
    assert [s.kind for s in script.statements if not hasattr(s, "error")][1] == "INSERT"
    assert len(script.statements) == 3
