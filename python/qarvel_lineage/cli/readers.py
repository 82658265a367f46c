"""Every path the command line reads, read by one set of rules: its inputs
(arguments, files, folders, standard input), both sides of ``diff``, schema
files, the path of a stored graph and of a dbt project.  A regular file is
read as it is; a pipe or a device is read up to a size limit, a signal
stopping the read at once; a folder gives its regular *.sql files, each other
one skipped with a line saying why; text is decoded with one encoding."""

from __future__ import annotations

import contextlib
import errno
import io
import os
import select
import signal
import stat
from typing import Any, Iterator, TextIO

__all__ = ["EXAMPLE_SQL", "DEFAULT_MAX_INPUT_BYTES", "InputFailed", "InputTooLarge", "File",
           "read_file", "read_text", "iter_inputs", "side_inputs", "check_writable_file",
           "check_project", "is_project"]

EXAMPLE_SQL = """\
insert into mart.order_totals (order_id, customer, total)
select o.id, c.name, sum(i.amount)
from sales.orders o
join crm.customers c on c.id = o.customer_id
join sales.order_items i on i.order_id = o.id
where o.status = 'shipped'
group by o.id, c.name
"""

# What is read at most from standard input or from a file that is not a
# regular one (a pipe, a device), unless --max-input-bytes says otherwise.
DEFAULT_MAX_INPUT_BYTES = 64 * 1024 * 1024
_READ_CHUNK = 1 << 20


class InputFailed(Exception):
    """An input that gave no rows: its text could not be read or analysed."""


class InputTooLarge(InputFailed):
    """A stream (standard input, a pipe, a device) longer than the limit."""

    def __init__(self, limit: int):
        super().__init__(f"larger than --max-input-bytes ({limit} bytes); not analysed")


def _decoded(data: bytes, encoding: str) -> str:
    # Newlines as a text file gives them ("\r\n" and "\r" read as "\n").
    text = io.TextIOWrapper(io.BytesIO(data), encoding=encoding).read()
    return text.removeprefix("\ufeff")


class _SignalWakeup:
    """Waits until a file descriptor can be read, or a signal with a Python
    handler (Ctrl-C, SIGTERM) arrives.  A blocking read misses a signal that
    comes between the interpreter's last look at its signals and the read
    itself: the handler then runs only once the read returns, which on an
    idle pipe may be never.  Here the signal module writes a byte to a pipe
    of ours (``signal.set_wakeup_fd``) that is waited on beside the input.
    Where that cannot be set up (not the main thread, or the caller has a
    wakeup descriptor of its own), the wait looks at signals every
    ``POLL_SECONDS``."""

    POLL_SECONDS = 0.05

    def __enter__(self) -> "_SignalWakeup":
        self.ends: tuple[int, int] | None = None
        ends = os.pipe()
        for end in ends:
            os.set_blocking(end, False)
        try:
            previous = signal.set_wakeup_fd(ends[1], warn_on_full_buffer=False)
        except ValueError:  # not the main thread
            previous = None
        if previous == -1:
            self.ends = ends
            return self
        if previous is not None:  # somebody else's: put it back
            signal.set_wakeup_fd(previous)
        for end in ends:
            os.close(end)
        return self

    def __exit__(self, *exc_info: Any) -> None:
        if self.ends is not None:
            signal.set_wakeup_fd(-1)
            for end in self.ends:
                os.close(end)

    def wait(self, fd: int) -> None:
        poller = select.poll()
        poller.register(fd, select.POLLIN | select.POLLPRI)
        if self.ends is not None:
            poller.register(self.ends[0], select.POLLIN)
        timeout = None if self.ends is not None else self.POLL_SECONDS * 1000
        while True:
            ready = {where for where, _ in poller.poll(timeout)}
            if self.ends is not None and self.ends[0] in ready:
                try:
                    while os.read(self.ends[0], 512):
                        pass
                except BlockingIOError:
                    pass
            if fd in ready:
                return
            # A handler that raised has done so by now; others wait on.


def _stream_fd(stream: Any) -> int | None:
    """The descriptor of a stream that is not a regular file (a pipe, a
    FIFO, a terminal), whose reads may wait; None for everything else."""
    try:
        fd = stream.fileno()
        return None if stat.S_ISREG(os.fstat(fd).st_mode) else fd
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return None


def _read_limited(stream: Any, limit: int) -> bytes | str:
    """Everything ``stream`` holds (bytes, or text from a text stream
    without a binary layer), or InputTooLarge past ``limit`` bytes (0: no
    limit); no more than ``limit`` + 1 bytes are ever held.  A pipe is read
    as data arrives, and a signal stops the read at once."""
    fd = _stream_fd(stream) if hasattr(select, "poll") else None
    read = getattr(stream, "read1", stream.read) if fd is not None else stream.read
    chunks: list = []
    size = 0
    with _SignalWakeup() if fd is not None else contextlib.nullcontext() as wakeup:
        while True:
            wanted = _READ_CHUNK if not limit else min(_READ_CHUNK, limit + 1 - size)
            if wakeup is not None and fd is not None:
                wakeup.wait(fd)
            chunk = read(wanted)
            if not chunk:
                break
            chunks.append(chunk)
            size += len(chunk) if isinstance(chunk, bytes) else len(chunk.encode("utf-8", "replace"))
            if limit and size > limit:
                raise InputTooLarge(limit)
    if chunks and isinstance(chunks[0], str):
        return "".join(chunks)
    return b"".join(chunks)


def _read_stdin(stdin: TextIO | None, encoding: str, limit: int) -> str | Exception:
    """Standard input, decoded as ``encoding``, or the error reading it
    (None: the command was started with it closed)."""
    if stdin is None:
        return InputFailed("standard input is closed; not read")
    try:
        binary = getattr(stdin, "buffer", None)
        data = _read_limited(binary if binary is not None else stdin, limit)
        return _decoded(data, encoding) if isinstance(data, bytes) else data.removeprefix("\ufeff")
    except (OSError, UnicodeDecodeError, InputFailed) as error:
        return error


def _read_stream(path: str, encoding: str, limit: int) -> str | Exception:
    """A file that is not a regular one (a pipe, a device), named as an
    input: read at once, here (a pipe may exist in this process only), up to
    ``limit`` bytes."""
    try:
        with open(path, "rb", buffering=0) as handle:
            data = _read_limited(handle, limit)
        assert isinstance(data, bytes)
        return _decoded(data, encoding)
    except (OSError, UnicodeDecodeError, InputFailed) as error:
        return error


def read_file(path: str, encoding: str = "utf-8-sig") -> str | Exception:
    """A regular file.  Opened without waiting, so that a file replaced by a
    pipe since it was listed is refused rather than waited on."""
    try:
        fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0))
        try:
            if not stat.S_ISREG(os.fstat(fd).st_mode):
                raise InputFailed("not a regular file any more; not read")
            os.set_blocking(fd, True)
        except BaseException:
            os.close(fd)
            raise
        with open(fd, encoding=encoding) as handle:
            return handle.read().removeprefix("\ufeff")
    except (OSError, UnicodeDecodeError, InputFailed) as error:
        return error


class File:
    """A statement file, read by whoever analyses it (a worker, with --jobs)."""

    __slots__ = ("path", "encoding")

    def __init__(self, path: str, encoding: str = "utf-8-sig"):
        self.path = path
        self.encoding = encoding


_KINDS = ((stat.S_ISFIFO, "a FIFO"), (stat.S_ISSOCK, "a socket"),
          (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
          (stat.S_ISDIR, "a directory"))


def _kind(mode: int) -> str:
    return next((text for test, text in _KINDS if test(mode)), "not a regular file")


def _stat(path: str) -> os.stat_result | None:
    try:
        return os.stat(path)
    except (OSError, ValueError):  # no such file, a name too long, a NUL in it...
        return None


def iter_inputs(arguments: list[str], stdin: TextIO, encoding: str = "utf-8-sig",
                limit: int = DEFAULT_MAX_INPUT_BYTES,
                skipped: Any = None) -> Iterator[tuple[str, Any, str]]:
    """(name, its text, a File or the error reading it, its kind) for each
    input, in order; the kind is "text" (an argument that is no path:
    SQL), "stdin", "path" or "example".  A directory gives every
    regular *.sql file under it, sorted by path; ``skipped(line)`` is told
    of each other one (a FIFO, a socket, a device, a broken link), which is
    left out.  Standard input and a pipe or device named as an input are
    read here, up to ``limit`` bytes."""
    if not arguments:
        if stdin is not None and not stdin.isatty():
            yield "stdin", _read_stdin(stdin, encoding, limit), "stdin"
        else:
            yield "example", EXAMPLE_SQL, "example"
        return
    for position, argument in enumerate(arguments, 1):
        if argument == "-":
            yield "stdin", _read_stdin(stdin, encoding, limit), "stdin"
            continue
        found = _stat(argument)
        if found is None:
            yield f"arg{position}", argument, "text"
        else:
            yield from _path_inputs(argument, found, encoding, limit, skipped)


def _path_inputs(path: str, found: os.stat_result, encoding: str, limit: int,
                 skipped: Any) -> Iterator[tuple[str, Any, str]]:
    """What a path that exists gives: every *.sql file of a folder, a
    regular file to read later, or a stream read now within the limit."""
    if stat.S_ISDIR(found.st_mode):
        yield from _folder_inputs(path, encoding, skipped)
    elif stat.S_ISREG(found.st_mode):
        yield path, File(path, encoding), "path"
    else:
        yield path, _read_stream(path, encoding, limit), "path"


def _folder_inputs(folder: str, encoding: str, skipped: Any) -> Iterator[tuple[str, Any, str]]:
    found: list[str] = []
    for where, dirs, files in os.walk(folder):
        dirs.sort()
        found.extend(os.path.join(where, f) for f in files if f.lower().endswith(".sql"))
    for path in sorted(found):
        try:
            mode = os.stat(path).st_mode
        except OSError as error:
            if not os.path.islink(path) or error.errno not in (errno.ENOENT, errno.ELOOP):
                yield path, error, "path"
                continue
            why = "a broken symbolic link" if error.errno == errno.ENOENT \
                else "a symbolic link loop"
        else:
            if stat.S_ISREG(mode):
                yield path, File(path, encoding), "path"
                continue
            why = _kind(mode)
        if skipped is not None:
            skipped(f"{path}: skipped, not a regular file ({why})")


def read_text(path: str, encoding: str = "utf-8-sig", limit: int = DEFAULT_MAX_INPUT_BYTES) -> str:
    """The text of one path named for a single file (a schema file): a
    regular file read whole, a pipe or a device up to ``limit`` bytes; a
    folder or a socket is refused.  Raises OSError, UnicodeDecodeError or
    InputFailed (its message one line)."""
    found = os.stat(path)
    if stat.S_ISDIR(found.st_mode) or stat.S_ISSOCK(found.st_mode):
        raise InputFailed(f"not a regular file ({_kind(found.st_mode)})")
    text = read_file(path, encoding) if stat.S_ISREG(found.st_mode) \
        else _read_stream(path, encoding, limit)
    if isinstance(text, BaseException):
        raise text
    return text


def check_writable_file(path: str) -> None:
    """A path the command will write a file at (a stored graph): a regular
    file, or a new name in a folder that exists.  InputFailed otherwise."""
    found = _stat(path)
    if found is not None:
        if not stat.S_ISREG(found.st_mode):
            raise InputFailed(f"not a regular file ({_kind(found.st_mode)})")
        return
    if os.path.islink(path):
        raise InputFailed("a broken symbolic link")
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise InputFailed(f"no such folder: {os.path.dirname(path) or '.'}")


def check_project(path: str) -> None:
    """A dbt project's path (its folder, target/ or manifest.json): a folder
    or a regular file, and the manifest.json in a folder a regular file.
    InputFailed otherwise."""
    found = _stat(path)
    if found is None:
        raise InputFailed("no such file or folder")
    if stat.S_ISDIR(found.st_mode):
        for manifest in (os.path.join(path, "manifest.json"),
                         os.path.join(path, "target", "manifest.json")):
            inner = _stat(manifest)
            if inner is not None and not stat.S_ISREG(inner.st_mode):
                raise InputFailed(f"{manifest} is not a regular file ({_kind(inner.st_mode)})")
    elif not stat.S_ISREG(found.st_mode):
        raise InputFailed(f"not a regular file ({_kind(found.st_mode)})")


def is_project(path: str) -> bool:
    """A folder that holds a dbt project's manifest.json (or its target/ does)."""
    return os.path.isdir(path) and any(
        os.path.lexists(os.path.join(path, *parts))
        for parts in (("manifest.json",), ("target", "manifest.json")))


def side_inputs(path: str, encoding: str, limit: int,
                skipped: Any = None) -> Iterator[tuple[str, Any, str]]:
    """The inputs of one side of ``diff``: a file, or every regular *.sql
    file of a folder (skipping, as a folder of inputs does, what is not a
    regular file), each named by its path."""
    found = _stat(path)
    if found is None:
        raise InputFailed(f"no such file or folder: {path}")
    yield from _path_inputs(path, found, encoding, limit, skipped)
