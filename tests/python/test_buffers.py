"""Numeric buffers as vectors: every numpy array, array.array, memoryview,
bytes or bytearray gives exactly the floats its list form gives; anything
else converts, or fails, exactly as a plain sequence of the same items."""

import array
import os
import sys
import tempfile

import numpy as np
import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

import quorbell
from test_snapshot import decode

pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore::PendingDeprecationWarning")

DTYPES = ["f2", "f4", "f8", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", "?"]


class PlainSequence:
    """The items of `wrapped` behind nothing but the sequence protocol."""

    def __init__(self, wrapped):
        self.wrapped = wrapped

    def __getitem__(self, index):
        return self.wrapped[index]

    def __iter__(self):
        return iter(self.wrapped)


def outcome(method, *args):
    try:
        return "ok", repr(method(*args))  # repr: NaN scores compare equal
    except Exception as error:
        return type(error), str(error), getattr(error, "__notes__", None)


def saved_vectors(store):
    """The 32-bit patterns of every stored vector, by point id."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "s")
        store.save(path)
        with open(path, "rb") as file:
            points, _ = decode(file.read())
    return {point_id: vector for _, point_id, vector, _ in points}


# Bit patterns worth meeting at each item size: signalling and payload
# NaNs, infinities, -0.0, the float range's edges and rounding midpoint,
# 1e300, integers that round twice (to double, then to float) and their
# type's ends.
SPECIAL_BITS = {
    1: [0, 1, 2, 0x7F, 0x80, 0xFF],
    2: [0x7C01, 0xFE01, 0x7C00, 0x8000, 0x7BFF, 0x0001, 0xFFFF, 0x7FFF],
    4: [0x7F800001, 0xFFC00123, 0x7F800000, 0x80000000, 0x7F7FFFFF, 0x00000001, 0xFFFFFFFF, 0x7FFFFFFF],
    8: [0x7FF0000000000001, 0xFFF8000000000123, 0xFFF0000000000000, 0x8000000000000000, 0x47EFFFFFE0000000,
        0x47EFFFFFDFFFFFFF, 0x7E37E43C8800759C, 0x0000000000000001, 2**53 + 2**29 + 1, 2**63 + 2**39 + 1,
        0xFFFFFFFFFFFFFFFF, 0x7FFFFFFFFFFFFFFF],
}


@st.composite
def arrays(draw, ndim):
    """An array of any dtype and any bit pattern, in any layout: reversed,
    strided, transposed, or misaligned in its memory."""
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    size = dtype.itemsize
    shape = tuple(draw(st.lists(st.integers(0, 5), min_size=ndim, max_size=ndim)))
    steps = tuple(draw(st.sampled_from([1, 2, -1, -3])) for _ in shape)
    full = tuple(max(1, n * abs(s)) for n, s in zip(shape, steps))
    count = int(np.prod(full))
    bits = st.one_of(st.sampled_from(SPECIAL_BITS[size]), st.integers(0, 256**size - 1))
    raw = b"".join(b.to_bytes(size, sys.byteorder) for b in draw(st.lists(bits, min_size=count, max_size=count)))
    offset = draw(st.sampled_from([0, 1]))  # 1: every item misaligned
    base = np.frombuffer(bytes(offset) + raw, dtype, count, offset).reshape(full)
    view = base[tuple(slice(None, None, s) for s in steps)][tuple(slice(0, n) for n in shape)]
    return view.T if ndim == 2 and draw(st.booleans()) else view


def exporters(arr):
    """arr as each kind of object that exports its buffer."""
    yield from (arr, memoryview(arr))
    if arr.ndim == 1 and arr.dtype.char in array.typecodes:
        yield array.array(arr.dtype.char, arr.tolist())
    if arr.ndim == 1 and arr.dtype == np.uint8:
        yield from (bytes(arr), bytearray(arr))


PROPERTY = settings(max_examples=200, deadline=None, suppress_health_check=[HealthCheck.too_slow])


@PROPERTY
@given(arrays(ndim=1))
def test_vectors_are_bit_identical_to_their_list_form(arr):
    for obj in exporters(arr):
        store = quorbell.VectorStorage()
        store.upsert(0, obj, None)
        store.upsert(1, arr.tolist(), None)
        bits = saved_vectors(store)
        assert bits[0] == bits[1], (type(obj), arr.dtype)


@PROPERTY
@given(arrays(ndim=2))
def test_batches_match_their_list_of_lists(arr):
    store = quorbell.VectorStorage()
    for i, row in enumerate(arr.tolist() + [[1.0] * arr.shape[1]]):
        store.upsert(i, row, None)
    for metric in ["dot", "l2"]:
        expected = outcome(store.batch_search, arr.tolist(), 4, metric)
        assert outcome(store.batch_search, arr, 4, metric) == expected
        assert outcome(store.batch_search, memoryview(arr), 4, metric) == expected


class ReversedArray(np.ndarray):
    def __iter__(self):
        return reversed(self.tolist())


class DoubledBytes(bytearray):
    def __getitem__(self, index):
        return 2 * bytearray.__getitem__(self, index)

    def __iter__(self):
        return (2 * b for b in bytearray.__iter__(self))


def released_view():
    view = memoryview(b"\x01\x02")
    view.release()
    return view


# Objects the buffer path leaves alone: each converts, or fails, exactly as
# the same items behind the plain sequence protocol.
SEQUENCE_PATH = {
    "0-d": lambda: np.array(1.5),
    "2-d": lambda: np.ones((2, 2)),
    "2-d, one column": lambda: np.ones((2, 1)),
    "object": lambda: np.array([1, 2.5], dtype=object),
    "complex": lambda: np.array([1 + 2j, 3]),
    "structured": lambda: np.zeros(2, dtype=[("a", "f4")]),
    "datetime": lambda: np.array(["2020-01-01"], dtype="M8[D]"),
    "byte-swapped float": lambda: np.arange(3, dtype=">f4"),
    "byte-swapped int": lambda: np.arange(3, dtype=">i8"),
    "ndarray subclass iterating reversed": lambda: np.arange(4.0).view(ReversedArray),
    "matrix": lambda: np.asmatrix([[1.0, 2.0]]),
    "memoryview of chars": lambda: memoryview(b"ab").cast("c"),
    "bytearray subclass doubling": lambda: DoubledBytes(b"\x01\x02"),
    "array of str": lambda: array.array("w", "ab"),
    "released memoryview": released_view,
}


def everything_observed(vector):
    store = quorbell.VectorStorage()
    seen = [outcome(store.upsert, 1, vector, None)]
    for method in [store.search, store.batch_search]:
        seen.append(outcome(method, vector, 3, "dot"))
    seen.append(outcome(store.batch_search, [vector], 3, "dot"))
    return seen, saved_vectors(store)


@pytest.mark.parametrize("make", SEQUENCE_PATH.values(), ids=SEQUENCE_PATH.keys())
def test_other_objects_keep_the_sequence_rule(make):
    obj = make()
    assert everything_observed(obj) == everything_observed(PlainSequence(obj))


# Arrays whose items convert on their own otherwise than in their list form
# (a complex item would lose its imaginary part, a masked one become NaN):
# each is taken, or refused, exactly as its .tolist() is.
AS_THEIR_LIST = {
    "complex128": lambda: np.array([1 + 2j, 3]),
    "complex64": lambda: np.array([1, 2], dtype=np.complex64),
    "clongdouble": lambda: np.array([1j], dtype=np.clongdouble),
    "empty complex": lambda: np.array([], dtype=complex),
    "masked float": lambda: np.ma.masked_array([1.0, 2.0, 3.0], mask=[0, 1, 0]),
    "masked int": lambda: np.ma.masked_array([1, 2], mask=[1, 0]),
    "masked, none hidden": lambda: np.ma.masked_array([1.5, 2.5], mask=False),
}


@pytest.mark.parametrize("make", AS_THEIR_LIST.values(), ids=AS_THEIR_LIST.keys())
def test_complex_and_masked_arrays_convert_as_their_list(make):
    def observed(vector, batch):
        store = quorbell.VectorStorage()
        seen = [outcome(store.upsert, 1, vector, None), outcome(store.search, vector, 3, "dot"),
                outcome(store.batch_search, batch, 3, "dot")]
        return seen, saved_vectors(store)

    obj = make()
    batch = np.ma.stack([obj, obj]) if np.ma.isMaskedArray(obj) else np.stack([obj, obj])
    assert observed(obj, batch) == observed(obj.tolist(), batch.tolist())


FAILING_CALLS = [
    lambda s, arr, view: s.upsert(1, arr, "not a dict"),
    lambda s, arr, view: s.upsert(1, view, "not a dict"),
    lambda s, arr, view: s.search(arr.reshape(2, 2), 1, "dot"),
    lambda s, arr, view: s.search(view.cast("B", (2, 2)), 1, "dot"),
    lambda s, arr, view: s.search(view, -1, "dot"),
    lambda s, arr, view: s.batch_search(view, 1, "dot"),
    lambda s, arr, view: s.batch_search(arr.reshape(2, 2), 1, "nope"),
    lambda s, arr, view: s.search(np.broadcast_to(arr[:1], (2**62,)), 1, "dot"),
]


@pytest.mark.parametrize("call", FAILING_CALLS)
def test_buffers_are_released_on_every_path(call):
    arr = np.arange(4, dtype=np.int8)
    view = memoryview(arr)
    store = quorbell.VectorStorage()
    before = sys.getrefcount(arr), sys.getrefcount(view)
    for _ in range(100):
        with pytest.raises(Exception):
            call(store, arr, view)
    assert (sys.getrefcount(arr), sys.getrefcount(view)) == before
    view.release()  # raises BufferError while any export of it is held
