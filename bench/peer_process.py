"""One library in a process of its own, driven by the benchmark over a pipe,
so that two builds of one library (quorbell before and after a change, or
the packaged hnswlib and the one pip compiles on this machine), which
cannot share an interpreter, still take turns pass by pass. Each request
is timed inside the serving process in CPU time.

The serving side runs as `peer_process.py LIBRARY DATA.npz` with the
interpreter that should import the library (the pip-built hnswlib needs
its own environment's), reads one JSON request per line and answers one
JSON line:
  {"op": "build"}              builds from the data's base rows, ids = row
                               numbers; answers {"cpu": seconds}
  {"op": "query", "ef": E}     every query, top 10, one call each; E sets
                               hnswlib's breadth (quorbell's is fixed)
  {"op": "batch", "ef": E}     all queries in one batch call
      both answer {"cpu": seconds, "ids": [[id, ...], ...]}
  {"op": "save", "path": P}    quorbell only: saves the store
  {"op": "scores"}             quorbell only: every query's ids and score
                               bits, {"ids": ..., "bits": ...}
QUORBELL_BENCH_SEED, when set, fixes quorbell's random seeds through its
test seam before the first store is made, so that builds repeat exactly.
"""

import ctypes
import json
import os
import subprocess
import sys
import time

import numpy as np

M, EF_CONSTRUCTION, EF_SEARCH, K = 16, 64, 32, 10
BATCH_THREADS = 2


class QuorbellServed:
    def __init__(self, data):
        import quorbell
        seed = os.environ.get("QUORBELL_BENCH_SEED")
        if seed is not None:
            ctypes.CDLL(quorbell.__file__).quorbell_test_seed_random(ctypes.c_uint64(int(seed)))
        self.module, self.store = quorbell, None
        self.base, self.queries = data["base"], list(data["queries"])

    def build(self):
        self.store = self.module.VectorStorage()
        upsert = self.store.upsert
        # Row by row from the matrix, each row made as it is passed.
        for point_id, row in enumerate(self.base):
            upsert(point_id, row, None)

    def query(self, ef):
        search = self.store.search
        return [[point_id for point_id, _ in search(q, K, "cosine")] for q in self.queries]

    def batch(self, ef):
        return [[point_id for point_id, _ in hits] for hits in self.store.batch_search(self.queries, K, "cosine")]

    def save(self, path):
        self.store.save(path)

    def scores(self):
        hits = [self.store.search(q, K, "cosine") for q in self.queries]
        ids = [[point_id for point_id, _ in row] for row in hits]
        bits = [np.array([score for _, score in row], dtype=np.float32).view(np.uint32).tolist() for row in hits]
        return {"ids": ids, "bits": bits}


class HnswlibServed:
    def __init__(self, data):
        import hnswlib
        self.module, self.index = hnswlib, None
        self.base, self.queries = data["base"], data["queries"]

    def build(self):
        self.index = self.module.Index(space="cosine", dim=self.base.shape[1])
        self.index.init_index(max_elements=len(self.base), M=M, ef_construction=EF_CONSTRUCTION, random_seed=1)
        self.index.add_items(self.base, np.arange(len(self.base)), num_threads=1)

    def query(self, ef):
        self.index.set_ef(ef)
        knn = self.index.knn_query
        return [knn(q, k=K, num_threads=1)[0][0].tolist() for q in self.queries]

    def batch(self, ef):
        self.index.set_ef(ef)
        return self.index.knn_query(self.queries, k=K, num_threads=BATCH_THREADS)[0].tolist()


def serve(library, data_path):
    data = np.load(data_path)
    served = (QuorbellServed if library == "quorbell" else HnswlibServed)(data)
    for line in sys.stdin:
        request = json.loads(line)
        op = request["op"]
        start = time.process_time()
        if op == "build":
            served.build()
            answer = {}
        elif op in ("query", "batch"):
            answer = {"ids": getattr(served, op)(request.get("ef", EF_SEARCH))}
        elif op == "save":
            served.save(request["path"])
            answer = {}
        else:
            answer = served.scores()
        answer["cpu"] = time.process_time() - start
        print(json.dumps(answer), flush=True)


class PeerProcess:
    """The driving side: a served library, asked one request at a time."""

    def __init__(self, label, library, data_path, python=sys.executable, env=None):
        self.label = label
        self.process = subprocess.Popen([python, os.path.abspath(__file__), library, data_path],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True,
                                        env=dict(os.environ, RAYON_NUM_THREADS=str(BATCH_THREADS), **(env or {})))

    def ask(self, op, **fields):
        self.process.stdin.write(json.dumps(dict(op=op, **fields)) + "\n")
        self.process.stdin.flush()
        line = self.process.stdout.readline()
        if not line:
            raise RuntimeError(f"{self.label}: the serving process ended")
        return json.loads(line)

    def close(self):
        self.process.stdin.close()
        self.process.wait()


if __name__ == "__main__":
    serve(*sys.argv[1:3])
