"""Many threads, one small shared cache, constant eviction and clears.

Eight Python threads run DAGs built from one definition on one MemoryCache
whose capacity is far below what the DAGs store, so eviction runs on almost
every store; meanwhile another thread clears the whole cache, namespaces and
single nodes in a loop. Every run must return exactly what an uncached run
of the same DAG returns, and nothing may crash or hang.
"""

import random
import threading
import time

import quillon
from stress_support import SECONDS, Workers, deadline, frequent_switches, report

SEEDS = (0.0, 1.0, 2.5)
NAMESPACES = (None, "ns", "ns::inner", "other")
THREADS = 8
WIDTH = 4  # a level wide enough to run on worker threads


# Node functions: pure functions of their inputs, so a stored result is
# always the right answer for its key.
def source(seed):
    def run(inputs):
        return {"a": seed, "v": [seed, seed + 1.0, seed + 2.0], "o": ("seed", seed)}
    return run


def spread(i):
    def run(inputs):
        if i == 0:
            time.sleep(0.0002)  # keeps the key claimed a little longer: other runs wait on it
        return {"y": inputs["x"] * (i + 1) + sum(inputs["vec"])}
    return run


def pair(inputs):
    return {"s": inputs["p"] - inputs["q"]}


def total(inputs):
    return {"t": inputs["p"] + inputs["q"], "obj": inputs["obj"], "text": f"{inputs['p']:.3f}"}


def build_graph(seed, cache=None):
    graph = quillon.Graph() if cache is None else quillon.Graph(cache_backend=cache)
    graph.add(source(seed), "source", None, [("a", "a"), ("v", "v"), ("o", "o")])
    # The source has no inputs: its version must name what it returns.
    graph.set_cache_version("source", f"seed-{seed}")
    for i in range(WIDTH):
        graph.add(spread(i), f"spread{i}", [("a", "x"), ("v", "vec")], [("y", f"y{i}")])
        graph.set_cache_version(f"spread{i}", "1")
        if i % 2:
            # Vector inputs have no key text; leaving them out of the key
            # makes these nodes cacheable (the vector follows from x here).
            graph.set_cache_key_inputs(f"spread{i}", ["x"])
    graph.add(pair, "pair", [("y0", "p"), ("y1", "q")], [("s", "s01")])
    graph.add(pair, "pair", [("y2", "p"), ("y3", "q")], [("s", "s23")])
    graph.set_cache_version("pair", "1")
    graph.add(total, "total", [("s01", "p"), ("s23", "q"), ("o", "obj")],
              [("t", "total"), ("obj", "echo"), ("text", "text")])
    graph.set_cache_version("total", "1")
    graph.set_cache_key_inputs("total", ["p", "q"])
    graph.add(lambda d: {"n": d["total"] * 2}, "uncached", [("total", "total")], [("n", "doubled")])
    graph.set_cache_version("uncached", "1")
    graph.set_cacheable("uncached", False)
    return graph


def test_threads_on_one_small_cache_with_concurrent_clears():
    expected = {seed: build_graph(seed).build().execute(cache=False) for seed in SEEDS}
    assert all(len(context) == 13 for context in expected.values())

    cache = quillon.MemoryCache(max_entries=3)
    stop = threading.Event()
    runs = [0] * THREADS
    clears = [0]
    end = deadline()

    def runner(index):
        rng = random.Random(index)
        shared = {seed: build_graph(seed, cache).build() for seed in SEEDS}
        private = {seed: build_graph(seed).build() for seed in SEEDS}  # run against the shared cache explicitly
        while time.monotonic() < end:
            seed = rng.choice(SEEDS)
            options = {
                "parallel": rng.random() < 0.5,
                "max_threads": rng.choice([None, 0, 1, 2, 3]),
                "cache_depth": rng.choice(["transitive", "shallow"]),
                "cache_namespace": rng.choice(NAMESPACES),
                "detailed": rng.random() < 0.3,
            }
            if rng.random() < 0.25:
                result = private[seed].execute(cache_backend=cache, **options)
            else:
                result = shared[seed].execute(**options)
            context = result["context"] if options["detailed"] else result
            assert context == expected[seed], (seed, options, context)
            if options["detailed"]:
                stats = result["cache_stats"]
                assert stats["hits"] + stats["misses"] == 9
            runs[index] += 1

    def clearer():
        rng = random.Random(99)
        dag = build_graph(SEEDS[0], cache).build()
        while not stop.is_set():
            choice = rng.randrange(6)
            if choice == 0:
                cache.clear()
            elif choice == 1:
                cache.clear_namespace(rng.choice(["default", "ns", "other", ""]))
            elif choice == 2:
                cache.clear_node(rng.randrange(10), version=rng.choice([None, "1", "seed-1.0"]),
                                 namespace=rng.choice(NAMESPACES))
            elif choice == 3:
                dag.clear_cache_node(rng.choice(["default", "ns"]), rng.randrange(10))
            elif choice == 4:
                dag.clear_cache_namespace("ns::inner")
            else:
                stats = cache.stats()
                assert stats["entries"] <= stats["max_entries"] == 3
            clears[0] += 1
            time.sleep(0)

    with frequent_switches():
        workers = Workers()
        for index in range(THREADS):
            workers.start(runner, index, name=f"runner-{index}")
        clearing = Workers()
        clearing.start(clearer, name="clearer")
        try:
            workers.join()
        finally:
            stop.set()
            clearing.join()

    stats = cache.stats()
    assert stats["entries"] <= 3
    assert sum(runs) >= THREADS
    report("shared cache", threads=THREADS, runs=sum(runs), clears=clears[0], seconds=SECONDS,
           hits=stats["hits"], misses=stats["misses"], evictions=stats["evictions"])
