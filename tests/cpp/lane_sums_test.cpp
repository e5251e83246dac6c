#include "core/lane_sums.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/distance.h"

namespace quorbell {
namespace {

// Equal bit for bit; any two NaNs count as equal (their payloads depend on
// operand order, which the compiler may swap).
bool same_bits(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

struct Shape {
  std::size_t count;
  std::size_t length;
};

class LaneSums : public ::testing::TestWithParam<Shape> {};

// Values spanning many magnitudes and both signs, so that any change in
// the order of additions changes the sums.
std::vector<float> wild_values(std::mt19937& rng, std::size_t n) {
  std::uniform_real_distribution<float> mantissa(-1.0f, 1.0f);
  std::uniform_int_distribution<int> exponent(-20, 20);
  std::vector<float> v(n);
  for (float& x : v) x = std::ldexp(mantissa(rng), exponent(rng));
  return v;
}

TEST_P(LaneSums, EveryKernelMatchesTheSequentialSums) {
  const auto [count, length] = GetParam();
  std::mt19937 rng(static_cast<unsigned>(count * 1000 + length));
  const std::vector<float> query = wild_values(rng, length);
  std::vector<std::vector<float>> vectors;
  std::vector<const float*> pointers;
  for (std::size_t k = 0; k < count; ++k) vectors.push_back(wild_values(rng, length));
  if (length > 2 && count > 1) {
    vectors[1][length / 2] = NAN;
    vectors[count - 1][0] = INFINITY;
  }
  for (const auto& v : vectors) pointers.push_back(v.data());

  for (const LaneKernels& kernels : supported_lane_kernels()) {
    std::vector<float> products(count, 1.0f), differences(count, 1.0f);
    kernels.products(query.data(), pointers.data(), count, length, products.data());
    kernels.squared_differences(query.data(), pointers.data(), count, length, differences.data());
    for (std::size_t k = 0; k < count; ++k) {
      EXPECT_TRUE(same_bits(products[k], sum_products(query.data(), pointers[k], length)))
          << kernels.name << " vector " << k;
      EXPECT_TRUE(same_bits(differences[k], sum_squared_differences(query.data(), pointers[k], length)))
          << kernels.name << " vector " << k;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LaneSums,
                         ::testing::Values(Shape{0, 8}, Shape{1, 0}, Shape{5, 0}, Shape{1, 9}, Shape{2, 3},
                                           Shape{3, 4}, Shape{4, 8}, Shape{5, 5}, Shape{7, 16}, Shape{8, 17},
                                           Shape{9, 31}, Shape{15, 7}, Shape{16, 128}, Shape{17, 133},
                                           Shape{33, 64}, Shape{70, 20}),
                         [](const auto& info) {
                           return std::to_string(info.param.count) + "x" + std::to_string(info.param.length);
                         });

TEST(LaneSums, EmptySumsAreNegativeZero) {
  const float query[1] = {0};
  const float* vectors[3] = {query, query, query};
  for (const LaneKernels& kernels : supported_lane_kernels()) {
    float out[3] = {1, 1, 1};
    kernels.products(query, vectors, 3, 0, out);
    for (float x : out) EXPECT_TRUE(x == 0.0f && std::signbit(x)) << kernels.name;
  }
}

TEST(LaneSums, BaselineIsAlwaysThere) {
  const auto kernels = supported_lane_kernels();
  ASSERT_GE(kernels.size(), 1u);
  EXPECT_EQ(std::string(kernels.front().name), "sequential");
}

}  // namespace
}  // namespace quorbell
