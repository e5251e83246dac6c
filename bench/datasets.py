"""Benchmark data: real sentence embeddings from the machine-wide cache and
seeded synthetic sets, each with the exact cosine top-k of its queries.

Pure numpy, so that both the host's embedding step (Python 3.11) and the
suite (inside the toolchain root) share one ground-truth routine.
"""

import json
import os
from dataclasses import dataclass

import numpy as np

TRUTH_K = 10
REAL_NAME = "debian-minilm-384"


@dataclass
class Dataset:
    name: str
    base: np.ndarray      # (n, d) float32, row i is point id i
    queries: np.ndarray   # (q, d) float32, never part of base
    truth: np.ndarray     # (q, TRUTH_K) int64, exact cosine top-k ids, best first
    about: str

    @property
    def dim(self):
        return self.base.shape[1]


def unit_rows(matrix):
    """Rows scaled to unit length in float64; all-zero rows stay zero."""
    m = np.asarray(matrix, dtype=np.float64)
    norms = np.linalg.norm(m, axis=1, keepdims=True)
    return m / np.where(norms == 0.0, 1.0, norms)


def exact_top_k(base, queries, k=TRUTH_K, chunk=256):
    """Exact cosine top-k ids of every query, best first; equal similarities
    rank the lower id first. Computed in float64 so that float32 rounding
    cannot reorder close neighbours."""
    k = min(k, len(base))
    unit_base = unit_rows(base)
    out = np.empty((len(queries), k), dtype=np.int64)
    for start in range(0, len(queries), chunk):
        sims = unit_rows(queries[start:start + chunk]) @ unit_base.T
        part = np.argpartition(-sims, k - 1, axis=1)[:, :k] if k < len(base) else \
            np.tile(np.arange(len(base)), (len(sims), 1))
        for row, (cand, sim) in enumerate(zip(part, sims)):
            out[start + row] = cand[np.lexsort((cand, -sim[cand]))]
    return out


def recall_at(found, truth, k):
    """Mean share of the true top-k that appear among the first k ids found
    for each query (duplicates in a result count once)."""
    if len(found) != len(truth):
        raise ValueError(f"{len(found)} results for {len(truth)} queries")
    hits = 0
    for ids, true_ids in zip(found, truth):
        hits += len(set(list(ids)[:k]) & set(true_ids[:k].tolist()))
    return hits / (k * len(truth))


def gaussian(n, q, dim, seed):
    """Isotropic Gaussian points: full intrinsic dimension, the hard case."""
    rng = np.random.default_rng(seed)
    data = rng.standard_normal((n + q, dim), dtype=np.float32)
    return _split(f"gauss-{dim}", data, n,
                  f"isotropic Gaussian, {dim} dims, seed {seed}")


def clustered(n, q, dim, seed, clusters=64, intrinsic=16):
    """A mixture of Gaussians on a random `intrinsic`-dimensional subspace,
    plus faint noise in every dimension: the shape of real embeddings."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, intrinsic)) * 4.0
    labels = rng.integers(0, clusters, n + q)
    latent = centres[labels] + rng.standard_normal((n + q, intrinsic))
    basis, _ = np.linalg.qr(rng.standard_normal((dim, intrinsic)))
    data = latent @ basis.T + 0.05 * rng.standard_normal((n + q, dim))
    return _split(f"clustered-{dim}", data.astype(np.float32), n,
                  f"{clusters} Gaussian clusters on a {intrinsic}-dim subspace of {dim} dims, seed {seed}")


def _split(name, data, n, about):
    base, queries = data[:n], data[n:]
    return Dataset(name, np.ascontiguousarray(base), np.ascontiguousarray(queries),
                   exact_top_k(base, queries), about)


def save_real(folder, base, queries, truth, meta):
    os.makedirs(folder, exist_ok=True)
    np.save(os.path.join(folder, "base.npy"), base.astype(np.float32))
    np.save(os.path.join(folder, "queries.npy"), queries.astype(np.float32))
    np.save(os.path.join(folder, "truth.npy"), truth.astype(np.int64))
    with open(os.path.join(folder, "meta.json"), "w") as f:
        json.dump(meta, f, indent=2)


def real_available(folder):
    return os.path.exists(os.path.join(folder, "meta.json"))


def load_real(folder, n=None, q=None):
    """The cached real set. With n or q smaller than the cache, takes the
    first rows (the cache is in a seeded random order) and recomputes the
    ground truth for that subset."""
    with open(os.path.join(folder, "meta.json")) as f:
        meta = json.load(f)
    base = np.load(os.path.join(folder, "base.npy"))
    queries = np.load(os.path.join(folder, "queries.npy"))
    truth = np.load(os.path.join(folder, "truth.npy"))
    if (n is not None and n < len(base)) or (q is not None and q < len(queries)):
        base, queries = base[:n], queries[:q]
        truth = exact_top_k(base, queries)
    about = f"{meta['model']} embeddings of {meta['texts']} unique Debian package descriptions"
    return Dataset(REAL_NAME, np.ascontiguousarray(base), np.ascontiguousarray(queries), truth, about)
