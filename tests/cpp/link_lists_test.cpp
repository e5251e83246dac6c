#include "index/link_lists.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "index/visited_set.h"

namespace quorbell {
namespace {

std::vector<std::uint32_t> as_vector(std::span<const std::uint32_t> s) { return {s.begin(), s.end()}; }

TEST(LinkLists, GrowAssignAndCompactKeepEveryList) {
  std::mt19937 rng(9);
  LinkLists lists;
  std::vector<std::vector<std::uint32_t>> model(3000);
  lists.resize(model.size());
  // Enough growth and reassignment to relocate lists and compact the pool
  // several times.
  for (int step = 0; step < 60000; ++step) {
    const std::size_t index = rng() % model.size();
    if (rng() % 50 == 0) {
      std::vector<std::uint32_t> values(rng() % 40);
      for (auto& v : values) v = rng();
      lists.assign(index, values);
      model[index] = values;
    } else {
      model[index].push_back(rng());
      lists.assign(index, model[index]);
    }
    lists.compact_if_wasteful();
  }
  for (std::size_t index = 0; index < model.size(); ++index) {
    ASSERT_EQ(as_vector(lists.list(index)), model[index]) << index;
  }
  lists.resize(model.size() + 2);
  EXPECT_TRUE(lists.list(model.size() + 1).empty());
}

TEST(VisitedSet, MarksOncePerQueryAcrossEpochWraps) {
  VisitedSet visited;
  // More queries than the 16-bit epoch counts, each marking some slots.
  for (int query = 0; query < 70000; ++query) {
    visited.begin_query(64 + query % 3);
    const auto slot = static_cast<std::uint32_t>(query % 64);
    ASSERT_FALSE(visited.test_and_mark(slot)) << query;
    ASSERT_TRUE(visited.test_and_mark(slot)) << query;
    ASSERT_FALSE(visited.test_and_mark((slot + 1) % 64)) << query;
  }
  visited.begin_query(1000000);
  EXPECT_FALSE(visited.test_and_mark(999999));
  visited.begin_query(10);  // shrinks, and starts clean
  EXPECT_FALSE(visited.test_and_mark(9));
}

}  // namespace
}  // namespace quorbell
