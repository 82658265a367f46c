"""Helpers shared by the test modules."""

import errno
import gc
import hashlib
import json
import os
import subprocess
import sys
import time
import traceback
import tracemalloc
from pathlib import Path

import sqlglot
from sqlglot import exp


PREFIX = "sqlglot_main.QarvelSQLGlotMain."
CREATION_KEYS = ["sort", "column", "alias", "column_table", "type", "db", "table", "table_alias"]
NO_MATCH_KEYS = ["sort", "alias", "column", "column_table", "type", "db", "table", "table_alias"]
OUTPUTS = ["qarvel", "print", "normal", "dataframe", "sql", "table"]

# The analyser's methods in definition order: name, named parameters,
# required count, definition line, all locals.
METHODS = [(name, params.split(), required, line, params.split() + more.split())
           for name, params, required, line, more in [
    ("__init__", "self", 1, 27, "args kwargs"),
    ("_set_sql_md5", "self sql", 2, 48, "sql_md5"),
    ("_format", "self sql", 2, 57, "sql_md5 format_sql"),
    ("_parse", "self sql dialect callback", 4, 72, "sql_md5 format_sql expression"),
    ("_get_columns", "self sql_md5 expressions", 3, 82, "expression subquery_expressions find_list"),
    ("_find_column", "self sql_md5 find_list column_type column_alias", 4, 112,
     "column column_table old_alias table"),
    ("_get_column_parent", "column column_table", 2, 119, "old parent table"),
    ("_append_column_info", "self sql_md5 column column_table column_alias column_type table", 6, 131,
     "column_table_alias column_name text column_info"),
    ("_get_tables", "self sql_md5 expression", 3, 162,
     "new_columns with_expression select_args select subquery subquery_args from_args join_args join"),
    ("_match_column", "self sql_md5 table_args columns", 4, 183,
     "new_columns column text table_new_columns table_column"),
    ("_callback", "self sql_md5 callback", 3, 229, "callback_function function"),
    ("_callback_qarvel", "self sql_md5", 2, 241, ""),
    ("_callback_print", "self sql_md5", 2, 244, "text_list column"),
    ("_callback_normal", "self sql_md5", 2, 255, ""),
    ("_callback_dataframe", "self sql_md5", 2, 258, ""),
    ("_callback_sql", "self sql_md5", 2, 261, ""),
    ("_callback_table", "self sql_md5", 2, 264, "table field_names row field"),
]]


class Boom(Exception):
    pass


def C(*values):
    """A record in creation order: sort, column, alias, column_table, type[, db, table, table_alias]."""
    return dict(zip(CREATION_KEYS, values))


def N(*values):
    """A record rebuilt by a source that did not claim it: all eight keys, alias before column."""
    assert len(values) == 8
    return dict(zip(NO_MATCH_KEYS, values))


def same_records(actual, expected):
    """Equal values and equal key order, record by record."""
    assert [dict(r) for r in actual] == expected
    assert [list(r.keys()) for r in actual] == [list(r) for r in expected]


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def entries(exc):
    """(method, line) of every traceback entry in sqlglot_main.py, outermost first."""
    found = []
    for frame in traceback.extract_tb(exc.__traceback__):
        if frame.filename == "sqlglot_main.py":
            assert frame.name.startswith(PREFIX), frame.name
            found.append((frame.name[len(PREFIX):], frame.lineno))
    return found


def select_of(sql):
    return sqlglot.parse_one(sql).find(exp.Select)


def run_py(code, *args, timeout=180):
    """Run ``code`` in a fresh interpreter and return the CompletedProcess."""
    return subprocess.run([sys.executable, "-c", code, *args], capture_output=True,
                          text=True, timeout=timeout)


# The args keys of a SELECT's FROM and WITH clauses in the installed sqlglot
# ("from"/"with" up to 27.x, "from_"/"with_" from 28 on).
FROM_KEY = "from_" if "from_" in exp.Select.arg_types else "from"
WITH_KEY = "with_" if "with_" in exp.Select.arg_types else "with"


# --- the lineage engine (qarvel_lineage) ----------------------------------------------

# The shared corpus beside the checkout (../shared/corpus), or where
# QARVEL_CORPUS says.
CORPUS = Path(os.environ.get("QARVEL_CORPUS")
              or Path(__file__).resolve().parents[1].parent / "shared" / "corpus")
# The built Tuva project (737 dbt models) lies beside the corpus.
TUVA = CORPUS.parent / "dbt" / "tuva" / "target"
LINEAGE_CLI = [sys.executable, "-m", "qarvel_lineage.cli"]


def lineage_cli(*args, input=None, timeout=300, **kwargs):
    """Run the sqlglot-main command; standard input is empty unless given."""
    return subprocess.run([*LINEAGE_CLI, *map(str, args)], input=input, capture_output=True,
                          text=True, timeout=timeout,
                          stdin=subprocess.DEVNULL if input is None else None, **kwargs)


def corpus_statements():
    """(dialect, sql) of every statement of the shared corpus."""
    with open(CORPUS / "statements.jsonl", encoding="utf-8") as handle:
        return [(item["dialect"], item["sql"]) for item in map(json.loads, handle)]


def source_text(source):
    """A Source as 'db.table.column TYPE SUBTYPE'."""
    return f"{source.qualified_table}.{source.column} {source.type} {source.subtype}"


def brief_row(row):
    """A flat lineage row as (position, column, source, 'TYPE SUBTYPE'[, reason])."""
    parts = (row["source_catalog"], row["source_db"], row["source_table"], row["source_column"])
    brief = (row["position"], row["column"], ".".join(p for p in parts if p),
             f"{row['type']} {row['subtype']}")
    return brief if row["reason"] is None else (*brief, row["reason"])


def lineage_key(result):
    """What must not depend on how a result was obtained; an exception by type and text."""
    if isinstance(result, BaseException):
        return (type(result).__name__, str(result))
    return (result.kind, result.columns, result.tables, result.influences, result.target)


def frame_records(frame):
    """A DataFrame's rows as dicts of plain values, a missing value as None."""
    return frame.astype(object).where(frame.notna(), None).to_dict("records")


# --- the lineage engine ---------------------------------------------------------


DIRECT_SUBTYPES = {"IDENTITY", "TRANSFORMATION", "AGGREGATION"}
INDIRECT_SUBTYPES = {"JOIN", "FILTER", "GROUP_BY", "SORT", "WINDOW", "CONDITIONAL"}


def subtype_text(source):
    """'db.t.c SUBTYPE', with ' masked' when the value is hashed on the way."""
    return f"{source.qualified_table}.{source.column} {source.subtype}" + (
        " masked" if source.masking else "")


def unresolved_text(entry):
    """'column @table SUBTYPE: reason' (no '@table' when no table is named)."""
    where = f" @{entry.table}" if entry.table is not None else ""
    return f"{entry.column}{where} {entry.subtype}: {entry.reason}"


def _entries(text):
    return frozenset(part.strip() for part in text.split(";") if part.strip())


def expect(*columns):
    """Expected columns written (name, direct, indirect[, unresolved]), each
    part a ';'-separated list in the forms of subtype_text/unresolved_text."""
    return [(name, _entries(direct), _entries(indirect), _entries(rest[0] if rest else ""))
            for name, direct, indirect, *rest in columns]


def view(result):
    """A result as expect() writes it, after checking it is well formed."""
    check_well_formed(result)
    return [(c.name, frozenset(map(subtype_text, c.direct)), frozenset(map(subtype_text, c.indirect)),
             frozenset(map(unresolved_text, c.unresolved))) for c in result.columns]


def _name_part(value):
    return value is None or (isinstance(value, str) and value != "")


def check_well_formed(result):
    """The invariants every result keeps, whatever the statement."""
    import qarvel_lineage
    assert [c.position for c in result.columns] == list(range(1, len(result.columns) + 1))
    for table in result.tables:
        assert isinstance(table, qarvel_lineage.Table)
        assert _name_part(table.catalog) and _name_part(table.db) and table.name
    for column in result.columns:
        assert isinstance(column.name, str)
        for group, kind, subtypes in ((column.direct, "DIRECT", DIRECT_SUBTYPES),
                                      (column.indirect, "INDIRECT", INDIRECT_SUBTYPES)):
            assert len(set(group)) == len(group), column
            for s in group:
                assert isinstance(s, qarvel_lineage.Source)
                assert s.type == kind and s.subtype in subtypes, s
                assert _name_part(s.catalog) and _name_part(s.db) and s.table and s.column, s
                assert isinstance(s.masking, bool)
                assert qarvel_lineage.Table(s.catalog, s.db, s.table) in result.tables, s
        for u in column.unresolved:
            assert isinstance(u, qarvel_lineage.Unresolved)
            assert u.subtype in DIRECT_SUBTYPES | INDIRECT_SUBTYPES and u.reason, u
            assert isinstance(u.column, str) and _name_part(u.table), u
        assert set(result.influences) <= set(column.indirect), column
    assert result.resolved == all(not c.unresolved for c in result.columns)
    rows = result.to_dicts()
    keys = list(qarvel_lineage.FLAT_KEYS)
    if result.target is not None:
        keys[2:2] = ["target_catalog", "target_db", "target_table"]
    assert all(list(row) == keys for row in rows)
    assert all(value != "" for row in rows for value in row.values())
    assert sorted({row["position"] for row in rows}) == [c.position for c in result.columns]


def growth(call, rounds, traced_warmup=False):
    """Blocks and traced bytes left behind by `rounds` calls, measured after
    300 warm-up calls (to fill the caches of sqlglot and re) and, with
    `traced_warmup`, a first traced window of `rounds` calls (tables inside
    the interpreter, such as the one of interned strings, may be reallocated
    once while traced)."""
    for _ in range(300):
        call()
    gc.collect()
    tracemalloc.start()
    if traced_warmup:
        for _ in range(rounds):
            call()
        gc.collect()
    # The snapshots are taken outside the window the blocks are counted in.
    before = _small_traced_bytes()
    gc.collect()
    blocks = sys.getallocatedblocks()
    for _ in range(rounds):
        call()
    gc.collect()
    blocks = sys.getallocatedblocks() - blocks
    after = _small_traced_bytes()
    tracemalloc.stop()
    return blocks, after - before


def _small_traced_bytes(limit=1 << 20):
    """Traced bytes in blocks under `limit`.  The interpreter's own tables
    (the dict of interned strings, which names dropped and interned again
    fill with dummies until it is rebuilt) move as one block of megabytes
    when they are rebuilt; what a call leaks is many small blocks."""
    return sum(trace.size for trace in tracemalloc.take_snapshot().traces if trace.size < limit)


def swallow(function, *args, **kwargs):
    """A call of `function` that ignores the Exception it raises."""
    def call():
        try:
            function(*args, **kwargs)
        except Exception:
            pass
    return call


# A sanitizer runtime the suite may run under (./dev sanitize) is for our
# extension only; programs that are not ours (a database server, dbt, a
# browser and its driver) run without it.
SANITIZER_VARIABLES = ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS")


def without_sanitizer():
    """The environment with the sanitizer runtime's variables left out."""
    return {k: v for k, v in os.environ.items() if k not in SANITIZER_VARIABLES}


def page_columns(page):
    """Every column a lineage page holds, as "table.column", read from the
    page's data block (the page itself shows them only when it runs)."""
    start = page.index('<script id="lineage-data" type="application/json">')
    block = page[page.index(">", start) + 1:page.index("</script>", start)]
    data = json.loads(block)
    return {f"{data['tables'][table][0]}.{name}"
            for table, name in zip(data["columnTable"], data["columnName"]) if name is not None}


def open_for_writing(fifo, child, deadline=60):
    """The FIFO's write end, once the child has opened it for reading (a
    FIFO opened without waiting refuses a writer while nobody reads it)."""
    ends = time.monotonic() + deadline
    while True:
        try:
            return os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
        except OSError as error:
            if error.errno != errno.ENXIO:
                raise
        assert child.poll() is None, child.communicate()
        assert time.monotonic() < ends, "the command never opened the FIFO"
        time.sleep(0.02)
