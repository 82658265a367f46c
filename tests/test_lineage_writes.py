"""What writing statements write, scripts traced end to end, and the output formats."""

import json

import pytest
from openlineage.client.generated.column_lineage_dataset import (
    ColumnLineageDatasetFacet, Fields, InputField, Transformation)
from openlineage.client.serde import Serde

import qarvel_lineage
from qarvel_lineage import StatementError, Table, analyze, analyze_script

from helpers import brief_row, frame_records, source_text

D_ID, D_TR, D_AGG, CONST = "DIRECT IDENTITY", "DIRECT TRANSFORMATION", "DIRECT AGGREGATION", "DIRECT CONSTANT"
JOIN, FILTER, GROUP = "INDIRECT JOIN", "INDIRECT FILTER", "INDIRECT GROUP_BY"
SCHEMA = {"db": {"tgt": {"x": "int", "y": "int"}, "src": {"a": "int", "b": "int"}}}


def T(name, db=None, catalog=None):
    return Table(catalog, db, name)


# (sql, dialect, schema, kind, target, tables read, rows as brief_row gives them)
WRITES = [
    ("insert into db.tgt (x, y) select a, b + 1 from db.src where k > 0", None, None,
     "INSERT", T("tgt", "db"), [T("src", "db")],
     [(1, "x", "db.src.a", D_ID), (1, "x", "db.src.k", FILTER),
      (2, "y", "db.src.b", D_TR), (2, "y", "db.src.k", FILTER)]),
    # no column list: the schema's columns of the target, by position
    ("insert into db.tgt select a, b from db.src", None, SCHEMA,
     "INSERT", T("tgt", "db"), [T("src", "db")],
     [(1, "x", "db.src.a", D_ID), (2, "y", "db.src.b", D_ID)]),
    ("insert into db.tgt select * from db.src", None, SCHEMA,
     "INSERT", T("tgt", "db"), [T("src", "db")],
     [(1, "x", "db.src.a", D_ID), (2, "y", "db.src.b", D_ID)]),
    # no column list and no schema: the query's output names
    ("insert into tgt select a, b as c from src", None, None,
     "INSERT", T("tgt"), [T("src")],
     [(1, "a", "src.a", D_ID), (2, "c", "src.b", D_ID)]),
    ("insert into tgt (x, y) values (1, 'a')", None, None, "INSERT", T("tgt"), [],
     [(1, "x", "", CONST), (2, "y", "", CONST)]),
    ("insert overwrite table db.tgt partition (dt = '2024-01-01') "
     "select a, b from db.src where dt = '2024-01-01'", "hive", None,
     "INSERT OVERWRITE", T("tgt", "db"), [T("src", "db")],
     [(1, "a", "db.src.a", D_ID), (1, "a", "db.src.dt", FILTER),
      (2, "b", "db.src.b", D_ID), (2, "b", "db.src.dt", FILTER)]),
    ("create table mart.t as select o.id, sum(o.v) as total from sales.o o group by o.id",
     None, None, "CREATE TABLE", T("t", "mart"), [T("o", "sales")],
     [(1, "id", "sales.o.id", D_ID), (1, "id", "sales.o.id", GROUP),
      (2, "total", "sales.o.v", D_AGG), (2, "total", "sales.o.id", GROUP)]),
    ("create temporary table tmp as select a from s", "postgres", None,
     "CREATE TABLE", T("tmp"), [T("s")], [(1, "a", "s.a", D_ID)]),
    ("create or replace view v (p, q) as select a, upper(b) from s", None, None,
     "CREATE VIEW", T("v"), [T("s")], [(1, "p", "s.a", D_ID), (2, "q", "s.b", D_TR)]),
    ("create or replace view v as select a, b as c from s", None, None,
     "CREATE VIEW", T("v"), [T("s")], [(1, "a", "s.a", D_ID), (2, "c", "s.b", D_ID)]),
    # c is set by both branches: the union of its sources; ON is a JOIN of every column
    ("merge into t using s on t.id = s.id "
     "when matched then update set c = s.x, d = s.y "
     "when not matched then insert (id, c) values (s.id, s.z)", None, None,
     "MERGE", T("t"), [T("t"), T("s")],
     [(1, "c", "s.x", D_ID), (1, "c", "s.z", D_ID), (1, "c", "t.id", JOIN), (1, "c", "s.id", JOIN),
      (2, "d", "s.y", D_ID), (2, "d", "t.id", JOIN), (2, "d", "s.id", JOIN),
      (3, "id", "s.id", D_ID), (3, "id", "t.id", JOIN), (3, "id", "s.id", JOIN)]),
    # a branch's own condition filters what that branch writes, and only that
    ("merge into t using s on t.id = s.id "
     "when matched and s.flag = 1 then update set c = s.x "
     "when not matched then insert (id) values (s.id)", None, None,
     "MERGE", T("t"), [T("t"), T("s")],
     [(1, "c", "s.x", D_ID), (1, "c", "s.flag", FILTER), (1, "c", "t.id", JOIN),
      (1, "c", "s.id", JOIN),
      (2, "id", "s.id", D_ID), (2, "id", "t.id", JOIN), (2, "id", "s.id", JOIN)]),
    ("update t set c = s.x, d = t.d + 1 from s where t.id = s.id and s.flag = 1", "postgres",
     None, "UPDATE", T("t"), [T("t"), T("s")],
     [(1, "c", "s.x", D_ID), (1, "c", "t.id", FILTER), (1, "c", "s.id", FILTER),
      (1, "c", "s.flag", FILTER),
      (2, "d", "t.d", D_TR), (2, "d", "t.id", FILTER), (2, "d", "s.id", FILTER),
      (2, "d", "s.flag", FILTER)]),
    ("delete from db.t where a > 1", None, None, "DELETE", T("t", "db"), [T("t", "db")], []),
]


@pytest.mark.parametrize("sql, dialect, schema, kind, target, tables, rows", WRITES)
def test_a_writing_statement_names_its_target_and_the_columns_it_fills(
        sql, dialect, schema, kind, target, tables, rows):
    result = analyze(sql, dialect, schema)
    assert (result.kind, result.target, list(result.tables)) == (kind, target, tables)
    flat = result.to_dicts()
    assert [brief_row(row) for row in flat] == rows
    head = {"target_catalog": target.catalog, "target_db": target.db, "target_table": target.name}
    for row in flat:
        assert list(row)[:5] == ["position", "column", *head]
        assert {key: row[key] for key in head} == head


def test_delete_reports_the_columns_that_choose_the_rows():
    result = analyze("delete from db.t where a > 1 and b = 'x'")
    assert (result.kind, result.columns) == ("DELETE", ())
    assert [source_text(s) for s in result.influences] == ["db.t.a INDIRECT FILTER",
                                                           "db.t.b INDIRECT FILTER"]


@pytest.mark.parametrize("sql, dialect, kind, target", [
    ("use analytics", None, "USE", None),
    ("set search_path = x", "postgres", "SET", None),
    ("grant select on t to u", None, "GRANT", None),
    ("drop table if exists db.t", None, "DROP TABLE", None),
    ("create table t (a int, b int)", None, "CREATE TABLE", T("t")),
    ("alter table t add column c int", None, "ALTER", None),
    ("truncate table t", None, "TRUNCATE TABLE", None),
])
def test_a_statement_without_a_query_has_a_kind_and_no_columns(sql, dialect, kind, target):
    result = analyze(sql, dialect)
    assert (result.kind, result.target, result.columns, result.to_dicts()) == (kind, target, (), [])


# --- scripts -------------------------------------------------------------------------

PIPELINE = """\
create temp table stage as
  select o.id, o.amount * 2 as amt, c.region
  from sales.orders o join crm.customers c on c.id = o.cust_id
  where o.status = 'ok';
create view v_region as select region, sum(amt) as total from stage group by region;
create table mart.final (region varchar, total int);
insert into mart.final select region, total from v_region where region <> 'x';
drop table mart.final;
create table mart.final (region varchar, total int, n int);
insert into mart.final select region, total, 1 from v_region where total > 10;
"""

# What decides the rows of stage, then of v_region.
STAGE_ROWS = {"crm.customers.id INDIRECT JOIN", "sales.orders.cust_id INDIRECT JOIN",
              "sales.orders.status INDIRECT FILTER"}
REGION_ROWS = STAGE_ROWS | {"crm.customers.region INDIRECT GROUP_BY"}
# The last insert keeps the groups with total > 10: the sum's input filters them.
FINAL_ROWS = REGION_ROWS | {"sales.orders.amount INDIRECT FILTER"}


def traced(end_to_end):
    """{table: [(position, name, direct set, indirect set)]} of an end-to-end result."""
    found = {}
    for column in end_to_end.columns:
        assert column.unresolved == ()
        found.setdefault(str(column.target), []).append(
            (column.position, column.name, {source_text(s) for s in column.direct},
             {source_text(s) for s in column.indirect}))
    return found


def test_a_script_is_traced_through_temp_tables_views_and_a_re_created_table():
    script = analyze_script(PIPELINE)
    assert [(s.kind, s.target) for s in script.statements] == [
        ("CREATE TABLE", T("stage")), ("CREATE VIEW", T("v_region")),
        ("CREATE TABLE", T("final", "mart")), ("INSERT", T("final", "mart")),
        ("DROP TABLE", None), ("CREATE TABLE", T("final", "mart")),
        ("INSERT", T("final", "mart"))]
    assert script.errors == ()
    assert script.end_to_end.tables == (T("stage"), T("v_region"), T("final", "mart"))
    # The first mart.final, with its filter on region, was dropped: only the
    # second one is traced, by the columns its CREATE TABLE gave it.
    assert traced(script.end_to_end) == {
        "stage": [(1, "id", {"sales.orders.id DIRECT IDENTITY"}, STAGE_ROWS),
                  (2, "amt", {"sales.orders.amount DIRECT TRANSFORMATION"}, STAGE_ROWS),
                  (3, "region", {"crm.customers.region DIRECT IDENTITY"}, STAGE_ROWS)],
        "v_region": [(1, "region", {"crm.customers.region DIRECT IDENTITY"}, REGION_ROWS),
                     (2, "total", {"sales.orders.amount DIRECT AGGREGATION"}, REGION_ROWS)],
        "mart.final": [(1, "region", {"crm.customers.region DIRECT IDENTITY"}, FINAL_ROWS),
                       (2, "total", {"sales.orders.amount DIRECT AGGREGATION"}, FINAL_ROWS),
                       (3, "n", set(), FINAL_ROWS)],
    }
    rows = script.end_to_end.to_dicts()
    assert list(rows[0]) == ["position", "column", "target_catalog", "target_db", "target_table",
                             "source_catalog", "source_db", "source_table", "source_column",
                             "type", "subtype", "reason"]
    final = [r for r in rows if (r["target_db"], r["target_table"]) == ("mart", "final")]
    assert {(r["column"], r["source_db"], r["source_table"], r["source_column"], r["type"],
             r["subtype"]) for r in final if r["column"] == "n"} == {
        ("n", "crm", "customers", "id", "INDIRECT", "JOIN"),
        ("n", "sales", "orders", "cust_id", "INDIRECT", "JOIN"),
        ("n", "sales", "orders", "status", "INDIRECT", "FILTER"),
        ("n", "crm", "customers", "region", "INDIRECT", "GROUP_BY"),
        ("n", "sales", "orders", "amount", "INDIRECT", "FILTER")}


@pytest.mark.parametrize("script, dialect, expected", [
    # UPDATE: the old value for rows not chosen, the new one for the others
    ("create table t as select a, b from s; update t set a = b * 2 where b > 0", None,
     {"t": [(1, "a", {"s.a DIRECT IDENTITY", "s.b DIRECT TRANSFORMATION"}, {"s.b INDIRECT FILTER"}),
            (2, "b", {"s.b DIRECT IDENTITY"}, set())]}),
    # DELETE: what chooses the remaining rows decides every column
    ("create table t as select a from s; delete from t where a > 5", None,
     {"t": [(1, "a", {"s.a DIRECT IDENTITY"}, {"s.a INDIRECT FILTER"})]}),
    # INSERT adds to what the table held
    ("create table t as select a from s; insert into t select c from u", None,
     {"t": [(1, "a", {"s.a DIRECT IDENTITY", "u.c DIRECT IDENTITY"}, set())]}),
    # a view replaced before it is read
    ("create view v as select a from s; create or replace view v as select b as a from u; "
     "insert into z select a from v", None,
     {"v": [(1, "a", {"u.b DIRECT IDENTITY"}, set())],
      "z": [(1, "a", {"u.b DIRECT IDENTITY"}, set())]}),
    # a table read before the script writes it is a source itself
    ("insert into z select a from w; insert into w select b from s", None,
     {"z": [(1, "a", {"w.a DIRECT IDENTITY"}, set())],
      "w": [(1, "b", {"s.b DIRECT IDENTITY"}, set())]}),
    # INSERT OVERWRITE replaces what the table held.
    ("create table t as select a from s; insert overwrite table t select c from u", "hive",
     {"t": [(1, "a", {"u.c DIRECT IDENTITY"}, set())]}),
    # A table created without a query holds what is put there from outside.
    ("create table w (p int, q int); insert into z select p from w", None,
     {"w": [], "z": [(1, "p", {"w.p DIRECT IDENTITY"}, set())]}),
])
def test_what_each_kind_of_statement_does_to_the_tables_of_a_script(script, dialect, expected):
    found = traced(analyze_script(script, dialect).end_to_end)
    assert {table: found.get(table, []) for table in expected} == expected


@pytest.mark.parametrize("script, dialect, pieces", [
    # a ';' in a quoted name, in a string with a doubled quote or an escape, or after
    # text that is not ASCII (offsets count characters, not bytes)
    ("select `a;b` from t; select c from u", "bigquery", ["select `a;b` from t", "select c from u"]),
    ("select [a;b] from t; select c from u", "tsql", ["select [a;b] from t", "select c from u"]),
    ("select 'a'';b' from t; select c from u", None, ["select 'a'';b' from t", "select c from u"]),
    ("select 'it\\'s; ok' from t; select c from u", "mysql", ["select 'it\\'s; ok' from t", "select c from u"]),
    ("select 'é; ü' as x from t;\nselect c from u", None, ["select 'é; ü' as x from t", "select c from u"]),
    # what the dialect's lexicon does not settle, the tokenizer does: nested
    # block comments, dollar quoting
    ("select a /* x /* ; */ ; */ from t; select b from u", "postgres",
     ["select a /* x /* ; */ ; */ from t", "select b from u"]),
    ("create function f() returns int as $$ select 1; $$ language sql; select a from t", "postgres",
     ["create function f() returns int as $$ select 1; $$ language sql", "select a from t"]),
    # a text the tokenizer rejects keeps the scanner's reading: the piece that
    # does not parse is reported, the others are analysed
    ("select a from t; select 'oops from u", None, ["select a from t", "select 'oops from u"]),
])
def test_a_script_splits_only_at_the_semicolons_between_statements(script, dialect, pieces):
    statements = analyze_script(script, dialect).statements
    assert [s.sql for s in statements] == pieces
    assert [isinstance(s, StatementError) for s in statements] == ["oops" in p for p in pieces]


def test_select_into_makes_its_table_as_create_table_as_does():
    result = analyze("select a, b into new_t from t where x > 0", "tsql")
    assert (result.kind, result.target) == ("CREATE TABLE", T("new_t"))
    assert [brief_row(r) for r in result.to_dicts()] == [
        (1, "a", "t.a", D_ID), (1, "a", "t.x", FILTER), (2, "b", "t.b", D_ID), (2, "b", "t.x", FILTER)]
    script = analyze_script("select a into #tmp from src; insert into out select a from #tmp", "tsql")
    assert traced(script.end_to_end)["out"] == [(1, "a", {"src.a DIRECT IDENTITY"}, set())]


@pytest.mark.parametrize("rename, dialect", [
    ("alter table mart.out1 rename to out2", None),
    ("alter table mart.out1 rename to mart.out2", "postgres"),
    ("alter view mart.out1 rename to out2", None),
    ("rename table mart.out1 to mart.out2", "mysql"),
    ("rename table `mart`.out1 to out2, raw.b to raw.c", "mysql"),
])
def test_a_renamed_table_is_followed_under_its_new_name(rename, dialect):
    kind = "view" if "view" in rename else "table"
    script = analyze_script("create table raw.a (v int); "
                            f"create {kind} mart.out1 as select v from raw.a; {rename}; "
                            "create table mart.final as select v as v2 from mart.out2", dialect)
    assert script.errors == ()
    assert traced(script.end_to_end)["mart.final"] == [(1, "v2", {"raw.a.v DIRECT IDENTITY"}, set())]
    # the old name is gone: a table of that name is read from outside again
    after = analyze_script(f"create {kind} mart.out1 as select v from raw.a; {rename}; "
                           "create table mart.again as select v from mart.out1", dialect)
    assert traced(after.end_to_end)["mart.again"] == [(1, "v", {"mart.out1.v DIRECT IDENTITY"}, set())]


def test_a_statement_that_does_not_parse_is_reported_and_the_rest_analysed():
    script = analyze_script("select a from t;\n"
                            "-- a comment; with a semicolon\n"
                            "select b from u where c = 'x;y' /* ; */;\n"
                            "select from where;\n"
                            "create table w (p int, q int);\n"
                            "select * from w\n")
    first, second, bad, create, star = script.statements
    assert script.errors == (bad,)
    assert isinstance(bad, StatementError)
    assert (bad.index, bad.line, bad.sql) == (3, 4, "select from where")
    assert isinstance(bad.error, qarvel_lineage.ParseError)
    assert str(bad).startswith("statement 3 (line 4): ParseError: ")
    assert [brief_row(r) for r in first.to_dicts()] == [(1, "a", "t.a", D_ID)]
    # neither the ';' in the comment nor the ones in the string and the block comment split
    assert second.sql == "-- a comment; with a semicolon\nselect b from u where c = 'x;y' /* ; */"
    assert [brief_row(r) for r in second.to_dicts()] == [(1, "b", "u.b", D_ID),
                                                          (1, "b", "u.c", FILTER)]
    assert (create.kind, create.columns) == ("CREATE TABLE", ())
    # CREATE TABLE w (...) told the later statements w's columns
    assert [brief_row(r) for r in star.to_dicts()] == [(1, "p", "w.p", D_ID), (2, "q", "w.q", D_ID)]
    assert [(r["statement"], r["column"]) for r in script.to_dicts()] == [
        (1, "a"), (2, "b"), (2, "b"), (5, "p"), (5, "q")]


# --- output formats ------------------------------------------------------------------

KEYS = ["position", "column", "source_catalog", "source_db", "source_table", "source_column",
        "type", "subtype", "reason"]
TARGETED = KEYS[:2] + ["target_catalog", "target_db", "target_table"] + KEYS[2:]


def dtypes(frame):
    return {name: str(dtype) for name, dtype in frame.dtypes.items()}


def expected_dtypes(keys):
    return {key: "int64" if key in ("statement", "position") else "string" for key in keys}


@pytest.mark.parametrize("frame, keys, length", [
    (lambda: analyze("select a, b from t where c > 0").to_dataframe(), KEYS, 4),
    (lambda: analyze("select a from t where false").to_dataframe(), KEYS, 1),
    (lambda: analyze("insert into t (x) select a from s").to_dataframe(), TARGETED, 1),
    (lambda: analyze("delete from t where a = 1").to_dataframe(), TARGETED, 0),
    (lambda: analyze("use db").to_dataframe(), KEYS, 0),
    (lambda: analyze_script("use db; select a from t").to_dataframe(), ["statement", *TARGETED], 1),
    (lambda: analyze_script("use db").to_dataframe(), ["statement", *TARGETED], 0),
    (lambda: analyze_script("create table t as select a from s").end_to_end.to_dataframe(),
     TARGETED, 1),
    (lambda: analyze_script("use db").end_to_end.to_dataframe(), TARGETED, 0),
])
def test_data_frames_have_the_same_columns_and_dtypes_also_when_empty(frame, keys, length):
    made = frame()
    assert list(made.columns) == keys
    assert dtypes(made) == expected_dtypes(keys)
    assert len(made) == length


def test_a_data_frame_holds_the_rows_of_to_dicts():
    result = analyze("insert into db.t (x, y) select a, 1 from s")
    assert frame_records(result.to_dataframe()) == result.to_dicts()


def test_json_is_utf8_text_not_escaped():
    result = analyze('select "größe" as größe_ø from tabelle')
    text = result.to_json()
    assert '"column": "größe_ø"' in text and '"source_column": "größe"' in text
    assert "\\u" not in text
    assert json.loads(text) == result.to_dicts()
    script = analyze_script('create table ü as select "größe" from tabelle')
    assert json.loads(script.end_to_end.to_json()) == script.end_to_end.to_dicts()
    assert '"target_table": "ü"' in script.end_to_end.to_json()
    assert json.loads(script.to_json()) == script.to_dicts()


def facet_of(made):
    """The facet rebuilt with the OpenLineage client's classes (which reject
    unknown or missing keys), as the client serialises it."""
    def field(item):
        return InputField(namespace=item["namespace"], name=item["name"], field=item["field"],
                          transformations=[Transformation(**t) for t in item["transformations"]])

    return ColumnLineageDatasetFacet(
        fields={name: Fields(**{**value, "inputFields": [field(i) for i in value["inputFields"]]})
                for name, value in made["fields"].items()},
        dataset=[field(item) for item in made["dataset"]], producer=made["_producer"])


def test_openlineage_facet_of_a_statement_is_the_clients_facet():
    made = analyze("insert into db.t (x, y) select md5(a), sum(b) from db.s "
                   "where k > 0 group by a").to_openlineage("wh")
    facet = facet_of(made)
    assert Serde.to_dict(facet) == made
    assert made["_schemaURL"] == ColumnLineageDatasetFacet._get_schema()

    def transform(kind, subtype, masking=False):
        return {"type": kind, "subtype": subtype, "description": "", "masking": masking}

    def field(name, *transformations):
        return {"namespace": "wh", "name": "db.s", "field": name,
                "transformations": list(transformations)}

    filter_k = field("k", transform("INDIRECT", "FILTER"))
    group_a = field("a", transform("INDIRECT", "GROUP_BY"))
    assert made["fields"] == {
        # md5 masks a; a is also the grouping key
        "x": {"inputFields": [field("a", transform("DIRECT", "TRANSFORMATION", True),
                                    transform("INDIRECT", "GROUP_BY")), filter_k]},
        "y": {"inputFields": [field("b", transform("DIRECT", "AGGREGATION")), filter_k, group_a]},
    }
    assert made["dataset"] == [filter_k, group_a]


def test_openlineage_datasets_of_a_script_are_the_clients_facets():
    script = analyze_script(PIPELINE)
    datasets = script.to_openlineage("wh")
    assert [(d["namespace"], d["name"], list(d["facets"])) for d in datasets] == [
        ("wh", "stage", ["columnLineage"]), ("wh", "v_region", ["columnLineage"]),
        ("wh", "mart.final", ["columnLineage"])]
    for dataset in datasets:
        made = dataset["facets"]["columnLineage"]
        assert Serde.to_dict(facet_of(made)) == made
        assert made["_schemaURL"] == ColumnLineageDatasetFacet._get_schema()
    final = datasets[2]["facets"]["columnLineage"]["fields"]
    assert list(final) == ["region", "total", "n"]
    assert {(i["name"], i["field"], t["type"], t["subtype"])
            for i in final["n"]["inputFields"] for t in i["transformations"]} == {
        ("crm.customers", "id", "INDIRECT", "JOIN"), ("sales.orders", "cust_id", "INDIRECT", "JOIN"),
        ("sales.orders", "status", "INDIRECT", "FILTER"),
        ("crm.customers", "region", "INDIRECT", "GROUP_BY"),
        ("sales.orders", "amount", "INDIRECT", "FILTER")}


def test_a_one_statement_script_has_the_statements_facet():
    sql = "create table t as select a from s where k > 0"
    datasets = analyze_script(sql).to_openlineage("wh")
    assert [d["facets"]["columnLineage"] for d in datasets] == [analyze(sql).to_openlineage("wh")]
