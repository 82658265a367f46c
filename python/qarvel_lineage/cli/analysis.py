"""The work of one input, in a worker process when --jobs > 1: its text
split into statements once, each statement parsed once and analysed, and
what the answer needs of it (rows rendered in the output's format, or the
results themselves to build a graph from)."""

from __future__ import annotations

import traceback
from dataclasses import dataclass, field
from typing import Any

from sqlglot.errors import ParseError

from qarvel_lineage.cli.readers import File, InputFailed, read_file

__all__ = ["Plan", "InputDone", "setup", "work", "lost", "end_to_end_done", "finished",
           "META_KEYS"]

# What --metadata adds to each row of a dbt model's column.
META_KEYS = ("description", "data_type", "tests")


@dataclass(frozen=True, slots=True)
class Plan:
    """What each input is analysed for: ``mode`` "rows" (each statement's
    rows), "end_to_end" (the rows of each table the input writes, traced
    through it) or "graph" (the results, to add to a graph)."""

    mode: str
    render: Any = None             # (InputDone, Plan) -> bytes, for "rows" and "end_to_end"
    keep_rows: bool = False        # the writer draws every input at the end (dot, html)
    openlineage: bool = False
    namespace: str = "default"
    direct_only: bool = False
    expand_influences: bool = True
    metadata: bool = False         # a dbt model's rows add their column's description, type, tests
    width: int = 120


@dataclass(slots=True)
class InputDone:
    """One input, analysed."""

    name: str
    statements: int = 0
    errors: list[str] = field(default_factory=list)
    trace: str = ""
    text: bytes = b""
    rows: list[dict[str, Any]] = field(default_factory=list)
    datasets: list[dict[str, Any]] = field(default_factory=list)
    reads: list[str] = field(default_factory=list)     # openlineage: the tables the input reads
    results: list[Any] = field(default_factory=list)   # mode "graph": LineageResult or StatementError
    end_to_end: Any = None


class _Context:
    def __init__(self, dialect: Any, schema: Any, plan: Plan):
        from qarvel_lineage.batch.analyzer import Analyzer

        self.analyzer = Analyzer(dialect, schema)
        self.plan = plan


def setup(dialect: Any, schema: Any, plan: Plan) -> _Context:
    return _Context(dialect, schema, plan)


# A single script's progress by statements (set when the run is one input on
# a terminal, which is analysed in this process).
script_progress: Any = None


def work(context: _Context, item: tuple) -> InputDone:
    name, text, kind = item
    is_argument = kind == "text"
    try:
        if isinstance(text, File):
            text = read_file(text.path, text.encoding)
        if isinstance(text, BaseException):
            raise text
        done = _analyse(context, name, text, is_argument)
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as error:  # one input's failure is reported, the run goes on
        return _failed(context.plan, name, error, text if is_argument else None)
    return finished(context.plan, done)


def lost(item: tuple, error: BaseException) -> InputDone:
    """An input whose worker process died under it: an error line, and the
    run goes on (it ends with exit status 1)."""
    return _failed(None, item[0], error)


def _failed(plan: Plan | None, name: str, error: BaseException, argument: Any = None) -> InputDone:
    done = InputDone(name, errors=[_describe(error, name, argument)],
                     trace="".join(traceback.format_exception(error)))
    return finished(plan, done) if plan is not None else done


def finished(plan: Plan, done: InputDone) -> InputDone:
    if plan.mode == "graph":
        return done
    if plan.direct_only:
        done.rows = [row for row in done.rows if row["type"] != "INDIRECT"]
        done.datasets = [_direct_dataset(d) for d in done.datasets]
    # Rendered where the input was analysed, in parallel: the parent copies bytes out.
    done.text = plan.render(done, plan)
    if not plan.keep_rows:
        done.rows, done.datasets = [], []
    return done


def _direct_dataset(dataset: dict[str, Any]) -> dict[str, Any]:
    """An OpenLineage dataset (or job) with its INDIRECT lineage left out."""
    if "outputs" in dataset:
        return {**dataset, "outputs": [_direct_dataset(d) for d in dataset["outputs"]]}
    facet = (dataset.get("facets") or {}).get("columnLineage")
    if facet is None:
        return dataset
    fields = {}
    for name, value in facet["fields"].items():
        inputs = []
        for item in value["inputFields"]:
            steps = [t for t in item["transformations"] if t["type"] != "INDIRECT"]
            if steps:
                inputs.append({**item, "transformations": steps})
        fields[name] = {**value, "inputFields": inputs}
    return {**dataset, "facets": {**dataset["facets"],
                                  "columnLineage": {**facet, "fields": fields, "dataset": []}}}


def _describe(error: BaseException, name: str, argument: Any) -> str:
    if isinstance(argument, str) and isinstance(error, ParseError):
        return f"{name}: no such file, and not SQL: {argument}"
    message = str(error).splitlines()[0] if str(error) else ""
    if isinstance(error, InputFailed):
        return f"{name}: {message}"
    if isinstance(error, UnicodeDecodeError):
        message += " (another encoding can be given with --encoding)"
    return f"{name}: {type(error).__name__}: {message}"


def _analyse(context: _Context, name: str, text: str, is_argument: bool) -> InputDone:
    from qarvel_lineage.engine.result import statement_rows
    from qarvel_lineage.engine.rules import split_statements

    plan, analyzer = context.plan, context.analyzer
    pieces = split_statements(text, analyzer.rules)
    if not pieces:
        raise ParseError("no statement in the input" if text.strip() else "the input is empty")
    done = InputDone(name, statements=len(pieces))
    if len(pieces) == 1 and plan.mode == "rows":
        # One statement: analysed through the template cache, parsed once
        # (an argument that is no statement, a bare word, fails here).
        results: list[Any] = [analyzer.analyze(pieces[0][0])]
        end = None
    else:
        results, end = _script(pieces, analyzer, is_argument and len(pieces) == 1)
    for result in results:
        if not hasattr(result, "columns"):
            first = (str(result.error).splitlines() or [""])[0]
            done.errors.append(f"{name}: statement {result.index} (line {result.line}): "
                               f"{type(result.error).__name__}: {first}")
            done.trace += "".join(traceback.format_exception(result.error))
    if plan.mode == "graph":
        done.results, done.end_to_end = results, end
        return done
    if plan.mode == "end_to_end":
        _end_to_end_rows(done, end, plan)
        return done
    if plan.openlineage and end is not None:
        done.datasets.extend(end.to_openlineage(plan.namespace))
    if plan.openlineage:
        done.reads = list(dict.fromkeys(str(table) for result in results
                                        for table in getattr(result, "tables", ())))
    for index, result in enumerate(results, 1):
        if not hasattr(result, "columns"):
            continue
        rows = statement_rows(result, {"input": name, "statement": index},
                              shared=not plan.expand_influences)
        if plan.keep_rows:  # a drawing shows the statement's text
            rows = [{**row, "sql": result.sql} for row in rows]
        done.rows.extend(rows)
        if plan.openlineage and (len(results) == 1 or result.target is None):
            dataset = str(result.target) if result.target is not None else (
                name if len(results) == 1 else f"{name}#{index}")
            done.datasets.append({"namespace": plan.namespace, "name": dataset, "facets": {
                "columnLineage": result.to_openlineage(plan.namespace)}})
    return done


def _script(pieces: list[tuple[str, int]], analyzer: Any, strict: bool) -> tuple[list[Any], Any]:
    """Each statement of a script analysed in order against the tables the
    statements before it wrote (a procedure's body as statements of the
    script), and the script's end-to-end lineage.  With ``strict`` (a
    single statement given as an argument) a statement that does not parse
    fails the input."""
    from qarvel_lineage.engine.script import analyze_pieces

    script = analyze_pieces(pieces, analyzer.rules, analyzer.schema, script_progress, strict)
    return list(script.statements), script.end_to_end


def end_to_end_done(name: str, end: Any, plan: Plan) -> InputDone:
    """The rows of each table an analysed script writes, traced through
    it, ready for the writer (in the parent, for a graph run)."""
    done = InputDone(name, statements=len(end.tables))
    _end_to_end_rows(done, end, plan)
    return finished(plan, done)


def _end_to_end_rows(done: InputDone, end: Any, plan: Plan) -> None:
    from qarvel_lineage.engine.result import column_rows

    by_table: dict[Any, list[Any]] = {}
    for column in end.columns:
        by_table.setdefault(column.target, []).append(column)
    for index, table in enumerate(end.tables, 1):
        done.rows.extend(column_rows(by_table.get(table, ()), table,
                                     {"input": done.name, "statement": index},
                                     shared=not plan.expand_influences))
    if plan.openlineage:
        done.datasets.extend(end.to_openlineage(plan.namespace))


# --- a dbt model's rows, on the workers -------------------------------------------------------

def model_setup(plan: Plan) -> Plan:
    return plan


def model_work(plan: Plan, item: tuple) -> InputDone:
    """One analysed model as an input: ``item`` is (unique id, "error",
    (message, trace)), (unique id, "result", (LineageResult, datasets)) for
    its own hop, or (unique id, "traced", (columns, table, datasets,
    metadata)) for its columns traced end to end, where ``metadata`` (with
    --metadata) gives each column's (description, data type, tests)."""
    from qarvel_lineage.engine.result import column_rows, statement_rows

    uid, kind, data = item
    if kind == "error":
        return finished(plan, InputDone(uid, statements=1, errors=[data[0]], trace=data[1]))
    head = {"input": uid, "statement": 1}
    if kind == "result":
        result, datasets = data
        rows = statement_rows(result, head) if result.target is not None else []
        if plan.keep_rows:  # a drawing shows the model's SQL
            rows = [{**row, "sql": result.sql} for row in rows]
    else:
        columns, table, datasets, meta = data
        rows = column_rows(columns, table, head, shared=not plan.expand_influences)
        if meta is not None:
            rows = [{**row, **dict(zip(META_KEYS, meta.get(row["column"], ("", "", []))))}
                    for row in rows]
    return finished(plan, InputDone(uid, statements=1, rows=rows, datasets=datasets))


def model_lost(item: tuple, error: BaseException) -> InputDone:
    return _failed(None, item[0], error)
