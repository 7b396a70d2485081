"""Scale-out: Dag.execute and Dag.predict on a process pool and on a Dask
cluster, against a sequential run and against the same work submitted to
the same pool without a graph.

Run with the extension importable (``pip install .`` or PYTHONPATH pointing
at a build directory) and the ``bench`` extra for the Dask cluster and the
peers:

    python benchmarks/bench_executor.py [--quick] [--json PATH]
    python benchmarks/run.py --only executor        # the same, from the suite

Workloads (each system's result is checked before it is timed; the table
shows medians and ratios against a baseline measured in the same run):

- four independent nodes, each a pure-Python busy loop of about 0.5 s: the
  sequential run against a process pool of 2 and a Dask LocalCluster of 2
  single-threaded worker processes;
- a chain of 200 trivial nodes on the same pool: the time per node against
  submitting an empty task to the pool and waiting for it, once per node;
- predict over 4,000 particles of a model whose one node spends about 1 ms
  of pure-Python CPU per call, against the serial predict;
- the coordinator's memory when a large numpy array goes from one node to
  the next on the pool, against the same graph run in one process.

Pools and clusters start once, outside every timing, and their workers are
warm (they have imported what the tasks need) before the first run. The
peers run the same workloads: Hamilton's task-based execution on the same
process pool, and plain ``dask.delayed`` on the same cluster. This file
holds the workloads; benchmarks/run.py times them and prints the table.
"""

from __future__ import annotations

import concurrent.futures
import contextlib
import gc
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import time
from dataclasses import dataclass, field
from pathlib import Path
from typing import Callable, Optional

os.environ.setdefault("HAMILTON_TELEMETRY_ENABLED", "false")

HERE = Path(__file__).resolve().parent

import quillon  # noqa: E402
from process_memory import peak_rss_bytes, reset_peak_rss, rss_bytes  # noqa: E402

WORKERS = 2
CPU_NODES = 4
CPU_NODE_SECONDS = 0.5
CHAIN_NODES = 200
PREDICT_PARTICLES = 4_000
PREDICT_CALL_SECONDS = 1e-3
PREDICT_SEED = 11
MEMORY_DOUBLES = 16_000_000  # 128 MB of float64

CPU_TARGET = 0.6  # both executors, against the sequential run
CHAIN_TARGET = 1.5  # per node, against submit-and-wait on the same pool
PREDICT_TARGET = 0.6  # both executors, against the serial predict
MEMORY_TARGET = 1.1  # the coordinator's memory, against the same graph run in one process


# --------------------------------------------------------------------------
# Work done on the workers. Everything here is module-level so that it
# travels by reference: the workers import this module.


def spin(n: int) -> int:
    """A pure-Python busy loop of n steps: holds the interpreter lock the
    whole time, as real Python work does. Returns n (n - 1) / 2."""
    total = 0
    for i in range(n):
        total += i
    return total


def spin_steps(seconds: float) -> int:
    """How many steps of spin() take about `seconds` here, measured once."""
    probe = 200_000
    best = float("inf")
    for _ in range(3):
        start = time.perf_counter()
        spin(probe)
        best = min(best, time.perf_counter() - start)
    return max(1, int(probe * seconds / best))


class SpinNode:
    """A node that spins `steps` steps and writes the sum under "total"."""

    def __init__(self, steps: int):
        self.steps = steps

    def __call__(self, inputs):
        return {"total": spin(self.steps)}


class SpinModel:
    """The Monte Carlo model: y = 2x + 1 after `steps` steps of busy work."""

    def __init__(self, steps: int):
        self.steps = steps

    def __call__(self, inputs):
        spin(self.steps)
        return {"y": 2.0 * inputs["x"] + 1.0}


def model_chunk(steps: int, xs: list) -> list:
    """The model over a chunk of draws, as a peer's task evaluates it."""
    out = []
    for x in xs:
        spin(steps)
        out.append(2.0 * x + 1.0)
    return out


def chain_origin(inputs):
    return {"y": 0.0}


def chain_step(inputs):
    return {"y": inputs["x"] + 1.0}


def step_value(x: float) -> float:
    return x + 1.0


def empty_task(x=None):
    return x


def warm_worker(modules: tuple) -> int:
    """Imports `modules` on a worker and reports its process id."""
    import importlib

    for name in modules:
        importlib.import_module(name)
    time.sleep(0.2)  # keeps this worker busy so that the next warm task lands on another
    return os.getpid()


def make_array(inputs):
    import numpy as np

    return {"a": np.arange(inputs["n"], dtype=np.float64) * 0.5}


def read_array(inputs):
    a = inputs["a"]
    return {"count": len(a), "last": a[-1]}


# --------------------------------------------------------------------------
# Graphs


def cpu_dag(steps: int) -> quillon.Dag:
    graph = quillon.Graph()
    for i in range(CPU_NODES):
        graph.add(SpinNode(steps), f"spin{i}", None, [("total", f"total{i}")])
    return graph.build()


def chain_dag(length: int) -> quillon.Dag:
    graph = quillon.Graph()
    graph.add(chain_origin, "n0", None, [("y", "v0")])
    for i in range(1, length):
        graph.add(chain_step, f"n{i}", [(f"v{i - 1}", "x")], [("y", f"v{i}")])
    return graph.build()


def model_dag(steps: int) -> quillon.Dag:
    graph = quillon.Graph()
    graph.add(SpinModel(steps), "model", [("x", "x")], [("y", "y")])
    return graph.build()


def array_dag() -> quillon.Dag:
    graph = quillon.Graph()
    graph.add(make_array, "make", [("n", "n")], [("a", "a")])
    graph.add(read_array, "read", [("a", "a")], [("count", "count"), ("last", "last")])
    return graph.build()


def has_executor() -> bool:
    """Whether this build of quillon takes executor= on execute and predict."""
    dag = chain_dag(1)
    try:
        dag.execute(executor=None)
        dag.predict({"x": quillon.normal(0.0, 1.0)}, n_samples=1, executor=None)
    except TypeError:
        return False
    return True


# --------------------------------------------------------------------------
# Hamilton's modules: its driver finds nodes among a module's functions, and
# its process-pool tasks refer to them by module name, so each is written to
# a file that the workers can import.

HAMILTON_CPU_MODULE = "quillon_bench_h_spin"
HAMILTON_CHAIN_MODULE = "quillon_bench_h_chain"
HAMILTON_PREDICT_MODULE = "quillon_bench_h_predict"


def hamilton_sources() -> dict:
    cpu = ["from bench_executor import spin\n"]
    for i in range(CPU_NODES):
        cpu.append(f"def total{i}(steps: int) -> int:\n    return spin(steps)\n")
    chain = ["def v0() -> float:\n    return 0.0\n"]
    for i in range(1, CHAIN_NODES):
        chain.append(f"def v{i}(v{i - 1}: float) -> float:\n    return v{i - 1} + 1.0\n")
    predict = textwrap.dedent("""\
        from hamilton.htypes import Collect, Parallelizable

        from bench_executor import model_chunk


        def chunk(chunks: list) -> Parallelizable[list]:
            for piece in chunks:
                yield piece


        def evaluated(chunk: list, steps: int) -> list:
            return model_chunk(steps, chunk)


        def y(evaluated: Collect[list]) -> list:
            out = []
            for piece in evaluated:
                out.extend(piece)
            return out
        """)
    return {HAMILTON_CPU_MODULE: "\n".join(cpu), HAMILTON_CHAIN_MODULE: "\n".join(chain),
            HAMILTON_PREDICT_MODULE: predict}


# --------------------------------------------------------------------------
# Pools, started once


@dataclass
class Pools:
    """A process pool and a Dask cluster of WORKERS workers each, warm. A
    pool that could not start is None, with the reason in `errors`."""

    process: Optional[concurrent.futures.ProcessPoolExecutor] = None
    dask: object = None  # a dask.distributed.Client
    cluster: object = None
    errors: dict = field(default_factory=dict)
    module_dir: str = ""


def worker_pythonpath(entries: list) -> str:
    """PYTHONPATH for worker processes: `entries`, where this process
    found quillon (a build directory, say), then what PYTHONPATH held."""
    paths = list(entries) + [str(Path(quillon.__file__).resolve().parent)]
    paths += [p for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]
    return os.pathsep.join(dict.fromkeys(paths))


def worker_modules(with_hamilton: bool) -> tuple:
    modules = ("quillon", "bench_executor")
    if with_hamilton:
        modules += (HAMILTON_CPU_MODULE, HAMILTON_CHAIN_MODULE, HAMILTON_PREDICT_MODULE, "hamilton.execution.executors")
    return modules


@contextlib.contextmanager
def started_pools(workers: int = WORKERS, *, with_dask: bool = True, with_hamilton: bool = True):
    """Starts the pools, yields Pools, shuts them down. The process pool
    starts first: its workers are forked from this process before the Dask
    client starts threads in it."""
    pools = Pools()
    with tempfile.TemporaryDirectory(prefix="quillon-bench-executor-") as module_dir:
        pools.module_dir = module_dir
        if with_hamilton:
            for name, source in hamilton_sources().items():
                Path(module_dir, f"{name}.py").write_text(source)
        # Workers import this module and the generated ones by name: the
        # forked pool through sys.path, the cluster's spawned processes
        # through PYTHONPATH.
        entries = [str(HERE), module_dir]
        added = [e for e in entries if e not in sys.path]  # only these are taken out again
        sys.path[:0] = added
        saved_pythonpath = os.environ.get("PYTHONPATH")
        os.environ["PYTHONPATH"] = worker_pythonpath(entries)
        modules = worker_modules(with_hamilton)
        try:
            try:
                pools.process = concurrent.futures.ProcessPoolExecutor(workers)
                pids: set = set()
                for _ in range(5):  # until every worker has run a warm task
                    pids |= {f.result(timeout=120) for f in
                             [pools.process.submit(warm_worker, modules) for _ in range(workers)]}
                    if len(pids) >= workers:
                        break
            except Exception as exc:
                pools.errors["process pool"] = f"{type(exc).__name__}: {exc}"
                if pools.process is not None:
                    pools.process.shutdown(cancel_futures=True)
                pools.process = None
            if with_dask:
                try:
                    from dask.distributed import Client, LocalCluster

                    pools.cluster = LocalCluster(n_workers=workers, threads_per_worker=1, processes=True,
                                                 dashboard_address=None, silence_logs=40)
                    pools.dask = Client(pools.cluster)
                    pools.dask.run(warm_worker, modules)
                except Exception as exc:
                    pools.errors["dask"] = f"{type(exc).__name__}: {exc}"
                    pools.dask = None
            else:
                pools.errors["dask"] = "left out"
            yield pools
        finally:
            if pools.dask is not None:
                pools.dask.close()
            if pools.cluster is not None:
                pools.cluster.close()
            if pools.process is not None:
                pools.process.shutdown()
            if saved_pythonpath is None:
                os.environ.pop("PYTHONPATH", None)
            else:
                os.environ["PYTHONPATH"] = saved_pythonpath
            for entry in added:
                if entry in sys.path:
                    sys.path.remove(entry)


def hamilton_pool_executor(pool):
    """Hamilton's pool-based task executor over an already running pool,
    which it neither creates nor shuts down."""
    from hamilton.execution import executors

    class RunningPool(executors.PoolExecutor):
        def create_pool(self):
            return pool

        def finalize(self):
            self.initialized = False

    return RunningPool(max_tasks=WORKERS)


def hamilton_driver(module_name: str, pool, *, individually: bool):
    """A driver whose tasks run on `pool`: every node its own task when
    `individually`, otherwise only the blocks between Parallelizable and
    Collect."""
    import importlib

    from hamilton import driver
    from hamilton.execution import grouping

    module = importlib.import_module(module_name)
    builder = (driver.Builder().enable_dynamic_execution(allow_experimental_mode=True).with_modules(module)
               .with_remote_executor(hamilton_pool_executor(pool)))
    if individually:
        builder = builder.with_grouping_strategy(grouping.GroupNodesIndividually())
    return builder.build()


# --------------------------------------------------------------------------
# Workloads as data: what to run and how to check it; run.py times them


@dataclass
class Case:
    system: str
    run: Callable[[], object]
    check: Callable[[object], bool]
    note: str = ""


@dataclass
class Workload:
    name: str
    baseline: str
    cases: list = field(default_factory=list)
    skipped: list = field(default_factory=list)  # (system, reason)
    targets: dict = field(default_factory=dict)  # system -> (limit, what)
    count: int = 1
    unit: str = ""
    slow: bool = True

    def add(self, system: str, run, check, note: str = "") -> None:
        self.cases.append(Case(system, run, check, note))

    def skip(self, system: str, reason: str) -> None:
        self.skipped.append((system, reason))


def hamilton_error(peers: dict, peer_errors: dict) -> Optional[str]:
    if peers.get("hamilton") is None:
        return f"hamilton {peer_errors.get('hamilton', 'not available')}"
    return None


def cpu_workload(pools: Pools, peers: dict, peer_errors: dict) -> Workload:
    steps = spin_steps(CPU_NODE_SECONDS)
    expected = steps * (steps - 1) // 2
    names = [f"total{i}" for i in range(CPU_NODES)]
    w = Workload(f"{CPU_NODES} independent nodes × {CPU_NODE_SECONDS:g} s of Python, {WORKERS} workers",
                 "quillon, sequential")
    dag = cpu_dag(steps)
    all_done = lambda r: all(r[name] == expected for name in names)  # noqa: E731
    w.add("quillon, sequential", lambda: dag.execute(cache=False), all_done,
          f"{steps:,} loop steps per node")
    if pools.process is not None:
        pool = pools.process
        w.add(f"quillon, ProcessPoolExecutor({WORKERS})", lambda: dag.execute(cache=False, executor=pool), all_done)
        w.targets[f"quillon, ProcessPoolExecutor({WORKERS})"] = (CPU_TARGET, "sequential")
        w.add("ProcessPoolExecutor.map (no graph)", lambda: list(pool.map(spin, [steps] * CPU_NODES)),
              lambda r: r == [expected] * CPU_NODES, "the same four calls mapped over the pool directly")
    else:
        w.skip(f"quillon, ProcessPoolExecutor({WORKERS})", pools.errors.get("process pool", ""))
    if pools.dask is not None:
        client = pools.dask
        w.add("quillon, Dask Client", lambda: dag.execute(cache=False, executor=client), all_done,
              f"LocalCluster of {WORKERS} worker processes, 1 thread each")
        w.targets["quillon, Dask Client"] = (CPU_TARGET, "sequential")
        w.add("dask.delayed on the cluster", lambda: dask_delayed_cpu(client, steps),
              lambda r: list(r) == [expected] * CPU_NODES)
    else:
        w.skip("quillon, Dask Client", f"dask {pools.errors.get('dask', '')}")
        w.skip("dask.delayed on the cluster", f"dask {pools.errors.get('dask', '')}")
    reason = hamilton_error(peers, peer_errors) or (None if pools.process else "no process pool")
    if reason is None:
        driver = hamilton_driver(HAMILTON_CPU_MODULE, pools.process, individually=True)
        w.add("hamilton, tasks on the process pool", lambda: driver.execute(names, inputs={"steps": steps}),
              lambda r: all(r[name] == expected for name in names),
              "dynamic execution, one task per node, on the same warm pool")
    else:
        w.skip("hamilton, tasks on the process pool", reason)
    reason = hamilton_error(peers, peer_errors) or (None if pools.dask else f"dask {pools.errors.get('dask', '')}")
    adapter = None
    if reason is None:
        try:
            from hamilton import base
            from hamilton.plugins import h_dask

            adapter = h_dask.DaskGraphAdapter(pools.dask, base.DictResult())
        except Exception as exc:  # its import needs dask.dataframe, and that needs pyarrow
            reason = f"hamilton.plugins.h_dask: {type(exc).__name__}: {exc}"
    if adapter is not None:
        import importlib

        from hamilton import driver

        dask_driver = driver.Driver({"steps": steps}, importlib.import_module(HAMILTON_CPU_MODULE), adapter=adapter)
        w.add("hamilton, Dask adapter on the cluster", lambda: dask_driver.execute(names),
              lambda r: all(r[name] == expected for name in names))
    else:
        w.skip("hamilton, Dask adapter on the cluster", reason)
    return w


def dask_delayed_cpu(client, steps: int):
    import dask

    return client.compute([dask.delayed(spin)(steps) for _ in range(CPU_NODES)], sync=True)


def chain_workloads(pools: Pools, peers: dict, peer_errors: dict) -> list:
    expected = float(CHAIN_NODES - 1)
    last = f"v{CHAIN_NODES - 1}"
    dag = chain_dag(CHAIN_NODES)
    ends_right = lambda r: r[last] == expected  # noqa: E731
    out = []

    w = Workload(f"chain of {CHAIN_NODES} trivial nodes on ProcessPoolExecutor({WORKERS})",
                 "submit and wait, once per node", count=CHAIN_NODES, unit="us/node", slow=False)
    if pools.process is not None:
        pool = pools.process

        def submit_and_wait():
            value = 0.0
            for _ in range(1, CHAIN_NODES):
                value = pool.submit(step_value, value).result()
            # The first node has no input: one more round trip, as the graph makes.
            pool.submit(empty_task).result()
            return value

        w.add("submit and wait, once per node", submit_and_wait, lambda r: r == expected,
              "the same number of round trips to the same pool, without a graph")
        w.add("quillon", lambda: dag.execute(cache=False, executor=pool), ends_right)
        w.targets["quillon"] = (CHAIN_TARGET, "submit and wait")
        w.add("quillon, sequential (no executor)", lambda: dag.execute(cache=False), ends_right,
              "for scale: the same chain in this process")
        reason = hamilton_error(peers, peer_errors)
        if reason is None:
            driver = hamilton_driver(HAMILTON_CHAIN_MODULE, pool, individually=True)
            w.add("hamilton, tasks on the process pool", lambda: driver.execute([last]),
                  lambda r: r[last] == expected, "dynamic execution, one task per node")
        else:
            w.skip("hamilton, tasks on the process pool", reason)
    else:
        w.skip("quillon", pools.errors.get("process pool", ""))
    out.append(w)

    w = Workload(f"chain of {CHAIN_NODES} trivial nodes on a Dask cluster of {WORKERS}",
                 "client.submit and wait, once per node", count=CHAIN_NODES, unit="us/node", slow=False)
    if pools.dask is not None:
        client = pools.dask

        def client_submit_and_wait():
            value = 0.0
            for _ in range(1, CHAIN_NODES):
                value = client.submit(step_value, value, pure=False).result()
            client.submit(empty_task, pure=False).result()
            return value

        w.add("client.submit and wait, once per node", client_submit_and_wait, lambda r: r == expected)
        w.add("quillon", lambda: dag.execute(cache=False, executor=client), ends_right)
        w.add("dask.delayed chain on the cluster", lambda: dask_delayed_chain(client),
              lambda r: r == expected, "one graph handed to the scheduler; no round trip per node")
    else:
        w.skip("quillon", f"dask {pools.errors.get('dask', '')}")
    out.append(w)
    return out


def dask_delayed_chain(client):
    import dask

    value = dask.delayed(0.0)
    for _ in range(1, CHAIN_NODES):
        value = dask.delayed(step_value)(value)
    return client.compute(value, sync=True)


def predict_workload(pools: Pools, peers: dict, peer_errors: dict) -> Workload:
    steps = spin_steps(PREDICT_CALL_SECONDS)
    dag = model_dag(steps)
    inputs = {"x": quillon.normal(0.0, 1.0)}
    n = PREDICT_PARTICLES
    serial = dag.predict(inputs, n_samples=n, seed=PREDICT_SEED)
    reference = list(serial["y"].samples)
    draws = list(serial["x"].samples)
    expected = [2.0 * x + 1.0 for x in draws]
    if reference != expected:
        raise AssertionError("the serial predict does not compute the model")

    w = Workload(f"predict, {n:,} particles × {PREDICT_CALL_SECONDS * 1e3:g} ms of Python, {WORKERS} workers",
                 "quillon, serial", count=n, unit="us/particle")
    same_as_serial = lambda r: list(r["y"].samples) == reference and list(r["x"].samples) == draws  # noqa: E731
    w.add("quillon, serial", lambda: dag.predict(inputs, n_samples=n, seed=PREDICT_SEED), same_as_serial,
          f"{steps:,} loop steps per call")
    chunks = [draws[i:i + n // (4 * WORKERS)] for i in range(0, n, n // (4 * WORKERS))]
    if pools.process is not None:
        pool = pools.process
        system = f"quillon, ProcessPoolExecutor({WORKERS})"
        w.add(system, lambda: dag.predict(inputs, n_samples=n, seed=PREDICT_SEED, executor=pool), same_as_serial,
              "the seed's result, bit for bit; chunk_size left to quillon")
        w.targets[system] = (PREDICT_TARGET, "serial")
        w.add("ProcessPoolExecutor.map over chunks (no graph)",
              lambda: [y for piece in pool.map(model_chunk, [steps] * len(chunks), chunks) for y in piece],
              lambda r: r == expected, f"the draws made beforehand, {len(chunks)} chunks")
    else:
        w.skip(f"quillon, ProcessPoolExecutor({WORKERS})", pools.errors.get("process pool", ""))
    if pools.dask is not None:
        client = pools.dask
        w.add("quillon, Dask Client",
              lambda: dag.predict(inputs, n_samples=n, seed=PREDICT_SEED, executor=client), same_as_serial)
        w.targets["quillon, Dask Client"] = (PREDICT_TARGET, "serial")
        chunk = len(chunks[0])
        w.add(f"quillon, Dask Client, chunk_size={chunk}",
              lambda: dag.predict(inputs, n_samples=n, seed=PREDICT_SEED, executor=client, chunk_size=chunk),
              same_as_serial, f"{len(chunks)} tasks, as the peers make; fewer round trips to the scheduler")
        w.add("dask.delayed over chunks", lambda: dask_delayed_chunks(client, steps, chunks),
              lambda r: r == expected, f"the draws made beforehand, {len(chunks)} chunks")
    else:
        w.skip("quillon, Dask Client", f"dask {pools.errors.get('dask', '')}")
    reason = hamilton_error(peers, peer_errors) or (None if pools.process else "no process pool")
    if reason is None:
        driver = hamilton_driver(HAMILTON_PREDICT_MODULE, pools.process, individually=False)
        w.add("hamilton, Parallelizable chunks on the process pool",
              lambda: driver.execute(["y"], inputs={"chunks": chunks, "steps": steps})["y"],
              lambda r: r == expected, f"the draws made beforehand, {len(chunks)} chunks")
    else:
        w.skip("hamilton, Parallelizable chunks on the process pool", reason)
    return w


def dask_delayed_chunks(client, steps: int, chunks: list) -> list:
    import dask

    pieces = client.compute([dask.delayed(model_chunk)(steps, piece) for piece in chunks], sync=True)
    return [y for piece in pieces for y in piece]


def workloads(pools: Pools, peers: dict, peer_errors: dict) -> list:
    return ([cpu_workload(pools, peers, peer_errors)] + chain_workloads(pools, peers, peer_errors)
            + [predict_workload(pools, peers, peer_errors)])


# --------------------------------------------------------------------------
# Memory: each case in a process of its own, so that its peak is its own

MEMORY_CASES = ("in one process", f"ProcessPoolExecutor({WORKERS})")


def memory_child(case: str, doubles: int = MEMORY_DOUBLES) -> dict:
    """Runs the array graph once in this process (case "in one process") or
    on a warm process pool, keeping the result; reports this process's
    resident peak during the run and what it retains after it, both above
    its size just before the run."""
    import numpy as np  # noqa: F401  (imported before the baseline is taken)

    dag = array_dag()
    pool = None
    if case != MEMORY_CASES[0]:
        pool = concurrent.futures.ProcessPoolExecutor(WORKERS)
        for future in [pool.submit(warm_worker, ("quillon", "numpy", "bench_executor")) for _ in range(WORKERS)]:
            future.result(timeout=120)
        dag.execute(cache=False, executor=pool, inputs={"n": 10})  # the callables reach the workers
    gc.collect()
    before = rss_bytes()
    reset_peak_rss()
    result = dag.execute(cache=False, inputs={"n": doubles}, **({"executor": pool} if pool else {}))
    peak = peak_rss_bytes() - before
    gc.collect()
    retained = rss_bytes() - before
    ok = result.get("count") == doubles and result.get("last") == (doubles - 1) * 0.5
    out = {"case": case, "array_bytes": doubles * 8, "peak": peak, "retained": retained, "ok": ok}
    if pool is not None:
        # The pool's own threads keep their last message until the next one
        # (the pickled call in the feeder thread, the result in the manager
        # thread): one more task shows what stays once they let go.
        pool.submit(empty_task).result(timeout=120)
        gc.collect()
        out["retained_after_next_task"] = rss_bytes() - before
        pool.shutdown()
    return out


def memory_measurements(doubles: Optional[int] = None) -> dict:
    """case -> memory_child's figures, or {"error": last line of stderr}."""
    doubles = doubles or MEMORY_DOUBLES
    out = {}
    env = dict(os.environ)
    env["PYTHONPATH"] = worker_pythonpath([str(HERE)])
    for case in MEMORY_CASES:
        proc = subprocess.run([sys.executable, str(HERE / "bench_executor.py"), "--memory-child", case,
                               "--doubles", str(doubles)], capture_output=True, text=True, timeout=1200, env=env)
        if proc.returncode != 0:
            lines = proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"]
            out[case] = {"error": lines[-1]}
        else:
            out[case] = json.loads(proc.stdout.strip().splitlines()[-1])
    return out


def main(argv=None) -> int:
    import argparse

    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     epilog="Other options (--quick, --repeat, --json, --markdown, --no-peers) "
                                            "are benchmarks/run.py's.")
    parser.add_argument("--memory-child", help=argparse.SUPPRESS)
    parser.add_argument("--doubles", type=int, default=MEMORY_DOUBLES, help=argparse.SUPPRESS)
    args, rest = parser.parse_known_args(argv)
    if args.memory_child:
        # Imported by name, so that what the workers unpickle is this module's.
        import bench_executor

        print(json.dumps(bench_executor.memory_child(args.memory_child, args.doubles)))
        return 0
    sys.path.insert(0, str(HERE))
    import run

    return run.main(["--only", "executor"] + rest)


if __name__ == "__main__":
    sys.exit(main())
