"""A run of the command: its settings (dialect, schema, jobs, encoding,
limits, traceback), the inputs analysed on the workers with a progress bar
on a terminal, and the ways a run stops (Ctrl-C: exit status 130,
SIGTERM: 143, an output that refuses a write: 1, a reader that goes away:
quietly)."""

from __future__ import annotations

import io
import os
import signal
import sys
import time
from dataclasses import dataclass
from typing import Any, Callable, Iterator, TextIO

from qarvel_lineage.cli import analysis as _analysis
from qarvel_lineage.engine.escapes import one_line

__all__ = ["Session", "Terminated", "WholeWrites", "OutputFailed", "StopOnSigterm",
           "PROGRESS_MIN_INPUTS", "output_failed"]

# Below this many inputs no progress bar is shown.
PROGRESS_MIN_INPUTS = 20


class Terminated(KeyboardInterrupt):
    """SIGTERM, which stops a run as Ctrl-C does."""


def _terminate(signum: int, frame: Any) -> None:
    raise Terminated()


class StopOnSigterm:
    """SIGTERM raises Terminated while the command runs, where it would
    otherwise end the process at once; a handler already set (or SIG_IGN)
    is left alone."""

    def __enter__(self) -> "StopOnSigterm":
        self.installed = False
        try:
            if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
                signal.signal(signal.SIGTERM, _terminate)
                self.installed = True
        except ValueError:  # not the main thread
            pass
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if self.installed:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)


class WholeWrites:
    """Ctrl-C and SIGTERM held back while one input's text is written, then
    raised, so that what a stopped run leaves on standard output ends with
    a whole record (a whole JSON row, CSV line or array element).  With
    ``deliver=False`` a signal that came meanwhile is dropped (the run is
    stopping already)."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self, deliver: bool = True):
        self.deliver = deliver

    def __enter__(self) -> "WholeWrites":
        self.pending: int | None = None
        self.previous: dict[int, Any] = {}
        # Only a Python handler is held back: SIG_IGN stays ignored, SIG_DFL
        # stays fatal, and a handler set outside Python could not be put back.
        for signum in self.SIGNALS:
            handler = signal.getsignal(signum)
            if not callable(handler):
                continue
            try:
                signal.signal(signum, self._hold)
            except ValueError:  # not the main thread: nothing to hold back
                break
            self.previous[signum] = handler
        return self

    def _hold(self, signum: int, frame: Any) -> None:
        if self.pending is None:
            self.pending = signum

    def __exit__(self, *exc_info: Any) -> None:
        for signum, handler in self.previous.items():
            signal.signal(signum, handler)
        if self.deliver and self.pending is not None and exc_info[0] is None:
            self.previous[self.pending](self.pending, None)


class OutputFailed(Exception):
    """Standard output refused a write (a full disk, a quota, an I/O error)."""


def writing(call: Callable[..., Any], *args: Any) -> Any:
    try:
        return call(*args)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise OutputFailed(error.strerror or str(error)) from error


def output_failed(error: OutputFailed, stderr: TextIO) -> int:
    """One line for output that could not be written, and exit status 1."""
    try:
        print(f"sqlglot-main: cannot write the output: {error}", file=stderr, flush=True)
    except OSError:
        pass
    return 1


class _ScriptBar:
    """Statements done of a script's total, shown once it has taken a while."""

    def __init__(self, stream: TextIO):
        self.stream = stream
        self.bar: Any = None
        self.began = time.monotonic()

    def __call__(self, done: int, total: int) -> None:
        if self.bar is None:
            if total < PROGRESS_MIN_INPUTS or time.monotonic() - self.began < 0.5:
                return
            from tqdm import tqdm

            self.bar = tqdm(total=total, file=self.stream, unit="statement", dynamic_ncols=True)
        self.bar.update(done - self.bar.n)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


class _Progress:
    """Inputs done out of how many, with the time left and the statements
    analysed, on a terminal; with its own way to write lines."""

    def __init__(self, stream: TextIO, enabled: bool, total: int | None = None):
        self.stream = stream
        self.bar = None
        self.statements = 0
        if enabled:
            from tqdm import tqdm

            self.bar = tqdm(total=total, file=stream, unit="input", dynamic_ncols=True)

    def update(self, statements: int) -> None:
        if self.bar is not None:
            self.statements += statements
            self.bar.set_postfix_str(f"{self.statements} statements", refresh=False)
            self.bar.update(1)

    def say(self, line: str) -> None:
        if self.bar is not None:
            self.bar.write(line, file=self.stream)
        else:
            print(line, file=self.stream, flush=True)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


@dataclass
class Session:
    """The settings every part of a run shares, and its streams."""

    dialect: str | None
    schema: Any
    jobs: int
    encoding: str
    max_input_bytes: int
    traceback: bool
    stdin: TextIO
    stdout: TextIO
    stderr: TextIO

    def __post_init__(self) -> None:
        self.failed = False
        self.total: int | None = None
        self.finished = 0
        self.progress = _Progress(self.stderr, enabled=False)
        self.script_bar: _ScriptBar | None = None

    def say(self, line: str) -> None:
        """A line on standard error (above the progress bar), its names'
        control characters escaped: one message, one line."""
        self.progress.say(one_line(line))

    def error(self, line: str, trace: str = "") -> None:
        self.failed = True
        self.progress.say(one_line(line))
        if self.traceback and trace:
            self.progress.say("\n".join(one_line(part) for part in trace.rstrip().split("\n")))

    def analysed(self, inputs: list[tuple], plan: Any) -> Iterator[Any]:
        """Each input analysed for ``plan``, in order, on the workers; its
        errors said, the progress bar moved."""
        from qarvel_lineage.batch.analyzer import ordered_map

        if self.total is None:  # a diff counts both sides' inputs before it begins
            self.total = len(inputs)
        isatty = getattr(self.stderr, "isatty", lambda: False)()
        self.progress = _Progress(self.stderr, enabled=isatty and len(inputs) >= PROGRESS_MIN_INPUTS,
                                  total=len(inputs))
        self.script_bar = _ScriptBar(self.stderr) if isatty and len(inputs) == 1 else None
        _analysis.script_progress = self.script_bar
        for done in ordered_map(_analysis.work, inputs, self.jobs, _analysis.setup,
                                (self.dialect, self.schema, plan), lost=_analysis.lost):
            yield done  # the caller counts it in ``finished`` once it is written or stored
            self.progress.update(done.statements)
            for number, line in enumerate(done.errors, 1):
                self.error(line, done.trace if number == len(done.errors) else "")
        self.close_progress()

    def close_progress(self) -> None:
        self.progress.close()
        if self.script_bar is not None:
            self.script_bar.close()
            self.script_bar = None
        _analysis.script_progress = None

    def run(self, body: Callable[[], None], started: Callable[[], bool] = lambda: False,
            finish: Callable[[], None] = lambda: None) -> int:
        """The exit status of ``body()``: 0, 1 when an input failed, 130 or
        143 when a signal stopped it (``finish`` then closes what was
        started), 1 when the output refused a write."""
        try:
            with StopOnSigterm():
                body()
        except KeyboardInterrupt as stop:
            terminated = isinstance(stop, Terminated)
            with WholeWrites(deliver=False):  # a second signal does not cut this short
                self.close_progress()
                if started():
                    try:
                        finish()
                    except Exception:
                        pass
                how = "terminated" if terminated else "interrupted"
                if self.total is None:
                    print(f"{how} while reading the inputs", file=self.stderr, flush=True)
                else:
                    print(f"{how}: {self.finished} of {self.total} inputs done", file=self.stderr,
                          flush=True)
            return 128 + int(signal.SIGTERM) if terminated else 130
        except BrokenPipeError:
            # The reader went away (sqlglot-main ... | head): stop quietly.
            self.close_progress()
            try:
                sys.stdout = io.TextIOWrapper(open(os.devnull, "wb"))
            except OSError:
                pass
        except OutputFailed as error:
            self.close_progress()
            return output_failed(error, self.stderr)
        return 1 if self.failed else 0
