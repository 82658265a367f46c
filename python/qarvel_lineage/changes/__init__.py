"""What a change does, column by column, and what it reaches downstream.

    from qarvel_lineage.changes import compare_dbt
    found = compare_dbt("main/target", "target")       # two dbt targets (or projects)
    found.changes        # each changed column: added, removed, renamed, type,
                         # expression or rows changed, or a model that fails
    found.impacts        # each downstream column and exposure it can affect,
                         # with severity (breaking, rows, values), why and depth
    found.rows()         # both as flat rows, then the lineage edges that changed

The new version is analysed whole (``project_lineage``); of the old one
only the models whose compiled SQL changed, or whose parents' columns did,
are analysed (``compare``); macros count through the compiled SQL.  Each
output column is compared by fingerprints that ignore layout, comments,
case and aliases (``fingerprint``), and the changes are followed down the
new version's lineage (``radius``).
"""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any, Callable, Iterable

from qarvel_lineage.changes.compare import Change, compare_sides
from qarvel_lineage.changes.radius import SEVERITY_RANK, Impact, blast_radius, change_severity
from qarvel_lineage.changes.sides import Side, dbt_side, node_graph, script_side
from qarvel_lineage.engine.result import LineageResult
from qarvel_lineage.engine.rules import rules_for

__all__ = ["compare_dbt", "compare_scripts", "Comparison", "Change", "Impact", "ROW_KEYS",
           "STATES"]

ROW_KEYS = ("change", "source", "target", "type", "old_subtype", "new_subtype", "reason",
            "model", "column", "old", "new", "severity", "because", "via", "depth")
# The ``state:`` selectors a comparison answers, as dbt names them.
STATES = ("modified", "new", "old", "unmodified")


@dataclass(slots=True)
class Comparison:
    """Two versions compared: ``changes`` (one per changed column, parents
    first), ``edges`` (the lineage edges that changed, each with its unit),
    ``impacts`` (every affected downstream column and exposure, breaking
    first, then nearest first), ``breaking`` (the changed columns whose
    change breaks something downstream), ``exposures`` (the new version's
    exposures' unique ids) and ``selected`` (the unique ids reported; None:
    all)."""

    changes: list[Change]
    edges: list[tuple[str | None, dict[str, Any]]]
    impacts: list[Impact]
    breaking: set[str]
    exposures: frozenset[str] = frozenset()
    selected: frozenset[str] | None = None
    states: dict[str, frozenset[str]] = field(default_factory=dict)

    def _kept(self, model: str | None) -> bool:
        return self.selected is None or model is None or model in self.selected

    def rows(self) -> list[dict[str, Any]]:
        """Every change as a row of ROW_KEYS: the columns' changes, then the
        edges, then each impacted column ("change": "impacted")."""
        empty = dict.fromkeys(ROW_KEYS)
        rows = [{**empty, "change": c.change, "model": c.model, "column": c.column,
                 "old": c.old, "new": c.new, "reason": c.reason,
                 "severity": change_severity(c, self.breaking)}
                for c in self.changes if self._kept(c.model)]
        rows += [{**empty, **row, "model": model} for model, row in self.edges
                 if self._kept(model)]
        rows += [{**empty, "change": "impacted", "model": i.model, "column": i.column,
                  "severity": i.severity, "because": i.because, "via": i.via, "depth": i.depth}
                 for i in self.impacts if self._kept(i.model)]
        return rows

    def summary(self) -> dict[str, int]:
        """Models changed (their own columns); downstream models and
        exposures affected (those that change nothing themselves, a model
        whose edges changed only through its parents included); how many of
        each break."""
        changed = {c.model for c in self.changes if self._kept(c.model)}
        impacts = [i for i in self.impacts if self._kept(i.model)]
        exposed = {i.model for i in impacts if i.model in self.exposures}
        downstream = {i.model for i in impacts if i.model not in self.exposures} - changed
        broken = {i.model for i in impacts if i.severity == "breaking"}
        return {"models_changed": len(changed), "models_affected": len(downstream),
                "exposures_affected": len(exposed),
                "models_breaking": len(broken - self.exposures),
                "exposures_breaking": len(broken & self.exposures)}

    @property
    def worst(self) -> str | None:
        """The gravest severity of anything reported (None: nothing has one)."""
        found = [row["severity"] for row in self.rows() if row["severity"]]
        return max(found, key=SEVERITY_RANK.__getitem__) if found else None


def _compare(old: Side, new: Side, dialect: Any) -> Comparison:
    rules = rules_for(dialect)
    compared = compare_sides(old, new, rules)
    impacts, breaking = blast_radius(new, compared)
    # As dbt means them: modified, a node whose own definition changed (its
    # columns, their expressions, types or rows; a new node too), not one
    # whose lineage changed only through its parents (state:modified+ has it).
    added = frozenset(set(new.units) - set(old.units))
    states = {
        "modified": frozenset({c.model for c in compared.changes}) | added,
        "new": added,
        "old": frozenset(set(new.units) & set(old.units)),
    }
    states["unmodified"] = states["old"] - states["modified"]
    return Comparison(compared.changes, compared.edges, impacts, breaking,
                      frozenset(new.exposures), None, states)


def compare_dbt(old: Any, new: Any, dialect: Any = None, schema: Any = None, *,
                select: Any = None, exclude: Any = None, jobs: int = 1,
                progress: Callable[[int, int], None] | None = None,
                warn: Callable[[str], None] | None = None,
                failed: Callable[[Any], None] | None = None) -> Comparison:
    """Two compiled dbt projects (each a folder, its target folder or its
    manifest.json) compared: the new one is analysed whole (``jobs``,
    ``progress`` and ``schema`` as for ``project_lineage``), the old one
    only where it differs.  ``select`` and ``exclude`` take dbt's selection
    syntax over the new project, ``state:modified``, ``state:new``,
    ``state:old`` and ``state:unmodified`` included (``state:modified+``:
    what changed and everything below it); ``warn`` receives the new
    project's warnings and ``failed`` each model of it that failed (its
    columns are then ``failed`` rows too)."""
    from qarvel_lineage.dbt import project_lineage, read
    from qarvel_lineage.dbt.selection import parse_selection

    chosen = parse_selection(select, "select")
    dropped = parse_selection(exclude, "exclude")
    project = project_lineage(new, dialect, schema, jobs=jobs, progress=progress)
    for line in project.warnings if warn is not None else ():
        warn(line)
    for error in project.errors if failed is not None else ():
        failed(error)
    rules = rules_for(project.dialect)
    old_arts, new_arts = read.read(old), read.read(new)
    new_side = dbt_side(new_arts, rules, project)
    old_side = dbt_side(old_arts, rules)
    if schema is not None:
        from qarvel_lineage.engine.rules import Schema

        given = schema if isinstance(schema, Schema) else Schema(schema, rules.dialect)
        new_side.schema = old_side.schema = given
    found = _compare(old_side, new_side, project.dialect)
    if chosen is not None or dropped is not None:
        found.selected = node_graph(new_arts, found.states).select(chosen, dropped)
    return found


def compare_scripts(old: Iterable[tuple[str, LineageResult]],
                    new: Iterable[tuple[str, LineageResult]], dialect: Any = None,
                    schema: Any = None) -> Comparison:
    """Two versions of SQL files compared, each given as its statements'
    (where it is, result) in order: a statement is the table it writes
    (else where it is), and reads the tables earlier statements write."""
    rules = rules_for(dialect)
    return _compare(script_side(old, rules.name, schema), script_side(new, rules.name, schema),
                    dialect)
