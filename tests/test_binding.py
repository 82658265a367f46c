"""Argument binding of the analyser's methods and how failures are reported.

Every method binds positional and keyword arguments itself, with fixed
TypeError wordings, and every failing method adds exactly one traceback entry
"sqlglot_main.QarvelSQLGlotMain.<name>" in file "sqlglot_main.py" at the line
of the failing statement (the definition line for a binding failure).
"""

import builtins
import itertools
import os
import subprocess
import sys
import textwrap
import traceback
import types

import pytest
import sqlglot

import sqlglot_main
from sqlglot_main import QarvelSQLGlotMain as Q

PREFIX = "sqlglot_main.QarvelSQLGlotMain."
THIS_FILE = os.path.basename(__file__)

# name, named parameters, required count, definition line, locals
METHODS = [
    ("__init__", ["self"], 1, 27, ["self", "args", "kwargs"]),
    ("_set_sql_md5", ["self", "sql"], 2, 48, ["self", "sql", "sql_md5"]),
    ("_format", ["self", "sql"], 2, 57, ["self", "sql", "sql_md5", "format_sql"]),
    ("_parse", ["self", "sql", "dialect", "callback"], 4, 72,
     ["self", "sql", "dialect", "callback", "sql_md5", "format_sql", "expression"]),
    ("_get_columns", ["self", "sql_md5", "expressions"], 3, 82,
     ["self", "sql_md5", "expressions", "expression", "subquery_expressions", "find_list"]),
    ("_find_column", ["self", "sql_md5", "find_list", "column_type", "column_alias"], 4, 112,
     ["self", "sql_md5", "find_list", "column_type", "column_alias", "column",
      "column_table", "old_alias", "table"]),
    ("_get_column_parent", ["column", "column_table"], 2, 119,
     ["column", "column_table", "old", "parent", "table"]),
    ("_append_column_info", ["self", "sql_md5", "column", "column_table", "column_alias",
                             "column_type", "table"], 6, 131,
     ["self", "sql_md5", "column", "column_table", "column_alias", "column_type", "table",
      "column_table_alias", "column_name", "text", "column_info"]),
    ("_get_tables", ["self", "sql_md5", "expression"], 3, 162,
     ["self", "sql_md5", "expression", "new_columns", "with_expression", "select_args",
      "select", "subquery", "subquery_args", "from_args", "join_args", "join"]),
    ("_match_column", ["self", "sql_md5", "table_args", "columns"], 4, 183,
     ["self", "sql_md5", "table_args", "columns", "new_columns", "column", "text",
      "table_new_columns", "table_column"]),
    ("_callback", ["self", "sql_md5", "callback"], 3, 229,
     ["self", "sql_md5", "callback", "callback_function", "function"]),
    ("_callback_qarvel", ["self", "sql_md5"], 2, 241, ["self", "sql_md5"]),
    ("_callback_print", ["self", "sql_md5"], 2, 244, ["self", "sql_md5", "text_list", "column"]),
    ("_callback_normal", ["self", "sql_md5"], 2, 255, ["self", "sql_md5"]),
    ("_callback_dataframe", ["self", "sql_md5"], 2, 258, ["self", "sql_md5"]),
    ("_callback_sql", ["self", "sql_md5"], 2, 261, ["self", "sql_md5"]),
    ("_callback_table", ["self", "sql_md5"], 2, 264,
     ["self", "sql_md5", "table", "field_names", "row", "field"]),
]
LINE = {m[0]: m[3] for m in METHODS}
IDS = [m[0] for m in METHODS]


def raised(fn, *args, **kwargs):
    try:
        fn(*args, **kwargs)
    except BaseException as exc:  # noqa: BLE001 - handed back to the test
        return exc
    pytest.fail(f"{fn!r} raised nothing")


def entries(exc):
    """Traceback entries below the frame of raised()."""
    tb = traceback.extract_tb(exc.__traceback__)
    assert tb[0].name == "raised"
    return [(e.filename, e.name, e.lineno) for e in tb[1:]]


def entry(name):
    return ("sqlglot_main.py", PREFIX + name, LINE[name])


def at(name, line):
    return ("sqlglot_main.py", PREFIX + name, line)


def count_message(name, word, number, given):
    return f"{name}() takes {word} {number} positional argument{'' if number == 1 else 's'} ({given} given)"


class Boom(Exception):
    pass


class StubStages(Q):
    """_parse with registration and output replaced; the store is a stub."""

    def __init__(self):
        super().__init__()
        self.seen = []
        self.record = types.SimpleNamespace(parse_columns=["done"], dialect="unset")
        record, seen = self.record, self.seen

        class Store:
            def get(self, key):
                seen.append(("get", key))
                return record
        self._var = Store()

    def _set_sql_md5(self, sql):
        self.seen.append(("register", sql))
        return "fp"

    def _callback(self, sql_md5, callback):
        self.seen.append(("callback", sql_md5, callback))
        return ("out", sql_md5, callback)


class AppendRecorder(Q):
    def __init__(self):
        super().__init__()
        self.appended = []

    def _append_column_info(self, *args, **kwargs):
        self.appended.append((args, kwargs))


@pytest.fixture
def a():
    return Q()


@pytest.fixture
def select_a():
    return sqlglot.parse_one("select a from t").find(sqlglot.exp.Select)


# ---------------------------------------------------------------- count errors

def _too_few(name, params, required):
    n = len(params)
    # __init__ takes *args, so it always says "at least"
    word = "exactly" if required == n and name != "__init__" else "at least"
    args = [object()] * (required - 1)
    return args, count_message(name, word, required, required - 1)


def _too_many(name, params, required):
    n = len(params)
    word = "exactly" if required == n else "at most"
    return [object()] * (n + 1), count_message(name, word, n, n + 1)


@pytest.mark.parametrize("name,params,required,line,locs", METHODS, ids=IDS)
def test_too_few_positional_arguments(name, params, required, line, locs):
    args, message = _too_few(name, params, required)
    exc = raised(getattr(Q, name), *args)
    assert type(exc) is TypeError and str(exc) == message
    assert entries(exc) == [entry(name)]


@pytest.mark.parametrize("name,params,required,line,locs",
                         [m for m in METHODS if m[0] != "__init__"], ids=IDS[1:])
def test_too_many_positional_arguments(name, params, required, line, locs):
    args, message = _too_many(name, params, required)
    exc = raised(getattr(Q, name), *args)
    assert type(exc) is TypeError and str(exc) == message
    assert entries(exc) == [entry(name)]


@pytest.mark.parametrize("call,message", [
    (lambda a: a._parse("s"), "_parse() takes exactly 4 positional arguments (2 given)"),
    (lambda a: a._parse(sql="s", callback="c"), "_parse() takes exactly 4 positional arguments (2 given)"),
    (lambda a: a._parse("s", "d", "c", "x"), "_parse() takes exactly 4 positional arguments (5 given)"),
    (lambda a: a._parse(sq="s", dialect="d", callback="c"),
     "_parse() takes exactly 4 positional arguments (1 given)"),
    # a missing parameter wins over a duplicate one
    (lambda a: a._parse("s", sql="t"), "_parse() takes exactly 4 positional arguments (2 given)"),
    # too many positionals are reported even when keywords follow
    (lambda a: a._parse("s", "d", "c", "x", sql="t"),
     "_parse() takes exactly 4 positional arguments (5 given)"),
    (lambda a: a._find_column("m", "f"), "_find_column() takes at least 4 positional arguments (3 given)"),
    (lambda a: a._find_column("m", "f", "t", "a", "x"),
     "_find_column() takes at most 5 positional arguments (6 given)"),
    (lambda a: a._find_column("m", column_alias="k"),
     "_find_column() takes at least 4 positional arguments (2 given)"),
    (lambda a: a._find_column("m", "f", "t", "a", "x", column_alias="k"),
     "_find_column() takes at most 5 positional arguments (6 given)"),
    (lambda a: Q._get_column_parent("c"), "_get_column_parent() takes exactly 2 positional arguments (1 given)"),
    (lambda a: a._get_column_parent("c"), "_get_column_parent() takes exactly 2 positional arguments (1 given)"),
    (lambda a: a._get_column_parent(), "_get_column_parent() takes exactly 2 positional arguments (0 given)"),
    (lambda a: Q.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda a: Q.__init__(x=1), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda a: a._parse("s", "d", "c", sql="t"), "_parse() got multiple values for keyword argument 'sql'"),
    (lambda a: a._parse("s", "d", "c", self="t"), "_parse() got multiple values for keyword argument 'self'"),
    (lambda a: a._parse("s", "d", "c", sq="t"), "_parse() got an unexpected keyword argument 'sq'"),
    # the first offending keyword in call order decides
    (lambda a: a._parse("s", "d", "c", zz=1, sql="t"), "_parse() got an unexpected keyword argument 'zz'"),
    (lambda a: a._parse("s", "d", "c", sql="t", zz=1), "_parse() got multiple values for keyword argument 'sql'"),
    (lambda a: a._find_column("m", "f", "t", column_alias="k", bogus=1),
     "_find_column() got an unexpected keyword argument 'bogus'"),
    (lambda a: Q.__init__(a, self=a), "__init__() got multiple values for keyword argument 'self'"),
    (lambda a: Q(self=1), "__init__() got multiple values for keyword argument 'self'"),
])
def test_binding_messages(a, call, message):
    exc = raised(call, a)
    assert type(exc) is TypeError
    assert str(exc) == message
    name = message.split("(")[0]
    assert entries(exc)[-1] == entry(name)


@pytest.mark.parametrize("get", [
    lambda a: a._parse, lambda a: Q._parse, lambda a: Q.__init__,
    lambda a: Q._get_column_parent, lambda a: a._find_column,
])
def test_non_str_keyword_is_rejected(a, get):
    f, bad = get(a), {1: 2}
    with pytest.raises(TypeError, match="keywords must be strings"):
        f(*(), **bad)


# ------------------------------------------------------------ successful binds

def test_all_keyword_call_binds_like_positional_call():
    a = StubStages()
    assert Q._parse(self=a, sql="S", dialect="D", callback="C") == ("out", "fp", "C")
    assert a.record.dialect == "D"
    by_keyword, a.seen[:] = list(a.seen), []
    a.record.dialect = "unset"
    assert a._parse("S", "D", "C") == ("out", "fp", "C")
    assert a.seen == by_keyword == [("register", "S"), ("get", "fp"), ("get", "fp"), ("callback", "fp", "C")]
    a.seen[:] = []
    assert a._parse("S", callback="C", dialect="D") == ("out", "fp", "C")
    assert a.seen == by_keyword


def test_every_split_between_positional_and_keyword_binds_alike():
    names, values = ["self", "sql", "dialect", "callback"], [None, "S", "D", "C"]
    for p in range(5):
        for order in itertools.permutations(range(p, 4)):
            a = StubStages()
            values[0] = a
            keywords = {names[i]: values[i] for i in order}
            assert Q._parse(*values[:p], **keywords) == ("out", "fp", "C"), (p, order)
            assert a.seen[0] == ("register", "S") and a.record.dialect == "D"


def test_set_sql_md5_by_keyword(a):
    expected = sqlglot_main.crypt.md5_encrypt("select 1")
    assert a._set_sql_md5(sql="select 1") == expected
    assert Q._set_sql_md5(sql="select 1", self=a) == expected
    assert a._set_sql_md5("select 1") == expected
    # a keyword name equal in text but not the same object still binds
    assert a._set_sql_md5(**{"".join(["s", "ql"]): "select 1"}) == expected
    assert list(a._var.keys()) == [expected]


def test_any_object_serves_as_self():
    holder = types.SimpleNamespace()
    assert Q.__init__(self=holder) is None
    assert isinstance(holder._var, sqlglot_main.QarvelVar)
    md5 = Q._set_sql_md5(holder, "select 2")
    assert md5 in holder._var.keys()
    exc = raised(Q._set_sql_md5, object(), "select 2")
    assert type(exc) is AttributeError
    assert entries(exc) == [at("_set_sql_md5", 51)]


def test_constructor_ignores_extra_arguments():
    a = Q(1, 2, x=3)
    assert isinstance(a._var, sqlglot_main.QarvelVar)
    assert Q.__init__(a, 4, y=5) is None


def test_find_column_alias_default_and_keyword(select_a):
    a = AppendRecorder()
    find_list = select_a.expressions
    column, source = find_list[0], select_a.args["from"].this

    def aliases_of(*args, **kwargs):
        a.appended[:] = []
        assert a._find_column(*args, **kwargs) is None
        ((args_seen, kwargs_seen),) = a.appended
        assert kwargs_seen == {}
        assert args_seen[0] == "m" and args_seen[1] is column and args_seen[2] == ""
        assert args_seen[4] == "column" and args_seen[5] is source
        return args_seen[3]

    # with no alias given, the column's own name is recorded
    assert aliases_of("m", find_list, "column") == "a"
    assert aliases_of("m", find_list, "column", column_alias=None) == "a"
    assert aliases_of("m", find_list, "column", column_alias="k") == "k"
    assert aliases_of("m", find_list, "column", "p") == "p"
    assert aliases_of(sql_md5="m", find_list=find_list, column_type="column") == "a"
    saved = Q._find_column.__defaults__
    try:
        Q._find_column.__defaults__ = ("x",)
        assert aliases_of("m", find_list, "column") == "a"
    finally:
        Q._find_column.__defaults__ = saved
    assert Q._find_column.__defaults__ == (None,)


def test_static_method_takes_no_instance(a, select_a):
    column, source = select_a.expressions[0], select_a.args["from"].this
    for f in (Q._get_column_parent, a._get_column_parent):
        result = f(column, "")
        assert result == ("", source) and result[1] is source
        assert f(column_table="t", column=column) == ("", None)


# ---------------------------------------------------------- method attributes

@pytest.mark.parametrize("name,params,required,line,locs", METHODS, ids=IDS)
def test_method_object_attributes(name, params, required, line, locs):
    raw = Q.__dict__[name]
    f = raw.__func__ if name == "_get_column_parent" else raw
    if name == "_get_column_parent":
        assert isinstance(raw, staticmethod) and Q._get_column_parent is f
    else:
        assert getattr(Q, name) is f
    shown = [p + "=None" if i >= required else p for i, p in enumerate(params)]
    if name == "__init__":
        shown += ["*args", "**kwargs"]
    assert f.__doc__ == f"QarvelSQLGlotMain.{name}({', '.join(shown)})"
    assert f.__name__ == name and f.__qualname__ == "QarvelSQLGlotMain." + name
    assert f.__module__ == "sqlglot_main"
    assert f.__globals__ is vars(sqlglot_main)
    assert f.__closure__ is None
    assert f.__defaults__ == ((None,) if required < len(params) and name != "__init__" else None)
    code = f.__code__
    assert (code.co_name, code.co_qualname, code.co_firstlineno) == (name, name, line)
    assert code.co_argcount == len(params)
    assert (code.co_posonlyargcount, code.co_kwonlyargcount) == (0, 0)
    assert code.co_varnames == tuple(locs) and code.co_nlocals == len(locs)
    assert code.co_flags == (0xF if name == "__init__" else 0x3)
    assert code.co_filename.endswith("sqlglot_main.py")


def test_bound_and_unbound_access(a):
    assert Q.__dict__["_parse"] is Q._parse
    bound = a._parse
    assert type(bound) is types.MethodType
    assert bound.__self__ is a and bound.__func__ is Q._parse


def test_name_qualname_doc_are_settable():
    f = Q._callback_qarvel
    saved = f.__name__, f.__qualname__, f.__doc__
    try:
        f.__name__, f.__qualname__, f.__doc__ = "renamed", "Other.renamed", 42
        assert (f.__name__, f.__qualname__, f.__doc__) == ("renamed", "Other.renamed", 42)
        with pytest.raises(TypeError) as info:
            f.__name__ = 5
        assert str(info.value) == "__name__ must be set to a string object"
        with pytest.raises(TypeError) as info:
            f.__qualname__ = None
        assert str(info.value) == "__qualname__ must be set to a string object"
        f.__doc__ = None
        assert f.__doc__ is None
        assert f.__name__ == "renamed"
    finally:
        f.__name__, f.__qualname__, f.__doc__ = saved


# -------------------------------------------------------- traceback reporting

def test_binding_failure_entry_and_printed_text():
    a = StubStages()
    exc = raised(a._parse, "S", "D", "C", sq="T")
    tb = exc.__traceback__.tb_next
    assert tb.tb_next is None and tb.tb_frame.f_globals is vars(sqlglot_main)
    assert entries(exc) == [entry("_parse")]
    text = "".join(traceback.format_exception(exc))
    assert 'File "sqlglot_main.py", line 72, in sqlglot_main.QarvelSQLGlotMain._parse' in text


@pytest.mark.parametrize("call", [
    lambda a: a._parse("S", "D"),
    lambda a: a._parse("S", "D", "C", sq="T"),
    lambda a: a._parse("S", "D", "C", sql="T"),
    lambda a: Q._parse(a, "S", "D", "C", "E"),
])
def test_binding_failure_does_not_run_the_body(call):
    a = StubStages()
    exc = raised(call, a)
    assert type(exc) is TypeError
    assert a.seen == [] and a.record.dialect == "unset"


def test_binding_failure_leaves_the_store_untouched(a):
    for call in (lambda: a._set_sql_md5("select 1", extra=1), lambda: Q._set_sql_md5(a, "x", "y"),
                 lambda: a._format(), lambda: a._format("select 1", sql="select 1")):
        exc = raised(call)
        assert type(exc) is TypeError
    assert len(list(a._var.keys())) == 0


def test_body_failure_propagates_unchanged_with_caller_above_callee():
    boom = Boom("stop")

    class Failing(StubStages):
        def _set_sql_md5(self, sql):
            raise boom  # the current value of the enclosing name

    a = Failing()
    exc = raised(a._parse, "S", "D", "C")
    assert exc is boom and exc.args == ("stop",)
    got = entries(exc)
    assert got[0] == at("_parse", 73)
    assert len(got) == 2 and got[1][1] == "_set_sql_md5" and os.path.basename(got[1][0]) == THIS_FILE
    assert a.record.dialect == "unset"

    boom = Boom("again")  # a fresh exception, with no traceback yet
    exc = raised(a._format, "select 1")
    assert exc is boom
    got = entries(exc)
    assert got[0] == at("_format", 58) and len(got) == 2 and got[1][1] == "_set_sql_md5"


def test_failure_two_native_levels_deep():
    class SecondRegistrationFails(Q):
        calls = 0

        def _set_sql_md5(self, sql):
            self.calls += 1
            if self.calls == 2:
                raise Boom(sql)
            return super()._set_sql_md5(sql)

    a = SecondRegistrationFails()
    exc = raised(a._parse, "select 1", None, "normal")
    assert type(exc) is Boom and exc.args == ("select 1",)
    got = entries(exc)
    assert got[:2] == [at("_parse", 76), at("_format", 58)]
    assert len(got) == 3 and got[2][1] == "_set_sql_md5"


def test_deleted_module_global_is_a_name_error(a, monkeypatch):
    monkeypatch.delattr(sqlglot_main, "crypt")
    exc = raised(a._set_sql_md5, "select 1")
    assert type(exc) is NameError and str(exc) == "name 'crypt' is not defined"
    assert entries(exc) == [at("_set_sql_md5", 50)]
    exc = raised(a._format, "select 1")
    assert entries(exc) == [at("_format", 58), at("_set_sql_md5", 50)]
    exc = raised(a._parse, "select 1", None, "normal")
    assert entries(exc) == [at("_parse", 73), at("_set_sql_md5", 50)]
    assert len(list(a._var.keys())) == 0


def test_rebound_module_global_is_used(a, monkeypatch):
    class Digest:
        def md5_encrypt(self, text):
            return "fp_" + str(len(text))

    monkeypatch.setattr(sqlglot_main, "crypt", Digest())
    assert a._set_sql_md5("select 1") == "fp_8"


def test_module_global_found_in_builtins(monkeypatch):
    class Store:
        pass

    monkeypatch.delattr(sqlglot_main, "QarvelVar")
    monkeypatch.setattr(builtins, "QarvelVar", Store, raising=False)
    assert type(Q()._var) is Store
    monkeypatch.delattr(builtins, "QarvelVar")
    exc = raised(Q)
    assert type(exc) is NameError and str(exc) == "name 'QarvelVar' is not defined"
    assert entries(exc) == [at("__init__", 29)]


# ------------------------------------------------------------ recursion safety

RECURSION_SCRIPT = """
import sys
import sqlglot_main
from sqlglot_main import QarvelSQLGlotMain as Q

class ThroughPython(Q):
    def _set_sql_md5(self, sql):
        return self._format(sql)

class NativeOnly(Q):
    _set_sql_md5 = Q._format

cls = {"python": ThroughPython, "native": NativeOnly}[sys.argv[1]]
try:
    cls()._format("select 1")
except RecursionError:
    print("caught RecursionError")
else:
    print("no error")
"""


@pytest.mark.parametrize("variant", ["python", "native"])
def test_infinite_mutual_recursion_is_a_recursion_error(variant):
    done = subprocess.run([sys.executable, "-c", textwrap.dedent(RECURSION_SCRIPT), variant],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "caught RecursionError"
