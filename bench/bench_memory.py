"""Memory figures, for one or more builds side by side (before/after):

  load peaks     peak growth of a load into an empty store, against the
                 file's size, for payload-heavy files: three shapes that a
                 save writes and two crafted ones
  per point      resident memory per point of a store with a typical
                 payload (tenant_id plus two numbers) and without one
  small stores   10,000 one-point stores of 384 dims against 10,000 empty
                 ones, beside the raw vectors (15 MiB)

Every figure comes from a fresh process, so one does not inherit the
other's freed memory. Then, for the first build only, where the exact
scan's lane-order copy pays: µs per search with and without it, by store
size (the copy is kept only for stores whose vectors share one length, so
one point of another length turns it off and costs a single skipped point).

  bench_memory.py BUILD_DIR [BUILD_DIR ...]
      each folder holds a built quorbell module (tools/install-module
      prints one)

Run inside the toolchain root, e.g.
  tools/toolchain run python3.14 bench/bench_memory.py build/site-before build/site-3.14
"""

import argparse
import json
import os
import struct
import subprocess
import sys
import tempfile

MIB = 1 << 20
SMALL_STORES, SMALL_DIM = 10_000, 384
PER_POINT = 200_000


def varint(value):
    out = bytearray()
    while value >= 0x80:
        out.append(value & 0x7F | 0x80)
        value >>= 7
    out.append(value)
    return bytes(out)


def string(text):
    return varint(len(text)) + text


EMPTY_INDEX = bytes.fromhex("10 40 20 00 00 00")


def points_file(payloads):
    """Points 0, 1, ... with empty vectors and these encoded payloads, and
    an empty graph: what a save writes for such points."""
    parts = [varint(len(payloads))]
    for point_id, payload in enumerate(payloads):
        parts.append(varint(point_id) + varint(point_id) + b"\x00\x01" + payload)
    parts.append(EMPTY_INDEX)
    return b"".join(parts)


def one_payload(entries):
    return points_file([varint(len(entries)) + b"".join(entries)])


# name: (builder, whether a save can write it)
SHAPES = {
    "one payload of 8M entries '' -> 0": (lambda: one_payload([b"\x00\x02\x00"] * (8 << 20)), False),
    "one payload of 2M distinct 3-byte keys": (
        lambda: one_payload([string(bytes([k & 127, k >> 7 & 127, k >> 14])) + b"\x02\x00"
                             for k in range(2 << 20)]), False),
    "{'': 0} on each of 3M points": (lambda: points_file([b"\x01\x00\x02\x00"] * 3_000_000), True),
    "a unique tenant_id on each of 2M points": (
        lambda: points_file([b"\x01" + string(b"tenant_id") + b"\x00" + string(b"t%x" % k)
                             for k in range(2_000_000)]), True),
    "{'tenant_id', 2 numbers} on each of 1M points": (
        lambda: points_file([b"\x03" + string(b"tenant_id") + b"\x00" + string(b"tenant-%d" % (k % 1000))
                             + string(b"rank") + b"\x02" + varint(2 * k) + string(b"score") + b"\x03"
                             + struct.pack("<d", k / 7) for k in range(1_000_000)]), True),
}


def status_bytes(field):
    with open("/proc/self/status") as status:
        return next(int(line.split()[1]) * 1024 for line in status if line.startswith(field + ":"))


def child(what, argument):
    """Runs in a fresh process with the build on sys.path; prints JSON."""
    import quorbell
    if what == "load":
        store = quorbell.VectorStorage()
        with open("/proc/self/clear_refs", "w") as clear:
            clear.write("5")  # the peak (VmHWM) starts again from the current RSS
        before = status_bytes("VmRSS")
        store.load(argument)
        print(json.dumps({"peak": status_bytes("VmHWM") - before}))
    elif what == "per-point":
        vector = [0.5] * 8
        payloads = [{"tenant_id": f"tenant-{k % 1000}", "rank": k, "score": k / 7} if argument == "typical"
                    else None for k in range(PER_POINT)]
        store = quorbell.VectorStorage()
        before = status_bytes("VmRSS")
        for k in range(PER_POINT):
            store.upsert(k, vector, payloads[k])
        print(json.dumps({"per-point": (status_bytes("VmRSS") - before) / PER_POINT}))
    elif what == "small-stores":
        vector = [0.25] * SMALL_DIM
        stores = [quorbell.VectorStorage() for _ in range(SMALL_STORES)]
        before = status_bytes("VmRSS")
        for store in stores:
            store.upsert(1, vector, None)
        print(json.dumps({"growth": status_bytes("VmRSS") - before}))


def run_child(build, what, argument=""):
    env = dict(os.environ, PYTHONPATH=build)
    done = subprocess.run([sys.executable, __file__, "--child", what, "--argument", argument, build],
                          env=env, check=True, capture_output=True, text=True)
    return json.loads(done.stdout.strip().splitlines()[-1])


def scan_copy_table(build):
    """µs per exact search with the lane-order copy and without it."""
    sys.path.insert(0, build)
    sys.path.insert(1, os.path.dirname(os.path.abspath(__file__)))
    import time

    import numpy as np

    import quorbell
    from timing import fastest_alternating

    rng = np.random.default_rng(5)
    queries = rng.standard_normal((200, 384), dtype=np.float32)
    print("\nexact search, µs per call, fastest of 9 alternating passes (first build only)")
    print(f"{'points':>7} {'dim':>5} {'metric':>10} {'with copy':>10} {'without':>10} {'with/without':>13}")
    for dim in (128, 384):
        rows = rng.standard_normal((64, dim), dtype=np.float32)
        qs = [q[:dim].tolist() for q in queries]
        for points in (1, 2, 4, 8, 16, 32, 64):
            for metric in ("cosine", "euclidean"):
                copied, plain = quorbell.VectorStorage(), quorbell.VectorStorage()
                for k in range(points):
                    copied.upsert(k, rows[k], None)
                    plain.upsert(k, rows[k], None)
                plain.upsert(points, [1.0], None)  # another length: no copy

                def run(store):
                    search = store.search
                    return lambda: [search(q, 10, metric) for q in qs]

                with_copy, without = fastest_alternating([run(copied), run(plain)], 9, time.process_time)
                print(f"{points:7} {dim:5} {metric:>10} {with_copy / len(qs) * 1e6:10.2f} "
                      f"{without / len(qs) * 1e6:10.2f} {with_copy / without:13.3f}", flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("builds", nargs="+")
    parser.add_argument("--skip", nargs="*", default=[], choices=["loads", "per-point", "small-stores", "scan-copy"])
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--argument", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        child(args.child, args.argument)
        return
    builds = [os.path.abspath(b) for b in args.builds]
    names = [os.path.basename(b) for b in builds]
    columns = "".join(f" {n[-14:]:>14}" for n in names)

    if "loads" not in args.skip:
        print("peak growth of a load into an empty store, MiB (x file size); bound 8 x file + 64 MiB")
        print(f"{'file shape':<48} {'saved':>5} {'file':>7} {'bound':>7}{columns}")
        with tempfile.TemporaryDirectory(dir=os.environ.get("QUORBELL_BENCH_DIR")) as folder:
            for shape, (build_file, saveable) in SHAPES.items():
                path = os.path.join(folder, "shape.qb")
                with open(path, "wb") as out:
                    out.write(build_file())
                size = os.path.getsize(path)
                cells = ""
                for build in builds:
                    peak = run_child(build, "load", path)["peak"]
                    cells += f" {peak / MIB:7.0f} ({peak / size:4.1f})"
                print(f"{shape:<48} {'yes' if saveable else 'no':>5} {size / MIB:7.1f} "
                      f"{(8 * size + 64 * MIB) / MIB:7.0f}{cells}", flush=True)

    if "per-point" not in args.skip:
        print(f"\nresident bytes per point, {PER_POINT} points of 8 dims by upsert")
        print(f"{'payload':<48}{columns}")
        figures = [{kind: run_child(b, "per-point", kind)["per-point"] for kind in ("none", "typical")}
                   for b in builds]
        print(f"{'none':<48}" + "".join(f" {f['none']:14.0f}" for f in figures))
        print(f"{'tenant_id (1000 tenants), rank, score':<48}" + "".join(f" {f['typical']:14.0f}" for f in figures))
        print(f"{'the payload alone':<48}" + "".join(f" {f['typical'] - f['none']:14.0f}" for f in figures))

    if "small-stores" not in args.skip:
        raw = SMALL_STORES * SMALL_DIM * 4
        print(f"\n{SMALL_STORES} one-point stores of {SMALL_DIM} dims: RSS growth over as many empty stores, MiB")
        print(f"raw vectors {raw / MIB:.1f} MiB; target 1.2 x raw + 10 = {(1.2 * raw + 10 * MIB) / MIB:.1f} MiB")
        print(f"{'':<48}{columns}")
        print(f"{'growth':<48}" + "".join(f" {run_child(b, 'small-stores')['growth'] / MIB:14.1f}" for b in builds))

    if "scan-copy" not in args.skip:
        scan_copy_table(builds[0])


if __name__ == "__main__":
    main()
