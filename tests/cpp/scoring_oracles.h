// The metrics written plainly, one function per metric, as oracles for the
// tests: each returns the score or the failure message that a scoring
// failure would carry.
#pragma once

#include <cmath>
#include <span>
#include <string>
#include <string_view>

#include "core/distance.h"
#include "core/result.h"

namespace quorbell {

inline constexpr std::string_view DIMENSION_MISMATCH =
    "Dimension mismatch: Vector lengths must be structurally identical.";
inline constexpr std::string_view ZERO_MAGNITUDE =
    "Vector magnitude mathematically cannot be zero during cosine normalization steps.";

inline Error scoring_failure(std::string_view message) { return Error{ErrorKind::Fault, std::string(message)}; }

inline Result<float> dot_product(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) return scoring_failure(DIMENSION_MISMATCH);
  return sum_products(a.data(), b.data(), a.size());
}

inline Result<float> euclidean_distance(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) return scoring_failure(DIMENSION_MISMATCH);
  return std::sqrt(sum_squared_differences(a.data(), b.data(), a.size()));
}

inline Result<float> cosine_similarity(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) return scoring_failure(DIMENSION_MISMATCH);
  if (a.empty()) return scoring_failure(ZERO_MAGNITUDE);
  auto similarity = cosine_from_sums(sum_products(a.data(), b.data(), a.size()), sum_squares(a.data(), a.size()),
                                     sum_squares(b.data(), b.size()));
  if (!similarity) return scoring_failure(ZERO_MAGNITUDE);
  return *similarity;
}

// The graph's distance: 1 - cosine similarity, or FLOAT_MAX when the
// similarity fails.
inline float cosine_distance(std::span<const float> query, std::span<const float> vector) {
  auto similarity = cosine_similarity(query, vector);
  return similarity ? 1.0f - similarity.value() : FLOAT_MAX;
}

}  // namespace quorbell
