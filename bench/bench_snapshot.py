"""Snapshot figures: save and load of a store of 100,000 points x 128 with
payloads, beside (a) writing the same number of raw bytes with plain file
calls plus fsync and reading them back, and (b) hnswlib's own save_index and
load_index on the same vectors, all in one run. Then the peak memory of a
load against the live state plus the file plus the decoded state.

Goals: save within 1.5x of the raw write + fsync, load within 2x of the raw
read, both faster than the peer; peak memory during a load at most the live
state + the file + the decoded state.

Run inside the toolchain root, e.g.
  tools/toolchain run tools/with-module python3.14 python3.14 bench/bench_snapshot.py
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

from timing import median_seconds

DIM = 128


def raw_write(path, data):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o666)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
        os.fsync(fd)
    finally:
        os.close(fd)


def raw_read(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        chunks = []
        while chunk := os.read(fd, 1 << 24):
            chunks.append(chunk)
        return b"".join(chunks)
    finally:
        os.close(fd)


def fsync_path(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def status_kib(field):
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith(field + ":"):
                return int(line.split()[1])
    raise KeyError(field)


def measure_load_memory(path):
    """Child process: load once to have a live state, reset the peak, load
    again, and print the memory figures in KiB."""
    import quorbell

    store = quorbell.VectorStorage()
    baseline = status_kib("VmRSS")
    store.load(path)
    live = status_kib("VmRSS") - baseline
    with open("/proc/self/clear_refs", "w") as clear:
        clear.write("5")  # resets the peak (VmHWM) to the current RSS
    before = status_kib("VmRSS")
    store.load(path)
    peak = status_kib("VmHWM") - before + live
    print(live, peak)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="10,000 points instead of 100,000")
    parser.add_argument("--points", type=int, help="number of points (overrides --quick)")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--measure-load-memory", metavar="PATH", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.measure_load_memory:
        measure_load_memory(args.measure_load_memory)
        return

    import hnswlib

    import quorbell

    points = args.points or (10_000 if args.quick else 100_000)
    rng = np.random.default_rng(7)
    vectors = rng.standard_normal((points, DIM), dtype=np.float32)

    store = quorbell.VectorStorage()
    start = time.perf_counter()
    for pid in range(points):
        store.upsert(pid, vectors[pid].tolist(), {"tenant_id": f"tenant-{pid % 10}", "rank": pid, "score": pid / 7})
    build_ours = time.perf_counter() - start

    peer = hnswlib.Index(space="cosine", dim=DIM)
    peer.init_index(max_elements=points, M=16, ef_construction=64, random_seed=7)
    start = time.perf_counter()
    peer.add_items(vectors, np.arange(points))
    build_peer = time.perf_counter() - start

    with tempfile.TemporaryDirectory(dir=os.environ.get("QUORBELL_BENCH_DIR")) as directory:
        ours_path = os.path.join(directory, "store.qb")
        raw_path = os.path.join(directory, "raw.bin")
        peer_path = os.path.join(directory, "peer.bin")

        save_ours = median_seconds(lambda: store.save(ours_path), args.repeats)
        size = os.path.getsize(ours_path)
        payload = os.urandom(size)
        save_raw = median_seconds(lambda: raw_write(raw_path, payload), args.repeats)
        save_peer = median_seconds(lambda: peer.save_index(peer_path), args.repeats)
        save_peer_synced = median_seconds(lambda: (peer.save_index(peer_path), fsync_path(peer_path)), args.repeats)
        peer_size = os.path.getsize(peer_path)

        loaded = quorbell.VectorStorage()
        load_ours = median_seconds(lambda: loaded.load(ours_path), args.repeats)
        load_raw = median_seconds(lambda: raw_read(raw_path), args.repeats)

        def load_peer():
            index = hnswlib.Index(space="cosine", dim=DIM)
            index.load_index(peer_path, max_elements=points)

        load_peer_time = median_seconds(load_peer, args.repeats)

        child = subprocess.run(
            [sys.executable, __file__, "--measure-load-memory", ours_path],
            capture_output=True, text=True, check=True,
        )
        live_kib, peak_kib = map(int, child.stdout.split())

    mib = 1 << 20
    print(f"snapshot: {points} points x {DIM} with payloads, median of {args.repeats} runs, page cache warm")
    print(f"build: quorbell {build_ours:.1f} s (upserts), hnswlib {build_peer:.1f} s (add_items)")
    print(f"file sizes: quorbell {size / mib:.1f} MiB, hnswlib {peer_size / mib:.1f} MiB")
    print(f"{'':<6} {'quorbell ms':>12} {'raw ms':>9} {'ratio':>7} {'goal':>6} {'hnswlib ms':>11} {'vs peer':>8}")
    print(f"{'save':<6} {save_ours * 1e3:12.1f} {save_raw * 1e3:9.1f} {save_ours / save_raw:7.2f} {'1.5':>6} "
          f"{save_peer_synced * 1e3:11.1f} {save_ours / save_peer_synced:8.2f}")
    print(f"{'load':<6} {load_ours * 1e3:12.1f} {load_raw * 1e3:9.1f} {load_ours / load_raw:7.2f} {'2.0':>6} "
          f"{load_peer_time * 1e3:11.1f} {load_ours / load_peer_time:8.2f}")
    print(f"(raw save = write + fsync; quorbell's save also syncs the directory; hnswlib save "
          f"{save_peer * 1e3:.1f} ms without fsync, {save_peer_synced * 1e3:.1f} ms with it, compared with it)")
    bound_kib = live_kib + size // 1024 + live_kib
    print(f"load memory: live state {live_kib / 1024:.1f} MiB, file {size / mib:.1f} MiB, peak during a "
          f"replacing load {peak_kib / 1024:.1f} MiB (bound live + file + decoded = {bound_kib / 1024:.1f} MiB, "
          f"ratio {peak_kib / bound_kib:.2f})")


if __name__ == "__main__":
    main()
