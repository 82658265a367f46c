"""A larger dbt project made of copies of a real one, for the benchmarks.

    python grow_dbt.py SOURCE_TARGET OUT_TARGET --copies N

Each copy is the whole project (its models, seeds, snapshots, tests,
sources and exposures) in a database of its own: copy k > 1 renames the
database ``db`` of every relation to ``db_k`` (in ``relation_name``, in the
compiled SQL where it is quoted, and in catalog.json), and every unique id
and node name gets the suffix ``__k``, so the copies are independent
projects side by side in one manifest.  Copy 1 is the project as it was.
The macros and the rest of the manifest are kept once.  What is written
is a target folder holding ``manifest.json`` and, when the source has one,
``catalog.json``.
"""

from __future__ import annotations

import argparse
import json
import os
from pathlib import Path
from typing import Any

_NODE_SECTIONS = ("nodes", "sources", "exposures")


def _renamed(unique_id: str, copy: int) -> str:
    return unique_id if copy == 1 else f"{unique_id}__{copy}"


def _database(name: str, copy: int) -> str:
    return name if copy == 1 else f"{name}_{copy}"


def _quoted_databases(manifest: dict[str, Any]) -> set[str]:
    found = set()
    for section in _NODE_SECTIONS:
        for node in (manifest.get(section) or {}).values():
            if isinstance(node.get("database"), str):
                found.add(node["database"])
    return found


def _node(node: dict[str, Any], copy: int, databases: set[str]) -> dict[str, Any]:
    """One node of copy ``copy``: its ids, name, database and SQL renamed."""
    if copy == 1:
        return node
    made = dict(node)
    made["unique_id"] = _renamed(node["unique_id"], copy)
    if isinstance(node.get("name"), str):
        made["name"] = f"{node['name']}__{copy}"
    if isinstance(node.get("database"), str):
        made["database"] = _database(node["database"], copy)
    depends = node.get("depends_on")
    if isinstance(depends, dict) and isinstance(depends.get("nodes"), list):
        made["depends_on"] = {**depends, "nodes": [_renamed(p, copy) for p in depends["nodes"]]}
    if isinstance(node.get("attached_node"), str):
        made["attached_node"] = _renamed(node["attached_node"], copy)
    for key in ("relation_name", "compiled_code", "compiled_sql"):
        text = node.get(key)
        if isinstance(text, str):
            for database in databases:
                text = text.replace(f'"{database}".', f'"{_database(database, copy)}".')
            made[key] = text
    return made


def grow(manifest: dict[str, Any], catalog: dict[str, Any] | None,
         copies: int) -> tuple[dict[str, Any], dict[str, Any] | None]:
    """The manifest (and catalog) of ``copies`` copies of the project."""
    databases = _quoted_databases(manifest)
    grown = dict(manifest)
    for section in _NODE_SECTIONS:
        nodes = manifest.get(section) or {}
        grown[section] = {_renamed(uid, copy): _node(node, copy, databases)
                          for copy in range(1, copies + 1) for uid, node in nodes.items()}
    for key in ("parent_map", "child_map"):
        links = manifest.get(key) or {}
        grown[key] = {_renamed(uid, copy): [_renamed(other, copy) for other in found]
                      for copy in range(1, copies + 1) for uid, found in links.items()}
    if catalog is None:
        return grown, None
    grown_catalog = dict(catalog)
    for section in ("nodes", "sources"):
        entries = catalog.get(section) or {}
        made = {}
        for copy in range(1, copies + 1):
            for uid, entry in entries.items():
                entry = dict(entry)
                metadata = dict(entry.get("metadata") or {})
                if isinstance(metadata.get("database"), str):
                    metadata["database"] = _database(metadata["database"], copy)
                entry["metadata"] = metadata
                entry["unique_id"] = _renamed(uid, copy)
                made[_renamed(uid, copy)] = entry
        grown_catalog[section] = made
    return grown, grown_catalog


def write(source: Path, out: Path, copies: int) -> Path:
    """``copies`` copies of the project at ``source`` (a target folder)
    written into the target folder ``out``; ``out``."""
    manifest = json.loads((source / "manifest.json").read_text(encoding="utf-8"))
    catalog_path = source / "catalog.json"
    catalog = json.loads(catalog_path.read_text(encoding="utf-8")) \
        if catalog_path.is_file() else None
    grown, grown_catalog = grow(manifest, catalog, copies)
    out.mkdir(parents=True, exist_ok=True)
    for name, data in (("manifest.json", grown), ("catalog.json", grown_catalog)):
        if data is None:
            continue
        temporary = out / f".{name}.tmp"
        temporary.write_text(json.dumps(data), encoding="utf-8")
        os.replace(temporary, out / name)
    return out


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("source", type=Path, help="the target folder of a compiled project")
    parser.add_argument("out", type=Path, help="the target folder to write")
    parser.add_argument("--copies", type=int, default=8)
    options = parser.parse_args()
    if options.copies < 1:
        parser.error("--copies must be 1 or more")
    write(options.source, options.out, options.copies)


if __name__ == "__main__":
    main()
