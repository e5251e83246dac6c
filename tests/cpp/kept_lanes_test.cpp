#include "index/kept_lanes.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "core/distance.h"
#include "core/lane_sums.h"
#include "index/ranked_lists.h"
#include "scoring_oracles.h"

namespace quorbell {
namespace {

using Vec = std::vector<float>;

PointStore::VectorRef vector_ref(const Vec& v) {
  return {v.data(), static_cast<std::uint32_t>(v.size()), sum_squares(v.data(), v.size())};
}

class KeptLanesRefusals : public ::testing::TestWithParam<unsigned> {};

// Whichever way the candidates are measured (rows for several, or for many
// kept points; the kept points' own vectors for one and a few), a kept
// point refuses a candidate exactly when the graph's distance between them
// is no greater than the candidate's distance from the owner. Some kept
// points have another length, and some limits tie a kept point's distance.
TEST_P(KeptLanesRefusals, MatchTheGraphsDistances) {
  std::mt19937 rng(GetParam());
  std::normal_distribution<float> value;
  const auto random_vector = [&](std::size_t length) {
    Vec v(length);
    for (float& x : v) x = value(rng);
    return v;
  };
  const std::size_t length = 1 + rng() % 40, count = 1 + rng() % 20;
  std::vector<Vec> kept;
  for (std::size_t j = 0; j < count; ++j) kept.push_back(random_vector(rng() % 8 == 0 ? length + 1 : length));
  KeptLanes lanes;
  lanes.reset(length + 1, count);
  for (const Vec& v : kept) lanes.add(vector_ref(v));
  for (int trial = 0; trial < 40; ++trial) {
    const std::size_t begin = rng() % count, end = begin + 1 + rng() % (count - begin);
    std::vector<Vec> vectors;
    std::vector<ListCandidate> candidates;
    for (std::size_t q = 0, group = 1 + rng() % kRowQueries; q < group; ++q) {
      vectors.push_back(random_vector(length));
      const float tie = cosine_distance(vectors.back(), kept[begin + rng() % (end - begin)]);
      const float limit = rng() % 4 == 0 ? tie : std::uniform_real_distribution<float>(0.0f, 2.0f)(rng);
      candidates.push_back(ListCandidate{0, vector_ref(vectors.back()), limit});
    }
    std::vector<const ListCandidate*> group;
    for (const ListCandidate& c : candidates) group.push_back(&c);
    const unsigned refused = lanes.refusals(group, begin, end);
    for (std::size_t q = 0; q < group.size(); ++q) {
      bool expected = false;
      for (std::size_t j = begin; j < end; ++j) {
        expected = expected || !closer(candidates[q].distance, cosine_distance(vectors[q], kept[j]));
      }
      EXPECT_EQ((refused >> q & 1u) != 0, expected) << "trial " << trial << ", candidate " << q;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Seeds, KeptLanesRefusals, ::testing::Range(1u, 41u));

}  // namespace
}  // namespace quorbell
