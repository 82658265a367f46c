"""A written column's lineage in terms of what a script only reads, kept so
that columns share their parents' work instead of copying it.

A traced column is three tuples: its DIRECT sources (one per physical
column, the strongest subtype seen and masking if any way masks), its
INDIRECT sources and its unresolved entries, each in the order its first
contribution came.  A column read from a written table stands for that
table's column: its sources become the reader's.  The tuples are shared:
a parent's INDIRECT sources are taken by reference, the ordered union of
the same parts is made once (the parts are known by identity, so an
output column whose influences are its siblings' costs a look-up), a
union that adds nothing to its first part is that part, and equal unions
are one tuple.  The results are those of tracing each column source by
source; only the work and the memory are shared.
"""

from __future__ import annotations

from itertools import chain
from typing import Any, Callable, Iterable

from qarvel_lineage.engine.records import OutputColumn, Source, Unresolved

__all__ = ["Traced", "Tracer", "DIRECT_ORDER"]

DIRECT_ORDER = {"IDENTITY": 0, "TRANSFORMATION": 1, "AGGREGATION": 2}
_EMPTY: tuple = ()


def _stronger(one: str, other: str) -> str:
    return one if DIRECT_ORDER[one] >= DIRECT_ORDER[other] else other


class Traced:
    """The lineage of one written column: ``direct``, ``indirect`` and
    ``unresolved``, tuples the tracer may share with other columns (never
    changed in place: a change makes new tuples)."""

    __slots__ = ("name", "direct", "indirect", "unresolved")

    def __init__(self, name: str, direct: tuple = _EMPTY, indirect: tuple = _EMPTY,
                 unresolved: tuple = _EMPTY):
        self.name = name
        self.direct: tuple[Source, ...] = direct
        self.indirect: tuple[Source, ...] = indirect
        self.unresolved: tuple[Unresolved, ...] = unresolved


# What a look-up of a source's table and column finds: the written column it
# stands for, a written star (with the reader's item), or nothing.
Found = Any


class Tracer:
    """The caches one script's tracing shares; ``find(source)`` gives the
    written column a source stands for (a Traced), ``("*", star)`` for a
    written star over tables whose columns were not known, or None."""

    def __init__(self, find: Callable[[Source], Found],
                 through_star: Callable[[Source, Traced], list]):
        self.find = find
        self.through_star = through_star
        self._unions: dict[tuple[int, ...], tuple[list, tuple]] = {}
        self._interned: dict[tuple, tuple] = {}
        self._singles: dict[Any, tuple] = {}
        self._indirect: dict[tuple[int, str], tuple[tuple, tuple]] = {}
        self._direct: dict[tuple[int, str, bool], tuple[tuple, tuple]] = {}

    # --- shared pieces -------------------------------------------------------------
    def single(self, item: Any) -> tuple:
        found = self._singles.get(item)
        if found is None:
            found = self._singles[item] = (item,)
        return found

    def union(self, parts: list[tuple]) -> tuple:
        """The ordered union of ``parts`` (each without repeats): every
        element once, where it first came."""
        if len(parts) < 2:
            return parts[0] if parts else _EMPTY
        # A part met before adds nothing.
        unique = list({id(part): part for part in parts if part}.values())
        if len(unique) < 2:
            return unique[0] if unique else _EMPTY
        key = tuple(map(id, unique))
        hit = self._unions.get(key)
        if hit is not None:
            return hit[1]
        first = unique[0]
        merged = tuple(dict.fromkeys(chain.from_iterable(unique)))
        if len(merged) == len(first):
            merged = first
        else:
            merged = self._interned.setdefault(merged, merged)
        # The parts are kept, so the ids in the key stay theirs.
        self._unions[key] = (unique, merged)
        return merged

    def as_indirect(self, direct: tuple, subtype: str) -> tuple:
        """A written column's DIRECT sources as they reach a reader that
        uses the column in an INDIRECT way (``subtype``)."""
        key = (id(direct), subtype)
        hit = self._indirect.get(key)
        if hit is None:
            made = tuple(source._replace(type="INDIRECT", subtype=subtype, masking=False)
                         for source in direct)
            hit = self._indirect[key] = (direct, self._interned.setdefault(made, made))
        return hit[1]

    def as_direct(self, direct: tuple, subtype: str, masking: bool) -> tuple:
        """A written column's DIRECT sources as they reach a reader that
        takes the column DIRECTLY: the stronger subtype of the two, masked
        if either masks."""
        key = (id(direct), subtype, masking)
        hit = self._direct.get(key)
        if hit is None:
            made = tuple(source if _stronger(subtype, source.subtype) == source.subtype
                         and (source.masking or not masking)
                         else source._replace(subtype=_stronger(subtype, source.subtype),
                                              masking=source.masking or masking)
                         for source in direct)
            if all(a is b for a, b in zip(made, direct)):
                made = direct
            hit = self._direct[key] = (direct, made)
        return hit[1]

    @staticmethod
    def merge_direct(parts: list[tuple]) -> tuple:
        """DIRECT sources from several parts: one per physical column, where
        it first came, with the strongest subtype and masking if any masks."""
        parts = [part for part in parts if part]
        if not parts:
            return _EMPTY
        if len(parts) == 1:
            return parts[0]
        merged: dict[tuple, Source] = {}
        changed = False
        for source in chain.from_iterable(parts):
            key = source[:4]
            old = merged.get(key)
            if old is None:
                merged[key] = source
                continue
            changed = True
            subtype = _stronger(old.subtype, source.subtype)
            if subtype != old.subtype or (source.masking and not old.masking):
                merged[key] = old._replace(subtype=subtype, masking=old.masking or source.masking)
        first = parts[0]
        if len(merged) == len(first) and (not changed or all(
                merged[source[:4]] is source for source in first)):
            return first
        return tuple(merged.values())

    def dedupe(self, items: Iterable[Any]) -> tuple:
        made = tuple(dict.fromkeys(items))
        return self._interned.setdefault(made, made)

    # --- tracing -------------------------------------------------------------------
    def trace(self, columns: Iterable[OutputColumn]) -> list[Traced]:
        """A statement's output columns in terms of what the script only
        reads.  What each source stands for is found once, and the INDIRECT
        sources columns have in common are traced once."""
        parts: dict[Source, tuple[list, list, list]] = {}
        shared: dict[tuple, tuple[list, tuple, tuple]] = {}
        traced = []
        for column in columns:
            direct: list[tuple] = []
            indirect: list[tuple] = []
            unresolved: list[tuple] = []
            for item in column.direct:
                found = parts.get(item)
                if found is None:
                    found = parts[item] = self._parts(item)
                direct.extend(found[0])
                indirect.extend(found[1])
                unresolved.extend(found[2])
            if column.indirect:
                common = shared.get(column.indirect)
                if common is None:
                    common = shared[column.indirect] = self._common(column.indirect, parts)
                direct.extend(common[0])
                indirect.append(common[1])
                unresolved.append(common[2])
            for item in column.unresolved:
                unresolved.append(self.single(item))
            traced.append(Traced(column.name, self.merge_direct(direct), self.union(indirect),
                                 self.union(unresolved)))
        return traced

    def _common(self, items: tuple[Source, ...],
                parts: dict[Source, tuple[list, list, list]]) -> tuple[list, tuple, tuple]:
        """(DIRECT parts, INDIRECT union, unresolved union) of a column's
        INDIRECT sources."""
        direct: list[tuple] = []
        indirect: list[tuple] = []
        unresolved: list[tuple] = []
        for item in items:
            found = parts.get(item)
            if found is None:
                found = parts[item] = self._parts(item)
            direct.extend(found[0])
            indirect.extend(found[1])
            unresolved.extend(found[2])
        return direct, self.union(indirect), self.union(unresolved)

    def _parts(self, item: Source) -> tuple[list, list, list]:
        """What one source brings: its DIRECT, INDIRECT and unresolved parts."""
        found = self.find(item)
        if found is None:
            one = [self.single(item)]
            return (one, [], []) if item.type == "DIRECT" else ([], one, [])
        if isinstance(found, Traced):
            if item.type == "DIRECT":
                return ([self.as_direct(found.direct, item.subtype, item.masking)],
                        [found.indirect], [found.unresolved])
            return [], [self.as_indirect(found.direct, item.subtype), found.indirect], \
                [found.unresolved]
        direct: list[tuple] = []
        indirect: list[tuple] = []
        unresolved: list[tuple] = []
        self.spread(self.through_star(item, found[1]), direct, indirect, unresolved)
        return direct, indirect, unresolved

    def influence(self, item: Source) -> list[tuple]:
        """The parts of the sources an influence on a statement's rows
        stands for (its unresolved entries are no sources)."""
        found = self.find(item)
        if found is None:
            return [self.single(item)]
        if isinstance(found, Traced):
            first = (self.as_direct(found.direct, item.subtype, item.masking)
                     if item.type == "DIRECT" else self.as_indirect(found.direct, item.subtype))
            return [first, found.indirect]
        return [self.dedupe(part for part in self.through_star(item, found[1])
                            if isinstance(part, Source))]

    def spread(self, parts: Iterable[Source | Unresolved], direct: list, indirect: list,
               unresolved: list) -> None:
        """Sources and entries in any order, each to its part."""
        ours_direct, ours_indirect, ours_unresolved = [], [], []
        for part in parts:
            if isinstance(part, Unresolved):
                ours_unresolved.append(part)
            elif part.type == "DIRECT":
                ours_direct.append(part)
            else:
                ours_indirect.append(part)
        if ours_direct:
            direct.append(self.merge_direct([(source,) for source in ours_direct]))
        if ours_indirect:
            indirect.append(self.dedupe(ours_indirect))
        if ours_unresolved:
            unresolved.append(self.dedupe(ours_unresolved))

    def extend(self, into: Traced, direct: tuple, indirect: tuple, unresolved: tuple) -> None:
        """What a column held, and more after it."""
        into.direct = self.merge_direct([into.direct, direct])
        into.indirect = self.union([into.indirect, indirect])
        into.unresolved = self.union([into.unresolved, unresolved])

    def add(self, into: Traced, parts: Iterable[Source | Unresolved]) -> None:
        direct: list[tuple] = []
        indirect: list[tuple] = []
        unresolved: list[tuple] = []
        self.spread(parts, direct, indirect, unresolved)
        self.extend(into, self.merge_direct(direct), self.union(indirect), self.union(unresolved))
