"""Ordered parallel map over worker processes, with this process working too.

``ordered_map(work, items, jobs, setup, setup_args)`` yields
``work(context, item)`` for each item in input order.  ``jobs - 1`` worker
processes and the calling process share the work: each worker holds two
chunks at a time, and while they are busy this process analyses small chunks
of its own, so that ``jobs`` processes keep ``jobs`` cores busy.

The workers talk to this process over a socket pair each, in length-prefixed
pickles.  This side never blocks on a write (what a worker has not read yet
waits in an out-box) and reads whatever has arrived each time it looks, from
its own thread: a result chunk is read the moment it is looked for, not when
a helper thread next gets the interpreter, so a worker never stands idle
waiting for its previous answer to be taken.  (Measured here: with a result
thread competing with this process's own analysis, a worker of a two-core
pool stood idle for over a third of the run.)
"""

from __future__ import annotations

import multiprocessing
import os
import pickle
import selectors
import socket
import struct
import threading
from collections import deque
from itertools import islice
from concurrent.futures.process import BrokenProcessPool
from multiprocessing.connection import wait
from typing import Any, Callable, Iterable, Iterator

__all__ = ["ordered_map"]

# Items this process analyses between looks at the workers.
LOCAL_CHUNK = 8
# Chunks a worker holds: one it works on, one waiting, so it never waits for us.
WORKER_DEPTH = 2

_HEADER = struct.Struct("!Q")
# The first size of a worker's receive buffer (it grows to the largest chunk of results).
_READ_SIZE = 1 << 20
_PROTOCOL = pickle.HIGHEST_PROTOCOL


def _portable(value: Any) -> Any:
    """A value that survives the way back from a worker: exceptions that do
    not pickle become a RuntimeError with the same text."""
    if isinstance(value, BaseException):
        try:
            pickle.loads(pickle.dumps(value, _PROTOCOL))
        except Exception:
            return RuntimeError(f"{type(value).__name__}: {value}")
    return value


# --- the worker's side (blocking) ----------------------------------------------------

def _read_exact(fd: int, size: int) -> bytes:
    data = bytearray()
    while len(data) < size:
        part = os.read(fd, size - len(data))
        if not part:
            raise EOFError
        data += part
    return bytes(data)


def _write_frame(fd: int, payload: bytes) -> None:
    with memoryview(_HEADER.pack(len(payload)) + payload) as view:
        while view:
            view = view[os.write(fd, view):]


def _worker_main(connection: Any, setup: Callable[..., Any], setup_args: tuple,
                 work: Callable[[Any, Any], Any]) -> None:
    fd = connection.fileno()
    try:
        context = setup(*setup_args)
        while True:
            try:
                (size,) = _HEADER.unpack(_read_exact(fd, _HEADER.size))
                chunk = pickle.loads(_read_exact(fd, size))
            except EOFError:  # the parent closed its end: no more work
                return
            results = [_portable(work(context, item)) for item in chunk]
            _write_frame(fd, pickle.dumps((True, results), _PROTOCOL))
    except BaseException as error:
        try:
            _write_frame(fd, pickle.dumps((False, _portable(error)), _PROTOCOL))
        except BaseException:
            pass


def _start_method() -> Any:
    """How worker processes start: from a fork server that has the engine
    imported already (a clean process, whatever threads the caller runs)."""
    if "forkserver" in multiprocessing.get_all_start_methods():
        context = multiprocessing.get_context("forkserver")
        context.set_forkserver_preload(["qarvel_lineage"])
        return context
    return multiprocessing.get_context("spawn")


# --- this process's side (never blocks on a write) -----------------------------------

class _Slot:
    """One chunk's place in the output order; ``results`` once it is done."""

    __slots__ = ("results",)

    def __init__(self, results: list | None = None):
        self.results = results


class _Worker:
    def __init__(self, start: Any, setup: Callable[..., Any], setup_args: tuple,
                 work: Callable[[Any, Any], Any]):
        ours, theirs = start.Pipe(duplex=True)
        self.process = start.Process(target=_worker_main, args=(theirs, setup, setup_args, work),
                                     daemon=True, name="qarvel_lineage worker")
        # Started from a thread: the first start waits for the fork server to
        # boot, and this process analyses items meanwhile.  Chunks sent before
        # the worker runs wait in the socket for it.
        self.start_error: BaseException | None = None
        self.starter = threading.Thread(target=self._start, args=(theirs,), daemon=True,
                                        name="qarvel_lineage worker start")
        self.starter.start()
        # This side as a plain non-blocking socket (recv_into one buffer that
        # lives as long as the worker: no allocation per read).
        self.socket = socket.socket(fileno=os.dup(ours.fileno()))
        ours.close()
        self.socket.setblocking(False)
        self.outbox = bytearray()
        self.inbox = bytearray(_READ_SIZE)
        self.filled = 0
        self.assigned: deque[_Slot] = deque()

    def send(self, chunk: list, slot: _Slot) -> None:
        payload = pickle.dumps(chunk, _PROTOCOL)
        self.outbox += _HEADER.pack(len(payload))
        self.outbox += payload
        self.assigned.append(slot)
        self.flush()

    def flush(self) -> None:
        while self.outbox:
            try:
                written = self.socket.send(self.outbox)
            except (BlockingIOError, InterruptedError):
                return
            except OSError as error:  # the worker is gone
                raise BrokenProcessPool(f"a worker process ended abruptly ({error})") from None
            del self.outbox[:written]

    def receive(self) -> None:
        """Read what has arrived and fill the slots whose chunks are done.
        A chunk of results that has begun to arrive is read to its end: the
        worker is writing it, and would wait for us between buffers."""
        while True:
            self._read_available()
            if not self._take_frames():
                return
            wait([self.socket])

    def _read_available(self) -> None:
        while True:
            if self.filled == len(self.inbox):
                self.inbox.extend(bytes(len(self.inbox)))  # twice the room
            try:
                with memoryview(self.inbox) as view:
                    count = self.socket.recv_into(view[self.filled:])
            except (BlockingIOError, InterruptedError):
                return
            except OSError as error:
                raise BrokenProcessPool(f"a worker process ended abruptly ({error})") from None
            if not count:
                if self.assigned:
                    raise BrokenProcessPool("a worker process ended abruptly")
                return
            self.filled += count

    def _take_frames(self) -> bool:
        """The complete frames read so far, taken off the buffer; True when a
        frame is left half read."""
        start = 0
        while self.filled - start >= _HEADER.size:
            (size,) = _HEADER.unpack_from(self.inbox, start)
            end = start + _HEADER.size + size
            if end > self.filled:
                break
            with memoryview(self.inbox) as view:
                ok, value = pickle.loads(view[start + _HEADER.size:end])
            start = end
            if not ok:
                raise value
            self.assigned.popleft().results = value
        if start:
            self.inbox[:self.filled - start] = self.inbox[start:self.filled]
            self.filled -= start
        return self.filled > 0

    def _start(self, theirs: Any) -> None:
        try:
            self.process.start()
        except BaseException as error:
            self.start_error = error
        finally:
            theirs.close()

    def started(self) -> bool:
        if self.starter.is_alive():
            return False
        if self.start_error is not None:
            raise BrokenProcessPool(f"a worker process did not start: {self.start_error}")
        return True

    def check_alive(self) -> None:
        if not self.started():
            return
        if self.assigned and not self.process.is_alive():
            self.receive()  # what it wrote before it ended
            if self.assigned:
                raise BrokenProcessPool(
                    f"a worker process ended abruptly (exit code {self.process.exitcode})")

    def close(self, wait: bool) -> None:
        self.socket.close()
        self.starter.join()
        if self.process.pid is None:  # never started
            return
        if not wait:
            self.process.terminate()
        self.process.join(timeout=10 if wait else 2)
        if self.process.is_alive():
            self.process.kill()
            self.process.join()


def ordered_map(work: Callable[[Any, Any], Any], items: Iterable[Any], jobs: int,
                setup: Callable[..., Any], setup_args: tuple = (), chunk_size: int = 64
                ) -> Iterator[Any]:
    """``work(context, item)`` for each item, in input order, on ``jobs``
    cores: ``jobs - 1`` worker processes and this one (each makes its context
    once with ``setup(*setup_args)``).  Items are read lazily: a worker holds
    at most two chunks of ``chunk_size`` items, and at most ``64 * jobs``
    chunks are done or under way ahead of the next one to be yielded.
    ``work`` and ``setup`` must be module-level functions; a failure of a
    worker's ``setup`` or ``work`` is raised here."""
    context = setup(*setup_args)
    if jobs <= 1:
        for item in items:
            yield work(context, item)
        return
    iterator = iter(items)

    def take(size: int) -> list:
        return list(islice(iterator, size))

    start = _start_method()
    workers: list[_Worker] = []
    selector = selectors.DefaultSelector()
    finished = False
    try:
        for _ in range(jobs - 1):
            worker = _Worker(start, setup, setup_args, work)
            workers.append(worker)
            selector.register(worker.socket, selectors.EVENT_READ, worker)
        slots: deque[_Slot] = deque()
        # Chunks under way or done ahead of the next to be yielded: room for
        # this process to go on while the workers start (a few tenths of a second).
        ahead = 64 * jobs
        exhausted = False
        while True:
            for worker in workers:
                while not exhausted and len(worker.assigned) < WORKER_DEPTH and len(slots) < ahead:
                    chunk = take(chunk_size)
                    if not chunk:
                        exhausted = True
                        break
                    slot = _Slot()
                    slots.append(slot)
                    worker.send(chunk, slot)
                worker.flush()
                worker.receive()
            while slots and slots[0].results is not None:
                yield from slots.popleft().results
            if not slots and exhausted:
                break
            if not exhausted and len(slots) < ahead:
                chunk = take(LOCAL_CHUNK)
                if chunk:
                    slots.append(_Slot([work(context, item) for item in chunk]))
                    continue
                exhausted = True
                continue
            # Nothing for this process to do: wait for a worker.
            for worker in workers:
                selector.modify(worker.socket, selectors.EVENT_READ | (
                    selectors.EVENT_WRITE if worker.outbox else 0), worker)
            # A worker that dies closes its socket; the time-out is for one
            # whose socket another process holds open.
            selector.select(timeout=1.0)
            for worker in workers:
                worker.check_alive()
        finished = True
    finally:
        selector.close()
        for worker in workers:
            worker.close(wait=finished)
