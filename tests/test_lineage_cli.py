"""The sqlglot-main command on the lineage engine, run as a user runs it."""

import csv
import io
import json
import re
import signal
import subprocess
import sys
from importlib.metadata import version

import pytest
import sqlglot
from openlineage.client.generated.column_lineage_dataset import ColumnLineageDatasetFacet
from sqlglot.dialects.dialect import Dialects

from qarvel_lineage import cli

from helpers import LINEAGE_CLI, corpus_statements, lineage_cli

KEYS = ["input", "statement", "position", "column", "target_catalog", "target_db", "target_table",
        "source_catalog", "source_db", "source_table", "source_column", "type", "subtype", "reason"]
HEADER = ",".join(KEYS) + "\n"
DIALECTS = sorted(d.value for d in Dialects if d.value)


def row(name, statement, position, column, target, source, kind, reason=None):
    """A row of the command: target and source as 'db.table[.column]' with
    every part given ('' for none)."""
    target_parts = target.split(".") if target else ["", "", ""]
    source_parts = source.split(".") if source else ["", "", "", ""]
    values = [name, statement, position, column, *target_parts, *source_parts, *kind.split(), reason]
    return dict(zip(KEYS, [v if v != "" else None for v in values]))


def csv_text(rows):
    out = io.StringIO()
    writer = csv.DictWriter(out, fieldnames=KEYS, lineterminator="\n")
    writer.writeheader()
    writer.writerows(rows)
    return out.getvalue()


@pytest.fixture
def tree(tmp_path):
    (tmp_path / "tree" / "a").mkdir(parents=True)
    (tmp_path / "tree" / "b").mkdir()
    (tmp_path / "tree" / "a" / "one.sql").write_text(
        "insert into t (p) select y from s;\nselect z from u where w = 1;\n")
    (tmp_path / "tree" / "b" / "two.sql").write_text("select x from t1\n")
    (tmp_path / "tree" / "top.sql").write_text("select q from r")
    (tmp_path / "tree" / "notes.txt").write_text("not sql")
    return tmp_path


# Files in path order; a.sql holds two statements, each with its number.
TREE_ROWS = [
    row("tree/a/one.sql", 1, 1, "p", "..t", "..s.y", "DIRECT IDENTITY"),
    row("tree/a/one.sql", 2, 1, "z", "", "..u.z", "DIRECT IDENTITY"),
    row("tree/a/one.sql", 2, 1, "z", "", "..u.w", "INDIRECT FILTER"),
    row("tree/b/two.sql", 1, 1, "x", "", "..t1.x", "DIRECT IDENTITY"),
    row("tree/top.sql", 1, 1, "q", "", "..r.q", "DIRECT IDENTITY"),
]


def test_csv_of_a_directory_tree_in_path_order(tree):
    done = lineage_cli("--format", "csv", "--expand-influences", "tree", cwd=tree)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == csv_text(TREE_ROWS)


@pytest.mark.parametrize("fmt", ["json", "jsonl"])
def test_json_and_json_lines_of_a_directory_tree(tree, fmt):
    done = lineage_cli("--format", fmt, "--expand-influences", "tree", cwd=tree)
    assert (done.returncode, done.stderr) == (0, "")
    if fmt == "json":
        rows = json.loads(done.stdout)
        assert done.stdout.startswith("[\n") and done.stdout.endswith("\n]\n")
    else:
        rows = [json.loads(line) for line in done.stdout.splitlines()]
    assert rows == TREE_ROWS
    assert {tuple(r) for r in rows} == {tuple(KEYS)}


def test_standard_input_is_read_when_piped_without_a_dash():
    done = lineage_cli("--format", "csv", input="select a from t")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == csv_text([row("stdin", 1, 1, "a", "", "..t.a", "DIRECT IDENTITY")])


def test_a_dash_reads_standard_input_among_other_inputs():
    done = lineage_cli("--format", "csv", "select b from u", "-", input="select a from t")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == csv_text([row("arg1", 1, 1, "b", "", "..u.b", "DIRECT IDENTITY"),
                                    row("stdin", 1, 1, "a", "", "..t.a", "DIRECT IDENTITY")])


def test_the_built_in_example():
    done = lineage_cli("--example", "--format", "jsonl", "--expand-influences")
    assert (done.returncode, done.stderr) == (0, "")
    shared = [("sales.orders.customer_id", "INDIRECT JOIN"), ("crm.customers.id", "INDIRECT JOIN"),
              ("sales.order_items.order_id", "INDIRECT JOIN"), ("sales.orders.id", "INDIRECT JOIN"),
              ("sales.orders.status", "INDIRECT FILTER"), ("sales.orders.id", "INDIRECT GROUP_BY"),
              ("crm.customers.name", "INDIRECT GROUP_BY")]
    expected = []
    for position, (column, direct) in enumerate([
            ("order_id", ("sales.orders.id", "DIRECT IDENTITY")),
            ("customer", ("crm.customers.name", "DIRECT IDENTITY")),
            ("total", ("sales.order_items.amount", "DIRECT AGGREGATION"))], 1):
        expected.extend(row("example", 1, position, column, ".mart.order_totals", "." + source, kind)
                        for source, kind in [direct, *shared])
    rows = [json.loads(line) for line in done.stdout.splitlines()]
    key = lambda r: (r["position"], r["source_table"], r["source_column"], r["subtype"])  # noqa: E731
    assert sorted(rows, key=key) == sorted(expected, key=key)


def test_a_file_of_several_statements_and_one_bad_one(tmp_path):
    (tmp_path / "job.sql").write_text("select a from t;\nselect from where;\nselect b from u;\n")
    done = lineage_cli("--format", "csv", "job.sql", cwd=tmp_path)
    try:
        sqlglot.parse_one("select from where")
    except sqlglot.ParseError as error:
        message = str(error).splitlines()[0]
    assert done.returncode == 1
    assert done.stderr == f"job.sql: statement 2 (line 2): ParseError: {message}\n"
    assert done.stdout == csv_text([row("job.sql", 1, 1, "a", "", "..t.a", "DIRECT IDENTITY"),
                                    row("job.sql", 3, 1, "b", "", "..u.b", "DIRECT IDENTITY")])


def test_an_argument_that_is_no_file_and_no_statement():
    done = lineage_cli("--format", "csv", "nosuchfile", "select b from u")
    assert (done.returncode, done.stderr) == (1, "arg1: no such file, and not SQL: nosuchfile\n")
    assert done.stdout == csv_text([row("arg2", 1, 1, "b", "", "..u.b", "DIRECT IDENTITY")])


def test_traceback_only_when_asked():
    plain = lineage_cli("nosuchfile")
    shown = lineage_cli("--traceback", "nosuchfile")
    assert (plain.returncode, plain.stdout, plain.stderr) == (
        1, "", "arg1: no such file, and not SQL: nosuchfile\n")
    lines = shown.stderr.splitlines()
    assert (shown.returncode, shown.stdout) == (1, "")
    assert lines[:2] == ["arg1: no such file, and not SQL: nosuchfile",
                         "Traceback (most recent call last):"]
    assert lines[-1].startswith("sqlglot.errors.ParseError: ")


def test_dot_one_box_per_table_columns_by_position_shared_influences_once():
    done = lineage_cli("--format", "dot", "select x.a as b, y.c as b from x join y on x.id = y.id",
                       "insert into db.t (b) select a from x")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == """\
digraph lineage {
  rankdir=LR;
  compound=true;
  node [shape=box, fontname=Helvetica];
  edge [fontname=Helvetica, fontsize=9];
  subgraph cluster_0 {
    label="arg1#1"; style=filled; color=lightyellow;
    "out:arg1#1:1" [label="1. b"];
    "out:arg1#1:2" [label="2. b"];
  }
  subgraph cluster_1 {
    label="x"; style=rounded; color=gray50;
    "col:x.a" [label="a"];
    "col:x.id" [label="id"];
  }
  subgraph cluster_2 {
    label="y"; style=rounded; color=gray50;
    "col:y.id" [label="id"];
    "col:y.c" [label="c"];
  }
  subgraph cluster_3 {
    label="db.t"; style=filled; color=lightyellow;
    "col:db.t.b" [label="b"];
  }
  "col:x.id" -> "out:arg1#1:1" [style=dashed, label="join", lhead=cluster_0];
  "col:y.id" -> "out:arg1#1:1" [style=dashed, label="join", lhead=cluster_0];
  "col:x.a" -> "out:arg1#1:1" [style=solid, label="identity"];
  "col:y.c" -> "out:arg1#1:2" [style=solid, label="identity"];
  "col:x.a" -> "col:db.t.b" [style=solid, label="identity"];
}
"""


ETL_SCRIPT = """create table stg.o as select id, amount from raw.o where ok;
insert into mart.t (id, total) select id, sum(amount) from stg.o group by id;
"""


def test_dot_connects_a_script_chain_through_the_tables_it_writes(tmp_path):
    script = tmp_path / "etl.sql"
    script.write_text(ETL_SCRIPT)
    done = lineage_cli("--format", "dot", script)
    assert (done.returncode, done.stderr) == (0, "")
    # stg.o is one box: written by the first statement, read by the second.
    assert done.stdout == """\
digraph lineage {
  rankdir=LR;
  compound=true;
  node [shape=box, fontname=Helvetica];
  edge [fontname=Helvetica, fontsize=9];
  subgraph cluster_0 {
    label="stg.o"; style=filled; color=lightyellow;
    "col:stg.o.id" [label="id"];
    "col:stg.o.amount" [label="amount"];
  }
  subgraph cluster_1 {
    label="raw.o"; style=rounded; color=gray50;
    "col:raw.o.id" [label="id"];
    "col:raw.o.ok" [label="ok"];
    "col:raw.o.amount" [label="amount"];
  }
  subgraph cluster_2 {
    label="mart.t"; style=filled; color=lightyellow;
    "col:mart.t.id" [label="id"];
    "col:mart.t.total" [label="total"];
  }
  "col:raw.o.ok" -> "col:stg.o.id" [style=dashed, label="filter", lhead=cluster_0];
  "col:raw.o.id" -> "col:stg.o.id" [style=solid, label="identity"];
  "col:raw.o.amount" -> "col:stg.o.amount" [style=solid, label="identity"];
  "col:stg.o.id" -> "col:mart.t.id" [style=dashed, label="group_by", lhead=cluster_2];
  "col:stg.o.id" -> "col:mart.t.id" [style=solid, label="identity"];
  "col:stg.o.amount" -> "col:mart.t.total" [style=solid, label="aggregation"];
}
"""
    direct = lineage_cli("--format", "dot", "--direct-only", script)
    assert [line for line in direct.stdout.splitlines() if "->" in line] == [
        '  "col:raw.o.id" -> "col:stg.o.id" [style=solid, label="identity"];',
        '  "col:raw.o.amount" -> "col:stg.o.amount" [style=solid, label="identity"];',
        '  "col:stg.o.id" -> "col:mart.t.id" [style=solid, label="identity"];',
        '  "col:stg.o.amount" -> "col:mart.t.total" [style=solid, label="aggregation"];']


def test_table_lists_each_column_and_what_every_column_depends_on():
    done = lineage_cli("select x.a as b, upper(y.c) as c from x join y on x.id = y.id",
                       "insert into db.t (p) select a from x")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == """\
-- arg1
+-----+--------+----------------------+----------+------------+
| pos | column | direct               | indirect | unresolved |
+-----+--------+----------------------+----------+------------+
| 1   | b      | x.a (IDENTITY)       |          |            |
| 2   | c      | y.c (TRANSFORMATION) |          |            |
+-----+--------+----------------------+----------+------------+
every column also depends on: x.id (JOIN), y.id (JOIN)
-- arg2
writes db.t
+-----+--------+----------------+----------+------------+
| pos | column | direct         | indirect | unresolved |
+-----+--------+----------------+----------+------------+
| 1   | p      | x.a (IDENTITY) |          |            |
+-----+--------+----------------+----------+------------+
"""


def test_openlineage_datasets_in_the_namespace_asked_for():
    done = lineage_cli("--format", "openlineage", "--namespace", "wh",
                       "insert into db.t (x) select a from db.s where b > 0")
    assert (done.returncode, done.stderr) == (0, "")

    def field(name, kind, subtype):
        return {"namespace": "wh", "name": "db.s", "field": name, "transformations": [
            {"type": kind, "subtype": subtype, "description": "", "masking": False}]}

    assert [json.loads(line) for line in done.stdout.splitlines()] == [{
        "namespace": "wh", "name": "db.t", "facets": {"columnLineage": {
            "_producer": "https://pypi.org/project/sqlglot-main/",
            "_schemaURL": ColumnLineageDatasetFacet._get_schema(),
            "fields": {"x": {"inputFields": [field("a", "DIRECT", "IDENTITY"),
                                             field("b", "INDIRECT", "FILTER")]}},
            "dataset": [field("b", "INDIRECT", "FILTER")]}}}]


SCHEMA_JSON = '{"db": {"tgt": {"x": "int", "y": "int"}, "src": {"a": "int", "b": "int"}}}'
SCHEMA_YAML = "db:\n  tgt: {x: int, y: int}\n  src:\n    a: int\n    b: int\n"


@pytest.mark.parametrize("name, text", [("schema.json", SCHEMA_JSON), ("schema.yaml", SCHEMA_YAML)])
def test_a_schema_file_names_the_target_columns_and_expands_stars(tmp_path, name, text):
    (tmp_path / name).write_text(text)
    done = lineage_cli("--format", "csv", "--schema", tmp_path / name,
                       "insert into db.tgt select * from db.src")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == csv_text([row("arg1", 1, 1, "x", ".db.tgt", ".db.src.a", "DIRECT IDENTITY"),
                                    row("arg1", 1, 2, "y", ".db.tgt", ".db.src.b", "DIRECT IDENTITY")])


def test_without_a_schema_the_star_is_unresolved():
    done = lineage_cli("--format", "csv", "insert into db.tgt select * from db.src")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == HEADER + "arg1,1,1,*,,db,tgt,,db,src,*,UNRESOLVED,IDENTITY,needs a schema\n"


@pytest.mark.parametrize("args, message", [
    (["--schema", "missing.json"], "cannot read schema file missing.json"),
    (["--jobs", "-1"], "--jobs must be 0 (every core) or more"),
    (["--format", "xml"], "argument --format: invalid choice"),
])
def test_usage_errors_exit_2(tmp_path, args, message):
    done = lineage_cli(*args, "select a from t", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (2, "")
    assert message in done.stderr.splitlines()[-1]


def test_an_unknown_dialect_is_a_usage_error_that_lists_the_dialects():
    done = lineage_cli("--dialect", "nosuch", "select a from t", "select b from u")
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.splitlines()[-1] == (
        f"sqlglot-main: error: unknown dialect 'nosuch'; known dialects: {', '.join(DIALECTS)}")


def test_the_dialect_name_is_case_insensitive():
    # In MySQL "x" is a string; elsewhere it names a column.
    sql = 'select a from t where b = "x"'
    mysql = [row("arg1", 1, 1, "a", "", "..t.a", "DIRECT IDENTITY"),
             row("arg1", 1, 1, "a", "", "..t.b", "INDIRECT FILTER")]
    for name in ("MySQL", "mysql"):
        done = lineage_cli("--format", "csv", "--expand-influences", "--dialect", name, sql)
        assert (done.returncode, done.stderr, done.stdout) == (0, "", csv_text(mysql))
    plain = lineage_cli("--format", "csv", "--expand-influences", sql)
    assert plain.stdout == csv_text([*mysql, row("arg1", 1, 1, "a", "", "..t.x", "INDIRECT FILTER")])


def test_version_and_list_of_dialects():
    done = lineage_cli("--version")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == f"sqlglot-main {version('sqlglot-main')} (sqlglot {sqlglot.__version__})\n"
    listed = lineage_cli("--list-dialects")
    assert (listed.returncode, listed.stderr, listed.stdout) == (0, "", "\n".join(DIALECTS) + "\n")


def test_classic_is_the_first_modules_command():
    args = ["--format", "json", "select x.a, s.b from db.t1 x join (select b from db.t2) s on s.b = x.a"]
    classic = lineage_cli("--classic", *args)
    old = subprocess.run([sys.executable, "-m", "sqlglot_main_cli", *args], capture_output=True,
                         text=True, timeout=120, stdin=subprocess.DEVNULL)
    assert classic.returncode == old.returncode == 0
    assert (classic.stdout, classic.stderr) == (old.stdout, old.stderr)
    assert json.loads(classic.stdout)[0]["input"] == "arg1"
    assert "sort" in json.loads(classic.stdout)[0]


@pytest.fixture(scope="module")
def log_dir(tmp_path_factory):
    """About 200 corpus statements of the default dialect, a file each, and
    one file that does not parse."""
    folder = tmp_path_factory.mktemp("log")
    texts = [sql for dialect, sql in corpus_statements() if dialect is None][:199]
    for number, sql in enumerate(texts):
        (folder / f"q{number:04d}.sql").write_text(sql)
    (folder / "q0100b.sql").write_text("select from where")
    return folder


@pytest.mark.parametrize("fmt", ["jsonl", "openlineage"])
def test_two_jobs_write_what_one_job_writes(log_dir, fmt):
    one = lineage_cli("--format", fmt, "--jobs", "1", log_dir)
    two = lineage_cli("--format", fmt, "--jobs", "2", log_dir)
    assert one.returncode == 1  # the file that does not parse
    rows = [json.loads(line) for line in one.stdout.splitlines()]
    assert len({r["input"] if fmt == "jsonl" else r["name"] for r in rows}) > 150
    assert (two.returncode, two.stdout, two.stderr) == (one.returncode, one.stdout, one.stderr)
    every = lineage_cli("--format", fmt, "--jobs", "0", log_dir)
    assert (every.returncode, every.stdout, every.stderr) == (one.returncode, one.stdout, one.stderr)


@pytest.fixture(scope="module")
def small_files(tmp_path_factory):
    """3,000 files of one row each."""
    folder = tmp_path_factory.mktemp("many")
    for number in range(3000):
        (folder / f"q{number:05d}.sql").write_text(f"select c{number} from t{number}")
    return folder


@pytest.mark.parametrize("fmt, jobs", [("jsonl", 1), ("json", 1), ("json", 2)])
def test_interrupted_batch_keeps_what_it_wrote(small_files, fmt, jobs):
    full = [row(str(small_files / f"q{n:05d}.sql"), 1, 1, f"c{n}", "", f"..t{n}.c{n}",
                "DIRECT IDENTITY") for n in range(3000)]
    child = subprocess.Popen(
        [*LINEAGE_CLI, "--format", fmt, "--jobs", str(jobs), str(small_files)], stdin=subprocess.DEVNULL,
        stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
        # Python turns SIGINT into KeyboardInterrupt only when it is not ignored at start.
        preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        head = child.stdout.readline()
        if fmt == "json":
            assert head == "[\n"
            head += child.stdout.readline()
        child.send_signal(signal.SIGINT)
        out = head + child.stdout.read()
        err = child.stderr.read()
    finally:
        child.wait(timeout=120)
    assert child.returncode == 130
    done = re.fullmatch(r"interrupted: (\d+) of 3000 inputs done\n", err)
    assert done, err
    if fmt == "json":
        assert out.endswith("]\n")
        rows = json.loads(out)
    else:
        assert out.endswith("\n")
        rows = [json.loads(line) for line in out.splitlines()]
    assert 1 <= len(rows) < 3000
    assert rows == full[:len(rows)]
    assert int(done.group(1)) < 3000


class InterruptedWhileWriting(io.StringIO):
    """Standard output on which Ctrl-C arrives as the third input's text is
    handed over, before it is stored."""

    def write(self, text):
        if '"a2"' in text or ",a2," in text:
            signal.raise_signal(signal.SIGINT)
        return super().write(text)


@pytest.fixture
def ctrl_c_raises():
    """SIGINT as KeyboardInterrupt here, even where the suite was started
    with it ignored (a job started in the background by a shell)."""
    before = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, before)


@pytest.mark.parametrize("fmt", ["jsonl", "json", "csv"])
def test_ctrl_c_while_writing_leaves_whole_records_and_counts_them(fmt, ctrl_c_raises):
    out, err = InterruptedWhileWriting(), io.StringIO()
    status = cli.main(["--format", fmt, *(f"select a{n} from t{n}" for n in range(5))],
                      stdin=io.StringIO(), stdout=out, stderr=err)
    assert status == 130
    text = out.getvalue()
    if fmt == "jsonl":
        columns = [json.loads(line)["column"] for line in text.splitlines()]
    elif fmt == "json":
        columns = [r["column"] for r in json.loads(text)]
    else:
        columns = [r["column"] for r in csv.DictReader(io.StringIO(text))]
    assert columns == ["a0", "a1", "a2"]
    assert err.getvalue() == "interrupted: 3 of 5 inputs done\n"
