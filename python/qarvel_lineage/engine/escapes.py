"""Text from strangers, made safe to show and to store.

Names come from file names, command-line arguments, manifests and SQL: a
file name or an argument that is not UTF-8 reaches Python with each odd
byte as a lone surrogate (U+DC80 to U+DCFF), and JSON may hold lone
surrogates too; neither can be written as UTF-8 or stored in SQLite.
Control characters in a message would forge lines on a terminal.  Each is
written as an escape instead: a byte that was not UTF-8 as ``\\xe9``, a
control character as ``\\n``, ``\\x1b``, other lone surrogates as
``\\ud800``.  Backslashes are left as they are, so escaping twice changes
nothing.
"""

from __future__ import annotations

import re

__all__ = ["one_line", "valid_text", "valid_json", "encoded"]

_SURROGATES = re.compile("[\ud800-\udfff]")
_UNSAFE = re.compile("[\x00-\x1f\x7f-\x9f\u2028\u2029\ud800-\udfff]")
_NAMED = {"\n": "\\n", "\r": "\\r", "\t": "\\t"}


def _escape(found: re.Match[str]) -> str:
    char = found.group()
    code = ord(char)
    if char in _NAMED:
        return _NAMED[char]
    if 0xDC80 <= code <= 0xDCFF:   # a byte that was not UTF-8 (surrogateescape)
        return f"\\x{code - 0xDC00:02x}"
    return f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}"


def one_line(text: str) -> str:
    """``text`` for a message: control characters, line separators and lone
    surrogates escaped, so it shows as what it is, on one line."""
    return _UNSAFE.sub(_escape, text)


def valid_text(text: str) -> str:
    """``text`` with its lone surrogates escaped: valid to encode as UTF-8."""
    return _SURROGATES.sub(_escape, text) if _SURROGATES.search(text) else text


def valid_json(text: str) -> str:
    """JSON text with the lone surrogates inside its strings escaped so the
    JSON reads back as the escape (its backslash escaped in turn)."""
    if not _SURROGATES.search(text):
        return text
    return _SURROGATES.sub(lambda found: "\\" + _escape(found), text)


def encoded(text: str, json: bool = False) -> bytes:
    """``text`` as UTF-8, lone surrogates escaped (for JSON, inside its strings)."""
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        return (valid_json(text) if json else valid_text(text)).encode("utf-8")
