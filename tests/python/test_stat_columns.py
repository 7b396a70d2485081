"""Per-particle values as columns: to_numpy, samples and to_pandas agree
with the particles dicts value for value, key for key and in order."""

import math
import sys

import numpy as np
import pytest

import quillon


def mixed_result(n=40):
    """x and z drawn; y only where x > 0; v a three-element vector output;
    c a constant source; a branch copy writing branch-qualified keys."""
    graph = quillon.Graph()
    graph.add(lambda d: {"y": d["x"] * 2} if d["x"] > 0 else {}, "Half", [("x", "x")], [("y", "y")])
    graph.add(lambda d: {"v": [d["z"], d["z"] + 1, d["z"] + 2]}, "Vec", [("z", "z")], [("v", "v")])
    graph.add(lambda d: {"c": 5.0}, "Const", None, [("c", "c")])
    sub = quillon.Graph()
    sub.add(lambda d: {"w": d["x"] - 1}, "Branch", [("x", "x")], [("w", "w")])
    graph.branch(sub)
    return graph.build().predict({"x": quillon.normal(0, 1), "z": quillon.uniform(0, 1)}, n_samples=n, seed=3)


def sparse_result(n=40):
    """Four outputs present only where x > 0: most particles lack most keys."""
    graph = quillon.Graph()
    graph.add(lambda d: {k: d["x"] + i for i, k in enumerate("pqrs")} if d["x"] > 0 else {},
              "Some", [("x", "x")], [(k, k) for k in "pqrs"])
    return graph.build().predict({"x": quillon.normal(0, 1)}, n_samples=n, seed=5)


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


class TestColumnsMatchParticles:
    @pytest.mark.parametrize("make", [mixed_result, sparse_result])
    def test_values_keys_and_order(self, make):
        stat = make()
        particles = stat.particles
        columns = stat.to_numpy()
        # Every key any particle holds, in the order the dicts list them.
        seen = []
        for p in particles:
            seen += [k for k in p if k not in seen]
        assert list(columns) == [k for k in columns if k in seen] and set(columns) == set(seen)
        order = {k: i for i, k in enumerate(columns)}
        for p in particles:
            assert list(p) == sorted(p, key=order.__getitem__)
        for key, array in columns.items():
            assert array.dtype == np.float64 and array.shape == (len(particles),)
            assert all(same(a, p.get(key, math.nan)) for a, p in zip(array.tolist(), particles))
            assert all(same(a, b) for a, b in zip(stat.samples(key).tolist(), array.tolist()))

    def test_missing_values_and_vector_outputs(self):
        stat = mixed_result()
        columns = stat.to_numpy()
        x, y = columns["x"], columns["y"]
        assert np.array_equal(np.isnan(y), x <= 0) and np.array_equal(y[x > 0], 2 * x[x > 0])
        assert any(k.startswith("__branch_") for k in columns)
        vector_keys = [k for k in columns if k not in ("x", "y", "z", "c", "w") and not k.startswith("__branch_")]
        assert len(vector_keys) == 4  # the length and three elements of v
        assert sorted(columns[k][0] for k in vector_keys) == sorted(
            [3.0, columns["z"][0], columns["z"][0] + 1, columns["z"][0] + 2])
        assert np.all(columns["c"] == 5.0)

    def test_arrays_are_new_and_writable(self):
        stat = mixed_result(5)
        first = stat.samples("x")
        first[:] = 0.0
        assert stat.samples("x").tolist() == [p["x"] for p in stat.particles]
        assert stat.to_numpy()["x"] is not stat.to_numpy()["x"]

    def test_zero_particles(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"]}, "Copy", [("x", "x")], [("y", "y")])
        stat = graph.build().predict({"x": quillon.normal(0, 1)}, n_samples=0)
        assert stat.particles == [] and stat.to_numpy() == {}
        assert len(stat.to_pandas()) == 0


class TestErrors:
    def test_result_without_particles(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"]}, "Copy", [("x", "x")], [("y", "y")])
        stat = graph.build().predict_at({"x": quillon.normal(0, 1)}, n_samples=10)
        for call in (stat.to_numpy, stat.to_pandas, lambda: stat.samples("x")):
            with pytest.raises(ValueError, match=r"use predict\(\)"):
                call()

    def test_unknown_name(self):
        stat = mixed_result(5)
        with pytest.raises(KeyError, match="nope"):
            stat.samples("nope")
        with pytest.raises(TypeError):
            stat.samples(3)

    def test_missing_optional_modules(self, monkeypatch):
        stat = mixed_result(5)
        monkeypatch.setitem(sys.modules, "pandas", None)
        with pytest.raises(ImportError, match="pip install pandas"):
            stat.to_pandas()
        monkeypatch.setitem(sys.modules, "numpy", None)
        with pytest.raises(ImportError, match="needs numpy"):
            stat.to_numpy()


def test_pandas_round_trip():
    pd = pytest.importorskip("pandas")
    stat = mixed_result()
    frame = stat.to_pandas()
    columns = stat.to_numpy()
    assert isinstance(frame, pd.DataFrame) and list(frame.columns) == list(columns)
    assert len(frame) == len(stat.particles)
    for key, array in columns.items():
        assert np.array_equal(frame[key].to_numpy(), array, equal_nan=True)
    records = frame.to_dict("records")
    assert all({k: v for k, v in r.items() if not math.isnan(v)} == p for r, p in zip(records, stat.particles))
