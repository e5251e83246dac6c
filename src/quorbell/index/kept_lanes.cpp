#include "index/kept_lanes.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "core/distance.h"
#include "core/lane_sums.h"
#include "index/ranked_lists.h"

namespace quorbell {

std::size_t KeptLanes::block_floats() const { return rows_ * kBlockLanes; }

void KeptLanes::reset(std::size_t rows, std::size_t capacity) {
  rows_ = rows;
  count_ = 0;
  const std::size_t blocks = (capacity + kBlockLanes - 1) / kBlockLanes;
  // A row is read kBlockLanes wide from any lane: the last one reaches
  // into the spare row.
  const std::size_t floats = blocks * block_floats() + kBlockLanes;
  if (values_.size() < floats) values_.resize(floats);
  if (lengths_.size() < capacity) {
    lengths_.resize(capacity);
    norms_.resize(capacity);
    roots_.resize(capacity);
  }
}

void KeptLanes::add(const PointView& point) {
  assert(count_ < lengths_.size() && point.vector.size() <= rows_);
  float* lane = values_.data() + count_ / kBlockLanes * block_floats() + count_ % kBlockLanes;
  // Rows past the point's length keep what they held: a candidate of
  // another length has no distance to it, whatever they hold.
  for (std::size_t i = 0; i < point.vector.size(); ++i) lane[i * kBlockLanes] = point.vector[i];
  lengths_[count_] = static_cast<std::uint32_t>(point.vector.size());
  norms_[count_] = point.squared_norm;
  roots_[count_++] = std::sqrt(point.squared_norm);
}

unsigned KeptLanes::refusals(std::span<const ListCandidate* const> candidates, std::size_t begin,
                             std::size_t end) const {
  if (candidates.empty() || begin >= end) return 0;
  assert(candidates.size() <= kRowQueries && end <= count_);
  const std::size_t length = candidates[0]->point.vector.size();
  const float* queries[kRowQueries];
  float roots[kRowQueries];
  for (std::size_t q = 0; q < candidates.size(); ++q) {
    assert(candidates[q]->point.vector.size() == length);
    queries[q] = candidates[q]->point.vector.data();
    roots[q] = std::sqrt(candidates[q]->point.squared_norm);
  }
  const unsigned all = (1u << candidates.size()) - 1;
  unsigned refused = 0;
  float sums[kRowQueries * kBlockLanes];
  for (std::size_t first = begin; first < end && refused != all;) {
    const std::size_t block = first / kBlockLanes;
    const std::size_t last = std::min(end, (block + 1) * kBlockLanes);
    sum_products_rows(queries, candidates.size(), length, values_.data() + block * block_floats() + first % kBlockLanes,
                      kBlockLanes, last - first, sums);
    for (std::size_t q = 0; q < candidates.size(); ++q) {
      const ListCandidate& candidate = *candidates[q];
      for (std::size_t j = first; j < last; ++j) {
        // The graph's distance between the two points, as a cosine Scorer
        // of the candidate computes it.
        const bool comparable = length != 0 && lengths_[j] == length;
        const float distance = !comparable || candidate.point.squared_norm == 0.0f || norms_[j] == 0.0f
                                   ? FLOAT_MAX
                                   : 1.0f - sums[q * kBlockLanes + j - first] / (roots[q] * roots_[j]);
        if (!closer(candidate.distance, distance)) {
          refused |= 1u << q;
          break;
        }
      }
    }
    first = last;
  }
  return refused;
}

}  // namespace quorbell
