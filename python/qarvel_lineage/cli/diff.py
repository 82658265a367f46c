"""``sqlglot-main diff OLD NEW``: the column lineage two versions give,
compared.  Each side is read by the command's one reader and analysed on
its workers; a statement is named by where it is within its side (its
file's path within the folder, or nothing for a single file, then its
number), so that the same statement gives the same names on both sides."""

from __future__ import annotations

import os
import traceback
from typing import Any

from qarvel_lineage.answers.kinds import ChangesAnswer
from qarvel_lineage.cli.errors import UsageError
from qarvel_lineage.cli.readers import InputFailed, check_project, is_project, side_inputs
from qarvel_lineage.graph.names import shown

__all__ = ["list_side", "read_side", "compare"]


class Side:
    """What one version gives: every edge (source, target, type, subtype),
    and each output column's unresolved reason (None: resolved).  A column
    is named by its parts as the graph shows it, so a table ``"s.t"`` is
    not ``s.t``."""

    def __init__(self) -> None:
        self.edges: set[tuple[str, str, str, str]] = set()
        self.columns: dict[str, str | None] = {}

    def add(self, statement: str, result: Any) -> None:
        table = result.target
        owner = (table.catalog, table.db, table.name) if table is not None \
            else (None, None, statement)
        for column in result.columns:
            target = shown((*owner, column.name))
            for source in (*column.direct, *column.indirect):
                self.edges.add((shown((source.catalog, source.db, source.table, source.column)),
                                target, source.type, source.subtype))
            reasons = [entry.reason for entry in column.unresolved]
            self.columns[target] = "; ".join(dict.fromkeys(reasons)) if reasons else None


def list_side(path: str, session: Any, select: dict[str, Any]) -> Any:
    """What one side holds: a dbt project, read and analysed, or the list
    of its inputs (so that a run stopped counts the inputs of both sides)."""
    if is_project(path):
        from qarvel_lineage.dbt import project_lineage

        try:
            check_project(path)
            project = project_lineage(path, session.dialect, session.schema, **select)
        except (OSError, ValueError, InputFailed) as error:
            raise UsageError(f"{path}: {str(error).splitlines()[0]}") from None
        for line in getattr(project, "warnings", ()):
            session.say(line)
        return project
    try:
        return list(side_inputs(path, session.encoding, session.max_input_bytes, session.say))
    except InputFailed as error:
        raise UsageError(str(error)) from None


def read_side(path: str, listed: Any, session: Any, plan: Any) -> Side:
    side = Side()
    if not isinstance(listed, list):
        for failed in listed.errors:
            session.error(f"{path}: {failed}", "".join(traceback.format_exception(failed.error)))
        for unique_id, result in listed.models.items():
            if getattr(result, "target", None) is not None:
                side.add(unique_id, result)
        return side
    for done in session.analysed(listed, plan):
        key = "" if done.name == path else os.path.relpath(done.name, path)
        for index, result in enumerate(done.results, 1):
            if hasattr(result, "columns"):
                side.add(f"{key}#{index}", result)
        session.finished += 1
    return side


def compare(old: Side, new: Side) -> ChangesAnswer:
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
        head = {**dict(zip(("source", "target", "type"), key))}
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
    return ChangesAnswer(rows)
