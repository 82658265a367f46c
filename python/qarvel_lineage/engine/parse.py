"""Parsing a text into sqlglot's trees, and one tree into its lineage:
the steps every way in (a statement, a batch, a script, a dbt model) shares.
"""

from __future__ import annotations

from typing import Any

from sqlglot import exp
from sqlglot.errors import ParseError, TokenError
from sqlglot.tokens import TokenType

from qarvel_lineage.engine import _engine
from qarvel_lineage.engine.records import EngineResult, OutputColumn, Source, Table, Unresolved
from qarvel_lineage.engine.result import LineageResult
from qarvel_lineage.engine.rules import Rules, SchemaIndex, rules_for, schema_index

_engine.configure(Table, Source, Unresolved, OutputColumn, EngineResult, SchemaIndex)


# Deeper nesting is refused before sqlglot sees the text: its compiled
# parser recurses in C for each level of parentheses, brackets, braces and
# CASE ... END and overflows the stack (it crashed the interpreter at 5,000
# levels of each; 3,000 parse).  A caller may change the limit.
MAX_NESTING = 2500

_OPENING = frozenset({TokenType.L_PAREN, TokenType.L_BRACKET, TokenType.L_BRACE, TokenType.CASE})
_CLOSING = frozenset({TokenType.R_PAREN, TokenType.R_BRACKET, TokenType.R_BRACE, TokenType.END})


def _too_deep(sql: str, rules: Rules) -> bool:
    """Whether the text's tokens nest deeper than MAX_NESTING (strings,
    quoted names and comments do not count)."""
    limit = MAX_NESTING
    # Every level needs an opening character or a CASE: few of them, no look.
    if sql.count("(") + sql.count("[") + sql.count("{") + sql.lower().count("case") <= limit:
        return False
    try:
        tokens = rules.dialect.tokenize(sql)
    except Exception:
        return False  # the parser reports what the tokenizer could not read
    depth = 0
    for token in tokens:
        kind = token.token_type
        if kind in _OPENING:
            depth += 1
            if depth > limit:
                return True
        elif kind in _CLOSING and depth:
            depth -= 1
    return False


JINJA_MESSAGE = ("the text holds Jinja templating ({{ ... }} or {% ... %}), as a dbt model's "
                 "source does: compile the project first (dbt compile) and analyse the compiled "
                 "SQL, or read the whole project with qarvel_lineage.dbt.project_lineage")


def _holds_jinja(sql: str, rules: Rules) -> bool:
    """Whether the text has Jinja's {{ or {% outside strings and comments."""
    if "{{" not in sql and "{%" not in sql:
        return False
    try:
        tokens = rules.dialect.tokenize(sql)
    except Exception:
        return True  # text that does not even tokenize, with Jinja's marks in it
    for before, token in zip(tokens, tokens[1:]):
        if before.token_type == TokenType.BLOCK_START or (
                before.token_type == TokenType.L_BRACE and token.token_type == TokenType.L_BRACE
                and token.start == before.end + 1):
            return True
    return bool(tokens) and tokens[-1].token_type == TokenType.BLOCK_START


def parse(sql: str, rules: Rules) -> list:
    """The statements of ``sql`` parsed by sqlglot (empty ones dropped).

    A tokenizer failure is reported as sqlglot's ParseError, like any other
    text sqlglot cannot parse; so is a dbt model's Jinja source.
    """
    if _holds_jinja(sql, rules):
        raise ParseError(JINJA_MESSAGE)
    if _too_deep(sql, rules):
        raise ParseError(f"the text nests more than {MAX_NESTING} levels deep (parentheses, "
                         "brackets, braces and CASE count; qarvel_lineage.MAX_NESTING sets the limit)")
    try:
        trees = rules.dialect.parse(sql)
    except ParseError:
        raise
    except TokenError as error:
        raise ParseError(str(error)) from error
    except (KeyboardInterrupt, SystemExit, MemoryError):
        raise
    except Exception as error:
        # sqlglot's parser failing in its own code (a TypeError on some
        # texts, RecursionError on very deep ones) is text it cannot parse.
        raise ParseError(f"sqlglot could not parse the text: {type(error).__name__}: {error}") \
            from error
    return [tree for tree in trees if tree is not None]


# The classes of sqlglot's trees that are statements (an expression such as
# "hello world", which parses as an alias, is not), as the engine lists them.
STATEMENT_KINDS = _engine.STATEMENT_CLASSES


def require_statement(tree: Any, sql: str) -> None:
    """ParseError unless ``tree`` is a statement the engine analyses: a
    statement sqlglot keeps as text (a Command: it warned "unsupported
    syntax") is not analysed, and says so with its first words; the engine
    reads only RENAME TABLE of those."""
    if not isinstance(tree, STATEMENT_KINDS):
        brief = " ".join(sql.split())
        raise ParseError(f"not a SQL statement: {brief[:60]}{'...' if len(brief) > 60 else ''}")
    if isinstance(tree, exp.Command) and str(tree.this).upper() != "RENAME":
        raise ParseError(f"not analysed: unsupported syntax: {first_words(sql)}")


_WORDS_SHOWN = 3


def first_words(sql: str) -> str:
    """The first words of a statement, for a message: up to three, none from
    a quoted text or one that may carry credentials (a URL, a key = value),
    and "..." when there is more."""
    words = sql.split()
    shown = []
    for word in words[:_WORDS_SHOWN]:
        if word[:1] in "'\"`$" or "://" in word or "=" in word or len(word) > 40:
            break
        shown.append(word)
    return " ".join(shown + (["..."] if len(shown) < len(words) else []))


def analyze_tree(tree: Any, sql: str, rules: Rules, index: SchemaIndex | None) -> LineageResult:
    """The lineage of one parsed statement."""
    return analyze_statement(tree, sql, rules, index)[0]


def analyze_statement(tree: Any, sql: str, rules: Rules,
                      index: SchemaIndex | None) -> tuple[LineageResult, EngineResult]:
    """The lineage of one parsed statement, and all the engine found (what
    the statement does to the tables of a script included)."""
    require_statement(tree, sql)
    found = _engine.analyze(tree, rules.native, index)
    return result_of(sql, rules, found), found


def result_of(sql: str, rules: Rules, found: EngineResult) -> LineageResult:
    """The statement's result from what the engine found."""
    return LineageResult(sql=sql, dialect=rules.name, kind=found.kind, columns=found.columns,
                         tables=found.tables, influences=found.influences, target=found.target)


def analyze(sql: str, dialect: Any = None, schema: Any = None) -> LineageResult:
    """The column lineage of one statement.

    ``dialect`` is any sqlglot dialect name (any case), a sqlglot Dialect or
    None; ``schema`` None, a mapping in one of the shapes sqlglot's
    MappingSchema accepts, or a prepared ``Schema``.  Text sqlglot cannot
    parse raises ParseError; a text that holds more than one statement raises
    ValueError (use ``analyze_script``).  Whatever the engine cannot trace
    is reported in ``unresolved`` entries, never guessed.
    """
    if not isinstance(sql, str):
        raise TypeError(f"sql must be a str, not {type(sql).__name__}")
    rules = rules_for(dialect)
    index = schema_index(schema, rules)
    trees = parse(sql, rules)
    if not trees:
        raise ParseError("no statement to analyse")
    if len(trees) > 1:
        raise ValueError(f"the text holds {len(trees)} statements; analyze() takes one "
                         "(use analyze_script for several)")
    return analyze_tree(trees[0], sql, rules, index)
