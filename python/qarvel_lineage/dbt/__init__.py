"""Column lineage of a compiled dbt project.

    from qarvel_lineage.dbt import project_lineage
    project = project_lineage("path/to/project", exclude="package:elementary")
    project.column("customers", "lifetime_value")    # traced to seeds and sources
    project.models["model.shop.customers"]           # the model's own LineageResult
    project.warnings                                 # what the artefacts lacked

The project is read from dbt's own JSON: ``target/manifest.json`` (each
model's compiled SQL, the DAG, sources, tests and exposures) and, when
present, ``target/catalog.json`` (the columns the warehouse has); a seed's
columns are its CSV's header, read inside the project's root.  Models are
analysed in DAG order as the statements of one script: each model's output
columns become the schema its children read, so stars and unqualified
columns resolve across the project without a hand-written schema, and every
column is traced through the intermediate models down to seeds and sources.
Ephemeral models are inlined in their children's compiled SQL, as dbt
inlines them.  ``select`` and ``exclude`` take dbt's selection syntax; the
models they leave out are not reported, but those the selected ones read
are still analysed, so the lineage reaches the seeds and sources.  Nothing
of dbt is imported.
"""

from __future__ import annotations

import graphlib
from dataclasses import dataclass, field
from typing import Any, Callable, Iterator, NamedTuple

from sqlglot import exp
from sqlglot.errors import ParseError, SqlglotError

from qarvel_lineage.batch.analyzer import jobs_count
from qarvel_lineage.dbt import read
from qarvel_lineage.dbt.metadata import (
    ColumnMeta,
    Exposure,
    calls_warehouse,
    column_metadata,
    exposures_of,
    introspective_macros,
)
from qarvel_lineage.dbt.models import Failed, Model, analyse_models, young_collections
from qarvel_lineage.dbt.refresh import KEPT, Record, refresh_models
from qarvel_lineage.dbt.selection import NodeGraph, parse_selection
from qarvel_lineage.engine.records import OutputColumn, Source, Table, Unresolved
from qarvel_lineage.engine.result import LineageResult, flat_rows, row_keys, rows_frame, rows_json
from qarvel_lineage.engine.rules import Rules, Schema, rules_for
from qarvel_lineage.engine.script import EndToEnd, TargetColumn, _ScriptState, end_to_end, table_of

__all__ = ["project_lineage", "refresh_lineage", "Refreshed", "DbtProject", "DbtColumn", "Exposure", "ModelError",
           "ADAPTER_DIALECTS"]

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
_SCHEMA_FACET = ("https://openlineage.io/spec/facets/1-1-1/SchemaDatasetFacet.json"
                 "#/$defs/SchemaDatasetFacet")
_PRODUCER = "https://pypi.org/project/sqlglot-main/"


@dataclass(frozen=True, slots=True)
class ModelError:
    """A model whose SQL could not be analysed; the rest of the project was."""

    unique_id: str
    error: Exception

    def __str__(self) -> str:
        text = str(self.error).strip()
        return f"{self.unique_id}: {type(self.error).__name__}: {text.splitlines()[0] if text else ''}"


class DbtColumn(NamedTuple):
    """A column of a model, traced to seeds and sources, with what the
    project says of it: ``description`` (the YAML's, else the warehouse's
    comment; "" when none), ``data_type`` (the warehouse's, else the
    YAML's; "" when none) and ``tests`` (the names of the tests declared on
    it, such as "not_null", "unique" or "dbt_utils.accepted_range")."""

    model: str
    target: Table
    position: int
    name: str
    direct: tuple[Source, ...]
    indirect: tuple[Source, ...]
    unresolved: tuple[Unresolved, ...]
    description: str
    data_type: str
    tests: tuple[str, ...]


@dataclass(frozen=True, slots=True)
class DbtProject:
    """The lineage of a dbt project (the nodes selected).

    ``models``: each selected model and snapshot, in DAG order, by unique
    id: its own LineageResult (sources are the relations it reads, target
    its relation), or a ModelError.  ``end_to_end``: every column of every
    selected model's relation traced through the project to seeds and
    sources.  ``exposures``: each selected exposure by unique id: the nodes
    it depends on and its source columns.  ``relations``: the relation of
    each node that has one (models, snapshots, seeds, sources) among the
    selected nodes and those they read.  ``warnings``: one line each, what
    the artefacts lacked or held malformed (the file, the node, what)."""

    models: dict[str, LineageResult | ModelError]
    end_to_end: EndToEnd
    exposures: dict[str, Exposure]
    relations: dict[str, Table]
    dialect: str | None
    warnings: list[str] = field(default_factory=list)
    selected: frozenset[str] = frozenset()
    _metadata: dict[tuple[str, str], ColumnMeta] = field(default_factory=dict, repr=False)
    _by_table: dict[Table, list[TargetColumn]] = field(default_factory=dict, repr=False)

    @property
    def errors(self) -> tuple[ModelError, ...]:
        return tuple(r for r in self.models.values() if isinstance(r, ModelError))

    def columns_of(self, model: str) -> tuple[DbtColumn, ...]:
        """The end-to-end lineage of a model's columns; ``model`` is a
        unique id or a model's name."""
        unique_id = model if model in self.relations else self._unique_id(model)
        table = self.relations[unique_id]
        return tuple(self._dbt_column(unique_id, c) for c in self._by_table.get(table, ()))

    def column(self, model: str, column: str | None = None) -> DbtColumn:
        """One column of a model, traced to seeds and sources, with its
        description and tests: ``column("customers", "lifetime_value")``
        or ``column("customers.lifetime_value")`` (a unique id, a model's
        name or its relation's name such as ``main.customers``, then the
        column)."""
        if column is None:
            if not isinstance(model, str) or "." not in model:
                raise KeyError(f"{model!r} names no column: give model.column")
            model, column = model.rsplit(".", 1)
        for found in self.columns_of(model):
            if found.name == column:
                return found
        raise KeyError(f"{model} has no column {column!r}")

    def _dbt_column(self, unique_id: str, column: TargetColumn) -> DbtColumn:
        meta = self._metadata.get((unique_id, column.name)) or ColumnMeta()
        return DbtColumn(unique_id, column.target, column.position, column.name, column.direct,
                         column.indirect, column.unresolved, meta.description, meta.data_type,
                         meta.tests)

    def _unique_id(self, name: str) -> str:
        """The model or snapshot a name names: its unique id, its name, or
        its relation's name (``schema.alias`` or ``database.schema.alias``,
        as the command line and the page show it) when one model has it."""
        models = [uid for uid in self.relations if uid.split(".")[0] in _ANALYSED]
        matches = [uid for uid in models if uid.rsplit(".", 1)[-1] == name]
        if not matches:
            wanted = name.casefold().split(".")
            matches = [uid for uid in models if len(wanted) > 1 and [
                part.casefold() for part in self.relations[uid] if part][-len(wanted):] == wanted]
        if len(matches) != 1:
            raise KeyError(f"no model named {name!r}" if not matches
                           else f"{name!r} names {len(matches)} models: {', '.join(matches)}")
        return matches[0]

    def described(self) -> Iterator[tuple[str, tuple[str | None, str | None, str], str, str,
                                          str, tuple[str, ...]]]:
        """What the project says of its columns (models, seeds, snapshots,
        sources): (unique id, (catalog, db, table), column, description,
        data type, tests) for each column it describes, types or tests."""
        for (unique_id, column), meta in self._metadata.items():
            table = self.relations.get(unique_id)
            if table is not None:
                yield (unique_id, (table.catalog, table.db, table.name), column,
                       meta.description, meta.data_type, meta.tests)

    def exposure_edges(self) -> dict[str, list[tuple[str | None, str | None, str, str]]]:
        """Each exposure's unique id and the columns it rests on (every
        column of the models it depends on, as (catalog, db, table,
        column)): the edges a lineage graph draws into the exposure."""
        found: dict[str, list[tuple[str | None, str | None, str, str]]] = {}
        for unique_id, exposure in self.exposures.items():
            columns: list[tuple[str | None, str | None, str, str]] = []
            for parent in exposure.depends_on:
                table = self.relations.get(parent)
                if table is not None:
                    columns.extend((table.catalog, table.db, table.name, c.name)
                                   for c in self._by_table.get(table, ()))
            found[unique_id] = columns
        return found

    def _reported(self) -> Iterator[tuple[str, Table]]:
        """Each selected model's unique id and relation, in DAG order."""
        for unique_id in self.models:
            table = self.relations.get(unique_id)
            if table is not None:
                yield unique_id, table

    def to_dicts(self, metadata: bool = False) -> list[dict[str, Any]]:
        """The end-to-end rows, each with "model" (the unique id) first;
        with ``metadata``, each row also has the column's "description"
        (a str) and "tests" (a list of test names)."""
        rows: list[dict[str, Any]] = []
        for unique_id, table in self._reported():
            columns = self._by_table.get(table, ())
            outputs = [OutputColumn(c.position, c.name, c.direct, c.indirect, c.unresolved)
                       for c in columns]
            for row in flat_rows(outputs, table):
                if metadata:
                    meta = self._metadata.get((unique_id, row["column"])) or ColumnMeta()
                    row = {**row, "description": meta.description, "tests": list(meta.tests)}
                rows.append({"model": unique_id, **row})
        return rows

    def to_dataframe(self):
        return rows_frame(self.to_dicts(), ("model",) + row_keys(True))

    def to_json(self) -> str:
        return rows_json(self.to_dicts())

    def to_openlineage(self, namespace: str) -> list[dict[str, Any]]:
        """One job per analysed model: its inputs (the relations it reads)
        and its output dataset with OpenLineage's columnLineage facet and,
        where the project describes or types its columns, the schema facet."""
        if not isinstance(namespace, str):
            raise TypeError(f"namespace must be a str, not {type(namespace).__name__}")
        jobs = []
        for unique_id, result in self.models.items():
            if isinstance(result, ModelError) or result.target is None:
                continue
            facets: dict[str, Any] = {"columnLineage": result.to_openlineage(namespace)}
            schema = self._schema_facet(unique_id, result)
            if schema is not None:
                facets["schema"] = schema
            jobs.append({
                "job": {"namespace": namespace, "name": unique_id},
                "inputs": [{"namespace": namespace, "name": str(table)} for table in result.tables],
                "outputs": [{"namespace": namespace, "name": str(result.target),
                             "facets": facets}],
            })
        return jobs

    def _schema_facet(self, unique_id: str, result: LineageResult) -> dict[str, Any] | None:
        fields = []
        described = False
        for column in result.columns:
            meta = self._metadata.get((unique_id, column.name)) or ColumnMeta()
            entry: dict[str, Any] = {"name": column.name}
            if meta.data_type:
                entry["type"] = meta.data_type
            if meta.description:
                entry["description"] = meta.description
            described = described or len(entry) > 1
            fields.append(entry)
        if not described:
            return None
        return {"_producer": _PRODUCER, "_schemaURL": _SCHEMA_FACET, "fields": fields}

    def __repr__(self) -> str:
        return (f"<DbtProject {len(self.models)} models, {len(self.errors)} failed, "
                f"{len(self.exposures)} exposures, {len(self.warnings)} warnings>")


# --- reading the project ---------------------------------------------------------------

def _quoted_parts(name: str, rules: Rules) -> Table | None:
    """A relation name whose every part is quoted whole by one of the
    dialect's quotes (``"db"."schema"."t"``, as adapters write them), read
    without the parser: quoted parts are taken as they are.  None when the
    name has any other shape."""
    for quote in rules.dialect.tokenizer_class.IDENTIFIERS:
        if not isinstance(quote, str) or len(quote) != 1 or not name.startswith(quote):
            continue
        parts = name.split(".")
        if len(parts) > 3 or not all(
                len(part) > 2 and part[0] == quote == part[-1] and quote not in part[1:-1]
                and "\\" not in part for part in parts):
            return None
        names = [part[1:-1] for part in parts]
        return Table(*([None] * (3 - len(names)) + names))
    return None


def _relation(node: dict[str, Any], rules: Rules) -> Table | None:
    """The table a node's relation names, as its SQL reads it."""
    name = node.get("relation_name")
    if not isinstance(name, str) or not name:
        return None
    quoted = _quoted_parts(name, rules)
    if quoted is not None:
        return quoted
    try:
        table = exp.to_table(name, dialect=rules.dialect)
    except SqlglotError:
        return None
    return table_of(table, rules)


def _known_columns(unique_id: str, node: dict[str, Any], arts: read.Artefacts,
                   rules: Rules) -> dict[str, str] | None:
    """The columns a relation has: the warehouse's (catalog.json), else a
    seed's CSV header (what dbt loads), else the YAML declarations."""
    stored = read.catalog_columns(unique_id, arts)
    if stored is not None:
        return {rules.normalise_stored(c["name"]): _str(c.get("type")) for c in stored}
    declared = read.declared_columns(node, unique_id, arts)
    if node.get("resource_type") == "seed":
        header = read.seed_header(node, unique_id, arts)
        if header:
            types = {rules.normalise(name): _str(c.get("data_type"))
                     for name, c in declared.items()}
            return {rules.normalise(name): types.get(rules.normalise(name), "")
                    for name in header}
    if declared:
        return {rules.normalise(name): _str(c.get("data_type")) for name, c in declared.items()}
    return None


def _str(value: Any) -> str:
    return value if isinstance(value, str) else ""


def nested_schema(known: dict[Table, dict[str, str]], rules: Rules) -> Schema | None:
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


def _dag_order(nodes: dict[str, dict[str, Any]], parents: dict[str, list[str]]) -> Iterator[str]:
    """Every node after the nodes it depends on; ties in id order."""
    sorter: graphlib.TopologicalSorter = graphlib.TopologicalSorter()
    for unique_id in nodes:
        sorter.add(unique_id, *[p for p in parents.get(unique_id, ()) if p in nodes])
    try:
        sorter.prepare()
    except graphlib.CycleError as error:
        raise ValueError(f"the project's models depend on each other in a cycle: "
                         f"{' -> '.join(error.args[1])}") from None
    while sorter.is_active():
        ready = sorted(sorter.get_ready())
        yield from ready
        sorter.done(*ready)


def _compiled(node: dict[str, Any]) -> str:
    sql = node.get("compiled_code")
    if sql is None:
        sql = node.get("compiled_sql")  # manifests before v7
    if not isinstance(sql, str) or not sql.strip():
        raise ParseError("the model has no compiled SQL in the manifest: compile the project "
                         "first (dbt compile or dbt build)")
    return sql


def project_lineage(path: Any, dialect: Any = None, schema: Any = None, *,
                    select: Any = None, exclude: Any = None, jobs: int = 1,
                    progress: Callable[[int, int], None] | None = None) -> DbtProject:
    """The column lineage of a compiled dbt project (its folder, its
    target folder or its manifest.json).  The dialect is the manifest's
    adapter's unless given.  ``schema`` (a mapping or a Schema, for example
    ``Schema.from_database`` of the warehouse) adds the columns of relations
    that neither catalog.json nor the YAML declarations give.  ``select``
    and ``exclude`` (a str or a sequence of str) take dbt's selection
    syntax (``model+``, ``+model``, ``@model``, ``tag:x``, ``path:models/x``,
    ``package:x``, ``config.materialized:view``, ``resource_type:seed``...;
    spaces unite, commas intersect; exclude applies after select).
    ``jobs`` processes share the analysis (0: every usable core), with
    the same results as one; ``progress(done, total)`` is called after
    each model."""

    jobs = jobs_count(jobs)
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable, not {type(progress).__name__}")
    chosen = parse_selection(select, "select")
    dropped = parse_selection(exclude, "exclude")
    with young_collections():
        return _project(path, dialect, schema, chosen, dropped, jobs, progress)[0]


class Refreshed(NamedTuple):
    """A project analysed again after a previous analysis: ``project``
    holds the models analysed now (those that stand as recorded are not
    in its ``models``); ``records`` each model's new record, ``kept`` the
    records of those that stand; ``present`` every model and exposure the
    manifest has; ``key`` names the project."""

    project: DbtProject
    records: dict[str, Record]
    kept: dict[str, Record]
    present: frozenset[str]
    key: str
    selected_all: bool

    def exposure_edges(self) -> dict[str, list[tuple[str | None, str | None, str, str]]]:
        """``DbtProject.exposure_edges``, the columns of models that stand
        taken from their records."""
        project = self.project
        outputs: dict[Table, tuple[str, ...]] = {}
        for unique_id, record in self.kept.items():
            table = project.relations.get(unique_id)
            if table is not None:
                outputs[table] = record.outputs
        found: dict[str, list[tuple[str | None, str | None, str, str]]] = {}
        for unique_id, exposure in project.exposures.items():
            columns: list[tuple[str | None, str | None, str, str]] = []
            for parent in exposure.depends_on:
                table = project.relations.get(parent)
                if table is None:
                    continue
                names = outputs.get(table)
                if names is None:
                    names = tuple(c.name for c in project._by_table.get(table, ()))
                columns.extend((table.catalog, table.db, table.name, name) for name in names)
            found[unique_id] = columns
        return found


def refresh_lineage(path: Any, previous: Callable[[str], dict[str, Record]], dialect: Any = None,
                    schema: Any = None, *, select: Any = None, exclude: Any = None,
                    progress: Callable[[int, int], None] | None = None) -> Refreshed:
    """``project_lineage`` analysing only the models whose record no
    longer stands (dbt/refresh.py); ``previous(key)`` gives the records of
    the project the manifest names by ``key``, by unique id."""
    if progress is not None and not callable(progress):
        raise TypeError(f"progress must be callable, not {type(progress).__name__}")
    chosen = parse_selection(select, "select")
    dropped = parse_selection(exclude, "exclude")
    with young_collections():
        project, extra = _project(path, dialect, schema, chosen, dropped, 1, progress, previous)
    records, kept, present, key = extra
    return Refreshed(project, records, kept, present, key, chosen is None and dropped is None)


def _project(path: Any, dialect: Any, schema: Any, chosen: Any, dropped: Any, jobs: int,
             progress: Callable[[int, int], None] | None,
             previous: Callable[[str], dict[str, Record]] | None = None
             ) -> tuple[DbtProject, Any]:
    arts = read.read(path)
    metadata = arts.manifest.get("metadata")
    metadata = metadata if isinstance(metadata, dict) else {}
    if dialect is None:
        adapter = metadata.get("adapter_type")
        dialect = ADAPTER_DIALECTS.get(adapter, adapter) if isinstance(adapter, str) else None
    rules = rules_for(dialect)
    key = metadata.get("project_id") or metadata.get("project_name") or ""
    key = key if isinstance(key, str) else ""
    nodes = read.nodes_of(arts, "nodes")
    sources = read.nodes_of(arts, "sources")
    exposures = read.nodes_of(arts, "exposures")
    # Hooks (operations) are not nodes of dbt's selection graph.
    everything = {uid: node for uid, node in {**sources, **nodes, **exposures}.items()
                  if node.get("resource_type") != "operation"}
    parents = {uid: read.parents(node, uid, arts) for uid, node in {**nodes, **exposures}.items()}
    project_name = metadata.get("project_name")
    graph = NodeGraph(everything, parents,
                      project_name if isinstance(project_name, str) else None)
    selected = graph.select(chosen, dropped)
    involved = selected | graph.ancestors(selected)

    relations: dict[str, Table] = {}
    known: dict[Table, dict[str, str]] = {}
    for unique_id, node in [*sources.items(), *nodes.items()]:
        if unique_id not in involved:
            continue
        table = _relation(node, rules)
        if table is None:
            continue
        relations[unique_id] = table
        columns = _known_columns(unique_id, node, arts, rules)
        if columns is not None:
            known[table] = columns
    if schema is not None:
        given = schema if isinstance(schema, Schema) else Schema(schema, rules.dialect)
        for table in relations.values():
            if table not in known:
                found = given.columns(table.name, table.db, table.catalog)
                if found is not None:
                    known[table] = dict.fromkeys(found, "")
    state = _ScriptState(nested_schema(known, rules), rules)

    analysed = {uid: node for uid, node in nodes.items()
                if uid in involved and node.get("resource_type") in _ANALYSED}
    order = [_model(uid, analysed[uid], relations.get(uid), arts)
             for uid in _dag_order(analysed, parents)]
    answers: Iterator[tuple[str, Any, Any]] = (
        (uid, result, None) for uid, result in analyse_models(order, dialect, state, jobs, progress)
    ) if previous is None else refresh_models(order, dialect, state, previous(key).get, progress)
    models, records, kept = _taken(answers, selected)

    traced = end_to_end(state)
    reported = {relations[uid] for uid in models if uid in relations}
    by_table: dict[Table, list[TargetColumn]] = {}
    for column in traced.columns:
        by_table.setdefault(column.target, []).append(column)
    shown = EndToEnd(tuple(c for c in traced.columns if c.target in reported),
                     tuple(t for t in traced.tables if t in reported),
                     {t: s for t, s in traced.influences.items() if t in reported})
    found_exposures = exposures_of({uid: e for uid, e in exposures.items() if uid in selected},
                                   parents, relations, by_table, traced.influences)
    # What the project says of the columns of its models, and of the seeds
    # and sources they read.
    meta = column_metadata({**sources, **nodes}, {
        uid: r for uid, r in relations.items() if uid in models
        or everything.get(uid, {}).get("resource_type") in ("seed", "source")}, known, arts, rules)
    warnings = graph.notes + arts.warnings()
    warning = _compile_only(arts, nodes, models, relations)
    if warning:
        warnings.append(warning)
    listed = frozenset(uid for uid in selected if everything[uid].get("resource_type") != "test")
    project = DbtProject(models, shown, found_exposures, relations, rules.name, warnings, listed,
                         meta, by_table)
    if previous is None:
        return project, None
    return project, (records, kept, frozenset({**nodes, **exposures}), key)


def _taken(answers: Iterator[tuple[str, Any, Any]], selected: set[str]) -> tuple[
        dict[str, LineageResult | ModelError], dict[str, Record], dict[str, Record]]:
    """The selected models' results, their new records and the records
    of those that stand as recorded."""
    models: dict[str, LineageResult | ModelError] = {}
    records: dict[str, Record] = {}
    kept: dict[str, Record] = {}
    for unique_id, result, record in answers:
        if unique_id not in selected:
            continue
        if isinstance(result, KEPT):
            kept[unique_id] = result.record
            continue
        if record is not None:
            records[unique_id] = record
        models[unique_id] = ModelError(*result) if isinstance(result, Failed) else result
    return models, records, kept


def _model(unique_id: str, node: dict[str, Any], target: Table | None,
           arts: read.Artefacts) -> Model:
    """What analysing a model needs, read from its node."""
    config = read.mapping_of(node, "config", arts, arts.manifest_path, unique_id)
    materialized = config.get("materialized")
    try:
        sql, failure = _compiled(node), None
    except ParseError as error:
        sql, failure = "", error
    if target is None or materialized == "ephemeral":
        return Model(unique_id, sql, failure, target, None)
    kind = _MATERIALISED_AS.get(materialized, "TABLE") if isinstance(materialized, str) \
        else "TABLE"
    return Model(unique_id, sql, failure, target, kind)


def _compile_only(arts: read.Artefacts, nodes: dict[str, dict[str, Any]],
                  models: dict[str, LineageResult | ModelError],
                  relations: dict[str, Table]) -> str | None:
    """Without catalog.json: how many models were built by macros that
    read the warehouse's columns while compiling, and show that the tables
    did not exist (the model failed, or it or a model reading it has
    columns that trace to nothing)."""
    if arts.catalog_path is not None:
        return None
    asking = introspective_macros(arts.manifest.get("macros"))
    marked = {uid for uid in models
              if any(m in asking for m in read.macros_of(nodes[uid]))
              or calls_warehouse(read.text_of(nodes[uid], "raw_code"))}
    affected = set()
    for unique_id, result in models.items():
        if isinstance(result, ModelError):
            affected.update({unique_id} & marked)
            continue
        lost = {u.table for c in result.columns for u in c.unresolved}
        if not lost:
            continue
        if unique_id in marked:
            affected.add(unique_id)
        for parent in marked:
            table = relations.get(parent)
            if table is not None and table in result.tables \
                    and (None in lost or str(table) in lost or table.name in lost):
                affected.add(parent)
    if not affected:
        return None
    count = len(affected)
    return (f"{count} model{'s' if count != 1 else ''} built by macros that read the "
            "warehouse while compiling (such as union_relations or star) "
            f"{'have' if count != 1 else 'has'} columns that trace to nothing, and there is no "
            "catalog.json: if the project was compiled before its tables existed, that SQL "
            "lacks their columns; build the project (dbt build or dbt run), then run dbt docs "
            "generate, or give the warehouse with --schema URL")
