"""Two versions compared column by column.

Units are taken parents first (seeds and sources, then models in DAG
order).  A unit whose SQL is the same in both versions, and whose parents
kept their columns, gives the same lineage in both and is not analysed
again.  Any other is analysed in the old version (with the columns its
parents had there) and compared with the new one:

- its columns added, removed and renamed (a removed and an added column
  with one expression, where that pairing is the only one);
- for each column of both: its type (the catalog's), its expression and
  what decides the unit's rows (``fingerprint``), and its lineage edges as
  the edge diff gives them;
- whether it will fail: the new version reads columns its parents no
  longer have (or does not parse).
"""

from __future__ import annotations

from dataclasses import dataclass
from typing import Any

from sqlglot import exp

from qarvel_lineage.changes.fingerprint import Prints, normalised_sql, prints_of
from qarvel_lineage.changes.sides import Side, Unit
from qarvel_lineage.dbt import nested_schema
from qarvel_lineage.engine.parse import analyze_tree, parse
from qarvel_lineage.engine.records import Table
from qarvel_lineage.engine.result import LineageResult
from qarvel_lineage.engine.rules import Rules, schema_index
from qarvel_lineage.engine.script import table_of
from qarvel_lineage.graph.names import quoted, shown

__all__ = ["Change", "Compared", "Edges", "compare_sides", "edge_rows"]

# Reasons for which the warehouse refuses the query: it names what is not there.
_MISSING = ("not a column of ", "no table or alias named ")


@dataclass(frozen=True, slots=True)
class Change:
    """One change to one column (``column``: its shown name; ``name``: the
    column's own).  ``change`` is column_added, column_removed,
    column_renamed, type_changed, expression_changed, rows_changed, or
    failed (the unit's new version cannot run; ``column`` is ``table.*``).
    ``old`` and ``new`` say what it was and is (a type, a name, an
    expression)."""

    change: str
    model: str
    column: str
    name: str
    old: str | None = None
    new: str | None = None
    reason: str | None = None


@dataclass(slots=True)
class Compared:
    """What the comparison found: the changes, the edge rows (as the edge
    diff writes them, each with its unit), where a blast radius starts
    ((unit, column, state, because): state "values", "rows" or "type"),
    the units that will fail ({unit: (depth, because, via)}) and renames
    ({(unit, old name): new name})."""

    changes: list[Change]
    edges: list[tuple[str | None, dict[str, Any]]]
    starts: list[tuple[str, str, str, str]]
    failing: dict[str, tuple[int, str, str | None]]
    renamed: dict[tuple[str, str], str]
    order: list[str]


def _shown(unit: Unit, column: str) -> str:
    return f"{unit.shown}.{quoted(column)}"


class _Comparer:
    def __init__(self, old: Side, new: Side, rules: Rules):
        self.old, self.new, self.rules = old, new, rules
        self.old_results: dict[str, LineageResult | None] = {}
        self.old_errors: dict[str, str] = {}
        self.touched: set[str] = set()
        self.reshaped: set[str] = set()
        self.removed: dict[str, set[str]] = {}
        self.renamed: dict[tuple[str, str], str] = {}
        self.changes: list[Change] = []
        self.old_edges, self.new_edges = Edges(), Edges()
        self.starts: list[tuple[str, str, str, str]] = []
        self.failing: dict[str, tuple[int, str, str | None]] = {}
        self._keys: dict[tuple[bool, Table], str | None] = {}

    # --- the columns each version gives a relation ---------------------------------------

    def key_of(self, table: Table, old: bool) -> str | None:
        cache = (old, table)
        if cache not in self._keys:
            self._keys[cache] = (self.old if old else self.new).key_of(table)
        return self._keys[cache]

    def old_columns(self, key: str) -> tuple[str, ...] | None:
        if key in self.old_results:
            found = self.old_results[key]
            if found is not None:
                return tuple(c.name for c in found.columns)
        unit = self.old.units.get(key)
        if unit is None:
            return None
        if unit.result is not None:
            return unit.columns()
        newer = self.new.units.get(key)
        if newer is not None and newer.result is not None and key not in self.touched:
            return newer.columns()
        return unit.known if unit.known is not None else (newer.known if newer else None)

    def new_columns(self, key: str) -> tuple[str, ...] | None:
        unit = self.new.units.get(key)
        return unit.columns() if unit is not None else None

    def columns_of(self, table: Table, old: bool) -> tuple[str | None, tuple[str, ...] | None]:
        """(the unit a relation is, its columns in that version)."""
        key = self.key_of(table, old)
        side = self.old if old else self.new
        if key is None:
            return None, side.schema_columns(table)
        return key, self.old_columns(key) if old else self.new_columns(key)

    def resolver(self, old: bool) -> Any:
        def resolve(node: exp.Table) -> tuple[str, list[str] | None] | None:
            table = table_of(node, self.rules)
            if table is None:
                return None
            key, columns = self.columns_of(table, old)
            return (key or str(table).casefold(), list(columns) if columns is not None else None)

        return resolve

    # --- the old version analysed --------------------------------------------------------

    def analyse_old(self, key: str) -> LineageResult | None:
        if key in self.old_results:
            return self.old_results[key]
        unit = self.old.units[key]
        result = unit.result
        if result is None and unit.sql is not None:
            try:
                trees = parse(unit.sql, self.rules)
                if len(trees) != 1:
                    raise ValueError(f"the compiled SQL holds {len(trees)} statements")
                index = self._index(trees[0])
                result = analyze_tree(trees[0], unit.sql, self.rules, index)
            except Exception as error:  # the old version's failure is reported, not raised
                self.old_errors[key] = f"{type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''}"
                result = None
        self.old_results[key] = result
        return result

    def _index(self, tree: exp.Expression) -> Any:
        """The old version's columns of the relations a statement names."""
        known: dict[Table, tuple[str, ...]] = {}
        for node in tree.find_all(exp.Table):
            table = table_of(node, self.rules)
            if table is None:
                continue
            key, columns = self.columns_of(table, True)
            if key is not None and columns is not None:
                known[self.old.units[key].table or table] = columns
        schema = nested_schema({table: dict.fromkeys(columns, "")
                                for table, columns in known.items()}, self.rules)
        return None if schema is None else schema_index(schema, self.rules)

    def prints(self, unit: Unit, old: bool) -> tuple[Prints | None, str | None]:
        """The fingerprints of a unit's SQL in one version, and its text as
        sqlglot writes it back (None when it does not parse)."""
        if unit.sql is None:
            return None, None
        try:
            trees = parse(unit.sql, self.rules)
        except Exception:  # not parsed: nothing to compare it by
            return None, None
        if len(trees) != 1:
            return None, None
        text = normalised_sql(trees[0], self.rules.dialect)
        return prints_of(trees[0], self.rules.dialect, self.resolver(old),
                         self.renamed if old else None), text

    # --- the comparison -----------------------------------------------------------------

    def run(self) -> None:
        first = ("seed", "source")
        for key, unit in self.old.units.items():
            if key not in self.new.units and unit.kind != "source":
                self.gone(key, unit)
        for key, unit in self.new.units.items():
            if unit.kind in first:
                self.unit(key)
        for key, unit in self.new.units.items():
            if unit.kind not in first:
                self.unit(key)
        self.readers_of_gone()

    def add(self, change: str, unit: Unit, name: str, **more: Any) -> None:
        column = f"{unit.shown}.*" if change == "failed" else _shown(unit, name)
        self.changes.append(Change(change, unit.key, column, name, **more))

    def gone(self, key: str, unit: Unit) -> None:
        """A unit the new version no longer has: its columns removed."""
        found = self.analyse_old(key) if unit.sql is not None else None
        names = tuple(c.name for c in found.columns) if found is not None else unit.known
        if found is not None:
            self.old_edges.add(unit.shown, found, key)
        for name in names or ():
            self.add("column_removed", unit, name, old=name)
        self.removed[key] = set(names or ())
        self.reshaped.add(key)

    def unit(self, key: str) -> None:
        new = self.new.units[key]
        old = self.old.units.get(key)
        if old is None:
            for name in new.columns() or ():
                self.add("column_added", new, name, new=name)
            if new.result is not None:
                self.new_edges.add(new.shown, new.result, key)
            self.reshaped.add(key)
            return
        if new.kind in ("seed", "source"):
            self.stored(old, new)
            return
        upstream = any(p in self.reshaped for p in {*old.parents, *new.parents})
        if old.sql == new.sql and not upstream and old.error == new.error \
                and (old.result is None or new.result is None or old.result == new.result):
            return
        self.touched.add(key)
        before = self.analyse_old(key)
        after = new.result
        if after is None:
            if before is not None or old.error is None:
                self.add("failed", new, "*", reason=new.error or "it could not be analysed")
                self.failing[key] = (0, f"{new.shown}.*", None)
            return
        if before is None:
            why = self.old_errors.get(key) or old.error or "no SQL"
            for column in after.columns:
                self.add("rows_changed", new, column.name,
                         reason=f"the old version could not be analysed ({why})")
                self.starts.append((key, column.name, "rows", f"{new.shown}"))
            return
        self.columns(key, old, new, before, after)

    def stored(self, old: Unit, new: Unit) -> None:
        """A seed or source: its columns and types, and a seed's data."""
        before, after = old.known or (), new.known or ()
        # Columns are compared only as one source says them: a target
        # without catalog.json knows fewer columns, and none is gone for it.
        if before and after and old.origin == new.origin:
            for name in before:
                if name not in after:
                    self.add("column_removed", new, name, old=name)
                    self.removed.setdefault(new.key, set()).add(name)
            for name in after:
                if name not in before:
                    self.add("column_added", new, name, new=name)
            if set(before) != set(after):
                self.reshaped.add(new.key)
        common = [name for name in after if name in set(before)]
        self.types(old, new, [(name, name) for name in common])
        if new.kind == "seed" and old.checksum and new.checksum and old.checksum != new.checksum:
            for name in common:
                self.add("rows_changed", new, name, reason="the seed's data changed")
                self.starts.append((new.key, name, "rows", new.shown))

    def types(self, old: Unit, new: Unit, pairs: list[tuple[str, str]]) -> set[str]:
        changed = set()
        for before, after in pairs:
            was, now = old.types.get(before, ""), new.types.get(after, "")
            if was and now and was.casefold() != now.casefold():
                self.add("type_changed", new, after, old=was, new=now)
                self.starts.append((new.key, after, "type", _shown(new, after)))
                changed.add(after)
        return changed

    def columns(self, key: str, old: Unit, new: Unit, before: LineageResult,
                after: LineageResult) -> None:
        old_names = [c.name for c in before.columns]
        new_names = [c.name for c in after.columns]
        old_prints, old_text = self.prints(old, True)
        new_prints, new_text = self.prints(new, False)
        po = _by_name(old_names, old_prints)
        pn = _by_name(new_names, new_prints)
        kept = set(old_names) & set(new_names)
        removed = [n for n in old_names if n not in kept]
        added = [n for n in new_names if n not in kept]
        renames: dict[str, str] = {}
        if po is not None and pn is not None:
            renames = _renames(removed, added, po, pn)
        for was, now in renames.items():
            self.renamed[(key, was)] = now
            self.add("column_renamed", new, now, old=was, new=now)
        for name in removed:
            if name not in renames:
                self.add("column_removed", new, name, old=name)
        taken = set(renames.values())
        for name in added:
            if name not in taken:
                self.add("column_added", new, name, new=name)
        self.removed[key] = set(removed)
        if removed or added:
            self.reshaped.add(key)
        compared = po is not None and pn is not None and old_prints is not None \
            and new_prints is not None
        rows = old_prints.rows != new_prints.rows if compared else old_text != new_text
        typed = self.types(old, new, [(n, n) for n in new_names if n in kept]
                           + list(renames.items()))
        started = set(typed)
        texts_old = dict(zip(old_names, old_prints.texts)) if old_prints is not None and \
            len(old_prints.texts) == len(old_names) else {}
        texts_new = dict(zip(new_names, new_prints.texts)) if new_prints is not None and \
            len(new_prints.texts) == len(new_names) else {}
        for name in new_names:
            if name not in kept:
                continue
            if rows:
                reason = None if compared else "compared as text: its query could not be " \
                                               "resolved column by column"
                self.add("rows_changed", new, name, reason=reason)
                self.starts.append((key, name, "rows", new.shown))
                started.add(name)
            if compared and po[name] != pn[name]:
                self.add("expression_changed", new, name, old=texts_old.get(name) or None,
                         new=texts_new.get(name) or None)
                self.starts.append((key, name, "values", _shown(new, name)))
                started.add(name)
        self.lineage(key, new, before, after, started)
        self.fails(key, new, before, after)

    def lineage(self, key: str, unit: Unit, before: LineageResult, after: LineageResult,
                started: set[str]) -> None:
        """The edges of both versions, and a start for a column whose
        lineage changed (a rename upstream aside) though its expression and
        rows did not."""
        self.old_edges.add(unit.shown, before, key)
        self.new_edges.add(unit.shown, after, key)
        sources_old = {c.name: self._sources(c, True) for c in before.columns}
        for column in after.columns:
            if column.name in started or column.name not in sources_old:
                continue
            if sources_old[column.name] != self._sources(column, False):
                self.starts.append((key, column.name, "values", _shown(unit, column.name)))

    def _sources(self, column: Any, old: bool) -> set[tuple]:
        found = set()
        for source in (*column.direct, *column.indirect):
            table = Table(source.catalog, source.db, source.table)
            parent = self.key_of(table, old) or str(table)
            name = self.renamed.get((parent, source.column), source.column) if old \
                else source.column
            found.add((parent, name, source.type, source.subtype))
        return found

    def fails(self, key: str, unit: Unit, before: LineageResult, after: LineageResult) -> None:
        """Whether the new version reads what its parents no longer give."""
        def missing(result: LineageResult) -> set[tuple[str, str]]:
            return {(entry.column.rsplit(".", 1)[-1], entry.reason)
                    for column in result.columns for entry in column.unresolved
                    if entry.reason.startswith(_MISSING)}

        lost = missing(after) - missing(before)
        if not lost:
            return
        names = {name for name, _ in lost}
        new = self.new.units[key]
        old = self.old.units[key]
        for parent in dict.fromkeys((*new.parents, *old.parents)):
            gone = self.removed.get(parent, set())
            for name in sorted(names):
                if name in gone:
                    owner = self.old.units.get(parent) or self.new.units.get(parent)
                    because = _shown(owner, name) if owner is not None else f"{parent}.{name}"
                    self.failing.setdefault(key, (1, because, f"{unit.shown}.*"))
                    return
        self.add("failed", unit, "*", reason="it reads columns that are not there: "
                 + ", ".join(sorted(names)))
        self.failing.setdefault(key, (0, f"{unit.shown}.*", None))

    def readers_of_gone(self) -> None:
        """A unit the new version still reads by a relation that is gone
        will fail."""
        gone = {key for key in self.old.units if key not in self.new.units}
        if not gone:
            return
        for key, unit in self.new.units.items():
            if unit.result is None or key in self.failing:
                continue
            for table in unit.result.tables:
                parent = self.key_of(table, True)
                if parent in gone and self.key_of(table, False) is None:
                    self.failing[key] = (1, f"{self.old.units[parent].shown}.*",
                                         f"{unit.shown}.*")
                    break


def _by_name(names: list[str], prints: Prints | None) -> dict[str, str] | None:
    if prints is None or len(prints.columns) != len(names):
        return None
    return {name: fingerprint for name, (_, fingerprint) in zip(names, prints.columns)}


def _renames(removed: list[str], added: list[str], before: dict[str, str],
             after: dict[str, str]) -> dict[str, str]:
    """Removed columns whose expression exactly one added column has, and
    no other removed column."""
    gone: dict[str, list[str]] = {}
    for name in removed:
        gone.setdefault(before[name], []).append(name)
    made: dict[str, list[str]] = {}
    for name in added:
        made.setdefault(after[name], []).append(name)
    return {names[0]: made[fingerprint][0] for fingerprint, names in gone.items()
            if len(names) == 1 and len(made.get(fingerprint, ())) == 1}


def compare_sides(old: Side, new: Side, rules: Rules) -> Compared:
    comparer = _Comparer(old, new, rules)
    comparer.run()
    order = {key: index for index, key in enumerate(new.units)}
    rank = {kind: index for index, kind in enumerate(
        ("failed", "column_removed", "column_renamed", "column_added", "type_changed",
         "rows_changed", "expression_changed"))}
    changes = sorted(comparer.changes, key=lambda c: (order.get(c.model, -1), rank[c.change]))
    owners = {**comparer.old_edges.owners, **comparer.new_edges.owners}
    edges = [(owners.get(row["target"]), row)
             for row in edge_rows(comparer.old_edges, comparer.new_edges)]
    return Compared(changes, edges, comparer.starts, comparer.failing,
                    comparer.renamed, list(new.units))


# --- edges, as the edge diff compares them ---------------------------------------------------

class Edges:
    """What one version gives: every edge (source, target, type, subtype),
    and each output column's unresolved reason (None: resolved)."""

    def __init__(self) -> None:
        self.edges: set[tuple[str, str, str, str]] = set()
        self.columns: dict[str, str | None] = {}
        self.owners: dict[str, str | None] = {}

    def add(self, owner: str, result: Any, key: str | None = None) -> None:
        for column in result.columns:
            # Named by their parts, as the graph shows them: "s.t" is not s.t.
            target = f"{owner}.{quoted(column.name)}"
            self.owners[target] = key
            for source in (*column.direct, *column.indirect):
                self.edges.add((shown((source.catalog, source.db, source.table, source.column)),
                                target, source.type, source.subtype))
            reasons = [entry.reason for entry in column.unresolved]
            self.columns[target] = "; ".join(dict.fromkeys(reasons)) if reasons else None


def edge_rows(old: Edges, new: Edges) -> list[dict[str, Any]]:
    """Added, removed and changed edges (an edge changed when the only edge
    of its source, target and type has another subtype), then the columns
    of both versions that became unresolved or resolved."""
    def by_key(edges: set[tuple]) -> dict[tuple, set[str]]:
        keyed: dict[tuple, set[str]] = {}
        for source, target, kind, subtype in edges:
            keyed.setdefault((source, target, kind), set()).add(subtype)
        return keyed

    before, after = by_key(old.edges), by_key(new.edges)
    rows: list[dict[str, Any]] = []
    for key in sorted(before.keys() | after.keys()):
        was, now = before.get(key, set()), after.get(key, set())
        if was == now:
            continue
        head = dict(zip(("source", "target", "type"), key))
        if len(was) == 1 and len(now) == 1:
            rows.append({"change": "changed", **head, "old_subtype": next(iter(was)),
                         "new_subtype": next(iter(now)), "reason": None})
            continue
        rows.extend({"change": "removed", **head, "old_subtype": s, "new_subtype": None,
                     "reason": None} for s in sorted(was - now))
        rows.extend({"change": "added", **head, "old_subtype": None, "new_subtype": s,
                     "reason": None} for s in sorted(now - was))
    for column in sorted(old.columns.keys() & new.columns.keys()):
        before_why, after_why = old.columns[column], new.columns[column]
        if (before_why is None) == (after_why is None):
            continue
        rows.append({"change": "unresolved" if after_why is not None else "resolved",
                     "source": None, "target": column, "type": "UNRESOLVED", "old_subtype": None,
                     "new_subtype": None,
                     "reason": after_why if after_why is not None else f"was: {before_why}"})
    return rows
