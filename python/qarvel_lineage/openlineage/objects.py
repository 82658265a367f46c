"""openlineage-python's classes of the facets and events this package
makes as dicts (the columnLineage and schema facets, run events), for its
client and its transports.  Importable where openlineage-python is
installed (``pip install 'sqlglot-main[openlineage]'``)."""

from __future__ import annotations

from typing import Any

from openlineage.client.event_v2 import (
    InputDataset,
    Job,
    OutputDataset,
    Run,
    RunEvent,
    RunState,
)
from openlineage.client.generated import column_lineage_dataset, schema_dataset

__all__ = ["lineage_facet", "run_event"]


def _input_field(item: dict[str, Any]) -> column_lineage_dataset.InputField:
    return column_lineage_dataset.InputField(
        namespace=item["namespace"], name=item["name"], field=item["field"],
        transformations=[column_lineage_dataset.Transformation(
            type=step["type"], subtype=step.get("subtype"), description=step.get("description"),
            masking=step.get("masking")) for step in item.get("transformations", ())])


def lineage_facet(facet: dict[str, Any]) -> column_lineage_dataset.ColumnLineageDatasetFacet:
    """The ColumnLineageDatasetFacet of a facet given as a dict."""
    return column_lineage_dataset.ColumnLineageDatasetFacet(
        fields={name: column_lineage_dataset.Fields(
                    inputFields=[_input_field(item) for item in field["inputFields"]])
                for name, field in facet["fields"].items()},
        dataset=[_input_field(item) for item in facet.get("dataset", ())],
        producer=facet.get("_producer", ""))


def _schema_facet(facet: dict[str, Any]) -> schema_dataset.SchemaDatasetFacet:
    return schema_dataset.SchemaDatasetFacet(
        fields=[schema_dataset.SchemaDatasetFacetFields(
                    name=field["name"], type=field.get("type"), description=field.get("description"))
                for field in facet["fields"]],
        producer=facet.get("_producer", ""))


_FACETS = {"columnLineage": lineage_facet, "schema": _schema_facet}


def _facets(dataset: dict[str, Any]) -> dict[str, Any]:
    return {name: _FACETS[name](facet) for name, facet in (dataset.get("facets") or {}).items()}


def run_event(event: dict[str, Any]) -> RunEvent:
    """The RunEvent of an event given as a dict (``events.run_event``'s)."""
    return RunEvent(
        eventType=RunState(event["eventType"]),
        eventTime=event["eventTime"],
        run=Run(runId=event["run"]["runId"]),
        job=Job(namespace=event["job"]["namespace"], name=event["job"]["name"]),
        inputs=[InputDataset(namespace=d["namespace"], name=d["name"], facets=_facets(d))
                for d in event.get("inputs", ())],
        outputs=[OutputDataset(namespace=d["namespace"], name=d["name"], facets=_facets(d))
                 for d in event.get("outputs", ())],
        producer=event["producer"])
