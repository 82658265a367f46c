"""What a new user reads in the README before a first run: where the
command is after ./dev demo, one path for the Tuva Project's target, what
the command line prints of a dbt project, and what `dot -Tsvg` needs."""

import os
import re

README = os.path.join(os.path.dirname(__file__), "..", "README.md")


def readme():
    with open(README, encoding="utf-8") as handle:
        return handle.read()


def test_the_readme_says_where_the_command_is():
    text = readme()
    setup = text[text.index("./dev demo"):text.index("## Install")]
    assert "`.venv/bin/sqlglot-main q.sql`" in setup
    assert "`source .venv/bin/activate`" in setup


def test_the_tuva_target_has_one_spelling():
    spelled = set(re.findall(r"--dbt (\S*tuva\S*)", readme()))
    assert spelled == {"tuva/target"}


def test_the_readme_no_longer_says_warnings_are_not_printed():
    text = readme()
    assert "does not print `warnings` yet" not in text
    assert "The command line prints the warnings on standard error" in text


def test_graphviz_is_named_where_dot_is_used():
    text = readme()
    at = text.index("| dot -Tsvg > lineage.svg")
    assert "`apt install graphviz`" in text[at:at + 200]
