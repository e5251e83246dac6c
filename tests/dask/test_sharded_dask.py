"""The sharded example on a local cluster of two worker processes: merged
hits equal a brute force over all points, ids stay on their shard, a shard's
error is the store's own, and a saved store loads back whole or not at all."""

import json
import math
import os

import numpy as np
import pytest

import quorbell
from sharded_dask import ShardedStore, _splitmix64, hit_arrays, merge_hits, shard_of, snapshot_points

DIM = 16
POINTS = 700
TENANTS = ("acme", "globex")


def payload(point_id):
    return None if point_id % 5 == 0 else {"tenant_id": TENANTS[point_id % 2]}


@pytest.fixture(scope="module")
def data():
    rng = np.random.default_rng(11)
    return rng.standard_normal((POINTS, DIM), dtype=np.float32), rng.standard_normal((8, DIM), dtype=np.float32)


@pytest.fixture(scope="module")
def sharded(client, data):
    points, _ = data
    # Both shards stay below 500 points: every search scans exactly.
    assert np.bincount(shard_of(range(POINTS), 2)).max() < 500
    store = ShardedStore(client, 2)
    store.upsert_many(list(range(POINTS)), points, [payload(n) for n in range(POINTS)])
    return store


def sequential_sum(terms):
    """Row sums in float32, one column at a time from -0.0, as the store sums."""
    total = np.full(len(terms), -0.0, dtype=np.float32)
    for column in terms.T:
        total = total + column
    return total


def brute_force(points, query, limit, metric, tenant):
    if metric == "cosine":
        scores = sequential_sum(points * query) / (
            np.sqrt(sequential_sum(points * points)) * np.sqrt(sequential_sum(query[None] * query)))
    elif metric == "dot_product":
        scores = sequential_sum(points * query)
    else:
        scores = np.sqrt(sequential_sum((points - query) ** 2))
    ids = np.array([n for n in range(POINTS) if tenant is None or (payload(n) or {}).get("tenant_id") == tenant])
    order = np.argsort(scores[ids] if metric == "L2" else -scores[ids], kind="stable")[:limit]
    return [(int(ids[n]), float(scores[ids[n]])) for n in order]


@pytest.mark.parametrize("limit", [1, 10, 100])
@pytest.mark.parametrize("tenant", [None, "acme"])
@pytest.mark.parametrize("metric", ["cosine", "dot_product", "L2"])
def test_merged_hits_equal_brute_force(sharded, data, metric, tenant, limit):
    points, queries = data
    expected = [brute_force(points, q, limit, metric, tenant) for q in queries]
    assert [sharded.search(q, limit, metric, tenant) for q in queries[:3]] == expected[:3]
    assert sharded.batch_search(queries, limit, metric, tenant) == expected


NAN = math.nan


@pytest.mark.parametrize("metric, shard_hits, limit, expected", [
    # ties: shard order first, then each shard's own order
    ("cosine", [[(1, 0.5), (2, 0.5)], [(3, 0.5), (4, 0.75)]], 4, [4, 1, 2, 3]),
    ("dot", [[(1, 0.0)], [(2, -0.0)]], 2, [1, 2]),
    ("dot", [[(1, -0.0)], [(2, 0.0)]], 2, [1, 2]),
    # lower is better for Euclidean; NaN after every number, -inf included
    ("euclidean", [[(1, 2.0), (5, NAN)], [(2, 1.0), (3, math.inf)]], 4, [2, 1, 3, 5]),
    ("cosine", [[(1, NAN)], [(2, -math.inf)]], 2, [2, 1]),
    # an empty shard; limits below, at and above the hits there are
    ("l2", [[], [(5, 1.0), (6, 2.0)]], 1, [5]),
    ("l2", [[], [(5, 1.0), (6, 2.0)]], 0, []),
    ("dot_product", [[(7, 1.0)], [(5, 3.0), (6, 2.0)]], 1 << 64, [5, 6, 7]),
])
def test_merge_order(metric, shard_hits, limit, expected):
    # Each case is the second query of a batch whose first query has more
    # hits on every shard, so rows of different lengths must stay apart.
    first = [[(100 + n, 9.0 + n)] * 3 for n in range(len(shard_hits))]
    parts = [hit_arrays([lead, hits]) for lead, hits in zip(first, shard_hits)]
    merged = merge_hits(parts, limit, metric)
    assert [point_id for point_id, _ in merged[1]] == expected
    assert len(merged[0]) == min(limit, 3 * len(shard_hits))


def test_reupsert_replaces_in_place(client):
    store = ShardedStore(client, 2)
    ids = np.arange(40, dtype=np.uint64)
    store.upsert_many(ids, np.eye(40, dtype=np.float32), None)
    moved = [0.0] * 40
    moved[3] = moved[4] = 1.0
    store.upsert(7, moved, None)
    hits = store.search(moved, 1000, "dot")
    assert len(hits) == 40
    assert hits[0] == (7, 2.0)
    # The placement is fixed: splitmix64's first output from seed 0.
    assert int(_splitmix64(np.zeros(1, dtype=np.uint64))[0]) == 0xE220A8397B1DCDAF


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value), info.value.args, getattr(info.value, "__notes__", None)


@pytest.mark.parametrize("method, args", [
    ("search", ([1.0] * DIM, 3, "cos")),
    ("batch_search", ([[1.0] * DIM], 3, "cos")),
    ("search", ("abc", 3, "cosine")),
    ("batch_search", ([[1.0]], -1, "cosine")),
    ("upsert", (-1, [1.0], None)),
    ("upsert", (1.5, [1.0], None)),
    ("upsert", (1, [1.0], [("a", 1)])),
])
def test_shard_errors_are_the_stores_own(sharded, method, args):
    assert raised(lambda: getattr(sharded, method)(*args)) == \
        raised(lambda: getattr(quorbell.VectorStorage(), method)(*args))


def answers(store, queries):
    return [store.batch_search(queries, 10, metric) for metric in ("cosine", "dot", "l2")]


def rewrite_manifest(folder, **changes):
    path = os.path.join(folder, "manifest.json")
    with open(path) as f:
        manifest = json.load(f)
    with open(path, "w") as f:
        json.dump({**manifest, **changes}, f)
    return manifest


@pytest.mark.parametrize("damage, error", [
    (lambda folder: rewrite_manifest(folder, shards=3), ValueError),
    (lambda folder: rewrite_manifest(folder, hash="crc32"), ValueError),
    (lambda folder: rewrite_manifest(folder, files=["../a.qb", "b.qb"]), ValueError),
    (lambda folder: os.remove(os.path.join(folder, rewrite_manifest(folder)["files"][1])), OSError),
])
def test_round_trip_and_refused_loads(client, sharded, data, tmp_path, damage, error):
    _, queries = data
    sharded.save(tmp_path)
    sharded.save(tmp_path)  # replaces the first save's files
    assert len(os.listdir(tmp_path)) == 3
    restored = ShardedStore(client, 2)
    restored.load(tmp_path)
    assert answers(restored, queries) == answers(sharded, queries)

    restored.upsert(POINTS, [1.0] * DIM, None)
    before = answers(restored, queries)
    damage(tmp_path)
    with pytest.raises(error):
        restored.load(tmp_path)
    assert answers(restored, queries) == before


def test_a_store_moves_into_shards_through_its_snapshot(client, tmp_path):
    rng = np.random.default_rng(5)
    vectors = rng.standard_normal((300, 3), dtype=np.float32)
    payloads = [None, {}, {"tenant_id": "acme", "n": -3, "big": 1 << 62, "x": 0.1, "about": "é" * 40}]
    one = quorbell.VectorStorage()
    for n, vector in enumerate(vectors):
        one.upsert(n * 1000003, vector, payloads[n % 3])
    one.save(str(tmp_path / "one.qb"))
    ids, read_vectors, read_payloads = snapshot_points(str(tmp_path / "one.qb"))
    assert ids == [n * 1000003 for n in range(300)]
    assert np.array_equal(np.stack(read_vectors), vectors)
    assert read_payloads == [payloads[n % 3] for n in range(300)]

    sharded = ShardedStore(client, 2)
    sharded.upsert_many(ids, read_vectors, read_payloads)
    for tenant in (None, "acme"):
        assert sharded.batch_search(vectors[:5], 300, "l2", tenant) == one.batch_search(vectors[:5], 300, "l2", tenant)
