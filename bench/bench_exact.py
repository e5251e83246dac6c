"""Exact-path figures: µs per search over 499 points (dim 128) under each
metric and µs per upsert, beside numpy doing the same exact top-k (float32
matrix product plus a stable sort) in the same process.

Run inside the toolchain root, e.g.
  tools/toolchain run tools/with-module python3.14 python3.14 bench/bench_exact.py
"""

import argparse
import time

import numpy as np

import quorbell
from timing import median_seconds

DIM = 128
POINTS = 499
LIMIT = 10


def per_call_us(fn, calls, repeats=7):
    """Median over repeats of the mean µs per call."""

    def run():
        for _ in range(calls):
            fn()

    return median_seconds(run, repeats) / calls * 1e6


def numpy_top_k(matrix, norms, query, metric):
    if metric == "dot_product":
        scores = matrix @ query
        order = np.argsort(-scores, kind="stable")
    elif metric == "cosine":
        scores = (matrix @ query) / (norms * np.float32(np.linalg.norm(query)))
        order = np.argsort(-scores, kind="stable")
    else:
        scores = np.sqrt(((matrix - query) ** 2).sum(axis=1))
        order = np.argsort(scores, kind="stable")
    top = order[:LIMIT]
    return list(zip(top.tolist(), scores[top].tolist()))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--calls", type=int, default=2000)
    args = parser.parse_args()

    rng = np.random.default_rng(42)
    matrix = rng.standard_normal((POINTS, DIM), dtype=np.float32)
    norms = np.linalg.norm(matrix, axis=1).astype(np.float32)
    rows = matrix.tolist()
    query_array = rng.standard_normal(DIM, dtype=np.float32)
    query = query_array.tolist()

    store = quorbell.VectorStorage()
    start = time.perf_counter()
    for pid, row in enumerate(rows):
        store.upsert(pid, row, {"tenant_id": "t"})
    upsert_us = (time.perf_counter() - start) / POINTS * 1e6

    print(f"exact path: {POINTS} points x {DIM}, top {LIMIT}, median of 7 runs x {args.calls} calls")
    print(f"{'metric':<12} {'quorbell µs':>12} {'numpy µs':>10} {'ratio':>7}")
    for metric in ("cosine", "dot_product", "euclidean"):
        ours = per_call_us(lambda: store.search(query, LIMIT, metric), args.calls)
        # numpy's time includes turning the list query into an array, as a
        # caller holding Python lists would pay it.
        theirs = per_call_us(
            lambda: numpy_top_k(matrix, norms, np.asarray(query, dtype=np.float32), metric), args.calls)
        print(f"{metric:<12} {ours:12.1f} {theirs:10.1f} {ours / theirs:7.2f}")
    print(f"upsert: {upsert_us:.1f} µs per call (499 points with payload, graph linking included)")


if __name__ == "__main__":
    main()
