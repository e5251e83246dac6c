"""The graph against hnswlib (cosine, M 16, ef_construction 64, ef 32, one
thread), side by side in one run, on each set:
  recall    recall@10 against the exact cosine top 10
  query     µs per single search call, top 10, numpy rows for both
  build     seconds to build: quorbell by one upsert call per numpy row,
            hnswlib by one single-threaded add_items of the matrix
  bytes/pt  growth of a fresh process's resident set over the build, per
            point (the vectors included), each library in a process of its own
Builds and query passes of the two take turns, and each time is the fastest
pass in CPU time, so that load from elsewhere on a shared machine falls on
both alike. Levels are random per process, so recall moves a little from
one build to the next: --builds gives the spread over several builds.

Sets: clustered 50k x 128 (the suite's synthetic shape) and, when the
machine has them (tools/bench-embeddings), the suite's real MiniLM
embeddings (384 dims). Run inside the toolchain root, e.g.
  tools/toolchain run tools/with-module python3.14 python3.14 bench/graph_goals.py
"""

import argparse
import os
import subprocess
import sys
import time

os.environ["OPENBLAS_NUM_THREADS"] = "1"  # before numpy loads OpenBLAS

import numpy as np

import datasets
from speed_goals import hnswlib_index as build_hnswlib, quorbell_store as build_quorbell
from timing import fastest_alternating

K = 10
REAL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench-data", "debian-minilm")


def sets(quick):
    n = 10_000 if quick else 50_000
    yield datasets.clustered(n, 1000, 128, 6 + 128)
    if datasets.real_available(REAL):
        yield datasets.load_real(REAL, n=20_000 if quick else None)


def search_quorbell(store):
    return lambda q: [point_id for point_id, _ in store.search(q, K, "cosine")]


def search_hnswlib(index):
    return lambda q: index.knn_query(q, k=K, num_threads=1)[0][0].tolist()


def bytes_per_point(library, name, quick):
    """Resident growth per point of a build in a fresh process."""
    out = subprocess.run([sys.executable, __file__, "--memory", library, name] + (["--quick"] if quick else []),
                         check=True, capture_output=True, text=True).stdout
    return float(out.split()[-1])


def memory_child(library, name, quick):
    import psutil
    import ctypes
    data = next(d for d in sets(quick) if d.name == name)
    base = np.array(data.base)
    del data
    # The ground truth's temporaries go back to the system, so that the
    # build cannot grow into their freed pages unseen.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    before = psutil.Process().memory_info().rss
    kept = (build_quorbell if library == "quorbell" else build_hnswlib)(base)
    print((psutil.Process().memory_info().rss - before) / len(base))
    del kept


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="10k clustered and 20k real points")
    parser.add_argument("--passes", type=int, default=5, help="query passes per library")
    parser.add_argument("--builds", type=int, default=3, help="builds per library")
    parser.add_argument("--memory", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory:
        return memory_child(*args.memory, args.quick)

    print(f"{'set':<22} {'figure':<9} {'quorbell':>10} {'hnswlib':>10} {'ratio':>7}")
    for data in sets(args.quick):
        stores, indexes = [], []
        build = fastest_alternating([lambda: stores.append(build_quorbell(data.base)),
                                     lambda: indexes.append(build_hnswlib(data.base))],
                                    args.builds, time.process_time)
        queries = list(data.queries)
        recalls = [datasets.recall_at([search_quorbell(s)(q) for q in queries], data.truth, K) for s in stores]
        theirs = datasets.recall_at([search_hnswlib(indexes[-1])(q) for q in queries], data.truth, K)
        ours_q, theirs_q = search_quorbell(stores[-1]), search_hnswlib(indexes[-1])
        query = fastest_alternating([lambda: [ours_q(q) for q in queries], lambda: [theirs_q(q) for q in queries]],
                                    args.passes, time.process_time)
        memory = [bytes_per_point(library, data.name, args.quick) for library in ("quorbell", "hnswlib")]
        label = f"{data.name} {len(data.base) // 1000}k"
        spread = f"{min(recalls):.3f}-{max(recalls):.3f}" if len(recalls) > 1 else f"{recalls[0]:.3f}"
        print(f"{label:<22} {'recall':<9} {spread:>10} {theirs:10.3f} {min(recalls) - theirs:+7.3f}")
        us = [t / len(queries) * 1e6 for t in query]
        print(f"{'':<22} {'query µs':<9} {us[0]:10.1f} {us[1]:10.1f} {us[0] / us[1]:7.3f}")
        print(f"{'':<22} {'build s':<9} {build[0]:10.2f} {build[1]:10.2f} {build[0] / build[1]:7.3f}")
        print(f"{'':<22} {'bytes/pt':<9} {memory[0]:10.0f} {memory[1]:10.0f} {memory[0] / memory[1]:7.3f}")


if __name__ == "__main__":
    main()
