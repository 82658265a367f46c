"""The commands: what each asks for, checked before any work; the inputs
read and analysed by the session; the answer handed to the writer of the
format asked for."""

from __future__ import annotations

import argparse
import hashlib
import os
import sqlite3
import traceback
from typing import Any, Callable

from qarvel_lineage.cli.analysis import Plan, end_to_end_done
from qarvel_lineage.cli.errors import UsageError
from qarvel_lineage.cli.formats import terminal_width, writer_for
from qarvel_lineage.cli.readers import (
    EXAMPLE_SQL,
    InputFailed,
    check_project,
    check_writable_file,
    iter_inputs,
)
from qarvel_lineage.cli.session import WholeWrites, writing

__all__ = ["run"]

QUESTIONS = ("upstream", "downstream", "impact", "paths", "end_to_end", "summary")
# The questions a stored graph answers.
GRAPH_QUESTIONS = ("upstream", "downstream", "impact", "paths", "summary")
ROW_FORMATS = ("json", "jsonl", "csv")


def run(options: argparse.Namespace, make_session: Callable[[], Any]) -> int:
    if options.command == "diff":
        options.format = options.format or "table"
        return _diff(options, make_session)
    question, column = _question(options)
    kind = {"upstream": "edges", "downstream": "edges", "impact": "edges", "paths": "edges",
            "summary": "tables"}.get(question or "", "rows")
    stores_only = options.graph is not None and question is None
    if stores_only and (options.format is not None or options.direct_only):
        raise UsageError("--graph with no question only stores the graph: --format and "
                         "--direct-only need --upstream, --downstream, --impact, --paths, "
                         "--summary or --end-to-end")
    options.format = options.format or "table"
    _check_emit(options, kind)
    writer = None if stores_only else writer_for(options.format, kind, options.emit)
    _check(options, question, kind)
    options.namespace = options.namespace or "default"
    if options.graph is not None:
        try:
            check_writable_file(options.graph)
        except InputFailed as error:
            raise UsageError(f"--graph {options.graph}: {error}") from None
    session = make_session()
    if options.emit:
        options.sender = _sender(session)
    # A stored graph of a dbt project is refreshed: only what changed is analysed.
    options.refresh = options.dbt is not None and options.graph is not None \
        and question != "end_to_end"
    project = _project(options, session) if options.dbt is not None and not options.refresh \
        else None
    plan = _plan(options, session, writer, "end_to_end" if question == "end_to_end" else "rows")
    if question in GRAPH_QUESTIONS or options.graph is not None:
        return _graph_run(options, session, project, question, column, writer, plan)
    return _rows_run(options, session, project, writer, plan)


def _question(options: argparse.Namespace) -> tuple[str | None, Any]:
    """The question asked and its column (for paths: the two columns)."""
    if options.command in ("upstream", "downstream", "impact"):
        return options.command, options.column
    if options.command == "paths":
        return "paths", [options.source, options.target]
    if options.command in ("summary", "end-to-end"):
        return options.command.replace("-", "_"), None
    asked = [flag for flag in QUESTIONS if getattr(options, flag)]
    if len(asked) > 1:
        raise UsageError("ask one of --upstream, --downstream, --impact, --paths, --end-to-end "
                         "and --summary at a time")
    if not asked:
        return None, None
    return asked[0], getattr(options, asked[0]) if asked[0] in (
        "upstream", "downstream", "impact", "paths") else None


def _check(options: argparse.Namespace, question: str | None, kind: str) -> None:
    """Every option that cannot work with the others is a usage error."""
    walk = question in ("upstream", "downstream")
    if options.depth is not None and not walk:
        raise UsageError("--depth needs --upstream or --downstream")
    if options.depth is not None and options.depth < 1:
        raise UsageError("--depth must be 1 or more")
    if options.chains and not (walk and options.format == "table"):
        raise UsageError("--chains is for --upstream and --downstream in --format table")
    if question == "paths":
        if options.limit is not None and options.limit < 1:
            raise UsageError("--limit must be 1 or more for --paths (there can be very many)")
    elif options.limit is not None and not (
            (walk or question in ("impact", "summary")) and options.format == "table"):
        raise UsageError("--limit is for --upstream, --downstream, --impact and --summary in "
                         "--format table, and for --paths")
    if options.limit is not None and options.limit < 0:
        raise UsageError("--limit must be 0 (no limit) or more")
    if options.metadata and not (options.dbt is not None and question is None
                                 and options.graph is None and options.format in ROW_FORMATS):
        raise UsageError("--metadata is for the rows of --dbt in --format json, jsonl, csv")
    if options.expand_influences and not (kind == "rows" and options.format in ROW_FORMATS):
        raise UsageError("--expand-influences is for statement rows in --format "
                         + ", ".join(ROW_FORMATS))
    if options.namespace is not None and options.format != "openlineage":
        raise UsageError("--namespace is for --format openlineage")
    if options.dbt is None and (options.select is not None or options.exclude is not None):
        raise UsageError("--select and --exclude choose the nodes of a dbt project: give --dbt")
    if options.example and options.inputs:
        raise UsageError("--example is an input of its own; give it no other inputs")
    if options.dbt is not None and (options.inputs or options.example):
        raise UsageError("--dbt reads the project's models; give no other inputs")
    if options.dbt is not None and options.name is not None:
        raise UsageError("--name names one input; a dbt project's models are named by their "
                         "unique ids")
    stored = options.graph is not None and os.path.isfile(options.graph)
    if question == "end_to_end" and stored and not (options.inputs or options.example
                                                    or options.dbt):
        raise UsageError("--end-to-end traces the inputs through their scripts, which a stored "
                         "graph does not keep: give the inputs too")


def _check_emit(options: argparse.Namespace, kind: str) -> None:
    if not options.emit:
        return
    if options.format != "openlineage":
        raise UsageError("--emit sends OpenLineage events: give --format openlineage")
    if kind != "rows" or options.graph is not None:
        raise UsageError("--emit sends the lineage of the inputs: not with --graph, --upstream, "
                         "--downstream or --summary")


def _sender(session: Any) -> Any:
    """openlineage-python's client, as its configuration sets it up."""
    from qarvel_lineage.openlineage.send import SendError, Sender

    try:
        return Sender(lambda line: session.error(f"sqlglot-main: {line}"),
                      lambda line: session.say(f"sqlglot-main: {line}"), session.stdout)
    except SendError as error:
        raise UsageError(str(error)) from None


def _plan(options: argparse.Namespace, session: Any, writer: Any, mode: str) -> Plan:
    return Plan(mode, render=writer.render if writer else None,
                keep_rows=bool(writer and writer.keeps_rows),
                openlineage=options.format == "openlineage",
                namespace=options.namespace or "default", direct_only=options.direct_only,
                expand_influences=options.expand_influences or options.format not in ROW_FORMATS,
                metadata=getattr(options, "metadata", False),
                width=terminal_width(session.stdout))


class _ModelBar:
    """Models analysed out of how many, on a terminal (tqdm)."""

    def __init__(self, stream: Any):
        self.stream = stream
        self.bar: Any = None

    def __call__(self, done: int, total: int) -> None:
        if self.bar is None:
            from tqdm import tqdm

            self.bar = tqdm(total=total, file=self.stream, unit="model", dynamic_ncols=True)
        self.bar.update(done - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def _project(options: argparse.Namespace, session: Any) -> Any:
    from qarvel_lineage.dbt import project_lineage

    path = options.dbt
    bar = _ModelBar(session.stderr) if getattr(session.stderr, "isatty", lambda: False)() \
        else None
    try:
        check_project(path)
        project = project_lineage(path, session.dialect, session.schema,
                                  select=options.select, exclude=options.exclude,
                                  jobs=session.jobs, progress=bar)
    except (OSError, ValueError, InputFailed) as error:
        raise UsageError(f"--dbt {path}: {str(error).splitlines()[0] if str(error) else error}") \
            from None
    finally:
        if bar is not None:
            bar.close()
    for line in getattr(project, "warnings", ()):
        session.say(line)
    return project


def _refresh(options: argparse.Namespace, session: Any, graph: Any) -> None:
    """The stored graph brought up to date with the dbt project."""
    from qarvel_lineage.graph import GraphError

    path = options.dbt
    bar = _ModelBar(session.stderr) if getattr(session.stderr, "isatty", lambda: False)() \
        else None
    try:
        check_project(path)
        done = graph.refresh(path, session.dialect, session.schema, select=options.select,
                             exclude=options.exclude, progress=bar, waiting=lambda: session.say(
                                 f"--graph {options.graph}: another run is writing it; waiting"))
    except GraphError:
        raise
    except (OSError, ValueError, InputFailed) as error:
        raise UsageError(f"--dbt {path}: {str(error).splitlines()[0] if str(error) else error}") \
            from None
    finally:
        if bar is not None:
            bar.close()
    for line in done.project.warnings:
        session.say(line)
    for failed in done.project.errors:
        session.error(str(failed), "".join(traceback.format_exception(failed.error)))
    session.say(str(done))


def _inputs(options: argparse.Namespace, session: Any) -> list[tuple]:
    """The inputs, each (name, text or File or error, kind); ``--name``
    names the one input there must then be."""
    if options.example:
        listed = [("example", EXAMPLE_SQL, "example")]
    else:
        listed = list(iter_inputs(options.inputs, session.stdin, session.encoding,
                                  session.max_input_bytes, session.say))
    if options.name is None:
        return listed
    if len(listed) != 1:
        raise UsageError(f"--name names one input; {len(listed)} were given")
    return [(options.name, *listed[0][1:])]


def _stored_name(item: tuple, options: argparse.Namespace) -> str:
    """What an input is stored under in a graph file, so that another run
    finds it again and nothing else takes its name: ``--name``; a file by
    its path relative to the graph file's folder (``./models/x.sql`` is
    ``models/x.sql``); SQL text, standard input or a pipe such as
    ``<(zcat q.sql.gz)`` by its digest (``sql:`` and 12 hexadecimal
    digits of its SHA-256)."""
    name, text, kind = item
    if options.name is not None or options.graph is None or kind == "example":
        return name
    if kind == "path" and not name.startswith(("/dev/fd/", "/proc/")):
        anchor = os.path.dirname(os.path.abspath(options.graph))
        try:
            relative = os.path.relpath(os.path.abspath(name), anchor)
        except ValueError:  # another drive
            relative = os.path.abspath(name)
        return relative.replace(os.sep, "/")
    if isinstance(text, str):
        data = text.encode("utf-8", "surrogateescape")
        return "sql:" + hashlib.sha256(data).hexdigest()[:12]
    return name  # it could not be read: nothing of it is stored


def _models(project: Any, plan: Plan) -> list[tuple]:
    """Each analysed model as the workers take it (``analysis.model_work``):
    its error, its own hop (for a drawing, so the models chain up) or its
    columns traced end to end, with its OpenLineage job."""
    import traceback

    from qarvel_lineage.dbt import ModelError

    traced: dict[Any, list[Any]] = {}
    for column in project.end_to_end.columns:
        traced.setdefault(column.target, []).append(column)
    jobs = {job["job"]["name"]: job for job in project.to_openlineage(plan.namespace)} \
        if plan.openlineage else {}
    items: list[tuple] = []
    for uid, result in project.models.items():
        datasets = [jobs[uid]] if uid in jobs else []
        table = project.relations.get(uid)
        if isinstance(result, ModelError):
            items.append((uid, "error", (str(result),
                                         "".join(traceback.format_exception(result.error)))))
        elif plan.keep_rows and (result.target is not None or datasets):
            items.append((uid, "result", (result, datasets)))
        elif not plan.keep_rows and (table in traced or datasets):
            meta = {column.name: (column.description, column.data_type, list(column.tests))
                    for column in project.columns_of(uid)} if plan.metadata else None
            items.append((uid, "traced", (tuple(traced.get(table, ())), table, datasets, meta)))
    return items


def _rows_run(options: argparse.Namespace, session: Any, project: Any, writer_class: Any,
              plan: Plan) -> int:
    writer = writer_class(session.stdout, options)
    if project is not None and hasattr(writer, "describe"):
        writer.describe(project)
    started = [False]

    def body() -> None:
        if project is None:
            results: Any = session.analysed(_inputs(options, session), plan)
        elif plan.mode == "end_to_end":
            results = [end_to_end_done(options.dbt, project.end_to_end, plan)]
            session.total = 1
        else:
            from qarvel_lineage.batch.analyzer import ordered_map
            from qarvel_lineage.cli.analysis import model_lost, model_setup, model_work

            items = _models(project, plan)
            session.total = len(items)
            results = ordered_map(model_work, items, session.jobs, model_setup, (plan,),
                                  lost=model_lost)
        writing(writer.start)
        started[0] = True
        for done in results:
            with WholeWrites():
                writing(writer.write, done)
                session.finished += 1
            if project is not None:
                for line in done.errors:
                    session.error(line, done.trace)
        writing(writer.finish)

    return session.run(body, lambda: started[0], writer.finish)


def _graph_failed(path: str, error: BaseException) -> str:
    """One line for a graph file that cannot be used (damaged, locked, not
    a lineage graph), naming it once."""
    from qarvel_lineage.graph.store import failure

    if isinstance(error, sqlite3.Error):
        error = failure(path, error)
    text = (str(error).splitlines() or [""])[0] or type(error).__name__
    return f"sqlglot-main: --graph {path}: {text.removeprefix(path + ': ')}"


def _graph_run(options: argparse.Namespace, session: Any, project: Any, question: str | None,
               column: str | None, writer_class: Any, plan: Plan) -> int:
    from qarvel_lineage.engine.script import ScriptResult
    from qarvel_lineage.graph import Graph, GraphError

    stored = options.graph is not None and os.path.isfile(options.graph)
    try:
        # A stored graph is written in place, each addition in a transaction
        # of its own, so runs that add to one file at once all land.
        graph = Graph.open(options.graph, create=True) if options.graph is not None else Graph()
    except (GraphError, OSError) as error:  # damaged, locked, or not one of ours
        session.say(_graph_failed(options.graph, error))
        return 1
    traced: list[tuple[str, Any]] = []
    named = options.inputs or options.example
    # With no inputs named, standard input is read when it is piped (into a
    # stored graph too); piped empty, the stored graph is only asked.
    piped = not named and stored and session.stdin is not None and not session.stdin.isatty()

    def body() -> None:
        try:
            if options.refresh:
                _refresh(options, session, graph)
            elif project is not None:
                graph.add(project)
                for failed in project.errors:
                    session.error(str(failed), "".join(traceback.format_exception(failed.error)))
                if question == "end_to_end":
                    traced.append((options.dbt, project.end_to_end))
            elif named or not stored or piped:
                inputs = _inputs(options, session)
                if piped:
                    inputs = [item for item in inputs
                              if not (isinstance(item[1], str) and not item[1].strip())]
                names = [_stored_name(item, options) for item in inputs]
                # Each input's name by its place (zip would leave the last step of
                # the analysis, which ends the progress bar, undone).
                for index, done in enumerate(session.analysed(inputs, Plan("graph"))):
                    name = names[index]
                    if done.results:
                        graph.add(ScriptResult(tuple(done.results), done.end_to_end), name=name)
                        if question == "end_to_end":
                            traced.append((done.name, done.end_to_end))
                    session.finished += 1
            _answer(options, session, graph, question, column, writer_class, plan, traced)
        except (GraphError, sqlite3.Error) as error:  # replaced, kept too long, damaged
            session.error(_graph_failed(options.graph or "graph", error))
        finally:
            graph.close()

    return session.run(body)


def _answer(options: argparse.Namespace, session: Any, graph: Any, question: str | None,
            column: str | None, writer_class: Any, plan: Plan, traced: list) -> None:
    from qarvel_lineage.answers.kinds import EdgesAnswer, tables_answer, walk

    out = session.stdout
    if question is None:
        session.say(f"{options.graph}: {len(graph):,} edges")
        return
    writer = writer_class(out, options)
    if question == "end_to_end":
        writing(writer.start)
        for name, end in traced:
            with WholeWrites():
                writing(writer.write, end_to_end_done(name, end, plan))
        writing(writer.finish)
        return
    if question == "summary":
        writing(writer.answer, tables_answer(graph, options.direct_only))
        return
    assert column is not None
    if question in ("impact", "paths"):
        answer = _reached(options, graph, question, column)
        writing(writer.answer, answer)
        if question == "paths" and not answer.complete and options.format != "table":
            from qarvel_lineage.answers.text import paths_cap

            session.say(paths_cap(answer))
        return
    try:
        edges = walk(graph, question, column, options.depth, options.direct_only)
        start = graph.column(column)
    except (KeyError, ValueError) as error:
        raise UsageError(f"--{question} {column}: {error.args[0] if error.args else error}") \
            from None
    places = graph.places({start, *(e.source for e in edges), *(e.target for e in edges)})
    writing(writer.answer, EdgesAnswer(question, start, edges, places, options.depth,
                                       options.direct_only))


def _reached(options: argparse.Namespace, graph: Any, question: str, column: Any) -> Any:
    """The answer to --impact or --paths."""
    from qarvel_lineage.answers.kinds import ImpactAnswer, PathsAnswer
    from qarvel_lineage.answers.text import PATHS_SEARCHED, PATHS_SHOWN

    shown = f"--{question} {column if question == 'impact' else ' '.join(column)}"
    try:
        if question == "impact":
            start = graph.column(column)
            reached = graph.impact(start, direct_only=options.direct_only)
            edges = [edge for path in reached.values() for edge in path]
        else:
            limit = options.limit or (PATHS_SHOWN if options.format == "table" else PATHS_SEARCHED)
            start, end = graph.column(column[0]), graph.column(column[1])
            # One more than shown: whether there are more is then known.
            found = graph.paths(start, end, limit + 1, direct_only=options.direct_only)
            edges = [edge for path in found for edge in path]
    except (KeyError, ValueError) as error:
        raise UsageError(f"{shown}: {error.args[0] if error.args else error}") from None
    places = graph.places({start, *(e.source for e in edges), *(e.target for e in edges)})
    if question == "impact":
        return ImpactAnswer(start, reached, places, options.direct_only)
    return PathsAnswer(start, end, found[:limit], places, limit, len(found) <= limit,
                       options.direct_only)


def _diff(options: argparse.Namespace, make_session: Callable[[], Any]) -> int:
    from qarvel_lineage.cli.diff import check_diff, changes

    fail_on = check_diff(options)
    writer_class = writer_for(options.format, "changes")
    session = make_session()
    writer = writer_class(session.stdout, options)
    found: list[Any] = []

    def body() -> None:
        answer = changes(options, session, _ModelBar)
        found.append(answer)
        writing(writer.answer, answer)

    status = session.run(body)
    if status == 0 and found:
        answer = found[0]
        if (fail_on == "changes" and answer.rows) or (fail_on == "breaking" and answer.breaking):
            return 1
    return status
