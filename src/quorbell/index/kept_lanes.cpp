#include "index/kept_lanes.h"

#include <algorithm>
#include <cassert>
#include <cmath>

#include "core/distance.h"
#include "core/lane_sums.h"
#include "index/ranked_lists.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quorbell {

namespace {
// At most this many kept points are measured against one candidate through
// their own vectors: up to five, the lane sums take fewer instructions.
constexpr std::size_t kFewKept = 5;
}  // namespace

std::size_t KeptLanes::block_floats() const { return rows_ * kBlockLanes; }

// The distances are the graph's, as a cosine Scorer of the candidate
// computes them: FLOAT_MAX for a pair of other lengths or of a zero sum of
// squares, else 1 - sum / (root * root of the kept point). Quotients and
// differences are correctly rounded, so four at a time give the bits of
// one at a time; SSE2 is part of every x86-64 CPU.
bool KeptLanes::refuses(const ListCandidate& candidate, float root, const float* sums, std::size_t first,
                        std::size_t last) const {
  const std::size_t length = candidate.vector.length;
  const float limit = candidate.distance;
  if (length == 0 || candidate.vector.squared_norm == 0.0f) return first < last && !closer(limit, FLOAT_MAX);
  // A NaN distance from the owner is refused by every distance; any other
  // by a number no greater than it.
  if (std::isnan(limit)) return first < last;
  std::size_t j = first;
#if defined(__x86_64__)
  const __m128 ones = _mm_set1_ps(1.0f), none = _mm_set1_ps(FLOAT_MAX), roots = _mm_set1_ps(root);
  const __m128 limits = _mm_set1_ps(limit), zero = _mm_setzero_ps();
  const __m128i lengths = _mm_set1_epi32(static_cast<int>(length));
  for (; j + 4 <= last; j += 4) {
    const __m128 norms = _mm_loadu_ps(norms_.data() + j);
    const __m128 quotients =
        _mm_div_ps(_mm_loadu_ps(sums + j - first), _mm_mul_ps(roots, _mm_loadu_ps(roots_.data() + j)));
    const __m128i same_length =
        _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(lengths_.data() + j)), lengths);
    const __m128 measured = _mm_and_ps(_mm_castsi128_ps(same_length), _mm_cmpneq_ps(norms, zero));
    const __m128 distances =
        _mm_or_ps(_mm_and_ps(measured, _mm_sub_ps(ones, quotients)), _mm_andnot_ps(measured, none));
    if (_mm_movemask_ps(_mm_cmple_ps(distances, limits)) != 0) return true;
  }
#endif
  for (; j < last; ++j) {
    const bool measured = lengths_[j] == length && norms_[j] != 0.0f;
    const float distance = measured ? 1.0f - sums[j - first] / (root * roots_[j]) : FLOAT_MAX;
    if (!closer(limit, distance)) return true;
  }
  return false;
}

void KeptLanes::reset(std::size_t rows, std::size_t capacity) {
  rows_ = rows;
  count_ = 0;
  const std::size_t blocks = (capacity + kBlockLanes - 1) / kBlockLanes;
  // A row is read kBlockLanes wide from any lane: the last one reaches
  // into the spare row.
  const std::size_t floats = blocks * block_floats() + kBlockLanes;
  if (values_.size() < floats) values_.resize(floats);
  if (lengths_.size() < capacity) {
    vectors_.resize(capacity);
    lengths_.resize(capacity);
    norms_.resize(capacity);
    roots_.resize(capacity);
  }
}

void KeptLanes::add(const PointStore::VectorRef& vector) {
  assert(count_ < lengths_.size() && vector.length <= rows_);
  float* lane = values_.data() + count_ / kBlockLanes * block_floats() + count_ % kBlockLanes;
  // Rows past the point's length keep what they held: a candidate of
  // another length has no distance to it, whatever they hold.
#pragma GCC unroll 16
  for (std::size_t i = 0; i < vector.length; ++i) lane[i * kBlockLanes] = vector.data[i];
  vectors_[count_] = vector.data;
  lengths_[count_] = vector.length;
  norms_[count_] = vector.squared_norm;
  roots_[count_++] = std::sqrt(vector.squared_norm);
}

unsigned KeptLanes::refusals(std::span<const ListCandidate* const> candidates, std::size_t begin,
                             std::size_t end) const {
  if (candidates.empty() || begin >= end) return 0;
  assert(candidates.size() <= kRowQueries && end <= count_);
  const std::size_t length = candidates[0]->vector.length;
  const float* queries[kRowQueries];
  float roots[kRowQueries];
  for (std::size_t q = 0; q < candidates.size(); ++q) {
    assert(candidates[q]->vector.length == length);
    queries[q] = candidates[q]->vector.data;
    roots[q] = std::sqrt(candidates[q]->vector.squared_norm);
  }
  float sums[kRowQueries * kBlockLanes];
  // One candidate against a few points of its length: the lane sums over
  // the points' own vectors take fewer instructions than a pass over the
  // rows, whose every element costs a broadcast, a product and a sum.
  if (candidates.size() == 1 && end - begin <= kFewKept &&
      std::all_of(lengths_.begin() + begin, lengths_.begin() + end, [&](std::uint32_t n) { return n == length; })) {
    sum_products_lanes(queries[0], vectors_.data() + begin, end - begin, length, sums);
    return refuses(*candidates[0], roots[0], sums, begin, end) ? 1u : 0u;
  }
  const unsigned all = (1u << candidates.size()) - 1;
  unsigned refused = 0;
  for (std::size_t first = begin; first < end && refused != all;) {
    const std::size_t block = first / kBlockLanes;
    const std::size_t last = std::min(end, (block + 1) * kBlockLanes);
    sum_products_rows(queries, candidates.size(), length, values_.data() + block * block_floats() + first % kBlockLanes,
                      kBlockLanes, last - first, sums);
    for (std::size_t q = 0; q < candidates.size(); ++q) {
      if (refuses(*candidates[q], roots[q], sums + q * kBlockLanes, first, last)) refused |= 1u << q;
    }
    first = last;
  }
  return refused;
}

}  // namespace quorbell
