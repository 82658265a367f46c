"""Fixtures shared by the test modules (helpers live in helpers.py)."""

import pytest

import sqlglot_main


@pytest.fixture
def parse_calls(monkeypatch):
    """Every call of the module's parse_one, as (args, kwargs)."""
    calls, real = [], sqlglot_main.parse_one
    monkeypatch.setattr(sqlglot_main, "parse_one",
                        lambda *args, **kwargs: calls.append((args, kwargs)) or real(*args, **kwargs))
    return calls


@pytest.fixture
def analyser():
    return sqlglot_main.QarvelSQLGlotMain()
