"""Helpers of the lineage page's tests: a headless Chromium, pages opened
offline with every page error, dialog and request recorded, and the
expected neighbourhood of a column computed from the lineage rows alone
(not from the page)."""

import os
import shutil
from collections import deque

import pytest

from qarvel_lineage.engine.result import statement_rows
from qarvel_lineage.dbt import ModelError

from helpers import SANITIZER_VARIABLES

playwright = pytest.importorskip("playwright.sync_api")


def chromium():
    """A started Chromium (a generator for a module-scoped fixture)."""
    executable = os.environ.get("QARVEL_CHROMIUM") or shutil.which("chromium")
    if executable is None:
        pytest.skip("no chromium: ./dev test installs Debian's (or set QARVEL_CHROMIUM)")
    # The driver and the browser it starts inherit the environment it is started in.
    held = {name: os.environ.pop(name) for name in SANITIZER_VARIABLES if name in os.environ}
    try:
        with playwright.sync_playwright() as driver:
            launched = driver.chromium.launch(executable_path=executable, args=["--no-sandbox"])
            os.environ.update(held)
            held = {}
            yield launched
            launched.close()
    finally:
        os.environ.update(held)


class Opened:
    """A page loaded from a file; ``problems`` collects page errors,
    dialogs (alert...) and any request that is not the file itself."""

    def __init__(self, browser, path, fragment="", size=(1400, 800)):
        self.problems = []
        self.page = browser.new_page(viewport={"width": size[0], "height": size[1]})
        self.page.on("pageerror", lambda error: self.problems.append(f"error: {error}"))
        self.page.on("dialog", lambda dialog: (self.problems.append(f"dialog: {dialog.message}"),
                                               dialog.dismiss()))
        self.page.route("**/*", self._route)
        self.page.goto(path.as_uri() + fragment)
        self.page.wait_for_selector("body[data-ready]", state="attached")
        settled(self.page)

    def _route(self, route):
        if route.request.url.startswith("file:"):
            route.continue_()
        else:
            self.problems.append(f"request: {route.request.url}")
            route.abort()

    def close(self):
        self.page.close()
        assert self.problems == [], self.problems


def settled(page):
    """Waits until the page has drawn what its URL fragment asks for."""
    page.wait_for_function("() => document.body.dataset.shown === location.hash")


def write_page(tmp_path, text, name="lineage.html"):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return path


def rows_of(page, selector):
    """The full names (data-name) of the elements ``selector`` finds."""
    return page.eval_on_selector_all(selector, "nodes => nodes.map(n => n.getAttribute('data-name'))")


def shown_columns(page):
    return sorted(rows_of(page, "#focus .row"))


def inside_view(page, selector):
    """Whether every element ``selector`` finds lies inside the drawing area."""
    return page.evaluate("""selector => {
        const view = document.getElementById('view').getBoundingClientRect();
        const found = Array.from(document.querySelectorAll(selector));
        return found.length > 0 && found.every(node => {
            const box = node.getBoundingClientRect();
            return box.left >= view.left - 0.5 && box.right <= view.right + 0.5 &&
                   box.top >= view.top - 0.5 && box.bottom <= view.bottom + 0.5;
        });
    }""", selector)


def _name(*parts):
    return ".".join(part for part in parts if part)


def project_links(project):
    """(source, target, type) of every column-to-column hop of each model
    of a dbt project, names joined with dots, straight from its rows."""
    links = set()
    for unique_id, result in project.models.items():
        if isinstance(result, ModelError) or result.target is None:
            continue
        for row in statement_rows(result, {"input": unique_id, "statement": 1}):
            if row["type"] == "UNRESOLVED" or row["subtype"] == "CONSTANT" or not row["source_table"]:
                continue
            links.add((_name(row["source_catalog"], row["source_db"], row["source_table"],
                             row["source_column"]),
                       _name(row["target_catalog"], row["target_db"], row["target_table"],
                             row["column"]), row["type"]))
    return links


def neighbourhood(links, starts, indirect=True, depth=0):
    """The starts and every column upstream or downstream of them within
    ``depth`` hops (0: any), following INDIRECT hops only when asked."""
    found = set(starts)
    for forward in (True, False):
        nexts = {}
        for source, target, kind in links:
            if indirect or kind == "DIRECT":
                a, b = (source, target) if forward else (target, source)
                nexts.setdefault(a, set()).add(b)
        hops = dict.fromkeys(starts, 0)
        queue = deque(starts)
        while queue:
            column = queue.popleft()
            if depth and hops[column] >= depth:
                continue
            for far in nexts.get(column, ()):
                if far not in hops:
                    hops[far] = hops[column] + 1
                    queue.append(far)
        found |= set(hops)
    return sorted(found)
