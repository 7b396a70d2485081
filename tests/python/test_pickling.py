"""Pickling of Dag, Distribution and StatResult, and the refusal of Graph."""

from __future__ import annotations

import math
import os
import pickle
import struct
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings, strategies as st

import quillon

PROTOCOLS = range(2, pickle.HIGHEST_PROTOCOL + 1)
HERE = os.path.dirname(os.path.abspath(__file__))


# Module-level callables travel by reference.
def source(d):
    return {"x": 3.0}


def double(d):
    return {"y": d["x"] * 2.0}


def plus_one(d):
    return {"z": d["y"] + 1.0}


def scale_transfer(dists):
    x = dists["x"]
    return {"y": quillon.normal(2.0 * x.mean, 2.0 * x.std)}


def dist_state(dist):
    """What a distribution is: its text and its exact samples."""
    samples = dist.samples
    return repr(dist), None if samples is None else struct.pack(f"<{len(samples)}d", *samples)


def stat_state(result):
    """What a result is: each variable's distribution and the exact particles."""
    particles = result.particles
    return (
        {k: dist_state(result[k]) for k in result.keys()},
        None if particles is None else [sorted((k, struct.pack("<d", v)) for k, v in p.items()) for p in particles],
    )


def chain_graph(cache_backend=None):
    graph = quillon.Graph(cache_backend)
    graph.add(source, label="Source", outputs={"x": "x"})
    graph.add(double, label="Scale", inputs={"x": "x"}, outputs={"y": "y"})
    graph.add(plus_one, label="Plus", inputs={"y": "y"}, outputs={"z": "z"})
    return graph


def rich_dag(cache_backend=None):
    """Labels, variants, a branch, versions, key inputs, transfers and vectorised nodes."""
    graph = chain_graph(cache_backend)
    sub = quillon.Graph()
    sub.add(plus_one, label="BranchPlus", inputs={"y": "y"}, outputs={"z": "w"})
    graph.branch(sub)
    graph.variants([double, plus_one], label="Var", inputs={"x": "x", "y": "y"}, outputs={"y": "v", "z": "u"})
    graph.add(None, label="Nothing")
    graph.set_cache_version("Scale", "v2")
    graph.set_cacheable("Plus", False)
    graph.set_cache_key_inputs("Scale", ["x"])
    graph.set_dist_transfer("Scale", scale_transfer)
    graph.set_vectorized("Plus", True)
    graph.set_content_keys(True)
    return graph.build()


def assert_same_dag(a, b):
    assert b.to_mermaid() == a.to_mermaid()
    assert b.node_count() == a.node_count()
    assert b.node_labels() == a.node_labels()
    assert b.branch_ids() == a.branch_ids()
    assert b.variant_indices() == a.variant_indices()
    ra, rb = a.execute(detailed=True), b.execute(detailed=True)
    assert rb["context"] == ra["context"]
    assert {i: s["cache_key"] for i, s in rb["node_cache"].items()} == {
        i: s["cache_key"] for i, s in ra["node_cache"].items()
    }


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_dag_round_trip_keeps_structure_results_and_cache_keys(protocol):
    dag = rich_dag()
    back = pickle.loads(pickle.dumps(dag, protocol))
    assert type(back) is quillon.Dag
    assert_same_dag(dag, back)
    # The transfer travelled: predict_at uses it the same way.
    inputs = {"x": quillon.normal(1.0, 0.5)}
    assert back.predict_at(inputs, n_samples=200, seed=4)["y"].mean == dag.predict_at(inputs, n_samples=200, seed=4)["y"].mean
    # Particle propagation through the vectorised node gives the same draws.
    assert stat_state(back.predict(inputs, n_samples=64, seed=9)) == stat_state(dag.predict(inputs, n_samples=64, seed=9))


def test_dag_with_lambdas_and_closures_runs_in_another_process(tmp_path):
    offset = 10.0
    graph = quillon.Graph()
    graph.add(lambda d: {"x": 2.0}, label="L", outputs={"x": "x"})
    graph.add(lambda d: {"y": d["x"] + offset}, label="Closure", inputs={"x": "x"}, outputs={"y": "y"})
    path = tmp_path / "dag.pickle"
    path.write_bytes(pickle.dumps(graph.build()))
    code = f"import pickle; print(pickle.loads(open({str(path)!r}, 'rb').read()).execute()['y'])"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == "12.0"


def test_shared_callable_travels_once_and_is_shared_again():
    graph = quillon.Graph()
    for i in range(3):
        graph.add(lambda d: {"a": 1.0}, label=f"N{i}", outputs={"a": f"a{i}"})
    graph.add(double, label="D1")
    graph.add(double, label="D2")
    state = pickle.dumps(graph.build())
    assert state.count(b"double") == 1  # one by-reference pickle for the two nodes of `double`


UNPICKLABLE_SCRIPT = textwrap.dedent(
    """
    import pickle, sys
    sys.modules["cloudpickle"] = None  # cloudpickle cannot be imported
    import quillon
    graph = quillon.Graph()
    graph.add(lambda d: {"x": 1.0}, label="Anon", outputs={"x": "x"})
    try:
        pickle.dumps(graph.build())
    except TypeError as error:
        print(error)
    """
)


def test_unpicklable_callable_raises_type_error_naming_label_and_id():
    out = subprocess.run([sys.executable, "-c", UNPICKLABLE_SCRIPT], capture_output=True, text=True, timeout=120,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert "node 'Anon' (id 0)" in out.stdout
    assert "cloudpickle" in out.stdout


class Refuses:
    def __call__(self, d):
        return {}

    def __reduce__(self):
        raise RuntimeError("no way")


def test_callable_whose_reduce_raises_names_node_and_keeps_cause():
    graph = quillon.Graph()
    graph.add(source, label="Fine", outputs={"x": "x"})
    graph.add(Refuses(), label="Bad", inputs={"x": "x"})
    dag = graph.build()
    with pytest.raises(TypeError, match=r"function of node 'Bad' \(id 1\)") as info:
        pickle.dumps(dag)
    assert isinstance(info.value.__cause__, Exception)
    graph = quillon.Graph()
    graph.add(Refuses())
    with pytest.raises(TypeError, match=r"node <unlabelled> \(id 0\)"):
        pickle.dumps(graph.build())
    graph = quillon.Graph()
    graph.add(double, label="T", inputs={"x": "x"}, outputs={"y": "y"})
    graph.set_dist_transfer("T", Refuses())
    with pytest.raises(TypeError, match=r"dist transfer of node 'T' \(id 0\)"):
        pickle.dumps(graph.build())


def test_dag_whose_callable_refers_to_itself_is_refused():
    box = {}
    graph = quillon.Graph()
    graph.add(lambda d: {"n": float(box["dag"].node_count())}, label="Self", outputs={"n": "n"})
    box["dag"] = dag = graph.build()
    with pytest.raises(TypeError, match=r"node 'Self' \(id 0\).*refer to the Dag itself"):
        pickle.dumps(dag)
    assert dag.execute() == {"n": 1.0}  # still usable


def test_memory_cache_travels_as_settings_with_empty_contents():
    cache = quillon.MemoryCache(max_entries=7, ttl_seconds=30, namespace="team")
    graph = chain_graph(cache)
    graph.set_cache_version("Scale", "1")
    dag = graph.build()
    dag.execute()
    assert cache.stats()["entries"] == 1
    back = pickle.loads(pickle.dumps(dag))
    assert back.cache_stats()["entries"] == 0
    assert back.cache_stats()["max_entries"] == 7
    report = back.execute(detailed=True)
    assert report["cache_stats"]["hits"] == 0
    assert back.execute(detailed=True)["cache_stats"]["hits"] == 1  # its own private cache
    assert cache.stats()["entries"] == 1  # the original is untouched
    # The namespace travelled: the key is the one the original's runs use.
    assert report["node_cache"][1]["cache_key"] == dag.execute(detailed=True)["node_cache"][1]["cache_key"]
    back.clear_cache_namespace("team")
    assert back.execute(detailed=True)["cache_stats"]["hits"] == 0
    # The graph's own configured cache travels too.
    graph = chain_graph()
    graph.configure_memory_cache(max_entries=3)
    assert pickle.loads(pickle.dumps(graph.build())).cache_stats()["max_entries"] == 3


DISK_CHILD = textwrap.dedent(
    """
    import pickle, sys
    dag = pickle.loads(open(sys.argv[1], "rb").read())
    report = dag.execute(detailed=True)
    print(report["cache_stats"]["hits"], report["context"]["z"])
    """
)


def test_disk_cache_reopens_the_same_path_in_a_child_process(tmp_path):
    cache = quillon.DiskCache(tmp_path / "store", namespace="shared")
    graph = chain_graph(cache)
    for label in ("Source", "Scale", "Plus"):
        graph.set_cache_version(label, "1")
    dag = graph.build()
    dag.execute()
    cache.close()
    path = tmp_path / "dag.pickle"
    path.write_bytes(pickle.dumps(dag))
    out = subprocess.run([sys.executable, "-c", DISK_CHILD, str(path)], capture_output=True, text=True, timeout=120,
                         env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["3", "7.0"]


def test_graph_refuses_to_pickle_with_a_clear_message():
    with pytest.raises(TypeError, match="builder"):
        pickle.dumps(chain_graph())


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_distributions_round_trip_exactly(protocol):
    nan_with_payload = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0]
    for dist in (
        quillon.normal(0.1, 2.0),
        quillon.uniform(-1.0, 1e-300),
        quillon.beta(0.5, 3.0),
        quillon.gamma(2.0, 0.25),
        quillon.lognormal(0.0, float("inf")),
        quillon.deterministic(float("nan")),
        quillon.empirical([]),
        quillon.empirical([1.0, nan_with_payload, -0.0, math.inf]),
    ):
        back = pickle.loads(pickle.dumps(dist, protocol))
        assert type(back) is quillon.Distribution
        assert dist_state(back) == dist_state(dist)
        assert back == dist and hash(back) == hash(dist)


@settings(deadline=None)
@given(st.lists(st.floats(allow_nan=True, allow_infinity=True), max_size=50))
def test_empirical_samples_keep_their_bits(samples):
    back = pickle.loads(pickle.dumps(quillon.empirical(samples)))
    assert struct.pack(f"<{len(samples)}d", *back.samples) == struct.pack(f"<{len(samples)}d", *samples)


@pytest.mark.parametrize("protocol", PROTOCOLS)
def test_stat_results_round_trip(protocol):
    dag = rich_dag()
    inputs = {"x": quillon.normal(1.0, 0.5)}
    for result in (dag.predict_at(inputs, n_samples=100, seed=1), dag.predict(inputs, n_samples=50, seed=2)):
        back = pickle.loads(pickle.dumps(result, protocol))
        assert type(back) is quillon.StatResult
        assert stat_state(back) == stat_state(result)
        assert back == result
        for branch in dag.branch_ids():
            assert {k: dist_state(v) for k, v in back.for_branch(branch).items()} == {
                k: dist_state(v) for k, v in result.for_branch(branch).items()
            }
        for variant in dag.variant_indices():
            assert {k: dist_state(v) for k, v in back.for_variant(variant).items()} == {
                k: dist_state(v) for k, v in result.for_variant(variant).items()
            }


def test_particles_with_missing_values_keep_their_alignment():
    def sometimes(d):
        return {"y": d["x"]} if d["x"] > 0 else {}

    graph = quillon.Graph()
    graph.add(sometimes, label="S", inputs={"x": "x"}, outputs={"y": "y"})
    result = graph.build().predict({"x": quillon.normal(0.0, 1.0)}, n_samples=37, seed=5)
    assert any("y" not in p for p in result.particles)
    back = pickle.loads(pickle.dumps(result))
    assert back.particles == result.particles
    assert back == result


def test_shared_sample_vectors_travel_once():
    n = 20000
    big = chain_graph().build().predict({"x": quillon.normal(0.0, 1.0)}, n_samples=n, seed=5)
    # x, y and z each appear in vars, by node and as a particle column; held once each.
    assert len(pickle.dumps(big)) < 4 * 8 * n


def restore(name, state):
    return getattr(quillon, name)(state)


GOOD_DIST = (1, 1, struct.pack("<2d", 0.0, 1.0), None)


@pytest.mark.parametrize(
    "state, error",
    [
        (None, TypeError),
        ((), TypeError),
        ((2, 1, b"\0" * 16, None), ValueError),
        ((1, 1, b"\0" * 16), ValueError),
        ((1, 9, b"\0" * 16, None), ValueError),
        ((1, -1, b"\0" * 16, None), ValueError),
        ((1, 1, b"\0" * 15, None), ValueError),
        ((1, 1, [0.0, 1.0], None), TypeError),
        ((1, 6, b"\0" * 16, None), ValueError),
        ((1, 6, b"\0" * 16, b"\0" * 9), ValueError),
        ((1, 1, b"\0" * 16, b"\0" * 8), ValueError),
    ],
)
def test_crafted_distribution_states_raise(state, error):
    with pytest.raises(error, match="Distribution state"):
        restore("_restore_distribution", state)


def particle_state(size, columns, samples):
    return (1, tuple(samples), (), (), (), (), (size, tuple(columns)))


@pytest.mark.parametrize(
    "state, error",
    [
        ((1, (), ((("a", 1, b"\0" * 16, 0),)), (), (), (), None), ValueError),  # sample index out of range
        ((1, (), ((("a", 6, b"\0" * 16, -1),)), (), (), (), None), ValueError),  # Empirical without samples
        ((1, (), (("a", 1, b"\0" * 16, -1), ("a", 1, b"\0" * 16, -1)), (), (), (), None), ValueError),
        ((1, (), (), ((1, ()), (1, ())), (), (), None), ValueError),
        ((1, (), (), (("1", ()),), (), (), None), TypeError),
        (particle_state(3, [("c", 0, None)], [b"\0" * 16]), ValueError),  # two values for three particles
        (particle_state(2, [("c", 0, b"\x07")], [b"\0" * 16]), ValueError),  # mask past the end
        (particle_state(9, [("c", 0, b"\x01")], [b"\0" * 72]), ValueError),  # mask too short
        (particle_state(2, [("c", 0, None), ("c", 0, None)], [b"\0" * 16]), ValueError),
        (particle_state(2, [("c", -1, None)], []), ValueError),
        ((1, (), (), (), (), ()), ValueError),
    ],
)
def test_crafted_stat_result_states_raise(state, error):
    with pytest.raises(error, match="StatResult state"):
        restore("_restore_stat_result", state)


def test_valid_crafted_particles_restore():
    mask = bytes([0b101])
    result = restore("_restore_stat_result", particle_state(3, [("c", 0, mask)], [struct.pack("<3d", 1.0, 2.0, 3.0)]))
    assert result.particles == [{"c": 1.0}, {}, {"c": 3.0}]


def dag_state(**changes):
    node = [0, "N", -1, (), (), (), None, None, False, "0", False, True, None, False, -1, False, ()]
    for index, value in changes.pop("node", {}).items():
        node[index] = value
    state = [1, (), (), (tuple(node),), ("memory", 10, None), None]
    for index, value in changes.items():
        state[int(index[1:])] = value
    return tuple(state)


def test_crafted_dag_states_raise():
    assert restore("_restore_dag", dag_state()).node_count() == 1
    for state, error in [
        (dag_state(s0=7), ValueError),
        (dag_state(node={2: 0}), ValueError),  # no such callable
        (dag_state(node={14: 3}), ValueError),  # no such transfer
        (dag_state(node={8: 1}), TypeError),
        (dag_state(node={0: -1}), ValueError),
        (dag_state(node={3: (("a",),)}), ValueError),
        (dag_state(s4=("tape", 1)), ValueError),
        (dag_state(s4=("memory", -1, None)), ValueError),
        (dag_state(s4=("disk", "", None, 1, None)), ValueError),
        (dag_state(s4=("disk", "/x", None, 1, float("nan"))), ValueError),
        (dag_state(s1=("not bytes",)), TypeError),
        (dag_state(s3=[]), TypeError),
    ]:
        with pytest.raises(error, match="Dag state"):
            restore("_restore_dag", state)
    # A callable that does not unpickle is reported as it came, with a note naming the node.
    with pytest.raises(Exception) as info:
        restore("_restore_dag", dag_state(s1=(b"not a pickle",), node={2: 0}))
    assert "node 'N' (id 0)" in "".join(getattr(info.value, "__notes__", []))


@settings(deadline=None)
@given(st.recursive(st.none() | st.integers() | st.floats() | st.text() | st.binary(),
                    lambda inner: st.tuples(inner, inner) | st.tuples(inner, inner, inner, inner)
                    | st.tuples(*[inner] * 7), max_leaves=30))
def test_arbitrary_states_never_crash(state):
    for name in ("_restore_distribution", "_restore_stat_result", "_restore_dag"):
        try:
            restore(name, state)
        except (TypeError, ValueError, OverflowError):
            pass


names = st.sampled_from(["x", "y", "z", "w"])
crafted_nodes = st.lists(
    st.tuples(
        st.integers(0, 6),  # id, repeats allowed
        st.none() | st.sampled_from(["A", "B"]),
        st.integers(-1, 0),  # no callable, or `double`
        st.lists(st.tuples(names, names), max_size=2, unique_by=lambda p: p[0]).map(tuple),
        st.lists(st.tuples(names, names), max_size=2, unique_by=lambda p: p[0]).map(tuple),
        st.lists(st.integers(0, 8), max_size=3).map(tuple),  # dangling and cyclic dependencies too
        st.none() | st.integers(0, 3),
        st.none() | st.integers(0, 3),
        st.booleans(),
        st.sampled_from(["0", "v"]),
        st.booleans(),
        st.booleans(),
        st.none() | st.lists(names, max_size=2).map(tuple),
        st.booleans(),
        st.just(-1),
        st.booleans(),
        st.just(()),
    ),
    max_size=6,
)


@settings(deadline=None, max_examples=60)
@given(crafted_nodes)
def test_any_node_records_build_a_working_dag(nodes):
    state = (1, (pickle.dumps(double),), (), tuple(nodes), ("memory", 10, None), "ns")
    dag = restore("_restore_dag", state)
    dag.to_mermaid()
    dag.execute(detailed=True)
    dag.execute(parallel=True)
    dag.predict({"x": quillon.normal(0.0, 1.0)}, n_samples=8, seed=1)
    again = pickle.loads(pickle.dumps(dag))
    assert again.to_mermaid() == dag.to_mermaid()
