"""One store against the same points in shards on Dask workers: figures,
not a test.

A `batch_search` of 10,000 queries (cosine, top 10) over 200,000 clustered
points of 128 dims (64 Gaussian clusters on a 16-dim subspace, seeded),
answered two ways on this machine:
  - one `VectorStorage` in this process, its worker pool at 2 threads;
  - a `ShardedStore` (examples/sharded_dask.py) of 2 shards on a local Dask
    cluster of 2 worker processes, 1 thread each, each store's pool at 1
    thread; and, to show where the time goes, each shard's batch run
    directly on its worker, without transfer or merge, in wall and CPU time
    (CPU time shows the work done, whatever else the machine runs).
The two take turns, pass after pass, and each figure is the fastest pass
in wall time. It prints the throughput of each and their ratio (goal:
shards at least 0.9 of the one store), the recall@10 of each against the
exact cosine top 10 (must: the shards' at least the one store's - 0.01),
and what the merge costs: packing a shard's hits into arrays (on each
worker, measured here on the one store's hits) and merging the shards'
arrays into the hit lists (in this process).

Both stores are built once per run: the one store here, the shards on
their workers at the same time as each other. The points and their exact
answers are computed once and kept under build/bench-sharded/.

Run inside the toolchain root, e.g.
  tools/toolchain run tools/with-module python3.14 python3.14 bench/bench_sharded.py
"""

import argparse
import os
import sys
import time

import numpy as np

import datasets
from timing import fastest_alternating

# The example is a script beside the package, as users would copy it; the
# workers that the local cluster spawns inherit this path.
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "examples"))
from sharded_dask import Shard, ShardedStore, _gather, hit_arrays, merge_hits  # noqa: E402

LIMIT = 10
METRIC = "cosine"
SHARDS = 2


def timed(label, fn):
    start = time.perf_counter()
    result = fn()
    print(f"{label}: {time.perf_counter() - start:.1f} s", file=sys.stderr)
    return result


def clustered_set(points, queries):
    """The seeded clustered set with its exact answers, computed once and
    kept under build/ (the exact answers of 10,000 queries take minutes)."""
    folder = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "bench-sharded")
    path = os.path.join(folder, f"clustered-{points}x128-{queries}q.npz")
    if os.path.exists(path):
        with np.load(path) as saved:
            return datasets.Dataset("clustered-128", saved["base"], saved["queries"], saved["truth"], str(saved["about"]))
    data = datasets.clustered(points, queries, 128, seed=26)
    os.makedirs(folder, exist_ok=True)
    np.savez(path + ".tmp.npz", base=data.base, queries=data.queries, truth=data.truth, about=data.about)
    os.replace(path + ".tmp.npz", path)
    return data


def cpu_and_wall(fn):
    """CPU seconds (every thread of this process) and wall seconds of fn()."""
    cpu, wall = time.process_time(), time.perf_counter()
    fn()
    return time.process_time() - cpu, time.perf_counter() - wall


def shard_batch_alone(queries, dask_worker=None):
    """CPU and wall seconds of one batch on a worker's shard, called there
    directly: the search alone, without transfer or merge."""
    (shard,) = [actor for actor in dask_worker.state.actors.values() if isinstance(actor, Shard)]
    return cpu_and_wall(lambda: shard.store.batch_search(queries, LIMIT, METRIC))


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=200_000)
    parser.add_argument("--queries", type=int, default=10_000)
    parser.add_argument("--passes", type=int, default=5)
    args = parser.parse_args()

    # The pool of this process reads its size at its first batch.
    os.environ["RAYON_NUM_THREADS"] = "2"
    import quorbell
    from distributed import Client, LocalCluster

    data = timed("data and exact answers", lambda: clustered_set(args.points, args.queries))
    one = quorbell.VectorStorage()

    def build_one():
        for point_id, row in enumerate(data.base):
            one.upsert(point_id, row, None)

    timed("one store built", build_one)
    with LocalCluster(n_workers=SHARDS, threads_per_worker=1, processes=True, dashboard_address=None,
                      env={"RAYON_NUM_THREADS": "1"}) as cluster, Client(cluster) as client:
        sharded = ShardedStore(client, SHARDS)
        timed("shards built", lambda: sharded.upsert_many(np.arange(args.points, dtype=np.uint64), data.base))
        worker_pools = sorted(client.run(lambda: os.environ.get("RAYON_NUM_THREADS")).values())

        queries = data.queries
        single_hits = one.batch_search(queries, LIMIT, METRIC)
        sharded_hits = sharded.batch_search(queries, LIMIT, METRIC)
        one_time, sharded_time = fastest_alternating(
            [lambda: one.batch_search(queries, LIMIT, METRIC),
             lambda: sharded.batch_search(queries, LIMIT, METRIC)], args.passes)

        # The sharded batch in its parts: the shards' answers as they reach
        # this process, then the merge.
        parts = _gather([shard.batch_search(queries, LIMIT, METRIC, None) for shard in sharded._shards])
        alone, one_cpu = [], []
        scatter_time, merge_time, pack_time, _, _ = fastest_alternating(
            [lambda: _gather([shard.batch_search(queries, LIMIT, METRIC, None) for shard in sharded._shards]),
             lambda: merge_hits(parts, LIMIT, METRIC),
             lambda: hit_arrays(single_hits),
             lambda: alone.append([t for _, t in sorted(client.run(shard_batch_alone, queries).items())]),
             lambda: one_cpu.append(cpu_and_wall(lambda: one.batch_search(queries, LIMIT, METRIC))[0])],
            args.passes)

    one_recall = datasets.recall_at([[i for i, _ in hits] for hits in single_hits], data.truth, LIMIT)
    sharded_recall = datasets.recall_at([[i for i, _ in hits] for hits in sharded_hits], data.truth, LIMIT)
    ratio = one_time / sharded_time
    print(f"{args.points} points x {data.dim} ({data.about}), {args.queries} queries, {METRIC} top {LIMIT}; "
          f"fastest of {args.passes} interleaved passes; {os.cpu_count()} CPUs, "
          f"load average {os.getloadavg()[0]:.1f}; worker pools: this process 2, shards {worker_pools}")
    print(f"{'':<36} {'ms':>8} {'queries/s':>10} {'recall@10':>10}")
    for label, seconds, recall in ((f"one store, 2 threads", one_time, one_recall),
                                   (f"{SHARDS} shards on {SHARDS} worker processes", sharded_time, sharded_recall)):
        print(f"{label:<36} {seconds * 1e3:8.1f} {args.queries / seconds:10.0f} {recall:10.4f}")
    print(f"throughput of the shards / one store: {ratio:.2f} (goal: at least 0.90): "
          f"{'met' if ratio >= 0.9 else 'missed'}")
    print(f"recall of the shards - one store: {sharded_recall - one_recall:+.4f} (must: at least -0.01): "
          f"{'met' if sharded_recall >= one_recall - 0.01 else 'MISSED'}")
    print(f"the sharded batch: shards' answers gathered {scatter_time * 1e3:.1f} ms, merged here in "
          f"{merge_time * 1e3:.1f} ms ({merge_time / sharded_time:.0%} of the batch); packing one store's "
          f"hits into arrays, as each shard does: {pack_time * 1e3:.1f} ms")
    # CPU time is what the search costs, whatever else the machine runs.
    shards_cpu = [min(pass_[n][0] for pass_ in alone) for n in range(SHARDS)]
    print(f"each shard's batch alone, run on its worker: {min(max(w for _, w in pass_) for pass_ in alone) * 1e3:.1f} ms "
          f"wall for the slower; CPU time: one store {min(one_cpu) * 1e3:.1f} ms (both threads), shards "
          + " + ".join(f"{c * 1e3:.1f}" for c in shards_cpu)
          + f" ms: the shards search {sum(shards_cpu) / min(one_cpu):.2f} times the one store's work")


if __name__ == "__main__":
    main()
