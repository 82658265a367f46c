"""The table form (``--format table``, the default) of every answer: each
statement's columns and their sources, a walk's leaf columns (or its
chains), the tables by role, and the differences between two versions."""

from __future__ import annotations

import io
from typing import Any

from qarvel_lineage.answers.kinds import (
    CHANGE_WORDS,
    ChangesAnswer,
    EdgesAnswer,
    ImpactAnswer,
    PathsAnswer,
    TablesAnswer,
    chains,
    group_changes,
    leaves,
)

__all__ = ["statement_tables", "edges_text", "impact_text", "paths_text", "paths_cap",
           "tables_text", "changes_text", "summary_text", "LEAVES_SHOWN", "CHAINS_SHOWN",
           "PATHS_SHOWN", "PATHS_SEARCHED", "TABLES_SHOWN"]

# What the table form shows of a walk, and of each role of a summary,
# unless --limit says otherwise.
LEAVES_SHOWN = 25
CHAINS_SHOWN = 10
# Paths from one column to another: most looked for, in the table form and in the others.
PATHS_SHOWN = 10
PATHS_SEARCHED = 1000
TABLES_SHOWN = 25


def _source_text(row: dict[str, Any]) -> str:
    if row["type"] == "UNRESOLVED":
        return ".".join(p for p in (row["source_table"], row["source_column"]) if p) or "?"
    parts = (row["source_catalog"], row["source_db"], row["source_table"], row["source_column"])
    return ".".join(p for p in parts if p)


def statement_tables(name: str, rows: list[dict[str, Any]], width: int) -> str:
    """A block per input: one line per output column with its direct,
    indirect and unresolved sources; influences shared by every column of a
    statement are listed once under it; long texts wrap, so wide results
    stay readable in a terminal."""
    from prettytable import PrettyTable

    if not rows:
        return ""
    out = io.StringIO()
    out.write(f"-- {name}\n")
    statements: dict[int, dict[int, list[dict[str, Any]]]] = {}
    for row in rows:
        statements.setdefault(row["statement"], {}).setdefault(row["position"], []).append(row)
    for statement, columns in statements.items():
        if len(statements) > 1:
            out.write(f"statement {statement}\n")
        if all(r["type"] is None for found in columns.values() for r in found):
            # A procedure or trigger: the statements of its body.
            out.write("".join(f"{r['reason']}\n" for found in columns.values() for r in found))
            continue
        indirect_sets = [{_source_text(r) + f" ({r['subtype']})" for r in found
                          if r["type"] == "INDIRECT"} for found in columns.values()]
        common = set.intersection(*indirect_sets) if indirect_sets else set()
        first = next(iter(columns.values()))[0]
        target = ".".join(p for p in (first["target_catalog"], first["target_db"],
                                      first["target_table"]) if p)
        table = PrettyTable()
        table.field_names = ["pos", "column", "direct", "indirect", "unresolved"]
        table.align = "l"
        budget = max(16, (width - 24) // 3)
        table.max_width = {"column": max(10, budget // 2), "direct": budget,
                           "indirect": budget, "unresolved": budget}
        for position, found in columns.items():
            direct = [_source_text(r) + f" ({r['subtype']})" for r in found
                      if r["type"] == "DIRECT" and r["subtype"] != "CONSTANT"]
            if any(r["subtype"] == "CONSTANT" for r in found):
                direct = ["(constant)"]
            indirect = [t for t in dict.fromkeys(_source_text(r) + f" ({r['subtype']})"
                                                 for r in found if r["type"] == "INDIRECT")
                        if t not in common]
            unresolved = [f"{_source_text(r)}: {r['reason']}" for r in found
                          if r["type"] == "UNRESOLVED"]
            table.add_row([position, found[0]["column"], "\n".join(direct),
                           "\n".join(indirect), "\n".join(unresolved)])
        if target:
            out.write(f"writes {target}\n")
        out.write(table.get_string() + "\n")
        if common:
            out.write("every column also depends on: " + ", ".join(sorted(common)) + "\n")
    return out.getvalue()


def _plural(count: int, word: str) -> str:
    return f"{count:,} {word}{'' if count == 1 else 's'}"


def _leaf_lines(title: str, found: list, limit: int, wide: int) -> list[str]:
    if not found:
        return []
    lines = [f"{title} ({len(found):,}):"]
    shown = found if not limit else found[:limit]
    for leaf in shown:
        edge = leaf.edge
        lines.append(f"  {leaf.column:<{wide}}  {_plural(leaf.hops, 'hop')}, "
                     f"nearest: {edge.type} {edge.subtype} in {edge.statement}")
    if len(found) > len(shown):
        lines.append(f"  ... {len(found) - len(shown):,} more {title.split()[0]} columns; "
                     f"--limit 0 lists them all")
    return lines


def edges_text(answer: EdgesAnswer, show_chains: bool, limit: int | None) -> str:
    """The columns where the walk ends, DIRECT ones first (with --chains:
    each chain), every cap said with what it left out."""
    way, start = answer.way, answer.start
    if not answer.edges:
        return f"{start}: nothing {way}\n"
    if show_chains:
        cap = CHAINS_SHOWN if limit is None else limit
        shown, total, more = chains(answer, cap)
        lines = list(shown)
        if total > len(shown):
            lines.append(f"... {'more than ' if more else ''}{total - len(shown):,} more chains; "
                         "--limit 0 shows every chain, --format jsonl writes every edge")
        return "\n".join(lines) + "\n"
    cap = LEAVES_SHOWN if limit is None else limit
    direct, indirect, reached = leaves(answer)
    ends = "sources" if way == "upstream" else "columns fed"
    bound = f" within {_plural(answer.depth, 'hop')}" if answer.depth else ""
    head = (f"{way} of {start}{bound}: {_plural(reached, 'column')} over "
            f"{_plural(len(answer.edges), 'edge')}"
            f"{', DIRECT edges only' if answer.direct_only else ''}; the {ends} where it ends:")
    lines = [head]
    wide = max((len(leaf.column) for leaf in (direct[:cap or None] + indirect[:cap or None])),
               default=0)
    lines += _leaf_lines("DIRECT", direct, cap, wide)
    lines += _leaf_lines("INDIRECT only", indirect, cap, wide)
    lines.append("--chains shows each chain; --format jsonl writes every edge")
    return "\n".join(lines) + "\n"


def impact_text(answer: ImpactAnswer, limit: int | None) -> str:
    """Each column below the start, nearest first, with a shortest path."""
    start = answer.start
    if not answer.reached:
        return f"{start}: nothing downstream\n"
    cap = LEAVES_SHOWN if limit is None else limit
    found = sorted(answer.reached.items(), key=lambda item: (len(item[1]), item[0]))
    shown = found if not cap else found[:cap]
    lines = [f"impact of {start}: {_plural(len(found), 'column')}"
             f"{', DIRECT edges only' if answer.direct_only else ''}, each by a shortest path:"]
    for column, path in shown:
        steps = " -> ".join(f"{edge.target} ({edge.subtype}, {edge.statement})" for edge in path)
        lines.append(f"  {column}: {_plural(len(path), 'hop')}: {start} -> {steps}")
    if len(found) > len(shown):
        lines.append(f"... {len(found) - len(shown):,} more columns; --limit 0 lists them all, "
                     "--format jsonl writes every path")
    return "\n".join(lines) + "\n"


def paths_text(answer: PathsAnswer) -> str:
    """Each path from the start to the end, shortest first."""
    start, end = answer.start, answer.end
    if not answer.paths:
        return f"no path from {start} to {end}\n"
    lines = [f"paths from {start} to {end}: {_plural(len(answer.paths), 'path')}"
             f"{', DIRECT edges only' if answer.direct_only else ''}"]
    for path in answer.paths:
        lines.append(start + "".join(f" -> {edge.target} ({edge.subtype}, {edge.statement})"
                                     for edge in path))
    if not answer.complete:
        lines.append(paths_cap(answer))
    return "\n".join(lines) + "\n"


def paths_cap(answer: PathsAnswer) -> str:
    """The line that says a search of paths stopped at its limit."""
    return (f"... the first {_plural(answer.limit, 'path')} (the shortest); there are more: "
            f"--limit {answer.limit * 10:,} shows more")


def tables_text(answer: TablesAnswer, limit: int | None = None) -> str:
    """Each role with its count, then its tables one a line, each with how
    many tables it reads and feeds; at most ``limit`` (default
    TABLES_SHOWN, 0: all) a role, the cap saying what it left out."""
    cap = TABLES_SHOWN if limit is None else limit
    reads: dict[str, int] = {}
    feeds: dict[str, int] = {}
    for source, target in set(answer.links):
        feeds[source] = feeds.get(source, 0) + 1
        reads[target] = reads.get(target, 0) + 1
    lines = []
    for role, tables in answer.roles.items():
        lines.append(f"{role} ({len(tables):,}):")
        shown = tables[:cap] if cap else tables
        wide = max((len(table) for table in shown), default=0)
        for table in shown:
            counts = [f"{verb} {_plural(found, 'table')}" for verb, found in (
                ("reads", reads.get(table, 0)), ("feeds", feeds.get(table, 0))) if found]
            lines.append(f"  {table:<{wide}}  {', '.join(counts)}".rstrip())
        if len(tables) > len(shown):
            lines.append(f"  ... {len(tables) - len(shown):,} more {role}; --limit 0 lists "
                         "them all")
    return "\n".join(lines) + "\n"


def _short(text: str | None, width: int = 60) -> str:
    text = " ".join((text or "").split())
    return text if len(text) <= width else text[:width - 3] + "..."


def summary_text(summary: dict[str, int]) -> str:
    """N models changed; M downstream models and K exposures affected
    (what breaks first)."""
    line = (f"{_plural(summary['models_changed'], 'model')} changed; "
            f"{_plural(summary['models_affected'], 'downstream model')} and "
            f"{_plural(summary['exposures_affected'], 'exposure')} affected")
    if summary["models_breaking"] or summary["exposures_breaking"]:
        line = (f"breaking: {_plural(summary['models_breaking'], 'model')} and "
                f"{_plural(summary['exposures_breaking'], 'exposure')} will fail; " + line)
    return line


def _change_line(row: dict[str, Any]) -> str:
    change, column = row["change"], row["column"]
    breaking = " (breaking: still read)" if row["severity"] == "breaking" else ""
    if change == "column_added":
        return f"+ {column}: added"
    if change == "column_removed":
        return f"- {column}: removed{breaking}"
    if change == "column_renamed":
        return f"~ {column}: renamed from {row['old']}{breaking}"
    if change == "failed":
        return f"! {column}: fails ({row['reason']})"
    if change == "rows_changed":
        why = f"; {row['reason']}" if row["reason"] else ""
        return f"~ {column}: rows changed ({_plural(row['count'], 'column')}{why})"
    word = CHANGE_WORDS[change]
    return f"~ {column}: {word}: {_short(row['old'])} -> {_short(row['new'])}"


def changes_text(answer: ChangesAnswer, limit: int | None = None) -> str:
    """The summary, each changed column (a unit's rows change once), each
    changed edge, then the impacted columns, breaking first (``limit`` of
    them; 0: every one)."""
    if not answer.rows:
        return "no lineage changed\n"
    lines = []
    grouped = group_changes(answer.rows)
    impacted = [row for row in answer.rows if row["change"] == "impacted"]
    if answer.summary is not None and (grouped or impacted):
        lines.append(summary_text(answer.summary))
    lines.extend(_change_line(row) for row in grouped)
    for row in answer.rows:
        change = row["change"]
        if change in ("unresolved", "resolved"):
            why = f" ({row['reason']})" if row["reason"] else ""
            lines.append(f"~ {row['target']}: now {change}{why}")
            continue
        if change not in ("added", "removed", "changed"):
            continue
        subtype = {"added": row["new_subtype"], "removed": row["old_subtype"]}.get(
            change, f"{row['old_subtype']} -> {row['new_subtype']}")
        mark = {"added": "+", "removed": "-", "changed": "~"}[change]
        lines.append(f"{mark} {row['source']} -> {row['target']} ({row['type']} {subtype})")
    if impacted:
        cap = LEAVES_SHOWN if limit is None else limit
        shown = impacted[:cap] if cap else impacted
        lines.append(f"impacted ({_plural(len(impacted), 'column')}, breaking first):")
        wide = max(len(row["column"]) for row in shown)
        for row in shown:
            lines.append(f"  {row['severity']:<8}  {row['column']:<{wide}}  depth {row['depth']}, "
                         f"because {row['because']}")
        if len(impacted) > len(shown):
            lines.append(f"  ... {len(impacted) - len(shown):,} more; --limit 0 shows every one, "
                         "--format jsonl writes every row")
    return "\n".join(lines) + "\n"
