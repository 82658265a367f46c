"""Statement registration, the analyser's store and the helpers it relies on."""

import os
import types

import pytest

import qarvel_var
import sqlglot_main
from helpers import Boom, entries, md5
from qarvel_bases import QarvelBases

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

def test_store_record_access_contract():
    store, fp = qarvel_var.QarvelVar(), md5("select 1")
    store.add(**{fp: {"sql": "select 1", "columns": [], "alias": [], "text": [], "sort": 0}})
    assert fp in store.keys() and store.get(fp).sql == "select 1"
    assert not store.get(fp).format_sql and not store.get(fp).parse_columns
    store.get(fp).format_sql = "select 1"
    store.get(fp).sort += 1
    store.get(fp).columns.append({"sort": 1})
    store.get(fp).text.append("a-a-None-column")
    store.get(fp).text.remove("a-a-None-column")
    store.get(fp).parse_columns = [{"sort": 1, "column": "a", "alias": "b"}]
    column = store.get(fp).parse_columns[0]
    assert column.get("alias") == "b" and column.sort == 1
    assert list(column.keys()) == list(column) == ["sort", "column", "alias"]
    plain = store.get(fp).todict()
    assert plain == {"sql": "select 1", "columns": [{"sort": 1}], "alias": [], "text": [],
                     "sort": 1, "format_sql": "select 1",
                     "parse_columns": [{"sort": 1, "column": "a", "alias": "b"}]}
    assert type(plain) is dict and type(plain["parse_columns"][0]) is dict


def test_path_file_only_for_the_name_of_a_regular_file(tmp_path):
    regular = tmp_path / "q.sql"
    regular.write_text("select 1")
    assert QarvelBases.path_file(str(regular)) is True
    # A path object is a path whatever it names; path_read reports a missing file.
    assert QarvelBases.path_file(regular) is True
    assert QarvelBases.path_file(tmp_path / "missing.sql") is True
    for other in [str(tmp_path), os.devnull, str(regular) + "\n", 0, None, b"/etc/passwd"]:
        assert not QarvelBases.path_file(other), other


# --- constructor ---------------------------------------------------------------

def test_constructor_ignores_arguments_and_makes_own_store():
    first = sqlglot_main.QarvelSQLGlotMain(1, 2, x=3)
    assert type(first._var) is qarvel_var.QarvelVar and list(vars(first)) == ["_var"]
    assert first._var is not sqlglot_main.QarvelSQLGlotMain()._var
    assert sqlglot_main.QarvelSQLGlotMain.__init__(first, 3, y=4) is None


# --- registration ----------------------------------------------------------------

def test_new_record_shape(recording):
    text = "".join(["select a ", "from t"])
    fp = recording._set_sql_md5(text)
    assert type(fp) is str and fp == md5(text)
    ((args, kwargs),) = recording._var.calls
    assert args == () and list(kwargs) == [fp]
    record = kwargs[fp]
    assert type(record) is dict and record["sql"] is text and type(record["sort"]) is int
    assert list(record.items()) == [("sql", text), ("columns", []), ("alias", []), ("text", []), ("sort", 0)]
    assert len({id(record[k]) for k in ("columns", "alias", "text")}) == 3
    assert recording._var.get(fp).columns is record["columns"]
    other = recording._var.get(recording._set_sql_md5("select 2"))
    assert other.columns is not record["columns"] and other.alias is not record["alias"]


def test_same_text_twice_keeps_first_record(recording):
    fp = recording._set_sql_md5("select a from t")
    recording._var.get(fp).columns.append({"sort": 1})
    recording._var.get(fp).sort += 1
    assert recording._set_sql_md5("select a from t") == fp and len(recording._var.calls) == 1
    assert (recording._var.get(fp).columns, recording._var.get(fp).sort) == ([{"sort": 1}], 1)


def test_raw_text_is_fingerprinted_before_normalisation(analyser):
    texts = ["select a from t", "SELECT a FROM t", "select  a from t", "select a from t -- note"]
    fps = [analyser._set_sql_md5(t) for t in texts]
    assert fps == [md5(t) for t in texts] and len(analyser._var.keys()) == len(texts)
    assert [analyser._var.get(fp).sql for fp in fps] == texts


def test_file_path_registers_content(recording, tmp_path):
    content = "select '中文' as c\nfrom db1.t1 -- end\n"
    path = tmp_path / "statement.sql"
    path.write_text(content, encoding="utf-8")
    fp = recording._set_sql_md5(str(path))
    assert fp == md5(content) and recording._var.get(fp).sql == content
    assert recording._set_sql_md5(content) == fp
    assert len(recording._var.calls) == 1


@pytest.mark.parametrize("found, expected_calls, expected_sql", [
    (1, ["path_file", "path_read"], "select 42"),
    ("", ["path_file"], "stmt.sql"),
])
def test_file_helpers_looked_up_and_truth_tested(analyser, monkeypatch, found,
                                                 expected_calls, expected_sql):
    calls = []
    monkeypatch.setattr(sqlglot_main, "QarvelBases", types.SimpleNamespace(
        path_file=lambda *args: calls.append(("path_file", args)) or found,
        path_read=lambda *args: calls.append(("path_read", args)) or "select 42"))
    fp = analyser._set_sql_md5("stmt.sql")
    assert calls == [(name, ("stmt.sql",)) for name in expected_calls]
    assert fp == md5(expected_sql) and analyser._var.get(fp).sql == expected_sql


def test_rebinding_crypt_changes_digest_of_next_call(analyser, monkeypatch):
    seen = []
    monkeypatch.setattr(sqlglot_main, "crypt", types.SimpleNamespace(
        md5_encrypt=lambda *args: seen.append(args) or "fp:" + args[0]))
    assert analyser._set_sql_md5("select 1") == "fp:select 1"
    assert seen == [("select 1",)]
    assert analyser._var.get("fp:select 1").sql == "select 1"
    monkeypatch.undo()
    assert analyser._set_sql_md5("select 1") == md5("select 1")


@pytest.mark.parametrize("owner, attr, line", [
    ("bases", "path_file", 49), ("bases", "path_read", 49), ("crypt", "md5_encrypt", 50),
    ("store", "keys", 51), ("store", "add", 52)])
def test_registration_failure_lines(recording, monkeypatch, tmp_path, owner, attr, line):
    path = tmp_path / "q.sql"
    path.write_text("select 1")
    error = Boom(attr)

    def fail(*args, **kwargs):
        raise error
    target = {"bases": QarvelBases, "crypt": sqlglot_main.crypt, "store": recording._var}[owner]
    monkeypatch.setattr(target, attr, fail)
    with pytest.raises(Boom) as info:
        recording._set_sql_md5(str(path))
    assert info.value is error
    assert entries(info.value) == [("_set_sql_md5", line)]
    monkeypatch.undo()
    assert list(recording._var.keys()) == []
