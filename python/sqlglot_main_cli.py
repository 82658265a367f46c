"""Command line for the lineage analyser: ``sqlglot-main``.

    sqlglot-main                          lineage of a built-in example statement
    sqlglot-main "select a from t"        SQL text as an argument
    sqlglot-main q1.sql q2.sql            statement files
    echo "select a from t" | sqlglot-main -

Output formats (``--format``): ``table`` (default) and ``print`` are the
analyser's own text renderings; ``json`` and ``csv`` give the column records
with the input's name on every row; ``sql`` the normalised statement; ``dot``
a Graphviz graph from source columns to output columns.
"""

import argparse
import contextlib
import csv
import io
import json
import os
import sys
import traceback

import sqlglot_main

EXAMPLE_SQL = """\
select o.id as order_id, c.name as customer, t.total
from sales.orders o
join crm.customers c on c.id = o.customer_id
join (
    select order_id, sum(amount) as total
    from sales.order_items
    group by order_id
) t on t.order_id = o.id
"""

FORMATS = ("table", "print", "json", "csv", "sql", "dot")
RECORD_KEYS = ("sort", "column", "alias", "column_table", "type", "db", "table", "table_alias")

# Batches at least this long show a progress bar (on a terminal only).
PROGRESS_MIN_INPUTS = 20


class InputError(Exception):
    """An input that cannot be read."""


def _looks_like_path(text):
    return (not any(ch.isspace() for ch in text)
            and (text.endswith(".sql") or os.sep in text))


def read_inputs(arguments, stdin):
    """(name, SQL text or exception) for each input, in order."""
    if not arguments:
        yield "example", EXAMPLE_SQL
        return
    for position, argument in enumerate(arguments, 1):
        if argument == "-":
            yield "stdin", stdin.read()
        elif os.path.isfile(argument):
            try:
                with open(argument, encoding="utf-8") as handle:
                    yield argument, handle.read()
            except (OSError, UnicodeDecodeError) as error:
                yield argument, error
        elif _looks_like_path(argument):
            yield argument, InputError(f"no such statement file: {argument}")
        else:
            yield f"arg{position}", argument


def _progress(items, total, stream):
    if total < PROGRESS_MIN_INPUTS or not stream.isatty():
        return items
    from tqdm import tqdm
    return tqdm(items, total=total, file=stream, unit="statement")


def _dot_id(text):
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'


def render_dot(results):
    """A digraph: source db.table.column nodes, grouped by table, to output columns."""
    lines = ["digraph lineage {", "  rankdir=LR;", "  node [shape=box];"]
    clusters = {}
    edges = []
    for name, records in results:
        for record in records:
            source_table = ".".join(str(part) for part in (record.get("db"), record.get("table"))
                                    if part)
            source = ".".join(part for part in (source_table, str(record.get("column"))) if part)
            output = f"{name}:{record.get('alias')}" if len(results) > 1 else str(record.get("alias"))
            clusters.setdefault(source_table, []).append(source)
            edges.append((source, output))
    for index, (table, sources) in enumerate(clusters.items()):
        label = table or "(no table)"
        lines.append(f"  subgraph cluster_{index} {{")
        lines.append(f"    label={_dot_id(label)};")
        for source in dict.fromkeys(sources):
            lines.append(f"    {_dot_id(source)};")
        lines.append("  }")
    for source, output in dict.fromkeys(edges):
        lines.append(f"  {_dot_id(source)} -> {_dot_id(output)};")
    lines.append("}")
    return "\n".join(lines)


def main(argv=None, stdin=None, stdout=None, stderr=None):
    stdin = stdin or sys.stdin
    stdout = stdout or sys.stdout
    stderr = stderr or sys.stderr
    parser = argparse.ArgumentParser(
        prog="sqlglot-main",
        description="Column lineage of SQL statements.")
    parser.add_argument("inputs", nargs="*",
                        help="SQL text, statement files, or - for standard input "
                             "(default: a built-in example)")
    parser.add_argument("--dialect", default=None, help="sqlglot dialect, e.g. mysql, hive")
    parser.add_argument("--format", choices=FORMATS, default="table")
    parser.add_argument("--traceback", action="store_true",
                        help="show the full traceback of a failing statement")
    options = parser.parse_args(argv)

    analyser = sqlglot_main.QarvelSQLGlotMain()
    callback = {"table": "table", "print": "print", "sql": "sql"}.get(options.format, "normal")
    inputs = list(read_inputs(options.inputs, stdin))
    results = []
    failed = False
    for name, text in _progress(inputs, len(inputs), stderr):
        try:
            if isinstance(text, BaseException):
                raise text
            # The analyser prints the parse tree of an unsupported select item;
            # keep that off the report.
            with contextlib.redirect_stdout(stderr):
                result = analyser._parse(text, options.dialect, callback)
            results.append((name, result))
        except (KeyboardInterrupt, SystemExit, GeneratorExit):
            raise
        except BaseException as error:  # reported per input, the batch goes on
            # Not only Exception: a parser extension may raise a BaseException
            # of its own (a Rust panic, for one) for a single bad input.
            failed = True
            if options.traceback:
                traceback.print_exception(error, file=stderr)
            message = str(error).splitlines()[0] if str(error) else ""
            print(f"{name}: {type(error).__name__}: {message}", file=stderr)

    several = len(inputs) > 1
    if options.format in ("table", "print", "sql"):
        for name, result in results:
            if several:
                print(f"-- {name}", file=stdout)
            print(result, file=stdout)
    elif options.format == "json":
        rows = [{"input": name, **record} for name, records in results for record in records]
        json.dump(rows, stdout, ensure_ascii=False, indent=2)
        stdout.write("\n")
    elif options.format == "csv":
        buffer = io.StringIO()
        writer = csv.DictWriter(buffer, fieldnames=("input",) + RECORD_KEYS, lineterminator="\n",
                                extrasaction="ignore")
        writer.writeheader()
        for name, records in results:
            for record in records:
                writer.writerow({"input": name, **record})
        stdout.write(buffer.getvalue())
    else:
        print(render_dot(results), file=stdout)
    return 1 if failed else 0


def main_entry():
    sys.exit(main())


if __name__ == "__main__":
    main_entry()
