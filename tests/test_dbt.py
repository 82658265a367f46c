"""A real dbt project (tests/dbt_shop) built with dbt-core and dbt-duckdb,
then read back from its manifest and catalog."""

import csv
import io
import json
import shutil

import pytest

import qarvel_lineage
import qarvel_lineage.batch.pool
from qarvel_lineage.dbt import project_lineage

from helpers import lineage_cli
from shop_build import compiled_shop, shop  # noqa: F401 (the fixtures)


def seen(sources):
    return sorted(f"{s.qualified_table}.{s.column} {s.subtype}" for s in sources)


RAW = "shop.main."
# The mart's joins, filter and grouping decide every one of its rows.
MART_ROWS = sorted([
    RAW + "raw_customers.id JOIN", RAW + "raw_orders.id JOIN", RAW + "raw_orders.status FILTER",
    RAW + "raw_orders.user_id GROUP_BY", RAW + "raw_orders.user_id JOIN",
    RAW + "raw_payments.order_id GROUP_BY", RAW + "raw_payments.order_id JOIN"])
MART = {
    "customer_id": ([RAW + "raw_customers.id IDENTITY"], MART_ROWS),
    "full_name": ([RAW + "raw_customers.first_name TRANSFORMATION",
                   RAW + "raw_customers.last_name TRANSFORMATION"], MART_ROWS),
    "first_order": ([RAW + "raw_orders.order_date AGGREGATION"], MART_ROWS),
    "number_of_orders": ([], MART_ROWS),
    "lifetime_value": ([RAW + "raw_payments.amount AGGREGATION"], MART_ROWS),
    "value_rank": ([], sorted(MART_ROWS + [RAW + "raw_payments.amount WINDOW"])),
}


def test_every_mart_column_is_traced_through_the_models_to_the_seeds(shop):
    project = project_lineage(shop)
    assert project.dialect == "duckdb" and project.errors == ()
    columns = project.columns_of("customers")
    assert [c.name for c in columns] == list(MART)
    for column in columns:
        assert (seen(column.direct), seen(column.indirect), column.unresolved) == \
            (*MART[column.name], ()), column.name
        assert {s.type for s in column.direct} <= {"DIRECT"}
        assert {s.type for s in column.indirect} == {"INDIRECT"}


def test_each_model_has_its_own_lineage_in_dag_order(shop):
    project = project_lineage(shop / "target")
    order = list(project.models)
    assert set(order) == {
        "model.shop.stg_customers", "model.shop.stg_orders", "model.shop.stg_payments",
        "model.shop.stg_events", "model.shop.int_payment_totals", "model.shop.int_orders",
        "model.shop.customers", "model.shop.fct_events", "snapshot.shop.orders_snapshot",
        "model.shop.payments_by_source", "model.shop.payment_amounts",
        "model.shop_audit.audit_events"}
    for parent, child in [("model.shop.stg_orders", "model.shop.int_orders"),
                          ("model.shop.int_orders", "model.shop.customers"),
                          ("model.shop.stg_events", "model.shop.fct_events"),
                          ("model.shop.stg_orders", "snapshot.shop.orders_snapshot")]:
        assert order.index(parent) < order.index(child)
    stg = project.models["model.shop.stg_payments"]
    assert (stg.kind, str(stg.target)) == ("CREATE VIEW", "shop.main.stg_payments")
    assert seen(stg.column("amount").direct) == [RAW + "raw_payments.amount TRANSFORMATION"]
    # The ephemeral model is inlined: int_orders reads stg_payments through it.
    inner = project.models["model.shop.int_orders"]
    assert (inner.kind, [str(t) for t in inner.tables]) == (
        "CREATE TABLE", ["shop.main.stg_payments", "shop.main.stg_orders"])
    assert seen(inner.column("amount").direct) == [RAW + "stg_payments.amount AGGREGATION"]
    ephemeral = project.models["model.shop.int_payment_totals"]
    assert (ephemeral.kind, ephemeral.target) == ("SELECT", None)
    assert "model.shop.int_payment_totals" not in project.relations
    snapshot = project.column("snapshot.shop.orders_snapshot", "status")
    assert seen(snapshot.direct) == [RAW + "raw_orders.status IDENTITY"]


def test_sources_stars_and_seeds_resolve_without_the_catalog(shop, tmp_path):
    """Without catalog.json the source's columns come from its YAML
    declaration and the seeds' from their CSV headers (raw_customers' YAML
    declares only id: the header's first_name and last_name are columns all
    the same); the star of stg_events expands all the same."""
    target = tmp_path / "target"
    shutil.copytree(shop / "target", target)
    (target / "catalog.json").unlink()
    shutil.copytree(shop / "seeds", tmp_path / "seeds")
    shutil.copy(shop / "dbt_project.yml", tmp_path)
    built = project_lineage(shop)
    project = project_lineage(tmp_path)
    assert project.warnings == [] and project.errors == ()
    events = project.columns_of("fct_events")
    assert [c.name for c in events] == ["event_id", "customer_id", "kind", "happened_at"]
    assert seen(project.column("fct_events", "kind").direct) == \
        ["shop.ext.events.kind TRANSFORMATION"]
    assert [c for c in project.end_to_end.columns if c.unresolved] == []
    assert seen(project.column("stg_customers.first_name").direct) == \
        [RAW + "raw_customers.first_name IDENTITY"]
    assert [c[:7] for c in project.columns_of("customers")] == \
        [c[:7] for c in built.columns_of("customers")]


def test_exposures_name_the_nodes_and_source_columns_they_rest_on(shop):
    project = project_lineage(shop)
    exposure = project.exposures["exposure.shop.customer_dashboard"]
    assert (exposure.name, exposure.type, exposure.depends_on) == (
        "customer_dashboard", "dashboard", ("model.shop.customers", "model.shop.fct_events"))
    assert sorted({s.qualified_table for s in exposure.sources}) == [
        "shop.ext.events", "shop.main.fct_events", "shop.main.raw_customers",
        "shop.main.raw_orders", "shop.main.raw_payments"]
    # The incremental filter reads the model's own relation ({{ this }}).
    assert [s for s in exposure.sources if s.table == "fct_events"] == [
        qarvel_lineage.Source("shop", "main", "fct_events", "happened_at", "INDIRECT", "FILTER")]


def test_the_project_as_a_graph(shop):
    graph = qarvel_lineage.Graph().add(project_lineage(shop))
    assert graph.summary() == {
        "sources": ["shop.ext.events", RAW + "raw_customers", RAW + "raw_orders",
                    RAW + "raw_payments"],
        # An exposure is no table: the models it rests on stay targets.
        "intermediates": [RAW + "int_orders",
                          RAW + "payments_by_source", RAW + "stg_customers", RAW + "stg_events",
                          RAW + "stg_orders", RAW + "stg_payments"],
        "targets": [RAW + "audit_events", RAW + "customers", RAW + "fct_events",
                    RAW + "payment_amounts", "shop.snapshots.orders_snapshot"]}
    # Downstream of a seed's column reaches the dashboard resting on it.
    reached = [(e.source, e.target, e.subtype) for e in graph.downstream("raw_payments.amount")]
    assert (RAW + "customers.lifetime_value", "exposure.shop.customer_dashboard", "EXPOSURE") \
        in reached
    assert reached[-1][1] == "exposure.shop.customer_dashboard"
    (path,) = graph.paths("raw_payments.amount", "customers.lifetime_value")
    assert [(e.source, e.subtype, e.statement) for e in path] == [
        (RAW + "raw_payments.amount", "TRANSFORMATION", "model.shop.stg_payments"),
        (RAW + "stg_payments.amount", "AGGREGATION", "model.shop.int_orders"),
        (RAW + "int_orders.amount", "AGGREGATION", "model.shop.customers")]


def test_a_model_that_fails_is_named_and_the_rest_goes_on(shop, tmp_path):
    manifest = json.loads((shop / "target" / "manifest.json").read_text())
    manifest["nodes"]["model.shop.stg_customers"]["compiled_code"] = "select from from"
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    shutil.copy(shop / "target" / "catalog.json", tmp_path / "catalog.json")
    project = project_lineage(tmp_path / "manifest.json")
    assert [e.unique_id for e in project.errors] == ["model.shop.stg_customers"]
    assert str(project.errors[0]).startswith("model.shop.stg_customers: ParseError: ")
    # Its children read its columns from the catalog, and stop there.
    assert seen(project.column("customers", "full_name").direct) == [
        RAW + "stg_customers.first_name TRANSFORMATION", RAW + "stg_customers.last_name TRANSFORMATION"]


def whole(project):
    return (list(project.models), project.to_dicts(), [str(e) for e in project.errors],
            project.warnings)


@pytest.fixture
def eager_workers(monkeypatch):
    """Workers start for however little work, and take one model at a time:
    the pool's thresholds are for speed alone."""
    for name in ("WORTH_STARTING", "LOCAL_SLICE", "CHUNK_TIME"):
        monkeypatch.setattr(qarvel_lineage.batch.pool, name, 0.0)


def stale(shop, tmp_path):
    """The built project with a catalog that lacks a column stg_customers
    makes, and a model that does not parse."""
    manifest = json.loads((shop / "target" / "manifest.json").read_text())
    manifest["nodes"]["model.shop.stg_events"]["compiled_code"] = "select from from"
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    catalog = json.loads((shop / "target" / "catalog.json").read_text())
    columns = catalog["nodes"]["model.shop.stg_customers"]["columns"]
    del columns[next(name for name in columns if name.lower() == "first_name")]
    (tmp_path / "catalog.json").write_text(json.dumps(catalog))
    return tmp_path / "manifest.json"


@pytest.mark.parametrize("built", ["catalog", "no catalog", "stale catalog"])
def test_jobs_give_what_one_job_gives(shop, compiled_shop, tmp_path, eager_workers, built):
    path = {"catalog": shop, "no catalog": compiled_shop}.get(built) or stale(shop, tmp_path)
    one = project_lineage(path)
    calls = []
    two = project_lineage(path, jobs=2, progress=lambda done, total: calls.append((done, total)))
    assert whole(two) == whole(one)
    assert calls == [(done, 12) for done in range(1, 13)]
    if built == "stale catalog":
        # customers read stg_customers' columns as the model makes them, not as the catalog had them.
        assert seen(two.column("customers", "full_name").direct) == MART["full_name"][0]
        assert [e.unique_id for e in two.errors] == ["model.shop.stg_events"]
    selected = project_lineage(path, select="customers", jobs=0)
    assert whole(selected) == whole(project_lineage(path, select="customers"))


def test_jobs_and_progress_are_checked(shop):
    with pytest.raises(ValueError, match=r"jobs must be an int >= 0 \(0: every core\), not -1"):
        project_lineage(shop, jobs=-1)
    with pytest.raises(TypeError, match="progress must be callable, not str"):
        project_lineage(shop, progress="bar")


def test_what_is_not_a_compiled_project_is_refused(shop, tmp_path):
    with pytest.raises(FileNotFoundError, match="compile the project first"):
        project_lineage(tmp_path)
    source = (shop / "models" / "marts" / "customers.sql").read_text()
    with pytest.raises(qarvel_lineage.ParseError, match=r"dbt compile"):
        qarvel_lineage.analyze(source, "duckdb")
    done = lineage_cli("--dbt", tmp_path)
    assert done.returncode == 2 and f"--dbt {tmp_path}: no manifest.json" in done.stderr


def mart_rows(rows):
    return sorted((r["column"], r["source_table"], r["source_column"], r["subtype"])
                  for r in rows if r["input"] == "model.shop.customers")


def test_the_command_line_gives_the_same_lineage_in_every_format(shop):
    project = project_lineage(shop)
    expected = sorted((r["column"], r["source_table"], r["source_column"], r["subtype"])
                      for r in project.to_dicts() if r["model"] == "model.shop.customers")
    assert len(expected) == sum(len(d) + len(i) for d, i in MART.values())
    outputs = {}
    for fmt in ("jsonl", "json", "csv", "table", "dot", "openlineage"):
        expand = ["--expand-influences"] if fmt in ("jsonl", "json", "csv") else []
        done = lineage_cli("--dbt", shop, "--format", fmt, *expand)
        assert (done.returncode, done.stderr) == (0, ""), fmt
        outputs[fmt] = done.stdout
    assert mart_rows(json.loads(line) for line in outputs["jsonl"].splitlines()) == expected
    assert mart_rows(json.loads(outputs["json"])) == expected
    assert mart_rows(csv.DictReader(io.StringIO(outputs["csv"]))) == expected
    assert "-- model.shop.customers\nwrites shop.main.customers\n" in outputs["table"]
    assert "| 5   | lifetime_value   | shop.main.raw_payments.amount    |" in outputs["table"]
    assert ("every column also depends on: " + ", ".join(
        f"{row.rsplit(' ', 1)[0]} ({row.rsplit(' ', 1)[1]})" for row in MART_ROWS)) in outputs["table"]
    assert outputs["dot"].startswith("digraph") and '"shop.main.raw_customers"' in outputs["dot"]
    jobs = [json.loads(line) for line in outputs["openlineage"].splitlines()]
    assert [job["job"]["name"] for job in jobs] == [
        uid for uid, result in project.models.items() if result.target is not None]
    mart = next(job for job in jobs if job["job"]["name"] == "model.shop.customers")
    assert [i["name"] for i in mart["inputs"]] == ["shop.main.int_orders", "shop.main.stg_customers"]
    fields = mart["outputs"][0]["facets"]["columnLineage"]["fields"]
    assert list(fields) == list(MART)
    assert fields["lifetime_value"]["inputFields"][0]["name"] == "shop.main.int_orders"


def test_diff_of_two_dbt_targets(shop, tmp_path):
    manifest = json.loads((shop / "target" / "manifest.json").read_text())
    node = manifest["nodes"]["model.shop.stg_payments"]
    node["compiled_code"] = node["compiled_code"].replace("amount / 100 as amount", "amount")
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    shutil.copy(shop / "target" / "catalog.json", tmp_path / "catalog.json")
    done = lineage_cli("diff", shop / "target", tmp_path, "--format", "jsonl", "--fail-on-change")
    assert (done.returncode, done.stderr) == (1, "")
    rows = [json.loads(line) for line in done.stdout.splitlines()]
    assert [{k: v for k, v in row.items() if v is not None} for row in rows[:2]] == [
        {"change": "expression_changed", "model": "model.shop.stg_payments",
         "column": RAW + "stg_payments.amount", "old": "amount / 100", "new": "amount",
         "severity": "values"},
        {"change": "changed", "source": RAW + "raw_payments.amount",
         "target": RAW + "stg_payments.amount", "type": "DIRECT",
         "old_subtype": "TRANSFORMATION", "new_subtype": "IDENTITY",
         "model": "model.shop.stg_payments"}]
    assert [(row["change"], row["column"], row["severity"], row["depth"]) for row in rows[2:]] == [
        ("impacted", RAW + "int_orders.amount", "values", 1),
        ("impacted", RAW + "payments_by_source.amount", "values", 1),
        ("impacted", RAW + "customers.lifetime_value", "values", 2),
        ("impacted", RAW + "customers.value_rank", "values", 2),
        ("impacted", RAW + "payment_amounts.amount", "values", 2),
        ("impacted", "exposure.customer_dashboard", "values", 3)]


COMPILE_ONLY = (
    "1 model built by macros that read the warehouse while compiling (such as union_relations "
    "or star) has columns that trace to nothing, and there is no catalog.json: if the project "
    "was compiled before its tables existed, that SQL lacks their columns; build the project "
    "(dbt build or dbt run), then run dbt docs generate, or give the warehouse with "
    "--schema URL")


def test_a_project_compiled_without_its_tables_says_what_to_run(shop, compiled_shop):
    """payments_by_source lists the columns the warehouse gives its macro:
    compiled alone, none, so payment_amounts reads columns it lacks."""
    compiled = project_lineage(compiled_shop)
    assert compiled.warnings == [COMPILE_ONLY]
    assert [(c.name, [u.reason for u in c.unresolved])
            for c in compiled.columns_of("payment_amounts")] == [
        ("_source", []), ("payment_id", ["not a column of any source"]),
        ("amount", ["not a column of any source"])]
    assert project_lineage(compiled_shop, select="stg_orders+").warnings == []
    built = project_lineage(shop)
    assert built.warnings == []
    assert seen(built.column("payment_amounts.amount").direct) == \
        [RAW + "raw_payments.amount TRANSFORMATION"]


def test_descriptions_types_and_tests_travel_with_the_columns(shop):
    project = project_lineage(shop)
    key = project.column("customers", "customer_id")
    assert (key.model, key.description, key.data_type, key.tests) == (
        "model.shop.customers", "The customer's key", "INTEGER",
        ("not_null", "relationships", "unique"))
    assert seen(key.direct) == [RAW + "raw_customers.id IDENTITY"]
    value = project.column("model.shop.customers.lifetime_value")
    assert (value.description, value.data_type, value.tests) == (
        "What the customer paid, in dollars", "DOUBLE", ("not_null",))
    bare = project.column("customers", "full_name")
    assert (bare.description, bare.data_type, bare.tests) == ("", "VARCHAR", ())
    rows = [r for r in project.to_dicts(metadata=True) if r["model"] == "model.shop.customers"]
    assert {(r["column"], r["description"], tuple(r["tests"])) for r in rows} == {
        ("customer_id", "The customer's key", ("not_null", "relationships", "unique")),
        ("full_name", "", ()), ("first_order", "", ()), ("number_of_orders", "", ()),
        ("lifetime_value", "What the customer paid, in dollars", ("not_null",)),
        ("value_rank", "", ())}
    assert "description" not in project.to_dicts()[0]
    job = next(j for j in project.to_openlineage("ns") if j["job"]["name"] == "model.shop.customers")
    schema = job["outputs"][0]["facets"]["schema"]
    assert schema["_schemaURL"].endswith("SchemaDatasetFacet.json#/$defs/SchemaDatasetFacet")
    assert schema["fields"] == [
        {"name": "customer_id", "type": "INTEGER", "description": "The customer's key"},
        {"name": "full_name", "type": "VARCHAR"}, {"name": "first_order", "type": "DATE"},
        {"name": "number_of_orders", "type": "BIGINT"},
        {"name": "lifetime_value", "type": "DOUBLE",
         "description": "What the customer paid, in dollars"},
        {"name": "value_rank", "type": "BIGINT"}]
    with pytest.raises(KeyError, match="names no column"):
        project.column("customers")
