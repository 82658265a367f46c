"""``sqlglot-main serve``: the server as a real process on a free loopback
port, its JSON API asked about the test dbt project (built with dbt-duckdb)
and the Tuva project with exact expected answers, hostile requests, many
clients at once, and its end on SIGTERM and SIGINT."""

import concurrent.futures
import json
import os
import signal
import socket
import urllib.parse
from collections import deque

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from helpers import TUVA
from serve_helpers import Served, edge_set

S = "shop.main."


@pytest.fixture(scope="module")
def shop(shop_graph):
    served = Served(shop_graph[1])
    yield served
    served.close()


# --- the API on the test dbt project ------------------------------------------------------------

def test_the_first_line_is_the_url_of_a_loopback_port(shop):
    assert shop.url == f"http://127.0.0.1:{shop.port}/"
    assert shop.port > 0
    status, headers, body = shop.request("/")
    assert status == 200 and headers["content-type"].startswith("text/html")
    assert "script-src 'self'" in headers["content-security-policy"]
    assert b'<script src="explorer.js"' in body


def test_walks_give_exact_edges_nearest_first(shop):
    # customers.lifetime_value = sum(amount) of int_orders, grouped by and
    # joined on customer_id; int_orders.amount = coalesce of the ephemeral
    # sum(stg_payments.amount); stg_payments.amount = raw_payments.amount / 100.
    status, answer = shop.ask("upstream", column="customers.lifetime_value", direct_only=1)
    assert status == 200 and answer["column"] == S + "customers.lifetime_value"
    assert answer["truncated"] is False
    assert [e["depth"] for e in answer["edges"]] == [1, 2, 3]
    assert edge_set(answer) == {
        (S + "int_orders.amount", S + "customers.lifetime_value", "DIRECT", "AGGREGATION", 1),
        (S + "stg_payments.amount", S + "int_orders.amount", "DIRECT", "AGGREGATION", 2),
        (S + "raw_payments.amount", S + "stg_payments.amount", "DIRECT", "TRANSFORMATION", 3)}
    assert {e["statement"] for e in answer["edges"]} == {
        "model.shop.customers", "model.shop.int_orders", "model.shop.stg_payments"}

    status, answer = shop.ask("upstream", column="customers.lifetime_value", depth=1)
    assert edge_set(answer) == {
        (S + "int_orders.amount", S + "customers.lifetime_value", "DIRECT", "AGGREGATION", 1),
        (S + "int_orders.customer_id", S + "customers.lifetime_value", "INDIRECT", "GROUP_BY", 1),
        (S + "int_orders.customer_id", S + "customers.lifetime_value", "INDIRECT", "JOIN", 1),
        (S + "stg_customers.customer_id", S + "customers.lifetime_value", "INDIRECT", "JOIN", 1)}
    # What each column holds and how many edges lead on each way (a page's "+").
    assert answer["nodes"][S + "int_orders.amount"] == {
        "table": S + "int_orders", "name": "amount", "up": 5, "down": 2}
    assert answer["nodes"][S + "customers.lifetime_value"] == {
        "table": S + "customers", "name": "lifetime_value", "up": 4, "down": 1}
    assert set(answer["nodes"]) == {S + "customers.lifetime_value", S + "int_orders.amount",
                                    S + "int_orders.customer_id", S + "stg_customers.customer_id"}

    status, answer = shop.ask("downstream", column="raw_payments.amount", direct_only="true")
    assert edge_set(answer) == {
        (S + "raw_payments.amount", S + "stg_payments.amount", "DIRECT", "TRANSFORMATION", 1),
        (S + "stg_payments.amount", S + "int_orders.amount", "DIRECT", "AGGREGATION", 2),
        (S + "stg_payments.amount", S + "payments_by_source.amount", "DIRECT", "IDENTITY", 2),
        (S + "int_orders.amount", S + "customers.lifetime_value", "DIRECT", "AGGREGATION", 3),
        (S + "payments_by_source.amount", S + "payment_amounts.amount", "DIRECT", "IDENTITY", 3),
        (S + "customers.lifetime_value", "exposure.shop.customer_dashboard", "DIRECT", "EXPOSURE",
         4)}

    status, answer = shop.ask("upstream", column="customers.lifetime_value", limit=2)
    assert answer["truncated"] is True and len(answer["edges"]) == 2
    assert {e["depth"] for e in answer["edges"]} == {1}


def test_impact_paths_and_a_column_s_details(shop):
    status, answer = shop.ask("impact", column="raw_payments.amount")
    assert status == 200 and answer["total"] == 7 and answer["truncated"] is False
    assert {(i["column"], i["depth"]) for i in answer["impacted"]} == {
        (S + "stg_payments.amount", 1), (S + "int_orders.amount", 2),
        (S + "payments_by_source.amount", 2), (S + "customers.lifetime_value", 3),
        (S + "customers.value_rank", 3), (S + "payment_amounts.amount", 3),
        ("exposure.shop.customer_dashboard", 4)}
    rank = next(i for i in answer["impacted"] if i["column"] == S + "customers.value_rank")
    # rank() over (order by lifetime_value): the window orders by the summed amount.
    assert [(e["source"], e["type"], e["subtype"]) for e in rank["path"]] == [
        (S + "raw_payments.amount", "DIRECT", "TRANSFORMATION"),
        (S + "stg_payments.amount", "DIRECT", "AGGREGATION"),
        (S + "int_orders.amount", "INDIRECT", "WINDOW")]

    status, answer = shop.ask("paths", source="raw_payments.amount",
                              target="customers.lifetime_value")
    assert status == 200 and answer["truncated"] is False
    assert [[(e["source"], e["target"]) for e in path] for path in answer["paths"]] == [[
        (S + "raw_payments.amount", S + "stg_payments.amount"),
        (S + "stg_payments.amount", S + "int_orders.amount"),
        (S + "int_orders.amount", S + "customers.lifetime_value")]]

    # From marts.yml: the description and tests; from the catalog: the type;
    # from the manifest: the model's compiled SQL.
    status, answer = shop.ask("column", name="customers.lifetime_value")
    assert status == 200
    sql = answer.pop("statements")
    assert answer == {"name": S + "customers.lifetime_value", "table": S + "customers",
                      "column": "lifetime_value", "data_type": "DOUBLE",
                      "description": "What the customer paid, in dollars", "tests": ["not_null"],
                      "upstream": 4, "downstream": 1}
    assert [s["name"] for s in sql] == ["model.shop.customers"]
    assert "sum(amount) as lifetime_value" in sql[0]["sql"]
    assert 'from "shop"."main"."int_orders"' in sql[0]["sql"]   # compiled, not Jinja
    status, answer = shop.ask("column", name="CUSTOMERS.CUSTOMER_ID")
    assert answer["tests"] == ["not_null", "relationships", "unique"]
    assert answer["description"] == "The customer's key"
    # A seed's column: described in seeds.yml, written by no statement.
    status, answer = shop.ask("column", name="raw_customers.id")
    assert (answer["description"], answer["data_type"], answer["statements"]) == (
        "The customer's key in the application", "INTEGER", [])
    status, answer = shop.ask("table", name="customers")
    assert answer["columns"] == [S + "customers." + c for c in (
        "customer_id", "full_name", "first_order", "number_of_orders", "lifetime_value",
        "value_rank")]


def test_search_ranks_whole_names_and_sources_first(shop):
    status, answer = shop.ask("search", q="amount")
    names = [(r["name"], r["kind"], r["match"], r["source"]) for r in answer["results"]]
    assert names[:6] == [
        (S + "raw_payments.amount", "column", "last parts", True),
        (S + "int_orders.amount", "column", "last parts", False),
        (S + "stg_payments.amount", "column", "last parts", False),
        (S + "payment_amounts.amount", "column", "last parts", False),
        (S + "payments_by_source.amount", "column", "last parts", False),
        (S + "payment_amounts", "table", "anywhere", False)]
    status, answer = shop.ask("search", q="shop.main.customers")
    assert answer["results"][0] == {"name": S + "customers", "kind": "table",
                                    "table": S + "customers", "match": "whole", "source": False}
    status, answer = shop.ask("search", q="amount", limit=2)
    assert len(answer["results"]) == 2 and answer["truncated"] is True and answer["total"] > 2


def test_an_ambiguous_name_is_409_with_its_candidates_and_an_unknown_one_404(shop):
    status, answer = shop.ask("upstream", column="customer_id")
    assert status == 409
    assert answer["candidates"] == [
        "shop.ext.events.customer_id", S + "customers.customer_id", S + "fct_events.customer_id",
        S + "int_orders.customer_id", S + "stg_customers.customer_id",
        S + "stg_events.customer_id", S + "stg_orders.customer_id",
        "shop.snapshots.orders_snapshot.customer_id"]
    assert "8 columns" in answer["error"]
    for question, params in (("column", {"name": "customer_id"}),
                             ("paths", {"source": "customer_id", "target": "customers.customer_id"}),
                             ("impact", {"column": "customer_id"})):
        assert shop.ask(question, **params)[0] == 409
    status, answer = shop.ask("downstream", column="no_such.column")
    assert (status, answer) == (404, {"error": "no column 'no_such.column' in the graph"})
    assert shop.ask("table", name="nowhere")[0] == 404
    assert shop.ask("nothing", q="x")[0] == 404


@pytest.mark.parametrize("question, params, words", [
    ("upstream", {"column": "customers.lifetime_value", "depth": "0"}, "depth must be"),
    ("upstream", {"column": "customers.lifetime_value", "depth": "two"}, "depth must be"),
    ("upstream", {"column": "customers.lifetime_value", "depth": "-1"}, "depth must be"),
    ("downstream", {"column": "raw_payments.amount", "direct_only": "maybe"}, "direct_only must"),
    ("upstream", {}, "column is required"),
    ("upstream", {"column": "  "}, "column is required"),
    ("upstream", {"colum": "x"}, "unknown parameter 'colum'"),
    ("search", {"q": "a", "limit": "1e3"}, "limit must be"),
    ("search", {"q": "x" * 2001}, "longer than 2,000"),
    ("search", {"q": "a\x00b"}, "NUL"),
    ("paths", {"source": "raw_payments.amount"}, "target is required"),
])
def test_malformed_parameters_are_400_with_one_line(shop, question, params, words):
    status, answer = shop.ask(question, **params)
    assert status == 400 and words in answer["error"] and "\n" not in answer["error"]


def test_a_repeated_parameter_and_a_query_that_is_not_utf8_are_400(shop):
    status, _, body = shop.request("/api/search?q=a&q=b")
    assert status == 400 and json.loads(body) == {"error": "q is given more than once"}
    status, _, body = shop.request("/api/search?q=%ff%fe")
    assert status in (200, 400)   # undecodable bytes are replaced or refused, never a failure
    assert shop.request("/api/search?q=%ZZ")[0] in (200, 400)


# --- hostile requests ----------------------------------------------------------------------------

@pytest.mark.parametrize("target", [
    "/../../../../etc/passwd", "/%2e%2e/%2e%2e/%2e%2e/etc/passwd", "/..%2f..%2f..%2fetc%2fpasswd",
    "/explorer.js/../../../etc/passwd", "//etc/passwd", "/api/../../etc/passwd",
    "/%2e%2e%5c%2e%2e%5cetc%5cpasswd", "/explorer.js%00.html", "/.%2e/.%2e/etc/passwd",
    "/api/%2e%2e/%2e%2e/etc/passwd", "/serve/api.py", "/qarvel_lineage/serve/app.py",
    "/explorer.html", "/../graph.db",
])
def test_no_file_outside_the_assets_is_served(shop, shop_graph, target):
    status, _, body = shop.request(target)
    assert status == 404
    assert b"root:" not in body and b"import" not in body and b"SQLite" not in body


@pytest.mark.parametrize("host", [
    "evil.example", "evil.example:{port}", "localhost.evil.example:{port}", "127.0.0.1:1",
    "127.0.0.1:{port}.evil.example", "[::1", "", "10.0.0.1:{port}", "127.0.0.1:{port}:{port}"])
def test_a_foreign_host_is_refused(shop, host):
    status, _, body = shop.request("/api/search?q=amount", host=host.format(port=shop.port))
    assert status == 421 and b"amount" not in body


@pytest.mark.parametrize("host", ["127.0.0.1:{port}", "localhost:{port}", "LOCALHOST:{port}",
                                  "[::1]:{port}", "127.0.0.1", "localhost"])
def test_its_own_address_and_localhost_are_answered(shop, host):
    assert shop.request("/api/search?q=amount", host=host.format(port=shop.port))[0] == 200


@pytest.mark.parametrize("method", ["POST", "PUT", "DELETE", "PATCH", "OPTIONS", "TRACE"])
def test_only_get_is_served(shop, method):
    status, headers, body = shop.request("/api/search?q=amount", method=method, body=b"{}")
    assert status == 405 and headers["allow"] == "GET, HEAD"
    assert "only GET" in json.loads(body)["error"]


def test_oversized_requests_are_refused_and_the_server_goes_on(shop):
    huge = "x" * (2 * 1024 * 1024)
    try:
        status = shop.request("/api/search?q=" + huge)[0]
    except (ConnectionError, OSError):
        status = None   # refused by closing the connection
    assert status in (None, 400, 414, 431)
    status = shop.request("/api/search?q=amount", method="POST", body=b"x" * 2 * 1024 * 1024)[0]
    assert status == 405
    status = shop.request("/api/search?" + urllib.parse.urlencode({"q": "a" * 20_000}))[0]
    assert status == 414
    try:
        status = shop.request("/", headers={"X-Padding": "y" * (64 * 1024)})[0]
    except (ConnectionError, OSError):
        status = None
    assert status in (None, 400, 431)
    assert shop.ask("search", q="amount")[0] == 200


_TEXT = st.text(alphabet=st.characters(codec="utf-8", exclude_categories=("Cs",)), max_size=60)
_PARAMS = st.dictionaries(st.sampled_from(["q", "column", "name", "source", "target", "depth",
                                           "direct_only", "limit", "x"]),
                          st.one_of(_TEXT, st.integers(-5, 10**12).map(str),
                                    st.sampled_from(["customer_id", "amount", S + "customers.lifetime_value",
                                                     "raw_payments.amount", "1", "0", "true"])),
                          max_size=4)


@settings(max_examples=120, deadline=None, suppress_health_check=list(HealthCheck))
@given(question=st.sampled_from(["search", "upstream", "downstream", "impact", "paths", "column",
                                 "table", "x"]), params=_PARAMS)
def test_any_parameters_get_an_answer_and_the_server_survives(shop, question, params):
    status, headers, body = shop.request(f"/api/{question}?{urllib.parse.urlencode(params)}")
    assert status in (200, 400, 404, 409)
    assert isinstance(json.loads(body), dict)


# --- many clients, and the graph never written ---------------------------------------------------

def test_eight_clients_sending_200_requests_get_the_answers_one_client_gets(shop, shop_graph):
    before = os.stat(shop_graph[1])
    questions = [("search", {"q": "amount"}), ("upstream", {"column": "customers.lifetime_value"}),
                 ("downstream", {"column": "raw_payments.amount", "depth": "2"}),
                 ("impact", {"column": "raw_orders.status"}),
                 ("paths", {"source": "raw_orders.id", "target": "customers.lifetime_value"}),
                 ("column", {"name": "customers.customer_id"}),
                 ("upstream", {"column": "customer_id"})]
    alone = [shop.ask(question, **params) for question, params in questions]
    work = deque(questions[index % len(questions)] for index in range(200))

    def client():
        answers = []
        while True:
            try:
                question, params = work.popleft()
            except IndexError:
                return answers
            answers.append(((question, params), shop.ask(question, **params)))

    with concurrent.futures.ThreadPoolExecutor(8) as pool:
        results = [item for future in [pool.submit(client) for _ in range(8)]
                   for item in future.result(timeout=300)]
    assert len(results) == 200
    expected = {json.dumps(q, sort_keys=True): a for q, a in zip(questions, alone)}
    assert all(answer == expected[json.dumps(asked, sort_keys=True)] for asked, answer in results)
    after = os.stat(shop_graph[1])
    assert (after.st_mtime_ns, after.st_size) == (before.st_mtime_ns, before.st_size)
    assert not os.path.exists(str(shop_graph[1]) + "-journal")


# --- stopping ------------------------------------------------------------------------------------

@pytest.mark.parametrize("number, status, word", [(signal.SIGTERM, 143, "terminated"),
                                                  (signal.SIGINT, 130, "interrupted")])
def test_sigterm_and_sigint_stop_it_cleanly(shop_graph, number, status, word):
    served = Served(shop_graph[1])
    assert served.ask("search", q="amount")[0] == 200
    code, err = served.stop(number)
    assert code == status
    assert err.splitlines() == [f"serving {shop_graph[1]} read-only; Ctrl-C stops",
                                f"{word}: the server stopped"]
    with pytest.raises(ConnectionRefusedError):
        socket.create_connection(("127.0.0.1", served.port), timeout=5).close()


def test_a_graph_that_cannot_be_served_is_one_line(tmp_path):
    from helpers import lineage_cli

    (tmp_path / "not.db").write_text("hello")
    for path, words in ((tmp_path / "missing.db", "no lineage graph at"),
                        (tmp_path / "not.db", "not a lineage graph"), (tmp_path, "not a regular file")):
        done = lineage_cli("serve", path, "--port", "0", timeout=60)
        assert done.returncode == 2 and done.stdout == ""
        assert done.stderr.splitlines()[-1].startswith("sqlglot-main serve: error: ")
        assert words in done.stderr.splitlines()[-1]


def test_a_port_in_use_is_one_line(shop, shop_graph):
    from helpers import lineage_cli

    done = lineage_cli("serve", shop_graph[1], "--port", shop.port, timeout=60)
    assert done.returncode == 1 and done.stdout == ""
    assert done.stderr.splitlines() == [
        f"sqlglot-main serve: cannot listen on 127.0.0.1:{shop.port}: Address already in use"]


# --- Tuva ------------------------------------------------------------------------------------------

@pytest.fixture(scope="module")
def tuva(tuva_graph):
    served = Served(tuva_graph)
    yield served
    served.close()


@pytest.fixture(scope="module")
def tuva_links():
    """(source, target, type) of every hop, straight from the project's rows."""
    from page_helpers import project_links
    from qarvel_lineage.dbt import project_lineage

    return project_links(project_lineage(TUVA))


def _cone(links, start, direct_only):
    """Every edge into every column upstream of ``start``, by a walk of its own."""
    into = {}
    for source, target, kind in links:
        if kind == "DIRECT" or not direct_only:
            into.setdefault(target, set()).add((source, target, kind))
    seen, queue, found = {start}, deque([start]), set()
    while queue:
        for edge in into.get(queue.popleft(), ()):
            found.add(edge)
            if edge[0] not in seen:
                seen.add(edge[0])
                queue.append(edge[0])
    return found


def test_tuva_walks_match_the_project_s_own_rows(tuva, tuva_links):
    start = "tuva.financial_pmpm.pmpm_payer.medical_paid"
    status, answer = tuva.ask("upstream", column="financial_pmpm.pmpm_payer.medical_paid",
                              direct_only=1)
    assert status == 200 and answer["column"] == start
    got = {(e["source"], e["target"], e["type"]) for e in answer["edges"]}
    assert got == _cone(tuva_links, start, True)
    assert len(got) == 23
    ends = {e["source"] for e in answer["edges"]} - {e["target"] for e in answer["edges"]}
    assert ends == {"tuva.raw_data.raw_data__medical_claim.paid_amount",
                    "tuva.raw_data.raw_data__pharmacy_claim.paid_amount"}
    status, answer = tuva.ask("upstream", column=start, limit=20_000)
    got = {(e["source"], e["target"], e["type"]) for e in answer["edges"]}
    assert answer["truncated"] is False and got == _cone(tuva_links, start, False)


def test_tuva_details_come_from_the_manifest(tuva):
    manifest = json.loads((TUVA / "manifest.json").read_text(encoding="utf-8"))
    node = manifest["nodes"]["model.the_tuva_project.financial_pmpm__pmpm_payer"]
    status, answer = tuva.ask("column", name="financial_pmpm.pmpm_payer.medical_paid")
    assert answer["description"] == node["columns"]["medical_paid"]["description"]
    assert answer["statements"] == [{"name": "model.the_tuva_project.financial_pmpm__pmpm_payer",
                                     "sql": node["compiled_code"]}]


def test_tuva_paid_amount_is_asked_about_not_guessed(tuva, tuva_links):
    named = sorted({name for link in tuva_links for name in link[:2]
                    if name.rsplit(".", 1)[-1] == "paid_amount"})
    status, answer = tuva.ask("upstream", column="paid_amount")
    assert status == 409 and answer["candidates"] == named
    status, answer = tuva.ask("search", q="paid_amount", limit=3)
    assert {r["name"] for r in answer["results"][:3]} >= {
        "tuva.raw_data.raw_data__medical_claim.paid_amount",
        "tuva.raw_data.raw_data__pharmacy_claim.paid_amount"}
