"""How the lineage graph shows a column or a table, and how it finds one
from what a user typed.

A column is its parts (catalog, db, table, column; catalog and db may be
missing).  It is shown as its parts joined by dots, a part that holds a
dot or a double quote in double quotes (``s.t."a.b"``), so two columns never
share a name because of a dot.  A user may type the shown name or the
parts joined plainly (``s.t.a.b``), in full or by their last parts, in any
case: both are kept case-folded (``str.casefold``) and reversed, so the
last parts of a name are an indexed prefix of the stored text.
"""

from __future__ import annotations

from typing import Sequence

__all__ = ["quoted", "shown", "parts", "plain", "folded", "prefix_range"]

Parts = Sequence["str | None"]


def quoted(part: str) -> str:
    """A part as shown: in double quotes when it holds a dot or a quote, or is empty."""
    if part and "." not in part and '"' not in part:
        return part
    return '"' + part.replace('"', '""') + '"'


def shown(parts: Parts) -> str:
    """Parts (missing ones left out) as shown, each quoted as it needs."""
    return ".".join(quoted(part) for part in parts if part is not None and part != "")


def parts(text: str) -> list[str]:
    """The parts of a shown name, the inverse of ``shown``: split at the
    dots outside double quotes, each quoted part unquoted."""
    found: list[str] = []
    part: list[str] = []
    at, quoting = 0, False
    while at < len(text):
        char = text[at]
        if quoting:
            if char == '"' and text[at + 1:at + 2] == '"':
                part.append('"')
                at += 1
            elif char == '"':
                quoting = False
            else:
                part.append(char)
        elif char == '"':
            quoting = True
        elif char == ".":
            found.append("".join(part))
            part = []
        else:
            part.append(char)
        at += 1
    found.append("".join(part))
    return found


def plain(parts: Parts) -> str:
    """Parts joined by dots as they are, the way users often type them."""
    return ".".join(part for part in parts if part is not None and part != "")


def folded(text: str) -> str:
    """Text as it is stored for look-ups: case-folded for every script, reversed."""
    return text.casefold()[::-1]


def prefix_range(text: str) -> tuple[str, str]:
    """The bounds of every stored (folded, reversed) name that ends with
    ``.text``: they all start with the reversed ``.text``, which ends with
    a dot, so the next character after the dot bounds them."""
    start = folded("." + text)
    return start, start[:-1] + chr(ord(".") + 1)
