"""Reference cycles through graphs, DAGs and caches are collected by the
cycle collector, and collecting never disturbs what is still in use."""

import gc
import weakref

import pytest

import quillon


class Sentinel:
    """Reachable only through the cycle under test; its finalizer tells
    whether the cycle was collected."""


def collected(make_cycle):
    """Builds a cycle with make_cycle(sentinel), drops every outside
    reference and reports whether one collection freed the sentinel."""
    sentinel = Sentinel()
    freed = []
    weakref.finalize(sentinel, freed.append, True)
    make_cycle(sentinel)
    del sentinel
    gc.collect()
    return bool(freed)


def chain_graph(function, count=3):
    """`count` nodes running `function`: x -> x + 1 along a chain."""
    graph = quillon.Graph()
    graph.add(function, "n0", None, [("y", "x0")])
    for i in range(1, count):
        graph.add(function, f"n{i}", [(f"x{i - 1}", "x")], [("y", f"x{i}")])
    return graph


def step(inputs):
    return {"y": inputs.get("x", 0.0) + 1.0}


class TestDag:
    def test_a_node_callable_that_refers_to_its_dag_is_collected(self):
        def make(sentinel):
            def node(inputs):
                assert dag is not None and sentinel is not None
                return step(inputs)

            dag = chain_graph(node).build()  # one node function shared by three nodes
            assert dag.execute()["x2"] == 3.0

        assert collected(make)

    def test_variants_and_branches_that_refer_to_their_dag_are_collected(self):
        def make(sentinel):
            holder = {"sentinel": sentinel}

            def node(inputs, params=None):
                holder["dag"].node_count()
                return step(inputs)

            graph = chain_graph(node, count=1)
            graph.variants([node, node, lambda inputs: (holder, {"y": 0.0})[1]], "V", [("x0", "x")], [("y", "v")])
            sub = quillon.Graph()
            sub.add(node, "B", [("v", "x")], [("y", "b")])
            graph.branch(sub)
            holder["dag"] = graph.build()
            holder["dag"].execute(parallel=True)

        assert collected(make)

    def test_a_cached_value_that_refers_to_its_dag_is_collected(self):
        def make(sentinel):
            box = {"sentinel": sentinel}
            graph = quillon.Graph()
            graph.add(lambda inputs: {"box": box}, "make", None, [("box", "box")])
            graph.set_cache_version("make", "1")
            box["dag"] = graph.build()  # with a cache of its own
            assert box["dag"].execute()["box"] is box
            assert box["dag"].cache_stats()["entries"] == 1

        assert collected(make)

    def test_a_callable_still_referenced_elsewhere_is_left_intact(self):
        # Two nodes share one node function, which holds one reference to the
        # callable. Counted twice, that reference would cancel the outside
        # one, and the collector would tear down the callable while in use.
        def make():
            holder = {}

            def node(inputs):
                return step(inputs) if holder["dag"].node_count() == 2 else {}

            holder["dag"] = chain_graph(node, count=2).build()
            return node

        node = make()  # the one outside reference is to the callable
        gc.collect()
        assert node({"x": 1.0}) == {"y": 2.0}

    @pytest.mark.parametrize("parallel", [False, True])
    def test_collections_during_a_run_leave_the_running_dag_intact(self, parallel):
        def make(sentinel):
            holder = {"sentinel": sentinel}

            def node(inputs):
                gc.collect()  # the Dag is part of a cycle and in use right now
                assert holder["dag"].node_count() == 4
                return step(inputs)

            holder["dag"] = chain_graph(node, count=4).build()
            for _ in range(3):
                assert holder["dag"].execute(parallel=parallel)["x3"] == 4.0

        assert collected(make)


class TestGraph:
    def test_a_node_callable_that_refers_to_its_graph_is_collected(self):
        def make(sentinel):
            def node(inputs):
                return {"y": 1.0, "graph": graph, "sentinel": sentinel}

            graph = chain_graph(node)
            graph.variants([node, node], "V")

        assert collected(make)

    def test_a_subgraph_callable_that_refers_to_the_outer_graph_is_collected(self):
        def make(sentinel):
            outer = chain_graph(step, count=1)
            sub = quillon.Graph()
            sub.add(lambda inputs: {"y": 1.0, "outer": outer, "sentinel": sentinel}, "B", [("x0", "x")], [("y", "b")])
            outer.branch(sub)

        assert collected(make)

    def test_collections_while_a_method_runs_leave_the_graph_intact(self):
        # A collection that runs while the graph converts its arguments
        # (here: iterating a custom sequence of callables) must leave it whole.
        class Callables:
            def __init__(self, items):
                self.items = items

            def __len__(self):
                return len(self.items)

            def __getitem__(self, i):
                gc.collect()
                return self.items[i]

        def make(sentinel):
            def node(inputs, params=None):
                return {"y": 1.0, "graph": graph, "sentinel": sentinel}

            graph = quillon.Graph()
            graph.add(node, "A", None, [("y", "x")])
            graph.variants(Callables([node, step]), "V", [("x", "x")], [("y", "v")])
            graph.add(node, "C", [("v", "x")], [("y", "c")])

        assert collected(make)


class TestDistTransfer:
    def test_a_transfer_that_refers_to_its_dag_is_collected(self):
        def make(sentinel):
            def transfer(dists):
                assert dag is not None and sentinel is not None
                return {"y": quillon.normal(dists["x"].mean * 2.0, dists["x"].std * 2.0)}

            graph = quillon.Graph()
            graph.add(lambda inputs: {"y": inputs["x"] * 2.0}, "Scale", [("x", "x")], [("y", "y")])
            graph.set_dist_transfer("Scale", transfer)
            dag = graph.build()
            assert dag.predict_at({"x": quillon.normal(1.0, 1.0)})["y"].mean == 2.0

        assert collected(make)

    def test_a_transfer_that_refers_to_its_graph_is_collected(self):
        def make(sentinel):
            graph = quillon.Graph()
            graph.add(step, "Scale", [("x", "x")], [("y", "y")])
            graph.set_dist_transfer("Scale", lambda dists: (graph, sentinel) and None)

        assert collected(make)

    def test_collections_during_propagation_leave_the_dag_intact(self):
        def make(sentinel):
            holder = {"sentinel": sentinel}

            def transfer(dists):
                gc.collect()
                return {"y": quillon.normal(holder["dag"].node_count(), 1.0)}

            graph = quillon.Graph()
            graph.add(step, "Scale", [("x", "x")], [("y", "y")])
            graph.set_dist_transfer("Scale", transfer)
            holder["dag"] = graph.build()
            assert holder["dag"].predict_at({"x": quillon.normal(0.0, 1.0)})["y"].mean == 1.0

        assert collected(make)


class TestMemoryCache:
    def test_a_cached_value_that_refers_to_its_cache_is_collected(self):
        def make(sentinel):
            cache = quillon.MemoryCache()
            box = {"cache": cache, "sentinel": sentinel}
            graph = quillon.Graph(cache_backend=cache)
            graph.add(lambda inputs: {"box": box}, "make", None, [("box", "box")])
            graph.set_cache_version("make", "1")
            assert graph.build().execute(parallel=True)["box"] is box
            assert cache.stats()["entries"] == 1

        assert collected(make)

    def test_a_cache_shared_with_a_live_dag_keeps_its_values(self):
        def make(sentinel):
            cache = quillon.MemoryCache()
            box = {"cache": cache, "sentinel": sentinel}
            graph = quillon.Graph(cache_backend=cache)
            graph.add(lambda inputs: {"box": box}, "make", None, [("box", "box")])
            graph.set_cache_version("make", "1")
            dag = graph.build()
            dag.execute()
            return dag

        sentinel = Sentinel()
        freed = []
        weakref.finalize(sentinel, freed.append, True)
        dag = make(sentinel)
        del sentinel
        gc.collect()
        assert not freed  # the live Dag shares the backend that holds the box
        box = dag.execute(detailed=True)["context"]["box"]
        assert box["cache"].stats()["hits"] == 1
        del dag, box
        gc.collect()
        assert freed
