"""The command line on a real dbt project (the Tuva Project's built target).

    python bench_cli.py [--project PATH]

Printed, as measured in one run:

* ``--dbt PATH --format jsonl``: the rows written (goal: at most 170,000),
  the time the command spends besides ``project_lineage`` against
  ``project_lineage``'s own time in the same process (goal: at most 0.5),
  and the command's peak resident memory in a fresh process (goal: at most
  600 MB);
* ``--upstream financial_pmpm.pmpm_payer.medical_paid --direct-only`` in
  table form: its lines (goal: at most 40) and whether both raw
  ``paid_amount`` columns are named;
* ``project_lineage`` with one job and with two, alternating, three rounds
  each in one fresh process: the best time of each and their ratio (goal:
  two jobs below one).  ``--jobs-only`` measures this alone.
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import time
from pathlib import Path

CORPUS = Path(os.environ.get("QARVEL_CORPUS")
              or Path(__file__).resolve().parents[1].parent / "shared" / "corpus")

# Run in a fresh interpreter: the command in-process, project_lineage timed
# inside it, every row counted as it is written, the peak memory at the end.
MEASURE = r"""
import io, resource, sys, time
from qarvel_lineage import cli, dbt

made = dbt.project_lineage
spent = []
def timed(*args, **kwargs):
    start = time.perf_counter()
    try:
        return made(*args, **kwargs)
    finally:
        spent.append(time.perf_counter() - start)
dbt.project_lineage = timed

class Count(io.TextIOBase):
    lines = 0
    size = 0
    def writable(self):
        return True
    def write(self, text):
        self.lines += text.count("\n")
        self.size += len(text)
        return len(text)

out = Count()
start = time.perf_counter()
status = cli.main(["--dbt", sys.argv[1], "--format", "jsonl"], stdout=out)
took = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
print(status, out.lines, out.size, took, spent[0], peak)
"""

# project_lineage with 1 and 2 jobs, alternating: the times of each round.
JOBS = r"""
import sys, time
from qarvel_lineage.dbt import project_lineage

for _ in range(3):
    for jobs in (1, 2):
        start = time.perf_counter()
        project_lineage(sys.argv[1], jobs=jobs)
        print(jobs, time.perf_counter() - start, flush=True)
"""


def jobs_line(project: str) -> None:
    done = subprocess.run([sys.executable, "-c", JOBS, project], capture_output=True, text=True,
                          check=True)
    times: dict[str, list[float]] = {"1": [], "2": []}
    for line in done.stdout.splitlines():
        jobs, took = line.split()
        times[jobs].append(float(took))
    one, two = min(times["1"]), min(times["2"])
    shown = {jobs: ", ".join(f"{t:.2f}" for t in found) for jobs, found in times.items()}
    print(f"project_lineage, 3 rounds alternating: 1 job {shown['1']} s, 2 jobs {shown['2']} s; "
          f"best 2 jobs / best 1 job: ratio {two / one:.2f} (goal < 1; "
          f"{os.cpu_count()} cores here)")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--project", default=str(CORPUS.parent / "dbt" / "tuva" / "target"))
    parser.add_argument("--jobs-only", action="store_true",
                        help="measure project_lineage with 1 and 2 jobs alone")
    options = parser.parse_args()
    if not os.path.isfile(os.path.join(options.project, "manifest.json")):
        sys.exit(f"bench_cli: no dbt project at {options.project}")
    if options.jobs_only:
        jobs_line(options.project)
        return
    done = subprocess.run([sys.executable, "-c", MEASURE, options.project], capture_output=True,
                          text=True, check=True)
    status, rows, size, took, project, peak = done.stdout.split()
    rows, took, project, peak = int(rows), float(took), float(project), int(peak)
    print(f"--dbt --format jsonl: exit {status}, {rows:,} rows ({int(size) / 1e6:.0f} MB of text)")
    print(f"  time besides project_lineage: {took - project:.2f} s against its {project:.2f} s: "
          f"ratio {(took - project) / project:.2f} (goal <= 0.5)")
    print(f"  peak resident memory: {peak / 2**20:.0f} MB (goal <= 600)")
    start = time.perf_counter()
    asked = subprocess.run([sys.executable, "-m", "qarvel_lineage.cli", "--dbt", options.project,
                            "--upstream", "financial_pmpm.pmpm_payer.medical_paid",
                            "--direct-only"], capture_output=True, text=True, check=True)
    lines = asked.stdout.splitlines()
    named = [raw for raw in ("raw_data__medical_claim.paid_amount",
                             "raw_data__pharmacy_claim.paid_amount") if raw in asked.stdout]
    print(f"--upstream financial_pmpm.pmpm_payer.medical_paid --direct-only: {len(lines)} lines "
          f"(goal <= 40), names {len(named)} of the 2 raw paid_amount columns, "
          f"{time.perf_counter() - start:.1f} s")
    jobs_line(options.project)


if __name__ == "__main__":
    main()
