"""quillon quickstart: build a graph, run it, cache it, share a cache, draw it,
and push probability distributions through it.

Run with `make demo`, or `python examples/quickstart.py` once the module is
installed (`pip install .`).
"""

import quillon


def load(inputs):
    return {"value": 3.0}


def square(inputs):
    return {"squared": inputs["x"] ** 2}


def scale(inputs):
    return {"scaled": inputs["squared"] * inputs["factor"]}


def factor(inputs):
    return {"factor": 10.0}


def build(cache=None):
    # Nodes talk through graph-wide names: outputs map (impl name -> graph
    # name), inputs map (graph name -> impl name). Dependencies follow from
    # who writes what.
    graph = quillon.Graph(cache_backend=cache)
    graph.add(load, "Load", None, [("value", "data")])
    graph.add(factor, "Factor", None, {"factor": "k"})
    graph.add(square, "Square", [("data", "x")], [("squared", "sq")])
    graph.add(scale, "Scale", {"sq": "squared", "k": "factor"}, [("scaled", "result")])
    return graph


def print_report(title, result):
    print(title)
    for node_id, status in sorted(result["node_cache"].items()):
        outcome = "hit" if status["hit"] else f"miss ({status['reason']})"
        print(f"  node {node_id}: {outcome:<28} category={status['category']}")
    stats = result["cache_stats"]
    print(f"  hits={stats['hits']} misses={stats['misses']} stores={stats['stores']}")


def main():
    # 1. Plain run: a dict of every graph-wide variable.
    dag = build().build()
    print("result:", dag.execute())
    print("parallel result:", dag.execute(parallel=True))

    # 2. Caching: nothing is cached until a node's label has a version token.
    graph = build()
    for label in ("Load", "Factor", "Square", "Scale"):
        graph.set_cache_version(label, "v1")
    dag = graph.build()
    print_report("first cached run:", dag.execute(detailed=True))
    print_report("second cached run:", dag.execute(detailed=True))

    # 3. A shared MemoryCache: a second graph with the same definition reuses
    # the first one's results.
    # A new version token for one node says its code changed: it runs again,
    # and so does everything downstream whose inputs it feeds.
    shared = quillon.MemoryCache(max_entries=256, namespace="quickstart")
    for name, square_version in (("first", "v1"), ("second", "v1"), ("third", "v2")):
        graph = build(shared)
        for label in ("Load", "Factor", "Scale"):
            graph.set_cache_version(label, "v1")
        graph.set_cache_version("Square", square_version)
        title = f"{name} graph on the shared cache (Square {square_version}):"
        print_report(title, graph.build().execute(detailed=True))
    print("shared cache stats:", shared.stats())

    # 4. The graph as a Mermaid flowchart.
    print(dag.to_mermaid())


def correlation(xs, ys):
    mx, my = sum(xs) / len(xs), sum(ys) / len(ys)
    cov = sum((x - mx) * (y - my) for x, y in zip(xs, ys))
    vx = sum((x - mx) ** 2 for x in xs)
    vy = sum((y - my) ** 2 for y in ys)
    return cov / (vx * vy) ** 0.5


def uncertainty():
    """Distributions instead of values: one node with an exact transfer, one
    sampled, then whole trajectories that keep the joint structure."""

    def scale(inputs):  # linear: y = 2x
        return {"y": inputs["x"] * 2.0}

    def stress(inputs):  # nonlinear: no closed form, so it is sampled
        return {"s": inputs["y"] ** 2 + inputs["load"]}

    def scale_dist(dists):  # the exact answer for Scale, keyed by impl names
        x = dists["x"]
        return {"y": quillon.normal(x.mean * 2.0, x.std * 2.0)}

    graph = quillon.Graph()
    graph.add(scale, "Scale", [("x", "x")], [("y", "y")])
    graph.add(stress, "Stress", [("y", "y"), ("load", "load")], [("s", "s")])
    graph.set_dist_transfer("Scale", scale_dist)
    dag = graph.build()
    inputs = {"x": quillon.normal(1.0, 0.1), "load": quillon.uniform(0.0, 0.5)}

    # Node by node: Scale answers analytically, Stress runs 10,000 draws.
    stat = dag.predict_at(inputs, n_samples=10_000)
    print("predict_at: y =", stat["y"], " s =", stat["s"])
    print("  s:", stat["s"].summary())
    print("  stopping at Scale computes:", dag.predict_at(inputs, at_node="Scale").keys())

    # Particles: every variable of one particle comes from the same draw, so
    # correlations can be read from them.
    stat = dag.predict(inputs, n_samples=5_000)
    xs = [p["x"] for p in stat.particles]
    ss = [p["s"] for p in stat.particles]
    print(f"predict: {len(stat.particles)} particles, corr(x, s) = {correlation(xs, ss):.3f}")
    stat.print_summary()


if __name__ == "__main__":
    main()
    uncertainty()
