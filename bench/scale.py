"""How cost grows with the store: 10k, 100k and (with --million) 1M points
of 128 dims, random normal rows, one upsert per point (rows as numpy
float32 arrays, queries as Python lists).

  µs/upsert   build time divided by the points
  µs/query    one search call, top 10 cosine, fastest of 3 passes over
              1,000 queries
  bytes/pt    growth of the resident set over the build, per point (a
              float32 row alone is 512 bytes)
  save s, load s, snapshot bytes/pt

Times are CPU time of the process, which a shared machine disturbs less
than wall time; save and load also wait for the disk, so they are wall.
Run inside the toolchain root, e.g.
  tools/toolchain run bash -c 'PYTHONPATH=$(tools/install-module python3.14) python3.14 bench/scale.py --million'
"""

import argparse
import gc
import os
import tempfile
import time

import numpy as np
import psutil

import quorbell

DIM, K, QUERIES = 128, 10, 1000


def resident():
    gc.collect()
    return psutil.Process().memory_info().rss


def measure(count, folder):
    rng = np.random.default_rng(count)
    queries = rng.standard_normal((QUERIES, DIM), dtype=np.float32).tolist()
    # Rows stay one numpy matrix, made before the memory is read: a million
    # rows as Python lists would take gigabytes.
    rows = rng.standard_normal((count, DIM), dtype=np.float32)
    store = quorbell.VectorStorage()
    upsert = store.upsert
    before = resident()
    start = time.process_time()
    for point_id in range(count):
        upsert(point_id, rows[point_id], None)
    cpu = time.process_time() - start
    grown = resident() - before
    del rows

    search = store.search
    passes = []
    for _ in range(3):
        start = time.process_time()
        for query in queries:
            search(query, K, "cosine")
        passes.append(time.process_time() - start)

    path = os.path.join(folder, f"scale-{count}.qb")
    start = time.perf_counter()
    store.save(path)
    save_s = time.perf_counter() - start
    size = os.path.getsize(path)
    del store
    fresh = quorbell.VectorStorage()
    start = time.perf_counter()
    fresh.load(path)
    load_s = time.perf_counter() - start
    os.remove(path)
    return {"upsert_us": cpu / count * 1e6, "query_us": min(passes) / QUERIES * 1e6,
            "bytes_per_point": grown / count, "save_s": save_s, "load_s": load_s,
            "snapshot_bytes_per_point": size / count}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--million", action="store_true", help="add the 1M row (a few minutes, about 1.5 GB)")
    args = parser.parse_args()
    counts = [10_000, 100_000] + ([1_000_000] if args.million else [])
    print(f"{'points':>9} {'µs/upsert':>10} {'µs/query':>9} {'bytes/pt':>9} {'save s':>7} {'load s':>7} "
          f"{'file B/pt':>9}")
    with tempfile.TemporaryDirectory() as folder:
        for count in counts:
            r = measure(count, folder)
            print(f"{count:>9,} {r['upsert_us']:10.2f} {r['query_us']:9.2f} {r['bytes_per_point']:9.0f} "
                  f"{r['save_s']:7.2f} {r['load_s']:7.2f} {r['snapshot_bytes_per_point']:9.0f}", flush=True)


if __name__ == "__main__":
    main()
