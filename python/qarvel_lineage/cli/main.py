"""``sqlglot-main``: column lineage of SQL text, files, directories, logs and
dbt projects.

    sqlglot-main                               the lineage of a built-in example
    sqlglot-main "select a from t" q.sql dir/  text, statement files, every *.sql under a directory
    cat q.sql | sqlglot-main                   standard input (or "-")
    sqlglot-main --format jsonl --jobs 0 logs/ every core, one JSON row per line
    sqlglot-main etl.sql --upstream mart.t.c   where a column comes from (or: upstream mart.t.c etl.sql)
    sqlglot-main diff old/ new/                what a change did to lineage

The commands: ``analyze`` (the default: the command line above), ``diff``,
``upstream``, ``downstream``, ``summary`` and ``end-to-end``.  Every input
goes through one pipeline: one reader of every path, a session (dialect,
schema, workers, progress, signals), an answer, and the writer of the
format asked for.  ``--classic`` runs the QarvelSQLGlotMain analyser with
its own formats.
"""

from __future__ import annotations

import argparse
import codecs
import errno
import os
import sys
from typing import Any, TextIO

import sqlglot

from qarvel_lineage.cli.errors import UsageError
from qarvel_lineage.cli.formats import FORMATS
from qarvel_lineage.cli.readers import DEFAULT_MAX_INPUT_BYTES
from qarvel_lineage.cli.schemas import SCHEMA_MAX_NODES
from qarvel_lineage.cli import serving
from qarvel_lineage.engine.escapes import one_line

__all__ = ["main", "main_entry"]

COMMANDS = ("analyze", "diff", "upstream", "downstream", "impact", "paths", "summary",
            "end-to-end", *serving.COMMANDS)


def _version() -> str:
    try:
        from importlib.metadata import version
        ours = version("sqlglot-main")
    except Exception:
        ours = "unknown"
    return f"sqlglot-main {ours} (sqlglot {sqlglot.__version__})"


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


# --- the parser ------------------------------------------------------------------------------

def _shared_options() -> argparse.ArgumentParser:
    """The options every command takes: how to read, analyse and write."""
    shared = argparse.ArgumentParser(add_help=False)
    shared.add_argument("--dialect", default=None, help="sqlglot dialect (any case), e.g. mysql")
    shared.add_argument("--schema", default=None, metavar="FILE|URL",
                        help="JSON or YAML schema: {table: {column: type}}, {db: {table: ...}} "
                             "or {catalog: {db: {table: ...}}}; or a live catalog: a DuckDB "
                             "file or a SQLAlchemy URL (postgresql://user@host/db), whose "
                             "dialect is the default")
    shared.add_argument("--max-schema-nodes", type=int, default=SCHEMA_MAX_NODES, metavar="N",
                        help="most nodes a YAML schema may expand to, aliases counted each time "
                             f"they are used (default: {SCHEMA_MAX_NODES:,})")
    shared.add_argument("--format", choices=tuple(FORMATS), default=None,
                        help="how to write the answer (default: table)")
    shared.add_argument("--encoding", default="utf-8", metavar="NAME",
                        help="encoding of every file read (SQL, schema) and of standard input "
                             "(default: UTF-8, a leading byte order mark dropped)")
    shared.add_argument("--max-input-bytes", type=_size, default=DEFAULT_MAX_INPUT_BYTES,
                        metavar="SIZE",
                        help="most bytes read from standard input or from a pipe or device "
                             "named as an input or a schema, e.g. 1G (default: 64M; 0: no limit)")
    shared.add_argument("--jobs", type=int, default=1, metavar="N",
                        help="worker processes (0: every core)")
    shared.add_argument("--traceback", action="store_true",
                        help="show the full traceback of a failing input")
    return shared


def _add_analysis_options(parser: argparse.ArgumentParser, question: str | None) -> None:
    if question in ("upstream", "downstream", "impact"):
        parser.add_argument("column", help="db.table.column, or its last parts, in any case")
    if question == "paths":
        parser.add_argument("source", help="the column the paths start from")
        parser.add_argument("target", help="the column they reach")
    parser.add_argument("inputs", nargs="*",
                        help="SQL text, statement files, directories (every *.sql under them) or "
                             "- for standard input (default: standard input when it is piped, "
                             "else a built-in example)")
    parser.add_argument("--example", action="store_true",
                        help="analyse the built-in example (an INSERT ... SELECT)")
    parser.add_argument("--name", default=None, metavar="NAME",
                        help="the name of the one input, in its rows, its messages and a "
                             "stored graph, where adding under a name again replaces what it "
                             "made (default: its path; in a --graph file, SQL text and "
                             "standard input are named by their digest, sql:0123456789ab)")
    parser.add_argument("--dbt", default=None, metavar="PATH",
                        help="a compiled dbt project (its folder, target/ or manifest.json): "
                             "every model's columns traced to seeds and sources")
    parser.add_argument("--select", nargs="+", default=None, metavar="SELECTOR",
                        help="--dbt: the nodes to report, in dbt's syntax (model+, +model, "
                             "@model, tag:x, path:models/x, package:x, config.materialized:x, "
                             "resource_type:x; spaces unite, commas intersect)")
    parser.add_argument("--exclude", nargs="+", default=None, metavar="SELECTOR",
                        help="--dbt: the nodes not to report (taken after --select)")
    parser.add_argument("--direct-only", action="store_true",
                        help="DIRECT lineage only: rows hold DIRECT sources, walks follow "
                             "DIRECT edges, drawings leave INDIRECT edges out")
    parser.add_argument("--namespace", default=None,
                        help="OpenLineage namespace of the datasets (--format openlineage; "
                             "default: default)")
    parser.add_argument("--emit", action="store_true",
                        help="--format openlineage: send the events (one per input or dbt model) "
                             "through openlineage-python's transport, as OPENLINEAGE_URL or "
                             "openlineage.yml set it up, rather than print them")
    parser.add_argument("--metadata", action="store_true",
                        help="--dbt in --format json, jsonl, csv: each row also has its "
                             "column's description, data_type and tests, as the project "
                             "declares them")
    parser.add_argument("--expand-influences", action="store_true",
                        help="json, jsonl, csv: an influence every column of a statement shares "
                             "on each column's rows, rather than once in a row whose column is *")
    asked = parser.add_argument_group("questions of the lineage graph")
    if question is None:
        asked.add_argument("--upstream", metavar="COLUMN", default=None,
                           help="the columns COLUMN comes from (db.table.column, or its last "
                                "parts, in any case)")
        asked.add_argument("--downstream", metavar="COLUMN", default=None,
                           help="the columns COLUMN feeds")
        asked.add_argument("--impact", metavar="COLUMN", default=None,
                           help="every column below COLUMN, each with a shortest path to it")
        asked.add_argument("--paths", metavar=("SOURCE", "TARGET"), nargs=2, default=None,
                           help="the paths from SOURCE down to TARGET, shortest first")
        asked.add_argument("--end-to-end", action="store_true",
                           help="each written table's columns traced through the whole script")
        asked.add_argument("--summary", action="store_true",
                           help="the tables only read, both written and read, and only written")
    asked.add_argument("--depth", type=int, default=None, metavar="N",
                       help="at most N hops (--upstream, --downstream)")
    asked.add_argument("--chains", action="store_true",
                       help="--format table: each chain of a walk, not only where it ends")
    asked.add_argument("--limit", type=int, default=None, metavar="N",
                       help="--format table: most columns per group (default 25), or chains "
                            "(default 10), of a walk shown, columns of --impact, or tables "
                            "per role (default 25) of --summary; 0: every one.  --paths, any "
                            "format: most paths looked for (default 10 in the table, else 1000)")
    asked.add_argument("--graph", metavar="FILE", default=None,
                       help="store the lineage graph in this SQLite file, or extend it; with no "
                            "inputs, the questions are asked of the stored graph")


def _parser() -> argparse.ArgumentParser:
    shared = _shared_options()
    parser = argparse.ArgumentParser(
        prog="sqlglot-main",
        description="Column lineage of SQL statements, scripts, query logs and dbt projects. "
                    "With no command, analyze is meant: sqlglot-main q.sql --upstream X.",
        epilog="--classic runs the QarvelSQLGlotMain analyser with its own formats "
               "(table, print, json, csv, sql, dot) and options.")
    parser.add_argument("--version", action="version", version=_version())
    commands = parser.add_subparsers(dest="command", metavar="COMMAND")
    analyze = commands.add_parser("analyze", parents=[shared], prog="sqlglot-main",
                                  help="the lineage of the inputs (the default command)")
    _add_analysis_options(analyze, None)
    analyze.set_defaults(parser=analyze)
    analyze.add_argument("--list-dialects", action="store_true", help="list the dialects and exit")
    analyze.add_argument("--version", action="version", version=_version())
    analyze.add_argument("--classic", action="store_true",
                         help="use the QarvelSQLGlotMain analyser and its output shapes")
    for name, text in (("upstream", "the columns COLUMN comes from, hop by hop"),
                       ("downstream", "the columns COLUMN feeds, hop by hop"),
                       ("impact", "every column below COLUMN, each by a shortest path"),
                       ("paths", "the paths from SOURCE down to TARGET"),
                       ("summary", "the tables only read, both written and read, and only written"),
                       ("end-to-end", "each written table's columns traced through its script")):
        sub = commands.add_parser(name, parents=[shared], prog=f"sqlglot-main {name}", help=text)
        _add_analysis_options(sub, name)
        sub.set_defaults(parser=sub)
    diff = commands.add_parser(
        "diff", parents=[shared], prog="sqlglot-main diff",
        help="what a change does: changed columns and the downstream columns they affect",
        description="Two versions of SQL files or of a dbt project compared column by column "
                    "(added, removed, renamed, type, expression and rows changed, and the "
                    "lineage edges added, removed and changed), then the blast radius: every "
                    "downstream column, model and exposure each change can affect, with its "
                    "severity (breaking, rows, values), why and how many hops away.")
    _add_diff_options(diff)
    diff.set_defaults(parser=diff)
    serving.add_parsers(commands)
    return parser


def _add_diff_options(diff: argparse.ArgumentParser) -> None:
    diff.add_argument("paths", nargs="*", metavar="OLD NEW",
                      help="the version before and the version after: files, scripts or folders "
                           "of *.sql, or dbt projects (a folder, its target/ or manifest.json); "
                           "with --state, NEW alone (default: the current folder)")
    diff.add_argument("--state", metavar="PATH", default=None,
                      help="the old version's dbt artefacts, as dbt's --state takes them (the "
                           "main branch's target/)")
    diff.add_argument("--select", nargs="+", default=None, metavar="SELECTOR",
                      help="dbt: report only these nodes, in dbt's syntax, state:modified, "
                           "state:new, state:old and state:unmodified included "
                           "(state:modified+: the changes and everything below them)")
    diff.add_argument("--exclude", nargs="+", default=None, metavar="SELECTOR",
                      help="dbt: the nodes not to report (taken after --select)")
    diff.add_argument("--fail-on", choices=("breaking", "changes", "never"), default=None,
                      help="exit status 1 when something breaks (breaking), when anything "
                           "changed (changes), or never (the default)")
    diff.add_argument("--fail-on-change", action="store_true",
                      help="the same as --fail-on changes")
    diff.add_argument("--limit", type=int, default=None, metavar="N",
                      help="--format table and markdown: most rows of each list or table "
                           "(default 25); 0: every one")


def _arguments(argv: list[str]) -> list[str]:
    """The command line with its command: analyze unless one is named."""
    if argv[:1] and (argv[0] in COMMANDS or argv[0] in ("-h", "--help")):
        return argv
    return ["analyze", *argv]


def dialect_names() -> list[str]:
    from sqlglot.dialects.dialect import Dialects

    return sorted(d.value for d in Dialects if d.value)


def _check_dialect(name: str | None) -> str | None:
    if name is None:
        return None
    from sqlglot.dialects.dialect import Dialect

    lowered = name.lower()
    try:
        Dialect.get_or_raise(lowered)
    except Exception:
        raise UsageError(f"unknown dialect {name!r}; known dialects: "
                         f"{', '.join(dialect_names())}") from None
    return lowered


def _check_encoding(name: str) -> str:
    """The codec name to decode inputs with; UTF-8 drops a leading BOM."""
    try:
        found = codecs.lookup(name)
        "a".encode(found.name)  # a bytes-to-bytes codec (hex, zlib) stops here
    except LookupError as error:
        raise UsageError(f"unknown encoding {name!r}" if "unknown encoding" in str(error)
                         else f"{name!r} is not a text encoding") from None
    except UnicodeError:
        pass  # a text encoding that cannot write "a" (e.g. a 7-bit one) is still one
    return "utf-8-sig" if found.name == "utf-8" else found.name


def _session(options: argparse.Namespace, stdin: TextIO, stdout: TextIO, stderr: TextIO) -> Any:
    from qarvel_lineage.batch.analyzer import jobs_count
    from qarvel_lineage.cli.schemas import load_schema
    from qarvel_lineage.cli.session import Session

    dialect = _check_dialect(options.dialect)
    encoding = _check_encoding(options.encoding)
    if options.jobs < 0:
        raise UsageError("--jobs must be 0 (every core) or more")
    schema, dialect = load_schema(options.schema, dialect, encoding, options.max_input_bytes,
                                  options.max_schema_nodes or None,
                                  getattr(stderr, "isatty", lambda: False)())
    return Session(dialect, schema, jobs_count(options.jobs), encoding, options.max_input_bytes,
                   options.traceback, stdin, stdout, stderr)


class _Closed:
    """Standard output when the command was started with it closed: every
    write fails, as a full disk does (one line, exit status 1)."""

    def write(self, text: str) -> int:
        raise OSError(errno.EBADF, "standard output is closed")

    def flush(self) -> None:
        pass

    def isatty(self) -> bool:
        return False


class _Discarded(_Closed):
    """Standard error when it is closed: messages go nowhere (never into
    the output)."""

    def write(self, text: str) -> int:
        return len(text)


def main(argv: list[str] | None = None, stdin: TextIO | None = None,
         stdout: TextIO | None = None, stderr: TextIO | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if "--classic" in argv and argv[:1] != ["diff"]:
        import sqlglot_main_cli

        argv.remove("--classic")
        return sqlglot_main_cli.main(argv, stdin=stdin, stdout=stdout, stderr=stderr)
    # A stream the process was started without is None: standard input then
    # fails as an input ("-"), output fails at its first write, messages are dropped.
    stdin = stdin if stdin is not None else sys.stdin
    stdout = stdout if stdout is not None else sys.stdout or _Closed()  # type: ignore[assignment]
    stderr = stderr if stderr is not None else sys.stderr or _Discarded()  # type: ignore[assignment]
    if sys.stderr is None and stderr is not None:
        sys.stderr = stderr  # argparse writes its usage errors there
    parser = _parser()
    argv = _arguments(argv)
    options = parser.parse_args(argv)
    command: argparse.ArgumentParser = options.parser
    from qarvel_lineage.cli.session import StopOnSigterm, Terminated

    try:
        if options.command in serving.COMMANDS:   # a server: it handles its own signals
            return serving.run(options, stdout, stderr)
        if getattr(options, "list_dialects", False):
            return _list_dialects(stdout, stderr)
        from qarvel_lineage.cli.commands import run

        with StopOnSigterm():
            return run(options, lambda: _session(options, stdin, stdout, stderr))
    except UsageError as error:
        command.error(one_line(str(error)))
    except KeyboardInterrupt as stop:
        # A signal before the run itself began (a schema or a dbt project being read).
        how, status = ("terminated", 143) if isinstance(stop, Terminated) else ("interrupted", 130)
        print(f"{how} while reading the inputs", file=stderr, flush=True)
        return status


def _list_dialects(stdout: TextIO, stderr: TextIO) -> int:
    from qarvel_lineage.cli.session import OutputFailed, output_failed, writing

    try:
        writing(lambda: (stdout.write("\n".join(dialect_names()) + "\n"), stdout.flush()))
    except OutputFailed as error:
        return output_failed(error, stderr)
    return 0


def _hold_closed_descriptors() -> None:
    """A standard descriptor (0, 1, 2) the process was started without gets
    /dev/null, so that no file the command opens lands on it (where a stray
    write to the stream would go into that file)."""
    for fd in (0, 1, 2):
        try:
            os.fstat(fd)
        except OSError:
            try:
                os.open(os.devnull, os.O_RDWR)   # the lowest free descriptor: this one
            except OSError:
                return


def main_entry() -> None:
    _hold_closed_descriptors()
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
        for stream in (sys.stdout, sys.stderr):
            if stream is not None:
                stream.flush()
    except BaseException:
        sys.exit(code)
    os._exit(code)

