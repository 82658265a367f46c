"""Every flag of the session in every mode: --jobs, --traceback, the
progress bar, --encoding and --max-input-bytes with the graph questions,
diff and dbt projects (tests/dbt_shop, built with dbt)."""

import io
import json
import re
import subprocess

import pytest
import qarvel_lineage.batch.pool
from helpers import LINEAGE_CLI, lineage_cli
from qarvel_lineage import cli
from test_dbt import RAW, shop  # noqa: F401  (the built project, a fixture)

FORMATS = ("table", "json", "jsonl", "csv", "dot", "openlineage", "html")


class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_the_progress_bar_of_a_graph_question():
    inputs = [f"insert into t{n + 1} (a) select a from t{n}" for n in range(25)]
    out, err = io.StringIO(), Terminal()
    assert cli.main(["--downstream", "t0.a", "--format", "jsonl", *inputs], stdin=io.StringIO(),
                    stdout=out, stderr=err) == 0
    states = [state for state in err.getvalue().split("\r") if state]
    assert states[0] == "  0%|          | 0/25 [00:00<?, ?input/s]"
    assert re.fullmatch(r"100%\|#+\| 25/25 \[\d\d:\d\d<00:00, +[\d.]+input/s, 25 statements\]\n",
                        states[-1]), states[-1]
    assert len(out.getvalue().splitlines()) == 25


@pytest.mark.parametrize("asked", [["--summary"], ["diff"]])
def test_traceback_with_the_graph_questions_and_diff(tmp_path, asked):
    (tmp_path / "bad.sql").write_text("select from where")
    args = [*asked, "bad.sql", "bad.sql"] if asked == ["diff"] else ["bad.sql", *asked]
    plain = lineage_cli(*args, cwd=tmp_path)
    shown = lineage_cli(*args, "--traceback", cwd=tmp_path)
    assert plain.returncode == shown.returncode == 1
    assert plain.stderr.startswith("bad.sql: statement 1 (line 1): ParseError: ")
    assert "Traceback" not in plain.stderr
    assert "Traceback (most recent call last):" in shown.stderr


def test_encoding_and_size_limit_reach_diff_and_the_graph(tmp_path):
    (tmp_path / "old.sql").write_bytes("insert into t (é) select é from s".encode("latin-1"))
    (tmp_path / "new.sql").write_bytes("insert into t (é) select ü from s".encode("latin-1"))
    plain = lineage_cli("diff", "old.sql", "new.sql", cwd=tmp_path)
    assert plain.returncode == 1 and "UnicodeDecodeError" in plain.stderr
    done = lineage_cli("diff", "old.sql", "new.sql", "--encoding", "latin-1", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.splitlines()[1:] == ["~ t.é: expression changed: é -> ü",
                                            "- s.é -> t.é (DIRECT IDENTITY)",
                                            "+ s.ü -> t.é (DIRECT IDENTITY)"]
    asked = lineage_cli("--upstream", "t.é", "--encoding", "latin-1", "--format", "jsonl",
                        "new.sql", cwd=tmp_path)
    assert [json.loads(line)["source"] for line in asked.stdout.splitlines()] == ["s.ü"]
    limited = subprocess.run([*LINEAGE_CLI, "--summary", "--max-input-bytes", "10", "-"],
                             input="select a from t", capture_output=True, text=True, timeout=120)
    assert limited.returncode == 1
    assert limited.stderr == "stdin: larger than --max-input-bytes (10 bytes); not analysed\n"


def test_diff_on_two_jobs_gives_what_one_gives(tmp_path):
    for side, extra in (("old", ""), ("new", " where b > 0")):
        (tmp_path / side).mkdir()
        for number in range(30):
            (tmp_path / side / f"q{number:02d}.sql").write_text(
                f"insert into t{number} (a) select a from s{number}{extra if number % 2 else ''}")
    one = lineage_cli("diff", "old", "new", "--format", "jsonl", cwd=tmp_path)
    two = lineage_cli("diff", "old", "new", "--format", "jsonl", "--jobs", "2", cwd=tmp_path)
    assert (one.returncode, one.stderr) == (0, "")
    # Each of 15 statements: its rows changed, and an edge added.
    assert len(one.stdout.splitlines()) == 30
    assert (two.returncode, two.stdout, two.stderr) == (0, one.stdout, "")


# --- a dbt project ------------------------------------------------------------------------------

@pytest.mark.parametrize("fmt", FORMATS)
def test_dbt_walks_honour_direct_only_depth_and_jobs(shop, fmt):  # noqa: F811
    asked = ["--dbt", shop, "--upstream", "customers.lifetime_value", "--format", fmt]
    full = lineage_cli(*asked)
    direct = lineage_cli(*asked, "--direct-only")
    near = lineage_cli(*asked, "--depth", "1", "--jobs", "2")
    for done in (full, direct, near):
        assert (done.returncode, done.stderr) == (0, ""), fmt
    assert direct.stdout != full.stdout and near.stdout != full.stdout
    if fmt == "jsonl":
        assert {json.loads(line)["type"] for line in direct.stdout.splitlines()} == {"DIRECT"}
        assert {json.loads(line)["depth"] for line in near.stdout.splitlines()} == {1}
        assert [json.loads(line)["source"] for line in direct.stdout.splitlines()][-1] == (
            RAW + "raw_payments.amount")
    if fmt == "table":
        assert direct.stdout.splitlines()[1:3] == [
            "DIRECT (1):", f"  {RAW}raw_payments.amount  3 hops, nearest: DIRECT TRANSFORMATION "
                           "in model.shop.stg_payments"]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_the_progress_bar_of_a_dbt_project(shop, jobs, monkeypatch):  # noqa: F811
    for name in ("WORTH_STARTING", "LOCAL_SLICE", "CHUNK_TIME"):
        # The workers start for however little work, and take one model at a time.
        monkeypatch.setattr(qarvel_lineage.batch.pool, name, 0.0)
    out, err = io.StringIO(), Terminal()
    assert cli.main(["--dbt", str(shop), "--format", "jsonl", "--jobs", jobs],
                    stdin=io.StringIO(), stdout=out, stderr=err) == 0
    states = [state for state in err.getvalue().split("\r") if state]
    assert states[0] == "  0%|          | 0/12 [00:00<?, ?model/s]"
    assert re.fullmatch(r"100%\|#+\| 12/12 \[\d\d:\d\d<00:00, +[\d.]+model/s\]\n", states[-1]), \
        states[-1]
    plain = lineage_cli("--dbt", shop, "--format", "jsonl")
    assert (plain.returncode, plain.stderr, plain.stdout) == (0, "", out.getvalue())


@pytest.mark.parametrize("fmt", ["json", "jsonl", "csv", "openlineage", "table"])
def test_dbt_rows_honour_direct_only_and_jobs(shop, fmt):  # noqa: F811
    one = lineage_cli("--dbt", shop, "--format", fmt)
    two = lineage_cli("--dbt", shop, "--format", fmt, "--jobs", "2")
    direct = lineage_cli("--dbt", shop, "--format", fmt, "--direct-only")
    assert (one.returncode, one.stderr) == (0, "")
    assert (two.returncode, two.stdout, two.stderr) == (0, one.stdout, "")
    assert direct.returncode == 0 and ("INDIRECT" in one.stdout or fmt == "table")
    if fmt == "table":
        assert "every column also depends on" not in direct.stdout
    else:
        assert "INDIRECT" not in direct.stdout


def test_dbt_shared_influences_are_written_once_per_model(shop):  # noqa: F811
    rows = [json.loads(line) for line in lineage_cli("--dbt", shop, "--format", "jsonl").stdout.splitlines()]
    mart = [r for r in rows if r["input"] == "model.shop.customers"]
    assert sorted(f"{r['source_db'] and 'shop.main.'}{r['source_table']}.{r['source_column']} "
                  f"{r['subtype']}" for r in mart if r["column"] == "*") == [
        RAW + "raw_customers.id JOIN", RAW + "raw_orders.id JOIN", RAW + "raw_orders.status FILTER",
        RAW + "raw_orders.user_id GROUP_BY", RAW + "raw_orders.user_id JOIN",
        RAW + "raw_payments.order_id GROUP_BY", RAW + "raw_payments.order_id JOIN"]
    assert [r["source_column"] for r in mart if r["column"] == "value_rank" and r["type"] == "INDIRECT"] \
        == ["amount"]


def test_dbt_summary_and_select_without_a_dbt_that_picks(shop):  # noqa: F811
    done = lineage_cli("--dbt", shop, "--summary")
    assert done.returncode == 0
    lines = done.stdout.splitlines()
    targets = next(n for n, line in enumerate(lines) if line.startswith("targets ("))
    assert f"  {RAW}customers " in "\n".join(lines[targets:]) + " "
    import inspect

    from qarvel_lineage.dbt import project_lineage

    if "select" not in inspect.signature(project_lineage).parameters:
        refused = lineage_cli("--dbt", shop, "--select", "customers")
        assert refused.returncode == 2 and refused.stdout == ""
