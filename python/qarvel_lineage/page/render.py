"""``--format html``: one self-contained page of a lineage graph.

The page opens on the graph of tables (laid out here, see page.layout), and
focuses on a table or a column to show its upstream and downstream
columns (laid out by the page's script, page/lineage.js).  It is filled in
by a Jinja2 template with autoescape; the graph travels as JSON in a
``<script type="application/json">`` block with <, >, &, ' and U+2028/U+2029
escaped, and the script only ever puts names into the page as text.  A
Content-Security-Policy lets only the page's own script run and nothing be
fetched.
"""

from __future__ import annotations

import base64
import hashlib
import json
from collections.abc import Iterable
from functools import lru_cache
from importlib import resources
from typing import Any

from qarvel_lineage.engine.escapes import valid_json, valid_text
from qarvel_lineage.page.layout import layered_layout

__all__ = ["described_tables", "lineage_page", "project_edges", "rows_edges"]

NODE_WIDTH = 200.0
ROLES = ("source", "intermediate", "target", "query")


def _dumps(data: Any, **options: Any) -> str:
    """JSON for the page's data block; the template's ``tojson`` escapes
    <, >, & and ' after this."""
    text = valid_json(json.dumps(data, ensure_ascii=False, separators=(",", ":"), **options))
    return text.replace("\u2028", "\\u2028").replace("\u2029", "\\u2029")


@lru_cache(maxsize=1)
def _environment() -> Any:
    import jinja2

    environment = jinja2.Environment(loader=jinja2.PackageLoader("qarvel_lineage", "page"),
                                     autoescape=True, keep_trailing_newline=True)
    environment.policies["json.dumps_function"] = _dumps
    environment.policies["json.dumps_kwargs"] = {}
    return environment


@lru_cache(maxsize=1)
def _script() -> str:
    text = (resources.files("qarvel_lineage") / "page" / "lineage.js").read_text("utf-8")
    lowered = text.lower()
    if "</script" in lowered or "<!--" in lowered:
        raise RuntimeError("page/lineage.js must not hold '</script' or '<!--'")
    return text


def _joined(parts: Iterable[str | None]) -> str:
    return ".".join(str(part) for part in parts if part)


class _Graph:
    """Tables, columns, statements and edges numbered for the page."""

    def __init__(self) -> None:
        self.tables: dict[tuple, int] = {}
        self.table_info: list[dict[str, Any]] = []
        self.columns: dict[tuple, int] = {}
        self.column_table: list[int] = []
        self.column_name: list[str | None] = []
        self.statements: dict[str, int] = {}
        self.sql: list[str | None] = []
        self.kinds: dict[str, int] = {}
        self.kind_names: list[str] = []

    def table(self, name: Any) -> int:
        found = self.tables.get(tuple(name))
        if found is not None:
            return found
        parts = tuple(None if part is None else str(part) for part in (list(name) + [None] * 3)[:3])
        found = self.tables.get(parts)
        if found is None:
            found = self.tables[parts] = len(self.table_info)
            self.table_info.append({"parts": parts, "role": None, "group": None, "read": False,
                                    "written": False, "columns": [], "descriptions": {}})
        return found

    def column(self, table: int, name: str | None) -> int:
        key = (table, name)
        found = self.columns.get(key)
        if found is None:
            found = self.columns[key] = len(self.column_name)
            self.column_table.append(table)
            self.column_name.append(name)
            self.table_info[table]["columns"].append(found)
        return found

    def statement(self, name: Any, sql: Any) -> int:
        name = "" if name is None else str(name)
        found = self.statements.get(name)
        if found is None:
            found = self.statements[name] = len(self.sql)
            self.sql.append(sql if isinstance(sql, str) else None)
        elif self.sql[found] is None and isinstance(sql, str):
            self.sql[found] = sql
        return found

    def kind(self, edge_type: str, subtype: str) -> int:
        name = f"{edge_type}|{subtype}"
        found = self.kinds.get(name)
        if found is None:
            found = self.kinds[name] = len(self.kind_names)
            self.kind_names.append(name)
        return found


def _split(path: Any) -> tuple[list[Any], str | None]:
    parts = list(path)
    column = parts[3] if len(parts) > 3 else None
    return parts[:3], None if column is None else str(column)


def _read_edges(graph: "_Graph", edges: Iterable[dict[str, Any]],
                tables: Iterable[dict[str, Any]], direct_only: bool) -> tuple[Any, Any, Any, Any]:
    """The given tables and the edges put in ``graph``: the edges to a
    column (source, target, kind, statement), the influences on a whole
    (source, statement, table, kind), and what each statement writes into
    each table (a list of [statement, table, columns], and its index)."""
    for given in tables:
        index = graph.table(given["name"])
        info = graph.table_info[index]
        info["role"] = given.get("role")
        info["group"] = given.get("group")
        for name in given.get("columns") or ():
            graph.column(index, str(name))
        for name, text in (given.get("descriptions") or {}).items():
            if text:
                info["descriptions"][str(name)] = str(text)

    # Edges to a column, and influences on a whole (statement, table).
    plain: dict[tuple[int, int, int, int], None] = {}
    shared: dict[tuple[int, int, int, int], None] = {}
    writes: dict[tuple[int, int], dict[int, None]] = {}
    for edge in edges:
        if direct_only and edge["type"] != "DIRECT":
            continue
        source_name, source_column = _split(edge["source"])
        target_name, target_column = _split(edge["target"])
        source_table, target_table = graph.table(source_name), graph.table(target_name)
        graph.table_info[source_table]["read"] = True
        graph.table_info[target_table]["written"] = True
        source = graph.column(source_table, source_column)
        statement = graph.statement(edge.get("statement"), edge.get("sql"))
        kind = graph.kind(str(edge["type"]), str(edge.get("subtype") or ""))
        written = writes.setdefault((statement, target_table), {})
        if target_column is None and source_column is not None:
            shared[(source, statement, target_table, kind)] = None
            continue
        target = graph.column(target_table, target_column)
        written[target] = None
        plain[(source, target, kind, statement)] = None
    # An INDIRECT edge a statement draws to every column it writes into a
    # table is one influence on that table.
    fanned: dict[tuple[int, int, int, int], list[int]] = {}
    for source, target, kind, statement in plain:
        if graph.kind_names[kind].startswith("INDIRECT|"):
            fanned.setdefault((source, statement, graph.column_table[target], kind), []).append(target)
    for key, targets in fanned.items():
        source, statement, table, kind = key
        if len(targets) > 1 and len(targets) == len(writes[(statement, table)]):
            shared[key] = None
            for target in targets:
                del plain[(source, target, kind, statement)]
    write_index: dict[tuple[int, int], int] = {}
    write_list: list[list[Any]] = []
    for (statement, table), written in writes.items():
        if not written:
            written = {graph.column(table, None): None}
        write_index[(statement, table)] = len(write_list)
        write_list.append([statement, table, list(written)])
    return plain, shared, write_list, write_index


def _page_data(edges: Iterable[dict[str, Any]], title: str, tables: Iterable[dict[str, Any]],
               direct_only: bool) -> dict[str, Any]:
    graph = _Graph()
    plain, shared, write_list, write_index = _read_edges(graph, edges, tables, direct_only)

    # The table graph, laid out.
    count = len(graph.table_info)
    links: dict[tuple[int, int], int] = {}
    for source, target, kind, _ in plain:
        pair = (graph.column_table[source], graph.column_table[target])
        links[pair] = links.get(pair, 0) | (1 if graph.kind_names[kind].startswith("DIRECT|") else 0)
    for source, _, table, kind in shared:
        pair = (graph.column_table[source], table)
        links[pair] = links.get(pair, 0) | (1 if graph.kind_names[kind].startswith("DIRECT|") else 0)
    groups: dict[str, int] = {}
    group_of: list[int | None] = []
    for info in graph.table_info:
        group = info["group"] if info["group"] is not None else info["parts"][1]
        group_of.append(None if group is None else groups.setdefault(str(group), len(groups)))
        if info["role"] not in ROLES:
            info["role"] = ("intermediate" if info["read"] and info["written"] else
                            "target" if info["written"] else "source")
    pairs = [pair for pair in links if pair[0] != pair[1]]
    layout = layered_layout([NODE_WIDTH] * count, group_of, pairs)

    def rounded(values: Iterable[float]) -> list[float]:
        return [round(value, 1) for value in values]

    descriptions = {}
    for info in graph.table_info:
        for name, text in info["descriptions"].items():
            found = graph.columns.get((graph.tables[info["parts"]], name))
            if found is not None:
                descriptions[str(found)] = text
    # Boxes drop the catalog when every table shares one.
    catalogs = {info["parts"][0] for info in graph.table_info}
    shown = 1 if len(catalogs) == 1 else 0
    return {
        "title": title,
        "directOnly": direct_only,
        "roles": list(ROLES),
        "groups": list(groups),
        "tables": [[_joined(info["parts"]), info["parts"][2] or "", ROLES.index(info["role"]),
                    group_of[index], round(layout.x[index], 1), round(layout.y[index], 1),
                    layout.layer[index], _joined(info["parts"][shown:])]
                   for index, info in enumerate(graph.table_info)],
        "tableColumns": [info["columns"] for info in graph.table_info],
        "columnTable": graph.column_table,
        "columnName": graph.column_name,
        "descriptions": descriptions,
        "kinds": graph.kind_names,
        "statements": list(graph.statements),
        "sql": graph.sql,
        "edges": [value for key in plain for value in key],
        "writes": write_list,
        "influences": [value for source, statement, table, kind in shared
                       for value in (source, write_index[(statement, table)], kind)],
        "links": [[source, target, direct, rounded(points)]
                  for ((source, target), direct), points in zip(
                      ((pair, links[pair]) for pair in pairs), layout.points)],
        "bands": [[group, round(layout.layer_x[layer], 1), round(top, 1), round(bottom, 1)]
                  for group, layer, top, bottom in layout.bands],
        "size": [round(layout.width, 1), round(layout.height, 1)],
        "nodeWidth": NODE_WIDTH,
        "crossings": list(layout.crossings),
    }


def lineage_page(edges: Iterable[dict[str, Any]], *, title: str,
                 tables: Iterable[dict[str, Any]] = (), direct_only: bool = False) -> str:
    """The page of a lineage graph.

    ``edges``: dicts with "source" and "target" ([catalog, db, table,
    column], column None for a table-level edge, or on the target side for
    an influence on every column the statement writes), "type" (DIRECT or
    INDIRECT), "subtype", "statement" and optionally "sql" (the statement's
    text).  ``tables``: dicts with "name" ([catalog, db, table]), "role"
    (source, intermediate, target or query), "group" and optionally
    "columns" (in order) and "descriptions" (column -> text); tables not
    given come from the edges.  ``direct_only`` leaves INDIRECT edges out."""
    data = _page_data(edges, title, tables, direct_only)
    script = _script()
    digest = base64.b64encode(hashlib.sha256(script.encode("utf-8")).digest()).decode("ascii")
    from markupsafe import Markup

    return _environment().get_template("lineage.html.j2").render(
        title=valid_text(title), data=data, script=Markup(script), script_hash=f"sha256-{digest}")


def rows_edges(rows: Iterable[dict[str, Any]]) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    """Edges and tables of the page from flat statement rows (those of
    ``statement_rows``, "input" and "statement" first): a statement that
    writes no table is a query named ``input#statement``; every written
    table lists its columns in order; constants and unresolved sources draw
    no edge.  Each row may carry "sql"; a row whose "statement" is None
    names its statement by its "input" alone."""
    edges: list[dict[str, Any]] = []
    tables: dict[tuple, dict[str, Any]] = {}
    listed: dict[tuple, set[Any]] = {}  # each table's columns, looked up in constant time
    for row in rows:
        if row["type"] is None:  # a routine's row names its body: no column
            continue
        name = row["input"] if row["statement"] is None else f"{row['input']}#{row['statement']}"
        target = [row["target_catalog"], row["target_db"], row["target_table"]]
        role = None
        if not row["target_table"]:
            target, role = [None, None, name], "query"
        table = tables.setdefault(tuple(target), {"name": target, "role": role, "group": None,
                                                  "columns": []})
        _list_column(table, listed.setdefault(tuple(target), set()), row["column"])
        if row["type"] == "UNRESOLVED" or row["subtype"] == "CONSTANT" or not row["source_table"]:
            continue
        edges.append({"source": [row["source_catalog"], row["source_db"], row["source_table"],
                                 row["source_column"]],
                      "target": target + [row["column"]], "type": row["type"],
                      "subtype": row["subtype"], "statement": name, "sql": row.get("sql")})
    return edges, list(tables.values())


def described_tables(edges: Iterable[dict[str, Any]], tables: Iterable[dict[str, Any]],
                     described: Iterable[tuple]) -> list[dict[str, Any]]:
    """``tables`` with the descriptions of their columns, and an entry for
    each table an edge reads that has described columns: ``described``
    holds (unique id, (catalog, db, table), column, description, ...) as
    ``DbtProject.described`` gives them."""
    texts: dict[tuple, dict[str, str]] = {}
    for _, name, column, description, *_ in described:
        if description:
            texts.setdefault(tuple(name), {})[str(column)] = str(description)
    found = [dict(table) for table in tables]
    known = {tuple(table["name"]): table for table in found}
    for edge in edges:
        name = tuple(edge["source"][:3])
        if name not in known and name in texts:
            known[name] = {"name": list(name), "role": None, "group": None}
            found.append(known[name])
    for name, table in known.items():
        if name in texts:
            table["descriptions"] = {**texts[name], **(table.get("descriptions") or {})}
    return found


def _list_column(table: dict[str, Any], seen: set[Any], column: Any) -> None:
    """The column in the table's list once, in the order columns come."""
    if column not in seen:
        seen.add(column)
        table["columns"].append(column)


def project_edges(project: Any) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    """Edges and tables of the page of a dbt project (``dbt.project_lineage``):
    each model's own hop, named by the model's unique id, with its SQL, and
    the descriptions of the project's columns."""
    from qarvel_lineage.dbt import ModelError
    from qarvel_lineage.engine.result import statement_rows

    rows: list[dict[str, Any]] = []
    for unique_id, result in project.models.items():
        if isinstance(result, ModelError) or result.target is None:
            continue
        head = {"input": unique_id, "statement": None}
        rows.extend({**row, "sql": result.sql} for row in statement_rows(result, head))
    edges, tables = rows_edges(rows)
    return edges, described_tables(edges, tables, project.described())
