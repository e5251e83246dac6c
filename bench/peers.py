"""The libraries under test behind one interface. Every adapter measures
cosine similarity with the same graph parameters, builds single-threaded
from consecutive chunks of rows (ids are row numbers), and returns raw
results from its timed calls; `ids` turns a raw result into id lists
afterwards, so that conversion is not timed.

Thread counts are fixed per process: quorbell's worker pool reads
RAYON_NUM_THREADS once, so each measuring process sets it before the first
batch and the other libraries follow the same count.
"""

import os
import tempfile

import numpy as np

from snapshot_params import with_ef_search

M, EF_CONSTRUCTION, EF_SEARCH = 16, 64, 32
K = 10


def unit_copy(matrix):
    """float32 rows scaled to unit length (faiss scores inner products)."""
    import faiss
    out = np.array(matrix, dtype=np.float32, copy=True)
    faiss.normalize_L2(out)
    return out


class Quorbell:
    name = "quorbell"
    graph = True

    def __init__(self, threads):
        import quorbell
        self.module = quorbell
        self.store = None

    def version(self):
        return getattr(self.module, "__version__", None) or _distribution_version("quorbell")

    def prepare(self, matrix):
        # Rows as numpy float32 arrays: what a caller holding a matrix passes.
        return list(matrix)

    def create(self, dim, count):
        self.store = self.module.VectorStorage()

    def add(self, rows, first_id):
        upsert = self.store.upsert
        for point_id, row in enumerate(rows, first_id):
            upsert(point_id, row, None)

    def set_ef(self, ef):
        # The search breadth is fixed in a live store; a snapshot carries it.
        with tempfile.TemporaryDirectory() as folder:
            path = os.path.join(folder, "store.qb")
            self.store.save(path)
            with open(path, "rb") as f:
                data = f.read()
            with open(path, "wb") as f:
                f.write(with_ef_search(data, ef))
            self.store.load(path)

    def search(self, query):
        return self.store.search(query, K, "cosine")

    def batch(self, queries):
        return self.store.batch_search(queries, K, "cosine")

    def ids(self, raw, batch):
        if not batch:
            raw = [raw]
        return [[point_id for point_id, _ in hits] for hits in raw]

    def save(self, path):
        self.store.save(path)

    def load(self, path, dim, count):
        store = self.module.VectorStorage()
        store.load(path)
        self.store = store


class Hnswlib:
    name = "hnswlib"
    graph = True

    def __init__(self, threads):
        import hnswlib
        self.module = hnswlib
        self.threads = threads
        self.index = None

    def version(self):
        return _distribution_version("hnswlib")

    def prepare(self, matrix):
        return matrix

    def create(self, dim, count):
        self.index = self.module.Index(space="cosine", dim=dim)
        self.index.init_index(max_elements=count, M=M, ef_construction=EF_CONSTRUCTION)
        self.index.set_ef(EF_SEARCH)

    def add(self, matrix, first_id):
        self.index.add_items(matrix, np.arange(first_id, first_id + len(matrix)), num_threads=1)

    def set_ef(self, ef):
        self.index.set_ef(ef)

    def search(self, query):
        return self.index.knn_query(query, k=K, num_threads=1)[0]

    def batch(self, queries):
        return self.index.knn_query(queries, k=K, num_threads=self.threads)[0]

    def ids(self, raw, batch):
        return raw.tolist()

    def save(self, path):
        self.index.save_index(path)

    def load(self, path, dim, count):
        index = self.module.Index(space="cosine", dim=dim)
        index.load_index(path, max_elements=count)
        index.set_ef(EF_SEARCH)
        self.index = index


class _Faiss:
    """Shared by the faiss graph and the faiss exact scan: both score inner
    products of unit vectors, so queries are normalised in the timed call."""
    graph = False

    def __init__(self, threads):
        import faiss
        self.faiss = faiss
        faiss.omp_set_num_threads(threads)
        self.index = None

    def version(self):
        return self.faiss.__version__

    def prepare(self, matrix):
        return matrix

    def create(self, dim, count):
        self.index = self.new_index(dim)

    def add(self, matrix, first_id):
        threads = self.faiss.omp_get_max_threads()
        self.faiss.omp_set_num_threads(1)      # single-threaded, like the others
        self.index.add(unit_copy(matrix))
        self.faiss.omp_set_num_threads(threads)

    def search(self, query):
        return self.index.search(unit_copy(query[None, :]), K)[1]

    def batch(self, queries):
        return self.index.search(unit_copy(queries), K)[1]

    def ids(self, raw, batch):
        return raw.tolist()

    def save(self, path):
        self.faiss.write_index(self.index, path)

    def load(self, path, dim, count):
        self.index = self.faiss.read_index(path)
        self.after_load()

    def after_load(self):
        pass


class FaissHNSW(_Faiss):
    name = "faiss-hnsw"
    graph = True

    def new_index(self, dim):
        index = self.faiss.IndexHNSWFlat(dim, M, self.faiss.METRIC_INNER_PRODUCT)
        index.hnsw.efConstruction = EF_CONSTRUCTION
        index.hnsw.efSearch = EF_SEARCH
        return index

    def set_ef(self, ef):
        self.index.hnsw.efSearch = ef

    def after_load(self):
        self.set_ef(EF_SEARCH)


class FaissFlat(_Faiss):
    name = "faiss-flat"

    def new_index(self, dim):
        return self.faiss.IndexFlatIP(dim)


LIBRARIES = {cls.name: cls for cls in (Quorbell, Hnswlib, FaissHNSW, FaissFlat)}


def _distribution_version(name):
    from importlib import metadata
    try:
        return metadata.version(name)
    except metadata.PackageNotFoundError:
        return None
