"""Source discovery, column-to-table matching and the six output shapes.

Every expected value below is worked out by hand from the lineage rules:
records are built in the key order sort, column, alias, column_table, type
(plus db, table, table_alias for an unqualified column whose FROM starts with
a table); a record a source does not claim is rebuilt in the order sort, alias,
column, column_table, type, db, table, table_alias.
"""

import textwrap

import pandas as pd
import pytest
from sqlglot import exp, parse_one

import sqlglot_main
from sqlglot_main import QarvelSQLGlotMain

FILE = "sqlglot_main.py"
PREFIX = "sqlglot_main.QarvelSQLGlotMain."
CREATION_KEYS = ["sort", "column", "alias", "column_table", "type", "db", "table", "table_alias"]
NO_MATCH_KEYS = ["sort", "alias", "column", "column_table", "type", "db", "table", "table_alias"]


def C(*values):
    """A record in creation order: sort, column, alias, column_table, type[, db, table, table_alias]."""
    return dict(zip(CREATION_KEYS, values))


def N(*values):
    """A record rebuilt by a source that did not claim it: sort, alias, column, ... (all eight keys)."""
    assert len(values) == 8
    return dict(zip(NO_MATCH_KEYS, values))


def module_entries(exc):
    """(method, line) of every traceback entry the extension added, outermost first."""
    found = []
    tb = exc.__traceback__
    while tb is not None:
        code = tb.tb_frame.f_code
        if code.co_filename == FILE:
            name = code.co_name if code.co_name.startswith(PREFIX) else code.co_qualname
            assert name.startswith(PREFIX), name
            found.append((name[len(PREFIX):], tb.tb_lineno))
        tb = tb.tb_next
    return found


def same_records(actual, expected):
    """Equal values and equal key order, record by record."""
    assert [dict(r) for r in actual] == expected
    assert [list(r.keys()) for r in actual] == [list(r) for r in expected]


# --- the typical request -----------------------------------------------------

TYPICAL_SQL = "select a, b as c from db1.t1 x"
TYPICAL = [C(1, "a", "a", "", "column", "db1", "t1", "x"), C(2, "b", "c", "", "column", "db1", "t1", "x")]


def test_typical_request_normal(analyser):
    result = analyser._parse(TYPICAL_SQL, None, "normal")
    assert isinstance(result, list) and all(isinstance(r, dict) for r in result)
    same_records(result, TYPICAL)


def test_typical_request_qarvel_elements_read_both_ways(analyser):
    result = analyser._parse(TYPICAL_SQL, None, "qarvel")
    same_records(result, TYPICAL)
    assert [r.sort for r in result] == [1, 2]
    assert [r.alias for r in result] == ["a", "c"]
    assert [r.get("column") for r in result] == ["a", "b"]
    assert result[1]["table_alias"] == "x" and result[1].db == "db1"


def test_typical_request_dataframe(analyser):
    frame = analyser._parse(TYPICAL_SQL, None, "dataframe")
    assert isinstance(frame, pd.DataFrame)
    assert list(frame.columns) == CREATION_KEYS
    assert frame.to_dict("records") == TYPICAL


def test_typical_request_print(analyser):
    text = analyser._parse(TYPICAL_SQL, None, "print")
    assert text == (
        "序号: 1, 别名: a, 来源字段名: a, 来源字段表别名: , 字段类型: column, "
        "来源库名: db1, 来源表名: t1, 来源表别名: x\n"
        "序号: 2, 别名: c, 来源字段名: b, 来源字段表别名: , 字段类型: column, "
        "来源库名: db1, 来源表名: t1, 来源表别名: x"
    )


def test_typical_request_table(analyser):
    table = analyser._parse(TYPICAL_SQL, None, "table")
    assert list(table.field_names) == CREATION_KEYS
    assert table.rows == [
        [1, "a", "a", "", "column", "db1", "t1", "x"],
        [2, "b", "c", "", "column", "db1", "t1", "x"],
    ]


def test_typical_request_sql(analyser):
    assert analyser._parse(TYPICAL_SQL, None, "sql") == TYPICAL_SQL
    messy = "SELECT a,\n   b AS c\nFROM db1.t1 x -- note"
    assert analyser._parse(messy, None, "sql") == TYPICAL_SQL


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


def test_subquery_is_registered_and_analysed_on_its_own(analyser):
    analyser._parse("select s.a from (select a from db.t) s", None, "normal")
    inner_md5 = sqlglot_main.crypt.md5_encrypt("SELECT a FROM db.t")
    assert inner_md5 in analyser._var.keys()
    same_records(
        analyser._var.get(inner_md5).parse_columns,
        [C(1, "a", "a", "", "column", "db", "t", "")],
    )


def test_matched_and_fanned_out_texts_leave_the_text_list(analyser):
    sql = "select s.x, s.y from (select a + b as x from db.t) s"
    analyser._parse(sql, None, "normal")
    assert analyser._var.get(analyser._set_sql_md5(sql)).text == []


class SourceRecorder(QarvelSQLGlotMain):
    def __init__(self):
        super().__init__()
        self.offered = []

    def _match_column(self, sql_md5, table_args, columns):
        self.offered.append((sql_md5, type(table_args).__name__, table_args.alias_or_name))
        return super()._match_column(sql_md5, table_args, columns)


@pytest.mark.parametrize(
    "sql, expected",
    [
        ("select a from t join u on t.id = u.id join v on u.id = v.id",
         [("Table", "t"), ("Table", "u"), ("Table", "v")]),
        ("select (select q.b from db.s q) as m, a from t join u on t.a = u.a",
         [("Table", "q"), ("Table", "t"), ("Table", "u")]),
        ("with w as (select a from db.s) select w.a from w join t on w.a = t.a",
         [("CTE", "w")]),
    ],
)
def test_sources_are_offered_in_fixed_order(sql, expected):
    analyser = SourceRecorder()
    analyser._parse(sql, None, "normal")
    md5 = analyser._set_sql_md5(sql)
    assert [(kind, name) for m, kind, name in analyser.offered if m == md5] == expected


def test_second_parse_of_same_statement_parses_once(analyser, monkeypatch):
    calls = []
    real = sqlglot_main.parse_one

    def counting(*args, **kwargs):
        calls.append(args)
        return real(*args, **kwargs)

    monkeypatch.setattr(sqlglot_main, "parse_one", counting)
    first = analyser._parse(TYPICAL_SQL, None, "normal")
    assert len(calls) == 1
    second = analyser._parse(TYPICAL_SQL, None, "normal")
    table = analyser._parse(TYPICAL_SQL, None, "table")
    assert len(calls) == 1
    assert first == second == TYPICAL and len(table.rows) == 2

    # outer statement plus its sub-query; the second outer record finds the
    # sub-query already analysed
    calls.clear()
    analyser._parse("select s.x, s.y from (select a + b as x from db.t) s", None, "normal")
    assert len(calls) == 2


def test_select_without_from_fails_in_parent_walk(analyser):
    with pytest.raises(AttributeError) as info:
        analyser._parse("select a", None, "normal")
    assert module_entries(info.value) == [
        ("_parse", 78), ("_get_columns", 104), ("_find_column", 115), ("_get_column_parent", 126),
    ]


def test_literal_without_from_fails_in_table_stage(analyser):
    sql = "select 1 as x"
    with pytest.raises(AttributeError) as info:
        analyser._parse(sql, None, "normal")
    assert module_entries(info.value) == [("_parse", 79), ("_get_tables", 175)]
    record = analyser._var.get(analyser._set_sql_md5(sql))
    assert not record.parse_columns
    same_records(record.columns, [C(1, "1", "x", "", "literal")])


# --- _match_column on its own -------------------------------------------------

def registered(analyser, texts, sql="select x.a from db1.t1 x"):
    md5 = analyser._set_sql_md5(sql)
    analyser._var.get(md5).text.extend(texts)
    return md5


TABLE_X = parse_one("select 1 from db1.t1 x").find(exp.Table)


def test_empty_columns_touch_nothing(analyser):
    md5 = registered(analyser, ["a-a-x-column"])
    assert analyser._match_column(md5, TABLE_X, []) == []
    assert analyser._match_column("not-registered", object(), []) == []
    assert analyser._var.get(md5).text == ["a-a-x-column"]
    assert list(analyser._var.keys()) == [md5]


def test_record_naming_its_table_passes_through_as_same_object(analyser):
    md5 = registered(analyser, ["a-a--column"])
    record = C(1, "a", "a", "", "column", "d", "t", "")
    for source in (TABLE_X, parse_one("select zz from t").find(exp.Column)):
        result = analyser._match_column(md5, source, [record])
        assert len(result) == 1 and result[0] is record
    assert analyser._var.get(md5).text == ["a-a--column"]


def test_table_source_claims_its_alias_and_unqualified_records(analyser):
    md5 = registered(analyser, ["a-a-x-column", "b-b--column", "c-c-y-column"])
    records = [
        C(1, "a", "a", "x", "column"),
        C(2, "b", "b", "", "column"),
        C(3, "c", "c", "y", "column"),
        C(4, "d", "d", "x", "column"),  # text not listed
    ]
    result = analyser._match_column(md5, TABLE_X, records)
    same_records(result, [
        C(1, "a", "a", "x", "column", "db1", "t1", "x"),
        C(2, "b", "b", "", "column", "db1", "t1", "x"),
        N(3, "c", "c", "y", "column", None, None, None),
        N(4, "d", "d", "x", "column", None, None, None),
    ])
    assert all(type(r) is dict for r in result)
    assert all(new is not old for new, old in zip(result, records))
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
    source = parse_one("select s.x from (select a + b as x from db.t) s").find(exp.Subquery)
    records = [C(1, "x", "x", "s", "column"), C(2, "y", "y", "s", "column")]
    result = analyser._match_column(md5, source, records)
    same_records(result, [
        C(1, "a", "x", "s", "column", "db", "t", ""),
        C(1, "b", "x", "s", "column", "db", "t", ""),
    ])
    assert calls == [("SELECT a + b AS x FROM db.t", "mysql", "qarvel")] * 2
    assert analyser._var.get(md5).text == []


def test_record_with_none_alias_is_a_type_error(analyser):
    md5 = registered(analyser, [])
    record = {"sort": 1, "column": "a", "alias": None, "column_table": "y", "type": "column"}
    with pytest.raises(TypeError) as info:
        analyser._match_column(md5, TABLE_X, [record])
    assert module_entries(info.value) == [("_match_column", 189)]


def test_unsupported_source_fails_only_when_it_must_claim(analyser):
    md5 = registered(analyser, ["a-a--column", "c-c-y-column"])
    source = parse_one("select zz from t").find(exp.Column)
    other = C(2, "c", "c", "y", "column")
    result = analyser._match_column(md5, source, [other])
    same_records(result, [N(2, "c", "c", "y", "column", None, None, None)])

    unqualified = C(1, "a", "a", "", "column")
    with pytest.raises(NotImplementedError) as info:
        analyser._match_column(md5, source, [unqualified])
    assert str(info.value).startswith("暂不支持 ")
    assert str(info.value) == "暂不支持 " + str(source)
    assert module_entries(info.value) == [("_match_column", 214)]
    assert "a-a--column" in analyser._var.get(md5).text


# --- output dispatch ---------------------------------------------------------

OUTPUTS = ["qarvel", "print", "normal", "dataframe", "sql", "table"]


class OutputRecorder(QarvelSQLGlotMain):
    """Every output method only notes that it ran."""

    def __init__(self):
        super().__init__()
        self.ran = []


def _noting(name):
    def output(self, sql_md5):
        self.ran.append(name)
    return output


for _name in OUTPUTS:
    setattr(OutputRecorder, "_callback_" + _name, _noting(_name))


@pytest.mark.parametrize("name", ["Normal", "", "x", "TABLE"])
def test_unknown_callback_name_is_a_type_error(name):
    analyser = OutputRecorder()
    md5 = analyser._set_sql_md5(TYPICAL_SQL)
    with pytest.raises(TypeError) as info:
        analyser._callback(md5, name)
    assert module_entries(info.value) == [("_callback", 239)]
    assert analyser.ran == []


def test_known_names_dispatch_to_their_method():
    analyser = OutputRecorder()
    md5 = analyser._set_sql_md5(TYPICAL_SQL)
    for name in OUTPUTS:
        assert analyser._callback(md5, name) is None
    assert analyser.ran == OUTPUTS


def test_unhashable_callback_name(analyser):
    md5 = analyser._set_sql_md5(TYPICAL_SQL)
    with pytest.raises(TypeError) as info:
        analyser._callback(md5, ["normal"])
    assert module_entries(info.value) == [("_callback", 238)]


def test_qarvel_returns_the_stored_list_itself(analyser):
    result = analyser._parse(TYPICAL_SQL, None, "qarvel")
    md5 = analyser._set_sql_md5(TYPICAL_SQL)
    assert result is analyser._var.get(md5).parse_columns
    assert analyser._callback(md5, "qarvel") is result


def test_normal_without_final_list_is_none(analyser):
    md5 = analyser._set_sql_md5(TYPICAL_SQL)
    assert analyser._callback_normal(md5) is None
    assert analyser._callback(md5, "normal") is None


def test_dataframe_rows_equal_normal_list(analyser):
    sql = STATEMENTS["join"][0]
    normal = analyser._parse(sql, None, "normal")
    frame = analyser._parse(sql, None, "dataframe")
    assert len(frame) == 2
    assert list(frame.columns) == CREATION_KEYS  # columns follow the first record
    assert frame.to_dict("records") == normal


def test_overriding_normal_changes_normal_and_dataframe():
    class Custom(QarvelSQLGlotMain):
        def _callback_normal(self, sql_md5):
            return [{"k": 1}, {"k": 2}]

    analyser = Custom()
    assert analyser._parse(TYPICAL_SQL, None, "normal") == [{"k": 1}, {"k": 2}]
    frame = analyser._parse(TYPICAL_SQL, None, "dataframe")
    assert list(frame.columns) == ["k"] and frame["k"].tolist() == [1, 2]


def test_no_output_writes_to_stdout(analyser, capsys):
    for name in OUTPUTS:
        analyser._parse(STATEMENTS["with_entry"][0], None, name)
    captured = capsys.readouterr()
    assert captured.out == "" and captured.err == ""


# --- text renderings ---------------------------------------------------------

def with_final_list(analyser, records):
    md5 = analyser._set_sql_md5(TYPICAL_SQL)
    analyser._var.get(md5).parse_columns = records
    return md5


def test_print_lines_and_none_values(analyser):
    md5 = with_final_list(analyser, [
        N(1, "id", "id", "t", "column", "", "orders", "t"),
        C(2, "n", "m", "", "null", None, None, None),
    ])
    text = analyser._callback_print(md5)
    assert text == (
        "序号: 1, 别名: id, 来源字段名: id, 来源字段表别名: t, 字段类型: column, "
        "来源库名: , 来源表名: orders, 来源表别名: t\n"
        "序号: 2, 别名: m, 来源字段名: n, 来源字段表别名: , 字段类型: null, "
        "来源库名: None, 来源表名: None, 来源表别名: None"
    )
    assert not text.endswith("\n")


def test_print_of_statement_with_unclaimed_column(analyser):
    text = analyser._parse(STATEMENTS["with_entry"][0], None, "print")
    assert text.split("\n") == [
        "序号: 1, 别名: a, 来源字段名: a, 来源字段表别名: w, 字段类型: column, 来源库名: db, 来源表名: s, 来源表别名: ",
        "序号: 2, 别名: b, 来源字段名: b, 来源字段表别名: t, 字段类型: column, 来源库名: None, 来源表名: None, 来源表别名: None",
    ]


def test_print_of_empty_list_is_empty_text(analyser):
    assert analyser._callback_print(with_final_list(analyser, [])) == ""


def test_table_header_in_creation_order(analyser):
    table = analyser._parse(STATEMENTS["with_entry"][0], None, "table")
    assert list(table.field_names) == CREATION_KEYS
    assert table.rows == [
        [1, "a", "a", "w", "column", "db", "s", ""],
        [2, "b", "b", "t", "column", None, None, None],
    ]


def test_table_header_in_no_match_order(analyser):
    table = analyser._parse("select y.b, x.a from db.t1 x join t2 y on x.id = y.id", None, "table")
    assert list(table.field_names) == NO_MATCH_KEYS
    assert table.rows == [
        [1, "b", "b", "y", "column", "", "t2", "y"],
        [2, "a", "a", "x", "column", "db", "t1", "x"],
    ]


def test_table_row_lacking_a_key_shows_none(analyser):
    md5 = with_final_list(analyser, [
        C(1, "a", "a", "", "column", "d", "t", "x"),
        C(2, "1", "one", "", "literal"),
    ])
    table = analyser._callback_table(md5)
    assert list(table.field_names) == CREATION_KEYS
    assert table.rows == [
        [1, "a", "a", "", "column", "d", "t", "x"],
        [2, "1", "one", "", "literal", None, None, None],
    ]


def test_table_of_empty_list_fails_cleanly(run_py):
    # In a child interpreter, so that a crash shows up as a failed test.
    done = run_py(textwrap.dedent("""
        import sqlglot_main
        a = sqlglot_main.QarvelSQLGlotMain()
        m = a._set_sql_md5("select a from t")
        a._var.get(m).parse_columns = []
        try:
            a._callback_table(m)
        except Exception as e:
            tb, lines = e.__traceback__, []
            while tb is not None:
                if tb.tb_frame.f_code.co_filename == "sqlglot_main.py":
                    lines.append(tb.tb_lineno)
                tb = tb.tb_next
            print("raised", lines)
        else:
            print("returned")
    """))
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip() == "raised [266]", done.stdout
