"""predict and predict_at with node functions that fail on some draws.

Each node fails on a fixed, recognisable subset of its inputs, in several
ways (raising, returning a non-dict, returning no value, a missing input), so
every particle can be checked on its own: a value is present exactly when
its node succeeded on that particle's own inputs, and then it is the value
computed from that particle's inputs, never one shifted over from another
particle. Several Python threads propagate at once.
"""

import contextlib
import random
import sys
import threading
import time

import pytest

import quillon
from stress_support import SECONDS, Workers, deadline, frequent_switches, report

THREADS = 3
SAMPLES = 200


def digit(value, modulus):
    return int(abs(value) * 1e6) % modulus


def f(inputs):
    x = inputs["x"]
    mode = digit(x, 10)
    if mode == 0:
        raise ValueError("draw refused")
    if mode == 1:
        return None  # not a dict
    if mode == 2:
        return {}  # no value
    return {"y": 2.0 * x + 1.0}


def f_ok(x):
    return digit(x, 10) > 2


def g(inputs):
    y = inputs["y"]  # KeyError on particles where f failed
    if digit(y, 7) == 0:
        raise ArithmeticError("draw refused")
    return {"z": y * inputs["x"]}


def h(inputs):
    return {"w": inputs["z"] + 1.0}


def flaky_transfer(dists):
    """An analytical answer sometimes, no answer (or a failure) otherwise."""
    choice = random.random()
    if choice < 0.3:
        raise RuntimeError("no transfer today")
    if choice < 0.6:
        return None
    return {"y": quillon.normal(dists["x"].mean * 2.0 + 1.0, 0.1)}


def build(with_transfer):
    graph = quillon.Graph()
    graph.add(f, "f", [("x", "x")], [("y", "y")])
    graph.add(g, "g", [("x", "x"), ("y", "y")], [("z", "z")])
    graph.add(h, "h", [("z", "z")], [("w", "w")])
    if with_transfer:
        graph.set_dist_transfer("f", flaky_transfer)
    return graph.build()


class CountingSink:
    """Stands in for sys.stderr: failing draws print tracebacks, many of them."""

    def __init__(self):
        self.writes = 0
        self.lock = threading.Lock()

    def write(self, text):
        with self.lock:
            self.writes += 1
        return len(text)

    def flush(self):
        pass


@contextlib.contextmanager
def quiet_stderr():
    sink, saved = CountingSink(), sys.stderr
    sys.stderr = sink
    try:
        yield sink
    finally:
        sys.stderr = saved


def check_particles(stat, samples):
    particles = stat.particles
    assert len(particles) == samples
    counts = {"y": 0, "z": 0, "w": 0}
    for p in particles:
        x = p["x"]
        assert 0.0 <= x <= 1.0
        assert ("y" in p) == f_ok(x), p
        if "y" not in p:
            assert "z" not in p and "w" not in p, p
            continue
        assert p["y"] == 2.0 * x + 1.0, p
        z_ok = digit(p["y"], 7) != 0
        assert ("z" in p) == z_ok, p
        if z_ok:
            assert p["z"] == p["y"] * x and p["w"] == p["z"] + 1.0, p
        else:
            assert "w" not in p, p
        for name in counts:
            counts[name] += name in p
    # Marginals are made of exactly the particles that carry the value.
    for name, count in counts.items():
        if count:
            assert len(stat[name].samples) == count
            assert stat[name].mean == pytest.approx(sum(p[name] for p in particles if name in p) / count)
    return counts


def check_marginals(stat, transfer):
    """Per-node sampling keeps no particles; the sampled marginal of y holds
    only values f actually produced."""
    assert stat.particles is None
    assert "x" in stat.keys()
    if "y" in stat.keys() and not transfer:
        values = stat["y"].samples
        assert 0 < len(values) <= SAMPLES
        assert all(1.0 <= value <= 3.0 for value in values)


@pytest.mark.skipif(not hasattr(quillon.Dag, "predict"), reason="predict and predict_at are not in this build")
def test_failing_draws_keep_particles_aligned():
    end = deadline()
    totals = {"predict": 0, "predict_at": 0}
    lock = threading.Lock()

    def runner(index):
        dags = [build(False), build(True)]
        rng = random.Random(index)
        while time.monotonic() < end:
            transfer = rng.random() < 0.5
            dag = dags[transfer]
            source = rng.choice([quillon.uniform(0.0, 1.0), quillon.beta(2.0, 5.0),
                                 quillon.empirical([rng.random() for _ in range(50)])])
            if rng.random() < 0.5:
                stat = dag.predict({"x": source}, n_samples=SAMPLES)
                check_particles(stat, SAMPLES)
                kind = "predict"
            else:
                target = rng.choice([{}, {"at_node": "g"}, {"at_node": "missing"}])
                stat = dag.predict_at({"x": source}, n_samples=SAMPLES, **target)
                check_marginals(stat, transfer)
                kind = "predict_at"
            with lock:
                totals[kind] += 1

    with quiet_stderr() as sink, frequent_switches(1e-4):
        workers = Workers()
        for index in range(THREADS):
            workers.start(runner, index, name=f"predict-{index}")
        workers.join()
    assert totals["predict"] and totals["predict_at"]
    assert sink.writes > 0  # failures were reported, not swallowed
    report("predict", threads=THREADS, samples=SAMPLES, seconds=SECONDS, stderr_writes=sink.writes, **totals)
