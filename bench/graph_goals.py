"""The graph against hnswlib (cosine, M 16, ef_construction 64, one thread
to build), side by side in one run, on each set:
  recall    recall@10 against the exact cosine top 10; quorbell's single
            point (ef 32), hnswlib's at ef 32, 40, 48, 64 and 96
  query     µs per single search call, top 10, numpy rows for both
  batch     CPU µs per query (both threads) of one batch call of every
            query, 2 threads each
  build     seconds to build: quorbell by one upsert call per numpy row,
            hnswlib by one single-threaded add_items of the matrix
  bytes/pt  growth of a fresh process's resident set over the build, per
            point (the vectors included), each library in a process of its own
and names the smallest hnswlib ef whose recall reaches quorbell's, with
the ratio of query times there ("equal recall").

Two hnswlib builds run when the machine has both: Debian's package,
compiled for the baseline instruction set (SSE), and the one
`pip install hnswlib` compiles here for this machine (tools/bench-peer-hnswlib;
AVX-512 on the benchmark machine). Every library runs in a process of its
own (bench/peer_process.py), and their passes take turns, so that load
from elsewhere on a shared machine falls on all alike; each time is the
fastest pass in CPU time.

Bit-identity: quorbell's levels and hash keys are fixed by a test seam,
so a build repeats exactly. --record FILE saves, per set, the sha256 of the
snapshot bytes of a seeded build and every query's ids and score bits;
--reference FILE checks the build under test against such a record, made
from another commit (--label names it), and says where they differ.

--instructions adds callgrind counts per insert and per query (5,000
points, 200 queries of each set) for quorbell and Debian's hnswlib, the
whole process's count of each stage less the stage before it (so the
Python loop and the calls' argument conversion are included); valgrind
runs no AVX-512 code, so these count quorbell's AVX2 kernels and cannot
run the pip build.

Sets: clustered 50k x 128 (the suite's synthetic shape) and, when the
machine has them (tools/bench-embeddings), the suite's real MiniLM
embeddings (384 dims). Run inside the toolchain root, e.g.
  tools/bench-peer-hnswlib
  tools/toolchain run tools/with-module python3.14 python3.14 bench/graph_goals.py
"""

import argparse
import hashlib
import json
import os
import re
import subprocess
import sys
import tempfile

os.environ["OPENBLAS_NUM_THREADS"] = "1"  # before numpy loads OpenBLAS

import numpy as np

import datasets
from peer_process import EF_SEARCH, K, PeerProcess

HERE = os.path.dirname(os.path.abspath(__file__))
REAL = os.path.join(HERE, "..", "build", "bench-data", "debian-minilm")
PIP_HNSWLIB = "/var/cache/quorbell-peers/pip-hnswlib/bin/python"  # tools/bench-peer-hnswlib
EF_GRID = (32, 40, 48, 64, 96)
SEED = 20261208
CALLGRIND_POINTS, CALLGRIND_QUERIES = 5_000, 200


def sets(quick):
    n = 10_000 if quick else 50_000
    yield datasets.clustered(n, 1000, 128, 6 + 128)
    if datasets.real_available(REAL):
        yield datasets.load_real(REAL, n=20_000 if quick else None)


def data_file(folder, data):
    path = os.path.join(folder, f"{data.name}.npz")
    np.savez(path, base=data.base, queries=data.queries)
    return path


def quorbell_env(module_dir, seeded):
    env = {"QUORBELL_BENCH_SEED": str(SEED)} if seeded else {}
    if module_dir:
        env["PYTHONPATH"] = os.pathsep.join([os.path.abspath(module_dir), os.environ.get("PYTHONPATH", "")])
    return env


def peers(data_path, module_dir):
    found = [PeerProcess("quorbell", "quorbell", data_path, env=quorbell_env(module_dir, True)),
             PeerProcess("hnswlib Debian", "hnswlib", data_path)]
    if os.path.exists(PIP_HNSWLIB):
        found.append(PeerProcess("hnswlib pip", "hnswlib", data_path, python=PIP_HNSWLIB))
    return found


def fastest(requests, passes):
    """Fastest CPU time of each (peer, op, fields) request over passes that
    take turns; also the last answer of each."""
    best, answers = [float("inf")] * len(requests), [None] * len(requests)
    for _ in range(passes):
        for i, (peer, op, fields) in enumerate(requests):
            answers[i] = peer.ask(op, **fields)
            best[i] = min(best[i], answers[i]["cpu"])
    return best, answers


def bytes_per_point(library, name, quick, module_dir):
    """Resident growth per point of a build in a fresh process."""
    out = subprocess.run([sys.executable, __file__, "--memory", library, name] + (["--quick"] if quick else []),
                         env=dict(os.environ, **quorbell_env(module_dir, True)),
                         check=True, capture_output=True, text=True).stdout
    return float(out.split()[-1])


def memory_child(library, name, quick):
    import ctypes
    import psutil
    from peer_process import HnswlibServed, QuorbellServed
    data = next(d for d in sets(quick) if d.name == name)
    served = (QuorbellServed if library == "quorbell" else HnswlibServed)({"base": data.base, "queries": []})
    del data
    # The ground truth's temporaries go back to the system, so that the
    # build cannot grow into their freed pages unseen.
    ctypes.CDLL("libc.so.6").malloc_trim(0)
    before = psutil.Process().memory_info().rss
    served.build()
    print((psutil.Process().memory_info().rss - before) / len(served.base))


def identity(data_path, module_dir):
    """Digests of a seeded build: its snapshot bytes, and every query's ids
    and score bits (kept whole, to say which queries differ)."""
    peer = PeerProcess("quorbell seeded", "quorbell", data_path, env=quorbell_env(module_dir, True))
    try:
        peer.ask("build")
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "graph.qb")
            peer.ask("save", path=path)
            with open(path, "rb") as f:
                snapshot = hashlib.sha256(f.read()).hexdigest()
        scores = peer.ask("scores")
    finally:
        peer.close()
    return {"snapshot_sha256": snapshot, "ids": scores["ids"], "bits": scores["bits"]}


def compare_identity(name, mine, reference):
    theirs = reference["sets"].get(name)
    if theirs is None:
        return f"no reference for {name}"
    differing = sum(a != b or c != d for a, b, c, d in
                    zip(mine["ids"], theirs["ids"], mine["bits"], theirs["bits"]))
    same_snapshot = mine["snapshot_sha256"] == theirs["snapshot_sha256"]
    verdict = "bit-identical" if same_snapshot and differing == 0 else "DIFFERS"
    return (f"{verdict} to {reference['label']}: snapshot bytes {'equal' if same_snapshot else 'differ'}, "
            f"{differing} of {len(mine['ids'])} queries differ in ids or score bits")


def callgrind_child(library, data_path, stage):
    """Loads the data, then builds (stage "build") and queries (stage
    "query"): the differences of the counts of the stages are the work of
    the build and of the queries alone."""
    data = np.load(data_path)
    base, queries = data["base"][:CALLGRIND_POINTS], data["queries"][:CALLGRIND_QUERIES]
    from peer_process import HnswlibServed, QuorbellServed
    served = (QuorbellServed if library == "quorbell" else HnswlibServed)({"base": base, "queries": queries})
    if stage in ("build", "query"):
        served.build()
    if stage == "query":
        served.query(EF_SEARCH)


def instructions(library, data_path, module_dir):
    """Instructions per insert and per query, counted by callgrind over the
    whole process: each stage's count less the one before it."""
    env = dict(os.environ, PYTHONHASHSEED="0", **quorbell_env(module_dir, True))
    totals = []
    for stage in ("load", "build", "query"):
        done = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null", sys.executable,
                               __file__, "--callgrind", library, data_path, stage],
                              env=env, check=True, capture_output=True, text=True)
        totals.append(int(re.search(r"Collected : (\d+)", done.stderr).group(1)))
    return {"insert": (totals[1] - totals[0]) / CALLGRIND_POINTS, "query": (totals[2] - totals[1]) / CALLGRIND_QUERIES}


def measure(data, folder, args, reference, records):
    data_path = data_file(folder, data)
    label = f"{data.name} {len(data.base) // 1000}k"
    ours, *hnswlibs = peers(data_path, args.module_dir)
    try:
        build, _ = fastest([(p, "build", {}) for p in [ours, *hnswlibs]], args.builds)
        query_requests = [(ours, "query", {})] + [(p, "query", {"ef": ef}) for p in hnswlibs for ef in EF_GRID]
        query, answers = fastest(query_requests, args.passes)
        batch, batch_answers = fastest([(p, "batch", {"ef": EF_SEARCH}) for p in [ours, *hnswlibs]], args.passes)
    finally:
        for p in [ours, *hnswlibs]:
            p.close()
    n = len(data.queries)
    recall = [datasets.recall_at(a["ids"], data.truth, K) for a in answers]
    us = [t / n * 1e6 for t in query]
    print(f"\n{label}: quorbell recall@10 {recall[0]:.4f}, query {us[0]:.1f} µs, build {build[0]:.2f} s, "
          f"batch {batch[0] / n * 1e6:.1f} CPU µs per query")
    print(f"{'peer':<16} {'ef':>4} {'recall':>8} {'query µs':>9} {'ratio':>7}")
    for h, peer in enumerate(hnswlibs):
        rows = range(1 + h * len(EF_GRID), 1 + (h + 1) * len(EF_GRID))
        for i, ef in zip(rows, EF_GRID):
            print(f"{peer.label:<16} {ef:4d} {recall[i]:8.4f} {us[i]:9.1f} {us[0] / us[i]:7.3f}")
        matching = next((i for i in rows if recall[i] >= recall[0]), None)
        equal = (f"ef {EF_GRID[matching - rows.start]}, quorbell/hnswlib query time {us[0] / us[matching]:.3f}"
                 if matching is not None else f"none up to ef {EF_GRID[-1]}")
        print(f"{peer.label}: equal recall at {equal}")
    print(f"{'figure':<22} " + " ".join(f"{p.label:>15}" for p in [ours, *hnswlibs]) + "   quorbell/each")
    at_ef32 = [us[0]] + [us[1 + h * len(EF_GRID)] for h in range(len(hnswlibs))]
    for name, values in (("query µs (ef 32)", at_ef32), ("build s", build),
                         ("batch CPU µs per query", [t / n * 1e6 for t in batch])):
        ratios = " ".join(f"{values[0] / v:7.3f}" for v in values[1:])
        print(f"{name:<22} " + " ".join(f"{v:15.2f}" for v in values) + f"   {ratios}")
    batch_recall = [datasets.recall_at(a["ids"], data.truth, K) for a in batch_answers]
    print(f"{'batch recall':<22} " + " ".join(f"{r:15.4f}" for r in batch_recall))
    if args.memory:
        memory = [bytes_per_point(library, data.name, args.quick, args.module_dir) for library in ("quorbell", "hnswlib")]
        print(f"bytes per point: quorbell {memory[0]:.0f}, hnswlib Debian {memory[1]:.0f}, "
              f"ratio {memory[0] / memory[1]:.3f}")
    if args.instructions:
        counts = {library: instructions(library, data_path, args.module_dir) for library in ("quorbell", "hnswlib")}
        for op in ("insert", "query"):
            q, h = counts["quorbell"].get(op, 0), counts["hnswlib"].get(op, 0)
            print(f"instructions per {op} (callgrind, first {CALLGRIND_POINTS} points): quorbell {q:,.0f}, "
                  f"hnswlib Debian {h:,.0f}, ratio {q / h if h else float('nan'):.3f}")
    if reference or args.record:
        mine = identity(data_path, args.module_dir)
        if reference:
            print(f"bit-identity, {label}: {compare_identity(data.name, mine, reference)}")
        records[data.name] = mine


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="10k clustered and 20k real points")
    parser.add_argument("--passes", type=int, default=5, help="query and batch passes per library")
    parser.add_argument("--builds", type=int, default=2, help="builds per library")
    parser.add_argument("--module-dir", help="folder holding the quorbell module to measure (default: importable)")
    parser.add_argument("--reference", help="check bit-identity against this record")
    parser.add_argument("--record", help="write this build's bit-identity record here")
    parser.add_argument("--label", default="unnamed build", help="what the record was built from (a commit)")
    parser.add_argument("--sets", nargs="*", help="only these sets, by name")
    parser.add_argument("--no-memory", dest="memory", action="store_false", help="skip bytes per point")
    parser.add_argument("--instructions", action="store_true", help="callgrind counts per insert and query")
    parser.add_argument("--memory", nargs=2, dest="memory_child", help=argparse.SUPPRESS)
    parser.add_argument("--callgrind", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.memory_child:
        return memory_child(*args.memory_child, args.quick)
    if args.callgrind:
        return callgrind_child(*args.callgrind)
    reference = None
    if args.reference:
        with open(args.reference) as f:
            reference = json.load(f)
    records = {}
    os.makedirs(os.path.join(HERE, "..", "build"), exist_ok=True)
    with tempfile.TemporaryDirectory(dir=os.path.join(HERE, "..", "build")) as folder:
        for data in sets(args.quick):
            if not args.sets or data.name in args.sets:
                measure(data, folder, args, reference, records)
    if args.record:
        with open(args.record, "w") as f:
            json.dump({"label": args.label, "seed": SEED, "sets": records}, f)


if __name__ == "__main__":
    main()
