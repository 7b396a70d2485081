"""Speed of Dag.predict_at (Monte Carlo) and Dag.predict against plain Python
making the same per-sample calls.

Run with the extension importable (``pip install .`` or PYTHONPATH pointing
at a build directory):

    python benchmarks/bench_predict.py [--repeat N] [--samples N]

The graph is a chain of CHAIN_LENGTH trivial Python nodes (x -> x + 1) fed
by x ~ Normal(0, 1). No node has a dist transfer, so predict_at samples
every node n_samples times; predict runs n_samples particles through all of
them. The baseline is the plain loop those calls amount to: for every node
and every sample, build the input dict, call the function, read the output
dict. Each case prints the measured figure, the ratio against the baseline
and the target it is held to. Figures are the best of several repetitions.
"""

from __future__ import annotations

import argparse
import random

import quillon
from bench_execute import best_of_each, increment

CHAIN_LENGTH = 5
DEFAULT_SAMPLES = 100_000


def chain_dag() -> quillon.Dag:
    """v0 -> n1 -> v1 -> ... -> n5 -> v5."""
    graph = quillon.Graph()
    for i in range(1, CHAIN_LENGTH + 1):
        graph.add(increment, f"n{i}", [(f"v{i - 1}", "x")], [("y", f"v{i}")])
    return graph.build()


def plain_loop(draws: list[float]):
    """The same calls without the engine, node after node over all samples."""
    values = draws
    for _ in range(CHAIN_LENGTH):
        produced = []
        append = produced.append
        for value in values:
            outputs = increment({"x": value})
            append(outputs["y"])
        values = produced
    return values


def report(name: str, measured: str, ratio: float, target: str, ok: bool | None) -> None:
    verdict = "" if ok is None else ("ok" if ok else "ABOVE TARGET")
    print(f"{name:<34} {measured:<22} {ratio:>7.2f}x   target {target:<16} {verdict}")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5, help="repetitions per measurement (best is kept)")
    parser.add_argument("--samples", type=int, default=DEFAULT_SAMPLES, help="n_samples per run")
    args = parser.parse_args()
    n = args.samples
    calls = CHAIN_LENGTH * n

    dag = chain_dag()
    inputs = {"v0": quillon.normal(0.0, 1.0)}
    draws = [random.gauss(0.0, 1.0) for _ in range(n)]

    # Sanity: both engines produce n values at the end of the chain.
    assert len(dag.predict_at(inputs, n_samples=n)[f"v{CHAIN_LENGTH}"].samples) == n
    assert len(dag.predict(inputs, n_samples=n)[f"v{CHAIN_LENGTH}"].samples) == n
    assert len(plain_loop(draws)) == n

    baseline, per_node_mc, particles = best_of_each(
        args.repeat,
        lambda: plain_loop(draws),
        lambda: dag.predict_at(inputs, n_samples=n),
        lambda: dag.predict(inputs, n_samples=n),
    )

    print(f"{CHAIN_LENGTH}-node chain, n_samples={n:,} ({calls:,} node-function calls per run)")
    print(f"{'plain Python loop':<34} {baseline * 1e9 / calls:.0f} ns/call")
    ratio = per_node_mc / baseline
    report("predict_at (Monte Carlo)", f"{per_node_mc * 1e9 / calls:.0f} ns/call", ratio, "<= 1.3x loop", ratio <= 1.3)
    ratio = particles / baseline
    report("predict (particles)", f"{particles * 1e9 / calls:.0f} ns/call", ratio, "(none)", None)


if __name__ == "__main__":
    main()
