"""``sqlglot-main``: column lineage of SQL text, files, directories and logs.

    sqlglot-main                               the lineage of a built-in example
    sqlglot-main "select a from t" q.sql dir/  text, statement files, every *.sql under a directory
    cat q.sql | sqlglot-main                   standard input (or "-")
    sqlglot-main --format jsonl --jobs 0 logs/ every core, one JSON row per line

A file with several statements is a script: its statements are analysed in
order and each row names its statement.  Rows are written as each input is
done; Ctrl-C stops cleanly (exit status 130) and keeps what was written.
``--classic`` runs the QarvelSQLGlotMain analyser with its own formats.
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
import signal
import sys
import traceback
from typing import Any, Iterator, TextIO

import sqlglot
from sqlglot.dialects.dialect import Dialect
from sqlglot.errors import ParseError

from ._result import row_keys

__all__ = ["main", "main_entry"]

EXAMPLE_SQL = """\
insert into mart.order_totals (order_id, customer, total)
select o.id, c.name, sum(i.amount)
from sales.orders o
join crm.customers c on c.id = o.customer_id
join sales.order_items i on i.order_id = o.id
where o.status = 'shipped'
group by o.id, c.name
"""

FORMATS = ("table", "json", "jsonl", "csv", "dot", "openlineage")
ROW_KEYS = ("input", "statement") + row_keys(True)
# Below this many inputs no progress bar is shown.
PROGRESS_MIN_INPUTS = 20


def _version() -> str:
    try:
        from importlib.metadata import version
        ours = version("sqlglot-main")
    except Exception:
        ours = "unknown"
    return f"sqlglot-main {ours} (sqlglot {sqlglot.__version__})"


def dialect_names() -> list[str]:
    from sqlglot.dialects.dialect import Dialects

    return sorted(d.value for d in Dialects if d.value)


def _check_dialect(parser: argparse.ArgumentParser, name: str | None) -> str | None:
    if name is None:
        return None
    lowered = name.lower()
    try:
        Dialect.get_or_raise(lowered)
    except Exception:
        parser.error(f"unknown dialect {name!r}; known dialects: {', '.join(dialect_names())}")
    return lowered


def _load_schema(parser: argparse.ArgumentParser, path: str | None) -> Any:
    if path is None:
        return None
    try:
        with open(path, encoding="utf-8-sig") as handle:
            text = handle.read()
    except OSError as error:
        parser.error(f"cannot read schema file {path}: {error.strerror or error}")
    try:
        if path.lower().endswith((".yaml", ".yml")):
            import yaml

            return yaml.safe_load(text)
        return json.loads(text)
    except Exception as error:
        parser.error(f"schema file {path} is not valid {'YAML' if path.lower().endswith(('.yaml', '.yml')) else 'JSON'}: {error}")


# --- inputs --------------------------------------------------------------------------

def _read_file(path: str) -> str | Exception:
    try:
        with open(path, encoding="utf-8-sig") as handle:
            return handle.read()
    except (OSError, UnicodeDecodeError) as error:
        return error


class _File:
    """A statement file, read by whoever analyses it (a worker, with --jobs)."""

    __slots__ = ("path",)

    def __init__(self, path: str):
        self.path = path


def iter_inputs(arguments: list[str], stdin: TextIO) -> Iterator[tuple[str, Any, bool]]:
    """(name, text, a _File or the error reading it, whether the text is an
    argument itself) for each input, in order.  A directory gives every
    *.sql file under it, sorted by path."""
    if not arguments:
        if stdin is not None and not stdin.isatty():
            yield "stdin", stdin.read(), False
        else:
            yield "example", EXAMPLE_SQL, False
        return
    for position, argument in enumerate(arguments, 1):
        if argument == "-":
            yield "stdin", stdin.read(), False
        elif os.path.isdir(argument):
            found = []
            for folder, dirs, files in os.walk(argument):
                dirs.sort()
                found.extend(os.path.join(folder, f) for f in files if f.lower().endswith(".sql"))
            for path in sorted(found):
                yield path, _File(path), False
        elif os.path.isfile(argument):
            yield argument, _File(argument), False
        else:
            yield f"arg{position}", argument, True


# --- the work of one input (in a worker process when --jobs > 1) -------------------------

class InputFailed(Exception):
    """An input that gave no rows: its text could not be read or analysed."""


def _setup(dialect: str | None, schema: Any) -> Any:
    from ._batch import Analyzer

    return Analyzer(dialect, schema)


def _work(analyzer: Any, item: tuple) -> dict[str, Any]:
    """One input's output text (its rows too, for --format dot)."""
    name, text, is_argument, namespace, output_format, width = item
    try:
        if isinstance(text, _File):
            text = _read_file(text.path)
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


def _encoded(done: dict[str, Any], output_format: str, width: int) -> dict[str, Any]:
    # Encoded where the input was analysed, in parallel, so the parent only copies bytes out.
    done["text"] = WRITERS[output_format].render(done, width).encode("utf-8")
    if output_format != "dot":
        # Only text goes back to the parent.
        done["rows"], done["datasets"] = [], []
    return done


def _describe(error: BaseException, name: str, is_argument: bool, text: Any) -> str:
    if is_argument and isinstance(error, ParseError) and isinstance(text, str):
        return f"{name}: no such file, and not SQL: {text}"
    message = str(error).splitlines()[0] if str(error) else ""
    return f"{name}: {type(error).__name__}: {message}"


def _is_statement(text: str, rules: Any) -> bool:
    from sqlglot import exp

    from . import parse

    kinds = tuple(getattr(exp, name) for name in (
        "Query", "DDL", "DML", "Command", "Use", "Set", "Describe", "Pragma", "Transaction",
        "Commit", "Rollback", "Grant", "Revoke", "Show", "Analyze", "Copy", "Cache", "Uncache",
        "Refresh", "Alter", "Drop", "Merge", "Comment", "Truncate", "TruncateTable", "Export",
        "Declare", "Values") if isinstance(getattr(exp, name, None), type))
    trees = parse(text, rules)
    return bool(trees) and all(isinstance(tree, kinds) for tree in trees)


def _analyse_input(analyzer: Any, name: str, text: str, is_argument: bool, namespace: str,
                   openlineage: bool = False) -> dict[str, Any]:
    from ._result import flat_rows
    from ._script import StatementError, analyze_script, split_statements

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
        script = analyze_script(text, analyzer.rules.dialect, analyzer.schema)
        results = list(script.statements)
        if openlineage:
            datasets.extend(script.end_to_end.to_openlineage(namespace))
    empty_target = {"target_catalog": None, "target_db": None, "target_table": None}
    for index, result in enumerate(results, 1):
        if isinstance(result, StatementError):
            errors.append(f"{name}: statement {result.index} (line {result.line}): "
                          f"{type(result.error).__name__}: {str(result.error).splitlines()[0]}")
            continue
        head = {"input": name, "statement": index}
        for row in flat_rows(result.columns, result.target):
            if result.target is None:
                rows.append({**head, "position": row["position"], "column": row["column"],
                             **empty_target, **{k: row[k] for k in _SOURCE_KEYS}})
            else:
                rows.append({**head, **row})
        if openlineage and (len(results) == 1 or result.target is None):
            dataset = str(result.target) if result.target is not None else (
                name if len(results) == 1 else f"{name}#{index}")
            datasets.append({"namespace": namespace, "name": dataset,
                             "facets": {"columnLineage": result.to_openlineage(namespace)}})
    return {"name": name, "rows": rows, "datasets": datasets, "statements": len(results),
            "errors": errors, "trace": ""}


_SOURCE_KEYS = ("source_catalog", "source_db", "source_table", "source_column", "type",
                "subtype", "reason")


# --- writers -------------------------------------------------------------------------

class _WholeWrites:
    """Ctrl-C held back while one input's text is written, then raised, so
    that what an interrupted run leaves on standard output ends with a whole
    record (a whole JSON row, CSV line or array element)."""

    def __enter__(self) -> "_WholeWrites":
        self.pending = False
        # Only a Python handler is held back: SIG_IGN stays ignored, SIG_DFL
        # stays fatal, and a handler set outside Python could not be put back.
        self.previous = signal.getsignal(signal.SIGINT)
        if not callable(self.previous):
            self.previous = None
        else:
            try:
                signal.signal(signal.SIGINT, self._hold)
            except ValueError:  # not the main thread: nothing to hold back
                self.previous = None
        return self

    def _hold(self, signum: int, frame: Any) -> None:
        self.pending = True

    def __exit__(self, *exc_info: Any) -> None:
        if self.previous is None:
            return
        signal.signal(signal.SIGINT, self.previous)
        if self.pending and exc_info[0] is None:
            self.previous(signal.SIGINT, None)


class _Writer:
    """Output in two steps: ``render`` turns one input's rows into text (in
    the worker that analysed it), ``write`` puts that text out (in order, in
    the parent)."""

    def __init__(self, out: TextIO):
        self.out = out
        # Bytes go straight to the binary layer below a UTF-8 text stream.
        raw = getattr(out, "buffer", None)
        encoding = (getattr(out, "encoding", "") or "").lower().replace("-", "")
        self.raw = raw if raw is not None and encoding == "utf8" else None

    def start(self) -> None:
        pass

    @staticmethod
    def render(done: dict[str, Any], width: int) -> str:
        raise NotImplementedError

    def write(self, done: dict[str, Any]) -> None:
        if done["text"]:
            self.put(done["text"])
            self.out.flush()

    def put(self, data: bytes) -> None:
        """The text a worker rendered and encoded, written as it is."""
        if self.raw is not None:
            self.out.flush()
            self.raw.write(data)
        else:
            self.out.write(data.decode("utf-8"))

    def finish(self) -> None:
        pass


_encode = json.JSONEncoder(ensure_ascii=False).encode


class _JsonLines(_Writer):
    @staticmethod
    def render(done, width):
        return "".join([_encode(row) + "\n" for row in done["rows"]])


class _JsonArray(_Writer):
    """One JSON array, written as a stream: "[" first, "]" last."""

    def start(self):
        self.first = True
        self.out.write("[")
        self.out.flush()

    @staticmethod
    def render(done, width):
        return ",\n".join([_encode(row) for row in done["rows"]])

    def write(self, done):
        if done["text"]:
            # Separator and rows in one write: an interruption never leaves a dangling ",".
            self.put((b"\n" if self.first else b",\n") + done["text"])
            self.first = False
            self.out.flush()

    def finish(self):
        self.out.write("\n]\n" if not self.first else "]\n")
        self.out.flush()


class _Csv(_Writer):
    def start(self):
        csv.DictWriter(self.out, fieldnames=ROW_KEYS, lineterminator="\n").writeheader()
        self.out.flush()

    @staticmethod
    def render(done, width):
        buffer = io.StringIO()
        writer = csv.DictWriter(buffer, fieldnames=ROW_KEYS, lineterminator="\n")
        for row in done["rows"]:
            writer.writerow(row)
        return buffer.getvalue()


class _OpenLineage(_Writer):
    """One OpenLineage output dataset (with its columnLineage facet) per line."""

    @staticmethod
    def render(done, width):
        return "".join(json.dumps(dataset, ensure_ascii=False) + "\n" for dataset in done["datasets"])


def _source_text(row: dict[str, Any]) -> str:
    if row["type"] == "UNRESOLVED":
        return ".".join(p for p in (row["source_table"], row["source_column"]) if p) or "?"
    parts = (row["source_catalog"], row["source_db"], row["source_table"], row["source_column"])
    return ".".join(p for p in parts if p)


class _Table(_Writer):
    """A block per input: one line per output column with its direct,
    indirect and unresolved sources; influences shared by every column of a
    statement are listed once under it; long texts wrap, so wide results
    stay readable in a terminal."""

    @staticmethod
    def render(done, width):
        from prettytable import PrettyTable

        out = io.StringIO()
        if not done["rows"]:
            return ""
        out.write(f"-- {done['name']}\n")
        statements: dict[int, dict[int, list[dict[str, Any]]]] = {}
        for row in done["rows"]:
            statements.setdefault(row["statement"], {}).setdefault(row["position"], []).append(row)
        for statement, columns in statements.items():
            if len(statements) > 1:
                out.write(f"statement {statement}\n")
            indirect_sets = [{_source_text(r) + f" ({r['subtype']})" for r in rows
                              if r["type"] == "INDIRECT"} for rows in columns.values()]
            common = set.intersection(*indirect_sets) if indirect_sets else set()
            first = next(iter(columns.values()))[0]
            target = ".".join(p for p in (first["target_catalog"], first["target_db"],
                                          first["target_table"]) if p)
            table = PrettyTable()
            table.field_names = ["pos", "column", "direct", "indirect", "unresolved"]
            table.align = "l"
            budget = max(16, (width - 24) // 3)
            table.max_width = {"column": max(10, budget // 2), "direct": budget,
                               "indirect": budget, "unresolved": budget}
            for position, rows in columns.items():
                direct = [_source_text(r) + f" ({r['subtype']})" for r in rows if r["type"] == "DIRECT"
                          and r["subtype"] != "CONSTANT"]
                if any(r["subtype"] == "CONSTANT" for r in rows):
                    direct = ["(constant)"]
                indirect = [t for t in dict.fromkeys(_source_text(r) + f" ({r['subtype']})"
                                                     for r in rows if r["type"] == "INDIRECT")
                            if t not in common]
                unresolved = [f"{_source_text(r)}: {r['reason']}" for r in rows
                              if r["type"] == "UNRESOLVED"]
                table.add_row([position, rows[0]["column"], "\n".join(direct),
                               "\n".join(indirect), "\n".join(unresolved)])
            if target:
                out.write(f"writes {target}\n")
            out.write(table.get_string() + "\n")
            if common:
                out.write("every column also depends on: " + ", ".join(sorted(common)) + "\n")
        return out.getvalue()


def _terminal_width(out: TextIO) -> int:
    try:
        return os.get_terminal_size(out.fileno()).columns
    except (OSError, ValueError, AttributeError):
        return 120


def _dot_id(text: str) -> str:
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'


class _Dot(_Writer):
    """A Graphviz digraph of every input: output columns keyed by position,
    sources grouped by table, INDIRECT edges dashed."""

    def start(self):
        self.done: list[dict[str, Any]] = []

    @staticmethod
    def render(done, width):
        return ""

    def write(self, done):
        self.done.append(done)

    def finish(self):
        lines = ["digraph lineage {", "  rankdir=LR;", "  node [shape=box, fontname=Helvetica];",
                 "  edge [fontname=Helvetica, fontsize=9];"]
        tables: dict[str, dict[str, str]] = {}
        outputs: dict[str, dict[str, str]] = {}
        edges: dict[tuple[str, str, str], None] = {}
        for done in self.done:
            for row in done["rows"]:
                group = f"{row['input']}#{row['statement']}"
                if row["target_table"]:
                    group = ".".join(p for p in (row["target_catalog"], row["target_db"],
                                                 row["target_table"]) if p)
                out_id = f"out:{row['input']}:{row['statement']}:{row['position']}"
                outputs.setdefault(group, {})[out_id] = f"{row['position']}. {row['column']}"
                if row["subtype"] == "CONSTANT" or row["type"] == "UNRESOLVED":
                    continue
                table = ".".join(p for p in (row["source_catalog"], row["source_db"],
                                             row["source_table"]) if p)
                src_id = f"src:{table}.{row['source_column']}"
                tables.setdefault(table, {})[src_id] = row["source_column"]
                style = "dashed" if row["type"] == "INDIRECT" else "solid"
                edges[(src_id, out_id, f"{style}|{row['subtype']}")] = None
        def clusters(prefix: str, groups: dict[str, dict[str, str]], style: str) -> None:
            for index, (group, nodes) in enumerate(groups.items()):
                lines.append(f"  subgraph cluster_{prefix}_{index} {{")
                lines.append(f"    label={_dot_id(group)}; {style};")
                for node, label in nodes.items():
                    lines.append(f"    {_dot_id(node)} [label={_dot_id(label)}];")
                lines.append("  }")

        clusters("src", tables, "style=rounded; color=gray50")
        clusters("out", outputs, "style=filled; color=lightyellow")
        for source, output, kind in edges:
            style, subtype = kind.split("|", 1)
            lines.append(f"  {_dot_id(source)} -> {_dot_id(output)} "
                         f"[style={style}, label={_dot_id(subtype.lower())}];")
        lines.append("}")
        self.out.write("\n".join(lines) + "\n")
        self.out.flush()


WRITERS = {"table": _Table, "json": _JsonArray, "jsonl": _JsonLines, "csv": _Csv, "dot": _Dot,
           "openlineage": _OpenLineage}


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
    parser.add_argument("--schema", default=None, metavar="FILE",
                        help="JSON or YAML schema: {table: {column: type}}, {db: {table: ...}} "
                             "or {catalog: {db: {table: ...}}}")
    parser.add_argument("--format", choices=FORMATS, default="table")
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


class _Progress:
    """A statement counter on a terminal, with its own way to write lines."""

    def __init__(self, stream: TextIO, enabled: bool):
        self.stream = stream
        self.bar = None
        if enabled:
            from tqdm import tqdm

            self.bar = tqdm(total=None, file=stream, unit="statement", dynamic_ncols=True)

    def update(self, statements: int) -> None:
        if self.bar is not None:
            self.bar.update(statements)

    def say(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=self.stream)
        else:
            print(line, file=self.stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def main(argv: list[str] | None = None, stdin: TextIO | None = None,
         stdout: TextIO | None = None, stderr: TextIO | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
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
        stdout.write("\n".join(dialect_names()) + "\n")
        return 0
    dialect = _check_dialect(parser, options.dialect)
    schema = _load_schema(parser, options.schema)
    if options.jobs < 0:
        parser.error("--jobs must be 0 (every core) or more")
    if schema is not None:
        try:
            from ._rules import Schema

            schema = Schema(schema, dialect)
        except (TypeError, ValueError) as error:
            parser.error(f"schema file {options.schema}: {error}")
    from ._batch import jobs_count, ordered_map

    jobs = jobs_count(options.jobs)
    named = iter_inputs(options.inputs, stdin) if not options.example else \
        iter([("example", EXAMPLE_SQL, False)])
    width = _terminal_width(stdout)
    inputs = [(name, text, is_argument, options.namespace, options.format, width)
              for name, text, is_argument in named]
    writer = WRITERS[options.format](stdout)
    isatty = getattr(stderr, "isatty", lambda: False)()
    progress = _Progress(stderr, enabled=isatty and len(inputs) >= PROGRESS_MIN_INPUTS)
    finished = 0
    failed = False
    writer.start()
    try:
        for done in ordered_map(_work, inputs, jobs, _setup, (dialect, schema), lost=_lost):
            with _WholeWrites():
                writer.write(done)
                finished += 1
            progress.update(done["statements"])
            for line in done["errors"]:
                failed = True
                progress.say(line)
            if done["errors"] and options.traceback and done["trace"]:
                progress.say(done["trace"].rstrip())
    except KeyboardInterrupt:
        progress.close()
        try:
            writer.finish()
        except Exception:
            pass
        print(f"interrupted: {finished} of {len(inputs)} inputs done", file=stderr, flush=True)
        return 130
    except BrokenPipeError:
        # The reader went away (sqlglot-main ... | head): stop quietly.
        progress.close()
        try:
            sys.stdout = io.TextIOWrapper(open(os.devnull, "wb"))
        except OSError:
            pass
        return 1 if failed else 0
    progress.close()
    writer.finish()
    return 1 if failed else 0


def main_entry() -> None:
    sys.exit(main())


if __name__ == "__main__":
    main_entry()
