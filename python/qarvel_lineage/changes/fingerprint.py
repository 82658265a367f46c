"""What each output column of a query is computed from, and what decides
which rows the query gives, as fingerprints that two versions of the query
can be compared by.

The query is parsed and its columns resolved with the columns of the
relations it reads (sqlglot's ``qualify``): every column reference becomes
the relation column or the derived column it names, so table aliases,
whitespace, comments, the case of keywords and identifiers, and the alias
of an output column leave the fingerprints as they were.  Scopes are taken
innermost first (CTEs, derived tables, sub-queries, the branches of a
UNION), each replaced in its parent by the fingerprint of what it gives:

- a column's fingerprint is its expression with each column reference
  replaced by the fingerprint of the column it reads (a relation's column:
  the relation's identity and the column's name);
- a scope's rows fingerprint is the query without its select list: FROM
  and each JOIN (the sources by their own rows fingerprint), WHERE, GROUP
  BY, HAVING, QUALIFY, DISTINCT, LIMIT / OFFSET with the ORDER BY they
  follow, and for a set operation its kind and branches.

Nothing here recurses on the query: sqlglot's own walks are iterative.
"""

from __future__ import annotations

import hashlib
from typing import Any, Callable, NamedTuple

from sqlglot import exp
from sqlglot.optimizer.qualify import qualify
from sqlglot.optimizer.scope import Scope, traverse_scope
from sqlglot.schema import MappingSchema

from qarvel_lineage.graph.names import shown

__all__ = ["Prints", "Resolver", "prints_of", "normalised_sql"]

# A relation the query names -> (its identity on both sides, its columns or None).
Resolver = Callable[[exp.Table], "tuple[str, list[str] | None] | None"]

_SET_OPERATION = getattr(exp, "SetOperation", exp.Union)
_NOT_ROWS = ("with", "with_", "windows")
_BOUNDS = ("limit", "offset", "fetch")


class Prints(NamedTuple):
    """A query's fingerprints: ``columns`` (name, fingerprint) in output
    order, ``rows`` what decides its rows, ``texts`` each output column's
    expression as the query writes it, ``resolved`` whether the columns
    were resolved with the schema (else matched as written)."""

    columns: tuple[tuple[str, str], ...]
    rows: str
    texts: tuple[str, ...]
    resolved: bool


def _hash(*parts: str) -> str:
    return hashlib.blake2b("\x1f".join(parts).encode("utf-8", "surrogatepass"),
                           digest_size=10).hexdigest()


def query_of(tree: exp.Expression) -> exp.Expression | None:
    """The query a statement runs: itself, or what an INSERT or a CREATE
    ... AS writes."""
    if isinstance(tree, (exp.Insert, exp.Create)):
        tree = tree.expression
    return tree if isinstance(tree, exp.Query) else None


def normalised_sql(tree: exp.Expression, dialect: str | None) -> str:
    """A statement as sqlglot writes it back: no comments, one spacing,
    keywords in one case."""
    return tree.sql(dialect=dialect, comments=False)


def _schema(query: exp.Expression, resolve: Resolver, dialect: str | None
            ) -> MappingSchema | None:
    """The columns of the relations the query names, nested as the query
    names them (the most common depth; relations named otherwise are left
    out)."""
    by_depth: dict[int, dict[tuple[str, ...], list[str]]] = {}
    for table in query.find_all(exp.Table):
        found = resolve(table)
        if found is None or found[1] is None:
            continue
        parts = tuple(p for p in (table.catalog, table.db, table.name) if p)
        by_depth.setdefault(len(parts), {})[parts] = found[1]
    if not by_depth:
        return None
    depth = max(by_depth, key=lambda d: (len(by_depth[d]), d))
    mapping: dict[str, Any] = {}
    for parts, columns in by_depth[depth].items():
        level = mapping
        for part in parts[:-1]:
            level = level.setdefault(part, {})
        level[parts[-1]] = {name: "UNKNOWN" for name in columns}
    try:
        return MappingSchema(mapping, dialect=dialect)
    except Exception:
        return None


class _Printer:
    """The fingerprints of one query's scopes, innermost first."""

    def __init__(self, resolve: Resolver, dialect: str | None,
                 renamed: dict[tuple[str, str], str]):
        self.resolve = resolve
        self.dialect = dialect
        self.renamed = renamed
        # id(scope) -> (columns by name, columns in order, rows)
        self.done: dict[int, tuple[dict[str, str], list[tuple[str, str]], str]] = {}

    def sql(self, node: exp.Expression) -> str:
        return node.sql(dialect=self.dialect, comments=False)

    def relation(self, table: exp.Table) -> str:
        found = self.resolve(table)
        if found is not None:
            return found[0]
        return shown((table.catalog, table.db, table.name)).casefold()

    def column_token(self, scope: Scope, column: exp.Column) -> str:
        name, table = column.name, column.table
        source: Any = None
        look: Scope | None = scope
        if table:
            while look is not None and source is None:
                source = look.sources.get(table)
                look = look.parent
        elif len(scope.sources) == 1:
            source = next(iter(scope.sources.values()))
        if isinstance(source, Scope):
            found = self.done.get(id(source))
            return found[0].get(name, f"?{name}") if found else f"?{table}.{name}"
        if isinstance(source, exp.Table):
            relation = self.relation(source)
            return f"r:{relation}.{self.renamed.get((relation, name), name)}"
        return f"?{table}.{name}" if table else f"?{name}"

    def scope(self, scope: Scope) -> None:
        node = scope.expression
        if isinstance(node, _SET_OPERATION):
            self.set_operation(scope, node)
        elif isinstance(node, exp.Select):
            self.select(scope, node)
        else:  # a table function, VALUES...: its text, columns resolved
            self.replace_columns(scope)
            text = self.sql(node)
            names = list(getattr(node, "alias_column_names", None) or ())
            columns = [(name, "c:" + _hash("u", text, name)) for name in names]
            self.done[id(scope)] = (dict(columns), columns, _hash("u", text))

    def replace_columns(self, scope: Scope) -> None:
        for column in list(scope.columns):
            if column.parent is not None:
                column.replace(exp.var(self.column_token(scope, column)))

    def replace_children(self, scope: Scope) -> None:
        """Sub-queries in expressions become the fingerprint of all they give."""
        for child in getattr(scope, "subquery_scopes", ()):
            found = self.done.get(id(child))
            if found is not None and child.expression.parent is not None:
                token = _hash("q", found[2], *(h for _, h in found[1]))
                child.expression.replace(exp.var(f"q:{token}"))

    def replace_sources(self, scope: Scope) -> None:
        """Each source of FROM and JOIN becomes its identity: a relation's,
        or the rows fingerprint of a derived table or CTE (its alias goes)."""
        for node, source in list(scope.selected_sources.values()):
            if node.parent is None:
                continue
            if isinstance(source, Scope):
                found = self.done.get(id(source))
                if found is None:
                    continue
                # A query only selecting from a relation has the relation's rows.
                token = found[2] if found[2].startswith("r:") else f"s:{found[2]}"
            elif isinstance(source, exp.Table):
                token = f"r:{self.relation(source)}"
            else:
                continue
            if isinstance(node.parent, exp.Subquery) and node.parent.this is node:
                node = node.parent  # a derived table: its alias goes with it
            node.replace(exp.var(token))

    def select(self, scope: Scope, node: exp.Select) -> None:
        names = [p.alias_or_name for p in node.expressions]
        self.replace_columns(scope)
        self.replace_children(scope)
        windows = "".join(self.sql(w) for w in node.args.get("windows") or ())
        columns = []
        for name, item in zip(names, node.expressions):
            body = item.this if isinstance(item, exp.Alias) else item
            if isinstance(body, exp.Var) and body.name[:2] in ("c:", "r:"):
                # A column passed through (renamed or not) is the column it reads.
                columns.append((name, body.name))
            else:
                columns.append((name, "c:" + _hash("e", self.sql(body), windows)))
        self.replace_sources(scope)
        skeleton = node.copy()
        skeleton.set("expressions", [exp.Star()])
        for key in _NOT_ROWS:
            if key in skeleton.args:
                skeleton.set(key, None)
        if not any(skeleton.args.get(key) for key in _BOUNDS):
            skeleton.set("order", None)
        parts = ["s", self.sql(skeleton)]
        if node.args.get("distinct") is not None:
            parts.extend(h for _, h in columns)
        elif not node.args.get("group") and any(_aggregates(item) for item in node.expressions):
            parts.append("one row")
        rows = _passed_rows(skeleton) if len(parts) == 2 else None
        self.done[id(scope)] = (dict(columns), columns, rows or _hash(*parts))

    def set_operation(self, scope: Scope, node: exp.Expression) -> None:
        branches = list(getattr(scope, "set_operation_scopes", None)
                        or getattr(scope, "union_scopes", None) or ())
        found = [self.done.get(id(branch)) for branch in branches]
        if len(found) != 2 or found[0] is None or found[1] is None:
            text = self.sql(node)
            self.done[id(scope)] = ({}, [], _hash("t", text))
            return
        left, right = found
        kind = "|".join([type(node).__name__, str(bool(node.args.get("distinct"))),
                         str(node.args.get("by_name") or ""), str(node.args.get("side") or ""),
                         str(node.args.get("kind") or "")])
        by_name = right[0] if node.args.get("by_name") else None
        columns = []
        for position, (name, fingerprint) in enumerate(left[1]):
            other = by_name.get(name, "?") if by_name is not None else \
                right[1][position][1] if position < len(right[1]) else "?"
            columns.append((name, "c:" + _hash("u", kind, fingerprint, other)))
        bounds = "".join(self.sql(node.args[key]) for key in ("order", *_BOUNDS)
                         if node.args.get(key) and (key != "order" or any(
                             node.args.get(b) for b in _BOUNDS)))
        parts = ["u", kind, left[2], right[2], bounds, str(len(left[1])), str(len(right[1]))]
        if node.args.get("distinct") or not isinstance(node, exp.Union):
            parts.extend(h for _, h in columns)
        self.done[id(scope)] = (dict(columns), columns, _hash(*parts))


def _passed_rows(skeleton: exp.Expression) -> str | None:
    """The rows of the one derived table a query only selects from (no
    join, filter, grouping, bound...): that table's rows fingerprint."""
    source = skeleton.args.get("from") or skeleton.args.get("from_")
    if source is None or not isinstance(source.this, exp.Var) \
            or source.this.name[:2] not in ("s:", "r:"):
        return None
    if any(value for key, value in skeleton.args.items()
           if key not in ("expressions", "from", "from_") and value not in (None, [], False)):
        return None
    # A relation's rows are its token; a derived table's, its fingerprint.
    name = source.this.name
    return name if name.startswith("r:") else name[2:]


def _aggregates(item: exp.Expression) -> bool:
    """An aggregate outside any window: the query gives one row a group."""
    return any(found.find_ancestor(exp.Window) is None for found in item.find_all(exp.AggFunc))


def prints_of(tree: exp.Expression, dialect: str | None, resolve: Resolver,
              renamed: dict[tuple[str, str], str] | None = None) -> Prints | None:
    """The fingerprints of a parsed statement's query (a query, or what an
    INSERT or CREATE ... AS writes), which it may change in place; None when
    it is no query.  ``renamed`` maps (relation identity, old column name)
    to the name the other version gives that column, so a column renamed
    upstream reads as the same column."""
    query = query_of(tree)
    if query is None:
        return None
    texts = tuple(_text(item, dialect) for item in query.selects)
    resolved = True
    schema = _schema(query, resolve, dialect)
    try:
        query = qualify(query, dialect=dialect, schema=schema, validate_qualify_columns=False,
                        quote_identifiers=False, identify=False)
    except Exception:  # sqlglot raises several kinds: what it cannot resolve stays as written
        resolved = False
    printer = _Printer(resolve, dialect, renamed or {})
    try:
        scopes = traverse_scope(query)
        for scope in scopes:
            printer.scope(scope)
    except Exception:  # a construct the scopes do not cover: compared as text by the caller
        return None
    found = printer.done.get(id(scopes[-1])) if scopes else None
    if found is None:
        return None
    columns = tuple(found[1])
    if len(texts) != len(columns):
        texts = tuple("" for _ in columns)
    return Prints(columns, found[2], texts, resolved)


def _text(item: exp.Expression, dialect: str | None) -> str:
    body = item.this if isinstance(item, exp.Alias) else item
    return body.sql(dialect=dialect, comments=False)
