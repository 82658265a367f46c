"""Loading of sqlglot_main: import failures, re-import, namespace and the class."""

import builtins
import datetime
import json
import random
import re
import string

import pandas
import prettytable
import pytest
import sqlglot

import qarvel_bases
import qarvel_crypt
import qarvel_var
import sqlglot_main
from helpers import run_py

# Helpers prepended to every child-interpreter script.
PRELUDE = '''
import json, sys, traceback, types
def init_entries(exc):
    return [[f.filename, f.lineno] for f in traceback.extract_tb(exc.__traceback__)
            if f.name == "init sqlglot_main"]
def try_import():
    try:
        import sqlglot_main
    except Exception as exc:
        return exc
    raise SystemExit("import unexpectedly succeeded")
'''

NAMESPACE = ["__builtins__", "json", "random", "re", "string", "datetime", "pd",
             "QarvelBases", "QarvelCrypt", "QarvelVar", "PrettyTable", "parse_one",
             "exp", "crypt", "QarvelSQLGlotMain", "__test__"]
SIBLINGS = [("qarvel_bases", "QarvelBases", 17), ("qarvel_crypt", "QarvelCrypt", 18),
            ("qarvel_var", "QarvelVar", 19)]


def child_json(code):
    proc = run_py(PRELUDE + code)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.parametrize("module, cls, line", SIBLINGS)
@pytest.mark.parametrize("how", ["missing", "without class"])
def test_failing_sibling_import_reports_its_line(module, cls, line, how):
    replacement = "None" if how == "missing" else f"types.ModuleType({module!r})"
    out = child_json(f'''
sys.modules[{module!r}] = {replacement}
exc = try_import()
print(json.dumps([type(exc).__name__, exc.name if {how == "missing"} else str(exc),
                  init_entries(exc)]))
''')
    expected = (["ModuleNotFoundError", module] if how == "missing"
                else ["ImportError", f"cannot import name {cls}"])
    assert out == expected + [[["sqlglot_main.py", line]]]


def test_failing_digest_helper_constructor_then_retry():
    out = child_json('''
import hashlib
import qarvel_crypt as real
fake = types.ModuleType("qarvel_crypt")
fake.error = LookupError("no digest today")
class QarvelCrypt:
    def __init__(self):
        raise fake.error
fake.QarvelCrypt = QarvelCrypt
sys.modules["qarvel_crypt"] = fake
exc = try_import()
names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
tb = exc.__traceback__
while tb.tb_frame.f_code.co_name != "init sqlglot_main":
    tb = tb.tb_next
loaded = list(tb.tb_frame.f_globals)
sys.modules["qarvel_crypt"] = real
import sqlglot_main as m
ns = list(vars(m))
print(json.dumps({
    "same": exc is fake.error, "entries": init_entries(exc),
    "entry_above_raiser": names.index("init sqlglot_main") < names.index("__init__"),
    "loaded": loaded[loaded.index("__builtins__"):],
    "retry_crypt": type(m.crypt) is real.QarvelCrypt,
    "retry_fp": m.QarvelSQLGlotMain()._set_sql_md5("select 1") == hashlib.md5(b"select 1").hexdigest(),
    "retry_names": ns[ns.index("__builtins__"):]}))
''')
    assert out == {"same": True, "entries": [["sqlglot_main.py", 23]],
                   "entry_above_raiser": True, "loaded": NAMESPACE[:13],
                   "retry_crypt": True, "retry_fp": True, "retry_names": NAMESPACE}


def test_fresh_import_namespace_order_and_reimport():
    out = child_json('''
import warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import sqlglot_main as m1
names = list(vars(m1))
cls = m1.QarvelSQLGlotMain
marker = m1.crypt = object()
del sys.modules["sqlglot_main"]
import sqlglot_main as m2
print(json.dumps([names[names.index("__builtins__"):], [str(w.message) for w in caught],
                  m2 is m1, m2.QarvelSQLGlotMain is cls, m2.crypt is marker,
                  sys.modules["sqlglot_main"] is m1]))
''')
    assert out == [NAMESPACE, [], True, True, True, True]


def test_import_under_another_name_keeps_fixed_names():
    out = child_json('''
import importlib.util
origin = importlib.util.find_spec("sqlglot_main").origin
info = importlib.util.spec_from_file_location("alias_pkg.sqlglot_main", origin)
mod = importlib.util.module_from_spec(info)
sys.modules[info.name] = mod
info.loader.exec_module(mod)
import sqlglot_main
cls = mod.QarvelSQLGlotMain
print(json.dumps([mod.__name__, cls.__module__, cls.__qualname__, cls.__doc__,
                  sqlglot_main is mod]))
''')
    assert out == ["alias_pkg.sqlglot_main", "sqlglot_main", "QarvelSQLGlotMain", None, True]


def test_namespace_values():
    ns = vars(sqlglot_main)
    assert sqlglot_main.__name__ == "sqlglot_main" and "sqlglot_main.py" in sqlglot_main.__doc__
    expected = [builtins, json, random, re, string, datetime.datetime, pandas, qarvel_bases.QarvelBases,
                qarvel_crypt.QarvelCrypt, qarvel_var.QarvelVar, prettytable.PrettyTable,
                sqlglot.parse_one, sqlglot.exp]
    assert [ns[name] for name in NAMESPACE[:13]] == expected
    assert type(ns["crypt"]) is qarvel_crypt.QarvelCrypt
    assert type(ns["__test__"]) is dict and ns["__test__"] == {}


def test_class_shape_and_namespace_order():
    cls = sqlglot_main.QarvelSQLGlotMain
    assert type(cls) is type and cls.__bases__ == (object,)
    assert cls.__name__ == cls.__qualname__ == "QarvelSQLGlotMain"
    assert cls.__module__ == "sqlglot_main" and cls.__doc__ is None
    methods = ["__init__", "_set_sql_md5", "_format", "_parse", "_get_columns", "_find_column",
               "_get_column_parent", "_append_column_info", "_get_tables", "_match_column",
               "_callback", "_callback_qarvel", "_callback_print", "_callback_normal",
               "_callback_dataframe", "_callback_sql", "_callback_table"]
    # A class built by type() from __module__, __qualname__ and the methods.
    ref = type("QarvelSQLGlotMain", (), {"__module__": "sqlglot_main",
                                         "__qualname__": "QarvelSQLGlotMain",
                                         **dict.fromkeys(methods)})
    assert list(vars(cls)) == list(vars(ref))
    assert [n for n in vars(cls) if n in methods] == methods
