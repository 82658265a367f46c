"""The native core of qarvel_lineage (see qarvel_lineage/__init__.py)."""

from typing import Any

from qarvel_lineage.engine.records import EngineResult
from qarvel_lineage.engine.rules import EngineRules, SchemaIndex

# The names of the normalisation strategies, in the numbering rules use.
STRATEGIES: tuple[str, ...]
# The classes of sqlglot's trees that are statements.
STATEMENT_CLASSES: tuple[type, ...]
# For each class of node the engine walks, each args key: (use, words), use
# "read", "no lineage" (words: why) or "not traced" (words: the construct).
CLAUSES: dict[str, dict[str, tuple[str, str]]]

def configure(table_type: type, source_type: type, unresolved_type: type, column_type: type,
              result_type: type, index_type: type, /) -> None: ...
# The package registers EngineResult and SchemaIndex as the result and index types.
def analyze(tree: Any, rules: EngineRules, index: SchemaIndex | None, /) -> EngineResult: ...
# (True, the template's 128-bit hash), (False, the exact text's hash), or
# (False, the text itself) when it has no UTF-8 form.
def fingerprint(text: str, lexicon: tuple[Any, ...], /) -> tuple[bool, int | str]: ...
def literals(text: str, lexicon: tuple[Any, ...], /) -> tuple[str, ...] | None: ...
# (certain, the (start, end) code point offsets of each statement of a script).
def split(text: str, lexicon: tuple[Any, ...], /) -> tuple[bool, tuple[tuple[int, int], ...]]: ...
