"""--format html, loaded from a file in a real headless Chromium."""

import os
import shutil

import pytest

from helpers import SANITIZER_VARIABLES, lineage_cli

playwright = pytest.importorskip("playwright.sync_api")

ETL = """
create table stg.orders as select id, amount / 100 as amount, status from raw.orders;
create temp table big as select id, amount from stg.orders where status = 'shipped';
insert into mart.totals (id, total) select id, sum(amount) from big group by id;
insert into mart.report (id) select id from raw.returns;
"""


@pytest.fixture(scope="module")
def browser():
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


@pytest.fixture
def page(browser, tmp_path, request):
    script = tmp_path / "etl.sql"
    script.write_text(ETL)
    done = lineage_cli("--format", "html", script, *getattr(request, "param", ()))
    assert (done.returncode, done.stderr) == (0, "")
    assert "<script src" not in done.stdout and "http" not in done.stdout.split("<svg")[0]
    (tmp_path / "lineage.html").write_text(done.stdout)
    opened = browser.new_page(viewport={"width": 1400, "height": 700})
    errors = []
    opened.on("pageerror", lambda error: errors.append(str(error)))
    # Offline: any request but the file itself fails the test.
    opened.route("**/*", lambda route: route.continue_() if route.request.url.startswith("file:")
                 else (errors.append(route.request.url), route.abort()))
    opened.goto((tmp_path / "lineage.html").as_uri())
    yield opened
    opened.screenshot(path=str(tmp_path / "lineage.png"), full_page=True)
    assert (tmp_path / "lineage.png").stat().st_size > 0
    opened.close()
    assert errors == []


def marked(page, css):
    return page.eval_on_selector_all(css, "nodes => nodes.map(n => n.dataset.id)")


def test_the_page_draws_each_table_once_with_its_columns(page):
    boxes = page.eval_on_selector_all(".box", "nodes => nodes.map(n => n.dataset.box)")
    assert sorted(boxes) == ["big", "mart.report", "mart.totals", "raw.orders", "raw.returns",
                             "stg.orders"]
    assert marked(page, '[data-box="mart.totals"] .column') == ["col:mart.totals.id",
                                                                "col:mart.totals.total"]
    assert page.locator(".edge.indirect").count() > 0


def test_clicking_a_column_highlights_what_is_upstream_and_downstream(page):
    page.click('[data-id="col:stg.orders.amount"]')
    assert marked(page, ".column.chosen") == ["col:stg.orders.amount"]
    assert sorted(marked(page, ".column.highlighted")) == [
        "col:big.amount", "col:mart.totals.total", "col:raw.orders.amount"]
    assert page.inner_text("#status") == "stg.orders.amount: 3 related columns"
    # The filter on status feeds every column of big, and through them both of mart.totals.
    page.click('[data-id="col:stg.orders.status"]')
    assert sorted(marked(page, ".column.highlighted")) == [
        "col:big.amount", "col:big.id", "col:mart.totals.id", "col:mart.totals.total",
        "col:raw.orders.status"]
    assert "col:raw.returns.id" in marked(page, ".column.dim")


def test_search_and_the_indirect_switch(page):
    page.fill("#search", "TOTALS.total")
    page.press("#search", "Enter")
    assert marked(page, ".column.found") == ["col:mart.totals.total"]
    assert sorted(marked(page, ".column.highlighted")) == [
        "col:big.amount", "col:big.id", "col:raw.orders.amount", "col:raw.orders.id",
        "col:raw.orders.status", "col:stg.orders.amount", "col:stg.orders.id",
        "col:stg.orders.status"]
    page.uncheck("#indirect")
    assert not page.locator(".edge.indirect").first.is_visible()
    # Without indirect edges only the values' own path stays.
    assert sorted(marked(page, ".column.highlighted")) == [
        "col:big.amount", "col:raw.orders.amount", "col:stg.orders.amount"]
    page.fill("#search", "nosuch")
    page.press("#search", "Enter")
    assert page.inner_text("#status") == "no column nosuch"


@pytest.mark.parametrize("page", [("--upstream", "mart.totals.total")], indirect=True)
def test_a_page_of_what_is_upstream_of_one_column(page):
    assert page.title() == "Column lineage: upstream of mart.totals.total"
    boxes = page.eval_on_selector_all(".box", "nodes => nodes.map(n => n.dataset.box)")
    assert sorted(boxes) == ["big", "mart.totals", "raw.orders", "stg.orders"]
    assert marked(page, '[data-box="mart.totals"] .column') == ["col:mart.totals.total"]
    assert marked(page, '[data-box="raw.orders"] .column') == [
        "col:raw.orders.amount", "col:raw.orders.id", "col:raw.orders.status"]
    page.click('[data-id="col:mart.totals.total"]')
    assert sorted(marked(page, ".column.highlighted")) == [
        "col:big.amount", "col:big.id", "col:raw.orders.amount", "col:raw.orders.id",
        "col:raw.orders.status", "col:stg.orders.amount", "col:stg.orders.id",
        "col:stg.orders.status"]


@pytest.mark.parametrize("page", [("--summary",)], indirect=True)
def test_a_page_of_the_tables_a_script_reads_and_writes(page):
    rows = page.eval_on_selector_all(
        ".box", "nodes => nodes.map(n => [n.dataset.box, n.querySelector('.column').textContent,"
                " n.classList.contains('written')])")
    assert sorted(rows) == [["big", "intermediate", True], ["mart.report", "target", True],
                            ["mart.totals", "target", True], ["raw.orders", "source", False],
                            ["raw.returns", "source", False], ["stg.orders", "intermediate", True]]
    page.click('[data-id="table:stg.orders"]')
    assert sorted(marked(page, ".column.highlighted")) == [
        "table:big", "table:mart.totals", "table:raw.orders"]
