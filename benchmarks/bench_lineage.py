"""Where the time of a lineage analysis goes, and how it grows.

    ./dev bench                 all figures (a few tens of seconds)
    ./dev bench --callgrind     also the instruction share of the extension's own code

Every figure is a median over repeats, measured in this one run:

* cold analysis of realistic statements (a fresh analyser per statement,
  "normal"), split into the parse_one calls the analysis makes, the SQL text
  generation of sub-queries, the sibling modules (path test, digest, store),
  and everything else (the extension's own work plus the sqlglot tree walks it
  asks for);
* the same cold analysis on the default dependencies and on the older sqlglot
  of a second environment (``--legacy-python``, the interpreter of that
  environment; ./dev passes the one of .venv-sqlglot27), and their ratio;
* the cached path (`_parse` of an analysed statement) in calls per second, and
  its ratio to the sibling-module calls it cannot avoid;
* growth of cold analysis time with the select-list size and with sub-query
  nesting depth;
* memory per cached statement.
"""

import argparse
import gc
import importlib.metadata
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc

import sqlglot
from sqlglot import expressions as sqlglot_expressions

import qarvel_bases
import qarvel_crypt
import qarvel_var
import sqlglot_main
from sqlglot_main import QarvelSQLGlotMain

REALISTIC = {
    "join+subquery": """
        select o.id as order_id, c.name as customer, t.total
        from sales.orders o
        join crm.customers c on c.id = o.customer_id
        join (select order_id, sum(amount) as total from sales.order_items group by order_id) t
          on t.order_id = o.id""",
    "cte": """
        with recent as (
            select o.id, o.customer_id, o.amount from sales.orders o
            where o.created_at > '2024-01-01')
        select recent.id, recent.amount, recent.customer_id from recent""",
    "select-list subquery": """
        select c.id, c.name, (select o.total from sales.orders o where o.customer_id = c.id
                              order by o.created_at desc limit 1) as last_total
        from crm.customers c""",
    "five joins": """
        select a.id, b.name, c.city, d.amount, e.status, f.code
        from core.accounts a
        join core.branches b on b.id = a.branch_id
        join geo.cities c on c.id = b.city_id
        join fin.balances d on d.account_id = a.id
        join core.states e on e.id = a.state_id
        join ref.codes f on f.id = a.code_id""",
    "nested from": """
        select s2.k, s2.v from (
            select s1.k, s1.v from (
                select k, v from raw.events where v > 0) s1) s2""",
    "insert select": """
        insert into mart.daily select d.day, d.visits, d.revenue from stage.daily d""",
    "functions and literals": """
        select upper(c.name) as name, 1 as one, null as nothing,
               coalesce(c.email, c.phone) as contact, 'x' as tag
        from crm.customers c""",
    "wide": "select " + ", ".join(f"w.col_{i}" for i in range(40)) + " from dw.wide_table w",
}


def wide_statement(columns):
    return "select " + ", ".join(f"t.c{i}" for i in range(columns)) + " from db.t t"


def nested_statement(depth):
    sql = "select c0, c1 from db.base"
    for level in range(depth):
        sql = f"select s{level}.c0, s{level}.c1 from ({sql}) s{level}"
    return sql


def median_time(function, repeats):
    times = []
    for _ in range(repeats):
        gc.collect()
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


class Timers:
    """Exclusive timers around patched callables: a timed call made inside
    another timed call counts for the inner one only."""

    def __init__(self):
        self.totals = {}
        self.stack = []

    def wrap(self, bucket, function):
        timers = self

        def timed(*args, **kwargs):
            now = time.perf_counter_ns()
            if timers.stack:
                outer, started = timers.stack[-1]
                timers.totals[outer] = timers.totals.get(outer, 0) + now - started
            timers.stack.append([bucket, now])
            try:
                return function(*args, **kwargs)
            finally:
                end = time.perf_counter_ns()
                _, started = timers.stack.pop()
                timers.totals[bucket] = timers.totals.get(bucket, 0) + end - started
                if timers.stack:
                    timers.stack[-1][1] = end
        return timed


class Instrumented:
    """Patches parse_one (the module global), Expression.__str__ and the
    sibling modules' callables with exclusive timers."""

    def __init__(self):
        self.timers = Timers()
        self.saved = []

    def patch(self, owner, name, bucket, wrap_static=False):
        original = owner.__dict__[name] if isinstance(owner, type) else getattr(owner, name)
        function = original.__func__ if isinstance(original, staticmethod) else original
        timed = self.timers.wrap(bucket, function)
        setattr(owner, name, staticmethod(timed) if isinstance(original, staticmethod) else timed)
        self.saved.append((owner, name, original))

    def __enter__(self):
        self.patch(sqlglot_main, "parse_one", "parse")
        self.patch(sqlglot_expressions.Expression, "__str__", "text")
        self.patch(qarvel_bases.QarvelBases, "path_file", "siblings")
        self.patch(qarvel_bases.QarvelBases, "path_read", "siblings")
        self.patch(qarvel_crypt.QarvelCrypt, "md5_encrypt", "siblings")
        for name in ("get", "keys", "add"):
            self.patch(qarvel_var.QarvelVar, name, "siblings")
        for name in ("__setattr__", "todict"):
            self.patch(qarvel_var.Record, name, "siblings")
        return self.timers

    def __exit__(self, *exc):
        for owner, name, original in reversed(self.saved):
            setattr(owner, name, original)


def cold(statements):
    for sql in statements:
        QarvelSQLGlotMain()._parse(sql, None, "normal")


def report_cold(repeats):
    statements = list(REALISTIC.values())
    cold(statements)  # warm sqlglot's and re's caches
    plain = median_time(lambda: cold(statements), repeats)
    buckets = []
    for _ in range(repeats):
        with Instrumented() as timers:
            start = time.perf_counter_ns()
            cold(statements)
            total = time.perf_counter_ns() - start
        buckets.append((total, timers.totals))
    total = statistics.median(b[0] for b in buckets)
    parts = {name: statistics.median(b[1].get(name, 0) for b in buckets)
             for name in ("parse", "text", "siblings")}
    rest = total - sum(parts.values())
    print(f"cold analysis of {len(statements)} realistic statements (median of {repeats}):")
    print(f"  uninstrumented total         {plain * 1e3:9.2f} ms "
          f"({plain * 1e3 / len(statements):.2f} ms per statement)")
    print(f"  instrumented total           {total / 1e6:9.2f} ms")
    for name, label in (("parse", "parse_one calls"), ("text", "sub-query SQL text"),
                        ("siblings", "sibling modules")):
        print(f"  {label:<28} {parts[name] / 1e6:9.2f} ms  {100 * parts[name] / total:5.1f} %")
    print(f"  everything else              {rest / 1e6:9.2f} ms  {100 * rest / total:5.1f} %"
          "  (extension + sqlglot tree walks)")
    print(f"  ratio total / parse          {total / parts['parse']:9.2f}")
    return plain


def cold_worker(repeats):
    """One measurement in this interpreter's environment, as one JSON line:
    the sqlglot in use and the median time of the cold analysis."""
    statements = list(REALISTIC.values())
    cold(statements)  # warm sqlglot's and re's caches
    seconds = median_time(lambda: cold(statements), repeats)
    try:
        compiled = importlib.metadata.version("sqlglotc")
    except importlib.metadata.PackageNotFoundError:
        compiled = None
    print(json.dumps({"sqlglot": sqlglot.__version__, "sqlglotc": compiled,
                      "seconds": seconds, "statements": len(statements)}))


def report_versions(legacy_python, rounds, repeats):
    """Cold analysis in both environments: the same worker in a fresh
    process per environment and round, the order alternating from round to
    round so that drift of the machine falls on both alike; medians over
    the rounds."""
    script = os.path.abspath(__file__)
    pythons = {"default": sys.executable, "legacy": legacy_python}
    seen = {name: [] for name in pythons}
    info = {}
    for round_index in range(rounds):
        order = ["default", "legacy"] if round_index % 2 == 0 else ["legacy", "default"]
        for name in order:
            done = subprocess.run([pythons[name], script, "--cold-worker", "--repeats", str(repeats)],
                                  capture_output=True, text=True, check=True)
            result = json.loads(done.stdout.splitlines()[-1])
            seen[name].append(result["seconds"])
            info[name] = result
    medians = {name: statistics.median(times) for name, times in seen.items()}
    print(f"cold analysis by sqlglot version ({info['default']['statements']} statements, "
          f"median of {rounds} alternating rounds of {repeats} repeats):")
    for name in ("legacy", "default"):
        compiled = info[name]["sqlglotc"]
        label = f"sqlglot {info[name]['sqlglot']}" + (f" + sqlglotc {compiled}" if compiled else "")
        spread = f"{min(seen[name]) * 1e3:.2f} to {max(seen[name]) * 1e3:.2f}"
        print(f"  {label:<36} {medians[name] * 1e3:9.2f} ms  (rounds {spread} ms)")
    label = f"ratio {info['legacy']['sqlglot']} / default"
    print(f"  {label:<36} {medians['legacy'] / medians['default']:9.2f}")


def report_cached(repeats, loops=20000):
    sql = REALISTIC["join+subquery"]
    analyser = QarvelSQLGlotMain()
    analyser._parse(sql, None, "qarvel")
    md5 = analyser._set_sql_md5(sql)
    store = analyser._var
    bases, crypt = sqlglot_main.QarvelBases, sqlglot_main.crypt

    def cached(callback):
        parse = analyser._parse
        for _ in range(loops):
            parse(sql, None, callback)

    def siblings_only():
        # What a cached call cannot avoid: path test, digest, presence test,
        # the dialect write and the two reads of parse_columns.
        for _ in range(loops):
            bases.path_file(sql)
            key = crypt.md5_encrypt(sql)
            key in store.keys()
            store.get(key).dialect = None
            store.get(key).parse_columns
            store.get(key).parse_columns

    floor = median_time(siblings_only, repeats)
    print(f"cached path ({loops} calls, median of {repeats}):")
    print(f"  sibling calls alone          {loops / floor:12,.0f} per s")
    for callback in ("qarvel", "normal"):
        seconds = median_time(lambda: cached(callback), repeats)
        print(f"  _parse(..., {callback!r:<9})      {loops / seconds:12,.0f} per s"
              f"   ratio to sibling calls {seconds / floor:5.2f}")
    del md5


def growth(label, sizes, make, repeats):
    times = []
    for size in sizes:
        sql = make(size)
        QarvelSQLGlotMain()._parse(sql, None, "normal")
        times.append(median_time(lambda: QarvelSQLGlotMain()._parse(sql, None, "normal"), repeats))
    print(f"growth with {label}:")
    for size, seconds in zip(sizes, times):
        print(f"  {size:6d}  {seconds * 1e3:10.2f} ms")
    for (s0, t0), (s1, t1) in zip(zip(sizes, times), zip(sizes[1:], times[1:])):
        factor = (t1 / t0) ** (1 / __import__("math").log10(s1 / s0))
        print(f"  {s0} -> {s1}: x{t1 / t0:.1f}, per tenfold size x{factor:.1f}")


def report_memory(count=300):
    analyser = QarvelSQLGlotMain()
    statements = [REALISTIC["join+subquery"].replace("sales.orders", f"sales.orders_{i}")
                  for i in range(count)]
    gc.collect()
    tracemalloc.start()
    before = tracemalloc.get_traced_memory()[0]
    for sql in statements:
        analyser._parse(sql, None, "qarvel")
    gc.collect()
    after = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    print(f"memory per cached statement ({count} statements with a sub-query, one analyser): "
          f"{(after - before) / count / 1024:.1f} KiB")


CALLGRIND_WORKER = """
import sys, sqlglot_main
sys.path.insert(0, {bench_dir!r})
import bench_lineage
statements = list(bench_lineage.REALISTIC.values())
bench_lineage.cold(statements)
bench_lineage.cold(statements * 3)
"""


def report_callgrind():
    """Instructions executed inside the extension's own code versus all
    instructions of the analyses, counted by callgrind."""
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        worker = CALLGRIND_WORKER.format(bench_dir=os.path.dirname(os.path.abspath(__file__)))
        subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}",
                        "--collect-atstart=no", "--toggle-collect=*method_vectorcall*",
                        sys.executable, "-c", worker],
                       check=True, capture_output=True)
        annotated = subprocess.run(["callgrind_annotate", "--threshold=100", out],
                                   check=True, capture_output=True, text=True).stdout
    total = own = 0
    for line in annotated.splitlines():
        fields = line.split()
        if not fields or not fields[0].replace(",", "").isdigit():
            continue
        count = int(fields[0].replace(",", ""))
        if "PROGRAM TOTALS" in line:
            total = count
        elif "sqlglot_main.cpython" in line:
            own += count
    print("instructions inside the analysis (callgrind, 32 cold analyses):")
    print(f"  all                          {total:15,d}")
    print(f"  extension's own code         {own:15,d}  {100 * own / max(total, 1):5.2f} %")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--callgrind", action="store_true")
    parser.add_argument("--legacy-python", metavar="PATH",
                        help="interpreter of a second environment (an older sqlglot) to "
                             "compare the cold analysis with")
    parser.add_argument("--rounds", type=int, default=7,
                        help="alternating rounds of the comparison (default 7)")
    parser.add_argument("--cold-worker", action="store_true", help=argparse.SUPPRESS)
    options = parser.parse_args()
    if options.cold_worker:
        cold_worker(options.repeats)
        return
    print(f"sqlglot {sqlglot.__version__}, Python {sys.version.split()[0]}")
    report_cold(options.repeats)
    if options.legacy_python:
        report_versions(options.legacy_python, options.rounds, options.repeats)
    report_cached(options.repeats)
    growth("select-list size", [10, 100, 1000], wide_statement, options.repeats)
    growth("sub-query nesting depth", [1, 3, 10, 30], nested_statement, options.repeats)
    report_memory()
    if options.callgrind:
        report_callgrind()


if __name__ == "__main__":
    main()
