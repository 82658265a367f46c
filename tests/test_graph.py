"""The lineage graph: upstream, downstream, impact, paths, tables, storage."""

import csv
import io
import json
import sqlite3

import pytest

import qarvel_lineage as q
from qarvel_lineage.graph import Edge, Graph

from helpers import CORPUS, lineage_cli

ETL = """
create table stg.orders as select id, amount / 100 as amount, status from raw.orders;
create temp table big as select id, amount from stg.orders where status = 'shipped';
insert into mart.totals (id, total) select id, sum(amount) from big group by id;
"""


def parts(name):
    *table, column = name.split(".")
    return (*[None] * (3 - len(table)), *table, column)


def hop(source, target, kind, subtype, statement, depth):
    return Edge(source, target, kind, subtype, statement, depth, parts(source), parts(target))


@pytest.fixture
def etl():
    return Graph().add(q.analyze_script(ETL), name="etl.sql")


def test_upstream_and_downstream_hop_by_hop_through_a_temp_table(etl):
    assert etl.upstream("mart.totals.total") == [
        hop("big.amount", "mart.totals.total", "DIRECT", "AGGREGATION", "etl.sql#3", 1),
        hop("big.id", "mart.totals.total", "INDIRECT", "GROUP_BY", "etl.sql#3", 1),
        hop("stg.orders.amount", "big.amount", "DIRECT", "IDENTITY", "etl.sql#2", 2),
        hop("stg.orders.id", "big.id", "DIRECT", "IDENTITY", "etl.sql#2", 2),
        hop("stg.orders.status", "big.amount", "INDIRECT", "FILTER", "etl.sql#2", 2),
        hop("stg.orders.status", "big.id", "INDIRECT", "FILTER", "etl.sql#2", 2),
        hop("raw.orders.amount", "stg.orders.amount", "DIRECT", "TRANSFORMATION", "etl.sql#1", 3),
        hop("raw.orders.id", "stg.orders.id", "DIRECT", "IDENTITY", "etl.sql#1", 3),
        hop("raw.orders.status", "stg.orders.status", "DIRECT", "IDENTITY", "etl.sql#1", 3)]
    assert etl.upstream("mart.totals.total", depth=1) == etl.upstream("mart.totals.total")[:2]
    assert etl.downstream("raw.orders.amount") == [
        hop("raw.orders.amount", "stg.orders.amount", "DIRECT", "TRANSFORMATION", "etl.sql#1", 1),
        hop("stg.orders.amount", "big.amount", "DIRECT", "IDENTITY", "etl.sql#2", 2),
        hop("big.amount", "mart.totals.total", "DIRECT", "AGGREGATION", "etl.sql#3", 3)]


def test_impact_and_paths(etl):
    impact = etl.impact("raw.orders.status")
    assert {column: [(e.source, e.subtype) for e in path] for column, path in impact.items()} == {
        "stg.orders.status": [("raw.orders.status", "IDENTITY")],
        "big.amount": [("raw.orders.status", "IDENTITY"), ("stg.orders.status", "FILTER")],
        "big.id": [("raw.orders.status", "IDENTITY"), ("stg.orders.status", "FILTER")],
        "mart.totals.total": [("raw.orders.status", "IDENTITY"), ("stg.orders.status", "FILTER"),
                              ("big.amount", "AGGREGATION")],
        "mart.totals.id": [("raw.orders.status", "IDENTITY"), ("stg.orders.status", "FILTER"),
                           ("big.id", "IDENTITY")]}
    paths = etl.paths("raw.orders.status", "mart.totals.total")
    assert [[(e.target, e.subtype, e.statement, e.depth) for e in path] for path in paths] == [
        [("stg.orders.status", "IDENTITY", "etl.sql#1", 1), ("big.amount", "FILTER", "etl.sql#2", 2),
         ("mart.totals.total", "AGGREGATION", "etl.sql#3", 3)],
        [("stg.orders.status", "IDENTITY", "etl.sql#1", 1), ("big.id", "FILTER", "etl.sql#2", 2),
         ("mart.totals.total", "GROUP_BY", "etl.sql#3", 3)]]
    assert etl.paths("mart.totals.total", "raw.orders.status") == []


def test_tables_and_the_script_summary(etl):
    assert etl.summary() == {"sources": ["raw.orders"], "intermediates": ["big", "stg.orders"],
                             "targets": ["mart.totals"]}
    assert etl.upstream_tables("mart.totals") == ["big", "stg.orders", "raw.orders"]
    assert etl.downstream_tables("RAW.ORDERS") == ["stg.orders", "big", "mart.totals"]


def test_columns_are_named_as_users_write_them(etl):
    assert etl.column("TOTALS.Total") == "mart.totals.total"
    assert etl.column("big.amount") == "big.amount"
    with pytest.raises(KeyError, match=r"'amount' names 3 columns: big.amount, raw.orders.amount, "
                                       r"stg.orders.amount"):
        etl.upstream("amount")
    with pytest.raises(KeyError, match="no column 'x.y' in the graph"):
        etl.downstream("x.y")
    with pytest.raises(ValueError, match="depth must be 1 or more"):
        etl.upstream("totals.total", depth=0)
    with pytest.raises(TypeError, match="LineageResult, a ScriptResult or a DbtProject"):
        etl.add("select 1")


@pytest.fixture(scope="module")
def tpch():
    schema = q.Schema(json.loads((CORPUS / "tpch" / "schema.json").read_text()))
    graph = Graph()
    for number in range(1, 23):
        sql = (CORPUS / "tpch" / f"q{number:02d}.sql").read_text()
        graph.add(q.analyze(sql, schema=schema), name=f"q{number:02d}")
    return graph


def test_tpch_questions(tpch):
    assert sorted(e.target for e in tpch.downstream("lineitem.l_quantity")
                  if e.type == "DIRECT") == [
        "q01.avg_qty", "q01.sum_qty", "q09.sum_profit", "q18.total_quantity"]
    assert [(e.source, e.subtype) for e in tpch.upstream("q01.sum_qty")] == [
        ("lineitem.l_linestatus", "GROUP_BY"), ("lineitem.l_quantity", "AGGREGATION"),
        ("lineitem.l_returnflag", "GROUP_BY"), ("lineitem.l_shipdate", "FILTER")]
    assert tpch.downstream_tables("region") == ["q02", "q05", "q08"]
    assert {column: [(e.source, e.subtype) for e in path]
            for column, path in tpch.impact("part.p_brand").items()} == {
        "q16.p_brand": [("part.p_brand", "IDENTITY")], "q16.p_size": [("part.p_brand", "FILTER")],
        "q16.p_type": [("part.p_brand", "FILTER")], "q16.supplier_cnt": [("part.p_brand", "FILTER")],
        "q17.avg_yearly": [("part.p_brand", "FILTER")], "q19.revenue": [("part.p_brand", "FILTER")]}
    assert [[e.subtype for e in path] for path in tpch.paths("PART.p_brand", "q16.p_brand")] == [
        ["IDENTITY"], ["FILTER"], ["GROUP_BY"]]
    assert tpch.summary()["sources"] == ["customer", "lineitem", "nation", "orders", "part",
                                         "partsupp", "region", "supplier"]


def test_tpch_through_the_command_line(tpch):
    folder = CORPUS / "tpch"
    done = lineage_cli(folder, "--schema", folder / "schema.json", "--downstream",
                       "lineitem.l_quantity", "--format", "csv")
    assert done.returncode == 0, done.stderr
    rows = list(csv.DictReader(io.StringIO(done.stdout)))
    # A query that writes nothing: its statement (with a dot) is its table, quoted.
    assert [(row["target"], row["subtype"]) for row in rows] == [
        (f'"{folder}/{e.target.split(".")[0]}.sql#1".{e.target.split(".", 1)[1]}', e.subtype)
        for e in tpch.downstream("lineitem.l_quantity")]


def test_a_saved_graph_is_reopened_and_extended(etl, tmp_path):
    path = tmp_path / "lineage.db"
    etl.save(path)
    with Graph.open(path) as stored:
        assert stored.upstream("totals.total") == etl.upstream("totals.total")
        # The script's third statement analysed again, changed: its edges are replaced.
        changed = q.analyze_script(ETL.replace("sum(amount)", "max(id)"))
        stored.add(changed, name="etl.sql")
        stored.add(q.analyze("insert into mart.report select total from mart.totals"),
                   name="report.sql")
    with Graph.open(path) as stored:
        assert stored.upstream("totals.total", depth=1) == [
            hop("big.id", "mart.totals.total", "DIRECT", "AGGREGATION", "etl.sql#3", 1),
            hop("big.id", "mart.totals.total", "INDIRECT", "GROUP_BY", "etl.sql#3", 1)]
        assert [e.target for e in stored.downstream("totals.total")] == ["mart.report.total"]
        # Walks are queries over the indexed tables, not a load of the graph.
        for near in ("src", "dst"):
            plan = " ".join(row[-1] for row in sqlite3.connect(path).execute(
                f"explain query plan select * from edges where {near} = 1"))
            assert "INDEX" in plan and f"({near}=?)" in plan, plan
    with pytest.raises(FileNotFoundError, match="no lineage graph at"):
        Graph.open(tmp_path / "none.db")


# --- the command line -----------------------------------------------------------------

@pytest.fixture
def etl_file(tmp_path):
    path = tmp_path / "etl.sql"
    path.write_text(ETL)
    return path


def test_command_line_questions_in_every_format(etl_file):
    name = str(etl_file)
    done = lineage_cli(etl_file, "--downstream", "RAW.ORDERS.AMOUNT", "--chains")
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (
        f"raw.orders.amount -> stg.orders.amount (TRANSFORMATION, {name}#1)"
        f" -> big.amount (IDENTITY, {name}#2) -> mart.totals.total (AGGREGATION, {name}#3)\n")
    rows = [json.loads(line) for line in lineage_cli(
        etl_file, "--upstream", "totals.total", "--depth", "1", "--format", "jsonl").stdout.splitlines()]
    assert rows == [
        {"depth": 1, "source": "big.amount", "target": "mart.totals.total", "type": "DIRECT",
         "subtype": "AGGREGATION", "statement": f"{name}#3"},
        {"depth": 1, "source": "big.id", "target": "mart.totals.total", "type": "INDIRECT",
         "subtype": "GROUP_BY", "statement": f"{name}#3"}]
    assert json.loads(lineage_cli(etl_file, "--upstream", "totals.total", "--depth", "1",
                                  "--format", "json").stdout) == rows
    assert list(csv.DictReader(io.StringIO(lineage_cli(
        etl_file, "--upstream", "totals.total", "--depth", "1", "--format", "csv").stdout))) == [
        {k: str(v) for k, v in row.items()} for row in rows]
    dot = lineage_cli(etl_file, "--upstream", "totals.total", "--depth", "1", "--format", "dot")
    assert '  "big.id" -> "mart.totals.total" [style=dashed, label="group_by"];' in dot.stdout
    assert lineage_cli(etl_file, "--summary").stdout == (
        "sources (1):\n  raw.orders  feeds 1 table\nintermediates (2):\n"
        "  big         reads 1 table, feeds 1 table\n  stg.orders  reads 1 table, feeds 1 table\n"
        "targets (1):\n  mart.totals  reads 1 table\n")
    assert [json.loads(line) for line in lineage_cli(
        etl_file, "--summary", "--format", "jsonl").stdout.splitlines()] == [
        {"table": "raw.orders", "role": "source"}, {"table": "big", "role": "intermediate"},
        {"table": "stg.orders", "role": "intermediate"}, {"table": "mart.totals", "role": "target"}]
    traced = [json.loads(line) for line in lineage_cli(
        etl_file, "--end-to-end", "--format", "jsonl", "--expand-influences").stdout.splitlines()]
    assert sorted((r["target_table"], r["column"], r["source_table"], r["source_column"], r["subtype"])
                  for r in traced if r["target_table"] == "totals") == [
        ("totals", "id", "orders", "id", "GROUP_BY"), ("totals", "id", "orders", "id", "IDENTITY"),
        ("totals", "id", "orders", "status", "FILTER"),
        ("totals", "total", "orders", "amount", "AGGREGATION"),
        ("totals", "total", "orders", "id", "GROUP_BY"),
        ("totals", "total", "orders", "status", "FILTER")]
    refused = lineage_cli(etl_file, "--upstream", "amount")
    assert refused.returncode == 2 and "--upstream amount: 'amount' names 3 columns" in refused.stderr


def test_questions_in_openlineage(etl_file):
    from openlineage.client.generated.column_lineage_dataset import (
        ColumnLineageDatasetFacet, Fields, InputField, Transformation)
    from openlineage.client.serde import Serde

    summary = lineage_cli(etl_file, "--summary", "--format", "openlineage", "--namespace", "wh")
    assert json.loads(summary.stdout) == {
        "inputs": [{"namespace": "wh", "name": name, "facets": {}}
                   for name in ("raw.orders", "big", "stg.orders")],
        "outputs": [{"namespace": "wh", "name": name, "facets": {}}
                    for name in ("big", "stg.orders", "mart.totals")]}
    asked = lineage_cli(etl_file, "--upstream", "big.amount", "--format", "openlineage",
                        "--namespace", "wh")
    datasets = [json.loads(line) for line in asked.stdout.splitlines()]
    assert [(d["namespace"], d["name"]) for d in datasets] == [("wh", "big"), ("wh", "stg.orders")]
    step = f"{etl_file}#"
    assert {(d["name"], column, i["name"], i["field"], t["type"], t["subtype"], t["description"])
            for d in datasets for column, f in d["facets"]["columnLineage"]["fields"].items()
            for i in f["inputFields"] for t in i["transformations"]} == {
        ("big", "amount", "stg.orders", "amount", "DIRECT", "IDENTITY", step + "2"),
        ("big", "amount", "stg.orders", "status", "INDIRECT", "FILTER", step + "2"),
        ("stg.orders", "amount", "raw.orders", "amount", "DIRECT", "TRANSFORMATION", step + "1"),
        ("stg.orders", "status", "raw.orders", "status", "DIRECT", "IDENTITY", step + "1")}
    for dataset in datasets:  # each facet is the OpenLineage client's own, field for field
        made = dataset["facets"]["columnLineage"]

        def field(item):
            return InputField(**{**item, "transformations": [
                Transformation(**t) for t in item["transformations"]]})

        facet = ColumnLineageDatasetFacet(
            fields={name: Fields(inputFields=[field(i) for i in value["inputFields"]])
                    for name, value in made["fields"].items()},
            dataset=[], producer=made["_producer"])
        assert Serde.to_dict(facet) == made


def test_command_line_stores_and_extends_a_graph(etl_file, tmp_path):
    stored = tmp_path / "lineage.db"
    first = lineage_cli(etl_file, "--graph", stored)
    assert (first.returncode, first.stderr) == (0, f"{stored}: 11 edges\n")
    lineage_cli("insert into mart.report (t) select total from mart.totals", "--graph", stored)
    asked = lineage_cli("--graph", stored, "--downstream", "raw.orders.amount", "--format", "jsonl")
    assert [json.loads(line)["target"] for line in asked.stdout.splitlines()] == [
        "stg.orders.amount", "big.amount", "mart.totals.total", "mart.report.t"]


def test_diff_of_two_versions_and_its_exit_status(tmp_path):
    old, new = tmp_path / "old.sql", tmp_path / "new.sql"
    old.write_text(ETL)
    new.write_text(ETL.replace("amount / 100 as amount", "amount")
                      .replace("where status = 'shipped'", "where status = 'shipped' and id > 0"))
    done = lineage_cli("diff", old, new)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == (
        "2 models changed; 1 downstream model and 0 exposures affected\n"
        "~ stg.orders.amount: expression changed: amount / 100 -> amount\n"
        "~ big.*: rows changed (2 columns)\n"
        "~ raw.orders.amount -> stg.orders.amount (DIRECT TRANSFORMATION -> IDENTITY)\n"
        "+ stg.orders.id -> big.amount (INDIRECT FILTER)\n"
        "+ stg.orders.id -> big.id (INDIRECT FILTER)\n"
        "impacted (3 columns, breaking first):\n"
        "  rows      mart.totals.id     depth 1, because big\n"
        "  rows      mart.totals.total  depth 1, because big\n"
        "  values    big.amount         depth 1, because stg.orders.amount\n")
    failing = lineage_cli("diff", old, new, "--fail-on-change", "--format", "json")
    assert failing.returncode == 1
    assert json.loads(failing.stdout)[3] == {
        "change": "changed", "source": "raw.orders.amount", "target": "stg.orders.amount",
        "type": "DIRECT", "old_subtype": "TRANSFORMATION", "new_subtype": "IDENTITY",
        "reason": None, "model": "stg.orders", "column": None, "old": None, "new": None,
        "severity": None, "because": None, "via": None, "depth": None}
    same = lineage_cli("diff", old, old, "--fail-on-change")
    assert (same.returncode, same.stdout) == (0, "no lineage changed\n")
