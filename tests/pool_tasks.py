"""Module-level work for the worker-pool tests (worker processes import it by name)."""

import multiprocessing
import os


def in_worker():
    return multiprocessing.parent_process() is not None


def setup(fail_in_worker=False):
    if fail_in_worker and in_worker():
        raise LookupError("no context in a worker")
    return None


def work(context, item):
    """(item's value, whether a worker did it); "exit" and "raise" items end
    or fail the worker that takes them, and are done normally here."""
    kind, value = item
    worker = in_worker()
    if worker and kind == "exit":
        os._exit(3)
    if worker and kind == "raise":
        raise ValueError(f"bad item {value}")
    return value, worker
