"""Argument binding of the analyser's methods, method attributes and failure reports."""

import builtins
import itertools
import traceback
import types

import pytest

import sqlglot_main
from helpers import FROM_KEY, METHODS, PREFIX, Boom, entries, run_py, select_of
from sqlglot_main import QarvelSQLGlotMain as Q

LINE = {m[0]: m[3] for m in METHODS}
IDS = [m[0] for m in METHODS]


def raised(call, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    return info.value


class StubStages(Q):
    """_parse with registration and output replaced; the store is a stub."""

    def __init__(self):
        self.seen = []
        self.record = types.SimpleNamespace(parse_columns=["done"], dialect="unset")
        self._var = types.SimpleNamespace(get=lambda key: self.seen.append(("get", key)) or self.record)

    def _set_sql_md5(self, sql):
        self.seen.append(("register", sql))
        return "fp"

    def _callback(self, sql_md5, callback):
        self.seen.append(("callback", sql_md5, callback))
        return ("out", sql_md5, callback)


# ---------------------------------------------------------------- messages

def count_message(name, word, number, given):
    return f"{name}() takes {word} {number} positional argument{'' if number == 1 else 's'} ({given} given)"


@pytest.mark.parametrize("name,params,required,line,locs", METHODS, ids=IDS)
def test_count_errors_of_every_method(name, params, required, line, locs):
    n = len(params)
    calls = [([object()] * (required - 1),
              count_message(name, "exactly" if required == n and name != "__init__" else "at least",
                            required, required - 1))]
    if name != "__init__":
        calls.append(([object()] * (n + 1),
                      count_message(name, "exactly" if required == n else "at most", n, n + 1)))
    for args, message in calls:
        exc = raised(getattr(Q, name), *args)
        assert type(exc) is TypeError and str(exc) == message
        assert entries(exc) == [(name, line)]


@pytest.mark.parametrize("call,message", [
    (lambda a: a._parse("s"), "_parse() takes exactly 4 positional arguments (2 given)"),
    (lambda a: a._parse(sql="s", callback="c"), "_parse() takes exactly 4 positional arguments (2 given)"),
    # a missing parameter wins over an unexpected or a duplicate keyword
    (lambda a: a._parse(sq="s", dialect="d", callback="c"),
     "_parse() takes exactly 4 positional arguments (1 given)"),
    (lambda a: a._parse("s", sql="t"), "_parse() takes exactly 4 positional arguments (2 given)"),
    # too many positionals are reported even when keywords follow
    (lambda a: a._parse("s", "d", "c", "x", sql="t"),
     "_parse() takes exactly 4 positional arguments (5 given)"),
    (lambda a: a._find_column("m", column_alias="k"),
     "_find_column() takes at least 4 positional arguments (2 given)"),
    (lambda a: a._find_column("m", "f", "t", "a", "x", column_alias="k"),
     "_find_column() takes at most 5 positional arguments (6 given)"),
    # the static method counts no instance, also through an instance
    (lambda a: a._get_column_parent("c"), "_get_column_parent() takes exactly 2 positional arguments (1 given)"),
    (lambda a: Q.__init__(x=1), "__init__() takes at least 1 positional argument (0 given)"),
    (lambda a: a._parse("s", "d", "c", sql="t"), "_parse() got multiple values for keyword argument 'sql'"),
    (lambda a: a._parse("s", "d", "c", self="t"), "_parse() got multiple values for keyword argument 'self'"),
    (lambda a: a._parse("s", "d", "c", sq="t"), "_parse() got an unexpected keyword argument 'sq'"),
    # the first offending keyword in call order decides
    (lambda a: a._parse("s", "d", "c", zz=1, sql="t"), "_parse() got an unexpected keyword argument 'zz'"),
    (lambda a: a._parse("s", "d", "c", sql="t", zz=1), "_parse() got multiple values for keyword argument 'sql'"),
    (lambda a: a._find_column("m", "f", "t", column_alias="k", bogus=1),
     "_find_column() got an unexpected keyword argument 'bogus'"),
    (lambda a: Q(self=1), "__init__() got multiple values for keyword argument 'self'"),
    (lambda a: a._parse(**{1: 2}), "keywords must be strings"),
    (lambda a: Q.__init__(**{1: 2}), "keywords must be strings"),
])
def test_binding_messages(analyser, call, message):
    exc = raised(call, analyser)
    assert type(exc) is TypeError
    assert str(exc).endswith(message)
    if "(" in message:
        assert str(exc) == message
        name = message.split("(")[0]
        assert entries(exc) == [(name, LINE[name])]


def test_binding_failure_entry_printed_and_body_not_run():
    a = StubStages()
    exc = raised(a._parse, "S", "D", "C", sq="T")
    tb = exc.__traceback__.tb_next
    assert tb.tb_next is None and tb.tb_frame.f_globals is vars(sqlglot_main)
    text = "".join(traceback.format_exception(exc))
    assert 'File "sqlglot_main.py", line 72, in sqlglot_main.QarvelSQLGlotMain._parse' in text
    for call in (lambda: a._parse("S", "D"), lambda: a._parse("S", "D", "C", sql="T"),
                 lambda: Q._parse(a, "S", "D", "C", "E")):
        assert type(raised(call)) is TypeError
    assert a.seen == [] and a.record.dialect == "unset"
    real = Q()
    raised(real._set_sql_md5, "select 1", extra=1)
    raised(real._format, "select 1", sql="select 1")
    assert len(list(real._var.keys())) == 0


# ------------------------------------------------------------ successful binds

def test_every_split_between_positional_and_keyword_binds_alike():
    names, values = ["self", "sql", "dialect", "callback"], [None, "S", "D", "C"]
    for p in range(5):
        for order in itertools.permutations(range(p, 4)):
            a = StubStages()
            values[0] = a
            keywords = {names[i]: values[i] for i in order}
            assert Q._parse(*values[:p], **keywords) == ("out", "fp", "C"), (p, order)
            assert a.seen == [("register", "S"), ("get", "fp"), ("get", "fp"), ("callback", "fp", "C")]
            assert a.record.dialect == "D"


def test_keyword_matched_by_text_and_any_object_as_self(analyser):
    expected = sqlglot_main.crypt.md5_encrypt("select 1")
    # a keyword name equal in text but not the same object
    assert analyser._set_sql_md5(**{"".join(["s", "ql"]): "select 1"}) == expected
    holder = types.SimpleNamespace()
    assert Q.__init__(self=holder) is None
    assert Q._set_sql_md5(holder, "select 2") in holder._var.keys()
    exc = raised(Q._set_sql_md5, object(), "select 2")
    assert type(exc) is AttributeError and entries(exc) == [("_set_sql_md5", 51)]


def test_find_column_alias_default_and_keyword():
    find_list = select_of("select a from t").expressions

    class AppendRecorder(Q):
        def _append_column_info(self, sql_md5, column, column_table, column_alias, column_type, table):
            self.alias = column_alias
    a = AppendRecorder()

    def alias_of(*args, **kwargs):
        assert a._find_column(*args, **kwargs) is None
        return a.alias

    # with no alias given, the column's own name is recorded
    assert alias_of("m", find_list, "column") == "a"
    assert alias_of("m", find_list, "column", column_alias="k") == "k"
    assert alias_of("m", find_list, "column", "p") == "p"
    assert alias_of(sql_md5="m", find_list=find_list, column_type="column") == "a"
    saved = Q._find_column.__defaults__
    try:
        Q._find_column.__defaults__ = ("x",)
        assert alias_of("m", find_list, "column") == "a"
    finally:
        Q._find_column.__defaults__ = saved


# ---------------------------------------------------------- method attributes

@pytest.mark.parametrize("name,params,required,line,locs", METHODS, ids=IDS)
def test_method_object_attributes(name, params, required, line, locs):
    raw = Q.__dict__[name]
    f = raw.__func__ if type(raw) is staticmethod else raw
    assert (type(raw) is staticmethod) == (name == "_get_column_parent") and getattr(Q, name) is f
    shown = [p + "=None" if i >= required else p for i, p in enumerate(params)]
    if name == "__init__":
        shown += ["*args", "**kwargs"]
    assert f.__doc__ == f"QarvelSQLGlotMain.{name}({', '.join(shown)})"
    assert (f.__name__, f.__qualname__, f.__module__) == (name, "QarvelSQLGlotMain." + name, "sqlglot_main")
    assert f.__globals__ is vars(sqlglot_main) and f.__closure__ is None
    assert f.__defaults__ == ((None,) if required < len(params) and name != "__init__" else None)
    code = f.__code__
    assert (code.co_name, code.co_qualname, code.co_firstlineno) == (name, name, line)
    assert (code.co_argcount, code.co_posonlyargcount, code.co_kwonlyargcount) == (len(params), 0, 0)
    assert code.co_varnames == tuple(locs) and code.co_nlocals == len(locs)
    assert code.co_flags == (0xF if name == "__init__" else 0x3)
    assert code.co_filename.endswith("sqlglot_main.py")


def test_access_through_an_instance(analyser):
    select = select_of("select a from t")
    assert analyser._get_column_parent(column_table="", column=select.expressions[0]) == \
        ("", select.args[FROM_KEY].this)
    bound = analyser._parse
    assert type(bound) is types.MethodType and bound.__self__ is analyser and bound.__func__ is Q._parse


def test_name_and_qualname_accept_only_str():
    f = Q._callback_qarvel
    saved = f.__name__, f.__qualname__, f.__doc__
    try:
        f.__name__, f.__qualname__, f.__doc__ = "renamed", "Other.renamed", 42
        assert (f.__name__, f.__qualname__, f.__doc__) == ("renamed", "Other.renamed", 42)
        for attr, value in (("__name__", 5), ("__qualname__", None)):
            assert str(raised(setattr, f, attr, value)) == f"{attr} must be set to a string object"
    finally:
        f.__name__, f.__qualname__, f.__doc__ = saved


# -------------------------------------------------------- body failures

def test_body_failure_propagates_unchanged_with_caller_above_callee():
    boom = Boom("stop")

    class Failing(StubStages):
        def _set_sql_md5(self, sql):
            raise boom

    a = Failing()
    for call, line in ((lambda: a._parse("S", "D", "C"), ("_parse", 73)),
                       (lambda: a._format("select 1"), ("_format", 58))):
        exc = raised(call)
        assert exc is boom and exc.args == ("stop",)
        assert entries(exc) == [line]
        names = [f.name for f in traceback.extract_tb(exc.__traceback__)]
        assert names.index(PREFIX + line[0]) < names.index("_set_sql_md5")
        boom = Boom("stop")  # a fresh exception, with no traceback yet
    assert a.record.dialect == "unset"


def test_failure_two_native_levels_deep():
    class SecondRegistrationFails(Q):
        calls = 0

        def _set_sql_md5(self, sql):
            self.calls += 1
            if self.calls == 2:
                raise Boom(sql)
            return super()._set_sql_md5(sql)

    exc = raised(SecondRegistrationFails()._parse, "select 1", None, "normal")
    assert type(exc) is Boom and exc.args == ("select 1",)
    assert entries(exc) == [("_parse", 76), ("_format", 58)]
    assert traceback.extract_tb(exc.__traceback__)[-1].name == "_set_sql_md5"


def test_module_globals_looked_up_in_module_then_builtins(analyser, monkeypatch):
    monkeypatch.delattr(sqlglot_main, "crypt")
    exc = raised(analyser._set_sql_md5, "select 1")
    assert type(exc) is NameError and str(exc) == "name 'crypt' is not defined"
    assert entries(exc) == [("_set_sql_md5", 50)]
    assert entries(raised(analyser._parse, "select 1", None, "normal")) == \
        [("_parse", 73), ("_set_sql_md5", 50)]
    assert len(list(analyser._var.keys())) == 0
    monkeypatch.delattr(sqlglot_main, "QarvelVar")
    monkeypatch.setattr(builtins, "QarvelVar", dict, raising=False)
    assert type(Q()._var) is dict
    monkeypatch.delattr(builtins, "QarvelVar")
    exc = raised(Q)
    assert type(exc) is NameError and str(exc) == "name 'QarvelVar' is not defined"
    assert entries(exc) == [("__init__", 29)]


RECURSION_SCRIPT = """
import sys
from sqlglot_main import QarvelSQLGlotMain as Q

class ThroughPython(Q):
    def _set_sql_md5(self, sql):
        return self._format(sql)

class NativeOnly(Q):
    _set_sql_md5 = Q._format

try:
    {"python": ThroughPython, "native": NativeOnly}[sys.argv[1]]()._format("select 1")
except RecursionError:
    print("caught RecursionError")
"""


@pytest.mark.parametrize("variant", ["python", "native"])
def test_infinite_mutual_recursion_is_a_recursion_error(variant):
    done = run_py(RECURSION_SCRIPT, variant, timeout=300)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "caught RecursionError"
