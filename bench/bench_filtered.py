"""Filtered-search figures: searches restricted to one tenant of a
100,000-point store (dim 128, seeded), beside hnswlib with its filter
callback (M 16, ef_construction 64, ef 32: its walk steps through every
point and keeps the tenant's as results).

Rows:
  clustered mixed    64 Gaussian clusters on a 16-dim subspace (the shape of
                     real embeddings), tenants of 10 to 90 % drawn at random
  clustered topical  the same points, each tenant whole clusters
  gauss topical      isotropic Gaussian (the hard case for every graph),
                     each tenant the points furthest along one direction
  gauss mixed        the same points, tenants drawn at random
  real mixed         the real MiniLM embeddings (75,632 x 384, when the
                     machine has them), tenants drawn at random

The Gaussian tenants of 10,001 points are the smallest that walk the
graph, so their budget is the smallest.

A point has one tenant, so tenants whose shares add up to more than the
whole are measured in stores of their own (the same points, upserted in
the same order). For each tenant: recall@10 against the exact cosine top
10 among its points, and µs per single-query call at limit 10, fastest
of --passes interleaved passes in CPU time, quorbell's and hnswlib's; the
slowest single quorbell query of one pass; and the neighbour distances
of the walk that computed most, beside its budget (a quarter of the
tenant's points): a walk that spends its budget with candidates left
stops, having taken at most one list (up to 32 ids) past it, and the scan
of the tenant then adds count distances. hnswlib's times include its
Python filter callback, one call per point it examines.

A tenant of at most 10,000 points, or of at most sqrt(1000 x the store's
points), is answered by a scan of its points (exact). A larger one walks
the graph through every point, keeping the tenant's, and is answered by
the scan when the walk spends a quarter of the tenant's size in distances
without settling, or comes back short.

These are figures, not a test: the machine is shared and timings move.
Run inside the toolchain root, e.g.
  tools/toolchain run tools/with-module python3.14 python3.14 bench/bench_filtered.py
"""

import argparse
import ctypes
import os
import time

import hnswlib
import numpy as np

import datasets
import quorbell
from timing import fastest_alternating

K = 10
DIM = 128
REAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench-data", "debian-minilm")
TINY = 0.10001  # 10,001 of 100,000 points
# Each store's tenants, as shares of its points.
STORES = {
    "clustered-mixed": [(0.1, 0.2, 0.3), (0.5,), (0.7,), (0.9,)],
    "clustered-topical": [(0.2, 0.3), (0.5,)],
    "real-mixed": [(0.2, 0.3), (0.5,)],
    "gauss-topical": [(TINY, 0.3)],
    "gauss-mixed": [(TINY, 0.3)],
}
# The distances of the calling thread's last graph walk (a benchmark seam).
walk_distances = ctypes.CDLL(quorbell.__file__).quorbell_test_walk_distances
walk_distances.restype = ctypes.c_uint64


def rows(kind, points, queries):
    """The points, the queries, and a key per point along which topical
    tenants are cut (its cluster, or its first coordinate)."""
    if kind == "real":
        data = datasets.load_real(REAL, None, queries)
        return data.base, data.queries, None
    if kind == "gauss":
        rng = np.random.default_rng(11)
        data = rng.standard_normal((points + queries, DIM), dtype=np.float32)
        return data[:points], data[points:], data[:points, 0]
    data = datasets.clustered(points, queries, DIM, 11)
    # datasets.clustered draws the centres, then the clusters: the same
    # draws give each point's cluster.
    rng = np.random.default_rng(11)
    rng.standard_normal((64, 16))
    labels = rng.integers(0, 64, points + queries)[:points]
    return data.base, data.queries, labels


def tenant_of_rows(keys, shares, order):
    """Tenant index per row (the rest -1): drawn at random ("mixed"), or cut
    along the keys (whole clusters, or the furthest points: "topical")."""
    count = len(keys)
    owners = np.full(count, -1)
    if order == "mixed":
        shuffled = np.random.default_rng(3).permutation(count)
        start = 0
        for tenant, share in enumerate(shares):
            owners[shuffled[start:start + round(count * share)]] = tenant
            start += round(count * share)
        return owners
    ranked = np.argsort(-keys, kind="stable")  # by cluster, or furthest first
    start = 0
    for tenant, share in enumerate(shares):
        end = start + round(count * share)
        if keys.dtype.kind == "i":  # whole clusters: end where a cluster ends
            while end < count and keys[ranked[end]] == keys[ranked[end - 1]]:
                end += 1
        owners[ranked[start:end]] = tenant
        start = end
    return owners


def exact_filtered_top_k(data, members, queries):
    units = datasets.unit_rows(data[members])
    scores = datasets.unit_rows(queries) @ units.T
    return [set(members[np.argsort(-row, kind="stable")[:K]].tolist()) for row in scores]


def recall(found, truth):
    return sum(len(f & t) for f, t in zip(found, truth)) / sum(len(t) for t in truth)


def measure(case, points, query_count, passes):
    kind, order = case.split("-")
    data, queries, keys = rows(kind, points, query_count)
    points, dim = data.shape
    if keys is None:
        keys = np.zeros(points)
    query_rows = list(queries)
    peer = hnswlib.Index(space="cosine", dim=dim)
    peer.init_index(max_elements=points, M=16, ef_construction=64, random_seed=1)
    peer.add_items(data, np.arange(points), num_threads=1)
    peer.set_ef(32)
    print(f"\n{case}: {points} points x {dim}, {query_count} queries per tenant, fastest of {passes} passes")
    print(f"{'tenant share':>12} {'points':>8} {'recall@10':>9} {'hnswlib':>8} {'µs':>8} {'hnswlib µs':>10} "
          f"{'ratio':>6} {'slowest µs':>10} {'walk most':>9} {'budget':>6}")
    for shares in STORES[case]:
        owners = tenant_of_rows(keys, shares, order)
        store = quorbell.VectorStorage()
        for point_id, (row, owner) in enumerate(zip(data, owners.tolist())):
            store.upsert(point_id, row, {"tenant_id": f"t{owner}"})
        owner_of = owners.tolist()
        for tenant, share in enumerate(shares):
            name = f"t{tenant}"
            members = np.flatnonzero(owners == tenant)
            truth = exact_filtered_top_k(data, members, queries)
            found = [{hit for hit, _ in store.search(q, K, "cosine", tenant_id=name)} for q in query_rows]
            keep = lambda i, t=tenant: owner_of[i] == t
            theirs = [set(peer.knn_query(q, k=K, num_threads=1, filter=keep)[0][0].tolist()) for q in query_rows]
            ours_pass = lambda: [store.search(q, K, "cosine", tenant_id=name) for q in query_rows]
            theirs_pass = lambda: [peer.knn_query(q, k=K, num_threads=1, filter=keep) for q in query_rows]
            seconds = fastest_alternating([ours_pass, theirs_pass], passes, time.process_time)
            slowest, walked = 0.0, 0
            for q in query_rows:
                began = time.process_time()
                store.search(q, K, "cosine", tenant_id=name)
                slowest = max(slowest, time.process_time() - began)
                walked = max(walked, walk_distances())
            # A scanned tenant walks nothing (the seam keeps an older count).
            walks = len(members) > 10_000 and len(members) ** 2 > 1000 * points
            us = [t / len(query_rows) * 1e6 for t in seconds]
            print(f"{len(members) / points * 100:>11.1f}% {len(members):>8} {recall(found, truth):>9.3f} "
                  f"{recall(theirs, truth):>8.3f} {us[0]:>8.1f} {us[1]:>10.1f} {us[0] / us[1]:>6.2f} "
                  f"{slowest * 1e6:>10.0f} {walked if walks else '-':>9} {len(members) // 4 if walks else '-':>6}",
                  flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--passes", type=int, default=5)
    parser.add_argument("--cases", nargs="*", choices=list(STORES), default=list(STORES))
    args = parser.parse_args()
    for case in args.cases:
        if case.startswith("real") and not datasets.real_available(REAL):
            print(f"\n{case}: no real embeddings on this machine")
            continue
        measure(case, args.points, args.queries, args.passes)


if __name__ == "__main__":
    main()
