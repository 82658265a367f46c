"""What the stored graph keeps beside the lineage for pages, servers and
agents (each statement's text, what a dbt project says of its columns), how
it finds names from a few letters, and opening a graph file read-only."""

import os
import sqlite3
import time

import pytest

import qarvel_lineage as q
from qarvel_lineage.dbt import project_lineage
from qarvel_lineage.graph import FORMAT_VERSION, Graph, GraphError, Match

ETL = ("create table stg.orders as select id, amount / 100 as amount from raw.orders;\n"
       "insert into mart.totals (id, total) select id, sum(amount) from stg.orders group by id;")
S = "shop.main."


def etl(name="etl.sql", text=ETL):
    return Graph().add(q.analyze_script(text), name=name)


def test_each_statement_s_text_is_kept_with_it_and_goes_with_it():
    graph = etl()
    assert graph.statement_sql("etl.sql#1") == ("create table stg.orders as select id, "
                                                "amount / 100 as amount from raw.orders")
    assert graph.statement_sql("etl.sql#2") == ("insert into mart.totals (id, total) select id, "
                                                "sum(amount) from stg.orders group by id")
    found = graph.details("totals.total")
    assert found.statements == (("etl.sql#2", graph.statement_sql("etl.sql#2")),)
    assert (found.table, found.name, found.description, found.data_type, found.tests) == (
        "mart.totals", "total", "", "", ())
    # Added again under the name, the script's statements replace the old ones.
    graph.add(q.analyze_script("insert into mart.other (x) select a from raw.t"), name="etl.sql")
    assert graph.statement_sql("etl.sql#2") is None
    assert graph.statement_sql("etl.sql#1") == "insert into mart.other (x) select a from raw.t"
    assert graph._db.execute("select count(*) from statement_sql").fetchone()[0] == 1
    # A log's statements, and a single statement.
    graph.add_many(q.analyze_many(["insert into b (x) select y from a", "select broken from"]),
                   name="log")
    graph.add(q.analyze("select z from c"), name="q1")
    assert graph.statement_sql("log#1") == "insert into b (x) select y from a"
    assert graph.statement_sql("q1") == "select z from c"
    assert graph.details("b.x").statements == (("log#1", "insert into b (x) select y from a"),)


def test_a_dbt_project_keeps_its_models_sql_and_its_columns_descriptions_types_and_tests(
        shop_graph, tmp_path):
    project_path, _ = shop_graph
    project = project_lineage(project_path)
    graph = Graph(tmp_path / "shop.db").add(project)
    found = graph.details("customers.customer_id")
    assert (found.column, found.table, found.name) == (S + "customers.customer_id",
                                                       S + "customers", "customer_id")
    assert (found.description, found.data_type, found.tests) == (
        "The customer's key", "INTEGER", ("not_null", "relationships", "unique"))
    assert [name for name, _ in found.statements] == ["model.shop.customers"]
    assert found.statements[0][1] == project.models["model.shop.customers"].sql
    # A seed's column (seeds.yml), and a source's (described nowhere; the catalog's type).
    assert graph.details("raw_customers.id")[3:6] == (
        "INTEGER", "The customer's key in the application", ())
    assert graph.details("ext.events.kind")[3:6] == ("VARCHAR", "", ())
    graph.close()

    # Read back from the file, the same.
    with Graph.open(tmp_path / "shop.db", readonly=True) as stored:
        assert stored.details("customers.customer_id") == found
        assert stored.statement_sql("model.shop.stg_payments") == \
            project.models["model.shop.stg_payments"].sql

    # A model replaced by a query that writes elsewhere: what was said of
    # its columns goes; a column stays only while the exposure that reads
    # the model still holds it, written by nothing.
    with Graph.open(tmp_path / "shop.db") as stored:
        stored.add(q.analyze("insert into elsewhere.t (a) select id from shop.main.raw_customers"),
                   name="model.shop.customers")
        assert stored.upstream("customers.customer_id") == []
        assert {edge.statement for edge in stored.downstream("customers.customer_id")} == {
            "exposure.shop.customer_dashboard"}
        assert stored.details("customers.customer_id")[3:] == ("", "", (), ())
        assert stored.matches("customers.lifetime_value") == [S + "customers.lifetime_value"]
        assert stored.matches("int_orders.amount") == [S + "int_orders.amount"]
        rows = stored._db.execute(
            "select count(*) from column_details where origin = 'model.shop.customers'").fetchone()
        assert rows == (0,)
        assert stored.details("raw_customers.id").description == \
            "The customer's key in the application"


def test_a_graph_of_the_previous_format_says_to_build_it_again(tmp_path):
    assert FORMAT_VERSION == 3
    path = tmp_path / "old.db"
    etl().save(path)
    db = sqlite3.connect(path)
    db.execute("pragma user_version = 2")
    db.commit()
    db.close()
    for opening in (lambda: Graph.open(path), lambda: Graph.open(path, readonly=True)):
        with pytest.raises(GraphError, match="older format [(]2[)]; build it again from its inputs"):
            opening()


def test_read_only_opening_writes_nothing_and_refuses_what_is_no_graph(tmp_path):
    path = tmp_path / "g.db"
    etl().save(path)
    before = path.read_bytes()
    with Graph.open(path, readonly=True) as graph:
        with pytest.raises(GraphError, match="readonly"):
            graph.add(q.analyze("insert into b (x) select x from a"), name="other.sql")
        assert [e.source for e in graph.upstream("totals.total")] == [
            "stg.orders.amount", "stg.orders.id", "raw.orders.amount", "raw.orders.id"]
    assert path.read_bytes() == before
    assert sorted(os.listdir(tmp_path)) == ["g.db"]
    (tmp_path / "empty.db").write_bytes(b"")
    with pytest.raises(GraphError, match="not a lineage graph"):
        Graph.open(tmp_path / "empty.db", readonly=True)
    with pytest.raises(FileNotFoundError):
        Graph.open(tmp_path / "missing.db", readonly=True)
    assert not (tmp_path / "missing.db").exists()


def test_search_matches_and_degrees():
    graph = Graph().add(q.analyze_script(
        "create table stg.amounts as select amount, amount_due from raw.orders;\n"
        "create table mart.t as select a.amount as total_amount, a.amount from stg.amounts a;"),
        name="s.sql")
    found, total = graph.search("AMOUNT")
    # Whole names and last parts, then a part's start, then anywhere; sources
    # first within each, then shorter names.
    assert (found, total) == ([
        Match("raw.orders.amount", "column", "raw.orders", "last parts", True),
        Match("mart.t.amount", "column", "mart.t", "last parts", False),
        Match("stg.amounts.amount", "column", "stg.amounts", "last parts", False),
        Match("raw.orders.amount_due", "column", "raw.orders", "part start", True),
        Match("stg.amounts", "table", "stg.amounts", "part start", False),
        Match("stg.amounts.amount_due", "column", "stg.amounts", "part start", False),
        Match("mart.t.total_amount", "column", "mart.t", "anywhere", False)], 7)
    assert graph.search("amount", limit=2) == (found[:2], 7)
    assert graph.search("  ") == ([], 0)
    assert graph.matches("amount") == ["mart.t.amount", "raw.orders.amount", "stg.amounts.amount"]
    assert graph.matches("raw.orders.amount") == ["raw.orders.amount"]
    assert graph.matches("t", "table") == ["mart.t"]
    assert graph.matches("nothing") == []
    assert graph.degrees(["stg.amounts.amount", "raw.orders.amount", "mart.t.amount",
                          "no.such.column"]) == {
        "stg.amounts.amount": (1, 2), "raw.orders.amount": (0, 1), "mart.t.amount": (1, 0)}
    assert graph.table_columns("stg.amounts") == ["stg.amounts.amount", "stg.amounts.amount_due"]


def test_a_walk_with_a_limit_stops_after_the_level_that_passes_it():
    graph = Graph().add(q.analyze_script(
        "create table b as select x1 + x2 + x3 as y from a;\n"
        "create table c as select y as z from b;\n"
        "create table d as select z as w from c;"), name="s.sql")
    assert len(graph.upstream("d.w")) == 5
    assert [e.depth for e in graph.upstream("d.w", limit=1)] == [1, 2]       # past 1: cut
    assert [e.depth for e in graph.upstream("d.w", limit=2)] == [1, 2, 3, 3, 3]
    assert len(graph.upstream("d.w", limit=5)) == 5                        # not past it: whole
    with pytest.raises(ValueError, match="limit must be 1 or more"):
        graph.upstream("d.w", limit=0)


def test_a_deadline_interrupts_a_question(tuva_graph):
    with Graph.open(tuva_graph, readonly=True) as graph:
        graph.set_deadline(time.monotonic() - 1)
        with pytest.raises(sqlite3.OperationalError, match="interrupted"):
            graph.search("a")
        graph.set_deadline(None)
        assert graph.search("paid_amount")[1] > 30
