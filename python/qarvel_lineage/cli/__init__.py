"""The command line ``sqlglot-main``: options, modes, inputs, session and output formats."""

from __future__ import annotations

from qarvel_lineage.cli.main import main, main_entry

__all__ = ["main", "main_entry"]
