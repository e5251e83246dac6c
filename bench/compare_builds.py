"""Two builds of the module side by side in one process, taking turns, so
that load from elsewhere on a shared machine falls on both alike: the
honest way to see what one change gains in time. Times are the process's
CPU time, not wall time: on a machine shared by more busy processes than
cores, wall time mostly measures how long the process waited for a core.

  compare_builds.py BEFORE_DIR AFTER_DIR
      each folder holds a built quorbell module (tools/install-module prints
      one); every figure is the fastest of --passes alternating passes

The cases: a call with no work (limit 0 on an empty store), the exact path
(499 x 128, top 10, each metric), the graph path (clustered 50k x 128, top
10 cosine; both builds search the same graph, loaded from one snapshot) and
the build of that graph by one upsert per point; with --real, the same two
on the first 20,000 of the real MiniLM embeddings (384 dims) when the
machine has them (tools/bench-embeddings).

Run inside the toolchain root, e.g.
  tools/toolchain run python3.14 bench/compare_builds.py build/site-a build/site-b
"""

import argparse
import glob
import importlib.util
import os
import tempfile
import time

import numpy as np

import datasets
from timing import fastest_alternating

DIM, K, GRAPH_POINTS, EXACT_POINTS, REAL_POINTS = 128, 10, 50_000, 499, 20_000
REAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench-data", "debian-minilm")


def load_build(folder):
    """The module in folder, loaded apart from any other copy."""
    path, = glob.glob(os.path.join(folder, "quorbell*.so"))
    spec = importlib.util.spec_from_file_location("quorbell", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def filled(module, rows):
    store = module.VectorStorage()
    upsert = store.upsert
    for point_id, row in enumerate(rows):
        upsert(point_id, row, None)
    return store


def searches(store, queries, limit, metric):
    search = store.search

    def run():
        for query in queries:
            search(query, limit, metric)
    return run


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--passes", type=int, default=9)
    parser.add_argument("--build-passes", type=int, default=3)
    parser.add_argument("--real", action="store_true", help="also the graph of real embeddings")
    args = parser.parse_args()
    builds = [load_build(args.before), load_build(args.after)]

    rng = np.random.default_rng(42)
    matrix = rng.standard_normal((EXACT_POINTS, DIM), dtype=np.float32).tolist()
    queries = rng.standard_normal((200, DIM), dtype=np.float32).tolist()
    graph_sets = [("50k x 128 clustered", datasets.clustered(GRAPH_POINTS, 1000, DIM, 6 + DIM))]
    if args.real and datasets.real_available(REAL):
        graph_sets.append(("20k x 384 real", datasets.load_real(REAL, n=REAL_POINTS)))

    cases = []
    empty = [m.VectorStorage() for m in builds]
    cases.append(("no work (limit 0, empty store)", "µs", len(queries),
                  [searches(s, queries, 0, "cosine") for s in empty]))
    exact = [filled(m, matrix) for m in builds]
    for metric in ("cosine", "dot_product", "euclidean"):
        cases.append((f"exact 499x128 {metric}", "µs", len(queries),
                      [searches(s, queries, K, metric) for s in exact]))
    for name, data in graph_sets:
        rows, graph_queries = data.base.tolist(), data.queries.tolist()
        with tempfile.TemporaryDirectory() as folder:
            snapshot = os.path.join(folder, "graph.qb")
            filled(builds[0], rows).save(snapshot)
            graphs = []
            for m in builds:
                graphs.append(m.VectorStorage())
                graphs[-1].load(snapshot)
        cases.append((f"graph {name}", "µs", len(graph_queries),
                      [searches(s, graph_queries, K, "cosine") for s in graphs]))

    print(f"{'case':<32} {'before':>10} {'after':>10} {'after/before':>13}")
    for name, unit, calls, fns in cases:
        before, after = (t / calls * 1e6 for t in fastest_alternating(fns, args.passes, time.process_time))
        print(f"{name:<32} {before:8.2f}{unit} {after:8.2f}{unit} {after / before:13.3f}", flush=True)
    for name, data in graph_sets:
        rows = data.base.tolist()
        before, after = fastest_alternating([lambda m=m: filled(m, rows) for m in builds], args.build_passes,
                                            time.process_time)
        print(f"{'build ' + name:<32} {before:9.3f}s {after:9.3f}s {after / before:13.3f}", flush=True)


if __name__ == "__main__":
    main()
