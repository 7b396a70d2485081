"""Shared helpers for the Python tests of quillon."""

from __future__ import annotations

import threading

import pytest
from hypothesis import settings

import quillon

# Examples are cheap to regenerate; keep no example database in the tree.
settings.register_profile("quillon", database=None)
settings.load_profile("quillon")


class IntOnly:
    """Refuses the float conversion but passes the integer conversion."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        raise ValueError("no float")

    def __index__(self):
        return self.value


def run_threads(worker, count, timeout=60):
    """Runs worker(i) for i in range(count) on threads of their own and
    waits for all of them."""
    threads = [threading.Thread(target=worker, args=(i,)) for i in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=timeout)


def run_one(function, outputs=("v",)):
    """Runs a single source node and returns the execution context."""
    graph = quillon.Graph()
    graph.add(function, "source", None, [(name, name) for name in outputs])
    return graph.build().execute()


def emit(value):
    """The context value that a node returning {"v": value} produces."""
    return run_one(lambda inputs: {"v": value})["v"]


def received(value):
    """What a downstream node receives when its upstream returns `value`."""
    seen = []
    graph = quillon.Graph()
    graph.add(lambda inputs: {"v": value}, "source", None, [("v", "data")])
    graph.add(lambda inputs: seen.append(inputs["x"]) or {}, "reader", [("data", "x")], None)
    graph.build().execute()
    return seen[0]


@pytest.fixture
def chain():
    """A three-node chain source -> double -> inc with version tokens set;
    returns (graph factory, call counter)."""
    calls = {"source": 0, "double": 0, "inc": 0}

    def source(inputs):
        calls["source"] += 1
        return {"x": 2.0}

    def double(inputs):
        calls["double"] += 1
        return {"y": inputs["x"] * 2}

    def inc(inputs):
        calls["inc"] += 1
        return {"z": inputs["y"] + 1}

    def make(cache_backend=None, versioned=True):
        graph = quillon.Graph(cache_backend=cache_backend)
        graph.add(source, "source", None, [("x", "x")])
        graph.add(double, "double", [("x", "x")], [("y", "y")])
        graph.add(inc, "inc", [("y", "y")], [("z", "z")])
        if versioned:
            for label in ("source", "double", "inc"):
                graph.set_cache_version(label, "v1")
        return graph

    return make, calls
