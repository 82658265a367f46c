"""A small dbt project written by hand, as a stranger or a new user gives
it to the command: where its seeds are read from, names holding control
characters, a model that fails with --traceback, --metadata, a selection
that matches nothing, and a model named by its relation."""

import json
import re

import pytest

from qarvel_lineage.dbt import project_lineage

from helpers import lineage_cli


def node(kind, name, relation, sql=None, parents=(), **more):
    found = {"resource_type": kind, "name": name, "package_name": "p", "fqn": ["p", name],
             "relation_name": relation, "depends_on": {"nodes": list(parents)},
             "original_file_path": f"models/{name}.sql", **more}
    if sql is not None:
        found["compiled_code"] = sql
    return found


def manifest(nodes):
    return {"metadata": {"adapter_type": "duckdb", "project_name": "p"}, "nodes": nodes,
            "sources": {}, "exposures": {}}


def shop_nodes():
    """A seed, a model over it, and a mart over that with one described,
    typed and tested column."""
    return {
        "seed.p.raw": node("seed", "raw", "main.raw", original_file_path="seeds/raw.csv"),
        "model.p.stg": node("model", "stg", "main.stg", "select id, amount from main.raw",
                            ["seed.p.raw"]),
        "model.p.fin__payer": node(
            "model", "fin__payer", '"db"."fin"."payer"',
            "select id, amount * 2 as paid from main.stg", ["model.p.stg"],
            columns={"paid": {"name": "paid", "description": "what was paid",
                              "data_type": "double"}}),
        "test.p.not_null_paid": {"resource_type": "test", "name": "not_null_paid",
                                 "package_name": "p", "column_name": "paid",
                                 "attached_node": "model.p.fin__payer",
                                 "test_metadata": {"name": "not_null"},
                                 "depends_on": {"nodes": ["model.p.fin__payer"]}},
    }


@pytest.fixture
def project(tmp_path):
    """The project's folder: dbt_project.yml, seeds/raw.csv, target/manifest.json."""
    folder = tmp_path / "proj"
    (folder / "target").mkdir(parents=True)
    (folder / "seeds").mkdir()
    (folder / "dbt_project.yml").write_text("name: p\n")
    (folder / "seeds" / "raw.csv").write_text("id,amount\n1,2\n")
    (folder / "target" / "manifest.json").write_text(json.dumps(manifest(shop_nodes())))
    return folder


def jsonl(text):
    return [json.loads(line) for line in text.splitlines()]


# --- 12: nothing above the folder named is read ----------------------------------------------

def test_a_manifest_alone_in_a_folder_reads_no_file_above_it(tmp_path):
    home = tmp_path / "home"
    downloads = home / "Downloads"
    downloads.mkdir(parents=True)
    (home / ".netrc").write_text("machine example.com login me password hunter2\n")
    nodes = {"seed.p.creds": node("seed", "creds", "main.creds", original_file_path=".netrc"),
             "model.p.m": node("model", "m", "main.m", "select * from main.creds",
                               ["seed.p.creds"])}
    (downloads / "manifest.json").write_text(json.dumps(manifest(nodes)))
    done = lineage_cli("--dbt", downloads, "--format", "jsonl")
    assert "hunter2" not in done.stdout + done.stderr
    assert done.stderr == ("manifest.json: 1 seed's CSV is not read: name the project's folder "
                           "(the one holding dbt_project.yml) to have seed headers read\n")
    # Named by its manifest, the same.
    alone = project_lineage(downloads / "manifest.json")
    assert "hunter2" not in json.dumps(alone.to_dicts())


def test_a_seed_is_read_when_the_project_folder_is_named(project):
    named = project_lineage(project)
    assert named.warnings == []
    assert [c.name for c in named.columns_of("stg")] == ["id", "amount"]
    # Its target folder named alone: the seed's CSV (above it) is not read.
    target = project_lineage(project / "target")
    assert target.warnings == ["manifest.json: 1 seed's CSV is not read: name the project's "
                               "folder (the one holding dbt_project.yml) to have seed headers "
                               "read"]


# --- 13: names in messages are one line, control characters escaped ----------------------------

def test_control_characters_in_names_never_reach_the_terminal_raw(project):
    nodes = shop_nodes()
    forged = "model.p.x\nsqlglot-main: all good\x1b[2K"
    nodes[forged] = node("model", "x", "main.x", "select from where (", ["model.p.stg"])
    nodes["seed.p.y\r\x1b]0;title\x07"] = {"resource_type": "seed", "depends_on": "oops"}
    (project / "target" / "manifest.json").write_text(json.dumps(manifest(nodes)))
    done = lineage_cli("--dbt", project, "--format", "jsonl")
    assert done.returncode == 1
    assert "\x1b" not in done.stderr and "\r" not in done.stderr and "\x07" not in done.stderr
    lines = done.stderr.splitlines()
    assert len(lines) == 2
    assert lines[0].startswith("manifest.json: seed.p.y \\x1b]0;title\\x07: depends_on is a str")
    assert lines[1].startswith("model.p.x\\nsqlglot-main: all good\\x1b[2K: ParseError: ")


# --- 17: --traceback on every command that analyses a project -----------------------------------

@pytest.mark.parametrize("question", [["--summary"], ["--upstream", "payer.paid"], ["--graph", "g.db"],
                                      ["diff"]],
                         ids=["summary", "upstream", "graph", "diff"])
def test_traceback_is_honoured_with_a_model_that_fails(project, tmp_path, question):
    nodes = shop_nodes()
    nodes["model.p.bad"] = node("model", "bad", "main.bad", "select from where (",
                                ["model.p.stg"])
    (project / "target" / "manifest.json").write_text(json.dumps(manifest(nodes)))
    if question == ["diff"]:
        args = ["diff", project, project, "--traceback"]
    else:
        args = ["--dbt", project, *question, "--traceback"]
    done = lineage_cli(*args, cwd=tmp_path)
    assert done.returncode == 1
    assert re.search(r"model\.p\.bad: ParseError: .*\nTraceback \(most recent call last\):\n",
                     done.stderr), done.stderr
    plain = lineage_cli(*[a for a in args if a != "--traceback"], cwd=tmp_path)
    assert "Traceback" not in plain.stderr


# --- 19: --metadata -----------------------------------------------------------------------------

def test_metadata_adds_description_type_and_tests_to_the_rows(project):
    done = lineage_cli("--dbt", project, "--select", "fin__payer", "--format", "jsonl",
                       "--metadata")
    assert (done.returncode, done.stderr) == (0, "")
    rows = jsonl(done.stdout)
    assert [(r["column"], r["source_table"], r["source_column"], r["description"],
             r["data_type"], r["tests"]) for r in rows] == [
        ("id", "raw", "id", "", "", []),
        ("paid", "raw", "amount", "what was paid", "double", ["not_null"])]
    table = lineage_cli("--dbt", project, "--select", "fin__payer", "--format", "csv",
                        "--metadata")
    lines = table.stdout.splitlines()
    assert lines[0].endswith(",description,data_type,tests")
    assert lines[2].endswith(",what was paid,double,not_null")
    array = lineage_cli("--dbt", project, "--select", "fin__payer", "--format", "json",
                        "--metadata")
    assert json.loads(array.stdout) == rows
    # Without it, the rows are as before.
    assert "description" not in lineage_cli("--dbt", project, "--format", "jsonl").stdout


@pytest.mark.parametrize("args", [["--format", "table"], ["--summary", "--format", "jsonl"],
                                  ["--format", "html"], ["--graph", "g.db"]])
def test_metadata_elsewhere_is_a_usage_error(project, tmp_path, args):
    done = lineage_cli("--dbt", project, "--metadata", *args, cwd=tmp_path)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.splitlines()[-1] == (
        "sqlglot-main: error: --metadata is for the rows of --dbt in --format json, jsonl, csv")
    assert not (tmp_path / "g.db").exists()


# --- 20: a selection that matches nothing -------------------------------------------------------

def test_a_selection_that_matches_nothing_says_so(project):
    done = lineage_cli("--dbt", project, "--select", "nothing_here", "tag:none",
                       "--format", "json")
    assert (done.returncode, done.stdout) == (0, "[]\n")
    assert done.stderr == ("select 'nothing_here' matches no node\n"
                           "select 'tag:none' matches no node\n")
    excluded = lineage_cli("--dbt", project, "--exclude", "gone+", "--summary")
    assert excluded.stderr == "exclude 'gone+' matches no node\n"


@pytest.mark.parametrize("selector", ["fin.payer", "payer", "db.fin.payer", "FIN.Payer"])
def test_a_selection_by_the_relation_name_takes_the_one_model(project, selector):
    done = lineage_cli("--dbt", project, "--select", selector, "--format", "jsonl")
    assert done.returncode == 0
    assert {r["input"] for r in jsonl(done.stdout)} == {"model.p.fin__payer"}
    assert done.stderr == (f"select {selector!r} names no node; taken as the relation of "
                           "model.p.fin__payer\n")


def test_a_relation_name_two_nodes_share_selects_nothing(project):
    nodes = shop_nodes()
    nodes["model.p.other"] = node("model", "other", '"db2"."fin"."payer"', "select 1 as a")
    (project / "target" / "manifest.json").write_text(json.dumps(manifest(nodes)))
    done = lineage_cli("--dbt", project, "--select", "fin.payer", "--format", "json")
    assert (done.stdout, done.stderr) == (
        "[]\n", "select 'fin.payer' matches no node (its relation's name fits 2 nodes)\n")


# --- 21: the Python API takes a model's relation name -----------------------------------------

def test_a_column_is_found_by_its_relation_name(project):
    lineage = project_lineage(project)
    by_id = lineage.column("model.p.fin__payer", "paid")
    for name in ("fin.payer.paid", "db.fin.payer.paid", "fin__payer.paid", "FIN.PAYER.paid"):
        assert lineage.column(name) == by_id, name
    assert lineage.column("fin.payer", "paid") == by_id
    assert [c.name for c in lineage.columns_of("fin.payer")] == ["id", "paid"]
    with pytest.raises(KeyError, match="no model named 'nope.payer'"):
        lineage.column("nope.payer.paid")
