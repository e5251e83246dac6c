#include "core/distance.h"

#include <cmath>
#include <string>

namespace quorbell {

std::optional<Metric> parse_metric(std::string_view text) {
  // Only ASCII letters can lower-case into the accepted names (the two
  // non-ASCII letters whose lower case contains ASCII, KELVIN SIGN and
  // I WITH DOT ABOVE, cannot form one), so ASCII lower-casing accepts
  // exactly the names that full Unicode lower-casing would.
  std::string lowered(text);
  for (char& c : lowered) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (lowered == "dot_product" || lowered == "dot") return Metric::DotProduct;
  if (lowered == "cosine") return Metric::Cosine;
  if (lowered == "euclidean" || lowered == "l2") return Metric::Euclidean;
  return std::nullopt;
}

float sum_products(const float* a, const float* b, std::size_t n) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] * b[i];
  return sum;
}

float sum_squares(const float* a, std::size_t n) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < n; ++i) sum += a[i] * a[i];
  return sum;
}

float sum_squared_differences(const float* a, const float* b, std::size_t n) {
  float sum = -0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float d = a[i] - b[i];
    sum += d * d;
  }
  return sum;
}

namespace {
Error failure(std::string_view message) { return Error{ErrorKind::Fault, std::string(message)}; }
}  // namespace

Result<float> dot_product(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) return failure(DIMENSION_MISMATCH);
  return sum_products(a.data(), b.data(), a.size());
}

Result<float> euclidean_distance(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) return failure(DIMENSION_MISMATCH);
  return std::sqrt(sum_squared_differences(a.data(), b.data(), a.size()));
}

Result<float> cosine_similarity(std::span<const float> a, std::span<const float> b) {
  if (a.size() != b.size()) return failure(DIMENSION_MISMATCH);
  if (a.empty()) return failure(ZERO_MAGNITUDE);
  const float dot = sum_products(a.data(), b.data(), a.size());
  const float norm_a = sum_squares(a.data(), a.size());
  const float norm_b = sum_squares(b.data(), b.size());
  auto similarity = cosine_from_sums(dot, norm_a, norm_b);
  if (!similarity) return failure(ZERO_MAGNITUDE);
  return *similarity;
}

float cosine_distance(std::span<const float> query, std::span<const float> vector) {
  if (query.size() != vector.size() || query.empty()) return FLOAT_MAX;
  return cosine_distance_from_sums(sum_products(query.data(), vector.data(), query.size()),
                                   sum_squares(query.data(), query.size()),
                                   sum_squares(vector.data(), vector.size()));
}

}  // namespace quorbell
