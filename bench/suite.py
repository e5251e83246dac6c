"""The benchmark suite: quorbell beside hnswlib and faiss on real sentence
embeddings and on synthetic sets. Prints a table, writes every figure with
the machine and library versions to results.json, and draws the plots.

Each library runs in fresh processes (one to build and measure, one more
per extra build repeat, and alternating 1- and 2-thread processes that
measure batches on the saved snapshot), so memory and thread pools never
mix. Run it through tools/bench.
"""

import argparse
import json
import os
import platform
import subprocess
import sys
import time

import numpy as np
from tqdm import tqdm

import datasets
from peers import EF_CONSTRUCTION, EF_SEARCH, K, LIBRARIES, M
from plots import draw_all
from report import headline, markdown, print_tables, ratios, update_document

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)

# (kind, dim, base points, queries); the real set's dim is the model's and
# None means all cached rows. The Gaussian sets are smaller because the
# peers' graph builds are slowest on them (the full run stays near 15 min).
MODES = {
    "quick": {"repeats": 3, "build_repeats": 1, "scaling_rounds": 1, "sets": [
        ("real", 384, 10_000, 200),
        ("gauss", 128, 10_000, 200), ("clustered", 128, 10_000, 200),
        ("gauss", 768, 5_000, 200), ("clustered", 768, 5_000, 200)]},
    "full": {"repeats": 3, "build_repeats": 3, "scaling_rounds": 3, "sets": [
        ("real", 384, None, None),
        ("gauss", 128, 25_000, 1000), ("clustered", 128, 50_000, 1000),
        ("gauss", 768, 10_000, 1000), ("clustered", 768, 20_000, 1000)]},
}
SEED = 6


def set_name(kind, dim):
    return datasets.REAL_NAME if kind == "real" else f"{kind}-{dim}"


def make_dataset(kind, dim, n, q, real_dir):
    if kind == "real":
        return datasets.load_real(real_dir, n, q)
    maker = datasets.gaussian if kind == "gauss" else datasets.clustered
    return maker(n, q, dim, SEED + dim)


def steps_per_library(mode):
    return mode["build_repeats"] + 2 * mode["scaling_rounds"]


def run_worker(args, threads, bar):
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads), OMP_NUM_THREADS=str(threads),
               OPENBLAS_NUM_THREADS="1")
    done = subprocess.run([sys.executable, os.path.join(HERE, "worker.py"), *args],
                          env=env, stdout=subprocess.PIPE, text=True)
    bar.update()
    if done.returncode != 0:
        tqdm.write(f"worker failed ({done.returncode}): {' '.join(args)}")
        return None
    return json.loads(done.stdout)


def measure_dataset(data, libraries, mode, work, bar):
    path = os.path.join(work, f"{data.name}.npz")
    np.savez(path, base=data.base, queries=data.queries, truth=data.truth)
    repeats = ["--repeats", str(mode["repeats"])]
    bar.set_description(f"{data.name}: exact path")
    out = {"points": len(data.base), "queries": len(data.queries), "dim": data.dim,
           "about": data.about, "libraries": {},
           "exact_path": run_worker(["exact", path, *repeats], 1, bar)}
    for name in libraries:
        snapshot = os.path.join(work, f"{data.name}.{name}.snapshot")
        bar.set_description(f"{data.name}: {name}")
        first = run_worker(["build", path, name, snapshot, *repeats, "--full"], 1, bar)
        if first is None:
            bar.update(steps_per_library(mode) - 1)     # the steps that now will not run
            continue
        builds = [first] + [run_worker(["build", path, name, snapshot, *repeats], 1, bar)
                            for _ in range(mode["build_repeats"] - 1)]
        builds = [b for b in builds if b]
        first["build_s"] = float(np.median([b["build_s"] for b in builds]))
        first["rss_bytes_per_point"] = float(np.median([b["rss_bytes_per_point"] for b in builds]))
        first["build_runs"] = len(builds)
        first["recall_at_10_builds"] = [b["recall_at_10"] for b in builds]
        # 1- and 2-thread processes take turns, so that a burst of other
        # work on the machine does not fall on one thread count alone.
        qps = {1: [], 2: []}
        for _ in range(mode["scaling_rounds"]):
            for threads in qps:
                run = run_worker(["batch", path, name, snapshot, *repeats], threads, bar)
                if run:
                    qps[threads].append(run["batch_qps"])
        for threads, values in qps.items():
            first[f"batch_qps_{threads}"] = float(np.median(values)) if values else None
        out["libraries"][name] = first
        os.remove(snapshot)
    os.remove(path)
    return out


def duplicate_counts(builds):
    """The counted cases of graph_answers.py (copies and NaN vectors, for
    quorbell and hnswlib), in a process of their own."""
    done = subprocess.run([sys.executable, os.path.join(HERE, "graph_answers.py"), "--json", "--builds", str(builds)],
                          env=dict(os.environ, OPENBLAS_NUM_THREADS="1"), stdout=subprocess.PIPE, text=True)
    if done.returncode != 0:
        tqdm.write(f"graph_answers.py failed ({done.returncode})")
        return None
    return json.loads(done.stdout)


def machine():
    cpu = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    commit = subprocess.run(["git", "-C", ROOT, "rev-parse", "--short", "HEAD"],
                            capture_output=True, text=True).stdout.strip()
    import matplotlib
    return {"cpu": cpu, "cpus_online": os.cpu_count(), "cpus_usable": len(os.sched_getaffinity(0)),
            "python": platform.python_version(), "platform": platform.platform(),
            "numpy": np.__version__, "matplotlib": matplotlib.__version__, "quorbell_commit": commit,
            "load_average_start": [round(x, 2) for x in os.getloadavg()]}


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--quick", action="store_true", help="small sets, a couple of minutes")
    parser.add_argument("--real-data", default=os.path.join(ROOT, "build/bench-data/debian-minilm"))
    parser.add_argument("--work", default=os.path.join(ROOT, "build/bench-work"))
    parser.add_argument("--out", help="default docs/bench, or build/bench-quick with --quick")
    parser.add_argument("--sets", nargs="*", help="only these data sets, e.g. gauss-128")
    parser.add_argument("--libraries", nargs="*", default=list(LIBRARIES))
    args = parser.parse_args()

    mode_name = "quick" if args.quick else "full"
    mode = MODES[mode_name]
    os.makedirs(args.work, exist_ok=True)
    out = args.out or os.path.join(ROOT, "build/bench-quick" if args.quick else "docs/bench")
    os.makedirs(out, exist_ok=True)
    specs = [s for s in mode["sets"] if not args.sets or set_name(*s[:2]) in args.sets]
    if any(s[0] == "real" for s in specs) and not datasets.real_available(args.real_data):
        print("real embeddings unavailable: running on the synthetic sets alone", file=sys.stderr)
        specs = [s for s in specs if s[0] != "real"]

    started = time.time()
    results = {"mode": mode_name, "machine": machine(),
               "parameters": {"m": M, "ef_construction": EF_CONSTRUCTION, "ef_search": EF_SEARCH,
                              "k": K, "repeats": mode["repeats"], "build_repeats": mode["build_repeats"],
                              "scaling_rounds": mode["scaling_rounds"]},
               "versions": {}, "datasets": {}}
    with tqdm(total=len(specs) * (1 + steps_per_library(mode) * len(args.libraries)) + 1, unit="step",
              disable=None) as bar:
        for kind, dim, n, q in specs:
            bar.set_description(f"{set_name(kind, dim)}: data")
            data = make_dataset(kind, dim, n, q, args.real_data)
            figures = measure_dataset(data, args.libraries, mode, args.work, bar)
            results["datasets"][data.name] = figures
            for name, lib in figures["libraries"].items():
                results["versions"][name] = lib.pop("version")
        bar.set_description("duplicates and NaN vectors")
        results["duplicates"] = duplicate_counts(mode["build_repeats"])
        bar.update()
    results["ratios"] = ratios(results)
    results["headline"] = headline(results)
    results["seconds"] = round(time.time() - started, 1)
    # Other work on a shared machine skews every figure: keep the evidence.
    results["machine"]["load_average_end"] = [round(x, 2) for x in os.getloadavg()]

    with open(os.path.join(out, "results.json"), "w") as f:
        json.dump(results, f, indent=1)
    with open(os.path.join(out, "results.md"), "w") as f:
        f.write(markdown(results))
    print_tables(results)
    for path in draw_all(results, out):
        print(f"wrote {os.path.relpath(path, ROOT)}")
    # The documentation shows the figures of the run in docs/bench.
    if os.path.abspath(out) == os.path.join(ROOT, "docs/bench") and \
            update_document(os.path.join(ROOT, "docs/benchmarks.md"), results):
        print("updated docs/benchmarks.md")


if __name__ == "__main__":
    main()
