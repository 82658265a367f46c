"""Column lineage of a compiled dbt project.

    from qarvel_lineage.dbt import project_lineage
    project = project_lineage("path/to/project")     # or its target/, or manifest.json
    project.column("customers", "lifetime_value")    # traced to seeds and sources
    project.models["model.shop.customers"]           # the model's own LineageResult

The project is read from dbt's own JSON: ``target/manifest.json`` (each
model's compiled SQL, the DAG, sources and exposures) and, when present,
``target/catalog.json`` (the columns the warehouse has).  Models are
analysed in DAG order as the statements of one script: each model's output
columns become the schema its children read, so stars and unqualified
columns resolve across the project without a hand-written schema, and every
column is traced through the intermediate models down to seeds and sources.
Ephemeral models are inlined in their children's compiled SQL, as dbt
inlines them.  Nothing of dbt is imported.
"""

from __future__ import annotations

import csv
import graphlib
import json
import os
from dataclasses import dataclass
from typing import Any, Iterator

from sqlglot import exp
from sqlglot.errors import ParseError, SqlglotError

from ._result import LineageResult, flat_rows, openlineage_facet, row_keys, rows_frame, rows_json
from ._parse import analyze_statement, analyze_tree, parse
from ._rules import Rules, Schema, rules_for
from ._script import (EndToEnd, TargetColumn, _ScriptState, apply_statement, end_to_end,
                      table_of)
from ._types import OutputColumn, Source, Table

__all__ = ["project_lineage", "DbtProject", "ModelError", "ADAPTER_DIALECTS"]

# dbt adapters whose SQL sqlglot reads under another name.
ADAPTER_DIALECTS = {
    "postgres": "postgres", "redshift": "redshift", "snowflake": "snowflake",
    "bigquery": "bigquery", "duckdb": "duckdb", "databricks": "databricks", "spark": "spark",
    "trino": "trino", "athena": "athena", "clickhouse": "clickhouse", "sqlserver": "tsql",
    "fabric": "tsql", "synapse": "tsql", "mysql": "mysql", "sqlite": "sqlite",
    "oracle": "oracle", "materialize": "postgres", "teradata": "teradata", "starrocks": "starrocks",
    "doris": "doris", "hive": "hive", "presto": "presto", "dremio": "dremio",
}
_ANALYSED = ("model", "snapshot")
_MATERIALISED_AS = {"view": "VIEW", "materialized_view": "VIEW"}


@dataclass(frozen=True, slots=True)
class ModelError:
    """A model whose SQL could not be analysed; the rest of the project was."""

    unique_id: str
    error: Exception

    def __str__(self) -> str:
        text = str(self.error).strip()
        return f"{self.unique_id}: {type(self.error).__name__}: {text.splitlines()[0] if text else ''}"


@dataclass(frozen=True, slots=True)
class DbtProject:
    """The lineage of a dbt project.

    ``models``: each model and snapshot, in DAG order, by unique id: its own
    LineageResult (sources are the relations it reads, target its
    relation), or a ModelError.  ``end_to_end``: every column of every
    model's relation traced through the project to seeds and sources.
    ``exposures``: each exposure's source columns (the end-to-end sources of
    every column it depends on).  ``relations``: the relation of each node
    that has one (models, snapshots, seeds, sources)."""

    models: dict[str, LineageResult | ModelError]
    end_to_end: EndToEnd
    exposures: dict[str, tuple[Source, ...]]
    relations: dict[str, Table]
    dialect: str | None

    @property
    def errors(self) -> tuple[ModelError, ...]:
        return tuple(r for r in self.models.values() if isinstance(r, ModelError))

    def columns_of(self, model: str) -> tuple[TargetColumn, ...]:
        """The end-to-end lineage of a model's columns; ``model`` is a
        unique id or a model's name."""
        table = self.relations.get(model) or self.relations.get(self._unique_id(model))
        return tuple(c for c in self.end_to_end.columns if c.target == table)

    def column(self, model: str, column: str) -> TargetColumn:
        """One column of a model, traced to seeds and sources."""
        for found in self.columns_of(model):
            if found.name == column:
                return found
        raise KeyError(f"{model} has no column {column!r}")

    def _unique_id(self, name: str) -> str:
        matches = [uid for uid in self.relations
                   if uid.split(".")[0] in _ANALYSED and uid.rsplit(".", 1)[-1] == name]
        if len(matches) != 1:
            raise KeyError(f"no model named {name!r}" if not matches
                           else f"{name!r} names {len(matches)} models: {', '.join(matches)}")
        return matches[0]

    def to_dicts(self) -> list[dict[str, Any]]:
        """The end-to-end rows, each with "model" (the unique id) first."""
        rows: list[dict[str, Any]] = []
        for unique_id, table in self.relations.items():
            if unique_id.split(".")[0] not in _ANALYSED:
                continue
            columns = self.columns_of(unique_id)
            outputs = [OutputColumn(c.position, c.name, c.direct, c.indirect, c.unresolved)
                       for c in columns]
            for row in flat_rows(outputs, table):
                rows.append({"model": unique_id, **row})
        return rows

    def to_dataframe(self):
        return rows_frame(self.to_dicts(), ("model",) + row_keys(True))

    def to_json(self) -> str:
        return rows_json(self.to_dicts())

    def to_openlineage(self, namespace: str) -> list[dict[str, Any]]:
        """One job per analysed model: its inputs (the relations it reads)
        and its output dataset with OpenLineage's columnLineage facet."""
        if not isinstance(namespace, str):
            raise TypeError(f"namespace must be a str, not {type(namespace).__name__}")
        jobs = []
        for unique_id, result in self.models.items():
            if isinstance(result, ModelError) or result.target is None:
                continue
            jobs.append({
                "job": {"namespace": namespace, "name": unique_id},
                "inputs": [{"namespace": namespace, "name": str(table)} for table in result.tables],
                "outputs": [{"namespace": namespace, "name": str(result.target),
                             "facets": {"columnLineage": result.to_openlineage(namespace)}}],
            })
        return jobs

    def __repr__(self) -> str:
        return (f"<DbtProject {len(self.models)} models, {len(self.errors)} failed, "
                f"{len(self.exposures)} exposures>")


# --- reading the project ---------------------------------------------------------------

def _files(path: Any) -> tuple[str, str | None, str]:
    """(manifest.json, catalog.json or None, the project's folder) of a
    project folder, its target folder or the manifest itself."""
    path = os.fspath(path)
    if not isinstance(path, str):
        raise TypeError("path must be a str or a path")
    if os.path.isdir(path):
        for target in (os.path.join(path, "target"), path):
            if os.path.isfile(os.path.join(target, "manifest.json")):
                break
        else:
            raise FileNotFoundError(
                f"no manifest.json in {path} or {os.path.join(path, 'target')}: compile the "
                "project first (dbt compile, dbt build or dbt docs generate)")
        manifest = os.path.join(target, "manifest.json")
    elif os.path.isfile(path):
        manifest = path
    else:
        raise FileNotFoundError(f"no dbt project, target folder or manifest at {path}")
    folder = os.path.dirname(os.path.abspath(manifest))
    catalog = os.path.join(folder, "catalog.json")
    return manifest, catalog if os.path.isfile(catalog) else None, os.path.dirname(folder)


def _load(path: str, what: str) -> dict[str, Any]:
    try:
        with open(path, encoding="utf-8") as handle:
            data = json.load(handle)
    except json.JSONDecodeError as error:
        raise ValueError(f"{path} is not valid JSON ({what}): {error}") from None
    if not isinstance(data, dict):
        raise ValueError(f"{path} is not a dbt {what}")
    return data


def _relation(node: dict[str, Any], rules: Rules) -> Table | None:
    """The table a node's relation names, as its SQL reads it."""
    name = node.get("relation_name")
    if not isinstance(name, str) or not name:
        return None
    try:
        table = exp.to_table(name, dialect=rules.dialect)
    except SqlglotError:
        return None
    return table_of(table, rules)


def _seed_header(node: dict[str, Any], project: str) -> list[str]:
    path = os.path.join(node.get("root_path") or project, node.get("original_file_path") or "")
    if not (path.lower().endswith(".csv") and os.path.isfile(path)):
        path = os.path.join(project, node.get("original_file_path") or "")
    try:
        with open(path, newline="", encoding="utf-8-sig") as handle:
            return next(csv.reader(handle), [])
    except (OSError, UnicodeDecodeError, csv.Error):
        return []


def _known_columns(unique_id: str, node: dict[str, Any], catalog: dict[str, Any], project: str,
                   rules: Rules) -> dict[str, str] | None:
    """The columns a relation has: the warehouse's (catalog.json), else the
    YAML declarations, else a seed's CSV header."""
    entry = catalog.get(unique_id)
    if isinstance(entry, dict) and isinstance(entry.get("columns"), dict) and entry["columns"]:
        ordered = sorted(entry["columns"].values(), key=lambda c: c.get("index") or 0)
        return {rules.normalise_stored(c["name"]): c.get("type") or "" for c in ordered}
    declared = node.get("columns") or {}
    if declared:
        return {rules.normalise(c.get("name") or name): c.get("data_type") or ""
                for name, c in declared.items()}
    if node.get("resource_type") == "seed":
        return {rules.normalise(name): "" for name in _seed_header(node, project) if name}
    return None


def _schema(known: dict[Table, dict[str, str]], rules: Rules) -> Schema | None:
    """The relations whose columns are known, nested as deep as every one
    of them is named (most adapters name database, schema and table)."""
    if not known:
        return None
    depth = 3 if all(t.catalog for t in known) else 2 if all(t.db for t in known) else 1
    mapping: dict[str, Any] = {}
    for table, columns in known.items():
        level = mapping
        for part in (table.catalog, table.db)[3 - depth:]:
            level = level.setdefault(part or "", {})
        level[table.name] = columns
    return Schema(mapping, rules.dialect, stored=True)


def _dag_order(nodes: dict[str, dict[str, Any]]) -> Iterator[str]:
    """Every node after the nodes it depends on; ties in id order."""
    sorter: graphlib.TopologicalSorter = graphlib.TopologicalSorter()
    for unique_id, node in nodes.items():
        parents = (node.get("depends_on") or {}).get("nodes") or []
        sorter.add(unique_id, *[p for p in parents if p in nodes])
    try:
        sorter.prepare()
    except graphlib.CycleError as error:
        raise ValueError(f"the project's models depend on each other in a cycle: "
                         f"{' -> '.join(error.args[1])}") from None
    while sorter.is_active():
        ready = sorted(sorter.get_ready())
        yield from ready
        sorter.done(*ready)


_JINJA = ("{{", "{%", "{#")


def looks_like_jinja(sql: str) -> bool:
    """Whether SQL text still holds dbt's Jinja (it was not compiled)."""
    return any(mark in sql for mark in _JINJA)


def _compiled(node: dict[str, Any]) -> str:
    sql = node.get("compiled_code")
    if sql is None:
        sql = node.get("compiled_sql")  # manifests before v7
    if not isinstance(sql, str) or not sql.strip():
        raise ParseError("the model has no compiled SQL in the manifest: compile the project "
                         "first (dbt compile or dbt build)")
    return sql


def project_lineage(path: Any, dialect: Any = None, schema: Any = None) -> DbtProject:
    """The column lineage of a compiled dbt project (its folder, its
    target folder or its manifest.json).  The dialect is the manifest's
    adapter's unless given.  ``schema`` (a mapping or a Schema, for example
    ``Schema.from_database`` of the warehouse) adds the columns of relations
    that neither catalog.json nor the YAML declarations give."""

    manifest_path, catalog_path, project = _files(path)
    manifest = _load(manifest_path, "manifest")
    catalog_data = _load(catalog_path, "catalog") if catalog_path else {}
    if dialect is None:
        adapter = (manifest.get("metadata") or {}).get("adapter_type")
        dialect = ADAPTER_DIALECTS.get(adapter, adapter) if isinstance(adapter, str) else None
    rules = rules_for(dialect)
    nodes: dict[str, dict[str, Any]] = dict(manifest.get("nodes") or {})
    sources: dict[str, dict[str, Any]] = dict(manifest.get("sources") or {})
    catalog = {**(catalog_data.get("nodes") or {}), **(catalog_data.get("sources") or {})}

    relations: dict[str, Table] = {}
    known: dict[Table, dict[str, str]] = {}
    for unique_id, node in [*sources.items(), *nodes.items()]:
        table = _relation(node, rules)
        if table is None:
            continue
        relations[unique_id] = table
        columns = _known_columns(unique_id, node, catalog, project, rules)
        if columns is not None:
            known[table] = columns
    if schema is not None:
        given = schema if isinstance(schema, Schema) else Schema(schema, rules.dialect)
        for table in relations.values():
            if table not in known:
                found = given.columns(table.name, table.db, table.catalog)
                if found is not None:
                    known[table] = dict.fromkeys(found, "")
    state = _ScriptState(_schema(known, rules), rules)

    models: dict[str, LineageResult | ModelError] = {}
    for unique_id in _dag_order(nodes):
        node = nodes[unique_id]
        if node.get("resource_type") not in _ANALYSED:
            continue
        materialized = (node.get("config") or {}).get("materialized")
        try:
            sql = _compiled(node)
            if looks_like_jinja(sql):
                raise ParseError("the compiled SQL still holds Jinja")
            trees = parse(sql, rules)
            if len(trees) != 1:
                raise ParseError(f"the compiled SQL holds {len(trees)} statements, not one query")
            query = trees[0]
            target = relations.get(unique_id)
            if target is None or materialized == "ephemeral":
                models[unique_id] = analyze_tree(query, sql, rules, state.index())
                continue
            kind = _MATERIALISED_AS.get(materialized, "TABLE") if isinstance(materialized, str) \
                else "TABLE"
            tree = exp.Create(this=_table_node(target), kind=kind, expression=query)
            result, found = analyze_statement(tree, sql, rules, state.index())
        except (SqlglotError, ValueError, RecursionError) as error:
            models[unique_id] = ModelError(unique_id, error)
            continue
        models[unique_id] = result
        apply_statement(state, result, found)
    traced = end_to_end(state)
    exposures = _exposures(manifest, relations, traced)
    return DbtProject(models, traced, exposures, relations, rules.name)


def _table_node(table: Table) -> exp.Table:
    def part(name: str | None) -> exp.Identifier | None:
        return exp.to_identifier(name, quoted=True) if name else None

    return exp.Table(this=part(table.name), db=part(table.db), catalog=part(table.catalog))


def _exposures(manifest: dict[str, Any], relations: dict[str, Table],
               traced: EndToEnd) -> dict[str, tuple[Source, ...]]:
    by_table: dict[Table, list[TargetColumn]] = {}
    for column in traced.columns:
        by_table.setdefault(column.target, []).append(column)
    found: dict[str, tuple[Source, ...]] = {}
    for unique_id, exposure in (manifest.get("exposures") or {}).items():
        sources: dict[Source, None] = {}
        for parent in (exposure.get("depends_on") or {}).get("nodes") or []:
            table = relations.get(parent)
            if table is None:
                continue
            for column in by_table.get(table, ()):
                sources.update(dict.fromkeys(column.direct))
                sources.update(dict.fromkeys(column.indirect))
            for source in traced.influences.get(table, ()):
                sources[source] = None
        found[unique_id] = tuple(sorted(sources, key=lambda s: (s.qualified_table, s.column,
                                                               s.type, s.subtype)))
    return found
