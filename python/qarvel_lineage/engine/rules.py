"""Dialects and schemas as the engine reads them.

A dialect is resolved once per name (sqlglot's ``Dialect.get_or_raise``) into
the dialect object, which parses, and the engine's rules for comparing names.
A schema, in any of the shapes sqlglot's ``MappingSchema`` accepts, is turned
once into an index from every unambiguous way a statement can name a table
(``t``, ``db.t``, ``catalog.db.t``) to its columns, with names normalised the
way the dialect normalises unquoted identifiers.
"""

from __future__ import annotations

import sys
import threading
from collections.abc import Iterable, Mapping
from enum import IntEnum
from typing import Any, NamedTuple

from sqlglot import exp
from sqlglot.dialects.dialect import Dialect
from sqlglot.errors import SqlglotError
from sqlglot.tokens import TokenType

from qarvel_lineage.engine import _engine

__all__ = ["Rules", "rules_for", "lexicon_of", "split_statements", "Schema", "SchemaIndex",
           "schema_index", "Strategy", "EngineRules"]

# How a dialect normalises unquoted names, with the engine's own numbering;
# the members are named as sqlglot names its NormalizationStrategy members.
Strategy = IntEnum("Strategy", [(name, value) for value, name in enumerate(_engine.STRATEGIES)])
Strategy.__doc__ = "How a dialect normalises unquoted names (the engine's numbering)."
_IGNORES_CASE = (Strategy.CASE_INSENSITIVE, Strategy.CASE_INSENSITIVE_UPPERCASE)


class EngineRules(NamedTuple):
    """A dialect's rules for names, as the engine reads them."""

    strategy: Strategy
    ascii_only: bool
    qualified_tables_case_sensitive: bool
    # a.b with no table called a is field b of a column a.
    dotted_fields: bool
    # UNNEST of an array of structs has a column per field.
    unnest_fields: bool
    # Table names keep their case, quoted or not, while column names ignore
    # it (MySQL and the dialects built on it).
    tables_case_sensitive: bool

    @property
    def naming(self) -> tuple:
        """The parts that decide how names compare (what a schema's index depends on)."""
        return (*self[:3], self.tables_case_sensitive)


# The dialects (and those built on them) where a.b.c may be a column's
# struct fields when no table is called a.
_DOTTED_FIELDS = frozenset({"BigQuery", "DuckDB", "Hive", "Presto"})
# The dialects whose column names compare ignoring case, quoted or not,
# where sqlglot's strategy (which follows table names) keeps the case:
# MySQL's manual ("Identifier Case Sensitivity": column, index and alias
# names are not case-sensitive on any platform; table names follow the file
# system), and Doris and StarRocks, which follow it.
_COLUMNS_IGNORE_CASE = frozenset({"MySQL"})

_ASCII_LOWER = {c: c + 32 for c in range(ord("A"), ord("Z") + 1)}
_ASCII_UPPER = {c: c - 32 for c in range(ord("a"), ord("z") + 1)}


class Rules:
    """A dialect and how it compares names."""

    __slots__ = ("dialect", "name", "native", "lexicon")

    def __init__(self, dialect: Dialect, name: str | None):
        self.dialect = dialect
        self.name = name
        # A strategy newer than the engine normalises as the default does.
        strategy = Strategy.__members__.get(getattr(dialect.normalization_strategy, "name", ""),
                                            Strategy.LOWERCASE)
        ascii_only = bool(getattr(dialect, "ASCII_ONLY_NORMALIZATION", False))
        # BigQuery keeps the case of qualified table names.
        families = {cls.__name__ for cls in type(dialect).__mro__}
        tables_case_sensitive = (strategy == Strategy.CASE_SENSITIVE
                                 and not families.isdisjoint(_COLUMNS_IGNORE_CASE))
        if tables_case_sensitive:
            strategy = Strategy.CASE_INSENSITIVE
        self.native = EngineRules(strategy, ascii_only,
                                  "BigQuery" in families and strategy == Strategy.CASE_INSENSITIVE,
                                  not families.isdisjoint(_DOTTED_FIELDS), "BigQuery" in families,
                                  tables_case_sensitive)
        self.lexicon = lexicon_of(self)

    def normalise(self, name: str) -> str:
        """An unquoted name as the dialect compares it."""
        strategy, ascii_only = self.native.strategy, self.native.ascii_only
        if strategy == Strategy.CASE_SENSITIVE:
            return name
        upper = strategy in (Strategy.UPPERCASE, Strategy.CASE_INSENSITIVE_UPPERCASE)
        if ascii_only or name.isascii():
            return name.translate(_ASCII_UPPER if upper else _ASCII_LOWER)
        return name.upper() if upper else name.lower()

    def normalise_table(self, name: str) -> str:
        """An unquoted part of a table's name as the dialect compares it."""
        return name if self.native.tables_case_sensitive else self.normalise(name)

    def normalise_stored(self, name: str) -> str:
        """A name as a database stores it (as a quoted name compares): kept,
        unless the dialect ignores case even in quoted names."""
        return self.normalise(name) if self.native.strategy in _IGNORES_CASE else name


def lexicon_of(rules: Rules) -> tuple:
    """What the native fingerprint needs of the dialect's lexical rules."""
    tokenizer = rules.dialect.tokenizer_class
    quotes = getattr(tokenizer, "QUOTES", ["'"])
    if isinstance(quotes, dict):
        quotes = list(quotes.items())
    identifiers = getattr(tokenizer, "IDENTIFIERS", ['"'])
    if isinstance(identifiers, dict):
        identifiers = list(identifiers.items())
    return (tuple(getattr(tokenizer, "COMMENTS", ["--", ("/*", "*/")])), tuple(quotes),
            tuple(identifiers), tuple(getattr(tokenizer, "STRING_ESCAPES", ["'"])))


def split_statements(text: str, rules: Rules) -> list[tuple[str, int]]:
    """(statement text, line it starts on) for each statement of ``text``,
    split at the semicolons outside comments, quoted names and strings.
    The engine's scanner reads the text with the dialect's lexicon; where
    the lexicon does not settle a piece of it (dollar quoting, nesting
    comments), sqlglot's tokenizer decides, and a text it rejects keeps the
    scanner's reading."""
    body = text.rstrip().rstrip(";")
    if ";" not in body:
        # No separator but trailing ones: one statement, no scanning needed.
        if not body.strip():
            return []
        offset = len(body) - len(body.lstrip())
        return [(body.strip(), text.count("\n", 0, offset) + 1)]
    certain, spans = _engine.split(text, rules.lexicon)
    if not certain:
        try:
            tokens = rules.dialect.tokenize(text)
        except SqlglotError:
            pass  # the scanner's reading stands: the parse reports the piece it cannot read
        else:
            spans, start = [], 0
            for token in tokens:
                if token.token_type == TokenType.SEMICOLON:
                    spans.append((start, token.start))
                    start = token.end + 1
            spans.append((start, len(text)))
    pieces = []
    # Lines are counted on from the last statement's start: linear in the text.
    line, counted = 1, 0
    for start, end in spans:
        piece = text[start:end]
        if not piece.strip():
            continue
        offset = len(piece) - len(piece.lstrip())
        line += text.count("\n", counted, start + offset)
        counted = start + offset
        pieces.append((piece.strip(), line))
    return pieces


_rules_cache: dict[Any, Rules] = {}
_rules_lock = threading.Lock()


def rules_for(dialect: Any) -> Rules:
    """The rules of a dialect name (any case), a Dialect class or instance, or None."""
    if dialect is not None and not isinstance(dialect, (str, Dialect, type)):
        raise TypeError(
            f"dialect must be a dialect name, a sqlglot Dialect or None, not {type(dialect).__name__}")
    key = dialect.lower() if isinstance(dialect, str) else dialect
    try:
        found = _rules_cache.get(key)
    except TypeError:  # an unhashable Dialect subclass instance
        found = None
    if found is not None:
        return found
    if isinstance(key, type) and not issubclass(key, Dialect):
        raise TypeError(f"dialect must be a sqlglot Dialect, not {key.__name__}")
    resolved = Rules(Dialect.get_or_raise(key), key if isinstance(key, str) else None)
    with _rules_lock:
        if len(_rules_cache) > 512:
            _rules_cache.clear()
        try:
            _rules_cache[key] = resolved
        except TypeError:
            pass
    return resolved


# The most levels of names above a table's columns: catalog, db, table.
_MAX_LEVELS = 3
_KINDS = {1: "a table", 2: "a db of tables", 3: "a catalog of dbs"}


def _entry(path: tuple) -> str:
    return ".".join(map(str, path))


def _holds_columns(value: Any) -> bool:
    """Whether ``value`` is a table's columns: a list of names, or a mapping
    of names to types (no value of which is itself a mapping or a list)."""
    if isinstance(value, (list, tuple)):
        return True
    return isinstance(value, Mapping) and bool(value) and not any(
        isinstance(v, (Mapping, list, tuple)) for v in value.values())


def _levels(mapping: Mapping, path: tuple, on_path: set, empty_is_table: bool) -> int | None:
    """The levels of names in ``mapping`` above the tables' columns (1 for
    ``{table: columns}``), the same for every entry; None when no entry
    says (only empty mappings, which may be tables without columns or
    empty dbs, unless ``empty_is_table``)."""
    if id(mapping) in on_path:
        raise ValueError(f"schema entry {_entry(path)} contains itself")
    if len(path) >= _MAX_LEVELS:
        raise ValueError(f"schema entry {_entry(path)} is nested too deeply: expected "
                         "{table: {column: type}}, {db: {table: ...}} or {catalog: {db: {table: ...}}}")
    on_path.add(id(mapping))
    found: int | None = None
    first: tuple = ()
    for key, value in mapping.items():
        here = path + (key,)
        if _holds_columns(value) or (empty_is_table and isinstance(value, Mapping) and not value):
            level: int | None = 1
        elif isinstance(value, Mapping):
            inner = _levels(value, here, on_path, empty_is_table) if value else None
            level = None if inner is None else inner + 1
        else:
            raise TypeError(f"schema entry {_entry(here)} must be a mapping or a list of columns, "
                            f"not {type(value).__name__}")
        if level is None:
            continue
        if found is None:
            found, first = level, here
        elif level != found:
            raise ValueError(f"schema entries mix depths: {_entry(first)} is {_KINDS[found]}, "
                             f"{_entry(here)} is {_KINDS[level]}")
    on_path.discard(id(mapping))
    return found


def _tables_of(mapping: Mapping, levels: int, path: tuple = ()):
    """(path of names, columns) of every table of ``mapping``."""
    for key, value in mapping.items():
        here = path + (key,)
        if levels == 1:
            yield here, _columns(value, here)
        elif isinstance(value, Mapping):
            yield from _tables_of(value, levels - 1, here)
        else:
            raise TypeError(f"schema entry {_entry(here)} must be a mapping, not {type(value).__name__}")


def _columns(value: Any, path: tuple) -> tuple:
    if isinstance(value, (Mapping, list, tuple)):
        return tuple(value)
    raise TypeError(f"the columns of schema table {_entry(path)} must be a mapping of column to "
                    f"type or a list, not {type(value).__name__}")


TableKey = tuple[str | None, str | None, str]


class SchemaIndex:
    """What the engine looks tables up in: every way a statement can name a
    table (``t``, ``db.t``, ``catalog.db.t``, as keys ``(None, None, t)``
    ...) to ``(the table's full key, its columns)``, and how deeply the
    schema nests (2: tables, 3: dbs, 4: catalogs).  A partial name shared
    by two tables names neither.  Tables are indexed by name, so a script
    that defines one re-indexes only the tables of that name."""

    __slots__ = ("entries", "depth", "types", "_keys_named")

    def __init__(self, depth: int, tables: dict[TableKey, tuple[str, ...]] | None = None,
                 types: dict[TableKey, dict[str, Any]] | None = None):
        self.entries: dict[TableKey, tuple[TableKey, tuple[str, ...]]] = {}
        self.depth = depth
        # By a table's full key: its struct columns' types (sqlglot DataType
        # trees), whose fields the engine reads as the text's structs.
        self.types: dict[TableKey, dict[str, Any]] = types or {}
        self._keys_named: dict[str, set[TableKey]] = {}
        named: dict[str, list] = {}
        for key, columns in (tables or {}).items():
            named.setdefault(key[2], []).append((key, columns))
        for name, found in named.items():
            self.reindex(name, found)

    def reindex(self, name: str, tables: Iterable[tuple[TableKey, tuple[str, ...]]]) -> None:
        """The entries for the tables called ``name``, now ``tables``."""
        for key in self._keys_named.pop(name, ()):
            del self.entries[key]
        owners: dict[TableKey, list] = {}
        for full, columns in tables:
            entry = (full, columns)
            for key in {full, (None, full[1], name), (None, None, name)}:
                owners.setdefault(key, []).append(entry)
        keys = {key for key, entries in owners.items() if len(entries) == 1}
        for key in keys:
            self.entries[key] = owners[key][0]
        if keys:
            self._keys_named[name] = keys

    def columns(self, catalog: str | None, db: str | None, table: str) -> tuple[str, ...] | None:
        """The columns of the table a statement names so, or None."""
        key = (catalog if self.depth >= 4 else None, db if self.depth >= 3 else None, table)
        entry = self.entries.get(key)
        return None if entry is None else entry[1]

    def __repr__(self) -> str:
        return f"SchemaIndex({len(self.entries)} names, depth {self.depth})"


class Schema:
    """A schema prepared once for many analyses.

    ``mapping`` has one of the shapes sqlglot's ``MappingSchema`` accepts:
    ``{table: {column: type}}``, ``{db: {table: {column: type}}}`` or
    ``{catalog: {db: {table: {column: type}}}}`` (a ``MappingSchema`` itself
    is accepted too).  Names are normalised as the dialect normalises
    unquoted identifiers; with ``stored=True`` they are names as a database
    stores them (a catalog read by ``Schema.from_database``), compared as
    quoted names.
    """

    __slots__ = ("mapping", "rules", "index", "tables", "stored", "_indexes")

    def __init__(self, mapping: Any, dialect: Any = None, *, stored: bool = False):
        self.rules = rules_for(dialect)
        self.stored = bool(stored)
        inner = getattr(mapping, "mapping", mapping)  # a sqlglot MappingSchema
        if not isinstance(inner, Mapping):
            raise TypeError(f"schema must be a mapping, not {type(mapping).__name__}")
        self.mapping = inner
        tables: dict[tuple[str | None, str | None, str], tuple[str, ...]] = {}
        # The depth is read from every entry (an empty one says nothing).
        levels = _levels(inner, (), set(), False) if inner else None
        if levels is None and inner:
            levels = _levels(inner, (), set(), True)
        depth = levels + 1 if levels else 0
        norm = self.rules.normalise_stored if self.stored else self.rules.normalise
        norm_table = norm
        if self.rules.native.tables_case_sensitive:
            norm_table = str

        def intern(name: Any, how=norm) -> str:
            if not isinstance(name, str):
                raise TypeError(f"schema names must be str, not {type(name).__name__}")
            return sys.intern(how(name))

        types: dict[TableKey, dict[str, Any]] = {}
        for names, cols in _tables_of(inner, levels or 0):
            key = (None,) * (3 - len(names)) + tuple(intern(name, norm_table) for name in names)
            tables[key] = tuple(intern(c) for c in cols)
            structs = _struct_types(inner, names, self.rules, intern)
            if structs:
                types[key] = structs
        self.tables = tables
        # How deep the schema nests (2: tables, 3: dbs, 4: catalogs): a
        # statement may name a table with more qualifiers than the schema has.
        self.index = SchemaIndex(max(depth, 2) if depth else 4, tables, types)
        # The index under each other dialect's rules for names, made once
        # each when a statement of that dialect first uses it.
        self._indexes: dict[tuple, SchemaIndex] = {self.rules.native.naming: self.index}

    def index_for(self, rules: Rules) -> SchemaIndex:
        """The index of this schema under ``rules``' way of comparing names."""
        naming = rules.native.naming
        index = self._indexes.get(naming)
        if index is None:
            index = Schema(self.mapping, rules.dialect, stored=self.stored).index
            with _rules_lock:
                if len(self._indexes) > 64:
                    self._indexes.clear()
                index = self._indexes.setdefault(naming, index)
        return index

    def columns(self, table: str, db: str | None = None, catalog: str | None = None):
        """The columns of a table, or None when the schema does not know it."""
        return self.index.columns(catalog, db, table)

    @classmethod
    def from_database(cls, source: Any, schemas: Any = None, dialect: Any = None,
                      progress: bool | None = None) -> "Schema":
        """The tables, views and columns (with their types) of a live
        database: ``source`` is a SQLAlchemy URL, Engine or Connection, a
        DuckDB connection, or the path of a DuckDB file (read directly).
        ``schemas`` limits the read to those schemas (names as the database
        stores them); ``dialect`` defaults to the database's own.  A catalog
        that cannot be read raises CatalogError."""
        from qarvel_lineage.catalog.database import read_catalog

        return read_catalog(cls, source, schemas, dialect, progress)

    def __repr__(self) -> str:
        return f"Schema({len(self.tables)} tables)"


def _struct_types(mapping: Mapping, names: tuple, rules: Rules, intern) -> dict[str, Any]:
    """The columns of one table whose type is a struct (or an array of
    structs), by normalised name, each with its type parsed by sqlglot."""
    columns: Any = mapping
    for name in names:
        columns = columns[name]
    if not isinstance(columns, Mapping):
        return {}
    found = {}
    for column, kind in columns.items():
        if isinstance(kind, exp.DataType):
            parsed = kind
        elif isinstance(kind, str) and ("STRUCT" in kind.upper() or "ROW(" in kind.upper()):
            try:
                parsed = exp.DataType.build(kind, dialect=rules.dialect)
            except (SqlglotError, ValueError):
                continue  # a type sqlglot cannot read: the column is used whole
        else:
            continue
        found[intern(column)] = parsed
    return found


def schema_index(schema: Any, rules: Rules) -> SchemaIndex | None:
    """The engine's index of ``schema`` under ``rules`` (None for no schema)."""
    if schema is None:
        return None
    if isinstance(schema, Schema):
        return schema.index_for(rules)
    return Schema(schema, rules.dialect).index
