"""The lineage page at scale: long edges are bundled and their waypoints
bounded, so the drawing stays linear in the number of tables and links; a
wide table's columns are listed through an index."""

import json

from qarvel_lineage.page.render import lineage_page, rows_edges


def page_data(page):
    start = page.index('<script id="lineage-data" type="application/json">')
    return json.loads(page[page.index(">", start) + 1:page.index("</script>", start)])


def edge(source, target, kind="DIRECT", subtype="IDENTITY", statement="q"):
    return {"source": source, "target": target, "type": kind, "subtype": subtype,
            "statement": statement}


def points_drawn(data):
    return sum(len(link[3]) // 2 for link in data["links"])


def test_a_chain_joining_one_dimension_at_every_step_is_bundled():
    steps = 800
    edges = []
    for step in range(1, steps + 1):
        target = [None, "s", f"t{step}", "a"]
        edges.append(edge([None, "s", f"t{step - 1}", "a"], target, statement=f"q{step}"))
        edges.append(edge([None, "d", "dim", "k"], target, "INDIRECT", "JOIN", f"q{step}"))
    data = page_data(lineage_page(edges, title="chain"))
    tables = [table[0] for table in data["tables"]]
    assert len(tables) == steps + 2 and len(data["links"]) == 2 * steps
    assert points_drawn(data) <= 6 * (len(tables) + len(data["links"]))
    dim = tables.index("d.dim")
    from_dim = sorted(len(link[3]) // 2 for link in data["links"] if link[0] == dim)
    # The longest one is drawn along the bundle's waypoints (one a layer
    # between), the others leave it in the layer before their table.
    layers = {table[0]: table[6] for table in data["tables"]}
    longest = layers["s.t800"] - layers["d.dim"] + 1
    assert from_dim == [2] * (steps - 1) + [longest]
    assert data["tables"][dim][6] == 0


def test_waypoints_past_the_budget_are_left_out():
    """300 long edges from 300 boxes to 300 others, each in a bundle of its
    own: their waypoints would be 45,000; the longest bundles go straight."""
    length = 300
    edges = [edge([None, "c", f"c{n}", "a"], [None, "c", f"c{n + 1}", "a"])
             for n in range(length)]
    for n in range(length):
        edges.append(edge([None, "c", f"c{n}", "a"], [None, "x", f"x{n}", "a"]))
        edges.append(edge([None, "c", f"c{length}", "a"], [None, "x", f"x{n}", "a"]))
    data = page_data(lineage_page(edges, title="parallel"))
    assert len(data["links"]) == 3 * length
    assert points_drawn(data) <= 6 * (len(data["tables"]) + len(data["links"]))
    assert all(len(link[3]) >= 4 for link in data["links"])


class Name(str):
    """A column name that counts how often it is compared."""

    compared = 0

    def __eq__(self, other):
        Name.compared += 1
        return str.__eq__(self, other)

    __hash__ = str.__hash__


def test_a_wide_table_lists_its_columns_through_an_index():
    width = 3000
    rows = [{"input": "w.sql", "statement": 1, "position": n + 1, "column": Name(f"c{n}"),
             "target_catalog": None, "target_db": "s", "target_table": "wide",
             "source_catalog": None, "source_db": "s", "source_table": "src",
             "source_column": f"a{n}", "type": "DIRECT", "subtype": "IDENTITY", "reason": None}
            for n in range(width)]
    Name.compared = 0
    edges, tables = rows_edges(rows)
    assert Name.compared <= 4 * width
    assert [table["columns"] for table in tables] == [[f"c{n}" for n in range(width)]]
    assert len(edges) == width
