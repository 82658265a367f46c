"""An HTTP receiver of OpenLineage events on 127.0.0.1 for the tests, in a
thread: it keeps what it is sent (mode "accept"), answers 503 ("refuse"),
or never answers until it is closed ("hang").  ``down()`` gives a port
where nothing listens."""

import contextlib
import json
import socket
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

MAX_BODY = 8 << 20


class Receiver:
    def __init__(self, mode="accept"):
        self.mode = mode
        self.bodies = []
        self.requests = []          # (path, headers) of every request
        self.released = threading.Event()
        receiver = self

        class Handler(BaseHTTPRequestHandler):
            def do_POST(self):
                receiver.requests.append((self.path, dict(self.headers)))
                if self.headers.get("Host") != f"127.0.0.1:{receiver.port}":
                    self.send_error(400, "wrong Host")
                    return
                length = int(self.headers.get("Content-Length") or 0)
                if not 0 <= length <= MAX_BODY:
                    self.send_error(413)
                    return
                body = self.rfile.read(length)
                if receiver.mode == "hang":
                    receiver.released.wait(60)
                    return
                if receiver.mode == "refuse":
                    self.send_error(503, "Service Unavailable")
                    return
                receiver.bodies.append(json.loads(body))
                self.send_response(200)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.server.daemon_threads = True
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    @property
    def url(self):
        return f"http://127.0.0.1:{self.port}"

    def close(self):
        self.released.set()
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(30)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()


@contextlib.contextmanager
def down():
    """A port of 127.0.0.1 that refuses connections: bound (so no one else
    takes it meanwhile) and not listening."""
    with socket.socket() as bound:
        bound.bind(("127.0.0.1", 0))
        yield bound.getsockname()[1]
