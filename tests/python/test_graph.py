"""The graph path through the Python surface: routing at 500 points, the
limit reached above ef_search, scores derived from graph distances, fixed scores for
incomparable candidates, filters, and agreement between single, batch and
reloaded searches."""

import math
import random

import pytest

import quorbell
from conftest import f32

METRICS = ["cosine", "dot_product", "euclidean"]


def random_rows(count, dim, seed):
    rng = random.Random(seed)
    return [[rng.gauss(0.0, 1.0) for _ in range(dim)] for _ in range(count)]


def filled(rows, payload=None):
    store = quorbell.VectorStorage()
    for point_id, row in enumerate(rows):
        store.upsert(point_id, row, payload(point_id) if payload else None)
    return store


@pytest.fixture(scope="module")
def graph_rows():
    return random_rows(700, 8, seed=3)


@pytest.fixture(scope="module")
def graph_store(graph_rows):
    return filled(graph_rows)


@pytest.mark.parametrize("metric", METRICS)
def test_routing_at_five_hundred_points(metric):
    rows = random_rows(500, 4, seed=1)
    store = filled(rows[:499])
    query = rows[0]
    assert len(store.search(query, 100, metric)) == 100  # exact: any limit
    store.upsert(499, rows[499], None)
    assert len(store.search(query, 100, metric)) == 100  # graph: a limit above ef_search is reached
    assert store.search(query, 0, metric) == []


def test_cosine_score_is_one_minus_the_distance():
    # [1, 3, 3, 9] has length 10, so its cosine with [1, 0, 0, 0] is 0.1f
    # exactly; the graph reports 1 - (1 - 0.1f).
    query = [1.0, 0.0, 0.0, 0.0]
    exact = filled([[1.0, 3.0, 3.0, 9.0]] * 10)
    assert {score for _, score in exact.search(query, 10, "cosine")} == {f32(0.1)}
    graph = filled([[1.0, 3.0, 3.0, 9.0]] * 520)
    hits = graph.search(query, 100, "cosine")
    assert 1 <= len(hits) <= 100
    assert {score for _, score in hits} == {f32(1 - f32(1 - f32(0.1)))}
    assert f32(1 - f32(1 - f32(0.1))) == 0.10000002384185791  # 0.10000002 as a float32


@pytest.mark.parametrize(
    "metric, query",
    [(metric, [1.0, 2.0, 3.0, 4.0, 5.0]) for metric in METRICS] + [("cosine", [0.0, 0.0, 0.0, 0.0])],
)
def test_candidates_that_cannot_be_scored_are_left_out(metric, query):
    # As on the exact path: no point of another length, and under cosine
    # nothing for a zero query.
    store = filled(random_rows(600, 4, seed=4))
    assert store.search(query, 10, metric) == []


@pytest.mark.parametrize("metric", METRICS)
def test_graph_hits_carry_the_exact_scores(graph_store, graph_rows, metric):
    rng = random.Random(8)
    for _ in range(10):
        query = [rng.gauss(0.0, 1.0) for _ in range(8)]
        hits = graph_store.search(query, 10, metric)
        assert 1 <= len(hits) <= 10
        for point_id, score in hits:
            # A store below the threshold scores the same point exactly.
            (exact_score,) = [s for _, s in filled([graph_rows[point_id]]).search(query, 1, metric)]
            expected = f32(1 - f32(1 - exact_score)) if metric == "cosine" else exact_score
            assert score == expected
        scores = [score for _, score in hits]
        assert scores == sorted(scores, reverse=metric != "euclidean")


def test_filter_applies_to_every_hit():
    rows = random_rows(600, 6, seed=6)
    store = filled(rows, lambda point_id: {"tenant_id": "odd" if point_id % 2 else "even"})
    for query in rows[:20]:
        odd = store.search(query, 50, "cosine", tenant_id="odd")
        assert odd and all(point_id % 2 == 1 for point_id, _ in odd)
        assert store.search(query, 50, "cosine", tenant_id="nobody") == []


def test_a_smaller_limit_takes_the_first_candidates(graph_store, graph_rows):
    for query in graph_rows[:20]:
        wide = graph_store.search(query, 32, "cosine")
        assert graph_store.search(query, 3, "cosine") == wide[:3]


def test_batch_and_single_searches_agree(graph_store, graph_rows):
    queries = graph_rows[::7]
    for metric in METRICS:
        assert graph_store.batch_search(queries, 10, metric) == [graph_store.search(q, 10, metric) for q in queries]


def test_reupsert_moves_a_point(graph_store, graph_rows):
    store = filled(graph_rows)
    target = [100.0] + [0.0] * 7
    store.upsert(5, target, None)
    hits = store.search(target, 5, "cosine")
    assert hits[0][0] == 5
    assert hits[0][1] == f32(1 - f32(1 - 1.0))


def test_reloaded_graph_answers_the_same(tmp_path, graph_store, graph_rows):
    path = str(tmp_path / "graph.snapshot")
    graph_store.save(path)
    reloaded = quorbell.VectorStorage()
    reloaded.load(path)
    for query in graph_rows[:30]:
        for metric in METRICS:
            assert reloaded.search(query, 10, metric) == graph_store.search(query, 10, metric)


def test_nan_components_do_not_break_the_walk():
    rows = random_rows(520, 4, seed=9)
    rows[17] = [math.nan, 1.0, 1.0, 1.0]
    store = filled(rows)
    for query in ([math.nan, 0.0, 0.0, 1.0], rows[3], [math.inf, 1.0, 1.0, 1.0]):
        hits = store.search(query, 10, "cosine")
        assert len(hits) <= 10


def test_graph_finds_the_nearest_neighbours():
    # Levels are drawn at random in every process, so the thresholds leave
    # room below what builds give (recall about 0.99, self-hits 100 %).
    numpy = pytest.importorskip("numpy")
    rng = numpy.random.default_rng(12)
    centres = rng.normal(size=(40, 32)).astype(numpy.float32)
    rows = centres[rng.integers(0, 40, 4000)] + 0.35 * rng.normal(size=(4000, 32)).astype(numpy.float32)
    store = quorbell.VectorStorage()
    for point_id, row in enumerate(rows):
        store.upsert(point_id, row, None)
    unit = rows / numpy.linalg.norm(rows, axis=1, keepdims=True)
    queries = rng.normal(size=(200, 32)).astype(numpy.float32) * 0.35 + centres[rng.integers(0, 40, 200)]
    found = 0
    for query in queries:
        exact = set(numpy.argsort(-(unit @ (query / numpy.linalg.norm(query))), kind="stable")[:10].tolist())
        found += len(exact & {point_id for point_id, _ in store.search(query, 10, "cosine")})
    assert found / (10 * len(queries)) >= 0.9
    self_hits = sum(store.search(rows[i], 1, "cosine")[0][0] == i for i in range(0, 4000, 10))
    assert self_hits >= 0.95 * 400
