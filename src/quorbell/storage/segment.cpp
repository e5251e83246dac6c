#include "storage/segment.h"

#include <algorithm>
#include <cmath>

#include "index/exact.h"

namespace quorbell {

Status Segment::upsert(std::uint64_t id, std::span<const float> vector,
                       std::optional<Payload> payload) {
  auto points_guard = points_lock_.write();
  if (!points_guard) return points_guard.error();
  points_.upsert(id, id, vector, std::move(payload));
  auto index_guard = index_lock_.write();
  if (!index_guard) return index_guard.error();
  index_.insert(id, vector, points_);
  return {};
}

namespace {
// Scores a graph candidate under the requested metric. A cosine score
// reuses the candidate's distance; the other metrics give fixed scores
// when the lengths differ.
float graph_score(Metric metric, const Candidate& candidate, std::span<const float> query,
                  std::span<const float> vector) {
  switch (metric) {
    case Metric::Cosine:
      return 1.0f - candidate.distance;
    case Metric::DotProduct:
      if (query.size() != vector.size()) return 0.0f;
      return sum_products(query.data(), vector.data(), query.size());
    case Metric::Euclidean:
      if (query.size() != vector.size()) return FLOAT_MAX;
      return std::sqrt(sum_squared_differences(query.data(), vector.data(), query.size()));
  }
  return 0.0f;
}
}  // namespace

Result<std::vector<SearchHit>> Segment::search(std::span<const float> query, std::uint64_t limit,
                                               Metric metric, const std::string* tenant) const {
  auto points_guard = points_lock_.read();
  if (!points_guard) return points_guard.error();
  auto index_guard = index_lock_.read();
  if (!index_guard) return index_guard.error();

  if (points_.size() < GRAPH_THRESHOLD || !index_.entry_point) {
    return search_exact_knn(query, limit, metric, points_, tenant);
  }

  std::vector<SearchHit> hits;
  if (limit == 0) return hits;
  for (const Candidate& candidate : index_.search_knn(query, points_, tenant)) {
    auto point = points_.find(candidate.id);
    if (!point || !tenant_matches(point->payload, tenant)) continue;
    hits.push_back(SearchHit{point->id, graph_score(metric, candidate, query, point->vector),
                             point->payload ? std::optional<Payload>(*point->payload)
                                            : std::nullopt});
    if (hits.size() >= limit) break;
  }
  sort_by_metric(hits, metric, [](const SearchHit& h) { return h.score; });
  return hits;
}

}  // namespace quorbell
