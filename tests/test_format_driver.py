"""Normalisation of statement text (`_format`) and the analysis driver (`_parse`)."""

import os
import re as real_re
import traceback

import pytest
import sqlglot
from sqlglot import exp

import sqlglot_main
from sqlglot_main import QarvelSQLGlotMain


def tb_entries(exc):
    return [(f.name, os.path.basename(f.filename), f.lineno)
            for f in traceback.extract_tb(exc.__traceback__)]


class CountingRe:
    """Stands in for the module's `re`: forwards everything, counts `sub` calls."""

    def __init__(self):
        self.sub_calls = 0

    def sub(self, *args, **kwargs):
        self.sub_calls += 1
        return real_re.sub(*args, **kwargs)

    def __getattr__(self, name):
        return getattr(real_re, name)


@pytest.fixture
def counting_re(monkeypatch):
    proxy = CountingRe()
    monkeypatch.setattr(sqlglot_main, "re", proxy)
    return proxy


@pytest.fixture
def parse_calls(monkeypatch):
    calls = []
    real_parse_one = sqlglot_main.parse_one

    def counting_parse_one(*args, **kwargs):
        calls.append((args, kwargs))
        return real_parse_one(*args, **kwargs)

    monkeypatch.setattr(sqlglot_main, "parse_one", counting_parse_one)
    return calls


# ---------------------------------------------------------------- _format

@pytest.mark.parametrize("raw, expected", [
    ("SELECT  a ,b\n\tFROM T", "select a,b from t"),
    ("select count( * ) from t", "select count( *) from t"),
    ("select a, b", "select a, b"),
    ("select a,b", "select a,b"),
    ("select a -- note\nfrom t", "select a from t"),
    ("select /* x\ny */ a from t", "select a from t"),
    ("select 'ABC'", "select 'abc'"),
    ("  select a\n;\n", "select a;"),
    ("select f( a ,b ) ,  c", "select f( a,b), c"),
])
def test_format_normalises_case_comments_and_whitespace(raw, expected):
    assert QarvelSQLGlotMain()._format(raw) == expected


@pytest.mark.parametrize("raw, expected", [
    # comment markers inside quoted text are text, not comments
    ("select 'a--b' as x from t", "select 'a--b' as x from t"),
    ("select \"A--B\" from t", "select \"a--b\" from t"),
    ("select `a/*b` , c from t /* z */", "select `a/*b`, c from t"),
    ("select 'it''s -- x' from t", "select 'it''s -- x' from t"),
    # a block comment is one comment, even with a line-comment marker inside
    ("/* x -- y */ select 1", "select 1"),
    # quotes inside comments do not open a string
    ("select a -- it's\nfrom t", "select a from t"),
    ("/* don't */ select 'x' -- isn't\n", "select 'x'"),
])
def test_format_leaves_quoted_text_alone_when_stripping_comments(raw, expected):
    assert QarvelSQLGlotMain()._format(raw) == expected


def test_format_whitespace_steps_also_reach_quoted_text():
    assert QarvelSQLGlotMain()._format("select 'A  B' , c") == "select 'a b', c"


def test_format_stores_result_on_record_keyed_by_raw_text():
    analyser = QarvelSQLGlotMain()
    raw = "SELECT A\n FROM T"
    result = analyser._format(raw)
    assert result == "select a from t"
    md5 = analyser._set_sql_md5(raw)
    assert md5 in analyser._var.keys()
    record = analyser._var.get(md5)
    assert record.format_sql == "select a from t"
    assert record.sql == raw
    # the normalised text is a statement of its own only if registered as such
    assert analyser._set_sql_md5("select a from t") != md5


def test_format_runs_six_substitutions_once_then_uses_cache(counting_re):
    analyser = QarvelSQLGlotMain()
    assert analyser._format("SELECT a ,b FROM t") == "select a,b from t"
    assert counting_re.sub_calls == 6
    counting_re.sub_calls = 0
    assert analyser._format("SELECT a ,b FROM t") == "select a,b from t"
    assert counting_re.sub_calls == 0


def test_format_returns_whatever_the_record_caches(counting_re):
    analyser = QarvelSQLGlotMain()
    md5 = analyser._set_sql_md5("select x")
    analyser._var.get(md5).format_sql = "cached text"
    assert analyser._format("select x") == "cached text"
    assert counting_re.sub_calls == 0


@pytest.mark.parametrize("raw", ["", "   \n\t", "-- only a comment\n/* and another */  "])
def test_format_empty_result_is_not_cached(counting_re, raw):
    analyser = QarvelSQLGlotMain()
    assert analyser._format(raw) == ""
    assert counting_re.sub_calls == 6
    assert analyser._format(raw) == ""
    assert counting_re.sub_calls == 12


# ---------------------------------------------------------------- _parse

ABC_SQL = "select a, b as c from db1.t1 x"
ABC_COLUMNS = [
    {"sort": 1, "column": "a", "alias": "a", "column_table": "", "type": "column",
     "db": "db1", "table": "t1", "table_alias": "x"},
    {"sort": 2, "column": "b", "alias": "c", "column_table": "", "type": "column",
     "db": "db1", "table": "t1", "table_alias": "x"},
]
RECORD_KEYS = ["sort", "column", "alias", "column_table", "type", "db", "table", "table_alias"]


class Probe(QarvelSQLGlotMain):
    """Keeps the driver's own steps, replaces the stages it calls."""

    def _get_columns(self, sql_md5, expressions):
        self.calls.append(("columns", sql_md5, [e.sql() for e in expressions]))

    def _get_tables(self, sql_md5, expression):
        self.calls.append(("tables", sql_md5, type(expression), expression.sql()))
        self._var.get(sql_md5).parse_columns = list(self.result)

    def _callback(self, sql_md5, callback):
        self.calls.append(("callback", sql_md5, callback))
        return ("rendered", callback)


def make_probe(result=({"sort": 1},)):
    probe = Probe()
    probe.calls = []
    probe.result = result
    return probe


def test_parse_runs_stages_in_order(parse_calls):
    probe = make_probe()
    out = probe._parse("SELECT a, b AS c\nFROM db1.t1 x", "mysql", "normal")
    md5 = probe._set_sql_md5("SELECT a, b AS c\nFROM db1.t1 x")
    assert out == ("rendered", "normal")
    assert parse_calls == [(("select a, b as c from db1.t1 x",), {"dialect": "mysql"})]
    assert probe.calls == [
        ("columns", md5, ["a", "b AS c"]),
        ("tables", md5, exp.Select, "SELECT a, b AS c FROM db1.t1 AS x"),
        ("callback", md5, "normal"),
    ]
    record = probe._var.get(md5)
    assert record.dialect == "mysql"
    assert record.format_sql == "select a, b as c from db1.t1 x"


def test_parse_analysed_statement_only_renders_again(parse_calls, counting_re):
    probe = make_probe()
    assert probe._parse(ABC_SQL, None, "normal") == ("rendered", "normal")
    assert probe._parse(ABC_SQL, None, "table") == ("rendered", "table")
    assert len(parse_calls) == 1
    assert counting_re.sub_calls == 6
    md5 = probe._set_sql_md5(ABC_SQL)
    assert [c[0] for c in probe.calls] == ["columns", "tables", "callback", "callback"]
    assert probe.calls[-1] == ("callback", md5, "table")


def test_parse_second_dialect_is_stored_without_parsing(parse_calls):
    probe = make_probe()
    probe._parse(ABC_SQL, "mysql", "normal")
    probe._parse(ABC_SQL, "postgres", "normal")
    assert len(parse_calls) == 1
    assert parse_calls[0][1] == {"dialect": "mysql"}
    assert probe._var.get(probe._set_sql_md5(ABC_SQL)).dialect == "postgres"


def test_parse_empty_final_list_means_analyse_again(parse_calls, counting_re):
    probe = make_probe(result=())
    probe._parse(ABC_SQL, None, "normal")
    probe._parse(ABC_SQL, None, "normal")
    assert len(parse_calls) == 2
    # the normalised text comes from the cache the second time
    assert counting_re.sub_calls == 6
    assert [c[0] for c in probe.calls] == ["columns", "tables", "callback"] * 2


def test_parse_insert_works_on_its_select():
    probe = make_probe()
    probe._parse("INSERT INTO u SELECT a, b AS c FROM db1.t1 x", None, "normal")
    assert probe.calls[0][2] == ["a", "b AS c"]
    assert probe.calls[1][2:] == (exp.Select, "SELECT a, b AS c FROM db1.t1 AS x")


def test_parse_normal_gives_column_records():
    result = QarvelSQLGlotMain()._parse(ABC_SQL, None, "normal")
    assert result == ABC_COLUMNS
    assert [list(r) for r in result] == [RECORD_KEYS, RECORD_KEYS]


def test_parse_twice_with_other_callback_parses_once(parse_calls):
    analyser = QarvelSQLGlotMain()
    assert analyser._parse(ABC_SQL, None, "normal") == ABC_COLUMNS
    assert analyser._parse(ABC_SQL, "mysql", "sql") == ABC_SQL
    assert len(parse_calls) == 1
    assert analyser._var.get(analyser._set_sql_md5(ABC_SQL)).dialect == "mysql"


def test_parse_insert_select_analyses_the_select():
    result = QarvelSQLGlotMain()._parse("INSERT INTO u " + ABC_SQL, None, "normal")
    assert result == ABC_COLUMNS


def test_parse_statement_file(tmp_path, parse_calls):
    path = tmp_path / "statement.sql"
    path.write_text(ABC_SQL, encoding="utf-8")
    analyser = QarvelSQLGlotMain()
    assert analyser._parse(str(path), None, "normal") == ABC_COLUMNS
    record = analyser._var.get(analyser._set_sql_md5(str(path)))
    assert record.sql == ABC_SQL
    # the content given as text is the same statement, already analysed
    assert analyser._parse(ABC_SQL, None, "normal") == ABC_COLUMNS
    assert len(parse_calls) == 1


def test_parse_statement_without_select_fails_at_columns_step():
    analyser = QarvelSQLGlotMain()
    with pytest.raises(AttributeError) as info:
        analyser._parse("DROP TABLE t", "mysql", "normal")
    assert ("sqlglot_main.QarvelSQLGlotMain._parse", "sqlglot_main.py", 78) in tb_entries(info.value)
    md5 = analyser._set_sql_md5("DROP TABLE t")
    record = analyser._var.get(md5)
    assert record.format_sql == "drop table t"
    assert record.dialect == "mysql"
    assert not record.parse_columns


def test_parse_unparsable_text_fails_with_sqlglot_error():
    analyser = QarvelSQLGlotMain()
    with pytest.raises(sqlglot.errors.ParseError) as info:
        analyser._parse("SELECT (a FROM t", None, "normal")
    assert type(info.value) is sqlglot.errors.ParseError
    assert ("sqlglot_main.QarvelSQLGlotMain._parse", "sqlglot_main.py", 77) in tb_entries(info.value)
    record = analyser._var.get(analyser._set_sql_md5("SELECT (a FROM t"))
    assert record.format_sql == "select(a from t"
    assert not record.parse_columns
    assert record.columns == []
