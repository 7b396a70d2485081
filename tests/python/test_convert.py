"""Conversion of values between Python and the graph, in both directions."""

import array

import pytest
from hypothesis import given, strategies as st

import quillon
from conftest import IntOnly, emit, received

np = pytest.importorskip("numpy")



class Raises:
    """Every conversion hook raises."""

    def __float__(self):
        raise RuntimeError("float")

    def __index__(self):
        raise RuntimeError("index")

    def __len__(self):
        raise RuntimeError("len")

    def __getitem__(self, i):
        raise RuntimeError("getitem")


class LyingSequence:
    """Claims many items but runs out early."""

    def __len__(self):
        return 10**9

    def __getitem__(self, i):
        if i >= 3:
            raise IndexError(i)
        return 1.0


class CountingSequence:
    def __init__(self, items):
        self.items = items

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        return self.items[i]


def is_float_list(value, expected):
    return type(value) is list and all(type(v) is float for v in value) and value == expected


class TestScalars:
    def test_numbers_arrive_as_floats(self):
        for value, expected in [(3, 3.0), (True, 1.0), (False, 0.0), (2**70, float(2**70)), (-1, -1.0),
                                (2.5, 2.5), (np.float32(0.5), 0.5), (np.int64(7), 7.0)]:
            result = emit(value)
            assert type(result) is float and result == expected

    def test_integer_beyond_float_range_is_held_as_is(self):
        huge = 10**400
        assert emit(huge) is huge

    def test_integer_conversion_when_float_conversion_fails(self):
        result = emit(IntOnly(-5))
        assert type(result) is int and result == -5

    def test_text(self):
        assert emit("ünï ☃") == "ünï ☃"

    def test_text_with_lone_surrogate_is_held_as_is(self):
        text = "a\ud800b"
        assert emit(text) is text

class TestSequences:
    def test_numeric_sequences_become_new_float_lists(self):
        source = [1, 2, 3]
        result = emit(source)
        assert is_float_list(result, [1.0, 2.0, 3.0]) and result is not source
        assert is_float_list(emit((1.5, 2)), [1.5, 2.0])
        assert is_float_list(emit([True, 2**70]), [1.0, float(2**70)])
        assert emit([]) == [] and emit(()) == []

    def test_bytes_are_a_sequence_of_small_integers(self):
        assert is_float_list(emit(b"ab"), [97.0, 98.0])
        assert is_float_list(emit(bytearray(b"\x00\xff")), [0.0, 255.0])
        assert is_float_list(emit(memoryview(b"ab")), [97.0, 98.0])

    def test_integer_sequence_when_an_item_refuses_floats(self):
        result = emit([2**63 - 1, IntOnly(4)])
        assert result == [2**63 - 1, 4] and all(type(v) is int for v in result)

    @pytest.mark.parametrize("value", [["a", 1], [None], [[1.0], [2.0]], [1, 10**400], {1, 2},
                                       (x for x in [1.0]), {"a": 1.0}, None, object()])
    def test_other_objects_are_held_as_is(self, value):
        assert emit(value) is value

    def test_custom_sequence_protocol(self):
        assert is_float_list(emit(CountingSequence([1, 2.5])), [1.0, 2.5])
        lying = LyingSequence()
        assert emit(lying) is lying

    def test_conversion_hooks_that_raise_never_escape(self):
        raising = Raises()
        assert emit(raising) is raising
        assert emit([1.0, raising]) == [1.0, raising]

    def test_list_shrunk_by_an_item_conversion(self):
        items = []

        class Shrinker:
            def __float__(self):
                items.clear()
                return 1.0

        items.extend([Shrinker(), 2.0, 3.0])
        result = emit(items)  # must not read past the shortened list
        # The conversion works on the items the list held when it began.
        assert result == [1.0, 2.0, 3.0] and items == []

    @given(st.lists(st.floats(allow_nan=False)))
    def test_float_lists_round_trip_exactly(self, values):
        assert emit(values) == values


class TestBuffers:
    """Buffers take a fast path that must agree with the sequence rule."""

    @pytest.mark.parametrize("dtype", ["float64", "float32", "float16", "int8", "int16", "int32", "int64",
                                       "uint8", "uint16", "uint32", "uint64", ">f8", "<i4", "bool"])
    def test_numpy_arrays_match_item_by_item_conversion(self, dtype):
        arr = (np.arange(-3, 9) * 7.25).astype(dtype)
        assert is_float_list(emit(arr), [float(x) for x in arr])

    def test_extreme_integers_round_like_python(self):
        arr = np.array([2**63 - 1, -(2**63), 2**53 + 1], dtype=np.int64)
        assert emit(arr) == [float(int(x)) for x in arr]
        big = np.array([2**64 - 1], dtype=np.uint64)
        assert emit(big) == [float(2**64 - 1)]

    def test_non_contiguous_and_small_arrays(self):
        arr = np.arange(10.0)
        assert emit(arr[::3]) == [0.0, 3.0, 6.0, 9.0]
        assert emit(np.array([4.5])) == [4.5]
        assert emit(np.array(3.0)) == 3.0  # a 0-d array converts to float directly

    def test_arrays_that_are_not_flat_numbers_are_held(self):
        for arr in [np.zeros((2, 2)), np.array(["a"]), np.array([object()], dtype=object)]:
            assert emit(arr) is arr

    def test_array_module(self):
        assert is_float_list(emit(array.array("d", [1.5, -2.0])), [1.5, -2.0])
        assert is_float_list(emit(array.array("f", [0.1])), [float(np.float32(0.1))])
        assert is_float_list(emit(array.array("q", [-(2**62)])), [float(-(2**62))])
        chars = array.array("u", "ab")
        assert emit(chars) is chars

    def test_array_is_copied_at_output(self):
        arr = np.array([1.0, 2.0])
        values = []
        graph = quillon.Graph()
        graph.add(lambda inputs: {"a": arr}, "make", None, [("a", "a")])

        def mutate_then_read(inputs):
            arr[0] = 99.0
            values.append(inputs["a"])
            return {}

        graph.add(mutate_then_read, "read", [("a", "a")], None)
        graph.build().execute()
        assert values == [[1.0, 2.0]]

    @given(st.lists(st.integers(min_value=-(2**63), max_value=2**63 - 1), max_size=50))
    def test_int64_buffers_match_sequence_rule(self, values):
        assert emit(np.array(values, dtype=np.int64)) == [float(v) for v in values]


class TestIdentity:
    def test_opaque_object_is_shared_by_every_reader(self):
        payload = {"count": 0}
        seen = []

        def bump(inputs):
            inputs["p"]["count"] += 1
            seen.append(inputs["p"])
            return {}

        graph = quillon.Graph()
        graph.add(lambda inputs: {"p": payload}, "make", None, [("p", "p")])
        graph.add(bump, "a", [("p", "p")], None)
        graph.add(bump, "b", [("p", "p")], None)
        context = graph.build().execute()
        assert seen[0] is payload and seen[1] is payload and context["p"] is payload
        assert payload["count"] == 2

    def test_number_lists_reach_each_reader_as_a_new_list(self):
        seen = []
        graph = quillon.Graph()
        graph.add(lambda inputs: {"v": [1, 2]}, "make", None, [("v", "v")])
        for label in ("a", "b"):
            graph.add(lambda inputs: seen.append(inputs["v"]) or {}, label, [("v", "v")], None)
        graph.build().execute()
        assert seen[0] == seen[1] == [1.0, 2.0] and seen[0] is not seen[1]

    def test_reader_receives_converted_values(self):
        assert type(received(3)) is float
        assert received("s") == "s"
        marker = object()
        assert received(marker) is marker
