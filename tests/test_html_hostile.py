"""Hostile names on the lineage page: markup, the old page's placeholders,
template syntax, an HTML comment opener and line separators in
identifiers, file names, statements and the title stay text, and the page
still works (loaded in Chromium, where an injected script would show)."""

import json
import re

import pytest

from qarvel_lineage.page.render import lineage_page

from helpers import lineage_cli
from page_helpers import Opened, chromium, rows_of, settled, shown_columns, write_page

browser = pytest.fixture(scope="module")(chromium)

IMG = "<img src=x onerror=alert(1)>"
COMMENT = "<!--<script>"
CLOSE = "</script><script>alert(2)</script>"
SEPARATORS = "line\u2028para\u2029end"
EDGES = [
    {"source": [None, "raw", "@DATA@", COMMENT], "target": [None, "mart", "{{ x }}", IMG],
     "type": "DIRECT", "subtype": "IDENTITY", "statement": "@DATA@.sql#1",
     "sql": f"select \"{COMMENT}\" as \"{IMG}\" from raw.\"@DATA@\" -- {CLOSE}"},
    {"source": [None, "raw", "@DATA@", SEPARATORS], "target": [None, "mart", "{{ x }}", CLOSE],
     "type": "INDIRECT", "subtype": "FILTER", "statement": "{{ x }}.sql#1"},
]
TITLE = "{{ title }} <b>@DATA@</b> &amp;"


def data_block(text):
    opening = '<script id="lineage-data" type="application/json">'
    start = text.index(opening) + len(opening)
    return text[start:text.index("</script>", start)]


def test_names_stay_inside_the_escaped_data_block():
    text = lineage_page(EDGES, title=TITLE)
    block = data_block(text)
    assert not set(block) & {"<", ">", "&", "\u2028", "\u2029"}
    data = json.loads(block)
    assert sorted(data["columnName"]) == sorted([COMMENT, IMG, SEPARATORS, CLOSE])
    assert data["title"] == TITLE and data["statements"] == ["@DATA@.sql#1", "{{ x }}.sql#1"]
    assert data["sql"][0] == EDGES[0]["sql"]
    # Two scripts, the data and the page's own; the title only as escaped text.
    assert len(re.findall("<script", text)) == 2
    assert text.count("<title>{{ title }} &lt;b&gt;@DATA@&lt;/b&gt; &amp;amp;</title>") == 1
    assert "<b>" not in text and IMG not in text and COMMENT not in text


def test_a_page_of_hostile_names_runs_no_injected_script_and_works(browser, tmp_path):
    page = Opened(browser, write_page(tmp_path, lineage_page(EDGES, title=TITLE)))
    opened = page.page
    assert opened.title() == TITLE
    assert sorted(rows_of(opened, "#overview .node")) == ["mart.{{ x }}", "raw.@DATA@"]
    assert opened.evaluate("document.querySelectorAll('img, b').length") == 0
    opened.fill("#search", "onerror")
    assert opened.locator("#matches li").first.text_content() == f"mart.{{{{ x }}}}.{IMG}column"
    opened.press("#search", "Enter")
    assert shown_columns(opened) == sorted([f"mart.{{{{ x }}}}.{IMG}", f"raw.@DATA@.{COMMENT}"])
    opened.click(f'.row[data-name="mart.{{{{ x }}}}.{IMG}"]')
    assert opened.locator("#details h2").text_content() == f"mart.{{{{ x }}}}.{IMG}"
    assert EDGES[0]["sql"] in opened.locator("#details pre").text_content()
    opened.click('.row[data-name="raw.@DATA@.<!--<script>"]')
    assert opened.locator("#details h2").text_content() == f"raw.@DATA@.{COMMENT}"
    # The fragment carries the names too.
    opened.click("#back")
    opened.click('.node[data-name="raw.@DATA@"]')
    assert shown_columns(opened) == sorted([f"mart.{{{{ x }}}}.{IMG}", f"raw.@DATA@.{COMMENT}",
                                            f"raw.@DATA@.{SEPARATORS}"])
    opened.check("#indirect")
    assert shown_columns(opened) == sorted([f"mart.{{{{ x }}}}.{IMG}", f"mart.{{{{ x }}}}.{CLOSE}",
                                            f"raw.@DATA@.{COMMENT}", f"raw.@DATA@.{SEPARATORS}"])
    opened.reload()
    settled(opened)
    assert len(shown_columns(opened)) == 4
    assert opened.evaluate("document.querySelectorAll('img, b').length") == 0
    page.close()


@pytest.mark.parametrize("file_name", ["@DATA@.sql", "{{ x }}.sql", "<img src=x onerror=alert(1)>.sql"])
def test_the_command_s_page_of_hostile_files_and_columns(browser, tmp_path, file_name):
    script = tmp_path / file_name
    script.write_text(f'create table mart.t as select "{COMMENT}" as "{IMG}", '
                      f'"{SEPARATORS}" as b from raw."@DATA@";\n'
                      f'select "{IMG}" from mart.t;\n', encoding="utf-8")
    done = lineage_cli("--format", "html", script)
    assert (done.returncode, done.stderr) == (0, "")
    page = Opened(browser, write_page(tmp_path, done.stdout, "page.html"))
    opened = page.page
    assert sorted(rows_of(opened, "#overview .node")) == sorted(
        ["mart.t", "raw.@DATA@", f"{script}#2"])
    opened.click(f'.node[data-name="{script}#2"]')
    assert shown_columns(opened) == sorted([f"{script}#2.{IMG}", f"mart.t.{IMG}"])
    # One more level from the one column at the frontier, named in the fragment.
    opened.locator("#focus [data-expand]").click()
    settled(opened)
    assert shown_columns(opened) == sorted([f"{script}#2.{IMG}", f"mart.t.{IMG}",
                                            f"raw.@DATA@.{COMMENT}"])
    opened.reload()
    settled(opened)
    assert len(shown_columns(opened)) == 3
    assert opened.evaluate("document.querySelectorAll('img').length") == 0
    page.close()
