"""``sqlglot-main diff OLD NEW`` (or ``diff --state OLD [NEW]``): two
versions compared column by column, with the blast radius of each change
(``qarvel_lineage.changes``).

Two dbt projects: the new one is read as ``--dbt`` reads it (``--jobs``,
``--schema``, a progress bar on a terminal), the old one only where it
differs.  Two sets of SQL files: each side is read by the command's one
reader and analysed on its workers; a statement is named by where it is
within its side (its file's path within the folder, or nothing for a
single file, then its number), so that the same statement gives the same
names on both sides."""

from __future__ import annotations

import argparse
import os
import traceback
from typing import Any

from qarvel_lineage.answers.kinds import ChangesAnswer
from qarvel_lineage.cli.errors import UsageError
from qarvel_lineage.cli.readers import InputFailed, check_project, is_project, side_inputs

__all__ = ["check_diff", "changes", "list_side", "read_side"]


def check_diff(options: argparse.Namespace) -> str:
    """The two sides (options.old, options.new) from the paths and
    --state, and when to fail (never, changes, breaking); every option that
    cannot work with the others is a usage error."""
    paths = list(options.paths)
    if options.state is not None:
        if len(paths) > 1:
            raise UsageError("with --state (the old version), give at most one path: the new "
                             "version (default: the current folder)")
        options.old, options.new = options.state, paths[0] if paths else "."
    elif len(paths) != 2:
        raise UsageError("give two versions to compare: diff OLD NEW (or diff --state OLD NEW)")
    else:
        options.old, options.new = paths
    if options.fail_on_change and options.fail_on not in (None, "changes"):
        raise UsageError(f"--fail-on-change means --fail-on changes, not --fail-on "
                         f"{options.fail_on}")
    if options.limit is not None and options.limit < 0:
        raise UsageError("--limit must be 0 (no limit) or more")
    if options.limit is not None and options.format not in ("table", "markdown"):
        raise UsageError("--limit is for --format table and markdown")
    return "changes" if options.fail_on_change else options.fail_on or "never"


def changes(options: argparse.Namespace, session: Any, make_bar: Any = None) -> ChangesAnswer:
    """The two versions compared (``make_bar(stream)``: a progress bar of
    the new dbt project's models, on a terminal)."""
    old, new = options.old, options.new
    projects = is_project(old), is_project(new)
    if projects[0] != projects[1]:
        which = old if projects[0] else new
        raise UsageError(f"{which} is a dbt project and the other is not: diff compares two dbt "
                         "projects, or two sets of SQL files")
    if projects[1]:
        found = _projects(options, session, make_bar)
    else:
        if options.select is not None or options.exclude is not None:
            raise UsageError("--select and --exclude choose the nodes of dbt projects")
        from qarvel_lineage.cli.analysis import Plan
        from qarvel_lineage.changes import compare_scripts

        # Both sides listed first: a run stopped counts the inputs of both.
        listed = [list_side(path, session) for path in (old, new)]
        session.total = sum(len(inputs) for inputs in listed)
        sides = [read_side(path, inputs, session, Plan("graph"))
                 for path, inputs in zip((old, new), listed)]
        found = compare_scripts(*sides, dialect=session.dialect, schema=session.schema)
    return ChangesAnswer(found.rows(), found.summary())


def _projects(options: argparse.Namespace, session: Any, make_bar: Any) -> Any:
    from qarvel_lineage.changes import compare_dbt

    terminal = getattr(session.stderr, "isatty", lambda: False)()
    bar = make_bar(session.stderr) if make_bar is not None and terminal else None
    path = options.new
    try:
        for path in (options.old, options.new):
            check_project(path)
        return compare_dbt(options.old, options.new, session.dialect, session.schema,
                           select=options.select, exclude=options.exclude, jobs=session.jobs,
                           progress=bar, warn=session.say, failed=lambda error: session.error(
                               f"{options.new}: {error}",
                               "".join(traceback.format_exception(error.error))))
    except (OSError, ValueError, InputFailed) as error:
        text = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise UsageError(f"{path}: {text}" if path not in text else text) from None
    finally:
        if bar is not None:
            bar.close()


def list_side(path: str, session: Any) -> list[Any]:
    """The inputs of a side's SQL files, read."""
    try:
        return list(side_inputs(path, session.encoding, session.max_input_bytes, session.say))
    except InputFailed as error:
        raise UsageError(str(error)) from None


def read_side(path: str, inputs: list[Any], session: Any, plan: Any) -> list[tuple[str, Any]]:
    """Every statement of a side's SQL files: (where it is, its result)."""
    statements: list[tuple[str, Any]] = []
    for done in session.analysed(inputs, plan):
        key = "" if done.name == path else os.path.relpath(done.name, path)
        for index, result in enumerate(done.results, 1):
            if hasattr(result, "columns"):
                statements.append((f"{key}#{index}", result))
        session.finished += 1
    return statements
