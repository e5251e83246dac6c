"""Graph-path figures: quorbell beside Debian's hnswlib and faiss HNSW.

For each data set (random normal float32 rows, seeded) and each library, in
a fresh process of its own:
  build     seconds to build the index single-threaded: quorbell through one
            upsert call per point (rows and queries as Python lists), hnswlib (space 'cosine', M 16,
            ef_construction 64) and faiss IndexHNSWFlat (M 16, efConstruction
            64, inner product over unit rows) through one bulk add
  query     µs per single-query call, k = 10 (ef / efSearch 32; quorbell's
            ef_search is 32 by default), best of three passes
  recall    recall@10 against the exact cosine top 10
  bytes/pt  growth of the process's resident set over the build, per point
Then the exact path: µs per search over 499 points of dim 128, per metric.

These are figures, not a test: the machine is shared and timings move.
Run inside the toolchain root, e.g.
  tools/toolchain run tools/with-module python3.14 python3.14 bench/bench_graph.py --quick
"""

import argparse
import gc
import json
import os
import subprocess
import sys
import time

import numpy as np

M, EF_CONSTRUCTION, EF_SEARCH, K = 16, 64, 32, 10
FULL = [(10_000, 128), (100_000, 128), (20_000, 768)]
QUICK = [(2_000, 128), (10_000, 128), (2_000, 768)]
LIBRARIES = ("quorbell", "hnswlib", "faiss")
GOAL_SET = (100_000, 128)


def dataset(count, dim, queries, seed):
    rng = np.random.default_rng(seed)
    return (rng.standard_normal((count, dim), dtype=np.float32),
            rng.standard_normal((queries, dim), dtype=np.float32))


def unit_rows(matrix):
    return matrix / np.linalg.norm(matrix, axis=1, keepdims=True)


def exact_top_k(data, queries):
    """Ids of the exact cosine top K per query, in chunks to bound memory."""
    units = unit_rows(data)
    tops = []
    for start in range(0, len(queries), 100):
        scores = unit_rows(queries[start:start + 100]) @ units.T
        part = np.argpartition(-scores, K, axis=1)[:, :K]
        order = np.take_along_axis(scores, part, axis=1).argsort(axis=1)[:, ::-1]
        tops.extend(np.take_along_axis(part, order, axis=1).tolist())
    return tops


def resident_bytes():
    import psutil
    return psutil.Process().memory_info().rss


# ---------------------------------------------------------------- libraries

class Quorbell:
    def __init__(self, data, queries):
        import quorbell
        self.store = quorbell.VectorStorage()
        # Python lists: the binding converts any sequence item by item, and a
        # numpy row would add a numpy scalar per component to every call.
        self.rows, self.queries = data.tolist(), queries.tolist()

    def build(self):
        upsert = self.store.upsert
        for point_id, row in enumerate(self.rows):
            upsert(point_id, row, None)

    def search(self, query):
        return self.store.search(query, K, "cosine")

    @staticmethod
    def ids(raw):
        return [point_id for point_id, _ in raw]


class Hnswlib:
    def __init__(self, data, queries):
        import hnswlib
        self.data, self.queries = data, list(queries)
        self.index = hnswlib.Index(space="cosine", dim=data.shape[1])
        self.index.init_index(max_elements=len(data), M=M, ef_construction=EF_CONSTRUCTION, random_seed=1)
        self.index.set_num_threads(1)

    def build(self):
        self.index.add_items(self.data, np.arange(len(self.data)), num_threads=1)
        self.index.set_ef(EF_SEARCH)

    def search(self, query):
        return self.index.knn_query(query, k=K, num_threads=1)

    @staticmethod
    def ids(raw):
        return raw[0][0].tolist()


class Faiss:
    def __init__(self, data, queries):
        import faiss
        faiss.omp_set_num_threads(1)
        # Inner product over unit rows is cosine; the queries are scaled
        # ahead of the timed calls.
        self.data = unit_rows(data)
        self.queries = [q[None, :] for q in unit_rows(queries)]
        self.index = faiss.IndexHNSWFlat(data.shape[1], M, faiss.METRIC_INNER_PRODUCT)
        self.index.hnsw.efConstruction = EF_CONSTRUCTION

    def build(self):
        self.index.add(self.data)
        self.index.hnsw.efSearch = EF_SEARCH

    def search(self, query):
        return self.index.search(query, K)

    @staticmethod
    def ids(raw):
        return [int(i) for i in raw[1][0] if i >= 0]


ADAPTERS = {"quorbell": Quorbell, "hnswlib": Hnswlib, "faiss": Faiss}


def measure(library, count, dim, queries, seed):
    """One library on one data set; runs in a fresh process."""
    data, query_rows = dataset(count, dim, queries, seed)
    adapter = ADAPTERS[library](data, query_rows)
    gc.collect()
    before = resident_bytes()
    start = time.perf_counter()
    adapter.build()
    build_seconds = time.perf_counter() - start
    grown = resident_bytes() - before

    search = adapter.search
    for query in adapter.queries[:20]:
        search(query)
    passes = []
    for _ in range(3):
        start = time.perf_counter()
        for query in adapter.queries:
            search(query)
        passes.append((time.perf_counter() - start) / len(adapter.queries) * 1e6)
    found = [adapter.ids(search(query)) for query in adapter.queries]
    return {"build_s": build_seconds, "query_us": min(passes), "bytes_per_point": grown / count, "found": found}


def measure_exact(calls):
    """µs per search on the exact path: 499 points, each metric."""
    import quorbell
    data, queries = dataset(499, 128, 1, 7)
    store = quorbell.VectorStorage()
    for point_id, row in enumerate(data.tolist()):
        store.upsert(point_id, row, None)
    query = queries[0].tolist()
    figures = {}
    for metric in ("cosine", "dot_product", "euclidean"):
        passes = []
        for _ in range(5):
            start = time.perf_counter()
            for _ in range(calls):
                store.search(query, K, metric)
            passes.append((time.perf_counter() - start) / calls * 1e6)
        figures[metric] = min(passes)
    return figures


def in_fresh_process(task):
    out = subprocess.run([sys.executable, __file__, "--worker", json.dumps(task)],
                         check=True, capture_output=True, text=True)
    return json.loads(out.stdout)


# ------------------------------------------------------------------ report

def recall(found, truth):
    hits = sum(len(set(f) & set(t)) for f, t in zip(found, truth))
    return hits / (len(truth) * K)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small data sets and fewer queries")
    parser.add_argument("--queries", type=int, help="queries per data set (default 1000, quick 200)")
    parser.add_argument("--worker", help=argparse.SUPPRESS)
    args = parser.parse_args()

    if args.worker:
        task = json.loads(args.worker)
        result = measure_exact(task["calls"]) if task["library"] == "exact" else measure(
            task["library"], task["count"], task["dim"], task["queries"], task["seed"])
        print(json.dumps(result))
        return

    sets = QUICK if args.quick else FULL
    queries = args.queries or (200 if args.quick else 1000)
    rows = []
    print(f"graph path: k={K}, M={M}, ef_construction={EF_CONSTRUCTION}, ef={EF_SEARCH}, {queries} queries per set")
    print(f"{'set':>12} {'library':<9} {'build s':>9} {'µs/query':>9} {'recall@10':>9} {'bytes/pt':>9}")
    for count, dim in sets:
        seed = count + dim
        truth = exact_top_k(*dataset(count, dim, queries, seed))
        figures = {}
        for library in LIBRARIES:
            task = {"library": library, "count": count, "dim": dim, "queries": queries, "seed": seed}
            result = in_fresh_process(task)
            result["recall"] = recall(result.pop("found"), truth)
            figures[library] = result
            print(f"{count:>7}x{dim:<4} {library:<9} {result['build_s']:9.2f} {result['query_us']:9.1f} "
                  f"{result['recall']:9.3f} {result['bytes_per_point']:9.0f}", flush=True)
        ours, peer = figures["quorbell"], figures["hnswlib"]
        goal = " (goal set)" if (count, dim) == GOAL_SET else ""
        print(f"{'':>12} quorbell/hnswlib: build {ours['build_s'] / peer['build_s']:.3f} (goal <= 0.05), "
              f"query {ours['query_us'] / peer['query_us']:.2f} (goal <= 0.5{goal}), "
              f"memory {ours['bytes_per_point'] / peer['bytes_per_point']:.2f} (goal <= 1)")
        rows.append(((count, dim), figures))

    calls = 500 if args.quick else 2000
    exact = in_fresh_process({"library": "exact", "calls": calls})
    print("exact path, 499 points x 128, top 10: " +
          ", ".join(f"{metric} {us:.1f} µs" for metric, us in exact.items()))


if __name__ == "__main__":
    main()
