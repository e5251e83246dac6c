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

}  // namespace quorbell
