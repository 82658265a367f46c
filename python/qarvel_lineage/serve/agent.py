"""``sqlglot-main mcp``: the stored graph as tools of the Model Context
Protocol, over standard input and output (the ``mcp`` package's server).

Tools: ``search``, ``upstream``, ``downstream``, ``impact``, ``paths`` and
``explain``.  Each answers in text a model can read, never longer than
MAX_CHARS characters: what does not fit is left out, and the answer says how
much and how to ask for it.  An ambiguous name is answered with its
candidates, never guessed.
"""

from __future__ import annotations

from typing import Any, Callable

from qarvel_lineage.answers.kinds import EdgesAnswer, leaves
from qarvel_lineage.graph import Edge, Graph
from qarvel_lineage.serve.api import ThreadGraphs

__all__ = ["MAX_CHARS", "Tools", "make_server", "run"]

MAX_CHARS = 20_000
WALK_EDGES = 20_000           # the most edges a walk gathers before it is cut
LEAVES_SHOWN = 20             # columns where a walk ends, of each kind, shown before its edges
_INSTRUCTIONS = (
    "Column-level lineage of SQL (dbt models, scripts, query logs) from a stored graph. "
    "Names are catalog.db.table.column or their last parts (orders.amount), in any case. "
    "DIRECT edges carry values; INDIRECT ones decide which rows (joins, filters, grouping). "
    "Start with search, then upstream/downstream/impact/paths; explain shows the SQL of one hop.")


class _Cut:
    """Lines kept while they fit in MAX_CHARS, the room for a closing line held back."""

    def __init__(self, reserve: int = 600):
        self.lines: list[str] = []
        self.size = 0
        self.room = MAX_CHARS - reserve
        self.left_out = 0

    def add(self, line: str) -> bool:
        if self.left_out or self.size + len(line) + 1 > self.room:
            self.left_out += 1
            return False
        self.lines.append(line)
        self.size += len(line) + 1
        return True

    def text(self, what: str, how: str) -> str:
        if self.left_out:
            self.lines.append(f"... {self.left_out:,} more {what} left out (the answer is "
                              f"bounded at {MAX_CHARS:,} characters); {how}")
        text = "\n".join(self.lines)
        return text[:MAX_CHARS]


def _plural(count: int, word: str) -> str:
    return f"{count:,} {word}{'' if count == 1 else 's'}"


def _hop(edge: Edge) -> str:
    return f"{edge.source} -> {edge.target} ({edge.type} {edge.subtype}, in {edge.statement})"


class Tools:
    """The tools' answers over a graph (one read-only connection per thread)."""

    def __init__(self, graphs: Callable[[], Graph]):
        self.graphs = graphs

    def _one(self, graph: Graph, name: str) -> tuple[str | None, str]:
        """The column ``name`` means, or None and the text that says why not."""
        if not isinstance(name, str) or not name.strip():
            return None, "give a column name (catalog.db.table.column, or its last parts)"
        found = graph.matches(name[:2000])
        if len(found) == 1:
            return found[0], ""
        if not found:
            return None, (f"no column {name[:200]!r} in the graph; call search with part of "
                          "its name to find it")
        cut = _Cut()
        cut.add(f"{name[:200]!r} names {_plural(len(found), 'column')}; call again with one of:")
        for candidate in found:
            cut.add(f"  {candidate}")
        return None, cut.text("candidates", "call search with more of the name to narrow it")

    def search(self, query: str, limit: int = 50) -> str:
        graph = self.graphs()
        if not isinstance(query, str) or not query.strip():
            return "give some letters of a table or column name to search for"
        found, total = graph.search(query[:2000], max(1, min(int(limit), 500)))
        if not found:
            return f"nothing in the graph is called {query[:200]!r}"
        cut = _Cut()
        cut.add(f"{_plural(total, 'match')} for {query[:200]!r}, best first "
                "(whole names, then last parts, then parts, then anywhere):")
        for match in found:
            what = "column" if match.kind == "column" else "table"
            where = f" of {match.table}" if match.kind == "column" else ""
            cut.add(f"  {match.name}  ({what}{where}; matches {match.match}"
                    f"{'; nothing feeds it' if match.source else ''})")
        if total > len(found):
            cut.add(f"... {total - len(found):,} more matches; call search with more letters, "
                    "or a larger limit")
        return cut.text("matches", "call search with more letters")

    def walk(self, way: str, column: str, depth: int | None = None,
             direct_only: bool = False) -> str:
        graph = self.graphs()
        start, why = self._one(graph, column)
        if start is None:
            return why
        if depth is not None and (isinstance(depth, bool) or int(depth) < 1):
            return "depth must be 1 or more (or left out, to walk to the ends)"
        ask = graph.upstream if way == "upstream" else graph.downstream
        edges = ask(start, depth=None if depth is None else int(depth),
                    direct_only=bool(direct_only), limit=WALK_EDGES)
        gathered_all = len(edges) <= WALK_EDGES
        if not edges:
            return f"{start}: nothing {way}" + (" through DIRECT edges" if direct_only else "")
        direct, indirect, reached = leaves(EdgesAnswer(way, start, edges, {}, depth,
                                                       bool(direct_only)))
        cut = _Cut()
        bound = f" within {_plural(int(depth), 'hop')}" if depth else ""
        cut.add(f"{way} of {start}{bound}: {_plural(reached, 'column')} over "
                f"{_plural(len(edges), 'edge')}{', DIRECT edges only' if direct_only else ''}"
                + ("" if gathered_all else f" (the walk stopped past {WALK_EDGES:,} edges)"))
        ends = "sources" if way == "upstream" else "columns fed"
        for title, found in (("DIRECT (values come through)", direct),
                             ("INDIRECT only (decide rows)", indirect)):
            if found:
                cut.add(f"the {ends} where it ends, {title}: {len(found):,}")
                for leaf in found[:LEAVES_SHOWN]:
                    cut.add(f"  {leaf.column}  {_plural(leaf.hops, 'hop')}; nearest hop: "
                            f"{leaf.edge.type} {leaf.edge.subtype} in {leaf.edge.statement}")
                if len(found) > LEAVES_SHOWN:
                    cut.add(f"  ... {len(found) - LEAVES_SHOWN:,} more, nearest first; ask "
                            "with a depth to see the nearer ones")
        cut.add("every edge, nearest first (depth: source -> target (type subtype, in statement)):")
        for edge in edges:
            cut.add(f"  {edge.depth}: {_hop(edge)}")
        return cut.text("edges", f"call {way} with depth=1 or 2 (the nearest hops), "
                                 "direct_only=true (values only), or explain for one hop")

    def impact(self, column: str) -> str:
        graph = self.graphs()
        start, why = self._one(graph, column)
        if start is None:
            return why
        found = graph.impact(start)
        if not found:
            return f"{start}: nothing downstream depends on it"
        ordered = sorted(found.items(), key=lambda item: (len(item[1]), item[0]))
        direct = sum(1 for path in found.values() if all(e.type == "DIRECT" for e in path))
        cut = _Cut()
        cut.add(f"impact of {start}: {_plural(len(found), 'column')} depend on it "
                f"({direct:,} through DIRECT edges alone); each with a shortest path, nearest first:")
        for name, path in ordered:
            hops = " -> ".join([path[0].source] + [f"{e.target} ({e.type} {e.subtype})"
                                                    for e in path])
            cut.add(f"  {name}  {_plural(len(path), 'hop')}: {hops}")
        return cut.text("columns", "call downstream with depth=1 or 2 for the nearest, "
                                   "or paths to one column")

    def paths(self, source: str, target: str) -> str:
        graph = self.graphs()
        start, why = self._one(graph, source)
        if start is None:
            return why
        end, why = self._one(graph, target)
        if end is None:
            return why
        found = graph.paths(start, end, limit=101)
        if not found:
            return f"no path from {start} down to {end}"
        cut = _Cut()
        more = len(found) > 100
        cut.add(f"{'more than 100' if more else _plural(len(found), 'path')} from {start} to "
                f"{end}, shortest first:")
        for number, path in enumerate(found[:100], 1):
            cut.add(f"path {number} ({_plural(len(path), 'hop')}):")
            for edge in path:
                cut.add(f"  {_hop(edge)}")
        if more:
            cut.add("... the longer paths past the first 100 were not looked for")
        return cut.text("lines", "call explain for one hop, or paths between nearer columns")

    def explain(self, source: str, target: str) -> str:
        graph = self.graphs()
        start, why = self._one(graph, source)
        if start is None:
            return why
        end, why = self._one(graph, target)
        if end is None:
            return why
        hops = [edge for edge in graph.upstream(end, depth=1) if edge.source == start]
        if not hops:
            return (f"{start} does not feed {end} directly; call paths with source={start!r} "
                    f"and target={end!r} for the hops between them")
        parts = [f"{start} feeds {end} in {_plural(len({e.statement for e in hops}), 'statement')}:"]
        room = MAX_CHARS - sum(len(p) for p in parts) - 400
        by_statement: dict[str, list[Edge]] = {}
        for edge in hops:
            by_statement.setdefault(edge.statement, []).append(edge)
        share = max(500, room // len(by_statement))
        for statement, edges in by_statement.items():
            kinds = ", ".join(f"{e.type} {e.subtype}" for e in edges)
            parts.append(f"\nstatement {statement}: {kinds}")
            sql = graph.statement_sql(statement)
            if sql is None:
                parts.append("(the graph keeps no text of this statement; build it again to keep it)")
            elif len(sql) > share:
                parts.append(sql[:share] + f"\n... the SQL is cut at {share:,} of {len(sql):,} "
                             "characters (the answer is bounded at "
                             f"{MAX_CHARS:,} characters)")
            else:
                parts.append(sql)
        return "\n".join(parts)[:MAX_CHARS]


def make_server(path: str) -> Any:
    """The MCP server of the graph file at ``path`` (opened read-only)."""
    from mcp.server.mcpserver import MCPServer

    graphs = ThreadGraphs(path)
    graphs.get()   # the file opens, or the server does not start
    tools = Tools(graphs.get)
    server = MCPServer(name="sqlglot-main lineage", instructions=_INSTRUCTIONS,
                       log_level="WARNING")

    @server.tool(description="Find tables and columns by name, best first (whole names, then "
                             "last parts, then substrings).")
    def search(query: str, limit: int = 50) -> str:
        return tools.search(query, limit)

    @server.tool(description="The columns a column comes from, hop by hop: where its values "
                             "(DIRECT) and its rows (INDIRECT) come from.  depth: most hops "
                             "(all when left out); direct_only: DIRECT edges alone.")
    def upstream(column: str, depth: int | None = None, direct_only: bool = False) -> str:
        return tools.walk("upstream", column, depth, direct_only)

    @server.tool(description="The columns a column feeds, hop by hop.  depth: most hops (all "
                             "when left out); direct_only: DIRECT edges alone.")
    def downstream(column: str, depth: int | None = None, direct_only: bool = False) -> str:
        return tools.walk("downstream", column, depth, direct_only)

    @server.tool(description="Every column that depends on a column (a change to it reaches "
                             "them), each with a shortest path.")
    def impact(column: str) -> str:
        return tools.impact(column)

    @server.tool(description="The paths from a source column down to a target column, "
                             "shortest first, each hop with its statement.")
    def paths(source: str, target: str) -> str:
        return tools.paths(source, target)

    @server.tool(description="One hop: how source feeds target (type, subtype) and the SQL of "
                             "the statement or dbt model that makes it.")
    def explain(source: str, target: str) -> str:
        return tools.explain(source, target)

    return server


def run(path: str) -> None:
    make_server(path).run("stdio")
