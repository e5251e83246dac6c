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
#include <string_view>

namespace quorbell {

enum class Metric { DotProduct, Cosine, Euclidean };

// Largest finite float: the distance of a pair that cannot be compared.
inline constexpr float FLOAT_MAX = 3.40282346638528859812e+38f;

// Accepts "dot_product", "dot", "cosine", "euclidean" and "l2" in any case.
std::optional<Metric> parse_metric(std::string_view text);

// Sequential sums over n elements.
float sum_products(const float* a, const float* b, std::size_t n);
float sum_squares(const float* a, std::size_t n);
float sum_squared_differences(const float* a, const float* b, std::size_t n);

// Cosine similarity from precomputed sums; nullopt when a sum of squares is
// zero.
inline std::optional<float> cosine_from_sums(float dot, float norm_a, float norm_b) {
  if (norm_a == 0.0f || norm_b == 0.0f) return std::nullopt;
  const float root_a = std::sqrt(norm_a);
  const float root_b = std::sqrt(norm_b);
  const float denominator = root_a * root_b;
  return dot / denominator;
}

// True when a score ranks strictly before b under the metric: higher first
// for DotProduct and Cosine, lower first for Euclidean. False both ways
// when either is NaN.
inline bool ranks_before(Metric metric, float a, float b) { return metric == Metric::Euclidean ? a < b : a > b; }

}  // namespace quorbell
