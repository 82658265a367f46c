"""One writer per output format.  Each writes every kind of answer it can
(statement rows, a walk's edges, tables by role, differences) and is
refused, before any work, for the others.

Statement rows come as a stream, an input at a time (``start``, ``write``
for each input, ``finish``); ``render`` turns one input's rows into bytes
in the worker that analysed it.  The other answers are written whole by
``answer``."""

from __future__ import annotations

import csv
import errno
import io
import json
import os
import select
from typing import Any, TextIO

from qarvel_lineage.cli.analysis import META_KEYS
from qarvel_lineage.cli.errors import UsageError
from qarvel_lineage.engine.escapes import encoded, valid_json, valid_text
from qarvel_lineage.engine.result import row_keys

__all__ = ["FORMATS", "ROW_KEYS", "WRITE_CHUNK", "writer_for", "formats_for", "terminal_width"]

# The most bytes handed to the output in one write: a pipe or a file may
# take fewer (Linux takes at most 0x7ffff000 bytes a write), and what it
# did not take is written again until all is.
WRITE_CHUNK = 1 << 20

ROW_KEYS = ("input", "statement") + row_keys(True)
_encode = json.JSONEncoder(ensure_ascii=False).encode

KIND_NAMES = {"rows": "statement rows", "edges": "the edges of a walk",
              "tables": "tables by role", "changes": "differences"}


def terminal_width(out: TextIO) -> int:
    try:
        return os.get_terminal_size(out.fileno()).columns
    except (OSError, ValueError, AttributeError):
        return 120


def _wait_writable(raw: Any) -> None:
    """Until a non-blocking output can take more."""
    try:
        poller = select.poll()
        poller.register(raw.fileno(), select.POLLOUT)
    except (AttributeError, OSError, ValueError, io.UnsupportedOperation):
        return
    poller.poll(1000)


def write_all(raw: Any, data: bytes) -> None:
    """Every byte of ``data`` written to the binary stream ``raw``, in
    chunks of at most WRITE_CHUNK bytes, a short write finished by the
    next one (an unbuffered stream takes what a pipe has room for, and a
    signal can cut a write short)."""
    view = memoryview(data)
    at = 0
    while at < len(view):
        try:
            written = raw.write(view[at:at + WRITE_CHUNK])
        except BlockingIOError as error:   # a buffered stream over a non-blocking descriptor
            written = error.characters_written
            _wait_writable(raw)
        if written is None:                # a raw one: it took nothing yet
            _wait_writable(raw)
            continue
        if written == 0 and at < len(view):
            raise OSError(errno.EIO, "the output took no bytes")
        at += written


class _Writer:
    kinds: frozenset[str] = frozenset()
    # The writer draws every input at the end: the parent keeps their rows.
    keeps_rows = False
    # Its text is JSON: a lone surrogate is escaped inside a JSON string.
    json_text = False

    def __init__(self, out: TextIO, options: Any = None):
        self.out = out
        self.options = options
        # Bytes go straight to the binary layer below a UTF-8 text stream.
        raw = getattr(out, "buffer", None)
        encoding = (getattr(out, "encoding", "") or "").lower().replace("-", "")
        self.raw = raw if raw is not None and encoding == "utf8" else None

    # --- a stream of statement rows
    def start(self) -> None:
        pass

    @staticmethod
    def render(done: Any, plan: Any) -> bytes:
        return b""

    def write(self, done: Any) -> None:
        if done.text:
            self.put(done.text)
            self.out.flush()

    def put(self, data: bytes) -> None:
        """The text a worker rendered and encoded, written whole."""
        if self.raw is not None:
            self.out.flush()
            write_all(self.raw, data)
        else:
            self.out.write(data.decode("utf-8"))

    def emit(self, text: str) -> None:
        """Text made here (an answer, a drawing), written as rendered text is."""
        if self.raw is not None:
            self.put(encoded(text, self.json_text))
        else:
            self.out.write(valid_json(text) if self.json_text else valid_text(text))

    def finish(self) -> None:
        pass

    # --- one answer
    def answer(self, answer: Any) -> None:
        self.emit(getattr(self, answer.kind)(answer))
        self.out.flush()


class _Records(_Writer):
    """The row formats: every answer as records of fixed keys."""

    kinds = frozenset(KIND_NAMES)

    def answer(self, answer):
        keys, rows = answer.records()
        self.emit(self.records(keys, rows))
        self.out.flush()


class _JsonLines(_Records):
    json_text = True

    @staticmethod
    def render(done, plan):
        return encoded("".join([_encode(row) + "\n" for row in done.rows]), json=True)

    @staticmethod
    def records(keys, rows):
        return "".join(_encode(row) + "\n" for row in rows)


class _JsonArray(_Records):
    """One JSON array, written as a stream: "[" first, "]" last."""

    json_text = True

    def start(self):
        self.first = True
        self.emit("[")
        self.out.flush()

    @staticmethod
    def render(done, plan):
        return encoded(",\n".join([_encode(row) for row in done.rows]), json=True)

    def write(self, done):
        if done.text:
            # Separator and rows in one write: an interruption never leaves a dangling ",".
            self.put((b"\n" if self.first else b",\n") + done.text)
            self.first = False
            self.out.flush()

    def finish(self):
        self.emit("\n]\n" if not self.first else "]\n")
        self.out.flush()

    @staticmethod
    def records(keys, rows):
        return _encode(rows) + "\n"


class _Csv(_Records):
    """Rows under a header; with --metadata, a column's tests are one
    field, their names separated by spaces."""

    def start(self):
        buffer = io.StringIO()
        keys = ROW_KEYS + META_KEYS if getattr(self.options, "metadata", False) else ROW_KEYS
        csv.DictWriter(buffer, fieldnames=keys, lineterminator="\n").writeheader()
        self.emit(buffer.getvalue())
        self.out.flush()

    @staticmethod
    def render(done, plan):
        buffer = io.StringIO()
        rows = done.rows
        if plan.metadata:
            rows = [{**row, "tests": " ".join(row["tests"])} for row in rows]
        writer = csv.DictWriter(buffer, fieldnames=ROW_KEYS + META_KEYS if plan.metadata
                                else ROW_KEYS, lineterminator="\n")
        writer.writerows(rows)
        return encoded(buffer.getvalue())

    @staticmethod
    def records(keys, rows):
        buffer = io.StringIO()
        writer = csv.DictWriter(buffer, fieldnames=keys, lineterminator="\n")
        writer.writeheader()
        writer.writerows(rows)
        return buffer.getvalue()


class _Table(_Writer):
    kinds = frozenset(KIND_NAMES)

    @staticmethod
    def render(done, plan):
        from qarvel_lineage.answers.text import statement_tables

        return encoded(statement_tables(done.name, done.rows, plan.width))

    def edges(self, answer):
        from qarvel_lineage.answers.text import edges_text, impact_text, paths_text

        if answer.way == "impact":
            return impact_text(answer, self.options.limit)
        if answer.way == "paths":
            return paths_text(answer)
        return edges_text(answer, self.options.chains, self.options.limit)

    def tables(self, answer):
        from qarvel_lineage.answers.text import tables_text

        return tables_text(answer, self.options.limit)

    def changes(self, answer):
        from qarvel_lineage.answers.text import changes_text

        return changes_text(answer, getattr(self.options, "limit", None))


class _Markdown(_Writer):
    """A pull request's comment: what changed and what it affects."""

    kinds = frozenset({"changes"})

    def changes(self, answer):
        from qarvel_lineage.answers.markdown import changes_markdown

        return changes_markdown(answer, getattr(self.options, "limit", None))


class _OpenLineage(_Writer):
    """OpenLineage datasets, one per line: each written dataset with its
    columnLineage facet; a table summary as a run's inputs and outputs."""

    kinds = frozenset({"rows", "edges", "tables"})
    json_text = True

    @staticmethod
    def render(done, plan):
        return encoded("".join(json.dumps(d, ensure_ascii=False) + "\n" for d in done.datasets),
                       json=True)

    def edges(self, answer):
        return "".join(json.dumps(dataset, ensure_ascii=False) + "\n"
                       for dataset in _edges_openlineage(answer, self.options.namespace))

    def tables(self, answer):
        # What the inputs read (sources and intermediates) and what they
        # write (intermediates and targets); a query writes no dataset.
        def datasets(*roles: str) -> list[dict[str, Any]]:
            return [{"namespace": self.options.namespace, "name": table, "facets": {}}
                    for role in roles for table in answer.roles.get(role, ())]

        return json.dumps({"inputs": datasets("sources", "intermediates"),
                           "outputs": datasets("intermediates", "targets")},
                          ensure_ascii=False) + "\n"


class _OpenLineageEvents(_OpenLineage):
    """--emit: each input's lineage as OpenLineage run events, sent through
    openlineage-python's transport (``options.sender``) rather than
    written; a console transport writes them to standard output."""

    kinds = frozenset({"rows"})

    @staticmethod
    def render(done, plan):
        from qarvel_lineage.openlineage.events import input_events

        events = input_events(done.name, done.datasets, done.reads, plan.namespace)
        return "".join(json.dumps(e, ensure_ascii=False) + "\n" for e in events).encode("utf-8")

    def write(self, done):
        for line in done.text.decode("utf-8").splitlines():
            self.options.sender.send(json.loads(line))

    def finish(self):
        self.options.sender.close()


def _edges_openlineage(answer: Any, namespace: str) -> list[dict[str, Any]]:
    """One dataset per table the edges reach, its columnLineage facet
    holding those edges (the graph keeps no masking flag, so the
    transformations carry none)."""
    from qarvel_lineage.engine.result import column_lineage_facet

    places = answer.places
    fields: dict[str, dict[str, dict[tuple[str, str], dict[str, Any]]]] = {}
    for edge in answer.edges:
        table, column = places[edge.target]
        source_table, source_column = places[edge.source]
        inputs = fields.setdefault(table, {}).setdefault(column, {})
        made = inputs.setdefault((source_table, source_column), {
            "namespace": namespace, "name": source_table, "field": source_column,
            "transformations": []})
        step = {"type": edge.type, "subtype": edge.subtype, "description": edge.statement}
        if step not in made["transformations"]:
            made["transformations"].append(step)
    return [{"namespace": namespace, "name": table, "facets": {"columnLineage": column_lineage_facet(
        {column: list(inputs.values()) for column, inputs in columns.items()}, [])}}
        for table, columns in fields.items()]


class _Drawing(_Writer):
    """A drawing of every input (DOT, or the HTML page), made at the end."""

    kinds = frozenset({"rows", "edges", "tables"})
    keeps_rows = True

    def start(self):
        self.rows: list[dict[str, Any]] = []

    def write(self, done):
        self.rows.extend(done.rows)

    def finish(self):
        self.emit(self.rows_drawing(self.rows))
        self.out.flush()


class _Dot(_Drawing):
    def rows_drawing(self, rows):
        from qarvel_lineage.answers.drawing import DotGraph

        graph = DotGraph(self.options.direct_only)
        graph.add(rows)
        return graph.text()

    def edges(self, answer):
        from qarvel_lineage.answers.drawing import edges_dot

        return edges_dot(answer)

    def tables(self, answer):
        from qarvel_lineage.answers.drawing import tables_dot

        return tables_dot(answer)


class _Html(_Drawing):
    """Every answer drawn on one page by ``page.render.lineage_page``."""

    def _page(self, edges, tables, title):
        from qarvel_lineage.page.render import lineage_page

        return lineage_page(edges, title=title, tables=tables, direct_only=self.options.direct_only)

    described: tuple = ()

    def describe(self, project):
        """The descriptions of a dbt project's columns, for the details."""
        self.described = tuple(project.described())

    def rows_drawing(self, rows):
        from qarvel_lineage.page.render import described_tables, rows_edges

        edges, tables = rows_edges(rows)
        return self._page(edges, described_tables(edges, tables, self.described),
                          "Column lineage")

    def edges(self, answer):
        from qarvel_lineage.answers.drawing import page_of_edges

        title = (f"Column lineage: paths from {answer.start} to {answer.end}"
                 if answer.way == "paths" else f"Column lineage: {answer.way} of {answer.start}")
        return self._page(page_of_edges(answer), (), title)

    def tables(self, answer):
        from qarvel_lineage.answers.drawing import page_of_tables

        edges, tables = page_of_tables(answer)
        return self._page(edges, tables, "Tables: sources, intermediates and targets")


FORMATS = {"table": _Table, "json": _JsonArray, "jsonl": _JsonLines, "csv": _Csv, "dot": _Dot,
           "openlineage": _OpenLineage, "html": _Html, "markdown": _Markdown}


def formats_for(kind: str) -> list[str]:
    return [name for name, writer in FORMATS.items() if kind in writer.kinds]


def writer_for(name: str, kind: str, emit: bool = False) -> type:
    """The writer class of format ``name`` (with ``emit``, the one that
    sends OpenLineage events); a UsageError naming the formats that can
    when it cannot write ``kind``."""
    writer = _OpenLineageEvents if emit and name == "openlineage" else FORMATS[name]
    if kind not in writer.kinds:
        raise UsageError(f"--format {name} cannot write {KIND_NAMES[kind]}; formats that can: "
                         f"{', '.join(formats_for(kind))}")
    return writer
