"""A dbt project's models analysed in DAG order, on worker processes.

A model's analysis reads only the schema: the columns of the relations it
names.  With one job, each model is analysed with the schema its parents
left, and its output columns join the script's state before the next.
With more, the workers analyse every model at once with the schema the
project started with (catalog.json's columns, usually those the models
produce), and this process takes the answers in DAG order: an answer
stands when every relation its model names still has the columns it had
at the start; otherwise (a parent produced other columns, or the model
failed after such a change) the model is analysed again here with the
schema of that moment.  So the results are those of one job, whatever the
number of jobs, and the tracing of each model's columns through its
parents (most of the time) overlaps the workers' analysis.
"""

from __future__ import annotations

import contextlib
import gc
from typing import Any, Callable, Iterable, Iterator, NamedTuple

from sqlglot import exp
from sqlglot.errors import ParseError, SqlglotError

from qarvel_lineage.batch.pool import ordered_map, portable
from qarvel_lineage.engine.parse import analyze_statement, analyze_tree, parse
from qarvel_lineage.engine.records import Table
from qarvel_lineage.engine.rules import Rules, SchemaIndex, rules_for
from qarvel_lineage.engine.script import _ScriptState, apply_statement

__all__ = ["Failed", "Model", "analyse_models", "young_collections"]

_JINJA = ("{{", "{%", "{#")


class Model(NamedTuple):
    """What a model's analysis needs: its compiled SQL (or why there is
    none), the relation it builds and how ("TABLE", "VIEW"; None: analysed
    as a query, for an ephemeral model or one without a relation)."""

    unique_id: str
    sql: str
    failure: Exception | None
    target: Table | None
    kind: str | None


class Failed(NamedTuple):
    unique_id: str
    error: Exception


def looks_like_jinja(sql: str) -> bool:
    """Whether SQL text still holds dbt's Jinja (it was not compiled)."""
    return any(mark in sql for mark in _JINJA)


def _context(dialect: Any, index: SchemaIndex) -> tuple[Rules, SchemaIndex]:
    return rules_for(dialect), index


def _analyse(context: tuple[Rules, SchemaIndex], model: Model) -> Any:
    """(the result, what the engine found, or None), or a Failed."""
    rules, index = context
    try:
        if model.failure is not None:
            raise model.failure
        if looks_like_jinja(model.sql):
            raise ParseError("the compiled SQL still holds Jinja")
        trees = parse(model.sql, rules)
        if len(trees) != 1:
            raise ParseError(f"the compiled SQL holds {len(trees)} statements, not one query")
        if model.kind is None:
            return analyze_tree(trees[0], model.sql, rules, index), None
        tree = exp.Create(this=_table_node(model.target), kind=model.kind, expression=trees[0])
        return analyze_statement(tree, model.sql, rules, index)
    except (SqlglotError, ValueError, RecursionError) as error:
        return Failed(model.unique_id, error)


def _analyse_remote(context: tuple[Rules, SchemaIndex], model: Model) -> Any:
    """``_analyse`` on a worker: an error that would not pickle is sent as
    a RuntimeError with its text."""
    answer = _analyse(context, model)
    return Failed(model.unique_id, portable(answer.error)) if isinstance(answer, Failed) \
        else answer


def _table_node(table: Table) -> exp.Table:
    def part(name: str | None) -> exp.Identifier | None:
        return exp.to_identifier(name, quoted=True) if name else None

    return exp.Table(this=part(table.name), db=part(table.db), catalog=part(table.catalog))


def _names_read(answer: Any) -> set[str] | None:
    """The names of the relations a result read (None: not known, as for
    a failure or a column that traces to nothing)."""
    if isinstance(answer, Failed):
        return None
    result = answer[0]
    if any(column.unresolved for column in result.columns):
        return None
    return {table.name.casefold() for table in result.tables}


def _names_defined(answer: Any) -> list[Table]:
    if isinstance(answer, Failed) or answer[1] is None:
        return []
    result, found = answer
    named = [result.target] if result.target is not None else []
    named.extend(table for table in found.named or () if isinstance(table, Table))
    return named


class _Changes:
    """Which relation names (casefolded) have other columns in the state
    than at the start."""

    def __init__(self, state: _ScriptState):
        self.state = state
        self.keys: dict[str, set[tuple]] = {}
        for key in state.tables:
            self.keys.setdefault(key[2].casefold(), set()).add(key)
        self.initial = {name: self._entries(name) for name in self.keys}
        self.changed: set[str] = set()

    def _entries(self, name: str) -> dict[tuple, tuple[str, ...]]:
        tables = self.state.tables
        return {key: tables[key] for key in self.keys.get(name, ()) if key in tables}

    def after(self, defined: list[Table]) -> None:
        for table in defined:
            name = table.name.casefold()
            self.keys.setdefault(name, set()).add((table.catalog, table.db, table.name))
            if self._entries(name) == self.initial.get(name, {}):
                self.changed.discard(name)
            else:
                self.changed.add(name)

    def stands(self, answer: Any) -> bool:
        """Whether an answer found with the first schema is the one the
        schema of now gives."""
        if not self.changed:
            return True
        read = _names_read(answer)
        return read is not None and not read & self.changed


@contextlib.contextmanager
def young_collections() -> Iterator[None]:
    """The interpreter's automatic collections held off while a project is
    read and analysed (``analyse_models`` collects the young objects after
    each model, which frees its parsed tree).  A full collection visits
    every object the manifest and the lineage made, and the automatic ones
    came often enough to take a third of the time; what the caller had
    set is set again after."""
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


def _lost(model: Model, error: BaseException) -> None:
    """A model whose worker died under it: analysed again here."""
    return None


def analyse_models(models: list[Model], dialect: Any, state: _ScriptState, jobs: int,
                   progress: Callable[[int, int], None] | None) -> Iterator[tuple[str, Any]]:
    """Each model's unique id and its result (a LineageResult, or a
    Failed), in the models' (DAG) order; each result joins ``state`` before
    the next is yielded."""
    rules = state.rules
    if jobs > 1 and len(models) > 1:
        changes: _Changes | None = _Changes(state)
        # The workers' schema, and this process's when it takes a model of
        # theirs: the start's, kept apart from the state, which changes.
        first = SchemaIndex(state.index().depth, dict(state.tables))
        answers: Iterable[Any] = ordered_map(_analyse_remote, models, jobs, _context,
                                             (dialect, first), lost=_lost, local=_analyse)
    else:
        changes = None
        answers = (None for _ in models)
    for done, (model, answer) in enumerate(zip(models, answers), 1):
        if changes is None or answer is None or not changes.stands(answer):
            answer = _analyse((rules, state.index()), model)
        if not isinstance(answer, Failed) and answer[1] is not None:
            apply_statement(state, *answer)
            if changes is not None:
                changes.after(_names_defined(answer))
        # A parsed tree holds cycles (each node names its parent).
        gc.collect(0)
        if progress is not None:
            progress(done, len(models))
        yield model.unique_id, answer if isinstance(answer, Failed) else answer[0]
