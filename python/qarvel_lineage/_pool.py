"""Ordered parallel map over worker processes, with this process working too.

``ordered_map(work, items, jobs, setup, ...)`` yields ``work(context, item)``
for each item in input order.  Up to ``jobs - 1`` worker processes and the
calling process share the work, so that ``jobs`` processes keep ``jobs``
cores busy.

Why not ``concurrent.futures.ProcessPoolExecutor``: its results are taken
by a manager thread, which needs the interpreter lock that this process
holds while it analyses items of its own; measured here, every finished
chunk then waited 15-80 ms for that thread and the worker stood idle
meanwhile (a third of a two-core run).  Without this process working, one
of two cores is wasted instead.  So the scheduling is ours, and everything
below it is the standard library's: ``multiprocessing`` starts the workers
and ``multiprocessing.connection`` frames and carries the messages.

How the work is shared, and why it never costs more than one job:
- This process takes the first items itself, at once: the first result
  comes as soon as with one job.  Workers start only when what is left is
  worth more than starting them (judged from the time the first items
  took), and never more than there are usable cores or items.
- On Linux, a process with one thread starts its workers with ``fork``
  (a few milliseconds, and the worker has this process's context, caches
  included); otherwise from a fork server, whose first start boots an
  interpreter, and a thread waits for it while this process works on.
- Each worker holds at most two chunks: one it works on, one queued in its
  own reader thread, so it never waits for this process and this process
  never waits on a full pipe.  Between slices of its own work (about two
  milliseconds each) this process reads whatever results have arrived.
- An optional ``quick(context, item)`` answers an item in this process
  when that is cheaper than sending it (a cache hit), and ``absorb``
  turns a worker's answer into the result here (filling this process's
  cache), so each template is sent to a worker about once.

Failures: an exception of ``work`` is raised at its item's place in the
output, whichever process ran it.  A worker that dies (killed, crashed)
costs the chunk it was working on: each of its items gets
``lost(item, error)`` in its place (without ``lost``, a BrokenProcessPool
is raised there); the chunks it had not started go to the others, and the
run goes on without it.  The pipes run one way each, so what a worker
wrote before it ended is always read (a socket would be reset by the
kernel when the worker exits with input unread, and lose its last answer).
"""

from __future__ import annotations

import multiprocessing
import os
import pickle
import queue
import signal
import sys
import threading
import time
from collections import deque
from concurrent.futures.process import BrokenProcessPool
from itertools import islice
from multiprocessing.connection import wait
from typing import Any, Callable, Iterable, Iterator

__all__ = ["ordered_map", "portable", "usable_cores", "BrokenProcessPool"]

# Chunks a worker holds: one it works on, one queued, so it never waits for us.
WORKER_DEPTH = 2
# The slice of its own work this process does between looks at the workers.
LOCAL_SLICE = 0.002
# Workers start only for more work than this (seconds, as estimated from the
# first items): below it, starting and stopping them costs more than they give.
WORTH_STARTING = 0.05
# The most items this process reads ahead to judge that.
LOOKAHEAD = 4096
# The work a chunk sent to a worker is sized for (seconds).
CHUNK_TIME = 0.01

_PROTOCOL = pickle.HIGHEST_PROTOCOL
# A value in the output not computed yet.
_MISSING = object()


def usable_cores() -> int:
    counter = getattr(os, "process_cpu_count", None) or os.cpu_count
    return counter() or 1


class _Raised:
    """An exception raised by ``work``, kept in its item's place."""

    __slots__ = ("error",)

    def __init__(self, error: BaseException):
        self.error = error


def portable(error: BaseException) -> BaseException:
    """An exception that survives the way back from a worker: one that does
    not pickle becomes a RuntimeError with the same text."""
    try:
        pickle.loads(pickle.dumps(error, _PROTOCOL))
        return error
    except Exception:
        return RuntimeError(f"{type(error).__name__}: {error}")


def _answer(values: list) -> bytes:
    """One chunk's results as one message; a result that does not pickle
    becomes an error in its place."""
    try:
        return pickle.dumps(values, _PROTOCOL)
    except Exception:
        kept = []
        for value in values:
            try:
                pickle.dumps(value, _PROTOCOL)
                kept.append(value)
            except Exception as error:
                kept.append(_Raised(RuntimeError(
                    f"a result could not be sent back from the worker: {error}")))
        return pickle.dumps(kept, _PROTOCOL)


# --- a worker process ----------------------------------------------------------------

def _worker_main(tasks: Any, results: Any, setup: Callable[..., Any], setup_args: tuple,
                 work: Callable[[Any, Any], Any], inherited: Any, foreign: list) -> None:
    """Answers chunks until this process's end of ``tasks`` is closed.  A
    forked worker closes the pipe ends it inherited but does not own
    (``foreign``), so that each pipe ends when its owners close it."""
    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the caller stops us
    for fd in foreign:
        try:
            os.close(fd)
        except OSError:
            pass
    try:
        context = inherited[0] if inherited else setup(*setup_args)
    except BaseException as error:
        results.send_bytes(pickle.dumps(("setup", portable(error)), _PROTOCOL))
        return
    inbox: queue.SimpleQueue = queue.SimpleQueue()

    def read() -> None:
        # Chunks are taken off the pipe as they come, so a sender never waits.
        try:
            while True:
                inbox.put(tasks.recv_bytes())
        except (EOFError, OSError):
            inbox.put(None)

    threading.Thread(target=read, daemon=True).start()
    while (payload := inbox.get()) is not None:
        values = []
        for item in pickle.loads(payload):
            try:
                values.append(work(context, item))
            except Exception as error:
                values.append(_Raised(portable(error)))
        results.send_bytes(_answer(values))


def _fork_is_safe() -> bool:
    """Whether this process may fork: Linux, and no thread but this one
    (a thread holding a lock at the fork would leave it held in the child)."""
    if not sys.platform.startswith("linux") or "fork" not in multiprocessing.get_all_start_methods():
        return False
    try:
        return len(os.listdir("/proc/self/task")) == 1
    except OSError:
        return False


def _server_context() -> Any:
    """Workers from a fork server that has the engine imported already."""
    if "forkserver" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(["qarvel_lineage"])
        return context
    return multiprocessing.get_context("spawn")


# --- this process's side --------------------------------------------------------------

class _Chunk:
    """Items in the output order; ``values`` holds their results, with
    ``_MISSING`` where a worker's answer is awaited (``todo`` lists those)."""

    __slots__ = ("items", "values", "todo")

    def __init__(self, items: list, values: list, todo: list):
        self.items = items
        self.values = values
        self.todo = todo


class _Worker:
    def __init__(self, forked: bool, context: Any, setup: Callable[..., Any], setup_args: tuple,
                 work: Callable[[Any, Any], Any], foreign: list):
        start = multiprocessing.get_context("fork") if forked else _server_context()
        their_tasks, self.tasks = start.Pipe(duplex=False)
        self.results, their_results = start.Pipe(duplex=False)
        inherited = (context,) if forked else ()
        mine = [self.tasks.fileno(), self.results.fileno()]
        self.process = start.Process(
            target=_worker_main, daemon=True, name="qarvel_lineage worker",
            args=(their_tasks, their_results, setup, setup_args, work, inherited,
                  (foreign + mine) if forked else []))
        self.held: deque[_Chunk] = deque()
        self.start_error: BaseException | None = None
        self.starter: threading.Thread | None = None
        if forked:
            # The fork itself takes a few milliseconds; the worker has our
            # context (and caches) as they are now.
            self._start(their_tasks, their_results)
        else:
            # The first start waits for the fork server to boot an
            # interpreter; this process works meanwhile, and chunks sent
            # before the worker runs wait in the pipe.
            self.starter = threading.Thread(target=self._start, args=(their_tasks, their_results),
                                            daemon=True, name="qarvel_lineage worker start")
            self.starter.start()

    def _start(self, their_tasks: Any, their_results: Any) -> None:
        try:
            self.process.start()
        except BaseException as error:
            self.start_error = error
        finally:
            their_tasks.close()
            their_results.close()

    def fds(self) -> list[int]:
        return [self.tasks.fileno(), self.results.fileno()]

    def running(self) -> bool:
        """Whether the worker has started (a failed start is raised)."""
        if self.starter is not None:
            if self.starter.is_alive():
                return False
            self.starter = None
            if self.start_error is not None:
                raise BrokenProcessPool(f"a worker process did not start: {self.start_error}")
        return True

    def send(self, chunk: _Chunk, payload: bytes) -> bool:
        """False when the worker is gone."""
        try:
            self.tasks.send_bytes(payload)
        except OSError:
            return False
        self.held.append(chunk)
        return True

    def take(self) -> list[tuple[_Chunk, Any]] | None:
        """The answers that have arrived, each with its chunk; None when the
        worker has ended (its answers before that are returned first)."""
        done = []
        try:
            while self.results.poll():
                message = pickle.loads(self.results.recv_bytes())
                if isinstance(message, tuple):  # ("setup", error)
                    raise message[1]
                done.append((self.held.popleft(), message))
        except (EOFError, OSError):
            return done or None
        return done

    def exit_text(self) -> str:
        self.process.join(timeout=1)
        code = self.process.exitcode
        if code is None:
            return "it stopped answering"
        if code < 0:
            try:
                return f"killed by signal {-code}, {signal.Signals(-code).name}"
            except ValueError:
                return f"killed by signal {-code}"
        return f"exit code {code}"

    def close(self, finished: bool) -> None:
        self.tasks.close()  # the worker reads the end of its input and exits
        if self.starter is not None:
            self.starter.join()
        if self.process.pid is not None:
            if not finished:
                self.process.terminate()
            self.process.join(timeout=10 if finished else 2)
            if self.process.is_alive():
                self.process.kill()
                self.process.join()
        self.results.close()


def ordered_map(work: Callable[[Any, Any], Any], items: Iterable[Any], jobs: int,
                setup: Callable[..., Any], setup_args: tuple = (), chunk_size: int = 64, *,
                quick: Callable[[Any, Any], Any] | None = None,
                absorb: Callable[[Any, Any, Any], Any] | None = None,
                lost: Callable[[Any, BaseException], Any] | None = None,
                local: Callable[[Any, Any], Any] | None = None) -> Iterator[Any]:
    """``work(context, item)`` for each item, in input order, on up to
    ``jobs`` cores: worker processes and this one, each making its context
    once with ``setup(*setup_args)``.

    ``quick(context, item)``, when given, is tried here first for each item
    bound for a worker and returns its result or None (send it);
    ``absorb(context, item, answer)`` turns a worker's answer into the
    result here, and ``local(context, item)`` is what this process runs in
    place of ``work`` (the result itself, where a worker's answer needs
    ``absorb``).  ``lost(item, error)`` gives the result of an item whose
    worker died under it.  Items are read lazily: at most ``2 * chunk_size``
    per worker and ``64 * jobs`` chunks ahead of the next to be yielded.
    ``work``, ``setup`` and their arguments must pickle where workers do
    not fork (module-level functions)."""
    context = setup(*setup_args)
    here = local or work
    iterator = iter(items)
    total = len(items) if hasattr(items, "__len__") else None  # type: ignore[arg-type]
    jobs = min(jobs, usable_cores())
    if total is not None:
        jobs = min(jobs, total)
    if jobs <= 1:
        for item in iterator:
            yield here(context, item)
        return

    # The first items, here and at once; they also tell what an item costs.
    began = time.perf_counter()
    done_here = 0
    for item in iterator:
        yield here(context, item)
        done_here += 1
        if time.perf_counter() - began >= LOCAL_SLICE * 4:
            break
    else:
        return
    cost = (time.perf_counter() - began) / done_here
    ahead_items: deque = deque()
    ended = False
    while len(ahead_items) < LOOKAHEAD and len(ahead_items) * cost < WORTH_STARTING:
        item = next(iterator, _MISSING)
        if item is _MISSING:
            ended = True
            break
        ahead_items.append(item)
    if ended and len(ahead_items) * cost < WORTH_STARTING:
        # Too little left to pay for a worker.
        for item in ahead_items:
            yield here(context, item)
        return
    if total is not None:
        remaining = total - done_here
        if remaining * cost < WORTH_STARTING:
            for item in ahead_items:
                yield here(context, item)
            for item in iterator:
                yield here(context, item)
            return
    # Chunks of about CHUNK_TIME of work each: small enough that the last
    # ones leave no core idle for long, large enough to cost little to send.
    chunk_size = max(1, min(chunk_size, int(CHUNK_TIME / max(cost, 1e-9))))
    if total is not None:
        jobs = min(jobs, 1 + max(1, (total - done_here) // chunk_size))
    yield from _shared(work, here, context, ahead_items, iterator, jobs - 1, setup, setup_args,
                       chunk_size, quick, absorb, lost)


def _shared(work, here, context, ahead_items, iterator, workers_wanted, setup, setup_args, chunk_size,
            quick, absorb, lost) -> Iterator[Any]:
    def next_items(size: int) -> list:
        taken = []
        while ahead_items and len(taken) < size:
            taken.append(ahead_items.popleft())
        if len(taken) < size:
            taken.extend(islice(iterator, size - len(taken)))
        return taken

    retry: deque[_Chunk] = deque()  # chunks a dead worker had not started
    order: deque[_Chunk] = deque()
    ahead = 64 * (workers_wanted + 1)
    forked = _fork_is_safe()
    workers: list[_Worker] = []
    exhausted = False
    finished = False

    def local(chunk_items: list, into: list) -> None:
        for item in chunk_items:
            try:
                into.append(here(context, item))
            except Exception as error:
                into.append(_Raised(error))

    def for_worker() -> tuple[_Chunk, bytes] | None:
        """The next chunk for a worker, with what was answered here filled in."""
        nonlocal exhausted
        if retry:
            chunk = retry.popleft()
        else:
            taken = next_items(chunk_size)
            if not taken:
                exhausted = True
                return None
            values: list = []
            todo: list = []
            for index, item in enumerate(taken):
                found = quick(context, item) if quick is not None else None
                if found is None:
                    values.append(_MISSING)
                    todo.append(index)
                else:
                    values.append(found)
            chunk = _Chunk(taken, values, todo)
            order.append(chunk)
        if not chunk.todo:
            return chunk, b""
        try:
            payload = pickle.dumps([chunk.items[i] for i in chunk.todo], _PROTOCOL)
        except Exception:
            # An item that does not pickle is done here, as with one job.
            fill_here(chunk)
            return chunk, b""
        return chunk, payload

    def fill_here(chunk: _Chunk) -> None:
        answers: list = []
        local([chunk.items[i] for i in chunk.todo], answers)
        for index, value in zip(chunk.todo, answers):
            chunk.values[index] = value
        chunk.todo = []

    def fill(chunk: _Chunk, answers: list) -> None:
        for index, answer in zip(chunk.todo, answers):
            if absorb is not None and not isinstance(answer, _Raised):
                try:
                    answer = absorb(context, chunk.items[index], answer)
                except Exception as error:
                    answer = _Raised(error)
            chunk.values[index] = answer
        chunk.todo = []

    def bury(worker: _Worker) -> None:
        """A worker that ended: the chunk it was on is lost, the rest go back."""
        why = worker.exit_text()
        workers.remove(worker)
        worker.close(finished=False)
        if worker.held:
            chunk = worker.held.popleft()
            error = BrokenProcessPool(f"a worker process ended abruptly ({why}) "
                                      f"while working on this item")
            for index in chunk.todo:
                item = chunk.items[index]
                chunk.values[index] = _Raised(error) if lost is None else lost(item, error)
            chunk.todo = []
        retry.extendleft(reversed(worker.held))
        worker.held.clear()

    def collect() -> None:
        for worker in list(workers):
            if not worker.running():
                continue
            answers = worker.take()
            for chunk, values in answers or ():
                fill(chunk, values)
            # Ended: its pipe says so, or (should another process hold the
            # pipe open) the process itself.
            if answers is None or (not answers and worker.held and not worker.process.is_alive()
                                   and not worker.results.poll()):
                bury(worker)

    def feed() -> None:
        for worker in list(workers):
            while len(worker.held) < WORKER_DEPTH and len(order) < ahead and (retry or not exhausted):
                made = for_worker()
                if made is None:
                    break
                chunk, payload = made
                if payload and not worker.send(chunk, payload):
                    retry.appendleft(chunk)
                    answers = worker.take() if worker.running() else []
                    for done_chunk, values in answers or ():
                        fill(done_chunk, values)
                    bury(worker)
                    break

    try:
        foreign: list[int] = []
        if forked:
            # One flush before the forks, or the children would write what
            # our buffers hold as they exit.
            for stream in (sys.stdout, sys.stderr):
                try:
                    stream.flush()
                except Exception:
                    pass
        for _ in range(workers_wanted):
            worker = _Worker(forked, context, setup, setup_args, work, foreign)
            workers.append(worker)
            foreign = foreign + worker.fds()
        while True:
            collect()
            feed()
            while order and not order[0].todo:
                for value in order.popleft().values:
                    if isinstance(value, _Raised):
                        raise value.error
                    yield value
            if not order and exhausted and not retry:
                break
            if retry and not workers:
                fill_here(retry.popleft())
                continue
            if not exhausted and len(order) < ahead:
                # A slice of work here, in the output order.
                values: list = []
                items: list = []
                began = time.perf_counter()
                while time.perf_counter() - began < LOCAL_SLICE:
                    if ahead_items:
                        item = ahead_items.popleft()
                    else:
                        item = next(iterator, _MISSING)
                        if item is _MISSING:
                            exhausted = True
                            break
                    items.append(item)
                    try:
                        values.append(here(context, item))
                    except Exception as error:
                        values.append(_Raised(error))
                if items:
                    order.append(_Chunk(items, values, []))
                continue
            if not workers:
                continue
            # Nothing to do here: wait for a worker's answer, or its end (a
            # worker still starting is looked at again shortly).
            running = [w for w in workers if w.running()]
            wait([w.results for w in running] + [w.process.sentinel for w in running],
                 timeout=0.5 if len(running) == len(workers) else 0.01)
        finished = True
    finally:
        for worker in workers:
            worker.close(finished)
