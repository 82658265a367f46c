"""sqlglot-main diff as a change's review: each output column classified
(added, removed, renamed, expression and rows changed), the blast radius
of each change (severity, because, depth), the row formats, the pull
request's Markdown and the exit status (--fail-on), on two folders of SQL.
The dbt side, checked against execution, is test_changes_planted.py."""

import csv
import io
import json

import pytest

from helpers import lineage_cli

OLD = """\
create table stg as select id, amount / 100 as amount, status, name from raw where status <> 'x';
create table mart as select s.id, s.amount, s.name, upper(s.status) as st
  from stg s left join other o on o.id = s.id;
create table top as select id, sum(amount) as total from mart group by id;
"""

# Whitespace, comments, keyword and identifier case, table aliases: no change.
SAME = """\
/* layout, comments, case and aliases only */
CREATE TABLE stg AS
  SELECT r.id, r.amount / 100 AS amount, r.status, r.name   -- same
  FROM raw AS r WHERE r.status <> 'x';
create table mart as select x.id, x.amount, x.name, upper(x.status) as st
  from stg x left join other y on y.id = x.id;
create table top as select id, sum(amount) as total from mart group by id;
"""

# The same queries through a CTE and a derived table: no change either.
REFACTORED = """\
create table stg as with x as (select id, amount / 100 as amount, status, name from raw
  where status <> 'x') select id, amount, status, name from x;
create table mart as select s.id, s.amount, s.name, upper(s.status) as st
  from (select * from stg) as s left join other o on o.id = s.id;
create table top as select id, sum(amount) as total from mart group by id;
"""

# An expression, a rename with its consumer fixed, an inner join.
CHANGED = OLD.replace("amount / 100 as amount", "amount / 100 * 2 as amount") \
    .replace("status, name from raw", "status, name as full_name from raw") \
    .replace("s.name,", "s.full_name as name,").replace("left join", "inner join")

# A column dropped that the next model still reads.
DROPPED = OLD.replace(", status, name from raw", ", status from raw")

# A cast and a new CASE column.
CAST = OLD.replace("amount / 100 as amount", "cast(amount / 100 as int) as amount") \
    .replace("as st\n", "as st, case when s.amount > 10 then 'big' else 'small' end as size\n")

RENAMES = [
    {"change": "column_renamed", "model": "stg", "column": "stg.full_name", "old": "name",
     "new": "full_name"},
    {"change": "expression_changed", "model": "stg", "column": "stg.amount",
     "old": "amount / 100", "new": "amount / 100 * 2", "severity": "values"},
]
ROWS = [{"change": "rows_changed", "model": "mart", "column": f"mart.{name}", "severity": "rows"}
        for name in ("id", "amount", "name", "st")]
IMPACTED = [
    {"change": "impacted", "model": "top", "column": "top.id", "severity": "rows",
     "because": "mart", "via": "top.id", "depth": 1},
    {"change": "impacted", "model": "top", "column": "top.total", "severity": "rows",
     "because": "mart", "via": "top.total", "depth": 1},
    {"change": "impacted", "model": "mart", "column": "mart.amount", "severity": "values",
     "because": "stg.amount", "via": "mart.amount", "depth": 1},
]


@pytest.fixture
def sides(tmp_path):
    for name, text in (("old", OLD), ("same", SAME), ("new", CHANGED), ("dropped", DROPPED),
                       ("cast", CAST), ("refactored", REFACTORED)):
        (tmp_path / name).mkdir()
        (tmp_path / name / "etl.sql").write_text(text)
    return tmp_path


def diff(where, *args):
    return lineage_cli("diff", *args, cwd=where, timeout=120)


def rows_of(done):
    """The JSON lines written, without the keys a row leaves empty."""
    assert done.stderr == ""
    return [{k: v for k, v in json.loads(line).items() if v is not None}
            for line in done.stdout.splitlines()]


EDGE_CHANGES = ("added", "removed", "changed", "unresolved", "resolved")


def column_rows(done):
    """The rows of changed columns and of impacted ones (not the edges')."""
    return [row for row in rows_of(done) if row["change"] not in EDGE_CHANGES]


# --- what changed, column by column ------------------------------------------------------------

@pytest.mark.parametrize("same", ["same", "refactored"])
def test_layout_comments_case_aliases_and_ctes_are_no_change(sides, same):
    done = diff(sides, "old", same, "--fail-on", "changes")
    assert (done.returncode, done.stdout, done.stderr) == (0, "no lineage changed\n", "")


def test_renamed_expression_and_rows_changed_with_their_blast_radius(sides):
    done = diff(sides, "old", "new", "--format", "jsonl")
    assert done.returncode == 0
    assert column_rows(done) == RENAMES + ROWS + IMPACTED
    edges = [(row["change"], row["source"], row["target"]) for row in rows_of(done)
             if row["change"] in EDGE_CHANGES]
    assert edges == [("added", "raw.name", "stg.full_name"), ("removed", "raw.name", "stg.name"),
                     ("added", "raw.status", "stg.full_name"),
                     ("removed", "raw.status", "stg.name"),
                     ("added", "stg.full_name", "mart.name"), ("removed", "stg.name", "mart.name")]


def test_a_cast_and_an_added_column(sides):
    done = diff(sides, "old", "cast", "--format", "jsonl")
    assert column_rows(done) == [
        {"change": "expression_changed", "model": "stg", "column": "stg.amount",
         "old": "amount / 100", "new": "CAST(amount / 100 AS INT)", "severity": "values"},
        {"change": "column_added", "model": "mart", "column": "mart.size", "new": "size"},
        {"change": "impacted", "model": "mart", "column": "mart.amount", "severity": "values",
         "because": "stg.amount", "via": "mart.amount", "depth": 1},
        {"change": "impacted", "model": "mart", "column": "mart.size", "severity": "values",
         "because": "stg.amount", "via": "mart.size", "depth": 1},
        {"change": "impacted", "model": "top", "column": "top.total", "severity": "values",
         "because": "stg.amount", "via": "mart.amount", "depth": 2},
    ]


def test_a_dropped_column_still_read_breaks_its_reader_and_everything_below(sides):
    done = diff(sides, "old", "dropped", "--format", "jsonl", "--fail-on", "breaking")
    assert done.returncode == 1
    breaking = [(row["column"], row["because"], row["depth"]) for row in column_rows(done)
                if row["change"] == "impacted"]
    assert breaking == [("mart.amount", "stg.name", 1), ("mart.id", "stg.name", 1),
                        ("mart.name", "stg.name", 1), ("mart.st", "stg.name", 1),
                        ("top.id", "stg.name", 2), ("top.total", "stg.name", 2)]
    assert {row["severity"] for row in column_rows(done)} == {"breaking"}
    assert column_rows(done)[0] == {"change": "column_removed", "model": "stg",
                                    "column": "stg.name", "old": "name", "severity": "breaking"}
    text = diff(sides, "old", "dropped")
    assert text.stdout.splitlines()[:2] == [
        "breaking: 2 models and 0 exposures will fail; 1 model changed; 2 downstream models "
        "and 0 exposures affected",
        "- stg.name: removed (breaking: still read)"]


# --- formats and the exit status ---------------------------------------------------------------

def test_every_row_format_writes_the_same_rows(sides):
    jsonl = [json.loads(line) for line in diff(sides, "old", "new", "--format", "jsonl")
             .stdout.splitlines()]
    assert json.loads(diff(sides, "old", "new", "--format", "json").stdout) == jsonl
    found = list(csv.DictReader(io.StringIO(diff(sides, "old", "new", "--format", "csv").stdout)))
    assert found == [{k: "" if v is None else str(v) for k, v in row.items()} for row in jsonl]
    assert list(found[0]) == ["change", "source", "target", "type", "old_subtype", "new_subtype",
                              "reason", "model", "column", "old", "new", "severity", "because",
                              "via", "depth"]


@pytest.mark.parametrize("fail_on, new, status", [
    ("never", "dropped", 0), ("breaking", "dropped", 1), ("breaking", "new", 0),
    ("changes", "new", 1), ("changes", "same", 0)])
def test_fail_on_sets_the_exit_status(sides, fail_on, new, status):
    done = diff(sides, "old", new, "--fail-on", fail_on)
    assert (done.returncode, done.stderr) == (status, "")


MARKDOWN = """\
<!-- sqlglot-main diff -->
**2 models changed; 1 downstream model and 0 exposures affected.**

#### Changed columns

| Column | Change | Before | After |
|---|---|---|---|
| `stg.full_name` | `renamed` | `name` | `full_name` |
| `stg.amount` | `expression changed` | `amount / 100` | `amount / 100 * 2` |
| `mart.*` | `rows changed (4 columns)` |  |  |

#### Affected downstream

| Column | Severity | Because | Via | Depth |
|---|---|---|---|---|
| `top.id` | `rows` | `mart` | `top.id` | 1 |
| `top.total` | `rows` | `mart` | `top.total` | 1 |
| `mart.amount` | `values` | `stg.amount` | `mart.amount` | 1 |

6 lineage edges changed; `--format jsonl` lists them.
"""


def test_markdown_is_a_pull_request_comment_with_capped_tables(sides):
    done = diff(sides, "old", "new", "--format", "markdown")
    assert (done.returncode, done.stdout, done.stderr) == (0, MARKDOWN, "")
    capped = diff(sides, "old", "new", "--format", "markdown", "--limit", "2").stdout
    assert "| `mart.*` |" not in capped and "| `mart.amount` | `values`" not in capped
    assert capped.count("…and 1 more") == 2
    dropped = diff(sides, "old", "dropped", "--format", "markdown").stdout
    assert dropped.splitlines()[1] == ("**Breaking: 2 models and 0 exposures will fail.** "
                                       "**1 model changed; 2 downstream models and 0 exposures "
                                       "affected.**")
    assert "| `mart` | 4 | `stg.name` | 1 |\n| `top` | 2 | `stg.name` | 2 |" in dropped


def test_markdown_writes_names_from_the_sql_as_code(tmp_path):
    for side, alias in (("old", "a"), ("new", "a")):
        (tmp_path / side).mkdir()
    (tmp_path / "old" / "q.sql").write_text('create table t as select x as "a|`<b>" from s')
    (tmp_path / "new" / "q.sql").write_text('create table t as select y as "a|`<b>" from s')
    done = diff(tmp_path, "old", "new", "--format", "markdown")
    assert "| ``t.a\\|`<b>`` | `expression changed` | `x` | `y` |" in done.stdout


@pytest.mark.parametrize("args, message", [
    (["old"], "give two versions to compare: diff OLD NEW (or diff --state OLD NEW)"),
    (["--state", "old", "new", "same"],
     "with --state (the old version), give at most one path: the new version (default: the "
     "current folder)"),
    (["old", "new", "--fail-on-change", "--fail-on", "breaking"],
     "--fail-on-change means --fail-on changes, not --fail-on breaking"),
    (["old", "new", "--limit", "3", "--format", "json"], "--limit is for --format table and markdown"),
    (["old", "new", "--select", "state:modified+"],
     "--select and --exclude choose the nodes of dbt projects"),
])
def test_options_that_cannot_work_are_usage_errors(sides, args, message):
    done = diff(sides, *args)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.splitlines()[-1] == f"sqlglot-main diff: error: {message}"


def test_markdown_is_refused_for_other_answers(sides):
    done = lineage_cli("select a from t", "--format", "markdown")
    assert done.returncode == 2
    assert done.stderr.splitlines()[-1] == (
        "sqlglot-main: error: --format markdown cannot write statement rows; formats that can: "
        "table, json, jsonl, csv, dot, openlineage, html")
