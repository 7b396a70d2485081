"""Vectorised nodes: called once per block of draws with numpy arrays, giving
exactly what the same functions give one draw at a time; blocks a node does
not take fall back to per-draw calls with one warning per node."""

import subprocess
import sys
import warnings

import pytest
from hypothesis import given, settings, strategies as st

import quillon

np = pytest.importorskip("numpy")

# Steps that work on a float and on a float64 array alike. numpy's +, -, *,
# / and sqrt round exactly like the scalar operations; its exp and log may
# differ from the C library's by an ulp or two (SIMD kernels), so those are
# compared with a relative tolerance instead.
EXACT_STEPS = {
    "affine": lambda v: v * 2.0 + 1.0,
    "square": lambda v: v * v - 0.5,
    "ratio": lambda v: v / (v * v + 1.0),
    "root": lambda v: np.sqrt(v * v + 2.0),
    "max": lambda v: np.maximum(v, 0.25),
}
ULP_STEPS = {
    "exp": lambda v: np.exp(v * 0.1),
    "log": lambda v: np.log(v * v + 1.0),
}


def chain(steps, vectorized, *, marked=None):
    """x -> v1 -> v2 ... each node one step; `marked` picks the vectorised ones."""
    graph = quillon.Graph()
    previous = "x"
    for i, step in enumerate(steps):
        out = f"v{i + 1}"
        graph.add(lambda d, f=step, src=previous, dst=out: {dst: f(d[src])}, f"S{i}",
                  [(previous, previous)], [(out, out)])
        if vectorized and (marked is None or i in marked):
            graph.set_vectorized(f"S{i}")
        previous = out
    return graph.build()


def samples(stat, names):
    """The draws of every name the result holds as an empirical distribution."""
    found = {}
    for name in names:
        try:
            draws = stat[name].samples
        except ValueError:  # no draw produced it (n_samples=0)
            continue
        if draws is not None:  # predict_at keeps its inputs as given
            found[name] = np.array(draws)
    return found


def assert_same(per_draw, vectorized, names, exact=True):
    assert per_draw.keys() == vectorized.keys()
    for name in per_draw:
        a, b = per_draw[name], vectorized[name]
        assert a.shape == b.shape, name
        if exact:
            np.testing.assert_array_equal(a, b, err_msg=name)
        else:
            np.testing.assert_allclose(a, b, rtol=1e-13, atol=0, err_msg=name)


@settings(max_examples=25, deadline=None)
@given(
    steps=st.lists(st.sampled_from(sorted(EXACT_STEPS) + sorted(ULP_STEPS)), min_size=1, max_size=4),
    n=st.integers(min_value=0, max_value=700),
    block=st.one_of(st.none(), st.integers(min_value=1, max_value=800)),
    seed=st.integers(min_value=0, max_value=2**64 - 1),
    marked=st.one_of(st.none(), st.sets(st.integers(min_value=0, max_value=3))),
)
def test_vectorised_graphs_give_the_per_draw_results(steps, n, block, seed, marked):
    functions = [EXACT_STEPS.get(s) or ULP_STEPS[s] for s in steps]
    exact = all(s in EXACT_STEPS for s in steps)
    names = ["x"] + [f"v{i + 1}" for i in range(len(steps))]
    inputs = {"x": quillon.normal(0.5, 1.5)}
    plain, vector = chain(functions, False), chain(functions, True, marked=marked)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # no block may be refused
        for method in ("predict_at", "predict"):
            expected = samples(getattr(plain, method)(inputs, n_samples=n, seed=seed), names)
            got = samples(getattr(vector, method)(inputs, n_samples=n, seed=seed, block_size=block), names)
            assert_same(expected, got, names, exact)


def test_blocks_follow_block_size_and_inputs_are_read_only_float64_columns():
    seen = []

    def node(d):
        x = d["x"]
        seen.append((type(x), x.dtype, x.ndim, len(x), x.flags.writeable))
        return {"y": x + 1.0}

    graph = quillon.Graph()
    graph.add(node, "N", [("x", "x")], [("y", "y")])
    graph.set_vectorized("N")
    dag = graph.build()
    for method in ("predict_at", "predict"):
        seen.clear()
        getattr(dag, method)({"x": quillon.uniform(0.0, 1.0)}, n_samples=1000, seed=3, block_size=300)
        assert [s[3] for s in seen] == [300, 300, 300, 100], method
        assert all(s[:3] == (np.ndarray, np.float64, 1) and s[4] is False for s in seen)
    seen.clear()
    dag.predict({"x": quillon.uniform(0.0, 1.0)}, n_samples=1000, seed=3)
    assert [s[3] for s in seen] == [1000]  # the default block holds everything here


def test_execute_calls_vectorised_nodes_with_plain_values():
    graph = quillon.Graph()
    graph.add(lambda d: {"y": type(d["x"]).__name__}, "N", [("x", "x")], [("y", "y")])
    graph.set_vectorized("N")
    graph.add(lambda d: {"x": 2.0}, "Src", None, [("x", "x")])
    assert graph.build().execute()["y"] == "float"


def test_scalar_outputs_hold_for_every_draw_and_other_dtypes_are_converted():
    graph = quillon.Graph()
    graph.add(lambda d: {"k": 7, "h": np.float32(0.5), "i": (d["x"] > 0).astype(np.int32),
                         "f": d["x"].astype(np.float32), "s": np.asarray(d["x"])[::1] * 1.0},
              "N", [("x", "x")], [("k", "k"), ("h", "h"), ("i", "i"), ("f", "f"), ("s", "s")])
    graph.set_vectorized("N")
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        stat = graph.build().predict({"x": quillon.normal(0.0, 1.0)}, n_samples=50, seed=1)
    columns = stat.to_numpy()
    assert (columns["k"] == 7.0).all() and (columns["h"] == 0.5).all()
    np.testing.assert_array_equal(columns["i"], (columns["x"] > 0).astype(float))
    np.testing.assert_array_equal(columns["f"], columns["x"].astype(np.float32).astype(float))
    np.testing.assert_array_equal(columns["s"], columns["x"])


REFUSED = {
    "raises": (lambda d: 1 / 0, "ZeroDivisionError"),
    "no dict": (lambda d: [d["x"]], "did not return a dict"),
    "wrong length": (lambda d: {"y": d["x"][:-1] if len(d["x"]) > 1 else d["x"] * 0.0 + 1.0}, "values for a block"),
    "strings": (lambda d: {"y": np.array(["a"] * len(d["x"]))}, "format"),
    "a list": (lambda d: {"y": list(d["x"])}, "list"),
    "two dimensions": (lambda d: {"y": np.stack([d["x"], d["x"]])}, "dimensions"),
    "bools": (lambda d: {"y": d["x"] > 0}, "format"),
}


@pytest.mark.parametrize("case", sorted(REFUSED))
def test_a_refused_block_is_evaluated_per_draw_with_one_warning(case):
    """The block call misbehaves, the per-draw calls (plain floats) succeed:
    the result is exactly that of the unmarked node."""
    refuse, reason = REFUSED[case]

    def node(d):
        x = d["x"]
        if isinstance(x, np.ndarray):
            return refuse(d)
        return {"y": x * 3.0}

    def build(vectorized):
        graph = quillon.Graph()
        graph.add(node, "Odd", [("x", "x")], [("y", "y")])
        graph.add(lambda d: {"z": d["y"] + 1.0}, "Next", [("y", "y")], [("z", "z")])
        if vectorized:
            graph.set_vectorized("Odd")
            graph.set_vectorized("Next")
        return graph.build()

    inputs = {"x": quillon.normal(0.0, 1.0)}
    for method in ("predict_at", "predict"):
        expected = getattr(build(False), method)(inputs, n_samples=600, seed=9)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            got = getattr(build(True), method)(inputs, n_samples=600, seed=9, block_size=200)
        messages = [str(w.message) for w in caught if issubclass(w.category, RuntimeWarning)]
        assert len(messages) == 1, (method, messages)
        assert "node 'Odd'" in messages[0] and reason in messages[0] and "200" in messages[0]
        for name in ("x", "y", "z"):
            assert got[name].samples == expected[name].samples, (method, name)


def test_failed_particles_keep_their_alignment_and_skip_the_block_call():
    """Per draw, Sqrt fails on negative x; its vectorised successor gets the
    particles that have y in one block call and nothing for the others."""
    import math
    lengths = []

    def sqrt(d):
        return {"y": math.sqrt(d["x"])}

    def twice(d):
        if isinstance(d["y"], np.ndarray):
            lengths.append(len(d["y"]))
        return {"z": d["y"] * 2.0}

    def build(vectorized):
        graph = quillon.Graph()
        graph.add(sqrt, "Sqrt", [("x", "x")], [("y", "y")])
        graph.add(twice, "Twice", [("y", "y")], [("z", "z")])
        if vectorized:
            graph.set_vectorized("Twice")
        return graph.build()

    inputs = {"x": quillon.normal(0.0, 1.0)}
    expected = build(False).predict(inputs, n_samples=400, seed=4)
    got = build(True).predict(inputs, n_samples=400, seed=4)
    assert got.particles == expected.particles
    columns = got.to_numpy()
    assert np.isnan(columns["z"][columns["x"] < 0]).all()
    assert lengths == [int((columns["x"] >= 0).sum())]


def test_block_size_errors_name_the_argument():
    graph = quillon.Graph()
    graph.add(lambda d: {"y": d["x"]}, "N", [("x", "x")], [("y", "y")])
    dag = graph.build()
    inputs = {"x": quillon.normal(0.0, 1.0)}
    for method in (dag.predict, dag.predict_at):
        with pytest.raises(ValueError, match="block_size"):
            method(inputs, n_samples=10, block_size=0)
        with pytest.raises(TypeError, match="block_size"):
            method(inputs, n_samples=10, block_size="big")
        with pytest.raises((ValueError, OverflowError), match="block_size"):
            method(inputs, n_samples=10, block_size=-1)
        with pytest.raises(TypeError):
            method(inputs, 10, None, block_size=5) if method is dag.predict else method(inputs, 10, None, None, None, 5)


def test_graph_set_vectorized_arguments():
    graph = quillon.Graph()
    with pytest.raises(TypeError, match="label"):
        graph.set_vectorized(3)
    with pytest.raises(TypeError, match="enabled"):
        graph.set_vectorized("N", enabled="yes")
    # Turning it off again gives per-draw calls.
    calls = []
    graph.add(lambda d: calls.append(type(d["x"])) or {"y": d["x"]}, "N", [("x", "x")], [("y", "y")])
    graph.set_vectorized("N")
    graph.set_vectorized("N", False)
    graph.build().predict({"x": quillon.normal(0.0, 1.0)}, n_samples=3, seed=1)
    assert calls == [float, float, float]


def test_branch_copies_take_blocks_when_their_subgraph_marks_them():
    sub = quillon.Graph()
    lengths = []
    sub.add(lambda d: lengths.append(np.size(d["y"])) or {"z": d["y"] + 1.0}, "B", [("y", "y")], [("z", "z")])
    sub.set_vectorized("B")
    graph = quillon.Graph()
    graph.add(lambda d: {"y": d["x"] * 2.0}, "A", [("x", "x")], [("y", "y")])
    graph.branch(sub)
    graph.build().predict({"x": quillon.normal(0.0, 1.0)}, n_samples=64, seed=2)
    assert lengths == [64, 64]  # the branch copy and the subgraph's own node, merged at build


def test_arrays_kept_by_a_node_stay_valid_after_the_run():
    kept = []

    def keep(d):
        kept.append(d["x"])
        return {"y": d["x"] + 0.0}

    graph = quillon.Graph()
    graph.add(lambda d: {"x": d["u"] * 1.0}, "Src", [("u", "u")], [("x", "x")])
    graph.add(keep, "Keep", [("x", "x")], [("y", "y")])
    graph.set_vectorized("Src")
    graph.set_vectorized("Keep")
    dag = graph.build()
    stat = dag.predict({"u": quillon.normal(0.0, 1.0)}, n_samples=5000, seed=8, block_size=1000)
    at = dag.predict_at({"u": quillon.normal(0.0, 1.0)}, n_samples=5000, seed=8, block_size=1000)
    del stat, at
    copies = [np.array(a) for a in kept]
    big = [np.ones(1 << 16) * 7.0 for _ in range(64)]  # reuse freed memory, if any was freed
    assert all(np.array_equal(a, c) for a, c in zip(kept, copies))
    assert len(big) == 64 and len(kept) == 10


def test_warnings_as_errors_and_interrupts_stop_the_run():
    def bad(d):
        raise ValueError("no arrays")

    graph = quillon.Graph()
    graph.add(lambda d: bad(d) if isinstance(d["x"], np.ndarray) else {"y": d["x"]}, "N", [("x", "x")], [("y", "y")])
    graph.set_vectorized("N")
    dag = graph.build()
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        with pytest.raises(RuntimeWarning, match="no arrays"):
            dag.predict({"x": quillon.normal(0.0, 1.0)}, n_samples=10, seed=1)

    def interrupt(d):
        raise KeyboardInterrupt

    graph = quillon.Graph()
    graph.add(interrupt, "N", [("x", "x")], [("y", "y")])
    graph.set_vectorized("N")
    dag = graph.build()
    for method in (dag.predict, dag.predict_at):
        with pytest.raises(KeyboardInterrupt):
            method({"x": quillon.normal(0.0, 1.0)}, n_samples=10, seed=1)


def test_without_numpy_blocks_fall_back_to_per_draw_calls():
    script = """
import sys, warnings
sys.modules["numpy"] = None
import quillon
graph = quillon.Graph()
graph.add(lambda d: {"y": d["x"] + 1.0}, "N", [("x", "x")], [("y", "y")])
graph.set_vectorized("N")
with warnings.catch_warnings(record=True) as caught:
    warnings.simplefilter("always")
    stat = graph.build().predict({"x": quillon.normal(0.0, 1.0)}, n_samples=20, seed=1)
print(len(stat["y"].samples), [str(w.message) for w in caught])
"""
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True).stdout
    assert out.startswith("20 ") and "pip install numpy" in out


def test_outputs_the_node_still_holds_are_copied_not_shared():
    """An array that only the returned dict holds is taken over without a
    copy; one the function keeps (or a dict it keeps) may change later and
    must not change the result."""
    kept_arrays, kept_dicts = [], []

    def keeps_array(d):
        out = d["x"] * 2.0
        kept_arrays.append(out)
        return {"y": out}

    def keeps_dict(d):
        result = {"z": d["y"] + 1.0}
        kept_dicts.append(result)
        return result

    def fresh(d):
        return {"w": d["z"] * 3.0}

    graph = quillon.Graph()
    graph.add(keeps_array, "A", [("x", "x")], [("y", "y")])
    graph.add(keeps_dict, "B", [("y", "y")], [("z", "z")])
    graph.add(fresh, "C", [("z", "z")], [("w", "w")])
    for label in "ABC":
        graph.set_vectorized(label)
    dag = graph.build()
    for method in ("predict", "predict_at"):
        kept_arrays.clear()
        kept_dicts.clear()
        stat = getattr(dag, method)({"x": quillon.normal(0.0, 1.0)}, n_samples=2000, seed=6)
        before = {name: list(stat[name].samples) for name in ("y", "z", "w")}
        for array in kept_arrays:
            array[:] = -1.0
        for result in kept_dicts:
            result["z"][:] = -1.0
        after = {name: list(stat[name].samples) for name in ("y", "z", "w")}
        assert after == before, method
        assert -1.0 not in before["y"] and -1.0 not in before["z"]
