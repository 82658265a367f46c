"""The test dbt project (tests/dbt_shop) built with dbt-core and dbt-duckdb,
and dbt's own answers about it, for the test modules that import these
fixtures."""

import json
import os
import shutil
import subprocess
from pathlib import Path

import pytest

from helpers import without_sanitizer

HERE = Path(__file__).parent
ROOT = HERE.parent


def dbt_command():
    found = os.environ.get("QARVEL_DBT") or str(ROOT / ".venv-dbt" / "bin" / "dbt")
    return found if os.access(found, os.X_OK) else None


def _dbt_env(project):
    env = without_sanitizer()
    env.update(SHOP_DUCKDB=str(project / "shop.duckdb"), DO_NOT_TRACK="1",
               DBT_SEND_ANONYMOUS_USAGE_STATS="false")
    return env


def _made(tmp_path_factory, steps):
    dbt = dbt_command()
    if dbt is None:
        pytest.skip("no dbt: ./dev test installs it into .venv-dbt (or set QARVEL_DBT)")
    project = tmp_path_factory.mktemp("dbt") / "shop"
    shutil.copytree(HERE / "dbt_shop", project,
                    ignore=shutil.ignore_patterns("target", "logs", "dbt_packages"))
    for step in (["deps"], *steps):
        done = subprocess.run([dbt, *step, "--profiles-dir", str(project), "--project-dir",
                               str(project)], env=_dbt_env(project), capture_output=True,
                              text=True, timeout=600)
        assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    return project


@pytest.fixture(scope="module")
def shop(tmp_path_factory):
    """The project built (seeds, models, snapshot, tests) and its catalog generated."""
    return _made(tmp_path_factory, (["build"], ["docs", "generate"]))


@pytest.fixture(scope="module")
def compiled_shop(tmp_path_factory):
    """The project compiled alone: no table exists, no catalog.json."""
    return _made(tmp_path_factory, (["compile"],))


_LS = """
import json, sys
from dbt.cli.main import dbtRunner

project, queries, out, scratch = sys.argv[1], json.loads(sys.argv[2]), sys.argv[3], sys.argv[4]
runner = dbtRunner()
answers = []
for args in queries:
    # dbt ls writes its own manifest: elsewhere than the project's target.
    done = runner.invoke(["ls", "--quiet", "--project-dir", project, "--profiles-dir", project,
                          "--target-path", scratch,
                          "--output", "json", "--output-keys", "unique_id", *args])
    if not done.success:
        raise SystemExit(f"dbt ls {args} failed: {done.exception}")
    answers.append(sorted(json.loads(line)["unique_id"] for line in done.result))
with open(out, "w") as handle:
    json.dump(answers, handle)
"""


def dbt_ls(project, queries, tmp_path):
    """dbt's own ``dbt ls`` of each query (a list of arguments such as
    ["--select", "tag:x"]): the unique ids it lists, tests left out."""
    python = Path(dbt_command()).with_name("python")
    out = tmp_path / "ls.json"
    done = subprocess.run([str(python), "-c", _LS, str(project), json.dumps(queries), str(out),
                           str(tmp_path / "ls-target")],
                          env=_dbt_env(project), capture_output=True, text=True, timeout=600,
                          cwd=tmp_path)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    return [sorted(uid for uid in answer if not uid.startswith(("test.", "unit_test.")))
            for answer in json.loads(out.read_text())]
