"""Python references held by graphs, DAGs and caches are released exactly."""

import gc
import sys

import pytest

import quillon


def refs(*objects):
    gc.collect()
    return [sys.getrefcount(o) for o in objects]


@pytest.mark.parametrize("parallel", [False, True])
@pytest.mark.parametrize("cached", [False, True])
def test_many_runs_leave_no_references(parallel, cached):
    payload = object()  # returned by the callable, carried opaquely between nodes

    def make(inputs):
        return {"p": payload, "n": 1.0}

    def use(inputs):
        assert inputs["p"] is payload
        return {"q": inputs["p"], "m": inputs["n"] + 1}

    before = refs(payload, make, use)
    graph = quillon.Graph()
    graph.add(make, "make", None, [("p", "p"), ("n", "n")])
    for i in range(4):  # a level wide enough to run on worker threads
        graph.add(use, f"use{i}", [("p", "p"), ("n", "n")], [("q", f"q{i}"), ("m", f"m{i}")])
    if cached:
        graph.set_cache_version("make", "1")
        graph.set_cache_key_inputs("use0", ["n"])
        graph.set_cache_version("use0", "1")
    dag = graph.build()
    for _ in range(200):
        context = dag.execute(parallel=parallel, detailed=True)["context"]
        assert context["q3"] is payload
    del context
    dag.clear_cache()
    del dag, graph
    assert refs(payload, make, use) == before


def test_cache_entries_hold_their_values_until_cleared():
    payload = object()
    before = refs(payload)
    cache = quillon.MemoryCache()
    graph = quillon.Graph(cache_backend=cache)
    graph.add(lambda d: {"p": payload}, "make", None, [("p", "p")])
    graph.set_cache_version("make", "1")
    dag = graph.build()
    dag.execute(parallel=True)
    del dag, graph
    assert refs(payload)[0] > before[0]  # still stored in the shared cache
    cache.clear()
    assert refs(payload) == before


def test_a_built_graph_object_no_longer_holds_callables():
    function = lambda d: {}  # noqa: E731
    before = refs(function)
    graph = quillon.Graph()
    graph.add(function, "a")
    graph.add(function, "b")
    dag = graph.build()
    del dag
    assert refs(function) == before  # `graph` itself is still alive


def test_unbuilt_and_consumed_graphs_release_callables():
    function = lambda d: {}  # noqa: E731
    before = refs(function)
    graph, sub = quillon.Graph(), quillon.Graph()
    graph.add(function)
    sub.variants([function, function])
    graph.branch(sub)
    sub.add  # the consumed subgraph object stays valid
    del graph, sub
    assert refs(function) == before


def test_failed_conversions_and_errors_leave_no_references(capsys):
    payload = object()
    before = refs(payload)
    graph = quillon.Graph()
    graph.add(lambda d: {"p": payload, 1: payload}, "a", None, [("p", "p")])
    graph.add(lambda d: [d["p"]], "b", [("p", "p")], None)
    graph.add(lambda d: d["p"].missing, "c", [("p", "p")], None)
    dag = graph.build()
    for _ in range(50):
        dag.execute(parallel=True)
    capsys.readouterr()
    del dag, graph
    assert refs(payload) == before
