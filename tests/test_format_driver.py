"""Normalisation of statement text (`_format`) and the analysis driver (`_parse`)."""

import re as real_re

import pytest
import sqlglot
from sqlglot import exp

import sqlglot_main
from helpers import C, entries, same_records
from sqlglot_main import QarvelSQLGlotMain


class CountingRe:
    """Stands in for the module's `re`: forwards everything, counts `sub` calls."""

    sub_calls = 0

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


# ---------------------------------------------------------------- _format

@pytest.mark.parametrize("raw, expected", [
    ("SELECT  a ,b\n\tFROM T", "select a,b from t"),
    ("select count( * ) from t", "select count( *) from t"),
    ("select a, b", "select a, b"),
    ("select a -- note\nfrom t", "select a from t"),
    ("select /* x\ny */ a from t", "select a from t"),
    ("select 'ABC'", "select 'abc'"),
    ("  select a\n;\n", "select a;"),
    ("select f( a ,b ) ,  c", "select f( a,b), c"),
    # the whitespace steps also reach quoted text
    ("select 'A  B' , c", "select 'a b', c"),
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
def test_format_normalises_text(analyser, raw, expected):
    assert analyser._format(raw) == expected
    record = analyser._var.get(analyser._set_sql_md5(raw))
    assert (record.sql, record.format_sql) == (raw, expected)


def test_format_runs_six_substitutions_once_then_uses_cache(analyser, counting_re):
    assert analyser._format("SELECT a ,b FROM t") == "select a,b from t"
    assert counting_re.sub_calls == 6
    assert analyser._format("SELECT a ,b FROM t") == "select a,b from t"
    analyser._var.get(analyser._set_sql_md5("select x")).format_sql = "cached text"
    assert analyser._format("select x") == "cached text"
    assert counting_re.sub_calls == 6


@pytest.mark.parametrize("raw", ["", "   \n\t", "-- only a comment\n/* and another */  "])
def test_format_empty_result_is_not_cached(analyser, counting_re, raw):
    assert analyser._format(raw) == analyser._format(raw) == ""
    assert counting_re.sub_calls == 12


# ---------------------------------------------------------------- _parse

ABC_SQL = "select a, b as c from db1.t1 x"
ABC_COLUMNS = [C(1, "a", "a", "", "column", "db1", "t1", "x"),
               C(2, "b", "c", "", "column", "db1", "t1", "x")]


class Probe(QarvelSQLGlotMain):
    """Keeps the driver's own steps, replaces the stages it calls."""

    def __init__(self, result=({"sort": 1},)):
        super().__init__()
        self.calls, self.result = [], result

    def _get_columns(self, sql_md5, expressions):
        self.calls.append(("columns", sql_md5, [e.sql() for e in expressions]))

    def _get_tables(self, sql_md5, expression):
        self.calls.append(("tables", sql_md5, type(expression), expression.sql()))
        self._var.get(sql_md5).parse_columns = list(self.result)

    def _callback(self, sql_md5, callback):
        self.calls.append(("callback", sql_md5, callback))
        return ("rendered", callback)


def test_parse_runs_stages_in_order(parse_calls):
    probe = Probe()
    raw = "INSERT INTO u SELECT a, b AS c\nFROM db1.t1 x"
    assert probe._parse(raw, "mysql", "normal") == ("rendered", "normal")
    md5 = probe._set_sql_md5(raw)
    assert parse_calls == [(("insert into u select a, b as c from db1.t1 x",), {"dialect": "mysql"})]
    assert probe.calls == [
        ("columns", md5, ["a", "b AS c"]),
        ("tables", md5, exp.Select, "SELECT a, b AS c FROM db1.t1 AS x"),
        ("callback", md5, "normal"),
    ]
    record = probe._var.get(md5)
    assert (record.dialect, record.format_sql) == ("mysql", "insert into u select a, b as c from db1.t1 x")


def test_parse_analysed_statement_only_renders_again(parse_calls, counting_re):
    probe = Probe()
    assert probe._parse(ABC_SQL, "mysql", "normal") == ("rendered", "normal")
    assert probe._parse(ABC_SQL, "postgres", "table") == ("rendered", "table")
    assert len(parse_calls) == 1 and parse_calls[0][1] == {"dialect": "mysql"}
    assert counting_re.sub_calls == 6
    md5 = probe._set_sql_md5(ABC_SQL)
    assert [c[0] for c in probe.calls] == ["columns", "tables", "callback", "callback"]
    assert probe.calls[-1] == ("callback", md5, "table")
    assert probe._var.get(md5).dialect == "postgres"


def test_parse_empty_final_list_means_analyse_again(parse_calls, counting_re):
    probe = Probe(result=())
    probe._parse(ABC_SQL, None, "normal")
    probe._parse(ABC_SQL, None, "normal")
    assert len(parse_calls) == 2
    # the normalised text comes from the cache the second time
    assert counting_re.sub_calls == 6
    assert [c[0] for c in probe.calls] == ["columns", "tables", "callback"] * 2


def test_parse_statement_file(analyser, tmp_path, parse_calls):
    path = tmp_path / "statement.sql"
    path.write_text(ABC_SQL, encoding="utf-8")
    same_records(analyser._parse(str(path), None, "normal"), ABC_COLUMNS)
    assert analyser._var.get(analyser._set_sql_md5(str(path))).sql == ABC_SQL
    # the content given as text is the same statement, already analysed
    assert analyser._parse(ABC_SQL, None, "normal") == ABC_COLUMNS
    assert len(parse_calls) == 1


@pytest.mark.parametrize("sql, error, line, format_sql", [
    ("DROP TABLE t", AttributeError, 78, "drop table t"),
    ("SELECT (a FROM t", sqlglot.errors.ParseError, 77, "select(a from t"),
])
def test_parse_failures_leave_normalised_record(analyser, sql, error, line, format_sql):
    with pytest.raises(error) as info:
        analyser._parse(sql, "mysql", "normal")
    assert type(info.value) is error
    assert entries(info.value)[0] == ("_parse", line)
    record = analyser._var.get(analyser._set_sql_md5(sql))
    assert (record.format_sql, record.dialect) == (format_sql, "mysql")
    assert not record.parse_columns and record.columns == []
