"""Unsigned arguments: negative and too-large values are reported under the argument's name."""

import pytest

import quillon

NEGATIVE = r"^argument '{}': can't convert negative int to unsigned$"
TOO_BIG = r"^argument '{}': .*too big"


class Index:
    """An int-like object: conversions go through __index__."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def small_dag():
    graph = quillon.Graph()
    graph.add(lambda d: {"y": d["x"] * 2}, "Scale", [("x", "x")], [("y", "y")])
    return graph.build()


def entry_points():
    """(argument name, call taking the value) for every unsigned argument."""
    dag = small_dag()
    cache = quillon.MemoryCache()
    stat = dag.predict_at({"x": quillon.normal(0.0, 1.0)}, n_samples=10)
    dist = quillon.normal(0.0, 1.0)
    graph = quillon.Graph()
    inputs = {"x": quillon.normal(0.0, 1.0)}
    return [
        ("n_samples", lambda v: dag.predict(inputs, n_samples=v)),
        ("n_samples", lambda v: dag.predict_at(inputs, n_samples=v)),
        ("at_branch", lambda v: dag.predict_at(inputs, at_branch=v)),
        ("at_variant", lambda v: dag.predict_at(inputs, at_variant=v)),
        ("max_threads", lambda v: dag.execute(parallel=True, max_threads=v)),
        ("node_id", lambda v: dag.clear_cache_node("default", v)),
        ("node_id", lambda v: dag.clear_cache_node(namespace="default", node_id=v)),
        ("n", lambda v: dist.sample_n(v)),
        ("max_entries", lambda v: quillon.MemoryCache(max_entries=v)),
        ("ttl_seconds", lambda v: quillon.MemoryCache(ttl_seconds=v)),
        ("node_id", lambda v: cache.clear_node(v)),
        ("max_entries", lambda v: graph.configure_memory_cache(max_entries=v)),
        ("ttl_seconds", lambda v: graph.configure_memory_cache(ttl_seconds=v)),
        ("branch_id", lambda v: stat.for_branch(v)),
        ("variant_idx", lambda v: stat.for_variant(v)),
    ]


@pytest.mark.parametrize("index", range(len(entry_points())))
def test_negative_and_too_large_values_name_the_argument(index):
    name, call = entry_points()[index]
    for value in (-1, -5, Index(-1)):
        with pytest.raises(OverflowError, match=NEGATIVE.format(name)) as caught:
            call(value)
        assert type(caught.value) is OverflowError
    for value in (2**64, 2**200, Index(2**64)):
        with pytest.raises(OverflowError, match=TOO_BIG.format(name)) as caught:
            call(value)
        assert type(caught.value) is OverflowError


def test_largest_value_still_converts():
    assert quillon.MemoryCache(ttl_seconds=2**64 - 1).stats()["max_entries"] == 1024
    assert small_dag().clear_cache_node("default", 2**64 - 1) is None


def test_type_errors_keep_their_form():
    dag = small_dag()
    with pytest.raises(TypeError, match=r"^argument 'n_samples': 'float' object cannot be interpreted as an integer$"):
        dag.predict({"x": quillon.normal(0.0, 1.0)}, n_samples=1.5)
    with pytest.raises(TypeError, match=r"^argument 'n': 'str' object cannot be interpreted as an integer$"):
        quillon.normal(0.0, 1.0).sample_n("3")


def test_errors_raised_by_index_pass_through():
    class Failing:
        def __index__(self):
            raise ZeroDivisionError("boom")

    with pytest.raises(ZeroDivisionError, match="^boom$"):
        quillon.normal(0.0, 1.0).sample_n(Failing())
