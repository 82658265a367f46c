"""The two versions compared, each as units: a dbt target's models,
snapshots, seeds and sources (by unique id), or the statements of SQL files
(by the table they write, else by where they are).

A unit knows its relation, its SQL, its lineage when it has been analysed,
the units it reads, and what the warehouse or the YAML says of its
columns.  The new version of a dbt project comes from ``project_lineage``;
the old one is read from its artefacts only, and a model of it is analysed
only when the comparison needs it (its SQL changed, or a relation it reads
has other columns).

Everything read from a dbt target's JSON beyond what ``DbtProject`` holds
(compiled SQL of the old version, catalog types, seed checksums, contracts,
the DAG) is read here, through ``qarvel_lineage.dbt.read``, and nowhere
else in this folder.
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Iterable

from sqlglot import exp
from sqlglot.errors import SqlglotError

from qarvel_lineage.dbt import read
from qarvel_lineage.dbt.selection import NodeGraph
from qarvel_lineage.engine.records import Table
from qarvel_lineage.engine.result import LineageResult
from qarvel_lineage.engine.rules import Rules
from qarvel_lineage.engine.script import table_of
from qarvel_lineage.graph.names import shown

__all__ = ["Unit", "Side", "dbt_side", "script_side", "node_graph"]

_BUILT = ("model", "snapshot")


@dataclass(slots=True)
class Unit:
    """A model, snapshot, seed, source or statement of one version."""

    key: str
    table: Table | None
    sql: str | None
    kind: str = "model"
    result: LineageResult | None = None
    error: str | None = None
    parents: tuple[str, ...] = ()
    types: dict[str, str] = field(default_factory=dict)
    known: tuple[str, ...] | None = None
    checksum: str | None = None
    contract: bool = False
    # Where ``known`` comes from: "catalog", "header" (a seed's CSV) or "yaml".
    origin: str | None = None

    def columns(self) -> tuple[str, ...] | None:
        """Its columns: the analysed ones, else what the warehouse or the
        YAML says (None: not known)."""
        if self.result is not None:
            return tuple(column.name for column in self.result.columns)
        return self.known

    @property
    def shown(self) -> str:
        if self.table is None:
            return self.key
        return shown((self.table.catalog, self.table.db, self.table.name))


class Side:
    """One version: its units in DAG order, which unit each relation is,
    and its exposures (unique id -> (name, the unique ids it depends on))."""

    def __init__(self, units: Iterable[Unit], dialect: str | None,
                 exposures: dict[str, tuple[str, tuple[str, ...]]] | None = None,
                 schema: Any = None):
        self.units: dict[str, Unit] = {}
        self.dialect = dialect
        self.exposures = exposures or {}
        self.schema = schema
        self._named: dict[str, list[tuple[Table, str]]] = {}
        for unit in units:
            self.units[unit.key] = unit
            _name(self._named, unit)

    def key_of(self, table: Table) -> str | None:
        """The unit whose relation a table names (names equal, and db and
        catalog wherever both are given); None when none or several are."""
        return _lookup(self._named, table)

    def schema_columns(self, table: Table) -> tuple[str, ...] | None:
        """The columns a schema given by the user says a table has."""
        if self.schema is None:
            return None
        found = self.schema.columns(table.name, table.db, table.catalog)
        return tuple(found) if found is not None else None


def _name(named: dict[str, list[tuple[Table, str]]], unit: Unit) -> None:
    """Index a unit by its relation's name (the first unit of a relation)."""
    if unit.table is not None:
        entries = named.setdefault(unit.table.name, [])
        if all(table != unit.table for table, _ in entries):
            entries.append((unit.table, unit.key))


def _lookup(named: dict[str, list[tuple[Table, str]]], table: Table) -> str | None:
    found = [key for written, key in named.get(table.name, ())
             if all(a is None or b is None or a == b
                    for a, b in ((table.catalog, written.catalog), (table.db, written.db)))]
    return found[0] if len(found) == 1 else None


# --- dbt targets -----------------------------------------------------------------------------

def _relation(node: dict[str, Any], rules: Rules) -> Table | None:
    name = node.get("relation_name")
    if not isinstance(name, str) or not name:
        return None
    try:
        return table_of(exp.to_table(name, dialect=rules.dialect), rules)
    except SqlglotError:
        return None


def _compiled(node: dict[str, Any]) -> str | None:
    sql = node.get("compiled_code")
    if sql is None:
        sql = node.get("compiled_sql")  # manifests before v7
    return sql if isinstance(sql, str) and sql.strip() else None


def _config(node: dict[str, Any]) -> dict[str, Any]:
    config = node.get("config")
    return config if isinstance(config, dict) else {}


def _contract(node: dict[str, Any]) -> bool:
    contract = _config(node).get("contract")
    return isinstance(contract, dict) and contract.get("enforced") is True


def _checksum(node: dict[str, Any]) -> str | None:
    checksum = node.get("checksum")
    value = checksum.get("checksum") if isinstance(checksum, dict) else None
    return value if isinstance(value, str) else None


def _types(unique_id: str, node: dict[str, Any], arts: read.Artefacts, rules: Rules
           ) -> tuple[dict[str, str], tuple[str, ...] | None, str | None]:
    """(each column's type: the warehouse's, else the YAML's; the columns
    known without analysis: the warehouse's, else a seed's CSV header,
    else the YAML's; which of these it is)."""
    stored = read.catalog_columns(unique_id, arts)
    declared = read.declared_columns(node, unique_id, arts)
    types = {rules.normalise(name): entry["data_type"] for name, entry in declared.items()
             if isinstance(entry.get("data_type"), str) and entry["data_type"]}
    if stored is not None:
        catalog = {rules.normalise_stored(c["name"]): c.get("type") for c in stored}
        types.update({name: kind for name, kind in catalog.items() if isinstance(kind, str)})
        return types, tuple(catalog), "catalog"
    if node.get("resource_type") == "seed":
        header = read.seed_header(node, unique_id, arts)
        if header:
            return types, tuple(rules.normalise(name) for name in header), "header"
    known = tuple(rules.normalise(name) for name in declared) or None
    return types, known, "yaml" if known else None


def dbt_side(arts: read.Artefacts, rules: Rules, project: Any = None) -> Side:
    """A dbt target's units.  With ``project`` (its DbtProject) the models
    carry their lineage and come in its DAG order; without, they are read
    from the manifest to be analysed when needed."""
    nodes = read.nodes_of(arts, "nodes")
    sources = read.nodes_of(arts, "sources")
    units: list[Unit] = []
    order = list(project.models) if project is not None else []
    order += [uid for uid in nodes if uid not in set(order)]
    for unique_id in [*order, *sources]:
        node = nodes.get(unique_id) or sources.get(unique_id)
        if node is None:
            continue
        kind = node.get("resource_type")
        if kind not in (*_BUILT, "seed", "source"):
            continue
        table = _relation(node, rules)
        if table is None or _config(node).get("materialized") == "ephemeral":
            continue  # ephemeral: inlined in its children's compiled SQL
        types, known, origin = _types(unique_id, node, arts, rules)
        unit = Unit(unique_id, table, _compiled(node) if kind in _BUILT else None, kind,
                    parents=tuple(read.parents(node, unique_id, arts)) if kind in _BUILT else (),
                    types=types, known=known, checksum=_checksum(node), contract=_contract(node),
                    origin=origin)
        found = project.models.get(unique_id) if project is not None else None
        if isinstance(found, LineageResult):
            unit.result = found
            unit.sql = found.sql
        elif found is not None:
            unit.error = str(found)
        units.append(unit)
    exposures = {}
    found_exposures = project.exposures if project is not None else {}
    for unique_id, exposure in found_exposures.items():
        exposures[unique_id] = (exposure.name, tuple(exposure.depends_on))
    return Side(units, rules.name, exposures)


def node_graph(arts: read.Artefacts, states: dict[str, frozenset[str]]) -> NodeGraph:
    """dbt's selection graph of a target (nodes, sources, exposures), with
    the ``state:`` sets of a comparison."""
    nodes = read.nodes_of(arts, "nodes")
    sources = read.nodes_of(arts, "sources")
    exposures = read.nodes_of(arts, "exposures")
    everything = {uid: node for uid, node in {**sources, **nodes, **exposures}.items()
                  if node.get("resource_type") != "operation"}
    parents = {uid: read.parents(node, uid, arts) for uid, node in {**nodes, **exposures}.items()}
    metadata = arts.manifest.get("metadata")
    name = metadata.get("project_name") if isinstance(metadata, dict) else None
    return NodeGraph(everything, parents, name if isinstance(name, str) else None, states=states)


# --- SQL files -------------------------------------------------------------------------------

def script_side(statements: Iterable[tuple[str, LineageResult]], dialect: str | None,
                schema: Any = None) -> Side:
    """The statements of SQL files, each (where it is, its result): a unit
    per statement, named by the table it writes (a second writer of one
    table by ``table#2``...), else by where it is; a statement reads the
    units that wrote the tables it reads before it."""
    units: list[Unit] = []
    seen: dict[str, int] = {}
    named: dict[str, list[tuple[Table, str]]] = {}
    for where, result in statements:
        key = str(result.target) if result.target is not None else where
        seen[key] = seen.get(key, 0) + 1
        if seen[key] > 1:
            key = f"{key}#{seen[key]}"
        parents = dict.fromkeys(p for p in map(lambda t: _lookup(named, t), result.tables)
                                if p is not None)
        unit = Unit(key, result.target, result.sql, "statement", result, parents=tuple(parents))
        units.append(unit)
        _name(named, unit)
    return Side(units, dialect, schema=schema)
