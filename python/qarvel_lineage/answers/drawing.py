"""Drawings of the answers: Graphviz DOT text, and the edges and tables the
HTML page is drawn from."""

from __future__ import annotations

from typing import Any

from qarvel_lineage.answers.kinds import ROLE_NAMES, EdgesAnswer, TablesAnswer

__all__ = ["DotGraph", "dot_id", "edges_dot", "tables_dot", "page_of_edges",
           "page_of_tables"]


def dot_id(text: str) -> str:
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'


def _joined(*parts: Any) -> str:
    """Parts as the graph shows them: a part holding a dot in double
    quotes, so column "a.b" of s.t (s.t."a.b") is not column b of s.t.a."""
    from qarvel_lineage.graph.names import shown

    return shown(parts)


class DotGraph:
    """A Graphviz digraph of statements' rows.  Each table is one box of its
    columns, whether a statement reads it or writes it, so a script's chain
    raw -> staging -> mart is connected; a query that writes nothing is a
    box of its output columns.  Columns keep their position order; an
    influence shared by every column of a statement is one edge to its box;
    INDIRECT edges are dashed (and left out with --direct-only)."""

    def __init__(self, direct_only: bool):
        self.direct_only = direct_only
        # box (table or query, label) -> {node id: (order, label)}; boxes a
        # statement writes are filled
        self.boxes: dict[tuple[str, str], dict[str, tuple[float, str]]] = {}
        self.filled: set[tuple[str, str]] = set()
        self.edges: dict[tuple[str, str, str, str], tuple[str, str] | None] = {}

    def node(self, box: tuple[str, str], node: str, order: float, label: str) -> str:
        nodes = self.boxes.setdefault(box, {})
        if node not in nodes or order < nodes[node][0]:
            nodes[node] = (order, label)
        return node

    def add(self, rows: list[dict[str, Any]]) -> None:
        statements: dict[tuple, list[dict[str, Any]]] = {}
        for row in rows:
            if row["type"] is not None:  # a routine's row names its body: no column
                statements.setdefault((row["input"], row["statement"]), []).append(row)
        for (name, statement), found in statements.items():
            self.statement(f"{name}#{statement}", found)

    def statement(self, name: str, rows: list[dict[str, Any]]) -> None:
        owner = (rows[0]["target_catalog"], rows[0]["target_db"], rows[0]["target_table"])
        target = _joined(*owner)
        box = ("table", target) if target else ("query", name)
        self.filled.add(box)
        outputs: dict[int, str] = {}
        for row in rows:
            position = row["position"]
            node = f"col:{_joined(*owner, row['column'])}" if target else f"out:{name}:{position}"
            label = row["column"] if target else f"{position}. {row['column']}"
            outputs[position] = self.node(box, node, position, label)
        sources: dict[int, set[tuple[str, str]]] = {p: set() for p in outputs}
        for row in rows:
            if row["type"] == "UNRESOLVED" or row["subtype"] == "CONSTANT":
                continue
            if row["type"] == "INDIRECT" and self.direct_only:
                continue
            parts = (row["source_catalog"], row["source_db"], row["source_table"])
            source = self.node(("table", _joined(*parts)),
                               f"col:{_joined(*parts, row['source_column'])}", float("inf"),
                               row["source_column"])
            sources[row["position"]].add((source, row["type"] + "|" + row["subtype"]))
        shared = set.intersection(*sources.values()) if len(sources) > 1 else set()
        shared = {item for item in shared if item[1].startswith("INDIRECT")}
        first = outputs[min(outputs)]
        for source, kind in sorted(shared):
            self.edges[(source, first, kind, box[1])] = box
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
            lines.append(f"    label={dot_id(box[1])}; {style};")
            ordered = sorted(nodes.items(), key=lambda item: item[1][0])
            for node, (_, label) in ordered:
                lines.append(f"    {dot_id(node)} [label={dot_id(label)}];")
            lines.append("  }")
        for (source, output, kind, _), owner in self.edges.items():
            kind_type, subtype = kind.split("|", 1)
            style = "dashed" if kind_type == "INDIRECT" else "solid"
            whole = f", lhead={cluster[owner]}" if owner else ""
            lines.append(f"  {dot_id(source)} -> {dot_id(output)} "
                         f"[style={style}, label={dot_id(subtype.lower())}{whole}];")
        lines.append("}")
        return "\n".join(lines) + "\n"


def edges_dot(answer: EdgesAnswer) -> str:
    lines = ["digraph lineage {", "  rankdir=LR;", "  node [shape=box, fontname=Helvetica];",
             "  edge [fontname=Helvetica, fontsize=9];"]
    for edge in answer.edges:
        style = "dashed" if edge.type == "INDIRECT" else "solid"
        lines.append(f"  {dot_id(edge.source)} -> {dot_id(edge.target)} "
                     f"[style={style}, label={dot_id(edge.subtype.lower())}];")
    return "\n".join(lines + ["}"]) + "\n"


def tables_dot(answer: TablesAnswer) -> str:
    lines = ["digraph tables {", "  rankdir=LR;", "  node [shape=box, fontname=Helvetica];"]
    for role, tables in answer.roles.items():
        for table in tables:
            lines.append(f"  {dot_id(table)} [tooltip={dot_id(role)}];")
    for source, target in answer.links:
        lines.append(f"  {dot_id(source)} -> {dot_id(target)};")
    return "\n".join(lines + ["}"]) + "\n"


# --- the page's edges and tables -----------------------------------------------------------

def _page_edge(source: list, target: list, kind: str, subtype: str, statement: str) -> dict[str, Any]:
    return {"source": source, "target": target, "type": kind, "subtype": subtype,
            "statement": statement}


def _split(name: str, column: str | None) -> list:
    """A table as the graph shows it (its parts, a dotted one quoted) as
    [catalog, db, table, column]."""
    from qarvel_lineage.graph.names import parts

    catalog_db_table = parts(name)
    found = [None] * (3 - len(catalog_db_table)) + catalog_db_table if len(catalog_db_table) <= 3 \
        else [None, None, name]
    return [*found, column]


def page_of_edges(answer: EdgesAnswer) -> list[dict[str, Any]]:
    edges = []
    for edge in answer.edges:
        ends = []
        for name, parts in ((edge.source, getattr(edge, "source_parts", None)),
                            (edge.target, getattr(edge, "target_parts", None))):
            # A graph that keeps each column's parts gives them; else the
            # stored (table, column) is split at its dots.
            ends.append(list(parts) if parts else _split(*answer.places[name]))
        edges.append(_page_edge(ends[0], ends[1], edge.type, edge.subtype, edge.statement))
    return edges


def page_of_tables(answer: TablesAnswer) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    tables = [{"name": _split(table, None)[:3], "role": ROLE_NAMES[role], "group": None}
              for role, names in answer.roles.items() for table in names]
    edges = [_page_edge(_split(source, None), _split(target, None), "DIRECT", "TABLE", "")
             for source, target in answer.links]
    return edges, tables
