"""Same-run wall-clock ratios of quorbell against its peers, in one process:
  graph query   µs per search, clustered 50k x 128 (the suite's set), top 10,
                against hnswlib (cosine, M 16, ef_construction 64, ef 32)
  exact scan    µs per search, 499 x 128, top 10 cosine, against numpy
                (float32 matrix-vector product over unit rows, stable sort)
  build         seconds to build 50k x 128 by one upsert per point from list
                rows, against hnswlib's single-threaded bulk add
Passes of quorbell and its peer take turns, and each figure is the fastest
pass, so that load from elsewhere on a shared machine falls on both alike.
Quorbell's queries are Python lists; the peers get numpy rows. Times are
the process's CPU time (all its threads), not wall time: on a machine
shared by more busy processes than cores, wall time mostly measures how
long the process waited for a core. OpenBLAS runs on one thread.

Run inside the toolchain root, e.g.
  tools/toolchain run bash -c 'PYTHONPATH=$(tools/install-module python3.14) python3.14 bench/speed_goals.py'
"""

import argparse
import os
import time

os.environ["OPENBLAS_NUM_THREADS"] = "1"  # before numpy loads OpenBLAS

import hnswlib
import numpy as np

import datasets
import quorbell
from timing import fastest_alternating

DIM, K, GRAPH_POINTS, EXACT_POINTS = 128, 10, 50_000, 499


def fastest_alternating_cpu(ours, theirs, passes):
    return fastest_alternating([ours, theirs], passes, time.process_time)


def quorbell_store(rows):
    store = quorbell.VectorStorage()
    upsert = store.upsert
    for point_id, row in enumerate(rows):
        upsert(point_id, row, None)
    return store


def hnswlib_index(matrix):
    index = hnswlib.Index(space="cosine", dim=matrix.shape[1])
    index.init_index(max_elements=len(matrix), M=16, ef_construction=64, random_seed=1)
    index.add_items(matrix, np.arange(len(matrix)), num_threads=1)
    index.set_ef(32)
    return index


def per_query_us(search, queries):
    def run():
        for query in queries:
            search(query)
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--passes", type=int, default=7, help="passes per query figure")
    parser.add_argument("--build-passes", type=int, default=3, help="builds per library")
    args = parser.parse_args()

    data = datasets.clustered(GRAPH_POINTS, 1000, DIM, 6 + DIM)
    rows, query_rows = data.base.tolist(), data.queries.tolist()
    rows_ours = []
    build = fastest_alternating_cpu(lambda: rows_ours.append(quorbell_store(rows)),
                                lambda: hnswlib_index(data.base), args.build_passes)
    store, index = rows_ours[-1], hnswlib_index(data.base)
    graph = fastest_alternating_cpu(per_query_us(lambda q: store.search(q, K, "cosine"), query_rows),
                                per_query_us(lambda q: index.knn_query(q, k=K, num_threads=1), list(data.queries)),
                                args.passes)
    graph = [s / len(query_rows) * 1e6 for s in graph]

    rng = np.random.default_rng(42)
    matrix = rng.standard_normal((EXACT_POINTS, DIM), dtype=np.float32)
    queries = rng.standard_normal((200, DIM), dtype=np.float32)
    exact_store = quorbell_store(matrix.tolist())
    unit = (matrix / np.linalg.norm(matrix, axis=1, keepdims=True)).astype(np.float32)

    def numpy_top_k(query):
        scores = unit @ query / np.float32(np.linalg.norm(query))
        return np.argsort(-scores, kind="stable")[:K]

    exact = fastest_alternating_cpu(per_query_us(lambda q: exact_store.search(q, K, "cosine"), queries.tolist()),
                                per_query_us(numpy_top_k, list(queries)), args.passes)
    exact = [s / len(queries) * 1e6 for s in exact]

    print(f"{'figure':<34} {'quorbell':>10} {'peer':>10} {'ratio':>7} {'goal':>6}")
    for name, (ours, theirs), unit_name, goal in (
            ("graph query, 50k x 128 clustered", graph, "µs", 0.25),
            ("exact scan, 499 x 128", exact, "µs", 0.25),
            ("build by upsert, 50k x 128", build, "s", 0.05)):
        print(f"{name:<34} {ours:8.2f}{unit_name:>2} {theirs:8.2f}{unit_name:>2} {ours / theirs:7.3f} {goal:6.2f}")


if __name__ == "__main__":
    main()
