"""Which models of a dbt project must be analysed again, given what was
recorded when each was last analysed.

A model's record holds a digest of what it is (compiled SQL, relation,
how it is built, dialect), the relation names its query read with a
digest of the columns the schema gave them at that moment, what it left
in the schema (its relation's columns) and its output columns.  Models
are taken in DAG order: a model whose digest is the same and whose names
read have the same columns now stands as recorded, its effect on the
schema replayed; any other (new, changed, failed, with columns that
traced to nothing, or whose inputs now have other columns) is analysed.
So a change that alters a model's output columns reaches the models that
read them, and only those.
"""

from __future__ import annotations

import gc
import hashlib
import json
from typing import Any, Callable, Iterator, NamedTuple

from qarvel_lineage.dbt.models import Failed, Model, _analyse, _names_defined, _names_read
from qarvel_lineage.engine.script import _ScriptState, apply_statement

__all__ = ["Record", "KEPT", "refresh_models", "model_digest"]


class Record(NamedTuple):
    """What was known of a model when it was last analysed."""

    digest: str
    reads: tuple[str, ...] | None      # casefolded names read; None: re-analyse always
    reads_digest: str
    effect: tuple | None               # its relation's columns after it; None: none left
    applied: bool                      # whether it changed the schema at all
    outputs: tuple[str, ...]           # its output columns, in order

    def to_json(self) -> str:
        return json.dumps([self.digest, self.reads, self.reads_digest, self.effect,
                           self.applied, self.outputs])

    @classmethod
    def from_json(cls, text: str) -> "Record | None":
        try:
            digest, reads, reads_digest, effect, applied, outputs = json.loads(text)
            return cls(str(digest), tuple(reads) if reads is not None else None,
                       str(reads_digest), tuple(effect) if effect is not None else None,
                       bool(applied), tuple(outputs))
        except (ValueError, TypeError):
            return None   # a record not understood: the model is analysed again


class _Kept(NamedTuple):
    record: Record


KEPT = _Kept


def model_digest(model: Model, dialect_name: str) -> str:
    failure = None if model.failure is None else str(model.failure)
    target = list(model.target) if model.target is not None else None
    text = json.dumps([model.sql, failure, target, model.kind, dialect_name])
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


class _Names:
    """The schema's entries by casefolded relation name."""

    def __init__(self, state: _ScriptState):
        self.state = state
        self.folded: dict[str, set[str]] = {}
        for name in state._tables_named:
            self.folded.setdefault(name.casefold(), set()).add(name)

    def note(self, names: list[str]) -> None:
        for name in names:
            self.folded.setdefault(name.casefold(), set()).add(name)

    def digest(self, reads: tuple[str, ...]) -> str:
        tables = self.state.tables
        named = self.state._tables_named
        entries = sorted(repr((key, tables[key])) for folded in reads
                         for name in self.folded.get(folded, ())
                         for key in named.get(name, ()) if key in tables)
        return hashlib.sha256("\n".join([*reads, "", *entries]).encode(
            "utf-8", "surrogatepass")).hexdigest()


def _replay(state: _ScriptState, model: Model, record: Record) -> None:
    if not record.applied or model.target is None:
        return
    if record.effect is None:
        state.drop_schema(model.target)
    else:
        state.define(model.target, record.effect)


def refresh_models(models: list[Model], dialect: Any, state: _ScriptState,
                   previous: Callable[[str], Record | None],
                   progress: Callable[[int, int], None] | None
                   ) -> Iterator[tuple[str, Any, Record | None]]:
    """Each model's unique id, its result (a LineageResult, a Failed, or
    KEPT(record) for one that stands as recorded) and its new record (None
    when kept), in the models' order; each joins ``state`` before the next."""
    rules = state.rules
    names = _Names(state)
    for done, model in enumerate(models, 1):
        digest = model_digest(model, rules.name)
        record = previous(model.unique_id)
        if record is not None and record.digest == digest and record.reads is not None \
                and names.digest(record.reads) == record.reads_digest:
            _replay(state, model, record)
            if model.target is not None:
                names.note([model.target.name])
            if progress is not None:
                progress(done, len(models))
            yield model.unique_id, KEPT(record), None
            continue
        answer = _analyse((rules, state.index()), model)
        read = _names_read(answer)
        defined = _names_defined(answer)
        if any(table != model.target for table in defined):
            read = None   # it changed more than its relation: analysed every time
        reads = tuple(sorted(read)) if read is not None else None
        reads_digest = names.digest(reads) if reads is not None else ""
        applied = not isinstance(answer, Failed) and answer[1] is not None
        if applied:
            apply_statement(state, *answer)
            names.note([table.name for table in defined])
        effect = None
        if applied and model.target is not None:
            key = (model.target.catalog, model.target.db, model.target.name)
            found = state.tables.get(key)
            effect = tuple(found) if found is not None else None
        outputs = () if isinstance(answer, Failed) else tuple(
            dict.fromkeys(column.name for column in answer[0].columns))
        # A parsed tree holds cycles (each node names its parent).
        gc.collect(0)
        if progress is not None:
            progress(done, len(models))
        yield model.unique_id, answer if isinstance(answer, Failed) else answer[0], Record(
            digest, reads, reads_digest, effect, applied, outputs)
