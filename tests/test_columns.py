"""Column discovery (`_get_columns`), lookup (`_find_column`, `_get_column_parent`)
and column record construction (`_append_column_info`)."""

import json
import os
import traceback

import pytest
import sqlglot
from sqlglot import exp

from sqlglot_main import QarvelSQLGlotMain


def tb_entries(exc):
    return [(f.name, os.path.basename(f.filename), f.lineno)
            for f in traceback.extract_tb(exc.__traceback__)]


def entry(method, line):
    return ("sqlglot_main.QarvelSQLGlotMain." + method, "sqlglot_main.py", line)


def select_of(sql):
    return sqlglot.parse_one(sql).find(exp.Select)


def state(analyser, md5):
    d = analyser._var.get(md5).todict()
    return {key: d[key] for key in ("columns", "alias", "text", "sort")}


def run_columns(sql, analyser=None):
    analyser = analyser or QarvelSQLGlotMain()
    md5 = analyser._set_sql_md5(sql)
    assert analyser._get_columns(md5, select_of(sql).expressions) is None
    return analyser, md5


def rec(sort, column, alias, column_table, type_, **source):
    record = {"sort": sort, "column": column, "alias": alias,
              "column_table": column_table, "type": type_}
    if source:
        record.update(db=source["db"], table=source["table"], table_alias=source["table_alias"])
    return record


# ------------------------------------------------------- literals and NULL

def test_equal_literals_share_sort():
    analyser, md5 = run_columns("select 1, 1")
    assert state(analyser, md5) == {
        "columns": [rec(1, "1", "1", "", "literal"), rec(1, "1", "1", "", "literal")],
        "alias": ["1"], "text": [], "sort": 1,
    }


def test_literal_with_alias_and_null_shapes():
    analyser, md5 = run_columns("select 'a' as x, null, null as n")
    got = state(analyser, md5)
    assert got == {
        "columns": [rec(1, "a", "x", "", "literal"),
                    rec(2, "NULL", "NULL", "", "null"),
                    rec(3, "NULL", "n", "", "null")],
        "alias": ["x", "NULL", "n"], "text": [], "sort": 3,
    }
    for record in got["columns"]:
        assert list(record) == ["sort", "column", "alias", "column_table", "type"]


def test_empty_select_list_changes_nothing():
    analyser = QarvelSQLGlotMain()
    md5 = analyser._set_sql_md5("select 1")
    assert analyser._get_columns(md5, []) is None
    assert state(analyser, md5) == {"columns": [], "alias": [], "text": [], "sort": 0}


# ------------------------------------------------------- column items

def test_expression_of_two_columns_takes_item_alias_and_from_table():
    analyser, md5 = run_columns("select a + b as total from db1.t as u")
    got = state(analyser, md5)
    source = dict(db="db1", table="t", table_alias="u")
    assert got == {
        "columns": [rec(1, "a", "total", "", "column", **source),
                    rec(1, "b", "total", "", "column", **source)],
        "alias": [".total"], "text": ["a-total--column", "b-total--column"], "sort": 1,
    }
    assert list(got["columns"][0]) == ["sort", "column", "alias", "column_table", "type",
                                       "db", "table", "table_alias"]


def test_unaliased_function_keeps_first_column_name_as_alias():
    analyser, md5 = run_columns("select concat_ws(x.a, x.b) from x")
    assert state(analyser, md5) == {
        "columns": [rec(1, "a", "a", "x", "column"), rec(1, "b", "a", "x", "column")],
        "alias": ["x.a"], "text": ["a-a-x-column", "b-a-x-column"], "sort": 1,
    }


def test_repeated_alias_key_takes_current_counter():
    analyser, md5 = run_columns("select t1.a as x, t2.b as y, t1.c as x from t1, t2")
    assert state(analyser, md5) == {
        "columns": [rec(1, "a", "x", "t1", "column"),
                    rec(2, "b", "y", "t2", "column"),
                    rec(2, "c", "x", "t1", "column")],
        "alias": ["t1.x", "t2.y"],
        "text": ["a-x-t1-column", "b-y-t2-column", "c-x-t1-column"],
        "sort": 2,
    }


def test_literal_and_column_keys_share_one_counter():
    analyser, md5 = run_columns("select a, 1 as k, t.b from t")
    got = state(analyser, md5)
    assert [(r["sort"], r["column"], r["type"]) for r in got["columns"]] == [
        (1, "a", "column"), (2, "1", "literal"), (3, "b", "column")]
    assert got["alias"] == [".a", "k", "t.b"]
    assert got["text"] == ["a-a--column", "b-b-t-column"]


def test_repeated_column_is_recorded_once():
    sql = "select a, a from t"
    analyser = QarvelSQLGlotMain()
    md5 = analyser._set_sql_md5(sql)
    first, second = select_of(sql).expressions
    analyser._get_columns(md5, [first])
    after_first = state(analyser, md5)
    assert after_first == {
        "columns": [rec(1, "a", "a", "", "column", db="", table="t", table_alias="")],
        "alias": [".a"], "text": ["a-a--column"], "sort": 1,
    }
    assert analyser._get_columns(md5, [second]) is None
    assert state(analyser, md5) == after_first


def test_anonymous_function_call():
    sql = "select myfunc(1) as f from t"
    assert isinstance(select_of(sql).expressions[0].this, exp.Anonymous)
    analyser, md5 = run_columns(sql)
    assert state(analyser, md5) == {
        "columns": [rec(1, "myfunc", "f", "", "anonymous")],
        "alias": ["anonymous.f"], "text": ["myfunc-f--anonymous"], "sort": 1,
    }


# ------------------------------------------------------- sub-query items

class FindProbe(QarvelSQLGlotMain):
    def _find_column(self, sql_md5, find_list, column_type, column_alias=None):
        self.found.append((sql_md5, find_list, column_type, column_alias))


def test_item_with_subquery_is_handed_on_as_subquery():
    sql = "select a + (select max(b) from s) as m from t"
    item = select_of(sql).expressions[0]
    probe = FindProbe()
    probe.found = []
    md5 = probe._set_sql_md5(sql)
    probe._get_columns(md5, [item])
    assert len(probe.found) == 1
    got_md5, find_list, column_type, column_alias = probe.found[0]
    assert (got_md5, column_type, column_alias) == (md5, "subquery", "m")
    assert find_list is item.find(exp.Select).expressions
    assert [e.sql() for e in find_list] == ["MAX(b)"]
    # the outer column `a` gets no record of its own
    assert state(probe, md5) == {"columns": [], "alias": [], "text": [], "sort": 0}


def test_subquery_item_records_inner_column_with_inner_from_table():
    analyser, md5 = run_columns("select a + (select b from s) as m from t")
    assert state(analyser, md5) == {
        "columns": [rec(1, "b", "m", "", "subquery", db="", table="s", table_alias="")],
        "alias": [".m"], "text": ["b-m--subquery"], "sort": 1,
    }


def test_subquery_item_that_is_no_column_fails_reading_its_table():
    analyser = QarvelSQLGlotMain()
    sql = "select a + (select max(b) from s) as m from t"
    md5 = analyser._set_sql_md5(sql)
    with pytest.raises(AttributeError) as info:
        analyser._get_columns(md5, select_of(sql).expressions)
    entries = tb_entries(info.value)
    assert entries.index(entry("_get_columns", 101)) < entries.index(entry("_find_column", 114))


# ------------------------------------------------------- unsupported items

def test_bare_star_prints_repr_and_raises(capsys):
    analyser = QarvelSQLGlotMain()
    sql = "select * from t"
    md5 = analyser._set_sql_md5(sql)
    star = select_of(sql).expressions[0]
    with pytest.raises(NotImplementedError) as info:
        analyser._get_columns(md5, [star])
    assert str(info.value) == "暂不支持 *"
    assert info.value.args == ("暂不支持 *",)
    assert capsys.readouterr().out == repr(star) + "\n"
    assert entry("_get_columns", 110) in tb_entries(info.value)
    assert state(analyser, md5) == {"columns": [], "alias": [], "text": [], "sort": 0}


def test_records_of_items_before_unsupported_one_are_kept(capsys):
    analyser = QarvelSQLGlotMain()
    sql = "select a, *, 1 from t"
    md5 = analyser._set_sql_md5(sql)
    with pytest.raises(NotImplementedError, match="^暂不支持 "):
        analyser._get_columns(md5, select_of(sql).expressions)
    assert capsys.readouterr().out == "Star()\n"
    assert state(analyser, md5) == {
        "columns": [rec(1, "a", "a", "", "column", db="", table="t", table_alias="")],
        "alias": [".a"], "text": ["a-a--column"], "sort": 1,
    }


# ------------------------------------------------------- lookup

def test_parent_walk_under_select_without_from_fails():
    analyser = QarvelSQLGlotMain()
    sql = "select a + 1"
    md5 = analyser._set_sql_md5(sql)
    column = select_of(sql).find(exp.Column)
    with pytest.raises(AttributeError) as info:
        analyser._find_column(md5, [column], "column")
    entries = tb_entries(info.value)
    assert entries.index(entry("_find_column", 115)) < entries.index(entry("_get_column_parent", 126))
    assert state(analyser, md5)["columns"] == []


def test_get_column_parent_results():
    select = select_of("select t.a as x, b from db1.t")
    qualified = select.expressions[0].this
    assert QarvelSQLGlotMain._get_column_parent(qualified, "t") == ("x", None)
    unqualified = select.expressions[1]
    alias, table = QarvelSQLGlotMain._get_column_parent(unqualified, "")
    assert alias == ""
    assert table is select.args["from"].this
    # a node outside any SELECT: alias of the topmost node, no table
    lone = exp.Alias(this=exp.column("c"), alias=exp.to_identifier("z"))
    assert QarvelSQLGlotMain._get_column_parent(lone.this, "") == ("z", None)


def test_find_column_caller_alias_wins_for_every_column():
    analyser = QarvelSQLGlotMain()
    sql = "select u.a + u.b as total from u"
    md5 = analyser._set_sql_md5(sql)
    analyser._find_column(md5, list(select_of(sql).find_all(exp.Column)), "column", "given")
    assert state(analyser, md5) == {
        "columns": [rec(1, "a", "given", "u", "column"), rec(1, "b", "given", "u", "column")],
        "alias": ["u.given"], "text": ["a-given-u-column", "b-given-u-column"], "sort": 1,
    }


# ------------------------------------------------------- record construction

def test_mapping_source_is_stored_as_json_text():
    analyser = QarvelSQLGlotMain()
    md5 = analyser._set_sql_md5("select 1")
    source = {"k": "中文"}
    text = json.dumps(source, ensure_ascii=False)
    assert text == '{"k": "中文"}'
    assert analyser._append_column_info(md5, None, "", "al", "column", source) is None
    analyser._append_column_info(md5, None, "x", "al", "column", {"k": 2})
    got = state(analyser, md5)
    assert got["columns"] == [rec(1, text, "al", "", "column"),
                              rec(2, '{"k": 2}', "al", "", "column")]
    assert [len(r) for r in got["columns"]] == [5, 5]
    assert got["alias"] == [".al", "x.al"]
    assert got["text"] == [text + "-al--column", '{"k": 2}-al--column']
    assert got["sort"] == 2

