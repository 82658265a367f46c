"""diff on a real dbt project: the Tuva Project's built target against a
copy of it with one model changed.

    python bench_changes.py [--project PATH] [--model NAME]

Printed, as measured in one run in this process: the time of one
``project_lineage`` of the project, the time of ``compare_dbt`` of the two
versions (which analyses the new one whole and of the old one only what
changed), their ratio (goal: under 2), and what the comparison found.

The changed model's compiled SQL is wrapped as ``select * from (SQL) as
changed where 1 = 1``: its rows fingerprint changes, so every column of it
is a rows change and its blast radius is followed.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import sys
import tempfile
import time
from pathlib import Path

CORPUS = Path(os.environ.get("QARVEL_CORPUS")
              or Path(__file__).resolve().parents[1].parent / "shared" / "corpus")


def _changed_copy(project: Path, model: str | None, folder: Path) -> str:
    """A copy of the target in ``folder`` with one model's SQL changed; its unique id."""
    manifest = json.loads((project / "manifest.json").read_text(encoding="utf-8"))
    nodes = manifest["nodes"]
    children: dict[str, int] = {}
    for node in nodes.values():
        for parent in node.get("depends_on", {}).get("nodes", ()):
            children[parent] = children.get(parent, 0) + 1
    candidates = [uid for uid, node in nodes.items()
                  if node.get("resource_type") == "model" and node.get("compiled_code")
                  and (model is None or node.get("name") == model)]
    if not candidates:
        raise SystemExit(f"no compiled model {model!r} in {project}")
    # The model most others read, unless one is named.
    chosen = max(candidates, key=lambda uid: (children.get(uid, 0), uid))
    node = nodes[chosen]
    node["compiled_code"] = f"select * from ({node['compiled_code']}) as changed where 1 = 1"
    with open(folder / "manifest.json", "w", encoding="utf-8") as handle:
        json.dump(manifest, handle)
    if (project / "catalog.json").exists():
        shutil.copy(project / "catalog.json", folder / "catalog.json")
    return chosen


def main() -> int:
    from qarvel_lineage.changes import compare_dbt
    from qarvel_lineage.dbt import project_lineage

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--project", type=Path, default=CORPUS.parent / "dbt" / "tuva" / "target")
    parser.add_argument("--model", default=None, help="the model to change (default: the one "
                                                      "most models read)")
    options = parser.parse_args()
    if not (options.project / "manifest.json").exists():
        print(f"no dbt target at {options.project}", file=sys.stderr)
        return 1
    with tempfile.TemporaryDirectory() as scratch:
        chosen = _changed_copy(options.project, options.model, Path(scratch))
        start = time.perf_counter()
        project = project_lineage(options.project)
        one = time.perf_counter() - start
        start = time.perf_counter()
        found = compare_dbt(options.project, scratch)
        both = time.perf_counter() - start
    print(f"project_lineage: {len(project.models)} models in {one:.1f} s")
    print(f"compare_dbt, {chosen} changed: {both:.1f} s; ratio {both / one:.2f} (goal: under 2)")
    summary = found.summary()
    print(f"  {len(found.changes)} changed columns, {len(found.impacts)} impacted; {summary}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
