"""``--schema``: a JSON or YAML file (read by the command's one reader, a
YAML document refused before it is built when its aliases would make it too
large), or a live catalog (a DuckDB file or a SQLAlchemy URL)."""

from __future__ import annotations

import json
import os
import stat
from typing import Any

from qarvel_lineage.cli.errors import UsageError
from qarvel_lineage.cli.readers import InputFailed, read_text

__all__ = ["SCHEMA_MAX_NODES", "load_schema", "load_yaml"]

# The most nodes (keys, values and items, an alias counting each time it is
# used) a YAML schema may expand to.
SCHEMA_MAX_NODES = 2_000_000


class _SchemaRefused(Exception):
    """A YAML schema whose aliases would make it too large, or endless."""


def _yaml_children(node: Any) -> list:
    value = node.value
    if isinstance(value, list):
        # A mapping's value is a list of (key, value) pairs, a sequence's a list of nodes.
        return [part for entry in value for part in (entry if isinstance(entry, tuple) else (entry,))]
    return []


def _check_expansion(root: Any, limit: int) -> None:
    """Counts the nodes ``root`` stands for once every alias is replaced by
    what it names, without replacing any: each node's count is worked out
    once, from its children's.  Stops at the first count past ``limit``, and
    at an alias inside the node it names (an endless document)."""
    sizes: dict[int, int] = {}
    on_path: set[int] = set()
    stack: list[tuple[Any, bool]] = [(root, False)]
    while stack:
        node, children_counted = stack.pop()
        key = id(node)
        if children_counted:
            on_path.discard(key)
            size = 1 + sum(sizes[id(child)] for child in _yaml_children(node))
            if size > limit:
                raise _SchemaRefused(f"expands to more than {limit} YAML nodes (an alias counts "
                                     "each time it is used); refused")
            sizes[key] = size
            continue
        if key in sizes:
            continue
        if key in on_path:
            raise _SchemaRefused("has an alias inside the node it names, which never ends; refused")
        on_path.add(key)
        stack.append((node, True))
        stack.extend((child, False) for child in _yaml_children(node) if id(child) not in sizes)


def load_yaml(text: str, limit: int | None = None) -> Any:
    """A YAML document as plain data (safe tags only), refused before it is
    built when its aliases expand it past ``limit`` nodes (default:
    SCHEMA_MAX_NODES)."""
    import yaml

    limit = SCHEMA_MAX_NODES if limit is None else limit
    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)(text)
    try:
        node = loader.get_single_node()
        if node is None:
            return None
        _check_expansion(node, limit)
        return loader.construct_document(node)
    finally:
        loader.dispose()


def _is_database(name: str) -> bool:
    """A SQLAlchemy URL, or a DuckDB file (its header says so; only a
    regular file is looked into, a pipe is read once, as a schema file)."""
    if "://" in name:
        return True
    try:
        if not stat.S_ISREG(os.stat(name).st_mode):
            return False
        with open(name, "rb") as handle:
            return handle.read(12)[8:12] == b"DUCK"
    except OSError:
        return False


def _from_file(path: str, dialect: str | None, encoding: str, limit: int,
               max_nodes: int | None) -> Any:
    from qarvel_lineage.engine.rules import Schema

    try:
        text = read_text(path, encoding, limit)
    except (OSError, UnicodeDecodeError, InputFailed) as error:
        why = getattr(error, "strerror", None) or str(error).splitlines()[0]
        raise UsageError(f"cannot read schema file {path}: {why}") from None
    is_yaml = path.lower().endswith((".yaml", ".yml"))
    try:
        data = load_yaml(text, max_nodes) if is_yaml else json.loads(text)
    except _SchemaRefused as error:
        raise UsageError(f"schema file {path} {error}") from None
    except Exception as error:
        first = str(error).splitlines()[0] if str(error) else type(error).__name__
        raise UsageError(f"schema file {path} is not valid {'YAML' if is_yaml else 'JSON'}: "
                         f"{first}") from None
    if data is None:
        return None
    try:
        return Schema(data, dialect)
    except (TypeError, ValueError) as error:
        raise UsageError(f"schema file {path}: {error}") from None


def load_schema(option: str | None, dialect: str | None, encoding: str, limit: int,
                max_nodes: int | None, progress: bool) -> tuple[Any, str | None]:
    """(the schema ``--schema`` names, the dialect to use): a live catalog's
    dialect is the default one."""
    if option is None:
        return None, dialect
    if not _is_database(option):
        return _from_file(option, dialect, encoding, limit, max_nodes), dialect
    from qarvel_lineage.catalog.database import CatalogError
    from qarvel_lineage.engine.rules import Schema

    try:
        schema = Schema.from_database(option, dialect=dialect, progress=progress)
    except CatalogError as error:
        raise UsageError(str(error)) from None  # the URL's password is not in it
    return schema, dialect if dialect is not None else schema.rules.name
