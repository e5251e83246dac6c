"""Stores that real corpora make, searched through the graph beside hnswlib
(cosine, M 16, ef_construction 64, ef 32, one thread):

  copies        300 vectors x 16 copies each, upserted shuffled: searches
                for each vector whose top hit is neither it nor a copy
  copies first  3,000 copies of one vector, then 500 distinct points:
                distinct points that are not their own top hit
  NaN points    1,000 ordinary points, then 200 points with one NaN
                component interleaved with 200 same-vector re-upserts:
                ordinary points not among their own 32 hits (quorbell only:
                hnswlib has no contract for NaN)
  limit 100     clustered 50k x 128, limit 100: hits returned and
                recall@100 (hnswlib at ef 100), and µs per query at limit
                10 and 100 (fastest of 5 interleaved passes, CPU time)

Counts, not timings: they repeat up to the random level draw, so each case
runs over --builds builds and prints the range. --json prints the counts
alone as JSON (the benchmark suite's duplicates table). Run inside the
toolchain root, e.g.
  tools/toolchain run tools/with-module python3.14 python3.14 bench/graph_answers.py
"""

import argparse
import json
import os
import time

os.environ["OPENBLAS_NUM_THREADS"] = "1"  # before numpy loads OpenBLAS

import hnswlib
import numpy as np

import datasets
import quorbell
from timing import fastest_alternating

DIM = 32


def peer(rows, ef=32):
    index = hnswlib.Index(space="cosine", dim=rows.shape[1])
    index.init_index(max_elements=len(rows), M=16, ef_construction=64, random_seed=1)
    index.add_items(rows, np.arange(len(rows)), num_threads=1)
    index.set_ef(ef)
    return index


def store_of(rows):
    store = quorbell.VectorStorage()
    for point_id, row in enumerate(rows):
        store.upsert(point_id, row, None)
    return store


def top_hit(store, index):
    return (lambda q: store.search(q, 1, "cosine")[0][0]) if store else (lambda q: int(index.knn_query(q, k=1)[0][0][0]))


def copies(seed):
    rng = np.random.default_rng(seed)
    vectors = rng.standard_normal((300, DIM), dtype=np.float32)
    order = rng.permutation(np.repeat(np.arange(300), 16))
    rows = vectors[order]
    counts = []
    for store, index in ((store_of(rows), None), (None, peer(rows))):
        hit = top_hit(store, index)
        counts.append(sum(order[hit(v)] != k for k, v in enumerate(vectors)))
    return counts


def copies_first(seed):
    rng = np.random.default_rng(seed)
    rows = np.concatenate([np.repeat(rng.standard_normal((1, DIM), dtype=np.float32), 3000, axis=0),
                           rng.standard_normal((500, DIM), dtype=np.float32)])
    counts = []
    for store, index in ((store_of(rows), None), (None, peer(rows))):
        hit = top_hit(store, index)
        counts.append(sum(hit(rows[k]) != k for k in range(3000, 3500)))
    return counts


def nan_points(seed):
    rng = np.random.default_rng(seed)
    rows = rng.standard_normal((1000, DIM), dtype=np.float32)
    store = store_of(rows)
    for k in range(200):
        bad = rng.standard_normal(DIM, dtype=np.float32)
        bad[k % DIM] = np.nan
        store.upsert(1000 + k, bad, None)
        store.upsert(5 * k, rows[5 * k], None)
    lost = sum(all(hit != k for hit, _ in store.search(rows[k], 32, "cosine")) for k in range(1000))
    return [lost, None]


def limit_100(seed, data):
    store = store_of(data.base)
    index = peer(data.base, ef=100)
    ours = [[i for i, _ in store.search(q, 100, "cosine")] for q in data.queries]
    theirs = [index.knn_query(q, k=100)[0][0].tolist() for q in data.queries]
    seconds = fastest_alternating([lambda: [store.search(q, 10, "cosine") for q in data.queries],
                                   lambda: [store.search(q, 100, "cosine") for q in data.queries]],
                                  5, time.process_time)
    return [min(len(o) for o in ours), datasets.recall_at(ours, data.truth, 100),
            datasets.recall_at(theirs, data.truth, 100)] + [t / len(data.queries) * 1e6 for t in seconds]


# name: (what is counted, of how many, the case)
COUNTED = {
    "copies": ("300 vectors x 16 shuffled copies: searches whose top hit is neither the vector nor a copy", 300,
               copies),
    "copies first": ("3,000 copies of one vector, then 500 distinct: distinct points not their own top hit", 500,
                     copies_first),
    "NaN points": ("1,000 points, then 200 with a NaN among 200 re-upserts: points not among their 32 hits", 1000,
                   nan_points),
}


def counts(builds):
    """Each counted case over builds builds: the least and most count of
    each library (None where it has no figure)."""
    out = {}
    for name, (about, of, case) in COUNTED.items():
        runs = [case(seed) for seed in range(builds)]
        ours = [int(r[0]) for r in runs]
        theirs = [int(r[1]) for r in runs if r[1] is not None]
        out[name] = {"about": about, "of": of, "builds": builds, "quorbell": [min(ours), max(ours)],
                     "hnswlib": [min(theirs), max(theirs)] if theirs else None}
    return out


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--builds", type=int, default=2)
    parser.add_argument("--skip-limit", action="store_true", help="leave out the 50k limit-100 case")
    parser.add_argument("--json", action="store_true", help="the counted cases alone, as JSON")
    args = parser.parse_args()
    if args.json:
        print(json.dumps(counts(args.builds)))
        return
    print(f"{'case':<14} {'quorbell':>14} {'hnswlib':>14}")
    for name, figures in counts(args.builds).items():
        peer_text = "-" if figures["hnswlib"] is None else "{}-{}".format(*figures["hnswlib"])
        print(f"{name:<14} {'{}-{}'.format(*figures['quorbell']):>14} {peer_text:>14}", flush=True)
    if not args.skip_limit:
        data = datasets.clustered(50_000, 200, 128, 6 + 128)
        data = datasets.Dataset(data.name, data.base, data.queries, datasets.exact_top_k(data.base, data.queries, k=100),
                                data.about)
        hits, ours, theirs, us_10, us_100 = limit_100(0, data)
        print(f"limit 100: fewest hits returned {hits}; recall@100 quorbell {ours:.3f}, hnswlib (ef 100) "
              f"{theirs:.3f}; µs per query at limit 10: {us_10:.1f}, at limit 100: {us_100:.1f}")


if __name__ == "__main__":
    main()
