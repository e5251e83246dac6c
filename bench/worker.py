"""One measuring process: one library on one data set, in a fresh
interpreter so that its resident memory and its thread pool are its own.
Prints one JSON object on standard output.

  worker.py build DATA.npz LIBRARY SNAPSHOT --repeats R [--full]
      build time, memory and recall@10; with --full also recall@1, latency, the
      recall/throughput curve and snapshot save/load
  worker.py batch DATA.npz LIBRARY SNAPSHOT --repeats R
      batch throughput of a loaded snapshot at this process's thread count
  worker.py exact DATA.npz --repeats R
      quorbell's exact path (499 points) against numpy

The thread count comes from RAYON_NUM_THREADS, set by the caller.
"""

import argparse
import gc
import json
import os
import statistics
import sys
import time

import numpy as np
import psutil
from tqdm import tqdm

from datasets import recall_at
from peers import EF_SEARCH, K, LIBRARIES
from timing import median_seconds

EF_GRID = (10, 16, 32, 64, 128, 256)
LATENCY_QUERIES = 500
BUILD_CHUNK = 2000
EXACT_POINTS = 499
EXACT_PASSES = 9          # exact-path passes are short: more of them


def rss():
    gc.collect()
    return psutil.Process().memory_info().rss


def latency_us(lib, queries, repeats):
    """Median over repeats of the p50 and p99 of single-query latency."""
    p50s, p99s = [], []
    for _ in range(repeats):
        times = []
        for query in queries:
            start = time.perf_counter_ns()
            lib.search(query)
            times.append(time.perf_counter_ns() - start)
        p50, p99 = np.percentile(times, [50, 99])
        p50s.append(p50 / 1e3)
        p99s.append(p99 / 1e3)
    return statistics.median(p50s), statistics.median(p99s)


def batch_figures(lib, queries, truth, repeats):
    """Queries per second of whole-batch calls, and the recall they reach."""
    found = lib.ids(lib.batch(queries), batch=True)
    seconds = median_seconds(lambda: lib.batch(queries), repeats)
    return {"qps": len(queries) / seconds,
            "recall_at_1": recall_at(found, truth, 1),
            "recall_at_10": recall_at(found, truth, K)}


def measure_build(lib, data, snapshot, repeats, full):
    base, queries, truth = data["base"], data["queries"], data["truth"]
    rows = lib.prepare(base)
    query_rows = lib.prepare(queries)
    before = rss()
    start = time.perf_counter()
    lib.create(base.shape[1], len(base))
    with tqdm(total=len(base), desc=f"{lib.name} build", unit="pt", leave=False,
              disable=None, position=1) as bar:
        for first in range(0, len(base), BUILD_CHUNK):
            lib.add(rows[first:first + BUILD_CHUNK], first)
            bar.update(min(BUILD_CHUNK, len(base) - first))
    out = {"build_s": time.perf_counter() - start,
           "rss_bytes_per_point": (rss() - before) / len(base)}
    # Every build's recall (untimed, one batch call): graph levels are
    # random, so recall moves from one build to the next.
    found = lib.ids(lib.batch(query_rows), batch=True)
    out["recall_at_10"] = recall_at(found, truth, K)
    if not full:
        return out

    out.update(batch_figures(lib, query_rows, truth, repeats))
    del out["qps"]     # throughput is measured in turns by separate processes
    sample = query_rows[:LATENCY_QUERIES]
    out["latency_p50_us"], out["latency_p99_us"] = latency_us(lib, sample, repeats)

    out["save_s"] = median_seconds(lambda: lib.save(snapshot), repeats)
    out["snapshot_bytes"] = os.path.getsize(snapshot)
    out["load_s"] = median_seconds(
        lambda: type(lib)(1).load(snapshot, base.shape[1], len(base)), repeats)

    if lib.graph:
        curve = []
        for ef in tqdm(EF_GRID, desc=f"{lib.name} ef sweep", leave=False, disable=None, position=1):
            lib.set_ef(ef)
            curve.append({"ef": ef, **batch_figures(lib, query_rows, truth, repeats)})
        lib.set_ef(EF_SEARCH)
        out["curve"] = curve
    return out


def measure_batch(lib, data, snapshot, repeats):
    base = data["base"]
    lib.load(snapshot, base.shape[1], len(base))
    figures = batch_figures(lib, lib.prepare(data["queries"]), data["truth"], repeats)
    return {"batch_qps": figures["qps"], "recall_at_10": figures["recall_at_10"]}


def numpy_top_k(unit_matrix, query):
    """numpy doing the same exact top-k: a float32 matrix-vector product,
    the query's norm and a stable sort."""
    scores = unit_matrix @ query / np.float32(np.linalg.norm(query))
    return np.argsort(-scores, kind="stable")[:K]


def measure_exact(data, repeats):
    base = data["base"][:EXACT_POINTS]
    queries = data["queries"][:200]
    quorbell = LIBRARIES["quorbell"](1)
    rows, query_rows = quorbell.prepare(base), quorbell.prepare(queries)
    quorbell.create(base.shape[1], len(base))
    quorbell.add(rows, 0)
    unit = (base / np.linalg.norm(base, axis=1, keepdims=True)).astype(np.float32)

    query_lists = queries.tolist()
    timed = {
        "quorbell_us": lambda i: quorbell.search(query_rows[i]),
        # The same queries as Python lists, which the binding converts faster.
        "quorbell_list_query_us": lambda i: quorbell.search(query_lists[i]),
        "numpy_us": lambda i: numpy_top_k(unit, queries[i]),
    }
    # Passes alternate between the three, so that load from elsewhere on
    # the machine falls on all of them alike.
    samples = {key: [] for key in timed}
    for _ in range(max(repeats, EXACT_PASSES)):
        for key, fn in timed.items():
            start = time.perf_counter()
            for i in range(len(queries)):
                fn(i)
            samples[key].append((time.perf_counter() - start) / len(queries) * 1e6)
    out = {key: statistics.median(values) for key, values in samples.items()}
    agree = recall_at([quorbell.ids(quorbell.search(q), batch=False)[0] for q in query_rows],
                      np.array([numpy_top_k(unit, q) for q in queries]), K)
    return {"points": len(base), **out, "ratio": out["quorbell_us"] / out["numpy_us"],
            "top10_agreement": agree}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("phase", choices=("build", "batch", "exact"))
    parser.add_argument("data")
    parser.add_argument("library", nargs="?")
    parser.add_argument("snapshot", nargs="?")
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--full", action="store_true")
    args = parser.parse_args()

    data = dict(np.load(args.data))
    threads = int(os.environ.get("RAYON_NUM_THREADS", "1"))
    if args.phase == "exact":
        out = measure_exact(data, args.repeats)
    else:
        lib = LIBRARIES[args.library](threads)
        if args.phase == "build":
            out = measure_build(lib, data, args.snapshot, args.repeats, args.full)
        else:
            out = measure_batch(lib, data, args.snapshot, args.repeats)
        out["version"] = lib.version()
    json.dump(out, sys.stdout)


if __name__ == "__main__":
    main()
