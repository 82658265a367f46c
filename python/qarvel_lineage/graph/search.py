"""Finding tables and columns of the stored graph from a few typed letters,
best first.

A name that matches whole (as shown or with its parts joined plainly, in
any case) comes first, then names whose last parts match (``amount`` for
``raw.orders.amount``), then names where the text starts a part, then
names that hold it anywhere.  Within one of these, columns and tables that
nothing feeds (sources, seeds, raw data) come before those computed from
them, then shorter names, then names in order.  Every name is kept
case-folded and reversed (graph.names), so a text is looked for reversed
too: a name ends with ``.text`` when its reversed form starts with it.
"""

from __future__ import annotations

import sqlite3
from typing import NamedTuple

from qarvel_lineage.graph import names

__all__ = ["Match", "search"]

WHOLE, LAST_PARTS, PART_START, ANYWHERE = "whole", "last parts", "part start", "anywhere"
_TIERS = (WHOLE, LAST_PARTS, PART_START, ANYWHERE)

_QUERIES = {
    "column": ("select n.shown, t.shown, n.rshown, n.rplain, "
               "not exists (select 1 from edges e where e.dst = n.id) "
               "from nodes n join tables t on t.id = n.tbl "
               "where instr(n.rshown, ?) > 0 or instr(n.rplain, ?) > 0"),
    "table": ("select t.shown, t.shown, t.rshown, t.rplain, "
              "not exists (select 1 from nodes n join edges e on e.dst = n.id "
              "where n.tbl = t.id) "
              "from tables t where instr(t.rshown, ?) > 0 or instr(t.rplain, ?) > 0"),
}


class Match(NamedTuple):
    """A table or column that matches: ``name`` as shown, ``kind``
    ("table" or "column"), ``table`` (the column's table, or the table
    itself), ``match`` (how: "whole", "last parts", "part start",
    "anywhere") and ``source`` (nothing in the graph feeds it)."""

    name: str
    kind: str
    table: str
    match: str
    source: bool


def _tier(stored: str, wanted: str) -> int:
    """How a stored (folded, reversed) name holds the folded, reversed text."""
    if stored == wanted:
        return 0
    if stored.startswith(wanted + "."):
        return 1
    at = stored.find(wanted)
    while at >= 0:
        if at + len(wanted) == len(stored) or stored[at + len(wanted)] == ".":
            return 2
        at = stored.find(wanted, at + 1)
    return 3


def search(db: sqlite3.Connection, text: str, limit: int) -> tuple[list[Match], int]:
    """The best ``limit`` matches of ``text`` and how many there are in all."""
    wanted = names.folded(text.strip())
    if not wanted:
        return [], 0
    ranked = []
    for kind, query in _QUERIES.items():
        for shown, table, rshown, rplain, source in db.execute(query, (wanted, wanted)):
            tier = min(_tier(rshown, wanted), _tier(rplain, wanted))
            ranked.append(((tier, not source, len(shown), shown, kind),
                           Match(shown, kind, table, _TIERS[tier], bool(source))))
    ranked.sort(key=lambda item: item[0])
    return [match for _, match in ranked[:limit]], len(ranked)
