"""Exact search through the Python surface: scores, order, filters, limits."""

import math
import random
import struct

import pytest

import quorbell


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


def seq_sum(terms):
    """Single-precision sum in index order from -0.0, as the store computes."""
    total = -0.0
    for t in terms:
        total = f32(total + f32(t))
    return total


def ref_score(metric, q, v):
    q = [f32(x) for x in q]
    v = [f32(x) for x in v]
    if len(q) != len(v):
        return None
    if metric == "dot":
        return seq_sum(f32(a * b) for a, b in zip(q, v))
    if metric == "l2":
        return f32(math.sqrt(seq_sum(f32(f32(a - b) ** 2) for a, b in zip(q, v))))
    if not q:
        return None
    d = seq_sum(f32(a * b) for a, b in zip(q, v))
    na = seq_sum(f32(a * a) for a in q)
    nb = seq_sum(f32(b * b) for b in v)
    if na == 0 or nb == 0:
        return None
    return f32(d / f32(f32(math.sqrt(na)) * f32(math.sqrt(nb))))


@pytest.fixture
def store():
    return quorbell.VectorStorage()


@pytest.mark.parametrize(
    "metric, expected",
    [
        ("cosine", [(2, 1.0), (1, 0.0)]),
        ("COSINE", [(2, 1.0), (1, 0.0)]),
        ("dot_product", [(2, 2.0), (1, 0.0)]),
        ("Dot", [(2, 2.0), (1, 0.0)]),
        ("euclidean", [(2, 1.0), (1, f32(math.sqrt(10)))]),
        ("L2", [(2, 1.0), (1, f32(math.sqrt(10)))]),
    ],
)
def test_worked_example_each_metric(store, metric, expected):
    store.upsert(1, [0.0, 3.0], None)
    store.upsert(2, [2.0, 0.0], None)
    store.upsert(3, [1.0, 2.0, 3.0], None)  # another length never scores
    assert store.search([1.0, 0.0], 10, metric) == expected


def test_results_are_int_float_pairs_widened_from_f32(store):
    store.upsert(5, [0.1], None)
    [hit] = store.search([1.0], 1, "dot")
    assert type(hit) is tuple and len(hit) == 2
    assert type(hit[0]) is int and type(hit[1]) is float
    assert hit == (5, 0.10000000149011612)


@pytest.mark.parametrize(
    "a, b, score",
    [([1, 1], [1, 1], 1.0000001192092896), ([1, 2, 3], [1, 2, 3], 0.9999999403953552), ([1, 2], [-1, -2], -1.0)],
)
def test_cosine_is_not_clamped(store, a, b, score):
    store.upsert(1, b, None)
    assert store.search(a, 1, "cosine") == [(1, score)]


@pytest.mark.parametrize("metric, expected", [("cosine", []), ("dot", [(1, 0.0), (2, 0.0)]), ("l2", [(1, 0.0), (2, 5.0)])])
def test_zero_query(store, metric, expected):
    store.upsert(1, [0.0, 0.0], None)
    store.upsert(2, [3.0, 4.0], None)
    assert store.search([0.0, 0.0], 5, metric) == expected


@pytest.mark.parametrize("metric", ["dot", "l2"])
def test_empty_vectors_score_negative_zero(store, metric):
    store.upsert(1, [], None)
    [(pid, score)] = store.search([], 5, metric)
    assert pid == 1 and score == 0.0 and math.copysign(1.0, score) == -1.0
    assert store.search([], 5, "cosine") == []


def test_ties_keep_insertion_order_and_limit_cuts(store):
    for pid in (40, 10, 30, 20):
        store.upsert(pid, [1.0, 1.0], None)
    assert [p for p, _ in store.search([2.0, 2.0], 3, "dot")] == [40, 10, 30]
    assert store.search([2.0, 2.0], 0, "dot") == []
    assert len(store.search([2.0, 2.0], 2**64 - 1, "dot")) == 4


def test_empty_store(store):
    assert store.search([1.0], 5, "cosine") == []


@pytest.mark.parametrize(
    "tenant, expected",
    [(None, [1, 2, 3, 4, 5]), ("a", [1]), ("7", []), ("", [5]), ("t" * 100, [4])],
)
def test_tenant_filter(store, tenant, expected):
    store.upsert(1, [1.0], {"tenant_id": "a"})
    store.upsert(2, [1.0], {"tenant_id": 7})
    store.upsert(3, [1.0], {})
    store.upsert(4, [1.0], {"tenant_id": "t" * 100})
    store.upsert(5, [1.0], {"tenant_id": ""})
    assert [p for p, _ in store.search([1.0], 10, "dot", tenant)] == expected
    assert [p for p, _ in store.search([1.0], 10, "dot", tenant_id=tenant)] == expected


def test_upsert_replaces_vector_and_payload(store):
    store.upsert(1, [1.0, 0.0], {"tenant_id": "a"})
    store.upsert(1, [0.0, 1.0, 0.0], None)
    assert store.search([1.0, 0.0], 5, "dot") == []
    assert store.search([0.0, 1.0, 0.0], 5, "dot", "a") == []
    assert store.search([0.0, 1.0, 0.0], 5, "dot") == [(1, 1.0)]


def test_huge_component_is_stored_as_infinity(store):
    store.upsert(1, [1e300], None)
    assert store.search([1.0], 1, "dot") == [(1, math.inf)]


def test_nan_scores_are_returned_without_error(store):
    for pid in range(20):
        store.upsert(pid, [math.nan if pid % 4 == 0 else float(pid)], None)
    hits = store.search([1.0], 20, "dot")
    assert len(hits) == 20
    numbers = [s for _, s in hits if not math.isnan(s)]
    assert numbers == sorted(numbers, reverse=True)


@pytest.mark.parametrize("metric, short", [("cosine", "cosine"), ("dot_product", "dot"), ("euclidean", "l2")])
def test_499_points_match_a_sequential_reference(store, metric, short):
    rng = random.Random(1234)
    dim = 7
    points = {}
    for pid in range(499):
        v = [rng.uniform(-1, 1) for _ in range(dim)]
        if pid % 50 == 0:
            v = v[:-1]  # some points of another length
        points[pid] = v
        store.upsert(pid, v, None)
    query = [rng.uniform(-1, 1) for _ in range(dim)]
    scored = [(pid, ref_score(short, query, v)) for pid, v in points.items()]
    scored = [(p, s) for p, s in scored if s is not None]
    scored.sort(key=lambda ps: ps[1], reverse=(short != "l2"))
    assert store.search(query, 25, metric) == scored[:25]
