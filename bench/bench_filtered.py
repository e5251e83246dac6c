"""Filtered-search figures: searches restricted to one tenant of a
100,000-point store (dim 128, seeded), for tenants holding 0.1 %, 1 %,
10 %, 30 % and 50 % of the points (the rest belong to no tenant searched).
The tenants' points are either shuffled together, or upserted tenant after
tenant, as when a store is loaded one tenant at a time.

Two kinds of rows: isotropic Gaussian (full intrinsic dimension, the hard
case for every graph) and clustered (64 Gaussian clusters on a 16-dim
subspace, the shape of real embeddings; the suite's clustered set).

For each tenant: recall@10 against the exact cosine top 10 among that
tenant's points, and µs per single-query call at limit 10 and at limit 33.
The last column is hnswlib's recall@10 for the same searches (M 16,
ef_construction 64, ef 32, with its filter function: its walk steps
through every point and keeps the tenant's as results), for reference.
Queries are numpy float32 rows. Passes over all tenants take turns and
each figure is the fastest pass in CPU time, so that load from elsewhere
on a shared machine falls on every tenant alike.

A tenant of at most 10,000 points is answered by a scan of its points
(exact hits and scores). A larger one walks the graph through the tenant's
points only, and falls back to the scan only when the walk's own hits
(stored, of the tenant, scorable) number fewer than min(limit, ef_search)
and the tenant holds more points of the query's length than the walk
returned. ef_search is 32, so a limit above 32 does not force the scan: a
large tenant is answered by the graph, with at most 32 hits.

These are figures, not a test: the machine is shared and timings move.
Run inside the toolchain root, e.g.
  tools/toolchain run tools/with-module python3.14 python3.14 bench/bench_filtered.py
"""

import argparse
import time

import hnswlib
import numpy as np

import datasets
import quorbell
from timing import fastest_alternating

K = 10
WIDE = 33       # one above ef_search: before the fallback mend, every such search scanned the tenant
SHARES = (0.001, 0.01, 0.1, 0.3, 0.5)
DIM = 128
CASES = ["gauss-mixed", "clustered-mixed", "clustered-blocks"]   # rows, then tenant order


def tenant_of_rows(count, order):
    """Tenant index per row (the rest -1): shuffled together ("mixed"), or
    in consecutive blocks, tenant after tenant ("blocks"), as a store loaded
    one tenant at a time is built."""
    owners = np.full(count, -1)
    start = 0
    for tenant, share in enumerate(SHARES):
        size = int(count * share)
        owners[start:start + size] = tenant
        start += size
    return np.random.default_rng(3).permutation(owners) if order == "mixed" else owners


def rows(kind, points, queries):
    if kind == "gauss":
        rng = np.random.default_rng(11)
        return (rng.standard_normal((points, DIM), dtype=np.float32),
                rng.standard_normal((queries, DIM), dtype=np.float32))
    data = datasets.clustered(points, queries, DIM, 11)
    return data.base, data.queries


def exact_filtered_top_k(data, members, queries):
    units = datasets.unit_rows(data[members])
    scores = datasets.unit_rows(queries) @ units.T
    return [set(members[np.argsort(-row, kind="stable")[:K]].tolist()) for row in scores]


def recall(found, truth):
    return sum(len(f & t) for f, t in zip(found, truth)) / sum(len(t) for t in truth)


def measure(kind, order, points, query_count, passes):
    data, queries = rows(kind, points, query_count)
    owners = tenant_of_rows(points, order)
    store = quorbell.VectorStorage()
    for point_id, (row, owner) in enumerate(zip(data, owners.tolist())):
        store.upsert(point_id, row, {"tenant_id": f"t{owner}"})
    query_rows = list(queries)

    peer = hnswlib.Index(space="cosine", dim=DIM)
    peer.init_index(max_elements=points, M=16, ef_construction=64, random_seed=1)
    peer.add_items(data, np.arange(points), num_threads=1)
    peer.set_ef(32)
    owner_of = owners.tolist()

    results = []
    for tenant in range(len(SHARES)):
        members = np.flatnonzero(owners == tenant)
        truth = exact_filtered_top_k(data, members, queries)
        found = [{hit for hit, _ in store.search(q, K, "cosine", tenant_id=f"t{tenant}")} for q in query_rows]
        theirs = [set(peer.knn_query(q, k=min(K, len(members)), num_threads=1,
                                     filter=lambda i, t=tenant: owner_of[i] == t)[0][0].tolist())
                  for q in query_rows]
        results.append((len(members), recall(found, truth), recall(theirs, truth)))

    def pass_of(tenant, limit):
        name = f"t{tenant}"
        return lambda: [store.search(q, limit, "cosine", tenant_id=name) for q in query_rows]

    timed = [pass_of(tenant, limit) for tenant in range(len(SHARES)) for limit in (K, WIDE)]
    seconds = fastest_alternating(timed, passes, time.process_time)
    micros = [s / len(query_rows) * 1e6 for s in seconds]

    print(f"\n{kind}, tenants {order}: {points} points x {DIM}, {query_count} queries per tenant, "
          f"fastest of {passes} passes")
    print(f"{'tenant share':>12} {'points':>8} {'recall@10':>9} {'µs, k=10':>9} {'µs, k=33':>9} {'hnswlib':>8}")
    for tenant, share in enumerate(SHARES):
        count, ours, theirs = results[tenant]
        print(f"{share * 100:>11g}% {count:>8} {ours:>9.3f} {micros[2 * tenant]:>9.1f} "
              f"{micros[2 * tenant + 1]:>9.1f} {theirs:>8.3f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=200)
    parser.add_argument("--passes", type=int, default=7)
    parser.add_argument("--cases", nargs="*", choices=CASES, default=CASES)
    args = parser.parse_args()
    for case in args.cases:
        measure(*case.split("-"), args.points, args.queries, args.passes)


if __name__ == "__main__":
    main()
