"""The stored lineage graph: what it refuses, what it never damages, versions,
and two writers at once."""

import errno
import multiprocessing
import os
import re
import sqlite3
import stat
import subprocess
import sys

import pytest

import qarvel_lineage as q
from qarvel_lineage import graph as graph_module
from qarvel_lineage.graph import Graph, GraphError

import graph_tasks

ETL = """
create table stg.orders as select id, amount / 100 as amount from raw.orders;
insert into mart.totals (id, total) select id, sum(amount) from stg.orders group by id;
"""


def etl():
    return Graph().add(q.analyze_script(ETL), name="etl.sql")


def other():
    return Graph().add(q.analyze("insert into b (x) select x from a"), name="other.sql")


def stored_edges(path):
    with Graph.open(path) as graph:
        return [(e.source, e.target, e.statement) for e in graph.edges()]


ETL_EDGES = [("raw.orders.amount", "stg.orders.amount", "etl.sql#1"),
             ("raw.orders.id", "stg.orders.id", "etl.sql#1"),
             ("stg.orders.amount", "mart.totals.total", "etl.sql#2"),
             ("stg.orders.id", "mart.totals.id", "etl.sql#2"),
             ("stg.orders.id", "mart.totals.id", "etl.sql#2"),
             ("stg.orders.id", "mart.totals.total", "etl.sql#2")]


def refused(path, what):
    return rf"^{re.escape(str(path))}: {what}"


# --- 1, 2: what is not a regular file, or not a lineage graph, is refused untouched ---

def test_what_is_not_a_regular_file_is_refused_and_left_in_place(tmp_path):
    fifo, folder, link = tmp_path / "fifo", tmp_path / "folder", tmp_path / "link.db"
    os.mkfifo(fifo)
    folder.mkdir()
    etl().save(tmp_path / "real.db")
    link.symlink_to(tmp_path / "real.db")
    places = [fifo, folder, link]
    try:  # a device node of our own, like /dev/null
        os.mknod(tmp_path / "null", stat.S_IFCHR | 0o666, os.makedev(1, 3))
        places.append(tmp_path / "null")
    except PermissionError:
        pass
    for path in places:
        with pytest.raises(GraphError, match=refused(path, "not a regular file")):
            other().save(path)
    for path in places[:2]:
        for create in (False, True):
            with pytest.raises(GraphError, match=refused(path, "not a regular file")):
                Graph.open(path, create=create)
    with pytest.raises(GraphError, match=refused("/dev/null", "not a regular file")):
        Graph.open("/dev/null")
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode) and os.path.isdir(folder)
    assert os.path.islink(link) and stored_edges(link) == ETL_EDGES
    if len(places) == 4:
        assert stat.S_ISCHR(os.lstat(places[3]).st_mode)
    assert sorted(os.listdir(tmp_path)) == sorted(["real.db", *(p.name for p in places)])


def test_a_file_that_is_not_a_lineage_graph_is_refused_untouched(tmp_path):
    app, notes = tmp_path / "app.sqlite", tmp_path / "notes.txt"
    with sqlite3.connect(app) as db:
        db.execute("create table users (id integer, name text)")
        db.execute("insert into users values (1, 'ann')")
    db.close()
    notes.write_text("not a database at all\n" * 100)
    before = {path: path.read_bytes() for path in (app, notes)}
    for path in (app, notes):
        for create in (False, True):
            with pytest.raises(GraphError, match=refused(path, "not a lineage graph") + "$"):
                Graph.open(path, create=create)
        with pytest.raises(GraphError, match=refused(path, "not a lineage graph") + "$"):
            etl().save(path)
        assert path.read_bytes() == before[path]
    assert sorted(os.listdir(tmp_path)) == ["app.sqlite", "notes.txt"]
    assert issubclass(GraphError, ValueError) and q.GraphError is GraphError


def test_a_graph_of_another_format_says_what_to_do(tmp_path):
    old = tmp_path / "old.db"   # the first stored format: no marker, nodes by dotted name
    with sqlite3.connect(old) as db:
        db.executescript("""
            create table nodes (id integer primary key, name text not null unique,
                                lowered text not null, tbl text not null, col text not null);
            create table edges (src integer not null, dst integer not null, type text not null,
                                subtype text not null, statement text not null);
            insert into nodes values (1, 'a.x', 'a.x', 'a', 'x'), (2, 'b.x', 'b.x', 'b', 'x');
            insert into edges values (1, 2, 'DIRECT', 'IDENTITY', 'q');""")
    db.close()
    newer = tmp_path / "newer.db"
    etl().save(newer)
    with sqlite3.connect(newer) as db:
        db.execute("pragma user_version = 99")
    db.close()
    before = {path: path.read_bytes() for path in (old, newer)}
    with pytest.raises(GraphError, match=refused(old, re.escape(
            "a lineage graph of an older format (1); build it again from its inputs") + "$")):
        Graph.open(old)
    with pytest.raises(GraphError, match=refused(newer, re.escape(
            f"a lineage graph of a newer format (99) than this qarvel_lineage reads "
            f"({graph_module.FORMAT_VERSION}); upgrade qarvel_lineage") + "$")):
        Graph.open(newer, create=True)
    for path in (old, newer):
        with pytest.raises(GraphError, match=refused(path, "a lineage graph of an? (older|newer)")):
            other().save(path)
        assert path.read_bytes() == before[path]


def test_a_new_or_empty_path_becomes_a_graph_and_a_missing_one_is_not_opened(tmp_path):
    with pytest.raises(FileNotFoundError, match="no lineage graph at"):
        Graph.open(tmp_path / "none.db")
    assert os.listdir(tmp_path) == []
    with Graph.open(tmp_path / "new.db", create=True) as graph:
        graph.add(q.analyze_script(ETL), name="etl.sql")
    (tmp_path / "empty.db").write_bytes(b"")
    with Graph.open(tmp_path / "empty.db", create=True) as graph:
        graph.add(q.analyze_script(ETL), name="etl.sql")
    assert stored_edges(tmp_path / "new.db") == stored_edges(tmp_path / "empty.db") == ETL_EDGES
    with sqlite3.connect(tmp_path / "new.db") as db:   # the marker and version of the format
        assert (db.execute("pragma application_id").fetchone()[0],
                db.execute("pragma user_version").fetchone()[0]) == (
            graph_module.APPLICATION_ID, graph_module.FORMAT_VERSION)
    db.close()


# --- 3: a failed save keeps what was saved before ----------------------------------------

FULL_DISK = """
import resource, signal, sys
import qarvel_lineage as q
from qarvel_lineage.graph import Graph, GraphError
graph = Graph().add_many(q.analyze_many(
    f"insert into c{i + 1} (a, b) select a, b from c{i}" for i in range(3000)), name="big")
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (200_000, 200_000))
try:
    graph.save(sys.argv[1])
except GraphError as error:
    print(error)
"""


def test_a_save_that_fails_keeps_the_graph_saved_before(tmp_path, monkeypatch):
    path = tmp_path / "lineage.db"
    etl().save(path)
    done = subprocess.run([sys.executable, "-c", FULL_DISK, str(path)], capture_output=True,
                          text=True, timeout=300)
    assert (done.returncode, done.stderr) == (0, "")
    assert re.fullmatch(rf"{re.escape(str(path))}: could not save: [^\n]+\n", done.stdout)
    assert stored_edges(path) == ETL_EDGES and os.listdir(tmp_path) == ["lineage.db"]

    def no_room(fd):
        raise OSError(errno.ENOSPC, "No space left on device")

    monkeypatch.setattr(graph_module.os, "fsync", no_room)
    with pytest.raises(GraphError, match=refused(path, "could not save: .*No space left")):
        other().save(path)
    assert stored_edges(path) == ETL_EDGES and os.listdir(tmp_path) == ["lineage.db"]


def test_saving_replaces_a_graph_by_renaming_and_an_open_one_notices(tmp_path):
    path = tmp_path / "lineage.db"
    etl().save(path)
    opened = Graph.open(path)
    other().save(path)
    assert stored_edges(path) == [("a.x", "b.x", "other.sql")]
    with pytest.raises(GraphError, match=refused(path, "replaced by another run since it was "
                                                       "opened; open it again")):
        opened.add(q.analyze("insert into c (x) select x from b"), name="late.sql")
    opened.close()
    assert stored_edges(path) == [("a.x", "b.x", "other.sql")]
    assert os.listdir(tmp_path) == ["lineage.db"]


# --- 4: two writers at once ---------------------------------------------------------------

@pytest.mark.parametrize("new", [True, False], ids=["new file", "stored file"])
def test_two_processes_adding_at_once_both_land(tmp_path, new):
    path = tmp_path / "lineage.db"
    if not new:
        etl().save(path)
    context = multiprocessing.get_context("spawn")
    barrier, answers = context.Barrier(2), context.Queue()
    workers = [context.Process(target=graph_tasks.add_at_once,
                               args=(str(path), name, 1500, barrier, answers))
               for name in ("first", "second")]
    for worker in workers:
        worker.start()
    got = sorted(answers.get(timeout=300) for _ in workers)
    for worker in workers:
        worker.join(timeout=300)
    assert got == [("first", "stored"), ("second", "stored")]
    with Graph.open(path) as graph:
        assert len(graph) == 3000 + (0 if new else len(ETL_EDGES))
        assert {e.statement.split("#")[0] for e in graph.edges()} == (
            {"first", "second"} | (set() if new else {"etl.sql"}))
        for name in ("first", "second"):
            assert [e.source for e in graph.upstream(f"{name}.t1500.a")][-1] == f"{name}.t0.a"


def test_a_writer_kept_waiting_too_long_fails_saying_so(tmp_path, monkeypatch):
    path = tmp_path / "lineage.db"
    etl().save(path)
    monkeypatch.setattr(graph_module.store, "BUSY_SECONDS", 0.2)
    waiting = Graph.open(path)
    holder = sqlite3.connect(path, isolation_level=None)
    holder.execute("begin immediate")   # another run, half-way through its write
    with pytest.raises(GraphError, match=refused(path, re.escape(
            "another run kept it locked for 0.2 s; try again") + "$")):
        waiting.add(q.analyze("insert into c (x) select x from b"), name="late.sql")
    holder.execute("rollback")
    holder.close()
    waiting.add(q.analyze("insert into c (x) select x from b"), name="late.sql")
    waiting.close()
    assert stored_edges(path) == [("b.x", "c.x", "late.sql")] + ETL_EDGES


def test_an_open_graph_named_relatively_is_still_itself_after_a_change_of_folder(tmp_path,
                                                                                 monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "elsewhere").mkdir()
    with Graph.open("lineage.db", create=True) as graph:
        monkeypatch.chdir(tmp_path / "elsewhere")
        graph.add(q.analyze_script(ETL), name="etl.sql")
        graph.save(tmp_path / "lineage.db")   # itself: stored already
    assert stored_edges(tmp_path / "lineage.db") == ETL_EDGES
    assert os.listdir(tmp_path / "elsewhere") == []
