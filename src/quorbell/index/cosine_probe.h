// One query's cosine distances to stored points.
//
// The query's own sum of squares is taken once and each point's comes with
// it from the store, so a distance costs one sum of products; several are
// computed side by side (core/lane_sums.h). Every result is bit-identical to
// cosine_distance(query, vector).
#pragma once

#include <span>

#include "core/point_store.h"

namespace quorbell {

class CosineProbe {
 public:
  explicit CosineProbe(std::span<const float> query);

  std::span<const float> query() const { return query_; }
  float distance(const PointView& point) const;
  // out[k] = distance(points[k]) for every k.
  void distances(std::span<const PointView> points, float* out) const;

 private:
  bool comparable(const PointView& point) const {
    return point.vector.size() == query_.size() && !query_.empty();
  }

  std::span<const float> query_;
  float query_norm_;
};

}  // namespace quorbell
