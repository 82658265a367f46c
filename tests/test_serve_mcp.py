"""``sqlglot-main mcp``: the graph's tools spoken to with the ``mcp``
package's own stdio client, as an agent's host starts and calls them."""

import sys

import anyio
import pytest

mcp = pytest.importorskip("mcp")

from mcp import ClientSession  # noqa: E402
from mcp.client.stdio import StdioServerParameters, stdio_client  # noqa: E402

S = "shop.main."


def _calls(graph, calls):
    """Start the server on ``graph``, list its tools, make each (tool,
    arguments) call; (tools by name with their parameters, the texts)."""
    async def talk():
        server = StdioServerParameters(command=sys.executable,
                                       args=["-m", "qarvel_lineage.cli", "mcp", str(graph)])
        with anyio.fail_after(240):
            async with stdio_client(server) as (read, write):
                async with ClientSession(read, write) as session:
                    await session.initialize()
                    listed = await session.list_tools()
                    tools = {tool.name: sorted(tool.input_schema["properties"])
                             for tool in listed.tools}
                    texts = []
                    for name, arguments in calls:
                        result = await session.call_tool(name, arguments)
                        assert not result.is_error, result
                        texts.append("".join(block.text for block in result.content))
                    return tools, texts
    return anyio.run(talk)


def test_the_tools_answer_about_the_test_project(shop_graph):
    tools, (up, ambiguous, explained, impact, paths, found, missing) = _calls(shop_graph[1], [
        ("upstream", {"column": "customers.lifetime_value", "direct_only": True}),
        ("downstream", {"column": "customer_id"}),
        ("explain", {"source": "raw_payments.amount", "target": "stg_payments.amount"}),
        ("impact", {"column": "raw_orders.status"}),
        ("paths", {"source": "raw_payments.amount", "target": "customers.lifetime_value"}),
        ("search", {"query": "amount"}),
        ("upstream", {"column": "nowhere.at_all"}),
    ])
    assert tools == {"search": ["limit", "query"], "upstream": ["column", "depth", "direct_only"],
                     "downstream": ["column", "depth", "direct_only"], "impact": ["column"],
                     "paths": ["source", "target"], "explain": ["source", "target"]}
    lines = up.splitlines()
    assert lines[0] == (f"upstream of {S}customers.lifetime_value: 3 columns over 3 edges, "
                        "DIRECT edges only")
    assert lines[-3:] == [
        f"  1: {S}int_orders.amount -> {S}customers.lifetime_value (DIRECT AGGREGATION, in "
        "model.shop.customers)",
        f"  2: {S}stg_payments.amount -> {S}int_orders.amount (DIRECT AGGREGATION, in "
        "model.shop.int_orders)",
        f"  3: {S}raw_payments.amount -> {S}stg_payments.amount (DIRECT TRANSFORMATION, in "
        "model.shop.stg_payments)"]
    assert f"  {S}raw_payments.amount  3 hops; nearest hop: DIRECT TRANSFORMATION in " \
           "model.shop.stg_payments" in lines

    assert ambiguous.splitlines() == [
        "'customer_id' names 8 columns; call again with one of:",
        "  shop.ext.events.customer_id", f"  {S}customers.customer_id",
        f"  {S}fct_events.customer_id", f"  {S}int_orders.customer_id",
        f"  {S}stg_customers.customer_id", f"  {S}stg_events.customer_id",
        f"  {S}stg_orders.customer_id", "  shop.snapshots.orders_snapshot.customer_id"]

    assert explained.splitlines()[:2] == [
        f"{S}raw_payments.amount feeds {S}stg_payments.amount in 1 statement:", ""]
    assert explained.splitlines()[2] == "statement model.shop.stg_payments: DIRECT TRANSFORMATION"
    assert "amount / 100 as amount" in explained and '"shop"."main"."raw_payments"' in explained

    # stg_orders.status filters int_orders (where status = 'shipped'), whose
    # columns reach customers through the join and the grouping.
    assert impact.splitlines()[0].startswith(f"impact of {S}raw_orders.status: ")
    assert f"  {S}stg_orders.status  1 hop: {S}raw_orders.status -> {S}stg_orders.status " \
           "(DIRECT IDENTITY)" in impact.splitlines()
    assert any(line.startswith(f"  {S}int_orders.amount  2 hops") for line in impact.splitlines())

    assert paths.splitlines() == [
        f"1 path from {S}raw_payments.amount to {S}customers.lifetime_value, shortest first:",
        "path 1 (3 hops):",
        f"  {S}raw_payments.amount -> {S}stg_payments.amount (DIRECT TRANSFORMATION, in "
        "model.shop.stg_payments)",
        f"  {S}stg_payments.amount -> {S}int_orders.amount (DIRECT AGGREGATION, in "
        "model.shop.int_orders)",
        f"  {S}int_orders.amount -> {S}customers.lifetime_value (DIRECT AGGREGATION, in "
        "model.shop.customers)"]
    assert found.splitlines()[1] == (f"  {S}raw_payments.amount  (column of {S}raw_payments; "
                                     "matches last parts; nothing feeds it)")
    assert missing == ("no column 'nowhere.at_all' in the graph; call search with part of its "
                       "name to find it")


def test_answers_are_bounded_and_say_what_they_left_out(tuva_graph):
    _, (wide, explained) = _calls(tuva_graph, [
        ("downstream", {"column": "tuva.raw_data.raw_data__medical_claim.paid_amount"}),
        ("explain", {"source": "tuva.core._stg_claims_medical_claim.paid_amount",
                     "target": "tuva.core.medical_claim.paid_amount"}),
    ])
    assert len(wide) <= 20_000
    last = wide.splitlines()[-1]
    assert last.startswith("... ") and "more edges left out" in last
    assert "call downstream with depth=1 or 2" in last
    lines = wide.splitlines()
    left = int(last.split()[1].replace(",", ""))
    total = int(lines[0].split(" over ")[1].split()[0].replace(",", ""))
    shown = lines[lines.index("every edge, nearest first (depth: source -> target (type subtype, "
                              "in statement)):") + 1:-1]
    # Every edge is either shown or counted among those left out.
    assert left > 0 and len(shown) + left == total
    assert explained.startswith("tuva.core._stg_claims_medical_claim.paid_amount feeds "
                                "tuva.core.medical_claim.paid_amount in 1 statement:")
    assert "DIRECT IDENTITY" in explained and "select" in explained.lower()
    assert len(explained) <= 20_000
