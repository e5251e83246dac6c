#include "core/lane_sums.h"

#include <gtest/gtest.h>

#include <algorithm>
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

  // The same vectors in lane order, with a spare row per block so that a
  // block is longer than the sums read.
  const std::size_t blocks = (count + kBlockLanes - 1) / kBlockLanes;
  const std::size_t block_floats = (length + 1) * kBlockLanes;
  std::vector<float> rows(blocks * block_floats, 0.0f);
  for (std::size_t k = 0; k < count; ++k) {
    for (std::size_t i = 0; i < length; ++i) {
      rows[k / kBlockLanes * block_floats + i * kBlockLanes + k % kBlockLanes] = vectors[k][i];
    }
  }

  for (const LaneKernels& kernels : supported_lane_kernels()) {
    const std::size_t padded = blocks * kBlockLanes;
    std::vector<float> products(padded, 1.0f), differences(padded, 1.0f);
    std::vector<float> block_products(padded, 1.0f), block_differences(padded, 1.0f);
    kernels.products(query.data(), pointers.data(), count, length, products.data());
    kernels.squared_differences(query.data(), pointers.data(), count, length, differences.data());
    kernels.block_products(query.data(), length, rows.data(), block_floats, blocks, block_products.data());
    kernels.block_squared_differences(query.data(), length, rows.data(), block_floats, blocks,
                                      block_differences.data());
    for (std::size_t k = 0; k < count; ++k) {
      const float product = sum_products(query.data(), pointers[k], length);
      const float difference = sum_squared_differences(query.data(), pointers[k], length);
      EXPECT_TRUE(same_bits(products[k], product)) << kernels.name << " vector " << k;
      EXPECT_TRUE(same_bits(differences[k], difference)) << kernels.name << " vector " << k;
      EXPECT_TRUE(same_bits(block_products[k], product)) << kernels.name << " blocks, vector " << k;
      EXPECT_TRUE(same_bits(block_differences[k], difference)) << kernels.name << " blocks, vector " << k;
    }
    // Up to kRowQueries queries (the query, then the vectors themselves) against
    // each block's lanes, from its first lane and from its second.
    std::vector<const float*> queries{query.data()};
    for (std::size_t k = 0; k < count && queries.size() < kRowQueries; ++k) queries.push_back(pointers[k]);
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t lane = k % kBlockLanes;
      const std::size_t lanes = std::min(kBlockLanes, count - (k - lane));
      for (const std::size_t first : {std::size_t{0}, std::size_t{1}}) {
        if (lane < first) continue;
        std::vector<float> rows_out(kRowQueries * kBlockLanes, 1.0f);
        kernels.row_products(queries.data(), queries.size(), length,
                             rows.data() + k / kBlockLanes * block_floats + first, kBlockLanes, lanes - first,
                             rows_out.data());
        for (std::size_t q = 0; q < queries.size(); ++q) {
          EXPECT_TRUE(
              same_bits(rows_out[q * kBlockLanes + lane - first], sum_products(queries[q], pointers[k], length)))
              << kernels.name << " rows from lane " << first << ", query " << q << ", vector " << k;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, LaneSums,
                         ::testing::Values(Shape{0, 8}, Shape{1, 0}, Shape{5, 0}, Shape{1, 9}, Shape{2, 3},
                                           Shape{2, 40}, Shape{5, 71}, Shape{13, 24}, Shape{3, 4}, Shape{3, 133},
                                           Shape{4, 8}, Shape{5, 5}, Shape{7, 16}, Shape{8, 17}, Shape{9, 31},
                                           Shape{11, 10}, Shape{15, 7}, Shape{16, 128}, Shape{17, 133}, Shape{20, 33},
                                           Shape{24, 6}, Shape{32, 3}, Shape{33, 64}, Shape{41, 13}, Shape{57, 2},
                                           Shape{70, 20}, Shape{120, 9}),
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
