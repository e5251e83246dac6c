"""What the form of a vector costs: the same calls made with a list, a numpy
float32 row, a numpy float64 row and an array.array('f'), at 128 and 384
dims, in one process: a search on an empty store (the conversion alone),
an upsert and a top-10 search on a store of 20,000 clustered points, and a
batch_search of 300 queries given as a 2-D array, as a list of lists and as
a list of rows. The kinds take turns within each round, so load from other
processes falls on all of them alike, and each figure is the mean time per
call of the fastest round: on a machine shared with builds, the least
disturbed round is the one that shows the calls' own cost. Ratios are
against the list form in the same run, beside the targets numpy input is
meant to meet.

Run inside the toolchain root, e.g.
  tools/toolchain run tools/with-module python3.14 python3.14 bench/bench_inputs.py
"""

import argparse
import array
import itertools
import timeit

import numpy as np

import quorbell
from datasets import clustered

DIMS = (128, 384)
LIMIT = 10
BATCH = 300

# (operation, numpy kind, highest ratio to the list form)
TARGETS = [
    ("empty-store search", "numpy f32", 0.5),
    ("search", "numpy f32", 1.0),
    ("upsert", "numpy f32", 0.9),
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


def per_call_fastest(contenders, calls, rounds, statement="f(*a)"):
    """The fastest of `rounds` rounds, as mean seconds per call, of each
    contender, the contenders taking turns within each round. A contender is the
    globals of `statement` (by default a function `f` and its arguments
    `a`); timeit keeps the loop's own cost to a few nanoseconds a call."""
    timers = {name: timeit.Timer(statement, globals=names) for name, names in contenders.items()}
    samples = {name: [] for name in contenders}
    for _ in range(rounds):
        for name, timer in timers.items():
            samples[name].append(timer.timeit(calls) / calls)
    return {name: min(times) for name, times in samples.items()}


def measure(dim, points, calls, rounds):
    data = clustered(points, BATCH, dim, seed=dim)
    store = quorbell.VectorStorage()
    for point_id, row in enumerate(data.base):
        store.upsert(point_id, row, None)
    empty = quorbell.VectorStorage()
    query = row_kinds(data.queries[0])
    figures = {
        "empty-store search": per_call_fastest(
            {kind: {"f": empty.search, "a": (v, LIMIT, "cosine")} for kind, v in query.items()}, calls, rounds),
        "search": per_call_fastest(
            {kind: {"f": store.search, "a": (v, LIMIT, "cosine")} for kind, v in query.items()}, calls // 10, rounds),
    }
    batches = {
        "list of lists": data.queries.tolist(),
        "2-D numpy f32": data.queries,
        "2-D numpy f64": data.queries.astype(np.float64),
        "list of numpy rows": list(data.queries),
    }
    figures["batch_search"] = per_call_fastest(
        {name: {"f": store.batch_search, "a": (batch, LIMIT, "cosine")} for name, batch in batches.items()},
        max(1, calls // 1000), rounds)
    # Last, as it grows the store: new points, the queries in turn, every
    # kind adding its share.
    rows = [row_kinds(q) for q in data.queries]
    ids = itertools.count(points)
    figures["upsert"] = per_call_fastest(
        {kind: {"f": store.upsert, "ids": ids, "rows": itertools.cycle([r[kind] for r in rows])} for kind in query},
        calls // 10, rounds, statement="f(next(ids), next(rows), None)")
    return figures


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=20_000)
    parser.add_argument("--calls", type=int, default=500, help="calls per round of the empty-store search")
    parser.add_argument("--rounds", type=int, default=201)
    args = parser.parse_args()

    results = {dim: measure(dim, args.points, args.calls, args.rounds) for dim in DIMS}
    print(f"µs per call, fastest of {args.rounds} rounds; {args.points:,} clustered points; "
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
