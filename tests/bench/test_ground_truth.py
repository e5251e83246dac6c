"""The suite's exact neighbours and recall: every figure of recall rests on
them, so they are checked against a plain loop, ties and zero rows included."""

import numpy as np
import pytest

from datasets import clustered, exact_top_k, gaussian, recall_at


def brute_force(base, queries, k):
    out = []
    for q in queries:
        sims = []
        for i, row in enumerate(base):
            denom = np.linalg.norm(q) * np.linalg.norm(row)
            sims.append((-(float(q @ row) / denom if denom else 0.0), i))
        out.append([i for _, i in sorted(sims)[:k]])
    return np.array(out)


@pytest.mark.parametrize("n,k,chunk", [(50, 10, 256), (50, 10, 7), (8, 10, 256), (10, 10, 3)])
def test_exact_top_k_matches_brute_force(n, k, chunk):
    rng = np.random.default_rng(n)
    base = rng.standard_normal((n, 6)).astype(np.float32)
    queries = rng.standard_normal((20, 6)).astype(np.float32)
    assert exact_top_k(base, queries, k, chunk).tolist() == brute_force(base, queries, k).tolist()


def test_ties_rank_lower_id_first_and_scale_is_ignored():
    base = np.array([[0, 1], [2, 0], [1, 0], [0, 0], [3, 0]], dtype=np.float32)
    assert exact_top_k(base, np.array([[5, 0]], dtype=np.float32), 4).tolist() == [[1, 2, 4, 0]]


@pytest.mark.parametrize("found,k,expected", [
    ([[1, 2, 3], [7, 8, 9]], 3, 3 / 6),
    ([[3, 2, 1], [4, 5, 6]], 3, 6 / 6),
    ([[1, 1, 1], [4, 5, 6]], 3, 4 / 6),     # a repeated id counts once
    ([[1], []], 3, 1 / 6),                  # short results count what they hold
    ([[9, 1, 2], [4, 9, 9]], 1, 1 / 2),     # @1 looks at the first id only
])
def test_recall_at(found, k, expected):
    truth = np.array([[1, 2, 3], [4, 5, 6]])
    assert recall_at(found, truth, k) == pytest.approx(expected)


def test_recall_needs_one_result_per_query():
    with pytest.raises(ValueError):
        recall_at([[1]], np.array([[1], [2]]), 1)


@pytest.mark.parametrize("maker", [gaussian, clustered])
def test_synthetic_sets_are_seeded_and_hold_queries_out(maker):
    a, b = maker(300, 20, 32, seed=1), maker(300, 20, 32, seed=1)
    assert a.base.dtype == np.float32 and a.base.shape == (300, 32) and a.queries.shape == (20, 32)
    assert np.array_equal(a.base, b.base) and np.array_equal(a.truth, b.truth)
    assert not np.array_equal(a.base, maker(300, 20, 32, seed=2).base)
    assert not (a.queries[:, None, :] == a.base[None, :, :]).all(axis=2).any()
