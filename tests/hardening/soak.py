"""Memory soak of one long-lived store: RSS must stay flat after warm-up.

Upserts cycle over a fixed set of ids, so after the first pass every upsert
replaces a point (vector, payload and graph node) and the store's contents
stop growing. Searches, batches, saves and loads run in between; the loads
go into a second store, which each load replaces whole, so the main store
is never reset and whatever a replacement leaves behind accumulates.

Warm-up is long on purpose: the graph's neighbour lists keep filling with
back links, up to their bound, for dozens of passes over the ids, and that
growth is the graph's and not a leak. The resident set size is sampled at
the end of warm-up, at checkpoints and at the end; the run fails when the
end exceeds the start by more than --bound-mib (the default, 4 MiB over
100,000 upserts, catches a leak of about 40 bytes per upsert).

Usage: python3.14 soak.py [--upserts N] [--warmup N] [--ids N] [--bound-mib N]
"""

import argparse
import os
import random
import sys
import tempfile

import quorbell

DIMENSION = 32
METRICS = ["cosine", "dot", "euclidean"]


def rss_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    raise RuntimeError("no VmRSS in /proc/self/status")


def payload(rng, step):
    """Payloads of varying size and kind, some with long Text values and
    some with entries that are dropped."""
    entries = {"tenant_id": f"tenant-{step % 7}", "step": step, "weight": rng.random()}
    if step % 3 == 0:
        entries["text"] = "x" * rng.randrange(65, 400)
    if step % 5 == 0:
        entries["dropped"] = [step]
    return entries if step % 11 else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--upserts", type=int, default=200_000)
    parser.add_argument("--warmup", type=int, default=100_000, help="upserts before the start sample")
    parser.add_argument("--ids", type=int, default=2_000, help="distinct ids the upserts cycle over")
    parser.add_argument("--checkpoints", type=int, default=8)
    parser.add_argument("--bound-mib", type=float, default=4.0, help="allowed RSS growth after warm-up")
    args = parser.parse_args()

    rng = random.Random(7)
    store, mirror = quorbell.VectorStorage(), quorbell.VectorStorage()
    calls = dict.fromkeys(["upsert", "search", "batch_search", "save", "load"], 0)
    every = max(args.upserts // args.checkpoints, 1)
    with tempfile.TemporaryDirectory() as directory:
        snapshot = os.path.join(directory, "soak.qb")

        def save_and_load():
            store.save(snapshot)
            mirror.load(snapshot)
            calls["save"] += 1
            calls["load"] += 1

        start = None
        for step in range(args.upserts):
            vector = [rng.gauss(0, 1) for _ in range(DIMENSION + (step % 4 == 0))]
            store.upsert(step % args.ids, vector, payload(rng, step))
            calls["upsert"] += 1
            if step % 10 == 0:
                tenant = None if step % 20 else f"tenant-{step % 7}"
                store.search(vector[:DIMENSION], 10, METRICS[step % 3], tenant)
                calls["search"] += 1
            if step % 250 == 0:
                store.batch_search([vector[:DIMENSION]] * 8, 5, METRICS[step % 3])
                calls["batch_search"] += 1
            if (step + 1) % every == 0 or step + 1 == args.warmup:
                save_and_load()
                rss = rss_mib()
                print(f"after {step + 1} upserts: RSS {rss:.1f} MiB")
                if step + 1 == args.warmup:
                    start = rss
        end = rss_mib()

    if start is None:
        sys.exit("--upserts must exceed --warmup")
    growth = end - start
    print(f"calls: {calls}")
    print(f"RSS start {start:.1f} MiB, end {end:.1f} MiB, growth {growth:+.1f} MiB (bound {args.bound_mib} MiB)")
    if growth > args.bound_mib:
        print("FAIL: the store's memory grows with replacements")
        sys.exit(1)


if __name__ == "__main__":
    main()
