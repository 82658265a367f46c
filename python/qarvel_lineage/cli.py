"""``sqlglot-main``: column lineage of SQL text, files, directories and logs.

    sqlglot-main                               the lineage of a built-in example
    sqlglot-main "select a from t" q.sql dir/  text, statement files, every *.sql under a directory
    cat q.sql | sqlglot-main                   standard input (or "-")
    sqlglot-main --format jsonl --jobs 0 logs/ every core, one JSON row per line

A file with several statements is a script: its statements are analysed in
order and each row names its statement.  Rows are written as each input is
done; Ctrl-C (exit status 130) and SIGTERM (143) stop cleanly and keep what
was written.
``--classic`` runs the QarvelSQLGlotMain analyser with its own formats.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import csv
import io
import json
import os
import select
import signal
import stat
import sys
import time
import traceback
from typing import Any, Iterator, TextIO

import sqlglot
from sqlglot.dialects.dialect import Dialect
from sqlglot.errors import ParseError

from ._inputs import (DEFAULT_MAX_INPUT_BYTES, EXAMPLE_SQL, InputFailed, InputTooLarge,
                      _check_dialect, _File, _read_file, _SignalWakeup, dialect_names,
                      iter_inputs)
from ._writers import (ROW_KEYS, WRITERS, _Dot, _DotGraph, _dot_id, _encoded, _Html,
                       _terminal_width, _Writer)

__all__ = ["main", "main_entry"]

FORMATS = ("table", "json", "jsonl", "csv", "dot", "openlineage", "html")
# Below this many inputs no progress bar is shown.
PROGRESS_MIN_INPUTS = 20
# The most nodes (keys, values and items, an alias counting each time it is
# used) a YAML schema may expand to.
SCHEMA_MAX_NODES = 2_000_000


def _version() -> str:
    try:
        from importlib.metadata import version
        ours = version("sqlglot-main")
    except Exception:
        ours = "unknown"
    return f"sqlglot-main {ours} (sqlglot {sqlglot.__version__})"


class _SchemaRefused(Exception):
    """A YAML schema whose aliases would make it too large, or endless."""


def _yaml_children(node: Any) -> list:
    value = node.value
    if isinstance(value, list):
        # A mapping's value is a list of (key, value) pairs, a sequence's a list of nodes.
        return [part for entry in value for part in (entry if isinstance(entry, tuple) else (entry,))]
    return []


def _check_expansion(root: Any, limit: int) -> None:
    """Counts the nodes ``root`` stands for once every alias is replaced by
    what it names, without replacing any: each node's count is worked out
    once, from its children's.  Stops at the first count past ``limit``, and
    at an alias inside the node it names (an endless document)."""
    sizes: dict[int, int] = {}
    on_path: set[int] = set()
    stack: list[tuple[Any, bool]] = [(root, False)]
    while stack:
        node, children_counted = stack.pop()
        key = id(node)
        if children_counted:
            on_path.discard(key)
            size = 1 + sum(sizes[id(child)] for child in _yaml_children(node))
            if size > limit:
                raise _SchemaRefused(f"expands to more than {limit} YAML nodes (an alias counts "
                                     "each time it is used); refused")
            sizes[key] = size
            continue
        if key in sizes:
            continue
        if key in on_path:
            raise _SchemaRefused("has an alias inside the node it names, which never ends; refused")
        on_path.add(key)
        stack.append((node, True))
        stack.extend((child, False) for child in _yaml_children(node) if id(child) not in sizes)


def _load_yaml(text: str, limit: int | None = None) -> Any:
    """A YAML document as plain data (safe tags only), refused before it is
    built when its aliases expand it past ``limit`` nodes (default:
    SCHEMA_MAX_NODES)."""
    import yaml

    limit = SCHEMA_MAX_NODES if limit is None else limit
    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)(text)
    try:
        node = loader.get_single_node()
        if node is None:
            return None
        _check_expansion(node, limit)
        return loader.construct_document(node)
    finally:
        loader.dispose()


def _load_schema(parser: argparse.ArgumentParser, path: str | None, max_nodes: int | None = None) -> Any:
    if path is None:
        return None
    try:
        with open(path, encoding="utf-8-sig") as handle:
            text = handle.read()
    except OSError as error:
        parser.error(f"cannot read schema file {path}: {error.strerror or error}")
    is_yaml = path.lower().endswith((".yaml", ".yml"))
    try:
        return _load_yaml(text, max_nodes) if is_yaml else json.loads(text)
    except _SchemaRefused as error:
        parser.error(f"schema file {path} {error}")
    except Exception as error:
        parser.error(f"schema file {path} is not valid {'YAML' if is_yaml else 'JSON'}: {error}")


def _is_database(name: str) -> bool:
    """A SQLAlchemy URL, or a DuckDB file (its header says so)."""
    if "://" in name:
        return True
    try:
        with open(name, "rb") as handle:
            return handle.read(12)[8:12] == b"DUCK"
    except OSError:
        return False


def _read_database(parser: argparse.ArgumentParser, name: str, dialect: str | None,
                   stderr: TextIO) -> Any:
    from ._catalog import CatalogError
    from ._rules import Schema

    try:
        return Schema.from_database(name, dialect=dialect,
                                    progress=getattr(stderr, "isatty", lambda: False)())
    except CatalogError as error:
        parser.error(str(error))  # the URL's password is not in it


def _check_encoding(parser: argparse.ArgumentParser, name: str) -> str:
    """The codec name to decode inputs with; UTF-8 drops a leading BOM."""
    try:
        found = codecs.lookup(name)
        "a".encode(found.name)  # a bytes-to-bytes codec (hex, zlib) stops here
    except LookupError as error:
        parser.error(f"unknown encoding {name!r}" if "unknown encoding" in str(error)
                     else f"{name!r} is not a text encoding")
    except UnicodeError:
        pass  # a text encoding that cannot write "a" (e.g. a 7-bit one) is still one
    return "utf-8-sig" if found.name == "utf-8" else found.name


def _size(text: str) -> int:
    """A byte count: a number, or a number followed by K, M or G (1024-based)."""
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    cleaned = text.strip().lower().removesuffix("b").removesuffix("i")
    factor = units.get(cleaned[-1:], 1)
    if factor > 1:
        cleaned = cleaned[:-1]
    try:
        value = int(cleaned) * factor
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (bytes, or a number with K, M or G)")
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (0 or more)")
    return value


# --- the work of one input (in a worker process when --jobs > 1) -------------------------

def _setup(dialect: str | None, schema: Any) -> Any:
    from ._batch import Analyzer

    return Analyzer(dialect, schema)


def _work(analyzer: Any, item: tuple) -> dict[str, Any]:
    """One input's output text (its rows too, for --format dot)."""
    name, text, is_argument, namespace, output_format, width = item
    try:
        if isinstance(text, _File):
            text = _read_file(text.path, text.encoding)
        if isinstance(text, BaseException):
            raise text
        done = _analyse_input(analyzer, name, text, is_argument, namespace,
                              openlineage=output_format == "openlineage")
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as error:  # one input's failure is reported, the batch goes on
        return _failed(item, error, text)
    return _encoded(done, output_format, width)


def _failed(item: tuple, error: BaseException, text: Any = None) -> dict[str, Any]:
    name, _, is_argument, _, output_format, width = item
    done = {"name": name, "rows": [], "datasets": [], "statements": 0,
            "errors": [_describe(error, name, is_argument, text)],
            "trace": "".join(traceback.format_exception(error))}
    return _encoded(done, output_format, width)


def _lost(item: tuple, error: BaseException) -> dict[str, Any]:
    """An input whose worker process died under it: an error line, and the
    run goes on (it ends with exit status 1)."""
    return _failed(item, error)


def _describe(error: BaseException, name: str, is_argument: bool, text: Any) -> str:
    if is_argument and isinstance(error, ParseError) and isinstance(text, str):
        return f"{name}: no such file, and not SQL: {text}"
    message = str(error).splitlines()[0] if str(error) else ""
    if isinstance(error, InputFailed):
        return f"{name}: {message}"
    if isinstance(error, UnicodeDecodeError):
        message += " (another encoding can be given with --encoding)"
    return f"{name}: {type(error).__name__}: {message}"


def _is_statement(text: str, rules: Any) -> bool:
    from ._parse import STATEMENT_KINDS, parse

    trees = parse(text, rules)
    return bool(trees) and all(isinstance(tree, STATEMENT_KINDS) for tree in trees)


def _analyse_input(analyzer: Any, name: str, text: str, is_argument: bool, namespace: str,
                   openlineage: bool = False) -> dict[str, Any]:
    from ._result import statement_rows
    from ._rules import split_statements
    from ._script import StatementError, analyze_script

    pieces = split_statements(text, analyzer.rules)
    if not pieces:
        raise ParseError("no statement in the input" if text.strip() else "the input is empty")
    if is_argument and len(pieces) == 1 and not _is_statement(pieces[0][0], analyzer.rules):
        # A bare word or a path parses as an expression, not as a statement.
        raise ParseError("not a statement")
    rows: list[dict[str, Any]] = []
    datasets: list[dict[str, Any]] = []
    errors: list[str] = []
    if len(pieces) == 1:
        results = [analyzer.analyze(pieces[0][0])]
    else:
        script = analyze_script(text, analyzer.rules.dialect, analyzer.schema,
                                progress=_script_progress)
        results = list(script.statements)
        if openlineage:
            datasets.extend(script.end_to_end.to_openlineage(namespace))
    for index, result in enumerate(results, 1):
        if isinstance(result, StatementError):
            errors.append(f"{name}: statement {result.index} (line {result.line}): "
                          f"{type(result.error).__name__}: {str(result.error).splitlines()[0]}")
            continue
        rows.extend(statement_rows(result, {"input": name, "statement": index}))
        if openlineage and (len(results) == 1 or result.target is None):
            dataset = str(result.target) if result.target is not None else (
                name if len(results) == 1 else f"{name}#{index}")
            datasets.append({"namespace": namespace, "name": dataset,
                             "facets": {"columnLineage": result.to_openlineage(namespace)}})
    return {"name": name, "rows": rows, "datasets": datasets, "statements": len(results),
            "errors": errors, "trace": ""}


# --- stopping: signals and output that cannot be written -------------------------------

class _Terminated(KeyboardInterrupt):
    """SIGTERM, which stops a run as Ctrl-C does."""


def _terminate(signum: int, frame: Any) -> None:
    raise _Terminated()


class _StopOnSigterm:
    """SIGTERM raises _Terminated while the command runs, where it would
    otherwise end the process at once; a handler already set (or SIG_IGN)
    is left alone."""

    def __enter__(self) -> "_StopOnSigterm":
        self.installed = False
        try:
            if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
                signal.signal(signal.SIGTERM, _terminate)
                self.installed = True
        except ValueError:  # not the main thread
            pass
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if self.installed:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)


class _WholeWrites:
    """Ctrl-C and SIGTERM held back while one input's text is written, then
    raised, so that what a stopped run leaves on standard output ends with
    a whole record (a whole JSON row, CSV line or array element).  With
    ``deliver=False`` a signal that came meanwhile is dropped (the run is
    stopping already)."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self, deliver: bool = True):
        self.deliver = deliver

    def __enter__(self) -> "_WholeWrites":
        self.pending: int | None = None
        self.previous: dict[int, Any] = {}
        # Only a Python handler is held back: SIG_IGN stays ignored, SIG_DFL
        # stays fatal, and a handler set outside Python could not be put back.
        for signum in self.SIGNALS:
            handler = signal.getsignal(signum)
            if not callable(handler):
                continue
            try:
                signal.signal(signum, self._hold)
            except ValueError:  # not the main thread: nothing to hold back
                break
            self.previous[signum] = handler
        return self

    def _hold(self, signum: int, frame: Any) -> None:
        if self.pending is None:
            self.pending = signum

    def __exit__(self, *exc_info: Any) -> None:
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)
        if self.deliver and self.pending is not None and exc_info[0] is None:
            self.previous[self.pending](self.pending, None)


class _OutputFailed(Exception):
    """Standard output refused a write (a full disk, a quota, an I/O error)."""


def _writing(call: Any, *args: Any) -> Any:
    try:
        return call(*args)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise _OutputFailed(error.strerror or str(error)) from error


# --- the command -----------------------------------------------------------------------

def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="sqlglot-main",
        description="Column lineage of SQL statements, scripts and query logs.",
        epilog="--classic runs the QarvelSQLGlotMain analyser with its own formats "
               "(table, print, json, csv, sql, dot) and options.")
    parser.add_argument("inputs", nargs="*",
                        help="SQL text, statement files, directories (every *.sql under them) or "
                             "- for standard input (default: standard input when it is piped, "
                             "else a built-in example)")
    parser.add_argument("--example", action="store_true",
                        help="analyse the built-in example (an INSERT ... SELECT)")
    parser.add_argument("--dialect", default=None, help="sqlglot dialect (any case), e.g. mysql")
    parser.add_argument("--schema", default=None, metavar="FILE|URL",
                        help="JSON or YAML schema: {table: {column: type}}, {db: {table: ...}} "
                             "or {catalog: {db: {table: ...}}}; or a live catalog: a DuckDB "
                             "file or a SQLAlchemy URL (postgresql://user@host/db), whose "
                             "dialect is the default")
    parser.add_argument("--dbt", default=None, metavar="PATH",
                        help="a compiled dbt project (its folder, target/ or manifest.json): "
                             "every model's columns traced to seeds and sources")
    parser.add_argument("--select", nargs="+", default=None, metavar="SELECTOR",
                        help="--dbt: the nodes to report, in dbt's syntax (model+, +model, "
                             "@model, tag:x, path:models/x, package:x, config.materialized:x, "
                             "resource_type:x; spaces unite, commas intersect)")
    parser.add_argument("--exclude", nargs="+", default=None, metavar="SELECTOR",
                        help="--dbt: the nodes not to report (taken after --select)")
    parser.add_argument("--format", choices=FORMATS, default="table")
    parser.add_argument("--direct-only", action="store_true",
                        help="--format dot: draw DIRECT lineage only")
    asked = parser.add_argument_group("questions of the lineage graph (see also: sqlglot-main diff)")
    asked.add_argument("--upstream", metavar="COLUMN", default=None,
                       help="every column COLUMN comes from, hop by hop (db.table.column, or "
                            "its last parts, in any case)")
    asked.add_argument("--downstream", metavar="COLUMN", default=None,
                       help="every column COLUMN feeds, hop by hop")
    asked.add_argument("--depth", type=int, default=None, metavar="N",
                       help="at most N hops (--upstream, --downstream)")
    asked.add_argument("--end-to-end", action="store_true",
                       help="each written table's columns traced through the whole script")
    asked.add_argument("--summary", action="store_true",
                       help="the tables only read, both written and read, and only written")
    asked.add_argument("--graph", metavar="FILE", default=None,
                       help="store the lineage graph in this SQLite file, or extend it; with no "
                            "inputs, the questions are asked of the stored graph")
    parser.add_argument("--encoding", default="utf-8", metavar="NAME",
                        help="encoding of SQL files and standard input (default: UTF-8, "
                             "a leading byte order mark dropped)")
    parser.add_argument("--max-input-bytes", type=_size, default=DEFAULT_MAX_INPUT_BYTES,
                        metavar="SIZE",
                        help="most bytes read from standard input or from a pipe or device "
                             "named as an input, e.g. 1G (default: 64M; 0: no limit)")
    parser.add_argument("--max-schema-nodes", type=int, default=SCHEMA_MAX_NODES, metavar="N",
                        help="most nodes a YAML schema may expand to, aliases counted each time "
                             f"they are used (default: {SCHEMA_MAX_NODES:,})")
    parser.add_argument("--jobs", type=int, default=1, metavar="N",
                        help="worker processes (0: every core)")
    parser.add_argument("--namespace", default="default",
                        help="OpenLineage namespace of the datasets (--format openlineage)")
    parser.add_argument("--traceback", action="store_true",
                        help="show the full traceback of a failing input")
    parser.add_argument("--list-dialects", action="store_true", help="list the dialects and exit")
    parser.add_argument("--version", action="version", version=_version())
    parser.add_argument("--classic", action="store_true",
                        help="use the QarvelSQLGlotMain analyser and its output shapes")
    return parser


# A single script's progress by statements, when the run is one input on a
# terminal (that input is analysed in this process).
_script_progress: Any = None


class _ScriptBar:
    """Statements done of a script's total, shown once it has taken a while."""

    def __init__(self, stream: TextIO):
        self.stream = stream
        self.bar = None
        self.began = time.monotonic()

    def __call__(self, done: int, total: int) -> None:
        if self.bar is None:
            if total < PROGRESS_MIN_INPUTS or time.monotonic() - self.began < 0.5:
                return
            from tqdm import tqdm

            self.bar = tqdm(total=total, file=self.stream, unit="statement", dynamic_ncols=True)
        self.bar.update(done - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class _Progress:
    """Inputs done out of how many, with the time left and the statements
    analysed, on a terminal; with its own way to write lines."""

    def __init__(self, stream: TextIO, enabled: bool, total: int | None = None):
        self.stream = stream
        self.bar = None
        self.statements = 0
        if enabled:
            from tqdm import tqdm

            self.bar = tqdm(total=total, file=stream, unit="input", dynamic_ncols=True)

    def update(self, statements: int) -> None:
        if self.bar is not None:
            self.statements += statements
            self.bar.set_postfix_str(f"{self.statements} statements", refresh=False)
            self.bar.update(1)

    def say(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=self.stream)
        else:
            print(line, file=self.stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
        if _script_progress is not None:
            _script_progress.close()


def main(argv: list[str] | None = None, stdin: TextIO | None = None,
         stdout: TextIO | None = None, stderr: TextIO | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["diff"]:
        from ._graph_cli import diff_main

        return diff_main(argv[1:], stdout if stdout is not None else sys.stdout,
                         stderr if stderr is not None else sys.stderr)
    if "--classic" in argv:
        import sqlglot_main_cli

        argv.remove("--classic")
        return sqlglot_main_cli.main(argv, stdin=stdin, stdout=stdout, stderr=stderr)
    stdin = stdin if stdin is not None else sys.stdin
    stdout = stdout if stdout is not None else sys.stdout
    stderr = stderr if stderr is not None else sys.stderr
    parser = _parser()
    options = parser.parse_args(argv)
    if options.list_dialects:
        try:
            _writing(lambda: (stdout.write("\n".join(dialect_names()) + "\n"), stdout.flush()))
        except _OutputFailed as error:
            return _output_failed(error, stderr)
        return 0
    dialect = _check_dialect(parser, options.dialect)
    encoding = _check_encoding(parser, options.encoding)
    if options.jobs < 0:
        parser.error("--jobs must be 0 (every core) or more")
    if options.schema is not None and _is_database(options.schema):
        schema = _read_database(parser, options.schema, dialect, stderr)
        dialect = dialect if dialect is not None else schema.rules.name
    else:
        schema = _load_schema(parser, options.schema, options.max_schema_nodes or None)
        if schema is not None:
            try:
                from ._rules import Schema

                schema = Schema(schema, dialect)
            except (TypeError, ValueError) as error:
                parser.error(f"schema file {options.schema}: {error}")
    project = None
    if options.dbt is not None:
        if options.inputs or options.example:
            parser.error("--dbt reads the project's models; give no other inputs")
        project = _read_project(parser, options.dbt, dialect, schema, options.select,
                                options.exclude)
    elif options.select is not None or options.exclude is not None:
        parser.error("--select and --exclude choose the nodes of a dbt project: give --dbt")
    from ._graph_cli import run, wants_graph

    if wants_graph(options):
        with _StopOnSigterm():
            return run(options, parser, dialect, schema, encoding, stdin, stdout, stderr, project)
    with _StopOnSigterm():
        return _run(options, dialect, schema, encoding, stdin, stdout, stderr, project)


def _read_project(parser: argparse.ArgumentParser, path: str, dialect: str | None,
                  schema: Any, chosen: Any = None, excluded: Any = None) -> Any:
    from .dbt import project_lineage

    try:
        return project_lineage(path, dialect, schema, select=chosen, exclude=excluded)
    except (OSError, ValueError) as error:
        parser.error(f"--dbt {path}: {error}")


def _dbt_outputs(project: Any, options: argparse.Namespace,
                 width: int) -> tuple[list[Any], Iterator[dict[str, Any]]]:
    """Each analysed model's rows (its columns traced end to end) and its
    OpenLineage job, as the writers take an input's."""
    from .dbt import ModelError

    from ._result import statement_rows

    rows: dict[str, list[dict[str, Any]]] = {}
    if options.format in ("dot", "html"):
        # A drawing shows each model's own hop, so the models chain up.
        for model, result in project.models.items():
            if not isinstance(result, ModelError) and result.target is not None:
                rows[model] = statement_rows(result, {"input": model, "statement": 1})
    else:
        for row in project.to_dicts():
            model = row.pop("model")
            rows.setdefault(model, []).append({"input": model, "statement": 1, **row})
    jobs = {job["job"]["name"]: job for job in project.to_openlineage(options.namespace)}
    names = [uid for uid, result in project.models.items()
             if isinstance(result, ModelError) or uid in rows or uid in jobs]

    def outputs() -> Iterator[dict[str, Any]]:
        for uid in names:
            result = project.models[uid]
            failed = isinstance(result, ModelError)
            done = {"name": uid, "rows": rows.get(uid, []),
                    "datasets": [jobs[uid]] if uid in jobs else [], "statements": 1,
                    "errors": [str(result)] if failed else [],
                    "trace": "".join(traceback.format_exception(result.error)) if failed else ""}
            yield _encoded(done, options.format, width)

    return names, outputs()


def _run(options: argparse.Namespace, dialect: str | None, schema: Any, encoding: str,
         stdin: TextIO, stdout: TextIO, stderr: TextIO, project: Any = None) -> int:
    from ._batch import jobs_count, ordered_map

    jobs = jobs_count(options.jobs)
    width = _terminal_width(stdout)
    writer = WRITERS[options.format](stdout)
    if isinstance(writer, _Dot):
        writer.direct_only = options.direct_only
    progress = _Progress(stderr, enabled=False)
    inputs: list[Any] | None = None
    started = False
    finished = 0
    failed = False

    def skipped(line: str) -> None:
        print(line, file=stderr, flush=True)

    try:
        if project is not None:
            inputs, results = _dbt_outputs(project, options, width)
        else:
            named = iter_inputs(options.inputs, stdin, encoding, options.max_input_bytes,
                                skipped) if not options.example \
                else iter([("example", EXAMPLE_SQL, False)])
            inputs = [(name, text, is_argument, options.namespace, options.format, width)
                      for name, text, is_argument in named]
            results = ordered_map(_work, inputs, jobs, _setup, (dialect, schema), lost=_lost)
        isatty = getattr(stderr, "isatty", lambda: False)()
        progress = _Progress(stderr, enabled=isatty and len(inputs) >= PROGRESS_MIN_INPUTS,
                             total=len(inputs))
        global _script_progress
        _script_progress = _ScriptBar(stderr) if isatty and len(inputs) == 1 else None
        _writing(writer.start)
        started = True
        for done in results:
            with _WholeWrites():
                _writing(writer.write, done)
                finished += 1
            progress.update(done["statements"])
            for line in done["errors"]:
                failed = True
                progress.say(line)
            if done["errors"] and options.traceback and done["trace"]:
                progress.say(done["trace"].rstrip())
        progress.close()
        _writing(writer.finish)
    except KeyboardInterrupt as stop:
        terminated = isinstance(stop, _Terminated)
        with _WholeWrites(deliver=False):  # a second signal does not cut this short
            progress.close()
            if started:
                try:
                    writer.finish()
                except Exception:
                    pass
            how = "terminated" if terminated else "interrupted"
            if inputs is None:
                print(f"{how} while reading the inputs", file=stderr, flush=True)
            else:
                print(f"{how}: {finished} of {len(inputs)} inputs done", file=stderr, flush=True)
        return 128 + int(signal.SIGTERM) if terminated else 130
    except BrokenPipeError:
        # The reader went away (sqlglot-main ... | head): stop quietly.
        progress.close()
        try:
            sys.stdout = io.TextIOWrapper(open(os.devnull, "wb"))
        except OSError:
            pass
        return 1 if failed else 0
    except _OutputFailed as error:
        progress.close()
        return _output_failed(error, stderr)
    return 1 if failed else 0


def _output_failed(error: _OutputFailed, stderr: TextIO) -> int:
    """One line for output that could not be written, and exit status 1."""
    try:
        print(f"sqlglot-main: cannot write the output: {error}", file=stderr, flush=True)
    except OSError:
        pass
    return 1


def main_entry() -> None:
    code = main()
    if "--classic" in sys.argv[1:] or not isinstance(code, int):
        sys.exit(code)
    # Everything is written: leave without tearing the interpreter down.
    # Freeing every object of a large run one by one took 0.06 s after one
    # statement and about 0.2 s after 2,000, time in which nothing is done.
    # Nothing of ours waits for the exit (no atexit handler, and workers are
    # joined before main returns); only what the streams still hold is
    # left, and a stream that cannot take it takes the usual way out.
    try:
        sys.stdout.flush()
        sys.stderr.flush()
    except BaseException:
        sys.exit(code)
    os._exit(code)


if __name__ == "__main__":
    main_entry()
