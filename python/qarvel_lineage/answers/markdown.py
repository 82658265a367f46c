"""The differences between two versions as a pull request's comment
(GitHub-flavoured Markdown): a summary line, breaking first, then tables
of what breaks, of the changed columns and of the downstream columns and
exposures affected, each capped with "and N more".

Every value shown (names, types, expressions, reasons) comes from the
compared projects, so the template writes each one through ``_code``: a
code span, on one line, with its pipes escaped for the table and a fence
longer than any run of backticks in it; nothing of it is read as Markdown
or HTML.  Numbers are written as they are.
"""

from __future__ import annotations

import re
from functools import lru_cache
from typing import Any

from qarvel_lineage.answers.kinds import CHANGE_WORDS, ChangesAnswer, group_changes

__all__ = ["changes_markdown"]

ROWS_SHOWN = 25
_LONGEST = 120
_BACKTICKS = re.compile(r"`+")

_TEMPLATE = """\
<!-- sqlglot-main diff -->
{% if not total %}
**Lineage:** no column changed.
{% else %}
{% if summary.models_breaking or summary.exposures_breaking %}
**Breaking: {{ summary.models_breaking }} model{% if summary.models_breaking != 1 %}s{% endif %} \
and {{ summary.exposures_breaking }} exposure{% if summary.exposures_breaking != 1 %}s{% endif %} \
will fail.** \
{% endif %}
**{{ summary.models_changed }} model{% if summary.models_changed != 1 %}s{% endif %} changed; \
{{ summary.models_affected }} downstream model{% if summary.models_affected != 1 %}s{% endif %} \
and {{ summary.exposures_affected }} exposure{% if summary.exposures_affected != 1 %}s{% endif %} \
affected.**
{% if breaking %}

#### Breaking

| Model or exposure | Columns | Because | Depth |
|---|---|---|---|
{% for row in breaking %}
| {{ row.name }} | {{ row.columns }} | {{ row.because }} | {{ row.depth }} |
{% endfor %}
{% if breaking_more %}

…and {{ breaking_more }} more
{% endif %}
{% endif %}
{% if changes %}

#### Changed columns

| Column | Change | Before | After |
|---|---|---|---|
{% for row in changes %}
| {{ row.column }} | {{ row.change }} | {{ row.old }} | {{ row.new }} |
{% endfor %}
{% if changes_more %}

…and {{ changes_more }} more
{% endif %}
{% endif %}
{% if affected %}

#### Affected downstream

| Column | Severity | Because | Via | Depth |
|---|---|---|---|---|
{% for row in affected %}
| {{ row.column }} | {{ row.severity }} | {{ row.because }} | {{ row.via }} | {{ row.depth }} |
{% endfor %}
{% if affected_more %}

…and {{ affected_more }} more
{% endif %}
{% endif %}
{% if edges %}

{{ edges }} lineage edge{% if edges != 1 %}s{% endif %} changed; `--format jsonl` lists them.
{% endif %}
{% endif %}
"""


def _code(value: Any) -> str:
    """A value as a code span on one line (empty for None)."""
    if value is None or value == "":
        return ""
    if isinstance(value, int) and not isinstance(value, bool):
        return str(value)
    text = " ".join(str(value).split())
    if len(text) > _LONGEST:
        text = text[:_LONGEST - 1] + "…"
    text = text.replace("\\", "\\\\").replace("|", "\\|")
    fence = "`" * (max((len(run) for run in _BACKTICKS.findall(text)), default=0) + 1)
    pad = " " if text.startswith("`") or text.endswith("`") else ""
    return f"{fence}{pad}{text}{pad}{fence}"


@lru_cache(maxsize=1)
def _template() -> Any:
    import jinja2

    environment = jinja2.Environment(autoescape=False, finalize=_code, trim_blocks=True,
                                     lstrip_blocks=True, keep_trailing_newline=True,
                                     undefined=jinja2.StrictUndefined)
    return environment.from_string(_TEMPLATE)


def _word(row: dict[str, Any]) -> str:
    word = CHANGE_WORDS[row["change"]]
    if row["change"] == "rows_changed":
        return f"{word} ({row['count']} column{'s' if row['count'] != 1 else ''})"
    return word


def _capped(items: list[Any], limit: int) -> tuple[list[Any], int]:
    if not limit or len(items) <= limit:
        return items, 0
    return items[:limit], len(items) - limit


def changes_markdown(answer: ChangesAnswer, limit: int | None = None) -> str:
    limit = ROWS_SHOWN if limit is None else limit
    rows = answer.rows
    impacted = [row for row in rows if row["change"] == "impacted"]
    failing: dict[str, dict[str, Any]] = {}
    for row in impacted:
        if row["severity"] != "breaking":
            continue
        entry = failing.get(row["model"])
        if entry is None:
            name = row["column"] if row["column"].startswith("exposure.") \
                else row["column"].rsplit(".", 1)[0]
            failing[row["model"]] = {"name": name, "columns": 1, "because": row["because"],
                                     "depth": row["depth"]}
        else:
            entry["columns"] += 1
    for entry in failing.values():
        if entry["name"].startswith("exposure."):
            entry["columns"] = None
    changes = [{"column": row["column"], "change": _word(row),
                "old": row["old"] if row["change"] != "failed" else None,
                "new": row["new"] if row["change"] != "failed" else row["reason"]}
               for row in group_changes(rows)]
    affected = [row for row in impacted if row["severity"] != "breaking"]
    edges = sum(1 for row in rows if row["change"] in ("added", "removed", "changed",
                                                        "unresolved", "resolved"))
    breaking, breaking_more = _capped(list(failing.values()), limit)
    shown_changes, changes_more = _capped(changes, limit)
    shown_affected, affected_more = _capped(affected, limit)
    summary = answer.summary or {"models_changed": 0, "models_affected": 0,
                                 "exposures_affected": 0, "models_breaking": 0,
                                 "exposures_breaking": 0}
    return _template().render(
        total=len(rows), summary=summary, breaking=breaking, breaking_more=breaking_more,
        changes=shown_changes, changes_more=changes_more, affected=shown_affected,
        affected_more=affected_more, edges=edges)
