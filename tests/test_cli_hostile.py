"""The command line against a further round of hostile input: names that
are not UTF-8, damaged or locked graph files, closed standard streams,
signals while a slow reader takes the output, piped input and the names
inputs are stored under in a graph, dotted names in diff and dot, link
loops, long scripts, and the summary of many tables."""

import ast
import hashlib
import io
import json
import os
import re
import signal
import sqlite3
import subprocess
import sys

import pytest

import qarvel_lineage
from qarvel_lineage import cli
from qarvel_lineage.graph import Graph

from helpers import LINEAGE_CLI, lineage_cli, run_py

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="file names, signals and streams as on Linux")


def run(*args, cwd=None, input=None, env=None, timeout=120):
    """The command run with arguments that may be bytes; its output as bytes."""
    return subprocess.run([*LINEAGE_CLI, *args], cwd=cwd, capture_output=True, timeout=timeout,
                          input=input, stdin=subprocess.DEVNULL if input is None else None,
                          env=env)


def jsonl(text):
    return [json.loads(line) for line in text.splitlines()]


def digest(text):
    return "sql:" + hashlib.sha256(text).hexdigest()[:12]


# --- 1: names that are not UTF-8 -------------------------------------------------------------

@pytest.fixture
def odd_folder(tmp_path):
    """A folder holding a.sql and a file whose name has the byte 0xe9 (not UTF-8)."""
    folder = tmp_path / "d"
    folder.mkdir()
    (folder / "a.sql").write_text("select a from t")
    with open(os.fsencode(folder) + b"/caf\xe9.sql", "wb") as handle:
        handle.write(b"select b from u")
    return tmp_path


def test_undecodable_names_are_escaped_and_every_input_is_written(odd_folder):
    done = run("--format", "jsonl", "d", b"select c\xff from v", cwd=odd_folder)
    assert (done.returncode, done.stderr) == (0, b"")
    rows = jsonl(done.stdout.decode("utf-8"))
    assert [(r["input"], r["column"], r["source_table"], r["source_column"]) for r in rows] == [
        ("d/a.sql", "a", "t", "a"), ("d/caf\\xe9.sql", "b", "u", "b"),
        ("arg2", "c\\xff", "v", "c\\xff")]


@pytest.mark.parametrize("fmt, shown", [
    ("csv", "d/caf\\xe9.sql"), ("table", "d/caf\\xe9.sql"), ("dot", "d/caf\\xe9.sql"),
    ("json", "d/caf\\\\xe9.sql"), ("openlineage", "d/caf\\\\xe9.sql"),
    ("html", "d/caf\\\\xe9.sql")])
def test_every_format_writes_an_undecodable_name_escaped(odd_folder, fmt, shown):
    done = run("--format", fmt, "d", b"select c\xff from v", cwd=odd_folder)
    assert (done.returncode, done.stderr) == (0, b"")
    text = done.stdout.decode("utf-8")  # strictly: the output is UTF-8
    assert shown in text and "d/a.sql" in text


def test_undecodable_names_in_messages_and_in_a_stored_graph(odd_folder):
    failing = run("--format", "jsonl", b"nonsense \xff(", cwd=odd_folder)
    assert (failing.returncode, failing.stdout) == (1, b"")
    assert failing.stderr == b"arg1: no such file, and not SQL: nonsense \\xff(\n"
    stored = run("--graph", "g.db", "d", b"select c\xff from v", cwd=odd_folder)
    assert (stored.returncode, stored.stderr) == (0, b"g.db: 3 edges\n")
    down = run("--graph", "g.db", "--downstream", b"v.c\xff", "--format", "jsonl", cwd=odd_folder)
    assert down.returncode == 0, down.stderr
    query = digest(b"select c\xff from v")
    assert [(e["source"], e["target"], e["statement"]) for e in jsonl(down.stdout.decode())] == [
        ("v.c\\xff", f"{query}#1.c\\xff", f"{query}#1")]
    summary = run("--graph", "g.db", "--summary", "--format", "jsonl", cwd=odd_folder)
    assert {r["table"] for r in jsonl(summary.stdout.decode())} == {
        "t", "u", "v", '"d/a.sql#1"', '"d/caf\\xe9.sql#1"', f"{query}#1"}


# --- 2: damaged and locked graph files ---------------------------------------------------------

CHAIN = "".join(f"insert into s.t{n + 1} select a, b from s.t{n};\n" for n in range(300))


@pytest.fixture
def stored(tmp_path):
    (tmp_path / "chain.sql").write_text(CHAIN)
    done = lineage_cli("chain.sql", "--graph", "g.db", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "g.db: 600 edges\n")
    return tmp_path / "g.db"


def truncated(path):
    data = path.read_bytes()
    path.write_bytes(data[:len(data) // 2])
    return rf"a damaged lineage graph \(truncated: {len(data) // 2:,} of {len(data):,} bytes\)"


def without_tables(path):
    path.unlink()
    db = sqlite3.connect(path)
    db.execute(f"pragma application_id = {qarvel_lineage.graph.APPLICATION_ID}")
    db.execute(f"pragma user_version = {qarvel_lineage.graph.FORMAT_VERSION}")
    db.execute("create table x (a)")
    db.commit()
    db.close()
    return (r"a damaged lineage graph \(tables missing: tables, nodes, statements, edges\)")


def overwritten(path):
    """Every page but the first (the schema) overwritten: the damage shows
    only when the tables are read."""
    data = bytearray(path.read_bytes())
    size = int.from_bytes(data[16:18], "big")
    data[size:] = b"\x5a" * (len(data) - size)
    path.write_bytes(bytes(data))
    return r"a damaged lineage graph \(database disk image is malformed\)"


@pytest.mark.parametrize("damage", [truncated, without_tables, overwritten])
@pytest.mark.parametrize("question", [["--summary"], ["--upstream", "s.t300.a"],
                                      ["--downstream", "s.t0.a"], ["select a from s.t0"]],
                         ids=["summary", "upstream", "downstream", "adding"])
def test_a_damaged_graph_file_is_one_line(stored, damage, question):
    said = damage(stored)
    done = lineage_cli("--graph", "g.db", *question, cwd=stored.parent)
    assert (done.returncode, done.stdout) == (1, "")
    assert re.fullmatch(rf"sqlglot-main: --graph g\.db: {said}; build it again from its "
                        r"inputs\n", done.stderr), done.stderr


def test_a_damaged_graph_file_is_a_graph_error_in_the_api(stored):
    truncated(stored)
    with pytest.raises(qarvel_lineage.graph.GraphError, match=r"^.*g\.db: a damaged lineage "
                       r"graph \(truncated: [\d,]+ of [\d,]+ bytes\); build it again from its "
                       r"inputs$"):
        Graph.open(stored)


LOCKED = """
import io, sqlite3, sys
from qarvel_lineage import cli
from qarvel_lineage.graph import store

store.BUSY_SECONDS = 0.3
holder = sqlite3.connect(sys.argv[1], isolation_level=None)
holder.execute("begin exclusive")
out, err = io.StringIO(), io.StringIO()
status = cli.main(["--graph", sys.argv[1], sys.argv[2]], stdin=io.StringIO(), stdout=out,
                  stderr=err)
sys.stdout.write(repr((status, out.getvalue(), err.getvalue())))
"""


@pytest.mark.parametrize("question", ["--summary", "--end-to-end"])
def test_a_graph_another_run_keeps_locked_is_one_line(stored, question):
    asked = "--summary" if question == "--summary" else "select a from s.t0"
    done = run_py(LOCKED, str(stored), asked, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    assert ast.literal_eval(done.stdout) == (1, "", (
        f"sqlglot-main: --graph {stored}: another run kept it locked for 0.3 s; try again\n"))


# --- 3: closed standard streams ----------------------------------------------------------------

def closed(redirect, *args, cwd=None):
    """The command run by a shell with one of its standard streams closed."""
    return subprocess.run(["sh", "-c", f'exec "$@" {redirect}', "sh", *LINEAGE_CLI, *args],
                          capture_output=True, text=True, timeout=120, cwd=cwd)


def test_a_closed_standard_output_is_one_line(tmp_path):
    done = closed(">&-", "select a from t")
    assert (done.returncode, done.stderr) == (
        1, "sqlglot-main: cannot write the output: standard output is closed\n")
    # Storing a graph writes nothing there: it goes on.
    stored = closed(">&-", "select a from t", "--graph", "g.db", cwd=tmp_path)
    assert (stored.returncode, stored.stderr) == (0, "g.db: 1 edges\n")


def test_a_closed_standard_input_is_an_input_that_failed():
    done = subprocess.run(["sh", "-c", 'exec "$@" <&-', "sh", *LINEAGE_CLI, "--format", "jsonl",
                           "-", "select a from t"], capture_output=True, text=True, timeout=120)
    assert done.returncode == 1
    assert done.stderr == "stdin: standard input is closed; not read\n"
    assert [r["column"] for r in jsonl(done.stdout)] == ["a"]


def test_a_closed_standard_error_keeps_messages_out_of_the_output():
    done = subprocess.run(["sh", "-c", 'exec "$@" 2>&-', "sh", *LINEAGE_CLI, "--format", "jsonl",
                           "select a from t", "nonsense("], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 1
    assert [r["column"] for r in jsonl(done.stdout)] == ["a"]


# --- 4: a signal while a slow reader takes the output --------------------------------------------

@pytest.fixture(scope="module")
def big_script(tmp_path_factory):
    """A script whose rows (1.3 MB of jsonl) are far more than a pipe holds."""
    path = tmp_path_factory.mktemp("big") / "big.sql"
    path.write_text("".join(f"insert into s.t{n} select a, b, c from s.u{n} where d > 0;\n"
                            for n in range(3000)))
    return path


def reference(big_script, fmt):
    """What the command writes for the script alone, through a stream without a file."""
    out = io.StringIO()
    assert cli.main(["--format", fmt, str(big_script)], stdin=io.StringIO(), stdout=out,
                    stderr=io.StringIO()) == 0
    return out.getvalue()


def default_sigint():
    # A run in the background may have inherited SIGINT ignored.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@pytest.mark.parametrize("fmt", ["jsonl", "json", "csv"])
@pytest.mark.parametrize("unbuffered", ["1", ""], ids=["unbuffered", "buffered"])
@pytest.mark.parametrize("stop", [signal.SIGTERM, signal.SIGINT], ids=["SIGTERM", "SIGINT"])
def test_a_signal_while_the_reader_is_slow_leaves_whole_inputs(big_script, fmt, unbuffered,
                                                               stop):
    env = {**os.environ, "PYTHONUNBUFFERED": unbuffered}
    child = subprocess.Popen([*LINEAGE_CLI, "--format", fmt, str(big_script), str(big_script)],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, env=env, preexec_fn=default_sigint)
    try:
        # It is writing the first input (after CSV's header): its 1.3 MB cannot
        # all be in the pipe, so the signal comes while it is written, wherever
        # the writer then is.
        head = b"".join(child.stdout.readline() for _ in range(2 if fmt == "csv" else 1))
        child.send_signal(stop)
        out = head + child.stdout.read()
        err = child.stderr.read()
    finally:
        child.kill()
        child.wait()
    word, status = ("terminated", 143) if stop == signal.SIGTERM else ("interrupted", 130)
    assert (child.returncode, err.decode()) == (status, f"{word}: 1 of 2 inputs done\n")
    # The first input whole, the second not begun.
    assert out.decode("utf-8") == reference(big_script, fmt)


class Trickle(io.RawIOBase):
    """A pipe that takes at most 1000 bytes a write, as a slow or
    interrupted one does; it notes the largest write it was asked for."""

    def __init__(self):
        self.data = bytearray()
        self.largest = 0

    def writable(self):
        return True

    def write(self, data):
        self.largest = max(self.largest, len(data))
        taken = bytes(data[:1000])
        self.data += taken
        return len(taken)


@pytest.mark.parametrize("fmt", ["jsonl", "json", "csv", "table", "dot", "html", "openlineage"])
def test_short_writes_are_finished_and_writes_are_bounded(big_script, fmt, monkeypatch):
    from qarvel_lineage.cli import formats

    monkeypatch.setattr(formats, "WRITE_CHUNK", 64 * 1024)
    raw = Trickle()
    out = io.TextIOWrapper(raw, encoding="utf-8", write_through=True)
    assert cli.main(["--format", fmt, str(big_script)], stdin=io.StringIO(), stdout=out,
                    stderr=io.StringIO()) == 0
    out.flush()
    assert len(raw.data) > 10 * 64 * 1024 and raw.largest <= 64 * 1024
    assert raw.data.decode("utf-8") == reference(big_script, fmt)


# --- 5: diff stopped --------------------------------------------------------------------------

DIFF_STOPPED = """
import io, signal, sys
from qarvel_lineage import cli
from qarvel_lineage.cli import analysis

real = analysis.work
def work(context, item):
    if item[0].endswith("new.sql"):
        signal.raise_signal(signal.SIGTERM)
    return real(context, item)
analysis.work = work
out, err = io.StringIO(), io.StringIO()
status = cli.main(["diff", sys.argv[1], sys.argv[2]], stdin=io.StringIO(), stdout=out, stderr=err)
sys.stdout.write(repr((status, err.getvalue())))
"""


def test_a_stopped_diff_counts_the_inputs_of_both_sides(tmp_path):
    (tmp_path / "old").mkdir()
    for name in "abc":
        (tmp_path / "old" / f"{name}.sql").write_text(f"select {name} from t")
    (tmp_path / "new.sql").write_text("select a from t")
    done = run_py(DIFF_STOPPED, str(tmp_path / "old"), str(tmp_path / "new.sql"))
    assert (done.returncode, done.stderr) == (0, "")
    assert ast.literal_eval(done.stdout) == (143, "terminated: 3 of 4 inputs done\n")


# --- 6, 7, 8: what a graph stores its inputs under -------------------------------------------------

def summary(cwd, graph="g.db"):
    done = lineage_cli("--graph", graph, "--summary", "--format", "jsonl", cwd=cwd)
    assert done.returncode == 0, done.stderr
    return {(r["table"], r["role"]) for r in jsonl(done.stdout)}


def test_piped_input_is_stored_in_a_graph_that_exists(tmp_path):
    first = lineage_cli("--graph", "g.db", input="insert into s.a select x from s.b", cwd=tmp_path)
    assert (first.returncode, first.stderr) == (0, "g.db: 1 edges\n")
    second = lineage_cli("--graph", "g.db", input="insert into s.c select y from s.d",
                         cwd=tmp_path)
    assert (second.returncode, second.stderr) == (0, "g.db: 2 edges\n")
    assert summary(tmp_path) == {("s.b", "source"), ("s.d", "source"), ("s.a", "target"),
                                 ("s.c", "target")}
    # Nothing piped (standard input at its end): the question is asked of the stored graph.
    asked = lineage_cli("--graph", "g.db", "--summary", cwd=tmp_path)
    assert (asked.returncode, asked.stderr) == (0, "")


@pytest.mark.parametrize("how", ["argument", "stdin"])
def test_text_inputs_do_not_replace_each_other(tmp_path, how):
    for text in ("insert into s.a select x from s.b", "insert into s.c select y from s.d"):
        done = (lineage_cli(text, "--graph", "g.db", cwd=tmp_path) if how == "argument" else
                lineage_cli("-", "--graph", "g.db", input=text, cwd=tmp_path))
        assert done.returncode == 0, done.stderr
    assert summary(tmp_path) == {("s.b", "source"), ("s.d", "source"), ("s.a", "target"),
                                 ("s.c", "target")}
    with Graph.open(tmp_path / "g.db") as graph:
        assert {edge.statement for edge in graph.edges()} == {
            digest(b"insert into s.a select x from s.b") + "#1",
            digest(b"insert into s.c select y from s.d") + "#1"}
    # Adding the same text again changes nothing.
    again = lineage_cli("insert into s.a select x from s.b", "--graph", "g.db", cwd=tmp_path)
    assert again.stderr == "g.db: 2 edges\n"


def test_a_name_replaces_what_it_made_before(tmp_path):
    for text in ("insert into s.a select x from s.b", "insert into s.c select y from s.d"):
        done = lineage_cli(text, "--graph", "g.db", "--name", "report", cwd=tmp_path)
        assert done.returncode == 0, done.stderr
    assert summary(tmp_path) == {("s.d", "source"), ("s.c", "target")}
    rows = lineage_cli("select a from t", "--name", "adhoc", "--format", "jsonl")
    assert [r["input"] for r in jsonl(rows.stdout)] == ["adhoc"]
    (tmp_path / "q").mkdir()
    for name in ("a", "b"):
        (tmp_path / "q" / f"{name}.sql").write_text("select a from t")
    for many in (["select a from t", "select b from u"], ["q"]):
        refused = lineage_cli(*many, "--name", "x", cwd=tmp_path)
        assert (refused.returncode, refused.stdout) == (2, "")
        assert refused.stderr.splitlines()[-1] == (
            "sqlglot-main: error: --name names one input; 2 were given")


def test_a_file_has_one_name_however_it_is_written(tmp_path):
    models = tmp_path / "models"
    models.mkdir()
    (models / "x.sql").write_text("insert into s.x select a, b from s.y")
    assert lineage_cli("models/x.sql", "--graph", "g.db", cwd=tmp_path).returncode == 0
    (models / "x.sql").write_text("insert into s.x select a from s.y")
    for written in ("./models/x.sql", str(models / "x.sql"), "models/../models/x.sql"):
        done = lineage_cli(written, "--graph", "g.db", cwd=tmp_path)
        assert (done.returncode, done.stderr) == (0, "g.db: 1 edges\n"), written
    with Graph.open(tmp_path / "g.db") as graph:
        assert [(e.source, e.target, e.statement) for e in graph.edges()] == [
            ("s.y.a", "s.x.a", "models/x.sql#1")]


def test_two_files_of_one_name_in_two_folders_are_two_inputs(tmp_path):
    for folder, column in (("m1", "a"), ("m2", "b")):
        (tmp_path / folder).mkdir()
        (tmp_path / folder / "q.sql").write_text(f"insert into s.{folder} select {column} from s.y")
        done = lineage_cli("q.sql", "--graph", "../g.db", cwd=tmp_path / folder)
        assert done.returncode == 0, done.stderr
    with Graph.open(tmp_path / "g.db") as graph:
        assert sorted((e.target, e.statement) for e in graph.edges()) == [
            ("s.m1.a", "m1/q.sql#1"), ("s.m2.b", "m2/q.sql#1")]


# --- 10, 11: dotted names ------------------------------------------------------------------------

def test_diff_tells_a_dotted_table_name_from_a_qualified_one(tmp_path):
    (tmp_path / "old.sql").write_text('insert into m.t select a from "sales.orders"')
    (tmp_path / "new.sql").write_text("insert into m.t select a from sales.orders")
    done = lineage_cli("diff", "old.sql", "new.sql", "--fail-on-change", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (1, "")
    assert done.stdout == ('- "sales.orders".a -> m.t.a (DIRECT IDENTITY)\n'
                           "+ sales.orders.a -> m.t.a (DIRECT IDENTITY)\n")


def test_dot_keeps_a_dotted_column_apart_from_a_column_of_a_deeper_table():
    done = lineage_cli("--format", "dot",
                       'insert into o.r select x."a.b" as p, y.b as q from s.t as x, s.t.a as y')
    assert (done.returncode, done.stderr) == (0, "")
    declared = re.findall(r'^    ("col:[^"]*(?:\\"[^"]*)*") \[label', done.stdout, re.MULTILINE)
    assert sorted(declared) == sorted(['"col:o.r.p"', '"col:o.r.q"', '"col:s.t.\\"a.b\\""',
                                       '"col:s.t.a.b"'])
    assert '  "col:s.t.\\"a.b\\"" -> "col:o.r.p"' in done.stdout
    assert '  "col:s.t.a.b" -> "col:o.r.q"' in done.stdout


# --- 14: long scripts ----------------------------------------------------------------------------

class Scanned(str):
    """A text that counts the characters its count() looks at."""

    looked = 0

    def count(self, sub, start=0, end=None):
        end = len(self) if end is None else end
        Scanned.looked += max(0, end - start)
        return super().count(sub, start, end)


def test_a_long_script_is_split_in_linear_time():
    script = Scanned("".join(f"insert into t{n} select a from u{n};\n" for n in range(2000))
                     + "\n\nselect from where;")
    Scanned.looked = 0
    result = qarvel_lineage.analyze_script(script)
    assert len(result.statements) == 2001
    assert (result.statements[-1].index, result.statements[-1].line) == (2001, 2003)
    assert Scanned.looked <= 2 * len(script)


# --- 18: a link loop in a folder -----------------------------------------------------------------

def test_a_link_loop_in_a_folder_is_skipped_with_one_line(tmp_path):
    folder = tmp_path / "d"
    folder.mkdir()
    (folder / "a.sql").write_text("select a from t")
    os.symlink("loop.sql", folder / "loop.sql")
    done = lineage_cli("--format", "csv", "d", cwd=tmp_path)
    assert done.returncode == 0
    assert done.stderr == "d/loop.sql: skipped, not a regular file (a symbolic link loop)\n"
    same = lineage_cli("diff", "d", "d", "--fail-on-change", cwd=tmp_path)
    assert (same.returncode, same.stdout) == (0, "no lineage changed\n")


# --- 23: the summary of many tables -----------------------------------------------------------------

def test_the_summary_lists_a_table_a_line_with_counts_and_a_cap(tmp_path):
    (tmp_path / "s.sql").write_text(
        "".join(f"insert into mid.m{n:02d} select a from raw.r;\n"
                f"insert into mart.f{n:02d} select a from mid.m{n:02d};\n" for n in range(30)))
    done = lineage_cli("s.sql", "--summary", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    assert lines[:3] == ["sources (1):", "  raw.r  feeds 30 tables", "intermediates (30):"]
    assert lines[3:5] == ["  mid.m00  reads 1 table, feeds 1 table",
                          "  mid.m01  reads 1 table, feeds 1 table"]
    assert lines[28] == "  ... 5 more intermediates; --limit 0 lists them all"
    assert lines[29:31] == ["targets (30):", "  mart.f00  reads 1 table"]
    assert lines[-1] == "  ... 5 more targets; --limit 0 lists them all"
    whole = lineage_cli("s.sql", "--summary", "--limit", "0", cwd=tmp_path)
    assert len(whole.stdout.splitlines()) == 3 + 1 + 30 + 30
