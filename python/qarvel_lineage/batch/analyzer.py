"""Many statements: a template cache, worker processes, and data frames.

Statements that differ only in literal values share one analysis: a native
fingerprint of the text with its string and numeric literals masked keys a
cache of results, and every statement still gets a result of its own (its
own ``sql``).  A result whose names come from a literal's value (``select
1``, an alias written as a string) is cached under its exact text only.
"""

from __future__ import annotations

from collections import OrderedDict
from typing import Any, Iterable, Iterator

from sqlglot.errors import ParseError

from qarvel_lineage.batch.pool import ordered_map, portable, usable_cores
from qarvel_lineage.engine import _engine
from qarvel_lineage.engine.parse import parse, require_statement, result_of
from qarvel_lineage.engine.records import EngineResult
from qarvel_lineage.engine.result import LineageResult, row_keys, rows_frame, statement_rows
from qarvel_lineage.engine.rules import lexicon_of, rules_for, schema_index, split_statements
from qarvel_lineage.engine.script import analyze_script

__all__ = ["Analyzer", "analyze_many", "ordered_map", "partition_lineage", "lineage_meta", "lineage_ddl", "lexicon_of"]


def _names_of(found: EngineResult, skip: tuple) -> set[str]:
    """Every name a result holds (case-folded), but the output names at the
    positions in ``skip``."""
    names: set[str] = set()

    def add(*parts):
        names.update(p.casefold() for p in parts if p)

    for column in found.columns:
        if column.position not in skip:
            add(column.name)
        for source in (*column.direct, *column.indirect):
            add(source.catalog, source.db, source.table, source.column)
        for entry in column.unresolved:
            add(entry.column, entry.table)
    for table in found.tables:
        add(table.catalog, table.db, table.name)
    for source in found.influences:
        add(source.catalog, source.db, source.table, source.column)
    if found.target is not None:
        add(found.target.catalog, found.target.db, found.target.name)
    return names


def _names_from_literals(found: EngineResult, positions: tuple, literals: tuple) -> bool:
    """Whether a masked string's value is also a name of the result (other
    than the outputs the engine knows were named by literals)."""
    # A number too: BigQuery reads FROM 4 as a table named 4.
    values = {(text[1:-1] if text[:1] in "'\"" else text).casefold()
              for text in literals if text[:1] not in "'\"" or len(text) >= 2}
    values.discard("")
    return bool(values) and not values.isdisjoint(_names_of(found, positions))


def _literal_value(text: str) -> str | None:
    """The value sqlglot gives a literal written as ``text``: a number as
    written, a string without its quotes and with doubled quotes undone;
    None for anything less plain (escapes, prefixes)."""
    if not text:
        return None
    first = text[0]
    if first not in "'\"":
        return text if text.replace(".", "", 1).isdigit() else None
    if len(text) >= 6 and text.startswith(first * 3) and text.endswith(first * 3):
        body = text[3:-3]
    elif len(text) >= 2 and text.endswith(first):
        body = text[1:-1].replace(first + first, first)
    else:
        return None
    return None if "\\" in body else body


# The template cache's default bound on the memory its results hold (an
# estimate: about 100 bytes per source and per column).
CACHE_BYTES = 256 << 20


def _check_cache(cache_size: Any, cache_bytes: Any) -> None:
    for name, value in (("cache_size", cache_size), ("cache_bytes", cache_bytes)):
        if not isinstance(value, int) or isinstance(value, bool) or value < 0:
            raise ValueError(f"{name} must be an int >= 0, not {value!r}")


def _weight(found: EngineResult) -> int:
    """An estimate of the bytes a cached result holds: its columns, the
    slots of its tuples and each distinct source and tuple once (columns
    without influences of their own share one tuple of them)."""
    columns, tables, influences = found.columns, found.tables, found.influences
    seen: set[int] = set()
    size = 400 + 120 * len(tables)
    for group in (influences, *(part for column in columns
                                for part in (column.direct, column.indirect, column.unresolved))):
        if id(group) in seen:
            continue
        seen.add(id(group))
        size += 56 + 8 * len(group)
        for item in group:
            if id(item) not in seen:
                seen.add(id(item))
                size += 120
    return size + 250 * len(columns)


class Analyzer:
    """``analyze`` for many statements under one dialect and schema, with the
    template cache.  Calling it never raises for a bad statement: the
    exception is returned in the result's place."""

    def __init__(self, dialect: Any = None, schema: Any = None, cache_size: int = 65536,
                 cache_bytes: int = CACHE_BYTES):
        _check_cache(cache_size, cache_bytes)
        self._engine = _engine
        self.rules = rules_for(dialect)
        self.schema = schema
        self.index = schema_index(schema, self.rules)
        self.lexicon = self.rules.lexicon
        self.cache_size = cache_size if cache_bytes else 0
        self.cache_bytes = cache_bytes
        # Least recently used first; each entry with its estimated size.
        self._templates: OrderedDict[int, tuple] = OrderedDict()
        self._texts: OrderedDict[str, tuple] = OrderedDict()
        self._weights: dict[tuple[bool, Any], int] = {}
        self.cached_bytes = 0
        self.hits = 0
        self.misses = 0

    def _remember(self, cache: OrderedDict, key: Any, value: tuple) -> None:
        is_text = cache is self._texts
        found = value if is_text else value[0]
        weight = _weight(found) + (len(key) if is_text else 0)
        if weight > self.cache_bytes:
            return
        old = self._weights.pop((is_text, key), 0)
        cache[key] = value
        cache.move_to_end(key)
        self._weights[(is_text, key)] = weight
        self.cached_bytes += weight - old
        while len(cache) > self.cache_size:
            self._evict(cache)
        while self.cached_bytes > self.cache_bytes:
            self._evict(cache if cache else (self._texts if is_text is False else self._templates))

    def _evict(self, cache: OrderedDict) -> None:
        key, _ = cache.popitem(last=False)
        self.cached_bytes -= self._weights.pop((cache is self._texts, key), 0)

    def analyze(self, sql: str) -> LineageResult:
        """The lineage of one statement; raises as ``analyze`` does."""
        if not isinstance(sql, str):
            raise TypeError(f"sql must be a str, not {type(sql).__name__}")
        return self._result(sql, self._found(sql)[0])

    def _found(self, sql: str) -> tuple[EngineResult, tuple | None]:
        """(the engine's result for ``sql``, from the cache or analysed and
        kept there; what was kept of it, None for a hit)."""
        masked, key = self._engine.fingerprint(sql, self.lexicon)
        found = self._cached(sql, masked, key)
        if found is not None:
            self.hits += 1
            return found, None
        self.misses += 1
        found, memo = self._compute(sql, masked, key)
        self._store(memo)
        return found, memo

    def _result(self, sql: str, found: EngineResult) -> LineageResult:
        return result_of(sql, self.rules, found)

    def _cached(self, sql: str, masked: bool, key: int) -> tuple | None:
        if not self.cache_size:
            return None
        entry = self._templates.get(key) if masked else None
        found = None
        if entry is not None:
            found = entry[0] if not entry[1] else self._renamed(entry, sql)
            if found is not None:
                self._templates.move_to_end(key)
        if found is None:
            found = self._texts.get(sql)
            if found is not None:
                self._texts.move_to_end(sql)
        return found

    def _store(self, memo: tuple | None) -> None:
        """Keeps what ``_compute`` said to keep: a template or an exact text."""
        if memo is None:
            return
        cache, key, value = memo
        if cache == "template":
            if value[1] and key in self._templates:
                return  # a template named by literals keeps its first statement's literals
            self._remember(self._templates, key, value)
        else:
            self._remember(self._texts, key, value)

    def _compute(self, sql: str, masked: bool, key: int) -> tuple[EngineResult, tuple | None]:
        """(the engine's result, what to keep of it in the cache, or None)."""
        trees = parse(sql, self.rules)
        if not trees:
            raise ParseError("no statement to analyse")
        if len(trees) > 1:
            raise ValueError(f"the text holds {len(trees)} statements; analyze() takes one "
                             "(use analyze_script for several)")
        require_statement(trees[0], sql)
        found = self._engine.analyze(trees[0], self.rules.native, self.index)
        literal_names = found.literal_names
        if not self.cache_size:
            return found, None
        literals = None
        if masked and literal_names is not True:
            literals = self._engine.literals(sql, self.lexicon)
            if literals is None or _names_from_literals(found, literal_names, literals):
                # A string the dialect reads as a name ("x" in Spark or
                # BigQuery, 'x.csv' in DuckDB, AS 'n' in MySQL): other values
                # would be other names, so only this text is cached.
                literal_names = True
        if masked and literal_names == ():
            return found, ("template", key, (found, (), None))
        if masked and literal_names is not True:
            # Output columns named by literals: the template keeps which
            # literal named each, so a statement with other values gets its
            # own names.
            return found, ("template", key, (found, literal_names, literals))
        return found, ("text", sql, found)

    def _renamed(self, entry: tuple, sql: str) -> tuple | None:
        """A cached template's result with the output names that came from
        literals taken from ``sql``'s literals; None when that is not certain."""
        found, positions, template_literals = entry
        literals = self._engine.literals(sql, self.lexicon)
        if literals is None or len(literals) != len(template_literals):
            return None
        old = [_literal_value(text) for text in template_literals]
        new = [_literal_value(text) for text in literals]
        columns = list(found.columns)
        for position in positions:
            column = columns[position - 1]
            places = [i for i, value in enumerate(old) if value is not None and value == column.name]
            names = {new[i] for i in places}
            if not places or len(names) != 1 or None in names:
                return None
            columns[position - 1] = column._replace(name=names.pop())
        return found._replace(columns=tuple(columns))

    def __call__(self, sql: Any) -> LineageResult | Exception:
        try:
            return self.analyze(sql)
        except (KeyboardInterrupt, SystemExit, GeneratorExit):
            raise
        except BaseException as error:  # one statement's failure, reported in its place
            return error


def _make_analyzer(dialect: Any, schema: Any, cache_size: int, cache_bytes: int) -> Analyzer:
    return Analyzer(dialect, schema, cache_size, cache_bytes)


def _analyze_one(analyzer: Analyzer, sql: Any) -> Any:
    return analyzer(sql)


# With workers, this process answers from its template cache what it can
# (cheaper than sending the statement away), a worker answers the rest with
# the engine's result and what to cache of it, and this process keeps that
# in its own cache: each template is sent to a worker about once.

def _cache_hit(analyzer: Analyzer, sql: Any) -> tuple:
    """(the result, None) from the cache, or (None, the statement's template key)."""
    if not isinstance(sql, str):
        return analyzer(sql), None  # the TypeError, in its place
    masked, key = analyzer._engine.fingerprint(sql, analyzer.lexicon)
    found = analyzer._cached(sql, masked, key)
    if found is None:
        return None, (key if masked else sql)
    analyzer.hits += 1
    return analyzer._result(sql, found), None


def _analyze_remote(analyzer: Analyzer, sql: str) -> Any:
    try:
        return analyzer._found(sql)
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as error:  # one statement's failure, reported in its place
        return portable(error)


def _absorb(analyzer: Analyzer, sql: str, answer: Any) -> Any:
    if isinstance(answer, BaseException):
        return answer
    found, memo = answer
    analyzer.misses += 1
    analyzer._store(memo)
    return analyzer._result(sql, found)


def _lost(sql: Any, error: BaseException) -> BaseException:
    return error


def jobs_count(jobs: Any) -> int:
    """Processes for ``jobs`` (0: every usable core), at most the usable cores."""
    if not isinstance(jobs, int) or isinstance(jobs, bool) or jobs < 0:
        raise ValueError(f"jobs must be an int >= 0 (0: every core), not {jobs!r}")
    return min(jobs, usable_cores()) if jobs else usable_cores()


def analyze_many(statements: Iterable[str], dialect: Any = None, schema: Any = None,
                 jobs: int = 1, cache_size: int = 65536,
                 cache_bytes: int = CACHE_BYTES) -> Iterator[LineageResult | Exception]:
    """One result per statement, in input order; a statement that fails
    yields its exception object in its place and the batch goes on.

    ``jobs`` processes share the statements (0: every usable core): this
    one and up to ``jobs - 1`` workers, started only when the input is
    large enough to repay them.  Statements that differ only in literal
    values are analysed once (at most ``cache_size`` results and about
    ``cache_bytes`` of memory are kept, the least recently used going first;
    0 turns the cache off).  A statement whose worker process died under it (killed,
    or crashed) yields a BrokenProcessPool in its place and the rest go on.
    """
    jobs = jobs_count(jobs)
    rules_for(dialect)  # an unknown dialect fails here, once
    arguments = (dialect, schema, cache_size, cache_bytes)
    _check_cache(cache_size, cache_bytes)  # bad arguments fail here, at the call
    if jobs <= 1:
        return ordered_map(_analyze_one, statements, 1, _make_analyzer, arguments)
    return ordered_map(_analyze_remote, statements, jobs, _make_analyzer, arguments,
                       quick=_cache_hit, absorb=_absorb, lost=_lost, local=_analyze_one)


# --- data frames (Dask's map_partitions, Spark's mapInPandas) -------------------------

def frame_rows(analyzer: Analyzer, text: str) -> list[dict[str, Any]]:
    """Flat rows of one statement, or of each statement of a script, with
    "statement" first and the target keys always; at least one row per
    statement (an error, or a statement without output columns)."""
    if len(split_statements(text, analyzer.rules)) > 1:
        script = analyze_script(text, analyzer.rules.dialect, analyzer.schema)
        rows: list[dict[str, Any]] = []
        for index, result in enumerate(script.statements, 1):
            rows.extend(_frame_rows_of(index, getattr(result, "error", result)))
        return rows
    return _frame_rows_of(1, analyzer(text))


def _frame_rows_of(index: int, result: Any) -> list[dict[str, Any]]:
    """The flat rows of statement ``index``, "statement" first: one row of
    type "ERROR" for an exception, one row without a type for a statement
    that has no output columns (a DROP, a CREATE TABLE with columns only)."""
    if isinstance(result, BaseException):
        return [error_row(result, index)]
    rows = statement_rows(result, {"statement": index})
    if not rows:
        row = error_row(None, index)
        row["type"] = None
        row["reason"] = f"no output columns ({result.kind})"
        if result.target is not None:
            row.update(target_catalog=result.target.catalog, target_db=result.target.db,
                       target_table=result.target.name)
        rows.append(row)
    return rows


def error_row(error: BaseException | None, statement: int) -> dict[str, Any]:
    row: dict[str, Any] = {"statement": statement}
    for key in row_keys(True):
        row[key] = None
    row["position"] = 0
    row["type"] = "ERROR"
    if error is not None:
        row["reason"] = f"{type(error).__name__}: {str(error).splitlines()[0] if str(error) else ''}"
    return row


def partition_lineage(frame, column: str = "sql", dialect: Any = None, schema: Any = None):
    """Flat lineage rows of a pandas DataFrame of statements.

    Every other column of ``frame`` (a query id, a timestamp...) is carried
    onto each output row, first; then "statement" (1-based within the
    input's text), the target keys and the flat keys.  A statement that
    fails gives one row of type "ERROR" with the error in "reason", so one
    bad statement never fails the partition.  The output has the same
    columns and dtypes for any input, empty included, so the function serves
    Dask's ``map_partitions`` and Spark's ``mapInPandas`` alike.
    """
    return frame_lineage(frame, column, Analyzer(dialect, schema))


def frame_lineage(frame, column: str, analyzer: Analyzer):
    """``partition_lineage`` with an analyzer of the caller's (one per Spark
    task, so its template cache lasts across the task's batches)."""
    import pandas as pd

    if column not in frame.columns:
        raise KeyError(f"no column {column!r} in the frame")
    carried = [name for name in frame.columns if name != column]
    keys = ("statement",) + row_keys(True)
    rows: list[dict[str, Any]] = []
    for record in frame.itertuples(index=False, name=None):
        values = dict(zip(frame.columns, record))
        text = values[column]
        head = {name: values[name] for name in carried}
        if not isinstance(text, str):
            made = [error_row(TypeError(f"sql must be a str, not {type(text).__name__}"), 1)]
        else:
            made = frame_rows(analyzer, text)
        for row in made:
            rows.append({**head, **row})
    lineage = rows_frame([{k: row[k] for k in keys} for row in rows], keys)
    lineage = lineage.astype({"statement": "int64"})
    if carried:
        extra = pd.DataFrame([{name: row[name] for name in carried} for row in rows],
                             columns=carried).astype(frame[carried].dtypes.to_dict())
        lineage = pd.concat([extra, lineage], axis=1)
    return lineage


def lineage_ddl(carried: str = "") -> str:
    """The columns of ``partition_lineage``'s output as a Spark DDL schema
    string, after the carried columns given as DDL (``"query_id string"``),
    for ``mapInPandas``."""
    keys = ("statement",) + row_keys(True)
    body = ", ".join(f"`{key}` {'long' if key in ('statement', 'position') else 'string'}"
                     for key in keys)
    return f"{carried}, {body}" if carried else body


def lineage_meta(frame, column: str = "sql"):
    """The empty result of ``partition_lineage`` for frames like ``frame``
    (Dask's ``meta``)."""
    return partition_lineage(frame.iloc[:0], column=column)
