#include "index/scorer.h"

#include <algorithm>
#include <cmath>

#include "core/lane_sums.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace quorbell {

namespace {

// Square roots, products and quotients are correctly rounded wherever they
// are computed, so four at a time give the bits of one at a time. SSE2 is
// part of every x86-64 CPU: no run-time check is needed.

// values[k] = sqrt(values[k]), for k < count.
void square_roots(float* values, std::size_t count) {
  std::size_t k = 0;
#if defined(__x86_64__)
  for (; k + 4 <= count; k += 4) _mm_storeu_ps(values + k, _mm_sqrt_ps(_mm_loadu_ps(values + k)));
#endif
  for (; k < count; ++k) values[k] = std::sqrt(values[k]);
}

// dots[k] = dots[k] / (query_root * sqrt(norms[k])), for k < count: the
// steps of cosine_from_sums after its zero test.
void cosines(float* dots, float query_root, const float* norms, std::size_t count) {
  std::size_t k = 0;
#if defined(__x86_64__)
  const __m128 roots_a = _mm_set1_ps(query_root);
  for (; k + 4 <= count; k += 4) {
    const __m128 denominators = _mm_mul_ps(roots_a, _mm_sqrt_ps(_mm_loadu_ps(norms + k)));
    _mm_storeu_ps(dots + k, _mm_div_ps(_mm_loadu_ps(dots + k), denominators));
  }
#endif
  for (; k < count; ++k) dots[k] = dots[k] / (query_root * std::sqrt(norms[k]));
}

// sums[k] = 1 - sums[k] / (query_root * sqrt(norms[k])), the graph distance
// from a sum of products, or FLOAT_MAX where either sum of squares is zero:
// the steps of cosines and of the distance after it, in one pass.
void cosine_distances_from_sums(float* sums, float query_norm, float query_root, const float* norms,
                                std::size_t count) {
  std::size_t k = 0;
  if (query_norm == 0.0f) {
    std::fill_n(sums, count, FLOAT_MAX);
    return;
  }
#if defined(__x86_64__)
  const __m128 roots_a = _mm_set1_ps(query_root), ones = _mm_set1_ps(1.0f), none = _mm_set1_ps(FLOAT_MAX);
  for (; k + 4 <= count; k += 4) {
    const __m128 norms_b = _mm_loadu_ps(norms + k);
    const __m128 denominators = _mm_mul_ps(roots_a, _mm_sqrt_ps(norms_b));
    const __m128 distances = _mm_sub_ps(ones, _mm_div_ps(_mm_loadu_ps(sums + k), denominators));
    const __m128 zero = _mm_cmpeq_ps(norms_b, _mm_setzero_ps());
    _mm_storeu_ps(sums + k, _mm_or_ps(_mm_and_ps(zero, none), _mm_andnot_ps(zero, distances)));
  }
#endif
  for (; k < count; ++k) {
    sums[k] = norms[k] == 0.0f ? FLOAT_MAX : 1.0f - sums[k] / (query_root * std::sqrt(norms[k]));
  }
}

}  // namespace

void Scorer::scores(const float* const* vectors, const float* norms, std::size_t count, float* out) const {
  if (metric_ == Metric::Euclidean) {
    sum_squared_differences_lanes(query_.data(), vectors, count, query_.size(), out);
  } else {
    sum_products_lanes(query_.data(), vectors, count, query_.size(), out);
  }
  finish_sums(out, norms, count);
}

void Scorer::cosine_distances(const float* const* vectors, const std::uint32_t* lengths, const float* norms,
                              std::size_t count, float* out) const {
  const bool all_comparable =
      !query_.empty() && std::all_of(lengths, lengths + count, [&](std::uint32_t n) { return n == query_.size(); });
  const auto distances = [&](const float* const* comparable, const float* their_norms, std::size_t n, float* into) {
    sum_products_lanes(query_.data(), comparable, n, query_.size(), into);
    cosine_distances_from_sums(into, query_norm_, query_root_, their_norms, n);
  };
  if (all_comparable) {
    distances(vectors, norms, count, out);
    return;
  }
  // Another length somewhere: the comparable ones are summed apart.
  const float* packed[kBatch];
  float packed_norms[kBatch], sums[kBatch];
  std::size_t positions[kBatch];
  for (std::size_t begin = 0; begin < count; begin += kBatch) {
    const std::size_t end = std::min(count, begin + kBatch);
    std::size_t pending = 0;
    for (std::size_t k = begin; k < end; ++k) {
      out[k] = FLOAT_MAX;
      if (query_.empty() || lengths[k] != query_.size()) continue;
      packed[pending] = vectors[k];
      packed_norms[pending] = norms[k];
      positions[pending++] = k;
    }
    distances(packed, packed_norms, pending, sums);
    for (std::size_t j = 0; j < pending; ++j) out[positions[j]] = sums[j];
  }
}

void Scorer::block_sums(const float* blocks, std::size_t block_floats, std::size_t count, float* out) const {
  if (metric_ == Metric::Euclidean) {
    sum_squared_differences_blocks(query_.data(), query_.size(), blocks, block_floats, count, out);
  } else {
    sum_products_blocks(query_.data(), query_.size(), blocks, block_floats, count, out);
  }
}

void Scorer::finish_sums(float* out, const float* norms, std::size_t count) const {
  switch (metric_) {
    case Metric::DotProduct:
      return;
    case Metric::Euclidean:
      square_roots(out, count);
      return;
    case Metric::Cosine:
      cosines(out, query_root_, norms, count);
      return;
  }
}

}  // namespace quorbell
