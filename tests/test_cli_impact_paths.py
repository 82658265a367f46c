"""`impact` and `paths` on the command line: every format, the caps and
the lines that say how to get more, and what is refused."""

import json

import pytest

from helpers import lineage_cli

CHAIN = """insert into t2 select t1.a as a, t1.b as b from t1;
insert into t3 select t2.a as a, t2.a + t2.b as c from t2;
insert into t4 select t3.c as c, t3.a as d from t3;
"""
# Two paths from t1.a to t3.c.
FORK = """insert into t2 select t1.a as a, t1.a as b from t1;
insert into t3 select t2.a + t2.b as c from t2;
"""


@pytest.fixture
def chain(tmp_path, monkeypatch):
    """The script, named as the statements show it (run where it lies)."""
    (tmp_path / "s.sql").write_text(CHAIN)
    monkeypatch.chdir(tmp_path)
    return "s.sql"


@pytest.fixture
def fork(tmp_path, monkeypatch):
    (tmp_path / "p.sql").write_text(FORK)
    monkeypatch.chdir(tmp_path)
    return "p.sql"


def run(*args):
    done = lineage_cli(*args)
    assert done.returncode == 0, done.stderr
    return done


IMPACT_TABLE = """impact of t1.a: 5 columns, each by a shortest path:
  t2.a: 1 hop: t1.a -> t2.a (IDENTITY, s.sql#1)
  t3.a: 2 hops: t1.a -> t2.a (IDENTITY, s.sql#1) -> t3.a (IDENTITY, s.sql#2)
  t3.c: 2 hops: t1.a -> t2.a (IDENTITY, s.sql#1) -> t3.c (TRANSFORMATION, s.sql#2)
  t4.c: 3 hops: t1.a -> t2.a (IDENTITY, s.sql#1) -> t3.c (TRANSFORMATION, s.sql#2) -> t4.c (IDENTITY, s.sql#3)
  t4.d: 3 hops: t1.a -> t2.a (IDENTITY, s.sql#1) -> t3.a (IDENTITY, s.sql#2) -> t4.d (IDENTITY, s.sql#3)
"""


def test_impact_in_the_table_form_and_capped(chain):
    assert run(chain, "--impact", "t1.a").stdout == IMPACT_TABLE
    assert run("impact", "t1.a", chain).stdout == IMPACT_TABLE
    assert run(chain, "--impact", "t1.a", "--limit", "2").stdout == "".join(
        IMPACT_TABLE.splitlines(keepends=True)[:3]) + (
        "... 3 more columns; --limit 0 lists them all, --format jsonl writes every path\n")
    assert run(chain, "--impact", "t1.a", "--limit", "0").stdout == IMPACT_TABLE
    assert run(chain, "--impact", "t4.c").stdout == "t4.c: nothing downstream\n"


def test_impact_as_records_and_drawings(chain):
    rows = [json.loads(line) for line in run(chain, "--impact", "t1.a", "--format",
                                             "jsonl").stdout.splitlines()]
    assert [(r["column"], r["hops"], r["depth"], r["source"], r["target"], r["subtype"])
            for r in rows if r["column"] in ("t2.a", "t4.d")] == [
        ("t2.a", 1, 1, "t1.a", "t2.a", "IDENTITY"),
        ("t4.d", 3, 1, "t1.a", "t2.a", "IDENTITY"),
        ("t4.d", 3, 2, "t2.a", "t3.a", "IDENTITY"),
        ("t4.d", 3, 3, "t3.a", "t4.d", "IDENTITY")]
    assert len(rows) == 11
    assert json.loads(run(chain, "--impact", "t1.a", "--format", "json").stdout) == rows
    csv = run(chain, "--impact", "t1.a", "--format", "csv").stdout.splitlines()
    assert csv[:2] == ["column,hops,depth,source,target,type,subtype,statement",
                       "t2.a,1,1,t1.a,t2.a,DIRECT,IDENTITY,s.sql#1"]
    assert len(csv) == 12
    assert run(chain, "--impact", "t1.a", "--format", "dot").stdout == """digraph lineage {
  rankdir=LR;
  node [shape=box, fontname=Helvetica];
  edge [fontname=Helvetica, fontsize=9];
  "t1.a" -> "t2.a" [style=solid, label="identity"];
  "t2.a" -> "t3.a" [style=solid, label="identity"];
  "t2.a" -> "t3.c" [style=solid, label="transformation"];
  "t3.a" -> "t4.d" [style=solid, label="identity"];
  "t3.c" -> "t4.c" [style=solid, label="identity"];
}
"""
    datasets = [json.loads(line) for line in run(chain, "--impact", "t1.a", "--format",
                                                 "openlineage").stdout.splitlines()]
    assert [(d["name"], sorted(d["facets"]["columnLineage"]["fields"])) for d in datasets] == [
        ("t2", ["a"]), ("t3", ["a", "c"]), ("t4", ["c", "d"])]
    page = run(chain, "--impact", "t1.a", "--format", "html").stdout
    assert "<title>Column lineage: impact of t1.a</title>" in page


def test_paths_in_every_format(fork):
    assert run(fork, "--paths", "t1.a", "t3.c").stdout == (
        "paths from t1.a to t3.c: 2 paths\n"
        "t1.a -> t2.a (IDENTITY, p.sql#1) -> t3.c (TRANSFORMATION, p.sql#2)\n"
        "t1.a -> t2.b (IDENTITY, p.sql#1) -> t3.c (TRANSFORMATION, p.sql#2)\n")
    assert run("paths", "t1.a", "t3.c", fork, "--format", "csv").stdout == (
        "path,depth,source,target,type,subtype,statement\n"
        "1,1,t1.a,t2.a,DIRECT,IDENTITY,p.sql#1\n"
        "1,2,t2.a,t3.c,DIRECT,TRANSFORMATION,p.sql#2\n"
        "2,1,t1.a,t2.b,DIRECT,IDENTITY,p.sql#1\n"
        "2,2,t2.b,t3.c,DIRECT,TRANSFORMATION,p.sql#2\n")
    rows = json.loads(run(fork, "--paths", "t1.a", "t3.c", "--format", "json").stdout)
    assert [(r["path"], r["source"], r["target"]) for r in rows] == [
        (1, "t1.a", "t2.a"), (1, "t2.a", "t3.c"), (2, "t1.a", "t2.b"), (2, "t2.b", "t3.c")]
    dot = run(fork, "--paths", "t1.a", "t3.c", "--format", "dot").stdout
    assert dot.count(" -> ") == 4
    page = run(fork, "--paths", "t1.a", "t3.c", "--format", "html").stdout
    assert "<title>Column lineage: paths from t1.a to t3.c</title>" in page
    datasets = [json.loads(line) for line in run(fork, "--paths", "t1.a", "t3.c", "--format",
                                                 "openlineage").stdout.splitlines()]
    assert [d["name"] for d in datasets] == ["t2", "t3"]
    assert run(fork, "--paths", "t3.c", "t1.a").stdout == "no path from t3.c to t1.a\n"


def test_paths_past_the_limit_say_how_to_get_more(fork):
    done = run(fork, "--paths", "t1.a", "t3.c", "--limit", "1")
    assert done.stdout == (
        "paths from t1.a to t3.c: 1 path\n"
        "t1.a -> t2.a (IDENTITY, p.sql#1) -> t3.c (TRANSFORMATION, p.sql#2)\n"
        "... the first 1 path (the shortest); there are more: --limit 10 shows more\n")
    done = run(fork, "--paths", "t1.a", "t3.c", "--limit", "1", "--format", "jsonl")
    assert len(done.stdout.splitlines()) == 2
    assert done.stderr == ("... the first 1 path (the shortest); there are more: --limit 10 "
                           "shows more\n")
    done = run(fork, "--paths", "t1.a", "t3.c", "--limit", "2", "--format", "jsonl")
    assert len(done.stdout.splitlines()) == 4 and done.stderr == ""


@pytest.mark.parametrize("args, message", [
    (["--paths", "t1.a", "t3.c", "--limit", "0"],
     "--limit must be 1 or more for --paths (there can be very many)"),
    (["--impact", "t1.a", "--depth", "2"], "--depth needs --upstream or --downstream"),
    (["--impact", "t1.a", "--chains"],
     "--chains is for --upstream and --downstream in --format table"),
    (["--impact", "t1.a", "--limit", "3", "--format", "json"],
     "--limit is for --upstream, --downstream, --impact and --summary in --format table, and for "
         "--paths"),
    (["--impact", "t1.a", "--paths", "t1.a", "t3.c"],
     "ask one of --upstream, --downstream, --impact, --paths, --end-to-end and --summary at a "
     "time"),
    (["--paths", "t1.a", "t9.x"], "--paths t1.a t9.x: no column 't9.x' in the graph"),
    (["--impact", "nowhere.x"], "--impact nowhere.x: no column 'nowhere.x' in the graph"),
])
def test_what_impact_and_paths_refuse(fork, args, message):
    done = lineage_cli(fork, *args)
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1] == f"sqlglot-main: error: {message}"


def test_impact_and_paths_from_a_stored_graph(fork, tmp_path):
    graph = tmp_path / "g.db"
    run(fork, "--graph", graph)
    assert run("--graph", graph, "--paths", "t1.a", "t3.c", "--format", "jsonl").stdout == \
        run(fork, "--paths", "t1.a", "t3.c", "--format", "jsonl").stdout
    assert run("--graph", graph, "--impact", "t1.a").stdout == \
        run(fork, "--impact", "t1.a").stdout
