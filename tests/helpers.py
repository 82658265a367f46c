"""Helpers shared by the test modules."""

import hashlib
import subprocess
import sys
import traceback

import sqlglot
from sqlglot import exp

import sqlglot_main

PREFIX = "sqlglot_main.QarvelSQLGlotMain."
CREATION_KEYS = ["sort", "column", "alias", "column_table", "type", "db", "table", "table_alias"]
NO_MATCH_KEYS = ["sort", "alias", "column", "column_table", "type", "db", "table", "table_alias"]
OUTPUTS = ["qarvel", "print", "normal", "dataframe", "sql", "table"]


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
