"""Small fixtures shared by the test modules."""

import subprocess
import sys

import pytest


def _run_py(code, timeout=180):
    """Run ``code`` in a fresh interpreter and return the CompletedProcess."""
    return subprocess.run([sys.executable, "-c", code], capture_output=True,
                          text=True, timeout=timeout)


@pytest.fixture
def run_py():
    return _run_py


@pytest.fixture
def analyser():
    import sqlglot_main
    return sqlglot_main.QarvelSQLGlotMain()
