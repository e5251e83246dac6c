"""What the form of a vector costs: the same calls made with a list, a numpy
float32 row, a numpy float64 row and an array.array('f'), at 128 and 384
dims, in one process: a search on an empty store (the conversion alone),
an upsert and a top-10 search on a store of 20,000 clustered points, and a
batch_search of 300 queries given as a 2-D array, as a list of lists and as
a list of rows. The kinds take turns within each round, so load from other
processes falls on all of them alike; each figure is the median over the
rounds of the mean time per call. Ratios are against the list form in the
same run, beside the targets numpy input is meant to meet.

Run inside the toolchain root, e.g.
  tools/toolchain run tools/with-module python3.14 python3.14 bench/bench_inputs.py
"""

import argparse
import array
import statistics
import time

import numpy as np

import quorbell
from datasets import clustered

DIMS = (128, 384)
LIMIT = 10
BATCH = 300

# (operation, numpy kind, highest ratio to the list form)
TARGETS = [
    ("empty-store search", "numpy f32", 0.5),
    ("upsert", "numpy f32", 0.9),
    ("search", "numpy f32", 1.0),
    ("batch_search", "2-D numpy f32", 0.95),
]


def row_kinds(row):
    """One float32 row in each form a caller may hold it in."""
    return {
        "list": row.tolist(),
        "numpy f32": row,
        "numpy f64": row.astype(np.float64),
        "array.array": array.array("f", row.tobytes()),
    }


def per_call_medians(contenders, calls, rounds):
    """Median over `rounds` of the mean seconds per call of each contender,
    the contenders taking turns within each round."""
    samples = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, fn in contenders.items():
            start = time.perf_counter()
            for i in range(calls):
                fn(i)
            samples[name].append((time.perf_counter() - start) / calls)
    return {name: statistics.median(times) for name, times in samples.items()}


def measure(dim, points, calls, rounds):
    data = clustered(points, BATCH, dim, seed=dim)
    store = quorbell.VectorStorage()
    for point_id, row in enumerate(data.base):
        store.upsert(point_id, row, None)
    empty = quorbell.VectorStorage()
    rows = [row_kinds(q) for q in data.queries]
    kinds = list(rows[0])
    figures = {}

    def over_rows(call):
        return {kind: (lambda i, kind=kind: call(i, rows[i % BATCH][kind])) for kind in kinds}

    figures["empty-store search"] = per_call_medians(
        over_rows(lambda i, v: empty.search(v, LIMIT, "cosine")), calls, rounds)
    # Replacing existing points keeps the store's size and graph the same
    # for every kind.
    figures["upsert"] = per_call_medians(
        over_rows(lambda i, v: store.upsert(i % points, v, None)), calls // 10, rounds)
    figures["search"] = per_call_medians(
        over_rows(lambda i, v: store.search(v, LIMIT, "cosine")), calls // 10, rounds)
    batches = {
        "list of lists": data.queries.tolist(),
        "2-D numpy f32": data.queries,
        "2-D numpy f64": data.queries.astype(np.float64),
        "list of numpy rows": list(data.queries),
    }
    figures["batch_search"] = per_call_medians(
        {name: (lambda i, b=batch: store.batch_search(b, LIMIT, "cosine")) for name, batch in batches.items()},
        max(1, calls // 1000), rounds)
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=20_000)
    parser.add_argument("--calls", type=int, default=5_000, help="calls per round of the empty-store search")
    parser.add_argument("--rounds", type=int, default=9)
    args = parser.parse_args()

    results = {dim: measure(dim, args.points, args.calls, args.rounds) for dim in DIMS}
    print(f"µs per call, median of {args.rounds} rounds; {args.points:,} clustered points; "
          f"ratio = time / time of the list form")
    for dim, figures in results.items():
        print(f"\n{dim} dims")
        for operation, times in figures.items():
            reference = times.get("list", times.get("list of lists"))
            for kind, seconds in times.items():
                print(f"  {operation:<20} {kind:<20} {seconds * 1e6:10.1f} µs  {seconds / reference:5.2f}")
    print("\ntargets")
    for operation, kind, bound in TARGETS:
        for dim, figures in results.items():
            times = figures[operation]
            ratio = times[kind] / times.get("list", times.get("list of lists"))
            verdict = "met" if ratio <= bound else "MISSED"
            print(f"  {operation:<20} {kind:<15} {dim:>4} dims: {ratio:5.2f} (at most {bound:.2f}) {verdict}")


if __name__ == "__main__":
    main()
