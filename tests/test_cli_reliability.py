"""The sqlglot-main command against hostile inputs and surroundings: pipes and
devices among the inputs, endless streams, a full disk, SIGTERM, YAML alias
bombs, files in other encodings, and its progress bar."""

import ast
import errno
import io
import json
import os
import re
import signal
import socket
import subprocess
import sys
import time

import pytest

from qarvel_lineage import cli
from qarvel_lineage.cli import session as _session

from helpers import LINEAGE_CLI, lineage_cli, open_for_writing, run_py

KEYS = ["input", "statement", "position", "column", "target_catalog", "target_db", "target_table",
        "source_catalog", "source_db", "source_table", "source_column", "type", "subtype", "reason"]
HEADER = ",".join(KEYS) + "\n"

pytestmark = pytest.mark.skipif(not sys.platform.startswith("linux"),
                                reason="FIFOs, /dev/zero, /dev/full and signals as on Linux")


def csv_line(name, column, table):
    """The CSV row of `select COLUMN from TABLE` read from input NAME."""
    return f"{name},1,1,{column},,,,,,{table},{column},DIRECT,IDENTITY,\n"


# --- what is not a regular file --------------------------------------------------------

def test_a_folder_skips_what_is_not_a_regular_file_and_says_why(tmp_path):
    folder = tmp_path / "logs"
    folder.mkdir()
    (folder / "a.sql").write_text("select a from t")
    os.mkfifo(folder / "b_pipe.sql")
    os.symlink(tmp_path / "nowhere.sql", folder / "c_dangling.sql")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(str(folder / "d_socket.sql"))
    (tmp_path / "target.sql").write_text("select e from u")
    os.symlink(tmp_path / "target.sql", folder / "e_link.sql")
    (folder / "f.sql").write_text("select f from v")
    try:
        done = lineage_cli("--format", "csv", "logs", cwd=tmp_path, timeout=60)
    finally:
        listener.close()
    assert done.returncode == 0
    assert done.stderr == ("logs/b_pipe.sql: skipped, not a regular file (a FIFO)\n"
                           "logs/c_dangling.sql: skipped, not a regular file (a broken symbolic link)\n"
                           "logs/d_socket.sql: skipped, not a regular file (a socket)\n")
    assert done.stdout == (HEADER + csv_line("logs/a.sql", "a", "t")
                           + csv_line("logs/e_link.sql", "e", "u") + csv_line("logs/f.sql", "f", "v"))


def test_a_fifo_named_as_an_input_is_read(tmp_path):
    fifo = tmp_path / "feed.sql"
    os.mkfifo(fifo)
    child = subprocess.Popen([*LINEAGE_CLI, "--format", "csv", str(fifo), "select b from u"],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        end = open_for_writing(fifo, child)
        os.write(end, b"select a from t")
        os.close(end)
        out, err = child.communicate(timeout=60)
    finally:
        child.kill()
        child.wait()
    assert (child.returncode, err) == (0, "")
    assert out == HEADER + csv_line(str(fifo), "a", "t") + csv_line("arg2", "b", "u")


def test_a_device_named_as_an_input_is_read_up_to_the_limit():
    done = lineage_cli("--format", "csv", "--max-input-bytes", "1K", "/dev/zero", "/dev/null",
                       "select b from u", timeout=60)
    assert done.returncode == 1
    assert done.stderr == ("/dev/zero: larger than --max-input-bytes (1024 bytes); not analysed\n"
                           "/dev/null: ParseError: the input is empty\n")
    assert done.stdout == HEADER + csv_line("arg3", "b", "u")


def test_endless_standard_input_stops_at_the_default_limit():
    with open("/dev/zero", "rb") as zero:
        done = subprocess.run([*LINEAGE_CLI, "-"], stdin=zero, capture_output=True, text=True,
                              timeout=120)
    assert (done.returncode, done.stdout) == (1, "")
    assert done.stderr == f"stdin: larger than --max-input-bytes ({64 * 1024 * 1024} bytes); not analysed\n"


@pytest.mark.parametrize("limit, fits", [("15", True), ("14", False), ("0", True)])
def test_the_limit_on_standard_input_is_in_bytes(limit, fits):
    done = lineage_cli("--format", "csv", "--max-input-bytes", limit, input="select a from t")
    if fits:
        assert (done.returncode, done.stderr) == (0, "")
        assert done.stdout == HEADER + csv_line("stdin", "a", "t")
    else:
        assert (done.returncode, done.stdout) == (1, HEADER)
        assert done.stderr == "stdin: larger than --max-input-bytes (14 bytes); not analysed\n"


@pytest.mark.parametrize("value", ["12Q", "-1", "M"])
def test_a_bad_size_is_a_usage_error(value):
    done = lineage_cli("--max-input-bytes", value, "select a from t")
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.splitlines()[-1].startswith(
        f"sqlglot-main: error: argument --max-input-bytes: not a size: {value!r}")


# --- output that cannot be written, and SIGTERM ------------------------------------------

@pytest.mark.parametrize("fmt", ["table", "json", "jsonl", "csv", "dot", "openlineage"])
def test_a_full_disk_is_one_line_and_exit_status_1(fmt):
    with open("/dev/full", "w") as full:
        done = subprocess.run([*LINEAGE_CLI, "--format", fmt, "select a from t", "select b from u"],
                              stdin=subprocess.DEVNULL, stdout=full, stderr=subprocess.PIPE,
                              text=True, timeout=120)
    assert (done.returncode, done.stderr) == (
        1, "sqlglot-main: cannot write the output: No space left on device\n")


class FillsUp(io.StringIO):
    """Standard output that takes two writes, then finds its disk full."""

    def __init__(self):
        super().__init__()
        self.writes = 0

    def write(self, text):
        self.writes += 1
        if self.writes > 2:
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))
        return super().write(text)


def test_a_failing_output_stream_stops_the_run_in_process():
    out, err = FillsUp(), io.StringIO()
    status = cli.main(["--format", "jsonl", *(f"select a{n} from t{n}" for n in range(5))],
                      stdin=io.StringIO(), stdout=out, stderr=err)
    assert status == 1
    assert err.getvalue() == "sqlglot-main: cannot write the output: No space left on device\n"
    assert [json.loads(line)["column"] for line in out.getvalue().splitlines()] == ["a0", "a1"]


def test_list_of_dialects_on_a_full_disk():
    with open("/dev/full", "w") as full:
        done = subprocess.run([*LINEAGE_CLI, "--list-dialects"], stdin=subprocess.DEVNULL,
                              stdout=full, stderr=subprocess.PIPE, text=True, timeout=120)
    assert (done.returncode, done.stderr) == (
        1, "sqlglot-main: cannot write the output: No space left on device\n")


@pytest.fixture(scope="module")
def many_files(tmp_path_factory):
    """2,000 files of one row each: more JSON than a pipe holds, so that the
    command is still writing when it is stopped."""
    folder = tmp_path_factory.mktemp("many")
    for number in range(2000):
        (folder / f"q{number:05d}.sql").write_text(f"select c{number} from t{number}")
    return folder


@pytest.mark.parametrize("jobs", [1, 2])
def test_sigterm_closes_the_json_array_and_counts_the_inputs(many_files, jobs):
    child = subprocess.Popen([*LINEAGE_CLI, "--format", "json", "--jobs", str(jobs), str(many_files)],
                             stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True)
    try:
        head = child.stdout.readline()
        assert head == "[\n"
        for _ in range(100):
            head += child.stdout.readline()
        child.send_signal(signal.SIGTERM)
        out = head + child.stdout.read()
        err = child.stderr.read()
    finally:
        child.wait(timeout=120)
    assert child.returncode == 143
    done = re.fullmatch(r"terminated: (\d+) of 2000 inputs done\n", err)
    assert done, err
    assert out.endswith("\n]\n")
    columns = [r["column"] for r in json.loads(out)]
    assert 100 <= len(columns) == int(done.group(1)) < 2000
    assert columns == [f"c{n}" for n in range(len(columns))]


@pytest.mark.parametrize("args", [["--format", "json"], ["--graph", "g.db", "select a from t"]],
                         ids=["rows", "graph"])
def test_sigterm_while_an_input_is_still_being_read(tmp_path, args):
    """In a run of rows and in a --graph run alike: one line, exit 143."""
    fifo = tmp_path / "slow.sql"
    os.mkfifo(fifo)
    child = subprocess.Popen([*LINEAGE_CLI, *args, str(fifo)], stdin=subprocess.DEVNULL,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, cwd=tmp_path)
    try:
        end = open_for_writing(fifo, child)
        os.write(end, b"select a ")
        child.send_signal(signal.SIGTERM)
        out, err = child.communicate(timeout=60)
        os.close(end)
    finally:
        child.kill()
        child.wait()
    assert (child.returncode, out, err) == (143, "", "terminated while reading the inputs\n")


# A signal the blocked read does not see: sent to another thread, it is
# taken there, and the main thread's read of the idle FIFO is not
# interrupted (as with a signal that comes just before the read starts).
TERMINATED_WHILE_READING = """
import io, os, signal, sys, threading, time
from qarvel_lineage import cli
from qarvel_lineage.cli import session as _session

fifo = sys.argv[1]
def writer():
    while True:
        try:
            end = os.open(fifo, os.O_WRONLY | os.O_NONBLOCK)
            break
        except OSError:
            time.sleep(0.01)
    os.write(end, b"select a ")
    time.sleep(0.2)
    signal.pthread_kill(threading.get_ident(), signal.SIGTERM)
    time.sleep(30)  # the write end stays open: the input never ends by itself
threading.Thread(target=writer, daemon=True).start()
out, err = io.StringIO(), io.StringIO()
status = cli.main(["--format", "json", fifo], stdin=io.StringIO(), stdout=out, stderr=err)
sys.stdout.write(repr((status, out.getvalue(), err.getvalue(), signal.set_wakeup_fd(-1))))
"""


def test_a_signal_the_read_does_not_see_still_stops_it(tmp_path):
    fifo = tmp_path / "slow.sql"
    os.mkfifo(fifo)
    done = run_py(TERMINATED_WHILE_READING, str(fifo), timeout=20)
    assert (done.returncode, done.stderr) == (0, "")
    # The wakeup descriptor is put back as it was (none).
    assert ast.literal_eval(done.stdout) == (143, "", "terminated while reading the inputs\n", -1)


# Run in a child interpreter: were SIGTERM not handled, it would end the test run.
TERMINATED_WHILE_WRITING = """
import io, signal, sys
from qarvel_lineage import cli
from qarvel_lineage.cli import session as _session

class TerminatedWhileWriting(io.StringIO):
    # SIGTERM arrives as the third input's text is handed over, before it is stored.
    def write(self, text):
        if '"a2"' in text:
            signal.raise_signal(signal.SIGTERM)
        return super().write(text)

out, err = TerminatedWhileWriting(), io.StringIO()
status = cli.main(["--format", "json", *(f"select a{n} from t{n}" for n in range(5))],
                  stdin=io.StringIO(), stdout=out, stderr=err)
restored = signal.getsignal(signal.SIGTERM) == signal.SIG_DFL
sys.stdout.write(repr((status, out.getvalue(), err.getvalue(), restored)))
"""


def test_sigterm_while_writing_leaves_whole_records_in_process():
    done = run_py(TERMINATED_WHILE_WRITING, timeout=120)
    assert (done.returncode, done.stderr) == (0, "")
    status, out, err, restored = ast.literal_eval(done.stdout)
    assert (status, err, restored) == (143, "terminated: 3 of 5 inputs done\n", True)
    assert [r["column"] for r in json.loads(out)] == ["a0", "a1", "a2"]


# --- YAML schemas ---------------------------------------------------------------------

def alias_bomb(columns=1000, tables=100, dbs=100, catalogs=100):
    """A few kilobytes of YAML naming catalogs x dbs x tables x columns
    columns (10**9 by default) through aliases."""
    names = ", ".join(f"c{n}: int" for n in range(columns))
    lines = ["k0: &C", "  d0: &D", f"    t0: &T {{{names}}}"]
    lines += [f"    t{n}: *T" for n in range(1, tables)]
    lines += [f"  d{n}: *D" for n in range(1, dbs)]
    lines += [f"k{n}: *C" for n in range(1, catalogs)]
    return "\n".join(lines) + "\n"


def test_a_yaml_alias_bomb_is_refused_at_once(tmp_path):
    bomb = tmp_path / "bomb.yaml"
    bomb.write_text(alias_bomb())
    assert bomb.stat().st_size < 16_000
    done = lineage_cli("--schema", bomb, "select a from t", cwd=tmp_path, timeout=60)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.splitlines()[-1] == (
        f"sqlglot-main: error: schema file {bomb} expands to more than 2000000 YAML nodes "
        "(an alias counts each time it is used); refused")


def test_a_yaml_schema_that_contains_itself_is_refused(tmp_path):
    (tmp_path / "loop.yaml").write_text("db:\n  t: &t {a: int, b: *t}\n")
    done = lineage_cli("--schema", "loop.yaml", "select a from t", cwd=tmp_path, timeout=60)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.splitlines()[-1] == ("sqlglot-main: error: schema file loop.yaml has an alias "
                                            "inside the node it names, which never ends; refused")


# Expanded: the root, "db", its mapping, "t1", t1's mapping of four nodes
# (five), "t2" and t1's five again: 15 nodes.
SHARED_COLUMNS = "db:\n  t1: &cols {a: int, b: int}\n  t2: *cols\n"


def test_aliases_within_the_limit_are_ordinary_yaml(tmp_path):
    (tmp_path / "schema.yml").write_text(SHARED_COLUMNS)
    done = lineage_cli("--format", "csv", "--schema", "schema.yml",
                       "insert into db.t2 select * from db.t1", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == HEADER + (
        "arg1,1,1,a,,db,t2,,db,t1,a,DIRECT,IDENTITY,\n"
        "arg1,1,2,b,,db,t2,,db,t1,b,DIRECT,IDENTITY,\n")


@pytest.mark.parametrize("limit, accepted", [(15, True), (14, False)])
def test_the_expansion_is_counted_node_by_node(tmp_path, limit, accepted):
    (tmp_path / "schema.yaml").write_text(SHARED_COLUMNS)
    out, err = io.StringIO(), io.StringIO()
    argv = ["--format", "csv", "--schema", str(tmp_path / "schema.yaml"), "--max-schema-nodes", str(limit),
            "select * from db.t2"]
    if accepted:
        assert cli.main(argv, stdin=io.StringIO(), stdout=out, stderr=err) == 0
        assert (out.getvalue(), err.getvalue()) == (
            HEADER + "arg1,1,1,a,,,,,db,t2,a,DIRECT,IDENTITY,\n"
                     "arg1,1,2,b,,,,,db,t2,b,DIRECT,IDENTITY,\n", "")
    else:
        with pytest.raises(SystemExit) as stopped:
            cli.main(argv, stdin=io.StringIO(), stdout=out, stderr=err)
        assert stopped.value.code == 2
        assert out.getvalue() == ""


# --- encodings ------------------------------------------------------------------------

@pytest.mark.parametrize("encoding, data", [
    ("latin-1", "select café from t".encode("latin-1")),
    ("utf-16", "select café from t".encode("utf-16")),
    ("UTF_16", "select café from t".encode("utf-16")),
])
def test_an_encoding_for_files_that_are_not_utf8(tmp_path, encoding, data):
    (tmp_path / "q.sql").write_bytes(data)
    plain = lineage_cli("--format", "csv", "q.sql", cwd=tmp_path)
    assert (plain.returncode, plain.stdout) == (1, HEADER)
    assert re.fullmatch(r"q\.sql: UnicodeDecodeError: 'utf-8' codec can't decode byte 0x.. in "
                        r"position \d+: .*\(another encoding can be given with --encoding\)\n",
                        plain.stderr), plain.stderr
    done = lineage_cli("--format", "csv", "--encoding", encoding, "q.sql", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == HEADER + csv_line("q.sql", "café", "t")


@pytest.mark.parametrize("args", [[], ["--encoding", "utf-8"], ["--encoding", "UTF8"]])
def test_utf8_drops_a_byte_order_mark(tmp_path, args):
    (tmp_path / "q.sql").write_bytes(b"\xef\xbb\xbfselect a from t\r\n")
    done = lineage_cli("--format", "csv", *args, "q.sql", cwd=tmp_path)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == HEADER + csv_line("q.sql", "a", "t")


def test_the_encoding_applies_to_standard_input_and_to_jobs(tmp_path):
    for number in range(30):
        (tmp_path / f"q{number:02d}.sql").write_bytes(f"select é{number} from t".encode("latin-1"))
    done = subprocess.run([*LINEAGE_CLI, "--format", "csv", "--encoding", "latin-1", "--jobs", "2",
                           str(tmp_path), "-"], input="select ü from u".encode("latin-1"),
                          capture_output=True, timeout=120)
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout.decode("utf-8") == HEADER + "".join(
        csv_line(str(tmp_path / f"q{n:02d}.sql"), f"é{n}", "t") for n in range(30)
    ) + csv_line("stdin", "ü", "u")


@pytest.mark.parametrize("name, message", [("nosuch", "unknown encoding 'nosuch'"),
                                           ("hex", "'hex' is not a text encoding")])
def test_an_unknown_encoding_is_a_usage_error(name, message):
    done = lineage_cli("--encoding", name, "select a from t")
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr.splitlines()[-1] == f"sqlglot-main: error: {message}"


# --- progress -------------------------------------------------------------------------

class Terminal(io.StringIO):
    def isatty(self):
        return True


def test_the_progress_bar_shows_the_total_and_the_time_left():
    out, err = io.StringIO(), Terminal()
    inputs = [f"select a{n} from t{n}" for n in range(_session.PROGRESS_MIN_INPUTS + 5)]
    inputs[3] = "select a3 from t3; select b3 from u3"
    assert cli.main(["--format", "jsonl", *inputs], stdin=io.StringIO(), stdout=out, stderr=err) == 0
    total = len(inputs)
    states = [state for state in err.getvalue().split("\r") if state]
    assert states[0] == f"  0%|          | 0/{total} [00:00<?, ?input/s]"
    assert re.fullmatch(rf"100%\|#+\| {total}/{total} \[\d\d:\d\d<00:00, +[\d.]+input/s, "
                        rf"{total + 1} statements\]\n", states[-1]), states[-1]
    assert len(out.getvalue().splitlines()) == total + 1


def test_no_progress_bar_below_its_threshold_or_off_a_terminal():
    few, err = io.StringIO(), Terminal()
    assert cli.main(["select a from t"], stdin=io.StringIO(), stdout=few, stderr=err) == 0
    assert err.getvalue() == ""
    many = lineage_cli("--format", "jsonl", *(f"select a{n} from t{n}" for n in range(30)))
    assert (many.returncode, many.stderr) == (0, "")


def test_one_long_script_shows_its_progress_by_statements(tmp_path, monkeypatch):
    script = tmp_path / "long.sql"
    script.write_text("".join(f"create table t{n} as select a from t{n - 1};\n" for n in range(1, 400)))
    clock = iter(range(0, 10_000))
    monkeypatch.setattr(time, "monotonic", lambda: float(next(clock)))  # every look: a second later
    out, err = io.StringIO(), Terminal()
    assert cli.main(["--format", "jsonl", str(script)], stdin=io.StringIO(), stdout=out, stderr=err) == 0
    states = [state for state in err.getvalue().split("\r") if state]
    assert states[0].startswith("  0%|          | 0/399 [")
    assert re.match(r"100%\|#+\| 399/399 \[", states[-1]), states[-1]
    assert len(out.getvalue().splitlines()) == 399
