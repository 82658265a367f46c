"""``sqlglot-main``: column lineage of SQL text, files, directories and logs.

    sqlglot-main                               the lineage of a built-in example
    sqlglot-main "select a from t" q.sql dir/  text, statement files, every *.sql under a directory
    cat q.sql | sqlglot-main                   standard input (or "-")
    sqlglot-main --format jsonl --jobs 0 logs/ every core, one JSON row per line

A file with several statements is a script: its statements are analysed in
order and each row names its statement.  Rows are written as each input is
done; Ctrl-C (exit status 130) and SIGTERM (143) stop cleanly and keep what
was written.
``--classic`` runs the QarvelSQLGlotMain analyser with its own formats.
"""

from __future__ import annotations

import argparse
import codecs
import contextlib
import csv
import io
import json
import os
import select
import signal
import stat
import sys
import time
import traceback
from typing import Any, Iterator, TextIO

import sqlglot
from sqlglot.dialects.dialect import Dialect
from sqlglot.errors import ParseError

from ._result import row_keys

__all__ = ["main", "main_entry"]

EXAMPLE_SQL = """\
insert into mart.order_totals (order_id, customer, total)
select o.id, c.name, sum(i.amount)
from sales.orders o
join crm.customers c on c.id = o.customer_id
join sales.order_items i on i.order_id = o.id
where o.status = 'shipped'
group by o.id, c.name
"""

FORMATS = ("table", "json", "jsonl", "csv", "dot", "openlineage", "html")
ROW_KEYS = ("input", "statement") + row_keys(True)
# Below this many inputs no progress bar is shown.
PROGRESS_MIN_INPUTS = 20
# What is read at most from standard input or from a file that is not a
# regular one (a pipe, a device), unless --max-input-bytes says otherwise.
DEFAULT_MAX_INPUT_BYTES = 64 * 1024 * 1024
# The most nodes (keys, values and items, an alias counting each time it is
# used) a YAML schema may expand to.
SCHEMA_MAX_NODES = 2_000_000
_READ_CHUNK = 1 << 20


def _version() -> str:
    try:
        from importlib.metadata import version
        ours = version("sqlglot-main")
    except Exception:
        ours = "unknown"
    return f"sqlglot-main {ours} (sqlglot {sqlglot.__version__})"


def dialect_names() -> list[str]:
    from sqlglot.dialects.dialect import Dialects

    return sorted(d.value for d in Dialects if d.value)


def _check_dialect(parser: argparse.ArgumentParser, name: str | None) -> str | None:
    if name is None:
        return None
    lowered = name.lower()
    try:
        Dialect.get_or_raise(lowered)
    except Exception:
        parser.error(f"unknown dialect {name!r}; known dialects: {', '.join(dialect_names())}")
    return lowered


class _SchemaRefused(Exception):
    """A YAML schema whose aliases would make it too large, or endless."""


def _yaml_children(node: Any) -> list:
    value = node.value
    if isinstance(value, list):
        # A mapping's value is a list of (key, value) pairs, a sequence's a list of nodes.
        return [part for entry in value for part in (entry if isinstance(entry, tuple) else (entry,))]
    return []


def _check_expansion(root: Any, limit: int) -> None:
    """Counts the nodes ``root`` stands for once every alias is replaced by
    what it names, without replacing any: each node's count is worked out
    once, from its children's.  Stops at the first count past ``limit``, and
    at an alias inside the node it names (an endless document)."""
    sizes: dict[int, int] = {}
    on_path: set[int] = set()
    stack: list[tuple[Any, bool]] = [(root, False)]
    while stack:
        node, children_counted = stack.pop()
        key = id(node)
        if children_counted:
            on_path.discard(key)
            size = 1 + sum(sizes[id(child)] for child in _yaml_children(node))
            if size > limit:
                raise _SchemaRefused(f"expands to more than {limit} YAML nodes (an alias counts "
                                     "each time it is used); refused")
            sizes[key] = size
            continue
        if key in sizes:
            continue
        if key in on_path:
            raise _SchemaRefused("has an alias inside the node it names, which never ends; refused")
        on_path.add(key)
        stack.append((node, True))
        stack.extend((child, False) for child in _yaml_children(node) if id(child) not in sizes)


def _load_yaml(text: str, limit: int | None = None) -> Any:
    """A YAML document as plain data (safe tags only), refused before it is
    built when its aliases expand it past ``limit`` nodes (default:
    SCHEMA_MAX_NODES)."""
    import yaml

    limit = SCHEMA_MAX_NODES if limit is None else limit
    loader = getattr(yaml, "CSafeLoader", yaml.SafeLoader)(text)
    try:
        node = loader.get_single_node()
        if node is None:
            return None
        _check_expansion(node, limit)
        return loader.construct_document(node)
    finally:
        loader.dispose()


def _load_schema(parser: argparse.ArgumentParser, path: str | None, max_nodes: int | None = None) -> Any:
    if path is None:
        return None
    try:
        with open(path, encoding="utf-8-sig") as handle:
            text = handle.read()
    except OSError as error:
        parser.error(f"cannot read schema file {path}: {error.strerror or error}")
    is_yaml = path.lower().endswith((".yaml", ".yml"))
    try:
        return _load_yaml(text, max_nodes) if is_yaml else json.loads(text)
    except _SchemaRefused as error:
        parser.error(f"schema file {path} {error}")
    except Exception as error:
        parser.error(f"schema file {path} is not valid {'YAML' if is_yaml else 'JSON'}: {error}")


def _is_database(name: str) -> bool:
    """A SQLAlchemy URL, or a DuckDB file (its header says so)."""
    if "://" in name:
        return True
    try:
        with open(name, "rb") as handle:
            return handle.read(12)[8:12] == b"DUCK"
    except OSError:
        return False


def _read_database(parser: argparse.ArgumentParser, name: str, dialect: str | None,
                   stderr: TextIO) -> Any:
    from ._catalog import CatalogError
    from ._rules import Schema

    try:
        return Schema.from_database(name, dialect=dialect,
                                    progress=getattr(stderr, "isatty", lambda: False)())
    except CatalogError as error:
        parser.error(str(error))  # the URL's password is not in it


def _check_encoding(parser: argparse.ArgumentParser, name: str) -> str:
    """The codec name to decode inputs with; UTF-8 drops a leading BOM."""
    try:
        found = codecs.lookup(name)
        "a".encode(found.name)  # a bytes-to-bytes codec (hex, zlib) stops here
    except LookupError as error:
        parser.error(f"unknown encoding {name!r}" if "unknown encoding" in str(error)
                     else f"{name!r} is not a text encoding")
    except UnicodeError:
        pass  # a text encoding that cannot write "a" (e.g. a 7-bit one) is still one
    return "utf-8-sig" if found.name == "utf-8" else found.name


def _size(text: str) -> int:
    """A byte count: a number, or a number followed by K, M or G (1024-based)."""
    units = {"k": 1 << 10, "m": 1 << 20, "g": 1 << 30}
    cleaned = text.strip().lower().removesuffix("b").removesuffix("i")
    factor = units.get(cleaned[-1:], 1)
    if factor > 1:
        cleaned = cleaned[:-1]
    try:
        value = int(cleaned) * factor
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (bytes, or a number with K, M or G)")
    if value < 0:
        raise argparse.ArgumentTypeError(f"not a size: {text!r} (0 or more)")
    return value


# --- inputs --------------------------------------------------------------------------

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


def _read_stdin(stdin: TextIO, encoding: str, limit: int) -> str | Exception:
    """Standard input, decoded as ``encoding``, or the error reading it."""
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


def _read_file(path: str, encoding: str = "utf-8-sig") -> str | Exception:
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


class _File:
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
                skipped: Any = None) -> Iterator[tuple[str, Any, bool]]:
    """(name, text, a _File or the error reading it, whether the text is an
    argument itself) for each input, in order.  A directory gives every
    regular *.sql file under it, sorted by path; ``skipped(line)`` is told
    of each other one (a FIFO, a socket, a device, a broken link), which is
    left out.  Standard input and a pipe or device named as an input are
    read here, up to ``limit`` bytes."""
    if not arguments:
        if stdin is not None and not stdin.isatty():
            yield "stdin", _read_stdin(stdin, encoding, limit), False
        else:
            yield "example", EXAMPLE_SQL, False
        return
    for position, argument in enumerate(arguments, 1):
        if argument == "-":
            yield "stdin", _read_stdin(stdin, encoding, limit), False
            continue
        found = _stat(argument)
        if found is None:
            yield f"arg{position}", argument, True
        elif stat.S_ISDIR(found.st_mode):
            yield from _folder_inputs(argument, encoding, skipped)
        elif stat.S_ISREG(found.st_mode):
            yield argument, _File(argument, encoding), False
        else:
            yield argument, _read_stream(argument, encoding, limit), False


def _folder_inputs(folder: str, encoding: str, skipped: Any) -> Iterator[tuple[str, Any, bool]]:
    found: list[str] = []
    for where, dirs, files in os.walk(folder):
        dirs.sort()
        found.extend(os.path.join(where, f) for f in files if f.lower().endswith(".sql"))
    for path in sorted(found):
        try:
            mode = os.stat(path).st_mode
        except OSError as error:
            if not (isinstance(error, FileNotFoundError) and os.path.islink(path)):
                yield path, error, False
                continue
            why = "a broken symbolic link"
        else:
            if stat.S_ISREG(mode):
                yield path, _File(path, encoding), False
                continue
            why = _kind(mode)
        if skipped is not None:
            skipped(f"{path}: skipped, not a regular file ({why})")


# --- the work of one input (in a worker process when --jobs > 1) -------------------------

def _setup(dialect: str | None, schema: Any) -> Any:
    from ._batch import Analyzer

    return Analyzer(dialect, schema)


def _work(analyzer: Any, item: tuple) -> dict[str, Any]:
    """One input's output text (its rows too, for --format dot)."""
    name, text, is_argument, namespace, output_format, width = item
    try:
        if isinstance(text, _File):
            text = _read_file(text.path, text.encoding)
        if isinstance(text, BaseException):
            raise text
        done = _analyse_input(analyzer, name, text, is_argument, namespace,
                              openlineage=output_format == "openlineage")
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as error:  # one input's failure is reported, the batch goes on
        return _failed(item, error, text)
    return _encoded(done, output_format, width)


def _failed(item: tuple, error: BaseException, text: Any = None) -> dict[str, Any]:
    name, _, is_argument, _, output_format, width = item
    done = {"name": name, "rows": [], "datasets": [], "statements": 0,
            "errors": [_describe(error, name, is_argument, text)],
            "trace": "".join(traceback.format_exception(error))}
    return _encoded(done, output_format, width)


def _lost(item: tuple, error: BaseException) -> dict[str, Any]:
    """An input whose worker process died under it: an error line, and the
    run goes on (it ends with exit status 1)."""
    return _failed(item, error)


def _encoded(done: dict[str, Any], output_format: str, width: int) -> dict[str, Any]:
    # Encoded where the input was analysed, in parallel, so the parent only copies bytes out.
    done["text"] = WRITERS[output_format].render(done, width).encode("utf-8")
    if output_format not in ("dot", "html"):
        # Only text goes back to the parent.
        done["rows"], done["datasets"] = [], []
    return done


def _describe(error: BaseException, name: str, is_argument: bool, text: Any) -> str:
    if is_argument and isinstance(error, ParseError) and isinstance(text, str):
        return f"{name}: no such file, and not SQL: {text}"
    message = str(error).splitlines()[0] if str(error) else ""
    if isinstance(error, InputFailed):
        return f"{name}: {message}"
    if isinstance(error, UnicodeDecodeError):
        message += " (another encoding can be given with --encoding)"
    return f"{name}: {type(error).__name__}: {message}"


def _is_statement(text: str, rules: Any) -> bool:
    from . import STATEMENT_KINDS, parse

    trees = parse(text, rules)
    return bool(trees) and all(isinstance(tree, STATEMENT_KINDS) for tree in trees)


def _analyse_input(analyzer: Any, name: str, text: str, is_argument: bool, namespace: str,
                   openlineage: bool = False) -> dict[str, Any]:
    from ._result import flat_rows
    from ._script import StatementError, analyze_script, split_statements

    pieces = split_statements(text, analyzer.rules)
    if not pieces:
        raise ParseError("no statement in the input" if text.strip() else "the input is empty")
    if is_argument and len(pieces) == 1 and not _is_statement(pieces[0][0], analyzer.rules):
        # A bare word or a path parses as an expression, not as a statement.
        raise ParseError("not a statement")
    rows: list[dict[str, Any]] = []
    datasets: list[dict[str, Any]] = []
    errors: list[str] = []
    if len(pieces) == 1:
        results = [analyzer.analyze(pieces[0][0])]
    else:
        script = analyze_script(text, analyzer.rules.dialect, analyzer.schema,
                                progress=_script_progress)
        results = list(script.statements)
        if openlineage:
            datasets.extend(script.end_to_end.to_openlineage(namespace))
    empty_target = {"target_catalog": None, "target_db": None, "target_table": None}
    for index, result in enumerate(results, 1):
        if isinstance(result, StatementError):
            errors.append(f"{name}: statement {result.index} (line {result.line}): "
                          f"{type(result.error).__name__}: {str(result.error).splitlines()[0]}")
            continue
        head = {"input": name, "statement": index}
        for row in flat_rows(result.columns, result.target):
            if result.target is None:
                rows.append({**head, "position": row["position"], "column": row["column"],
                             **empty_target, **{k: row[k] for k in _SOURCE_KEYS}})
            else:
                rows.append({**head, **row})
        if openlineage and (len(results) == 1 or result.target is None):
            dataset = str(result.target) if result.target is not None else (
                name if len(results) == 1 else f"{name}#{index}")
            datasets.append({"namespace": namespace, "name": dataset,
                             "facets": {"columnLineage": result.to_openlineage(namespace)}})
    return {"name": name, "rows": rows, "datasets": datasets, "statements": len(results),
            "errors": errors, "trace": ""}


_SOURCE_KEYS = ("source_catalog", "source_db", "source_table", "source_column", "type",
                "subtype", "reason")


# --- stopping: signals and output that cannot be written -------------------------------

class _Terminated(KeyboardInterrupt):
    """SIGTERM, which stops a run as Ctrl-C does."""


def _terminate(signum: int, frame: Any) -> None:
    raise _Terminated()


class _StopOnSigterm:
    """SIGTERM raises _Terminated while the command runs, where it would
    otherwise end the process at once; a handler already set (or SIG_IGN)
    is left alone."""

    def __enter__(self) -> "_StopOnSigterm":
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


class _WholeWrites:
    """Ctrl-C and SIGTERM held back while one input's text is written, then
    raised, so that what a stopped run leaves on standard output ends with
    a whole record (a whole JSON row, CSV line or array element).  With
    ``deliver=False`` a signal that came meanwhile is dropped (the run is
    stopping already)."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __init__(self, deliver: bool = True):
        self.deliver = deliver

    def __enter__(self) -> "_WholeWrites":
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


class _OutputFailed(Exception):
    """Standard output refused a write (a full disk, a quota, an I/O error)."""


def _writing(call: Any, *args: Any) -> Any:
    try:
        return call(*args)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise _OutputFailed(error.strerror or str(error)) from error


# --- writers -------------------------------------------------------------------------


class _Writer:
    """Output in two steps: ``render`` turns one input's rows into text (in
    the worker that analysed it), ``write`` puts that text out (in order, in
    the parent)."""

    def __init__(self, out: TextIO):
        self.out = out
        # Bytes go straight to the binary layer below a UTF-8 text stream.
        raw = getattr(out, "buffer", None)
        encoding = (getattr(out, "encoding", "") or "").lower().replace("-", "")
        self.raw = raw if raw is not None and encoding == "utf8" else None

    def start(self) -> None:
        pass

    @staticmethod
    def render(done: dict[str, Any], width: int) -> str:
        raise NotImplementedError

    def write(self, done: dict[str, Any]) -> None:
        if done["text"]:
            self.put(done["text"])
            self.out.flush()

    def put(self, data: bytes) -> None:
        """The text a worker rendered and encoded, written as it is."""
        if self.raw is not None:
            self.out.flush()
            self.raw.write(data)
        else:
            self.out.write(data.decode("utf-8"))

    def finish(self) -> None:
        pass


_encode = json.JSONEncoder(ensure_ascii=False).encode


class _JsonLines(_Writer):
    @staticmethod
    def render(done, width):
        return "".join([_encode(row) + "\n" for row in done["rows"]])


class _JsonArray(_Writer):
    """One JSON array, written as a stream: "[" first, "]" last."""

    def start(self):
        self.first = True
        self.out.write("[")
        self.out.flush()

    @staticmethod
    def render(done, width):
        return ",\n".join([_encode(row) for row in done["rows"]])

    def write(self, done):
        if done["text"]:
            # Separator and rows in one write: an interruption never leaves a dangling ",".
            self.put((b"\n" if self.first else b",\n") + done["text"])
            self.first = False
            self.out.flush()

    def finish(self):
        self.out.write("\n]\n" if not self.first else "]\n")
        self.out.flush()


class _Csv(_Writer):
    def start(self):
        csv.DictWriter(self.out, fieldnames=ROW_KEYS, lineterminator="\n").writeheader()
        self.out.flush()

    @staticmethod
    def render(done, width):
        buffer = io.StringIO()
        writer = csv.DictWriter(buffer, fieldnames=ROW_KEYS, lineterminator="\n")
        for row in done["rows"]:
            writer.writerow(row)
        return buffer.getvalue()


class _OpenLineage(_Writer):
    """One OpenLineage output dataset (with its columnLineage facet) per line."""

    @staticmethod
    def render(done, width):
        return "".join(json.dumps(dataset, ensure_ascii=False) + "\n" for dataset in done["datasets"])


def _source_text(row: dict[str, Any]) -> str:
    if row["type"] == "UNRESOLVED":
        return ".".join(p for p in (row["source_table"], row["source_column"]) if p) or "?"
    parts = (row["source_catalog"], row["source_db"], row["source_table"], row["source_column"])
    return ".".join(p for p in parts if p)


class _Table(_Writer):
    """A block per input: one line per output column with its direct,
    indirect and unresolved sources; influences shared by every column of a
    statement are listed once under it; long texts wrap, so wide results
    stay readable in a terminal."""

    @staticmethod
    def render(done, width):
        from prettytable import PrettyTable

        out = io.StringIO()
        if not done["rows"]:
            return ""
        out.write(f"-- {done['name']}\n")
        statements: dict[int, dict[int, list[dict[str, Any]]]] = {}
        for row in done["rows"]:
            statements.setdefault(row["statement"], {}).setdefault(row["position"], []).append(row)
        for statement, columns in statements.items():
            if len(statements) > 1:
                out.write(f"statement {statement}\n")
            indirect_sets = [{_source_text(r) + f" ({r['subtype']})" for r in rows
                              if r["type"] == "INDIRECT"} for rows in columns.values()]
            common = set.intersection(*indirect_sets) if indirect_sets else set()
            first = next(iter(columns.values()))[0]
            target = ".".join(p for p in (first["target_catalog"], first["target_db"],
                                          first["target_table"]) if p)
            table = PrettyTable()
            table.field_names = ["pos", "column", "direct", "indirect", "unresolved"]
            table.align = "l"
            budget = max(16, (width - 24) // 3)
            table.max_width = {"column": max(10, budget // 2), "direct": budget,
                               "indirect": budget, "unresolved": budget}
            for position, rows in columns.items():
                direct = [_source_text(r) + f" ({r['subtype']})" for r in rows if r["type"] == "DIRECT"
                          and r["subtype"] != "CONSTANT"]
                if any(r["subtype"] == "CONSTANT" for r in rows):
                    direct = ["(constant)"]
                indirect = [t for t in dict.fromkeys(_source_text(r) + f" ({r['subtype']})"
                                                     for r in rows if r["type"] == "INDIRECT")
                            if t not in common]
                unresolved = [f"{_source_text(r)}: {r['reason']}" for r in rows
                              if r["type"] == "UNRESOLVED"]
                table.add_row([position, rows[0]["column"], "\n".join(direct),
                               "\n".join(indirect), "\n".join(unresolved)])
            if target:
                out.write(f"writes {target}\n")
            out.write(table.get_string() + "\n")
            if common:
                out.write("every column also depends on: " + ", ".join(sorted(common)) + "\n")
        return out.getvalue()


def _terminal_width(out: TextIO) -> int:
    try:
        return os.get_terminal_size(out.fileno()).columns
    except (OSError, ValueError, AttributeError):
        return 120


def _dot_id(text: str) -> str:
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'


class _Dot(_Writer):
    """A Graphviz digraph of every input.  Each table is one box of its
    columns, whether a statement reads it or writes it, so a script's chain
    raw -> staging -> mart is connected; a query that writes nothing is a
    box of its output columns.  Columns keep their position order; an
    influence shared by every column of a statement is one edge to its box;
    INDIRECT edges are dashed (and left out with --direct-only)."""

    direct_only = False

    def start(self):
        self.done: list[dict[str, Any]] = []

    @staticmethod
    def render(done, width):
        return ""

    def write(self, done):
        self.done.append(done)

    def finish(self):
        graph = _DotGraph(self.direct_only)
        for done in self.done:
            graph.add(done["rows"])
        self.out.write(graph.text())
        self.out.flush()


def _joined(*parts: Any) -> str:
    return ".".join(p for p in parts if p)


class _DotGraph:
    def __init__(self, direct_only: bool):
        self.direct_only = direct_only
        # box label -> {node id: (order, label)}; boxes a statement writes are filled
        self.boxes: dict[str, dict[str, tuple[float, str]]] = {}
        self.filled: set[str] = set()
        self.edges: dict[tuple[str, str, str, str], str | None] = {}

    def node(self, box: str, node: str, order: float, label: str) -> str:
        nodes = self.boxes.setdefault(box, {})
        if node not in nodes or order < nodes[node][0]:
            nodes[node] = (order, label)
        return node

    def add(self, rows: list[dict[str, Any]]) -> None:
        statements: dict[tuple, list[dict[str, Any]]] = {}
        for row in rows:
            statements.setdefault((row["input"], row["statement"]), []).append(row)
        for (name, statement), found in statements.items():
            self.statement(f"{name}#{statement}", found)

    def statement(self, name: str, rows: list[dict[str, Any]]) -> None:
        target = _joined(rows[0]["target_catalog"], rows[0]["target_db"], rows[0]["target_table"])
        box = target or name
        self.filled.add(box)
        outputs: dict[int, str] = {}
        for row in rows:
            position = row["position"]
            node = f"col:{target}.{row['column']}" if target else f"out:{name}:{position}"
            label = row["column"] if target else f"{position}. {row['column']}"
            outputs[position] = self.node(box, node, position, label)
        sources: dict[int, set[tuple[str, str]]] = {p: set() for p in outputs}
        for row in rows:
            if row["type"] == "UNRESOLVED" or row["subtype"] == "CONSTANT":
                continue
            if row["type"] == "INDIRECT" and self.direct_only:
                continue
            table = _joined(row["source_catalog"], row["source_db"], row["source_table"])
            source = self.node(table, f"col:{table}.{row['source_column']}", float("inf"),
                               row["source_column"])
            sources[row["position"]].add((source, row["type"] + "|" + row["subtype"]))
        shared = set.intersection(*sources.values()) if len(sources) > 1 else set()
        shared = {item for item in shared if item[1].startswith("INDIRECT")}
        first = outputs[min(outputs)]
        for source, kind in sorted(shared):
            self.edges[(source, first, kind, box)] = box
        for position, found in sources.items():
            for source, kind in sorted(found - shared):
                self.edges.setdefault((source, outputs[position], kind, ""), None)

    def text(self) -> str:
        lines = ["digraph lineage {", "  rankdir=LR;", "  compound=true;",
                 "  node [shape=box, fontname=Helvetica];",
                 "  edge [fontname=Helvetica, fontsize=9];"]
        cluster = {}
        for index, (box, nodes) in enumerate(self.boxes.items()):
            cluster[box] = f"cluster_{index}"
            style = "style=filled; color=lightyellow" if box in self.filled \
                else "style=rounded; color=gray50"
            lines.append(f"  subgraph cluster_{index} {{")
            lines.append(f"    label={_dot_id(box)}; {style};")
            ordered = sorted(nodes.items(), key=lambda item: item[1][0])
            for node, (_, label) in ordered:
                lines.append(f"    {_dot_id(node)} [label={_dot_id(label)}];")
            lines.append("  }")
        for (source, output, kind, _), box in self.edges.items():
            kind_type, subtype = kind.split("|", 1)
            style = "dashed" if kind_type == "INDIRECT" else "solid"
            whole = f", lhead={cluster[box]}" if box else ""
            lines.append(f"  {_dot_id(source)} -> {_dot_id(output)} "
                         f"[style={style}, label={_dot_id(subtype.lower())}{whole}];")
        lines.append("}")
        return "\n".join(lines) + "\n"


class _Html(_Dot):
    """One self-contained HTML page of every input's lineage graph."""

    def finish(self):
        from ._html import page

        graph = _DotGraph(self.direct_only)
        for done in self.done:
            graph.add(done["rows"])
        self.out.write(page(graph))
        self.out.flush()


WRITERS = {"table": _Table, "json": _JsonArray, "jsonl": _JsonLines, "csv": _Csv, "dot": _Dot,
           "html": _Html,
           "openlineage": _OpenLineage}


# --- the command -----------------------------------------------------------------------

def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="sqlglot-main",
        description="Column lineage of SQL statements, scripts and query logs.",
        epilog="--classic runs the QarvelSQLGlotMain analyser with its own formats "
               "(table, print, json, csv, sql, dot) and options.")
    parser.add_argument("inputs", nargs="*",
                        help="SQL text, statement files, directories (every *.sql under them) or "
                             "- for standard input (default: standard input when it is piped, "
                             "else a built-in example)")
    parser.add_argument("--example", action="store_true",
                        help="analyse the built-in example (an INSERT ... SELECT)")
    parser.add_argument("--dialect", default=None, help="sqlglot dialect (any case), e.g. mysql")
    parser.add_argument("--schema", default=None, metavar="FILE|URL",
                        help="JSON or YAML schema: {table: {column: type}}, {db: {table: ...}} "
                             "or {catalog: {db: {table: ...}}}; or a live catalog: a DuckDB "
                             "file or a SQLAlchemy URL (postgresql://user@host/db), whose "
                             "dialect is the default")
    parser.add_argument("--dbt", default=None, metavar="PATH",
                        help="a compiled dbt project (its folder, target/ or manifest.json): "
                             "every model's columns traced to seeds and sources")
    parser.add_argument("--format", choices=FORMATS, default="table")
    parser.add_argument("--direct-only", action="store_true",
                        help="--format dot: draw DIRECT lineage only")
    asked = parser.add_argument_group("questions of the lineage graph (see also: sqlglot-main diff)")
    asked.add_argument("--upstream", metavar="COLUMN", default=None,
                       help="every column COLUMN comes from, hop by hop (db.table.column, or "
                            "its last parts, in any case)")
    asked.add_argument("--downstream", metavar="COLUMN", default=None,
                       help="every column COLUMN feeds, hop by hop")
    asked.add_argument("--depth", type=int, default=None, metavar="N",
                       help="at most N hops (--upstream, --downstream)")
    asked.add_argument("--end-to-end", action="store_true",
                       help="each written table's columns traced through the whole script")
    asked.add_argument("--summary", action="store_true",
                       help="the tables only read, both written and read, and only written")
    asked.add_argument("--graph", metavar="FILE", default=None,
                       help="store the lineage graph in this SQLite file, or extend it; with no "
                            "inputs, the questions are asked of the stored graph")
    parser.add_argument("--encoding", default="utf-8", metavar="NAME",
                        help="encoding of SQL files and standard input (default: UTF-8, "
                             "a leading byte order mark dropped)")
    parser.add_argument("--max-input-bytes", type=_size, default=DEFAULT_MAX_INPUT_BYTES,
                        metavar="SIZE",
                        help="most bytes read from standard input or from a pipe or device "
                             "named as an input, e.g. 1G (default: 64M; 0: no limit)")
    parser.add_argument("--max-schema-nodes", type=int, default=SCHEMA_MAX_NODES, metavar="N",
                        help="most nodes a YAML schema may expand to, aliases counted each time "
                             f"they are used (default: {SCHEMA_MAX_NODES:,})")
    parser.add_argument("--jobs", type=int, default=1, metavar="N",
                        help="worker processes (0: every core)")
    parser.add_argument("--namespace", default="default",
                        help="OpenLineage namespace of the datasets (--format openlineage)")
    parser.add_argument("--traceback", action="store_true",
                        help="show the full traceback of a failing input")
    parser.add_argument("--list-dialects", action="store_true", help="list the dialects and exit")
    parser.add_argument("--version", action="version", version=_version())
    parser.add_argument("--classic", action="store_true",
                        help="use the QarvelSQLGlotMain analyser and its output shapes")
    return parser


# A single script's progress by statements, when the run is one input on a
# terminal (that input is analysed in this process).
_script_progress: Any = None


class _ScriptBar:
    """Statements done of a script's total, shown once it has taken a while."""

    def __init__(self, stream: TextIO):
        self.stream = stream
        self.bar = None
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
        if _script_progress is not None:
            _script_progress.close()


def main(argv: list[str] | None = None, stdin: TextIO | None = None,
         stdout: TextIO | None = None, stderr: TextIO | None = None) -> int:
    argv = list(sys.argv[1:] if argv is None else argv)
    if argv[:1] == ["diff"]:
        from ._graph_cli import diff_main

        return diff_main(argv[1:], stdout if stdout is not None else sys.stdout,
                         stderr if stderr is not None else sys.stderr)
    if "--classic" in argv:
        import sqlglot_main_cli

        argv.remove("--classic")
        return sqlglot_main_cli.main(argv, stdin=stdin, stdout=stdout, stderr=stderr)
    stdin = stdin if stdin is not None else sys.stdin
    stdout = stdout if stdout is not None else sys.stdout
    stderr = stderr if stderr is not None else sys.stderr
    parser = _parser()
    options = parser.parse_args(argv)
    if options.list_dialects:
        try:
            _writing(lambda: (stdout.write("\n".join(dialect_names()) + "\n"), stdout.flush()))
        except _OutputFailed as error:
            return _output_failed(error, stderr)
        return 0
    dialect = _check_dialect(parser, options.dialect)
    encoding = _check_encoding(parser, options.encoding)
    if options.jobs < 0:
        parser.error("--jobs must be 0 (every core) or more")
    if options.schema is not None and _is_database(options.schema):
        schema = _read_database(parser, options.schema, dialect, stderr)
        dialect = dialect if dialect is not None else schema.rules.name
    else:
        schema = _load_schema(parser, options.schema, options.max_schema_nodes or None)
        if schema is not None:
            try:
                from ._rules import Schema

                schema = Schema(schema, dialect)
            except (TypeError, ValueError) as error:
                parser.error(f"schema file {options.schema}: {error}")
    project = None
    if options.dbt is not None:
        if options.inputs or options.example:
            parser.error("--dbt reads the project's models; give no other inputs")
        project = _read_project(parser, options.dbt, dialect, schema)
    from ._graph_cli import run, wants_graph

    if wants_graph(options):
        with _StopOnSigterm():
            return run(options, parser, dialect, schema, encoding, stdin, stdout, stderr, project)
    with _StopOnSigterm():
        return _run(options, dialect, schema, encoding, stdin, stdout, stderr, project)


def _read_project(parser: argparse.ArgumentParser, path: str, dialect: str | None,
                  schema: Any) -> Any:
    from .dbt import project_lineage

    try:
        return project_lineage(path, dialect, schema)
    except (OSError, ValueError) as error:
        parser.error(f"--dbt {path}: {error}")


def _dbt_outputs(project: Any, options: argparse.Namespace,
                 width: int) -> tuple[list[Any], Iterator[dict[str, Any]]]:
    """Each analysed model's rows (its columns traced end to end) and its
    OpenLineage job, as the writers take an input's."""
    from .dbt import ModelError

    from ._result import flat_rows

    rows: dict[str, list[dict[str, Any]]] = {}
    if options.format in ("dot", "html"):
        # A drawing shows each model's own hop, so the models chain up.
        for model, result in project.models.items():
            if not isinstance(result, ModelError) and result.target is not None:
                rows[model] = [{"input": model, "statement": 1, **row}
                               for row in flat_rows(result.columns, result.target)]
    else:
        for row in project.to_dicts():
            model = row.pop("model")
            rows.setdefault(model, []).append({"input": model, "statement": 1, **row})
    jobs = {job["job"]["name"]: job for job in project.to_openlineage(options.namespace)}
    names = [uid for uid, result in project.models.items()
             if isinstance(result, ModelError) or uid in rows or uid in jobs]

    def outputs() -> Iterator[dict[str, Any]]:
        for uid in names:
            result = project.models[uid]
            failed = isinstance(result, ModelError)
            done = {"name": uid, "rows": rows.get(uid, []),
                    "datasets": [jobs[uid]] if uid in jobs else [], "statements": 1,
                    "errors": [str(result)] if failed else [],
                    "trace": "".join(traceback.format_exception(result.error)) if failed else ""}
            yield _encoded(done, options.format, width)

    return names, outputs()


def _run(options: argparse.Namespace, dialect: str | None, schema: Any, encoding: str,
         stdin: TextIO, stdout: TextIO, stderr: TextIO, project: Any = None) -> int:
    from ._batch import jobs_count, ordered_map

    jobs = jobs_count(options.jobs)
    width = _terminal_width(stdout)
    writer = WRITERS[options.format](stdout)
    if isinstance(writer, _Dot):
        writer.direct_only = options.direct_only
    progress = _Progress(stderr, enabled=False)
    inputs: list[Any] | None = None
    started = False
    finished = 0
    failed = False

    def skipped(line: str) -> None:
        print(line, file=stderr, flush=True)

    try:
        if project is not None:
            inputs, results = _dbt_outputs(project, options, width)
        else:
            named = iter_inputs(options.inputs, stdin, encoding, options.max_input_bytes,
                                skipped) if not options.example \
                else iter([("example", EXAMPLE_SQL, False)])
            inputs = [(name, text, is_argument, options.namespace, options.format, width)
                      for name, text, is_argument in named]
            results = ordered_map(_work, inputs, jobs, _setup, (dialect, schema), lost=_lost)
        isatty = getattr(stderr, "isatty", lambda: False)()
        progress = _Progress(stderr, enabled=isatty and len(inputs) >= PROGRESS_MIN_INPUTS,
                             total=len(inputs))
        global _script_progress
        _script_progress = _ScriptBar(stderr) if isatty and len(inputs) == 1 else None
        _writing(writer.start)
        started = True
        for done in results:
            with _WholeWrites():
                _writing(writer.write, done)
                finished += 1
            progress.update(done["statements"])
            for line in done["errors"]:
                failed = True
                progress.say(line)
            if done["errors"] and options.traceback and done["trace"]:
                progress.say(done["trace"].rstrip())
        progress.close()
        _writing(writer.finish)
    except KeyboardInterrupt as stop:
        terminated = isinstance(stop, _Terminated)
        with _WholeWrites(deliver=False):  # a second signal does not cut this short
            progress.close()
            if started:
                try:
                    writer.finish()
                except Exception:
                    pass
            how = "terminated" if terminated else "interrupted"
            if inputs is None:
                print(f"{how} while reading the inputs", file=stderr, flush=True)
            else:
                print(f"{how}: {finished} of {len(inputs)} inputs done", file=stderr, flush=True)
        return 128 + int(signal.SIGTERM) if terminated else 130
    except BrokenPipeError:
        # The reader went away (sqlglot-main ... | head): stop quietly.
        progress.close()
        try:
            sys.stdout = io.TextIOWrapper(open(os.devnull, "wb"))
        except OSError:
            pass
        return 1 if failed else 0
    except _OutputFailed as error:
        progress.close()
        return _output_failed(error, stderr)
    return 1 if failed else 0


def _output_failed(error: _OutputFailed, stderr: TextIO) -> int:
    """One line for output that could not be written, and exit status 1."""
    try:
        print(f"sqlglot-main: cannot write the output: {error}", file=stderr, flush=True)
    except OSError:
        pass
    return 1


def main_entry() -> None:
    sys.exit(main())


if __name__ == "__main__":
    main_entry()
