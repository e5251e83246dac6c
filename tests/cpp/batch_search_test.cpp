#include "parallel/batch_search.h"

#include <gtest/gtest.h>

#include <random>
#include <stdexcept>
#include <vector>

namespace quorbell {
namespace {

using Vec = std::vector<float>;

ResultPairs pairs_of(const std::vector<SearchHit>& hits) {
  ResultPairs out;
  for (const SearchHit& hit : hits) out.emplace_back(hit.id, hit.score);
  return out;
}

std::vector<Vec> random_vectors(std::size_t count, std::size_t dimension, std::mt19937& random) {
  std::normal_distribution<float> normal;
  std::vector<Vec> vectors(count, Vec(dimension));
  for (Vec& vector : vectors) {
    for (float& x : vector) x = normal(random);
  }
  return vectors;
}

class RunBatch : public ::testing::TestWithParam<std::size_t> {};

// Each slot holds exactly what a single search gives for its query, in
// query order, on the exact path and on the graph path.
TEST_P(RunBatch, SlotsMatchSingleSearchesInOrder) {
  std::mt19937 random(7);
  for (std::size_t points : {50, 700}) {
    Segment segment;
    const auto vectors = random_vectors(points, 8, random);
    for (std::size_t i = 0; i < points; ++i) ASSERT_TRUE(segment.upsert(i, vectors[i], std::nullopt));
    auto queries = random_vectors(GetParam(), 8, random);
    if (!queries.empty()) queries.back().resize(3);  // another length: no hits, or fixed scores
    for (Metric metric : {Metric::Cosine, Metric::DotProduct, Metric::Euclidean}) {
      auto batch = run_batch(segment, queries, 5, metric, nullptr);
      ASSERT_TRUE(batch.ok());
      ASSERT_EQ(batch.value().size(), queries.size());
      for (std::size_t i = 0; i < queries.size(); ++i) {
        EXPECT_EQ(batch.value()[i], pairs_of(segment.search(queries[i], 5, metric, nullptr).value()))
            << points << " points, query " << i;
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BatchSizes, RunBatch, ::testing::Values(0, 1, 2, 7, 257));

TEST(RunBatchFaults, PoisonedSegmentFailsEveryBatchOthersStillWork) {
  Segment poisoned;
  Segment healthy;
  ASSERT_TRUE(poisoned.upsert(1, Vec{1, 0}, std::nullopt));
  ASSERT_TRUE(healthy.upsert(1, Vec{1, 0}, std::nullopt));
  EXPECT_THROW(
      { (void)poisoned.test_mutate([](PointStore&, HNSWIndex&) { throw std::runtime_error("boom"); }); },
      std::runtime_error);
  const std::vector<Vec> queries(64, Vec{1, 0});
  const std::string expected(poisoned.search(Vec{1, 0}, 1, Metric::Cosine, nullptr).error().message);
  for (int round = 0; round < 3; ++round) {
    for (std::size_t count : {1, 2, 64}) {
      auto batch = run_batch(poisoned, std::span(queries).first(count), 1, Metric::Cosine, nullptr);
      ASSERT_FALSE(batch.ok());
      EXPECT_EQ(batch.error().kind, ErrorKind::Fault);
      EXPECT_EQ(batch.error().message, expected);
    }
    auto fine = run_batch(healthy, queries, 1, Metric::Cosine, nullptr);
    ASSERT_TRUE(fine.ok());
    EXPECT_EQ(fine.value(), std::vector<ResultPairs>(64, ResultPairs{{1, 1.0f}}));
  }
}

}  // namespace
}  // namespace quorbell
