"""A transformer for openlineage-python's ``transform`` transport: the
columnLineage facet of every output dataset of an event rewritten from
the SQL of the event's job (its ``sql`` job facet), so that what any
producer sends (Spark, dbt-ol, Airflow, ...) carries this engine's lineage.

    transport:
      type: transform
      transformer_class: qarvel_lineage.openlineage.transformer.ColumnLineageTransformer
      transformer_properties: {dialect: postgres}     # all optional
      transport: {type: http, url: http://marquez:5000}

Properties: ``dialect`` (sqlglot's name; else the one the SQL facet
names, else sqlglot's default), ``database`` and ``schema`` (the parts of a dataset's
name the SQL leaves out), ``namespace`` (of datasets the event does not
hold; else the outputs' own).  A table the SQL names is the event's
dataset whose name ends with its parts; the columns of the event's
datasets (their ``schema`` facets) expand stars.  An event without SQL,
or whose SQL cannot be analysed, is sent as it came; a facet is replaced
only for outputs the SQL writes."""

from __future__ import annotations

import logging
from typing import Any

from openlineage.client.transport.transform import EventTransformer

from qarvel_lineage.engine.rules import Schema
from qarvel_lineage.openlineage.facets import analyse_sql, sqlglot_dialect, written_facets
from qarvel_lineage.openlineage.naming import DatasetNames
from qarvel_lineage.openlineage.objects import lineage_facet

__all__ = ["ColumnLineageTransformer"]

log = logging.getLogger(__name__)


def _event_schema(datasets: list[Any], dialect: Any) -> Schema | None:
    """The columns the event's datasets' schema facets list, as a schema
    (names split on dots; datasets whose names have another number of
    parts than the first's are left out)."""
    mapping: dict[str, Any] = {}
    depth = None
    for dataset in datasets:
        facet = (dataset.facets or {}).get("schema")
        fields = getattr(facet, "fields", None)
        if not fields:
            continue
        parts = dataset.name.split(".")
        if depth is None:
            depth = len(parts)
        if len(parts) != depth or len(parts) > 3:
            continue
        level = mapping
        for part in parts[:-1]:
            level = level.setdefault(part, {})
        level[parts[-1]] = {field.name: field.type or "" for field in fields}
    return Schema(mapping, dialect, stored=True) if mapping else None


class ColumnLineageTransformer(EventTransformer):
    """Rewrites each output's columnLineage facet from the job's SQL."""

    def transform(self, event: Any) -> Any:
        try:
            self._rewrite(event)
        except Exception as error:  # the event goes on as it came
            first = (str(error).splitlines() or [""])[0]
            log.warning("column lineage not rewritten for %s: %s: %s", _job_name(event),
                        type(error).__name__, first)
        return event

    def _rewrite(self, event: Any) -> None:
        job = getattr(event, "job", None)
        sql = (getattr(job, "facets", None) or {}).get("sql")
        outputs = getattr(event, "outputs", None) or []
        query = getattr(sql, "query", None)
        if not isinstance(query, str) or not query.strip() or not outputs:
            return
        properties = self.properties or {}
        dialect = properties.get("dialect") or sqlglot_dialect(getattr(sql, "dialect", None))
        datasets = [*(getattr(event, "inputs", None) or []), *outputs]
        namespaces = {dataset.namespace for dataset in outputs}
        namespace = properties.get("namespace") or (namespaces.pop() if len(namespaces) == 1
                                                    else "default")
        script = analyse_sql(query, dialect, _event_schema(datasets, dialect))
        names = DatasetNames(namespace, properties.get("database"), properties.get("schema"),
                             [(dataset.namespace, dataset.name) for dataset in datasets])
        written = written_facets(script, names)
        for line in written.skipped:
            log.warning("column lineage of %s: %s", _job_name(event), line)
        for dataset in outputs:
            facet = written.facets.get((dataset.namespace, dataset.name))
            if facet is not None:
                dataset.facets = {**(dataset.facets or {}), "columnLineage": lineage_facet(facet)}


def _job_name(event: Any) -> str:
    job = getattr(event, "job", None)
    return f"{getattr(job, 'namespace', '?')}/{getattr(job, 'name', '?')}"
