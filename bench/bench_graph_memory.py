"""Bytes per point of a graph store beside hnswlib's (M 16, ef_construction
64, one thread), and where quorbell's bytes go.

Each library builds 100,000 clustered points of 128 dims (seeded) in a
process of its own, twice, with transparent huge pages on and off
(PR_SET_THP_DISABLE): quorbell asks for huge pages for its large arrays,
and an array backed by them is resident in whole 2 MiB pages, so the
difference of the two is what that rounding costs. Per point, the growth
of the resident set over the build (the vectors included), and of the C
heap: bytes in use (glibc's own mapped blocks included) and bytes freed
but kept (mallinfo2); quorbell maps its arrays from 256 KiB on outside
the heap. hnswlib runs as Debian's build and, where
tools/bench-peer-hnswlib made it, as pip's.

Run inside the toolchain root, e.g.
  tools/toolchain run tools/with-module python3.14 python3.14 bench/bench_graph_memory.py
"""

import argparse
import ctypes
import json
import os
import subprocess
import sys

from graph_goals import PIP_HNSWLIB

HERE = os.path.dirname(os.path.abspath(__file__))
SEED = 20261208
PR_SET_THP_DISABLE = 41


class Mallinfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks",
                 "keepcost")]


def child(library, huge_pages, points):
    """Builds in this fresh process; prints its figures as JSON."""
    libc = ctypes.CDLL("libc.so.6")
    libc.mallinfo2.restype = Mallinfo2
    if huge_pages == "off":
        libc.prctl(PR_SET_THP_DISABLE, 1, 0, 0, 0)
    import datasets
    from bench_memory import status_bytes
    from peer_process import HnswlibServed, QuorbellServed
    data = datasets.clustered(points, 0, 128, 6 + 128)
    served = (QuorbellServed if library == "quorbell" else HnswlibServed)({"base": data.base, "queries": []})
    del data
    # The data's temporaries go back to the system, so that the build
    # cannot grow into their freed pages unseen.
    libc.malloc_trim(0)
    rss, heap = status_bytes("VmRSS"), libc.mallinfo2()
    served.build()
    after = libc.mallinfo2()
    print(json.dumps({"resident": (status_bytes("VmRSS") - rss) / points,
                      "heap in use": (after.uordblks + after.hblkhd - heap.uordblks - heap.hblkhd) / points,
                      "heap freed, kept": (after.fordblks - heap.fordblks) / points}))


def measure(python, library, huge_pages, points, module_dir):
    env = dict(os.environ, QUORBELL_BENCH_SEED=str(SEED), OPENBLAS_NUM_THREADS="1")
    if module_dir:
        env["PYTHONPATH"] = os.pathsep.join([os.path.abspath(module_dir), env.get("PYTHONPATH", "")])
    out = subprocess.run([python, __file__, "--child", library, huge_pages, str(points)], env=env, check=True,
                         capture_output=True, text=True).stdout
    return json.loads(out)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--points", type=int, default=100_000)
    parser.add_argument("--runs", type=int, default=2)
    parser.add_argument("--module-dir", help="folder holding the quorbell module to measure (default: importable)")
    parser.add_argument("--child", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args.child[0], args.child[1], int(args.child[2]))
    builds = [("quorbell", sys.executable, "quorbell"), ("hnswlib Debian", sys.executable, "hnswlib")]
    if os.path.exists(PIP_HNSWLIB):
        builds.append(("hnswlib pip", PIP_HNSWLIB, "hnswlib"))
    print(f"{args.points} x 128 clustered, bytes per point; load average {os.getloadavg()[0]:.1f}")
    print(f"{'library':<16} {'huge pages':>10} {'run':>4} {'resident':>9} {'heap in use':>11} {'heap kept':>9}")
    for run in range(1, args.runs + 1):
        for huge_pages in ("on", "off"):
            for name, python, library in builds:
                f = measure(python, library, huge_pages, args.points, args.module_dir)
                print(f"{name:<16} {huge_pages:>10} {run:>4} {f['resident']:>9.1f} {f['heap in use']:>11.1f} "
                      f"{f['heap freed, kept']:>9.1f}", flush=True)


if __name__ == "__main__":
    main()
