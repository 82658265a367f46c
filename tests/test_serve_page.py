"""The served explorer in headless Chromium: a real server process, the page
loaded from it and driven as a person would (focus, one more level, the path
to the focus, details, asking when a name is ambiguous), every request it
makes going to the server and nowhere else."""

import urllib.parse

import pytest

from page_helpers import chromium
from serve_helpers import Served

S = "shop.main."


@pytest.fixture(scope="module")
def browser():
    yield from chromium()


@pytest.fixture(scope="module")
def shop(shop_graph):
    served = Served(shop_graph[1])
    yield served
    served.close()


class Explorer:
    """The explorer opened at ``fragment``; ``problems`` collects page
    errors, dialogs and requests to anywhere but the server."""

    def __init__(self, browser, served, fragment="", size=(1400, 800)):
        self.problems = []
        self.served = served
        self.page = browser.new_page(viewport={"width": size[0], "height": size[1]})
        self.page.on("pageerror", lambda error: self.problems.append(f"error: {error}"))
        self.page.on("dialog", lambda dialog: (self.problems.append(f"dialog: {dialog.message}"),
                                               dialog.dismiss()))
        self.page.route("**/*", self._route)
        self.page.goto(served.url + fragment)
        self.page.wait_for_selector("body[data-ready]", state="attached")
        self.settled()

    def _route(self, route):
        if route.request.url.startswith(self.served.url):
            route.continue_()
        else:
            self.problems.append(f"request: {route.request.url}")
            route.abort()

    def settled(self):
        self.page.wait_for_function("() => document.body.dataset.shown === location.hash "
                                    "&& !document.body.dataset.busy")

    def columns(self):
        return sorted(self.page.eval_on_selector_all(
            ".row[data-column]", "nodes => nodes.map(n => n.getAttribute('data-column'))"))

    def expandable(self):
        return sorted(self.page.eval_on_selector_all(
            "[data-expand]", "nodes => nodes.map(n => [n.getAttribute('data-expand'), "
                             "n.getAttribute('data-for')])"))

    def edges(self, selector=".edge"):
        return sorted(tuple(pair) for pair in self.page.eval_on_selector_all(
            selector, "nodes => nodes.map(n => [n.getAttribute('data-source'), "
                      "n.getAttribute('data-target')])"))

    def fragment(self):
        return urllib.parse.parse_qs(self.page.evaluate("location.hash").lstrip("#"))

    def close(self):
        self.page.close()
        assert self.problems == [], self.problems


def test_focus_shows_direct_edges_one_level_each_way_and_opens_one_more(browser, shop):
    page = Explorer(browser, shop, "#focus=customers.lifetime_value")
    # The fragment names the column as the graph shows it.
    assert page.fragment() == {"focus": [S + "customers.lifetime_value"]}
    assert page.columns() == sorted([S + "customers.lifetime_value", S + "int_orders.amount",
                                     "exposure.shop.customer_dashboard"])
    assert page.edges() == sorted([(S + "int_orders.amount", S + "customers.lifetime_value"),
                                   (S + "customers.lifetime_value", "exposure.shop.customer_dashboard")])
    assert page.page.eval_on_selector_all(".edge.indirect", "nodes => nodes.length") == 0
    # int_orders.amount comes from further up; the exposure feeds nothing.
    assert page.expandable() == [["upstream", S + "int_orders.amount"]]

    page.page.click(f'[data-expand="upstream"][data-for="{S}int_orders.amount"]')
    page.settled()
    assert page.columns() == sorted([S + "customers.lifetime_value", S + "int_orders.amount",
                                     S + "stg_payments.amount", "exposure.shop.customer_dashboard"])
    assert page.expandable() == [["upstream", S + "stg_payments.amount"]]
    assert page.fragment() == {"focus": [S + "customers.lifetime_value"],
                               "open": [f"up:{S}int_orders.amount"]}
    link = page.page.evaluate("location.href")

    # The path from a column to the focus lights up; the rest does not.
    page.page.click(f'.row[data-column="{S}stg_payments.amount"]')
    assert page.edges(".edge.on-path") == sorted([
        (S + "stg_payments.amount", S + "int_orders.amount"),
        (S + "int_orders.amount", S + "customers.lifetime_value")])
    lit = page.page.eval_on_selector_all(".row.on-path", "n => n.map(x => x.dataset.column)")
    assert sorted(lit) == sorted([S + "stg_payments.amount", S + "int_orders.amount",
                                  S + "customers.lifetime_value"])
    page.page.hover(f'.row[data-column="exposure.shop.customer_dashboard"]')
    assert page.edges(".edge.on-path") == [(S + "customers.lifetime_value",
                                            "exposure.shop.customer_dashboard")]
    page.close()

    # The link opens what was open.
    again = Explorer(browser, shop, "#" + link.split("#", 1)[1])
    assert again.columns() == sorted([S + "customers.lifetime_value", S + "int_orders.amount",
                                      S + "stg_payments.amount", "exposure.shop.customer_dashboard"])
    again.close()


def test_indirect_edges_are_one_click_away(browser, shop):
    page = Explorer(browser, shop, "#focus=customers.lifetime_value")
    page.page.check("#indirect")
    page.settled()
    assert page.fragment()["indirect"] == ["1"]
    assert page.columns() == sorted([S + "customers.lifetime_value", S + "int_orders.amount",
                                     S + "int_orders.customer_id", S + "stg_customers.customer_id",
                                     "exposure.shop.customer_dashboard"])
    assert page.edges(".edge.indirect") == sorted([
        (S + "int_orders.customer_id", S + "customers.lifetime_value"),
        (S + "stg_customers.customer_id", S + "customers.lifetime_value")])
    page.page.click("#expand-all")
    page.settled()
    assert S + "stg_orders.status" in page.columns()   # the filter of int_orders, two hops up
    page.close()


def test_details_show_the_sql_description_type_and_tests(browser, shop):
    page = Explorer(browser, shop, "#focus=customers.lifetime_value")
    page.page.click(f'.row[data-column="{S}customers.lifetime_value"]')
    page.page.wait_for_selector(f'#details[data-details="{S}customers.lifetime_value"] pre')
    text = page.page.inner_text("#details")
    assert "What the customer paid, in dollars" in text
    assert "DOUBLE" in text and "not_null" in text
    assert "model.shop.customers" in text
    sql = page.page.inner_text("#details pre")
    assert "sum(amount) as lifetime_value" in sql and '"shop"."main"."int_orders"' in sql
    # Words are not broken inside: a long name may wrap, "INDIRECT" may not.
    assert page.page.eval_on_selector("#details dd", "n => getComputedStyle(n).wordBreak") == "normal"
    page.close()


def test_an_ambiguous_focus_or_search_asks_instead_of_guessing(browser, shop):
    page = Explorer(browser, shop, "#focus=customer_id")
    assert page.columns() == []
    offered = page.page.eval_on_selector_all("#chooser [data-candidate]",
                                             "n => n.map(x => x.dataset.candidate)")
    assert offered == ["shop.ext.events.customer_id", S + "customers.customer_id",
                       S + "fct_events.customer_id", S + "int_orders.customer_id",
                       S + "stg_customers.customer_id", S + "stg_events.customer_id",
                       S + "stg_orders.customer_id", "shop.snapshots.orders_snapshot.customer_id"]
    page.page.click(f'#chooser [data-candidate="{S}stg_orders.customer_id"]')
    page.settled()
    assert page.fragment() == {"focus": [S + "stg_orders.customer_id"]}
    assert page.columns() == sorted([S + "stg_orders.customer_id", "shop.main.raw_orders.user_id",
                                     S + "int_orders.customer_id",
                                     "shop.snapshots.orders_snapshot.customer_id"])

    # Enter on a text that names several columns asks; on a whole name it goes.
    page.page.fill("#search", "amount")
    page.page.press("#search", "Enter")
    page.page.wait_for_selector("#chooser:not(.hidden) [data-candidate]")
    offered = page.page.eval_on_selector_all("#chooser [data-candidate]",
                                             "n => n.map(x => x.dataset.candidate)")
    assert offered[:5] == [S + "raw_payments.amount", S + "int_orders.amount",
                           S + "stg_payments.amount", S + "payment_amounts.amount",
                           S + "payments_by_source.amount"]
    assert page.fragment() == {"focus": [S + "stg_orders.customer_id"]}
    page.page.fill("#search", "shop.main.raw_payments.amount")
    page.page.press("#search", "Enter")
    page.page.wait_for_function("() => location.hash.includes('raw_payments')")
    page.settled()
    assert page.columns() == sorted([S + "raw_payments.amount", S + "stg_payments.amount"])
    page.close()


def test_names_reach_the_page_only_as_text(browser, tmp_path):
    from helpers import lineage_cli

    hostile = '<img src=x onerror=alert(1)>'
    script = tmp_path / "etl.sql"
    script.write_text(f'create table mart.t as select a as "{hostile}" from raw.s;',
                      encoding="utf-8")
    graph = tmp_path / "g.db"
    assert lineage_cli(script, "--graph", graph).returncode == 0
    served = Served(graph)
    try:
        page = Explorer(browser, served, "#" + urllib.parse.urlencode({"focus": f"mart.t.{hostile}"}))
        assert page.columns() == sorted([f"mart.t.{hostile}", "raw.s.a"])
        assert page.page.eval_on_selector_all("img", "n => n.length") == 0
        page.page.click(".row.focus")
        page.page.wait_for_selector("#details pre")
        assert hostile in page.page.inner_text("#details pre")
        assert page.page.eval_on_selector_all("img", "n => n.length") == 0
        page.close()
    finally:
        served.close()


# --- edges never pass under a box they do not touch ----------------------------------------------

_CROSSINGS = """() => {
    const boxes = Array.from(document.querySelectorAll('.table')).map(t => {
        const [x, y, w, h] = t.dataset.box.split(' ').map(Number);
        return {name: t.dataset.table, x, y, w, h};
    });
    const tableOf = {};
    document.querySelectorAll('.table').forEach(t => t.querySelectorAll('.row').forEach(
        r => { tableOf[r.dataset.column] = t.dataset.table; }));
    const inside = (p, own) => boxes.find(b => !own.includes(b.name) && p.x > b.x + 0.5 &&
        p.x < b.x + b.w - 0.5 && p.y > b.y + 0.5 && p.y < b.y + b.h - 0.5);
    const under = [];
    let straight = 0;   // edges a straight line between their ends would pass under a box
    document.querySelectorAll('.edge').forEach(path => {
        const own = [tableOf[path.dataset.source], tableOf[path.dataset.target]];
        const length = path.getTotalLength();
        const a = path.getPointAtLength(0), z = path.getPointAtLength(length);
        for (let t = 0; t <= 1; t += 0.01) {
            if (inside({x: a.x + (z.x - a.x) * t, y: a.y + (z.y - a.y) * t}, own)) { straight++; break; }
        }
        for (let at = 0; at <= length; at += 2) {
            const b = inside(path.getPointAtLength(at), own);
            if (b) { under.push([path.dataset.source, path.dataset.target, b.name]); return; }
        }
    });
    return {under, straight, edges: document.querySelectorAll('.edge').length, boxes: boxes.length};
}"""


def test_edges_pass_under_no_box_they_do_not_touch(browser, shop):
    page = Explorer(browser, shop, "#focus=customers.lifetime_value&indirect=1")
    while page.page.is_enabled("#expand-all"):   # until every level is open
        page.page.click("#expand-all")
        page.settled()
    assert page.expandable() == []
    found = page.page.evaluate(_CROSSINGS)
    assert found["boxes"] >= 8 and found["edges"] >= 15
    assert found["under"] == []
    page.close()


@pytest.fixture(scope="module")
def tuva(tuva_graph):
    served = Served(tuva_graph)
    yield served
    served.close()


def test_tuva_medical_paid_one_level_each_way_and_no_edge_under_a_box(browser, tuva, tuva_graph):
    from qarvel_lineage.graph import Graph

    start = "tuva.financial_pmpm.pmpm_payer.medical_paid"
    with Graph.open(tuva_graph, readonly=True) as graph:
        near = {e.source for e in graph.upstream(start, depth=1, direct_only=True)} | \
            {e.target for e in graph.downstream(start, depth=1, direct_only=True)}
    page = Explorer(browser, tuva, "#focus=financial_pmpm.pmpm_payer.medical_paid")
    assert page.columns() == sorted(near | {start})
    page.close()
    # A wide neighbourhood with its INDIRECT edges, three levels out.
    page = Explorer(browser, tuva, "#focus=tuva.core.pharmacy_claim.paid_amount&indirect=1")
    for _ in range(2):
        page.page.click("#expand-all")
        page.settled()
    found = page.page.evaluate(_CROSSINGS)
    assert found["boxes"] >= 20 and found["under"] == [] and found["straight"] > 0
    page.close()
