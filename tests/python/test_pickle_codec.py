"""The byte form of stored outputs, seen from Python: values converted to the
engine's kinds and arbitrary objects (pickled) come back equal; objects that
cannot be pickled name the reason; a KeyboardInterrupt while pickling or
unpickling is raised, not swallowed."""

import struct
import sys
import threading

import pytest
from hypothesis import given, strategies as st

import quillon

round_trip = quillon._codec_round_trip


class Point:
    def __init__(self, x, y):
        self.x, self.y = x, y

    def __eq__(self, other):
        return isinstance(other, Point) and (self.x, self.y) == (other.x, other.y)


class Stop(BaseException):
    """A run-stopping exception of the user's own."""


class RaisesWhilePickled:
    def __init__(self, exception):
        self.exception = exception

    def __reduce__(self):
        raise self.exception


def _raise(exception):
    raise exception


class RaisesWhileUnpickled:
    def __init__(self, exception):
        self.exception = exception

    def __reduce__(self):
        return (_raise, (self.exception,))


def bits(values):
    return struct.pack(f"<{len(values)}d", *values)


def test_private_hook_stays_out_of_the_public_names():
    assert "_codec_round_trip" not in quillon.__all__


def test_native_kinds_round_trip_bit_for_bit():
    nan_payload = struct.unpack("<d", struct.pack("<Q", 0x7FF8000000000123))[0]
    special = [0.0, -0.0, float("inf"), -float("inf"), nan_payload, 5e-324]
    assert bits(round_trip(special)) == bits(special)
    for value in special:
        assert bits([round_trip(value)]) == bits([value])
    assert round_trip([1, -2, 2**63 - 1]) == [1.0, -2.0, float(2**63 - 1)]
    assert round_trip("text é \0 end") == "text é \0 end"
    assert round_trip("") == ""
    assert round_trip(None) is None
    assert round_trip([]) == []


@pytest.mark.parametrize(
    "value",
    [
        {"a": [1, 2, {"b": (3, "x")}], "c": None},
        {"nested": {"deeper": {"deepest": [1.5, b"bytes", bytearray(b"ba")]}}},
        Point(1, [2, 3]),
        frozenset({1, 2}),
        ["mixed", 1, 2.5, None],
        2**100,
    ],
)
def test_objects_round_trip_equal(value):
    assert round_trip(value) == value
    assert round_trip(value, opaque=True) == value


@given(
    st.recursive(
        st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text() | st.binary(),
        lambda children: st.lists(children) | st.dictionaries(st.text(), children),
        max_leaves=20,
    )
)
def test_any_plain_structure_round_trips_as_an_object(value):
    assert round_trip(value, opaque=True) == value


@pytest.mark.parametrize(
    "value, kind",
    [
        (lambda x: x, "PicklingError: Can't pickle"),
        (threading.Lock(), "TypeError: cannot pickle '_thread.lock' object"),
        (RaisesWhilePickled(ValueError("refused here")), "ValueError: refused here"),
        (RaisesWhilePickled(RuntimeError()), "RuntimeError"),
    ],
)
def test_objects_that_do_not_pickle_name_the_reason(value, kind):
    with pytest.raises(ValueError) as info:
        round_trip(value, opaque=True)
    assert str(info.value).startswith("output 'value': " + kind)
    # Nothing is left pending: the next call works.
    assert round_trip({"ok": 1}, opaque=True) == {"ok": 1}


def test_an_object_that_does_not_unpickle_is_unreadable():
    with pytest.raises(ValueError, match="^the encoding did not decode$"):
        round_trip(RaisesWhileUnpickled(ValueError("no")), opaque=True)


@pytest.mark.parametrize("exception", [KeyboardInterrupt("stop"), Stop("mine"), SystemExit(3)])
def test_run_stopping_exceptions_are_raised_while_pickling_and_unpickling(exception):
    for hostile in (RaisesWhilePickled(exception), RaisesWhileUnpickled(exception)):
        with pytest.raises(type(exception)) as info:
            round_trip(hostile, opaque=True)
        # The unpickled one is a copy of the exception that was stored.
        assert info.value.args == exception.args
    assert round_trip([1.0]) == [1.0]


def test_round_trips_from_several_threads_at_once():
    errors = []

    def worker(i):
        try:
            for j in range(50):
                value = {"thread": i, "step": j, "data": list(range(j))}
                assert round_trip(value, opaque=True) == value
        except BaseException as error:  # noqa: BLE001 - reported below
            errors.append(error)

    threads = [threading.Thread(target=worker, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(timeout=60)
    assert not errors


def test_no_reference_is_leaked():
    value = Point(1, 2)
    before = sys.getrefcount(value)
    for _ in range(200):
        round_trip(value, opaque=True)
    assert sys.getrefcount(value) == before


class TestNumpy:
    np = pytest.importorskip("numpy")

    @pytest.mark.parametrize(
        "dtype", ["float64", "float32", "int8", "uint64", "complex128", "bool", "datetime64[ns]", ">i4"]
    )
    @pytest.mark.parametrize("shape", [(), (0,), (7,), (0, 3), (3, 4, 5)])
    def test_arrays_keep_dtype_shape_and_values(self, dtype, shape):
        np = self.np
        a = (np.arange(int(np.prod(shape))) % 5).astype(dtype).reshape(shape)
        b = round_trip(a, opaque=True)
        assert isinstance(b, np.ndarray)
        assert b.dtype == a.dtype and b.shape == a.shape
        assert np.array_equal(a, b)

    def test_strided_and_fortran_arrays(self):
        np = self.np
        base = np.arange(200.0).reshape(10, 20)
        for a in (base[::2, 1::3], base.T, np.asfortranarray(base), base[:, ::-1], base[3]):
            b = round_trip(a, opaque=True)
            assert b.dtype == a.dtype and b.shape == a.shape
            assert np.array_equal(a, b)

    def test_structured_and_object_arrays(self):
        np = self.np
        rec = np.array([(1, 2.5, b"ab"), (3, -1.0, b"c")], dtype=[("i", "<i4"), ("f", "<f8"), ("s", "S2")])
        assert np.array_equal(round_trip(rec, opaque=True), rec)
        assert round_trip(rec, opaque=True).dtype == rec.dtype
        objects = np.array([{"a": 1}, None, "x"], dtype=object)
        assert list(round_trip(objects, opaque=True)) == list(objects)

    def test_special_floats_survive_in_arrays(self):
        np = self.np
        a = np.array([np.nan, -0.0, np.inf, -np.inf, 5e-324])
        a.view(np.uint64)[0] |= 0x123  # a NaN payload
        assert round_trip(a, opaque=True).tobytes() == a.tobytes()

    def test_large_arrays_read_back_in_place_and_writable(self):
        np = self.np
        a = np.arange(100_000, dtype=np.float64).reshape(1000, 100)
        b = round_trip(a, opaque=True)
        assert np.array_equal(a, b)
        # The data travels beside the pickle stream and is read in place: the
        # array does not own a copy of its own, is aligned, and can be written.
        assert not b.flags.owndata
        assert b.flags.aligned and b.flags.writeable
        b[0, 0] = -1.0
        assert a[0, 0] == 0.0

    def test_one_dimensional_float_arrays_convert_to_lists(self):
        np = self.np
        assert round_trip(np.array([1.5, -0.0])) == [1.5, -0.0]
