"""Module-level work for the worker-pool tests (worker processes import it by name)."""

import multiprocessing
import os
import signal
import time


def in_worker():
    return multiprocessing.parent_process() is not None


def setup(fail_in_worker=False):
    if fail_in_worker and in_worker():
        raise LookupError("no context in a worker")
    return {"made_in": os.getpid()}


def work(context, item):
    """(item's value, the pid that did it, the pid that made its context),
    after about half a millisecond of work.  In a worker, "exit" items end
    it, "kill" items kill it with SIGKILL and "raise" items fail; here they
    are done like the others; "big" items answer with 350 KB more."""
    kind, value = item
    deadline = time.perf_counter() + 0.0005
    while time.perf_counter() < deadline:
        pass
    if in_worker():
        if kind == "exit":
            os._exit(3)
        if kind == "kill":
            os.kill(os.getpid(), signal.SIGKILL)
        if kind == "raise":
            raise ValueError(f"bad item {value}")
    if kind == "big":
        # An answer that, a few to a chunk, outgrows any pipe's buffer.
        return value, os.getpid(), context["made_in"], f"{value:07d}" * 50_000
    return value, os.getpid(), context["made_in"]


def lost(item, error):
    return item[1], "lost", str(error)
