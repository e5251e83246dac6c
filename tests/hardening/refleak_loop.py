"""Reference-leak loop for the quorbell module, run under a debug interpreter.

Every method of VectorStorage, and the constructor, is called through each
of its paths: success, argument binding errors, conversion errors with
their notes (hostile __index__/__float__/__iter__/__len__ included),
payload errors, unknown metrics, every OSError of save and load, and
an upsert that runs out of memory, and the same store used afterwards.
Each case runs in rounds: after warm-up rounds, the interpreter's total
reference count (sys.gettotalrefcount) and its count of allocated memory
blocks (sys.getallocatedblocks) must not grow in every measured round. A
case that leaks one reference per call grows by at least CALLS_PER_ROUND in
every round and fails.

Usage: python3.14-dbg refleak_loop.py [--rounds N] [--warmup N] [--calls N]
                                      [--self-test] [-k SUBSTRING]
Exits 1 on a leak (or a case that does not behave as expected).
"""

import argparse
import array
import ctypes
import gc
import pathlib
import resource
import sys
import tempfile

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))

import numpy  # noqa: E402

import quorbell  # noqa: E402
from hostile_objects import (  # noqa: E402
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

VectorStorage = quorbell.VectorStorage


class Case:
    """One call, and the exception it must raise (None: it must succeed)."""

    def __init__(self, name, call, raises=None):
        self.name, self.call, self.raises = name, call, raises

    def run(self):
        try:
            self.call()
        except BaseException as error:
            if self.raises is None or type(error) is not self.raises:
                raise AssertionError(f"{self.name}: raised {type(error).__name__}: {error}") from error
            return
        if self.raises is not None:
            raise AssertionError(f"{self.name}: did not raise {self.raises.__name__}")


def settle():
    """Empties the interpreter's caches, then collects garbage. The type
    attribute cache holds a reference to each name it saw, so a new name
    object per call fills it for a while without leaking."""
    clear_caches = getattr(sys, "_clear_internal_caches", None) or sys._clear_type_cache
    clear_caches()
    gc.collect()


def measure(case, warmup, rounds, calls):
    """Per measured round, the growth of (total references, allocated blocks)."""
    for _ in range(warmup * calls):
        case.run()
    # Readings go into preallocated arrays, so taking them creates no object
    # that outlives a round; the growth is the difference between the
    # readings at the ends of consecutive rounds.
    references = array.array("q", [0] * (rounds + 1))
    blocks = array.array("q", [0] * (rounds + 1))
    for reading in range(rounds + 1):
        for _ in range(calls):
            case.run()
        settle()
        references[reading] = sys.gettotalrefcount()
        blocks[reading] = sys.getallocatedblocks()
    return [(references[i + 1] - references[i], blocks[i + 1] - blocks[i]) for i in range(rounds)]


def leaks(growth):
    """A counter leaks when it grew in every measured round."""
    return [all(g[i] > 0 for g in growth) for i in (0, 1)]


# ---- The stores and files the cases work on


def random_vectors(count, dimension, seed):
    generator = numpy.random.default_rng(seed)
    return generator.standard_normal((count, dimension), dtype=numpy.float32).tolist()


def filled_store(count, dimension=8):
    store = VectorStorage()
    for i, vector in enumerate(random_vectors(count, dimension, seed=count)):
        store.upsert(i, vector, {"tenant_id": "ab"[i % 2], "rank": i, "weight": i / 2})
    return store


def corrupt_snapshots(directory, good):
    """Files that fail decoding, one per decoder error."""
    files = {
        "truncated": good[:-1],
        "empty": b"",
        "bad option": bytes.fromhex("01 07 07 00 02"),
        "bad variant": bytes.fromhex("01 07 07 00 01 01 01 61 04"),
        "bad utf-8": bytes.fromhex("01 07 07 00 01 01 01 FF 02 02"),
        "bad varint": bytes.fromhex("FF FF FF FF FF FF FF FF FF 02"),
    }
    paths = {}
    for name, data in files.items():
        path = directory / (name.replace(" ", "_") + ".qb")
        path.write_bytes(data)
        paths[name] = str(path)
    return paths


def starved_upsert():
    """A store and a call that upserts into it a vector too large to keep,
    raising MemoryError, or (None, None) when no address-space limit makes
    the upsert fail.

    The limit must let the argument's conversion through and stop the
    store's own copy of the vector. How much room that takes depends on the
    allocators, so growing limits are tried until one works; the call then
    sets that limit for each upsert."""
    components = 8 << 20  # 32 MiB as 32-bit floats
    source = bytes(components)
    with open("/proc/self/status") as status:
        size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    store = VectorStorage()
    store.upsert(1, [1.0], {"tenant_id": "a"})

    def upsert_with(headroom_mib):
        resource.setrlimit(resource.RLIMIT_AS, (size + (headroom_mib << 20), hard))
        try:
            store.upsert(1, source, None)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))

    for headroom_mib in range(36, 100, 4):
        try:
            upsert_with(headroom_mib)
        except MemoryError:
            return store, lambda: upsert_with(headroom_mib)
        store.upsert(1, [1.0], {"tenant_id": "a"})
    return None, None


def build_cases(directory):
    small = filled_store(20)
    graph = filled_store(600)
    scratch = VectorStorage()
    scratch.upsert(1, [1.0, 2.0], None)
    snapshot = str(directory / "small.qb")
    small.save(snapshot)
    good = pathlib.Path(snapshot).read_bytes()
    corrupt = corrupt_snapshots(directory, good)
    out = str(directory / "out.qb")
    query = [0.5] * 8
    # numpy's own constructors leak references on a debug interpreter, so
    # its objects are made once, outside the measured calls.
    float32s, int64s = numpy.arange(4, dtype=numpy.float32), numpy.arange(4)
    largest_id, float64s, matrix = numpy.uint64(2**64 - 1), numpy.ones(8), numpy.ones((5, 8))
    reversed_halves, endless = numpy.ones(8, dtype=numpy.float16)[::-1], numpy.broadcast_to(numpy.int8(1), (2**62,))
    matrix_view, swapped = memoryview(matrix), numpy.ones(8, dtype=">f4")
    queries = random_vectors(7, 8, seed=1)
    long_text = "x" * 100

    cases = [
        # Construction
        Case("new and dealloc", lambda: VectorStorage()),
        Case("new with a positional", lambda: VectorStorage(1), TypeError),
        Case("new with a keyword", lambda: VectorStorage(size=3), TypeError),
        # upsert: success in every accepted form
        Case("upsert list", lambda: scratch.upsert(2, [1.0, 2.5, 3], None)),
        Case("upsert keywords", lambda: scratch.upsert(payload=None, vector=[1.0], point_id=3)),
        Case("upsert tuple bools", lambda: scratch.upsert(True, (1, 2.5, True), None)),
        Case("upsert bytes", lambda: scratch.upsert(4, b"\x01\x02", None)),
        Case("upsert bytearray", lambda: scratch.upsert(4, bytearray(b"\x01\x02"), None)),
        Case("upsert memoryview", lambda: scratch.upsert(4, memoryview(b"\x01\x02"), None)),
        Case("upsert range", lambda: scratch.upsert(5, range(6), None)),
        Case("upsert numpy float32", lambda: scratch.upsert(6, float32s, None)),
        Case("upsert numpy int64", lambda: scratch.upsert(6, int64s, None)),
        Case("upsert buffer reversed float16", lambda: scratch.upsert(6, reversed_halves, None)),
        Case("upsert buffer byte-swapped", lambda: scratch.upsert(6, swapped, None)),
        Case("upsert buffer 2-D as one vector", lambda: scratch.upsert(6, matrix, None), TypeError),
        Case("upsert buffer too long to hold", lambda: scratch.upsert(6, endless, None), MemoryError),
        Case("batch buffer 1-D as a batch", lambda: scratch.batch_search(float64s, 1, "dot"), TypeError),
        Case("batch buffer 2-D memoryview", lambda: scratch.batch_search(matrix_view, 1, "dot")),
        Case("upsert numpy uint64 id", lambda: scratch.upsert(largest_id, [1.0], None)),
        Case("upsert empty vector", lambda: scratch.upsert(7, [], None)),
        Case("upsert huge component", lambda: scratch.upsert(7, [1e300, -1e300, float("nan")], None)),
        Case("upsert int subclass items", lambda: scratch.upsert(IntSubclass(8), [IntSubclass(3)], None)),
        Case("upsert float subclass items", lambda: scratch.upsert(8, [FloatSubclass(0.5)], None)),
        Case("upsert getitem-only sequence", lambda: scratch.upsert(9, GetItemOnly([1.0, 2.0]), None)),
        Case("upsert shrinking vector", lambda: scratch.upsert(9, Shrinking(3), None)),
        Case("upsert lying lengths", lambda: scratch.upsert(9, LenLies([1.0, 2.0], 2**31), None)),
        Case("upsert negative length", lambda: scratch.upsert(9, LenLies([1.0], -1), None)),
        Case("upsert raising length", lambda: scratch.upsert(9, LenRaises([1.0, 2.0]), None)),
        Case("upsert payload of every kind", lambda: scratch.upsert(10, [1.0], {
            "tenant_id": "a", "text": long_text, "int": -3, "bool": True, "float": 0.5,
            "none": None, "list": [1], "dict": {}, "bytes": b"x", StrSubclass("sub"): FloatSubclass(2.0),
            "int subclass": IntSubclass(-4)})),
        Case("upsert empty payload", lambda: scratch.upsert(11, [1.0], {})),
        Case("upsert calling back", lambda: scratch.upsert(13, [Reentrant(lambda: scratch.upsert(14, [1.0], None))], None)),
        Case("search calling back", lambda: small.search([Reentrant(lambda: small.save(out))] * 8, 3, "dot")),
        Case("upsert dict subclass payload", lambda: scratch.upsert(12, [1.0], DictSubclass(a=1, b="x"))),
        # upsert: binding errors
        Case("upsert missing", lambda: scratch.upsert(1, [1.0]), TypeError),
        Case("upsert too many", lambda: scratch.upsert(1, [1.0], None, 4), TypeError),
        Case("upsert unknown keyword", lambda: scratch.upsert(1, [1.0], None, bogus=1), TypeError),
        Case("upsert repeated keyword", lambda: scratch.upsert(1, [1.0], point_id=2), TypeError),
        # upsert: conversion errors
        Case("upsert negative id", lambda: scratch.upsert(-1, [1.0], None), OverflowError),
        Case("upsert id 2**64", lambda: scratch.upsert(2**64, [1.0], None), OverflowError),
        Case("upsert float id", lambda: scratch.upsert(1.0, [1.0], None), TypeError),
        Case("upsert str id", lambda: scratch.upsert("1", [1.0], None), TypeError),
        Case("upsert raising __index__", lambda: scratch.upsert(IndexRaises(), [1.0], None), Refused),
        Case("upsert lying __index__", lambda: scratch.upsert(IndexLies(1.5), [1.0], None), TypeError),
        Case("upsert note refused", lambda: scratch.upsert(IndexRaises(NoteRefused), [1.0], None), NoteRefused),
        Case("upsert str vector", lambda: scratch.upsert(1, "abc", None), TypeError),
        Case("upsert dict vector", lambda: scratch.upsert(1, {1: 2.0}, None), TypeError),
        Case("upsert set vector", lambda: scratch.upsert(1, {1.0}, None), TypeError),
        Case("upsert generator vector", lambda: scratch.upsert(1, (x for x in [1.0]), None), TypeError),
        Case("upsert str item", lambda: scratch.upsert(1, [1.0, "2"], None), TypeError),
        Case("upsert None item", lambda: scratch.upsert(1, [None], None), TypeError),
        Case("upsert huge int item", lambda: scratch.upsert(1, [10**400], None), OverflowError),
        Case("upsert raising __float__", lambda: scratch.upsert(1, [1.0, FloatRaises()], None), Refused),
        Case("upsert lying __float__", lambda: scratch.upsert(1, [FloatLies("1")], None), TypeError),
        Case("upsert raising __iter__", lambda: scratch.upsert(1, IterRaises([1.0]), None), Refused),
        Case("upsert lying __iter__", lambda: scratch.upsert(1, IterLies([1.0]), None), TypeError),
        Case("upsert iteration fails midway", lambda: scratch.upsert(1, IterRaisesMidway([1.0, 2.0]), None), Refused),
        Case("upsert list payload", lambda: scratch.upsert(1, [1.0], [("a", 1)]), TypeError),
        Case("upsert str payload", lambda: scratch.upsert(1, [1.0], "a"), TypeError),
        # upsert: payload errors (no argument note)
        Case("upsert int key", lambda: scratch.upsert(1, [1.0], {"a": 1, 1: "x"}), TypeError),
        Case("upsert None key", lambda: scratch.upsert(1, [1.0], {None: None}), TypeError),
        Case("upsert surrogate key", lambda: scratch.upsert(1, [1.0], {"\ud800": 1}), UnicodeEncodeError),
        Case("upsert surrogate value", lambda: scratch.upsert(1, [1.0], {"a": "x\udfff"}), UnicodeEncodeError),
        Case("upsert integer 2**63", lambda: scratch.upsert(1, [1.0], {"a": 2**63}), OverflowError),
        # search: success on both paths
        Case("search exact", lambda: small.search(query, 5, "cosine")),
        Case("search exact, every hit", lambda: small.search(query, 2**64 - 1, "dot_product")),
        Case("search exact tenant", lambda: small.search(query, 5, "EUCLIDEAN", "a")),
        Case("search exact keywords", lambda: small.search(metric="l2", limit=3, query_vector=query, tenant_id=None)),
        Case("search graph", lambda: graph.search(query, 10, "cosine")),
        Case("search graph tenant", lambda: graph.search(query, 10, "dot", StrSubclass("b"))),
        Case("search graph euclidean", lambda: graph.search(query, 100, "euclidean")),
        Case("search numpy query", lambda: graph.search(float64s, 3, "cosine")),
        Case("search other length", lambda: graph.search([1.0, 2.0], 3, "cosine")),
        Case("search limit 0", lambda: graph.search(query, 0, "cosine")),
        # search: errors
        Case("search missing", lambda: small.search(query, 5), TypeError),
        Case("search too many", lambda: small.search(query, 5, "cosine", None, 1), TypeError),
        Case("search str query", lambda: small.search("abc", 5, "nope"), TypeError),
        Case("search float limit", lambda: small.search(query, 2.0, "cosine"), TypeError),
        Case("search negative limit", lambda: small.search(query, -1, "cosine"), OverflowError),
        Case("search raising limit", lambda: small.search(query, IndexRaises(), "cosine"), Refused),
        Case("search metric not str", lambda: small.search(query, 5, None), TypeError),
        Case("search surrogate metric", lambda: small.search(query, 5, "\ud800"), UnicodeEncodeError),
        Case("search unknown metric", lambda: small.search(query, 5, "cos"), ValueError),
        Case("graph unknown metric", lambda: graph.search(query, 5, "manhattan"), ValueError),
        Case("search int tenant", lambda: small.search(query, 5, "cosine", 5), TypeError),
        Case("search surrogate tenant", lambda: small.search(query, 5, "cosine", "\udc80"), UnicodeEncodeError),
        # batch_search: success
        Case("batch empty", lambda: small.batch_search([], 3, "cosine")),
        Case("batch one", lambda: small.batch_search([query], 3, "cosine")),
        Case("batch exact", lambda: small.batch_search(queries, 3, "dot", "a")),
        Case("batch graph", lambda: graph.batch_search(queries, 10, "cosine")),
        Case("batch numpy matrix", lambda: graph.batch_search(matrix, 4, "l2")),
        Case("batch tuple of tuples", lambda: graph.batch_search(tuple(map(tuple, queries)), 2, "dot_product")),
        # batch_search: errors
        Case("batch str", lambda: small.batch_search("ab", 3, "cosine"), TypeError),
        Case("batch str item", lambda: small.batch_search([query, "ab"], 3, "cosine"), TypeError),
        Case("batch dict", lambda: small.batch_search({1: query}, 3, "cosine"), TypeError),
        Case("batch raising item", lambda: small.batch_search([query, [FloatRaises()]], 3, "cosine"), Refused),
        Case("batch raising outer __iter__", lambda: small.batch_search(IterRaises([query]), 3, "cosine"), Refused),
        Case("batch lying outer length", lambda: small.batch_search(LenLies([query], 2**40), 3, "cosine")),
        Case("batch negative limit", lambda: small.batch_search([query], -5, "cosine"), OverflowError),
        Case("batch unknown metric", lambda: small.batch_search([query], 3, "cos"), ValueError),
        Case("batch bytes metric", lambda: small.batch_search([query], 3, b"cosine"), TypeError),
        Case("batch int tenant", lambda: small.batch_search([query], 3, "cosine", 7), TypeError),
        Case("batch unknown keyword", lambda: small.batch_search([query], 3, "cosine", tenant=None), TypeError),
        # save
        Case("save", lambda: small.save(out)),
        Case("save graph", lambda: graph.save(out)),
        Case("save str subclass path", lambda: small.save(StrSubclass(out))),
        Case("save path object", lambda: small.save(pathlib.Path(out)), TypeError),
        Case("save bytes path", lambda: small.save(out.encode()), TypeError),
        Case("save surrogate path", lambda: small.save(out + "\udc80"), UnicodeEncodeError),
        Case("save NUL path", lambda: small.save(out + "\0"), OSError),
        Case("save missing directory", lambda: small.save(str(directory / "missing" / "x.qb")), OSError),
        Case("save to a directory", lambda: small.save(str(directory)), OSError),
        Case("save missing", lambda: small.save(), TypeError),
        # load
        Case("load", lambda: scratch.load(snapshot)),
        Case("load into a new store", lambda: VectorStorage().load(snapshot)),
        Case("load path object", lambda: scratch.load(pathlib.Path(snapshot)), TypeError),
        Case("load NUL path", lambda: scratch.load(snapshot + "\0"), OSError),
        Case("load missing file", lambda: scratch.load(str(directory / "absent.qb")), OSError),
        Case("load a directory", lambda: scratch.load(str(directory)), OSError),
        Case("load too many", lambda: scratch.load(snapshot, snapshot), TypeError),
    ]
    cases += [Case(f"load {name} file", lambda p=path: scratch.load(p), OSError) for name, path in corrupt.items()]

    starved, upsert_too_large = starved_upsert()
    if starved is None:
        print("note: no address-space limit failed an upsert; running out of memory is not covered")
    else:
        cases += [
            Case("upsert out of memory", upsert_too_large, MemoryError),
            Case("search after out of memory", lambda: starved.search([1.0], 1, "dot", tenant_id="a")),
            Case("batch after out of memory", lambda: starved.batch_search([[1.0], [2.0]], 1, "dot")),
            Case("save after out of memory", lambda: starved.save(out)),
            Case("upsert after out of memory", lambda: starved.upsert(1, [1.0], {"tenant_id": "a"})),
        ]
    return cases


# ---- Self-test: the check must see a leak of one reference per call


def self_test(args):
    leak_one_reference = ctypes.pythonapi.Py_IncRef
    leak_one_reference.argtypes = [ctypes.py_object]
    keep = []
    clean = Case("clean", lambda: VectorStorage().search([1.0], 1, "dot"))
    leaky = Case("leaks a reference", lambda: leak_one_reference(keep))
    leaky_object = Case("leaks an object", lambda: leak_one_reference(object()))
    for case, expected in ((clean, [False, False]), (leaky, [True, False]), (leaky_object, [True, True])):
        growth = measure(case, args.warmup, args.rounds, args.calls)
        found = leaks(growth)
        print(f"self-test {case.name}: growth {growth} -> leaks {found}")
        if found != expected:
            print(f"self-test FAILED: expected {expected}")
            return 1
    return 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=4, help="measured rounds per case")
    parser.add_argument("--warmup", type=int, default=2, help="rounds run before measuring")
    parser.add_argument("--calls", type=int, default=10, help="calls per round")
    parser.add_argument("--self-test", action="store_true", help="check that a leak is caught")
    parser.add_argument("-k", default="", help="only cases whose name contains this")
    args = parser.parse_args()
    if not hasattr(sys, "gettotalrefcount"):
        sys.exit("refleak_loop.py needs a debug interpreter (python3.14-dbg)")
    if args.self_test:
        sys.exit(self_test(args))

    failures = 0
    with tempfile.TemporaryDirectory() as tmp:
        cases = [case for case in build_cases(pathlib.Path(tmp)) if args.k in case.name]
        for case in cases:
            growth = measure(case, args.warmup, args.rounds, args.calls)
            references, blocks = leaks(growth)
            if references or blocks:
                failures += 1
                print(f"LEAK {case.name}: (references, blocks) per round {growth}")
    calls = len(cases) * (args.warmup + args.rounds) * args.calls
    print(f"{len(cases)} cases, {args.warmup} warm-up + {args.rounds} measured rounds of {args.calls} calls: "
          f"{calls} calls, {failures} leaking")
    sys.exit(1 if failures else 0)


if __name__ == "__main__":
    main()
