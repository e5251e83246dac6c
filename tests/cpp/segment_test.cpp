#include "storage/segment.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <vector>

namespace quorbell {
namespace {

using Vec = std::vector<float>;
using Pairs = std::vector<std::pair<std::uint64_t, float>>;

Pairs pairs_of(const std::vector<SearchHit>& hits) {
  Pairs out;
  for (const auto& h : hits) out.emplace_back(h.id, h.score);
  return out;
}

Pairs search(const Segment& segment, const Vec& query, std::uint64_t limit, Metric metric,
             const std::string* tenant = nullptr) {
  auto hits = segment.search(query, limit, metric, tenant);
  EXPECT_TRUE(hits.ok());
  return pairs_of(hits.value());
}

struct MetricCase {
  Metric metric;
  Pairs expected;
};

class ExactWorkedExample : public ::testing::TestWithParam<MetricCase> {};

TEST_P(ExactWorkedExample, NearerPointFirst) {
  Segment segment;
  ASSERT_TRUE(segment.upsert(1, Vec{0, 3}, std::nullopt));
  ASSERT_TRUE(segment.upsert(2, Vec{2, 0}, std::nullopt));
  ASSERT_TRUE(segment.upsert(3, Vec{1, 2, 3}, std::nullopt));  // other length: never a hit
  EXPECT_EQ(search(segment, Vec{1, 0}, 10, GetParam().metric), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Metrics, ExactWorkedExample,
                         ::testing::Values(MetricCase{Metric::Cosine, {{2, 1.0f}, {1, 0.0f}}},
                                           MetricCase{Metric::DotProduct, {{2, 2.0f}, {1, 0.0f}}},
                                           MetricCase{Metric::Euclidean, {{2, 1.0f}, {1, std::sqrt(10.0f)}}}));

TEST(ExactScan, ZeroVectorsUnderEachMetric) {
  Segment segment;
  ASSERT_TRUE(segment.upsert(1, Vec{0, 0}, std::nullopt));
  ASSERT_TRUE(segment.upsert(2, Vec{3, 4}, std::nullopt));
  EXPECT_EQ(search(segment, Vec{1, 0}, 5, Metric::Cosine), (Pairs{{2, 0.6f}}));
  EXPECT_EQ(search(segment, Vec{0, 0}, 5, Metric::Cosine), Pairs{});
  EXPECT_EQ(search(segment, Vec{1, 0}, 5, Metric::DotProduct), (Pairs{{2, 3.0f}, {1, 0.0f}}));
  EXPECT_EQ(search(segment, Vec{0, 0}, 5, Metric::Euclidean), (Pairs{{1, 0.0f}, {2, 5.0f}}));
}

TEST(ExactScan, TiesKeepStoreOrderAndLimitCuts) {
  Segment segment;
  for (std::uint64_t id : {40, 10, 30, 20}) ASSERT_TRUE(segment.upsert(id, Vec{1, 1}, std::nullopt));
  EXPECT_EQ(search(segment, Vec{2, 2}, 3, Metric::DotProduct), (Pairs{{40, 4.0f}, {10, 4.0f}, {30, 4.0f}}));
  EXPECT_EQ(search(segment, Vec{2, 2}, 0, Metric::DotProduct), Pairs{});
  EXPECT_EQ(search(segment, Vec{2, 2}, 100, Metric::DotProduct).size(), 4u);
}

TEST(ExactScan, NaNScoresDoNotBreakTheSort) {
  Segment segment;
  for (std::uint64_t id = 0; id < 64; ++id) {
    const float x = (id % 3 == 0) ? NAN : static_cast<float>(id);
    ASSERT_TRUE(segment.upsert(id, Vec{x, 1}, std::nullopt));
  }
  Pairs hits = search(segment, Vec{1, 1}, 64, Metric::DotProduct);
  ASSERT_EQ(hits.size(), 64u);
  // Numbers first, in descending order; then the NaNs in store order.
  EXPECT_EQ(hits.front(), (std::pair<std::uint64_t, float>{62, 63.0f}));
  EXPECT_TRUE(std::isnan(hits.back().second));
}

TEST(ExactScan, TenantFilter) {
  Segment segment;
  ASSERT_TRUE(segment.upsert(1, Vec{1, 0}, Payload::from_entries({{"tenant_id", payload_string("a")}})));
  ASSERT_TRUE(segment.upsert(2, Vec{1, 0}, Payload::from_entries({{"tenant_id", std::int64_t{7}}})));
  ASSERT_TRUE(segment.upsert(3, Vec{1, 0}, std::nullopt));
  const std::string a = "a", seven = "7";
  EXPECT_EQ(search(segment, Vec{1, 0}, 5, Metric::Cosine, &a), (Pairs{{1, 1.0f}}));
  EXPECT_EQ(search(segment, Vec{1, 0}, 5, Metric::Cosine, &seven), Pairs{});
}

TEST(Segment, FaultWhileWritingPoisonsOnlyThatSegment) {
  Segment poisoned, healthy;
  ASSERT_TRUE(healthy.upsert(1, Vec{1}, std::nullopt));
  EXPECT_THROW(
      { (void)poisoned.test_mutate([](PointStore&, HNSWIndex&) { throw std::runtime_error("boom"); }); },
      std::runtime_error);
  const Status upsert = poisoned.upsert(1, Vec{1}, std::nullopt);
  ASSERT_FALSE(upsert.ok());
  EXPECT_EQ(upsert.error().kind, ErrorKind::Fault);
  EXPECT_NE(upsert.error().message.view().find("poisoned"), std::string::npos);
  auto search_result = poisoned.search(Vec{1}, 1, Metric::Cosine, nullptr);
  ASSERT_FALSE(search_result.ok());
  EXPECT_EQ(search_result.error().kind, ErrorKind::Fault);
  // The lock stays poisoned: every later call fails the same way.
  EXPECT_FALSE(poisoned.search(Vec{1}, 1, Metric::Cosine, nullptr).ok());
  EXPECT_EQ(search(healthy, Vec{1}, 1, Metric::Cosine), (Pairs{{1, 1.0f}}));
}

}  // namespace
}  // namespace quorbell
