"""Content keys: cache-key inputs without a canonical text keyed by a digest of their content."""

import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import quillon


def read_x(inputs):
    return {"y": 1.0}


def status_for(value, *, content=True, cache=None):
    """The cache status of a node reading `value` (handed over by a
    non-cacheable source node, so its key depends on `value` alone)."""
    graph = quillon.Graph()
    graph.add(lambda _: {"x": value}, "Src", None, {"x": "x"})
    graph.add(read_x, "Read", {"x": "x"}, {"y": "y"})
    graph.set_cacheable("Src", False)
    graph.set_cache_version("Read", "1")
    if content is not None:
        graph.set_content_keys(content)
    return graph.build(cache_backend=cache).execute(detailed=True)["node_cache"][1]


def key_of(value):
    status = status_for(value)
    assert status["reason"] != "unsupported_input", value
    return status["cache_key"]


class Keyed:
    def __init__(self, key, payload=0):
        self.key = key
        self.payload = payload

    def __quillon_key__(self):
        return self.key


class Raising:
    def __init__(self, error):
        self.error = error

    def __quillon_key__(self):
        raise self.error


class TestSetting:
    def test_off_by_default_and_when_disabled(self):
        for value in (np.zeros((2, 2)), [1.0, 2.0], {"a": 1}, (1, "a")):
            assert status_for(value, content=None)["reason"] == "unsupported_input"
            assert status_for(value, content=False)["reason"] == "unsupported_input"

    def test_enabled_must_be_a_bool(self):
        graph = quillon.Graph()
        for bad in (1, None, "yes"):
            with pytest.raises(TypeError, match="argument 'enabled'"):
                graph.set_content_keys(bad)
        with pytest.raises(TypeError, match="argument 'enabled'"):
            graph.set_content_keys(enabled=0)
        graph.set_content_keys(enabled=False)
        graph.set_content_keys()

    def test_scalar_keys_do_not_change(self):
        assert status_for(2.5)["cache_key"] == status_for(2.5, content=None)["cache_key"]
        assert status_for("text")["cache_key"] == status_for("text", content=None)["cache_key"]

    def test_equal_content_hits_and_changed_content_misses(self):
        cache = quillon.MemoryCache()
        array = np.arange(12.0).reshape(3, 4)
        assert status_for(array, cache=cache)["reason"] == "not_found"
        assert status_for(array.copy(), cache=cache)["hit"]
        changed = array.copy()
        changed[2, 3] = -1.0
        assert status_for(changed, cache=cache)["reason"] == "input_changed"
        assert status_for([1.0, 2.0], cache=cache)["reason"] == "input_changed"
        assert status_for([1.0, 2.0], cache=cache)["hit"]


class TestArrays:
    def test_dtype_shape_and_values_all_count(self):
        base = np.arange(6.0).reshape(2, 3)
        keys = {
            key_of(base),
            key_of(base.reshape(3, 2)),
            key_of(base.astype(np.float32)),
            key_of(base.astype(np.int64)),
            key_of(base.astype(np.int32)),
            key_of(base + 1.0),
            key_of(base.reshape(1, 2, 3)),
        }
        assert len(keys) == 7

    def test_layout_does_not_count(self):
        base = np.arange(48.0).reshape(6, 8)
        strided = base[::2, 1::3]
        assert not strided.flags.c_contiguous
        assert key_of(strided) == key_of(np.ascontiguousarray(strided))
        fortran = np.asfortranarray(base)
        assert key_of(fortran) == key_of(base)
        assert key_of(base.T) == key_of(np.ascontiguousarray(base.T))
        reversed_rows = base[::-1]
        assert key_of(reversed_rows) == key_of(reversed_rows.copy())
        assert key_of(reversed_rows) != key_of(base)

    def test_other_dtypes_and_empty_arrays(self):
        assert key_of(np.array([[True, False]])) != key_of(np.array([[1, 0]], dtype=np.uint8))
        records = np.zeros(3, dtype=[("a", "<i4"), ("b", "<f8")])
        changed = records.copy()
        changed["b"][1] = 2.0
        assert key_of(records) != key_of(changed)
        assert key_of(np.zeros((0, 3))) != key_of(np.zeros((3, 0)))
        # Object arrays export no buffer: their pickle bytes are used.
        objects = np.array([{"a": 1}, None], dtype=object)
        assert key_of(objects) == key_of(objects.copy())


class TestContainers:
    def test_types_are_tagged(self):
        # Mixed items keep these from becoming numeric vectors on the way in.
        keys = [
            key_of([1, "a"]),
            key_of((1, "a")),
            key_of({1: "a"}),
            key_of({"a": 1}),
            key_of([True, "a"]),
            key_of([1.0, "a"]),
            key_of(["1", "a"]),
            key_of([None, "a"]),
            key_of([b"1", "a"]),
            key_of([[1], "a"]),
            key_of([frozenset([1]), "a"]),
        ]
        assert len(set(keys)) == len(keys)

    def test_equal_values_agree(self):
        assert key_of({"a": 1, "b": [2, "x"]}) == key_of({"b": [2, "x"], "a": 1})
        assert key_of([{3, 1, 2}, "s"]) == key_of([{2, 3, 1}, "s"])
        assert key_of([2**80, "big"]) == key_of([2**80, "big"])
        assert key_of([2**80, "big"]) != key_of([2**80 + 1, "big"])
        assert key_of(["\ud800", "lone surrogate"]) != key_of(["\ud801", "lone surrogate"])

    def test_self_containing_list_still_gets_a_key(self):
        looped = ["a"]
        looped.append(looped)
        assert key_of(looped) == key_of(looped)

    def test_same_key_in_another_process(self):
        # String hashing differs between processes; set and dict order must not leak in.
        script = textwrap.dedent(
            """
            import sys
            sys.path[:0] = {path!r}
            import test_content_keys as t
            print(t.key_of([{{"x", "y", "z", "w"}}, {{"q": 1, "p": None}}, "s"]))
            """
        ).format(path=[os.path.dirname(__file__), *sys.path])
        keys = set()
        for seed in ("1", "2"):
            env = dict(os.environ, PYTHONHASHSEED=seed)
            done = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True, text=True, timeout=120)
            assert done.returncode == 0, done.stderr
            keys.add(done.stdout.strip())
        assert len(keys) == 1


class TestObjects:
    def test_quillon_key_decides(self):
        assert key_of(Keyed(b"k1", payload=1)) == key_of(Keyed(b"k1", payload=2))
        assert key_of(Keyed(b"k1")) != key_of(Keyed(b"k2"))
        assert key_of(Keyed("k1")) != key_of(Keyed(b"k1"))

    def test_quillon_key_failures_leave_the_node_uncached(self):
        assert status_for(Raising(ValueError("no")))["reason"] == "unsupported_input"
        assert status_for(Keyed(42))["reason"] == "unsupported_input"

    def test_interrupt_in_quillon_key_stops_the_run(self):
        with pytest.raises(KeyboardInterrupt):
            status_for(Raising(KeyboardInterrupt()))

    def test_picklable_objects_by_pickle_and_others_uncached(self):
        assert key_of(range(3)) == key_of(range(3))
        assert key_of(range(3)) != key_of(range(4))
        assert status_for(threading.Lock())["reason"] == "unsupported_input"
        assert status_for([lambda: 0, "a"])["reason"] == "unsupported_input"


class TestPandas:
    pd = pytest.importorskip("pandas")

    def test_frames_and_series(self):
        pd = self.pd
        frame = pd.DataFrame({"a": [1, 2, 3], "b": ["x", "y", "z"]})
        assert key_of(frame) == key_of(frame.copy())
        changed = frame.copy()
        changed.loc[1, "b"] = "q"
        renamed = frame.rename(columns={"b": "c"})
        as_float = frame.astype({"a": "float64"})
        reindexed = frame.set_axis([10, 11, 12])
        keys = {key_of(frame), key_of(changed), key_of(renamed), key_of(as_float), key_of(reindexed)}
        assert len(keys) == 5
        # (A numeric Series arrives as a plain float vector, name and index dropped.)
        series = pd.Series(["a", "b"], name="s")
        assert key_of(series) == key_of(series.copy())
        assert key_of(series) != key_of(series.rename("t"))
        assert key_of(pd.Index(["a", "b"])) != key_of(pd.Index(["a", "c"]))
