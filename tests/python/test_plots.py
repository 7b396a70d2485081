"""Plots of distributions, results and joint distributions on the Agg
backend: the artists drawn, their data, labels and what each call returns.
Paths without scipy or matplotlib run in a subprocess that cannot import
them."""

import math
import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

matplotlib = pytest.importorskip("matplotlib")
matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
from matplotlib.collections import PathCollection, PolyCollection, QuadMesh  # noqa: E402
from matplotlib.contour import ContourSet  # noqa: E402

import quillon  # noqa: E402


@pytest.fixture(autouse=True)
def close_figures(monkeypatch):
    shown = []
    monkeypatch.setattr(plt, "show", lambda *args, **kwargs: shown.append(args))
    yield
    plt.close("all")
    assert not shown, "a plot function called show()"


def chain(n=400, seed=1):
    graph = quillon.Graph()
    graph.add(lambda d: {"y": d["x"] ** 2 + d["z"]}, "Square", [("x", "x"), ("z", "z")], [("y", "y")])
    graph.add(lambda d: {"out": d["x"] + 0.5 * d["y"]}, "Out", [("x", "x"), ("y", "y")], [("out", "out")])
    inputs = {"x": quillon.normal(0.0, 1.0), "z": quillon.uniform(0.0, 1.0)}
    return graph.build().predict(inputs, n_samples=n, seed=seed)


def marks(ax):
    """x of the vertical percentile lines, by label prefix."""
    return {line.get_label().split(" =")[0]: line.get_xdata()[0] for line in ax.lines
            if line.get_label().startswith("p")}


class TestDistributionPlot:
    @pytest.mark.parametrize("dist, pdf", [
        (quillon.normal(1.0, 2.0), lambda x: np.exp(-((x - 1) / 2) ** 2 / 2) / (2 * math.sqrt(2 * math.pi))),
        (quillon.beta(2.0, 5.0), lambda x: 30 * x * (1 - x) ** 4),
        (quillon.gamma(2.0, 3.0), lambda x: 9 * x * np.exp(-3 * x)),
        (quillon.lognormal(0.0, 0.5), lambda x: np.exp(-(np.log(x) / 0.5) ** 2 / 2) / (x * 0.5 * math.sqrt(2 * math.pi))),
    ])
    def test_closed_forms_draw_their_density(self, dist, pdf):
        ax = dist.plot()
        assert isinstance(ax, matplotlib.axes.Axes)
        curve = ax.lines[0]
        x, y = curve.get_xdata(), curve.get_ydata()
        assert x[0] == pytest.approx(dist.percentile(0.001)) and x[-1] == pytest.approx(dist.percentile(0.999))
        np.testing.assert_allclose(y, pdf(x), rtol=1e-9)
        assert marks(ax) == pytest.approx({"p5": dist.p5, "p50": dist.p50, "p95": dist.p95})
        assert ax.get_title() == repr(dist)
        assert ax.get_ylabel() == "density"

    def test_uniform_shows_its_edges(self):
        ax = quillon.uniform(2.0, 4.0).plot()
        x, y = ax.lines[0].get_xdata(), ax.lines[0].get_ydata()
        assert x[0] == pytest.approx(1.9) and x[-1] == pytest.approx(4.1)
        assert set(np.round(y, 12)) == {0.0, 0.5}

    def test_empirical_draws_a_density_histogram_of_finite_samples(self):
        samples = [1.0, 2.0, 2.0, 3.0, 5.0, float("nan"), float("inf")] * 10
        ax = quillon.empirical(samples).plot()
        bars = ax.patches
        assert bars
        area = sum(bar.get_height() * bar.get_width() for bar in bars)
        assert area == pytest.approx(1.0)
        assert min(bar.get_x() for bar in bars) == pytest.approx(1.0)
        assert max(bar.get_x() + bar.get_width() for bar in bars) == pytest.approx(5.0)

    def test_point_masses(self):
        ax = quillon.deterministic(3.0).plot()
        stem = ax.collections[0]
        assert stem.get_segments()[0][:, 0].tolist() == [3.0, 3.0]
        assert ax.get_ylabel() == "probability"
        # A normal with zero spread draws one value: a point mass too.
        assert quillon.normal(2.0, 0.0).plot().collections[0].get_segments()[0][0, 0] == 2.0

    def test_draws_on_a_given_axes(self):
        figure, (left, right) = plt.subplots(1, 2)
        before = plt.get_fignums()
        assert quillon.normal(0, 1).plot(ax=right) is right
        assert quillon.normal(0, 1).plot(right) is right
        assert plt.get_fignums() == before and not left.lines

    def test_unsampleable_distribution_raises_before_drawing(self):
        before = plt.get_fignums()
        with pytest.raises(ValueError, match="low >= high"):
            quillon.uniform(3.0, 1.0).plot()
        assert plt.get_fignums() == before


class TestStatResultPlot:
    def test_one_panel_per_variable(self):
        stat = chain()
        figure = stat.plot()
        assert isinstance(figure, matplotlib.figure.Figure)
        assert [ax.get_title() for ax in figure.axes] == stat.keys()
        for ax in figure.axes:
            name = ax.get_title()
            assert ax.get_xlabel() == name
            assert marks(ax) == pytest.approx({"p5": stat[name].p5, "p50": stat[name].p50, "p95": stat[name].p95})
            low = min(bar.get_x() for bar in ax.patches)
            assert low == pytest.approx(np.nanmin(stat.samples(name)))

    def test_chosen_names_in_order(self):
        stat = chain()
        figure = stat.plot(["out", "x"])
        assert [ax.get_title() for ax in figure.axes] == ["out", "x"]
        with pytest.raises(ValueError, match="argument 'names': Variable 'nope' not found"):
            stat.plot(["x", "nope"])
        with pytest.raises(ValueError, match="argument 'names'"):
            stat.plot([])
        with pytest.raises(TypeError, match="argument 'names'"):
            stat.plot("x")

    def test_closed_form_results_draw_curves(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"]}, "Same", [("x", "x")], [("y", "y")])
        graph.set_dist_transfer("Same", lambda ins: {"y": ins["x"]})
        stat = graph.build().predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=100)
        figure = stat.plot(["y"])
        assert figure.axes[0].lines[0].get_ydata().max() == pytest.approx(1 / math.sqrt(2 * math.pi), rel=1e-3)


class TestJointPlots:
    def test_pair_plot_scatters_complete_pairs(self):
        stat = chain()
        joint = quillon.joint(stat)
        figure = joint.plot_pairs()
        k = len(joint.variables)
        axes = np.array(figure.axes).reshape(k, k)
        columns = stat.to_numpy()
        for i, row_name in enumerate(joint.variables):
            for j, col_name in enumerate(joint.variables):
                ax = axes[i, j]
                if i == j:
                    assert sum(bar.get_height() for bar in ax.patches) == len(stat.particles)
                else:
                    (points,) = [c for c in ax.collections if isinstance(c, PathCollection)]
                    offsets = points.get_offsets()
                    np.testing.assert_array_equal(offsets[:, 0], columns[col_name])
                    np.testing.assert_array_equal(offsets[:, 1], columns[row_name])
            assert axes[i, 0].get_ylabel() == row_name
            assert axes[k - 1, i].get_xlabel() == row_name

    def test_pair_plot_of_chosen_variables_with_failed_draws(self):
        def fragile(d):
            if d["x"] < 0:
                raise ValueError("negative")
            return {"f": d["x"] * 2}

        graph = quillon.Graph()
        graph.add(fragile, "Fragile", [("x", "x")], [("f", "f")])
        stat = graph.build().predict({"x": quillon.normal(0, 1)}, n_samples=300, seed=4)
        joint = quillon.joint(stat)
        figure = joint.plot_pairs(["f", "x"])
        assert len(figure.axes) == 4
        kept = np.isfinite(stat.to_numpy()["f"]).sum()
        assert sum(bar.get_height() for bar in figure.axes[0].patches) == kept
        (points,) = figure.axes[1].collections
        assert len(points.get_offsets()) == kept
        with pytest.raises(ValueError, match="argument 'variables': no variable 'q'"):
            joint.plot_pairs(["x", "q"])
        with pytest.raises(TypeError, match="argument 'variables'"):
            joint.plot_pairs("x")

    def test_many_particles_bin_into_hexagons(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"] * 3}, "Triple", [("x", "x")], [("y", "y")])
        stat = graph.build().predict({"x": quillon.normal(0, 1)}, n_samples=6000, seed=1)
        figure = quillon.joint(stat).plot_pairs()
        off_diagonal = figure.axes[1]
        assert not any(isinstance(c, PathCollection) for c in off_diagonal.collections)
        (cells,) = [c for c in off_diagonal.collections if isinstance(c, PolyCollection)]
        assert cells.get_array().sum() == 6000

    def test_joint_density_contours_with_scipy(self):
        pytest.importorskip("scipy")
        stat = chain()
        joint = quillon.joint(stat)
        ax = joint.plot_joint("x", "out")
        assert isinstance(ax, matplotlib.axes.Axes)
        assert (ax.get_xlabel(), ax.get_ylabel()) == ("x", "out")
        contours = [c for c in ax.get_children() if isinstance(c, ContourSet)]
        assert len(contours) == 2  # filled levels and their lines
        columns = stat.to_numpy()
        x_low, x_high = ax.get_xlim()
        assert x_low <= columns["x"].min() and x_high >= columns["x"].max()
        assert ax.get_title() == "joint density of x and out"
        figure, own = plt.subplots()
        assert joint.plot_joint("x", "y", ax=own) is own

    def test_points_on_a_line_fall_back_to_a_histogram(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"] * 2}, "Double", [("x", "x")], [("y", "y")])
        joint = quillon.joint(graph.build().predict({"x": quillon.normal(0, 1)}, n_samples=200, seed=1))
        ax = joint.plot_joint("x", "y")
        (mesh,) = [c for c in ax.collections if isinstance(c, QuadMesh)]
        assert np.nansum(mesh.get_array()) == 200
        with pytest.raises(ValueError, match="argument 'y': no variable 'nope'"):
            joint.plot_joint("x", "nope")


def run_without(modules, body):
    """Runs `body` in a fresh interpreter in which importing any of `modules`
    fails; returns its stdout."""
    script = "import sys\n" + "".join(f"sys.modules[{m!r}] = None\n" for m in modules) + textwrap.dedent(body)
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, MPLBACKEND="Agg"))
    assert done.returncode == 0, done.stderr
    return done.stdout


CHAIN = """
    import quillon
    graph = quillon.Graph()
    graph.add(lambda d: {"y": d["x"] ** 2}, "Square", [("x", "x")], [("y", "y")])
    stat = graph.build().predict({"x": quillon.normal(0.0, 1.0)}, n_samples=300, seed=1)
    joint = quillon.joint(stat)
"""


def test_without_scipy_the_joint_plot_is_a_2d_histogram():
    out = run_without(["scipy"], CHAIN + """
    from matplotlib.collections import QuadMesh
    ax = joint.plot_joint("x", "y")
    (mesh,) = [c for c in ax.collections if isinstance(c, QuadMesh)]
    print(int(mesh.get_array().sum()), ax.get_title(), ax.get_xlabel(), ax.get_ylabel())
    """)
    assert out.split() == ["300", "joint", "histogram", "of", "x", "and", "y", "x", "y"]


def test_without_matplotlib_plots_name_the_extra_and_the_rest_works():
    out = run_without(["matplotlib", "matplotlib.pyplot"], CHAIN + """
    calls = [lambda: stat.plot(), lambda: stat["x"].plot(), lambda: joint.plot_pairs(),
             lambda: joint.plot_joint("x", "y")]
    for call in calls:
        try:
            call()
        except ImportError as error:
            print(error)
    print(joint.correlation().shape)
    """)
    lines = out.splitlines()
    assert lines[:4] == ["plotting needs matplotlib: pip install 'quillon[plot]'"] * 4
    assert lines[4] == "(2, 2)"
