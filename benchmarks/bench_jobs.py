"""Parallel analysis, measured from outside: whole command-line runs.

    python bench_jobs.py [--rounds N] [--quick] [--stress N]

Each figure is ``--jobs 1`` time over ``--jobs 2`` time (above 1: two jobs
are faster), of the best of alternating rounds (medians beside them), so a
slow spell of the machine falls on both:

1. 2,000 distinct statement files (no two share a template, so no cache
   helps), beside this machine's own ceiling: two independent processes,
   each on one half, against one process on all;
2. a log of 3,000 statement files made from 200 templates with other
   literals (the template cache hits);
3. one file;
4. analyze_many in this process on the same three inputs;
5. the time to the first row on standard output, for both.

``--stress N`` runs each worker-failure test N times in a row and prints
how many passed.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import sqlglot
from sqlglot import exp

import qarvel_lineage as ql
from bench_engine import literal_variants

HERE = Path(__file__).resolve().parent
CORPUS = Path(os.environ.get("QARVEL_CORPUS") or HERE.parents[1] / "shared" / "corpus")
COMMAND = Path(sys.executable).with_name("sqlglot-main")


def corpus_queries() -> list[str]:
    """The corpus statements of the default dialect that parse as one query."""
    found = []
    for line in (CORPUS / "statements.jsonl").read_text().splitlines():
        row = json.loads(line)
        if row["dialect"] is not None:
            continue
        try:
            trees = sqlglot.parse(row["sql"])
        except Exception:
            continue
        if len(trees) == 1 and isinstance(trees[0], exp.Query):
            found.append(row["sql"])
    return found


def distinct_statements(queries: list[str], count: int) -> list[str]:
    """``count`` statements no two of which share a template: copy k of a
    query reads tables renamed with the suffix _k."""
    made = []
    copy = 0
    while len(made) < count:
        for sql in queries:
            if len(made) == count:
                break
            tree = sqlglot.parse_one(sql)
            for table in tree.find_all(exp.Table):
                if table.name:
                    table.set("this", exp.to_identifier(f"{table.name}_{copy}"))
            made.append(tree.sql())
        copy += 1
    return made


def log_with_repeats(queries: list[str], total: int, templates: int) -> list[str]:
    rnd = random.Random(11)
    chosen = rnd.sample(queries, min(templates, len(queries)))
    log = []
    for sql in chosen:
        log.extend(literal_variants(sql, None, rnd, total // len(chosen)))
    rnd.shuffle(log)
    return log


def write_files(folder: Path, texts: list[str]) -> Path:
    folder.mkdir(parents=True)
    for index, sql in enumerate(texts):
        (folder / f"q{index:06d}.sql").write_text(sql)
    return folder


def run(jobs: int, *inputs: str) -> float:
    """The whole time of one command-line run, its output thrown away (as
    the independent runs below do: a reader would take a core of its own)."""
    start = time.perf_counter()
    subprocess.run([str(COMMAND), "--format", "jsonl", "--jobs", str(jobs), *inputs],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=False)
    return time.perf_counter() - start


def first_row(jobs: int, *inputs: str) -> float:
    """The time from the start of a run to its first row on standard output."""
    start = time.perf_counter()
    child = subprocess.Popen([str(COMMAND), "--format", "jsonl", "--jobs", str(jobs), *inputs],
                             stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    line = child.stdout.readline()
    took = time.perf_counter() - start
    child.kill()
    child.wait()
    assert line, "the run wrote nothing"
    return took


_HALF = """
import sys, time
start = time.perf_counter()
import subprocess
subprocess.run([sys.argv[1], "--format", "jsonl", "--jobs", "1", *sys.argv[2:]],
               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
print(time.perf_counter() - start)
"""


def independent(files: list[str], parts: int) -> float:
    """``parts`` independent one-job runs at once, each on its share of the files."""
    children = [subprocess.Popen([sys.executable, "-c", _HALF, str(COMMAND), *files[part::parts]],
                                 stdout=subprocess.PIPE, text=True) for part in range(parts)]
    return max(float(child.communicate()[0]) for child in children)


def median_ratio(times: dict[int, list[float]]) -> float:
    return statistics.median(times[1]) / statistics.median(times[2])


def best_ratio(times: dict[int, list[float]]) -> float:
    """The ratio of the best rounds.  On this machine the same run takes
    anywhere from 1x to 1.7x its best time, minutes apart, and nothing
    makes a run faster than its work: the best round is the one least
    disturbed (the medians are printed beside it)."""
    return min(times[1]) / min(times[2])


def bench_command(name: str, inputs: list[str], rounds: int, ceiling: bool = False) -> None:
    times: dict[int, list[float]] = {1: [], 2: []}
    firsts: dict[int, list[float]] = {1: [], 2: []}
    alone, halves, starts = [], [], []
    for _ in range(rounds):
        for jobs in (1, 2):
            times[jobs].append(run(jobs, *inputs))
            firsts[jobs].append(first_row(jobs, *inputs))
        if ceiling:
            files = sorted(str(p) for p in Path(inputs[0]).iterdir())
            alone.append(independent(files, 1))
            halves.append(independent(files, 2))
            starts.append(run(1, files[0]))
    print(f"   {name}: --jobs 1 {min(times[1]):.2f} s, --jobs 2 {min(times[2]):.2f} s, "
          f"ratio {best_ratio(times):.2f}x (medians {statistics.median(times[1]):.2f} s and "
          f"{statistics.median(times[2]):.2f} s, {median_ratio(times):.2f}x); first row "
          f"{min(firsts[1]) * 1000:.0f} ms and {min(firsts[2]) * 1000:.0f} ms")
    if ceiling:
        print(f"      two independent processes on one half each: {min(alone) / min(halves):.2f}x "
              f"(medians {statistics.median(alone) / statistics.median(halves):.2f}x; "
              f"this machine's ceiling)")
        # What no way of sharing the work can beat: start-up and exit (a run
        # on one statement) happen once in any case, and only the rest splits.
        start, whole = min(starts), min(times[1])
        print(f"      start-up and exit of a run on one statement: {start:.2f} s, so two jobs "
              f"take at least {start + (whole - start) / 2:.2f} s: at most "
              f"{whole / (start + (whole - start) / 2):.2f}x")


def bench_api(name: str, texts: list[str], rounds: int) -> None:
    times: dict[int, list[float]] = {1: [], 2: []}
    for _ in range(rounds):
        for jobs in (1, 2):
            start = time.perf_counter()
            count = sum(1 for _ in ql.analyze_many(texts, jobs=jobs))
            times[jobs].append(time.perf_counter() - start)
            assert count == len(texts)
    print(f"   {name}: jobs=1 {min(times[1]):.3f} s, jobs=2 {min(times[2]):.3f} s, "
          f"ratio {best_ratio(times):.2f}x (medians {median_ratio(times):.2f}x)")


def stress(count: int) -> None:
    """The worker-failure tests (a worker's exception, a failing set-up, a
    worker that exits or is killed) each run ``count`` times in one pytest
    run; any BrokenProcessPool they do not expect fails a test."""
    root = HERE.parent
    start = time.perf_counter()
    done = subprocess.run([sys.executable, "-m", "pytest", "-p", "no:cacheprovider", "-c",
                           str(root / "pyproject.toml"), "--rootdir", str(root),
                           "-k", "exception or failing or dead", str(root / "tests" / "test_pool.py")],
                          cwd=root / "tests", capture_output=True, text=True,
                          env={**os.environ, "QARVEL_POOL_ATTEMPTS": str(count)})
    summary = done.stdout.strip().splitlines()[-1] if done.stdout.strip() else done.stderr[-2000:]
    if done.returncode:
        print(done.stdout[-6000:])
    print(f"   {count} runs of each worker-failure test: {summary} "
          f"({time.perf_counter() - start:.0f} s, exit status {done.returncode})")


def main(argv=None) -> None:
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="one round")
    parser.add_argument("--stress", type=int, default=0, metavar="N",
                        help="run the worker-failure tests N times instead")
    options = parser.parse_args(argv)
    if options.stress:
        stress(options.stress)
        return
    rounds = 1 if options.quick else options.rounds
    queries = corpus_queries()
    distinct = distinct_statements(queries, 2000)
    log = log_with_repeats(queries, 3000, 200)
    print(f"parallel analysis on sqlglot {sqlglot.__version__}, {os.process_cpu_count()} usable cores, "
          f"{rounds} alternating rounds (best rounds, and medians)")
    with tempfile.TemporaryDirectory() as scratch:
        folder = Path(scratch)
        distinct_dir = write_files(folder / "distinct", distinct)
        log_dir = write_files(folder / "log", log)
        one_file = folder / "one.sql"
        one_file.write_text(";\n".join(queries[:40]) + ";\n")
        print("1-3, 5. sqlglot-main --format jsonl, whole runs (goals: 1.8x, 0.95x, 0.95x)")
        bench_command(f"{len(distinct)} distinct statements", [str(distinct_dir)], rounds, ceiling=True)
        bench_command(f"a log of {len(log)} files from 200 templates", [str(log_dir)], rounds)
        # Short runs, where one disturbed round weighs most: more of them.
        bench_command("one file of 40 statements", [str(one_file)], rounds * 4)
    print("4. analyze_many in this process")
    bench_api(f"{len(distinct)} distinct statements", distinct, rounds)
    bench_api(f"a log of {len(log)} statements from 200 templates", log, rounds)
    bench_api("10 statements", queries[:10], rounds * 20)


if __name__ == "__main__":
    main()
