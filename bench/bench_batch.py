"""batch_search against a Python loop of search: figures, not a test.

On a store of 100,000 random points x 128 (graph path; 10,000 with --quick)
it times, in a fresh process per thread setting (RAYON_NUM_THREADS=1 and 2):
  - a Python loop of `search` over 1,000 queries against one `batch_search`
    of the same queries;
  - tiny batches of 1, 2 and 4 queries against the same number of `search`
    calls (per-call overhead of handing work to the pool).
Each figure is the fastest of several alternating runs. The store is built once and kept
as a snapshot under build/, so later runs only load it.

Run inside the toolchain root, e.g.
  QUORBELL_BUILD_TAG=pool tools/toolchain run \\
    tools/with-module python3.14 python3.14 bench/bench_batch.py --quick
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import time

import numpy as np

import quorbell
from timing import fastest_alternating

DIM = 128
LIMIT = 10
TINY_SIZES = (1, 2, 4)
THREAD_SETTINGS = (1, 2)


def vectors(seed, count):
    return np.random.default_rng(seed).standard_normal((count, DIM), dtype=np.float32).tolist()


def snapshot_path(points):
    root = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench-batch")
    os.makedirs(root, exist_ok=True)
    return os.path.join(root, f"random-{points}x{DIM}.snap")


def ensure_snapshot(points):
    path = snapshot_path(points)
    if not os.path.exists(path):
        store = quorbell.VectorStorage()
        start = time.perf_counter()
        for point_id, row in enumerate(vectors(1, points)):
            store.upsert(point_id, row, None)
        print(f"built {points} points in {time.perf_counter() - start:.1f} s", file=sys.stderr)
        store.save(path + ".tmp")
        os.replace(path + ".tmp", path)
    return path


def measure(args):
    """One process, one thread setting: prints the figures as JSON."""
    store = quorbell.VectorStorage()
    store.load(args.snapshot)
    queries = vectors(2, args.queries)
    threads_before = len(os.listdir("/proc/self/task"))
    store.batch_search(queries[:8], LIMIT, "cosine")  # starts the pool, warms up
    pool_size = len(os.listdir("/proc/self/task")) - threads_before

    def loop(batch):
        return [store.search(q, LIMIT, "cosine") for q in batch]

    assert store.batch_search(queries, LIMIT, "cosine") == loop(queries)
    # CPU time of all threads over wall time: how many cores the batch
    # really had. On a busy machine it falls short of the pool's size.
    cpu, wall = time.process_time(), time.perf_counter()
    store.batch_search(queries, LIMIT, "cosine")
    cores = (time.process_time() - cpu) / (time.perf_counter() - wall)
    loop_time, batch_time = fastest_alternating(
        [lambda: loop(queries), lambda: store.batch_search(queries, LIMIT, "cosine")], args.repeats)
    figures = {"loop": loop_time, "batch": batch_time, "threads": pool_size, "cores": cores}
    for size in TINY_SIZES:
        calls = args.tiny_calls
        tiny = [queries[i * size:(i + 1) * size] for i in range(calls)]

        def loops():
            for batch in tiny:
                loop(batch)

        def batches():
            for batch in tiny:
                store.batch_search(batch, LIMIT, "cosine")

        loops_time, batches_time = fastest_alternating([loops, batches], args.repeats)
        figures[f"loop{size}"] = loops_time / calls
        figures[f"batch{size}"] = batches_time / calls
    print(json.dumps(figures))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="10,000 points and fewer repeats")
    parser.add_argument("--points", type=int)
    parser.add_argument("--queries", type=int, default=1000)
    parser.add_argument("--repeats", type=int)
    parser.add_argument("--tiny-calls", type=int, default=200)
    parser.add_argument("--measure", dest="snapshot", help=argparse.SUPPRESS)
    args = parser.parse_args()
    args.points = args.points or (10_000 if args.quick else 100_000)
    args.repeats = args.repeats or (5 if args.quick else 15)
    if args.snapshot:
        measure(args)
        return

    path = ensure_snapshot(args.points)
    results = {}
    for threads in THREAD_SETTINGS:
        env = {k: v for k, v in os.environ.items() if not k.startswith("RAYON_")}
        env["RAYON_NUM_THREADS"] = str(threads)
        done = subprocess.run(
            [sys.executable, __file__, "--measure", path, "--queries", str(args.queries),
             "--repeats", str(args.repeats), "--tiny-calls", str(args.tiny_calls)],
            env=env, capture_output=True, text=True, check=True)
        results[threads] = json.loads(done.stdout)

    print(f"{args.points} points x {DIM}, cosine, top {LIMIT}, {args.queries} queries, "
          f"best of {args.repeats} alternating runs, {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.1f}")
    print(f"{'threads':>7} {'pool':>5} {'loop ms':>9} {'batch ms':>9} {'speed-up':>9} {'cores used':>11}")
    for threads, r in results.items():
        print(f"{threads:>7} {r['threads']:>5} {r['loop'] * 1e3:9.1f} {r['batch'] * 1e3:9.1f} "
              f"{r['loop'] / r['batch']:8.2f}x {r['cores']:11.2f}")
    print(f"tiny batches, µs per call ({args.tiny_calls} calls per run):")
    print(f"{'threads':>7} {'queries':>7} {'loop µs':>9} {'batch µs':>9} {'batch/loop':>10}")
    for threads, r in results.items():
        for size in TINY_SIZES:
            loop_us, batch_us = r[f"loop{size}"] * 1e6, r[f"batch{size}"] * 1e6
            print(f"{threads:>7} {size:>7} {loop_us:9.1f} {batch_us:9.1f} {batch_us / loop_us:10.2f}")


if __name__ == "__main__":
    main()
