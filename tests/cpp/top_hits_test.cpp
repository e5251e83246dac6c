#include "index/top_hits.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <random>
#include <vector>

#include "core/search_hit.h"

namespace quorbell {
namespace {

struct Offered {
  std::uint32_t slot;
  float score;
};

class TopHitsModel : public ::testing::TestWithParam<Metric> {};

// Scores from a few values, so that most of them tie (-0.0 with 0.0, and
// NaNs among them), against the literal rule: sort all stably, keep the
// first `limit`.
TEST_P(TopHitsModel, KeepsWhatAStableSortCutToTheLimitKeeps) {
  const Metric metric = GetParam();
  const float values[] = {-1.0f, -0.0f, 0.0f, 1.0f, 2.0f, NAN, INFINITY, -INFINITY};
  std::mt19937 rng(static_cast<unsigned>(metric));
  for (int round = 0; round < 200; ++round) {
    std::vector<Offered> offered(rng() % 40);
    for (std::uint32_t k = 0; k < offered.size(); ++k) offered[k] = Offered{k * 3 + 1, values[rng() % 8]};
    const std::uint64_t limit = rng() % (offered.size() + 2);

    std::vector<Offered> expected = offered;
    sort_by_metric(expected, metric, [](const Offered& o) { return o.score; });
    expected.resize(std::min<std::size_t>(limit, expected.size()));
    TopHits top(metric, limit, offered.size());
    for (const Offered& o : offered) top.offer(o.slot, o.score);
    const auto& kept = top.sorted();

    ASSERT_EQ(kept.size(), expected.size()) << round;
    for (std::size_t k = 0; k < kept.size(); ++k) {
      EXPECT_EQ(kept[k].slot, expected[k].slot) << round << " at " << k;
      EXPECT_EQ(std::bit_cast<std::uint32_t>(kept[k].score), std::bit_cast<std::uint32_t>(expected[k].score));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Metrics, TopHitsModel,
                         ::testing::Values(Metric::DotProduct, Metric::Cosine, Metric::Euclidean));

}  // namespace
}  // namespace quorbell
