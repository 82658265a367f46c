"""The layered layout of the page's graph of tables, and deep graphs on the
page: nothing recurses, cycles are broken, crossings drop, groups stay
together."""

import pytest

from qarvel_lineage.page.render import lineage_page
from qarvel_lineage.page.layout import NODE_HEIGHT, layered_layout

from page_helpers import Opened, chromium, shown_columns, write_page

browser = pytest.fixture(scope="module")(chromium)


def order_in(layout, nodes):
    return sorted(nodes, key=lambda node: layout.y[node])


def test_barycentre_ordering_removes_the_crossing_of_a_crossed_pair():
    # 0 -> 3 and 1 -> 2 cross as given; one sweep uncrosses them.
    layout = layered_layout([100.0] * 4, [None] * 4, [(0, 3), (1, 2)])
    assert layout.layer == [0, 0, 1, 1]
    assert layout.crossings == (1, 0)
    assert order_in(layout, [0, 1]).index(0) == order_in(layout, [2, 3]).index(3)


def test_a_cycle_is_broken_and_every_edge_is_still_drawn():
    edges = [(0, 1), (1, 2), (2, 0), (2, 3), (3, 3)]
    layout = layered_layout([80.0] * 4, [None] * 4, edges)
    assert sorted(layout.layer[:3]) == [0, 1, 2] and layout.layer[3] == 3
    assert len(layout.points) == 4  # the loop 3 -> 3 is left out
    for (source, target), points in zip(edges, layout.points):
        ends = [(points[0], points[1]), (points[-2], points[-1])]
        # From the source's side to the target's side, whichever way the edge runs.
        assert {round(x) for x, _ in ends} <= {round(layout.x[source]), round(layout.x[source] + 80),
                                               round(layout.x[target]), round(layout.x[target] + 80)}
        assert ends[0][1] == layout.y[source] + NODE_HEIGHT / 2
        assert ends[1][1] == layout.y[target] + NODE_HEIGHT / 2


def test_a_long_edge_passes_a_waypoint_in_each_layer_between():
    layout = layered_layout([50.0] * 4, [None] * 4, [(0, 1), (1, 2), (2, 3), (0, 3)])
    assert layout.layer == [0, 1, 2, 3]
    assert len(layout.points[3]) == 2 * 4
    assert [layout.points[3][i] for i in (2, 4)] == [layout.x[1] + 25, layout.x[2] + 25]


def test_the_tables_of_a_group_stay_together_in_each_layer():
    # Three sources feed six targets; the targets alternate between two groups.
    groups = [None, None, None, 0, 1, 0, 1, 0, 1]
    edges = [(0, 3), (0, 4), (1, 5), (1, 6), (2, 7), (2, 8)]
    layout = layered_layout([60.0] * 9, groups, edges)
    runs = [groups[node] for node in order_in(layout, range(3, 9))]
    assert runs in ([0, 0, 0, 1, 1, 1], [1, 1, 1, 0, 0, 0])
    bands = sorted((top, bottom) for group, layer, top, bottom in layout.bands if layer == 1)
    assert len(bands) == 2 and bands[0][1] < bands[1][0]


def test_a_chain_of_1200_hops_lays_out():
    layout = layered_layout([100.0] * 1201, [0] * 1201, [(i, i + 1) for i in range(1200)])
    assert layout.layer == list(range(1201))
    assert all(a < b for a, b in zip(layout.x, layout.x[1:]))


def test_a_page_of_a_1200_hop_chain_opens_and_focuses(browser, tmp_path):
    edges = [{"source": [None, "s", f"t{i}", "c"], "target": [None, "s", f"t{i + 1}", "c"],
              "type": "DIRECT", "subtype": "IDENTITY", "statement": f"q{i}"} for i in range(1200)]
    page = Opened(browser, write_page(tmp_path, lineage_page(edges, title="chain")),
                  "#focus=s.t1200.c&depth=all")
    assert shown_columns(page.page) == sorted(f"s.t{i}.c" for i in range(1201))
    page.page.select_option("#depth", "3")
    assert shown_columns(page.page) == sorted(f"s.t{i}.c" for i in range(1197, 1201))
    page.close()
