"""Instructions per node of the engine's two hottest paths, counted by
valgrind's callgrind: a figure that does not move with the machine's load,
for comparing two builds of quillon on the same machine.

Run with the build to measure importable (PYTHONPATH pointing at a directory
that holds the extension, or an installed quillon):

    python benchmarks/instructions.py                # both workloads
    python benchmarks/instructions.py --only chain --nodes 2000

The workloads are run.py's:

- chain: the uncached sequential execute() of a chain of trivial Python
  nodes (bench_execute.chain_graph, 1,000 nodes by default).
- predict_at: per-node Monte Carlo through the five-node chain of
  bench_predict.chain_dag, v0 ~ Normal(0, 1), fewer samples than run.py
  uses so that a run under callgrind stays short.

Every count is the difference between two runs of a child process that
differ only in the amount of timed work, so that starting the interpreter,
importing, building the graph and the first (warm-up) call cancel out:

- chain: the same N-node Dag executed R and 2R times after a warm-up run;
  the difference over R × N is what one execute() costs per node, its
  per-run overhead included, as the suite's chain row divides its time.
  The same is done at 2N nodes, and the growth from N to 2N over N gives
  the marginal cost of one more node (the per-run overhead cancelled too).
- predict_at: one call with n and one with 2n samples after a warm-up
  call; the difference over n × nodes is the cost of one node on one
  sample.

Nothing here is timed and nothing is part of the test command.
"""

from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

HERE = Path(__file__).resolve().parent


# --------------------------------------------------------------------------
# Child: does the work that callgrind counts


def child(workload: str, size: int, amount: int) -> None:
    sys.path.insert(0, str(HERE))
    import quillon

    if workload == "chain":
        from bench_execute import CHAIN_LENGTH, chain_graph

        # The suite's chain at its length; other lengths are built alike.
        dag = chain_graph(versioned=False).build() if size == CHAIN_LENGTH else sized_chain(quillon, size)
        last = f"v{size - 1}"
        if dag.execute()[last] != size - 1:  # warm-up, checked
            raise SystemExit("chain: wrong result")
        for _ in range(amount):
            dag.execute()
    elif workload == "predict_at":
        from bench_predict import CHAIN_LENGTH, chain_dag

        dag = chain_dag()
        inputs = {"v0": quillon.normal(0.0, 1.0)}
        last = f"v{CHAIN_LENGTH}"
        if len(dag.predict_at(inputs, n_samples=size)[last].samples) != size:  # warm-up, checked
            raise SystemExit("predict_at: wrong result")
        result = dag.predict_at(inputs, n_samples=amount)
        if len(result[last].samples) != amount:
            raise SystemExit("predict_at: wrong result")
    else:
        raise SystemExit(f"unknown workload {workload!r}")


def sized_chain(quillon, length: int):
    """bench_execute.chain_graph's chain with another number of nodes."""
    from bench_execute import increment, source

    graph = quillon.Graph()
    graph.add(source, "n0", None, [("y", "v0")])
    for i in range(1, length):
        graph.add(increment, f"n{i}", [(f"v{i - 1}", "x")], [("y", f"v{i}")])
    return graph.build()


# --------------------------------------------------------------------------
# Parent: runs the children under callgrind and takes differences


def count_instructions(valgrind: str, workload: str, size: int, amount: int, tmp: str) -> int:
    """Instructions the child executes in all its threads."""
    out = os.path.join(tmp, f"callgrind.{workload}.{size}.{amount}.out")
    env = dict(os.environ, PYTHONHASHSEED="0")  # the same dict and set layouts every run
    command = [valgrind, "--tool=callgrind", f"--callgrind-out-file={out}",
               sys.executable, str(Path(__file__).resolve()),
               "--child", workload, str(size), str(amount)]
    proc = subprocess.run(command, env=env, capture_output=True, text=True)
    if proc.returncode != 0:
        raise SystemExit(f"callgrind run failed ({' '.join(command)}):\n{proc.stderr[-2000:]}")
    text = Path(out).read_text()
    match = re.search(r"^(?:summary|totals):\s*(\d+)", text, re.M)
    if match is None:
        raise SystemExit(f"no instruction total in {out}")
    return int(match.group(1))


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", choices=("chain", "predict_at"), help="one workload only")
    parser.add_argument("--nodes", type=int, default=1000, help="chain length N (default 1,000)")
    parser.add_argument("--runs", type=int, default=2,
                        help="R: the chain runs R and 2R times (default 2)")
    parser.add_argument("--samples", type=int, default=20_000,
                        help="n: predict_at runs with n and 2n samples (default 20,000)")
    parser.add_argument("--valgrind", default=shutil.which("valgrind"), help="the valgrind executable")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.child:
        workload, size, amount = args.child
        child(workload, int(size), int(amount))
        return 0
    if not args.valgrind:
        parser.error("valgrind not found (Debian package: valgrind)")

    import quillon

    print(f"quillon from {quillon.__file__}")
    print(f"Python {sys.version.split()[0]}, {sys.executable}")
    with tempfile.TemporaryDirectory(prefix="quillon-instructions-") as tmp:
        def count(workload, size, amount):
            return count_instructions(args.valgrind, workload, size, amount, tmp)

        if args.only in (None, "chain"):
            n, r = args.nodes, args.runs
            small = count("chain", n, 2 * r) - count("chain", n, r)
            large = count("chain", 2 * n, 2 * r) - count("chain", 2 * n, r)
            per_node = small / (r * n)
            marginal = (large - small) / (r * n)
            print(f"chain, uncached execute(), {n:,} nodes: {per_node:,.0f} instructions per node "
                  f"({small / r:,.0f} per run)")
            print(f"  one more node ({n:,} -> {2 * n:,} nodes): {marginal:,.0f} instructions; "
                  f"per-run overhead {(small / r) - marginal * n:,.0f}")

        if args.only in (None, "predict_at"):
            from bench_predict import CHAIN_LENGTH

            s = args.samples
            difference = count("predict_at", s, 2 * s) - count("predict_at", s, s)
            per_call = difference / (s * CHAIN_LENGTH)
            print(f"predict_at, {CHAIN_LENGTH}-node chain, {s:,} -> {2 * s:,} samples: "
                  f"{per_call:,.0f} instructions per node and sample")
    return 0


if __name__ == "__main__":
    sys.path.insert(0, str(HERE))
    sys.exit(main())
