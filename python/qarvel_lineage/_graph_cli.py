"""The command line's questions of the lineage graph, and ``diff``.

    sqlglot-main etl.sql --upstream mart.totals.total     a <- b <- c chains
    sqlglot-main logs/ --downstream raw.orders.amount --depth 2
    sqlglot-main etl.sql --end-to-end                     columns traced through the script
    sqlglot-main etl.sql --summary                        source, intermediate, target tables
    sqlglot-main logs/ --graph lineage.db                 store (or extend) the graph
    sqlglot-main --graph lineage.db --downstream raw.orders.amount
    sqlglot-main diff old/ new/ --fail-on-change          what a change did to lineage
"""

from __future__ import annotations

import argparse
import csv
import io
import json
import os
from typing import Any, Iterable, TextIO

from .graph import Edge, Graph

__all__ = ["wants_graph", "run", "diff_main"]

EDGE_KEYS = ("depth", "source", "target", "type", "subtype", "statement")
DIFF_KEYS = ("change", "source", "target", "type", "old_subtype", "new_subtype")


def wants_graph(options: argparse.Namespace) -> bool:
    return bool(options.upstream or options.downstream or options.end_to_end
                or options.summary or options.graph)


# --- building the graph from the inputs ------------------------------------------------

def _texts(options: argparse.Namespace, stdin: TextIO, encoding: str,
           stderr: TextIO) -> Iterable[tuple[str, Any]]:
    from ._inputs import EXAMPLE_SQL, _File, _read_file, iter_inputs

    if options.example:
        yield "example", EXAMPLE_SQL
        return
    for name, text, _ in iter_inputs(options.inputs, stdin, encoding, options.max_input_bytes,
                                     lambda line: print(line, file=stderr, flush=True)):
        yield name, _read_file(text.path, text.encoding) if isinstance(text, _File) else text


def _scripts(options: argparse.Namespace, dialect: Any, schema: Any, stdin: TextIO,
             encoding: str, stderr: TextIO, errors: list[str]) -> list[tuple[str, Any]]:
    """Each input analysed as a script (a single statement is a script of one)."""
    from ._script import analyze_script

    done = []
    for name, text in _texts(options, stdin, encoding, stderr):
        if isinstance(text, BaseException):
            errors.append(f"{name}: {type(text).__name__}: {text}")
            continue
        script = analyze_script(text, dialect, schema)
        for failed in script.errors:
            errors.append(f"{name}: {failed}".splitlines()[0])
        done.append((name, script))
    return done


def run(options: argparse.Namespace, parser: argparse.ArgumentParser, dialect: Any,
        schema: Any, encoding: str, stdin: TextIO, stdout: TextIO, stderr: TextIO,
        project: Any) -> int:
    asked = [flag for flag in ("upstream", "downstream", "end_to_end", "summary")
             if getattr(options, flag)]
    if len(asked) > 1:
        parser.error("ask one of --upstream, --downstream, --end-to-end and --summary at a time")
    errors: list[str] = []
    stored = options.graph is not None and os.path.isfile(options.graph)
    try:
        graph = Graph.open(options.graph) if stored else Graph()
    except Exception as error:  # not a SQLite file, or not one of ours
        parser.error(f"--graph {options.graph}: {error}")
    scripts: list[tuple[str, Any]] = []
    if project is not None:
        graph.add(project)
        errors.extend(str(e) for e in project.errors)
    elif options.inputs or options.example or not stored:
        scripts = _scripts(options, dialect, schema, stdin, encoding, stderr, errors)
        for name, script in scripts:
            graph.add(script, name=name)
    if options.graph is not None:
        graph.save(options.graph)
    for line in errors:
        print(line, file=stderr, flush=True)
    try:
        if options.end_to_end:
            _end_to_end(options, scripts, project, stdout)
        elif options.upstream or options.downstream:
            way = "upstream" if options.upstream else "downstream"
            column = options.upstream or options.downstream
            try:
                edges = getattr(graph, way)(column, options.depth)
            except (KeyError, ValueError) as error:
                parser.error(f"--{way} {column}: {error.args[0] if error.args else error}")
            start = graph.column(column)
            _write_edges(edges, way, start, options, graph.places(
                {start, *(e.source for e in edges), *(e.target for e in edges)}), stdout)
        elif options.summary:
            _write_summary(graph, options, stdout)
        elif options.graph is not None:
            print(f"{options.graph}: {len(graph):,} edges", file=stderr, flush=True)
    finally:
        graph.close()
    return 1 if errors else 0


# --- writing the answers -------------------------------------------------------------------

def _rows(rows: list[dict[str, Any]], keys: tuple[str, ...], fmt: str, out: TextIO) -> None:
    if fmt == "json":
        out.write(json.dumps(rows, ensure_ascii=False, indent=None) + "\n")
    elif fmt == "jsonl":
        out.write("".join(json.dumps(row, ensure_ascii=False) + "\n" for row in rows))
    else:
        buffer = io.StringIO()
        writer = csv.DictWriter(buffer, fieldnames=keys, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
        out.write(buffer.getvalue())
    out.flush()


def _chains(edges: list[Edge], start: str, way: str, limit: int = 10_000) -> list[str]:
    """Each chain from ``start`` to where the walk ends, as text."""
    onward: dict[str, list[Edge]] = {}
    for edge in edges:
        onward.setdefault(edge.target if way == "upstream" else edge.source, []).append(edge)
    arrow = " <- " if way == "upstream" else " -> "
    chains: list[str] = []

    def follow(node: str, text: str, seen: frozenset) -> None:
        nexts = [e for e in onward.get(node, ())
                 if (e.source if way == "upstream" else e.target) not in seen]
        if not nexts and text != start:
            chains.append(text)
        for edge in nexts:
            if len(chains) >= limit:
                return
            far = edge.source if way == "upstream" else edge.target
            follow(far, f"{text}{arrow}{far} ({edge.subtype}, {edge.statement})", seen | {far})

    follow(start, start, frozenset({start}))
    return chains


def _write_edges(edges: list[Edge], way: str, start: str, options: argparse.Namespace,
                 places: dict[str, tuple[str, str]], out: TextIO) -> None:
    fmt = options.format
    if fmt == "table":
        chains = _chains(edges, start, way)
        out.write("\n".join(chains) + "\n" if chains else f"{start}: nothing {way}\n")
    elif fmt == "dot":
        out.write(_edges_dot(edges))
    elif fmt == "openlineage":
        out.write("".join(json.dumps(dataset, ensure_ascii=False) + "\n"
                          for dataset in _edges_openlineage(edges, places, options.namespace)))
    elif fmt == "html":
        from ._html import lineage_page
        from ._result import _table_parts

        def column(name: str) -> list[Any]:
            table, column = places[name]
            return [*_table_parts(table), column]

        out.write(lineage_page([{"source": column(edge.source), "target": column(edge.target),
                                 "type": edge.type, "subtype": edge.subtype,
                                 "statement": edge.statement} for edge in edges],
                               title=f"Column lineage: {way} of {start}",
                               direct_only=options.direct_only))
    else:
        _rows([{key: getattr(edge, key) for key in EDGE_KEYS} for edge in edges],
              EDGE_KEYS, fmt, out)
        return
    out.flush()


def _edges_dot(edges: Iterable[Edge]) -> str:
    from ._writers import _dot_id

    lines = ["digraph lineage {", "  rankdir=LR;", "  node [shape=box, fontname=Helvetica];",
             "  edge [fontname=Helvetica, fontsize=9];"]
    for edge in edges:
        style = "dashed" if edge.type == "INDIRECT" else "solid"
        lines.append(f"  {_dot_id(edge.source)} -> {_dot_id(edge.target)} "
                     f"[style={style}, label={_dot_id(edge.subtype.lower())}];")
    return "\n".join(lines + ["}"]) + "\n"


def _edges_openlineage(edges: Iterable[Edge], places: dict[str, tuple[str, str]],
                       namespace: str) -> list[dict[str, Any]]:
    """One dataset per table the edges reach, its columnLineage facet
    holding those edges (the graph keeps no masking flag, so the
    transformations carry none)."""
    from ._result import column_lineage_facet

    fields: dict[str, dict[str, dict[tuple[str, str], dict[str, Any]]]] = {}
    for edge in edges:
        table, column = places[edge.target]
        source_table, source_column = places[edge.source]
        inputs = fields.setdefault(table, {}).setdefault(column, {})
        made = inputs.setdefault((source_table, source_column), {
            "namespace": namespace, "name": source_table, "field": source_column,
            "transformations": []})
        step = {"type": edge.type, "subtype": edge.subtype, "description": edge.statement}
        if step not in made["transformations"]:
            made["transformations"].append(step)
    return [{"namespace": namespace, "name": table, "facets": {"columnLineage": column_lineage_facet(
        {column: list(inputs.values()) for column, inputs in columns.items()}, [])}}
        for table, columns in fields.items()]


def _write_summary(graph: Graph, options: argparse.Namespace, out: TextIO) -> None:
    summary = graph.summary()
    fmt = options.format
    if fmt == "table":
        for role, tables in summary.items():
            out.write(f"{role}: {', '.join(tables) if tables else '(none)'}\n")
    elif fmt == "json":
        out.write(json.dumps(summary) + "\n")
    elif fmt == "dot":
        from ._writers import _dot_id

        lines = ["digraph tables {", "  rankdir=LR;", "  node [shape=box, fontname=Helvetica];"]
        for role, tables in summary.items():
            for table in tables:
                lines.append(f"  {_dot_id(table)} [tooltip={_dot_id(role)}];")
        for source, target in graph.table_edges():
            lines.append(f"  {_dot_id(source)} -> {_dot_id(target)};")
        out.write("\n".join(lines + ["}"]) + "\n")
    elif fmt == "openlineage":
        # A run's inputs and outputs as OpenLineage names them: what the
        # inputs read (sources and intermediates) and what they write
        # (intermediates and targets).
        def datasets(*roles: str) -> list[dict[str, Any]]:
            return [{"namespace": options.namespace, "name": table, "facets": {}}
                    for role in roles for table in summary[role]]

        out.write(json.dumps({"inputs": datasets("sources", "intermediates"),
                              "outputs": datasets("intermediates", "targets")}) + "\n")
    elif fmt == "html":
        from ._html import lineage_page
        from ._result import _table_parts

        tables = [{"name": list(_table_parts(table)), "role": role[:-1], "group": None}
                  for role, names in summary.items() for table in names]
        links = [{"source": [*_table_parts(source), None], "target": [*_table_parts(target), None],
                  "type": "DIRECT", "subtype": "TABLE", "statement": ""}
                 for source, target in graph.table_edges()]
        out.write(lineage_page(links, title="Tables: sources, intermediates and targets",
                               tables=tables))
    else:
        rows = [{"table": table, "role": role[:-1]} for role, tables in summary.items()
                for table in tables]
        _rows(rows, ("table", "role"), fmt, out)
        return
    out.flush()


def _end_to_end(options: argparse.Namespace, scripts: list[tuple[str, Any]], project: Any,
                stdout: TextIO) -> None:
    """Every written table's columns traced through its script, through
    the writers every other run uses."""
    from ._writers import WRITERS, _Dot, _encoded, _terminal_width

    width = _terminal_width(stdout)
    writer = WRITERS[options.format](stdout)
    if isinstance(writer, _Dot):
        writer.direct_only = options.direct_only
    writer.start()
    traced = [(name, script.end_to_end) for name, script in scripts]
    if project is not None:
        traced = [(options.dbt, project.end_to_end)]
    for name, end in traced:
        for index, table in enumerate(end.tables, 1):
            rows = [{"input": name, "statement": index, **row} for row in end.to_dicts()
                    if (row["target_catalog"], row["target_db"], row["target_table"]) == tuple(table)]
            datasets = [d for d in end.to_openlineage(options.namespace) if d["name"] == str(table)]
            writer.write(_encoded({"name": f"{name}: {table}", "rows": rows, "datasets": datasets,
                                   "statements": 1, "errors": [], "trace": ""},
                                  options.format, width))
    writer.finish()


# --- diff ----------------------------------------------------------------------------------

def _diff_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="sqlglot-main diff",
        description="The column lineage two versions of SQL give, compared: the edges added, "
                    "removed and changed (the same source and target with another subtype).")
    parser.add_argument("old", help="a file, script or folder of *.sql, or a dbt target")
    parser.add_argument("new", help="the same, after the change")
    parser.add_argument("--dialect", default=None)
    parser.add_argument("--format", choices=("table", "json", "jsonl", "csv"), default="table")
    parser.add_argument("--fail-on-change", action="store_true",
                        help="exit status 1 when the lineage changed")
    return parser


def _side(path: str, dialect: Any, errors: list[str]) -> set[tuple[str, str, str, str]]:
    """(source, target, type, subtype) of every edge one version gives."""
    from ._script import analyze_script
    from .dbt import project_lineage

    graph = Graph()
    if os.path.isdir(path) and (os.path.isfile(os.path.join(path, "manifest.json"))
                                or os.path.isfile(os.path.join(path, "target", "manifest.json"))):
        project = project_lineage(path, dialect)
        errors.extend(f"{path}: {e}" for e in project.errors)
        graph.add(project)
    else:
        files = [path]
        if os.path.isdir(path):
            files = sorted(os.path.join(where, name) for where, _, names in os.walk(path)
                           for name in names if name.lower().endswith(".sql"))
        for file in files:
            with open(file, encoding="utf-8-sig") as handle:
                script = analyze_script(handle.read(), dialect)
            errors.extend(f"{file}: {e}".splitlines()[0] for e in script.errors)
            graph.add(script, name=os.path.relpath(file, path) if file != path else file)
    found = {(e.source, e.target, e.type, e.subtype) for e in graph.edges()}
    graph.close()
    return found


def compare(old: set[tuple], new: set[tuple]) -> list[dict[str, Any]]:
    """Added, removed and changed edges; an edge changed when the only
    edge of its source, target and type has another subtype."""
    def by_key(edges: set[tuple]) -> dict[tuple, set[str]]:
        keyed: dict[tuple, set[str]] = {}
        for source, target, kind, subtype in edges:
            keyed.setdefault((source, target, kind), set()).add(subtype)
        return keyed

    before, after = by_key(old), by_key(new)
    rows = []
    for key in sorted(before.keys() | after.keys()):
        was, now = before.get(key, set()), after.get(key, set())
        if was == now:
            continue
        head = dict(zip(("source", "target", "type"), key))
        if len(was) == 1 and len(now) == 1:
            rows.append({"change": "changed", **head, "old_subtype": next(iter(was)),
                         "new_subtype": next(iter(now))})
            continue
        rows.extend({"change": "removed", **head, "old_subtype": s, "new_subtype": None}
                    for s in sorted(was - now))
        rows.extend({"change": "added", **head, "old_subtype": None, "new_subtype": s}
                    for s in sorted(now - was))
    return rows


def diff_main(argv: list[str], stdout: TextIO, stderr: TextIO) -> int:
    parser = _diff_parser()
    options = parser.parse_args(argv)
    from ._inputs import _check_dialect

    dialect = _check_dialect(parser, options.dialect)
    errors: list[str] = []
    sides = []
    for path in (options.old, options.new):
        if not os.path.exists(path):
            parser.error(f"no such file or folder: {path}")
        try:
            sides.append(_side(path, dialect, errors))
        except (OSError, ValueError, UnicodeDecodeError) as error:
            parser.error(f"{path}: {error}")
    rows = compare(*sides)
    for line in errors:
        print(line, file=stderr, flush=True)
    if options.format == "table":
        if not rows:
            stdout.write("no lineage changed\n")
        for row in rows:
            subtype = {"added": row["new_subtype"], "removed": row["old_subtype"]}.get(
                row["change"], f"{row['old_subtype']} -> {row['new_subtype']}")
            mark = {"added": "+", "removed": "-", "changed": "~"}[row["change"]]
            stdout.write(f"{mark} {row['source']} -> {row['target']} ({row['type']} {subtype})\n")
        stdout.flush()
    else:
        _rows(rows, DIFF_KEYS, options.format, stdout)
    if errors:
        return 1
    return 1 if options.fail_on_change and rows else 0
