"""The lineage page, loaded from a file in a real headless Chromium: the
overview of tables, zoom and pan, focus by click (DIRECT edges one level
each way first), search and URL fragment, one more level from a column,
the indirect switch and the depth control, details on demand (SQL and
descriptions)."""

import re

import pytest

from qarvel_lineage.page.render import lineage_page, project_edges
from qarvel_lineage.dbt import project_lineage

from helpers import TUVA, lineage_cli
from page_helpers import (Opened, chromium, inside_view, neighbourhood, project_links, rows_of,
                          settled, shown_columns, write_page)
from test_dbt import shop  # noqa: F401  (the built dbt project, a fixture)

browser = pytest.fixture(scope="module")(chromium)

ETL = """
create table stg.orders as select id, amount / 100 as amount, status from raw.orders;
create temp table big as select id, amount from stg.orders where status = 'shipped';
insert into mart.totals (id, total) select id, sum(amount) from big group by id;
insert into mart.report (id) select id from raw.returns;
"""
RAW = "shop.main."


@pytest.fixture(scope="module")
def shop_page(shop, tmp_path_factory):  # noqa: F811
    project = project_lineage(shop / "target")
    edges, tables = project_edges(project)
    path = write_page(tmp_path_factory.mktemp("page"), lineage_page(edges, title="shop", tables=tables))
    return path, project_links(project)


@pytest.fixture
def opened(browser, shop_page):
    page = Opened(browser, shop_page[0])
    yield page.page
    page.close()


def transform(page):
    return page.get_attribute("#viewport", "transform")


def test_the_overview_draws_every_table_once_and_fits_the_window(opened, shop_page):
    links = shop_page[1]
    tables = {name.rsplit(".", 1)[0] for link in links for name in link[:2]}
    assert sorted(rows_of(opened, "#overview .node")) == sorted(tables)
    assert {RAW + "customers", RAW + "raw_orders", RAW + "stg_orders"} <= tables
    assert inside_view(opened, "#overview .node")
    # Only read: green; only written: yellow; both: plain.
    assert opened.get_attribute(f'.node[data-name="{RAW}raw_orders"]', "class") == "node r-source"
    assert opened.get_attribute(f'.node[data-name="{RAW}customers"]', "class") == "node r-target"
    assert opened.get_attribute(f'.node[data-name="{RAW}stg_orders"]', "class") == \
        "node r-intermediate"
    # Tables read come before the tables they feed.
    left = {name: opened.eval_on_selector(f'.node[data-name="{name}"]',
                                          "n => n.getBoundingClientRect().left")
            for name in (RAW + "raw_orders", RAW + "stg_orders", RAW + "customers")}
    assert left[RAW + "raw_orders"] < left[RAW + "stg_orders"] < left[RAW + "customers"]
    assert opened.locator("#overview .band").count() > 0
    assert opened.title() == "shop"
    # Hovering a table lights up the tables it reads and feeds.
    opened.hover(f'.node[data-name="{RAW}stg_orders"]')
    near = {(source.rsplit(".", 1)[0], target.rsplit(".", 1)[0]) for source, target, _ in links}
    assert sorted(rows_of(opened, "#overview .node.near")) == sorted(
        {RAW + "stg_orders"} | {b for a, b in near if a == RAW + "stg_orders" and b != a}
        | {a for a, b in near if b == RAW + "stg_orders" and b != a})
    assert opened.locator("#overview .link.near").count() == len(
        {pair for pair in near if RAW + "stg_orders" in pair and pair[0] != pair[1]})
    opened.mouse.move(0, 0)
    assert opened.locator("#overview .near").count() == 0


def test_names_never_overflow_their_boxes_and_show_whole_on_hover(browser, tmp_path):
    long = "a_table_name_much_too_long_to_fit_in_any_box_of_the_overview_at_all"
    edges = [{"source": [None, "raw", long, "c"], "target": [None, "mart", "t", "c"],
              "type": "DIRECT", "subtype": "IDENTITY", "statement": "s"}]
    page = Opened(browser, write_page(tmp_path, lineage_page(edges, title="long")))
    node = page.page.locator(f'.node[data-name="raw.{long}"]')
    label = node.locator("text").text_content()
    assert label.endswith("\u2026") and long.startswith(label[:-1])
    fits = node.evaluate("n => n.querySelector('text').getComputedTextLength() + 6 <="
                         " n.querySelector('rect').getBBox().width")
    assert fits
    assert node.locator("title").text_content() == f"raw.{long} (source)"
    page.close()


def test_zoom_and_pan_change_the_view_and_fit_restores_it(opened):
    fitted = transform(opened)
    scale = float(re.search(r"scale\(([\d.e-]+)\)", fitted).group(1))
    opened.click("#zoom-in")
    assert float(re.search(r"scale\(([\d.e-]+)\)", transform(opened)).group(1)) == \
        pytest.approx(scale * 1.25)
    # Zoomed in, part of the drawing is out of view: the minimap shows, and
    # a click on it moves there.
    assert opened.is_visible("#minimap")
    zoomed = transform(opened)
    corner = opened.locator("#minimap").bounding_box()
    opened.mouse.click(corner["x"] + 5, corner["y"] + corner["height"] / 2)
    assert transform(opened) != zoomed and transform(opened).split("scale")[1] == \
        zoomed.split("scale")[1]
    opened.click("#fit")
    assert transform(opened) == fitted
    assert not opened.is_visible("#minimap")
    opened.focus("#view")
    opened.keyboard.press("-")
    smaller = transform(opened)
    assert smaller != fitted
    opened.keyboard.press("ArrowRight")
    moved = transform(opened)
    assert moved != smaller and moved.split("scale")[1] == smaller.split("scale")[1]
    opened.keyboard.press("0")
    assert transform(opened) == fitted
    box = opened.locator("#view").bounding_box()
    opened.mouse.move(box["x"] + 300, box["y"] + 200)
    opened.mouse.wheel(0, -300)
    assert transform(opened) != fitted
    opened.mouse.down()
    opened.mouse.move(box["x"] + 400, box["y"] + 260, steps=4)
    opened.mouse.up()
    assert opened.locator("#overview").count() == 1  # a drag is not a click


def test_a_click_on_a_table_focuses_on_its_columns_and_back(opened, shop_page):
    links = shop_page[1]
    opened.click(f'.node[data-name="{RAW}int_orders"]')
    starts = sorted({name for link in links for name in link[:2]
                     if name.rsplit(".", 1)[0] == RAW + "int_orders"})
    assert shown_columns(opened) == neighbourhood(links, starts, indirect=False, depth=1)
    assert sorted(rows_of(opened, "#focus .row.start")) == starts
    assert inside_view(opened, "#focus .table")
    assert opened.evaluate("location.hash") == f"#focus={RAW}int_orders"
    opened.click("#back")
    assert opened.locator("#focus").count() == 0
    assert opened.locator("#overview .node").count() > 0
    assert opened.evaluate("location.hash") == ""


def test_search_completes_and_focuses_on_a_column(opened, shop_page):
    opened.fill("#search", "lifetime")
    assert opened.locator("#matches li").first.text_content() == \
        f"{RAW}customers.lifetime_valuecolumn"
    opened.press("#search", "Enter")
    expected = neighbourhood(shop_page[1], [RAW + "customers.lifetime_value"], indirect=False,
                             depth=1)
    assert shown_columns(opened) == expected == [RAW + "customers.lifetime_value",
                                                 RAW + "int_orders.amount"]
    assert opened.inner_text("#status") == (
        f"{RAW}customers.lifetime_value: 1 related column in 2 tables (1 upstream, 0 downstream, "
        "DIRECT edges only, 1 level each way)")
    # Arrows choose among the completions.
    opened.fill("#search", "customers.customer_id")
    offered = opened.locator("#matches li").all_text_contents()
    assert offered[:2] == [f"{RAW}customers.customer_idcolumn",
                           f"{RAW}stg_customers.customer_idcolumn"]
    opened.press("#search", "ArrowDown")
    opened.press("#search", "Enter")
    first = {"indirect": False, "depth": 1}
    assert shown_columns(opened) == neighbourhood(shop_page[1], [RAW + "stg_customers.customer_id"],
                                                  **first)
    # A column shown can be focused on in turn.
    opened.dblclick(f'#focus .row[data-name="{RAW}raw_customers.id"]')
    assert shown_columns(opened) == neighbourhood(shop_page[1], [RAW + "raw_customers.id"], **first)
    opened.click(f'#focus .row[data-name="{RAW}stg_customers.customer_id"]')
    opened.click("#focus-column")
    assert shown_columns(opened) == neighbourhood(shop_page[1], [RAW + "stg_customers.customer_id"],
                                                  **first)
    opened.fill("#search", "nosuch")
    assert opened.locator("#matches li").count() == 0
    opened.press("#search", "Enter")
    assert opened.inner_text("#status") == "nothing is called nosuch"


def test_the_fragment_the_indirect_switch_and_the_depth_control(browser, shop_page):
    path, links = shop_page
    start = RAW + "customers.lifetime_value"
    page = Opened(browser, path, "#focus=main.customers.lifetime_value&depth=all")
    opened = page.page
    direct = neighbourhood(links, [start], indirect=False)
    assert shown_columns(opened) == direct == [
        RAW + "customers.lifetime_value", RAW + "int_orders.amount", RAW + "raw_payments.amount",
        RAW + "stg_payments.amount"]
    assert not opened.is_checked("#indirect")
    assert opened.locator("#focus .edge.indirect").count() == 0
    opened.check("#indirect")
    assert shown_columns(opened) == neighbourhood(links, [start])
    assert opened.locator("#focus .edge.indirect").count() > 0
    assert opened.evaluate("location.hash") == \
        "#focus=shop.main.customers.lifetime_value&indirect=1&depth=all"
    opened.select_option("#depth", "1")
    one_hop = neighbourhood(links, [start], depth=1)
    assert shown_columns(opened) == one_hop and len(one_hop) < len(neighbourhood(links, [start]))
    assert opened.evaluate("location.hash") == \
        "#focus=shop.main.customers.lifetime_value&indirect=1"
    opened.go_back()
    settled(opened)
    assert shown_columns(opened) == neighbourhood(links, [start])
    # The form of older pages' links still reads.
    opened.evaluate("location.hash = '#focus=main.customers.lifetime_value&indirect=0&depth=0'")
    settled(opened)
    assert shown_columns(opened) == direct
    opened.evaluate("location.hash = '#focus=main.customers.lifetime_value&depth=x'")
    settled(opened)
    assert shown_columns(opened) == [start, RAW + "int_orders.amount"]
    opened.evaluate("location.hash = '#focus=no.such.column'")
    settled(opened)
    assert opened.inner_text("#status") == "nothing is called no.such.column"
    page.close()


def test_a_column_at_the_frontier_opens_one_more_level(browser, shop_page):
    path, links = shop_page
    start = RAW + "customers.lifetime_value"
    page = Opened(browser, path, "#focus=customers.lifetime_value")
    opened = page.page
    assert shown_columns(opened) == [start, RAW + "int_orders.amount"]
    # Only the frontier column with more upstream has a control; the
    # focus has nothing downstream.
    controls = opened.eval_on_selector_all(
        "#focus [data-expand]", "nodes => nodes.map(n => [n.closest('[data-column]')"
        ".getAttribute('data-column'), n.getAttribute('data-expand')])")
    assert controls == [[RAW + "int_orders.amount", "upstream"]]
    opened.click(f'#focus [data-column="{RAW}int_orders.amount"] [data-expand="upstream"]')
    settled(opened)
    assert shown_columns(opened) == [start, RAW + "int_orders.amount", RAW + "stg_payments.amount"]
    assert not opened.locator("#details").is_visible()  # the control opens, it shows no details
    permalink = opened.evaluate("location.hash")
    assert permalink == f"#focus={RAW}customers.lifetime_value&open={RAW}int_orders.amount"
    opened.click(f'#focus [data-column="{RAW}stg_payments.amount"] [data-expand="upstream"]')
    settled(opened)
    assert shown_columns(opened) == neighbourhood(links, [start], indirect=False)
    assert opened.locator("#focus [data-expand]").count() == 0
    assert opened.inner_text("#status").endswith("1 level each way, 2 opened further)")
    page.close()
    # The permalink opens the same drawing.
    again = Opened(browser, path, permalink)
    assert shown_columns(again.page) == [start, RAW + "int_orders.amount",
                                         RAW + "stg_payments.amount"]
    again.close()


def test_a_name_that_means_several_columns_asks_instead_of_guessing(browser, shop_page):
    links = shop_page[1]
    named = sorted({name for link in links for name in link[:2]
                    if name.endswith(".customer_id")})
    assert len(named) > 2
    page = Opened(browser, shop_page[0], "#focus=customer_id")
    opened = page.page
    assert opened.locator("#focus").count() == 0
    assert opened.inner_text("#status") == \
        f"customer_id names {len(named)} columns or tables: choose one"
    offered = [text[:-len("column")] for text in
               opened.locator("#matches li").all_text_contents()[:len(named)]]
    assert sorted(offered) == named
    opened.locator("#matches li").first.dispatch_event("mousedown")
    settled(opened)
    assert sorted(rows_of(opened, "#focus .row.start")) == [offered[0]]
    page.close()


def test_details_of_a_column_and_of_an_edge(browser, shop_page):
    page = Opened(browser, shop_page[0], "#focus=customers.lifetime_value&depth=all")
    opened = page.page
    details = opened.locator("#details")
    assert not details.is_visible()
    opened.click(f'#focus .row[data-name="{RAW}customers.lifetime_value"]')
    assert details.locator("h2").text_content() == RAW + "customers.lifetime_value"
    text = details.inner_text()
    assert "model.shop.customers" in text and "sum(amount) as lifetime_value" in text
    assert "description\nWhat the customer paid, in dollars" in text
    assert f"{RAW}int_orders.amount \u2014 DIRECT AGGREGATION" in text
    opened.click(f'#focus .row[data-name="{RAW}stg_payments.amount"]')
    assert details.locator("h2").text_content() == RAW + "stg_payments.amount"
    assert f"{RAW}raw_payments.amount \u2014 DIRECT TRANSFORMATION" in details.inner_text()
    edge = opened.locator("#focus .edge").first
    edge.dispatch_event("click")
    fields = details.locator("dd").all_text_contents()
    assert fields[:2] == ["DIRECT", edge.get_attribute("data-kind").split("|")[1]]
    assert details.locator("h2").text_content().count("\u2192") == 1
    opened.keyboard.press("Escape")
    assert opened.locator("#overview").count() == 1
    page.close()


def test_the_command_writes_pages_of_a_script_its_tables_and_a_walk(browser, tmp_path):
    script = tmp_path / "etl.sql"
    script.write_text(ETL)
    for extra, title, tables in [
            ((), "Column lineage",
             ["big", "mart.report", "mart.totals", "raw.orders", "raw.returns", "stg.orders"]),
            (("--summary",), "Tables: sources, intermediates and targets",
             ["big", "mart.report", "mart.totals", "raw.orders", "raw.returns", "stg.orders"]),
            (("--upstream", "mart.totals.total"), "Column lineage: upstream of mart.totals.total",
             ["big", "mart.totals", "raw.orders", "stg.orders"])]:
        done = lineage_cli("--format", "html", script, *extra)
        assert (done.returncode, done.stderr) == (0, "")
        page = Opened(browser, write_page(tmp_path, done.stdout))
        assert page.page.title() == title
        assert sorted(rows_of(page.page, "#overview .node")) == tables
        page.page.click('.node[data-name="stg.orders"]')
        if extra == ("--summary",):
            assert shown_columns(page.page) == ["big", "raw.orders", "stg.orders"]
        else:
            assert "stg.orders.amount" in shown_columns(page.page)
        page.close()


def test_the_command_s_page_of_a_dbt_project_shows_sql_and_descriptions(browser, shop):  # noqa: F811
    done = lineage_cli("--dbt", shop / "target", "--format", "html")
    assert (done.returncode, done.stderr) == (0, "")
    page = Opened(browser, write_page(shop.parent, done.stdout, "command.html"),
                  "#focus=customers.lifetime_value")
    opened = page.page
    assert shown_columns(opened) == [RAW + "customers.lifetime_value", RAW + "int_orders.amount"]
    opened.click(f'#focus .row[data-column="{RAW}customers.lifetime_value"]')
    text = opened.inner_text("#details")
    assert "description\nWhat the customer paid, in dollars" in text
    assert "statement\nmodel.shop.customers#1" in text
    assert "sum(amount) as lifetime_value" in opened.inner_text("#details pre")
    # A seed's column (read, never written) keeps its description too.
    opened.evaluate(f"location.hash = '#focus={RAW}raw_customers.id'")
    settled(opened)
    opened.click(f'#focus .row[data-column="{RAW}raw_customers.id"]')
    assert "description\nThe customer's key in the application" in opened.inner_text("#details")
    page.close()


@pytest.fixture(scope="module")
def tuva(tmp_path_factory):
    target = TUVA
    if not (target / "manifest.json").is_file():
        pytest.skip("the Tuva project's target/ is not here")
    project = project_lineage(target)
    edges, tables = project_edges(project)
    path = write_page(tmp_path_factory.mktemp("tuva"), lineage_page(edges, title="Tuva",
                                                                     tables=tables))
    written = {str(result.target) for result in project.models.values()
               if getattr(result, "target", None) is not None}
    return path, project_links(project), written


def test_tuva_opens_fitted_and_focuses_on_medical_paid_in_one_screen(browser, tuva):
    path, links, written = tuva
    page = Opened(browser, path, "#focus=financial_pmpm.pmpm_payer.medical_paid&depth=all")
    start = "tuva.financial_pmpm.pmpm_payer.medical_paid"
    expected = neighbourhood(links, [start], indirect=False)
    assert len(expected) == 20
    assert {"tuva.raw_data.raw_data__medical_claim.paid_amount",
            "tuva.raw_data.raw_data__pharmacy_claim.paid_amount"} <= set(expected)
    assert shown_columns(page.page) == expected
    assert inside_view(page.page, "#focus .row")
    page.page.click("#back")
    nodes = rows_of(page.page, "#overview .node")
    # Every model's table (some write constants only) and every table read.
    assert sorted(nodes) == sorted(written | {name.rsplit(".", 1)[0] for link in links
                                              for name in link[:2]})
    assert inside_view(page.page, "#overview .node")
    page.close()


def test_a_page_of_direct_edges_only_has_no_indirect_switch(browser, shop):  # noqa: F811
    project = project_lineage(shop / "target")
    edges, tables = project_edges(project)
    links = {link for link in project_links(project) if link[2] == "DIRECT"}
    text = lineage_page(edges, title="direct", tables=tables, direct_only=True)
    page = Opened(browser, write_page(shop.parent, text, "direct.html"),
                  "#focus=customers.value_rank&depth=all")
    assert page.page.is_disabled("#indirect") and not page.page.is_checked("#indirect")
    assert shown_columns(page.page) == neighbourhood(links, [RAW + "customers.value_rank"]) == [
        RAW + "customers.value_rank"]
    page.page.click("#back")
    page.page.click(f'.node[data-name="{RAW}stg_orders"]')
    starts = [RAW + f"stg_orders.{name}" for name in ("customer_id", "order_date", "order_id",
                                                      "status")]
    assert shown_columns(page.page) == neighbourhood(links, starts, depth=1)
    assert page.page.locator("#focus .edge.indirect").count() == 0
    page.close()


def test_given_tables_set_groups_column_order_and_descriptions(browser, tmp_path):
    def edge(source, target, kind="DIRECT", subtype="IDENTITY"):
        return {"source": [None, "raw", "s", source], "target": [None, "mart", "t", target],
                "type": kind, "subtype": subtype, "statement": "load.sql#1",
                "sql": "insert into mart.t select z, a from raw.s where f"}

    edges = [edge("z", "z"), edge("a", "a"), edge("f", "z", "INDIRECT", "FILTER"),
             edge("f", "a", "INDIRECT", "FILTER")]
    tables = [{"name": [None, "mart", "t"], "role": "target", "group": "marts",
               "columns": ["z", "a", "unused"], "descriptions": {"z": "the last letter"}}]
    page = Opened(browser, write_page(tmp_path, lineage_page(edges, title="given", tables=tables)),
                  "#focus=mart.t&indirect=1")
    opened = page.page
    assert rows_of(opened, '#focus .table[data-name="mart.t"] .row') == [
        "mart.t.z", "mart.t.a", "mart.t.unused"]
    # The filter feeds every column the statement writes: drawn once, to the table.
    assert opened.locator("#focus .edge.indirect").count() == 1
    assert opened.locator("#focus .edge.direct").count() == 2
    opened.click('#focus .row[data-name="mart.t.z"]')
    assert "description\nthe last letter" in opened.inner_text("#details")
    assert "raw.s.f \u2014 INDIRECT FILTER" in opened.inner_text("#details")
    opened.dblclick('#focus .row[data-name="mart.t.a"]')
    assert shown_columns(opened) == ["mart.t.a", "raw.s.a", "raw.s.f"]
    opened.click("#back")
    assert opened.locator(".band text").all_text_contents() == ["raw", "marts"]
    page.close()
