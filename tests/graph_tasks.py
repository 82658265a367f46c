"""Module-level work for the graph tests that need real processes (spawned
workers import it by name)."""

from qarvel_lineage import analyze_many
from qarvel_lineage.graph import Graph, GraphError


def chain(prefix, count):
    """``count`` statements, each filling the next table of a chain: one edge each."""
    return [f"insert into {prefix}.t{step + 1} (a) select a from {prefix}.t{step}"
            for step in range(count)]


def add_at_once(path, name, count, barrier, answers):
    """Analyse a chain, wait for the other writer, then add it to the file at ``path``."""
    results = list(analyze_many(chain(name, count)))
    barrier.wait()
    try:
        with Graph.open(path, create=True) as graph:
            graph.add_many(results, name=name)
        answers.put((name, "stored"))
    except GraphError as error:
        answers.put((name, str(error)))


def ask(path, question, args, answers):
    """One question of a stored graph, its answer sent back."""
    with Graph.open(path) as graph:
        answers.put(getattr(graph, question)(*args))
