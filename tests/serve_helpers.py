"""Helpers of the served graph's tests: ``sqlglot-main serve`` started as a
real process on a free loopback port, and raw HTTP requests to it (the Host
header, the method and the target exactly as given)."""

import http.client
import json
import os
import selectors
import signal
import subprocess
import time
import urllib.parse

from helpers import LINEAGE_CLI

START_SECONDS = 60


class Served:
    """``sqlglot-main serve GRAPH --port 0`` and what it said."""

    def __init__(self, graph, *args):
        self.process = subprocess.Popen([*LINEAGE_CLI, "serve", str(graph), "--port", "0", *args],
                                        stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                        stderr=subprocess.PIPE)
        self.url = self._first_line()
        parsed = urllib.parse.urlsplit(self.url)
        self.host, self.port = parsed.hostname, parsed.port

    def _first_line(self):
        """The URL, the first line written, read within START_SECONDS."""
        chooser = selectors.DefaultSelector()
        chooser.register(self.process.stdout, selectors.EVENT_READ)
        line = b""
        deadline = time.monotonic() + START_SECONDS
        while not line.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not chooser.select(left):
                self.process.kill()
                raise AssertionError(f"no URL within {START_SECONDS} s: "
                                     f"{self.process.stderr.read().decode()}")
            more = os.read(self.process.stdout.fileno(), 1)
            if not more:
                raise AssertionError(f"the server ended: {self.process.stderr.read().decode()}")
            line += more
        chooser.close()
        return line.decode().strip()

    def request(self, target, method="GET", host=None, headers=None, body=None, timeout=30):
        """(status, headers, body) of one request sent as it is given."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)
        try:
            connection.putrequest(method, target, skip_host=True, skip_accept_encoding=True)
            connection.putheader("Host", host if host is not None else f"127.0.0.1:{self.port}")
            for key, value in (headers or {}).items():
                connection.putheader(key, value)
            if body is not None:
                connection.putheader("Content-Length", str(len(body)))
            connection.endheaders(body)
            response = connection.getresponse()
            return response.status, dict(response.getheaders()), response.read()
        finally:
            connection.close()

    def ask(self, question, **params):
        """(status, JSON body) of /api/<question> with ``params``."""
        status, headers, body = self.request(f"/api/{question}?{urllib.parse.urlencode(params)}")
        assert headers["content-type"] == "application/json", headers
        return status, json.loads(body)

    def stop(self, number=signal.SIGTERM, timeout=30):
        """Send the signal; (exit status, what it wrote on standard error)."""
        self.process.send_signal(number)
        try:
            _, err = self.process.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.communicate()
            raise AssertionError(f"still running {timeout} s after signal {number}")
        return self.process.returncode, err.decode()

    def close(self):
        if self.process.poll() is None:
            self.stop()


def edge_set(answer):
    """The (source, target, type, subtype, depth) of a walk's edges."""
    return {(e["source"], e["target"], e["type"], e["subtype"], e["depth"]) for e in answer["edges"]}


def graph_of(tmp_path_factory, name, *inputs):
    """A graph file of ``inputs`` (command-line arguments) made by the command."""
    from helpers import lineage_cli

    path = tmp_path_factory.mktemp(name) / f"{name}.db"
    done = lineage_cli(*inputs, "--graph", path, timeout=900)
    assert done.returncode == 0 and path.is_file(), done.stderr
    return path
