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

import gc
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
from multiprocessing.connection import wait
from typing import Any, Callable, Iterable, Iterator

try:
    import fcntl
except ImportError:  # Windows
    fcntl = None  # type: ignore[assignment]

__all__ = ["ordered_map", "portable", "usable_cores", "BrokenProcessPool"]

# The size asked for the pipe of a worker's answers (a chunk's output is
# up to about a megabyte).
PIPE_BYTES = 1 << 20
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
# With ``quick``, the most items a worker's chunk spans (answered here or
# sent), as a multiple of the chunk's size.
QUICK_SPAN = 16

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
    # The caller stops its workers; a forked worker must not run the
    # caller's own handlers (a SIGTERM handler that cleans up the caller).
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, signal.SIG_DFL)
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
        # Written here, not from a thread: what reaches the pipe is what
        # this process finished, so a worker that dies in a chunk costs
        # that chunk alone (see _Shared.bury).
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
    ``_MISSING`` where a worker's answer is awaited (``todo`` lists those,
    ``keys`` their keys from ``quick``)."""

    __slots__ = ("items", "values", "todo", "keys", "waiting")

    def __init__(self, items: list, values: list, todo: list):
        self.items = items
        self.values = values
        self.todo = todo
        self.keys: list = []
        self.waiting = 0  # items waiting for another item's answer (see _Shared.deferred)

    def done(self) -> bool:
        return not self.todo and not self.waiting


def _widen(connection: Any) -> None:
    """A pipe that holds a chunk's whole answer where the system allows it
    (Linux: up to 1 MB for any user).  This process reads answers only
    between slices of its own work, and a chunk's output (jsonl of a few
    dozen statements) is often larger than the 64 KB a pipe holds at
    first: measured on 2,000 statements, a worker working 1.3 s spent
    0.16-0.26 s more blocked writing, and 0.01 s with this pipe."""
    setter = getattr(fcntl, "F_SETPIPE_SZ", None) if fcntl is not None else None
    if setter is None:
        return
    try:
        fcntl.fcntl(connection.fileno(), setter, PIPE_BYTES)
    except OSError:
        pass  # a lower system limit: the pipe keeps its size


class _Worker:
    def __init__(self, forked: bool, context: Any, setup: Callable[..., Any], setup_args: tuple,
                 work: Callable[[Any, Any], Any], foreign: list):
        start = multiprocessing.get_context("fork") if forked else _server_context()
        their_tasks, self.tasks = start.Pipe(duplex=False)
        self.results, their_results = start.Pipe(duplex=False)
        _widen(self.results)
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
        except Exception as error:  # Ctrl-C during a fork is the caller's, not a failed start
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
    and returns ``(result, None)`` when it has the answer, else ``(None,
    key)``: items of one key (a template) that a worker is working on go to
    that worker rather than being analysed twice;
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
    left = total - done_here if total is not None else len(ahead_items) if ended else None
    if left is not None and left * cost < WORTH_STARTING:
        # Too little left to pay for a worker.
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
    shared = _Shared(work, here, context, ahead_items, iterator, chunk_size, quick, absorb, lost,
                     jobs - 1)
    yield from shared.run(setup, setup_args)


class _Shared:
    """This process and its workers on the rest of the items, in order."""

    def __init__(self, work, here, context, ahead_items, iterator, chunk_size, quick, absorb, lost,
                 workers_wanted):
        self.work, self.here, self.context = work, here, context
        self.ahead_items, self.iterator = ahead_items, iterator
        self.chunk_size, self.quick, self.absorb, self.lost = chunk_size, quick, absorb, lost
        self.order: deque[_Chunk] = deque()   # every chunk, in the output order
        self.retry: deque[_Chunk] = deque()   # chunks a dead worker had not started
        self.inflight: dict[Any, _Worker] = {}  # quick's keys sent and not answered yet
        # Items whose key is in flight, by key: answered here from the cache
        # once the worker's answer has filled it.
        self.deferred: dict[Any, list[tuple[_Chunk, int]]] = {}
        self.workers: list[_Worker] = []
        self.wanted = workers_wanted
        self.ahead = 64 * (workers_wanted + 1)
        self.exhausted = False

    # --- items ---

    def next_item(self) -> Any:
        if self.ahead_items:
            return self.ahead_items.popleft()
        item = next(self.iterator, _MISSING)
        if item is _MISSING:
            self.exhausted = True
        return item

    def run_here(self, item: Any) -> Any:
        try:
            return self.here(self.context, item)
        except Exception as error:
            return _Raised(error)

    # --- the loop ---

    def run(self, setup, setup_args) -> Iterator[Any]:
        finished = False
        try:
            self.start(self.wanted, setup, setup_args)
            while True:
                self.collect()
                self.feed()
                while self.order and self.order[0].done():
                    for value in self.order.popleft().values:
                        if isinstance(value, _Raised):
                            raise value.error
                        yield value
                if not self.order and self.exhausted and not self.retry:
                    break
                if self.retry and not self.workers:
                    self.fill_here(self.retry.popleft())
                elif not self.exhausted and len(self.order) < self.ahead:
                    self.local_slice()
                elif self.workers:
                    self.wait()
            finished = True
        finally:
            for worker in self.workers:
                worker.close(finished)

    def start(self, count: int, setup, setup_args) -> None:
        forked = _fork_is_safe()
        if forked:
            # One flush before the forks, or the children would write what
            # our buffers hold as they exit.
            for stream in (sys.stdout, sys.stderr):
                try:
                    stream.flush()
                except Exception:
                    pass
        foreign: list[int] = []
        # Objects made before the fork are left out of the children's
        # collections (gc.freeze): a collection that visits them writes to
        # every page they are on, and each page would be copied.
        frozen = forked and gc.isenabled()
        if frozen:
            gc.freeze()
        try:
            for _ in range(count):
                worker = _Worker(forked, self.context, setup, setup_args, self.work, foreign)
                self.workers.append(worker)
                foreign = foreign + worker.fds()
        finally:
            if frozen:
                gc.unfreeze()

    def wait(self) -> None:
        """Nothing to do here: wait for a worker's answer, or its end (a
        worker still starting is looked at again shortly)."""
        running = [w for w in self.workers if w.running()]
        wait([w.results for w in running] + [w.process.sentinel for w in running],
             timeout=0.5 if len(running) == len(self.workers) else 0.01)

    def local_slice(self) -> None:
        """About LOCAL_SLICE of work here, in the output order.  With
        ``quick``, an item whose key a worker is working on goes to that
        worker (its cache will have it) instead of being analysed twice."""
        chunk = _Chunk([], [], [])
        holder = None
        began = time.perf_counter()
        while time.perf_counter() - began < LOCAL_SLICE:
            item = self.next_item()
            if item is _MISSING:
                break
            index = len(chunk.items)
            chunk.items.append(item)
            if self.quick is not None:
                found, key = self.quick(self.context, item)
                if found is not None:
                    chunk.values.append(found)
                    continue
                if key is not None and key in self.inflight:
                    # A worker is analysing its template: wait for that answer.
                    self.deferred.setdefault(key, []).append((chunk, index))
                    chunk.waiting += 1
                    chunk.values.append(_MISSING)
                    continue
                # A miss goes to a worker with room: hits are what this
                # process does best, analyses what the workers are for.
                holder = holder or self.roomy()
                if holder is not None:
                    chunk.todo.append(index)
                    chunk.keys.append(key)
                    chunk.values.append(_MISSING)
                    continue
            chunk.values.append(self.run_here(item))
        if chunk.items:
            self.order.append(chunk)
        if chunk.todo:
            self.send(holder, chunk)

    # --- workers ---

    def roomy(self) -> _Worker | None:
        """A running worker with less than two chunks' work queued."""
        for worker in self.workers:
            if worker.starter is None and sum(len(c.todo) for c in worker.held) < 2 * self.chunk_size:
                return worker
        return None

    def collect(self) -> None:
        for worker in list(self.workers):
            if not worker.running():
                continue
            answers = worker.take()
            for chunk, values in answers or ():
                self.fill(chunk, values, worker)
            # Ended: its pipe says so, or (should another process hold the
            # pipe open) the process itself.
            if answers is None or (not answers and worker.held and not worker.process.is_alive()
                                   and not worker.results.poll()):
                self.bury(worker)

    def feed(self) -> None:
        for worker in list(self.workers):
            while (len(worker.held) < WORKER_DEPTH and len(self.order) < self.ahead
                   and (self.retry or not self.exhausted)):
                chunk = self.retry.popleft() if self.retry else self.for_worker(worker)
                if chunk is None:
                    break
                if chunk.todo and not self.send(worker, chunk):
                    break

    def for_worker(self, worker: _Worker) -> _Chunk | None:
        """The next chunk for ``worker``, with what was answered here filled in:
        ``chunk_size`` items for it and, with ``quick``, the ones answered here
        between them (up to QUICK_SPAN times as many)."""
        chunk = _Chunk([], [], [])
        while len(chunk.todo) < self.chunk_size and len(chunk.items) < self.chunk_size * QUICK_SPAN:
            item = self.next_item()
            if item is _MISSING:
                break
            found, key = self.quick(self.context, item) if self.quick is not None else (None, None)
            if found is None:
                chunk.todo.append(len(chunk.items))
                chunk.keys.append(key)
            chunk.items.append(item)
            chunk.values.append(_MISSING if found is None else found)
            if self.quick is None and len(chunk.items) == self.chunk_size:
                break
        if not chunk.items:
            return None
        self.order.append(chunk)
        return chunk

    def send(self, worker: _Worker, chunk: _Chunk) -> bool:
        """False when the worker turned out to be gone (the chunk is then
        queued for the others)."""
        try:
            payload = pickle.dumps([chunk.items[i] for i in chunk.todo], _PROTOCOL)
        except Exception:
            # An item that does not pickle is done here, as with one job.
            self.fill_here(chunk)
            return True
        if worker.send(chunk, payload):
            for key in chunk.keys:
                if key is not None:
                    self.inflight.setdefault(key, worker)
            return True
        self.retry.appendleft(chunk)
        answers = worker.take() if worker.running() else []
        for done, values in answers or ():
            self.fill(done, values, worker)
        self.bury(worker)
        return False

    def fill_here(self, chunk: _Chunk) -> None:
        for index in chunk.todo:
            chunk.values[index] = self.run_here(chunk.items[index])
        keys, chunk.todo, chunk.keys = chunk.keys, [], []
        for key in keys:
            if key is not None:
                self.release(key)

    def fill(self, chunk: _Chunk, answers: list, worker: _Worker) -> None:
        for index, answer in zip(chunk.todo, answers):
            if self.absorb is not None and not isinstance(answer, _Raised):
                try:
                    answer = self.absorb(self.context, chunk.items[index], answer)
                except Exception as error:
                    answer = _Raised(error)
            chunk.values[index] = answer
        keys, chunk.todo, chunk.keys = chunk.keys, [], []
        for key in keys:
            if key is not None and self.inflight.get(key) is worker:
                del self.inflight[key]
                self.release(key)

    def release(self, key: Any) -> None:
        """The items that waited for ``key``'s answer, done here (from the cache)."""
        for chunk, index in self.deferred.pop(key, ()):
            chunk.values[index] = self.run_here(chunk.items[index])
            chunk.waiting -= 1

    def bury(self, worker: _Worker) -> None:
        """A worker that ended: the chunk it was on is lost (with the items
        that waited for its templates: they might end this process the same
        way); the chunks it had not started go back to the others."""
        why = worker.exit_text()
        self.workers.remove(worker)
        worker.close(finished=False)
        for key in [key for key, holder in self.inflight.items() if holder is worker]:
            del self.inflight[key]
        if worker.held:
            chunk = worker.held.popleft()
            error = BrokenProcessPool(f"a worker process ended abruptly ({why}) "
                                      f"while working on this item")
            for index in chunk.todo:
                chunk.values[index] = self.lost_value(chunk.items[index], error)
            for key in chunk.keys:
                for waiting, index in self.deferred.pop(key, ()):
                    waiting.values[index] = self.lost_value(waiting.items[index], error)
                    waiting.waiting -= 1
            chunk.todo, chunk.keys = [], []
        self.retry.extendleft(reversed(worker.held))
        worker.held.clear()

    def lost_value(self, item: Any, error: BaseException) -> Any:
        return _Raised(error) if self.lost is None else self.lost(item, error)
