"""Processes that share a DiskCache, for test_disk_cache.py.

Usage: disk_cache_worker.py MODE CACHE_DIR [ARGS...]. Each mode prints one
JSON line with what it saw.

- run VERSION X: runs a two-node graph (source x -> f(x) = x * 2, f versioned
  VERSION) and prints f's cache status and the result.
- slow START_FILE: waits for START_FILE to exist, then runs a node that
  takes 0.5 s; prints whether it hit and the time.
- clearer SECONDS: clears namespaces of the cache again and again.
- mixed SECONDS SEED: runs graphs over random inputs in random namespaces and
  prints any result that differs from the uncached one.
- hold CLAIMED_FILE: starts computing a node that never finishes, after
  writing CLAIMED_FILE (the claim is held); killed by the test.
- write START: stores entries i = START, START + 1, ... until killed.
- check COUNT: reads entries 0 .. COUNT - 1 and prints every one that is
  neither absent nor exactly its computed value.
"""

import json
import os
import random
import sys
import time

import quillon

try:
    import numpy
except ImportError:  # the values then stay native
    numpy = None


def say(**fields):
    print(json.dumps(fields), flush=True)


def expected(i):
    """The outputs of entry i: small, large (a value file) and, with numpy,
    an array, each different for every i."""
    outputs = {"small": float(i), "large": [float(i + k) for k in range(6000)]}
    if numpy is not None:
        outputs["array"] = numpy.arange(i, i + 2000, dtype=numpy.int32).reshape(40, 50)
    return outputs


def same(a, b):
    if numpy is not None and isinstance(a, numpy.ndarray):
        return isinstance(b, numpy.ndarray) and a.dtype == b.dtype and a.shape == b.shape and (a == b).all()
    return a == b


def entry_graph(cache, compute):
    """A source node giving i (not cached) and a cached node computing the
    outputs of entry i with `compute`."""
    state = {"i": 0}
    graph = quillon.Graph(cache_backend=cache)
    graph.add(lambda d: {"i": state["i"]}, "source", None, [("i", "i")])
    names = list(expected(0))
    graph.add(lambda d: compute(d["i"]), "entry", [("i", "i")], [(n, n) for n in names])
    graph.set_cache_version("entry", "1")
    return graph.build(), state


def main():
    mode, path = sys.argv[1], sys.argv[2]
    args = sys.argv[3:]
    cache = quillon.DiskCache(path)
    if mode == "run":
        version, x = args[0], float(args[1])
        graph = quillon.Graph(cache_backend=cache)
        graph.add(lambda d: {"x": x}, "source", None, [("x", "x")])
        graph.add(lambda d: {"y": d["x"] * 2}, "f", [("x", "x")], [("y", "y")])
        graph.set_cache_version("f", version)
        result = graph.build().execute(detailed=True)
        status = result["node_cache"][1]
        say(y=result["context"]["y"], hit=status["hit"], reason=status["reason"])
    elif mode == "slow":
        while not os.path.exists(args[0]):
            time.sleep(0.005)
        calls = []
        graph = quillon.Graph(cache_backend=cache)
        graph.add(lambda d: calls.append(1) or time.sleep(0.5) or {"v": 42.0}, "slow", None, [("v", "v")])
        graph.set_cache_version("slow", "1")
        start = time.monotonic()
        result = graph.build().execute(detailed=True)
        say(computed=len(calls), v=result["context"]["v"], hit=result["node_cache"][0]["hit"],
            seconds=time.monotonic() - start)
    elif mode == "clearer":
        end = time.monotonic() + float(args[0])
        clears = 0
        while time.monotonic() < end:
            cache.clear_namespace(f"ns{clears % 3}")
            clears += 1
            time.sleep(0.002)
        say(clears=clears)
    elif mode == "mixed":
        end = time.monotonic() + float(args[0])
        rng = random.Random(int(args[1]))
        wrong, runs = [], 0
        state = {"x": 0}
        graph = quillon.Graph()
        graph.add(lambda d: {"x": state["x"]}, "source", None, [("x", "x")])
        graph.add(lambda d: {"y": d["x"] * 3 + 1}, "a", [("x", "x")], [("y", "y")])
        graph.add(lambda d: {"z": d["y"] - d["x"]}, "b", [("x", "x"), ("y", "y")], [("z", "z")])
        graph.set_cache_version("a", "1")
        graph.set_cache_version("b", "1")
        dag = graph.build()
        while time.monotonic() < end:
            state["x"] = rng.randrange(20)
            ns = f"ns{rng.randrange(3)}"
            got = dag.execute(cache_backend=cache, cache_namespace=ns)
            want = {"x": state["x"], "y": state["x"] * 3 + 1, "z": state["x"] * 2 + 1}
            if got != want:
                wrong.append([got, want])
            runs += 1
        say(runs=runs, wrong=wrong[:5])
    elif mode == "hold":
        graph = quillon.Graph(cache_backend=cache)

        def forever(inputs):
            open(args[0], "w").close()
            time.sleep(3600)

        graph.add(forever, "slow", None, [("v", "v")])
        graph.set_cache_version("slow", "1")
        graph.build().execute()
    elif mode == "write":
        dag, state = entry_graph(cache, expected)
        i = int(args[0])
        while True:
            state["i"] = i
            dag.execute()
            if i == int(args[0]):
                say(storing=True)
            i += 1
    elif mode == "check":
        dag, state = entry_graph(cache, lambda i: {name: None for name in expected(0)})
        bad, hits = [], 0
        for i in range(int(args[0])):
            state["i"] = i
            result = dag.execute(detailed=True)
            if not result["node_cache"][1]["hit"]:
                continue
            hits += 1
            want = expected(i)
            got = {name: result["context"].get(name) for name in want}
            if not all(same(want[name], got[name]) for name in want):
                bad.append(i)
        say(hits=hits, bad=bad)


if __name__ == "__main__":
    main()
