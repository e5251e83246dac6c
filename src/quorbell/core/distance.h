// The three metrics and their scoring functions.
//
// Every sum is accumulated in single precision, one element at a time in
// index order, starting from -0.0. That order is part of the results'
// contract (scores must be bit-identical), so a single sum is never split
// across vector lanes; speed comes from running several sums side by side.
#pragma once

#include <cmath>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

#include "core/result.h"

namespace quorbell {

enum class Metric { DotProduct, Cosine, Euclidean };

inline constexpr std::string_view DIMENSION_MISMATCH =
    "Dimension mismatch: Vector lengths must be structurally identical.";
inline constexpr std::string_view ZERO_MAGNITUDE =
    "Vector magnitude mathematically cannot be zero during cosine normalization steps.";

// Largest finite float: the distance of a pair that cannot be compared.
inline constexpr float FLOAT_MAX = 3.40282346638528859812e+38f;

// Accepts "dot_product", "dot", "cosine", "euclidean" and "l2" in any case.
std::optional<Metric> parse_metric(std::string_view text);

// Sequential sums over n elements.
float sum_products(const float* a, const float* b, std::size_t n);
float sum_squares(const float* a, std::size_t n);
float sum_squared_differences(const float* a, const float* b, std::size_t n);

Result<float> dot_product(std::span<const float> a, std::span<const float> b);
Result<float> euclidean_distance(std::span<const float> a, std::span<const float> b);
Result<float> cosine_similarity(std::span<const float> a, std::span<const float> b);

// Cosine similarity from precomputed sums; nullopt when a sum of squares is
// zero. Shared by cosine_similarity and the graph's distance.
inline std::optional<float> cosine_from_sums(float dot, float norm_a, float norm_b) {
  if (norm_a == 0.0f || norm_b == 0.0f) return std::nullopt;
  const float root_a = std::sqrt(norm_a);
  const float root_b = std::sqrt(norm_b);
  const float denominator = root_a * root_b;
  return dot / denominator;
}

// 1 - cosine similarity from precomputed sums, or FLOAT_MAX when the
// similarity fails.
inline float cosine_distance_from_sums(float dot, float norm_query, float norm_vector) {
  auto similarity = cosine_from_sums(dot, norm_query, norm_vector);
  return similarity ? 1.0f - *similarity : FLOAT_MAX;
}

// 1 - cosine similarity, or FLOAT_MAX when the similarity fails.
float cosine_distance(std::span<const float> query, std::span<const float> vector);

// True when a score ranks strictly before b under the metric: higher first
// for DotProduct and Cosine, lower first for Euclidean. False both ways
// when either is NaN.
inline bool ranks_before(Metric metric, float a, float b) {
  return metric == Metric::Euclidean ? a < b : a > b;
}

}  // namespace quorbell
