"""The command line's usage error: a combination of options or a named
path that cannot work, reported in one line with exit status 2."""

from __future__ import annotations

__all__ = ["UsageError"]


class UsageError(Exception):
    """What the command was asked cannot be done; the message is one line."""
