"""The Airflow extractor, for real: Airflow in its own environment
(.venv-airflow, with the package beside it in build/airflow-site), a DAG of
SQL tasks on a throwaway PostgreSQL server, `airflow dags test`, and the
OpenLineage events read back from the file transport.  The DAG runs twice
on the same data: with Airflow's own lineage, and with the extractor."""

import json
import os
import subprocess
from pathlib import Path

import psycopg2
import pytest

import qarvel_lineage
from qarvel_lineage import Schema

from helpers import without_sanitizer
from postgres_server import postgres_bindir, postgres_server

ROOT = Path(__file__).resolve().parents[1]
AIRFLOW = os.environ.get("QARVEL_AIRFLOW") or str(ROOT / ".venv-airflow" / "bin" / "airflow")
SITE = os.environ.get("QARVEL_AIRFLOW_SITE") or str(ROOT / "build" / "airflow-site")
EXTRACTOR = "qarvel_lineage.airflow.ColumnLineageExtractor"
PRODUCER = "https://pypi.org/project/sqlglot-main/"

pytestmark = pytest.mark.skipif(
    not os.access(AIRFLOW, os.X_OK) or not Path(SITE, "qarvel_lineage").is_dir(),
    reason="no Airflow environment: ./dev test builds .venv-airflow (or set QARVEL_AIRFLOW "
           "and QARVEL_AIRFLOW_SITE)")

SHOP = """
create schema sales; create schema crm;
create table sales.orders (order_id integer, customer_id integer, amount numeric(10, 2),
                           placed date, status text);
create table crm.customers (id integer, name text, email text);
create table sales.daily_totals (day date, total numeric, orders bigint);
create table crm.vip (customer_id integer, spent numeric);
create table sales.orders_copy (id integer, customer integer, value numeric(10, 2), day date,
                                state text);
insert into sales.orders values (1, 1, 50, '2024-01-01', 'shipped'),
                                (2, 1, 600, '2024-01-02', 'shipped'), (3, 2, 80, '2024-01-02', 'open');
insert into crm.customers values (1, 'Ann', 'ann@example.com'), (2, 'Bo', 'bo@example.com');
"""

# Each task's SQL, as the DAG gives it to SQLExecuteQueryOperator.
TASKS = {
    "daily_totals": """
        INSERT INTO sales.daily_totals (day, total, orders)
        SELECT placed, sum(amount), count(*) FROM sales.orders
        WHERE status = 'shipped' GROUP BY placed""",
    "customer_totals": """
        CREATE TABLE crm.customer_totals AS
        SELECT c.id, c.name, sum(o.amount) AS total
        FROM crm.customers c JOIN sales.orders o ON o.customer_id = c.id
        GROUP BY c.id, c.name""",
    "ranked": """
        CREATE TABLE sales.ranked AS
        SELECT order_id, customer_id, amount,
               rank() OVER (PARTITION BY customer_id ORDER BY amount DESC) AS rnk
        FROM sales.orders""",
    "two_statements": """
        CREATE TABLE sales.big AS SELECT order_id, amount FROM sales.orders WHERE amount > 100;
        INSERT INTO crm.vip (customer_id, spent)
        SELECT o.customer_id, sum(o.amount) FROM sales.orders o GROUP BY o.customer_id
        HAVING sum(o.amount) > 500""",
    "star": "INSERT INTO sales.orders_copy SELECT * FROM sales.orders",
    # A bound parameter: Airflow's parser gives no datasets for it (an
    # extractionError run facet), so there is no dataset to add a facet to.
    "templated": """
        INSERT INTO crm.vip (customer_id, spent)
        SELECT customer_id, amount FROM sales.orders WHERE status = %(status)s""",
    # The second statement is PostgreSQL that sqlglot does not parse.
    "unparsed": [
        "INSERT INTO crm.vip (customer_id, spent) SELECT id, 0 FROM crm.customers",
        "INSERT INTO sales.daily_totals (day, total, orders) "
        "SELECT placed, amount, 1 FROM sales.orders ORDER BY amount USING > LIMIT 1"],
}

DAG = '''
import pendulum
from airflow.providers.common.sql.operators.sql import SQLExecuteQueryOperator
from airflow.sdk import DAG

TASKS = {tasks}

with DAG("shop_lineage", start_date=pendulum.datetime(2024, 1, 1, tz="UTC"), schedule=None,
         catchup=False):
    for task_id, sql in TASKS.items():
        SQLExecuteQueryOperator(task_id=task_id, conn_id="shop_pg", sql=sql,
                                parameters={{"status": "shipped"}})
'''


def _airflow_env(home, port, events, extractor):
    env = {k: v for k, v in without_sanitizer().items()
           if not k.startswith(("AIRFLOW", "OPENLINEAGE"))}
    env.update(
        AIRFLOW_HOME=str(home), AIRFLOW__CORE__DAGS_FOLDER=str(home / "dags"),
        AIRFLOW__CORE__LOAD_EXAMPLES="False", PYTHONPATH=SITE,
        AIRFLOW_CONN_SHOP_PG=f"postgres://postgres@127.0.0.1:{port}/shop",
        AIRFLOW__OPENLINEAGE__TRANSPORT=json.dumps(
            {"type": "file", "log_file_path": str(events), "append": True}))
    if extractor:
        env["AIRFLOW__OPENLINEAGE__EXTRACTORS"] = extractor
    return env


def _airflow(env, *args):
    done = subprocess.run([AIRFLOW, *args], env=env, capture_output=True, text=True, timeout=600,
                          stdin=subprocess.DEVNULL)
    assert done.returncode == 0, (done.stdout[-4000:], done.stderr[-4000:])
    return done.stdout + done.stderr


def _sql(database, port, text):
    connection = psycopg2.connect(host="127.0.0.1", port=port, user="postgres", dbname=database)
    connection.autocommit = True
    with connection.cursor() as cursor:
        cursor.execute(text)
    connection.close()


@pytest.fixture(scope="module")
def runs(tmp_path_factory):
    """The DAG run twice on the same data (without, then with the
    extractor): each run's events by (task, event type), its log, the
    server's port and the catalog the run started from."""
    bindir = postgres_bindir()
    if bindir is None:
        pytest.skip("no PostgreSQL server programs (initdb) found")
    home = tmp_path_factory.mktemp("airflow")
    (home / "dags").mkdir()
    (home / "dags" / "shop_dag.py").write_text(DAG.format(tasks=repr(TASKS)), encoding="utf-8")
    found = {}
    with postgres_server(bindir, tcp=True) as (_, port):
        _sql("postgres", port, "create database shop_template")
        _sql("shop_template", port, SHOP)
        _airflow(_airflow_env(home, port, home / "none.jsonl", None), "db", "migrate")
        for name, extractor in (("airflow", None), ("ours", EXTRACTOR)):
            _sql("postgres", port, "drop database if exists shop")
            _sql("postgres", port, "create database shop template shop_template")
            if name == "ours":
                found["schema"] = Schema.from_database(
                    f"postgresql://postgres@127.0.0.1:{port}/shop")
            events = home / f"{name}.jsonl"
            log = _airflow(_airflow_env(home, port, events, extractor),
                           "dags", "test", "shop_lineage")
            by_task = {}
            for line in events.read_text(encoding="utf-8").splitlines():
                event = json.loads(line)
                task = event["job"]["name"].removeprefix("shop_lineage.")
                if ".query." in task:
                    # The provider's events of each query a hook ran, sent
                    # for a task whose SQL it could not parse: in `dags test`
                    # (one process) they list every task's queries so far,
                    # in the order the tasks happened to run.
                    continue
                by_task[(task, event["eventType"])] = event
            found[name], found[f"{name}_log"] = by_task, log
        found["namespace"] = f"postgres://127.0.0.1:{port}"
    return found


def lineage(facet):
    """A columnLineage facet as {field: {"dataset.column": ["TYPE SUBTYPE", ...]}},
    the dataset-wide entries under "*"."""
    def inputs(items):
        return {f"{i['name']}.{i['field']}": [f"{t['type']} {t.get('subtype')}"
                                              for t in i["transformations"]] for i in items}
    view = {name: inputs(value["inputFields"]) for name, value in facet["fields"].items()}
    view["*"] = inputs(facet.get("dataset", ()))
    return view


def outputs(event):
    return {d["name"]: d["facets"].get("columnLineage") for d in event["outputs"]}


ORDERS = "shop.sales.orders"
CUSTOMERS = "shop.crm.customers"
I, T, A = "DIRECT IDENTITY", "DIRECT TRANSFORMATION", "DIRECT AGGREGATION"
F, G, J, W = "INDIRECT FILTER", "INDIRECT GROUP_BY", "INDIRECT JOIN", "INDIRECT WINDOW"

EXPECTED = {
    "daily_totals": {"shop.sales.daily_totals": {
        "day": {f"{ORDERS}.placed": [I, G], f"{ORDERS}.status": [F]},
        "total": {f"{ORDERS}.amount": [A], f"{ORDERS}.status": [F], f"{ORDERS}.placed": [G]},
        "orders": {f"{ORDERS}.status": [F], f"{ORDERS}.placed": [G]},
        "*": {f"{ORDERS}.status": [F], f"{ORDERS}.placed": [G]}}},
    "customer_totals": {"shop.crm.customer_totals": {
        "id": {f"{CUSTOMERS}.id": [I, J, G], f"{ORDERS}.customer_id": [J],
               f"{CUSTOMERS}.name": [G]},
        "name": {f"{CUSTOMERS}.name": [I, G], f"{ORDERS}.customer_id": [J],
                 f"{CUSTOMERS}.id": [J, G]},
        "total": {f"{ORDERS}.amount": [A], f"{ORDERS}.customer_id": [J],
                  f"{CUSTOMERS}.id": [J, G], f"{CUSTOMERS}.name": [G]},
        "*": {f"{ORDERS}.customer_id": [J], f"{CUSTOMERS}.id": [J, G], f"{CUSTOMERS}.name": [G]}}},
    "ranked": {"shop.sales.ranked": {
        "order_id": {f"{ORDERS}.order_id": [I]},
        "customer_id": {f"{ORDERS}.customer_id": [I]},
        "amount": {f"{ORDERS}.amount": [I]},
        "rnk": {f"{ORDERS}.customer_id": [W], f"{ORDERS}.amount": [W]},
        "*": {}}},
    # Two statements, two datasets, each with its own statement's lineage.
    "two_statements": {
        "shop.crm.vip": {
            "customer_id": {f"{ORDERS}.customer_id": [I, G], f"{ORDERS}.amount": [F]},
            "spent": {f"{ORDERS}.amount": [A, F], f"{ORDERS}.customer_id": [G]},
            "*": {f"{ORDERS}.customer_id": [G], f"{ORDERS}.amount": [F]}},
        "shop.sales.big": {
            "order_id": {f"{ORDERS}.order_id": [I], f"{ORDERS}.amount": [F]},
            "amount": {f"{ORDERS}.amount": [I, F]},
            "*": {f"{ORDERS}.amount": [F]}}},
    # The star and the target's columns, from the information schema.
    "star": {"shop.sales.orders_copy": {
        "id": {f"{ORDERS}.order_id": [I]}, "customer": {f"{ORDERS}.customer_id": [I]},
        "value": {f"{ORDERS}.amount": [I]}, "day": {f"{ORDERS}.placed": [I]},
        "state": {f"{ORDERS}.status": [I]}, "*": {}}},
    "unparsed": {"shop.crm.vip": {
        "customer_id": {f"{CUSTOMERS}.id": [I]}, "spent": {}, "*": {}}},
}


def test_each_output_of_each_task_gets_its_own_facet(runs):
    for task, expected in EXPECTED.items():
        event = runs["ours"][(task, "COMPLETE")]
        facets = outputs(event)
        ours = {name: lineage(facet) for name, facet in facets.items()
                if facet and facet["_producer"] == PRODUCER}
        assert ours == expected, task
        for name in ours:
            assert {d["namespace"] for d in event["outputs"] if d["name"] == name} == \
                {runs["namespace"]}
    # The facet of the one dataset in full.
    facet = outputs(runs["ours"][("ranked", "COMPLETE")])["shop.sales.ranked"]

    def field(column, *steps):
        return {"namespace": runs["namespace"], "name": ORDERS, "field": column,
                "transformations": [{"type": s.split()[0], "subtype": s.split()[1],
                                     "description": "", "masking": False} for s in steps]}

    assert facet == {
        "_producer": PRODUCER,
        "_schemaURL": "https://openlineage.io/spec/facets/1-2-0/ColumnLineageDatasetFacet.json"
                      "#/$defs/ColumnLineageDatasetFacet",
        "dataset": [],
        "fields": {"order_id": {"inputFields": [field("order_id", I)]},
                   "customer_id": {"inputFields": [field("customer_id", I)]},
                   "amount": {"inputFields": [field("amount", I)]},
                   "rnk": {"inputFields": [field("customer_id", W), field("amount", W)]}}}


def test_start_events_carry_the_facets_of_the_outputs_airflow_knows_at_start(runs):
    # At START a table the task creates does not exist yet: Airflow lists no
    # such output, and no dataset is added.
    assert {name: lineage(f) for name, f in outputs(runs["ours"][("daily_totals", "START")]).items()} \
        == EXPECTED["daily_totals"]
    assert outputs(runs["ours"][("ranked", "START")]) == {}
    start = outputs(runs["ours"][("two_statements", "START")])
    assert {name: lineage(f) for name, f in start.items()} == \
        {"shop.crm.vip": EXPECTED["two_statements"]["shop.crm.vip"]}


def test_every_statement_has_the_lineage_analyze_script_gives(runs):
    """Each written dataset's facet is the lineage analyze_script gives its
    statement (the catalog the run began with as schema), under Airflow's
    names (the connection's database and default schema where the SQL
    names none)."""
    def name(table):  # a target (Table) or a source (Source)
        last = getattr(table, "name", None) or table.table
        return ".".join(("shop", table.db or "public", last) if table.catalog is None
                        else (table.catalog, table.db, last))

    def inputs(sources):
        found = {}
        for s in sources:
            found.setdefault(f"{name(s)}.{s.column}", []).append(f"{s.type} {s.subtype}")
        return found

    checked = 0
    for task, sql in TASKS.items():
        if task == "templated":
            continue
        text = sql if isinstance(sql, str) else ";\n".join(sql)
        script = qarvel_lineage.analyze_script(text, "postgres", runs["schema"])
        facets = outputs(runs["ours"][(task, "COMPLETE")])
        for result in script.statements:
            if not isinstance(result, qarvel_lineage.LineageResult):
                continue
            expected = {c.name: inputs((*c.direct, *c.indirect)) for c in result.columns}
            expected["*"] = inputs(result.influences)
            assert lineage(facets[name(result.target)]) == expected, (task, result.sql)
            checked += 1
    assert checked == 7


def _without_times(event):
    """An event without what differs from run to run."""
    event = json.loads(json.dumps(event))
    event.pop("eventTime")
    event["run"] = sorted(event["run"].get("facets", {}))
    return event


def test_airflows_datasets_names_and_other_facets_are_kept(runs):
    assert sorted(runs["ours"]) == sorted(runs["airflow"])
    rewritten = 0
    for key, theirs in runs["airflow"].items():
        ours = _without_times(runs["ours"][key])
        theirs = _without_times(theirs)
        for mine, before in zip(ours["outputs"], theirs["outputs"]):
            facet = mine["facets"].get("columnLineage")
            if facet is not None and facet["_producer"] == PRODUCER:
                # Airflow's own facet, or none where it gave none (the star)
                del mine["facets"]["columnLineage"]
                if "columnLineage" in before["facets"]:
                    mine["facets"]["columnLineage"] = before["facets"]["columnLineage"]
                rewritten += 1
        assert ours == theirs, key
    assert rewritten == 11  # 7 outputs at COMPLETE, 4 at START
    # The task whose SQL Airflow could not parse has no datasets, ours neither.
    for kind in ("START", "COMPLETE"):
        assert runs["ours"][("templated", kind)]["outputs"] == []
        errors = runs["ours"][("templated", kind)]["run"]["facets"]["extractionError"]["errors"]
        assert [e["errorMessage"] for e in errors] == [
            "Expected: an expression, found: % at Line: 2, Column: 69"]
    # The output of the statement sqlglot cannot parse keeps Airflow's facet.
    kept = outputs(runs["ours"][("unparsed", "COMPLETE")])["shop.sales.daily_totals"]
    assert kept == outputs(runs["airflow"][("unparsed", "COMPLETE")])["shop.sales.daily_totals"]
    assert kept["_producer"].startswith("https://github.com/apache/airflow/")


def test_a_statement_that_cannot_be_analysed_is_one_line_of_the_log(runs):
    said = [line for line in runs["ours_log"].splitlines() if "column lineage of task" in line]
    assert len(said) == 2  # at START and at COMPLETE
    for line in said:
        assert ("column lineage of task unparsed: statement 2: ParseError: Invalid expression / "
                "Unexpected token. Line 1, Col: 116.; Airflow's own facet is kept") in line
    assert "Traceback" not in runs["ours_log"]
    assert "column lineage of task" not in runs["airflow_log"]


BROKEN = '''
from airflow.providers.common.sql.operators.sql import SQLExecuteQueryOperator
from airflow.providers.openlineage.extractors.base import OperatorLineage
from openlineage.client.event_v2 import Dataset

from qarvel_lineage.airflow import ColumnLineageExtractor


class Broken(SQLExecuteQueryOperator):
    """Airflow's lineage, and a hook that cannot be had."""

    def get_openlineage_facets_on_start(self):
        return OperatorLineage(outputs=[Dataset(namespace="postgres://h:5432", name="db.s.t")])

    def get_openlineage_facets_on_complete(self, task_instance):
        return self.get_openlineage_facets_on_start()

    def get_db_hook(self):
        raise RuntimeError("no connection today")


extractor = ColumnLineageExtractor(Broken(task_id="broken", conn_id="x", sql="insert into t select 1"))
for found in (extractor.extract(), extractor.extract_on_complete(None),
              extractor.extract_on_failure(None)):
    print("LINEAGE", [(d.namespace, d.name, d.facets) for d in found.outputs])
'''


def test_the_extractor_never_fails_the_task(tmp_path):
    python = Path(AIRFLOW).with_name("python")
    env = {k: v for k, v in without_sanitizer().items() if not k.startswith("AIRFLOW")}
    env.update(AIRFLOW_HOME=str(tmp_path), PYTHONPATH=SITE)
    done = subprocess.run([str(python), "-c", BROKEN], env=env, capture_output=True, text=True,
                          timeout=300, stdin=subprocess.DEVNULL)
    assert done.returncode == 0, done.stderr[-3000:]
    output = done.stdout + done.stderr
    assert [line for line in done.stdout.splitlines() if line.startswith("LINEAGE")] == \
        ["LINEAGE [('postgres://h:5432', 'db.s.t', {})]"] * 3
    said = [line for line in output.splitlines() if "column lineage of task" in line]
    assert len(said) == 3
    assert all("column lineage of task broken not added: RuntimeError: no connection today" in line
               for line in said)
