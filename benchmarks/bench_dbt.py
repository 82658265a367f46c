"""A dbt project's lineage against the time sqlglot takes to parse it.

    python bench_dbt.py [--tuva TARGET] [--copies N] [--skip-grown]

Printed, each measured once in this run, each in a fresh process (so one
measure's memory and caches are not the next one's):

- sqlglot's parse of every model's compiled SQL (the models the lineage
  analyses), and ``project_lineage`` of the project, with their ratio and
  the lineage's peak resident memory; for Tuva (--tuva) and for a project
  of --copies copies of it side by side (benchmarks/grow_dbt.py), with the
  ratio of the two lineage times against the ratio of their sizes;
- a stored graph of Tuva: built in full by ``Graph.refresh`` into a new
  file, refreshed with nothing changed, and refreshed after one leaf
  model's compiled SQL changed, each as a fraction of the full build.
"""

from __future__ import annotations

import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
TUVA = HERE.parents[1] / "shared" / "dbt" / "tuva" / "target"

# Each measure runs in a child: it prints (seconds, peak resident bytes).
PARSE = r"""
import json, resource, sys, time
import sqlglot
from qarvel_lineage.dbt import ADAPTER_DIALECTS
manifest = json.load(open(sys.argv[1] + "/manifest.json"))
adapter = manifest["metadata"].get("adapter_type")
dialect = ADAPTER_DIALECTS.get(adapter, adapter)
texts = [node.get("compiled_code") for node in manifest["nodes"].values()
         if node.get("resource_type") in ("model", "snapshot")]
texts = [text for text in texts if isinstance(text, str) and text.strip()]
del manifest
start = time.perf_counter()
for text in texts:
    try:
        sqlglot.parse(text, read=dialect)
    except Exception:
        pass
took = time.perf_counter() - start
print(json.dumps([took, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, len(texts)]))
"""

LINEAGE = r"""
import json, resource, sys, time
from qarvel_lineage.dbt import project_lineage
start = time.perf_counter()
project = project_lineage(sys.argv[1])
took = time.perf_counter() - start
print(json.dumps([took, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                  len(project.models)]))
"""

REFRESH = r"""
import json, resource, sys, time
from qarvel_lineage.graph import Graph
start = time.perf_counter()
with Graph(sys.argv[2]) as graph:
    done = graph.refresh(sys.argv[1])
took = time.perf_counter() - start
print(json.dumps([took, resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024, str(done)]))
"""


def measure(script: str, *args: str) -> list:
    done = subprocess.run([sys.executable, "-c", script, *args], capture_output=True, text=True,
                          check=False)
    if done.returncode != 0:
        sys.exit(f"bench_dbt: a measure failed: {done.stderr.strip().splitlines()[-1:]}")
    return json.loads(done.stdout.strip().splitlines()[-1])


def lineage_against_parse(label: str, target: str) -> float:
    parse, parse_rss, count = measure(PARSE, target)
    lineage, rss, models = measure(LINEAGE, target)
    print(f"{label}: {count:,} models parsed by sqlglot in {parse:.2f} s; project_lineage "
          f"({models:,} models) {lineage:.2f} s: {lineage / parse:.2f}x the parse; peak "
          f"{rss / 2**20:,.0f} MB (the parse alone: {parse_rss / 2**20:,.0f} MB)")
    return lineage


def leaf_model(target: str) -> str:
    """A model no other node reads."""
    manifest = json.loads(Path(target, "manifest.json").read_text())
    read = {parent for node in manifest["nodes"].values()
            for parent in (node.get("depends_on") or {}).get("nodes") or ()}
    leaves = sorted(uid for uid, node in manifest["nodes"].items()
                    if node.get("resource_type") == "model" and uid not in read
                    and isinstance(node.get("compiled_code"), str)
                    and node.get("config", {}).get("materialized") != "ephemeral")
    return leaves[0]


def refreshes(target: str, folder: str) -> None:
    project = Path(folder, "tuva")
    project.mkdir()
    for name in ("manifest.json", "catalog.json"):
        if Path(target, name).exists():
            shutil.copy(Path(target, name), project / name)
    graph = str(Path(folder, "tuva.db"))
    full, _, said = measure(REFRESH, str(project), graph)
    print(f"graph of Tuva built by a refresh into a new file: {full:.2f} s ({said})")
    same, _, said = measure(REFRESH, str(project), graph)
    print(f"  refreshed, nothing changed: {same:.2f} s: {same / full:.3f} of the build ({said})")
    leaf = leaf_model(str(project))
    manifest = json.loads((project / "manifest.json").read_text())
    node = manifest["nodes"][leaf]
    node["compiled_code"] = node["compiled_code"] + "\n-- changed\n"
    (project / "manifest.json").write_text(json.dumps(manifest))
    one, _, said = measure(REFRESH, str(project), graph)
    print(f"  refreshed, one leaf model changed ({leaf}): {one:.2f} s: {one / full:.3f} of "
          f"the build ({said})")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tuva", type=Path, default=TUVA, help="a dbt project's target folder")
    parser.add_argument("--copies", type=int, default=4,
                        help="copies of it in the larger project (default 4)")
    parser.add_argument("--skip-grown", action="store_true", help="Tuva only")
    options = parser.parse_args()
    if not options.tuva.is_dir():
        sys.exit(f"bench_dbt: no dbt project at {options.tuva}")
    with tempfile.TemporaryDirectory(prefix="bench_dbt.") as folder:
        small = lineage_against_parse("Tuva", str(options.tuva))
        if not options.skip_grown:
            grown = os.path.join(folder, "grown")
            subprocess.run([sys.executable, str(HERE / "grow_dbt.py"), str(options.tuva), grown,
                            "--copies", str(options.copies)], check=True)
            large = lineage_against_parse(f"Tuva x{options.copies}", grown)
            print(f"  {options.copies} times the models: {large / small:.2f} times the time")
        refreshes(str(options.tuva), folder)


if __name__ == "__main__":
    main()
