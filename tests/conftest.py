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


# --- stored graphs of the test dbt project and of the Tuva project, built once --------------

@pytest.fixture(scope="session")
def shop_graph(tmp_path_factory):
    """(the test dbt project built with dbt-duckdb, its graph file)."""
    from serve_helpers import graph_of
    from shop_build import _made

    project = _made(tmp_path_factory, (["build"], ["docs", "generate"]))
    return project, graph_of(tmp_path_factory, "shop", "--dbt", project)


@pytest.fixture(scope="session")
def tuva_graph(tmp_path_factory):
    """The graph file of the Tuva project (skipped where its target/ is not here)."""
    from helpers import TUVA
    from serve_helpers import graph_of

    if not (TUVA / "manifest.json").is_file():
        pytest.skip("the Tuva project's target/ is not here")
    return graph_of(tmp_path_factory, "tuva", "--dbt", TUVA)
