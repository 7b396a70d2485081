"""Every quillon benchmark, side by side with the libraries users would pick instead.

Run with the extension importable and, for the peers, the ``bench`` extra:

    pip install --no-build-isolation ".[bench]"
    python benchmarks/run.py                 # full pass (a few minutes)
    python benchmarks/run.py --quick         # fewer repetitions, same workloads
    python benchmarks/run.py --only chain,array --json /tmp/r.json

Every workload runs the same per-node work on each system: quillon, the
peers that are installed (a peer that cannot be imported is listed as
skipped with the reason) and a plain Python loop making the same calls, which
is the baseline. Where the node-function contract itself costs time (the
interpreter lock taken and released around every call, the run's values
handed back as a dict), a C loop doing only that, compiled from
contract_floor.cpp when a compiler is at hand, shows the least any engine
keeping the contract could take. Each system's result is checked before it
is timed. The systems of one workload are timed in turn within each
repetition (the order rotates), so that load from elsewhere on the machine
hits them alike; the table shows medians. Absolute times depend on the
machine; compare the ratios.

The table is printed and written as JSON (benchmarks/results.json unless
--json says otherwise). That file describes one machine's run and is not
kept in the repository.
"""

from __future__ import annotations

import argparse
import contextlib
import gc
import importlib
import importlib.util
import io
import json
import math
import os
import platform
import random
import statistics
import shutil
import subprocess
import sys
import sysconfig
import tempfile
import time
from collections import deque
from dataclasses import asdict, dataclass, field
from pathlib import Path
from typing import Callable, Optional

# Peers must not try to phone home from inside a timing loop.
os.environ.setdefault("HAMILTON_TELEMETRY_ENABLED", "false")

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import quillon  # noqa: E402

from process_memory import peak_rss_bytes, reset_peak_rss, rss_bytes  # noqa: E402

# The execute-path workload functions are shared with bench_execute.py so
# that both scripts measure the same thing.
from bench_execute import (  # noqa: E402
    CHAIN_LENGTH,
    PARALLEL_NODES,
    SLEEP_SECONDS,
    chain_graph,
    increment,
    plain_chain,
    sleeper,
    source,
)

try:  # the predict workload, when its own script is present
    import bench_predict as _predict_workload
except ImportError:
    _predict_workload = None

try:  # the scale-out workloads (process pool, Dask cluster), when present
    import bench_executor as _executor_workload
except ImportError:
    _executor_workload = None

ARRAY_LENGTH = 1_000_000
RANDOM_DAG_NODES = 10_000
RANDOM_DAG_EDGES = 3
RANDOM_DAG_SEED = 20240601
BUILD_SIZES = (1_000, 10_000, 100_000)
SCALE_CHAIN_NODES = 100_000
MC_SAMPLES = 100_000
PERCENTILE_READS = 100_000

PEERS = {
    "numpy": ("numpy",),
    "hamilton": ("hamilton.driver", "hamilton.caching.stores.memory"),
    "dask": ("dask", "dask.threaded", "dask.local"),
    "joblib": ("joblib",),
    "diskcache": ("diskcache",),
    "openturns": ("openturns",),
}


# --------------------------------------------------------------------------
# Measuring


@dataclass
class Row:
    workload: str
    system: str
    status: str = "ok"  # "ok", "skipped" or "error"
    median_s: Optional[float] = None
    runs: int = 0
    figure: str = ""  # the headline number as printed
    value: Optional[float] = None  # that number, in `unit`
    unit: str = ""
    ratio: Optional[float] = None  # median_s / the baseline's median_s
    baseline: str = ""
    target: str = ""
    met: Optional[bool] = None
    note: str = ""


@dataclass
class Context:
    repeat: int  # repetitions for the fast workloads
    slow_repeat: int  # for those that take seconds per run
    rows: list = field(default_factory=list)
    peers: dict = field(default_factory=dict)  # name -> module or None
    peer_errors: dict = field(default_factory=dict)
    tmp: str = ""
    floor: object = None  # the contract-floor module once built; False if it cannot be
    floor_error: str = ""

    def add(self, row: Row) -> Row:
        self.rows.append(row)
        return row

    def peer(self, name: str):
        return self.peers.get(name)

    def skipped(self, workload: str, system: str, peer: str, target: str = "") -> None:
        self.add(Row(workload, system, status="skipped", target=target,
                     note=f"{peer} {self.peer_errors.get(peer, 'not available')}"))


def contract_floor(ctx: Context):
    """The C loops of contract_floor.cpp, compiled on first use with the
    running interpreter's headers; None (with ctx.floor_error) when no
    compiler is at hand or the build fails."""
    if ctx.floor is None:
        ctx.floor = False
        compiler = os.environ.get("CXX") or shutil.which("c++") or shutil.which("g++")
        suffix = sysconfig.get_config_var("EXT_SUFFIX") or ".so"
        target = Path(ctx.tmp) / f"quillon_contract_floor{suffix}"
        if compiler is None:
            ctx.floor_error = "no C++ compiler found"
        else:
            command = [compiler, "-O2", "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}",
                       str(HERE / "contract_floor.cpp"), "-o", str(target)]
            try:
                subprocess.run(command, check=True, capture_output=True, text=True, timeout=300)
                spec = importlib.util.spec_from_file_location("quillon_contract_floor", target)
                module = importlib.util.module_from_spec(spec)
                spec.loader.exec_module(module)
                ctx.floor = module
            except subprocess.CalledProcessError as exc:
                ctx.floor_error = f"build failed: {exc.stderr.strip()[-200:]}"
            except Exception as exc:
                ctx.floor_error = f"{type(exc).__name__}: {exc}"
    return ctx.floor or None


FLOOR_SYSTEM = "contract floor (C loop, no engine)"
FLOOR_NOTE = ("the interpreter lock taken and let go around every call, as node functions must, "
              "with no engine work")


def load_peers(names) -> tuple[dict, dict]:
    """Imports the named peers; the others are left out. Returns the modules
    (None where absent) and the reason for each absent one."""
    modules, errors = {}, {}
    for name, imports in PEERS.items():
        if name not in names:
            modules[name] = None
            errors[name] = "left out (--no-peers)"
            continue
        try:
            for module_name in imports:
                importlib.import_module(module_name)
            modules[name] = importlib.import_module(name)
        except Exception as exc:  # any import failure means the peer is absent
            modules[name] = None
            errors[name] = f"not importable: {type(exc).__name__}: {exc}"
    return modules, errors


def time_once(run: Callable[[], object]) -> float:
    gc.collect()
    gc.disable()
    try:
        start = time.perf_counter()
        run()
        return time.perf_counter() - start
    finally:
        gc.enable()


def side_by_side(cases: dict, repeat: int, setups: Optional[dict] = None) -> dict:
    """Times every case `repeat` times, one of each per round, rotating the
    order; returns name -> list of seconds. `setups` maps a case to a call
    made untimed before each of its runs (emptying the cache it fills)."""
    names = list(cases)
    setups = setups or {}
    times = {name: [] for name in names}
    for round_index in range(repeat):
        shift = round_index % len(names)
        for name in names[shift:] + names[:shift]:
            if name in setups:
                setups[name]()
            times[name].append(time_once(cases[name]))
    return times


def checked(ctx: Context, workload: str, system: str, run: Callable[[], object],
            check: Callable[[object], bool]) -> Optional[Callable[[], object]]:
    """Runs once untimed and checks the result; a failing system gets an
    error row instead of a figure."""
    try:
        result = run()
        ok = check(result)
    except Exception as exc:
        ctx.add(Row(workload, system, status="error", note=f"{type(exc).__name__}: {exc}"))
        return None
    if not ok:
        ctx.add(Row(workload, system, status="error", note="result differs from the plain loop's"))
        return None
    return run


def add_case(ctx: Context, cases: dict, workload: str, system: str, run: Callable[[], object],
             check: Callable[[object], bool]) -> bool:
    """Checks `run` as `checked` does and, if it passes, enters that same
    callable in `cases` under `system`, so that what is timed is exactly
    what was checked. Returns whether it was entered."""
    run = checked(ctx, workload, system, run, check)
    if run is None:
        return False
    cases[system] = run
    return True


# How each per-unit figure is printed. A Monte Carlo run's count is
# samples × nodes: its figure is the time one node takes on one sample, draws
# included where the system draws, however many calls the system makes for it.
PER_UNIT_LABELS = {"us/node": "µs/node", "us/sample-node": "µs/(sample × node)", "us/read": "µs/read",
                   "us/value": "µs/value"}


def per_unit(seconds: float, count: int, unit: str) -> tuple[float, str]:
    label = PER_UNIT_LABELS.get(unit)
    if label is None:
        return seconds, format_seconds(seconds)
    value = seconds / count * 1e6
    digits = 3 if unit == "us/value" else 2  # values take nanoseconds each
    return value, f"{value:.{digits}f} {label}"


def format_seconds(seconds: float) -> str:
    if seconds >= 1.0:
        return f"{seconds:.2f} s"
    if seconds >= 1e-3:
        return f"{seconds * 1e3:.1f} ms"
    return f"{seconds * 1e6:.1f} µs"


def record(ctx: Context, workload: str, times: dict, baseline: str, *, count: int = 1,
           unit: str = "", targets: Optional[dict] = None, notes: Optional[dict] = None) -> dict:
    """Adds one row per timed system; ratios are against `baseline`."""
    targets = targets or {}
    notes = notes or {}
    base = statistics.median(times[baseline]) if baseline in times else None
    rows = {}
    for system, samples in times.items():
        median = statistics.median(samples)
        value, figure = per_unit(median, count, unit)
        row = Row(workload, system, median_s=median, runs=len(samples), figure=figure,
                  value=value, unit=unit or "s", note=notes.get(system, ""))
        if base:
            row.ratio = median / base
            row.baseline = baseline
        if system in targets:
            row.target, row.met = targets[system](row)
        rows[system] = ctx.add(row)
    return rows


def ratio_target(limit: float, what: str) -> Callable[[Row], tuple[str, bool]]:
    return lambda row: (f"≤ {limit:g}× {what}", row.ratio is not None and row.ratio <= limit)


def per_unit_target(limit: float, label: str) -> Callable[[Row], tuple[str, bool]]:
    return lambda row: (f"≤ {limit:g} {label}", row.value is not None and row.value <= limit)


# --------------------------------------------------------------------------
# Workload: a chain of trivial nodes, uncached and every node a cache hit


def hamilton_chain_module(ctx: Context, length: int):
    """A module of `length` functions n0 .. n{length-1}, each adding one to
    its predecessor: the driver discovers nodes from a module's functions.
    Written to a file so that the driver can read the source it versions."""
    name = f"quillon_bench_hchain_{length}"
    if name in sys.modules:
        return sys.modules[name]
    lines = ["def n0() -> float:\n    return 0.0\n"]
    for i in range(1, length):
        lines.append(f"def n{i}(n{i - 1}: float) -> float:\n    return n{i - 1} + 1\n")
    path = Path(ctx.tmp) / f"{name}.py"
    path.write_text("\n".join(lines))
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    spec.loader.exec_module(module)
    return module


def dask_source():
    return 0.0


def dask_increment(x):
    return x + 1


def dask_chain_graph(length: int) -> dict:
    graph = {"v0": (dask_source,)}
    for i in range(1, length):
        graph[f"v{i}"] = (dask_increment, f"v{i - 1}")
    return graph


def bench_chain(ctx: Context) -> None:
    workload = f"chain of {CHAIN_LENGTH:,}, uncached"
    last, expected = f"v{CHAIN_LENGTH - 1}", float(CHAIN_LENGTH - 1)
    cases = {"plain loop": plain_chain}

    dag = chain_graph(versioned=False).build()
    add_case(ctx, cases, workload, "quillon", dag.execute, lambda r: r[last] == expected)
    add_case(ctx, cases, workload, "quillon cache=False", lambda: dag.execute(cache=False),
             lambda r: r[last] == expected)
    floor = contract_floor(ctx)
    if floor:
        functions = [source] + [increment] * (CHAIN_LENGTH - 1)
        keys = [f"v{i}" for i in range(CHAIN_LENGTH)]
        add_case(ctx, cases, workload, FLOOR_SYSTEM, lambda: floor.chain(functions, "x", "y", keys),
                 lambda r: r == dag.execute())
    else:
        ctx.add(Row(workload, FLOOR_SYSTEM, status="skipped", note=ctx.floor_error))

    if ctx.peer("hamilton"):
        from hamilton import driver

        module = hamilton_chain_module(ctx, CHAIN_LENGTH)
        hamilton_driver = driver.Builder().with_modules(module).build()
        final = f"n{CHAIN_LENGTH - 1}"
        add_case(ctx, cases, workload, "hamilton", lambda: hamilton_driver.execute([final]),
                 lambda r: r[final] == expected)
    else:
        ctx.skipped(workload, "hamilton", "hamilton")

    if ctx.peer("dask"):
        import dask
        import dask.threaded

        graph = dask_chain_graph(CHAIN_LENGTH)
        add_case(ctx, cases, workload, "dask threads", lambda: dask.threaded.get(graph, last),
                 lambda r: r == expected)
        add_case(ctx, cases, workload, "dask sync", lambda: dask.get(graph, last), lambda r: r == expected)
    else:
        ctx.skipped(workload, "dask threads", "dask")

    # A run takes a fraction of a millisecond for most systems: more runs
    # steady the medians at little cost.
    times = side_by_side(cases, ctx.repeat * 5)
    record(ctx, workload, times, "plain loop", count=CHAIN_LENGTH, unit="us/node",
           targets={"quillon": ratio_target(1.3, "loop")},
           notes={"quillon": "default options; every node misses (no version)",
                  FLOOR_SYSTEM: FLOOR_NOTE + "; returns every value in a new dict, as execute() does",
                  "dask threads": "graph dict, dask.threaded.get",
                  "dask sync": "graph dict, single-threaded scheduler",
                  "hamilton": "driver over a module of 1,000 functions"})


def hamilton_executed(cached_driver) -> int:
    """How many nodes the driver's last cached run computed rather than read."""
    logs = cached_driver.cache.logs(cached_driver.cache.last_run_id, level="debug")
    return sum(1 for events in logs.values() for event in events
               if str(event.event_type).endswith("EXECUTE_NODE"))


# Both run only on a cache miss, which the counter records.
def joblib_source():
    JOBLIB_CALLS[0] += 1
    return 0.0


def joblib_increment(x):
    JOBLIB_CALLS[0] += 1
    return x + 1


JOBLIB_CALLS = [0]


def bench_cached_chain(ctx: Context) -> None:
    workload = f"chain of {CHAIN_LENGTH:,}, every node a cache hit"
    last, expected = f"v{CHAIN_LENGTH - 1}", float(CHAIN_LENGTH - 1)

    memo: dict = {}

    def memo_loop():
        # The cheapest cache Python offers: one dict lookup per node, keyed by
        # the node and its input.
        value = None
        for i in range(CHAIN_LENGTH):
            key = (i, value)
            outputs = memo.get(key)
            if outputs is None:
                outputs = source({}) if i == 0 else increment({"x": value})
                memo[key] = outputs
            value = outputs["y"]
        return value

    memo_loop()
    cases = {"plain loop + dict memo": memo_loop}

    dag = chain_graph(versioned=True).build()
    dag.execute()  # fills the cache

    # The timed call is plain execute(); that every node of it was a hit is
    # read from the backend's hit counter rather than from a detailed run,
    # whose per-node report is work the timed call does not do.
    hits_before = dag.cache_stats()["hits"]

    def all_hits(result):
        return dag.cache_stats()["hits"] - hits_before == CHAIN_LENGTH and result[last] == expected

    add_case(ctx, cases, workload, "quillon", dag.execute, all_hits)

    if ctx.peer("hamilton"):
        from hamilton import driver
        from hamilton.caching.stores.memory import InMemoryMetadataStore, InMemoryResultStore

        module = hamilton_chain_module(ctx, CHAIN_LENGTH)
        cached_driver = (driver.Builder().with_modules(module)
                         .with_cache(metadata_store=InMemoryMetadataStore(),
                                     result_store=InMemoryResultStore())
                         .build())
        final = f"n{CHAIN_LENGTH - 1}"
        cached_driver.execute([final])  # fills the cache

        def hamilton_all_hits(result):
            return hamilton_executed(cached_driver) == 0 and result[final] == expected

        add_case(ctx, cases, workload, "hamilton (in-memory cache)",
                 lambda: cached_driver.execute([final]), hamilton_all_hits)
    else:
        ctx.skipped(workload, "hamilton (in-memory cache)", "hamilton")

    if ctx.peer("joblib"):
        import joblib

        memory = joblib.Memory(location=os.path.join(ctx.tmp, "joblib"), verbose=0)
        cached_source = memory.cache(joblib_source)
        cached_increment = memory.cache(joblib_increment)

        def joblib_chain():
            value = cached_source()
            for _ in range(1, CHAIN_LENGTH):
                value = cached_increment(value)
            return value

        joblib_chain()  # fills the cache
        calls_before = JOBLIB_CALLS[0]
        add_case(ctx, cases, workload, "joblib.Memory", joblib_chain,
                 lambda r: r == expected and JOBLIB_CALLS[0] == calls_before)
    else:
        ctx.skipped(workload, "joblib.Memory", "joblib")

    times = side_by_side(cases, ctx.repeat)
    rows = record(ctx, workload, times, "plain loop + dict memo", count=CHAIN_LENGTH, unit="us/node",
                  notes={"joblib.Memory": "one cached call per node, on-disk store",
                         "hamilton (in-memory cache)": "in-memory metadata and result stores"})
    if "quillon" in rows:
        row = rows["quillon"]
        row.target, row.met = "≤ 3 µs/node", row.value <= 3.0


# --------------------------------------------------------------------------
# Workload: the chain in a cache on disk: every node a hit, every node
# stored, and several processes reading one cache at once

DISK_WORKERS = 4
DISK_WORKER_RUNS = 50  # timed runs of each worker process
DISK_HIT_LIMIT_US = 10.0
DISK_HIT_SPEEDUP = 7  # over joblib.Memory
DISK_STORE_LIMIT_US = 60.0


def quillon_disk_chain(path: str):
    """The versioned chain over a DiskCache in `path`: (dag, cache)."""
    cache = quillon.DiskCache(path)
    return chain_graph(versioned=True).build(cache_backend=cache), cache


def disk_hits_target(row: Row) -> tuple[str, bool]:
    fast_enough = row.value is not None and row.value <= DISK_HIT_LIMIT_US
    if not row.baseline:  # joblib absent: the absolute limit alone
        return f"≤ {DISK_HIT_LIMIT_US:g} µs/node", fast_enough
    limit = 1 / DISK_HIT_SPEEDUP
    met = fast_enough and row.ratio is not None and row.ratio <= limit
    return f"≤ {DISK_HIT_LIMIT_US:g} µs/node and ≤ 1/{DISK_HIT_SPEEDUP}× joblib.Memory", met


def disk_stores_target(row: Row) -> tuple[str, bool]:
    fast_enough = row.value is not None and row.value <= DISK_STORE_LIMIT_US
    if not row.baseline:  # diskcache absent
        return f"≤ {DISK_STORE_LIMIT_US:g} µs/node", fast_enough
    met = fast_enough and row.ratio is not None and row.ratio <= 1.0
    return f"≤ {DISK_STORE_LIMIT_US:g} µs/node and ≤ 1× Cache.set", met


def disk_hits_child(path: str, runs: int) -> dict:
    """One worker of the shared-cache row: checks that a run over the filled
    cache in `path` is all hits, says it is ready, waits for the parent's
    go (a line on stdin) and times `runs` more runs."""
    last, expected = f"v{CHAIN_LENGTH - 1}", float(CHAIN_LENGTH - 1)
    dag, cache = quillon_disk_chain(path)
    before = cache.stats()
    first = dag.execute()
    after = cache.stats()
    ready = (first[last] == expected and after["hits"] - before["hits"] == CHAIN_LENGTH
             and after["misses"] == before["misses"])
    print(json.dumps({"ready": ready}), flush=True)
    if not ready or not sys.stdin.readline():
        return {"error": "the first run was not all hits" if not ready else "no go from the parent"}
    times = [time_once(dag.execute) for _ in range(runs)]
    end = cache.stats()
    return {"times": times, "hits": end["hits"] - after["hits"], "misses": end["misses"] - after["misses"]}


def shared_disk_hits(path: str, workers: int, runs: int) -> list:
    """Starts `workers` processes on the cache in `path`, lets them go at
    once and returns every run's seconds; raises RuntimeError when a worker
    fails or one of its runs was not all hits."""
    command = [sys.executable, str(Path(__file__).resolve()), "--disk-hits-child", path, "--disk-hits-runs", str(runs)]
    procs = [subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              text=True) for _ in range(workers)]
    try:
        for proc in procs:
            line = proc.stdout.readline()
            if not line or not json.loads(line).get("ready"):
                raise RuntimeError("a worker's first run was not all hits")
        for proc in procs:  # every worker is ready: start them together
            proc.stdin.write("go\n")
            proc.stdin.flush()
        times = []
        for proc in procs:
            out, err = proc.communicate(timeout=600)
            if proc.returncode != 0:
                lines = err.strip().splitlines() or [f"exit status {proc.returncode}"]
                raise RuntimeError(f"a worker failed: {lines[-1]}")
            report = json.loads(out.strip().splitlines()[-1])
            if "error" in report:
                raise RuntimeError(report["error"])
            if report["hits"] != runs * CHAIN_LENGTH or report["misses"] != 0:
                raise RuntimeError(f"a worker's runs missed: {report['hits']} hits, {report['misses']} misses")
            times += report["times"]
        return times
    finally:
        for proc in procs:
            if proc.poll() is None:
                proc.kill()
                proc.wait()


def bench_disk(ctx: Context) -> None:
    hits_workload = f"chain of {CHAIN_LENGTH:,} in a disk cache, every node a hit"
    stores_workload = f"chain of {CHAIN_LENGTH:,} in a disk cache, storing every node"
    shared_workload = f"chain of {CHAIN_LENGTH:,} in a disk cache, {DISK_WORKERS} processes sharing it"
    last, expected = f"v{CHAIN_LENGTH - 1}", float(CHAIN_LENGTH - 1)
    keys = [f"v{i}" for i in range(CHAIN_LENGTH)]
    root = Path(ctx.tmp) / "disk"
    root.mkdir(exist_ok=True)
    hit_cases, store_cases, store_setups = {}, {}, {}
    system = "quillon DiskCache"
    slow_store_cases, slow_store_setups = {}, {}

    # quillon, every node a hit: the timed call is plain execute(), checked by
    # the store's counters; a detailed run first shows every node as a hit.
    hit_dag, hit_cache = quillon_disk_chain(str(root / "quillon-hits"))
    hit_dag.execute()  # fills the cache
    report = hit_dag.execute(detailed=True)
    every_node_hit = (report["cache_stats"]["hits"] == CHAIN_LENGTH and report["cache_stats"]["misses"] == 0
                      and all(node["hit"] for node in report["node_cache"].values()))
    if every_node_hit:
        before = hit_cache.stats()

        def all_hits(result):
            after = hit_cache.stats()
            return (result[last] == expected and after["hits"] - before["hits"] == CHAIN_LENGTH
                    and after["misses"] == before["misses"])

        add_case(ctx, hit_cases, hits_workload, system, hit_dag.execute, all_hits)
    else:
        ctx.add(Row(hits_workload, system, status="error", note="a detailed run over the filled cache missed"))

    # quillon, every node stored into an emptied cache.
    store_dag, store_cache = quillon_disk_chain(str(root / "quillon-stores"))

    def quillon_stored(result):
        stats = store_cache.stats()
        return result[last] == expected and stats["entries"] == CHAIN_LENGTH and stats["store_failures"] == 0

    store_cache.clear()
    if add_case(ctx, store_cases, stores_workload, system, store_dag.execute, quillon_stored):
        store_setups[system] = store_cache.clear

    # joblib.Memory, one memoized call per node: the baseline of the hits.
    if ctx.peer("joblib"):
        import joblib

        memory = joblib.Memory(location=str(root / "joblib"), verbose=0)
        cached_source = memory.cache(joblib_source)
        cached_increment = memory.cache(joblib_increment)

        def joblib_chain():
            value = cached_source()
            for _ in range(1, CHAIN_LENGTH):
                value = cached_increment(value)
            return value

        joblib_chain()  # fills the cache
        calls_before = JOBLIB_CALLS[0]
        add_case(ctx, hit_cases, hits_workload, "joblib.Memory", joblib_chain,
                 lambda r: r == expected and JOBLIB_CALLS[0] == calls_before)
    else:
        ctx.skipped(hits_workload, "joblib.Memory", "joblib")

    # diskcache's raw get and set, one call per node, for scale: no chain, no
    # key derivation, the value handed in.
    if ctx.peer("diskcache"):
        import diskcache

        filled = diskcache.Cache(str(root / "diskcache-hits"))
        for i, key in enumerate(keys):
            filled.set(key, float(i))

        def diskcache_gets():
            get = filled.get
            value = None
            for key in keys:
                value = get(key)
            return value

        add_case(ctx, hit_cases, hits_workload, "diskcache Cache.get", diskcache_gets, lambda r: r == expected)

        empty = diskcache.Cache(str(root / "diskcache-stores"))

        def diskcache_sets():
            put = empty.set
            for i, key in enumerate(keys):
                put(key, float(i))
            return len(empty)

        empty.clear()
        if add_case(ctx, store_cases, stores_workload, "diskcache Cache.set", diskcache_sets,
                    lambda r: r == CHAIN_LENGTH and empty.get(last) == expected):
            store_setups["diskcache Cache.set"] = empty.clear
    else:
        ctx.skipped(hits_workload, "diskcache Cache.get", "diskcache")
        ctx.skipped(stores_workload, "diskcache Cache.set", "diskcache")

    # hamilton with its on-disk cache (SQLite metadata, one file per result).
    # A storing run takes seconds: it gets a fresh driver over a fresh
    # directory before each run, and fewer runs.
    hamilton_system = "hamilton (disk cache)"
    if ctx.peer("hamilton"):
        from hamilton import driver

        module = hamilton_chain_module(ctx, CHAIN_LENGTH)
        final = f"n{CHAIN_LENGTH - 1}"
        hit_driver = driver.Builder().with_modules(module).with_cache(path=str(root / "hamilton-hits")).build()
        hit_driver.execute([final])  # fills the cache
        add_case(ctx, hit_cases, hits_workload, hamilton_system, lambda: hit_driver.execute([final]),
                 lambda r: r[final] == expected and hamilton_executed(hit_driver) == 0)

        fresh = {"count": 0, "driver": None}

        def fresh_driver():
            fresh["count"] += 1
            path = root / f"hamilton-stores-{fresh['count']}"
            fresh["driver"] = driver.Builder().with_modules(module).with_cache(path=str(path)).build()

        fresh_driver()
        if add_case(ctx, slow_store_cases, stores_workload, hamilton_system,
                    lambda: fresh["driver"].execute([final]),
                    lambda r: r[final] == expected and hamilton_executed(fresh["driver"]) == CHAIN_LENGTH):
            slow_store_setups[hamilton_system] = fresh_driver
    else:
        ctx.skipped(hits_workload, hamilton_system, "hamilton")
        ctx.skipped(stores_workload, hamilton_system, "hamilton")

    if hit_cases:
        times = side_by_side(hit_cases, ctx.repeat * 3)
        record(ctx, hits_workload, times, "joblib.Memory", count=CHAIN_LENGTH, unit="us/node",
               targets={system: disk_hits_target},
               notes={system: "plain execute(); the check run read the store's hit counter",
                      "joblib.Memory": "one memoized call per node",
                      "diskcache Cache.get": "one get per node, for scale: no graph, no key derivation",
                      hamilton_system: "driver.with_cache(path=...): SQLite metadata, a file per result"})
    if store_cases or slow_store_cases:
        times = side_by_side(store_cases, ctx.repeat, store_setups) if store_cases else {}
        if slow_store_cases:
            times.update(side_by_side(slow_store_cases, max(1, ctx.slow_repeat // 2), slow_store_setups))
        record(ctx, stores_workload, times, "diskcache Cache.set", count=CHAIN_LENGTH, unit="us/node",
               targets={system: disk_stores_target},
               notes={system: "execute() into a cache emptied before each run, outside the timing; "
                              "the run ends with its writes committed",
                      "diskcache Cache.set": "one set per node into a cache emptied before each run",
                      hamilton_system: f"a fresh driver and directory per run; "
                                       f"{max(1, ctx.slow_repeat // 2)} run(s), not interleaved"})

    # Several processes reading the one filled cache at the same time.
    shared_system = f"quillon DiskCache, {DISK_WORKERS} processes"
    try:
        times = shared_disk_hits(str(root / "quillon-hits"), DISK_WORKERS, DISK_WORKER_RUNS)
    except (RuntimeError, OSError, ValueError, subprocess.SubprocessError) as exc:
        ctx.add(Row(shared_workload, shared_system, status="error", note=str(exc)))
        return
    # The median hides the runs a worker spent waiting for a CPU or for the
    # database; the 90th percentile shows them.
    slow = (statistics.quantiles(times, n=10)[-1] if len(times) > 1 else times[0]) / CHAIN_LENGTH * 1e6
    record(ctx, shared_workload, {shared_system: times}, "", count=CHAIN_LENGTH, unit="us/node",
           notes={shared_system: f"{DISK_WORKERS} processes at once on {os.cpu_count()} CPUs, "
                                 f"{DISK_WORKER_RUNS} all-hit runs each; the median of all their runs "
                                 f"(90th percentile {slow:.2f} µs/node)"})


# --------------------------------------------------------------------------
# Workload: one wide level of GIL-releasing nodes


def dask_sleeper():
    time.sleep(SLEEP_SECONDS)
    return 1.0


def bench_parallel(ctx: Context) -> None:
    workload = f"{PARALLEL_NODES} × sleep({SLEEP_SECONDS * 1e3:.0f} ms), one level"
    names = [f"done{i}" for i in range(PARALLEL_NODES)]

    def plain():
        return [sleeper({})["done"] for _ in range(PARALLEL_NODES)]

    cases = {"plain loop (sequential)": plain}
    graph = quillon.Graph()
    for i, name in enumerate(names):
        graph.add(sleeper, f"s{i}", None, [("done", name)])
    dag = graph.build()
    all_done = lambda r: all(r[name] == 1.0 for name in names)  # noqa: E731
    for system, parallel in (("quillon parallel=True", True), ("quillon parallel=False", False)):
        add_case(ctx, cases, workload, system, lambda p=parallel: dag.execute(parallel=p), all_done)

    if ctx.peer("dask"):
        import dask.threaded

        graph = {name: (dask_sleeper,) for name in names}
        everything_done = lambda r: list(r) == [1.0] * PARALLEL_NODES  # noqa: E731
        add_case(ctx, cases, workload, "dask threads (8 workers)",
                 lambda: dask.threaded.get(graph, names, num_workers=PARALLEL_NODES), everything_done)
        add_case(ctx, cases, workload, "dask threads (default pool)",
                 lambda: dask.threaded.get(graph, names), everything_done)
    else:
        ctx.skipped(workload, "dask threads", "dask")

    times = side_by_side(cases, ctx.slow_repeat)
    record(ctx, workload, times, "plain loop (sequential)",
           targets={"quillon parallel=True": ratio_target(0.6, "sequential")},
           notes={"dask threads (default pool)": f"pool of {os.cpu_count()} threads"})


# --------------------------------------------------------------------------
# Workload: a random DAG, built and run


IMPL_NAMES = ("a", "b", "c", "d", "e", "f")


def combine(inputs):
    return {"y": max(inputs.values(), default=0.0) + 1.0}


def dask_combine(*values):
    return max(values, default=0.0) + 1.0


def random_parents(nodes: int, seed: int = RANDOM_DAG_SEED) -> list:
    """Each node reads up to RANDOM_DAG_EDGES distinct earlier nodes."""
    rng = random.Random(seed)
    return [rng.sample(range(i), min(i, RANDOM_DAG_EDGES)) for i in range(nodes)]


def quillon_specs(parents: list) -> list:
    return [(f"n{i}", [(f"v{p}", IMPL_NAMES[k]) for k, p in enumerate(ps)] or None, [("y", f"v{i}")])
            for i, ps in enumerate(parents)]


def build_quillon(specs: list, function=combine):
    graph = quillon.Graph()
    add = graph.add
    for label, inputs, outputs in specs:
        add(function, label, inputs, outputs)
    return graph.build()


def topological_order(parents: list) -> list:
    """Kahn's algorithm over the parent lists: the plain loop's build step."""
    children = [[] for _ in parents]
    waiting = [len(ps) for ps in parents]
    for child, ps in enumerate(parents):
        for p in ps:
            children[p].append(child)
    ready = deque(i for i, count in enumerate(waiting) if count == 0)
    order = []
    while ready:
        node = ready.popleft()
        order.append(node)
        for child in children[node]:
            waiting[child] -= 1
            if waiting[child] == 0:
                ready.append(child)
    return order


def plain_dag_runner(parents: list, order: list):
    names = [f"v{i}" for i in range(len(parents))]
    reads = [[(names[p], IMPL_NAMES[k]) for k, p in enumerate(ps)] for ps in parents]
    steps = [(names[i], reads[i]) for i in order]

    def run():
        values = {}
        for name, node_reads in steps:
            values[name] = combine({impl: values[var] for var, impl in node_reads})["y"]
        return values

    return run


def bench_random_dag(ctx: Context) -> None:
    n = RANDOM_DAG_NODES
    parents = random_parents(n)
    edges = sum(len(ps) for ps in parents)
    build_workload = f"random DAG {n:,} nodes / {edges:,} edges: build"
    run_workload = f"random DAG {n:,} nodes / {edges:,} edges: run"
    specs = quillon_specs(parents)
    order = topological_order(parents)
    plain_run = plain_dag_runner(parents, order)
    expected = plain_run()

    build_cases = {"plain loop (topological sort)": lambda: topological_order(parents),
                   "quillon": lambda: build_quillon(specs)}
    run_cases = {"plain loop": plain_run}
    dag = build_quillon(specs)
    add_case(ctx, run_cases, run_workload, "quillon", dag.execute, lambda r: r == expected)

    if ctx.peer("dask"):
        import dask
        import dask.threaded

        names = [f"v{i}" for i in range(n)]

        def dask_graph():
            return {names[i]: (dask_combine, *[names[p] for p in ps]) for i, ps in enumerate(parents)}

        build_cases["dask (graph dict)"] = dask_graph
        graph = dask_graph()
        as_dict = lambda values: dict(zip(names, values))  # noqa: E731
        add_case(ctx, run_cases, run_workload, "dask threads", lambda: dask.threaded.get(graph, names),
                 lambda r: as_dict(r) == expected)
        add_case(ctx, run_cases, run_workload, "dask sync", lambda: dask.get(graph, names),
                 lambda r: as_dict(r) == expected)
    else:
        ctx.skipped(run_workload, "dask", "dask")

    times = side_by_side(build_cases, ctx.repeat)
    record(ctx, build_workload, times, "plain loop (topological sort)", count=n, unit="us/node",
           notes={"dask (graph dict)": "dask orders the graph at run time, not here",
                  "quillon": "Graph.add per node + build"})
    times = side_by_side(run_cases, max(3, ctx.repeat // 2))
    record(ctx, run_workload, times, "plain loop", count=n, unit="us/node",
           notes={"plain loop": "over a precomputed topological order",
                  "dask threads": "all 10,000 keys requested"})


def bench_build_scaling(ctx: Context) -> None:
    workload = "random DAG build, per node"
    per_node = {}
    for n in BUILD_SIZES:
        specs = quillon_specs(random_parents(n))
        repeat = ctx.repeat if n <= 10_000 else max(1, ctx.slow_repeat // 2)
        times = side_by_side({f"quillon, n = {n:,}": lambda s=specs: build_quillon(s)}, repeat)
        rows = record(ctx, workload, times, "", count=n, unit="us/node")
        per_node[n] = next(iter(rows.values())).value
    small, large = BUILD_SIZES[0], BUILD_SIZES[-1]
    growth = per_node[large] / per_node[small]
    log_growth = math.log(large) / math.log(small)
    ctx.add(Row(workload, f"growth {small:,} → {large:,}", figure=f"{growth:.2f}× per node",
                value=growth, unit="x", target=f"O(n log n): ≤ {2 * log_growth:.1f}× (2 × log ratio)",
                met=growth <= 2 * log_growth,
                note=f"per-node time grows by log n alone under n log n: {log_growth:.2f}×"))


# --------------------------------------------------------------------------
# Workload: Monte Carlo through a five-node chain
#
# The workload is bench_predict.py's when that file is present (same graph,
# same baseline), so that both scripts measure the same thing.

if _predict_workload is not None:
    MC_CHAIN = _predict_workload.CHAIN_LENGTH
    mc_increment = _predict_workload.increment
    mc_dag = _predict_workload.chain_dag
    mc_plain_loop = _predict_workload.plain_loop
else:
    MC_CHAIN = 5

    def mc_increment(inputs):
        return {"y": inputs["x"] + 1}

    def mc_dag():
        """v0 -> n1 -> v1 -> ... -> n5 -> v5."""
        graph = quillon.Graph()
        for i in range(1, MC_CHAIN + 1):
            graph.add(mc_increment, f"n{i}", [(f"v{i - 1}", "x")], [("y", f"v{i}")])
        return graph.build()

    def mc_plain_loop(draws):
        """The same calls without the engine, node after node over all samples."""
        values = draws
        for _ in range(MC_CHAIN):
            produced = []
            append = produced.append
            for value in values:
                append(mc_increment({"x": value})["y"])
            values = produced
        return values


MC_MEAN = float(MC_CHAIN)  # mean of the last variable for v0 ~ N(0, 1)


def plain_predict_at_drawing(n: int):
    """Per-node Monte Carlo in Python, draws included: each node draws its
    input afresh (the first from the normal, later ones from the previous
    node's samples), builds the input dict, calls, reads the output."""
    gauss, uniform = random.gauss, random.random
    samples = None
    for _ in range(MC_CHAIN):
        out = []
        append = out.append
        if samples is None:
            for _ in range(n):
                append(mc_increment({"x": gauss(0.0, 1.0)})["y"])
        else:
            size = len(samples)
            for _ in range(n):
                append(mc_increment({"x": samples[int(uniform() * size)]})["y"])
        samples = out
    return samples


def plain_particles_drawing(n: int):
    """Whole trajectories in Python: one draw per particle, every node called
    on it, each particle's values kept together."""
    gauss = random.gauss
    particles = []
    append = particles.append
    for _ in range(n):
        x = gauss(0.0, 1.0)
        trajectory = [x]
        for _ in range(MC_CHAIN):
            x = mc_increment({"x": x})["y"]
            trajectory.append(x)
        append(trajectory)
    return particles


def close_to_mean(values) -> bool:
    return len(values) == MC_SAMPLES and abs(statistics.fmean(values) - MC_MEAN) < 0.05


def bench_monte_carlo(ctx: Context) -> None:
    sample_nodes = MC_SAMPLES * MC_CHAIN
    last = f"v{MC_CHAIN}"
    predict_at_workload = f"Monte Carlo predict_at, {MC_SAMPLES:,} samples × {MC_CHAIN} nodes"
    predict_workload = f"Monte Carlo predict (particles), {MC_SAMPLES:,} × {MC_CHAIN} nodes"
    if not hasattr(quillon.Dag, "predict_at"):
        for workload, method in ((predict_at_workload, "predict_at"), (predict_workload, "predict")):
            ctx.add(Row(workload, "quillon", status="skipped", note=f"this build of quillon has no Dag.{method}"))
        return
    dag = mc_dag()
    draws = [random.gauss(0.0, 1.0) for _ in range(MC_SAMPLES)]
    baseline = "plain loop (inputs drawn beforehand)"
    notes = {baseline: "the per-sample calls alone; the draws are made outside the timing",
             "plain loop (drawing per sample)": "the same calls plus Python's own draws and resampling"}

    for check_loop in (lambda: mc_plain_loop(draws), lambda: plain_predict_at_drawing(MC_SAMPLES),
                       lambda: [p[-1] for p in plain_particles_drawing(MC_SAMPLES)]):
        if not close_to_mean(check_loop()):
            raise AssertionError("a plain Monte Carlo loop gives the wrong mean")

    cases = {baseline: lambda: mc_plain_loop(draws),
             "plain loop (drawing per sample)": lambda: plain_predict_at_drawing(MC_SAMPLES)}
    add_case(ctx, cases, predict_at_workload, "quillon",
             lambda: dag.predict_at({"v0": quillon.normal(0.0, 1.0)}, n_samples=MC_SAMPLES),
             lambda r: close_to_mean(r[last].samples))
    floor = contract_floor(ctx)
    if floor:
        if add_case(ctx, cases, predict_at_workload, FLOOR_SYSTEM,
                    lambda: floor.calls(mc_increment, draws, "x", "y", MC_CHAIN),
                    lambda r: r == mc_plain_loop(draws)):
            notes = {**notes, FLOOR_SYSTEM: FLOOR_NOTE + "; the draws made beforehand, as for the baseline"}
    else:
        ctx.add(Row(predict_at_workload, FLOOR_SYSTEM, status="skipped", note=ctx.floor_error))
    times = side_by_side(cases, ctx.repeat)
    record(ctx, predict_at_workload, times, baseline, count=sample_nodes, unit="us/sample-node",
           targets={"quillon": ratio_target(1.3, "loop")}, notes=notes)

    cases = {baseline: lambda: mc_plain_loop(draws),
             "plain loop, particle by particle (drawing)": lambda: plain_particles_drawing(MC_SAMPLES)}
    add_case(ctx, cases, predict_workload, "quillon",
             lambda: dag.predict({"v0": quillon.normal(0.0, 1.0)}, n_samples=MC_SAMPLES),
             lambda r: close_to_mean(r[last].samples) and len(r.particles) == MC_SAMPLES)
    times = side_by_side(cases, ctx.repeat)
    record(ctx, predict_workload, times, baseline, count=sample_nodes, unit="us/sample-node",
           notes={"quillon": "no target set"})


# --------------------------------------------------------------------------
# Workload: a large numpy array handed from one node to the next

ARRAY = None


def make_array(inputs):
    return {"a": ARRAY}


def read_array(inputs):
    return {"n": len(inputs["a"])}


def bench_array(ctx: Context) -> None:
    global ARRAY
    workload = f"{ARRAY_LENGTH:,}-element float64 array, node → node"
    np = ctx.peer("numpy")
    if np is None:
        ctx.skipped(workload, "quillon", "numpy", target="≤ 1.3× floor")
        return
    ARRAY = np.random.default_rng(0).random(ARRAY_LENGTH)
    array = ARRAY

    def floor():
        # One copy into the engine's float vector, one list of floats for
        # each reader: the consuming node and the returned context.
        array.copy()
        array.tolist()
        array.tolist()

    def plain():
        return read_array({"a": make_array({})["a"]})

    graph = quillon.Graph()
    graph.add(make_array, "make", None, [("a", "arr")])
    graph.add(read_array, "read", [("arr", "a")], [("n", "n")])
    dag = graph.build()
    cases = {"floor: copy + 2 × tolist": floor, "plain loop (by reference)": plain}
    add_case(ctx, cases, workload, "quillon", dag.execute,
             lambda r: r["n"] == ARRAY_LENGTH and r["arr"][::9973] == array[::9973].tolist())
    times = side_by_side(cases, ctx.repeat)
    record(ctx, workload, times, "floor: copy + 2 × tolist",
           targets={"quillon": ratio_target(1.3, "floor")},
           notes={"plain loop (by reference)": "no conversion at all; not reachable through a graph value"})


# --------------------------------------------------------------------------
# Workload: a 100,000-node chain (own process, so that memory deltas are clean)


def scale_chain_child(n: int) -> dict:
    """Builds, renders and runs an n-node chain; prints times and resident
    memory deltas as JSON."""
    specs = [("n0", None, [("y", "v0")])] + [
        (f"n{i}", [(f"v{i - 1}", "x")], [("y", f"v{i}")]) for i in range(1, n)]
    functions = [source] + [increment] * (n - 1)
    out = {"nodes": n}
    gc.collect()

    rss = rss_bytes()
    start = time.perf_counter()
    graph = quillon.Graph()
    for function, (label, inputs, outputs) in zip(functions, specs):
        graph.add(function, label, inputs, outputs)
    out["add_s"] = time.perf_counter() - start
    out["graph_bytes"] = rss_bytes() - rss
    start = time.perf_counter()
    dag = graph.build()
    out["build_s"] = time.perf_counter() - start
    del graph
    gc.collect()
    out["dag_bytes"] = rss_bytes() - rss

    start = time.perf_counter()
    text = dag.to_mermaid()
    out["mermaid_s"] = time.perf_counter() - start
    out["mermaid_chars"] = len(text)
    del text

    def plain():
        value = None
        for i, function in enumerate(functions):
            value = function({} if i == 0 else {"x": value})["y"]
        return value

    out["plain_run_s"] = time_once(plain)

    # Every result stays alive until the end, so that each resident delta
    # counts fresh memory only.
    kept = []
    gc.collect()
    rss = rss_bytes()
    out["run_s"] = time_once(lambda: kept.append(dag.execute()))
    out["result_bytes"] = rss_bytes() - rss
    assert kept[-1][f"v{n - 1}"] == n - 1

    # Cached: one entry per node, then every node a hit.
    graph = quillon.Graph()
    graph.configure_memory_cache(max_entries=2 * n)
    for function, (label, inputs, outputs) in zip(functions, specs):
        graph.add(function, label, inputs, outputs)
        graph.set_cache_version(label, "1")
    cached = graph.build()
    del graph
    out["store_s"] = time_once(lambda: kept.append(cached.execute()))
    assert cached.cache_stats()["entries"] == n
    # A second storing run, in a namespace of its own, reuses the memory the
    # first one freed: what it adds is a context dict and n entries.
    gc.collect()
    rss = rss_bytes()
    kept.append(cached.execute(cache_namespace="second"))
    out["store_bytes"] = rss_bytes() - rss
    assert cached.cache_stats()["entries"] == 2 * n
    assert cached.execute(detailed=True)["cache_stats"]["hits"] == n
    kept.clear()
    out["hit_s"] = time_once(cached.execute)
    return out


def bench_scale_chain(ctx: Context) -> None:
    n = SCALE_CHAIN_NODES
    workload = f"chain of {n:,}: scale"
    measurements = []
    for _ in range(ctx.slow_repeat):
        proc = subprocess.run([sys.executable, __file__, "--scale-chain-child", str(n)],
                              capture_output=True, text=True, timeout=1200)
        if proc.returncode != 0:
            lines = proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"]
            ctx.add(Row(workload, "quillon", status="error", note=lines[-1]))
            return
        measurements.append(json.loads(proc.stdout.strip().splitlines()[-1]))
    m = {key: statistics.median(run[key] for run in measurements) for key in measurements[0]}
    runs = len(measurements)

    def row(system, seconds, **extra):
        value, figure = per_unit(seconds, n, "us/node")
        return ctx.add(Row(workload, system, median_s=seconds, runs=runs, figure=figure, value=value,
                           unit="us/node", **extra))

    def memory_row(system, total_bytes, note):
        per_node = total_bytes / n
        ctx.add(Row(workload, system, runs=runs, figure=f"{per_node:,.0f} B/node", value=per_node,
                    unit="B/node", note=note))

    row("build (Graph.add × n + build)", m["add_s"] + m["build_s"],
        note=f"Graph.add {m['add_s']:.2f} s, build {m['build_s']:.2f} s")
    row("to_mermaid()", m["mermaid_s"], note=f"{m['mermaid_chars'] / n:.0f} characters per node")
    base = m["plain_run_s"]
    r = row("plain loop run", base)
    r.ratio, r.baseline = 1.0, "plain loop run"
    for system, key, note in (
            ("execute()", "run_s", ""),
            ("execute(), storing every node", "store_s", ""),
            ("execute(), every node a hit", "hit_s", "the 3 µs/node target is set for the 1,000-node chain")):
        r = row(system, m[key], note=note)
        r.ratio, r.baseline = m[key] / base, "plain loop run"
    memory_row("memory: graph before build", m["graph_bytes"], "resident growth while adding the nodes")
    memory_row("memory: built Dag", m["dag_bytes"], "resident growth from before the first add")
    memory_row("memory: execute() result dict", m["result_bytes"], "str key + float per variable")
    memory_row("memory: one cache entry", m["store_bytes"] - m["result_bytes"],
               "resident growth of the storing run less a result dict; one float output per entry")


# --------------------------------------------------------------------------
# Workload: particles where half the draws fail in a node

FAILING_DRAWS = 100_000


def sqrt_node(inputs):
    return {"r": math.sqrt(inputs["x"])}


def bench_failing_draws(ctx: Context) -> None:
    workload = f"predict, sqrt of a normal, {FAILING_DRAWS:,} particles"
    graph = quillon.Graph()
    graph.add(sqrt_node, "Sqrt", [("x", "x")], [("r", "r")])
    dag = graph.build()
    baseline = "quillon, no draw fails (normal(10, 1))"
    half = "quillon, half the draws fail (normal(0, 1))"

    def run(mean):
        # Failures past the first few are summed up in one line; the few
        # printed in full go to a buffer rather than the terminal.
        with contextlib.redirect_stderr(io.StringIO()):
            return dag.predict({"x": quillon.normal(mean, 1.0)}, n_samples=FAILING_DRAWS)

    cases = {}
    add_case(ctx, cases, workload, baseline, lambda: run(10.0), lambda r: len(r["r"].samples) == FAILING_DRAWS)
    add_case(ctx, cases, workload, half, lambda: run(0.0),
             lambda r: 0.45 * FAILING_DRAWS < len(r["r"].samples) < 0.55 * FAILING_DRAWS)
    if not cases:
        return
    times = side_by_side(cases, ctx.repeat)
    record(ctx, workload, times, baseline, count=FAILING_DRAWS, unit="us/node",
           targets={half: ratio_target(2, "no failures")},
           notes={half: "3 failures printed in full, the rest summed up in one line"})


# --------------------------------------------------------------------------
# Workload: reading a percentile of a closed-form distribution

STANDARD_NORMAL_P5 = -1.6448536269514729


def bench_percentile(ctx: Context) -> None:
    workload = f"normal(0, 1).p5, {PERCENTILE_READS:,} reads"
    reads = range(PERCENTILE_READS)
    dist = quillon.normal(0.0, 1.0)
    plain = statistics.NormalDist(0.0, 1.0)

    def quillon_reads():
        for _ in reads:
            value = dist.p5
        return value

    def plain_reads():
        for _ in reads:
            value = plain.inv_cdf(0.05)
        return value

    def exact(value):
        return abs(value - STANDARD_NORMAL_P5) <= 1e-12

    baseline = "plain loop (statistics.NormalDist.inv_cdf)"
    cases = {}
    add_case(ctx, cases, workload, baseline, plain_reads, exact)
    add_case(ctx, cases, workload, "quillon", quillon_reads, exact)
    if not cases:
        return
    times = side_by_side(cases, ctx.repeat)
    record(ctx, workload, times, baseline, count=PERCENTILE_READS, unit="us/read",
           targets={"quillon": per_unit_target(2, "µs/read")},
           notes={"quillon": "the exact quantile, the same on every read"})


# --------------------------------------------------------------------------
# Workload: the content digest of a large array in a cache key

DIGEST_SHAPE = (12_500, 1_000)  # 100 MB of float64
DIGEST_MIN_GBPS = 3.8


def digest_target(row: Row, nbytes: int) -> tuple[str, bool]:
    rate = nbytes / row.median_s / 1e9
    row.note = f"{rate:.2f} GB/s" + (f"; {row.note}" if row.note else "")
    met = rate >= DIGEST_MIN_GBPS and row.ratio is not None and row.ratio <= 0.2
    return f"≥ {DIGEST_MIN_GBPS:g} GB/s and ≤ 0.2× joblib.hash", met


def bench_content_digest(ctx: Context) -> None:
    workload = "content digest of a 100 MB float64 array"
    np = ctx.peer("numpy")
    if np is None:
        ctx.skipped(workload, "quillon (cached run, hit)", "numpy")
        return
    array = np.random.default_rng(7).random(DIGEST_SHAPE[0] * DIGEST_SHAPE[1]).reshape(DIGEST_SHAPE)
    # Two-dimensional, so the run keeps the array itself rather than a copy
    # as a float vector: what is timed is the key, hashed in place.
    graph = quillon.Graph()
    graph.add(lambda _: {"x": array}, "Source", None, {"x": "x"})
    graph.add(lambda inputs: {"y": 1.0}, "Read", {"x": "x"}, {"y": "y"})
    graph.set_cacheable("Source", False)
    graph.set_cache_version("Read", "1")
    graph.set_content_keys()
    dag = graph.build()
    dag.execute()  # stores the entry; every timed run is a hit keyed by the array's digest

    def quillon_run():
        return dag.execute(detailed=True)

    cases = {}
    system = "quillon (cached run, hit)"
    add_case(ctx, cases, workload, system, quillon_run,
             lambda r: r["node_cache"][1]["hit"] and r["node_cache"][1]["cache_key"] is not None)
    joblib = ctx.peer("joblib")
    baseline = "joblib.hash"
    if joblib is not None:
        add_case(ctx, cases, workload, baseline, lambda: joblib.hash(array),
                 lambda r: isinstance(r, str) and len(r) == 32)
    else:
        ctx.skipped(workload, baseline, "joblib")
    if not cases:
        return
    times = side_by_side(cases, ctx.slow_repeat)
    record(ctx, workload, times, baseline,
           targets={system: lambda row: digest_target(row, array.nbytes)},
           notes={system: "a whole run: key texts, lookup and outputs included"})


# --------------------------------------------------------------------------
# Workload: reading a particle run's values, as dicts and as columns

PARTICLE_COUNT = 100_000
PARTICLE_VARIABLES = 6
# Building the particle dicts on every read took about 0.07 µs per value
# (47 ms for 100,000 particles × 6 variables); the target is a read five
# times faster than that build, measured in the same run.
PARTICLES_TARGET_RATIO = 0.2


def particle_node(inputs):
    a, b, c = inputs["a"], inputs["b"], inputs["c"]
    return {"d": a + b, "e": b * c, "f": a - c}


def bench_particles(ctx: Context) -> None:
    workload = f"StatResult values, {PARTICLE_COUNT:,} particles × {PARTICLE_VARIABLES} variables"
    graph = quillon.Graph()
    graph.add(particle_node, "Mix", [(k, k) for k in "abc"], [(k, k) for k in "def"])
    dag = graph.build()

    def run():
        return dag.predict({k: quillon.normal(0.0, 1.0) for k in "abc"}, n_samples=PARTICLE_COUNT, seed=1)

    stat = run()
    first = stat.particles[0]
    np = ctx.peer("numpy")
    floor = contract_floor(ctx)
    baseline = "dicts built on every read (the former particles)"
    first_read = "stat.particles, first read (a fresh result each run)"
    repeated = "stat.particles, a later read"
    comprehension = "Python: [dict(zip(keys, row)) for row in zip(*columns)]"
    # What a run builds is kept until the next run's untimed setup, so that
    # no system's time includes freeing the previous list.
    fresh, kept = [], []

    def new_result():
        fresh[:] = [run()]
        kept.clear()

    cases, setups = {}, {}
    if np is None or not floor:
        ctx.add(Row(workload, baseline, status="skipped",
                    note="needs numpy" if np is None else f"contract floor: {ctx.floor_error}"))
    else:
        columns = stat.to_numpy()
        keys, arrays = list(columns), list(columns.values())
        add_case(ctx, cases, workload, baseline, lambda: kept.append(floor.particle_dicts(keys, arrays)) or kept[-1],
                 lambda r: r == stat.particles and [list(p) for p in r[:10]] == [list(p) for p in stat.particles[:10]])
        setups[baseline] = kept.clear
        lists = [array.tolist() for array in arrays]
        add_case(ctx, cases, workload, comprehension,
                 lambda: kept.append([dict(zip(keys, row)) for row in zip(*lists)]) or kept[-1],
                 lambda r: r == stat.particles)
        setups[comprehension] = kept.clear
    new_result()
    if add_case(ctx, cases, workload, first_read, lambda: fresh[0].particles,
                lambda r: len(r) == PARTICLE_COUNT and r[0] == first):
        setups[first_read] = new_result
    add_case(ctx, cases, workload, repeated, lambda: stat.particles,
             lambda r: r is stat.particles and r[0] == first)
    if np is not None:
        add_case(ctx, cases, workload, "stat.to_numpy() (columns)", stat.to_numpy,
                 lambda r: list(r) == list(first) and all(r[k][0] == v for k, v in first.items()))
    else:
        ctx.skipped(workload, "stat.to_numpy() (columns)", "numpy")
    if not cases:
        return
    times = side_by_side(cases, ctx.repeat, setups)
    fresh.clear()
    kept.clear()
    record(ctx, workload, times, baseline, count=PARTICLE_COUNT * PARTICLE_VARIABLES, unit="us/value",
           targets={repeated: ratio_target(PARTICLES_TARGET_RATIO, "the former build")},
           notes={baseline: "the former algorithm (a copy in contract_floor.cpp): one new dict per particle "
                            "and one new float per value on every read",
                  comprehension: "from lists of floats made beforehand; the floor of building dicts in Python",
                  first_read: "builds the dicts once and keeps them; no target: every dict must be made",
                  repeated: "the kept list"})


# --------------------------------------------------------------------------
# Workload: a numpy-expressible chain, per draw and vectorised

VECTOR_DRAWS = 1_000_000
PER_DRAW_DRAWS = 100_000  # the per-draw route is timed on fewer draws and reported per draw
VECTOR_SEED = 7
# For x ~ N(0, 1), a = 2x + 1 ~ N(1, 4), so b = a² has mean 1 + 4 = 5; c and
# d undo each other (d = b), and e = d / 2 + 1 has mean 3.5 (std 2√3).
VECTOR_MEAN = 3.5
VECTOR_MEAN_TOLERANCE = 0.1  # predict_at resamples at every node, which widens its spread
VECTOR_SPEEDUP = 100  # both quillon calls at least this many times faster than per draw
VECTOR_OVERHEAD_US = 0.02  # quillon's time per draw beyond the numpy calls themselves


# Each step uses arithmetic operators only, so one function serves a float
# (the per-draw route) and a float64 array (the vectorised route) alike.
def vec_a(inputs):
    return {"a": 2.0 * inputs["x"] + 1.0}


def vec_b(inputs):
    a = inputs["a"]
    return {"b": a * a}


def vec_c(inputs):
    return {"c": (inputs["b"] + 1.0) ** 0.5}


def vec_d(inputs):
    c = inputs["c"]
    return {"d": c * c - 1.0}


def vec_e(inputs):
    return {"e": 0.5 * inputs["d"] + 1.0}


VECTOR_CHAIN = (("A", vec_a, "x", "a"), ("B", vec_b, "a", "b"), ("C", vec_c, "b", "c"),
                ("D", vec_d, "c", "d"), ("E", vec_e, "d", "e"))
# The chain as one expression, for a peer that compiles formulas.
VECTOR_FORMULA = "0.5 * (sqrt((2 * x + 1)^2 + 1)^2 - 1) + 1"


def vector_chain(values):
    """The five steps on `values` (a float or an array), in order."""
    for _, function, name, output in VECTOR_CHAIN:
        values = function({name: values})[output]
    return values


def vector_dag(vectorized: bool):
    graph = quillon.Graph()
    for label, function, name, output in VECTOR_CHAIN:
        graph.add(function, label, [(name, name)], [(output, output)])
        if vectorized:
            graph.set_vectorized(label)
    return graph.build()


def has_vectorized() -> bool:
    return hasattr(quillon.Graph, "set_vectorized")


def close_to_vector_mean(mean: float) -> bool:
    return abs(mean - VECTOR_MEAN) < VECTOR_MEAN_TOLERANCE


def vector_calls_get_arrays() -> bool:
    """Whether a node marked vectorised is handed arrays: a probe that
    records the type of its input, on a few draws of both propagations."""
    seen = set()

    def probe(inputs):
        seen.add(type(inputs["x"]).__name__)
        return {"y": inputs["x"] * 2.0}

    graph = quillon.Graph()
    graph.add(probe, "Probe", [("x", "x")], [("y", "y")])
    graph.set_vectorized("Probe")
    dag = graph.build()
    dag.predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=1000, seed=1)
    dag.predict({"x": quillon.normal(0.0, 1.0)}, n_samples=1000, seed=1)
    return seen == {"ndarray"}


# The cases measured for memory, each run once in a fresh process, and the
# number of draws each makes.
VECTOR_MEMORY_CASES = {
    "quillon predict_at, vectorised": VECTOR_DRAWS,
    "quillon predict, vectorised": VECTOR_DRAWS,
    "quillon predict_at, per draw": PER_DRAW_DRAWS,
    "quillon predict, per draw": PER_DRAW_DRAWS,
    "numpy: draws and the five calls": VECTOR_DRAWS,
    "openturns PythonFunction (func_sample)": VECTOR_DRAWS,
    "openturns SymbolicFunction": VECTOR_DRAWS,
}


def vector_memory_child(case: str) -> dict:
    """Runs one case once, keeping its result, and reports the resident peak
    it reached above the process's size just before it started."""
    import numpy as np

    n = VECTOR_MEMORY_CASES[case]
    inputs = {"x": quillon.normal(0.0, 1.0)}
    if case.startswith("quillon"):
        dag = vector_dag("vectorised" in case)
        method = dag.predict_at if "predict_at" in case else dag.predict
        run = lambda: method(inputs, n_samples=n, seed=VECTOR_SEED)  # noqa: E731
        mean = lambda r: r["e"].mean  # noqa: E731
    elif case.startswith("numpy"):
        rng = np.random.default_rng(VECTOR_SEED)
        run = lambda: vector_chain(rng.standard_normal(n))  # noqa: E731
        mean = lambda r: float(r.mean())  # noqa: E731
    else:
        import openturns as ot

        ot.RandomGenerator.SetSeed(VECTOR_SEED)
        function = openturns_function(ot, symbolic="Symbolic" in case)
        run = lambda: function(ot.Normal(0.0, 1.0).getSample(n))  # noqa: E731
        mean = lambda r: r.computeMean()[0]  # noqa: E731
    gc.collect()
    reset_peak_rss()
    before = rss_bytes()
    result = run()
    return {"case": case, "draws": n, "bytes": peak_rss_bytes() - before, "mean": mean(result)}


def openturns_function(ot, symbolic: bool):
    if symbolic:
        return ot.SymbolicFunction(["x"], [VECTOR_FORMULA])
    import numpy as np

    def on_sample(sample):
        return vector_chain(np.asarray(sample)[:, 0]).reshape(-1, 1)

    return ot.PythonFunction(1, 1, func_sample=on_sample)


def bench_vectorized(ctx: Context) -> None:
    workload = f"5-node numpy-expressible chain, {VECTOR_DRAWS:,} draws"
    np = ctx.peer("numpy")
    if np is None:
        ctx.skipped(workload, "every system", "numpy")
        return
    inputs = {"x": quillon.normal(0.0, 1.0)}
    # The numpy rows and the peers' own check: the chain on numpy's draws.
    x = np.random.default_rng(VECTOR_SEED).standard_normal(VECTOR_DRAWS)
    if not close_to_vector_mean(float(vector_chain(x).mean())):
        raise AssertionError("the chain's formulas give the wrong mean")
    if not all(math.isclose(vector_chain(v), float(vector_chain(np.array([v]))[0])) for v in (-2.0, 0.0, 0.7)):
        raise AssertionError("the chain gives floats and arrays different values")

    per_draw = {"quillon predict_at, per draw": "predict_at", "quillon predict, per draw": "predict"}
    vectorised = {"quillon predict_at, vectorised": "predict_at", "quillon predict, vectorised": "predict"}
    numpy_calls = "numpy: the five calls themselves"
    numpy_drawing = "numpy: draws and the five calls"
    ot_python = "openturns PythonFunction (func_sample)"
    ot_symbolic = "openturns SymbolicFunction"
    slow, fast = {}, {}

    plain = vector_dag(False)
    for system, method in per_draw.items():
        add_case(ctx, slow, workload, system,
                 lambda m=getattr(plain, method): m(inputs, n_samples=PER_DRAW_DRAWS, seed=VECTOR_SEED),
                 lambda r: close_to_vector_mean(r["e"].mean))
    if not has_vectorized():
        for system in vectorised:
            ctx.add(Row(workload, system, status="skipped", note="this build of quillon has no Graph.set_vectorized"))
    elif not vector_calls_get_arrays():
        for system in vectorised:
            ctx.add(Row(workload, system, status="error", note="a node marked vectorised was not handed arrays"))
    else:
        marked = vector_dag(True)
        for system, method in vectorised.items():
            add_case(ctx, fast, workload, system,
                     lambda m=getattr(marked, method): m(inputs, n_samples=VECTOR_DRAWS, seed=VECTOR_SEED),
                     lambda r: close_to_vector_mean(r["e"].mean))
    add_case(ctx, fast, workload, numpy_calls, lambda: vector_chain(x),
             lambda r: close_to_vector_mean(float(r.mean())))
    add_case(ctx, fast, workload, numpy_drawing,
             lambda: vector_chain(np.random.default_rng(VECTOR_SEED).standard_normal(VECTOR_DRAWS)),
             lambda r: close_to_vector_mean(float(r.mean())))
    ot = ctx.peer("openturns")
    if ot is None:
        ctx.skipped(workload, ot_python, "openturns")
        ctx.skipped(workload, ot_symbolic, "openturns")
    else:
        ot.RandomGenerator.SetSeed(VECTOR_SEED)
        for system, cases, symbolic in ((ot_python, slow, False), (ot_symbolic, fast, True)):
            function = openturns_function(ot, symbolic)
            add_case(ctx, cases, workload, system,
                     lambda f=function: f(ot.Normal(0.0, 1.0).getSample(VECTOR_DRAWS)),
                     lambda r: close_to_vector_mean(r.computeMean()[0]))
    times = {}
    if slow:
        times.update(side_by_side(slow, ctx.slow_repeat))
    if fast:
        times.update(side_by_side(fast, ctx.repeat))
    medians = {system: statistics.median(samples) for system, samples in times.items()}

    def draws_of(system):
        return PER_DRAW_DRAWS if system in per_draw else VECTOR_DRAWS

    per_draw_us = {system: median / draws_of(system) * 1e6 for system, median in medians.items()}
    rows = {}
    for system in [*per_draw, *vectorised, numpy_calls, numpy_drawing, ot_python, ot_symbolic]:
        if system in times:
            value = per_draw_us[system]
            rows[system] = Row(workload, system, median_s=medians[system], runs=len(times[system]),
                               figure=f"{value:.4f} µs/draw", value=value, unit="us/draw")
    # Ratios are per draw, against the per-draw route of the same call.
    for system, method in {**per_draw, **vectorised}.items():
        base = f"quillon {method}, per draw"
        if system in rows and base in rows:
            rows[system].ratio, rows[system].baseline = per_draw_us[system] / per_draw_us[base], base
    for system in vectorised:
        if system in rows:
            rows[system].target = f"≥ {VECTOR_SPEEDUP}× faster than per draw"
            rows[system].met = rows[system].ratio is not None and rows[system].ratio <= 1 / VECTOR_SPEEDUP
    quillon_fast = [per_draw_us[s] for s in vectorised if s in per_draw_us]
    for system in (ot_python, ot_symbolic):
        if system in rows:
            rows[system].target = "slower than both quillon calls"
            rows[system].met = len(quillon_fast) == 2 and per_draw_us[system] > max(quillon_fast)
    for system in per_draw:
        if system in rows:
            rows[system].note = f"timed on {PER_DRAW_DRAWS:,} draws, reported per draw"
    for system, note in ((numpy_calls, "the five functions on an array drawn beforehand: the base of the "
                                       "overhead rows"),
                         (numpy_drawing, "numpy's own normal draws included, as quillon's are"),
                         (ot_python, "the five functions on the sample as one array; the normal sample drawn "
                                     "by openturns inside the timing"),
                         (ot_symbolic, f"one formula: {VECTOR_FORMULA}; the sample drawn inside the timing")):
        if system in rows:
            rows[system].note = note
    # The overhead rows follow the numpy rows they are measured from.
    for system, row in rows.items():
        ctx.add(row)
        if system != numpy_drawing and not (system == numpy_calls and numpy_drawing not in rows):
            continue
        for marked, method in vectorised.items():
            if marked not in rows or numpy_calls not in rows:
                continue
            overhead = per_draw_us[marked] - per_draw_us[numpy_calls]
            ctx.add(Row(workload, f"overhead: {method} − the numpy calls", runs=rows[marked].runs,
                        figure=f"{overhead:.4f} µs/draw", value=overhead, unit="us/draw",
                        target=f"≤ {VECTOR_OVERHEAD_US:g} µs/draw", met=overhead <= VECTOR_OVERHEAD_US,
                        note="quillon's draws, its columns and its statistics included"))
    vector_memory_rows(ctx, workload)


def vector_memory_rows(ctx: Context, workload: str) -> None:
    """The resident peak per draw of each case, each in a fresh process."""
    for case, draws in VECTOR_MEMORY_CASES.items():
        system = f"memory peak: {case}"
        if case.startswith("openturns") and ctx.peer("openturns") is None:
            ctx.skipped(workload, system, "openturns")
            continue
        if "vectorised" in case and not has_vectorized():
            ctx.add(Row(workload, system, status="skipped", note="this build of quillon has no Graph.set_vectorized"))
            continue
        proc = subprocess.run([sys.executable, __file__, "--vector-memory-child", case],
                              capture_output=True, text=True, timeout=1200)
        if proc.returncode != 0:
            lines = proc.stderr.strip().splitlines() or [f"exit status {proc.returncode}"]
            ctx.add(Row(workload, system, status="error", note=lines[-1]))
            continue
        out = json.loads(proc.stdout.strip().splitlines()[-1])
        if not close_to_vector_mean(out["mean"]):
            ctx.add(Row(workload, system, status="error", note=f"mean {out['mean']:.4f}, not {VECTOR_MEAN}"))
            continue
        per_draw = out["bytes"] / draws
        ctx.add(Row(workload, system, runs=1, figure=f"{per_draw:,.0f} B/draw", value=per_draw, unit="B/draw",
                    note=f"{draws:,} draws; resident peak above the size just before the run, result kept"))


# --------------------------------------------------------------------------
# Workload: scale-out on a process pool and a Dask cluster (bench_executor.py)


def bench_scale_out(ctx: Context) -> None:
    w = _executor_workload
    if w is None:
        ctx.add(Row("scale-out", "quillon", status="skipped", note="benchmarks/bench_executor.py is missing"))
        return
    if not w.has_executor():
        ctx.add(Row("scale-out", "quillon", status="skipped", note="this build of quillon has no executor="))
        return
    with w.started_pools(with_dask=ctx.peer("dask") is not None,
                         with_hamilton=ctx.peer("hamilton") is not None) as pools:
        if ctx.peer("dask") is None:
            pools.errors["dask"] = ctx.peer_errors.get("dask", "not available")
        for workload in w.workloads(pools, ctx.peers, ctx.peer_errors):
            cases, notes = {}, {}
            for case in workload.cases:
                if add_case(ctx, cases, workload.name, case.system, case.run, case.check) and case.note:
                    notes[case.system] = case.note
            for system, reason in workload.skipped:
                ctx.add(Row(workload.name, system, status="skipped", note=reason))
            if not cases:
                continue
            # Runs take seconds each: the slow count, but never fewer than three.
            repeat = max(3, ctx.slow_repeat) if workload.slow else ctx.repeat
            times = side_by_side(cases, repeat)
            record(ctx, workload.name, times, workload.baseline, count=workload.count, unit=workload.unit,
                   targets={system: ratio_target(limit, what) for system, (limit, what) in workload.targets.items()},
                   notes=notes)
    executor_memory_rows(ctx)


def executor_memory_rows(ctx: Context) -> None:
    """The coordinator's resident memory when a large array goes from one
    node to the next, on a process pool against the same run in one process."""
    w = _executor_workload
    if ctx.peer("numpy") is None:
        ctx.add(Row("scale-out memory", "quillon", status="skipped", note="needs numpy"))
        return
    array_mb = w.MEMORY_DOUBLES * 8 / 1e6
    workload = f"{array_mb:.0f} MB float64 array, node → node: the coordinator's memory"
    local, pooled = w.MEMORY_CASES
    measured = w.memory_measurements()
    for case in (local, pooled):
        out = measured[case]
        if "error" in out or not out["ok"]:
            ctx.add(Row(workload, case, status="error", note=out.get("error", "wrong result")))
    if any("error" in out or not out["ok"] for out in measured.values()):
        return
    size = measured[local]["array_bytes"]
    for what, key, note in (("retained after the run", "retained", "the result kept"),
                            ("peak during the run", "peak", "VmHWM reset just before the run")):
        base = measured[local][key]
        for case in (local, pooled):
            value = measured[case][key] / size
            row = ctx.add(Row(workload, f"{case}: {what}", runs=1, figure=f"{value:.2f}× the array",
                              value=value, unit="× array", note=note if case == local else ""))
            if base > 0:
                row.ratio, row.baseline = measured[case][key] / base, f"{local}: {what}"
            if case == pooled and key == "retained":
                row.target = f"≤ {w.MEMORY_TARGET:g}× in one process"
                row.met = row.ratio is not None and row.ratio <= w.MEMORY_TARGET
                after = measured[pooled]["retained_after_next_task"]
                value = after / size
                row = ctx.add(Row(workload, f"{pooled}: retained once the pool ran one more task", runs=1,
                                  figure=f"{value:.2f}× the array", value=value, unit="× array",
                                  note="the pool's feeder thread keeps the last call it pickled until it "
                                       "sends the next one"))
                if base > 0:
                    row.ratio, row.baseline = after / base, f"{local}: {what}"


# --------------------------------------------------------------------------
# Report

WORKLOADS = {
    "chain": bench_chain,
    "cached": bench_cached_chain,
    "disk": bench_disk,
    "parallel": bench_parallel,
    "random": bench_random_dag,
    "montecarlo": bench_monte_carlo,
    "percentile": bench_percentile,
    "failing": bench_failing_draws,
    "digest": bench_content_digest,
    "array": bench_array,
    "scale": bench_scale_chain,
    "buildscale": bench_build_scaling,
    "particles": bench_particles,
    "vectorized": bench_vectorized,
    "executor": bench_scale_out,
}


def grouped(rows: list) -> list:
    """Rows by workload in order of first appearance; within a workload the
    measured rows come first, skipped and failed ones after."""
    first = {}
    for index, row in enumerate(rows):
        first.setdefault(row.workload, index)
    for index, row in enumerate(rows):
        # A workload whose skips were noted before its figures sits where
        # its first figure does.
        if row.status == "ok" and first[row.workload] < index and rows[first[row.workload]].status != "ok":
            first[row.workload] = index
    return sorted(rows, key=lambda row: (first[row.workload], row.status != "ok"))


HEADER = ("workload", "system", "median", "per unit", "ratio", "target", "result")


def table_cells(rows: list) -> list:
    """One tuple of printed cells per row, in HEADER order."""
    table = []
    for row in rows:
        if row.status != "ok":
            table.append((row.workload, row.system, "—", "—", "—", row.target or "—",
                          f"{row.status}: {row.note}"))
            continue
        verdict = "" if row.met is None else ("met" if row.met else "NOT MET")
        if row.ratio is None:
            ratio = ""
        elif row.system == row.baseline:
            ratio = "1 (baseline)"
        else:
            ratio = f"{row.ratio:.2f}×"
        median = format_seconds(row.median_s) if row.median_s is not None else ""
        figure = row.figure if row.unit != "s" else ""
        table.append((row.workload, row.system, median, figure, ratio, row.target, verdict))
    return table


def row_notes(rows: list) -> list:
    return [f"{r.workload} / {r.system}: {r.note}" for r in rows if r.status == "ok" and r.note]


def render_text(rows: list) -> str:
    table = table_cells(rows)
    widths = [max(len(line[i]) for line in [HEADER] + table) for i in range(len(HEADER))]
    lines = ["  ".join(c.ljust(w) for c, w in zip(HEADER, widths)).rstrip()]
    previous = None
    for line in table:
        cells = list(line)
        if line[0] == previous:
            cells[0] = ""  # the workload is named once per group
        else:
            lines.append("")
        previous = line[0]
        lines.append("  ".join(c.ljust(w) for c, w in zip(cells, widths)).rstrip())
    notes = row_notes(rows)
    if notes:
        lines += ["", "notes:"] + [f"  {note}" for note in notes]
    return "\n".join(lines)


def render_markdown(rows: list) -> str:
    lines = ["| " + " | ".join(HEADER) + " |", "|" + "---|" * len(HEADER)]
    previous = None
    for line in table_cells(rows):
        cells = [c.replace("|", "\\|") for c in line]
        if line[0] == previous:
            cells[0] = ""
        previous = line[0]
        lines.append("| " + " | ".join(cells) + " |")
    notes = row_notes(rows)
    if notes:
        lines += [""] + [f"- {note}" for note in notes]
    return "\n".join(lines)


def versions(peers: dict) -> dict:
    out = {"python": platform.python_version(), "quillon": getattr(quillon, "__version__", None),
           "quillon_file": getattr(quillon, "__file__", None)}
    try:
        from importlib.metadata import version

        out["quillon"] = out["quillon"] or version("quillon")
        for name, dist in (("numpy", "numpy"), ("hamilton", "sf-hamilton"), ("dask", "dask"),
                           ("joblib", "joblib"), ("diskcache", "diskcache"), ("openturns", "openturns")):
            out[name] = version(dist) if peers.get(name) else None
    except Exception:
        pass
    return out


def checkout_revision() -> Optional[str]:
    """The commit of the checkout this script lives in, "+dirty" when its
    sources differ from it (the module under test may come from elsewhere:
    see meta.versions.quillon_file)."""
    try:
        head = subprocess.run(["git", "-C", str(HERE), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, timeout=10)
        dirty = subprocess.run(["git", "-C", str(HERE.parent), "status", "--porcelain", "--", "src"],
                               capture_output=True, text=True, timeout=10)
    except (OSError, subprocess.SubprocessError):
        return None
    if head.returncode != 0:
        return None
    return head.stdout.strip() + ("+dirty" if dirty.stdout.strip() else "")


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer repetitions: a fast pass")
    parser.add_argument("--repeat", type=int, help="repetitions of the fast workloads (default 7, quick 3)")
    parser.add_argument("--json", default=str(HERE / "results.json"), help="where to write the table as JSON")
    parser.add_argument("--no-peers", action="store_true",
                        help="quillon and the plain loops only; importing the peers (pandas among "
                             "them) changes the heap that quillon allocates from")
    parser.add_argument("--markdown", action="store_true", help="print the table as Markdown")
    parser.add_argument("--only", help="comma-separated subset of: " + ", ".join(WORKLOADS))
    parser.add_argument("--scale-chain-child", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--disk-hits-child", help=argparse.SUPPRESS)
    parser.add_argument("--disk-hits-runs", type=int, default=DISK_WORKER_RUNS, help=argparse.SUPPRESS)
    parser.add_argument("--vector-memory-child", help=argparse.SUPPRESS)
    args = parser.parse_args(argv)

    if args.scale_chain_child:
        print(json.dumps(scale_chain_child(args.scale_chain_child)))
        return 0
    if args.vector_memory_child:
        print(json.dumps(vector_memory_child(args.vector_memory_child)))
        return 0
    if args.disk_hits_child:
        print(json.dumps(disk_hits_child(args.disk_hits_child, args.disk_hits_runs)))
        return 0

    repeat = args.repeat or (3 if args.quick else 7)
    ctx = Context(repeat=repeat, slow_repeat=max(1, repeat // 2 if args.quick else (repeat + 1) // 2))
    # numpy is the array workload's input, not a competitor.
    ctx.peers, ctx.peer_errors = load_peers(["numpy"] if args.no_peers else list(PEERS))
    selected = list(WORKLOADS) if not args.only else [w.strip() for w in args.only.split(",")]
    unknown = [w for w in selected if w not in WORKLOADS]
    if unknown:
        parser.error(f"unknown workload(s): {', '.join(unknown)}")

    load_before = os.getloadavg()
    started = time.time()
    # Hamilton's executor recurses once per node of a chain.
    sys.setrecursionlimit(max(sys.getrecursionlimit(), 20 * CHAIN_LENGTH))
    with tempfile.TemporaryDirectory(prefix="quillon-bench-") as tmp:
        ctx.tmp = tmp
        for name in selected:
            print(f"running {name} ...", file=sys.stderr, flush=True)
            WORKLOADS[name](ctx)
    load_after = os.getloadavg()
    ctx.rows = grouped(ctx.rows)

    print(render_markdown(ctx.rows) if args.markdown else render_text(ctx.rows))
    print()
    print(f"{os.cpu_count()} CPUs, load average {load_before[0]:.2f} before / {load_after[0]:.2f} after; "
          f"medians of {ctx.repeat} runs ({ctx.slow_repeat} for the slow workloads)")
    if load_before[0] > 0.5 or load_after[0] > 0.5:
        print("note: the machine was busy; figures are noisier than usual, ratios less so")
    for name, error in ctx.peer_errors.items():
        print(f"skipped peer {name}: {error}")

    meta = {
        "command": " ".join([Path(sys.executable).name, "benchmarks/run.py"] + (argv or sys.argv[1:])),
        "started": time.strftime("%Y-%m-%dT%H:%M:%S", time.localtime(started)),
        "seconds": round(time.time() - started, 1),
        "machine": {"cpus": os.cpu_count(), "platform": platform.platform(),
                    "processor": platform.processor() or platform.machine()},
        "load_average": {"before": load_before, "after": load_after},
        "repeat": ctx.repeat,
        "slow_repeat": ctx.slow_repeat,
        "versions": versions(ctx.peers),
        "checkout": checkout_revision(),
        "skipped_peers": ctx.peer_errors,
    }
    Path(args.json).parent.mkdir(parents=True, exist_ok=True)
    Path(args.json).write_text(json.dumps({"meta": meta, "rows": [asdict(r) for r in ctx.rows]},
                                          indent=2, ensure_ascii=False) + "\n")
    print(f"wrote {args.json}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
