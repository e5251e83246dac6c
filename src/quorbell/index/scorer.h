// One query's scores under one metric.
//
// Every search path scores through this class: the exact scan, the graph's
// distances (always cosine) and the rescoring of graph candidates. The
// query's own sum of squares is taken once and each point's comes with it
// from the store, so a cosine score costs one sum of products. The batched
// form runs several sums side by side (core/lane_sums.h); every score is
// bit-identical to the single-point form.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "core/distance.h"
#include "core/point_store.h"
#include "core/scan_blocks.h"

namespace quorbell {

class Scorer {
 public:
  Scorer(Metric metric, std::span<const float> query)
      // Only cosine reads the query's sum of squares.
      : Scorer(metric, query, metric == Metric::Cosine ? sum_squares(query.data(), query.size()) : 0.0f) {}
  // With the query's sum of squares (sum_squares of query) already taken.
  Scorer(Metric metric, std::span<const float> query, float query_norm)
      : metric_(metric), query_(query), query_norm_(query_norm), query_root_(std::sqrt(query_norm_)) {}

  // Whether the point can be scored at all: same length as the query, and
  // under cosine a non-empty query (zero magnitudes fail in the score).
  bool comparable(const PointView& point) const {
    return point.vector.size() == query_.size() && !(metric_ == Metric::Cosine && query_.empty());
  }

  // Whether score(point) yields a score: comparable, and under cosine
  // neither the query nor the vector of zero magnitude.
  bool scorable(const PointView& point) const { return comparable(point) && has_score(point.squared_norm); }

  // The metric's score, or nullopt when the point cannot be scored.
  std::optional<float> score(const PointView& point) const {
    if (!comparable(point)) return std::nullopt;
    const float* vector = point.vector.data();
    if (metric_ == Metric::Euclidean)
      return finish(sum_squared_differences(query_.data(), vector, query_.size()), 0.0f);
    return finish(sum_products(query_.data(), vector, query_.size()), point.squared_norm);
  }

  // The graph's distances, for a cosine Scorer: out[k] = 1 - the score of
  // vector k (of length lengths[k] and sum of squares norms[k]), or
  // FLOAT_MAX where it has none.
  void cosine_distances(const float* const* vectors, const std::uint32_t* lengths, const float* norms,
                        std::size_t count, float* out) const;

  // Calls scored(k, score) for every k < count whose point can be scored,
  // in order of k. point_at(k, view) fills in point k and returns false to
  // leave it out.
  template <class PointAt, class Scored>
  void score_each(std::size_t count, PointAt&& point_at, Scored&& scored) const;

  // Scores the whole store from its lane-order copy, kBatch slots at a
  // time: calls batch(begin, end, scores) with scores[k] the score of slot
  // begin + k, meaningful where scorable() holds for its point. The copy
  // must mirror the store and hold vectors of the query's length.
  template <class Batch>
  void score_blocks(const ScanBlocks& blocks, const PointStore& points, Batch&& batch) const;

 private:
  static constexpr std::size_t kBatch = 64;

  // The score from the metric's sum (of products, or of squared
  // differences for Euclidean) and the point's sum of squares.
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

  // out[j] = the metric's score for vectors[j] with sum of squares
  // norms[j], j < count; meaningless where has_score(norms[j]) is false.
  void scores(const float* const* vectors, const float* norms, std::size_t count, float* out) const;
  // out[j] = the metric's sum for vector j of `count` blocks in lane order.
  void block_sums(const float* blocks, std::size_t block_floats, std::size_t count, float* out) const;
  // Turns the metric's sums in out[j] into its scores, as finish does.
  void finish_sums(float* out, const float* norms, std::size_t count) const;
  // Whether a comparable point with this sum of squares has a score.
  bool has_score(float norm) const { return metric_ != Metric::Cosine || (query_norm_ != 0.0f && norm != 0.0f); }

  Metric metric_;
  std::span<const float> query_;
  float query_norm_;
  float query_root_;  // taken once, not once per point
};

template <class PointAt, class Scored>
void Scorer::score_each(std::size_t count, PointAt&& point_at, Scored&& scored) const {
  const float* vectors[kBatch];
  float norms[kBatch];
  std::size_t positions[kBatch];
  float scores_out[kBatch];
  std::size_t pending = 0;
  auto flush = [&] {
    scores(vectors, norms, pending, scores_out);
    for (std::size_t j = 0; j < pending; ++j) {
      if (has_score(norms[j])) scored(positions[j], scores_out[j]);
    }
    pending = 0;
  };
  PointView point{};
  for (std::size_t k = 0; k < count; ++k) {
    if (!point_at(k, point) || !comparable(point)) continue;
    vectors[pending] = point.vector.data();
    norms[pending] = point.squared_norm;
    positions[pending] = k;
    if (++pending == kBatch) flush();
  }
  if (pending > 0) flush();
}

template <class Batch>
void Scorer::score_blocks(const ScanBlocks& blocks, const PointStore& points, Batch&& batch) const {
  constexpr std::size_t kBlocksPerBatch = kBatch / kBlockLanes;
  float norms[kBatch];
  float scores_out[kBatch];
  for (std::size_t first = 0; first < blocks.block_count(); first += kBlocksPerBatch) {
    const std::size_t count = std::min(kBlocksPerBatch, blocks.block_count() - first);
    const std::size_t begin = first * kBlockLanes;
    const std::size_t end = std::min(points.size(), begin + count * kBlockLanes);
    block_sums(blocks.block(first), blocks.block_floats(), count, scores_out);
    // Only cosine reads the points' sums of squares.
    if (metric_ == Metric::Cosine) {
      for (std::size_t slot = begin; slot < end; ++slot) norms[slot - begin] = points.view(slot).squared_norm;
    }
    finish_sums(scores_out, norms, end - begin);
    batch(begin, end, static_cast<const float*>(scores_out));
  }
}

}  // namespace quorbell
