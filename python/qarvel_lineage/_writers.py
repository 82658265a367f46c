"""The command line's formats: each input's rows written as a table,
JSON, JSON lines, CSV, OpenLineage datasets, DOT or an HTML page."""

from __future__ import annotations

import csv
import io
import json
import os
from typing import Any, TextIO

from ._result import row_keys

ROW_KEYS = ("input", "statement") + row_keys(True)


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
    """A Graphviz digraph of every input.  Each table is one box of its
    columns, whether a statement reads it or writes it, so a script's chain
    raw -> staging -> mart is connected; a query that writes nothing is a
    box of its output columns.  Columns keep their position order; an
    influence shared by every column of a statement is one edge to its box;
    INDIRECT edges are dashed (and left out with --direct-only)."""

    direct_only = False

    def start(self):
        self.done: list[dict[str, Any]] = []

    @staticmethod
    def render(done, width):
        return ""

    def write(self, done):
        self.done.append(done)

    def finish(self):
        graph = _DotGraph(self.direct_only)
        for done in self.done:
            graph.add(done["rows"])
        self.out.write(graph.text())
        self.out.flush()


def _joined(*parts: Any) -> str:
    return ".".join(p for p in parts if p)


class _DotGraph:
    def __init__(self, direct_only: bool):
        self.direct_only = direct_only
        # box label -> {node id: (order, label)}; boxes a statement writes are filled
        self.boxes: dict[str, dict[str, tuple[float, str]]] = {}
        self.filled: set[str] = set()
        self.edges: dict[tuple[str, str, str, str], str | None] = {}

    def node(self, box: str, node: str, order: float, label: str) -> str:
        nodes = self.boxes.setdefault(box, {})
        if node not in nodes or order < nodes[node][0]:
            nodes[node] = (order, label)
        return node

    def add(self, rows: list[dict[str, Any]]) -> None:
        statements: dict[tuple, list[dict[str, Any]]] = {}
        for row in rows:
            statements.setdefault((row["input"], row["statement"]), []).append(row)
        for (name, statement), found in statements.items():
            self.statement(f"{name}#{statement}", found)

    def statement(self, name: str, rows: list[dict[str, Any]]) -> None:
        target = _joined(rows[0]["target_catalog"], rows[0]["target_db"], rows[0]["target_table"])
        box = target or name
        self.filled.add(box)
        outputs: dict[int, str] = {}
        for row in rows:
            position = row["position"]
            node = f"col:{target}.{row['column']}" if target else f"out:{name}:{position}"
            label = row["column"] if target else f"{position}. {row['column']}"
            outputs[position] = self.node(box, node, position, label)
        sources: dict[int, set[tuple[str, str]]] = {p: set() for p in outputs}
        for row in rows:
            if row["type"] == "UNRESOLVED" or row["subtype"] == "CONSTANT":
                continue
            if row["type"] == "INDIRECT" and self.direct_only:
                continue
            table = _joined(row["source_catalog"], row["source_db"], row["source_table"])
            source = self.node(table, f"col:{table}.{row['source_column']}", float("inf"),
                               row["source_column"])
            sources[row["position"]].add((source, row["type"] + "|" + row["subtype"]))
        shared = set.intersection(*sources.values()) if len(sources) > 1 else set()
        shared = {item for item in shared if item[1].startswith("INDIRECT")}
        first = outputs[min(outputs)]
        for source, kind in sorted(shared):
            self.edges[(source, first, kind, box)] = box
        for position, found in sources.items():
            for source, kind in sorted(found - shared):
                self.edges.setdefault((source, outputs[position], kind, ""), None)

    def text(self) -> str:
        lines = ["digraph lineage {", "  rankdir=LR;", "  compound=true;",
                 "  node [shape=box, fontname=Helvetica];",
                 "  edge [fontname=Helvetica, fontsize=9];"]
        cluster = {}
        for index, (box, nodes) in enumerate(self.boxes.items()):
            cluster[box] = f"cluster_{index}"
            style = "style=filled; color=lightyellow" if box in self.filled \
                else "style=rounded; color=gray50"
            lines.append(f"  subgraph cluster_{index} {{")
            lines.append(f"    label={_dot_id(box)}; {style};")
            ordered = sorted(nodes.items(), key=lambda item: item[1][0])
            for node, (_, label) in ordered:
                lines.append(f"    {_dot_id(node)} [label={_dot_id(label)}];")
            lines.append("  }")
        for (source, output, kind, _), box in self.edges.items():
            kind_type, subtype = kind.split("|", 1)
            style = "dashed" if kind_type == "INDIRECT" else "solid"
            whole = f", lhead={cluster[box]}" if box else ""
            lines.append(f"  {_dot_id(source)} -> {_dot_id(output)} "
                         f"[style={style}, label={_dot_id(subtype.lower())}{whole}];")
        lines.append("}")
        return "\n".join(lines) + "\n"


class _Html(_Dot):
    """One self-contained HTML page of every input's lineage graph."""

    def finish(self):
        from ._html import lineage_page, rows_edges

        edges, tables = rows_edges(row for done in self.done for row in done["rows"])
        self.out.write(lineage_page(edges, title="Column lineage", tables=tables,
                                    direct_only=self.direct_only))
        self.out.flush()


WRITERS = {"table": _Table, "json": _JsonArray, "jsonl": _JsonLines, "csv": _Csv, "dot": _Dot,
           "html": _Html,
           "openlineage": _OpenLineage}


def _encoded(done: dict[str, Any], output_format: str, width: int) -> dict[str, Any]:
    # Encoded where the input was analysed, in parallel, so the parent only copies bytes out.
    done["text"] = WRITERS[output_format].render(done, width).encode("utf-8")
    if output_format not in ("dot", "html"):
        # Only text goes back to the parent.
        done["rows"], done["datasets"] = [], []
    return done
