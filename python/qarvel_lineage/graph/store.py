"""The lineage graph's SQLite file: its format, what it refuses, saving by
temporary file and rename, and writers that take turns.

A graph file is a SQLite database whose header carries this format's
marker (``application_id``) and version (``user_version``).  Nothing that
is not a regular file, and no file without that marker and version, is
opened or replaced: it is refused with a one-line GraphError and left as it
was.  Writes into an opened file are SQLite transactions begun IMMEDIATE
(one writer at a time, the next waiting up to BUSY_SECONDS); a file
replaced since it was opened is noticed before anything is written to it.
"""

from __future__ import annotations

import contextlib
import errno
import os
import sqlite3
import stat
import tempfile
import urllib.parse
from typing import Callable, Iterator

__all__ = ["GraphError", "APPLICATION_ID", "FORMAT_VERSION", "SCHEMA", "DETAILS_SCHEMA",
           "connect_memory", "connect_file", "connect_readonly", "save", "writing", "failure",
           "refresh_records", "keep_records", "forget_records"]

APPLICATION_ID = 0x514C4E47   # "QLNG" in the header: this is a lineage graph
FORMAT_VERSION = 3            # 1 had no marker and named columns by dotted text;
                              # 2 kept no statement text and no column details
BUSY_SECONDS = 60.0
_MAGIC = b"SQLite format 3\x00"


class GraphError(ValueError):
    """A graph file that cannot be opened or written, said in one line."""


SCHEMA = """
create table tables (
    id integer primary key,
    catalog text not null,          -- '' when the statement names none
    db text not null,
    name text not null,
    shown text not null,            -- as users read it: s."t.a"
    rshown text not null,           -- shown, case-folded and reversed, for look-ups
    rplain text not null,           -- the parts joined as they are, folded and reversed
    unique (catalog, db, name)
);
create index tables_rshown on tables (rshown);
create index tables_rplain on tables (rplain);
create table nodes (
    id integer primary key,
    tbl integer not null references tables (id),
    name text not null,
    shown text not null,
    rshown text not null,
    rplain text not null,
    unique (tbl, name)
);
create index nodes_rshown on nodes (rshown);
create index nodes_rplain on nodes (rplain);
create table statements (
    id integer primary key,
    name text not null unique,      -- etl.sql, etl.sql#2, a dbt model's unique id
    origin text not null,           -- the name it was added under
    writes integer references tables (id)
);
create index statements_origin on statements (origin);
create index statements_writes on statements (writes);
create table edges (
    src integer not null references nodes (id),
    dst integer not null references nodes (id),
    type text not null,
    subtype text not null,
    statement integer not null references statements (id),
    unique (src, dst, type, subtype, statement)
);
-- the unique index leads with src: walks downwards use it
create index edges_dst on edges (dst);
create index edges_statement on edges (statement);
"""

# What a page, a server or an agent shows beside the lineage: the text of
# each statement (a dbt model's compiled SQL), and what a project says of a
# column.  Rows go with the statement or the column they describe.
DETAILS_SCHEMA = """
create table statement_sql (
    statement integer primary key references statements (id),
    sql text not null
);
create trigger statement_sql_gone after delete on statements
begin delete from statement_sql where statement = old.id; end;
create table column_details (
    node integer primary key references nodes (id),
    origin text not null,           -- the name it was added under (a dbt node's unique id)
    description text not null,
    data_type text not null,
    tests text not null             -- a JSON array of the tests' names
);
create index column_details_origin on column_details (origin);
create trigger column_details_gone after delete on nodes
begin delete from column_details where node = old.id; end;
"""


def _statements(script: str) -> list[str]:
    """The statements of a schema script (a trigger's body holds semicolons)."""
    found, piece = [], ""
    for part in script.split(";"):
        piece += part + ";"
        if sqlite3.complete_statement(piece):
            if piece.strip(" \n;"):
                found.append(piece)
            piece = ""
    return found


_TABLES = tuple(line.split()[2] for line in SCHEMA.splitlines()
                if line.startswith("create table "))


def _initialise(db: sqlite3.Connection) -> None:
    for statement in _statements(SCHEMA) + _statements(DETAILS_SCHEMA):
        db.execute(statement)
    db.execute(f"pragma application_id = {APPLICATION_ID:d}")
    db.execute(f"pragma user_version = {FORMAT_VERSION:d}")


def connect_memory() -> sqlite3.Connection:
    db = sqlite3.connect(":memory:", isolation_level=None)
    db.execute("begin")
    _initialise(db)
    db.execute("commit")
    return db


def _refusal(path: str, error: OSError | sqlite3.Error) -> GraphError:
    if isinstance(error, sqlite3.Error):
        return failure(path, error)
    reason = getattr(error, "strerror", None) or str(error) or type(error).__name__
    return GraphError(f"{path}: {reason.splitlines()[0]}")


def _damaged(path: str, what: str) -> GraphError:
    return GraphError(f"{path}: a damaged lineage graph ({what}); build it again from its inputs")


# What SQLite says of a file whose pages or tables are not what they were.
_DAMAGE = ("malformed", "not a database", "no such table", "no such column", "corrupt")


def failure(path: str, error: sqlite3.Error, adding: bool = False) -> GraphError:
    """What went wrong with a graph file, in one line: another run holding
    it too long, damage (a truncated or overwritten file, tables missing),
    or SQLite's own words (after "nothing was added" when ``adding``)."""
    text = (str(error).splitlines() or [""])[0] or type(error).__name__
    if "locked" in text or "busy" in text:
        return GraphError(f"{path}: another run kept it locked for {BUSY_SECONDS:g} s; "
                          "try again")
    if any(word in text for word in _DAMAGE):
        return _damaged(path, text)
    return GraphError(f"{path}: {'nothing was added: ' if adding else ''}{text}")


def _check_whole(db: sqlite3.Connection, path: str, head: bytes, size: int) -> None:
    """Refuse a graph file shorter than its header says (truncated) or
    without the tables of its format."""
    page_size = int.from_bytes(head[16:18], "big")
    page_size = 65536 if page_size == 1 else page_size
    pages = int.from_bytes(head[28:32], "big")
    # The page count is valid when it was written with the change counter.
    if head[92:96] == head[24:28] and pages and size < page_size * pages:
        raise _damaged(path, f"truncated: {size:,} of {page_size * pages:,} bytes")
    found = {row[0] for row in db.execute("select name from sqlite_master where type = 'table'")}
    missing = [name for name in _TABLES if name not in found]
    if missing:
        raise _damaged(path, f"tables missing: {', '.join(missing)}")


def _header(path: str) -> tuple[os.stat_result, bytes]:
    """The file's status and first 100 bytes, read without blocking on
    something that is not a regular file."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_CLOEXEC", 0))
    try:
        status = os.fstat(fd)
        if not stat.S_ISREG(status.st_mode):
            raise GraphError(f"{path}: not a regular file")
        head = b""
        while len(head) < 100:
            more = os.read(fd, 100 - len(head))
            if not more:
                break
            head += more
        return status, head
    finally:
        os.close(fd)


def _is_first_format(path: str) -> bool:
    """A file of the first format: no marker, nodes named by dotted text."""
    db = sqlite3.connect(path, isolation_level=None)
    try:
        columns = {row[1] for row in db.execute("pragma table_info(nodes)")}
        edges = db.execute("select count(*) from sqlite_master where type = 'table' "
                           "and name = 'edges'").fetchone()[0]
        return edges == 1 and {"name", "lowered", "tbl", "col"} <= columns
    except sqlite3.Error:
        return False
    finally:
        db.close()


def check(path: str, head: bytes) -> None:
    """Refuse a non-empty file that is not a graph of this format and version."""
    if not head:
        return
    if len(head) < 100 or not head.startswith(_MAGIC):
        raise GraphError(f"{path}: not a lineage graph")
    version = int.from_bytes(head[60:64], "big")
    marker = int.from_bytes(head[68:72], "big")
    if marker == 0 and _is_first_format(path):
        version = 1
    elif marker != APPLICATION_ID:
        raise GraphError(f"{path}: not a lineage graph")
    if version < FORMAT_VERSION:
        raise GraphError(f"{path}: a lineage graph of an older format ({version}); "
                         "build it again from its inputs")
    if version > FORMAT_VERSION:
        raise GraphError(f"{path}: a lineage graph of a newer format ({version}) than this "
                         f"qarvel_lineage reads ({FORMAT_VERSION}); upgrade qarvel_lineage")


def connect_file(path: str, create: bool) -> tuple[sqlite3.Connection, tuple[str, int, int]]:
    """A connection to the graph file at ``path`` and the file's identity
    (absolute path, device, inode).  With ``create``, a new path or an empty file becomes
    an empty graph; otherwise a missing file is a FileNotFoundError."""
    try:
        _, head = _header(path)
    except FileNotFoundError:
        if not create:
            raise FileNotFoundError(f"no lineage graph at {path}") from None
        head = b""
    except OSError as error:
        raise _refusal(path, error) from None
    check(path, head)
    try:
        db = sqlite3.connect(path, timeout=BUSY_SECONDS, isolation_level=None)
    except sqlite3.Error as error:
        raise _refusal(path, error) from None
    try:
        status, head = _header(path)   # what SQLite opened is still a regular file
        check(path, head)
        if not head:
            # Made here or by another run at the same time: one of them
            # writes the schema, the other finds it when its turn comes.
            db.execute("begin immediate")
            try:
                if db.execute("pragma application_id").fetchone()[0] == 0 and not db.execute(
                        "select count(*) from sqlite_master").fetchone()[0]:
                    _initialise(db)
                db.execute("commit")
            except BaseException:
                db.execute("rollback")
                raise
            status, head = _header(path)
            check(path, head)
        else:
            _check_whole(db, path, head, status.st_size)
    except (OSError, sqlite3.Error) as error:
        db.close()
        raise _refusal(path, error) from None
    except BaseException:
        db.close()
        raise
    return db, (os.path.abspath(path), status.st_dev, status.st_ino)


def connect_readonly(path: str) -> sqlite3.Connection:
    """A connection that cannot write to the graph file at ``path`` (a
    server's): the file must be a graph of this format already."""
    try:
        _, head = _header(path)
    except FileNotFoundError:
        raise FileNotFoundError(f"no lineage graph at {path}") from None
    except OSError as error:
        raise _refusal(path, error) from None
    if not head:
        raise GraphError(f"{path}: not a lineage graph (an empty file)")
    check(path, head)
    address = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?mode=ro"
    try:
        db = sqlite3.connect(address, uri=True, timeout=BUSY_SECONDS, isolation_level=None)
    except sqlite3.Error as error:
        raise _refusal(path, error) from None
    try:
        db.execute("pragma query_only = 1")
        check(path, _header(path)[1])   # what SQLite opened is still a graph file
    except (OSError, sqlite3.Error) as error:
        db.close()
        raise _refusal(path, error) from None
    except BaseException:
        db.close()
        raise
    return db


@contextlib.contextmanager
def writing(db: sqlite3.Connection, path: str | None,
            identity: tuple[str, int, int] | None,
            waiting: Callable[[], None] | None = None) -> Iterator[None]:
    """One write transaction; for a file, after making sure it is still the
    file that was opened (not replaced or removed by another run).
    ``waiting()``, when given, is called before waiting for another run."""
    name = path if path is not None else "graph"
    try:
        _begin(db, waiting)
    except sqlite3.Error as error:
        raise failure(name, error) from None
    try:
        if identity is not None:
            try:
                now = os.stat(identity[0])
            except FileNotFoundError:
                raise GraphError(f"{path}: removed since it was opened; nothing was added") from None
            if (now.st_dev, now.st_ino) != identity[1:]:
                raise GraphError(f"{path}: replaced by another run since it was opened; "
                                 "open it again")
        yield
        db.execute("commit")
    except sqlite3.Error as error:
        with contextlib.suppress(sqlite3.Error):
            db.execute("rollback")
        raise failure(name, error, adding=True) from None
    except BaseException:
        db.execute("rollback")
        raise


def _begin(db: sqlite3.Connection, waiting: Callable[[], None] | None) -> None:
    if waiting is None:
        db.execute("begin immediate")
        return
    db.execute("pragma busy_timeout = 0")
    try:
        try:
            db.execute("begin immediate")
            return
        except sqlite3.OperationalError as error:
            if "locked" not in str(error) and "busy" not in str(error):
                raise
        waiting()
        db.execute(f"pragma busy_timeout = {int(BUSY_SECONDS * 1000):d}")
        db.execute("begin immediate")
    finally:
        db.execute(f"pragma busy_timeout = {int(BUSY_SECONDS * 1000):d}")


def _fsync(path: str, flags: int = os.O_RDONLY) -> None:
    fd = os.open(path, flags)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def save(db: sqlite3.Connection, path: str) -> None:
    """Write the graph of ``db`` to ``path``: a new path, an empty file or
    a graph file of this format (replaced whole).  The copy is made in a
    temporary file beside it, flushed to disk and renamed over, so a
    failure leaves what was there; a new path taken by another run
    meanwhile is not replaced."""
    try:
        status = os.lstat(path)
    except FileNotFoundError:
        status = None
    except OSError as error:
        raise _refusal(path, error) from None
    if status is not None:
        if not stat.S_ISREG(status.st_mode):
            raise GraphError(f"{path}: not a regular file")
        try:
            check(path, _header(path)[1])
        except OSError as error:
            raise _refusal(path, error) from None
    folder = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(prefix="." + os.path.basename(path) + ".",
                                         suffix=".tmp", dir=folder)
        os.close(fd)
    except OSError as error:
        raise GraphError(f"{path}: could not save: {error.strerror or error}") from None
    try:
        copy = sqlite3.connect(temporary, isolation_level=None)
        try:
            db.backup(copy)
        finally:
            copy.close()
        _fsync(temporary)
        if status is None:
            _link_new(temporary, path)
        else:
            _replace(temporary, path)
        _fsync(folder)
    except GraphError:
        raise
    except (OSError, sqlite3.Error) as error:
        reason = (getattr(error, "strerror", None) or str(error)).splitlines()[0]
        raise GraphError(f"{path}: could not save: {reason}") from None
    finally:
        for made in (temporary, temporary + "-journal"):
            with contextlib.suppress(FileNotFoundError):
                os.remove(made)


def _link_new(temporary: str, path: str) -> None:
    """The saved copy appears at a path that was free, or not at all."""
    try:
        os.link(temporary, path)
    except FileExistsError:
        raise GraphError(f"{path}: made by another run meanwhile; nothing was saved (open "
                         "it to add to it)") from None
    except OSError as error:
        if error.errno not in (errno.EPERM, errno.ENOTSUP, errno.EOPNOTSUPP, errno.EMLINK):
            raise
        os.replace(temporary, path)   # a file system without hard links


def _replace(temporary: str, path: str) -> None:
    """Rename over a graph file while holding its write lock, so no run is
    half-way through writing to it; runs that had it open notice."""
    lock = sqlite3.connect(path, timeout=BUSY_SECONDS, isolation_level=None)
    try:
        lock.execute("begin immediate")
        os.replace(temporary, path)
        lock.execute("rollback")
    finally:
        lock.close()


# --- a dbt project's models as last brought up to date (refresh) ------------------------

REFRESH_SCHEMA = """
create table if not exists dbt_models (
    project text not null,          -- the manifest's project id (or name)
    unique_id text not null,        -- a model's or an exposure's; its statements' origin
    record text not null,           -- what the model was when last analysed (JSON)
    primary key (project, unique_id)
)
"""


def refresh_records(db: sqlite3.Connection, project: str) -> dict[str, str]:
    """Every record of ``project`` the graph holds, by unique id (inside
    the write transaction of the refresh)."""
    db.execute(REFRESH_SCHEMA)
    return dict(db.execute("select unique_id, record from dbt_models where project = ?",
                           (project,)))


def keep_records(db: sqlite3.Connection, project: str, records: dict[str, str],
                 removed: list[str]) -> None:
    db.executemany("delete from dbt_models where project = ? and unique_id = ?",
                   [(project, unique_id) for unique_id in removed])
    db.executemany("insert or replace into dbt_models (project, unique_id, record) "
                   "values (?, ?, ?)", [(project, uid, text) for uid, text in records.items()])


def forget_records(db: sqlite3.Connection, origins: list[str]) -> None:
    """What was added under these names by other means than a refresh:
    their records no longer say what the graph holds."""
    if db.execute("select 1 from sqlite_master where type = 'table' and name = 'dbt_models'"
                  ).fetchone():
        db.executemany("delete from dbt_models where unique_id = ?",
                       [(origin,) for origin in origins])
