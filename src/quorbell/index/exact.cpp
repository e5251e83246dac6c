#include "index/exact.h"

#include <algorithm>
#include <cmath>
#include <optional>

#include "core/lane_sums.h"

namespace quorbell {

namespace {
struct Scored {
  float score;
  std::uint32_t slot;
};

// Points of the query's length, scored a batch at a time so that several
// sums run side by side. Every score is bit-identical to the metric's own
// function; points without one are left out.
class BatchScorer {
 public:
  BatchScorer(Metric metric, std::span<const float> query, std::vector<Scored>& scored)
      : metric_(metric), query_(query), query_norm_(sum_squares(query.data(), query.size())), scored_(scored) {}

  void add(std::uint32_t slot, const PointView& point) {
    if (point.vector.size() != query_.size()) return;
    if (metric_ == Metric::Cosine && query_.empty()) return;
    slots_[pending_] = slot;
    vectors_[pending_] = point.vector.data();
    norms_[pending_] = point.squared_norm;
    if (++pending_ == kBatch) flush();
  }

  void flush() {
    if (metric_ == Metric::Euclidean) {
      sum_squared_differences_lanes(query_.data(), vectors_, pending_, query_.size(), sums_);
    } else {
      sum_products_lanes(query_.data(), vectors_, pending_, query_.size(), sums_);
    }
    for (std::size_t j = 0; j < pending_; ++j) {
      if (auto score = finish(sums_[j], norms_[j])) scored_.push_back(Scored{*score, slots_[j]});
    }
    pending_ = 0;
  }

 private:
  static constexpr std::size_t kBatch = 64;

  std::optional<float> finish(float sum, float norm) const {
    switch (metric_) {
      case Metric::DotProduct:
        return sum;
      case Metric::Euclidean:
        return std::sqrt(sum);
      case Metric::Cosine:
        return cosine_from_sums(sum, query_norm_, norm);
    }
    return std::nullopt;
  }

  Metric metric_;
  std::span<const float> query_;
  float query_norm_;
  std::vector<Scored>& scored_;
  std::size_t pending_ = 0;
  std::uint32_t slots_[kBatch];
  const float* vectors_[kBatch];
  float norms_[kBatch];
  float sums_[kBatch];
};
}  // namespace

std::vector<SearchHit> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                        Metric metric, const PointStore& points,
                                        const std::string* tenant) {
  std::vector<Scored> scored;
  scored.reserve(points.size());
  BatchScorer scorer(metric, query, scored);
  for (std::uint32_t slot = 0; slot < points.size(); ++slot) {
    const PointView point = points.view(slot);
    if (tenant_matches(point.payload, tenant)) scorer.add(slot, point);
  }
  scorer.flush();
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
