"""The test dbt project (tests/dbt_shop) with more rows in its seeds, built
with dbt-duckdb, and once more for each of a dozen planted changes of the
kinds a pull request makes, each into its own DuckDB file: all in one
process of dbt's environment (dbt's runner, invoked once per build), for
the test modules that import the fixture.

What each build gives: its folder (target/manifest.json, catalog.json,
run_results.json and the DuckDB file shop.duckdb)."""

import json
import shutil
import subprocess
from pathlib import Path

import pytest

from shop_build import HERE, dbt_command, _dbt_env

# Rows added to the seeds so that every planted change shows on execution:
# a shipped order without payments, a customer with two shipped orders on
# different days, a returned order, a customer without orders.
MORE_ROWS = {
    "raw_customers.csv": ["4,Edsger,Dijkstra", "5,Barbara,Liskov"],
    "raw_orders.csv": ["4,3,2024-03-01,shipped", "5,1,2024-03-05,shipped",
                       "6,4,2024-03-07,returned", "7,2,2024-03-09,shipped"],
    "raw_payments.csv": ["5,5,card,700", "6,5,voucher,300", "7,7,card,2000", "8,6,card,900"],
}

# Each planted change: (file, text before, text after), applied to the base.
PLANTED = {
    "expression": [("models/staging/stg_payments.sql", "amount / 100 as amount",
                    "amount / 100 * 1.25 as amount")],
    "cast": [("models/staging/stg_orders.sql", "cast(order_date as date) as order_date",
              "cast(order_date as timestamp) as order_date")],
    "case_branch": [("models/staging/stg_orders.sql", "    status\n",
                     "    case when status = 'returned' then 'refunded' else status end as status\n")],
    "filter": [("models/intermediate/int_orders.sql", "where o.status = 'shipped'",
                "where o.status in ('shipped', 'returned')")],
    "join_type": [("models/intermediate/int_orders.sql", "left join", "inner join")],
    "join_condition": [("models/intermediate/int_orders.sql", "on p.order_id = o.order_id",
                        "on p.order_id = o.customer_id")],
    "grouping_fan_out": [("models/marts/customers.sql", "    group by customer_id\n",
                          "    group by customer_id, order_date\n")],
    "window_partition": [("models/marts/customers.sql", "over (order by o.lifetime_value desc)",
                          "over (partition by o.number_of_orders order by o.lifetime_value desc)")],
    "dropped_column_still_read": [("models/staging/stg_customers.sql",
                                   "    first_name,\n    last_name\n", "    first_name\n")],
    "rename_with_consumer_fixed": [
        ("models/staging/stg_customers.sql", "    first_name,\n", "    first_name as given_name,\n"),
        ("models/marts/customers.sql", "c.first_name ||", "c.given_name ||")],
    "added_column": [("models/staging/stg_customers.sql", "    last_name\n",
                      "    last_name,\n    upper(last_name) as last_name_upper\n")],
    "comment_only": [("models/intermediate/int_orders.sql", "select\n    o.order_id,",
                      "-- orders that shipped, with what was paid for them\nSELECT  o.order_id, "
                      "/* the key */")],
    "macro": [("macros/with_source.sql", "'{{ relation.identifier }}' as _source",
               "upper('{{ relation.identifier }}') as _source")],
}

_BUILD = """
import json, os, shutil, sys
from dbt.cli.main import dbtRunner

base, plan = sys.argv[1], json.loads(sys.argv[2])
runner = dbtRunner()

def run(project, *args):
    os.environ["SHOP_DUCKDB"] = os.path.join(project, "shop.duckdb")
    done = runner.invoke([*args, "--quiet", "--project-dir", project, "--profiles-dir", project])
    return done.success

# The base: its dependencies, everything but the tests, and the catalog.
assert run(base, "deps"), "dbt deps failed"
assert run(base, "build", "--exclude", "resource_type:test"), "the base build failed"
assert run(base, "docs", "generate", "--no-compile"), "dbt docs generate failed"
for name, edits in plan.items():
    project = os.path.join(os.path.dirname(base), name)
    shutil.copytree(base, project, ignore=shutil.ignore_patterns("*.duckdb", "*.wal", "logs"))
    for path, before, after in edits:
        file = os.path.join(project, path)
        text = open(file).read()
        assert text.count(before) == 1, f"{name}: {before!r} is not once in {path}"
        with open(file, "w") as handle:
            handle.write(text.replace(before, after))
    # A model that fails is part of the answer: the build may fail.
    run(project, "build", "--exclude", "resource_type:test")
    assert run(project, "docs", "generate", "--no-compile"), f"{name}: docs generate failed"
"""


@pytest.fixture(scope="session")
def planted(tmp_path_factory):
    """{"base": folder, change name: folder} of the built projects."""
    dbt = dbt_command()
    if dbt is None:
        pytest.skip("no dbt: ./dev test installs it into .venv-dbt (or set QARVEL_DBT)")
    return build_planted(dbt, tmp_path_factory.mktemp("planted"))


def build_planted(dbt, root):
    base = root / "base"
    shutil.copytree(HERE / "dbt_shop", base,
                    ignore=shutil.ignore_patterns("target", "logs", "dbt_packages", "*.duckdb"))
    for name, rows in MORE_ROWS.items():
        seed = base / "seeds" / name
        seed.write_text(seed.read_text().rstrip("\n") + "\n" + "\n".join(rows) + "\n")
    python = Path(dbt).with_name("python")
    done = subprocess.run([str(python), "-c", _BUILD, str(base), json.dumps(PLANTED)],
                          env=_dbt_env(base), capture_output=True, text=True, timeout=1800,
                          cwd=root)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    return {"base": base, **{name: root / name for name in PLANTED}}


def run_results(project):
    """Each node's status in the build: success, error, skipped..."""
    found = json.loads((project / "target" / "run_results.json").read_text())
    return {r["unique_id"]: r["status"] for r in found["results"]}
