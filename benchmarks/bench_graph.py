"""The stored lineage graph: a generated log saved, reopened and asked.

    python bench_graph.py [--statements N] [--chain N]

The log is N statements (100,000 by default) in chains of --chain tables
(each statement fills the next table of its chain from the one before, with
a transformation and a filter).  Printed, as measured in one run: the time
to analyse and store the log, the size of the saved file, and for one
column at the head of a chain, in a fresh process that opens the saved
graph: the time of ``downstream`` and how much its resident memory grew,
against the size of the file (a ratio far below 1 says the graph was not
loaded back to answer).
"""

from __future__ import annotations

import argparse
import os
import subprocess
import sys
import tempfile
import time

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


def log(statements: int, chain: int):
    for number in range(statements):
        group, step = divmod(number, chain)
        yield (f"insert into g{group}.t{step + 1} (a, b) "
               f"select a + {step}, b from g{group}.t{step} where b > {step}")


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--statements", type=int, default=100_000)
    parser.add_argument("--chain", type=int, default=100)
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


if __name__ == "__main__":
    main()
