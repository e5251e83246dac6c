"""Memory under rotating tenant ids, for one or more builds side by side
(before/after):

  churn     resident growth of a 10-point store whose points are
            re-upserted 3,000,000 times, each time under a tenant id never
            used before (sessions, jobs), while its snapshot stays a few
            hundred bytes
  filtered  µs per search filtered by a live tenant (100 of a 20,000-point
            store's 200 tenants, dim 32, limit 10, exact tenant scan),
            after 100,000 upserts have moved points to new tenants and back

Every figure comes from a fresh process. The filtered passes of the builds
take turns, process after process, and each figure is the fastest in CPU
time, so that load from elsewhere falls on every build alike.

  bench_tenant_churn.py BUILD_DIR [BUILD_DIR ...]
      each folder holds a built quorbell module (tools/install-module
      prints one)

Run inside the toolchain root, e.g.
  tools/toolchain run python3.14 bench/bench_tenant_churn.py build/site-before build/site-3.14
"""

import argparse
import json
import os
import random
import subprocess
import sys
import time

from bench_memory import status_bytes

MIB = 1 << 20
CHURN_POINTS, CHURN_UPSERTS = 10, 3_000_000
STORE, TENANTS, DIM, SEARCHES = 20_000, 200, 32, 2_000




def child(what):
    """Runs in a fresh process with the build on sys.path; prints JSON."""
    import quorbell
    store = quorbell.VectorStorage()
    rng = random.Random(7)
    if what == "churn":
        vectors = [[rng.gauss(0, 1) for _ in range(8)] for _ in range(CHURN_POINTS)]
        for k in range(CHURN_POINTS):
            store.upsert(k, vectors[k], {"tenant_id": f"session-{k}"})
        before = status_bytes("VmRSS")
        for n in range(CHURN_UPSERTS):
            k = n % CHURN_POINTS
            store.upsert(k, vectors[k], {"tenant_id": f"session-{n + CHURN_POINTS}"})
        print(json.dumps({"growth": status_bytes("VmRSS") - before}))
    elif what == "filtered":
        vectors = [[rng.gauss(0, 1) for _ in range(DIM)] for _ in range(STORE)]
        for k in range(STORE):
            store.upsert(k, vectors[k], {"tenant_id": f"tenant-{k % TENANTS}"})
        for n in range(100_000):  # tenants come and go: a point leaves its tenant for a new one, then returns
            k = rng.randrange(STORE)
            store.upsert(k, vectors[k], {"tenant_id": f"passing-{n}"})
            store.upsert(k, vectors[k], {"tenant_id": f"tenant-{k % TENANTS}"})
        queries = [[rng.gauss(0, 1) for _ in range(DIM)] for _ in range(SEARCHES)]
        tenants = [f"tenant-{n % TENANTS}" for n in range(SEARCHES)]
        best = float("inf")
        for _ in range(5):
            start = time.process_time()
            for query, tenant in zip(queries, tenants):
                store.search(query, 10, "cosine", tenant)
            best = min(best, time.process_time() - start)
        print(json.dumps({"us": best / SEARCHES * 1e6}))


def run_child(build, what):
    env = dict(os.environ, PYTHONPATH=build)
    done = subprocess.run([sys.executable, __file__, "--child", what, build],
                          env=env, check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("builds", nargs="+")
    parser.add_argument("--child")
    parser.add_argument("--passes", type=int, default=3)
    args = parser.parse_args()
    if args.child:
        child(args.child)
        return
    print(f"load average: {os.getloadavg()[0]:.1f}")
    print(f"\n{CHURN_UPSERTS:,} re-upserts of {CHURN_POINTS} points, each under a new tenant: RSS growth, MiB")
    for build in args.builds:
        print(f"  {build}: {run_child(build, 'churn')['growth'] / MIB:.1f}")
    best = {build: float("inf") for build in args.builds}
    for _ in range(args.passes):
        for build in args.builds:
            best[build] = min(best[build], run_child(build, "filtered")["us"])
    print(f"\nsearch filtered by a live tenant ({STORE // TENANTS} of {STORE:,} points), µs, fastest CPU time")
    for build in args.builds:
        print(f"  {build}: {best[build]:.1f}")


if __name__ == "__main__":
    main()
