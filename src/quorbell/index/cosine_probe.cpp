#include "index/cosine_probe.h"

#include "core/distance.h"
#include "core/lane_sums.h"

namespace quorbell {

CosineProbe::CosineProbe(std::span<const float> query)
    : query_(query), query_norm_(sum_squares(query.data(), query.size())) {}

float CosineProbe::distance(const PointView& point) const {
  if (!comparable(point)) return FLOAT_MAX;
  const float dot = sum_products(query_.data(), point.vector.data(), query_.size());
  return cosine_distance_from_sums(dot, query_norm_, point.squared_norm);
}

void CosineProbe::distances(std::span<const PointView> points, float* out) const {
  constexpr std::size_t kChunk = 32;
  const float* vectors[kChunk];
  std::size_t positions[kChunk];
  float dots[kChunk];
  std::size_t pending = 0;
  auto flush = [&] {
    sum_products_lanes(query_.data(), vectors, pending, query_.size(), dots);
    for (std::size_t j = 0; j < pending; ++j) {
      out[positions[j]] = cosine_distance_from_sums(dots[j], query_norm_, points[positions[j]].squared_norm);
    }
    pending = 0;
  };
  for (std::size_t k = 0; k < points.size(); ++k) {
    if (!comparable(points[k])) {
      out[k] = FLOAT_MAX;
      continue;
    }
    vectors[pending] = points[k].vector.data();
    positions[pending] = k;
    if (++pending == kChunk) flush();
  }
  if (pending > 0) flush();
}

}  // namespace quorbell
