"""Distribution and StatResult compare and hash by value."""

from __future__ import annotations

import pytest

import quillon


def chain():
    graph = quillon.Graph()
    graph.add(lambda d: {"y": d["x"] * 2.0}, label="Double", inputs={"x": "x"}, outputs={"y": "y"})
    return graph.build()


def test_distributions_equal_by_kind_parameters_and_samples():
    nan = float("nan")
    assert quillon.normal(0.0, 1.0) == quillon.normal(0.0, 1.0)
    assert quillon.normal(0.0, 1.0) != quillon.normal(0.0, 2.0)
    assert quillon.normal(0.0, 1.0) != quillon.lognormal(0.0, 1.0)
    assert quillon.deterministic(nan) == quillon.deterministic(nan)  # a NaN value is the same value
    assert quillon.deterministic(0.0) == quillon.deterministic(-0.0)
    assert quillon.empirical([1.0, nan]) == quillon.empirical([1.0, nan])
    assert quillon.empirical([1.0, 2.0]) != quillon.empirical([2.0, 1.0])  # order is part of the samples
    assert quillon.empirical([1.0]) != quillon.empirical([1.0, 1.0])
    assert quillon.empirical([]) == quillon.empirical([])
    assert quillon.normal(0.0, 1.0) != "Normal"
    with pytest.raises(TypeError):
        quillon.normal(0.0, 1.0) < quillon.normal(0.0, 2.0)  # noqa: B015


def test_distribution_hash_agrees_with_equality():
    nan = float("nan")
    pairs = [
        (quillon.normal(0.0, 1.0), quillon.normal(0.0, 1.0)),
        (quillon.deterministic(0.0), quillon.deterministic(-0.0)),
        (quillon.deterministic(nan), quillon.deterministic(-nan)),
        (quillon.empirical([1.0, nan, -0.0]), quillon.empirical([1.0, nan, 0.0])),
    ]
    for a, b in pairs:
        assert a == b and hash(a) == hash(b)
    assert len({quillon.uniform(0.0, 1.0), quillon.uniform(0.0, 1.0), quillon.uniform(0.0, 2.0)}) == 2


def test_stat_results_equal_and_hash_by_value():
    dag = chain()
    inputs = {"x": quillon.normal(1.0, 0.5)}
    a = dag.predict(inputs, n_samples=40, seed=3)
    assert a == dag.predict(inputs, n_samples=40, seed=3)
    assert a != dag.predict(inputs, n_samples=40, seed=4)
    assert a != dag.predict(inputs, n_samples=41, seed=3)
    # The same marginals without particles are a different result.
    assert dag.predict_at(inputs, n_samples=40, seed=3) != a
    assert a != a["y"]
    # Equal results hash alike and are one key; results stay usable in sets.
    b = dag.predict(inputs, n_samples=40, seed=3)
    assert hash(a) == hash(b) and len({a, b, dag.predict(inputs, n_samples=40, seed=4)}) == 2
    at = dag.predict_at(inputs, n_samples=40, seed=3)
    assert hash(at) == hash(dag.predict_at(inputs, n_samples=40, seed=3))
