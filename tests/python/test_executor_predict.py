"""predict and predict_at on an executor's workers: draws made here, calls made there, results taken back in
draw order, so that a seeded result is the serial one whatever the chunking."""

from __future__ import annotations

import concurrent.futures
import math
import os
import pathlib

import numpy as np
import pytest

import quillon


def wavy(inputs):
    x = inputs["x"]
    if x > 1.8:
        raise ValueError(f"x={x} is out of range")
    return {"y": math.sin(x) * 3.0 + inputs.get("k", 0.0)}


def halve(inputs):
    return {"h": inputs["y"] / 2.0, "pair": [inputs["y"], -inputs["y"]]}


def sometimes(inputs):
    # Leaves its output out for part of the particles, so that later nodes
    # see particles lacking an input.
    return {} if inputs["y"] < 0 else {"z": inputs["y"] + 1.0}


def reads_z(inputs):
    return {"w": inputs.get("z", -100.0) * 2.0}


def vectorised_square(inputs):
    return {"q": np.asarray(inputs["h"]) ** 2}


def chain():
    graph = quillon.Graph()
    graph.add(wavy, "Wavy", {"x": "x", "k": "k"}, {"y": "y"})
    graph.add(halve, "Halve", {"y": "y"}, {"h": "h", "pair": "pair"})
    graph.add(sometimes, "Sometimes", {"y": "y"}, {"z": "z"})
    graph.add(reads_z, "ReadsZ", {"z": "z"}, {"w": "w"})
    graph.add(vectorised_square, "Square", {"h": "h"}, {"q": "q"})
    graph.set_vectorized("Square")
    return graph.build()


INPUTS = {"x": quillon.normal(0.0, 1.0), "k": quillon.uniform(0.0, 0.5)}


@pytest.fixture(scope="module")
def pool():
    with concurrent.futures.ProcessPoolExecutor(2) as executor:
        yield executor


def failure_summaries(text):
    return sorted(line for line in text.splitlines() if "the rest were not printed" in line)


def assert_same_result(left, right):
    assert left == right  # value equality: every marginal and every particle
    assert left.particles == right.particles if left.particles is not None else right.particles is None


class TestSeededResultsMatchTheSerialRun:
    @pytest.mark.parametrize("chunk_size", [1, 7, None, 5000])
    def test_predict_on_a_process_pool(self, pool, capfd, chunk_size):
        dag = chain()
        serial = dag.predict(INPUTS, 700, seed=11)
        serial_err = capfd.readouterr().err
        remote = dag.predict(INPUTS, 700, seed=11, executor=pool, chunk_size=chunk_size)
        remote_err = capfd.readouterr().err
        assert_same_result(serial, remote)
        # Failures are reported as serially: the first few in full (with the
        # worker's traceback), the rest summed up in the same words.
        assert failure_summaries(remote_err) == failure_summaries(serial_err) != []
        assert "out of range" in remote_err and "in wavy" in remote_err
        assert remote_err.count("quillon: node 'Wavy' (id 0) failed:") == 3

    def test_predict_at_monte_carlo_on_a_process_pool(self, pool, capfd):
        dag = chain()
        serial = dag.predict_at(INPUTS, 1500, seed=5)
        remote = dag.predict_at(INPUTS, 1500, seed=5, executor=pool, chunk_size=64)
        capfd.readouterr()
        assert serial == remote
        assert len(remote["y"].samples) < 1500  # the failed draws left no sample, alike

    def test_a_thread_pool_gives_the_same_result(self, capfd):
        dag = chain()
        serial = dag.predict(INPUTS, 300, seed=2)
        with concurrent.futures.ThreadPoolExecutor(3) as threads:
            remote = dag.predict(INPUTS, 300, seed=2, executor=threads, chunk_size=16)
        capfd.readouterr()
        assert_same_result(serial, remote)

    def test_lambdas_travel_by_value(self, pool):
        graph = quillon.Graph()
        offset = 4.0
        graph.add(lambda inputs: {"y": inputs["x"] + offset}, "Shift", {"x": "x"}, {"y": "y"})
        dag = graph.build()
        remote = dag.predict({"x": quillon.normal(1.0, 0.1)}, 200, seed=1, executor=pool)
        assert remote == dag.predict({"x": quillon.normal(1.0, 0.1)}, 200, seed=1)
        assert remote["y"].mean == pytest.approx(5.0, abs=0.05)


class TestArguments:
    def test_chunk_size_must_be_positive(self, pool):
        dag = chain()
        for call in (dag.predict, dag.predict_at):
            with pytest.raises(ValueError, match="chunk_size"):
                call(INPUTS, 10, executor=pool, chunk_size=0)
            with pytest.raises(TypeError, match="chunk_size"):
                call(INPUTS, 10, executor=pool, chunk_size="8")

    def test_executor_must_submit(self):
        dag = chain()
        for call in (dag.predict, dag.predict_at):
            with pytest.raises(TypeError, match="executor must be a concurrent.futures.Executor"):
                call(INPUTS, 10, executor=42)

    def test_an_unpicklable_callable_is_named_before_any_draw(self, pool):
        import threading

        lock = threading.Lock()
        graph = quillon.Graph()
        graph.add(lambda inputs, lock=lock: {"y": inputs["x"]}, "Locked", {"x": "x"}, {"y": "y"})
        dag = graph.build()
        with pytest.raises(TypeError, match=r"node 'Locked' \(id 0\)"):
            dag.predict({"x": quillon.normal(0, 1)}, 10, executor=pool)


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    here = str(pathlib.Path(__file__).parent)
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")]))
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None)
    client = distributed.Client(cluster)
    yield client
    client.close()
    cluster.close()


def test_predict_on_a_dask_cluster_matches_the_serial_run(dask_client, capfd):
    dag = chain()
    serial = dag.predict(INPUTS, 400, seed=9)
    for executor in (dask_client, dask_client.get_executor()):
        assert_same_result(serial, dag.predict(INPUTS, 400, seed=9, executor=executor, chunk_size=50))
    capfd.readouterr()


def dies_once(inputs):
    """Kills its worker process the first time it runs for a marker path, then answers."""
    marker = pathlib.Path(inputs["marker"])
    if not marker.exists():
        marker.write_text("died")
        os.kill(os.getpid(), 9)
    return {"y": inputs["x"] + 1.0}


def test_a_task_whose_dask_worker_died_is_sent_again(tmp_path, capfd):
    # With no failures allowed the scheduler gives the task up at once
    # (KilledWorker), so the second attempt is the run's own retry.
    dask = pytest.importorskip("dask")
    distributed = pytest.importorskip("distributed")
    here = str(pathlib.Path(__file__).parent)
    os.environ["PYTHONPATH"] = os.pathsep.join(filter(None, [here, os.environ.get("PYTHONPATH")]))
    graph = quillon.Graph()
    graph.add(dies_once, "DiesOnce", {"x": "x", "marker": "marker"}, {"y": "y"})
    dag = graph.build()
    with dask.config.set({"distributed.scheduler.allowed-failures": 0}):
        with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                      dashboard_address=None) as cluster, distributed.Client(cluster) as client:
            for name, executor in (("client", client), ("executor", client.get_executor())):
                marker = tmp_path / name
                report = dag.execute(inputs={"x": 1.0, "marker": str(marker)}, executor=executor, cache=False,
                                     detailed=True)
                assert marker.read_text() == "died"  # the first attempt did die
                assert report["context"]["y"] == 2.0, (name, capfd.readouterr().err)
                assert report["node_runs"][0]["failed"] is False
