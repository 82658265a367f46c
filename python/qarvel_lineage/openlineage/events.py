"""OpenLineage run events (spec 2-0-2) of what the command line analyses,
as JSON-ready dicts: one COMPLETE event per job, a job being an input (a
file, a text, standard input) or a dbt model."""

from __future__ import annotations

import datetime
import uuid
from typing import Any, Iterable

from qarvel_lineage.engine.result import _PRODUCER as PRODUCER

__all__ = ["PRODUCER", "RUN_EVENT_SCHEMA", "run_event", "input_events"]

RUN_EVENT_SCHEMA = "https://openlineage.io/spec/2-0-2/OpenLineage.json#/$defs/RunEvent"


def run_event(namespace: str, job: str, inputs: Iterable[dict[str, Any]],
              outputs: Iterable[dict[str, Any]]) -> dict[str, Any]:
    """A COMPLETE event of a run of ``job`` (a new run id, the time now):
    ``inputs`` and ``outputs`` are datasets ({"namespace", "name"[,
    "facets"]})."""
    return {
        "eventType": "COMPLETE",
        "eventTime": datetime.datetime.now(datetime.timezone.utc).isoformat(),
        "producer": PRODUCER,
        "schemaURL": RUN_EVENT_SCHEMA,
        "run": {"runId": str(uuid.uuid4())},
        "job": {"namespace": namespace, "name": job},
        "inputs": [{"namespace": d["namespace"], "name": d["name"]} for d in inputs],
        "outputs": list(outputs),
    }


def _facet_inputs(datasets: list[dict[str, Any]]) -> list[tuple[str, str]]:
    """The datasets the columnLineage facets read, in order."""
    found: dict[tuple[str, str], None] = {}
    for dataset in datasets:
        facet = (dataset.get("facets") or {}).get("columnLineage") or {}
        for field in facet.get("fields", {}).values():
            for item in field["inputFields"]:
                found[(item["namespace"], item["name"])] = None
        for item in facet.get("dataset", ()):
            found[(item["namespace"], item["name"])] = None
    return list(found)


def input_events(name: str, datasets: list[dict[str, Any]], reads: list[str],
                 namespace: str) -> list[dict[str, Any]]:
    """The events of one input as the command analyses it: a dbt model's
    job ({"job", "inputs", "outputs"}) is an event of its own; the datasets
    of a SQL input are the outputs of one event of the job ``name``, whose
    inputs are the tables it reads (``reads``; when not known, those its
    columnLineage facets name)."""
    events = []
    outputs = []
    for dataset in datasets:
        if "job" in dataset:
            events.append(run_event(dataset["job"]["namespace"], dataset["job"]["name"],
                                    dataset["inputs"], dataset["outputs"]))
        else:
            outputs.append(dataset)
    if outputs:
        places = [(namespace, table) for table in reads] or _facet_inputs(outputs)
        events.append(run_event(namespace, name,
                                [{"namespace": ns, "name": table} for ns, table in places],
                                outputs))
    return events
