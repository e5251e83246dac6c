#include "index/search.h"

#include <algorithm>

#include "index/scorer.h"
#include "index/top_hits.h"

namespace quorbell {

namespace {

// Scores every point that passes the tenant filter under the metric (points
// that cannot be scored are left out), orders the hits by the metric with
// ties in store iteration order, and keeps the first `limit`; only the best
// `limit` are ever held in order.
std::vector<SearchHit> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                        Metric metric, const PointStore& points,
                                        const std::string* tenant) {
  if (limit == 0) return {};
  TopHits best(metric, limit, points.size());
  Scorer(metric, query).score_each(
      points.size(),
      [&](std::size_t slot, PointView& point) {
        point = points.view(static_cast<std::uint32_t>(slot));
        return tenant_matches(point.payload, tenant);
      },
      [&](std::size_t slot, float score) { best.offer(static_cast<std::uint32_t>(slot), score); });
  const std::vector<TopHits::Hit>& kept = best.sorted();
  std::vector<SearchHit> hits;
  hits.reserve(kept.size());
  for (const TopHits::Hit& hit : kept) hits.push_back(SearchHit{points.view(hit.slot).id, hit.score});
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
