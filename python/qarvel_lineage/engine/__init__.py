"""The engine: its native core ``_engine`` and its Python side (rules, parsing, results, scripts)."""
