"""Control flow in a script.

The statements inside T-SQL's ``BEGIN TRY ... END TRY BEGIN CATCH ... END
CATCH``, ``WHILE cond BEGIN ... END``, ``IF cond ... ELSE ...``, and the
``IF cond THEN ... END IF``, ``WHILE cond DO ... END WHILE``, ``LOOP ... END
LOOP``, ``FOR x IN (...) LOOP|DO``, ``BEGIN ... EXCEPTION WHEN ... THEN ...
END`` of Oracle's and BigQuery's bodies are statements of the script.
``Blocks.unwrap`` cuts a piece of a script (the text between two
semicolons) at those keywords, and gives each statement the conditions of
the IF, WHILE and FOR blocks around it: what decides whether it runs.
A piece that does not start with a control-flow keyword is left whole.
"""

from __future__ import annotations

import re

from typing import NamedTuple

__all__ = ["Blocks"]

_START = re.compile(r"\s*(?:BEGIN|END|IF|WHILE|ELSE|ELSIF|ELSEIF|LOOP|FOR|EXCEPTION)\b", re.IGNORECASE)
_NOT_A_BLOCK = {"TRAN", "TRANSACTION", "DISTRIBUTED", "WORK"}   # BEGIN TRANSACTION is a statement
_CLOSES = {"TRY", "CATCH", "IF", "WHILE", "LOOP", "FOR"}        # END TRY, END IF...
_OPENS_BODY = {"BEGIN", "THEN", "DO", "LOOP"}
# Words, strings, quoted names and comments (skipped), and single characters.
_TOKEN = re.compile(r"""(?P<skip>--[^\n]*|/\*.*?(?:\*/|\Z)|\s+)|'(?:[^']|'')*(?:'|\Z)|"(?:[^"]|"")*(?:"|\Z)"""
                    r"""|`[^`]*(?:`|\Z)|\[[^\]]*(?:\]|\Z)|[\w@#$]+|.""", re.DOTALL)


class _Token(NamedTuple):
    text: str
    start: int


def _tokens(text: str) -> list[_Token]:
    return [_Token(m.group(), m.start()) for m in _TOKEN.finditer(text) if m.lastgroup != "skip"]


_STATEMENT = {"INSERT", "UPDATE", "DELETE", "MERGE", "SELECT", "WITH", "SET", "EXEC", "EXECUTE", "TRUNCATE",
              "CREATE", "DROP", "ALTER", "PRINT", "RETURN", "BREAK", "CONTINUE", "RAISERROR", "THROW", "DECLARE",
              "REPLACE", "UPSERT", "CALL"}


def _nesting(word: str) -> int:
    return 1 if word == "(" else -1 if word == ")" else 0


class Blocks:
    """The blocks open so far in a script: each with the condition (text)
    that decides whether its statements run, or None."""

    def __init__(self):
        self.open: list[str | None] = []
        self.last: str | None = None   # the condition of the block that closed last (for ELSE)

    def unwrap(self, text: str, line: int) -> list[tuple[str, int, tuple[str, ...]]]:
        """The statements of one piece as (text, line, conditions)."""
        if not _START.match(text) and not self.open:
            return [(text, line, ())]
        return _Cutter(self, text, line, _tokens(text)).run()


class _Cutter:
    """One pass over the tokens of a piece (bounded by their number)."""

    def __init__(self, blocks: Blocks, text: str, line: int, tokens: list):
        self.blocks, self.text, self.line, self.tokens = blocks, text, line, tokens
        self.found: list[tuple[str, int, tuple[str, ...]]] = []
        self.start: int | None = None     # where the statement under way starts
        self.single: str | None = None    # IF cond statement (no block): its condition
        self.pending: str | None = None   # a condition waiting for its BEGIN
        self.next_index = 0               # where control() goes on

    def word(self, i: int) -> str:
        return self.tokens[i].text.upper() if i < len(self.tokens) else ""

    def end_statement(self, end: int) -> None:
        if self.start is not None:
            piece = self.text[self.start:end].strip()
            if piece:
                conditions = tuple(c for c in (*self.blocks.open, self.single) if c)
                self.found.append((piece, self.line + self.text.count("\n", 0, self.start), conditions))
            if self.single:
                self.blocks.last = self.single
            self.single = None
        self.start = None

    def condition(self, i: int) -> tuple[str, int]:
        """The condition from token i on, up to the word that opens its body
        or starts its statement, and the index of that word."""
        depth, j = 0, i
        while j < len(self.tokens):
            w = self.word(j)
            depth += _nesting(w)
            if depth <= 0 and j > i and (w in _OPENS_BODY or w in _STATEMENT):
                break
            j += 1
        end = self.tokens[j].start if j < len(self.tokens) else len(self.text)
        return self.text[self.tokens[i].start:end].strip(), j

    def run(self) -> list[tuple[str, int, tuple[str, ...]]]:
        depth = cases = i = 0
        while i < len(self.tokens):
            w = self.word(i)
            at_boundary = depth == 0 and cases == 0
            if at_boundary and self.control(i, w):
                i = self.next_index
                continue
            if self.start is None:
                self.start = self.tokens[i].start
            depth += _nesting(w)
            if w == "CASE":
                cases += 1
            elif w == "END" and cases > 0:
                cases -= 1
            i += 1
        self.end_statement(len(self.text))
        return self.found

    def control(self, i: int, w: str) -> bool:
        """Handle a control-flow word at token i; False when it is none."""
        blocks = self.blocks
        nxt = self.word(i + 1)
        # A lone BEGIN (PostgreSQL's BEGIN;) starts a transaction.
        if w == "BEGIN" and nxt not in _NOT_A_BLOCK and nxt and self.start is None:
            blocks.open.append(self.pending)
            self.pending = None
            self.next_index = i + (2 if nxt in ("TRY", "CATCH") else 1)
            return True
        # A lone END with no block open (PostgreSQL's END; commits) is a statement.
        if w == "END" and (blocks.open or nxt):
            self.end_statement(self.tokens[i].start)
            blocks.last = blocks.open.pop() if blocks.open else None
            self.next_index = i + (2 if nxt in _CLOSES else 1)
            return True
        if w == "ELSE":
            self.end_statement(self.tokens[i].start)
            if nxt == "BEGIN":
                self.pending = blocks.last
            else:
                self.single = blocks.last
            self.next_index = i + 1
            return True
        if w in ("IF", "WHILE", "FOR", "ELSIF", "ELSEIF") and self.start is None:
            if w in ("ELSIF", "ELSEIF") and blocks.open:
                blocks.open.pop()
            text, j = self.condition(i + 1)
            opens = self.word(j) in _OPENS_BODY
            if opens and self.word(j) != "BEGIN":
                blocks.open.append(text)
                j += 1
            elif opens:
                self.pending = text
            else:
                self.single = text
            self.next_index = j
            return True
        if w in ("LOOP", "THEN") and self.start is None:
            blocks.open.append(None)
            self.next_index = i + 1
            return True
        if w == "EXCEPTION" and nxt == "WHEN":
            self.end_statement(self.tokens[i].start)
            _, j = self.condition(i + 2)
            self.next_index = j + (1 if self.word(j) == "THEN" else 0)
            return True
        return False
