"""The stored lineage graph: a generated log saved, reopened and asked.

    python bench_graph.py [--statements N] [--chain N] [--tuva TARGET]

The log is N statements (100,000 by default) in chains of --chain tables
(each statement fills the next table of its chain from the one before, with
a transformation and a filter).  Printed, as measured in one run: the time
to analyse and store the log, the size of the saved file, and for one
column at the head of a chain, in a fresh process that opens the saved
graph: the time of ``downstream`` and how much its resident memory grew,
against the size of the file (a ratio far below 1 says the graph was not
loaded back to answer).

Then, each saved and asked in a fresh process: the graph of the Tuva dbt
project (--tuva, its target folder; left out when it is not there): the
slowest and the median time of upstream, downstream and impact over a
sample of its columns (those with the most edges in and out, and every
250th), and of paths to each from the farthest column above it; a chain of
1,200 hops; and cycles: a table written from itself with eleven columns
each fed by all eleven, sixty such columns in a graph of 9,000 more, and
2^30 paths beside a one-hop edge.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import qarvel_lineage as ql
from qarvel_lineage.graph import Graph

ASK = r"""
import os, sys, time
from qarvel_lineage.graph import Graph

def resident():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

before = resident()
start = time.perf_counter()
graph = Graph.open(sys.argv[1])
edges = graph.downstream(sys.argv[2])
took = time.perf_counter() - start
print(len(edges), took, resident() - before)
"""


QUESTIONS = r"""
import json, sys, time
from qarvel_lineage.graph import Graph

graph = Graph.open(sys.argv[1])
took = []
for question, args in json.loads(sys.argv[2]):
    start = time.perf_counter()
    answer = getattr(graph, question)(*args)
    took.append([time.perf_counter() - start, len(answer)])
print(json.dumps(took))
"""

TUVA = Path(__file__).resolve().parents[2] / "shared" / "dbt" / "tuva" / "target"


def ask(path: str, questions: list) -> list[tuple[float, int]]:
    """Each (question, args) asked in order of the graph saved at ``path``, in a fresh process."""
    done = subprocess.run([sys.executable, "-c", QUESTIONS, path, json.dumps(questions)],
                          capture_output=True, text=True, check=True)
    return [tuple(pair) for pair in json.loads(done.stdout)]


def saved(graph: Graph, folder: str, name: str) -> str:
    path = os.path.join(folder, name)
    graph.save(path)
    graph.close()
    return path


def ms(seconds: float) -> str:
    return f"{seconds * 1000:,.1f} ms"


def tuva(folder: str, target: Path) -> None:
    from qarvel_lineage.dbt import project_lineage

    start = time.perf_counter()
    project = project_lineage(target)
    analysed = time.perf_counter() - start
    graph = Graph().add(project)
    added = time.perf_counter() - start - analysed
    edges = graph.edges()
    into: dict[str, int] = {}
    out: dict[str, int] = {}
    for edge in edges:
        into[edge.target] = into.get(edge.target, 0) + 1
        out[edge.source] = out.get(edge.source, 0) + 1
    columns = sorted(into.keys() | out.keys())
    sample = list(dict.fromkeys(
        sorted(into, key=lambda c: (-into[c], c))[:10] + sorted(out, key=lambda c: (-out[c], c))[:10]
        + columns[::250]))
    farthest = {column: above[-1].source for column in sample
                if (above := graph.upstream(column))}
    path = saved(graph, folder, "tuva.db")
    print(f"Tuva project: {len(columns):,} columns, {len(edges):,} edges, analysed in "
          f"{analysed:.1f} s and added in {added:.1f} s; asked of the saved file in a fresh "
          f"process, over {len(sample)} columns (paths: {len(farthest)} with a column above):")
    for question in ("upstream", "downstream", "impact", "paths"):
        asked = ([[question, [above, column]] for column, above in farthest.items()]
                 if question == "paths" else [[question, [column]] for column in sample])
        answers = ask(path, asked)
        slowest = max(answers)
        print(f"  {question}: slowest {ms(slowest[0])} ({slowest[1]:,} answered), median "
              f"{ms(statistics.median(t for t, _ in answers))}")


def shapes(folder: str) -> None:
    """A long chain and cyclic shapes, each saved and asked in a fresh process."""
    def built(statements) -> Graph:
        return Graph().add_many(ql.analyze_many(list(statements)), name="log")

    eleven = [f"c{i}" for i in range(1, 12)]
    sixty = [f"c{i}" for i in range(60)]
    cases = [
        ("a chain of 1,200 hops",
         built(f"insert into c{i + 1} (a) select a from c{i}" for i in range(1200)),
         [["upstream", ["c1200.a"]], ["downstream", ["c0.a"]], ["impact", ["c0.a"]],
          ["paths", ["c0.a", "c1200.a"]]]),
        ("t written from t, 11 columns each fed by all 11, y.v by t.c1",
         built([f"insert into t ({', '.join(eleven)}) select "
                f"{', '.join([' + '.join(eleven)] * 11)} from t",
                "insert into y (v) select c1 from t"]),
         [["upstream", ["y.v"]], ["impact", ["t.c1"]], ["paths", ["t.c1", "y.v"]],
          ["paths", ["t.c1", "t.c11"]]]),
        ("60 columns each fed by all 60 (3,600 edges) in a graph of 9,120 columns",
         built([f"insert into t ({', '.join(sixty)}) select "
                f"{', '.join([' + '.join(sixty)] * 60)} from t",
                *(f"insert into x{i} (a) select a from y{i}" for i in range(4530))]),
         [["upstream", ["t.c0"]], ["downstream", ["t.c0"]], ["impact", ["t.c0"]],
          ["paths", ["t.c0", "t.c59"]]]),
        ("2^30 paths of 30 hops beside a one-hop edge",
         built([*(f"insert into d{i + 1} (a, b) select a + b, a - b from d{i}" for i in range(30)),
                "insert into d30 (a) select a from d0"]),
         [["upstream", ["d30.a"]], ["impact", ["d0.a"]], ["paths", ["d0.a", "d30.a"]]]),
    ]
    for number, (title, graph, questions) in enumerate(cases):
        answers = ask(saved(graph, folder, f"shape{number}.db"), questions)
        print(f"{title}: " + ", ".join(
            f"{question} {ms(took)} ({size:,})" for (question, _), (took, size) in
            zip(questions, answers)))


def log(statements: int, chain: int):
    for number in range(statements):
        group, step = divmod(number, chain)
        yield (f"insert into g{group}.t{step + 1} (a, b) "
               f"select a + {step}, b from g{group}.t{step} where b > {step}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--statements", type=int, default=100_000)
    parser.add_argument("--chain", type=int, default=100)
    parser.add_argument("--tuva", type=Path, default=TUVA,
                        help="the Tuva dbt project's target folder")
    options = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "lineage.db")
        start = time.perf_counter()
        graph = Graph().add_many(ql.analyze_many(log(options.statements, options.chain)),
                                 name="log")
        built = time.perf_counter() - start
        graph.save(path)
        edges = len(graph)
        graph.close()
        size = os.path.getsize(path)
        print(f"graph of {options.statements:,} statements: {edges:,} edges, analysed and "
              f"stored in {built:.1f} s, saved file {size / 2**20:.1f} MiB")
        done = subprocess.run([sys.executable, "-c", ASK, path, "g0.t0.a"],
                              capture_output=True, text=True, check=True)
        found, took, grown = done.stdout.split()
        print(f"downstream of g0.t0.a in a fresh process: {int(found)} edges in "
              f"{float(took) * 1000:.1f} ms; the process grew by {int(grown) / 2**20:.1f} MiB, "
              f"{int(grown) / size:.3f} of the file's size")
        if options.tuva.is_dir():
            tuva(folder, options.tuva)
        else:
            print(f"no Tuva project at {options.tuva}: left out")
        shapes(folder)


if __name__ == "__main__":
    main()
