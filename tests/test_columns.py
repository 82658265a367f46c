"""Column discovery (`_get_columns`), lookup (`_find_column`, `_get_column_parent`)
and column record construction (`_append_column_info`)."""

import json

import pytest
from sqlglot import exp

from helpers import FROM_KEY, C, entries, same_records, select_of
from sqlglot_main import QarvelSQLGlotMain


def state(analyser, md5):
    d = analyser._var.get(md5).todict()
    return {key: d[key] for key in ("columns", "alias", "text", "sort")}


def check_state(analyser, md5, columns, alias, text, sort):
    got = state(analyser, md5)
    same_records(got["columns"], columns)
    assert (got["alias"], got["text"], got["sort"]) == (alias, text, sort)


EMPTY = ([], [], [], 0)
COLUMN_CASES = {
    "equal literals share a sort": (
        "select 1, 1", [C(1, "1", "1", "", "literal"), C(1, "1", "1", "", "literal")],
        ["1"], [], 1),
    "literal and null shapes": (
        "select 'a' as x, null, null as n",
        [C(1, "a", "x", "", "literal"), C(2, "NULL", "NULL", "", "null"), C(3, "NULL", "n", "", "null")],
        ["x", "NULL", "n"], [], 3),
    "two columns share alias and FROM table": (
        "select a + b as total from db1.t as u",
        [C(1, "a", "total", "", "column", "db1", "t", "u"),
         C(1, "b", "total", "", "column", "db1", "t", "u")],
        [".total"], ["a-total--column", "b-total--column"], 1),
    "unaliased function keeps first column name": (
        "select concat_ws(x.a, x.b) from x",
        [C(1, "a", "a", "x", "column"), C(1, "b", "a", "x", "column")],
        ["x.a"], ["a-a-x-column", "b-a-x-column"], 1),
    "keys K1, K2, K1 give sorts 1, 2, 2": (
        "select t1.a as x, t2.b as y, t1.c as x from t1, t2",
        [C(1, "a", "x", "t1", "column"), C(2, "b", "y", "t2", "column"), C(2, "c", "x", "t1", "column")],
        ["t1.x", "t2.y"], ["a-x-t1-column", "b-y-t2-column", "c-x-t1-column"], 2),
    "literal and column keys share one counter": (
        "select a, 1 as k, t.b from t",
        [C(1, "a", "a", "", "column", "", "t", ""), C(2, "1", "k", "", "literal"),
         C(3, "b", "b", "t", "column")],
        [".a", "k", "t.b"], ["a-a--column", "b-b-t-column"], 3),
    "anonymous function call": (
        "select myfunc(1) as f from t", [C(1, "myfunc", "f", "", "anonymous")],
        ["anonymous.f"], ["myfunc-f--anonymous"], 1),
    "sub-query item records inner column with inner table": (
        "select a + (select b from s) as m from t",
        [C(1, "b", "m", "", "subquery", "", "s", "")], [".m"], ["b-m--subquery"], 1),
    "empty select list": ("select 1", *EMPTY),
}


@pytest.mark.parametrize("name", list(COLUMN_CASES))
def test_column_records(analyser, name):
    sql, *expected = COLUMN_CASES[name]
    md5 = analyser._set_sql_md5(sql)
    items = [] if name == "empty select list" else select_of(sql).expressions
    assert analyser._get_columns(md5, items) is None
    check_state(analyser, md5, *expected)


def test_repeated_column_is_recorded_once(analyser):
    sql = "select a, a from t"
    md5 = analyser._set_sql_md5(sql)
    first, second = select_of(sql).expressions
    analyser._get_columns(md5, [first])
    after_first = state(analyser, md5)
    check_state(analyser, md5, [C(1, "a", "a", "", "column", "", "t", "")], [".a"], ["a-a--column"], 1)
    assert analyser._get_columns(md5, [second]) is None
    assert state(analyser, md5) == after_first


def test_item_with_subquery_is_handed_on_as_subquery():
    class FindProbe(QarvelSQLGlotMain):
        found = []

        def _find_column(self, sql_md5, find_list, column_type, column_alias=None):
            self.found.append((sql_md5, find_list, column_type, column_alias))

    sql = "select a + (select max(b) from s) as m from t"
    item = select_of(sql).expressions[0]
    probe = FindProbe()
    md5 = probe._set_sql_md5(sql)
    probe._get_columns(md5, [item])
    ((got_md5, find_list, column_type, column_alias),) = probe.found
    assert (got_md5, column_type, column_alias) == (md5, "subquery", "m")
    assert find_list is item.find(exp.Select).expressions
    # the outer column `a` gets no record of its own
    check_state(probe, md5, *EMPTY)


def test_subquery_item_that_is_no_column_fails_reading_its_table(analyser):
    sql = "select a + (select max(b) from s) as m from t"
    md5 = analyser._set_sql_md5(sql)
    with pytest.raises(AttributeError) as info:
        analyser._get_columns(md5, select_of(sql).expressions)
    assert entries(info.value)[:2] == [("_get_columns", 101), ("_find_column", 114)]


@pytest.mark.parametrize("sql, kept", [
    ("select * from t", EMPTY),
    ("select a, *, 1 from t", ([C(1, "a", "a", "", "column", "", "t", "")], [".a"], ["a-a--column"], 1)),
])
def test_unsupported_item_prints_raises_and_keeps_earlier_records(analyser, capsys, sql, kept):
    md5 = analyser._set_sql_md5(sql)
    star = select_of(sql).find(exp.Star)
    with pytest.raises(NotImplementedError) as info:
        analyser._get_columns(md5, select_of(sql).expressions)
    assert info.value.args == ("暂不支持 *",)
    assert capsys.readouterr().out == repr(star) + "\n" == "Star()\n"
    assert entries(info.value) == [("_get_columns", 110)]
    check_state(analyser, md5, *kept)


def test_parent_walk_under_select_without_from_fails(analyser):
    sql = "select a + 1"
    md5 = analyser._set_sql_md5(sql)
    with pytest.raises(AttributeError) as info:
        analyser._find_column(md5, [select_of(sql).find(exp.Column)], "column")
    assert entries(info.value) == [("_find_column", 115), ("_get_column_parent", 126)]
    assert state(analyser, md5)["columns"] == []


def test_get_column_parent_results():
    select = select_of("select t.a as x, b from db1.t")
    assert QarvelSQLGlotMain._get_column_parent(select.expressions[0].this, "t") == ("x", None)
    alias, table = QarvelSQLGlotMain._get_column_parent(select.expressions[1], "")
    assert alias == "" and table is select.args[FROM_KEY].this
    # a node outside any SELECT: alias of the topmost node, no table
    lone = exp.Alias(this=exp.column("c"), alias=exp.to_identifier("z"))
    assert QarvelSQLGlotMain._get_column_parent(lone.this, "") == ("z", None)


def test_find_column_caller_alias_wins_for_every_column(analyser):
    sql = "select u.a + u.b as total from u"
    md5 = analyser._set_sql_md5(sql)
    analyser._find_column(md5, list(select_of(sql).find_all(exp.Column)), "column", "given")
    check_state(analyser, md5, [C(1, "a", "given", "u", "column"), C(1, "b", "given", "u", "column")],
                ["u.given"], ["a-given-u-column", "b-given-u-column"], 1)


def test_mapping_source_is_stored_as_json_text(analyser):
    md5 = analyser._set_sql_md5("select 1")
    text = json.dumps({"k": "中文"}, ensure_ascii=False)
    assert analyser._append_column_info(md5, None, "", "al", "column", {"k": "中文"}) is None
    analyser._append_column_info(md5, None, "x", "al", "column", {"k": 2})
    check_state(analyser, md5, [C(1, text, "al", "", "column"), C(2, '{"k": 2}', "al", "", "column")],
                [".al", "x.al"], [text + "-al--column", '{"k": 2}-al--column'], 2)
