"""``--format html``: one self-contained page of the lineage graph.

Tables (and queries that write nothing) are boxes of their columns, laid
out left to right by how far they are from the tables only read; edges run
from column to column, DIRECT solid, INDIRECT dashed, an influence every
column of a statement shares drawn once to the box.  Clicking a column
highlights everything upstream and downstream of it; a search box finds a
column; a switch hides the indirect edges.  The page fetches nothing: the
layout is computed here, the script below is all it runs.
"""

from __future__ import annotations

import html
import json
from typing import Any

__all__ = ["page", "lineage_page"]

BOX_WIDTH = 220
GAP_X = 120
ROW = 22
HEAD = 26
GAP_Y = 28


def _levels(boxes: dict[str, Any], links: set[tuple[str, str]]) -> dict[str, int]:
    """Each box's column: the longest chain of boxes feeding it (a cycle
    is cut where it closes)."""
    feeding: dict[str, set[str]] = {box: set() for box in boxes}
    for source, target in links:
        if source != target:
            feeding[target].add(source)
    level: dict[str, int] = {}

    def depth(box: str, open_: set[str]) -> int:
        if box in level:
            return level[box]
        open_.add(box)
        found = 0
        for parent in feeding[box]:
            if parent not in open_:
                found = max(found, depth(parent, open_) + 1)
        open_.discard(box)
        level[box] = found
        return found

    for box in boxes:
        depth(box, set())
    return level


def page(graph: Any, title: str = "Column lineage") -> str:
    """The page of a _DotGraph (boxes, filled boxes, edges)."""
    boxes = {box: [node for node, _ in sorted(nodes.items(), key=lambda item: item[1][0])]
             for box, nodes in graph.boxes.items()}
    labels = {node: label for nodes in graph.boxes.values() for node, (_, label) in nodes.items()}
    box_of = {node: box for box, nodes in boxes.items() for node in nodes}
    links = {(box_of[source], box_of[target]) for source, target, _, _ in graph.edges}
    level = _levels(boxes, links)
    columns: dict[int, list[str]] = {}
    for box in boxes:
        columns.setdefault(level[box], []).append(box)
    placed: dict[str, tuple[int, int]] = {}
    anchors: dict[str, tuple[int, int]] = {}
    height = 0
    for index in sorted(columns):
        y = 20
        for box in columns[index]:
            x = 20 + index * (BOX_WIDTH + GAP_X)
            placed[box] = (x, y)
            for row, node in enumerate(boxes[box]):
                anchors[node] = (x, y + HEAD + row * ROW + ROW // 2)
            y += HEAD + len(boxes[box]) * ROW + GAP_Y
        height = max(height, y)
    width = 40 + (max(columns, default=0) + 1) * (BOX_WIDTH + GAP_X)

    parts = [f'<svg id="graph" xmlns="http://www.w3.org/2000/svg" width="{width}" '
             f'height="{height}">']
    edges_data = []
    for number, ((source, target, kind, _), box) in enumerate(graph.edges.items()):
        kind_type, subtype = kind.split("|", 1)
        sx, sy = anchors[source]
        sx += BOX_WIDTH
        if box:
            tx, ty = placed[box][0], placed[box][1] + HEAD // 2
            feeds = boxes[box]
        else:
            tx, ty = anchors[target]
            feeds = [target]
        bend = max(40, (tx - sx) // 2)
        css = "edge indirect" if kind_type == "INDIRECT" else "edge direct"
        parts.append(f'<path id="e{number}" class="{css}" d="M{sx},{sy} C{sx + bend},{sy} '
                     f'{tx - bend},{ty} {tx},{ty}"><title>{html.escape(labels[source])} '
                     f'-&gt; {html.escape(box or labels[target])}: {kind_type} {subtype}'
                     f'</title></path>')
        edges_data.append({"id": f"e{number}", "from": source, "to": feeds,
                           "indirect": kind_type == "INDIRECT"})
    for box, (x, y) in placed.items():
        filled = " written" if box in graph.filled else ""
        total = HEAD + len(boxes[box]) * ROW
        parts.append(f'<g class="box{filled}" data-box="{html.escape(box)}">'
                     f'<rect x="{x}" y="{y}" width="{BOX_WIDTH}" height="{total}" rx="6"/>'
                     f'<text class="head" x="{x + 8}" y="{y + 18}">{html.escape(box)}</text>')
        for row, node in enumerate(boxes[box]):
            top = y + HEAD + row * ROW
            parts.append(f'<g class="column" data-id="{html.escape(node)}" '
                         f'data-name="{html.escape(box + "." + labels[node].split(". ")[-1])}">'
                         f'<rect x="{x + 2}" y="{top}" width="{BOX_WIDTH - 4}" height="{ROW}"/>'
                         f'<text x="{x + 10}" y="{top + 15}">{html.escape(labels[node])}</text></g>')
        parts.append("</g>")
    parts.append("</svg>")
    data = json.dumps({"edges": edges_data}).replace("</", "<\\/")
    return _TEMPLATE.replace("@TITLE@", html.escape(title)).replace("@SVG@", "\n".join(parts)) \
        .replace("@DATA@", data)


class _Boxes:
    """The boxes, filled boxes and edges ``page`` draws."""

    def __init__(self) -> None:
        self.boxes: dict[str, dict[str, tuple[float, str]]] = {}
        self.filled: set[str] = set()
        self.edges: dict[tuple[str, str, str, str], str | None] = {}

    def node(self, parts: list, label: str | None = None) -> str:
        box = ".".join(p for p in parts[:3] if p)
        column = parts[3] if len(parts) > 3 else None
        node = f"col:{box}.{column}" if column is not None else f"table:{box}"
        nodes = self.boxes.setdefault(box, {})
        if node not in nodes:
            nodes[node] = (len(nodes), column if column is not None else (label or box))
        return node


def lineage_page(edges: Any, *, title: str = "Column lineage", tables: Any = (),
                 direct_only: bool = False) -> str:
    """The page of edges ({"source": [catalog, db, table, column], "target":
    [...], "type", "subtype", "statement"}; column None for a table's
    edge) and tables ({"name": [catalog, db, table], "role", "group"})."""
    boxes = _Boxes()
    for table in tables:
        name = list(table["name"])
        boxes.node(name + [None], table["role"])
        if table["role"] != "source":
            boxes.filled.add(".".join(p for p in name if p))
    for edge in edges:
        if direct_only and edge["type"] == "INDIRECT":
            continue
        source = boxes.node(list(edge["source"]))
        target = boxes.node(list(edge["target"]))
        boxes.filled.add(".".join(p for p in edge["target"][:3] if p))
        boxes.edges.setdefault((source, target, f"{edge['type']}|{edge['subtype']}", ""), None)
    for box, nodes in boxes.boxes.items():
        # A table's own node stands for it only where no column does.
        if len(nodes) > 1:
            for node in [n for n in nodes if n.startswith("table:")]:
                del nodes[node]
    return page(boxes, title=title)


_TEMPLATE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<title>@TITLE@</title>
<style>
  body { font-family: Helvetica, Arial, sans-serif; margin: 0; background: #fafafa; }
  header { position: sticky; top: 0; background: #fff; border-bottom: 1px solid #ddd;
           padding: 8px 16px; display: flex; gap: 16px; align-items: center; z-index: 1; }
  header h1 { font-size: 16px; margin: 0; }
  #search { width: 280px; padding: 4px 6px; }
  #status { color: #555; font-size: 13px; }
  main { overflow: auto; }
  .box > rect { fill: #fff; stroke: #999; }
  .box.written > rect { fill: #fffbe6; stroke: #c9a400; }
  .box text.head { font-weight: bold; font-size: 13px; }
  .column rect { fill: transparent; stroke: none; cursor: pointer; }
  .column text { font-size: 12px; cursor: pointer; }
  .column:hover rect { fill: #eef3ff; }
  .edge { fill: none; stroke: #6b7a99; stroke-width: 1.3; opacity: 0.7; }
  .edge.indirect { stroke-dasharray: 5 4; stroke: #b0b6c3; }
  body.no-indirect .edge.indirect { display: none; }
  .dim { opacity: 0.15; }
  .column.highlighted rect { fill: #dbe7ff; }
  .column.chosen rect, .column.found rect { fill: #ffd666; }
  .edge.highlighted { stroke: #2457d6; opacity: 1; stroke-width: 2; }
</style>
</head>
<body>
<header>
  <h1>@TITLE@</h1>
  <input id="search" type="search" placeholder="find a column (table.column)">
  <label><input id="indirect" type="checkbox" checked> indirect edges</label>
  <span id="status">click a column to see what it comes from and what it feeds</span>
</header>
<main>
@SVG@
</main>
<script id="lineage-data" type="application/json">@DATA@</script>
<script>
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("lineage-data").textContent);
  var up = {}, down = {};
  data.edges.forEach(function (edge) {
    edge.to.forEach(function (target) {
      (down[edge.from] = down[edge.from] || []).push({node: target, edge: edge});
      (up[target] = up[target] || []).push({node: edge.from, edge: edge});
    });
  });
  var columns = Array.prototype.slice.call(document.querySelectorAll(".column"));
  var edges = Array.prototype.slice.call(document.querySelectorAll(".edge"));
  var showIndirect = true;

  function walk(start, links, nodes, used) {
    var queue = [start];
    while (queue.length) {
      var node = queue.shift();
      (links[node] || []).forEach(function (link) {
        if (!showIndirect && link.edge.indirect) { return; }
        used[link.edge.id] = true;
        if (!nodes[link.node]) { nodes[link.node] = true; queue.push(link.node); }
      });
    }
  }

  function clear() {
    columns.forEach(function (c) { c.classList.remove("highlighted", "chosen", "found", "dim"); });
    edges.forEach(function (e) { e.classList.remove("highlighted", "dim"); });
  }

  function choose(id) {
    clear();
    var nodes = {}, used = {};
    nodes[id] = true;
    walk(id, up, nodes, used);
    walk(id, down, nodes, used);
    columns.forEach(function (c) {
      var key = c.getAttribute("data-id");
      c.classList.add(key === id ? "chosen" : nodes[key] ? "highlighted" : "dim");
    });
    edges.forEach(function (e) { e.classList.add(used[e.id] ? "highlighted" : "dim"); });
    var count = Object.keys(nodes).length - 1;
    document.getElementById("status").textContent =
      document.querySelector('[data-id="' + CSS.escape(id) + '"]').getAttribute("data-name") +
      ": " + count + " related column" + (count === 1 ? "" : "s");
  }

  columns.forEach(function (c) {
    c.addEventListener("click", function () { choose(c.getAttribute("data-id")); });
  });
  document.getElementById("indirect").addEventListener("change", function (event) {
    showIndirect = event.target.checked;
    document.body.classList.toggle("no-indirect", !showIndirect);
    var chosen = document.querySelector(".column.chosen");
    if (chosen) { choose(chosen.getAttribute("data-id")); }
  });
  document.getElementById("search").addEventListener("keydown", function (event) {
    if (event.key !== "Enter") { return; }
    var text = event.target.value.trim().toLowerCase();
    if (!text) { clear(); return; }
    var hit = columns.filter(function (c) {
      var name = c.getAttribute("data-name").toLowerCase();
      return name === text || name.slice(-text.length - 1) === "." + text;
    })[0] || columns.filter(function (c) {
      return c.getAttribute("data-name").toLowerCase().indexOf(text) >= 0;
    })[0];
    if (!hit) { document.getElementById("status").textContent = "no column " + text; return; }
    choose(hit.getAttribute("data-id"));
    hit.classList.add("found");
    hit.scrollIntoView({block: "center", inline: "center"});
  });
})();
</script>
</body>
</html>
"""
