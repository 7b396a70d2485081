"""Speed of Dag.execute against plain Python doing the same calls.

Run with the extension importable (``pip install .`` or PYTHONPATH pointing
at a build directory):

    python benchmarks/bench_execute.py [--repeat N]

Each case prints the measured figure, the ratio against its baseline and the
target it is held to. Figures are the best of several repetitions.
"""

from __future__ import annotations

import argparse
import time

import quillon

CHAIN_LENGTH = 1000
PARALLEL_NODES = 8
SLEEP_SECONDS = 0.05
ARRAY_LENGTH = 1_000_000


def best_of(repeat: int, run) -> float:
    best = float("inf")
    for _ in range(repeat):
        start = time.perf_counter()
        run()
        best = min(best, time.perf_counter() - start)
    return best


def best_of_each(repeat: int, *runs) -> list[float]:
    """Best time of each run, measured in alternation so that a slow phase
    of a noisy machine weighs on every run alike."""
    best = [float("inf")] * len(runs)
    for _ in range(repeat):
        for i, run in enumerate(runs):
            start = time.perf_counter()
            run()
            best[i] = min(best[i], time.perf_counter() - start)
    return best


def source(inputs):
    return {"y": 0.0}


def increment(inputs):
    return {"y": inputs["x"] + 1}


def chain_graph(versioned: bool) -> quillon.Graph:
    """source -> increment -> ... -> increment, CHAIN_LENGTH nodes in all."""
    graph = quillon.Graph()
    graph.add(source, "n0", None, [("y", "v0")])
    for i in range(1, CHAIN_LENGTH):
        graph.add(increment, f"n{i}", [(f"v{i - 1}", "x")], [("y", f"v{i}")])
    if versioned:
        for i in range(CHAIN_LENGTH):
            graph.set_cache_version(f"n{i}", "1")
    return graph


def plain_chain() -> float:
    """The same calls without the engine: build the input dict, call, read."""
    functions = [source] + [increment] * (CHAIN_LENGTH - 1)
    value = None
    for i, function in enumerate(functions):
        inputs = {} if i == 0 else {"x": value}
        outputs = function(inputs)
        value = outputs["y"]
    return value


def report(name: str, measured: str, ratio: float, target: str, ok: bool) -> None:
    verdict = "ok" if ok else "ABOVE TARGET"
    print(f"{name:<34} {measured:<26} {ratio:>7.2f}x   target {target:<14} {verdict}")


def bench_chain(repeat: int) -> None:
    dag = chain_graph(versioned=False).build()
    assert dag.execute()[f"v{CHAIN_LENGTH - 1}"] == plain_chain() == CHAIN_LENGTH - 1
    baseline, engine = best_of_each(repeat, plain_chain, dag.execute)
    per_node = engine / CHAIN_LENGTH * 1e6
    ratio = engine / baseline
    report("chain, uncached", f"{per_node:.2f} us/node", ratio, "<= 1.3x loop", ratio <= 1.3)
    print(f"{'':<34} (plain loop {baseline / CHAIN_LENGTH * 1e6:.2f} us/node)")


def bench_cached_chain(repeat: int) -> None:
    dag = chain_graph(versioned=True).build()
    first = dag.execute(detailed=True)
    assert first["cache_stats"]["stores"] == CHAIN_LENGTH
    second = dag.execute(detailed=True)
    assert second["cache_stats"]["hits"] == CHAIN_LENGTH
    engine = best_of(repeat, dag.execute)
    per_node = engine / CHAIN_LENGTH * 1e6
    report("chain, every node a cache hit", f"{per_node:.2f} us/node", per_node / 3.0, "<= 3 us/node", per_node <= 3.0)


def sleeper(inputs):
    time.sleep(SLEEP_SECONDS)
    return {"done": 1.0}


def bench_parallel(repeat: int) -> None:
    graph = quillon.Graph()
    for i in range(PARALLEL_NODES):
        graph.add(sleeper, f"s{i}", None, [("done", f"done{i}")])
    dag = graph.build()
    runs = max(1, repeat // 2)
    sequential, parallel = best_of_each(
        runs, lambda: dag.execute(parallel=False, cache=False), lambda: dag.execute(parallel=True, cache=False)
    )
    ratio = parallel / sequential
    report(
        f"{PARALLEL_NODES} x sleep({SLEEP_SECONDS}) parallel",
        f"{parallel * 1e3:.1f} ms vs {sequential * 1e3:.1f} ms",
        ratio,
        "<= 0.6x seq.",
        ratio <= 0.6,
    )


def bench_array(repeat: int) -> None:
    try:
        import numpy as np
    except ImportError:
        print("numpy array hand-off: skipped (numpy not installed)")
        return
    array = np.random.default_rng(0).random(ARRAY_LENGTH)

    graph = quillon.Graph()
    graph.add(lambda inputs: {"a": array}, "make", None, [("a", "arr")])
    graph.add(lambda inputs: {"n": len(inputs["a"])}, "read", [("arr", "a")], [("n", "n")])
    dag = graph.build()
    assert dag.execute()["n"] == ARRAY_LENGTH

    def baseline():
        # What the conversion rules make unavoidable: one copy into the
        # float vector, one list of floats for the reader, one for the result.
        array.copy()
        array.tolist()
        array.tolist()

    base, engine = best_of_each(repeat, baseline, dag.execute)
    ratio = engine / base
    report("1e6 float64 array node -> node", f"{engine * 1e3:.1f} ms", ratio, "<= 1.3x copies", ratio <= 1.3)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=15, help="repetitions per measurement (best is kept)")
    args = parser.parse_args()
    bench_chain(args.repeat)
    bench_cached_chain(args.repeat)
    bench_parallel(args.repeat)
    bench_array(max(3, args.repeat // 3))


if __name__ == "__main__":
    main()
