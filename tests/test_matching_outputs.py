"""Source discovery, column-to-table matching and the six output shapes
(expected records worked out by hand from the lineage rules)."""

import pandas as pd
import pytest
from sqlglot import exp, parse_one

import sqlglot_main
from helpers import CREATION_KEYS, NO_MATCH_KEYS, C, N, entries, same_records
from sqlglot_main import QarvelSQLGlotMain

TYPICAL_SQL = "select a, b as c from db1.t1 x"
TYPICAL = [C(1, "a", "a", "", "column", "db1", "t1", "x"), C(2, "b", "c", "", "column", "db1", "t1", "x")]


def test_typical_request_in_every_shape(analyser, capsys):
    result = analyser._parse(TYPICAL_SQL, None, "normal")
    assert type(result) is list and all(type(r) is dict for r in result)
    same_records(result, TYPICAL)

    qarvel = analyser._parse(TYPICAL_SQL, None, "qarvel")
    md5 = analyser._set_sql_md5(TYPICAL_SQL)
    assert qarvel is analyser._var.get(md5).parse_columns
    same_records(qarvel, TYPICAL)
    assert [(r.sort, r.alias, r.get("column")) for r in qarvel] == [(1, "a", "a"), (2, "c", "b")]

    frame = analyser._parse(TYPICAL_SQL, None, "dataframe")
    assert isinstance(frame, pd.DataFrame) and list(frame.columns) == CREATION_KEYS
    assert frame.to_dict("records") == TYPICAL

    assert analyser._parse(TYPICAL_SQL, None, "print") == (
        "序号: 1, 别名: a, 来源字段名: a, 来源字段表别名: , 字段类型: column, "
        "来源库名: db1, 来源表名: t1, 来源表别名: x\n"
        "序号: 2, 别名: c, 来源字段名: b, 来源字段表别名: , 字段类型: column, "
        "来源库名: db1, 来源表名: t1, 来源表别名: x")

    table = analyser._parse(TYPICAL_SQL, None, "table")
    assert list(table.field_names) == CREATION_KEYS
    assert table.rows == [[1, "a", "a", "", "column", "db1", "t1", "x"],
                          [2, "b", "c", "", "column", "db1", "t1", "x"]]

    assert analyser._parse(TYPICAL_SQL, None, "sql") == TYPICAL_SQL
    assert analyser._parse("SELECT a,\n   b AS c\nFROM db1.t1 x -- note", None, "sql") == TYPICAL_SQL
    assert capsys.readouterr() == ("", "")


# --- whole statements: discovery and matching together -----------------------

STATEMENTS = {
    # x.a is claimed by the FROM table; y.b is rebuilt there, then claimed by the join.
    "join": (
        "select x.a, y.b from db.t1 x join t2 y on x.id = y.id",
        [C(1, "a", "a", "x", "column", "db", "t1", "x"), N(2, "b", "b", "y", "column", "", "t2", "y")],
    ),
    "from_subquery_qualified": (
        "select s.a from (select a from db.t) s",
        [C(1, "a", "a", "s", "column", "db", "t", "")],
    ),
    "from_subquery_unqualified": (
        "select a from (select a from db.t) s",
        [C(1, "a", "a", "", "column", "db", "t", "")],
    ),
    # The projection sub-query's own FROM table claims q.b before the outer FROM is visited.
    "select_list_subquery": (
        "select (select q.b from db.s q) as m, a from t",
        [C(1, "b", "m", "q", "subquery", "db", "s", "q"), C(2, "a", "a", "", "column", "", "t", "")],
    ),
    # Only the WITH entry is offered: t.b never meets the joined table t.
    "with_entry": (
        "with w as (select a from db.s) select w.a, t.b from w join t on w.a = t.a",
        [C(1, "a", "a", "w", "column", "db", "s", ""), N(2, "b", "b", "t", "column", None, None, None)],
    ),
    # s.x fans out to both inner sources of x; s.y matches no inner output and is dropped.
    "two_inner_under_one_alias": (
        "select s.x, s.y from (select a + b as x from db.t) s",
        [C(1, "a", "x", "s", "column", "db", "t", ""), C(1, "b", "x", "s", "column", "db", "t", "")],
    ),
}


@pytest.mark.parametrize("name", list(STATEMENTS))
def test_statement_lineage(analyser, name):
    sql, expected = STATEMENTS[name]
    same_records(analyser._parse(sql, None, "normal"), expected)


def test_subquery_is_analysed_on_its_own_and_texts_are_consumed(analyser):
    sql = STATEMENTS["two_inner_under_one_alias"][0]
    analyser._parse(sql, None, "normal")
    assert analyser._var.get(analyser._set_sql_md5(sql)).text == []
    inner_md5 = sqlglot_main.crypt.md5_encrypt("SELECT a + b AS x FROM db.t")
    assert inner_md5 in analyser._var.keys()
    same_records(analyser._var.get(inner_md5).parse_columns,
                 [C(1, "a", "x", "", "column", "db", "t", ""), C(1, "b", "x", "", "column", "db", "t", "")])


def test_sources_are_offered_in_fixed_order():
    sql = "select (select q.b from db.s q) as m, a from t join u on t.a = u.a join v on u.a = v.a"
    offered = []

    class SourceRecorder(QarvelSQLGlotMain):
        def _match_column(self, sql_md5, table_args, columns):
            offered.append((sql_md5, type(table_args).__name__, table_args.alias_or_name))
            return super()._match_column(sql_md5, table_args, columns)

    analyser = SourceRecorder()
    analyser._parse(sql, None, "normal")
    md5 = analyser._set_sql_md5(sql)
    assert [(kind, name) for m, kind, name in offered if m == md5] == \
        [("Table", "q"), ("Table", "t"), ("Table", "u"), ("Table", "v")]


def test_second_parse_of_same_statement_parses_once(analyser, parse_calls):
    sql, expected = STATEMENTS["two_inner_under_one_alias"]
    same_records(analyser._parse(sql, None, "normal"), expected)
    # outer statement plus its sub-query, which the second outer record finds analysed
    assert len(parse_calls) == 2
    assert len(analyser._parse(sql, None, "table").rows) == 2
    assert len(parse_calls) == 2


def test_statements_without_from_fail(analyser):
    with pytest.raises(AttributeError) as info:
        analyser._parse("select a", None, "normal")
    assert entries(info.value) == [
        ("_parse", 78), ("_get_columns", 104), ("_find_column", 115), ("_get_column_parent", 126)]
    with pytest.raises(AttributeError) as info:
        analyser._parse("select 1 as x", None, "normal")
    assert entries(info.value) == [("_parse", 79), ("_get_tables", 175)]
    record = analyser._var.get(analyser._set_sql_md5("select 1 as x"))
    assert not record.parse_columns
    same_records(record.columns, [C(1, "1", "x", "", "literal")])


# --- _match_column on its own -------------------------------------------------

def registered(analyser, texts, sql="select x.a from db1.t1 x"):
    md5 = analyser._set_sql_md5(sql)
    analyser._var.get(md5).text.extend(texts)
    return md5


TABLE_X = parse_one("select 1 from db1.t1 x").find(exp.Table)
UNSUPPORTED = parse_one("select zz from t").find(exp.Column)


def test_empty_columns_and_records_naming_their_table_pass_through(analyser):
    md5 = registered(analyser, ["a-a--column"])
    assert analyser._match_column(md5, TABLE_X, []) == []
    assert analyser._match_column("not-registered", object(), []) == []
    record = C(1, "a", "a", "", "column", "d", "t", "")
    for source in (TABLE_X, UNSUPPORTED):
        result = analyser._match_column(md5, source, [record])
        assert len(result) == 1 and result[0] is record
    assert analyser._var.get(md5).text == ["a-a--column"]
    assert list(analyser._var.keys()) == [md5]


def test_table_source_claims_its_alias_and_unqualified_records(analyser):
    md5 = registered(analyser, ["a-a-x-column", "b-b--column", "c-c-y-column"])
    records = [C(1, "a", "a", "x", "column"), C(2, "b", "b", "", "column"),
               C(3, "c", "c", "y", "column"), C(4, "d", "d", "x", "column")]  # d: text not listed
    result = analyser._match_column(md5, TABLE_X, records)
    same_records(result, [
        C(1, "a", "a", "x", "column", "db1", "t1", "x"),
        C(2, "b", "b", "", "column", "db1", "t1", "x"),
        N(3, "c", "c", "y", "column", None, None, None),
        N(4, "d", "d", "x", "column", None, None, None),
    ])
    assert all(type(r) is dict and r is not old for r, old in zip(result, records))
    assert list(records[0]) == CREATION_KEYS[:5]  # inputs are left as they were
    assert analyser._var.get(md5).text == ["c-c-y-column"]
    again = analyser._match_column(md5, TABLE_X, result)
    assert again[0] is result[0] and again[1] is result[1]
    assert again[2] == result[2] and again[2] is not result[2]


def test_subquery_source_fans_out_and_drops():
    calls = []

    class ParseRecorder(QarvelSQLGlotMain):
        def _parse(self, sql, dialect, callback):
            calls.append((sql, dialect, callback))
            return super()._parse(sql, dialect, callback)

    analyser = ParseRecorder()
    md5 = registered(analyser, ["x-x-s-column", "y-y-s-column"], sql="outer statement")
    analyser._var.get(md5).dialect = "mysql"
    source = parse_one(STATEMENTS["two_inner_under_one_alias"][0]).find(exp.Subquery)
    result = analyser._match_column(md5, source, [C(1, "x", "x", "s", "column"), C(2, "y", "y", "s", "column")])
    same_records(result, [C(1, "a", "x", "s", "column", "db", "t", ""),
                          C(1, "b", "x", "s", "column", "db", "t", "")])
    assert calls == [("SELECT a + b AS x FROM db.t", "mysql", "qarvel")] * 2
    assert analyser._var.get(md5).text == []


def test_record_with_none_alias_is_a_type_error(analyser):
    record = {"sort": 1, "column": "a", "alias": None, "column_table": "y", "type": "column"}
    with pytest.raises(TypeError) as info:
        analyser._match_column(registered(analyser, []), TABLE_X, [record])
    assert entries(info.value) == [("_match_column", 189)]


def test_unsupported_source_fails_only_when_it_must_claim(analyser):
    md5 = registered(analyser, ["a-a--column", "c-c-y-column"])
    result = analyser._match_column(md5, UNSUPPORTED, [C(2, "c", "c", "y", "column")])
    same_records(result, [N(2, "c", "c", "y", "column", None, None, None)])
    with pytest.raises(NotImplementedError) as info:
        analyser._match_column(md5, UNSUPPORTED, [C(1, "a", "a", "", "column")])
    assert str(info.value) == "暂不支持 " + str(UNSUPPORTED)
    assert entries(info.value) == [("_match_column", 214)]
    assert "a-a--column" in analyser._var.get(md5).text


# --- output dispatch ---------------------------------------------------------

@pytest.mark.parametrize("name, line", [("Normal", 239), ("", 239), (["normal"], 238)])
def test_unknown_callback_name_is_a_type_error(analyser, name, line):
    md5 = analyser._set_sql_md5(TYPICAL_SQL)
    with pytest.raises(TypeError) as info:
        analyser._callback(md5, name)
    assert entries(info.value) == [("_callback", line)]
    # the "normal" output of a statement with no final list yet
    assert analyser._callback(md5, "normal") is None


def test_dataframe_follows_normal(analyser):
    sql = STATEMENTS["join"][0]
    frame = analyser._parse(sql, None, "dataframe")
    assert list(frame.columns) == CREATION_KEYS  # columns follow the first record
    assert frame.to_dict("records") == analyser._parse(sql, None, "normal")

    class Custom(QarvelSQLGlotMain):
        def _callback_normal(self, sql_md5):
            return [{"k": 1}, {"k": 2}]

    frame = Custom()._parse(TYPICAL_SQL, None, "dataframe")
    assert list(frame.columns) == ["k"] and frame["k"].tolist() == [1, 2]


# --- text renderings ---------------------------------------------------------

def test_print_with_none_values_and_empty_list(analyser):
    text = analyser._parse(STATEMENTS["with_entry"][0], None, "print")
    assert text.split("\n") == [
        "序号: 1, 别名: a, 来源字段名: a, 来源字段表别名: w, 字段类型: column, 来源库名: db, 来源表名: s, 来源表别名: ",
        "序号: 2, 别名: b, 来源字段名: b, 来源字段表别名: t, 字段类型: column, 来源库名: None, 来源表名: None, 来源表别名: None",
    ]
    md5 = analyser._set_sql_md5("select 1")
    analyser._var.get(md5).parse_columns = []
    assert analyser._callback_print(md5) == ""


@pytest.mark.parametrize("source, header, rows", [
    (STATEMENTS["with_entry"][0], CREATION_KEYS,
     [[1, "a", "a", "w", "column", "db", "s", ""], [2, "b", "b", "t", "column", None, None, None]]),
    ("select y.b, x.a from db.t1 x join t2 y on x.id = y.id", NO_MATCH_KEYS,
     [[1, "b", "b", "y", "column", "", "t2", "y"], [2, "a", "a", "x", "column", "db", "t1", "x"]]),
    # a row lacking a key of the header shows None
    ([C(1, "a", "a", "", "column", "d", "t", "x"), C(2, "1", "one", "", "literal")], CREATION_KEYS,
     [[1, "a", "a", "", "column", "d", "t", "x"], [2, "1", "one", "", "literal", None, None, None]]),
])
def test_table_header_and_rows(analyser, source, header, rows):
    if isinstance(source, str):
        table = analyser._parse(source, None, "table")
    else:
        md5 = analyser._set_sql_md5(TYPICAL_SQL)
        analyser._var.get(md5).parse_columns = source
        table = analyser._callback_table(md5)
    assert list(table.field_names) == header
    assert table.rows == rows


def test_table_of_empty_list_fails_cleanly(analyser):
    md5 = analyser._set_sql_md5(TYPICAL_SQL)
    analyser._var.get(md5).parse_columns = []
    with pytest.raises(Exception) as info:
        analyser._callback_table(md5)
    assert entries(info.value) == [("_callback_table", 266)]
