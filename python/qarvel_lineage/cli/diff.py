"""``sqlglot-main diff OLD NEW``: the column lineage two versions give,
compared.  Each side is read by the command's one reader and analysed on
its workers; a statement is named by where it is within its side (its
file's path within the folder, or nothing for a single file, then its
number), so that the same statement gives the same names on both sides."""

from __future__ import annotations

import os
from typing import Any

from qarvel_lineage.answers.kinds import ChangesAnswer
from qarvel_lineage.cli.errors import UsageError
from qarvel_lineage.cli.readers import InputFailed, check_project, is_project, side_inputs

__all__ = ["read_side", "compare"]


class Side:
    """What one version gives: every edge (source, target, type, subtype),
    and each output column's unresolved reason (None: resolved)."""

    def __init__(self) -> None:
        self.edges: set[tuple[str, str, str, str]] = set()
        self.columns: dict[str, str | None] = {}

    def add(self, statement: str, result: Any) -> None:
        owner = str(result.target) if result.target is not None else statement
        for column in result.columns:
            target = f"{owner}.{column.name}"
            for source in (*column.direct, *column.indirect):
                table = ".".join(p for p in (source.catalog, source.db, source.table) if p)
                self.edges.add((f"{table}.{source.column}", target, source.type, source.subtype))
            reasons = [entry.reason for entry in column.unresolved]
            self.columns[target] = "; ".join(dict.fromkeys(reasons)) if reasons else None


def read_side(path: str, session: Any, plan: Any, select: dict[str, Any]) -> Side:
    side = Side()
    if is_project(path):
        from qarvel_lineage.dbt import project_lineage

        try:
            check_project(path)
            project = project_lineage(path, session.dialect, session.schema, **select)
        except (OSError, ValueError, InputFailed) as error:
            raise UsageError(f"{path}: {str(error).splitlines()[0]}") from None
        for line in getattr(project, "warnings", ()):
            session.say(line)
        for failed in project.errors:
            session.error(f"{path}: {failed}")
        for unique_id, result in project.models.items():
            if getattr(result, "target", None) is not None:
                side.add(unique_id, result)
        return side
    try:
        inputs = list(side_inputs(path, session.encoding, session.max_input_bytes, session.say))
    except InputFailed as error:
        raise UsageError(str(error)) from None
    for done in session.analysed(inputs, plan):
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
