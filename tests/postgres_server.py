"""A throwaway PostgreSQL server for the tests: a fresh cluster in a
temporary folder, run as an unprivileged user (the server refuses root),
stopped and removed at the end."""

import contextlib
import glob
import os
import shutil
import socket
import subprocess
import tempfile
from pathlib import Path

from helpers import without_sanitizer


def postgres_bindir():
    """The directory of the PostgreSQL server programs, or None."""
    try:
        listed = subprocess.run(["pg_config", "--bindir"], capture_output=True, text=True,
                                timeout=30).stdout.strip()
    except OSError:
        listed = ""
    for found in [listed, *sorted(glob.glob("/usr/lib/postgresql/*/bin"), reverse=True)]:
        if found and os.path.isfile(os.path.join(found, "initdb")):
            return found
    return None


def _free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


@contextlib.contextmanager
def postgres_server(bindir, tcp=False):
    """A started server: yields (its unix socket directory, its TCP port on
    127.0.0.1 or None).  With ``tcp`` it listens on a free port of
    127.0.0.1 too (tried again on another port if one was taken meanwhile)."""
    base = tempfile.mkdtemp(dir="/tmp")  # short: a socket path has a length limit
    as_user = []
    if os.geteuid() == 0:
        shutil.chown(base, "postgres", "postgres")
        as_user = ["runuser", "-u", "postgres", "--"]
    server_env = without_sanitizer()

    def pg(program, *args):
        return subprocess.run([*as_user, os.path.join(bindir, program), *args], cwd=base,
                              capture_output=True, text=True, timeout=120, env=server_env)

    try:
        done = pg("initdb", "-D", "data", "-U", "postgres", "--auth=trust", "-E", "UTF8")
        assert done.returncode == 0, done.stderr
        for attempt in range(3 if tcp else 1):
            port = _free_port() if tcp else None
            listen = f"-c listen_addresses='127.0.0.1' -p {port}" if tcp else "-c listen_addresses=''"
            done = pg("pg_ctl", "-D", "data", "-l", "log", "-w", "-o",
                      f"-k {base} {listen} -c fsync=off", "start")
            if done.returncode == 0:
                break
        assert done.returncode == 0, done.stderr + Path(base, "log").read_text()
        yield base, port
    finally:
        pg("pg_ctl", "-D", "data", "-m", "immediate", "-w", "stop")
        shutil.rmtree(base, ignore_errors=True)
