"""dbt's node selection syntax, over a manifest's graph.

A selection is one or more strings; each holds items separated by spaces
(their union), an item criteria separated by commas (their intersection).
A criterion is ``[@][N+][method:]value[+N]``: ``+`` before adds the
node's ancestors (at most N hops), after its descendants, ``@`` its
descendants and every ancestor of those.  Methods: fqn (the default),
tag, path, file, package, config.KEY, resource_type, source, exposure;
a value holding "/" is a path, one ending in .sql, .py or .csv a file.
Exclusion is computed the same way and taken from the selection.
"""

from __future__ import annotations

import re
from collections import deque
from dataclasses import dataclass
from fnmatch import fnmatchcase
from pathlib import PurePosixPath
from typing import Any, Iterable

_CRITERION = re.compile(r"(?P<at>@)?(?:(?P<up>\d*)\+)?(?:(?P<method>[\w.]+):)?"
                        r"(?P<value>.*?)(?:\+(?P<down>\d*))?")
METHODS = ("fqn", "tag", "path", "file", "package", "config", "resource_type", "source",
           "exposure", "state")


@dataclass(frozen=True, slots=True)
class Criterion:
    method: str
    key: str          # config.KEY's key ("materialized"), else ""
    value: str
    up: int | None    # hops of ancestors (-1: every one), None: none
    down: int | None  # hops of descendants, the same
    at: bool
    text: str = ""    # the item as given ("+pmpm_payer"), for messages
    what: str = ""    # "select" or "exclude"


def parse_selection(selection: Any, what: str) -> list[list[Criterion]] | None:
    """The union of intersections a selection names; None for no selection."""
    if selection is None:
        return None
    if isinstance(selection, str):
        texts = [selection]
    else:
        try:
            texts = list(selection)
        except TypeError:
            raise TypeError(f"{what} must be a str or a sequence of str, not "
                            f"{type(selection).__name__}") from None
    union: list[list[Criterion]] = []
    for text in texts:
        if not isinstance(text, str):
            raise TypeError(f"{what} must be a str or a sequence of str, not a sequence "
                            f"holding {type(text).__name__}")
        for item in text.split():
            union.append([_criterion(part, item, what) for part in item.split(",")])
    if not union:
        raise ValueError(f"{what} selects nothing: give one or more selectors (model+, tag:x, ...)")
    return union


def _criterion(text: str, item: str, what: str) -> Criterion:
    shown = " ".join(repr(item).split())
    if not text:
        raise ValueError(f"{what} {shown}: an empty criterion around a comma")
    found = _CRITERION.fullmatch(text)
    if found is None or not found["value"]:
        raise ValueError(f"{what} {shown}: {text!r} is not a selector "
                         "([@][N+][method:]value[+N])")
    method = found["method"]
    value = found["value"]
    key = ""
    if method is None:
        method = "path" if "/" in value or "\\" in value else \
            "file" if value.lower().endswith((".sql", ".py", ".csv")) else "fqn"
    elif method.startswith("config."):
        method, key = "config", method[len("config."):]
    if method == "config" and not key:
        raise ValueError(f"{what} {shown}: config. needs a key (config.KEY:value, "
                         "e.g. config.materialized:view)")
    if method not in METHODS:
        raise ValueError(f"{what} {shown}: unknown selection method {method!r} (methods: "
                         f"{', '.join(m if m != 'config' else 'config.KEY' for m in METHODS)})")
    if found["at"] and found["up"] is not None:
        raise ValueError(f"{what} {shown}: '@' and a leading '+' cannot be combined")

    def hops(depth: str | None) -> int | None:
        return None if depth is None else -1 if depth == "" else int(depth)

    return Criterion(method, key, value, hops(found["up"]), hops(found["down"]),
                     bool(found["at"]), text, what)


class NodeGraph:
    """Every node of a manifest (nodes, sources, exposures) and its edges."""

    def __init__(self, nodes: dict[str, dict[str, Any]], parents: dict[str, list[str]],
                 project: str | None, states: dict[str, frozenset[str]] | None = None):
        self.nodes = nodes
        self.project = project
        self.states = states
        # One line for each criterion that matched no node, or that matched
        # a model only by its relation's name.
        self.notes: list[str] = []
        self.parents: dict[str, list[str]] = {}
        self.children: dict[str, list[str]] = {uid: [] for uid in nodes}
        for uid, ups in parents.items():
            known = [p for p in ups if p in nodes]
            self.parents[uid] = known
            for parent in known:
                self.children[parent].append(uid)

    def select(self, select: list[list[Criterion]] | None,
               exclude: list[list[Criterion]] | None) -> frozenset[str]:
        chosen = set(self.nodes) if select is None else self._union(select)
        if exclude is not None:
            chosen -= self._union(exclude)
        return frozenset(chosen)

    def ancestors(self, start: Iterable[str]) -> set[str]:
        """Every node the ``start`` nodes read, at any distance."""
        return self._walk(start, self.parents, -1)

    def _union(self, union: list[list[Criterion]]) -> set[str]:
        found: set[str] = set()
        for intersection in union:
            part: set[str] | None = None
            for criterion in intersection:
                matched = self._grown(criterion)
                part = matched if part is None else part & matched
            found |= part or set()
        return found

    def _grown(self, criterion: Criterion) -> set[str]:
        if criterion.method == "state":
            seeds = self._state(criterion.value)
        else:
            seeds = {uid for uid, node in self.nodes.items() if self._matches(criterion, uid, node)}
            if not seeds and criterion.method == "fqn":
                seeds = self._by_relation(criterion)
            elif not seeds:
                self.notes.append(f"{criterion.what} {criterion.text!r} matches no node")
        found = set(seeds)
        if criterion.up is not None:
            found |= self._walk(seeds, self.parents, criterion.up)
        if criterion.down is not None or criterion.at:
            below = self._walk(seeds, self.children,
                               criterion.down if criterion.down is not None else -1)
            found |= below
            if criterion.at:
                found |= self._walk(below | seeds, self.parents, -1)
        return found

    def _state(self, value: str) -> set[str]:
        """state:VALUE: the nodes a comparison with other artefacts found so."""
        if self.states is None:
            raise ValueError(f"state:{value} compares with other artefacts: give them with "
                             "sqlglot-main diff --state PATH")
        if value not in self.states:
            raise ValueError(f"state:{value}: unknown state (states: {', '.join(self.states)})")
        return {uid for uid in self.states[value] if uid in self.nodes}

    def _by_relation(self, criterion: Criterion) -> set[str]:
        """The one node whose relation ends with the parts the value names
        (``schema.alias``, or ``alias``) when no node has that name: a
        table's name where dbt wants the node's; else nothing, said once."""
        wanted = [part.casefold() for part in criterion.value.split(".")]
        found = [uid for uid, node in self.nodes.items()
                 if _relation_parts(node.get("relation_name"))[-len(wanted):] == wanted]
        if len(found) == 1:
            self.notes.append(f"{criterion.what} {criterion.text!r} names no node; taken as the "
                              f"relation of {found[0]}")
            return set(found)
        which = f" (its relation's name fits {len(found)} nodes)" if found else ""
        self.notes.append(f"{criterion.what} {criterion.text!r} matches no node{which}")
        return set()

    @staticmethod
    def _walk(start: Iterable[str], edges: dict[str, list[str]], depth: int) -> set[str]:
        """Every node reached from ``start`` within ``depth`` hops (-1: any)."""
        seen: set[str] = set()
        queue = deque((uid, 0) for uid in start)
        while queue:
            uid, hops = queue.popleft()
            if depth != -1 and hops >= depth:
                continue
            for nxt in edges.get(uid, ()):
                if nxt not in seen:
                    seen.add(nxt)
                    queue.append((nxt, hops + 1))
        return seen

    def _matches(self, criterion: Criterion, uid: str, node: dict[str, Any]) -> bool:
        value = criterion.value
        method = criterion.method
        kind = node.get("resource_type") or uid.split(".")[0]
        if method == "resource_type":
            return kind == value
        if method == "package":
            wanted = self.project if value == "this" and self.project else value
            return fnmatchcase(_text(node.get("package_name")), wanted)
        if method == "tag":
            return any(fnmatchcase(tag, value) for tag in _tags(node))
        if method == "config":
            return _config_matches(node.get("config"), criterion.key, value)
        if method == "path":
            return _path_matches(_text(node.get("original_file_path")), value)
        if method == "file":
            path = PurePosixPath(_text(node.get("original_file_path")).replace("\\", "/"))
            return bool(path.name) and (fnmatchcase(path.name, value) or fnmatchcase(path.stem, value))
        if method == "source":
            return kind == "source" and _dotted_matches(
                [_text(node.get("package_name")), _text(node.get("source_name")),
                 _text(node.get("name"))], value)
        if method == "exposure":
            return kind == "exposure" and _dotted_matches(
                [_text(node.get("package_name")), _text(node.get("name"))], value)
        # fqn: a node's name, or a prefix of its fully qualified name (with or
        # without its package), '*' matching any part.
        if kind in ("source", "exposure"):
            return False
        fqn = node.get("fqn")
        if not isinstance(fqn, list) or not all(isinstance(p, str) for p in fqn) or not fqn:
            return False
        return _fqn_matches(fqn, value) or _fqn_matches(fqn[1:], value)


def _text(value: Any) -> str:
    return value if isinstance(value, str) else ""


def _tags(node: dict[str, Any]) -> list[str]:
    tags = node.get("tags")
    return [t for t in tags if isinstance(t, str)] if isinstance(tags, list) else []


_RELATION_PART = re.compile(r'"((?:[^"]|"")*)"|`([^`]*)`|\[([^\]]*)\]|([^."`\[]+)')


def _relation_parts(name: Any) -> list[str]:
    """A relation name's parts (quotes taken off), folded: '"db"."s"."t"' is
    ["db", "s", "t"]."""
    if not isinstance(name, str):
        return []
    parts = []
    for found in _RELATION_PART.finditer(name):
        quoted, ticked, bracketed, bare = found.groups()
        part = quoted.replace('""', '"') if quoted is not None else ticked if ticked is not None \
            else bracketed if bracketed is not None else bare.strip()
        parts.append(part.casefold())
    return parts


def _config_matches(config: Any, key: str, value: str) -> bool:
    for part in key.split("."):
        if not isinstance(config, dict) or part not in config:
            return False
        config = config[part]
    if isinstance(config, list):
        return any(str(v) == value for v in config)
    if isinstance(config, bool):
        return str(config).lower() == value.lower()
    return config is not None and str(config) == value


def _path_matches(path: str, selector: str) -> bool:
    """The node's file, or a folder holding it, matches the glob."""
    if not path:
        return False
    wanted = selector.replace("\\", "/").rstrip("/")
    if wanted.startswith("./"):
        wanted = wanted[2:]
    parts = PurePosixPath(path.replace("\\", "/")).parts
    for end in range(1, len(parts) + 1):
        if PurePosixPath(*parts[:end]).full_match(wanted):
            return True
    return False


def _fqn_matches(fqn: list[str], selector: str) -> bool:
    if not fqn:
        return False
    if fqn[-1] == selector:
        return True
    flat = [piece for part in fqn for piece in part.split(".")]
    wanted = selector.split(".")
    if len(wanted) > len(flat):
        return False
    return all(fnmatchcase(have, want) for have, want in zip(flat, wanted))


def _dotted_matches(names: list[str], selector: str) -> bool:
    """source:SOURCE[.TABLE] or PACKAGE.SOURCE.TABLE; exposure:NAME or
    PACKAGE.NAME: the parts name the node from its package down, the last
    ones optional for a source ('*' matches any)."""
    wanted = selector.split(".")
    if len(wanted) > len(names):
        return False
    if len(names) == 3 and len(wanted) < 3:
        names = names[1:]  # a source is named without its package
    elif len(names) == 2 and len(wanted) == 1:
        names = names[1:]  # an exposure too
    return all(fnmatchcase(have, want) for have, want in zip(names, wanted))
