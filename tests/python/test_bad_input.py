"""Arbitrary Python objects thrown at every argument of every method.

Each drawn argument is a recipe that makes a fresh object on demand, so a
model of the conversion rules and the real call each see their own copy
(hostile objects may change as they are used). The model predicts, from the
rules alone, whether a call succeeds and with what, or which exception it
raises and with which argument note. The real call must agree, and a failed
call must leave the store byte-for-byte as it was (compared through save).

The model calls the interpreter's own primitives where the rules name them
(its sequence check and its float conversion, through ctypes; operator.index
for the index protocol), so interpreter-worded messages are compared by type
only; messages of the module's own are compared exactly.

The example budget comes from the hypothesis profile named by the
environment variable HYPOTHESIS_PROFILE: "quick" (the default, for the
normal suite) or "hardening" (for the long CI stage).
"""

import array
import ctypes
import operator
import os
import pathlib
import struct
import tempfile

import numpy
import pytest
from hypothesis import HealthCheck, event, given, settings, strategies as st
from hypothesis.extra import numpy as hnp

import quorbell
from hostile_objects import (
    LIED_LENGTHS,
    DictSubclass,
    FloatLies,
    FloatRaises,
    FloatSubclass,
    GetItemOnly,
    IndexLies,
    IndexRaises,
    IntSubclass,
    IterLies,
    IterRaises,
    IterRaisesMidway,
    LenLies,
    LenRaises,
    NoteRefused,
    Reentrant,
    Refused,
    Shrinking,
    StrSubclass,
)
from pinned_texts import (
    BATCH_METRIC,
    CREATE,
    NUL_PATH,
    OPEN,
    SEARCH_METRIC,
    SNAPSHOT_PREFIXES,
    STR_AS_SEQUENCE,
    argument_note,
    type_mismatch,
)
from test_snapshot import canonical, decode

# The model and the call both run the hostile objects' conversions, which
# warn about deprecated results (a __float__ returning a float subclass) or
# numpy's discarded imaginary parts; the outcome is what counts here.
pytestmark = pytest.mark.filterwarnings("ignore::DeprecationWarning", "ignore:Casting complex values")

settings.register_profile(
    "quick",
    max_examples=50,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large, HealthCheck.filter_too_much],
)
settings.register_profile("hardening", parent=settings.get_profile("quick"), max_examples=1500)
BUDGET = settings(settings.get_profile(os.environ.get("HYPOTHESIS_PROFILE", "quick")))

METRICS = {"cosine": "cosine", "dot_product": "dot", "dot": "dot", "euclidean": "l2", "l2": "l2"}
OMITTED = object()  # an optional argument left out of the call

_sequence_check = ctypes.pythonapi.PySequence_Check
_sequence_check.argtypes, _sequence_check.restype = [ctypes.py_object], ctypes.c_int
_float_as_double = ctypes.pythonapi.PyFloat_AsDouble
_float_as_double.argtypes, _float_as_double.restype = [ctypes.py_object], ctypes.c_double


# ---- Recipes: one drawn argument, made afresh for each use


class Recipe:
    def __init__(self, make, text):
        self.make, self.text = make, text

    def __call__(self):
        return self.make()

    def __repr__(self):
        return self.text


def constant(value):
    return Recipe(lambda: value, repr(value))


def recipe_of(cls, *parts):
    """cls(*made parts), fresh each time."""
    return Recipe(lambda: cls(*(p() if isinstance(p, Recipe) else p for p in parts)),
                  f"{cls.__name__}({', '.join(map(repr, parts))})")


def sequence_of(kind, items):
    return Recipe(lambda: kind(item() for item in items), f"{kind.__name__}({items!r})")


surrogates = st.integers(0xD800, 0xDFFF).map(chr)
texts = st.lists(st.one_of(st.characters(), surrogates), max_size=12).map("".join)
huge_ints = st.sampled_from([-1, 2**63 - 1, 2**63, -(2**63), -(2**63) - 1, 2**64 - 1, 2**64, 10**400, -(10**400)])
ints = st.one_of(st.integers(), huge_ints)
floats = st.one_of(st.floats(), st.sampled_from([1e300, -1e300, 3.4028235e38, 3.4028236e38, 5e-324, -0.0]))
plain = st.one_of(st.none(), st.booleans(), ints, floats, texts, st.binary(max_size=8), st.just(Ellipsis))
errors = st.sampled_from([Refused, NoteRefused, TypeError, OverflowError, MemoryError, KeyError])


def made(strategy):
    return strategy.map(constant)


plain_recipes = made(plain)
buffers = st.one_of(
    st.binary(max_size=8).map(lambda b: Recipe(lambda: bytearray(b), f"bytearray({b!r})")),
    st.binary(max_size=8).map(lambda b: Recipe(lambda: memoryview(b), f"memoryview({b!r})")),
    st.lists(st.floats(width=32), max_size=6).map(
        lambda xs: Recipe(lambda: memoryview(array.array("f", xs)), f"memoryview(array('f', {xs!r}))")
    ),
)
arrays = hnp.arrays(
    dtype=st.one_of(hnp.scalar_dtypes(), hnp.byte_string_dtypes(), hnp.unicode_string_dtypes(), st.just(object)),
    shape=hnp.array_shapes(min_dims=0, max_dims=2, max_side=4),
).map(lambda a: Recipe(a.copy, f"numpy.{a!r}"))
numpy_scalars = hnp.arrays(dtype=hnp.scalar_dtypes(), shape=1).map(lambda a: constant(a[0]))

# Items of a vector: numbers of every kind, and objects whose conversion
# protocols raise or lie.
number_items = st.one_of(
    made(st.one_of(st.booleans(), ints, floats)),
    made(st.one_of(ints.map(IntSubclass), floats.map(FloatSubclass))),
    numpy_scalars,
    errors.map(lambda e: recipe_of(FloatRaises, e)),
    errors.map(lambda e: recipe_of(IndexRaises, e)),
    made(st.one_of(floats, texts, ints, st.none(), floats.map(FloatSubclass))).map(lambda v: recipe_of(FloatLies, v)),
    made(st.one_of(ints, floats, texts, ints.map(IntSubclass))).map(lambda v: recipe_of(IndexLies, v)),
    plain_recipes,
)
number_lists = st.lists(number_items, max_size=6)
good_numbers = st.one_of(
    made(st.one_of(st.floats(-8, 8, width=32), st.integers(-9, 9), st.booleans(), floats)),
    made(st.floats(-8, 8).map(FloatSubclass)),
    made(st.floats(-8, 8).map(numpy.float32)),
)
good_vectors = st.one_of(
    st.lists(st.floats(-8, 8, width=32), min_size=4, max_size=4).map(constant),
    st.lists(good_numbers, min_size=4, max_size=4).map(lambda items: sequence_of(list, items)),
    st.lists(good_numbers, max_size=6).map(lambda items: sequence_of(tuple, items)),
    hnp.arrays(numpy.float64, 4, elements=st.floats(-8, 8)).map(lambda a: Recipe(a.copy, f"numpy.{a!r}")),
    made(st.binary(min_size=4, max_size=4)),
)


hostile_sequences = st.one_of(
    number_lists.map(lambda items: sequence_of(list, items)),
    number_lists.map(lambda items: sequence_of(tuple, items)),
    number_lists.map(lambda items: sequence_of(IterRaises, items)),
    number_lists.map(lambda items: sequence_of(IterRaisesMidway, items)),
    number_lists.map(lambda items: sequence_of(IterLies, items)),
    number_lists.map(lambda items: sequence_of(LenRaises, items)),
    number_lists.map(lambda items: sequence_of(GetItemOnly, items)),
    st.tuples(number_lists, st.sampled_from(LIED_LENGTHS)).map(
        lambda p: Recipe(lambda: LenLies([i() for i in p[0]], p[1]), f"LenLies({p[0]!r}, {p[1]})")
    ),
    st.integers(0, 5).map(lambda n: recipe_of(Shrinking, n)),
    st.integers(-3, 9).map(lambda n: Recipe(lambda: range(n), f"range({n})")),
)
non_sequences = st.one_of(
    st.just(Recipe(lambda: {0.5, 1.0}, "{0.5, 1.0}")),
    number_lists.map(lambda items: Recipe(lambda: iter([i() for i in items]), f"iter({items!r})")),
    st.just(Recipe(lambda: {1: 2.0}, "{1: 2.0}")),
    st.just(Recipe(lambda: DictSubclass(a=1.0), "DictSubclass(a=1.0)")),
    st.just(Recipe(object, "object()")),
)
anything = st.one_of(plain_recipes, buffers, arrays, number_items, hostile_sequences, non_sequences,
                     texts.map(lambda t: recipe_of(StrSubclass, t)))


def mostly(good, bad):
    """`good` seven times in ten, so that later arguments get their turn."""
    return st.integers(0, 9).flatmap(lambda n: good if n < 7 else bad)


vectors = mostly(good_vectors, st.one_of(hostile_sequences, arrays, buffers, anything))
ids = mostly(
    st.one_of(made(st.integers(0, 30)), made(st.integers(0, 30).map(IntSubclass)), made(st.booleans()),
              st.integers(0, 30).map(lambda n: recipe_of(IndexLies, n))),
    st.one_of(made(huge_ints), anything),
)
limits = mostly(made(st.one_of(st.integers(0, 40), st.just(2**64 - 1))), st.one_of(made(huge_ints), anything))
metric_names = st.sampled_from(["cosine", "COSINE", "Dot", "dot_product", "l2", "L2", "EuclideaN", "cos", " cosine",
                                "", "dot\0", "\u212aosine", "\u0130", "cosine\udc80"])
metrics = mostly(made(metric_names), st.one_of(metric_names.map(lambda t: recipe_of(StrSubclass, t)), anything))
tenants = mostly(st.one_of(st.just(constant(OMITTED)), made(st.sampled_from([None, "a", "b", "", "A"]))),
                 st.one_of(made(texts), texts.map(lambda t: recipe_of(StrSubclass, t)), anything))

hashable_keys = st.one_of(made(st.sampled_from(["tenant_id", "a", "b"])), made(texts),
                          texts.map(lambda t: recipe_of(StrSubclass, t)), made(st.one_of(ints, floats, st.none())),
                          made(st.tuples(st.integers())))
payload_values = st.one_of(
    made(st.one_of(st.sampled_from(["a", "b", "x" * 64, "x" * 65, "\u00e9" * 33]), texts, ints, floats, st.booleans())),
    made(st.one_of(ints.map(IntSubclass), floats.map(FloatSubclass))),
    texts.map(lambda t: recipe_of(StrSubclass, t)),
    anything,
)
payload_entries = st.lists(st.tuples(hashable_keys, payload_values), max_size=5)


def dict_recipe(kind, entries):
    return Recipe(lambda: kind((k(), v()) for k, v in entries), f"{kind.__name__}({entries!r})")


good_payload_entries = st.lists(st.tuples(made(st.sampled_from(["tenant_id", "a", "b"])), payload_values), max_size=4)
payloads = mostly(
    st.one_of(st.just(constant(None)), good_payload_entries.map(lambda e: dict_recipe(dict, e))),
    st.one_of(payload_entries.map(lambda e: dict_recipe(dict, e)), payload_entries.map(lambda e: dict_recipe(DictSubclass, e)),
              anything),
)


# ---- The model of the conversion rules


class Rejected(Exception):
    """A predicted failure: exception type, message (None: the interpreter's
    wording, not compared) and argument note (None: no note)."""

    def __init__(self, kind, message=None, note=None):
        super().__init__(kind, message, note)
        self.kind, self.message, self.note = kind, message, note


def mismatch(obj, required):
    raise Rejected(TypeError, type_mismatch(type(obj).__qualname__, required))


def argument(name, convert, obj):
    """convert(obj), with any failure turned into a Rejected carrying the
    note for `name` (none when the exception refuses notes)."""
    try:
        return convert(obj)
    except Rejected as rejected:
        raise Rejected(rejected.kind, rejected.message, name) from None
    except Exception as error:
        raise Rejected(type(error), None, None if isinstance(error, NoteRefused) else name) from None


def model_uint64(obj):
    value = int.__index__(obj) if isinstance(obj, int) else operator.index(obj)
    if not 0 <= value < 2**64:
        raise Rejected(OverflowError)
    return value


def float32_bits(value):
    with numpy.errstate(over="ignore"):
        return int(numpy.array([value], dtype=numpy.float64).astype(numpy.float32).view(numpy.uint32)[0])


def model_float(item):
    return float32_bits(item if type(item) is float else _float_as_double(item))


def model_sequence(obj, convert_item):
    if isinstance(obj, str):
        raise Rejected(TypeError, STR_AS_SEQUENCE)
    if not _sequence_check(obj):
        mismatch(obj, "Sequence")
    return [convert_item(item) for item in obj]


def model_vector(obj):
    return model_sequence(obj, model_float)


def model_vectors(obj):
    return model_sequence(obj, model_vector)


def model_string(obj):
    if not isinstance(obj, str):
        mismatch(obj, "str")
    str.encode(obj, "utf-8")  # lone surrogates raise UnicodeEncodeError
    return str.__str__(obj)


def model_optional_string(obj):
    return None if obj is OMITTED or obj is None else model_string(obj)


def model_metric(name, message):
    metric = METRICS.get(name.lower())
    if metric is None:
        raise Rejected(ValueError, message)
    return metric


def model_payload(obj):
    """The payload as the snapshot holds it: {key bytes: (tag, value)}."""
    if obj is None:
        return None
    if not isinstance(obj, dict):
        mismatch(obj, "dict")
    entries = {}
    for key, value in dict.items(obj):
        if not isinstance(key, str):
            mismatch(key, "str")
        name = encoded(key)
        if isinstance(value, str):
            text = encoded(value)
            entries[name] = (0 if len(text) <= 64 else 1, text)
        elif isinstance(value, int):
            number = int.__index__(value)
            if not -(2**63) <= number < 2**63:
                raise Rejected(OverflowError)
            entries[name] = (2, number)
        elif isinstance(value, float):
            entries[name] = (3, struct.unpack("<Q", struct.pack("<d", float.__float__(value)))[0])
    return entries


def encoded(text):
    try:
        return str.encode(text, "utf-8")
    except UnicodeEncodeError:
        raise Rejected(UnicodeEncodeError) from None


def predict(model):
    """("ok", value) or ("rejected", Rejected)."""
    try:
        return "ok", model()
    except Rejected as rejected:
        return "rejected", rejected


# ---- Calling and checking


def call(method, names, recipes, keywords):
    """Calls with fresh arguments, by position or by keyword; an omitted
    optional argument is left out."""
    arguments = [(name, recipe()) for name, recipe in zip(names, recipes)]
    arguments = [(name, value) for name, value in arguments if value is not OMITTED]
    if keywords:
        return method(**dict(arguments))
    return method(*(value for _, value in arguments))


def outcome(action):
    try:
        return "ok", action()
    except BaseException as error:  # PanicException derives from BaseException
        return "raised", error


def check(expected, actual):
    kind, detail = expected
    event("succeeds" if kind == "ok" else f"{detail.kind.__name__}" + (" with note" if detail.note else ""))
    if kind == "ok":
        assert actual[0] == "ok", f"expected success, got {actual[1]!r}"
        return
    assert actual[0] == "raised", f"expected {detail.kind.__name__}, but the call succeeded"
    error = actual[1]
    assert type(error) is detail.kind, f"expected {detail.kind.__name__}, got {error!r}"
    if detail.message is not None:
        assert str(error) == detail.message
    notes = [argument_note(detail.note)] if detail.note else []
    assert getattr(error, "__notes__", []) == notes


def state_bytes(store, directory):
    path = os.path.join(directory, "state.qb")
    store.save(path)
    return pathlib.Path(path).read_bytes()


def exactly(hits):
    """A hit list with each score as its bit pattern, so NaN equals NaN."""
    return [(point_id, struct.pack("<d", score)) for point_id, score in hits]


def floats_of(bits):
    return [struct.unpack("<f", struct.pack("<I", b))[0] for b in bits]


@pytest.fixture(scope="module")
def workspace():
    """A small store and a graph-sized one, saved once, and a directory for
    the files the calls write."""
    with tempfile.TemporaryDirectory() as directory:
        rng = numpy.random.default_rng(5)
        snapshots = {}
        for name, count in (("small", 20), ("graph", 600)):
            store = quorbell.VectorStorage()
            for i, vector in enumerate(rng.standard_normal((count, 4), dtype=numpy.float32).tolist()):
                store.upsert(i, vector, {"tenant_id": "ab"[i % 2], "rank": i} if i % 5 else None)
            snapshots[name] = os.path.join(directory, f"{name}.qb")
            store.save(snapshots[name])
        stores = {}
        for name, path in snapshots.items():
            stores[name] = quorbell.VectorStorage()
            stores[name].load(path)
        pathlib.Path(directory, "f_corrupt").write_bytes(b"\x01\x07")
        pathlib.Path(directory, "f_good").write_bytes(pathlib.Path(snapshots["small"]).read_bytes())
        # A drawn bare text is a path relative to the working directory:
        # it must land here too, not in the checkout.
        previous = os.getcwd()
        os.chdir(directory)
        try:
            yield {"directory": directory, "snapshots": snapshots, "stores": stores}
        finally:
            os.chdir(previous)


def fresh_store(workspace):
    store = quorbell.VectorStorage()
    store.load(workspace["snapshots"]["small"])
    return store


# ---- The methods


@BUDGET
@given(point_id=ids, vector=vectors, payload=payloads, keywords=st.booleans())
def test_upsert(workspace, point_id, vector, payload, keywords):
    def model():
        key = argument("point_id", model_uint64, point_id())
        bits = argument("vector", model_vector, vector())
        payload_object = argument("payload", lambda p: p if p is None or isinstance(p, dict) else mismatch(p, "dict"),
                                  payload())
        return key, bits, model_payload(payload_object)

    expected = predict(model)
    store = fresh_store(workspace)
    before = state_bytes(store, workspace["directory"])
    actual = outcome(lambda: call(store.upsert, ["point_id", "vector", "payload"], [point_id, vector, payload], keywords))
    check(expected, actual)
    after = state_bytes(store, workspace["directory"])
    if expected[0] == "ok":
        key, bits, entries = expected[1]
        assert actual[1] is None
        points, _, _ = canonical(decode(after))
        wanted, _, _ = canonical(decode(before))
        wanted[key] = (key, tuple(bits), entries)
        assert points == wanted
    else:
        assert after == before


def search_model(query_model, query, limit, metric, tenant, message):
    def model():
        converted = argument(query_model[0], query_model[1], query())
        count = argument("limit", model_uint64, limit())
        name = argument("metric", model_string, metric())
        tenant_text = argument("tenant_id", model_optional_string, tenant())
        return converted, count, model_metric(name, message), tenant_text

    return model


@BUDGET
@given(graph=st.booleans(), query=vectors, limit=limits, metric=metrics, tenant=tenants, keywords=st.booleans())
def test_search(workspace, graph, query, limit, metric, tenant, keywords):
    store = workspace["stores"]["graph" if graph else "small"]
    expected = predict(search_model(("query_vector", model_vector), query, limit, metric, tenant, SEARCH_METRIC))
    before = state_bytes(store, workspace["directory"])
    names = ["query_vector", "limit", "metric", "tenant_id"]
    actual = outcome(lambda: call(store.search, names, [query, limit, metric, tenant], keywords))
    check(expected, actual)
    if expected[0] == "ok":
        bits, count, name, tenant_text = expected[1]
        assert exactly(actual[1]) == exactly(store.search(floats_of(bits), count, name, tenant_text))
    assert state_bytes(store, workspace["directory"]) == before


query_lists = mostly(
    st.one_of(
        st.lists(good_vectors, max_size=5).map(lambda qs: sequence_of(list, qs)),
        st.lists(good_vectors, max_size=5).map(lambda qs: sequence_of(tuple, qs)),
        hnp.arrays(numpy.float32, (st.integers(0, 5).map(lambda n: (n, 4)))).map(lambda a: Recipe(a.copy, f"numpy.{a!r}")),
    ),
    st.one_of(
        st.lists(vectors, max_size=5).map(lambda qs: sequence_of(list, qs)),
        st.lists(good_vectors, max_size=3).map(lambda qs: sequence_of(IterRaisesMidway, qs)),
        arrays,
        anything,
    ),
)


@BUDGET
@given(graph=st.booleans(), queries=query_lists, limit=limits, metric=metrics, tenant=tenants, keywords=st.booleans())
def test_batch_search(workspace, graph, queries, limit, metric, tenant, keywords):
    store = workspace["stores"]["graph" if graph else "small"]
    expected = predict(search_model(("query_vectors", model_vectors), queries, limit, metric, tenant, BATCH_METRIC))
    before = state_bytes(store, workspace["directory"])
    names = ["query_vectors", "limit", "metric", "tenant_id"]
    actual = outcome(lambda: call(store.batch_search, names, [queries, limit, metric, tenant], keywords))
    check(expected, actual)
    if expected[0] == "ok":
        all_bits, count, name, tenant_text = expected[1]
        assert [exactly(hits) for hits in actual[1]] == [
            exactly(store.search(floats_of(bits), count, name, tenant_text)) for bits in all_bits
        ]
    assert state_bytes(store, workspace["directory"]) == before


def path_recipes(directory):
    """Paths kept inside the test's directory: drawn texts become file names
    there (a '/' in them cannot lead out), next to a snapshot, a corrupt file
    and the directory itself; or any other object."""
    names = st.one_of(st.text(max_size=12), st.text(max_size=300), texts)
    inside = names.map(lambda t: os.path.join(directory, "f_" + t.replace("/", "_")))
    named = st.sampled_from(["good", "corrupt", "missing", "x\0y"]).map(lambda n: os.path.join(directory, "f_" + n))
    strings = st.one_of(inside, named, st.just(directory), st.just(os.path.join(directory, "no", "such")))
    return mostly(
        st.one_of(made(strings), strings.map(lambda t: recipe_of(StrSubclass, t))),
        st.one_of(strings.map(lambda t: Recipe(lambda: pathlib.Path(t), f"Path({t!r})")),
                  strings.map(lambda t: constant(t.encode("utf-8", "surrogatepass"))), anything),
    )


@BUDGET
@given(data=st.data(), keywords=st.booleans())
def test_save(workspace, data, keywords):
    directory = workspace["directory"]
    path = data.draw(path_recipes(directory), label="path")
    store = workspace["stores"]["small"]
    expected = predict(lambda: argument("path", model_string, path()))
    before = state_bytes(store, directory)
    actual = outcome(lambda: call(store.save, ["path"], [path], keywords))
    if expected[0] == "ok" and "\0" in expected[1]:
        expected = ("rejected", Rejected(OSError, CREATE + NUL_PATH))
    if expected[0] == "ok" and actual[0] == "raised" and type(actual[1]) is OSError:
        # Whether the system takes the name (its length, a directory in the
        # way) is the system's business; the message must say which step.
        event("OSError from the system")
        assert str(actual[1]).startswith(SNAPSHOT_PREFIXES)
    else:
        check(expected, actual)
        if expected[0] == "ok":
            assert pathlib.Path(expected[1]).read_bytes() == before
    assert state_bytes(store, directory) == before


@BUDGET
@given(data=st.data(), keywords=st.booleans())
def test_load(workspace, data, keywords):
    directory = workspace["directory"]
    path = data.draw(path_recipes(directory), label="path")
    store = fresh_store(workspace)
    expected = predict(lambda: argument("path", model_string, path()))
    before = state_bytes(store, directory)
    actual = outcome(lambda: call(store.load, ["path"], [path], keywords))
    after = state_bytes(store, directory)
    if expected[0] == "ok":
        text = expected[1]
        if "\0" in text:
            check(("rejected", Rejected(OSError, OPEN + NUL_PATH)), actual)
        elif actual[0] == "raised":
            event("OSError from the system or the decoder")
            assert type(actual[1]) is OSError and str(actual[1]).startswith(SNAPSHOT_PREFIXES)
        else:
            # Only a snapshot loads, and then it is all the store holds.
            event("succeeds")
            assert canonical(decode(after)) == canonical(decode(pathlib.Path(text).read_bytes()))
            return
    else:
        check(expected, actual)
    assert after == before


@BUDGET
@given(args=st.lists(anything, max_size=3), kwargs=st.dictionaries(texts, anything, max_size=3))
def test_constructor(args, kwargs):
    actual = outcome(lambda: quorbell.VectorStorage(*(a() for a in args), **{k: v() for k, v in kwargs.items()}))
    if args:
        were = "was" if len(args) == 1 else "were"
        expected = f"VectorStorage.__new__() takes 0 positional arguments but {len(args)} {were} given"
    elif kwargs:
        expected = f"VectorStorage.__new__() got an unexpected keyword argument '{next(iter(kwargs))}'"
    else:
        assert actual[0] == "ok" and type(actual[1]) is quorbell.VectorStorage
        return
    check(("rejected", Rejected(TypeError, expected)), actual)


PARAMETERS = {
    "upsert": ("point_id", "vector", "payload"),
    "search": ("query_vector", "limit", "metric", "tenant_id"),
    "batch_search": ("query_vectors", "limit", "metric", "tenant_id"),
    "save": ("path",),
    "load": ("path",),
}


@BUDGET
@given(method=st.sampled_from(sorted(PARAMETERS)), name=texts, value=anything)
def test_unknown_keywords_are_refused_before_anything_is_converted(workspace, method, name, value):
    if name in PARAMETERS[method]:
        name += "_"
    store = workspace["stores"]["small"]
    before = state_bytes(store, workspace["directory"])
    actual = outcome(lambda: getattr(store, method)(**{name: value()}))
    message = f"VectorStorage.{method}() got an unexpected keyword argument '{name}'"
    check(("rejected", Rejected(TypeError, message)), actual)
    assert state_bytes(store, workspace["directory"]) == before


# ---- Conversion calling back into the same store
#
# Arguments are converted before the store takes any lock, so a conversion
# that calls the store again (any method, writes included) must neither
# deadlock nor see a half-made change; the inner call's effect is in place
# when the outer call runs.

INNER_CALLS = {
    "upsert": lambda store, path: store.upsert(99, [1.0, 1.0], {"tenant_id": "a"}),
    "search": lambda store, path: store.search([1.0, 1.0], 3, "dot"),
    "batch_search": lambda store, path: store.batch_search([[1.0, 1.0], [0.5, 1.0]], 3, "dot"),
    "save": lambda store, path: store.save(path),
    "load": lambda store, path: store.load(path),
}
OUTER_CALLS = {
    "upsert": lambda store, item: store.upsert(98, [item, 1.0], None),
    "search": lambda store, item: store.search([item, 1.0], 100, "dot"),
    "batch_search": lambda store, item: store.batch_search([[1.0, 1.0], [item, 1.0]], 100, "dot"),
}


@pytest.mark.parametrize("inner", sorted(INNER_CALLS))
@pytest.mark.parametrize("outer", sorted(OUTER_CALLS))
def test_a_conversion_may_call_the_store_again(tmp_path, outer, inner):
    store = quorbell.VectorStorage()
    store.upsert(1, [1.0, 0.0], None)
    snapshot = str(tmp_path / "inner.qb")
    loaded = quorbell.VectorStorage()
    loaded.upsert(7, [0.0, 1.0], None)
    loaded.save(snapshot)
    result = OUTER_CALLS[outer](store, Reentrant(lambda: INNER_CALLS[inner](store, snapshot)))
    ids = {point_id for point_id, _ in store.search([1.0, 1.0], 100, "dot")}
    expected = {7} if inner == "load" else {1, 99} if inner == "upsert" else {1}
    if outer == "upsert":
        expected |= {98}
    assert ids == expected
    if outer == "search":
        assert {point_id for point_id, _ in result} == expected
    if outer == "batch_search":
        assert [{point_id for point_id, _ in hits} for hits in result] == [expected, expected]
