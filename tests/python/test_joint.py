"""quillon.joint: correlation, covariance and the summary table of a particle
result, checked against numpy on seeded runs, failed draws included."""

import math

import numpy as np
import pytest

import quillon


def chain(n=3000, seed=1):
    """x normal, z uniform; y = x^2 + z, out = x + y / 2, r = round(x) (many
    ties), k a constant."""
    graph = quillon.Graph()
    graph.add(lambda d: {"y": d["x"] ** 2 + d["z"]}, "Square", [("x", "x"), ("z", "z")], [("y", "y")])
    graph.add(lambda d: {"out": d["x"] + 0.5 * d["y"]}, "Out", [("x", "x"), ("y", "y")], [("out", "out")])
    graph.add(lambda d: {"r": float(round(d["x"]))}, "Round", [("x", "x")], [("r", "r")])
    graph.add(lambda d: {"k": 4.0}, "Const", None, [("k", "k")])
    inputs = {"x": quillon.normal(0.0, 1.0), "z": quillon.uniform(0.0, 1.0)}
    return graph.build().predict(inputs, n_samples=n, seed=seed)


def failing(n=2000, seed=1):
    """f = 3x + z fails on the particles where x < -0.3; g = f^2 exists only
    where f does."""
    def fragile(d):
        if d["x"] < -0.3:
            raise ValueError("too small")
        return {"f": 3.0 * d["x"] + d["z"]}

    graph = quillon.Graph()
    graph.add(fragile, "Fragile", [("x", "x"), ("z", "z")], [("f", "f")])
    graph.add(lambda d: {"g": d["f"] ** 2}, "After", [("f", "f")], [("g", "g")])
    inputs = {"x": quillon.normal(0.0, 1.0), "z": quillon.uniform(0.0, 1.0)}
    return graph.build().predict(inputs, n_samples=n, seed=seed)


def average_ranks(values):
    order = np.argsort(values, kind="stable")
    ranks = np.empty(len(values))
    ranks[order] = np.arange(1, len(values) + 1)
    _, group = np.unique(values, return_inverse=True)
    return (np.bincount(group, ranks) / np.bincount(group))[group]


def pairwise(columns, names, statistic):
    """statistic(a, b) over the rows where both are finite, for every pair."""
    k = len(names)
    out = np.full((k, k), np.nan)
    for i, a in enumerate(names):
        for j, b in enumerate(names):
            both = np.isfinite(columns[a]) & np.isfinite(columns[b])
            out[i, j] = statistic(columns[a][both], columns[b][both])
    return out


def pearson(a, b):
    if len(a) < 2 or np.std(a) == 0 or np.std(b) == 0:
        return np.nan
    return np.corrcoef(a, b)[0, 1]


def spearman(a, b):
    return pearson(average_ranks(a), average_ranks(b))


def covariance(a, b):
    return np.cov(a, b)[0, 1] if len(a) >= 2 else np.nan


class TestStatistics:
    def test_matches_numpy_on_complete_particles(self):
        stat = chain()
        joint = quillon.joint(stat)
        columns = stat.to_numpy()
        assert joint.variables == list(columns)
        assert set(joint.variables) == {"x", "z", "y", "out", "r", "k"}
        assert joint.n_particles == 3000

        live = [name for name in joint.variables if name != "k"]
        matrix = np.vstack([columns[name] for name in live])
        index = [joint.variables.index(name) for name in live]
        sub = np.ix_(index, index)
        pearson_r = joint.correlation()
        assert pearson_r.shape == (6, 6) and pearson_r.dtype == np.float64
        np.testing.assert_allclose(pearson_r[sub], np.corrcoef(matrix), rtol=1e-10, atol=1e-12)
        np.testing.assert_allclose(joint.covariance()[sub], np.cov(matrix), rtol=1e-10, atol=1e-12)
        ranks = np.vstack([average_ranks(row) for row in matrix])
        np.testing.assert_allclose(joint.correlation(method="spearman")[sub], np.corrcoef(ranks), rtol=1e-10,
                                   atol=1e-12)
        # out rises with x on most of its range, and Spearman sees y as a
        # function of |x| only, not of x.
        x, out, y = (joint.variables.index(name) for name in ("x", "out", "y"))
        assert joint.correlation("spearman")[x, out] > 0.8
        assert abs(joint.correlation("spearman")[x, y]) < 0.1

        # A constant has no correlation with anything, and zero variance.
        k = joint.variables.index("k")
        assert np.isnan(pearson_r[k]).all() and np.isnan(pearson_r[:, k]).all()
        assert joint.covariance()[k, k] == 0.0

    def test_failed_draws_use_pairwise_complete_particles(self):
        stat = failing()
        joint = quillon.joint(stat)
        columns = stat.to_numpy()
        names = joint.variables
        assert set(names) == {"x", "z", "f", "g"}
        missing = np.isnan(columns["f"]).sum()
        assert 300 < missing < 1000  # P(x < -0.3) is about 0.38
        np.testing.assert_allclose(joint.correlation(), pairwise(columns, names, pearson), rtol=1e-10, atol=1e-12)
        np.testing.assert_allclose(joint.correlation("spearman"), pairwise(columns, names, spearman), rtol=1e-10,
                                   atol=1e-12)
        np.testing.assert_allclose(joint.covariance(), pairwise(columns, names, covariance), rtol=1e-10, atol=1e-12)
        # x's own variance comes from all particles, not only those where f exists.
        i = names.index("x")
        assert joint.covariance()[i, i] == pytest.approx(np.var(columns["x"], ddof=1), rel=1e-12)

    def test_results_without_usable_particles(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"] + 1}, "Inc", [("x", "x")], [("y", "y")])
        dag = graph.build()
        with pytest.raises(ValueError, match=r"joint\(\) needs per-particle values.*use predict\(\)"):
            quillon.joint(dag.predict_at({"x": quillon.normal(0, 1)}, n_samples=50))
        empty = quillon.joint(dag.predict({"x": quillon.normal(0, 1)}, n_samples=0))
        assert empty.variables == [] and empty.n_particles == 0
        assert empty.correlation().shape == (0, 0) and empty.covariance().shape == (0, 0)
        single = quillon.joint(dag.predict({"x": quillon.normal(0, 1)}, n_samples=1, seed=2))
        assert np.isnan(single.correlation()).all() and np.isnan(single.covariance()).all()

    def test_argument_errors(self):
        joint = quillon.joint(chain(50))
        with pytest.raises(ValueError, match="argument 'method': expected 'pearson' or 'spearman', got 'kendall'"):
            joint.correlation("kendall")
        with pytest.raises(TypeError, match="argument 'method'"):
            joint.correlation(method=3)
        with pytest.raises(TypeError, match="argument 'stat': expected StatResult, got dict"):
            quillon.joint({"x": [1.0]})
        with pytest.raises(TypeError):
            quillon.JointDistribution()

    def test_matrices_are_new_arrays(self):
        joint = quillon.joint(chain(50))
        first = joint.correlation()
        first[:] = 0.0
        assert joint.correlation()[0, 0] == 1.0
        assert joint.covariance() is not joint.covariance()


class TestSummary:
    def test_print_summary_writes_an_aligned_table(self, capsys):
        stat = failing(500)
        joint = quillon.joint(stat)
        joint.print_summary()
        printed = capsys.readouterr().out
        assert printed == joint.summary()
        lines = printed.splitlines()
        assert lines[0] == "JointDistribution: 4 variables, 500 particles"
        assert lines[1] == "Marginals:"
        header = lines[2].split()
        assert header == ["variable", "n", "mean", "std", "p5", "p50", "p95"]
        table = lines[2:7]
        assert len({len(line) for line in table}) == 1  # right-aligned columns end together
        rows = {line.split()[0]: line.split()[1:] for line in lines[3:7]}
        columns = stat.to_numpy()
        for name, cells in rows.items():
            values = columns[name][np.isfinite(columns[name])]
            assert int(cells[0]) == len(values)
            assert float(cells[1]) == pytest.approx(values.mean(), rel=1e-5)
            assert float(cells[2]) == pytest.approx(values.std(ddof=1), rel=1e-5)
            assert float(cells[4]) == pytest.approx(stat[name].p50, rel=1e-5)
        assert lines[7] == "Correlation (pearson):"
        assert lines[8].split() == joint.variables
        matrix = joint.correlation()
        for i, line in enumerate(lines[9:13]):
            cells = line.split()
            assert cells[0] == joint.variables[i]
            assert [float(c) for c in cells[1:]] == pytest.approx(matrix[i], abs=5e-5)
        assert len({len(line) for line in lines[8:13]}) == 1

    def test_repr_and_nan_cells(self):
        joint = quillon.joint(chain(20))
        assert repr(joint) == f"JointDistribution(variables={joint.variables!r}, particles=20)"
        k_row = next(line for line in joint.summary().splitlines()[9:] if line.split()[0] == "k")
        assert k_row.split()[1:] == ["nan"] * 6
