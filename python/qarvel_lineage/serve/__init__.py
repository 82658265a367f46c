"""The stored lineage graph served: ``sqlglot-main serve`` (a read-only web
server: the explorer page and a JSON API, ``app.py``, ``server.py``,
``api.py``) and ``sqlglot-main mcp`` (tools for agents over the Model
Context Protocol, ``agent.py``)."""
