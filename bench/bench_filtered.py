"""Filtered-search figures: searches restricted to one tenant of a
100,000-point store (dim 128, random normal rows, seeded), for tenants
holding 0.1 %, 1 %, 10 % and 50 % of the points.

For each tenant: recall@10 against the exact cosine top 10 among that
tenant's points, and µs per single-query call (median of five passes).
A filtered graph search that finds fewer than 10 hits while the tenant
holds more points is answered by a scan of that tenant's points, so the
small tenants show the scan and the large ones the graph.

These are figures, not a test: the machine is shared and timings move.
Run inside the toolchain root, e.g.
  tools/toolchain run bash -c \\
    'PYTHONPATH=$(tools/install-module python3.14) python3.14 bench/bench_filtered.py'
"""

import argparse

import numpy as np

import quorbell
from timing import median_seconds

K = 10
SHARES = (0.001, 0.01, 0.1, 0.5)


def tenant_of_rows(count):
    """Tenant index per row: consecutive blocks of each share, the rest -1."""
    owners = np.full(count, -1)
    start = 0
    for tenant, share in enumerate(SHARES):
        size = int(count * share)
        owners[start:start + size] = tenant
        start += size
    return np.random.default_rng(3).permutation(owners)


def exact_filtered_top_k(data, members, queries):
    units = data[members] / np.linalg.norm(data[members], axis=1, keepdims=True)
    scores = (queries / np.linalg.norm(queries, axis=1, keepdims=True)) @ units.T
    return [set(members[np.argsort(-row, kind="stable")[:K]].tolist()) for row in scores]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--queries", type=int, default=200)
    args = parser.parse_args()

    rng = np.random.default_rng(11)
    data = rng.standard_normal((args.points, 128), dtype=np.float32)
    queries = rng.standard_normal((args.queries, 128), dtype=np.float32)
    owners = tenant_of_rows(args.points)
    store = quorbell.VectorStorage()
    for point_id, (row, owner) in enumerate(zip(data.tolist(), owners.tolist())):
        store.upsert(point_id, row, {"tenant_id": f"t{owner}"})
    query_lists = queries.tolist()

    print(f"filtered search: {args.points} points x 128, k={K}, {args.queries} queries per tenant")
    print(f"{'tenant share':>12} {'points':>8} {'recall@10':>9} {'µs/query':>9}")
    for tenant, share in enumerate(SHARES):
        name = f"t{tenant}"
        members = np.flatnonzero(owners == tenant)
        truth = exact_filtered_top_k(data, members, queries)
        found = [store.search(q, K, "cosine", tenant_id=name) for q in query_lists]
        recall = sum(len(truth[i] & {hit for hit, _ in found[i]}) for i in range(len(truth))) / (len(truth) * K)

        def run():
            for q in query_lists:
                store.search(q, K, "cosine", tenant_id=name)

        micros = median_seconds(run, 5) / len(query_lists) * 1e6
        print(f"{share * 100:>11g}% {len(members):>8} {recall:>9.3f} {micros:>9.1f}", flush=True)


if __name__ == "__main__":
    main()
