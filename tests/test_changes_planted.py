"""The blast radius checked against execution: the test dbt project built
with dbt-duckdb, then each planted change (planted_build.PLANTED) rebuilt
on its own, and both builds' tables read back.  A column is impacted when
its model failed or was skipped, or it is gone, or its type, its number of
rows or the values it holds changed; an exposure when a model it depends on
has an impacted column.  Every such column and exposure must be in what
``compare_dbt`` reports (recall 1.0); precision is printed, not asserted."""

import json
import re
from collections import Counter

import duckdb
import pytest

from helpers import lineage_cli
from planted_build import PLANTED, planted, run_results  # noqa: F401 (the fixture)
from qarvel_lineage.changes import compare_dbt

_NAME = re.compile(r"\w+")
# What a snapshot writes of its own: new on every build.
_SNAPSHOT_COLUMNS = ("dbt_scd_id", "dbt_updated_at", "dbt_valid_from", "dbt_valid_to")


def _manifest(project):
    return json.loads((project / "target" / "manifest.json").read_text())


def _relations(manifest):
    """(unique id, schema, name, columns left out) of every built model and snapshot."""
    for uid, node in manifest["nodes"].items():
        if node["resource_type"] not in ("model", "snapshot"):
            continue
        if node["config"].get("materialized") == "ephemeral":
            continue
        schema, name = node["schema"], node["alias"]
        assert _NAME.fullmatch(schema) and _NAME.fullmatch(name)
        skip = _SNAPSHOT_COLUMNS if node["resource_type"] == "snapshot" else ()
        yield uid, schema, name, skip


def _table(connection, schema, name, skip):
    """({column: type}, {column: Counter of its values}, rows) or None."""
    try:
        relation = connection.table(f"{schema}.{name}")
        rows = relation.fetchall()
    except duckdb.Error:
        return None
    names = [c.lower() for c in relation.columns]
    types = {c: str(t) for c, t in zip(names, relation.types) if c not in skip}
    values = {c: Counter(repr(row[i]) for row in rows) for i, c in enumerate(names)
              if c not in skip}
    return types, values, len(rows)


def executed(base, changed):
    """Every (unique id, column) whose build changed, and (unique id, exposure)."""
    manifest = _manifest(base)
    status = run_results(changed)
    impacted = set()
    old = duckdb.connect(str(base / "shop.duckdb"), read_only=True)
    new = duckdb.connect(str(changed / "shop.duckdb"), read_only=True)
    try:
        for uid, schema, name, skip in _relations(manifest):
            before = _table(old, schema, name, skip)
            assert before is not None, uid
            after = _table(new, schema, name, skip) if status.get(uid) == "success" else None
            for column, kind in before[0].items():
                if after is None or before[2] != after[2] or after[0].get(column) != kind \
                        or after[1].get(column) != before[1][column]:
                    impacted.add((uid, column))
    finally:
        old.close()
        new.close()
    touched = {uid for uid, _ in impacted}
    for uid, exposure in manifest["exposures"].items():
        if touched & set(exposure["depends_on"]["nodes"]):
            impacted.add((uid, "exposure"))
    return impacted


def reported(found):
    """Every (unique id, column) the comparison says changed or can change."""
    named = set()
    for change in found.changes:
        if change.change not in ("column_added", "failed"):
            named.add((change.model, change.name))
        if change.old and change.change in ("column_removed", "column_renamed"):
            named.add((change.model, change.old))
    for impact in found.impacts:
        column = "exposure" if impact.column.startswith("exposure.") \
            else impact.column.rsplit(".", 1)[1]
        named.add((impact.model, column))
    return named


@pytest.mark.parametrize("name", sorted(PLANTED))
def test_the_blast_radius_holds_everything_execution_changed(planted, name):
    found = compare_dbt(planted["base"], planted[name])
    truth = executed(planted["base"], planted[name])
    said = reported(found)
    hits = len(truth & said)
    print(f"{name}: {len(truth)} impacted on execution, {len(said)} reported, recall "
          f"{hits}/{len(truth)}, precision {hits}/{len(said)}")
    assert sorted(truth - said) == []
    if name in ("comment_only", "added_column"):
        assert (truth, found.impacts) == (set(), [])
        assert [c.change for c in found.changes] == (
            ["column_added"] if name == "added_column" else [])


def test_planted_changes_are_seen_by_execution(planted):
    """The planted changes are not all invisible: each one but the comment
    and the added column changes something when built."""
    quiet = {name for name in PLANTED if not executed(planted["base"], planted[name])}
    assert quiet == {"comment_only", "added_column"}


def test_a_dropped_column_fails_its_reader_through_state_and_fail_on(planted):
    base, changed = planted["base"], planted["dropped_column_still_read"]
    assert run_results(changed)["model.shop.customers"] == "error"
    done = lineage_cli("diff", "--state", base / "target", changed, "--format", "jsonl",
                       "--fail-on", "breaking", timeout=300)
    assert (done.returncode, done.stderr) == (1, "")
    rows = [json.loads(line) for line in done.stdout.splitlines()]
    assert rows[0]["change"] == "column_removed" and rows[0]["severity"] == "breaking"
    breaking = {row["column"] for row in rows if row["severity"] == "breaking"
                and row["change"] == "impacted"}
    assert "exposure.customer_dashboard" in breaking
    assert {"shop.main.customers.full_name", "shop.main.customers.value_rank"} <= breaking


@pytest.mark.parametrize("selector, models", [
    ("state:modified", {"model.shop.stg_customers"}),
    ("state:modified+", {"model.shop.stg_customers", "model.shop.customers",
                         "exposure.shop.customer_dashboard"}),
    # Its own SQL is unchanged: only its edges and what breaks in it are reported.
    ("state:unmodified", {"model.shop.customers"}),
])
def test_state_selectors_choose_what_is_reported(planted, selector, models):
    base, changed = planted["base"], planted["dropped_column_still_read"]
    chosen = lineage_cli("diff", "--state", base / "target", changed, "--format", "jsonl",
                         "--select", selector, timeout=300)
    assert chosen.stderr == ""
    assert {json.loads(line)["model"] for line in chosen.stdout.splitlines()} == models


def test_a_model_whose_sql_cannot_run_fails_with_everything_below(planted, tmp_path):
    """Compiled SQL that does not parse, or holds two statements: the model
    fails, one line says why, and what reads it breaks."""
    manifest = _manifest(planted["base"])
    manifest["nodes"]["model.shop.int_orders"]["compiled_code"] = "select from where((("
    manifest["nodes"]["model.shop.stg_orders"]["compiled_code"] = "select 1 as x; select 2 as y"
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    done = lineage_cli("diff", "--state", planted["base"] / "target", tmp_path, "--format",
                       "jsonl", "--fail-on", "breaking", timeout=300)
    assert done.returncode == 1
    rows = [json.loads(line) for line in done.stdout.splitlines()]
    failed = [(row["column"], row["reason"].split(":")[0]) for row in rows
              if row["change"] == "failed"]
    assert failed == [("shop.main.stg_orders.*", "model.shop.stg_orders"),
                      ("shop.main.int_orders.*", "model.shop.int_orders")]
    assert all("\n" not in row["reason"] for row in rows if row["change"] == "failed")
    broken = {row["model"] for row in rows if row["change"] == "impacted"
              and row["severity"] == "breaking"}
    assert broken == {"model.shop.stg_orders", "model.shop.int_orders", "model.shop.customers",
                      "snapshot.shop.orders_snapshot", "exposure.shop.customer_dashboard"}
