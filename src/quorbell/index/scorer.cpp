#include "index/scorer.h"

#include "core/lane_sums.h"

namespace quorbell {

void Scorer::sums(const float* const* vectors, std::size_t count, float* out) const {
  if (metric_ == Metric::Euclidean) {
    sum_squared_differences_lanes(query_.data(), vectors, count, query_.size(), out);
  } else {
    sum_products_lanes(query_.data(), vectors, count, query_.size(), out);
  }
}

}  // namespace quorbell
