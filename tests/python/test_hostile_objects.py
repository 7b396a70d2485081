"""Containers changed by their own items while they are converted.

Every argument or result that is a list, tuple, sequence or dict is converted
from the items it held when the conversion began: an item's __float__,
__index__, __len__, __iter__ or __del__ may clear, grow or refill the
container, and the conversion neither crashes nor reads what the container
let go of, nor notices the change. Programs that crashed the interpreter
before run in a child interpreter with the debug allocator, which fills freed
memory, so that a read of freed memory fails loudly there.
"""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

import quillon
from conftest import emit


def run_child(code, timeout=120):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path), PYTHONMALLOC="debug")
    done = subprocess.run([sys.executable, "-X", "faulthandler", "-c", textwrap.dedent(code)], env=env,
                          capture_output=True, text=True, timeout=timeout)
    assert done.returncode == 0, f"child exited with status {done.returncode}\n{done.stderr[-4000:]}"
    return done.stdout


class Clears:
    """Converts to `value`, emptying `target` (a list or dict) on the way."""

    def __init__(self, target, value=0.0):
        self.target = target
        self.value = value

    def __float__(self):
        self.target.clear()
        return float(self.value)


class IndexClears:
    """Refuses the float conversion; its integer conversion empties `target`."""

    def __init__(self, target, value):
        self.target = target
        self.value = value

    def __float__(self):
        raise ValueError("no float")

    def __index__(self):
        self.target.clear()
        return self.value


class ClearsOnDelete:
    """Empties `target` when it is released."""

    def __init__(self, target):
        self.target = target

    def __del__(self):
        self.target.clear()


class TestEmpirical:
    def test_item_that_clears_the_list_during_the_second_walk(self):
        # The first walk fails on the first item, the second converts it while
        # it empties the list: the samples are the list as the second walk
        # found it.
        out = run_child("""
            import quillon
            class E:
                n = 0
                def __float__(self):
                    E.n += 1
                    if E.n == 1:
                        raise ValueError
                    L.clear()
                    return 0.0
            L = [E()] + [float(i) for i in range(100_000)]
            d = quillon.empirical(L)
            assert L == []
            assert d.samples == [0.0] + [float(i) for i in range(100_000)], d.samples[:5]
            print("ok")
        """)
        assert out.strip() == "ok"

    def test_list_refilled_with_other_objects_keeps_the_values_it_had(self):
        out = run_child("""
            import quillon
            class E:
                n = 0
                def __float__(self):
                    E.n += 1
                    if E.n == 1:
                        raise ValueError
                    L[:] = [object()] * 3   # frees the old items
                    return 5.0
            L = [E(), 1.5, E(), 2.5]
            assert quillon.empirical(L).samples == [5.0, 1.5, 5.0, 2.5]
            print("ok")
        """)
        assert out.strip() == "ok"

    def test_failing_item_after_the_list_was_emptied_names_the_argument(self):
        samples = []

        class Bad:
            def __float__(self):
                raise TypeError("not a number")

        samples[:] = [Clears(samples), ClearsOnDelete(samples), Bad()]
        with pytest.raises(TypeError, match="argument 'samples'"):
            quillon.empirical(samples)

    def test_list_cleared_during_the_first_walk(self):
        samples = []
        samples[:] = [1.0, Clears(samples, 2.0), 3.0, ClearsOnDelete(samples)]
        with pytest.raises(TypeError, match="argument 'samples'"):
            quillon.empirical(samples)  # ClearsOnDelete has no float conversion
        samples[:] = [1.0, Clears(samples, 2.0), 3.0]
        assert quillon.empirical(samples).samples == [1.0, 2.0, 3.0]
        assert samples == []

    def test_custom_sequence_reported_from_one_iteration(self):
        class FailsOnce:
            calls = 0

            def __float__(self):
                FailsOnce.calls += 1
                if FailsOnce.calls == 1:
                    raise ValueError("first conversion fails")
                return 1.0

        class Shifting:
            """Each iteration yields what it holds and then replaces it."""

            def __init__(self):
                self.items = [FailsOnce(), 2.0]

            def __len__(self):
                return len(self.items)

            def __getitem__(self, i):
                return self.items[i]

            def __iter__(self):
                items, self.items = self.items, ["x"]
                return iter(items)

        # The value conversion fails on the first item; the walk that follows
        # converts what one iteration yielded.
        assert quillon.empirical(Shifting()).samples == [1.0, 2.0]


class TestNodeOutputs:
    def test_value_that_clears_the_returned_dict(self):
        held = {}

        def node(inputs):
            held.clear()
            held.update(a=1.0, b=Clears(held, 2.0), c=[3.0, 4.0], d="text", e=5)
            return held

        graph = quillon.Graph()
        graph.add(node, "n", None, [(k, k) for k in "abcde"])
        result = graph.build().execute()
        assert {k: result[k] for k in "abcde"} == {"a": 1.0, "b": 2.0, "c": [3.0, 4.0], "d": "text", "e": 5.0}
        assert held == {}

    def test_value_that_refills_the_returned_dict(self):
        held = {}

        class Refills:
            def __float__(self):
                held.clear()
                held.update({f"k{i}": object() for i in range(100)})
                return 7.0

        def node(inputs):
            held.clear()
            held.update(a=Refills(), b=ClearsOnDelete(held), c=3.0)
            return held

        graph = quillon.Graph()
        graph.add(node, "n", None, [("a", "a"), ("c", "c"), ("k1", "k1")])
        result = graph.build().execute()
        assert result["a"] == 7.0 and result["c"] == 3.0
        assert "k1" not in result  # entries added meanwhile were not in the dict that was returned

    def test_list_value_cleared_by_its_own_items(self):
        items = []
        items[:] = [Clears(items, 1.0), 2.0, 3.0]
        assert emit(items) == [1.0, 2.0, 3.0]

    def test_integer_pass_over_a_list_cleared_by_index(self):
        # The float pass fails on the first item; the integer pass converts
        # the list as it stood when that pass began.
        items = []
        items[:] = [IndexClears(items, 7), 2, 3]
        result = emit(items)
        assert result == [7, 2, 3] and all(type(v) is int for v in result)
        assert items == []

    def test_many_rounds_under_the_debug_allocator(self):
        out = run_child("""
            import quillon
            box = {}
            class Hostile:
                def __init__(self, mode): self.mode = mode
                def __float__(self):
                    if self.mode == "raise":
                        raise ValueError
                    box["list"].clear(); box["dict"].clear()
                    box["list"].extend(object() for _ in range(8))
                    return 1.0
                def __index__(self):
                    box["list"].clear(); box["dict"].clear()
                    return 2
            def node(inputs):
                box["list"] = [Hostile("raise"), Hostile("ok"), 1.0, 2.0] * 50
                box["dict"] = {f"k{i}": (box["list"] if i == 0 else Hostile("ok")) for i in range(20)}
                return box["dict"]
            g = quillon.Graph()
            g.add(node, "n", None, [(f"k{i}", f"k{i}") for i in range(20)])
            dag = g.build()
            for _ in range(30):
                r = dag.execute(cache=False)
                assert r["k1"] == 1.0 and r["k19"] == 1.0
            print("ok")
        """)
        assert out.strip() == "ok"


class TestDistributionMaps:
    class Key(str):
        """A name whose own methods would empty `target` if they ran."""

        target: dict = {}

        def __hash__(self):
            self.target.clear()
            return str.__hash__(self)

        def __eq__(self, other):
            self.target.clear()
            return str.__eq__(self, other)

        def __str__(self):
            self.target.clear()
            return "changed"

    def test_predict_inputs_read_as_given(self):
        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"] * 2}, "Scale", [("x", "x")], [("y", "y")])
        dag = graph.build()
        inputs = {}
        self.Key.target = inputs
        inputs[str.__new__(self.Key, "x")] = quillon.deterministic(3.0)
        inputs["unused"] = quillon.normal(0, 1)
        assert dag.predict(inputs, n_samples=10)["y"].mean == 6.0
        assert dag.predict_at(inputs, n_samples=10)["y"].mean == 6.0
        assert len(inputs) == 2

    def test_predict_inputs_from_a_dict_subclass_with_overridden_methods(self):
        class Sneaky(dict):
            def items(self):
                raise AssertionError("items() is not consulted")

            def __iter__(self):
                raise AssertionError("iteration is not consulted")

            def keys(self):
                raise AssertionError("keys() is not consulted")

        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"] + 1}, "Inc", [("x", "x")], [("y", "y")])
        result = graph.build().predict_at(Sneaky(x=quillon.deterministic(1.0)), n_samples=5)
        assert result["y"].mean == 2.0

    def test_transfer_answer_read_as_returned(self):
        answer = {}
        self.Key.target = answer

        def transfer(dists):
            answer.clear()
            answer[str.__new__(self.Key, "y")] = quillon.deterministic(dists["x"].mean * 10)
            answer["ignored"] = ClearsOnDelete(answer)
            return answer

        graph = quillon.Graph()
        graph.add(lambda d: {"y": d["x"]}, "T", [("x", "x")], [("y", "y")])
        graph.set_dist_transfer("T", transfer)
        result = graph.build().predict_at({"x": quillon.deterministic(2.0)}, n_samples=5)
        assert result["y"].mean == 20.0


class TestGraphArguments:
    def test_mapping_names_whose_methods_would_mutate(self):
        spec = {}
        TestDistributionMaps.Key.target = spec
        key = TestDistributionMaps.Key
        spec[str.__new__(key, "v")] = str.__new__(key, "x")
        pairs = []
        pairs[:] = [(str.__new__(key, "y"), "out")]
        graph = quillon.Graph()
        graph.add(lambda d: {"v": 4.0}, "src", None, [("v", "v")])
        graph.add(lambda d: {"y": d["x"] + 1}, "inc", spec, pairs)
        assert graph.build().execute()["out"] == 5.0
        assert len(spec) == 1 and len(pairs) == 1

    def test_list_subclass_spec_reads_its_own_items(self):
        class Sneaky(list):
            def __iter__(self):
                self.clear()
                return iter([])

            def __getitem__(self, i):
                self.clear()
                raise IndexError(i)

        graph = quillon.Graph()
        graph.add(lambda d: {"v": 1.0}, "src", None, Sneaky([("v", "w")]))
        assert graph.build().execute()["w"] == 1.0

    def test_impl_vars_from_a_sequence_that_changes_while_iterated(self):
        names = ["x", "y"]

        class Names:
            def __len__(self):
                names.append("z")
                return len(names)

            def __getitem__(self, i):
                value = names[i]
                if i == 1:
                    names.clear()
                return value

        graph = quillon.Graph()
        graph.add(lambda d: {"v": d["x"]}, "n", [("a", "x"), ("b", "y")], [("v", "v")])
        graph.set_cache_key_inputs("n", Names())  # one iteration: "x", "y"
        graph.add(lambda d: {"a": 1.0, "b": 2.0}, "src", None, [("a", "a"), ("b", "b")])
        assert graph.build().execute()["v"] == 1.0

    def test_impl_vars_list_emptied_by_a_failing_item_reports_the_argument(self):
        names = []

        class NotText:
            def __del__(self):
                names.clear()

        names[:] = ["x", NotText(), "y"]
        graph = quillon.Graph()
        graph.add(lambda d: {}, "n", [("a", "x")], None)
        with pytest.raises(TypeError, match="argument 'impl_vars'"):
            graph.set_cache_key_inputs("n", names)

    def test_variant_functions_from_a_sequence_that_empties_itself(self):
        functions = []

        class Functions:
            def __len__(self):
                return 2

            def __getitem__(self, i):
                if i >= 2:
                    raise IndexError(i)
                value = functions[i]
                if i == 1:
                    functions.clear()
                return value

        functions[:] = [lambda d: {"y": 1.0}, lambda d: {"y": 2.0}]
        graph = quillon.Graph()
        graph.variants(Functions(), "V", None, [("y", "y")])
        dag = graph.build()
        assert dag.variant_indices() == [0, 1] and dag.execute()["y"] == 2.0
