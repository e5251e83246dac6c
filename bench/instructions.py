"""Instructions per call, counted by callgrind: figures that repeat from run
to run on a shared machine, where wall times do not.

Each case runs in its own process under `valgrind --tool=callgrind`, and
the count is the inclusive cost of one native function divided by the
number of calls the case made:
  search    the C entry of VectorStorage.search (argument conversion, the
            search, the result list)
  core      Segment::search alone
  upsert    the C entry of VectorStorage.upsert, graph linking included

The cases: the exact path (499 points x 128, per metric; "exact8-cosine"
and the like name another number of points), the graph path
(clustered 50k x 128, the benchmark suite's set) with its build, and a call
with no work (limit 0 on an empty store). Graph levels are drawn at random
in every process, so build counts vary by about a percent between runs;
with --graph-snapshot the queries search one saved graph (written by the
first run), and their counts repeat exactly.

Needs an unstripped build of the module: the build folder of
tools/install-module holds one. Run inside the toolchain root, e.g.
  tools/toolchain run bash -c 'tools/install-module python3.14 >/dev/null &&
      python3.14 bench/instructions.py build/wheel-3.14'
"""

import argparse
import json
import os
import re
import subprocess
import sys
import tempfile

import numpy as np

import datasets

DIM, EXACT_POINTS, GRAPH_POINTS, QUERIES, K = 128, 499, 50_000, 1000, 10
FUNCTIONS = {
    "search": r"VectorStorage_search\(",
    "core": r"quorbell::Segment::search\(",
    "upsert": r"VectorStorage_upsert\(",
}


def case_data(case):
    if case.startswith("exact"):
        rng = np.random.default_rng(42)
        points = int(case[len("exact"):case.index("-")] or EXACT_POINTS)
        return rng.standard_normal((points, DIM), dtype=np.float32), \
            rng.standard_normal((200, DIM), dtype=np.float32)
    if case == "graph":
        data = datasets.clustered(GRAPH_POINTS, QUERIES, DIM, 6 + DIM)
        return data.base, data.queries
    return np.zeros((0, DIM), dtype=np.float32), np.zeros((QUERIES, DIM), dtype=np.float32)


def run_case(case, snapshot):
    """The measured calls; prints how many of each were made."""
    import quorbell
    base, queries = case_data(case)
    store = quorbell.VectorStorage()
    for point_id, row in enumerate(base.tolist()):
        store.upsert(point_id, row, None)
    if case == "graph" and snapshot:
        if os.path.exists(snapshot):
            store.load(snapshot)
        else:
            store.save(snapshot)
    metric = case.split("-")[1] if case.startswith("exact") else "cosine"
    limit = 0 if case == "empty" else K
    query_rows = queries.tolist()
    for query in query_rows:
        store.search(query, limit, metric)
    print(json.dumps({"search": len(query_rows), "core": len(query_rows), "upsert": len(base)}))


def inclusive_costs(profile):
    """Inclusive instruction counts of the FUNCTIONS in a callgrind file."""
    out = subprocess.run(["callgrind_annotate", "--inclusive=yes", "--threshold=100", profile],
                         check=True, capture_output=True, text=True).stdout
    costs = {}
    for line in out.splitlines():
        for name, pattern in FUNCTIONS.items():
            if name not in costs and re.search(pattern, line):
                costs[name] = int(line.split()[0].replace(",", ""))
    return costs


def measure(case, module_dir, snapshot):
    with tempfile.TemporaryDirectory() as folder:
        profile = os.path.join(folder, "callgrind.out")
        env = dict(os.environ, PYTHONPATH=os.pathsep.join([module_dir, os.path.dirname(__file__)]))
        done = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={profile}",
                               sys.executable, __file__, "--case", case,
                               "--graph-snapshot", snapshot or ""],
                              env=env, check=True, capture_output=True, text=True)
        calls = json.loads(done.stdout.strip().splitlines()[-1])
        costs = inclusive_costs(profile)
    return {name: cost / calls[name] for name, cost in costs.items() if calls[name]}


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("module_dir", nargs="?", help="folder holding an unstripped quorbell module")
    parser.add_argument("--cases", nargs="*", default=["exact-cosine", "exact-dot_product", "exact-euclidean",
                                                       "graph", "empty"])
    parser.add_argument("--graph-snapshot", help="graph queries search this saved graph (saved first if absent)")
    parser.add_argument("--case", help=argparse.SUPPRESS)
    args = parser.parse_args()
    snapshot = os.path.abspath(args.graph_snapshot) if args.graph_snapshot else None
    if args.case:
        run_case(args.case, snapshot)
        return
    print(f"{'case':<18} {'search':>10} {'core':>10} {'edge':>8} {'upsert':>10}   (instructions per call)")
    for case in args.cases:
        per_call = measure(case, args.module_dir, snapshot)
        edge = per_call.get("search", 0) - per_call.get("core", 0)
        print(f"{case:<18} {per_call.get('search', 0):10.0f} {per_call.get('core', 0):10.0f} {edge:8.0f} "
              f"{per_call.get('upsert', 0):10.0f}", flush=True)


if __name__ == "__main__":
    main()
