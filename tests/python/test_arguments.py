"""Argument binding and conversion of every method: exact exception types,
messages and argument notes, the order of checks, and accepted forms."""

import array
import math
import pathlib
import sys

import pytest

from conftest import f32, stored_components
from hostile_objects import IntSubclass, LenRaises, NoteRefused
from pinned_texts import BATCH_METRIC, SEARCH_METRIC, STR_AS_SEQUENCE, argument_note, type_mismatch
import quorbell

V = [1.0, 0.0]
FLOAT_MAX = f32(3.4028235e38)


def call(store, method, args, kwargs=None):
    return getattr(store, method)(*args, **(kwargs or {}))


class Index:
    """An integer-like object that counts its conversions."""

    calls = 0

    def __init__(self, value):
        self.value = value

    def __index__(self):
        Index.calls += 1
        return self.value


class Raising:
    """Raises a new exception of `kind` from every conversion."""

    def __init__(self, kind, *args):
        self.kind, self.args = kind, args

    def __index__(self):
        raise self.kind(*self.args)

    def __float__(self):
        raise self.kind(*self.args)


class BrokenIteration(list):
    def __iter__(self):
        raise KeyError("iteration refused")


class LenHuge(list):
    def __len__(self):
        return sys.maxsize


# ---- Binding


BINDING_ERRORS = [
    ("upsert", (1, [0.5]), {}, "VectorStorage.upsert() missing 1 required positional argument: 'payload'"),
    ("upsert", (1,), {}, "VectorStorage.upsert() missing 2 required positional arguments: 'vector' and 'payload'"),
    ("upsert", (), {}, "VectorStorage.upsert() missing 3 required positional arguments: 'point_id', 'vector', and 'payload'"),
    ("upsert", (), {"payload": None}, "VectorStorage.upsert() missing 2 required positional arguments: 'point_id' and 'vector'"),
    ("upsert", (1, [1.0], None, 4), {}, "VectorStorage.upsert() takes 3 positional arguments but 4 were given"),
    ("upsert", (1, [1.0]), {"point_id": 2}, "VectorStorage.upsert() got multiple values for argument 'point_id'"),
    ("search", (V, 5), {}, "VectorStorage.search() missing 1 required positional argument: 'metric'"),
    ("search", (V, 5, "cosine", None, 1), {}, "VectorStorage.search() takes from 3 to 4 positional arguments but 5 were given"),
    ("search", (V, 5, "cosine", None, 1), {"bogus": 1}, "VectorStorage.search() takes from 3 to 4 positional arguments but 5 were given"),
    ("search", (V, 5, "cosine"), {"foo": 1}, "VectorStorage.search() got an unexpected keyword argument 'foo'"),
    ("search", (V, 5, "cosine"), {"limit": 3}, "VectorStorage.search() got multiple values for argument 'limit'"),
    ("search", (V, 5), {"zz": 1, "limit": 3}, "VectorStorage.search() got an unexpected keyword argument 'zz'"),
    ("search", (V, 5), {"limit": 3, "zz": 1}, "VectorStorage.search() got multiple values for argument 'limit'"),
    ("search", (V,), {"zz": 1}, "VectorStorage.search() got an unexpected keyword argument 'zz'"),
    ("search", ("abc", 5), {}, "VectorStorage.search() missing 1 required positional argument: 'metric'"),
    ("search", (), {"tenant_id": "t"}, "VectorStorage.search() missing 3 required positional arguments: 'query_vector', 'limit', and 'metric'"),
    ("batch_search", ([V],), {}, "VectorStorage.batch_search() missing 2 required positional arguments: 'limit' and 'metric'"),
    ("batch_search", ([V], 1, "dot", None, 5, 6), {}, "VectorStorage.batch_search() takes from 3 to 4 positional arguments but 6 were given"),
    ("batch_search", ([V], 1, "dot"), {"query_vector": [V]}, "VectorStorage.batch_search() got an unexpected keyword argument 'query_vector'"),
    ("save", ("a", "b"), {}, "VectorStorage.save() takes 1 positional arguments but 2 were given"),
    ("save", (), {}, "VectorStorage.save() missing 1 required positional argument: 'path'"),
    ("save", ("a",), {"path": "b"}, "VectorStorage.save() got multiple values for argument 'path'"),
    ("load", (), {"path": "x", "other": 1}, "VectorStorage.load() got an unexpected keyword argument 'other'"),
    ("load", ("a", "b", "c"), {}, "VectorStorage.load() takes 1 positional arguments but 3 were given"),
]


@pytest.mark.parametrize("method, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(store, method, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        call(store, method, args, kwargs)
    assert str(raised.value) == message
    assert not hasattr(raised.value, "__notes__")


@pytest.mark.parametrize(
    "method, args, kwargs",
    [
        ("upsert", (), {"point_id": 1, "vector": V, "payload": None}),
        ("upsert", (1,), {"payload": {"a": 1}, "vector": V}),
        ("search", (), {"query_vector": V, "limit": 5, "metric": "cosine", "tenant_id": None}),
        ("search", (V,), {"metric": "cosine", "limit": 5}),
        ("batch_search", (), {"tenant_id": None, "metric": "dot", "limit": 2, "query_vectors": [V]}),
    ],
)
def test_keywords_bind_to_parameters(store, method, args, kwargs):
    call(store, method, args, kwargs)


# ---- Conversion failures: type, message and the one argument note


CONVERSION_ERRORS = [
    ("upsert", (-1, V, None), {}, OverflowError, None, "point_id"),
    ("upsert", (2**64, V, None), {}, OverflowError, None, "point_id"),
    ("upsert", (Index(-5), V, None), {}, OverflowError, None, "point_id"),
    ("upsert", (1.0, V, None), {}, TypeError, None, "point_id"),
    ("upsert", ("1", V, None), {}, TypeError, None, "point_id"),
    ("upsert", (None, V, None), {}, TypeError, None, "point_id"),
    ("upsert", (Raising(KeyError, "boom"), V, None), {}, KeyError, None, "point_id"),
    ("upsert", (1, "abc", None), {}, TypeError, STR_AS_SEQUENCE, "vector"),
    ("upsert", (1, {1: 2.0}, None), {}, TypeError, type_mismatch("dict", "Sequence"), "vector"),
    ("upsert", (1, {1.0}, None), {}, TypeError, type_mismatch("set", "Sequence"), "vector"),
    ("upsert", (1, iter([1.0]), None), {}, TypeError, type_mismatch("list_iterator", "Sequence"), "vector"),
    ("upsert", (1, None, None), {}, TypeError, type_mismatch("NoneType", "Sequence"), "vector"),
    ("upsert", (1, 5, None), {}, TypeError, type_mismatch("int", "Sequence"), "vector"),
    ("upsert", (1, [1.0, "x"], None), {}, TypeError, None, "vector"),
    ("upsert", (1, [1.0, None], None), {}, TypeError, None, "vector"),
    ("upsert", (1, [1.0, 2**2000], None), {}, OverflowError, None, "vector"),
    ("upsert", (1, [Raising(ValueError, "bad float")], None), {}, ValueError, "bad float", "vector"),
    ("upsert", (1, BrokenIteration([1.0]), None), {}, KeyError, None, "vector"),
    ("upsert", (1, V, [("a", 1)]), {}, TypeError, type_mismatch("list", "dict"), "payload"),
    ("upsert", (1, V, "x"), {}, TypeError, type_mismatch("str", "dict"), "payload"),
    ("search", (V, 2.0, "cosine"), {}, TypeError, None, "limit"),
    ("search", (V, -1, "cosine"), {}, OverflowError, None, "limit"),
    ("search", (V, 3, 5), {}, TypeError, type_mismatch("int", "str"), "metric"),
    ("search", (V, 3, None), {}, TypeError, type_mismatch("NoneType", "str"), "metric"),
    ("search", (V, 3, b"cosine"), {}, TypeError, type_mismatch("bytes", "str"), "metric"),
    ("search", (V, 3, "\ud800"), {}, UnicodeEncodeError, None, "metric"),
    ("search", (V, 3, "cosine"), {"tenant_id": 5}, TypeError, type_mismatch("int", "str"), "tenant_id"),
    ("search", (V, 3, "cosine", "\udc00"), {}, UnicodeEncodeError, None, "tenant_id"),
    ("search", ("abc", 3, "nope"), {}, TypeError, STR_AS_SEQUENCE, "query_vector"),
    ("batch_search", ("ab", 3, "cosine"), {}, TypeError, STR_AS_SEQUENCE, "query_vectors"),
    ("batch_search", (["ab"], 3, "cosine"), {}, TypeError, STR_AS_SEQUENCE, "query_vectors"),
    ("batch_search", ([V, 5], 3, "cosine"), {}, TypeError, type_mismatch("int", "Sequence"), "query_vectors"),
    ("batch_search", (5, 3, "cosine"), {}, TypeError, type_mismatch("int", "Sequence"), "query_vectors"),
    ("batch_search", ([V, [1.0, "x"]], 3, "cosine"), {}, TypeError, None, "query_vectors"),
    ("batch_search", ([V], -1, "cosine"), {}, OverflowError, None, "limit"),
    ("batch_search", ([V], 1, "cosine", 7), {}, TypeError, type_mismatch("int", "str"), "tenant_id"),
    ("save", (pathlib.Path("x"),), {}, TypeError, type_mismatch("PosixPath", "str"), "path"),
    ("save", (b"x",), {}, TypeError, type_mismatch("bytes", "str"), "path"),
    ("load", (None,), {}, TypeError, type_mismatch("NoneType", "str"), "path"),
    ("load", ("\ud800",), {}, UnicodeEncodeError, None, "path"),
]


@pytest.mark.parametrize("method, args, kwargs, error, message, parameter", CONVERSION_ERRORS)
def test_conversion_errors_carry_the_argument_note(store, method, args, kwargs, error, message, parameter):
    with pytest.raises(error) as raised:
        call(store, method, args, kwargs)
    assert type(raised.value) is error
    if message is not None:
        assert str(raised.value) == message
    assert raised.value.__notes__ == [argument_note(parameter)]


def test_a_refused_note_leaves_the_exception_as_it_was(store):
    with pytest.raises(NoteRefused) as raised:
        store.upsert(1, [Raising(NoteRefused, "mine")], None)
    assert str(raised.value) == "mine"
    assert not hasattr(raised.value, "__notes__")


def test_the_original_traceback_survives(store):
    def failing_float():
        raise ZeroDivisionError("inner")

    class Item:
        def __float__(self):
            return failing_float()

    with pytest.raises(ZeroDivisionError) as raised:
        store.search([Item()], 1, "dot")
    assert raised.value.__notes__ == [argument_note("query_vector")]
    assert any(entry.name == "failing_float" for entry in raised.traceback)


@pytest.mark.parametrize(
    "args, error, parameter",
    [
        (("abc", -1, 5), TypeError, "query_vector"),
        ((V, -1, 5), OverflowError, "limit"),
        ((V, 3, 5, 5), TypeError, "metric"),
        ((V, 3, "nope", 5), TypeError, "tenant_id"),
    ],
)
def test_the_first_failing_argument_is_reported(store, args, error, parameter):
    with pytest.raises(error) as raised:
        store.search(*args)
    assert raised.value.__notes__ == [argument_note(parameter)]


def test_later_arguments_are_not_looked_at(store):
    Index.calls = 0
    with pytest.raises(TypeError):
        store.search("abc", Index(3), "cosine")
    with pytest.raises(TypeError):
        store.upsert(Index(1), "abc", None)
    assert Index.calls == 1


# ---- Metric names


@pytest.mark.parametrize("name", ["cosine", "COSINE", "Cosine", "dot", "Dot", "dot_product", "DOT_PRODUCT", "euclidean", "l2", "L2"])
def test_metric_names_accepted(store, name):
    store.upsert(1, V, None)
    assert len(store.search(V, 1, name)) == 1
    assert len(store.batch_search([V], 1, name)[0]) == 1


@pytest.mark.parametrize("name", ["cos", " cosine", "cosine ", "manhattan", "", "l1", "dot-product"])
@pytest.mark.parametrize("method, message", [("search", SEARCH_METRIC), ("batch_search", BATCH_METRIC)])
def test_unknown_metric_names(store, name, method, message):
    query = V if method == "search" else [V]
    with pytest.raises(ValueError) as raised:
        call(store, method, (query, 3, name))
    assert str(raised.value) == message
    assert not hasattr(raised.value, "__notes__")


def test_unknown_metric_changes_nothing(store):
    store.upsert(1, V, None)
    with pytest.raises(ValueError):
        store.search([2.0, 0.0], 3, "nope")
    assert store.search(V, 3, "dot") == [(1, 1.0)]


# ---- Accepted forms


@pytest.mark.parametrize(
    "point_id, stored",
    [(0, 0), (1, 1), (2**63, 2**63), (2**64 - 1, 2**64 - 1), (True, 1), (False, 0), (IntSubclass(7), 7), (Index(9), 9)],
)
def test_point_ids(store, point_id, stored):
    store.upsert(point_id, V, None)
    [(hit_id, _)] = store.search(V, 5, "dot")
    assert type(hit_id) is int and hit_id == stored


@pytest.mark.parametrize("limit, expected", [(0, 0), (True, 1), (Index(2), 2), (2**64 - 1, 3)])
def test_limits(store, limit, expected):
    for i in range(3):
        store.upsert(i, V, None)
    assert len(store.search(V, limit, "dot")) == expected


@pytest.mark.parametrize(
    "vector, expected",
    [
        ([1, 2.5, True], [1.0, 2.5, 1.0]),
        ((1, 2.5, True), [1.0, 2.5, 1.0]),
        (b"\x01\x02", [1.0, 2.0]),
        (bytearray(b"\x03\x04"), [3.0, 4.0]),
        (range(3), [0.0, 1.0, 2.0]),
        (array.array("d", [0.1, -2.0]), [f32(0.1), -2.0]),
        ([0.1, 1 / 3], [f32(0.1), f32(1 / 3)]),
        # An item's own __float__ counts, as for float(item).
        ([Index(4), IntSubclass(5)], [4.0, 12345.0]),
        ([3.4028235e38, -3.4028235e38], [FLOAT_MAX, -FLOAT_MAX]),
        # Beyond the float range but below the rounding midpoint: the
        # largest float, not an infinity.
        ([FLOAT_MAX * (1 + 2**-26)], [FLOAT_MAX]),
        ([1e-50, 2.0], [0.0, 2.0]),
        (LenRaises([1.0, 2.0]), [1.0, 2.0]),
        (LenHuge([1.0, 2.0]), [1.0, 2.0]),
    ],
)
def test_float_vector_conversion(store, vector, expected):
    store.upsert(7, vector, None)
    assert stored_components(store, 7, len(expected)) == expected


@pytest.mark.parametrize("value, expected", [(1e300, math.inf), (-1e300, -math.inf), (math.inf, math.inf), (3.5e38, math.inf)])
def test_components_beyond_float_range_become_infinities(store, value, expected):
    store.upsert(7, [value], None)
    assert store.search([1.0], 1, "dot") == [(7, expected)]


def test_nan_component_is_stored(store):
    store.upsert(7, [math.nan], None)
    [(hit_id, score)] = store.search([1.0], 1, "dot")
    assert hit_id == 7 and math.isnan(score)


def test_numpy_arrays_are_sequences(store):
    numpy = pytest.importorskip("numpy")
    store.upsert(numpy.uint64(2**64 - 1), numpy.array([0.5, 0.25], dtype=numpy.float32), None)
    assert store.search(numpy.array([1.0, 0.0]), numpy.int64(1), "dot") == [(2**64 - 1, 0.5)]


def test_empty_vector_is_stored(store):
    store.upsert(3, [], None)
    assert store.search([], 5, "dot") == [(3, -0.0)]


def test_result_items_are_int_float_pairs(store):
    store.upsert(2**64 - 1, [0.1], None)
    [item] = store.search([1.0], 1, "dot")
    assert type(item) is tuple and len(item) == 2
    assert type(item[0]) is int and type(item[1]) is float
    assert item[1] == 0.10000000149011612


@pytest.mark.parametrize("tenant", [{}, {"tenant_id": None}])
def test_tenant_none_means_no_filter(store, tenant):
    store.upsert(1, V, None)
    assert store.search(V, 3, "cosine", **tenant) == store.search(V, 3, "cosine") == [(1, 1.0)]


def test_tenant_str_subclass_is_accepted(store):
    class Tenant(str):
        pass

    store.upsert(1, V, {"tenant_id": "acme"})
    assert store.search(V, 3, "cosine", Tenant("acme")) == [(1, 1.0)]


# ---- batch_search


def test_empty_batch(store):
    assert store.batch_search([], 3, "cosine") == []


@pytest.mark.parametrize("queries", [[V], [V, [0.0, 1.0], V], ((1, 0), (0.5, 0.5)), [b"\x01\x00", range(2)]])
@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
def test_batch_matches_single_searches(store, queries, metric):
    for i, vector in enumerate([[1.0, 0.0], [0.0, 1.0], [0.6, 0.8], [2.0, 2.0]]):
        store.upsert(i, vector, {"tenant_id": "a" if i % 2 else "b"})
    for tenant in [None, "a"]:
        batch = store.batch_search(queries, 3, metric, tenant)
        assert batch == [store.search(q, 3, metric, tenant) for q in queries]
        assert all(type(result) is list for result in batch)
