"""Statement registration, the analyser's store and the helpers it relies on."""

import hashlib
import json
import os
import traceback

import pytest

import qarvel_crypt
import qarvel_var
import sqlglot_main
from qarvel_bases import QarvelBases

KEYS = ["sql", "columns", "alias", "text", "sort"]


def md5(text):
    return hashlib.md5(text.encode()).hexdigest()


def method_entries(exc, method):
    name = "sqlglot_main.QarvelSQLGlotMain." + method
    return [(f.filename, f.lineno) for f in traceback.extract_tb(exc.__traceback__)
            if f.name == name]


class RecordingVar(qarvel_var.QarvelVar):
    """A store that remembers every call of add."""

    def __init__(self):
        super().__init__()
        self.calls = []

    def add(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        super().add(*args, **kwargs)
        return "ignored"


@pytest.fixture
def recording(monkeypatch):
    monkeypatch.setattr(sqlglot_main, "QarvelVar", RecordingVar)
    return sqlglot_main.QarvelSQLGlotMain()


# --- the helpers the analyser relies on ----------------------------------------

def new_store(text="select 1"):
    store = qarvel_var.QarvelVar()
    store.add(**{md5(text): {"sql": text, "columns": [], "alias": [], "text": [], "sort": 0}})
    return store, md5(text)


def test_store_attributes_persist_across_get():
    store, fp = new_store()
    assert fp in store.keys()
    assert store.get(fp).sql == "select 1"
    assert not store.get(fp).format_sql and not store.get(fp).parse_columns
    store.get(fp).format_sql = "select 1"
    store.get(fp).dialect = "mysql"
    record = store.get(fp)
    record.sort += 1
    assert (store.get(fp).format_sql, store.get(fp).dialect, store.get(fp).sort) == \
        ("select 1", "mysql", 1)


def test_store_lists_are_the_stored_lists():
    store, fp = new_store()
    store.get(fp).columns.append({"sort": 1})
    store.get(fp).text.append("a-a-None-column")
    assert store.get(fp).columns is store.get(fp).columns
    store.get(fp).text.remove("a-a-None-column")
    assert store.get(fp).text == [] and len(store.get(fp).columns) == 1


def test_store_todict_is_plain_all_the_way_down():
    store, fp = new_store()
    store.get(fp).format_sql = "select 1"
    store.get(fp).parse_columns = [{"sort": 1, "column": "a", "alias": "b"}]
    column = store.get(fp).parse_columns[0]
    assert column.get("alias") == "b" and column.sort == 1
    assert list(column.keys()) == list(column) == ["sort", "column", "alias"]
    plain = store.get(fp).todict()
    assert type(plain) is dict
    assert {k: plain[k] for k in KEYS + ["format_sql"]} == {
        "sql": "select 1", "columns": [], "alias": [], "text": [], "sort": 0,
        "format_sql": "select 1"}
    assert type(plain["columns"]) is list and type(plain["parse_columns"]) is list
    assert type(plain["parse_columns"][0]) is dict
    assert plain["parse_columns"] == [{"sort": 1, "column": "a", "alias": "b"}]


def test_digest_helper_is_md5_hex():
    crypt = qarvel_crypt.QarvelCrypt()
    for text in ["", "select 1", "SELECT 1", "select '中文'"]:
        assert crypt.md5_encrypt(text) == md5(text)


def test_path_file_only_for_regular_files(tmp_path):
    regular = tmp_path / "q.sql"
    regular.write_text("select 1")
    fifo = tmp_path / "pipe"
    os.mkfifo(fifo)
    assert QarvelBases.path_file(str(regular)) is True
    for other in [str(tmp_path), os.devnull, str(fifo), str(regular) + "\n",
                  "select 1\nfrom t", regular, 0, None]:
        assert not QarvelBases.path_file(other), other


def test_path_read_decodes_utf8(tmp_path):
    path = tmp_path / "q.sql"
    path.write_bytes("select '中文' as c\n".encode())
    assert QarvelBases.path_read(str(path)) == "select '中文' as c\n"


# --- constructor ---------------------------------------------------------------

def test_constructor_ignores_arguments_and_makes_own_store():
    first = sqlglot_main.QarvelSQLGlotMain(1, x=2)
    second = sqlglot_main.QarvelSQLGlotMain()
    assert type(first._var) is qarvel_var.QarvelVar
    assert list(vars(first)) == ["_var"]
    assert first._var is not second._var
    assert sqlglot_main.QarvelSQLGlotMain.__init__(first, 3, y=4) is None


def test_constructor_failure_propagates_unchanged(monkeypatch):
    error = MemoryError("store unavailable")

    def broken_store():
        raise error
    monkeypatch.setattr(sqlglot_main, "QarvelVar", broken_store)
    with pytest.raises(MemoryError) as info:
        sqlglot_main.QarvelSQLGlotMain()
    assert info.value is error
    assert method_entries(info.value, "__init__") == [("sqlglot_main.py", 29)]
    names = [f.name for f in traceback.extract_tb(info.value.__traceback__)]
    assert names.index("sqlglot_main.QarvelSQLGlotMain.__init__") < names.index("broken_store")


# --- registration ----------------------------------------------------------------

def test_new_record_shape(recording):
    text = "".join(["select a ", "from t"])
    fp = recording._set_sql_md5(text)
    assert type(fp) is str and fp == md5(text)
    ((args, kwargs),) = recording._var.calls
    assert args == () and list(kwargs) == [fp]
    record = kwargs[fp]
    assert type(record) is dict and list(record) == KEYS
    assert record["sql"] is text
    assert record == {"sql": text, "columns": [], "alias": [], "text": [], "sort": 0}
    assert type(record["sort"]) is int
    lists = [record["columns"], record["alias"], record["text"]]
    assert len({id(x) for x in lists}) == 3
    stored = recording._var.get(fp)
    assert list(stored.todict()) == KEYS
    assert stored.columns is record["columns"] and stored.alias is not stored.text
    assert not stored.format_sql and not stored.parse_columns


def test_records_of_different_statements_do_not_share_lists(analyser):
    one = analyser._var.get(analyser._set_sql_md5("select 1"))
    two = analyser._var.get(analyser._set_sql_md5("select 2"))
    assert one.columns is not two.columns and one.alias is not two.alias
    one.columns.append("x")
    assert two.columns == []


def test_same_text_twice_keeps_first_record(recording):
    fp = recording._set_sql_md5("select a from t")
    record = recording._var.get(fp)
    record.columns.append({"sort": 1})
    record.sort += 1
    record.format_sql = "select a from t"
    assert recording._set_sql_md5("select a from t") == fp
    assert len(recording._var.calls) == 1
    again = recording._var.get(fp)
    assert (again.columns, again.sort, again.format_sql) == ([{"sort": 1}], 1, "select a from t")


def test_raw_text_is_fingerprinted_before_normalisation(analyser):
    texts = ["select a from t", "SELECT a FROM t", "select  a from t", "select a from t ",
             "select a from t -- note", "select a\nfrom t"]
    fps = [analyser._set_sql_md5(t) for t in texts]
    assert fps == [md5(t) for t in texts]
    assert len(set(fps)) == len(texts) == len(analyser._var.keys())
    assert [analyser._var.get(fp).sql for fp in fps] == texts


def test_file_path_registers_content(recording, tmp_path):
    content = "select '中文' as c\nfrom db1.t1 -- end\n"
    path = tmp_path / "statement.sql"
    path.write_text(content, encoding="utf-8")
    fp = recording._set_sql_md5(str(path))
    assert fp == md5(content)
    assert recording._var.get(fp).sql == content
    assert recording._set_sql_md5(content) == fp
    assert len(recording._var.calls) == 1
    # A directory is not a statement file: its path is registered as text.
    fp = recording._set_sql_md5(str(tmp_path))
    assert fp == md5(str(tmp_path)) and recording._var.get(fp).sql == str(tmp_path)


@pytest.mark.parametrize("found, expected_calls, expected_sql", [
    (1, ["path_file", "path_read"], "select 42"),
    ("", ["path_file"], "stmt.sql"),
])
def test_file_helpers_looked_up_and_truth_tested(analyser, monkeypatch, found,
                                                 expected_calls, expected_sql):
    calls = []

    class FakeBases:
        @staticmethod
        def path_file(*args):
            calls.append(("path_file", args))
            return found

        @staticmethod
        def path_read(*args):
            calls.append(("path_read", args))
            return "select 42"
    monkeypatch.setattr(sqlglot_main, "QarvelBases", FakeBases)
    fp = analyser._set_sql_md5("stmt.sql")
    assert calls == [(name, ("stmt.sql",)) for name in expected_calls]
    assert fp == md5(expected_sql) and analyser._var.get(fp).sql == expected_sql


def test_rebinding_crypt_changes_digest_of_next_call(analyser, monkeypatch):
    seen = []

    class FakeCrypt:
        def md5_encrypt(self, *args):
            seen.append(args)
            return "fp:" + args[0]
    monkeypatch.setattr(sqlglot_main, "crypt", FakeCrypt())
    assert analyser._set_sql_md5("select 1") == "fp:select 1"
    assert seen == [("select 1",)]
    assert analyser._var.get("fp:select 1").sql == "select 1"
    monkeypatch.undo()
    assert analyser._set_sql_md5("select 1") == md5("select 1")


class Boom(Exception):
    pass


def raiser(error):
    def fail(*args, **kwargs):
        raise error
    return fail


@pytest.mark.parametrize("owner, attr, line", [
    ("bases", "path_file", 49), ("bases", "path_read", 49), ("crypt", "md5_encrypt", 50),
    ("store", "keys", 51), ("store", "add", 52)])
def test_registration_failure_lines(monkeypatch, tmp_path, owner, attr, line):
    monkeypatch.setattr(sqlglot_main, "QarvelVar", RecordingVar)
    analyser = sqlglot_main.QarvelSQLGlotMain()
    path = tmp_path / "q.sql"
    path.write_text("select 1")
    error = Boom(attr)
    target = {"bases": QarvelBases, "crypt": sqlglot_main.crypt, "store": analyser._var}[owner]
    monkeypatch.setattr(target, attr, raiser(error))
    with pytest.raises(Boom) as info:
        analyser._set_sql_md5(str(path))
    assert info.value is error
    assert method_entries(info.value, "_set_sql_md5") == [("sqlglot_main.py", line)]
    monkeypatch.undo()
    assert list(analyser._var.keys()) == []


def test_missing_globals_raise_name_error(run_py):
    # Run in a fresh interpreter: deleting module globals must not disturb
    # the namespace that the other tests in this process see.
    proc = run_py('''
import builtins, json, traceback, sqlglot_main
def entry(exc, method):
    return [[type(exc).__name__, str(exc), f.filename, f.lineno]
            for f in traceback.extract_tb(exc.__traceback__)
            if f.name == "sqlglot_main.QarvelSQLGlotMain." + method]
out = {}
analyser = sqlglot_main.QarvelSQLGlotMain()
real_crypt = sqlglot_main.crypt
del sqlglot_main.crypt
try:
    analyser._set_sql_md5("select 1")
except Exception as exc:
    out["crypt"] = entry(exc, "_set_sql_md5")
out["stored"] = len(analyser._var.keys())
class Builtin:
    def md5_encrypt(self, text):
        return "builtin:" + text
builtins.crypt = Builtin()
out["builtin"] = analyser._set_sql_md5("select 1")
del builtins.crypt
sqlglot_main.crypt = real_crypt
del sqlglot_main.QarvelVar
try:
    sqlglot_main.QarvelSQLGlotMain()
except Exception as exc:
    out["var"] = entry(exc, "__init__")
print(json.dumps(out))
''')
    assert proc.returncode == 0, proc.stderr
    assert json.loads(proc.stdout.splitlines()[-1]) == {
        "crypt": [["NameError", "name 'crypt' is not defined", "sqlglot_main.py", 50]],
        "stored": 0,
        "builtin": "builtin:select 1",
        "var": [["NameError", "name 'QarvelVar' is not defined", "sqlglot_main.py", 29]],
    }
