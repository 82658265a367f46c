"""The command line's one pipeline: its commands, the answers of the graph
questions in every format, every flag in every format (or refused with a
usage error), shared-influence rows, diff, and the hostile cases of the
layer around the engine."""

import csv
import io
import json
import os
import signal
import subprocess
import threading

import pytest
from helpers import LINEAGE_CLI, TUVA, lineage_cli, open_for_writing, page_columns

ETL = """
create table stg.orders as select id, amount / 100 as amount, status from raw.orders;
create temp table big as select id, amount from stg.orders where status = 'shipped';
insert into mart.totals (id, total) select id, sum(amount) from big group by id;
"""
ROW_FORMATS = ("json", "jsonl", "csv")


@pytest.fixture
def etl(tmp_path):
    (tmp_path / "etl.sql").write_text(ETL)
    return tmp_path


def records(fmt, text):
    """The records of a row format's output, every value as JSON gives it
    (CSV's as text)."""
    if fmt == "jsonl":
        return [json.loads(line) for line in text.splitlines()]
    if fmt == "json":
        return json.loads(text)
    return list(csv.DictReader(io.StringIO(text)))


def usage_error(done):
    assert (done.returncode, done.stdout) == (2, ""), done.stderr
    return done.stderr.splitlines()[-1]


# --- commands and the leaf answer ----------------------------------------------------------

def test_upstream_in_table_form_names_where_the_walk_ends(etl):
    done = lineage_cli("etl.sql", "--upstream", "totals.total", cwd=etl)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (
        "upstream of mart.totals.total: 8 columns over 9 edges; the sources where it ends:\n"
        "DIRECT (1):\n"
        "  raw.orders.amount  3 hops, nearest: DIRECT TRANSFORMATION in etl.sql#1\n"
        "INDIRECT only (2):\n"
        "  raw.orders.id      3 hops, nearest: DIRECT IDENTITY in etl.sql#1\n"
        "  raw.orders.status  3 hops, nearest: DIRECT IDENTITY in etl.sql#1\n"
        "--chains shows each chain; --format jsonl writes every edge\n")
    # The command form gives the same answer.
    assert lineage_cli("upstream", "totals.total", "etl.sql", cwd=etl).stdout == done.stdout


def test_chains_and_every_cap_say_what_they_left_out(etl):
    done = lineage_cli("etl.sql", "--upstream", "totals.total", "--chains", "--limit", "1", cwd=etl)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (
        "mart.totals.total <- big.amount (AGGREGATION, etl.sql#3) <- stg.orders.amount "
        "(IDENTITY, etl.sql#2) <- raw.orders.amount (TRANSFORMATION, etl.sql#1)\n"
        "... 3 more chains; --limit 0 shows every chain, --format jsonl writes every edge\n")
    every = lineage_cli("etl.sql", "--upstream", "totals.total", "--chains", "--limit", "0", cwd=etl)
    assert len(every.stdout.splitlines()) == 4
    capped = lineage_cli("etl.sql", "--upstream", "totals.total", "--limit", "1", cwd=etl)
    assert capped.stdout.splitlines()[3:6] == [
        "INDIRECT only (2):", "  raw.orders.id      3 hops, nearest: DIRECT IDENTITY in etl.sql#1",
        "  ... 1 more INDIRECT columns; --limit 0 lists them all"]


@pytest.mark.parametrize("fmt", ["table", *ROW_FORMATS, "dot", "openlineage", "html"])
def test_direct_only_and_depth_in_every_format_of_a_walk(etl, fmt):
    asked = ["etl.sql", "--upstream", "totals.total", "--format", fmt]
    direct = lineage_cli(*asked, "--direct-only", cwd=etl)
    near = lineage_cli(*asked, "--depth", "1", cwd=etl)
    both = lineage_cli(*asked, "--depth", "2", "--direct-only", cwd=etl)
    for done in (direct, near, both):
        assert (done.returncode, done.stderr) == (0, "")
    if fmt in ROW_FORMATS:
        assert [(r["source"], r["target"], r["type"], str(r["depth"]))
                for r in records(fmt, direct.stdout)] == [
            ("big.amount", "mart.totals.total", "DIRECT", "1"),
            ("stg.orders.amount", "big.amount", "DIRECT", "2"),
            ("raw.orders.amount", "stg.orders.amount", "DIRECT", "3")]
        assert [(r["source"], r["type"]) for r in records(fmt, near.stdout)] == [
            ("big.amount", "DIRECT"), ("big.id", "INDIRECT")]
        assert [r["source"] for r in records(fmt, both.stdout)] == ["big.amount", "stg.orders.amount"]
    elif fmt == "table":
        assert "DIRECT edges only" in direct.stdout and "INDIRECT" not in direct.stdout
        assert near.stdout.splitlines()[1:5] == [
            "DIRECT (1):", "  big.amount  1 hop, nearest: DIRECT AGGREGATION in etl.sql#3",
            "INDIRECT only (1):", "  big.id      1 hop, nearest: INDIRECT GROUP_BY in etl.sql#3"]
        assert both.stdout.splitlines()[2] == (
            "  stg.orders.amount  2 hops, nearest: DIRECT IDENTITY in etl.sql#2")
    elif fmt == "dot":
        assert "dashed" not in direct.stdout and direct.stdout.count("->") == 3
        assert near.stdout.count("->") == 2 and both.stdout.count("->") == 2
    elif fmt == "openlineage":
        steps = [t["type"] for line in direct.stdout.splitlines()
                 for f in json.loads(line)["facets"]["columnLineage"]["fields"].values()
                 for i in f["inputFields"] for t in i["transformations"]]
        assert steps == ["DIRECT"] * 3
        assert [json.loads(line)["name"] for line in near.stdout.splitlines()] == ["mart.totals"]
    else:
        assert page_columns(direct.stdout) == {
            "mart.totals.total", "big.amount", "stg.orders.amount", "raw.orders.amount"}
        assert page_columns(near.stdout) == {"mart.totals.total", "big.amount", "big.id"}


def test_direct_only_rows_hold_only_direct_sources_in_every_format(etl):
    for fmt in ROW_FORMATS:
        done = lineage_cli("etl.sql", "--direct-only", "--format", fmt, cwd=etl)
        assert (done.returncode, done.stderr) == (0, "")
        assert {(r["column"], r["source_column"], r["type"]) for r in records(fmt, done.stdout)} == {
            ("id", "id", "DIRECT"), ("amount", "amount", "DIRECT"), ("status", "status", "DIRECT"),
            ("total", "amount", "DIRECT")}
    table = lineage_cli("etl.sql", "--direct-only", cwd=etl)
    assert "FILTER" not in table.stdout and "GROUP_BY" not in table.stdout
    lineage = [json.loads(line) for line in lineage_cli(
        "etl.sql", "--direct-only", "--format", "openlineage", cwd=etl).stdout.splitlines()]
    assert all(d["facets"]["columnLineage"]["dataset"] == [] for d in lineage)


def test_jobs_give_the_graph_questions_what_one_job_gives(tmp_path):
    folder = tmp_path / "logs"
    folder.mkdir()
    for number in range(40):
        (folder / f"q{number:02d}.sql").write_text(
            f"insert into t{number + 1} (a) select a from t{number} where b > {number}")
    for asked in (["--downstream", "t0.a"], ["--summary"], ["--end-to-end"]):
        one = lineage_cli(folder, *asked, "--format", "jsonl")
        two = lineage_cli(folder, *asked, "--format", "jsonl", "--jobs", "2")
        assert (one.returncode, one.stderr) == (0, "")
        assert (two.returncode, two.stdout, two.stderr) == (one.returncode, one.stdout, one.stderr)
    assert len(lineage_cli(folder, "--downstream", "t0.a", "--format", "jsonl",
                           "--direct-only").stdout.splitlines()) == 40


@pytest.mark.parametrize("args, message", [
    (["--depth", "2"], "--depth needs --upstream or --downstream"),
    (["--upstream", "t.a", "--depth", "0"], "--depth must be 1 or more"),
    (["--upstream", "t.a", "--chains", "--format", "jsonl"],
     "--chains is for --upstream and --downstream in --format table"),
    (["--limit", "3"], "--limit is for --upstream, --downstream, --impact and --summary in "
                       "--format table, and for --paths"),
    (["--expand-influences"], "--expand-influences is for statement rows in --format json, jsonl, csv"),
    (["--summary", "--format", "csv", "--expand-influences"],
     "--expand-influences is for statement rows in --format json, jsonl, csv"),
    (["--namespace", "wh", "--format", "csv"], "--namespace is for --format openlineage"),
    (["--select", "tag:x"], "--select and --exclude choose the nodes of a dbt project: give --dbt"),
    (["--graph", "g.db", "--format", "jsonl"],
     "--graph with no question only stores the graph: --format and --direct-only need "
     "--upstream, --downstream, --impact, --paths, --summary or --end-to-end"),
    (["--summary", "--end-to-end"],
     "ask one of --upstream, --downstream, --impact, --paths, --end-to-end and --summary at a "
     "time"),
])
def test_options_that_cannot_work_together_are_usage_errors(args, message, tmp_path):
    done = lineage_cli("select a from t", *args, cwd=tmp_path)
    assert usage_error(done) == f"sqlglot-main: error: {message}"


def test_a_format_that_cannot_write_an_answer_names_those_that_can(tmp_path):
    (tmp_path / "a.sql").write_text("select a from t")
    done = lineage_cli("diff", tmp_path / "a.sql", tmp_path / "a.sql", "--format", "dot")
    assert usage_error(done) == ("sqlglot-main diff: error: --format dot cannot write differences; "
                                 "formats that can: table, json, jsonl, csv, markdown")


# --- shared influences ----------------------------------------------------------------------

def test_row_formats_write_a_shared_influence_once_per_statement():
    sql = "select a, upper(b) as b from t where c > 0 and a > 1"
    for fmt in ROW_FORMATS:
        done = lineage_cli(sql, "--format", fmt)
        assert (done.returncode, done.stderr) == (0, "")
        got = [(str(r["position"] or ""), r["column"], r["source_column"], r["type"], r["subtype"])
               for r in records(fmt, done.stdout)]
        assert got == [("1", "a", "a", "DIRECT", "IDENTITY"),
                       ("2", "b", "b", "DIRECT", "TRANSFORMATION"),
                       ("", "*", "c", "INDIRECT", "FILTER"), ("", "*", "a", "INDIRECT", "FILTER")]
        expanded = lineage_cli(sql, "--format", fmt, "--expand-influences")
        assert len(records(fmt, expanded.stdout)) == 6


def test_an_influence_of_some_columns_stays_on_them():
    done = lineage_cli("select a, sum(b) over (partition by c) as s from t where d = 1",
                       "--format", "jsonl")
    got = [(r["column"], r["source_column"], r["subtype"]) for r in map(json.loads,
                                                                         done.stdout.splitlines())]
    assert ("s", "c", "WINDOW") in got and ("*", "d", "FILTER") in got
    assert not any(column == "a" and subtype == "FILTER" for column, _, subtype in got)


# --- diff -------------------------------------------------------------------------------------

def test_diff_reports_columns_that_became_unresolved_in_every_format(tmp_path):
    (tmp_path / "old.sql").write_text("insert into mart.t (a) select a from s.t")
    (tmp_path / "new.sql").write_text("insert into mart.t (a) select a from s.t join s.u on t.id = u.id")
    done = lineage_cli("diff", "old.sql", "new.sql", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.splitlines()[-1] == "~ mart.t.a: now unresolved (ambiguous: one of t, u)"
    for fmt in ROW_FORMATS:
        rows = records(fmt, lineage_cli("diff", "old.sql", "new.sql", "--format", fmt,
                                        cwd=tmp_path).stdout)
        assert {k: v or None for k, v in rows[-1].items()} == {
            "change": "unresolved", "source": None, "target": "mart.t.a", "type": "UNRESOLVED",
            "old_subtype": None, "new_subtype": None, "reason": "ambiguous: one of t, u",
            "model": "mart.t", "column": None, "old": None, "new": None, "severity": None,
            "because": None, "via": None, "depth": None}
    back = lineage_cli("diff", "new.sql", "old.sql", cwd=tmp_path)
    assert back.stdout.splitlines()[-1] == "~ mart.t.a: now resolved (was: ambiguous: one of t, u)"


def test_diff_of_identical_queries_in_files_of_other_names(tmp_path):
    (tmp_path / "old.sql").write_text("select a, b from s.t where c > 0")
    (tmp_path / "new.sql").write_text("select a, b from s.t where c > 0\n")
    done = lineage_cli("diff", "old.sql", "new.sql", "--fail-on-change", cwd=tmp_path)
    assert (done.returncode, done.stdout, done.stderr) == (0, "no lineage changed\n", "")
    for side in ("old", "new"):
        (tmp_path / side).mkdir()
        (tmp_path / side / "q.sql").write_text("select a from s.t")
    folders = lineage_cli("diff", "old", "new", "--fail-on-change", cwd=tmp_path)
    assert (folders.returncode, folders.stdout) == (0, "no lineage changed\n")


# --- hostile input ------------------------------------------------------------------------------

def test_a_folder_as_the_graph_file_is_refused_before_any_analysis(tmp_path):
    done = lineage_cli("nosuchfile", "--graph", tmp_path, "--summary")
    assert usage_error(done) == f"sqlglot-main: error: --graph {tmp_path}: not a regular file (a directory)"
    assert "arg1" not in done.stderr


def test_two_graph_runs_at_once_on_a_new_file_both_land(tmp_path):
    """Both runs open the new file before either adds (each waits on its
    input, a FIFO); every edge of both is stored, and both say so."""
    graph = tmp_path / "g.db"
    runs = []
    for name in ("one", "two"):
        fifo = tmp_path / f"{name}.sql"
        os.mkfifo(fifo)
        child = subprocess.Popen([*LINEAGE_CLI, str(fifo), "--graph", str(graph)],
                                 stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True)
        runs.append((name, fifo, child))
    try:
        ends = [(name, open_for_writing(fifo, child)) for name, fifo, child in runs]
        for name, end in ends:
            script = "".join(f"insert into {name}.t{step + 1} (a) select a from {name}.t{step};\n"
                             for step in range(300))
            os.set_blocking(end, True)
            os.write(end, script.encode())
            os.close(end)
        answers = [child.communicate(timeout=120) for _, _, child in runs]
    finally:
        for _, _, child in runs:
            child.kill()
            child.wait()
    assert [(child.returncode, out) for (_, _, child), (out, _) in zip(runs, answers)] == [
        (0, ""), (0, "")], answers
    # Each says how many edges the file holds once its own are in: its
    # 300, and the other run's too if that one came first.
    said = sorted(err.splitlines()[-1] for _, err in answers)
    assert said[-1] == f"{graph}: 600 edges"
    assert said[0] in (f"{graph}: 300 edges", f"{graph}: 600 edges")
    from qarvel_lineage.graph import Graph

    with Graph.open(graph) as stored:
        assert len(stored) == 600
        # Each input is stored under its path from the graph file's folder.
        assert {e.statement.split("#")[0] for e in stored.edges()} == {"one.sql", "two.sql"}


def test_diff_skips_a_fifo_in_a_folder_and_reads_a_schema_from_one(tmp_path):
    for side in ("old", "new"):
        (tmp_path / side).mkdir()
        (tmp_path / side / "q.sql").write_text("insert into db.tgt select * from db.src")
    os.mkfifo(tmp_path / "new" / "pipe.sql")
    schema = tmp_path / "schema.json"
    os.mkfifo(schema)

    def feed():
        with open(schema, "w") as end:
            end.write('{"db": {"src": {"a": "int"}, "tgt": {"a": "int"}}}')

    writer = threading.Thread(target=feed, daemon=True)
    writer.start()
    done = lineage_cli("diff", "old", "new", "--schema", schema, cwd=tmp_path, timeout=60)
    writer.join(timeout=5)
    assert (done.returncode, done.stdout) == (0, "no lineage changed\n")
    assert done.stderr == "new/pipe.sql: skipped, not a regular file (a FIFO)\n"


def test_an_endless_schema_stream_stops_at_the_limit():
    done = lineage_cli("--schema", "/dev/zero", "--max-input-bytes", "1K", "select a from t",
                       timeout=60)
    assert usage_error(done) == ("sqlglot-main: error: cannot read schema file /dev/zero: larger "
                                 "than --max-input-bytes (1024 bytes); not analysed")


def test_end_to_end_of_a_stored_graph_without_inputs_is_refused(etl):
    stored = lineage_cli("etl.sql", "--graph", "g.db", cwd=etl)
    assert (stored.returncode, stored.stderr) == (0, "g.db: 11 edges\n")
    done = lineage_cli("--graph", "g.db", "--end-to-end", cwd=etl)
    assert usage_error(done) == ("sqlglot-main: error: --end-to-end traces the inputs through their "
                                 "scripts, which a stored graph does not keep: give the inputs too")
    with_inputs = lineage_cli("etl.sql", "--graph", "g.db", "--end-to-end", "--format", "jsonl",
                              cwd=etl)
    assert with_inputs.returncode == 0
    assert {json.loads(line)["target_table"] for line in with_inputs.stdout.splitlines()} == {
        "orders", "big", "totals"}


def test_the_summary_keeps_a_plain_query_apart_from_the_written_tables(tmp_path):
    (tmp_path / "s.sql").write_text("insert into m.x select a from s.t; select a from m.x")
    done = lineage_cli("s.sql", "--summary", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (
        0, 'sources (1):\n  s.t  feeds 1 table\nintermediates (0):\ntargets (1):\n'
           '  m.x  reads 1 table, feeds 1 table\nqueries (1):\n  "s.sql#2"  reads 1 table\n')
    assert [json.loads(line) for line in lineage_cli("s.sql", "--summary", "--format", "jsonl",
                                                     cwd=tmp_path).stdout.splitlines()] == [
        {"table": "s.t", "role": "source"}, {"table": "m.x", "role": "target"},
        {"table": '"s.sql#2"', "role": "query"}]
    lineage = json.loads(lineage_cli("s.sql", "--summary", "--format", "openlineage",
                                     cwd=tmp_path).stdout)
    assert [d["name"] for d in lineage["outputs"]] == ["m.x"]
    assert [d["name"] for d in lineage["inputs"]] == ["s.t"]


# --- a real project -------------------------------------------------------------------------------

@pytest.mark.skipif(not (TUVA / "manifest.json").is_file(), reason="the Tuva project is not here")
def test_tuva_direct_upstream_fits_a_screen_and_names_both_raw_paid_amounts():
    done = lineage_cli("--dbt", TUVA, "--upstream", "financial_pmpm.pmpm_payer.medical_paid",
                       "--direct-only")
    assert (done.returncode, done.stderr) == (0, "")
    lines = done.stdout.splitlines()
    assert len(lines) <= 40
    assert lines[0].startswith("upstream of tuva.financial_pmpm.pmpm_payer.medical_paid: 19 columns")
    assert [line.split()[0] for line in lines[2:4]] == [
        "tuva.raw_data.raw_data__medical_claim.paid_amount",
        "tuva.raw_data.raw_data__pharmacy_claim.paid_amount"]
    edges = lineage_cli("--dbt", TUVA, "--upstream", "financial_pmpm.pmpm_payer.medical_paid",
                        "--direct-only", "--depth", "2", "--format", "jsonl")
    rows = [json.loads(line) for line in edges.stdout.splitlines()]
    assert {row["type"] for row in rows} == {"DIRECT"} and {row["depth"] for row in rows} == {1, 2}


def test_each_statement_is_parsed_once(tmp_path, monkeypatch):
    from sqlglot.dialects.dialect import Dialect

    from qarvel_lineage import cli

    parsed = []
    real = Dialect.parse
    monkeypatch.setattr(Dialect, "parse", lambda self, sql, **kw: parsed.append(sql) or real(
        self, sql, **kw))
    (tmp_path / "etl.sql").write_text(ETL)
    for args in (["select a from t"], [str(tmp_path / "etl.sql")],
                 [str(tmp_path / "etl.sql"), "--summary"]):
        parsed.clear()
        assert cli.main(["--format", "jsonl", *args], stdin=io.StringIO(), stdout=io.StringIO(),
                        stderr=io.StringIO()) == 0
        assert len(parsed) == len(set(parsed)) == (1 if len(args) == 1 and "select" in args[0] else 3)


@pytest.mark.parametrize("signum, status, how", [(signal.SIGINT, 130, "interrupted"),
                                                 (signal.SIGTERM, 143, "terminated")])
def test_a_signal_while_a_schema_pipe_is_read(tmp_path, signum, status, how):
    schema = tmp_path / "schema.json"
    os.mkfifo(schema)
    child = subprocess.Popen([*LINEAGE_CLI, "--schema", str(schema), "select a from t"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True,
                             preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    try:
        end = open_for_writing(schema, child)  # the command reads it; nothing is written
        child.send_signal(signum)
        out, err = child.communicate(timeout=60)
        os.close(end)
    finally:
        child.kill()
        child.wait()
    assert (child.returncode, out, err) == (status, "", f"{how} while reading the inputs\n")


def test_chains_are_at_most_depth_hops_long(tmp_path):
    # a.x feeds b.x directly and through c.x: b.x is one hop away, and two.
    (tmp_path / "s.sql").write_text("insert into c (x) select x from a;\n"
                                    "insert into b (x) select a.x + c.x from a join c on true;\n"
                                    "insert into d (x) select x from b;\n")
    done = lineage_cli("s.sql", "--downstream", "a.x", "--depth", "2", "--chains", "--limit", "0",
                       cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (
        "a.x -> b.x (TRANSFORMATION, s.sql#2) -> d.x (IDENTITY, s.sql#3)\n"
        "a.x -> c.x (IDENTITY, s.sql#1) -> b.x (TRANSFORMATION, s.sql#2)\n")


def test_a_procedure_body_is_read_as_statements_of_the_script(tmp_path):
    """The command analyses a script as the library does: a procedure's
    body is statements of the script, its END no statement of its own."""
    (tmp_path / "proc.sql").write_text(
        "CREATE PROCEDURE p AS BEGIN INSERT INTO tab2 (col1) SELECT col1 FROM tab1; END;\n"
        "select col1 from tab2;\n")
    done = lineage_cli("proc.sql", "--dialect", "tsql", "--format", "jsonl", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert [(r["statement"], r["target_table"], r["column"], r["source_table"], r["source_column"])
            for r in map(json.loads, done.stdout.splitlines()) if r["type"] == "DIRECT"] == [
        (2, "tab2", "col1", "tab1", "col1"), (3, None, "col1", "tab2", "col1")]
    graph = lineage_cli("proc.sql", "--dialect", "tsql", "--downstream", "tab1.col1",
                        "--format", "jsonl", cwd=tmp_path)
    assert [(r["source"], r["target"]) for r in map(json.loads, graph.stdout.splitlines())] == [
        ("tab1.col1", "tab2.col1"), ("tab2.col1", '"proc.sql#3".col1')]
