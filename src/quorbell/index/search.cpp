#include "index/search.h"

#include <algorithm>

#include "index/scorer.h"

namespace quorbell {

namespace {

// Scores every point that passes the tenant filter under the metric (points
// that cannot be scored are left out), orders the hits by the metric with
// ties in store iteration order, and keeps the first `limit`.
std::vector<SearchHit> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                        Metric metric, const PointStore& points,
                                        const std::string* tenant) {
  struct Scored {
    float score;
    std::uint32_t slot;
  };
  std::vector<Scored> scored;
  scored.reserve(points.size());
  Scorer(metric, query).score_each(
      points.size(),
      [&](std::size_t slot, PointView& point) {
        point = points.view(static_cast<std::uint32_t>(slot));
        return tenant_matches(point.payload, tenant);
      },
      [&](std::size_t slot, float score) { scored.push_back(Scored{score, static_cast<std::uint32_t>(slot)}); });
  sort_by_metric(scored, metric, [](const Scored& s) { return s.score; });
  const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(limit, scored.size()));
  std::vector<SearchHit> hits;
  hits.reserve(kept);
  for (std::size_t i = 0; i < kept; ++i) hits.push_back(SearchHit{points.view(scored[i].slot).id, scored[i].score});
  return hits;
}

// The graph path's score of a candidate that cannot be scored under
// DotProduct or Euclidean (another length); fixed for compatibility with
// existing callers.
float unscorable_graph_score(Metric metric) { return metric == Metric::Euclidean ? FLOAT_MAX : 0.0f; }

// Takes the first `limit` candidates, in cosine order, that are stored and
// pass the filter, and orders them by the metric. A cosine score reuses the
// candidate's distance, so it is 1 - (1 - similarity), not the similarity.
std::vector<SearchHit> search_graph(std::span<const float> query, std::uint64_t limit, Metric metric,
                                    const PointStore& points, const HNSWIndex& index,
                                    const std::string* tenant) {
  std::vector<SearchHit> hits;
  if (limit == 0) return hits;
  const Scorer scorer(metric, query);
  for (const Candidate& candidate : index.search_knn(query, points, tenant)) {
    auto point = points.find(candidate.id);
    if (!point || !tenant_matches(point->payload, tenant)) continue;
    const float score = metric == Metric::Cosine
                            ? 1.0f - candidate.distance
                            : scorer.score(*point).value_or(unscorable_graph_score(metric));
    hits.push_back(SearchHit{point->id, score});
    if (hits.size() >= limit) break;
  }
  sort_by_metric(hits, metric, [](const SearchHit& h) { return h.score; });
  return hits;
}

}  // namespace

std::vector<SearchHit> search_points(std::span<const float> query, std::uint64_t limit, Metric metric,
                                     const PointStore& points, const HNSWIndex& index, const std::string* tenant) {
  if (points.size() < GRAPH_THRESHOLD || !index.entry_point) {
    return search_exact_knn(query, limit, metric, points, tenant);
  }
  return search_graph(query, limit, metric, points, index, tenant);
}

}  // namespace quorbell
