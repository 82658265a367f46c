"""How the cost grows with the size of hostile inputs, as ratios from one run.

    python bench_scale.py

Printed, each measured once in this process (the best of three rounds):
splitting a script of 4,000 and of 16,000 statements (linear: the ratio
near 4); the lineage page of a chain of 200 and 800 steps where every
step also joins one shared dimension, and of the chain alone (the
dimension should cost a small constant factor, and 4 times the steps
about 4 times the time); the page and jsonl rows of a 7,500- and a
30,000-column INSERT (the page within a small factor of the rows).
"""

from __future__ import annotations

import io
import time

from qarvel_lineage import cli
from qarvel_lineage.engine.rules import rules_for, split_statements
from qarvel_lineage.page.render import lineage_page


def best(call, rounds: int = 3) -> float:
    times = []
    for _ in range(rounds):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return min(times)


def script(statements: int) -> str:
    return "".join(f"insert into t{n} select a, b from u{n} where c > {n};\n"
                   for n in range(statements))


def chain(steps: int, dimension: bool) -> list[dict]:
    edges = []
    for step in range(1, steps + 1):
        target = [None, "s", f"t{step}", "a"]
        edges.append({"source": [None, "s", f"t{step - 1}", "a"], "target": target,
                      "type": "DIRECT", "subtype": "IDENTITY", "statement": f"q{step}"})
        if dimension:
            edges.append({"source": [None, "d", "dim", "k"], "target": target,
                          "type": "INDIRECT", "subtype": "JOIN", "statement": f"q{step}"})
    return edges


def wide(columns: int) -> str:
    return (f"insert into s.wide ({', '.join(f'c{n}' for n in range(columns))}) select "
            f"{', '.join(f'a{n}' for n in range(columns))} from s.src")


def command(fmt: str, text: str) -> None:
    cli.main(["--format", fmt, text], stdin=io.StringIO(), stdout=io.StringIO(),
             stderr=io.StringIO())


def main() -> None:
    rules = rules_for(None)
    small, large = script(4_000), script(16_000)
    split = [best(lambda text=text: split_statements(text, rules)) for text in (small, large)]
    print(f"split 4,000 statements {split[0]:.3f} s, 16,000 {split[1]:.3f} s: "
          f"ratio {split[1] / split[0]:.2f} (linear: about 4)")
    for steps in (200, 800):
        alone = best(lambda: lineage_page(chain(steps, False), title="c"), 1)
        joined = best(lambda: lineage_page(chain(steps, True), title="c"), 1)
        size = len(lineage_page(chain(steps, True), title="c"))
        print(f"page of a {steps}-step chain: {alone:.2f} s alone, {joined:.2f} s with a shared "
              f"dimension ({joined / alone:.2f} times), {size / 1e6:.2f} MB")
    for columns in (7_500, 30_000):
        text = wide(columns)
        rows = best(lambda: command("jsonl", text), 1)
        page = best(lambda: command("html", text), 1)
        print(f"{columns:,}-column INSERT: jsonl {rows:.2f} s, html {page:.2f} s "
              f"(ratio {page / rows:.2f})")


if __name__ == "__main__":
    main()
