"""Runs on executors: node calls on process pools, thread pools and a Dask
cluster give what a run in this process gives (context, cache report, node
failures); callables travel to each worker once; failures, lost workers and
Ctrl-C end runs cleanly and say why."""

import json
import multiprocessing
import os
import pickle
import random
import signal
import subprocess
import sys
import threading
import time
import uuid
from concurrent.futures import ProcessPoolExecutor, ThreadPoolExecutor

import pytest

import executor_nodes as nodes
import quillon

HERE = os.path.dirname(os.path.abspath(__file__))
NODES_SCRIPT = os.path.join(HERE, "executor_nodes.py")


def python_path():
    """A PYTHONPATH under which new processes import this quillon (not
    another one installed) and executor_nodes, from any working directory."""
    paths = [HERE, os.path.dirname(os.path.abspath(quillon.__file__))]
    paths += [os.path.abspath(path) for path in sys.path if path and os.path.isdir(path)]
    return os.pathsep.join(dict.fromkeys(paths))


def child_env():
    return {**os.environ, "PYTHONPATH": python_path()}


@pytest.fixture(scope="module")
def pool():
    # Spawned workers: forking a process that runs a Dask cluster's threads
    # can copy a held lock into the child.
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as executor:
        yield executor


@pytest.fixture(scope="module")
def threads():
    with ThreadPoolExecutor(3) as executor:
        yield executor


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("dask.distributed")
    # Workers are new processes: they find quillon and executor_nodes through
    # PYTHONPATH, set before they start.
    previous = os.environ.get("PYTHONPATH")
    os.environ["PYTHONPATH"] = python_path()
    try:
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster, distributed.Client(cluster) as client:
            yield client
    finally:
        if previous is None:
            os.environ.pop("PYTHONPATH", None)
        else:
            os.environ["PYTHONPATH"] = previous


# --- Random graphs -----------------------------------------------------------

FUNCTIONS = [
    (nodes.combine, 6),
    (nodes.listing, 2),
    (nodes.partial, 2),
    (nodes.seen, 2),
    (nodes.fails, 1),
    (nodes.fails_when_big, 2),
    (nodes.not_a_dict, 1),
]


def has_cycle(shapes):
    """Whether nodes given as (reads, writes) depend on each other in a
    circle: a node depends on every other node that writes a key it reads."""
    edges = {i: [j for j, (_, writes) in enumerate(shapes) if j != i and writes & reads]
             for i, (reads, _) in enumerate(shapes)}
    state = {}

    def visit(i):
        state[i] = "open"
        for j in edges[i]:
            if state.get(j) == "open" or (j not in state and visit(j)):
                return True
        state[i] = "done"
        return False

    return any(i not in state and visit(i) for i in edges)


def random_graph(seed):
    """A graph of 3-14 nodes over a few keys: random readers, several writers
    of one key, nodes reading the key they write, failing nodes, cached and
    uncached nodes, all placed in the order. Returns (graph, run inputs)."""
    rng = random.Random(seed)
    keys = [f"k{i}" for i in range(rng.randint(3, 8))]
    run_inputs = {key: float(rng.randint(0, 3)) / 2 for key in rng.sample(keys, rng.randint(0, 2))}
    functions, weights = zip(*FUNCTIONS)
    graph = quillon.Graph()
    shapes = []
    for i in range(rng.randint(3, 14)):
        while True:
            read = rng.sample(keys, rng.randint(0, min(3, len(keys))))
            outputs = [("o1", rng.choice(keys))]
            if rng.random() < 0.6:
                outputs.append(("o2", rng.choice(keys)))
            shape = (set(read), {key for _, key in outputs})
            if not has_cycle(shapes + [shape]):
                break
        shapes.append(shape)
        function = rng.choices(functions, weights)[0]
        label = None if rng.random() < 0.1 else f"n{i}"
        graph.add(function, label, [(key, key) for key in read] or None, outputs)
        if label is not None and rng.random() < 0.6:
            graph.set_cache_version(label, rng.choice(["1", "2"]))
    return graph, run_inputs


def comparable(report):
    """What a run reports, without wall times."""
    runs = {node: (entry["label"], entry["failed"], entry["error"]) for node, entry in report["node_runs"].items()}
    return {
        "context": report["context"],
        "cache_stats": report["cache_stats"],
        "node_cache": report["node_cache"],
        "node_runs": runs,
    }


def check_like_local(dags, executor, runs=2):
    """Each (dag, inputs) runs on `executor` and here, each on a fresh cache
    of its own, `runs` times: the reports agree run by run."""
    for dag, inputs in dags:
        here, there = quillon.MemoryCache(), quillon.MemoryCache()
        for attempt in range(runs):
            local = comparable(dag.execute(cache_backend=here, detailed=True, inputs=inputs))
            remote = comparable(dag.execute(cache_backend=there, detailed=True, inputs=inputs, executor=executor))
            assert remote == local, (dag.node_labels(), inputs, attempt)


def random_dags(seeds):
    dags = []
    for seed in seeds:
        graph, inputs = random_graph(seed)
        dags.append((graph.build(), inputs))
    return dags


class TestSameAsLocal:
    def test_random_graphs_on_a_process_pool(self, pool, capfd):
        check_like_local(random_dags(range(30)), pool)

    def test_random_graphs_on_a_thread_pool(self, threads, capfd):
        check_like_local(random_dags(range(100, 130)), threads)

    def test_uncached_runs(self, pool, capfd):
        for dag, inputs in random_dags(range(200, 210)):
            local = dag.execute(cache=False, detailed=True, inputs=inputs)
            remote = dag.execute(cache=False, detailed=True, inputs=inputs, executor=pool)
            assert comparable(remote) == comparable(local)

    def test_failures_are_reported_alike(self, pool, capfd):
        # Every failure kind in one graph, each printed under its node's line.
        graph = quillon.Graph()
        graph.add(nodes.fails, "raising", None, [("o1", "a")])
        graph.add(nodes.not_a_dict, "listing", None, [("o1", "b")])
        graph.add(nodes.fails_when_big, "big", [("x", "x")], [("o1", "c")])
        dag = graph.build()
        local = dag.execute(inputs={"x": 9.0}, detailed=True)
        local_err = capfd.readouterr().err
        remote = dag.execute(inputs={"x": 9.0}, detailed=True, executor=pool)
        remote_err = capfd.readouterr().err
        assert comparable(remote) == comparable(local)
        for label, node in (("raising", 0), ("listing", 1), ("big", 2)):
            line = f"quillon: node '{label}' (id {node}) failed:"
            assert line in local_err and line in remote_err
        assert "did not return a dict" in remote_err

    def test_none_is_no_executor(self):
        graph = quillon.Graph()
        lock = threading.Lock()  # unpicklable, and never pickled here
        graph.add(lambda d, lock=lock: {"y": d["x"] + 1.0}, "local", [("x", "x")], [("y", "y")])
        assert graph.build().execute(inputs={"x": 1.0}, executor=None) == {"x": 1.0, "y": 2.0}


class TestDask:
    def test_client_and_its_executor(self, dask_client, capfd):
        dags = random_dags(range(300, 306))
        check_like_local(dags, dask_client)
        check_like_local(dags, dask_client.get_executor())

    def test_callables_by_reference(self, dask_client):
        graph = quillon.Graph()
        graph.add(nodes.where, "where", None, [("pid", "pid")])
        graph.add(nodes.double, "double", [("x", "x")], [("y", "y")])
        result = graph.build().execute(inputs={"x": 4.0}, executor=dask_client)
        assert result["y"] == 8.0
        assert result["pid"] != os.getpid()

    def test_a_task_whose_worker_dies_once_is_run_again(self, dask_client, tmp_path):
        # The nanny starts a new worker, which lacks the callables sent so far.
        graph = quillon.Graph()
        graph.add(nodes.kill_worker_once, "dies once", [("x", "x"), ("marker", "marker")], [("y", "y")])
        graph.add(nodes.double, "double", [("y", "x")], [("y", "z")])
        marker = str(tmp_path / "died")
        result = graph.build().execute(inputs={"x": 1.0, "marker": marker}, executor=dask_client, detailed=True)
        assert os.path.exists(marker)
        assert result["context"] == {"x": 1.0, "marker": marker, "y": 2.0, "z": 4.0}
        assert not any(entry["failed"] for entry in result["node_runs"].values())


class Relay:
    """An executor of its own kind: hands tasks to `pool` and counts the
    bytes their arguments take when pickled."""

    def __init__(self, pool):
        self.pool = pool
        self.sent = 0

    def submit(self, function, *args):
        self.sent += len(pickle.dumps(args))
        return self.pool.submit(function, *args)


class TestShipping:
    @pytest.mark.parametrize("shared", [True, False], ids=["one object", "equal objects"])
    def test_each_callable_reaches_each_worker_once(self, shared):
        tag, ballast = uuid.uuid4().hex, os.urandom(200_000)
        one = nodes.Counted(tag, ballast)
        graph = quillon.Graph()
        for i in range(30):
            function = one if shared else nodes.Counted(tag, ballast)
            graph.add(function, f"n{i}", None, [("pid", f"pid{i}"), ("count", f"count{i}")])
        dag = graph.build()
        with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as pool:
            relay = Relay(pool)
            sent = []
            for _ in range(2):
                result = dag.execute(cache=False, executor=relay)
                sent.append(relay.sent - sum(sent))
                pids = {result[f"pid{i}"] for i in range(30)}
                assert os.getpid() not in pids and len(pids) <= 2
                # Each worker unpickled the callable once, before its first call.
                assert {result[f"count{i}"] for i in range(30)} == {1}
        # The callable's bytes went with the first task and with the tasks
        # that a worker lacking them sent back, never with every task.
        assert sent[0] >= len(ballast)
        assert sum(sent) < 40 * len(ballast)
        assert tag not in nodes.unpickled  # the caller pickles, it never unpickles

    def test_a_new_executor_gets_the_callables_again(self):
        graph = quillon.Graph()
        graph.add(nodes.double, "double", [("x", "x")], [("y", "y")])
        dag = graph.build()
        for _ in range(2):
            with ProcessPoolExecutor(1, mp_context=multiprocessing.get_context("spawn")) as executor:
                assert dag.execute(cache=False, inputs={"x": 3.0}, executor=executor) == {"x": 3.0, "y": 6.0}

    @pytest.mark.parametrize(
        "make",
        [lambda: nodes.Unpicklable(), lambda: (lambda d, lock=threading.Lock(): {"v": 1.0})],
        ids=["refusing __reduce__", "lambda holding a lock"],
    )
    @pytest.mark.parametrize("label", ["holder", None])
    def test_an_unpicklable_callable_stops_the_run_before_it_starts(self, make, label, pool, tmp_path):
        graph = quillon.Graph()
        graph.add(nodes.touch, "first", [("path", "path")], [("touched", "touched")])
        graph.add(make(), label, [("touched", "touched")], [("v", "v")])
        marker = tmp_path / "ran"
        with pytest.raises(TypeError) as caught:
            graph.build().execute(inputs={"path": str(marker)}, executor=pool)
        message = str(caught.value)
        assert "id 1" in message
        if label is not None:
            assert repr(label) in message or label in message
        assert not marker.exists()

    def test_lambdas_travel_by_value(self, pool):
        pytest.importorskip("cloudpickle")
        offset = 5.0
        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"] + offset, "pid": os.getpid()}, "closure", [("x", "x")], [("y", "y"), ("pid", "pid")])
        result = graph.build().execute(inputs={"x": 1.0}, executor=pool)
        assert result["y"] == 6.0 and result["pid"] != os.getpid()


class TestFailures:
    def test_worker_traceback_under_the_node_line(self, pool, capfd):
        graph = quillon.Graph()
        graph.add(nodes.source, "source", None, [("x", "x")])
        graph.add(nodes.raises_on_worker, "broken", [("x", "x")], [("o1", "y")])
        graph.add(nodes.seen, "reader", [("x", "x"), ("y", "y")], [("o1", "seen")])
        dag = graph.build()
        local = dag.execute(cache=False)
        capfd.readouterr()
        remote = dag.execute(cache=False, executor=pool, detailed=True)
        err = capfd.readouterr().err
        # The failed node produced nothing; its reader saw the input missing.
        assert remote["context"] == local == {"x": 2.0, "seen": "x"}
        assert remote["node_runs"][1]["failed"] is True
        assert remote["node_runs"][1]["error"] == "LookupError: no such entry on the worker"
        head = err.index("quillon: node 'broken' (id 1) failed:")
        report = err[head:]
        assert "Traceback" in report
        assert "in raises_on_worker" in report
        assert 'raise LookupError("no such entry on the worker")' in report
        assert "LookupError: no such entry on the worker" in report
        assert "run_task" not in report  # the traceback starts in the node's function

    def test_a_value_that_cannot_travel_fails_its_node(self, pool, capfd):
        graph = quillon.Graph()
        graph.add(nodes.seen, "reader", [("x", "x")], [("o1", "seen")])
        graph.add(nodes.double, "after", [("x", "x")], [("y", "y")])
        # A lock converts to the caller's opaque object but does not pickle.
        report = graph.build().execute(inputs={"x": threading.Lock()}, executor=pool, detailed=True)
        assert report["node_runs"][0]["failed"] is True
        assert "quillon: node 'reader' (id 0) failed:" in capfd.readouterr().err

    def test_a_lost_worker_fails_its_node_and_the_run_ends(self, tmp_path):
        child = subprocess.run(
            [sys.executable, NODES_SCRIPT, "lost", str(tmp_path)],
            capture_output=True, text=True, timeout=60, env=child_env(),
        )
        assert child.returncode == 0, child.stderr
        report = json.loads(child.stdout)
        runs = report["node_runs"]
        killer = runs["1"]
        assert killer["failed"] is True
        assert "BrokenProcessPool" in killer["error"]
        assert runs["0"]["failed"] is False
        assert "y" not in report["context"]
        assert report["context"]["x"] == 2.0
        assert "quillon: node 'killer' (id 1) failed:" in child.stderr
        report_text = child.stderr[child.stderr.index("quillon: node 'killer' (id 1) failed:"):]
        assert "BrokenProcessPool: A child process terminated abruptly" in report_text
        # The broken pool runs nothing more: later calls fail the same way
        # instead of waiting for it.
        assert all(runs[node]["failed"] for node in ("2", "3"))


class TestInterrupt:
    @pytest.mark.parametrize("workers", ["processes", "threads"])
    def test_ctrl_c_stops_the_run_and_cancels_pending_calls(self, workers, tmp_path):
        child = subprocess.Popen(
            [sys.executable, NODES_SCRIPT, "interrupt", str(tmp_path), workers],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=child_env(),
        )
        try:
            assert child.stdout.readline() == "ready\n"
            assert child.stdout.readline().startswith("started ")
            time.sleep(0.2)
            sent = time.monotonic()
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=60)
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
        lines = out.splitlines()
        interrupted = [line for line in lines if line.startswith("interrupted")]
        assert interrupted, (out, err)
        # Raised while the calls under way still sleep, not after them.
        assert float(interrupted[0].split()[1]) - sent < 0.8
        assert lines[-1] == "shut down"
        started = [name for name in os.listdir(tmp_path) if name.startswith("started")]
        if workers == "threads":
            # One call was running; every call still queued was cancelled.
            assert started == ["started0.0"]
        else:
            # Two calls run and the pool may have moved up to three more
            # to its workers, beyond cancelling.
            assert len(started) <= 5 < nodes.SLOW_NODES
        # The node waiting for the first two never began.
        assert not (tmp_path / "after").exists()


class TestArguments:
    @pytest.mark.parametrize("executor", [42, "pool", object()])
    def test_not_an_executor(self, executor):
        graph = quillon.Graph()
        graph.add(nodes.source, "source", None, [("x", "x")])
        with pytest.raises(TypeError, match="executor"):
            graph.build().execute(executor=executor)


class TestSharedCache:
    def test_two_runs_on_one_cache_compute_each_node_once(self, pool, tmp_path):
        graph = quillon.Graph()
        labels = [f"n{i}" for i in range(6)]
        for i, label in enumerate(labels):
            reads = [("dir", "dir"), (f"label{i}", "label")] + ([(f"v{i - 1}", "previous")] if i % 2 else [])
            graph.add(nodes.record_call, label, reads, [("v", f"v{i}")])
            graph.set_cache_version(label, "1")
        dag = graph.build()
        backend = quillon.MemoryCache()
        inputs = {"dir": str(tmp_path), **{f"label{i}": label for i, label in enumerate(labels)}}
        reports = []
        start = threading.Barrier(2)

        def run(_):
            start.wait(10)
            reports.append(dag.execute(cache_backend=backend, inputs=inputs, detailed=True, executor=pool))

        workers = [threading.Thread(target=run, args=(i,)) for i in range(2)]
        for t in workers:
            t.start()
        for t in workers:
            t.join(60)
        assert not any(t.is_alive() for t in workers)
        assert len(reports) == 2
        for label in labels:
            assert len((tmp_path / label).read_text().splitlines()) == 1, label
        assert reports[0]["context"] == reports[1]["context"]
        hits = sum(r["cache_stats"]["hits"] for r in reports)
        misses = sum(r["cache_stats"]["misses"] for r in reports)
        stores = sum(r["cache_stats"]["stores"] for r in reports)
        assert (hits, misses, stores) == (6, 6, 6)
        for node in range(6):
            statuses = [r["node_cache"][node] for r in reports]
            assert sorted(s["hit"] for s in statuses) == [False, True]
