"""Many statements: analyze_many, the template cache, data frames and Dask."""

import random
import re
from collections import defaultdict

import pandas as pd
import pytest
from sqlglot.dialects.dialect import Dialect

from sqlglot.tokens import TokenType

from qarvel_lineage import Analyzer, LineageResult, analyze, analyze_many, lineage_meta
from qarvel_lineage.engine import _engine
from qarvel_lineage import partition_lineage
from qarvel_lineage.batch.analyzer import lexicon_of
from qarvel_lineage.engine.rules import rules_for

from helpers import corpus_statements, frame_records, lineage_key

MANY = ["select a from t1 where x = 1", "select from where", 42,
        "select b from t2; select c from t3", "select a from t1 where x = 2", "select d from t4"]


def described(result):
    if isinstance(result, BaseException):
        return type(result).__name__
    return (result.sql, [c.name for c in result.columns], [str(t) for t in result.tables])


@pytest.mark.parametrize("jobs", [1, 2])
def test_analyze_many_keeps_the_order_and_puts_failures_in_place(jobs):
    results = list(analyze_many(iter(MANY), jobs=jobs))
    assert [described(r) for r in results] == [
        ("select a from t1 where x = 1", ["a"], ["t1"]), "ParseError", "TypeError", "ValueError",
        ("select a from t1 where x = 2", ["a"], ["t1"]), ("select d from t4", ["d"], ["t4"])]
    assert [lineage_key(r) for r in results] == [lineage_key(r) for r in analyze_many(MANY)]
    assert all(isinstance(r, LineageResult) for r in results[4:])


def test_analyze_many_with_two_jobs_equals_one_job_on_the_corpus_sample():
    sample = [sql for dialect, sql in corpus_statements() if dialect is None][:300]
    one = [lineage_key(r) for r in analyze_many(sample, jobs=1, cache_size=0)]
    assert [lineage_key(r) for r in analyze_many(sample, jobs=2)] == one
    assert sum(isinstance(r[0], str) and r[0] in ("SELECT", "UNION") for r in one) > 250


# --- the template cache ------------------------------------------------------------------

def with_other_literals(sql, dialect, rng):
    """``sql`` with every string and number literal given other random
    characters of the same kinds (a letter for a letter, a digit for a digit,
    so that '1998-12-01' stays a date and 1.5e3 a number), the rest of the
    text byte for byte; None when the tokenizer rejects the text."""
    try:
        tokens = Dialect.get_or_raise(dialect).tokenize(sql)
    except Exception:
        return None

    def other(match):
        char = match.group()
        if char.isdigit():
            return rng.choice("0123456789")
        return rng.choice("abcdefghijklmnopqrstuvwxyz" if char.islower() else "ABCDEFGHIJKLMNOPQRSTUVWXYZ")

    pieces, last = [], 0
    for token in tokens:
        raw = sql[token.start:token.end + 1]
        if token.token_type == TokenType.STRING and len(raw) >= 2 and raw[1:-1] == token.text:
            new = raw[0] + re.sub(r"[A-Za-z0-9]", other, token.text) + raw[-1]
        elif token.token_type == TokenType.NUMBER and raw == token.text:
            new = re.sub(r"\d", other, raw)
            if raw.isdigit() and len(raw) > 1:
                new = rng.choice("123456789") + new[1:]
        else:
            continue
        pieces += [sql[last:token.start], new]
        last = token.end + 1
    return "".join(pieces) + sql[last:]


CORPUS_BY_DIALECT = defaultdict(list)
for _dialect, _sql in corpus_statements():
    CORPUS_BY_DIALECT[_dialect].append(_sql)
# Dialects where "..." is a string: sqlglot takes such strings as aliases and
# table names: the cache must not answer with the names of another statement.
@pytest.mark.parametrize("dialect", list(CORPUS_BY_DIALECT))
def test_the_cache_never_changes_a_result_on_the_corpus(dialect):
    texts = CORPUS_BY_DIALECT[dialect]
    warm, cold = Analyzer(dialect), Analyzer(dialect, cache_size=0)
    # the originals fill the cache; a later one may hit an earlier one's template
    wrong = [sql for sql in texts if lineage_key(warm(sql)) != lineage_key(cold(sql))]
    before, variants = warm.hits, 0
    for number, sql in enumerate(texts):
        for seed in range(2):
            changed = with_other_literals(sql, dialect, random.Random(f"{number}/{seed}"))
            if changed is None or changed == sql:
                continue
            variants += 1
            if lineage_key(warm(changed)) != lineage_key(cold(changed)):
                wrong.append(changed)
    assert wrong == []
    assert cold.hits == 0
    if variants >= 20:  # most changed statements are answered from the cache
        assert warm.hits - before > variants // 2


def test_statements_differing_only_in_literals_share_one_analysis():
    analyzer = Analyzer()
    texts = ["select a from t where x = 1", "select a from t where x = 25",
             "select a from t  where x = 3 -- a comment", "select a from t where x = 'one'",
             "select a from t where x = 'two'"]
    results = [analyzer(text) for text in texts]
    assert (analyzer.misses, analyzer.hits) == (2, 3)
    assert [r.sql for r in results] == texts
    assert len({lineage_key(r) for r in results}) == 1


def test_an_output_named_by_its_literal_keeps_its_own_name():
    analyzer = Analyzer()
    assert [analyzer(sql).columns[0].name for sql in ("select 1", "select 2", "select 1")] == [
        "1", "2", "1"]
    assert [analyzer(sql).columns[0].name for sql in ("select 'x' from t", "select 'y' from t")] == [
        "x", "y"]


@pytest.mark.parametrize("dialect, first, second", [
    (None, "select a, b from t group by 1, 2 order by 1", "select a, b from t group by 2, 1 order by 2"),
    (None, "select 1 as a from t", "select 2 as a from t"),
    (None, "select a from t1 where x = 'q'", "select a from t2 where x = 'q'"),
    ("tsql", "select 'n1' = a from t", "select 'n2' = a from t"),
    ("bigquery", 'select "s1" as x, a from t', 'select "s2" as x, a from t'),
    ("mysql", 'select "x1" from t', 'select "x2" from t'),
    ("postgres", "select j->>'k1' from t", "select j->>'k2' from t"),
    ("duckdb", "select a from 'x.csv'", "select a from 'y.csv'"),
    ("mysql", "select a as 'n1' from t", "select a as 'n2' from t"),
])
def test_a_warm_analyser_gives_the_uncached_result(dialect, first, second):
    warm = Analyzer(dialect)
    warm(first)
    assert lineage_key(warm(second)) == lineage_key(analyze(second, dialect))


LEXICON = lexicon_of(rules_for(None))


def fingerprint(sql, dialect=None):
    return _engine.fingerprint(sql, LEXICON if dialect is None else lexicon_of(rules_for(dialect)))[1]


@pytest.mark.parametrize("dialect, first, second, same", [
    (None, "select a from t where x = 1", "select a from t where x = 250", True),
    (None, "select a from t where x = 'a'", "select a from t where x = 'bcd'", True),
    (None, "select a from t where x = 1.5", "select a from t where x = 22.75", True),
    (None, "select a from t where x = 1", "select a from t where x = '1'", False),
    (None, "select a, b from t group by 1, 2", "select a, b from t group by 2, 1", False),
    (None, "select a, b from t order by 1", "select a, b from t order by 2", False),
    (None, "select a, b from t order by a desc, 1", "select a, b from t order by a desc, 2", False),
    (None, "select a  from t\n-- note\nwhere x = 1", "select a from t where x = 1", True),
    (None, "select /* one */ a from t where x = 1", "select a from t where x = 2", True),
    (None, "select a from t1", "select a from t2", False),
    (None, 'select "x1" from t', 'select "x2" from t', False),
    (None, "select a -- it's; so\nfrom t1", "select a -- it's; so\nfrom t2", False),
    (None, "select a /* ' ; */ from t where b = 'x'", "select a from t where b = 'y'", True),
    (None, "select a from t where b = '--' and c = 1", "select a from t where b = '--' and d = 1", False),
    (None, "select a from t where b = 'it''s' and c = 1", "select a from t where b = 'x' and c = 2", True),
    ("mysql", "select a from t # note\nwhere b = 1", "select a from t where b = 2", True),
    ("mysql", 'select a from t where b = "x"', 'select a from t where b = "y"', True),
    (None, 'select a from t where b = "x"', 'select a from t where b = "y"', False),
])
def test_fingerprint(dialect, first, second, same):
    assert (fingerprint(first, dialect) == fingerprint(second, dialect)) is same


# --- data frames ---------------------------------------------------------------------------

STATEMENTS = ([f"select c{n} from t{n} where k = {n}" for n in range(12)]
              + ["select from where", "insert into z select a from y; select b from x"])
FRAME_KEYS = ["id", "statement", "position", "column", "target_catalog", "target_db",
              "target_table", "source_catalog", "source_db", "source_table", "source_column",
              "type", "subtype", "reason"]


def statement_frame():
    return pd.DataFrame({"id": range(100, 100 + len(STATEMENTS)), "sql": STATEMENTS})


def test_partition_lineage_carries_the_other_columns_onto_each_row():
    frame = partition_lineage(statement_frame())
    assert list(frame.columns) == FRAME_KEYS
    rows = frame_records(frame)
    brief = [(r["id"], r["statement"], r["column"], r["target_table"], r["source_table"],
              r["source_column"], r["type"]) for r in rows]
    assert brief[:2] == [(100, 1, "c0", None, "t0", "c0", "DIRECT"),
                         (100, 1, "c0", None, "t0", "k", "INDIRECT")]
    assert len(brief) == 12 * 2 + 1 + 2
    error = rows[24]
    assert (error["id"], error["position"], error["type"]) == (112, 0, "ERROR")
    assert error["reason"].startswith("ParseError: ")
    assert brief[25:] == [(113, 1, "a", "z", "y", "a", "DIRECT"), (113, 2, "b", None, "x", "b", "DIRECT")]
    meta = lineage_meta(statement_frame())
    assert len(meta) == 0
    assert dict(meta.dtypes) == dict(frame.dtypes) == dict(partition_lineage(statement_frame()[:0]).dtypes)


@pytest.fixture(scope="module")
def dask_client():
    from dask.distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                      dashboard_address=None) as cluster, Client(cluster) as client:
        yield client


def test_dask_workers_give_what_a_local_run_gives(dask_client):
    import dask.bag as db
    import dask.dataframe as dd

    from qarvel_lineage.dask import lineage_bag

    assert len(dask_client.scheduler_info()["workers"]) == 2
    frame = statement_frame()
    local = partition_lineage(frame)
    remote = dd.from_pandas(frame, npartitions=3).map_partitions(
        partition_lineage, meta=lineage_meta(frame)).compute()
    pd.testing.assert_frame_equal(remote.reset_index(drop=True), local)
    # the rows of each statement, as the local run gives them, with its text first
    expected = [{"sql": STATEMENTS[r.pop("id") - 100], **r} for r in frame_records(local)]
    rows = lineage_bag(db.from_sequence(STATEMENTS, npartitions=4)).compute()
    assert rows == expected
    assert list(rows[0]) == ["sql", *FRAME_KEYS[1:]]
