"""Distributions from Python: the seven constructors, the Distribution
class, and the module surface they add."""

import array
import ast
import inspect
import math
import pathlib

import pytest
from hypothesis import given
from hypothesis import strategies as st

import quillon

FUNCTIONS = ["normal", "uniform", "beta", "gamma", "lognormal", "deterministic", "empirical"]


class TestModuleSurface:
    def test_all_names_in_registration_order(self):
        assert quillon.__all__ == ["MemoryCache", "Graph", "Dag", "Distribution", "StatResult", *FUNCTIONS, "GraphWarning",
                                   "__version__", "DiskCache", "CacheWarning", "joint",
                                   "JointDistribution", "explain", "Explanation"]
        assert quillon.Distribution.__name__ == "Distribution"
        assert quillon.StatResult.__name__ == "StatResult"
        assert quillon.StatResult.__doc__ == (
            "Result of `Dag.predict()`.  Dict-like access returns `Distribution` objects."
        )
        assert quillon.Distribution.__doc__  # free wording, but present

    @pytest.mark.parametrize("cls", [quillon.Distribution, quillon.StatResult])
    def test_no_constructor(self, cls):
        with pytest.raises(TypeError, match="^No constructor defined$"):
            cls()

    def test_function_docstrings_and_signatures(self):
        docs = {
            "normal": ("(mean, std)", "Create a Normal (Gaussian) distribution: N(mean, std)."),
            "uniform": ("(low, high)", "Create a Uniform distribution: U(low, high)."),
            "beta": ("(alpha, beta)", "Create a Beta distribution: Beta(α, β).  Support [0, 1]."),
            "gamma": ("(shape, rate)", "Create a Gamma distribution: Γ(shape, rate).  Mean = shape / rate."),
            "lognormal": (
                "(mu, sigma)",
                "Create a Log-Normal distribution.  `mu` and `sigma` are the underlying Normal parameters.",
            ),
            "deterministic": ("(value)", "Create a Deterministic point mass at `value`."),
            "empirical": ("(samples)", "Create an Empirical distribution from a list of float samples."),
        }
        for name, (signature, doc) in docs.items():
            function = getattr(quillon, name)
            assert str(inspect.signature(function)) == signature
            assert function.__doc__ == doc
            assert function.__module__ == "quillon"

    def test_member_docstrings_and_signatures(self):
        d = quillon.Distribution
        assert {name: getattr(d, name).__doc__ for name in ("mean", "std", "variance", "p5", "p50", "p95")} == {
            "mean": "E[X]", "std": "Standard deviation", "variance": "Variance",
            "p5": "5th percentile", "p50": "Median", "p95": "95th percentile",
        }
        assert d.samples.__doc__ == "Raw samples (only non-None for Empirical distributions)."
        assert d.percentile.__doc__ == "Compute an arbitrary percentile (0.0 – 1.0)."
        assert d.sample_n.__doc__.startswith("Draw `n` samples from this distribution.\n\nKeyword-only:\n    seed")
        assert d.summary.__doc__ == "One-line summary string."
        assert str(inspect.signature(d.percentile)) == "(self, /, p)"
        assert str(inspect.signature(d.sample_n)) == "(self, /, n)"
        assert str(inspect.signature(d.summary)) == "(self, /)"

    def test_type_stub_covers_the_module(self):
        stub = pathlib.Path(__file__).parents[2] / "src" / "python_bindings" / "quillon.pyi"
        tree = ast.parse(stub.read_text(encoding="utf-8"))
        defined = {n.name: n for n in tree.body if isinstance(n, (ast.ClassDef, ast.FunctionDef))}
        annotated = {n.target.id for n in tree.body if isinstance(n, ast.AnnAssign)}
        assert list(defined) == [name for name in quillon.__all__ if name != "__version__"]
        assert {"__all__", "__version__"} <= annotated
        for name, node in defined.items():
            if isinstance(node, ast.ClassDef):
                stubbed = {m.name for m in node.body if isinstance(m, ast.FunctionDef) and not m.name.startswith("__")}
                public = {m for m in vars(getattr(quillon, name)) if not m.startswith("__")}
                assert stubbed == public, name

    def test_properties_are_read_only(self):
        with pytest.raises(AttributeError):
            quillon.normal(0, 1).mean = 3.0


class TestParametric:
    def test_text_forms_and_moments(self):
        cases = [
            (quillon.normal(0, 1), "Normal(μ=0, σ=1)", 0.0, 1.0),
            (quillon.normal(1, -2), "Normal(μ=1, σ=-2)", 1.0, 4.0),
            (quillon.uniform(0, 1), "Uniform(0, 1)", 0.5, 1 / 12),
            (quillon.gamma(2, 0.5), "Gamma(k=2, λ=0.5)", 4.0, 8.0),
            (quillon.beta(2, 3), "Beta(α=2, β=3)", 0.4, 6 / (6 * 25)),
            (quillon.lognormal(0, 1), "LogNormal(μ=0, σ=1)", math.exp(0.5), math.expm1(1) * math.e),
            (quillon.deterministic(4), "Deterministic(4)", 4.0, 0.0),
            (quillon.deterministic(0.1), "Deterministic(0.1)", 0.1, 0.0),
        ]
        for dist, text, mean, variance in cases:
            assert repr(dist) == text
            assert dist.mean == pytest.approx(mean, rel=1e-15)
            assert dist.variance == pytest.approx(variance, rel=1e-15)
            assert dist.std == pytest.approx(math.sqrt(variance), rel=1e-15)
            assert dist.samples is None

    def test_arguments_convert_as_floats(self):
        class Half:
            def __float__(self):
                return 0.5

        class Three:
            def __index__(self):
                return 3

        assert repr(quillon.normal(True, 2)) == "Normal(μ=1, σ=2)"
        assert repr(quillon.uniform(Half(), Three())) == "Uniform(0.5, 3)"
        assert repr(quillon.deterministic(value=2**70)) == "Deterministic(1180591620717411300000)"
        with pytest.raises(TypeError, match="^argument 'std': must be real number, not str$"):
            quillon.normal(0, "1")
        with pytest.raises(OverflowError):
            quillon.deterministic(10**400)
        with pytest.raises(TypeError, match=r"missing 1 required positional argument: 'rate'"):
            quillon.gamma(1)

    def test_odd_parameters_are_stored_and_fall_back_when_sampled(self):
        assert quillon.gamma(0, 1).sample_n(3) == [0.0, 0.0, 0.0]
        assert quillon.gamma(2, -1).sample_n(2) == [-2.0, -2.0]
        assert quillon.beta(0, 1).sample_n(2) == [0.0, 0.0]
        assert quillon.normal(0, math.inf).sample_n(2) == [0.0, 0.0]
        lognormal = quillon.lognormal(0, math.inf)
        assert lognormal.sample_n(2) == [1.0, 1.0] and lognormal.mean == math.inf
        assert repr(quillon.normal(math.nan, -math.inf)) == "Normal(μ=NaN, σ=-inf)"

    def test_unsampleable_uniform(self):
        bad = quillon.uniform(2.0, 1.0)
        assert bad.mean == 1.5 and repr(bad) == "Uniform(2, 1)"
        for read in (lambda: bad.p50, lambda: bad.sample_n(1), lambda: bad.percentile(0.3), bad.summary):
            with pytest.raises(ValueError, match=r"^Uniform::new called with `low >= high`$"):
                read()
        equal = quillon.uniform(1, 1)
        assert equal.mean == 1 and equal.variance == 0
        with pytest.raises(ValueError, match=r"^Uniform::new called with `low >= high`$"):
            equal.sample_n(1)
        with pytest.raises(ValueError, match=r"^Uniform::new: range overflow$"):
            quillon.uniform(-math.inf, 0).sample_n(1)
        assert bad.mean == 1.5  # still usable

    def test_deterministic_reads(self):
        d = quillon.deterministic(4)
        assert d.percentile(math.nan) == 4.0 and d.p5 == d.p50 == d.p95 == 4.0
        assert d.summary() == "mean=4.0000  std=0.0000  [p5=4.0000, p50=4.0000, p95=4.0000]"
        assert quillon.deterministic(3).sample_n(2) == [3.0, 3.0]

    def test_sampling_statistics(self):
        """Draws match the distribution within six standard errors."""
        n = 20_000
        for dist in (quillon.normal(5, 2), quillon.uniform(-1, 3), quillon.gamma(3, 2), quillon.beta(2, 5)):
            draws = dist.sample_n(n)
            assert len(draws) == n and all(isinstance(x, float) for x in draws)
            mean = sum(draws) / n
            assert abs(mean - dist.mean) < 6 * dist.std / math.sqrt(n)
        normal = quillon.normal(5, 2)
        # Percentiles of a parametric kind are exact quantiles.
        assert normal.p5 == pytest.approx(5 - 1.6449 * 2, abs=1e-4)
        assert normal.p50 == 5.0
        assert normal.p95 == pytest.approx(5 + 1.6449 * 2, abs=1e-4)
        assert quillon.uniform(0, 1).sample_n(0) == []

    def test_sample_n_count_rules(self):
        normal = quillon.normal(0, 1)
        with pytest.raises(OverflowError, match="can't convert negative int to unsigned"):
            normal.sample_n(-1)
        with pytest.raises(TypeError, match="^argument 'n': 'NoneType' object cannot be interpreted as an integer"):
            normal.sample_n(None)
        with pytest.raises(TypeError, match="^argument 'n': 'float' object cannot be interpreted as an integer"):
            normal.sample_n(2.0)
        assert len(normal.sample_n(n=3)) == 3
        with pytest.raises(TypeError, match="^argument 'p': must be real number, not NoneType$"):
            normal.percentile(None)


class TestEmpirical:
    def test_percentiles_and_moments(self):
        e = quillon.empirical([3, 1, 2])
        assert repr(e) == "Empirical(n=3, μ≈2.0000)"
        assert e.samples == [3.0, 1.0, 2.0]  # stored order, not sorted
        assert e.mean == 2.0 and e.variance == 1.0
        assert [e.percentile(p) for p in (0.5, -1, 7, math.nan, 0.25)] == [2.0, 1.0, 3.0, 1.0, 2.0]
        assert e.summary() == "mean=2.0000  std=1.0000  [p5=1.0000, p50=2.0000, p95=3.0000]"
        single = quillon.empirical([5])
        assert single.variance == 0 and single.p5 == single.p95 == 5.0

    def test_empty(self):
        e = quillon.empirical([])
        assert e.samples == [] and repr(e) == "Empirical(n=0, μ≈NaN)"
        assert math.isnan(e.mean) and math.isnan(e.p5) and e.variance == 0
        assert e.sample_n(3) == [0.0, 0.0, 0.0]

    def test_sequence_kinds(self):
        numpy = pytest.importorskip("numpy")
        assert quillon.empirical((1.5, 2)).samples == [1.5, 2.0]
        assert quillon.empirical(range(3)).samples == [0.0, 1.0, 2.0]
        assert quillon.empirical(b"ab").samples == [97.0, 98.0]
        assert quillon.empirical(array.array("i", [4, -1])).samples == [4.0, -1.0]
        assert quillon.empirical(numpy.array([0.25, 1e300])).samples == [0.25, 1e300]
        # A one-element array also converts as one number; it is still a sequence here.
        assert quillon.empirical(numpy.array([7.0])).samples == [7.0]

    def test_refused_inputs(self):
        with pytest.raises(TypeError, match=r"^argument 'samples': Can't extract `str` to `Vec`$"):
            quillon.empirical("123")
        with pytest.raises(TypeError, match=r"^argument 'samples': must be real number, not str$"):
            quillon.empirical([1.0, "2"])
        with pytest.raises(TypeError, match=r"^argument 'samples': expected a sequence of float, got int$"):
            quillon.empirical(3)
        with pytest.raises(TypeError, match=r"^argument 'samples': expected a sequence of float, got set$"):
            quillon.empirical({1.0})

    def test_copies_share_samples(self):
        source = [1.0, 2.0]
        e = quillon.empirical(source)
        source.append(3.0)  # the distribution took a copy
        assert e.samples == [1.0, 2.0]
        assert e.samples is not e.samples  # every read is a new list

    @given(st.lists(st.floats(allow_nan=False, allow_infinity=False, width=32), max_size=50))
    def test_samples_round_trip(self, values):
        e = quillon.empirical(values)
        assert e.samples == values
        assert e.sample_n(len(values)) == [] or set(e.sample_n(20)) <= set(values)
        if values:
            assert e.percentile(0) == min(values) and e.percentile(1) == max(values)


class TestClosedFormPercentiles:
    """normal, uniform, beta, gamma and lognormal read their quantile function:
    exact, identical on every read, the support's bounds at 0 and 1."""

    Z95 = 1.6448536269514729  # standard normal 95th percentile

    def test_known_values(self):
        z = quillon.normal(0, 1)
        assert z.p5 == pytest.approx(-self.Z95, rel=1e-15, abs=0)
        assert z.p95 == pytest.approx(self.Z95, rel=1e-15, abs=0) and z.p50 == 0.0
        assert quillon.normal(5, 2).p5 == pytest.approx(5 - 2 * self.Z95, rel=1e-15, abs=0)
        assert quillon.normal(1, -2).p95 == quillon.normal(1, 2).p95  # draws like |std|
        assert [quillon.uniform(2, 6).percentile(p) for p in (0.25, 0.5, 0.75)] == [3.0, 4.0, 5.0]
        assert quillon.beta(2, 2).p50 == pytest.approx(0.5, rel=1e-15)
        # Beta(3, 1) has quantile p^(1/3); Gamma(1, rate) is exponential,
        # -log(1 - p) / rate; Gamma(2, 1) solves 1 - e^-x (1 + x) = p.
        assert quillon.beta(3, 1).p5 == pytest.approx(0.05 ** (1 / 3), rel=1e-14)
        assert quillon.gamma(1, 2).p50 == pytest.approx(math.log(2) / 2, rel=1e-14)
        assert quillon.gamma(1, 0.5).p95 == pytest.approx(-2 * math.log(0.05), rel=1e-14)
        for p in (0.05, 0.5, 0.95):
            x = quillon.gamma(2, 1).percentile(p)
            assert 1 - math.exp(-x) * (1 + x) == pytest.approx(p, abs=1e-15)
            assert quillon.gamma(2, 4).percentile(p) == pytest.approx(x / 4, rel=1e-15)  # rate, not scale
        # LogNormal: mu and sigma are those of the log.
        assert quillon.lognormal(0.5, 2).p50 == pytest.approx(math.exp(0.5), rel=1e-15)
        assert quillon.lognormal(1, 0.5).p5 == pytest.approx(math.exp(1 - 0.5 * self.Z95), rel=1e-14)

    def test_reads_repeat_and_summaries_agree(self, capfd):
        for d in (quillon.normal(0, 1), quillon.uniform(0, 3), quillon.beta(2, 5), quillon.gamma(0.3, 2),
                  quillon.lognormal(0, 1)):
            reads = {(d.p5, d.p50, d.p95, d.percentile(0.3)) for _ in range(50)}
            assert len(reads) == 1, repr(d)
            p5, p50, p95, _ = reads.pop()
            assert p5 < p50 < p95
            assert len({d.summary() for _ in range(20)}) == 1
        assert quillon.normal(0, 1).summary() == "mean=0.0000  std=1.0000  [p5=-1.6449, p50=0.0000, p95=1.6449]"
        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"]}, "Copy", [("x", "x")], [("y", "y")])
        stat = graph.build().predict_at({"x": quillon.uniform(0, 1)}, n_samples=10)
        stat.print_summary()
        first = capfd.readouterr().out.splitlines()[0]
        assert first == "  x: mean=0.5000  std=0.2887  [p5=0.0500, p50=0.5000, p95=0.9500]"

    def test_bounds_clamping_and_nan(self):
        inf = math.inf
        for d, low, high in ((quillon.normal(3, 2), -inf, inf), (quillon.uniform(-2, 5), -2.0, 5.0),
                             (quillon.beta(0.2, 0.3), 0.0, 1.0), (quillon.gamma(0.5, 3), 0.0, inf),
                             (quillon.lognormal(-1, 3), 0.0, inf)):
            assert [d.percentile(p) for p in (0, -1, -inf, math.nan)] == [low] * 4, repr(d)
            assert [d.percentile(p) for p in (1, 2, inf)] == [high] * 3, repr(d)
            assert low <= d.percentile(1e-300) <= d.percentile(math.nextafter(1.0, 0.0)) <= high, repr(d)

    def test_invalid_parameters_keep_their_fallback_constant(self):
        for p in (0.0, 0.05, 0.5, 1.0, math.nan):
            assert quillon.normal(1, math.inf).percentile(p) == 1.0
            assert quillon.beta(0, 1).percentile(p) == 0.0
            assert quillon.gamma(2, -1).percentile(p) == -2.0
            assert quillon.lognormal(0, math.inf).percentile(p) == 1.0
        # Outside the quantile functions' domain: NaN, never an exception.
        assert math.isnan(quillon.beta(math.inf, 2).p50) and math.isnan(quillon.gamma(math.inf, 1).p50)
        with pytest.raises(ValueError, match="low >= high"):
            quillon.uniform(1, 1).percentile(0)
