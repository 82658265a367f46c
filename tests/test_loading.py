"""Loading of sqlglot_main: import failures, re-import, namespace and the class."""

import datetime
import json
import random
import re
import string
import builtins

import pandas
import prettytable
import pytest
import sqlglot

import qarvel_bases
import qarvel_crypt
import qarvel_var
import sqlglot_main

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

# name, definition line, local names, argument count, defaults, docstring
METHODS = [
    ("__init__", 27, ("self", "args", "kwargs"), 1, None,
     "QarvelSQLGlotMain.__init__(self, *args, **kwargs)"),
    ("_set_sql_md5", 48, ("self", "sql", "sql_md5"), 2, None,
     "QarvelSQLGlotMain._set_sql_md5(self, sql)"),
    ("_format", 57, ("self", "sql", "sql_md5", "format_sql"), 2, None,
     "QarvelSQLGlotMain._format(self, sql)"),
    ("_parse", 72, ("self", "sql", "dialect", "callback", "sql_md5", "format_sql",
                    "expression"), 4, None,
     "QarvelSQLGlotMain._parse(self, sql, dialect, callback)"),
    ("_get_columns", 82, ("self", "sql_md5", "expressions", "expression",
                          "subquery_expressions", "find_list"), 3, None,
     "QarvelSQLGlotMain._get_columns(self, sql_md5, expressions)"),
    ("_find_column", 112, ("self", "sql_md5", "find_list", "column_type", "column_alias",
                           "column", "column_table", "old_alias", "table"), 5, (None,),
     "QarvelSQLGlotMain._find_column(self, sql_md5, find_list, column_type, column_alias=None)"),
    ("_get_column_parent", 119, ("column", "column_table", "old", "parent", "table"), 2, None,
     "QarvelSQLGlotMain._get_column_parent(column, column_table)"),
    ("_append_column_info", 131, ("self", "sql_md5", "column", "column_table", "column_alias",
                                  "column_type", "table", "column_table_alias", "column_name",
                                  "text", "column_info"), 7, (None,),
     "QarvelSQLGlotMain._append_column_info(self, sql_md5, column, column_table, "
     "column_alias, column_type, table=None)"),
    ("_get_tables", 162, ("self", "sql_md5", "expression", "new_columns", "with_expression",
                          "select_args", "select", "subquery", "subquery_args", "from_args",
                          "join_args", "join"), 3, None,
     "QarvelSQLGlotMain._get_tables(self, sql_md5, expression)"),
    ("_match_column", 183, ("self", "sql_md5", "table_args", "columns", "new_columns", "column",
                            "text", "table_new_columns", "table_column"), 4, None,
     "QarvelSQLGlotMain._match_column(self, sql_md5, table_args, columns)"),
    ("_callback", 229, ("self", "sql_md5", "callback", "callback_function", "function"), 3, None,
     "QarvelSQLGlotMain._callback(self, sql_md5, callback)"),
    ("_callback_qarvel", 241, ("self", "sql_md5"), 2, None,
     "QarvelSQLGlotMain._callback_qarvel(self, sql_md5)"),
    ("_callback_print", 244, ("self", "sql_md5", "text_list", "column"), 2, None,
     "QarvelSQLGlotMain._callback_print(self, sql_md5)"),
    ("_callback_normal", 255, ("self", "sql_md5"), 2, None,
     "QarvelSQLGlotMain._callback_normal(self, sql_md5)"),
    ("_callback_dataframe", 258, ("self", "sql_md5"), 2, None,
     "QarvelSQLGlotMain._callback_dataframe(self, sql_md5)"),
    ("_callback_sql", 261, ("self", "sql_md5"), 2, None,
     "QarvelSQLGlotMain._callback_sql(self, sql_md5)"),
    ("_callback_table", 264, ("self", "sql_md5", "table", "field_names", "row", "field"), 2, None,
     "QarvelSQLGlotMain._callback_table(self, sql_md5)"),
]
METHOD_NAMES = [row[0] for row in METHODS]
CLS = sqlglot_main.QarvelSQLGlotMain


def child_json(run_py, code):
    proc = run_py(PRELUDE + code)
    assert proc.returncode == 0, proc.stderr
    return json.loads(proc.stdout.splitlines()[-1])


# --- import failures ----------------------------------------------------------

SIBLINGS = [("qarvel_bases", "QarvelBases", 17), ("qarvel_crypt", "QarvelCrypt", 18),
            ("qarvel_var", "QarvelVar", 19)]


@pytest.mark.parametrize("module, cls, line", SIBLINGS)
def test_missing_sibling_module_fails_at_its_line(run_py, module, cls, line):
    out = child_json(run_py, f'''
sys.modules[{module!r}] = None
exc = try_import()
print(json.dumps([type(exc).__name__, exc.name, init_entries(exc)]))
''')
    assert out == ["ModuleNotFoundError", module, [["sqlglot_main.py", line]]]


@pytest.mark.parametrize("module, cls, line", SIBLINGS)
def test_sibling_without_its_class_fails_with_cannot_import(run_py, module, cls, line):
    out = child_json(run_py, f'''
sys.modules[{module!r}] = types.ModuleType({module!r})
exc = try_import()
print(json.dumps([type(exc).__name__, str(exc), init_entries(exc)]))
''')
    assert out == ["ImportError", f"cannot import name {cls}", [["sqlglot_main.py", line]]]


def test_failing_digest_helper_constructor_then_retry(run_py):
    out = child_json(run_py, '''
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


# --- successful loads -----------------------------------------------------------

def test_reimport_returns_same_module_without_rerunning(run_py):
    out = child_json(run_py, '''
import sqlglot_main as m1
cls = m1.QarvelSQLGlotMain
marker = m1.crypt = object()
del sys.modules["sqlglot_main"]
import sqlglot_main as m2
print(json.dumps([m2 is m1, m2.QarvelSQLGlotMain is cls, m2.crypt is marker,
                  sys.modules["sqlglot_main"] is m1]))
''')
    assert out == [True, True, True, True]


def test_import_under_another_name_keeps_fixed_names(run_py):
    out = child_json(run_py, '''
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


def test_no_version_warning_on_this_interpreter(run_py):
    out = child_json(run_py, '''
import warnings
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    import sqlglot_main
print(json.dumps([str(w.message) for w in caught if "sqlglot_main" in str(w.message)]))
''')
    assert out == []


def test_namespace_order_after_fresh_import(run_py):
    out = child_json(run_py, '''
import sqlglot_main
names = list(vars(sqlglot_main))
print(json.dumps(names[names.index("__builtins__"):]))
''')
    assert out == NAMESPACE


def test_namespace_values():
    ns = vars(sqlglot_main)
    assert sqlglot_main.__name__ == "sqlglot_main"
    assert ns["__builtins__"] is builtins
    assert (ns["json"], ns["random"], ns["re"], ns["string"]) == (json, random, re, string)
    assert ns["datetime"] is datetime.datetime
    assert ns["pd"] is pandas
    assert ns["QarvelBases"] is qarvel_bases.QarvelBases
    assert ns["QarvelCrypt"] is qarvel_crypt.QarvelCrypt
    assert ns["QarvelVar"] is qarvel_var.QarvelVar
    assert ns["PrettyTable"] is prettytable.PrettyTable
    assert ns["parse_one"] is sqlglot.parse_one
    assert ns["exp"] is sqlglot.exp
    assert type(ns["crypt"]) is qarvel_crypt.QarvelCrypt
    assert type(ns["__test__"]) is dict and ns["__test__"] == {}
    assert "sqlglot_main.py" in sqlglot_main.__doc__


# --- the class and its methods ---------------------------------------------------

def test_class_shape():
    assert type(CLS) is type
    assert CLS.__name__ == CLS.__qualname__ == "QarvelSQLGlotMain"
    assert CLS.__module__ == "sqlglot_main"
    assert CLS.__doc__ is None
    assert CLS.__bases__ == (object,)
    assert qarvel_bases.QarvelBases not in CLS.__mro__


def test_class_namespace_holds_exactly_the_methods_in_order():
    # A class built by type() from __module__, __qualname__ and the methods.
    ref = type("QarvelSQLGlotMain", (), {"__module__": "sqlglot_main",
                                         "__qualname__": "QarvelSQLGlotMain",
                                         **{name: None for name in METHOD_NAMES}})
    assert list(vars(CLS)) == list(vars(ref))
    assert [n for n in vars(CLS) if n in METHOD_NAMES] == METHOD_NAMES


def test_static_and_instance_method_access(analyser):
    stored = vars(CLS)["_get_column_parent"]
    assert type(stored) is staticmethod
    assert CLS._get_column_parent is stored.__func__
    assert analyser._get_column_parent is stored.__func__
    assert CLS._parse is vars(CLS)["_parse"]
    bound = analyser._parse
    assert bound.__self__ is analyser and bound.__func__ is vars(CLS)["_parse"]


@pytest.mark.parametrize("name, line, varnames, argcount, defaults, doc", METHODS,
                         ids=METHOD_NAMES)
def test_method_attributes(name, line, varnames, argcount, defaults, doc):
    func = vars(CLS)[name]
    if name == "_get_column_parent":
        func = func.__func__
    assert func.__name__ == name
    assert func.__qualname__ == "QarvelSQLGlotMain." + name
    assert func.__module__ == "sqlglot_main"
    assert func.__doc__ == doc
    assert func.__globals__ is vars(sqlglot_main)
    assert func.__closure__ is None
    assert func.__defaults__ == defaults
    code = func.__code__
    assert (code.co_name, code.co_qualname) == (name, name)
    assert code.co_filename.endswith("sqlglot_main.py")
    assert code.co_firstlineno == line
    assert code.co_varnames == varnames
    assert code.co_nlocals == len(varnames)
    assert code.co_argcount == argcount
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    assert code.co_flags == (0xF if name == "__init__" else 0x3)
