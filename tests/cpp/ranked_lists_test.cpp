#include "index/ranked_lists.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "core/distance.h"

namespace quorbell {
namespace {

// The lists as plain arrays kept in order by stable sorting (numbers
// ascending, NaNs after them), the literal form the lists stand for.
void stable_sort_pairs(std::vector<RankedSlot>& list) {
  auto numbers_end =
      std::stable_partition(list.begin(), list.end(), [](const RankedSlot& p) { return !std::isnan(p.distance); });
  std::stable_sort(list.begin(), numbers_end,
                   [](const RankedSlot& a, const RankedSlot& b) { return a.distance < b.distance; });
}

// The greatest distance, NaN if there is one.
float greatest(const std::vector<RankedSlot>& list) {
  if (list.empty()) return FLOAT_MAX;
  float worst = list[0].distance;
  for (const RankedSlot& pair : list) worst = closer(worst, pair.distance) ? pair.distance : worst;
  return worst;
}

// -0.0 and 0.0 are equal in the order; either may be the worst.
bool same(float a, float b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

class RankedListsModel : public ::testing::TestWithParam<unsigned> {};

// Random admissions with many ties and some NaNs, checked step by step
// against the literal lists.
TEST_P(RankedListsModel, BehaveLikeStablySortedLists) {
  std::mt19937 rng(GetParam());
  const float values[] = {0.5f, 0.25f, 0.25f, 1.0f, 0.0f, -0.0f, NAN, FLOAT_MAX, 0.75f, -INFINITY, INFINITY};
  const std::size_t bound = 1 + rng() % 6;
  CandidateQueue candidates;
  ResultList results;
  std::vector<RankedSlot> candidate_model, result_model;
  std::uint32_t sequence = 0;
  for (int step = 0; step < 400; ++step) {
    ASSERT_TRUE(same(results.worst(), greatest(result_model))) << step;
    ASSERT_EQ(results.size(), result_model.size());
    if (rng() % 3 == 0 && !candidate_model.empty()) {
      stable_sort_pairs(candidate_model);
      const RankedSlot expected = candidate_model.front();
      candidate_model.erase(candidate_model.begin());
      const RankedSlot got = candidates.pop_first();
      ASSERT_EQ(got.sequence(), expected.sequence()) << step;
      continue;
    }
    const RankedSlot pair = ranked_slot(values[rng() % std::size(values)], sequence, sequence);
    ++sequence;
    candidates.push(pair);
    candidate_model.push_back(pair);
    results.append_bounded(pair, bound);
    result_model.push_back(pair);
    if (result_model.size() > bound) {
      stable_sort_pairs(result_model);
      result_model.pop_back();
    }
  }
  const auto sorted = results.sorted();
  stable_sort_pairs(result_model);
  ASSERT_EQ(sorted.size(), result_model.size());
  for (std::size_t k = 0; k < sorted.size(); ++k) EXPECT_EQ(sorted[k].sequence(), result_model[k].sequence());
}

INSTANTIATE_TEST_SUITE_P(Seeds, RankedListsModel, ::testing::Range(1u, 41u));

TEST(ResultList, WorstIsNaNWhileItHoldsOne) {
  ResultList list;
  EXPECT_EQ(list.worst(), FLOAT_MAX);
  list.append(ranked_slot(0.5f, 0, 0));
  list.append(ranked_slot(0.3f, 1, 1));
  EXPECT_EQ(list.worst(), 0.5f);
  list.append(ranked_slot(NAN, 2, 2));
  list.append(ranked_slot(0.2f, 3, 3));
  EXPECT_TRUE(std::isnan(list.worst()));
  // Trimming drops the NaN first.
  list.remove_last();
  EXPECT_EQ(list.worst(), 0.5f);
}

TEST(CloserThan, AgreesWithCloserOnEveryPair) {
  const float values[] = {NAN, -INFINITY, -1.0f, -0.0f, 0.0f, 0.25f, FLOAT_MAX, INFINITY};
  for (const float b : values) {
    const CloserThan beats(b);
    for (const float a : values) EXPECT_EQ(beats(a), closer(a, b)) << a << " against " << b;
  }
}

}  // namespace
}  // namespace quorbell
