"""The bodies of stored procedures and triggers in a script.

A script's splitter cuts ``CREATE PROCEDURE p AS BEGIN s1; s2; END`` at its
semicolons: the first piece holds the routine's header and ``s1``, the last
is a lone ``END``.  ``group_routines`` puts such pieces back together as one
routine whose body statements are analysed as statements of the script.
"""

from __future__ import annotations

import re
from typing import NamedTuple

__all__ = ["Routine", "group_routines"]

_HEADER = re.compile(r"\s*CREATE\s+(?:OR\s+(?:REPLACE|ALTER)\s+)?(?:DEFINER\s*=\s*\S+\s+)?"
                     r"(PROCEDURE|PROC|TRIGGER)\b", re.IGNORECASE)
_BEGIN = re.compile(r"\bBEGIN\b", re.IGNORECASE)
# The END that closes the body (END IF, END LOOP... close inner blocks).
_END = re.compile(r"\s*END(?:\s+(?!IF\b|LOOP\b|WHILE\b|CASE\b|REPEAT\b|FOR\b)[\w$\"`\[\]]+)?\s*$", re.IGNORECASE)
_OPENS = re.compile(r"\b(?:BEGIN|CASE)\b", re.IGNORECASE)
_ENDS = re.compile(r"\bEND\b", re.IGNORECASE)


class Routine(NamedTuple):
    """A procedure or trigger: its kind ("CREATE PROCEDURE"...), its text
    from CREATE to BEGIN, the line it starts on, and its body's statements
    as (text, line)."""

    kind: str
    header: str
    line: int
    body: tuple[tuple[str, int], ...]


def group_routines(pieces: list[tuple[str, int]]) -> list[tuple[str, int] | Routine]:
    """The pieces of a script, those of each routine with a BEGIN ... END
    body gathered into a Routine (a routine whose END never comes keeps
    its pieces: they are reported as they are)."""
    grouped: list[tuple[str, int] | Routine] = []
    i = 0
    while i < len(pieces):
        routine, used = _routine_at(pieces, i)
        if routine is None:
            grouped.append(pieces[i])
            i += 1
        else:
            grouped.append(routine)
            i += used
    return grouped


def _routine_at(pieces: list[tuple[str, int]], i: int) -> tuple[Routine | None, int]:
    text, line = pieces[i]
    header = _HEADER.match(text)
    begin = _BEGIN.search(text, header.end()) if header else None
    # A body in a string (Snowflake's AS $$ ... $$, AS '...') is not split
    # at its semicolons: the routine is left as it is.
    if begin is None or "$$" in text[:begin.start()] or text.count("'", 0, begin.start()) % 2:
        return None, 0
    kind = "CREATE " + ("PROCEDURE" if header.group(1).upper().startswith("PROC") else header.group(1).upper())
    first = text[begin.end():]
    lead = len(first) - len(first.lstrip())
    first_line = line + text.count("\n", 0, begin.end() + lead)
    # BEGIN s1 END in one piece: an END more than the blocks it opens.
    opened = len(_OPENS.findall(first))
    ends = list(_ENDS.finditer(first))
    closed = len(ends) > opened
    if closed:
        first = first[:ends[opened].start()]
    body: list[tuple[str, int]] = []
    if first.strip():
        body.append((first.strip(), first_line))
    used = 1
    while not closed:
        if i + used >= len(pieces):
            return None, 0
        piece, piece_line = pieces[i + used]
        used += 1
        if _END.fullmatch(piece):
            closed = True
        else:
            body.append((piece, piece_line))
    return Routine(kind, text[:begin.end()].strip(), line, tuple(body)), used
