#include "index/exact.h"

#include <algorithm>

namespace quorbell {

namespace {
struct Scored {
  float score;
  std::uint32_t slot;
};

// The metric's score of one stored vector, or nullopt when it has none.
std::optional<float> exact_score(Metric metric, std::span<const float> query, float query_norm,
                                 std::span<const float> vector) {
  if (vector.size() != query.size()) return std::nullopt;
  const std::size_t n = query.size();
  switch (metric) {
    case Metric::DotProduct:
      return sum_products(query.data(), vector.data(), n);
    case Metric::Euclidean:
      return std::sqrt(sum_squared_differences(query.data(), vector.data(), n));
    case Metric::Cosine:
      if (n == 0) return std::nullopt;
      return cosine_from_sums(sum_products(query.data(), vector.data(), n), query_norm,
                              sum_squares(vector.data(), n));
  }
  return std::nullopt;
}
}  // namespace

std::vector<SearchHit> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                        Metric metric, const PointStore& points,
                                        const std::string* tenant) {
  // The query's own sum of squares is the same for every point.
  const float query_norm = sum_squares(query.data(), query.size());
  std::vector<Scored> scored;
  scored.reserve(points.size());
  for (std::uint32_t slot = 0; slot < points.size(); ++slot) {
    const PointView point = points.view(slot);
    if (!tenant_matches(point.payload, tenant)) continue;
    if (auto score = exact_score(metric, query, query_norm, point.vector)) {
      scored.push_back(Scored{*score, slot});
    }
  }
  sort_by_metric(scored, metric, [](const Scored& s) { return s.score; });

  const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(limit, scored.size()));
  std::vector<SearchHit> hits;
  hits.reserve(kept);
  for (std::size_t i = 0; i < kept; ++i) {
    const PointView point = points.view(scored[i].slot);
    hits.push_back(SearchHit{point.id, scored[i].score,
                             point.payload ? std::optional<Payload>(*point.payload) : std::nullopt});
  }
  return hits;
}

}  // namespace quorbell
