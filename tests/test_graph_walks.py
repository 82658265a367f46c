"""The lineage graph's answers: one identity per column, replacement by
name, look-ups in any case and script, and walks on long chains and cycles."""

import multiprocessing

import pytest

import qarvel_lineage as q
from qarvel_lineage.dbt import project_lineage
from qarvel_lineage.graph import Edge, Graph

import graph_tasks
from helpers import TUVA


def of(*statements, name="log"):
    return Graph().add_many(q.analyze_many(list(statements)), name=name)


def hops(edges):
    return [(e.source, e.target, e.statement) for e in edges]


def answered(tmp_path, graph, question, *args, seconds=120):
    """``question`` asked of ``graph`` saved, in a process of its own that
    must answer within ``seconds`` (a guard against a hang, not a timing)."""
    path = tmp_path / "asked.db"
    if not path.exists():
        graph.save(path)
    context = multiprocessing.get_context("spawn")
    answers = context.Queue()
    worker = context.Process(target=graph_tasks.ask, args=(str(path), question, args, answers))
    worker.start()
    try:
        return answers.get(timeout=seconds)
    finally:
        worker.kill()
        worker.join()


# --- 5, 6: adding under a name replaces everything it made ------------------------------

def test_adding_a_name_again_replaces_all_it_made_and_nodes_nothing_holds_go():
    graph = Graph().add(q.analyze_script("insert into b (x) select x from a;\n"
                                         "insert into c (x) select x from b"), name="etl.sql")
    graph.add(q.analyze_script("insert into b (x) select x from a"), name="etl.sql")
    assert hops(graph.edges()) == [("a.x", "b.x", "etl.sql#1")]
    with pytest.raises(KeyError, match="no column 'c.x' in the graph"):
        graph.column("c.x")

    log = list(q.analyze_many(["insert into b (x) select x from a",
                               "insert into c (x) select x from b"]))
    graph.add_many(log, name="log")
    assert hops(graph.downstream("b.x")) == [("b.x", "c.x", "log#2")]
    broken = list(q.analyze_many(["insert into b (x) select x from a", "insert into c (x) select ((("]))
    assert isinstance(broken[1], Exception)
    graph.add_many(broken, name="log")
    assert hops(graph.edges()) == [("a.x", "b.x", "etl.sql#1"), ("a.x", "b.x", "log#1")]

    graph.add(q.analyze("insert into m1.t (a) select a from s"), name="load.sql")
    graph.add(q.analyze("insert into m2.t (a) select a from s"), name="load.sql")
    assert graph.column("t.a") == "m2.t.a"
    with pytest.raises(KeyError, match="no column 'm1.t.a' in the graph"):
        graph.column("m1.t.a")
    assert graph.summary() == {"sources": ["a", "s"], "intermediates": [], "targets": ["b", "m2.t"]}


# --- 7: a column is its parts ---------------------------------------------------------------

def test_a_column_is_its_parts_and_a_dotted_part_is_quoted():
    graph = Graph().add(q.analyze('insert into s.t select x as "a.b" from src.x'), name="one")
    assert graph.summary() == {"sources": ["src.x"], "intermediates": [], "targets": ["s.t"]}
    assert graph.edges() == [Edge("src.x.x", 's.t."a.b"', "DIRECT", "IDENTITY", "one", 1,
                                  (None, "src", "x", "x"), (None, "s", "t", "a.b"))]
    graph.add(q.analyze("insert into s.t.a select b from src.y"), name="two")
    graph.add(q.analyze('insert into s."t.a" select b from "src.y".z'), name="three")
    assert graph.summary() == {"sources": ["\"src.y\".z", "src.x", "src.y"], "intermediates": [],
                               "targets": ['s."t.a"', "s.t", "s.t.a"]}
    assert [(e.target, e.target_parts) for e in graph.edges()] == [
        ('s."t.a".b', (None, "s", "t.a", "b")), ('s.t."a.b"', (None, "s", "t", "a.b")),
        ("s.t.a.b", ("s", "t", "a", "b"))]
    for asked in ('s.t."a.b"', 'T."A.B"', '"a.b"'):
        assert graph.column(asked) == 's.t."a.b"'
    assert graph.column("s.t.a.b") == "s.t.a.b"   # as displayed, before any other reading
    with pytest.raises(KeyError) as ambiguous:
        graph.column("S.T.A.B")
    assert ambiguous.value.args == ("'S.T.A.B' names 3 columns: s.\"t.a\".b, s.t.\"a.b\", s.t.a.b",)
    assert graph.places(['s.t."a.b"', "s.t.a.b", 's."t.a".b']) == {
        's.t."a.b"': ("s.t", "a.b"), "s.t.a.b": ("s.t.a", "b"), 's."t.a".b': ('s."t.a"', "b")}
    assert graph.upstream_tables('s."t.a"') == ['"src.y".z']
    assert hops(graph.upstream('"t.a".b')) == [('"src.y".z.b', 's."t.a".b', "three")]


# --- 8, 9: look-ups are literal and fold case for every script --------------------------

def test_table_look_ups_take_names_literally_in_any_case_and_script():
    graph = of("insert into s.axb (v) select v from raw.x", 'insert into "Über" ("Straße") '
               'select "Straße" from raw."Über"')
    with pytest.raises(KeyError, match="no table 'a_b' in the graph"):
        graph.upstream_tables("a_b")
    with pytest.raises(KeyError, match="no table 'a%b' in the graph"):
        graph.downstream_tables("a%b")
    with pytest.raises(KeyError, match="no column 'axb.%' in the graph"):
        graph.column("axb.%")
    graph.add(q.analyze("insert into s.a_b (v) select v from raw.y"), name="y")
    assert graph.upstream_tables("A_B") == ["raw.y"]
    assert graph.upstream_tables("über") == graph.upstream_tables("ÜBER") == ["raw.Über"]
    assert graph.downstream_tables("RAW.über") == ["Über"]
    assert graph.column("über.STRASSE") == graph.column("ÜBER.straße") == "Über.Straße"
    assert hops(graph.downstream("raw.über.strasse")) == [("raw.Über.Straße", "Über.Straße", "log#2")]


# --- 10: paths, shortest first ---------------------------------------------------------

def test_paths_come_shortest_first_among_two_to_the_thirty():
    graph = of(*(f"insert into d{i + 1} (a, b) select a + b, a - b from d{i}" for i in range(30)),
               "insert into d30 (a) select a from d0")
    found = graph.paths("D0.a", "d30.a", limit=3)
    assert [len(path) for path in found] == [1, 30, 30]
    assert found[0] == [Edge("d0.a", "d30.a", "DIRECT", "IDENTITY", "log#31", 1,
                             (None, None, "d0", "a"), (None, None, "d30", "a"))]
    assert [e.target for e in found[1]] == [f"d{i}.a" for i in range(1, 31)]
    assert [e.target for e in found[2]] == [f"d{i}.a" for i in range(1, 29)] + ["d29.b", "d30.a"]
    assert [e.depth for e in found[2]] == list(range(1, 31))
    assert graph.paths("d30.a", "d0.a") == [] and graph.paths("d0.a", "d0.a") == []
    with pytest.raises(ValueError, match="limit must be 1 or more"):
        graph.paths("d0.a", "d30.a", limit=0)


def test_direct_only_walks_follow_direct_edges_alone():
    graph = of("insert into b (x, y) select x, y from a where f > 0",
               "insert into c (z) select x from b where y > 0")
    assert hops(graph.upstream("c.z", direct_only=True)) == [("b.x", "c.z", "log#2"),
                                                              ("a.x", "b.x", "log#1")]
    assert hops(graph.downstream("a.f")) == [("a.f", "b.x", "log#1"), ("a.f", "b.y", "log#1"),
                                             ("b.x", "c.z", "log#2"), ("b.y", "c.z", "log#2")]
    assert graph.downstream("a.f", direct_only=True) == []
    assert list(graph.impact("a.y", direct_only=True)) == ["b.y"]
    assert [[e.type for e in p] for p in graph.paths("a.f", "c.z")] == [
        ["INDIRECT", "DIRECT"], ["INDIRECT", "INDIRECT"]]
    assert graph.paths("a.f", "c.z", direct_only=True) == []


# --- 11: a table the project writes is never a source ------------------------------------

def test_a_table_written_from_constants_is_not_a_source():
    graph = of("create table c as select 1 as x", "insert into d (x) select x from c",
               "create table k as select 2 as y")
    assert graph.summary() == {"sources": [], "intermediates": ["c"], "targets": ["d", "k"]}
    with pytest.raises(KeyError, match="no column 'k.y' in the graph"):   # no edge holds it
        graph.column("k.y")
    assert repr(graph) == "<Graph 2 columns, 1 edges>"
    graph.add_many([], name="log")
    assert graph.summary() == {"sources": [], "intermediates": [], "targets": []}


# --- 12, 13: long chains and cycles ----------------------------------------------------------

def test_a_chain_of_1200_hops_is_walked_without_recursion():
    graph = of(*(f"insert into c{i + 1} (a) select a from c{i}" for i in range(1200)))
    up = graph.upstream("c1200.a")
    assert [(e.source, e.depth) for e in up[:2] + up[-1:]] == [
        ("c1199.a", 1), ("c1198.a", 2), ("c0.a", 1200)]
    [path] = graph.paths("c0.a", "c1200.a")
    assert hops(path[:1] + path[-1:]) == [("c0.a", "c1.a", "log#1"), ("c1199.a", "c1200.a",
                                                                      "log#1200")]
    assert [e.depth for e in path] == list(range(1, 1201))
    impact = graph.impact("c0.a")
    assert len(impact) == 1200 and impact["c1200.a"] == path
    assert graph.upstream_tables("c1200")[-1] == "c0"
    summary = graph.summary()
    assert (summary["sources"], summary["targets"], len(summary["intermediates"])) == (
        ["c0"], ["c1200"], 1199)


def test_cycles_are_walked_once(tmp_path):
    columns = [f"c{i}" for i in range(1, 12)]
    every = " + ".join(columns)
    graph = of(f"insert into t ({', '.join(columns)}) select {', '.join([every] * 11)} from t",
               "insert into y (v) select c1 from t")
    # Eleven columns each fed by all eleven: the only simple path to y.v is one hop.
    assert [hops(path) for path in answered(tmp_path, graph, "paths", "t.c1", "y.v")] == [
        [("t.c1", "y.v", "log#2")]]
    shortest = graph.paths("t.c1", "t.c11", limit=12)
    assert [len(path) for path in shortest] == [1] + [2] * 9 + [3] * 2
    assert [e.target for e in shortest[1]] == ["t.c10", "t.c11"]
    assert hops(graph.upstream("t.c1", depth=1)) == [(f"t.{c}", "t.c1", "log#1")
                                                     for c in sorted(columns)]


def test_a_cycle_among_many_columns_is_not_repeated_at_every_depth(tmp_path):
    # Sixty columns each fed by all sixty, in a graph of 100,000 more columns.
    columns = [f"c{i}" for i in range(60)]
    every = " + ".join(columns)
    graph = of(f"insert into t ({', '.join(columns)}) select {', '.join([every] * 60)} from t",
               *(f"insert into x{i} (a) select a from y{i}" for i in range(50_000)))
    up = answered(tmp_path, graph, "upstream", "t.c0", seconds=60)
    assert len(up) == 3600 and [e.depth for e in up].count(1) == 60
    assert {e.depth for e in up} == {1, 2}
    assert len(graph.impact("t.c5")) == 59




@pytest.mark.skipif(not TUVA.is_dir(), reason="the built Tuva project is not beside the project")
def test_no_table_the_tuva_project_writes_is_a_source():
    project = project_lineage(TUVA)
    graph = Graph().add(project)
    written = {str(result.target) for result in project.models.values()
               if isinstance(result, q.LineageResult) and result.target is not None}
    summary = graph.summary()
    assert written & set(summary["sources"]) == set()
    [condition] = [table for table in written if table.endswith("input_layer.condition")]
    assert condition in summary["intermediates"]
