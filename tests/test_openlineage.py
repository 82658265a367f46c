"""OpenLineage where pipelines run: datasets named as a producer names them,
the columnLineage facet of each dataset statements write, and the
transformer of openlineage-python's transform transport, driven through
that client with an HTTP transport posting to a receiver on 127.0.0.1."""

import copy
import logging

import pytest
from openlineage.client import OpenLineageClient
from openlineage.client.event_v2 import InputDataset, Job, OutputDataset, Run, RunEvent, RunState
from openlineage.client.generated import column_lineage_dataset, schema_dataset, sql_job

from qarvel_lineage import Source, Table
from qarvel_lineage.openlineage.facets import (
    analyse_sql,
    catalog_schema,
    catalog_tables,
    written_facets,
)
from qarvel_lineage.openlineage.naming import DatasetNames

from receiver import Receiver

PG = "postgres://db:5432"
FACET_SCHEMA = ("https://openlineage.io/spec/facets/1-2-0/ColumnLineageDatasetFacet.json"
                "#/$defs/ColumnLineageDatasetFacet")
PRODUCER = "https://pypi.org/project/sqlglot-main/"
TRANSFORMER = "qarvel_lineage.openlineage.transformer.ColumnLineageTransformer"


def step(kind):
    """A transformation as the facet writes it: "DIRECT IDENTITY"."""
    kind, subtype = kind.split()
    return {"type": kind, "subtype": subtype, "description": "", "masking": False}


def field(name, column, *steps, namespace=PG):
    return {"namespace": namespace, "name": name, "field": column,
            "transformations": [step(s) for s in steps]}


def facet(fields, dataset):
    return {"_producer": PRODUCER, "_schemaURL": FACET_SCHEMA,
            "fields": {name: {"inputFields": inputs} for name, inputs in fields.items()},
            "dataset": dataset}


# --- naming ------------------------------------------------------------------------------

def test_tables_are_named_in_full_or_as_the_event_names_them():
    names = DatasetNames(PG, "shop", "public", [
        (PG, "shop.sales.orders"), (PG, "shop.crm.Customers"),
        ("s3://a", "lake.events"), ("s3://b", "archive.events")])
    assert names.place(Table(None, None, "t")) == (PG, "shop.public.t")
    assert names.place(Table(None, "mart", "t")) == (PG, "shop.mart.t")
    assert names.place(Table("other", "mart", "t")) == (PG, "other.mart.t")
    # Found among the event's datasets: exactly, by its last parts, then ignoring case.
    assert names.place(Table(None, "sales", "orders")) == (PG, "shop.sales.orders")
    assert names.place(Table(None, None, "orders")) == (PG, "shop.sales.orders")
    assert names.place(Table(None, "crm", "customers")) == (PG, "shop.crm.Customers")
    # Two datasets end so: neither is taken.
    assert names.place(Table(None, None, "events")) == (PG, "shop.public.events")
    assert names.place(Source(None, None, "orders", "id", "DIRECT", "IDENTITY")) == \
        (PG, "shop.sales.orders")
    assert DatasetNames("default").place(Table(None, "a", "b")) == ("default", "a.b")


# --- facets ------------------------------------------------------------------------------

TASK = """
create table mart.big as select o.id, o.amount from sales.orders o where o.amount > 100;
insert into mart.vip (customer, spent)
select customer_id, sum(amount) from sales.orders group by customer_id;
insert into mart.vip (customer, spent) select id, 0 from crm.customers;
insert into mart.top (id) select id from sales.orders order by amount using < limit 1
"""


def test_each_written_dataset_gets_the_lineage_of_the_statements_that_write_it():
    script = analyse_sql(TASK, "postgres")
    written = written_facets(script, DatasetNames(PG, "shop", "public"))
    orders, customers = "shop.sales.orders", "shop.crm.customers"
    assert written.facets == {
        (PG, "shop.mart.big"): facet(
            {"id": [field(orders, "id", "DIRECT IDENTITY"),
                    field(orders, "amount", "INDIRECT FILTER")],
             "amount": [field(orders, "amount", "DIRECT IDENTITY", "INDIRECT FILTER")]},
            [field(orders, "amount", "INDIRECT FILTER")]),
        # Two statements write mart.vip: the facet holds both.
        (PG, "shop.mart.vip"): facet(
            {"customer": [field(orders, "customer_id", "DIRECT IDENTITY", "INDIRECT GROUP_BY"),
                          field(customers, "id", "DIRECT IDENTITY")],
             "spent": [field(orders, "amount", "DIRECT AGGREGATION"),
                       field(orders, "customer_id", "INDIRECT GROUP_BY")]},
            [field(orders, "customer_id", "INDIRECT GROUP_BY")]),
    }
    # The statement sqlglot cannot parse is said, and writes no facet.
    assert written.skipped == ["statement 4: ParseError: Invalid expression / Unexpected token. "
                               "Line 1, Col: 75."]


def test_a_list_of_statements_is_one_script():
    listed = analyse_sql(["create table a as select x from s", "insert into b select * from a"],
                         "postgres")
    assert [result.target.name for result in listed.statements] == ["a", "b"]
    # The second statement reads the table the first wrote, whose columns it knows.
    assert listed.statements[1].columns[0].name == "x"
    assert listed.statements[1].columns[0].direct[0][2:4] == ("a", "x")
    with pytest.raises(TypeError, match="SQL must be a str or a list of str, not int"):
        analyse_sql(["select 1", 2])


def test_the_catalog_is_asked_only_for_what_a_statement_needs():
    assert catalog_tables(analyse_sql(
        "insert into t (a) select x from s; create table u as select s.x, r.y "
        "from s join r on s.k = r.k", "postgres"), "postgres") == []
    star = analyse_sql("insert into mart.copy select * from sales.orders", "postgres")
    assert catalog_tables(star, "postgres") == [Table(None, "sales", "orders"),
                                                Table(None, "mart", "copy")]
    no_list = analyse_sql("insert into mart.copy select id from sales.orders", "postgres")
    assert catalog_tables(no_list, "postgres") == [Table(None, "sales", "orders"),
                                                   Table(None, "mart", "copy")]
    # Without the catalog the star's columns are not known: no facet, and a line.
    names = DatasetNames(PG, "shop", "public")
    assert written_facets(star, names).skipped == [
        "statement 1: the columns of sales.orders are not known"]
    rows = [("sales", "orders", "id", "int4"), ("sales", "orders", "Amount", "numeric"),
            ("mart", "copy", "key", "int4"), ("mart", "copy", "value", "numeric")]
    schema = catalog_schema(rows, "shop", "postgres")
    assert schema.mapping == {"shop": {"sales": {"orders": {"id": "int4", "Amount": "numeric"}},
                                       "mart": {"copy": {"key": "int4", "value": "numeric"}}}}
    again = written_facets(analyse_sql("insert into mart.copy select * from sales.orders",
                                       "postgres", schema), names)
    assert again.skipped == []
    assert again.facets[(PG, "shop.mart.copy")]["fields"] == {
        "key": {"inputFields": [field("shop.sales.orders", "id", "DIRECT IDENTITY")]},
        "value": {"inputFields": [field("shop.sales.orders", "Amount", "DIRECT IDENTITY")]}}


# --- the transform transport's transformer ------------------------------------------------

def _schema(*names):
    return schema_dataset.SchemaDatasetFacet(
        fields=[schema_dataset.SchemaDatasetFacetFields(name=name, type="int4") for name in names])


def _their_facet():
    """A facet as another producer made it (no transformations)."""
    return column_lineage_dataset.ColumnLineageDatasetFacet(fields={
        "_0": column_lineage_dataset.Fields(inputFields=[column_lineage_dataset.InputField(
            namespace=PG, name="shop.sales.orders", field="id", transformations=[])])})


def _event(sql, dialect=None):
    job_facets = {} if sql is None else {"sql": sql_job.SQLJobFacet(query=sql, dialect=dialect)}
    return RunEvent(
        eventType=RunState.COMPLETE, eventTime="2024-05-01T10:00:00+00:00",
        run=Run(runId="0190f1a2-0000-7000-8000-000000000001"),
        job=Job(namespace="airflow", name="shop.copy", facets=job_facets),
        inputs=[InputDataset(namespace=PG, name="shop.sales.orders",
                             facets={"schema": _schema("id", "amount")})],
        outputs=[OutputDataset(namespace=PG, name="shop.mart.copy",
                               facets={"schema": _schema("key", "value"),
                                       "columnLineage": _their_facet()}),
                 OutputDataset(namespace=PG, name="shop.mart.other",
                               facets={"columnLineage": _their_facet()})],
        producer="https://example.com/producer")


def _client(receiver, properties=None):
    transport = {"type": "http", "url": receiver.url, "timeout": 10, "retry": {"total": 0}}
    return OpenLineageClient(config={"transport": {
        "type": "transform", "transformer_class": TRANSFORMER,
        "transformer_properties": properties or {}, "transport": transport}})


def _as_sent(events):
    """The bodies the client posts for ``events`` without the transformer."""
    with Receiver() as plain:
        client = OpenLineageClient(config={"transport": {
            "type": "http", "url": plain.url, "timeout": 10, "retry": {"total": 0}}})
        for event in events:
            client.emit(copy.deepcopy(event))
        client.close()
    return plain.bodies


def test_the_transformer_rewrites_each_written_output_from_the_jobs_sql():
    with Receiver() as receiver:
        client = _client(receiver)
        event = _event("insert into mart.copy select * from sales.orders where amount > 0",
                       dialect="postgres")
        (sent,) = _as_sent([event])
        client.emit(event)
        client.close()
    (body,) = receiver.bodies
    orders = "shop.sales.orders"
    # The star is expanded from the event's own schema facets, the fields are
    # the target's columns (also from its schema facet), names are the event's.
    assert body["outputs"][0]["facets"]["columnLineage"] == facet(
        {"key": [field(orders, "id", "DIRECT IDENTITY"), field(orders, "amount", "INDIRECT FILTER")],
         "value": [field(orders, "amount", "DIRECT IDENTITY", "INDIRECT FILTER")]},
        [field(orders, "amount", "INDIRECT FILTER")])
    # Everything else is as the producer sent it: the other output's facet too.
    body["outputs"][0]["facets"]["columnLineage"] = sent["outputs"][0]["facets"]["columnLineage"]
    assert body == sent


def test_events_the_transformer_cannot_read_go_on_unchanged(caplog):
    with Receiver() as receiver:
        client = _client(receiver, {"dialect": "postgres"})
        events = [_event(None), _event("insert into mart.copy select id from s order by a using <"),
                  _event("select 1")]
        sent = _as_sent(events)
        with caplog.at_level(logging.WARNING, logger="qarvel_lineage"):
            for event in events:
                client.emit(event)
        client.close()
    assert receiver.bodies == sent
    assert [record.getMessage() for record in caplog.records
            if record.name.startswith("qarvel_lineage")] == [
        "column lineage of airflow/shop.copy: statement 1: ParseError: Invalid expression / "
        "Unexpected token. Line 1, Col: 55."]


def test_transformer_properties_name_what_the_sql_leaves_out():
    with Receiver() as receiver:
        client = _client(receiver, {"dialect": "snowflake", "database": "SHOP", "schema": "MART",
                                    "namespace": "snowflake://acct"})
        event = _event("insert into copy (key) select x from raw.feed")
        event.outputs[0].name = "SHOP.MART.COPY"
        event.outputs[0].namespace = "snowflake://acct"
        client.emit(event)
        client.close()
    (body,) = receiver.bodies
    assert body["outputs"][0]["facets"]["columnLineage"]["fields"] == {"KEY": {"inputFields": [
        field("SHOP.RAW.FEED", "X", "DIRECT IDENTITY", namespace="snowflake://acct")]}}
