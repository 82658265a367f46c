"""The worker pool under analyze_many and the command line: order, the
share of this process, when workers start, and every way a worker fails."""

import json
import multiprocessing
import os
import signal
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures.process import BrokenProcessPool

import pytest

from qarvel_lineage import LineageResult, analyze_many
from qarvel_lineage.batch.pool import ordered_map, usable_cores

import pool_tasks
from helpers import LINEAGE_CLI, corpus_statements, lineage_cli, lineage_key

HERE = os.path.dirname(os.path.abspath(__file__))
# How often each failure-path test runs: once in the suite, hundreds of times
# in the benchmark's stress mode.
ATTEMPTS = range(int(os.environ.get("QARVEL_POOL_ATTEMPTS", "1")))
# Items of half a millisecond each: enough to start a worker and give it a share.
COUNT = 400


def children_of(pid):
    """The processes whose parent is ``pid``, from /proc."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/stat", "rb") as handle:
                fields = handle.read().rsplit(b")", 1)[1].split()
        except OSError:
            continue
        if int(fields[1]) == pid:
            found.append(int(entry))
    return found


def pool_workers():
    return [p for p in multiprocessing.active_children() if p.name == "qarvel_lineage worker"]


def items(kind, count, start=0):
    return [(kind, n) for n in range(start, start + count)]


@pytest.fixture
def busy_thread():
    """A second thread in this process: workers then come from the fork server."""
    stop = threading.Event()
    thread = threading.Thread(target=stop.wait)
    thread.start()
    yield
    stop.set()
    thread.join()


def test_order_and_shares_with_workers_from_the_fork_server(busy_thread):
    done = list(ordered_map(pool_tasks.work, items("echo", 1500), 2, pool_tasks.setup))
    assert [value for value, _, _ in done] == list(range(1500))
    here = os.getpid()
    # The first items are done here, at once; a worker takes a share of the rest.
    assert done[0][1] == here
    workers = {pid for _, pid, _ in done} - {here}
    assert len(workers) == 1
    # A worker from the fork server made its own context.
    assert {made for _, pid, made in done if pid != here} == workers
    assert pool_workers() == []


def test_a_single_threaded_process_forks_workers_that_share_its_context():
    script = textwrap.dedent(f"""
        import os, sys
        sys.path.insert(0, {HERE!r})
        import pool_tasks
        from qarvel_lineage.batch.pool import ordered_map
        done = list(ordered_map(pool_tasks.work, [("echo", n) for n in range(1500)], 2,
                                pool_tasks.setup))
        assert [v for v, _, _ in done] == list(range(1500))
        pids = {{pid for _, pid, _ in done}}
        made = {{m for _, _, m in done}}
        print(len(pids), made == {{os.getpid()}})
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert (out.returncode, out.stdout, out.stderr) == (0, "2 True\n", "")


def test_few_items_start_no_worker_and_workers_are_capped_by_cores():
    # 10 items of half a millisecond: not worth a worker.
    done = list(ordered_map(pool_tasks.work, items("echo", 10), 8, pool_tasks.setup))
    assert {pid for _, pid, _ in done} == {os.getpid()}
    done = list(ordered_map(pool_tasks.work, items("echo", 2000), 64, pool_tasks.setup))
    assert [value for value, _, _ in done] == list(range(2000))
    assert 1 < len({pid for _, pid, _ in done}) <= usable_cores()


def test_answers_larger_than_a_pipe_arrive_whole_and_in_order():
    done = list(ordered_map(pool_tasks.work, items("big", 400), 2, pool_tasks.setup))
    assert [value for value, *_ in done] == list(range(400))
    assert all(payload == f"{value:07d}" * 50_000 for value, _, _, payload in done)
    assert len({pid for _, pid, _, _ in done}) == 2


@pytest.mark.parametrize("attempt", ATTEMPTS)
def test_an_exception_in_a_worker_is_raised_in_its_items_place(attempt):
    # "raise" items fail only in a worker: everything before the first item a
    # worker took comes out, in order, then that item's exception.
    got = []
    with pytest.raises(ValueError, match=r"^bad item (\d+)$") as raised:
        for value, _, _ in ordered_map(pool_tasks.work, items("raise", COUNT), 2, pool_tasks.setup):
            got.append(value)
    first_in_worker = int(raised.value.args[0].split()[-1])
    assert got == list(range(first_in_worker))
    assert pool_workers() == []


@pytest.mark.parametrize("attempt", ATTEMPTS)
def test_a_failing_setup_in_a_worker_reaches_the_caller(attempt):
    with pytest.raises(LookupError, match="no context in a worker"):
        list(ordered_map(pool_tasks.work, items("echo", COUNT), 2, pool_tasks.setup, (True,)))
    assert pool_workers() == []


@pytest.mark.parametrize("attempt", ATTEMPTS)
@pytest.mark.parametrize("kind, why", [("exit", "exit code 3"),
                                       ("kill", "killed by signal 9, SIGKILL")])
def test_a_dead_worker_costs_its_chunk_and_the_run_goes_on(kind, why, attempt):
    # Without lost: the batch stops with BrokenProcessPool at the first lost item.
    with pytest.raises(BrokenProcessPool, match=f"ended abruptly \\({why}\\)"):
        list(ordered_map(pool_tasks.work, items(kind, COUNT), 2, pool_tasks.setup))
    # With lost: every item has its place; the ones the dead worker held are lost.
    done = list(ordered_map(pool_tasks.work, items(kind, COUNT), 2, pool_tasks.setup,
                            lost=pool_tasks.lost))
    assert [value for value, _, _ in done] == list(range(COUNT))
    lost = [entry for entry in done if entry[1] == "lost"]
    assert lost and all(why in message and "while working on this item" in message
                        for _, _, message in lost)
    assert {pid for _, pid, _ in done} == {os.getpid(), "lost"}
    assert pool_workers() == []


def test_closing_the_batch_early_stops_the_workers():
    batch = ordered_map(pool_tasks.work, items("echo", 100_000), 3, pool_tasks.setup)
    assert next(batch)[0] == 0
    for _ in range(2000):
        next(batch)
    assert pool_workers()
    batch.close()
    assert pool_workers() == []


# --- analyze_many ------------------------------------------------------------------------

class Unpicklable(str):
    """A str subclass defined where pickle cannot find it by name."""


Unpicklable.__qualname__ = "nowhere.Unpicklable"


def test_analyze_many_with_workers_gives_what_one_job_gives_failures_in_place():
    sample = [sql for dialect, sql in corpus_statements() if dialect is None][:400]
    mixed = []
    for index, sql in enumerate(sample):
        mixed.append(sql)
        if index % 50 == 7:
            mixed.extend(["select from where", 42, lambda: None, "select 1; select 2",
                          Unpicklable("select u from t")])
    one = [lineage_key(r) if not isinstance(r, BaseException) else type(r).__name__
           for r in analyze_many(mixed, jobs=1)]
    two = [lineage_key(r) if not isinstance(r, BaseException) else type(r).__name__
           for r in analyze_many(mixed, jobs=2)]
    assert two == one
    assert one.count("ParseError") >= 8 and one.count("TypeError") == 16
    assert one.count("ValueError") == 8


def test_analyze_many_repeats_hit_the_cache_of_this_process():
    log = [f"select a, b from t{n % 20} where x = {n}" for n in range(3000)]
    results = list(analyze_many(iter(log), jobs=2))
    assert [r.sql for r in results] == log
    assert all(isinstance(r, LineageResult) and [c.name for c in r.columns] == ["a", "b"]
               for r in results)
    assert [str(results[n].tables[0]) for n in (0, 21, 2999)] == ["t0", "t1", "t19"]


def test_analyze_many_yields_a_dead_workers_statements_as_errors_and_goes_on():
    sample = [sql for dialect, sql in corpus_statements() if dialect is None][:300] * 4
    batch = analyze_many(iter(sample), jobs=2, cache_size=0)
    results = [next(batch) for _ in range(200)]
    deadline = time.monotonic() + 30
    while not pool_workers() and time.monotonic() < deadline:
        results.append(next(batch))
    for worker in pool_workers():
        os.kill(worker.pid, signal.SIGKILL)
    results.extend(batch)
    assert len(results) == len(sample)
    for sql, result in zip(sample, results):
        if isinstance(result, BrokenProcessPool):
            assert "killed by signal 9" in str(result)
        else:
            assert result.sql == sql
    assert pool_workers() == []


# --- the command line --------------------------------------------------------------------

def test_the_command_line_reports_a_killed_workers_inputs_and_goes_on(tmp_path):
    texts = [sql for dialect, sql in corpus_statements() if dialect is None][:300] * 3
    for number, sql in enumerate(texts):
        (tmp_path / f"q{number:04d}.sql").write_text(sql)
    child = subprocess.Popen([*LINEAGE_CLI, "--format", "jsonl", "--jobs", "2",
                              str(tmp_path)], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                             stdin=subprocess.DEVNULL, text=True)
    out = []
    reader = threading.Thread(target=lambda: out.append(child.stdout.read()))
    reader.start()
    # A single-threaded command forks its worker: its one child process.
    deadline = time.monotonic() + 60
    killed = False
    while not killed and time.monotonic() < deadline and child.poll() is None:
        for pid in children_of(child.pid):
            os.kill(pid, signal.SIGKILL)
            killed = True
    errors = child.stderr.read()
    child.wait(timeout=120)
    reader.join()
    assert killed
    inputs = {json.loads(line)["input"] for line in out[0].splitlines()}
    lost = {line.split(": ")[0] for line in errors.splitlines()}
    assert all("a worker process ended abruptly (killed by signal 9, SIGKILL)" in line
               for line in errors.splitlines())
    assert inputs | lost == {str(tmp_path / f"q{n:04d}.sql") for n in range(len(texts))}
    assert child.returncode == (1 if lost else 0)


def test_one_file_and_few_inputs_run_in_this_process(tmp_path):
    path = tmp_path / "one.sql"
    path.write_text("select a from t; select b from u")
    script = textwrap.dedent(f"""
        import multiprocessing.process, sys
        started = []
        multiprocessing.process.BaseProcess.start = lambda self: started.append(self)
        from qarvel_lineage import cli
        code = cli.main(["--format", "jsonl", "--jobs", "64", {str(path)!r}])
        print(code, started, file=sys.stderr)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert out.stderr == "0 []\n"
    assert len(out.stdout.splitlines()) == 2
    assert lineage_cli("--format", "jsonl", "--jobs", "64", path).stdout == out.stdout
