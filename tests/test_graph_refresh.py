"""A stored graph of a dbt project kept up to date: `--dbt T --graph G`
(and Graph.refresh) analyses only what changed, and G then holds what a
fresh build of the changed project holds; an interrupted refresh leaves G
as it was, and refreshes at the same time take turns."""

import json
import shutil
import signal
import sqlite3
import subprocess
import sys
import threading

import pytest

from qarvel_lineage.dbt import project_lineage
from qarvel_lineage.graph import Graph

from helpers import LINEAGE_CLI, lineage_cli
from shop_build import shop  # noqa: F401 (the fixture)

WAIT = 120   # seconds: the longest any step of these tests may take


@pytest.fixture
def project(shop, tmp_path):
    """The built shop's manifest and catalog in a project folder of its own."""
    folder = tmp_path / "project"
    (folder / "target").mkdir(parents=True)
    for name in ("manifest.json", "catalog.json"):
        shutil.copy(shop / "target" / name, folder / "target")
    shutil.copytree(shop / "seeds", folder / "seeds")
    return folder


def edit(folder, name, change):
    path = folder / "target" / name
    data = json.loads(path.read_text())
    change(data)
    path.write_text(json.dumps(data))


def sql_of(manifest, model):
    return manifest["nodes"][f"model.shop.{model}"]["compiled_code"]


def set_sql(model, old, new):
    def change(manifest):
        node = manifest["nodes"][f"model.shop.{model}"]
        assert old in node["compiled_code"]
        node["compiled_code"] = node["compiled_code"].replace(old, new)
    return change


def everything(graph):
    edges = [tuple(edge) for edge in graph.edges()]
    # What pages and servers show beside the edges: descriptions, types, tests, SQL.
    columns = sorted({edge.source for edge in graph.edges()} | {edge.target for edge in graph.edges()})
    return edges, graph.summary(), [graph.details(column) for column in columns]


def fresh(folder):
    graph = Graph()
    graph.add(project_lineage(folder))
    return everything(graph)


def stored(path):
    with Graph.open(path) as graph:
        return everything(graph)


def refresh(folder, path, *more):
    done = lineage_cli("--dbt", folder, "--graph", path, *more)
    assert done.returncode == 0, done.stderr
    return [line for line in done.stderr.splitlines() if line.startswith("refreshed:")], done


def test_each_kind_of_change_refreshes_to_what_a_fresh_build_holds(project, tmp_path):
    path = tmp_path / "g.db"
    first, _ = refresh(project, path)
    assert first == ["refreshed: 12 models re-analysed, 0 unchanged"]
    assert stored(path) == fresh(project)
    again, done = refresh(project, path)
    assert again == ["refreshed: 0 models re-analysed, 12 unchanged"]
    assert done.stdout == ""
    assert stored(path) == fresh(project)

    # The SQL of a model changed, its columns not: it alone.
    edit(project, "manifest.json", set_sql("stg_orders", "status\n", "upper(status) as status\n"))
    assert refresh(project, path)[0] == ["refreshed: 1 models re-analysed, 11 unchanged"]
    assert stored(path) == fresh(project)

    # A column added upstream: the model and those that read it (the
    # snapshot and int_orders), not those that read them (their columns
    # are the same).
    edit(project, "manifest.json", set_sql("stg_orders", "upper(status) as status\n",
                                           "upper(status) as status,\n    id as extra_id\n"))
    assert refresh(project, path)[0] == ["refreshed: 3 models re-analysed, 9 unchanged"]
    assert stored(path) == fresh(project)

    # A column removed upstream.
    edit(project, "manifest.json", set_sql("stg_orders", ",\n    id as extra_id\n", "\n"))
    assert refresh(project, path)[0] == ["refreshed: 3 models re-analysed, 9 unchanged"]
    assert stored(path) == fresh(project)

    # A model removed from the manifest leaves the graph.
    def remove(manifest):
        del manifest["nodes"]["model.shop.payment_amounts"]
    edit(project, "manifest.json", remove)
    assert refresh(project, path)[0] == ["refreshed: 0 models re-analysed, 11 unchanged, 1 removed"]
    assert stored(path) == fresh(project)
    with Graph.open(path) as graph:
        assert not any("payment_amounts" in table for tables in graph.summary().values()
                       for table in tables)

    # A model added.
    def add(manifest):
        node = json.loads(json.dumps(manifest["nodes"]["model.shop.customers"]))
        node.update(unique_id="model.shop.customers_copy", name="customers_copy",
                    alias="customers_copy",
                    relation_name=node["relation_name"].replace('"customers"', '"customers_copy"'))
        manifest["nodes"]["model.shop.customers_copy"] = node
    edit(project, "manifest.json", add)
    assert refresh(project, path)[0] == ["refreshed: 1 models re-analysed, 11 unchanged"]
    assert stored(path) == fresh(project)

    # The warehouse's columns of a seed changed (catalog.json): the model
    # that reads it.
    def widen(catalog):
        columns = catalog["nodes"]["seed.shop.raw_orders"]["columns"]
        columns["note"] = {"type": "VARCHAR", "index": len(columns) + 1, "name": "note",
                           "comment": None}
    edit(project, "catalog.json", widen)
    line = refresh(project, path)[0]
    assert line == ["refreshed: 1 models re-analysed, 11 unchanged"]
    assert stored(path) == fresh(project)


def test_a_question_refreshes_then_answers_from_the_graph(project, tmp_path):
    path = tmp_path / "g.db"
    refresh(project, path)
    edit(project, "manifest.json", set_sql("stg_orders", "status\n", "status,\n    id as extra_id\n"))
    line, done = refresh(project, path, "--upstream", "int_orders.order_id", "--format", "json")
    assert line == ["refreshed: 3 models re-analysed, 9 unchanged"]
    with Graph.open(path) as graph:
        expected = [[edge.source, edge.target] for edge in graph.upstream("int_orders.order_id")]
    answered = [[edge["source"], edge["target"]] for edge in json.loads(done.stdout)]
    assert answered == expected
    assert ["shop.main.stg_orders.order_id", "shop.main.int_orders.order_id"] in answered


def test_the_python_refresh_and_a_selection(project, tmp_path):
    path = tmp_path / "g.db"
    with Graph(path) as graph:
        done = graph.refresh(project, select="stg_orders+")
        assert (done.analysed, done.unchanged, done.removed) == (4, 0, 0)
        assert str(done) == "refreshed: 4 models re-analysed, 0 unchanged"
        # Models outside the selection are not removed by a selection.
        done = graph.refresh(project, select="stg_customers")
        assert (done.analysed, done.unchanged, done.removed) == (1, 0, 0)
        done = graph.refresh(project)
        assert (done.analysed, done.unchanged) == (7, 5)
        assert everything(graph) == fresh(project)


def test_adding_a_project_again_forgets_the_records(project, tmp_path):
    """What Graph.add replaced is analysed again by the next refresh."""
    path = tmp_path / "g.db"
    with Graph(path) as graph:
        graph.refresh(project)
        graph.add(project_lineage(project, select="customers"))
        done = graph.refresh(project)
        assert (done.analysed, done.unchanged) == (1, 11)
        assert everything(graph) == fresh(project)


# --- interrupted and concurrent refreshes ------------------------------------------------

_STOPPED = """
import sys
from qarvel_lineage import graph as module
real = module._Writer.replace
def replace(self, made):
    real(self, made)
    print("written", flush=True)
    sys.stdin.read()   # held here, inside the transaction, until the signal
module._Writer.replace = replace
graph = module.Graph.open(sys.argv[1])
graph.refresh(sys.argv[2])
print("committed", flush=True)
"""


def _first_line(process):
    got = []
    reader = threading.Thread(target=lambda: got.append(process.stdout.readline()), daemon=True)
    reader.start()
    reader.join(WAIT)
    return got[0] if got else ""


@pytest.mark.parametrize("how", [signal.SIGINT, signal.SIGKILL])
def test_a_refresh_stopped_while_writing_leaves_the_graph_as_it_was(project, tmp_path, how):
    path = tmp_path / "g.db"
    refresh(project, path)
    before = stored(path)
    edit(project, "manifest.json", set_sql("stg_orders", "status\n", "status,\n    id as extra_id\n"))
    process = subprocess.Popen([sys.executable, "-c", _STOPPED, str(path), str(project)],
                               stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        assert _first_line(process) == "written\n"
        process.send_signal(how)
        process.wait(WAIT)
    finally:
        if process.poll() is None:
            process.kill()
            process.wait(WAIT)
    assert process.returncode != 0
    assert stored(path) == before
    # The next refresh does what the stopped one would have.
    assert refresh(project, path)[0] == ["refreshed: 3 models re-analysed, 9 unchanged"]
    assert stored(path) == fresh(project)


def test_a_second_refresh_says_it_waits_then_lands(project, tmp_path):
    path = tmp_path / "g.db"
    refresh(project, path)
    edit(project, "manifest.json", set_sql("stg_orders", "status\n", "status,\n    id as extra_id\n"))
    lock = sqlite3.connect(path, isolation_level=None)
    lock.execute("begin immediate")   # another writer holds the graph
    process = subprocess.Popen([*LINEAGE_CLI, "--dbt", str(project),
                                "--graph", str(path)], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
    try:
        got = []
        reader = threading.Thread(target=lambda: got.append(process.stderr.readline()),
                                  daemon=True)
        reader.start()
        reader.join(WAIT)
        assert got == [f"--graph {path}: another run is writing it; waiting\n"]
        lock.execute("rollback")
        rest = process.stderr.read()
        assert process.wait(WAIT) == 0
    finally:
        lock.close()
        if process.poll() is None:
            process.kill()
            process.wait(WAIT)
    assert rest.splitlines() == ["refreshed: 3 models re-analysed, 9 unchanged",
                                 f"{path}: 94 edges"]
    assert stored(path) == fresh(project)


def test_two_refreshes_at_once_both_land(project, tmp_path):
    path = tmp_path / "g.db"
    refresh(project, path)
    edit(project, "manifest.json", set_sql("stg_orders", "status\n", "status,\n    id as extra_id\n"))
    processes = [subprocess.Popen([*LINEAGE_CLI, "--dbt",
                                   str(project), "--graph", str(path)], stdout=subprocess.PIPE,
                                  stderr=subprocess.PIPE, text=True) for _ in range(2)]
    outputs = []
    for process in processes:
        try:
            outputs.append(process.communicate(timeout=WAIT))
        finally:
            if process.poll() is None:
                process.kill()
                process.wait(WAIT)
    assert [process.returncode for process in processes] == [0, 0]
    lines = sorted(line for _, err in outputs for line in err.splitlines()
                   if line.startswith("refreshed:"))
    # One analysed what changed; the other found it done.
    assert lines == ["refreshed: 0 models re-analysed, 12 unchanged",
                     "refreshed: 3 models re-analysed, 9 unchanged"]
    assert stored(path) == fresh(project)
