#include "core/distance.h"
#include "scoring_oracles.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <vector>

namespace quorbell {
namespace {

using Vec = std::vector<float>;

TEST(ParseMetric, AcceptsNamesInAnyCase) {
  EXPECT_EQ(parse_metric("cosine"), Metric::Cosine);
  EXPECT_EQ(parse_metric("COSINE"), Metric::Cosine);
  EXPECT_EQ(parse_metric("Dot"), Metric::DotProduct);
  EXPECT_EQ(parse_metric("dot_product"), Metric::DotProduct);
  EXPECT_EQ(parse_metric("L2"), Metric::Euclidean);
  EXPECT_EQ(parse_metric("euclidean"), Metric::Euclidean);
}

TEST(ParseMetric, RejectsEverythingElse) {
  for (const char* text : {"cos", " cosine", "cosine ", "manhattan", "", "dot-product"}) {
    EXPECT_FALSE(parse_metric(text).has_value()) << text;
  }
}

TEST(Scores, WorkedExamples) {
  const Vec q{1, 0};
  EXPECT_EQ(cosine_similarity(q, Vec{2, 0}).value(), 1.0f);
  EXPECT_EQ(cosine_similarity(q, Vec{0, 3}).value(), 0.0f);
  EXPECT_EQ(dot_product(q, Vec{2, 0}).value(), 2.0f);
  EXPECT_EQ(euclidean_distance(q, Vec{2, 0}).value(), 1.0f);
  EXPECT_EQ(euclidean_distance(q, Vec{0, 3}).value(), std::sqrt(10.0f));
  EXPECT_EQ(cosine_similarity(Vec{1, 2}, Vec{-1, -2}).value(), -1.0f);
}

TEST(Scores, UnclampedCosineRounding) {
  EXPECT_EQ(cosine_similarity(Vec{1, 1}, Vec{1, 1}).value(), 1.0000001f);
  EXPECT_EQ(cosine_similarity(Vec{1, 2, 3}, Vec{1, 2, 3}).value(), 0.99999994f);
}

TEST(Scores, EmptyVectorsSumToNegativeZero) {
  const Vec empty;
  const float dot = dot_product(empty, empty).value();
  const float l2 = euclidean_distance(empty, empty).value();
  EXPECT_TRUE(dot == 0.0f && std::signbit(dot));
  EXPECT_TRUE(l2 == 0.0f && std::signbit(l2));
  EXPECT_EQ(cosine_similarity(empty, empty).error().message, ZERO_MAGNITUDE);
}

TEST(Scores, FailureMessages) {
  EXPECT_EQ(dot_product(Vec{1}, Vec{1, 2}).error().message, DIMENSION_MISMATCH);
  EXPECT_EQ(euclidean_distance(Vec{1}, Vec{1, 2}).error().message, DIMENSION_MISMATCH);
  EXPECT_EQ(cosine_similarity(Vec{1}, Vec{1, 2}).error().message, DIMENSION_MISMATCH);
  EXPECT_EQ(cosine_similarity(Vec{0, 0}, Vec{1, 2}).error().message, ZERO_MAGNITUDE);
  // Squares that underflow to zero make a zero vector.
  EXPECT_EQ(cosine_similarity(Vec{1e-30f}, Vec{1}).error().message, ZERO_MAGNITUDE);
}

TEST(Scores, SumsRunInIndexOrder) {
  // 1e8 + 1 - 1e8 loses the 1 in single precision only in index order.
  const Vec a{1e8f, 1.0f, -1e8f};
  const Vec ones{1, 1, 1};
  EXPECT_EQ(dot_product(a, ones).value(), 0.0f);
  EXPECT_EQ(sum_products(a.data(), ones.data(), 3), (1e8f + 1.0f) + -1e8f);
}

TEST(Scores, CosineDistanceSentinel) {
  EXPECT_EQ(std::bit_cast<std::uint32_t>(cosine_distance(Vec{1}, Vec{1, 2})), 0x7F7FFFFFu);
  EXPECT_EQ(cosine_distance(Vec{0, 0}, Vec{1, 2}), FLOAT_MAX);
  EXPECT_EQ(cosine_distance(Vec{1, 0}, Vec{0, 3}), 1.0f);
}

TEST(HitOrder, NaNRanksNeitherWay) {
  EXPECT_FALSE(ranks_before(Metric::Cosine, NAN, 1.0f));
  EXPECT_FALSE(ranks_before(Metric::Cosine, 1.0f, NAN));
  EXPECT_TRUE(ranks_before(Metric::Euclidean, 1.0f, 2.0f));
  EXPECT_TRUE(ranks_before(Metric::DotProduct, 2.0f, 1.0f));
}

}  // namespace
}  // namespace quorbell
