"""Reading a dbt project's artefacts as data from strangers.

manifest.json and catalog.json are read whole (they are regular files the
user named); a seed's CSV is read only inside the project's root (the
folder named, when it holds dbt_project.yml), only when
it is a regular file, and only as far as its header.  A node whose fields
have the wrong shape costs one line in ``problems`` (the file, the node,
what is wrong); the rest of the project is read all the same.
"""

from __future__ import annotations

import csv
import io
import json
import os
import stat
from dataclasses import dataclass, field
from typing import Any

# A seed's header is looked for in its first bytes only.
SEED_HEADER_BYTES = 1 << 20


@dataclass
class Artefacts:
    """The manifest and catalog of a project, and what was wrong in them."""

    manifest_path: str
    catalog_path: str | None
    # The project's own folder (holding dbt_project.yml) when the user named
    # it, or named a manifest beside it; None: no seed's CSV is read.
    root: str | None
    manifest: dict[str, Any]
    catalog: dict[str, Any]
    problems: list[str] = field(default_factory=list)
    # Seeds whose path leads out of the root through a link, by package.
    linked_out: dict[str, list[tuple[str, str]]] = field(default_factory=dict)
    # Each node's catalog columns, once read.
    catalog_read: dict[str, list[dict[str, Any]] | None] = field(default_factory=dict)
    # Seeds whose CSV was not read: the project's folder was not named.
    seeds_unread: int = 0

    def problem(self, path: str | None, unique_id: str, what: str) -> None:
        name = os.path.basename(path) if path else "manifest.json"
        self.problems.append(f"{name}: {_one_line(unique_id)}: {what}")

    def warnings(self) -> list[str]:
        """The problems, sorted; seeds a link leads out of the root are one
        line per package (a package installed as a link to a folder
        elsewhere has many)."""
        lines = set(self.problems)
        for package, seeds in self.linked_out.items():
            if len(seeds) == 1:
                unique_id, relative = seeds[0]
                lines.add(f"manifest.json: {_one_line(unique_id)}: {relative!r} leads outside "
                          "the project; the seed's CSV is not read")
            else:
                lines.add(f"manifest.json: {len(seeds)} seeds of package {package!r} lead "
                          "outside the project through a link; their CSVs are not read")
        if self.seeds_unread:
            which = "1 seed's CSV is" if self.seeds_unread == 1 \
                else f"{self.seeds_unread} seeds' CSVs are"
            lines.add(f"manifest.json: {which} not read: name the project's folder (the one "
                      "holding dbt_project.yml) to have seed headers read")
        return sorted(lines)


def _one_line(text: object) -> str:
    return " ".join(str(text).split())


def locate(path: Any) -> tuple[str, str | None, str | None]:
    """(manifest.json, catalog.json or None, the project's root or None) of
    a project folder, its target folder or the manifest itself.  Nothing
    above what the user named is ever read: the root is the folder named
    (or the manifest's own folder) when it holds the project's own file,
    dbt_project.yml; a target folder or a manifest named alone has none,
    and no seed's CSV is read for it."""
    path = os.fspath(path)
    if not isinstance(path, str):
        raise TypeError("path must be a str or a path")
    if os.path.isdir(path):
        for target in (os.path.join(path, "target"), path):
            if os.path.isfile(os.path.join(target, "manifest.json")):
                break
        else:
            raise FileNotFoundError(
                f"no manifest.json in {path} or {os.path.join(path, 'target')}: compile the "
                "project first (dbt compile, dbt build or dbt docs generate)")
        manifest = os.path.join(target, "manifest.json")
        named = path
    elif os.path.isfile(path):
        manifest = path
        named = os.path.dirname(path) or "."
    elif os.path.exists(path):
        raise ValueError(f"{path} is not a regular file")
    else:
        raise FileNotFoundError(f"no dbt project, target folder or manifest at {path}")
    folder = os.path.dirname(os.path.abspath(manifest))
    catalog = os.path.join(folder, "catalog.json")
    if os.path.lexists(catalog) and not os.path.isfile(catalog):
        raise ValueError(f"{catalog} is not a regular file")
    root = os.path.abspath(named) if os.path.isfile(os.path.join(named, "dbt_project.yml")) \
        else None
    return manifest, catalog if os.path.isfile(catalog) else None, root


def open_regular(path: str) -> int:
    """A descriptor of ``path`` for reading, refused unless it is a regular
    file (a FIFO or a device is never waited on: it is opened non-blocking
    and refused before anything is read)."""
    descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0)
                         | getattr(os, "O_CLOEXEC", 0))
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise ValueError(f"{path} is not a regular file")
        if hasattr(os, "set_blocking"):
            os.set_blocking(descriptor, True)
    except BaseException:
        os.close(descriptor)
        raise
    return descriptor


def load_json(path: str, what: str) -> dict[str, Any]:
    with os.fdopen(open_regular(path), "rb") as handle:
        data = handle.read()
    try:
        # Decoded as json.loads decodes bytes, the bytes let go before the
        # text is parsed: the two are never held with the parsed objects.
        text = data.decode(json.detect_encoding(data), "surrogatepass")
        del data
        loaded = json.loads(text)
    except (json.JSONDecodeError, UnicodeDecodeError) as error:
        raise ValueError(f"{path} is not valid JSON ({what}): {_one_line(error)}") from None
    if not isinstance(loaded, dict):
        raise ValueError(f"{path} is not a dbt {what}")
    return loaded


def read(path: Any) -> Artefacts:
    manifest_path, catalog_path, root = locate(path)
    manifest = load_json(manifest_path, "manifest")
    catalog = load_json(catalog_path, "catalog") if catalog_path else {}
    arts = Artefacts(manifest_path, catalog_path, root, manifest, catalog)
    for key in ("nodes", "sources"):
        mapping_of(catalog, key, arts, catalog_path, key)  # a line when it is not a mapping
    return arts


def mapping_of(data: dict[str, Any], key: str, arts: Artefacts, path: str | None,
               where: str) -> dict[str, Any]:
    """``data[key]`` when it is a mapping (or absent: empty); otherwise a
    problem line and empty."""
    value = data.get(key)
    if value is None:
        return {}
    if isinstance(value, dict):
        return value
    arts.problem(path, where, f"{key} is a {type(value).__name__}, not a mapping; it is ignored")
    return {}


def nodes_of(arts: Artefacts, key: str) -> dict[str, dict[str, Any]]:
    """The manifest's nodes (or sources, exposures): those that are mappings."""
    found: dict[str, dict[str, Any]] = {}
    for unique_id, node in mapping_of(arts.manifest, key, arts, arts.manifest_path, key).items():
        if isinstance(node, dict):
            found[unique_id] = node
        else:
            arts.problem(arts.manifest_path, unique_id,
                         f"the node is a {type(node).__name__}, not a mapping; it is ignored")
    return found


def parents(node: dict[str, Any], unique_id: str, arts: Artefacts) -> list[str]:
    """The unique ids a node depends on (depends_on.nodes; when that is
    malformed, the manifest's parent_map, which dbt writes alongside)."""
    depends = node.get("depends_on")
    if depends is None:
        return []
    found = depends.get("nodes", []) if isinstance(depends, dict) else None
    if isinstance(found, list) and _ids(found):
        return found
    what = (f"depends_on is a {type(depends).__name__}, not a mapping" if not isinstance(depends, dict)
            else "depends_on.nodes is not a list of unique ids")
    mapped = arts.manifest.get("parent_map")
    fallback = mapped.get(unique_id) if isinstance(mapped, dict) else None
    if isinstance(fallback, list) and _ids(fallback):
        arts.problem(arts.manifest_path, unique_id, f"{what}; parent_map is read instead")
        return fallback
    arts.problem(arts.manifest_path, unique_id, f"{what}; it is ignored")
    return []


def _ids(value: Any) -> bool:
    return isinstance(value, list) and all(isinstance(p, str) for p in value)


def macros_of(node: dict[str, Any]) -> list[str]:
    depends = node.get("depends_on")
    found = depends.get("macros") if isinstance(depends, dict) else None
    return [m for m in found if isinstance(m, str)] if isinstance(found, list) else []


def text_of(node: dict[str, Any], key: str) -> str:
    value = node.get(key)
    return value if isinstance(value, str) else ""


# --- columns ---------------------------------------------------------------------------

def declared_columns(node: dict[str, Any], unique_id: str,
                     arts: Artefacts) -> dict[str, dict[str, Any]]:
    """The columns the YAML declares (name -> its entry), as the manifest
    keeps them: a mapping of mappings."""
    columns = node.get("columns")
    if columns is None or columns == {}:
        return {}
    if not isinstance(columns, dict):
        arts.problem(arts.manifest_path, unique_id,
                     f"columns is a {type(columns).__name__}, not a mapping of columns; "
                     "the declarations are ignored")
        return {}
    found: dict[str, dict[str, Any]] = {}
    for key, entry in columns.items():
        if not isinstance(entry, dict):
            arts.problem(arts.manifest_path, unique_id,
                         f"column {key!r} is a {type(entry).__name__}, not a mapping; "
                         "the declarations are ignored")
            return {}
        name = entry.get("name", key)
        if not isinstance(name, str) or not name:
            arts.problem(arts.manifest_path, unique_id,
                         f"column {key!r} has no name; the declarations are ignored")
            return {}
        found[name] = entry
    return found


def catalog_columns(unique_id: str, arts: Artefacts) -> list[dict[str, Any]] | None:
    """The warehouse's columns of a node (catalog.json), in their order;
    None when the catalog has none or its entry is malformed (one problem
    line: the node's columns then come from elsewhere).  Read once."""
    if unique_id not in arts.catalog_read:
        arts.catalog_read[unique_id] = _catalog_columns(unique_id, arts)
    return arts.catalog_read[unique_id]


def _catalog_columns(unique_id: str, arts: Artefacts) -> list[dict[str, Any]] | None:
    path = arts.catalog_path
    entry = None
    for key in ("nodes", "sources"):
        section = arts.catalog.get(key)
        if isinstance(section, dict) and unique_id in section:
            entry = section[unique_id]
            break
    if entry is None:
        return None
    if not isinstance(entry, dict):
        arts.problem(path, unique_id, f"the entry is a {type(entry).__name__}, not a mapping; "
                                      "it is ignored")
        return None
    columns = entry.get("columns")
    if not columns:
        return None
    if not isinstance(columns, dict):
        arts.problem(path, unique_id, f"columns is a {type(columns).__name__}, not a mapping; "
                                      "the entry is ignored")
        return None
    found = []
    for key, column in columns.items():
        if not isinstance(column, dict) or not isinstance(column.get("name"), str) \
                or not column["name"]:
            arts.problem(path, unique_id, f"column {key!r} has no name; the entry is ignored")
            return None
        index = column.get("index")
        if index is not None and (not isinstance(index, int) or isinstance(index, bool)):
            arts.problem(path, unique_id, f"column {key!r} has an index that is not an "
                                          f"integer ({type(index).__name__}); the entry is ignored")
            return None
        found.append(column)
    # Sorted by index (a column without one last), stable otherwise.
    return sorted(found, key=lambda c: (c.get("index") is None, c.get("index") or 0))


# --- seeds -----------------------------------------------------------------------------

def seed_header(node: dict[str, Any], unique_id: str, arts: Artefacts) -> list[str] | None:
    """The header of a seed's CSV, read inside the project's root only (the
    root project's seeds, or a package's under dbt_packages/): None, with
    one problem line, when the file is outside, not a regular file, or
    unreadable."""
    relative = node.get("original_file_path")
    if not isinstance(relative, str) or not relative:
        return None
    if arts.root is None:
        arts.seeds_unread += 1
        return None
    parts = relative.replace("\\", "/").split("/")
    if os.path.isabs(relative) or relative.startswith(("/", "\\")) or ".." in parts \
            or (len(relative) > 1 and relative[1] == ":"):
        arts.problem(arts.manifest_path, unique_id,
                     f"original_file_path {relative!r} is outside the project; the seed's CSV "
                     "is not read")
        return None
    root = os.path.realpath(arts.root)
    project = (arts.manifest.get("metadata") or {}).get("project_name") \
        if isinstance(arts.manifest.get("metadata"), dict) else None
    package = node.get("package_name")
    bases = [root]
    if isinstance(package, str) and package and package != project and "/" not in package \
            and package not in (".", ".."):
        bases = [os.path.join(root, "dbt_packages", package), root]
    for base in bases:
        path = os.path.realpath(os.path.join(base, *parts))
        if os.path.commonpath([root, path]) != root:
            arts.linked_out.setdefault(package if isinstance(package, str) else "",
                                       []).append((unique_id, relative))
            return None
        if os.path.lexists(path):
            return _header(path, relative, unique_id, arts)
    return None


def _header(path: str, relative: str, unique_id: str, arts: Artefacts) -> list[str] | None:
    try:
        with os.fdopen(open_regular(path), "rb") as handle:
            head = handle.read(SEED_HEADER_BYTES)
    except (OSError, ValueError) as error:
        what = "is not a regular file" if isinstance(error, ValueError) \
            else f"cannot be read ({error.strerror or type(error).__name__})"
        arts.problem(arts.manifest_path, unique_id, f"the seed's CSV {relative!r} {what}; "
                                                    "its header is not read")
        return None
    text = head.decode("utf-8-sig", errors="replace")
    try:
        row = next(csv.reader(io.StringIO(text, newline="")), [])
    except csv.Error as error:
        arts.problem(arts.manifest_path, unique_id, f"the seed's CSV {relative!r} has no "
                                                    f"readable header ({_one_line(error)})")
        return None
    names = [name.strip() for name in row if name.strip()]
    complete = "\n" in text or "\r" in text or len(head) < SEED_HEADER_BYTES
    if not complete:
        arts.problem(arts.manifest_path, unique_id, f"the seed's CSV {relative!r} has no header "
                                                    f"in its first {SEED_HEADER_BYTES} bytes")
        return None
    return names
