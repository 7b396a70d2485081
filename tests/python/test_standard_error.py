"""StatResult.standard_error: batch-means errors that shrink with the draws."""

import math

import pytest

import quillon


def passthrough():
    graph = quillon.Graph()
    graph.add(lambda d: {"y": d["x"]}, "copy", [("x", "x")], [("y", "y")])
    return graph.build()


def test_errors_match_the_theory_and_shrink_with_more_draws():
    dag = passthrough()
    small = dag.predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=10_000, seed=1).standard_error("y")
    large = dag.predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=160_000, seed=1).standard_error("y")
    assert list(small) == ["mean", "p5", "p50", "p95"]
    # The mean's error of n standard normal draws is 1 / sqrt(n); the median's
    # about 1.25 / sqrt(n). Batch means estimate them within a few tens of %.
    assert 0.006 < small["mean"] < 0.016
    assert 0.007 < small["p50"] < 0.02
    assert small["p5"] > small["p50"]  # the tails are estimated less precisely
    assert 2.5 < small["mean"] / large["mean"] < 6.5  # 16 times the draws: about a quarter
    particles = dag.predict({"x": quillon.normal(0.0, 1.0)}, n_samples=10_000, seed=1).standard_error("x")
    assert 0.006 < particles["mean"] < 0.016


def test_unsampled_unknown_and_tiny_results():
    graph = quillon.Graph()
    graph.add(lambda d: {"y": d["x"] * 2}, "scale", [("x", "x")], [("y", "y")])
    graph.set_dist_transfer("scale", lambda d: {"y": quillon.normal(d["x"].mean * 2, d["x"].std * 2)})
    stat = graph.build().predict_at({"x": quillon.normal(1.0, 1.0)}, n_samples=100)
    assert stat.standard_error("y") == {"mean": 0.0, "p5": 0.0, "p50": 0.0, "p95": 0.0}
    with pytest.raises(KeyError, match="nothing"):
        stat.standard_error("nothing")
    tiny = passthrough().predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=3, seed=2).standard_error("y")
    assert all(math.isnan(value) for value in tiny.values())
