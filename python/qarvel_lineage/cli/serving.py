"""``sqlglot-main serve GRAPH`` and ``sqlglot-main mcp GRAPH``: a stored
graph served to a browser and to agents (the serve/ folder does the work)."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

from qarvel_lineage.cli.errors import UsageError

__all__ = ["COMMANDS", "add_parsers", "run"]

COMMANDS = ("serve", "mcp")


def _port(text: str) -> int:
    if not (text.isascii() and text.isdigit()) or int(text) > 65535:
        raise argparse.ArgumentTypeError(f"not a port: {text!r} (0 to 65535; 0 picks a free one)")
    return int(text)


def add_parsers(commands: Any) -> None:
    serve = commands.add_parser(
        "serve", prog="sqlglot-main serve",
        help="a read-only local web server over a stored graph: the explorer and a JSON API",
        description="Serve a lineage graph file (made with --graph) read-only: the explorer "
                    "page at / and the JSON API under /api/ (search, upstream, downstream, "
                    "impact, paths, column).  The first line written is the URL; SIGINT or "
                    "SIGTERM stops it.")
    serve.add_argument("graph", help="a lineage graph file (sqlglot-main ... --graph FILE)")
    serve.add_argument("--host", default="127.0.0.1",
                       help="the address to listen on (default: 127.0.0.1, this machine only)")
    serve.add_argument("--port", type=_port, default=8765,
                       help="the port (default: 8765; 0 picks a free one)")
    serve.set_defaults(parser=serve)
    mcp = commands.add_parser(
        "mcp", prog="sqlglot-main mcp",
        help="the Model Context Protocol over standard input and output, for agents",
        description="Serve a lineage graph file read-only to an agent over the Model Context "
                    "Protocol (stdio): tools search, upstream, downstream, impact, paths and "
                    "explain.")
    mcp.add_argument("graph", help="a lineage graph file (sqlglot-main ... --graph FILE)")
    mcp.set_defaults(parser=mcp)


def _check_graph(path: str) -> None:
    from qarvel_lineage.graph import Graph, GraphError

    try:
        Graph.open(path, readonly=True).close()
    except (GraphError, OSError) as error:
        raise UsageError(str(error).splitlines()[0] if str(error) else repr(error)) from None


def _needs(*modules: str) -> None:
    import importlib

    for module in modules:
        try:
            importlib.import_module(module)
        except ImportError:
            raise UsageError(f"serving needs the 'serve' extra: pip install "
                             f"'sqlglot-main[serve]' ({module} is missing)") from None


def run(options: argparse.Namespace, stdout: TextIO, stderr: TextIO) -> int:
    _check_graph(options.graph)
    if options.command == "mcp":
        _needs("mcp")
        from qarvel_lineage.serve import agent

        try:
            agent.run(options.graph)
        except KeyboardInterrupt:
            return 130
        return 0
    _needs("starlette", "uvicorn")
    from qarvel_lineage.serve.server import serve

    try:
        return serve(options.graph, options.host, options.port, stdout, stderr)
    except OSError as error:
        where = f"{options.host}:{options.port}"
        print(f"sqlglot-main serve: cannot listen on {where}: "
              f"{error.strerror or str(error).splitlines()[0]}", file=stderr, flush=True)
        return 1
