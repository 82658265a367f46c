"""``sqlglot-main serve``: the explorer and the JSON API of a stored graph,
on uvicorn (an ASGI server, with h11 for HTTP/1.1), until SIGINT or SIGTERM.

The socket is bound here, before the server starts, so that ``--port 0``
has its port when the URL is printed (the first line on standard output)
and a port in use is one line on standard error.  uvicorn's own handling
of SIGINT and SIGTERM would raise the signal again once it has shut down;
here the server shuts down (answers in flight are finished, for at most
SHUTDOWN_SECONDS) and the command returns 130 or 143, as every command of
``sqlglot-main`` does.
"""

from __future__ import annotations

import contextlib
import signal
import socket
from typing import Any, Iterator, TextIO

__all__ = ["serve", "url_of", "listening_socket"]

SHUTDOWN_SECONDS = 5
KEEP_ALIVE_SECONDS = 5
MAX_CONNECTIONS = 64          # past this, 503 until some close
MAX_HEADER_BYTES = 32 * 1024  # a request line and headers longer than this are refused


def url_of(host: str, port: int) -> str:
    shown = f"[{host}]" if ":" in host else host
    return f"http://{shown}:{port}/"


def listening_socket(host: str, port: int) -> socket.socket:
    """A socket listening on ``host`` and ``port`` (0: a free port)."""
    found = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    if not found:
        raise OSError(f"cannot resolve {host}")
    family, kind, proto, _, address = found[0]
    sock = socket.socket(family, kind, proto)
    try:
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind(address)
        sock.listen(128)
    except BaseException:
        sock.close()
        raise
    return sock


def _server_class() -> Any:
    import uvicorn

    class Server(uvicorn.Server):
        """uvicorn's server, stopping on SIGINT or SIGTERM without raising
        the signal again after it has shut down."""

        stopped_by: int | None = None

        @contextlib.contextmanager
        def capture_signals(self) -> Iterator[None]:
            def stop(number: int, frame: Any) -> None:
                if self.stopped_by is None:
                    self.stopped_by = number
                if self.should_exit and number == signal.SIGINT:
                    self.force_exit = True
                self.should_exit = True

            previous = {number: signal.signal(number, stop)
                        for number in (signal.SIGINT, signal.SIGTERM)}
            try:
                yield
            finally:
                for number, handler in previous.items():
                    signal.signal(number, handler)

    return Server


def serve(path: str, host: str, port: int, stdout: TextIO, stderr: TextIO) -> int:
    """Serve the graph file at ``path`` until a signal; the exit status."""
    import uvicorn

    from qarvel_lineage.serve.app import make_app

    sock = listening_socket(host, port)
    try:
        bound = sock.getsockname()[1]
        app = make_app(path, host, lambda: bound)
        config = uvicorn.Config(app, http="h11", lifespan="off", log_config=None,
                                log_level="warning", access_log=False, server_header=False,
                                timeout_keep_alive=KEEP_ALIVE_SECONDS,
                                timeout_graceful_shutdown=SHUTDOWN_SECONDS,
                                limit_concurrency=MAX_CONNECTIONS,
                                h11_max_incomplete_event_size=MAX_HEADER_BYTES)
        server = _server_class()(config)
        stdout.write(url_of(host, bound) + "\n")
        stdout.flush()
        stderr.write(f"serving {path} read-only; Ctrl-C stops\n")
        stderr.flush()
        server.run(sockets=[sock])
    finally:
        sock.close()
    stopped = server.stopped_by
    if stopped is None:
        return 0
    stderr.write(("terminated" if stopped == signal.SIGTERM else "interrupted") +
                 ": the server stopped\n")
    stderr.flush()
    return 143 if stopped == signal.SIGTERM else 130
