"""Seeded propagation and sampling: the same seed gives bit-identical draws,
whatever thread or process makes them; no seed keeps fresh entropy."""

import subprocess
import sys
import threading

import pytest

import quillon

SCRIPT = """
import quillon
graph = quillon.Graph()
graph.add(lambda d: {"y": d["x"] * d["z"]}, "mul", [("x", "x"), ("z", "z")], [("y", "y")])
dag = graph.build()
inputs = {"x": quillon.normal(1.0, 2.0), "z": quillon.gamma(2.0, 1.0)}
print(dag.predict(inputs, n_samples=50, seed=7)["y"].samples)
print(dag.predict_at(inputs, n_samples=300, seed=7)["y"].samples)
print(quillon.beta(2.0, 5.0).sample_n(20, seed=7))
"""


def model():
    graph = quillon.Graph()
    graph.add(lambda d: {"y": d["x"] * d["z"]}, "mul", [("x", "x"), ("z", "z")], [("y", "y")])
    graph.add(lambda d: {"w": d["y"] + d["u"]}, "add", [("y", "y"), ("u", "u")], [("w", "w")])
    return graph.build()


INPUTS = {
    "x": quillon.normal(1.0, 2.0),
    "z": quillon.gamma(2.0, 1.0),
    "u": quillon.empirical([0.5, 1.5, 2.5, 3.5]),
}


def test_the_same_seed_gives_the_same_draws_and_another_seed_others():
    dag = model()
    first = dag.predict(INPUTS, n_samples=500, seed=11)
    again = dag.predict(INPUTS, n_samples=500, seed=11)
    other = dag.predict(INPUTS, n_samples=500, seed=12)
    assert first.particles == again.particles
    assert first["w"].samples == again["w"].samples
    assert first["w"].samples != other["w"].samples
    # Every input has a stream of its own: x does not move when u is dropped.
    without_u = dag.predict({"x": INPUTS["x"], "z": INPUTS["z"]}, n_samples=500, seed=11)
    assert without_u["x"].samples == first["x"].samples

    at = dag.predict_at(INPUTS, n_samples=1000, seed=11)  # several blocks of draws
    assert at["w"].samples == dag.predict_at(INPUTS, n_samples=1000, seed=11)["w"].samples
    assert at["w"].samples != dag.predict_at(INPUTS, n_samples=1000, seed=12)["w"].samples

    d = quillon.lognormal(0.0, 0.5)
    assert d.sample_n(100, seed=3) == d.sample_n(100, seed=3) != d.sample_n(100, seed=4)


def test_without_a_seed_every_call_draws_afresh():
    dag = model()
    assert dag.predict(INPUTS, n_samples=200)["w"].samples != dag.predict(INPUTS, n_samples=200)["w"].samples
    assert dag.predict(INPUTS, n_samples=200, seed=None)["w"].samples != dag.predict(INPUTS, n_samples=200)["w"].samples
    assert quillon.normal(0, 1).sample_n(10) != quillon.normal(0, 1).sample_n(10)


def test_a_longer_run_extends_the_shorter_one():
    dag = model()
    short = dag.predict_at(INPUTS, n_samples=300, seed=5)["y"].samples
    long = dag.predict_at(INPUTS, n_samples=700, seed=5)["y"].samples
    assert long[:300] == short
    assert dag.predict(INPUTS, n_samples=700, seed=5)["x"].samples[:300] == dag.predict(
        INPUTS, n_samples=300, seed=5)["x"].samples


def test_threads_and_processes_reproduce_the_draws():
    dag = model()
    want = dag.predict(INPUTS, n_samples=300, seed=99)["w"].samples
    got = [None] * 4

    def run(i):
        got[i] = dag.predict(INPUTS, n_samples=300, seed=99)["w"].samples

    threads = [threading.Thread(target=run, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(g == want for g in got)

    outputs = [subprocess.run([sys.executable, "-c", SCRIPT], capture_output=True, text=True, check=True).stdout
               for _ in range(2)]
    assert outputs[0] == outputs[1] and outputs[0].count("\n") == 3


def test_seed_is_keyword_only_and_checked():
    dag = model()
    with pytest.raises(TypeError, match="positional"):
        dag.predict(INPUTS, 10, 3)
    with pytest.raises(TypeError, match="positional"):
        quillon.normal(0, 1).sample_n(3, 4)
    with pytest.raises(OverflowError, match="^argument 'seed': "):
        dag.predict_at(INPUTS, n_samples=10, seed=-1)
    with pytest.raises(TypeError, match="^argument 'seed': "):
        dag.predict(INPUTS, n_samples=10, seed="seven")
    assert len(dag.predict(INPUTS, n_samples=10, seed=2**64 - 1)["w"].samples) == 10
