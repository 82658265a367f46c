"""A layered left-to-right layout of a directed graph of boxes, grouped.

The classic layered recipe, every step a loop (nothing recurses, so a
chain of any length lays out):

1. cycles are broken by reversing the edges an iterative depth-first walk
   finds closing a cycle;
2. each box goes to the layer after its furthest predecessor, and a box
   only read is pulled right next to its first reader;
3. an edge spanning several layers passes through a small waypoint in each
   layer between, so ordering sees it and drawing can follow it; long edges
   that leave one box share one line of waypoints (a bundle: each leaves it
   in the layer before its target), as do long edges into one box, and the
   waypoints are at most WAYPOINT_BUDGET times the boxes and edges (the
   longest bundles past that are drawn straight), so the layout stays
   linear in the drawing's size;
4. the order inside each layer comes from alternating barycentre sweeps
   (down then up), where the boxes of one group stay together as a block
   ordered by the mean barycentre of its boxes; the order with the fewest
   crossings between neighbouring layers is kept;
5. vertical places come from the barycentre of each item's neighbours,
   made to respect the order and the gaps by isotonic regression (pool
   adjacent violators), which is the least-squares fit to those wishes.
"""

from __future__ import annotations

from bisect import bisect_right
from dataclasses import dataclass, field
from itertools import pairwise

__all__ = ["Layout", "layered_layout"]

NODE_HEIGHT = 24.0
NODE_GAP = 10.0
WAYPOINT_GAP = 6.0
GROUP_GAP = 28.0
LAYER_GAP = 150.0
SWEEPS = 12
# Waypoints at most this many times the boxes and edges.
WAYPOINT_BUDGET = 4


@dataclass
class Layout:
    """Where the boxes went: ``x``/``y`` of each box's top-left corner,
    its ``layer``; ``points`` of each edge (in the order given), from the
    source's right side through the waypoints to the target's left side (a
    long edge bundled with a longer one: from the waypoint where it leaves
    the bundle, or to the one where it joins it);
    ``bands`` (group, layer, top, bottom) around each group's boxes in a
    layer; ``crossings`` before and after ordering (between neighbouring
    layers, waypoints included); the overall ``width`` and ``height``."""

    x: list[float]
    y: list[float]
    layer: list[int]
    points: list[list[float]]
    bands: list[tuple[int, int, float, float]] = field(default_factory=list)
    crossings: tuple[int, int] = (0, 0)
    layer_x: list[float] = field(default_factory=list)
    width: float = 0.0
    height: float = 0.0


def _broken_cycles(count: int, edges: list[tuple[int, int]]) -> list[bool]:
    """Which edges to reverse so the graph has no cycle: those a depth-first
    walk finds going back to a box still open on its path."""
    out: list[list[int]] = [[] for _ in range(count)]
    for index, (source, target) in enumerate(edges):
        out[source].append(index)
    state = [0] * count  # 0 unseen, 1 on the path, 2 done
    reverse = [False] * len(edges)
    for root in range(count):
        if state[root]:
            continue
        state[root] = 1
        stack = [(root, 0)]
        while stack:
            node, next_edge = stack[-1]
            if next_edge == len(out[node]):
                state[node] = 2
                stack.pop()
                continue
            stack[-1] = (node, next_edge + 1)
            index = out[node][next_edge]
            target = edges[index][1]
            if state[target] == 1:
                reverse[index] = True
            elif state[target] == 0:
                state[target] = 1
                stack.append((target, 0))
    return reverse


def _layers(count: int, dag: list[tuple[int, int]]) -> list[int]:
    preds: list[list[int]] = [[] for _ in range(count)]
    succs: list[list[int]] = [[] for _ in range(count)]
    for source, target in dag:
        preds[target].append(source)
        succs[source].append(target)
    waiting = [len(p) for p in preds]
    ready = [node for node in range(count) if waiting[node] == 0]
    order: list[int] = []
    while ready:
        node = ready.pop()
        order.append(node)
        for target in succs[node]:
            waiting[target] -= 1
            if waiting[target] == 0:
                ready.append(target)
    layer = [0] * count
    for node in order:
        for source in preds[node]:
            layer[node] = max(layer[node], layer[source] + 1)
    # A box only read sits just before its first reader.
    for node in order:
        if not preds[node] and succs[node]:
            layer[node] = min(layer[target] for target in succs[node]) - 1
    return layer


def _crossings(upper: list[int], lower_of: list[list[int]], position: list[int]) -> int:
    """Crossings of the edges between two neighbouring layers: ``upper`` in
    order, ``lower_of[item]`` the positions of its ends in the next layer."""
    seen: list[int] = []
    total = 0
    for item in upper:
        ends = sorted(position[end] for end in lower_of[item])
        for end in ends:
            total += len(seen) - bisect_right(seen, end)
        for end in ends:
            seen.insert(bisect_right(seen, end), end)
    return total


def _isotonic(wish: list[float], offset: list[float]) -> list[float]:
    """Places as near ``wish`` as least squares allows with place[i+1] -
    place[i] >= offset[i+1] - offset[i] (pool adjacent violators)."""
    blocks: list[list[float]] = []  # [mean, weight, length]
    for want, shift in zip(wish, offset):
        blocks.append([want - shift, 1.0, 1])
        while len(blocks) > 1 and blocks[-2][0] > blocks[-1][0]:
            mean, weight, length = blocks.pop()
            last = blocks[-1]
            total = last[1] + weight
            last[0] = (last[0] * last[1] + mean * weight) / total
            last[1] = total
            last[2] += length
    placed: list[float] = []
    for mean, _, length in blocks:
        placed.extend([mean] * int(length))
    return [value + shift for value, shift in zip(placed, offset)]


def _bundled(dag: list[tuple[int, int]], layer_of: list[int], item_layer: list[int],
             item_group: list[int | None]) -> tuple[list[list[int]], list[tuple[int, int]]]:
    """Each edge's chain of items (the boxes at its ends, the waypoints it
    is drawn through) and the links between neighbouring layers that
    ordering and placing follow; waypoints are appended to ``item_layer``
    and ``item_group``.

    A long edge joins the bundle of its source when the source has at
    least as many long edges out as its target has in, else its target's.
    A bundle is one line of waypoints, one per layer it crosses: the
    bundle's longest edge is drawn along all of it, the others from where
    they leave it (or to where they join it).  Bundles are kept shortest
    first while their waypoints fit in WAYPOINT_BUDGET times the boxes and
    edges; the edges of the others are drawn straight, unseen by ordering."""
    count = len(layer_of)
    span = [layer_of[t] - layer_of[s] for s, t in dag]
    out_long: dict[int, int] = {}
    in_long: dict[int, int] = {}
    for (source, target), length in zip(dag, span):
        if length > 1:
            out_long[source] = out_long.get(source, 0) + 1
            in_long[target] = in_long.get(target, 0) + 1
    bundles: dict[tuple[str, int], list[int]] = {}
    for index, (source, target) in enumerate(dag):
        if span[index] > 1:
            key = ("out", source) if out_long[source] >= in_long[target] else ("in", target)
            bundles.setdefault(key, []).append(index)

    def reach(key: tuple[str, int], members: list[int]) -> tuple[int, int]:
        """The layers a bundle's waypoints lie in, first to last."""
        if key[0] == "out":
            return layer_of[key[1]] + 1, max(layer_of[dag[i][1]] for i in members) - 1
        return min(layer_of[dag[i][0]] for i in members) + 1, layer_of[key[1]] - 1

    budget = WAYPOINT_BUDGET * (count + len(dag))
    kept: dict[tuple[str, int], tuple[int, int]] = {}
    for key in sorted(bundles, key=lambda k: (reach(k, bundles[k])[1] - reach(k, bundles[k])[0],
                                               k)):
        first, last = reach(key, bundles[key])
        if last - first + 1 > budget:
            break
        budget -= last - first + 1
        kept[key] = (first, last)

    chains: list[list[int]] = [[s, t] for s, t in dag]
    links: list[tuple[int, int]] = [(s, t) for (s, t), length in zip(dag, span) if length == 1]
    for key, (first, last) in kept.items():
        line: dict[int, int] = {}
        for step in range(first, last + 1):
            line[step] = len(item_layer)
            item_layer.append(step)
            item_group.append(None)
        links.extend(pairwise(line[step] for step in range(first, last + 1)))
        members = bundles[key]
        if key[0] == "out":
            source = key[1]
            links.append((source, line[first]))
            longest = max(members, key=lambda i: (span[i], -i))
            for index in members:
                target = dag[index][1]
                links.append((line[layer_of[target] - 1], target))
                chains[index] = ([source, *(line[step] for step in range(first, layer_of[target])),
                                  target] if index == longest
                                 else [line[layer_of[target] - 1], target])
        else:
            target = key[1]
            links.append((line[last], target))
            longest = max(members, key=lambda i: (span[i], -i))
            for index in members:
                source = dag[index][0]
                links.append((source, line[layer_of[source] + 1]))
                chains[index] = ([source, *(line[step] for step in range(layer_of[source] + 1,
                                                                         last + 1)), target]
                                 if index == longest else [source, line[layer_of[source] + 1]])
    return chains, list(dict.fromkeys(links))


def layered_layout(widths: list[float], groups: list[int | None],
                   edges: list[tuple[int, int]]) -> Layout:
    """Boxes ``0..n-1`` of the given widths (all NODE_HEIGHT high) in
    ``groups`` (None: no group), edges as (source, target) pairs."""
    count = len(widths)
    edges = [(s, t) for s, t in edges if s != t]
    reverse = _broken_cycles(count, edges)
    dag = [(t, s) if back else (s, t) for (s, t), back in zip(edges, reverse)]
    layer_of = _layers(count, dag)

    # Items: the boxes, then the waypoints of the bundles of long edges.
    item_layer = list(layer_of)
    item_group: list[int | None] = list(groups)
    chains, links = _bundled(dag, layer_of, item_layer, item_group)
    items = len(item_layer)
    up: list[list[int]] = [[] for _ in range(items)]
    down: list[list[int]] = [[] for _ in range(items)]
    for a, b in links:
        down[a].append(b)
        up[b].append(a)
    top = max(item_layer, default=0) + 1
    layers: list[list[int]] = [[] for _ in range(top)]
    for item in range(items):
        layers[item_layer[item]].append(item)
    position = [0] * items

    def number(order: list[int]) -> None:
        for index, item in enumerate(order):
            position[item] = index

    # Start with each layer's groups together.
    for index, order in enumerate(layers):
        order.sort(key=lambda item: (item_group[item] is None, item_group[item] or 0))
        number(order)

    def total_crossings() -> int:
        return sum(_crossings(layers[i], down, position) for i in range(top - 1))

    def sweep(order: list[int], neighbours: list[list[int]]) -> None:
        centre: dict[int, float] = {}
        for item in order:
            near = neighbours[item]
            centre[item] = sum(position[n] for n in near) / len(near) if near else position[item]
        units: dict[object, list[int]] = {}
        for item in order:
            key = ("g", item_group[item]) if item_group[item] is not None else ("i", item)
            units.setdefault(key, []).append(item)
        blocks = sorted(units.values(), key=lambda members: sum(centre[m] for m in members)
                        / len(members))
        order[:] = [item for members in blocks
                    for item in sorted(members, key=lambda m: centre[m])]
        number(order)

    before = best = total_crossings()
    kept = [list(order) for order in layers]
    for turn in range(SWEEPS):
        if turn % 2 == 0:
            for index in range(1, top):
                sweep(layers[index], up)
        else:
            for index in range(top - 2, -1, -1):
                sweep(layers[index], down)
        found = total_crossings()
        if found < best:
            best, kept = found, [list(order) for order in layers]
    layers = kept
    for order in layers:
        number(order)

    # Vertical places: stacked, then pulled towards their neighbours.
    height_of = [NODE_HEIGHT if item < count else 0.0 for item in range(items)]
    middle = _vertical(layers, count, item_group, height_of, up, down)
    lowest = min(middle[item] - height_of[item] / 2 for item in range(items)) if items else 0.0
    x_of = [0.0] * items
    layer_width = [max((widths[i] for i in order if i < count), default=0.0) for order in layers]
    left = 0.0
    starts = []
    for index in range(top):
        starts.append(left)
        left += layer_width[index] + LAYER_GAP
    for item in range(items):
        x_of[item] = starts[item_layer[item]] + (layer_width[item_layer[item]] / 2
                                                 if item >= count else 0.0)
    y_of = [middle[item] - height_of[item] / 2 - lowest for item in range(items)]

    points = _points(chains, reverse, widths, x_of, y_of)
    bands = _bands(layers, count, item_group, y_of)
    height = max((y_of[i] + height_of[i] for i in range(items)), default=0.0)
    return Layout(x_of[:count], y_of[:count], layer_of, points, bands, (before, best), starts,
                  max(left - LAYER_GAP, 0.0), height)


def _vertical(layers: list[list[int]], count: int, item_group: list[int | None],
              height_of: list[float], up: list[list[int]], down: list[list[int]]) -> list[float]:
    """The vertical centre of each item: each layer stacked, then pulled
    towards its neighbours' centres, alternately up and down."""
    top = len(layers)
    items = len(height_of)
    offsets: list[list[float]] = []
    for order in layers:
        shift, spaced = 0.0, []
        for index, item in enumerate(order):
            if index:
                previous = order[index - 1]
                gap = WAYPOINT_GAP
                if item < count and previous < count:
                    gap = NODE_GAP if item_group[item] == item_group[previous] else GROUP_GAP
                shift += height_of[previous] + gap
            spaced.append(shift)
        offsets.append(spaced)
    middle = [0.0] * items  # the vertical centre of each item
    for order, spaced in zip(layers, offsets):
        for item, shift in zip(order, spaced):
            middle[item] = shift + height_of[item] / 2
    for turn in range(8):
        indices = range(1, top) if turn % 2 == 0 else range(top - 2, -1, -1)
        neighbours = up if turn % 2 == 0 else down
        for index in indices:
            order, spaced = layers[index], offsets[index]
            wish = [sum(middle[n] for n in neighbours[item]) / len(neighbours[item])
                    if neighbours[item] else middle[item] for item in order]
            centres = [shift + height_of[item] / 2 for item, shift in zip(order, spaced)]
            for item, place in zip(order, _isotonic(wish, centres)):
                middle[item] = place
    return middle


def _points(chains: list[list[int]], reverse: list[bool], widths: list[float],
            x_of: list[float], y_of: list[float]) -> list[list[float]]:
    """Each edge's points, from its source's right side through its
    waypoints to its target's left side (a reversed edge drawn back)."""
    count = len(widths)
    points: list[list[float]] = []
    for chain, back in zip(chains, reverse):
        line: list[float] = []
        for step, item in enumerate(chain):
            if item < count:
                side = widths[item] if step == 0 else 0.0
                line.extend((x_of[item] + side, y_of[item] + NODE_HEIGHT / 2))
            else:
                line.extend((x_of[item], y_of[item]))
        if back:
            pairs = [line[i:i + 2] for i in range(0, len(line), 2)]
            line = [value for pair in reversed(pairs) for value in pair]
        points.append(line)
    return points


def _bands(layers: list[list[int]], count: int, item_group: list[int | None],
           y_of: list[float]) -> list[tuple[int, int, float, float]]:
    """(group, layer, top, bottom) around each group's boxes in a layer."""
    bands: list[tuple[int, int, float, float]] = []
    for index, order in enumerate(layers):
        spans: dict[int, list[float]] = {}
        for item in order:
            group = item_group[item]
            if item < count and group is not None:
                span = spans.setdefault(group, [y_of[item], y_of[item] + NODE_HEIGHT])
                span[0] = min(span[0], y_of[item])
                span[1] = max(span[1], y_of[item] + NODE_HEIGHT)
        bands.extend((group, index, span[0], span[1]) for group, span in spans.items())
    return bands
