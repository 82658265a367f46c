"""The sqlglot-main command, run as users run it."""

import csv
import io
import json
import re
import shutil
import subprocess
import sys

import pytest

SQL = "select x.a, s.b from db.t1 x join (select b from db.t2) s on s.b = x.a"

# x.a is claimed by the FROM table; s.b misses it (rebuilt, "alias" before
# "column") and is then traced through the joined sub-query to db.t2.
RECORDS = [
    {"sort": 1, "column": "a", "alias": "a", "column_table": "x", "type": "column",
     "db": "db", "table": "t1", "table_alias": "x"},
    {"sort": 2, "alias": "b", "column": "b", "column_table": "s", "type": "column",
     "db": "db", "table": "t2", "table_alias": ""},
]


def run(*args, stdin=None):
    """The classic command line (sqlglot-main --classic)."""
    command = shutil.which("sqlglot-main") or sys.executable
    prefix = ["--classic"] if command.endswith("sqlglot-main") else ["-m", "sqlglot_main_cli"]
    return subprocess.run([command, *prefix, *args], input=stdin, capture_output=True,
                          text=True, timeout=120)


def test_json_rows_carry_the_input_name():
    done = run("--format", "json", SQL)
    assert done.returncode == 0, done.stderr
    rows = json.loads(done.stdout)
    assert rows == [{"input": "arg1", **record} for record in RECORDS]
    assert [list(row) for row in rows] == [["input", *record] for record in RECORDS]


def test_csv_has_a_header_and_one_row_per_record():
    done = run("--format", "csv", SQL)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "input,sort,column,alias,column_table,type,db,table,table_alias",
        "arg1,1,a,a,x,column,db,t1,x",
        "arg1,2,b,b,s,column,db,t2,",
    ]


def test_print_table_and_sql_renderings():
    printed = run("--format", "print", SQL).stdout.splitlines()
    assert printed == [
        "序号: 1, 别名: a, 来源字段名: a, 来源字段表别名: x, 字段类型: column, "
        "来源库名: db, 来源表名: t1, 来源表别名: x",
        "序号: 2, 别名: b, 来源字段名: b, 来源字段表别名: s, 字段类型: column, "
        "来源库名: db, 来源表名: t2, 来源表别名: ",
    ]
    table = run("--format", "table", SQL).stdout.splitlines()
    assert [cell.strip() for cell in table[1].strip("|").split("|")] == list(RECORDS[0])
    assert len(table) == 6  # rule, header, rule, two rows, rule
    assert run("--format", "sql", SQL).stdout == (
        "select x.a, s.b from db.t1 x join(select b from db.t2) s on s.b = x.a\n")


def test_dot_graph_edges():
    done = run("--format", "dot", SQL)
    assert done.returncode == 0, done.stderr
    edges = re.findall(r'^\s*"([^"]+)" -> "([^"]+)";$', done.stdout, re.MULTILINE)
    assert edges == [("db.t1.a", "a"), ("db.t2.b", "b")]
    assert done.stdout.startswith("digraph lineage {")
    assert re.search(r'subgraph cluster_\d+ \{\s*label="db.t1";\s*"db.t1.a";', done.stdout)


def test_standard_input_and_dialect():
    done = run("--format", "csv", "--dialect", "mysql", "-", stdin="select `a` from db.t")
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines()[1] == "stdin,1,a,a,,column,db,t,"


def test_several_files_one_failing(tmp_path):
    good = tmp_path / "good.sql"
    good.write_text("select a from db.t")
    bad = tmp_path / "bad.sql"
    bad.write_text("select * from db.t")
    other = tmp_path / "other.sql"
    other.write_text("select u.b from db.u u")
    done = run("--format", "csv", str(good), str(bad), str(other))
    assert done.returncode == 1
    rows = list(csv.DictReader(io.StringIO(done.stdout)))
    assert [(row["input"], row["column"], row["table"]) for row in rows] == [
        (str(good), "a", "t"), (str(other), "b", "u")]
    assert f"{bad}: NotImplementedError: 暂不支持 *" in done.stderr.splitlines()


def test_missing_file_and_traceback_option():
    done = run("no/such/file.sql")
    assert done.returncode == 1
    assert done.stderr.strip() == "no/such/file.sql: InputError: no such statement file: no/such/file.sql"
    done = run("--traceback", "select (((")
    assert done.returncode == 1
    assert "Traceback (most recent call last)" in done.stderr
    assert 'File "sqlglot_main.py", line 77, in sqlglot_main.QarvelSQLGlotMain._parse' in done.stderr
    assert done.stderr.splitlines()[-1].startswith("arg1: ParseError: ")


@pytest.mark.parametrize("args", [[], ["--format", "print"]])
def test_built_in_example(args):
    done = run(*args)
    assert done.returncode == 0, done.stderr
    assert "order_items" in done.stdout and "customers" in done.stdout


class Panic(BaseException):
    """What a parser extension may raise for one bad input: not an Exception."""


@pytest.fixture
def parse_one_raising(monkeypatch):
    """parse_one raises the exception class set in `raising` for a statement with "bad"."""
    import sqlglot_main

    raising = {}
    real = sqlglot_main.parse_one

    def parse_one(sql, **kwargs):
        if "bad" in sql:
            raise raising["error"]("the tokenizer panicked\nat some position")
        return real(sql, **kwargs)

    monkeypatch.setattr(sqlglot_main, "parse_one", parse_one)
    return raising


def run_in_process(*args):
    import sqlglot_main_cli

    stdout, stderr = io.StringIO(), io.StringIO()
    status = sqlglot_main_cli.main(list(args), stdin=io.StringIO(), stdout=stdout, stderr=stderr)
    return status, stdout.getvalue(), stderr.getvalue()


def test_base_exception_of_one_input_is_reported_and_the_batch_goes_on(parse_one_raising):
    parse_one_raising["error"] = Panic
    status, out, err = run_in_process("--format", "csv", "select bad from t", "select a from db.t")
    assert status == 1
    assert out.splitlines() == ["input,sort,column,alias,column_table,type,db,table,table_alias",
                                "arg2,1,a,a,,column,db,t,"]
    assert err.splitlines() == ["arg1: Panic: the tokenizer panicked"]


@pytest.mark.parametrize("error", [KeyboardInterrupt, SystemExit])
def test_interrupt_and_exit_still_end_the_batch(parse_one_raising, error):
    parse_one_raising["error"] = error
    with pytest.raises(error):
        run_in_process("select bad from t", "select a from db.t")
