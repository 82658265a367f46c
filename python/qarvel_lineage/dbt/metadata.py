"""What a dbt project says of its columns and who reads its models: the
descriptions, types and tests of columns, exposures, and the macros that
read the warehouse while the project compiles."""

from __future__ import annotations

import re
from collections import deque
from dataclasses import dataclass
from typing import Any

from qarvel_lineage.dbt import read
from qarvel_lineage.engine.records import Source, Table
from qarvel_lineage.engine.rules import Rules
from qarvel_lineage.engine.script import TargetColumn

# What a macro or a model calls when it asks the warehouse during compilation.
_ASKS_WAREHOUSE = re.compile(r"\b(?:get_columns_in_relation|get_relation|get_relations_by_\w+|"
                             r"list_relations\w*|run_query|get_columns_in_query|"
                             r"get_column_values|get_filtered_columns_in_relation)\b")


@dataclass(frozen=True, slots=True)
class ColumnMeta:
    description: str = ""
    data_type: str = ""
    tests: tuple[str, ...] = ()


@dataclass(frozen=True, slots=True)
class Exposure:
    """An exposure (a dashboard, a notebook, an application): ``depends_on``
    the unique ids of the nodes it rests on, ``sources`` the source columns
    of every column of those (their end-to-end lineage)."""

    name: str
    type: str
    depends_on: tuple[str, ...]
    sources: tuple[Source, ...]


def calls_warehouse(text: str) -> bool:
    return bool(_ASKS_WAREHOUSE.search(text))


def introspective_macros(macros: Any) -> set[str]:
    """The unique ids of the macros that ask the warehouse, themselves or
    through the macros they call (walked without recursion, safe on cycles)."""
    if not isinstance(macros, dict):
        return set()
    callers: dict[str, list[str]] = {}
    found: set[str] = set()
    for unique_id, macro in macros.items():
        if not isinstance(macro, dict):
            continue
        if calls_warehouse(read.text_of(macro, "macro_sql")):
            found.add(unique_id)
        for called in read.macros_of(macro):
            callers.setdefault(called, []).append(unique_id)
    queue = deque(found)
    while queue:
        for caller in callers.get(queue.popleft(), ()):
            if caller not in found:
                found.add(caller)
                queue.append(caller)
    return found


def column_metadata(nodes: dict[str, dict[str, Any]], relations: dict[str, Table],
                    known: dict[Table, dict[str, str]], arts: read.Artefacts,
                    rules: Rules) -> dict[tuple[str, str], ColumnMeta]:
    """(unique id, column) -> its description, type and tests, for the
    nodes in ``relations``."""
    tests = _tests(nodes, rules)
    found: dict[tuple[str, str], ColumnMeta] = {}
    for unique_id, table in relations.items():
        node = nodes.get(unique_id)
        if node is None:
            continue
        described: dict[str, str] = {}
        for column in read.catalog_columns(unique_id, arts) or ():
            if isinstance(column.get("comment"), str) and column["comment"]:
                described[rules.normalise_stored(column["name"])] = column["comment"]
        declared_types: dict[str, str] = {}
        for name, entry in read.declared_columns(node, unique_id, arts).items():
            key = rules.normalise(name)
            if isinstance(entry.get("description"), str) and entry["description"]:
                described[key] = entry["description"]
            if isinstance(entry.get("data_type"), str):
                declared_types[key] = entry["data_type"]
        types = known.get(table, {})
        names = set(described) | set(declared_types) | set(types) | \
            {c for (uid, c) in tests if uid == unique_id}
        for name in names:
            found[(unique_id, name)] = ColumnMeta(
                described.get(name, ""), types.get(name) or declared_types.get(name, ""),
                tuple(tests.get((unique_id, name), ())))
    return found


def _tests(nodes: dict[str, dict[str, Any]], rules: Rules) -> dict[tuple[str, str], list[str]]:
    """(unique id of the tested node, column) -> the tests declared on it."""
    found: dict[tuple[str, str], list[str]] = {}
    for unique_id in sorted(nodes):
        node = nodes[unique_id]
        if node.get("resource_type") != "test":
            continue
        column = node.get("column_name")
        attached = node.get("attached_node")
        if not isinstance(column, str) or not column or not isinstance(attached, str):
            continue
        meta = node.get("test_metadata")
        name = read.text_of(meta, "name") if isinstance(meta, dict) else ""
        namespace = read.text_of(meta, "namespace") if isinstance(meta, dict) else ""
        name = f"{namespace}.{name}" if name and namespace else name or read.text_of(node, "name")
        tested = found.setdefault((attached, rules.normalise(column)), [])
        if name and name not in tested:
            tested.append(name)
    return found


def exposures_of(exposures: dict[str, dict[str, Any]], parents: dict[str, list[str]],
                 relations: dict[str, Table], by_table: dict[Table, list[TargetColumn]],
                 influences: dict[Table, tuple[Source, ...]]) -> dict[str, Exposure]:
    found: dict[str, Exposure] = {}
    for unique_id, exposure in exposures.items():
        sources: dict[Source, None] = {}
        for parent in parents.get(unique_id, ()):
            table = relations.get(parent)
            if table is None:
                continue
            for column in by_table.get(table, ()):
                sources.update(dict.fromkeys(column.direct))
                sources.update(dict.fromkeys(column.indirect))
            sources.update(dict.fromkeys(influences.get(table, ())))
        ordered = tuple(sorted(sources, key=lambda s: (s.qualified_table, s.column, s.type,
                                                       s.subtype)))
        found[unique_id] = Exposure(read.text_of(exposure, "name") or unique_id.rsplit(".", 1)[-1],
                                    read.text_of(exposure, "type"),
                                    tuple(parents.get(unique_id, ())), ordered)
    return found
