"""The type stubs as a user's type checker sees them: mypy and pyright run on
a file of `assert_type` checks, against the installed package."""

import json
import os
import subprocess
import sys

import pytest

from sqlglot_main import QarvelSQLGlotMain

# Each line marked "error" must be reported, and nothing else.
CHECKS = '''\
import pathlib
from typing import Any, assert_type

import pandas
from prettytable import PrettyTable
from qarvel_var import Column, QarvelVar, Record
from sqlglot_main import QarvelSQLGlotMain

analyser = QarvelSQLGlotMain()
sql = "select a, b as c from db1.t1 x"
assert_type(analyser._parse(sql, None, "normal"), list[dict[str, Any]])
assert_type(analyser._parse(sql, "mysql", "dataframe"), pandas.DataFrame)
assert_type(analyser._parse(sql, None, "print"), str)
assert_type(analyser._parse(sql, None, "sql"), str)
assert_type(analyser._parse(sql, None, "table"), PrettyTable)
columns = analyser._parse(pathlib.Path("q.sql"), None, "qarvel")
assert_type(columns, list[Column])
assert_type(columns[0].alias, Any)
assert_type(columns[0]["table"], Any)


def any_callback(callback: str) -> None:
    assert_type(analyser._parse(sql, None, callback), Any)


md5 = analyser._set_sql_md5(sql)
assert_type(md5, str)
assert_type(analyser._format(sql), str)
assert_type(analyser._callback_print(md5), str)
assert_type(analyser._callback_sql(md5), str)
assert_type(analyser._callback_dataframe(md5), pandas.DataFrame)
assert_type(analyser._callback_table(md5), PrettyTable)
assert_type(analyser._callback_normal(md5), list[dict[str, Any]] | None)
assert_type(analyser._callback_qarvel(md5), list[Column] | None)
assert_type(analyser._var, QarvelVar)
assert_type(analyser._var.get(md5), Record | None)
analyser._parse(42, None, "normal")  # error
analyser._parse(sql, None, "normal").upper()  # error
'''

EXPECTED_ERROR_LINES = [number for number, line in enumerate(CHECKS.splitlines(), 1)
                        if line.endswith("# error")]


@pytest.fixture(scope="module")
def checks(tmp_path_factory):
    path = tmp_path_factory.mktemp("typing") / "checks.py"
    path.write_text(CHECKS, encoding="utf-8")
    return path


def checker_env():
    # The checkers are not under test: a sanitizer runtime preloaded for the
    # suite stays out of them.
    env = {key: value for key, value in os.environ.items()
           if key not in ("LD_PRELOAD", "PYTHONMALLOC")}
    env["PYRIGHT_PYTHON_IGNORE_WARNINGS"] = "1"  # no version look-up
    return env


def test_mypy_reads_the_stubs(checks):
    done = subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-error-summary", "--show-error-codes",
         "--cache-dir", str(checks.parent / "mypy-cache"), str(checks)],
        capture_output=True, text=True, timeout=600, env=checker_env(), cwd=checks.parent)
    errors = [line for line in done.stdout.splitlines() if ": error: " in line]
    assert [int(line.split(":")[1]) for line in errors] == EXPECTED_ERROR_LINES, done.stdout
    assert '"_parse" of "QarvelSQLGlotMain" matches argument types "int"' in errors[0]
    assert '"list[dict[str, Any]]" has no attribute "upper"' in errors[1]


def test_pyright_reads_the_stubs(checks):
    done = subprocess.run(
        [sys.executable, "-m", "pyright", "--outputjson", "--pythonpath", sys.executable,
         str(checks)],
        capture_output=True, text=True, timeout=600, env=checker_env(), cwd=checks.parent)
    report = json.loads(done.stdout)
    errors = {}
    for diagnostic in report["generalDiagnostics"]:
        if diagnostic["severity"] == "error":
            line = diagnostic["range"]["start"]["line"] + 1
            errors.setdefault(line, []).append(diagnostic["message"].splitlines()[0])
    assert sorted(errors) == EXPECTED_ERROR_LINES, errors
    first, second = (errors[line] for line in EXPECTED_ERROR_LINES)
    assert 'No overloads for "_parse" match the provided arguments' in first
    assert second == ['Cannot access attribute "upper" for class "list[ColumnRecord]"']


def test_outputs_that_answer_none_for_a_statement_never_analysed():
    analyser = QarvelSQLGlotMain()
    md5 = analyser._set_sql_md5("select a from t")
    assert analyser._callback_normal(md5) is None
    assert analyser._callback_qarvel(md5) is None
    assert analyser._callback_sql(md5) == "select a from t"


def test_the_engine_stub_names_every_function_with_its_arity():
    import ast
    import re

    from qarvel_lineage.engine import _engine
    from qarvel_lineage.engine.rules import Strategy

    stub = os.path.join(os.path.dirname(_engine.__file__), "_engine.pyi")
    with open(stub, encoding="utf-8") as handle:
        body = ast.parse(handle.read()).body
    declared = {node.name: len(node.args.posonlyargs) for node in body if isinstance(node, ast.FunctionDef)}
    constants = {node.target.id for node in body if isinstance(node, ast.AnnAssign)}
    public = {name for name in dir(_engine) if not name.startswith("_")}
    assert set(declared) | constants == public
    assert _engine.STRATEGIES == tuple(member.name for member in Strategy)
    for name, count in declared.items():
        with pytest.raises(TypeError) as raised:
            getattr(_engine, name)(*[None] * (count + 1))
        assert re.fullmatch(rf"{name}\(\) takes exactly {count} arguments \({count + 1} given\)",
                            str(raised.value))
