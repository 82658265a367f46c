"""The lineage of statements held in Dask collections (Dask is optional:
``pip install 'sqlglot-main[dask]'``).

    import dask.bag as db
    from qarvel_lineage.dask import lineage_bag
    rows = lineage_bag(db.from_sequence(statements, npartitions=8)).compute()

For a Dask DataFrame of statements, ``partition_lineage`` serves
``map_partitions`` directly:

    from qarvel_lineage import partition_lineage, lineage_meta
    frame.map_partitions(partition_lineage, meta=lineage_meta(frame._meta))
"""

from __future__ import annotations

from typing import Any, Iterable

from qarvel_lineage.batch.analyzer import Analyzer, error_row, frame_rows

__all__ = ["lineage_bag", "bag_partition_rows"]


def bag_partition_rows(statements: Iterable[Any], dialect: Any = None,
                       schema: Any = None) -> list[dict[str, Any]]:
    """The flat rows of one partition's statements, each with its "sql"."""
    analyzer = Analyzer(dialect, schema)
    rows: list[dict[str, Any]] = []
    for text in statements:
        if not isinstance(text, str):
            made = [error_row(TypeError(f"sql must be a str, not {type(text).__name__}"), 1)]
        else:
            made = frame_rows(analyzer, text)
        rows.extend({"sql": text, **row} for row in made)
    return rows


def lineage_bag(bag, dialect: Any = None, schema: Any = None):
    """A Dask bag of statement texts mapped to a bag of flat row dicts
    ("sql", "statement", then the keys of ``LineageResult.to_dicts`` with the
    target keys); a statement that fails gives one row of type "ERROR"."""
    return bag.map_partitions(bag_partition_rows, dialect=dialect, schema=schema)
