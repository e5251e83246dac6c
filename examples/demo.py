"""End-to-end tour of quorbell: a multi-tenant catalogue of a few thousand
vectors, searched under each metric, in batches, and through a snapshot.

Run it with `tools/demo` (sets everything up on a fresh machine).
"""

import math
import os
import random
import tempfile
import time

import quorbell

DIM = 64
TENANTS = ["acme", "globex", "initech"]
POINTS_PER_TENANT = 1500
SEED = 7


def timed(label, fn, *args, repeat=1):
    start = time.perf_counter()
    for _ in range(repeat):
        result = fn(*args)
    elapsed = (time.perf_counter() - start) / repeat
    unit, scale = ("ms", 1e3) if elapsed >= 1e-3 else ("µs", 1e6)
    print(f"  {label:<44} {elapsed * scale:9.1f} {unit}")
    return result


def clustered_vectors(rng, count, centres):
    """Points scattered around a few topic centres, like real embeddings;
    returns (topic, vector) pairs."""
    out = []
    for _ in range(count):
        topic = rng.randrange(len(centres))
        out.append((topic, [c + rng.gauss(0.0, 0.35) for c in centres[topic]]))
    return out


def cosine(a, b):
    dot = sum(x * y for x, y in zip(a, b))
    return dot / math.sqrt(sum(x * x for x in a) * sum(y * y for y in b))


def exact_top(query, items, k):
    """The true top k by cosine among (id, vector) items, for comparison."""
    return [pid for pid, _ in sorted(items, key=lambda item: -cosine(query, item[1]))[:k]]


def main():
    rng = random.Random(SEED)
    centres = [[rng.gauss(0.0, 1.0) for _ in range(DIM)] for _ in range(12)]

    store = quorbell.VectorStorage()
    print(f"quorbell demo: {len(TENANTS)} tenants x {POINTS_PER_TENANT} points, dim {DIM}, 12 topics")

    # The rows and payloads are made first, so that the timing below is the
    # upserts alone.
    catalogue = {}
    rows = []
    next_id = 1
    for tenant in TENANTS:
        for topic, vector in clustered_vectors(rng, POINTS_PER_TENANT, centres):
            payload = {"tenant_id": tenant, "price": rng.randint(1, 500), "rating": round(rng.random() * 5, 1)}
            rows.append((next_id, vector, payload))
            catalogue[next_id] = (tenant, topic, vector)
            next_id += 1
    upsert = store.upsert
    start = time.perf_counter()
    for point_id, vector, payload in rows:
        upsert(point_id, vector, payload)
    elapsed = time.perf_counter() - start
    print(f"  upserted {len(rows)} points in {elapsed * 1e3:.0f} ms "
          f"({elapsed / len(rows) * 1e6:.1f} µs per upsert, graph kept up to date)")

    query_topic, query = clustered_vectors(rng, 1, centres)[0]
    print(f"\nTop 5 for one query of topic {query_topic}, every tenant (id:score):")
    for metric in ("cosine", "dot_product", "euclidean"):
        hits = store.search(query, 5, metric)
        shown = ", ".join(f"{pid}:{score:.3f}" for pid, score in hits)
        print(f"  {metric:<12} {shown}")

    print("\nTop 5 per tenant (cosine): id:score/topic of each hit, and how many of the")
    print("true top 5 (an exact scan of the tenant's points) the search found:")
    for tenant in TENANTS:
        hits = store.search(query, 5, "cosine", tenant_id=tenant)
        assert all(catalogue[pid][0] == tenant for pid, _ in hits)
        truth = exact_top(query, [(pid, v) for pid, (t, _, v) in catalogue.items() if t == tenant], 5)
        found = len({pid for pid, _ in hits} & set(truth))
        shown = ", ".join(f"{pid}:{score:.3f}/{catalogue[pid][1]}" for pid, score in hits)
        print(f"  {tenant:<8} {shown}   {found} of 5")
    probes = [vector for _, vector in clustered_vectors(rng, 20, centres)]
    print(f"Over {len(probes)} more queries, the share of each tenant's true top 5 found:")
    for tenant in TENANTS:
        items = [(pid, v) for pid, (t, _, v) in catalogue.items() if t == tenant]
        found = sum(len({pid for pid, _ in store.search(q, 5, "cosine", tenant_id=tenant)} & set(exact_top(q, items, 5)))
                    for q in probes)
        print(f"  {tenant:<8} {found / (5 * len(probes)):.2f}")

    print("\nTimings:")
    timed("search, cosine, top 10", store.search, query, 10, "cosine", repeat=200)
    timed("search, cosine, top 10, one tenant", store.search, query, 10, "cosine", "acme", repeat=200)
    queries = [vector for _, vector in clustered_vectors(rng, 500, centres)]
    looped = timed("500 queries, Python loop of search", lambda: [store.search(q, 10, "cosine") for q in queries])
    batched = timed("500 queries, one batch_search", store.batch_search, queries, 10, "cosine")
    assert batched == looped, "batch results must equal one search per query"

    small = quorbell.VectorStorage()
    for pid, (tenant, _, vector) in list(catalogue.items())[:400]:
        small.upsert(pid, vector, {"tenant_id": tenant})
    timed("exact scan of 400 points, top 10", small.search, query, 10, "euclidean", repeat=200)

    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "catalogue.qb")
        timed("save snapshot", store.save, path)
        size = os.path.getsize(path)
        restored = quorbell.VectorStorage()
        timed("load snapshot", restored.load, path)
        print(f"  snapshot file: {size / 1e6:.1f} MB")
        for metric in ("cosine", "dot", "l2"):
            assert restored.search(query, 10, metric) == store.search(query, 10, metric)
        print("  the restored store answers exactly like the original")

    try:
        store.search(query, 5, "manhattan")
    except ValueError as error:
        print(f"\nAn unknown metric is refused: {error}")


if __name__ == "__main__":
    main()
