#include "index/hnsw.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/distance.h"
#include "equality.h"
#include "index/scorer.h"
#include "index/search.h"
#include "scoring_oracles.h"

namespace quorbell {
namespace {

using Vec = std::vector<float>;
using Ids = std::vector<std::uint64_t>;
constexpr std::uint64_t kMaxId = std::numeric_limits<std::uint64_t>::max();

// ---------------------------------------------------------------- level draw

struct LevelCase {
  const char* name;
  std::uint64_t r;
  std::uint64_t m;
  std::uint64_t level;
};

class LevelDraw : public ::testing::TestWithParam<LevelCase> {};

TEST_P(LevelDraw, FollowsTheFormula) { EXPECT_EQ(level_from_random(GetParam().r, GetParam().m), GetParam().level); }

// u is (r >> 11) * 2^-53: r = 2^(64 - k) gives u = 2^-k.
constexpr std::uint64_t u_power(int k) { return std::uint64_t{1} << (64 - k); }

INSTANTIATE_TEST_SUITE_P(Cases, LevelDraw,
                         ::testing::Values(LevelCase{"u_zero_gives_15", 0, 16, 15},
                                           LevelCase{"low_bits_ignored", 2047, 16, 15},
                                           LevelCase{"u_zero_with_m0", 0, 0, 15}, LevelCase{"u_zero_with_m1", 0, 1, 15},
                                           LevelCase{"half", u_power(1), 16, 0},             // x = 0.25
                                           LevelCase{"two_and_a_half", u_power(10), 16, 2},  // x = 2.5
                                           LevelCase{"smallest_u", u_power(53), 16, 13},     // x = 13.25
                                           LevelCase{"largest_u", kMaxId, 16, 0},            // x just above 0
                                           LevelCase{"m3", u_power(10), 3, 6},               // x = 6.309
                                           LevelCase{"m2_capped", u_power(53), 2, 15},       // x = 53
                                           LevelCase{"m1_always_top", kMaxId, 1, 15},        // x = +inf
                                           LevelCase{"m1_small_u", u_power(1), 1, 15},       //
                                           LevelCase{"m0_always_zero", u_power(53), 0, 0},   // x = -0
                                           LevelCase{"m_huge", u_power(53), kMaxId, 0}),     // x = 0.83
                         [](const auto& info) { return std::string(info.param.name); });

TEST(LevelDraw, ReadsMEachTime) {
  HNSWIndex index;
  index.m = 1;
  for (int i = 0; i < 50; ++i) EXPECT_EQ(index.random_level(), 15u);
  index.m = 0;
  for (int i = 0; i < 50; ++i) EXPECT_EQ(index.random_level(), 0u);
  index.m = 16;
  int above_zero = 0;
  for (int i = 0; i < 4000; ++i) above_zero += index.random_level() > 0;
  // One draw in 16 reaches layer 1: about 250 of 4000.
  EXPECT_GT(above_zero, 150);
  EXPECT_LT(above_zero, 380);
}

// ------------------------------------------------------- graph built by hand

class Graph : public ::testing::Test {
 protected:
  void point(std::uint64_t id, const Vec& vector, const char* tenant = nullptr) {
    std::optional<Payload> payload;
    if (tenant != nullptr) payload = Payload::from_entries({{"tenant_id", payload_string(tenant)}});
    points.upsert(id, vector, std::move(payload));
  }
  // A node under key whose id equals the key, with its lists from layer 0 up.
  void node(std::uint64_t key, std::vector<Ids> layers) {
    HNSWNode n;
    n.id = key;
    for (std::size_t layer = 0; layer < layers.size(); ++layer) n.neighbors[layer] = layers[layer];
    index.test_put_node(key, n, points);
  }
  // The base-layer search examines no id above the largest node key; a
  // linkless node with a high key lifts that bound over every test id.
  void lift_examined_bound() { node(1000, {}); }
  Ids list(std::uint64_t key, std::size_t layer) const { return index.test_node(key)->neighbors[layer]; }
  // Point upsert followed by graph insert, as the segment does.
  void upsert(std::uint64_t id, const Vec& vector) {
    point(id, vector);
    index.insert(id, *points.slot_of(id), points);
  }
  Ids knn_ids(const Vec& query, const std::string* tenant = nullptr) const {
    Ids ids;
    for (const Candidate& c : index.search_knn(query, points, tenant)) ids.push_back(c.id);
    return ids;
  }

  PointStore points;
  HNSWIndex index;
};

// Query [1, 0] throughout; these lie at increasing cosine distance from it.
const Vec kSame{1, 0}, kNear{4, 1}, kNearMirror{4, -1}, kMid{1, 1}, kMidMirror{1, -1}, kFar{0, 1}, kOpposite{-1, 0};
const Vec kQuery{1, 0};

TEST_F(Graph, NewIndexDefaults) {
  EXPECT_EQ(index.m, 16u);
  EXPECT_EQ(index.ef_construction, 64u);
  EXPECT_EQ(index.ef_search, 32u);
  EXPECT_FALSE(index.entry_point.has_value());
  EXPECT_EQ(index.max_level, 0u);
  EXPECT_EQ(index.node_count(), 0u);
}

TEST_F(Graph, FirstInsertBecomesEntryWithEmptyLists) {
  upsert(7, kMid);
  EXPECT_EQ(index.entry_point, 7u);
  EXPECT_LE(index.max_level, 15u);
  EXPECT_EQ(index.test_node(7), (HNSWNode{7, {}}));
}

TEST_F(Graph, SecondNodeNotAboveFirstLinksBothWaysOnEveryLayer) {
  index.m = 1;  // every draw is 15
  upsert(1, kNear);
  upsert(2, kMid);
  EXPECT_EQ(index.entry_point, 1u);
  EXPECT_EQ(index.max_level, 15u);
  for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
    EXPECT_EQ(list(1, layer), Ids{2}) << layer;
    EXPECT_EQ(list(2, layer), Ids{1}) << layer;
  }
}

TEST_F(Graph, NodeDrawnAboveMaxLevelBecomesEntry) {
  index.m = 0;  // level 0, lists of at most one
  upsert(1, kNear);
  EXPECT_EQ(index.max_level, 0u);
  upsert(2, kMid);
  EXPECT_EQ(list(1, 0), Ids{2});
  EXPECT_EQ(list(2, 0), Ids{1});
  index.m = 1;  // level 15
  upsert(3, kFar);
  EXPECT_EQ(index.entry_point, 3u);
  EXPECT_EQ(index.max_level, 15u);
  // Linked on layer 0 only, to the nearer of the two, which has room for
  // the back link.
  const HNSWNode three = *index.test_node(3);
  EXPECT_EQ(three.neighbors[0], Ids{2});
  for (std::size_t layer = 1; layer < MAX_LAYERS; ++layer) EXPECT_TRUE(three.neighbors[layer].empty());
  EXPECT_EQ(list(1, 0), Ids{2});
  EXPECT_EQ(list(2, 0), (Ids{1, 3}));
}

// A re-insert keeps the node; an unchanged vector here selects the same
// lists again.
TEST_F(Graph, ReinsertKeepsListsAndNeverLinksToItself) {
  index.m = 1;
  upsert(1, kNear);
  upsert(2, kMid);
  upsert(1, kNear);
  for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
    EXPECT_EQ(list(1, layer), Ids{2}) << layer;
    EXPECT_EQ(list(2, layer), Ids{1}) << layer;
  }
  EXPECT_EQ(index.node_count(), 2u);
}

TEST_F(Graph, ReinsertedEntryAtLowerLevelStaysEntryAndConnected) {
  index.m = 1;
  upsert(1, kNear);
  upsert(2, kMid);
  index.m = 0;
  upsert(1, kNear);  // level 0
  EXPECT_EQ(index.entry_point, 1u);
  EXPECT_EQ(index.max_level, 15u);
  for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) EXPECT_EQ(list(1, layer), Ids{2}) << layer;
  EXPECT_EQ(knn_ids(kFar), (Ids{2, 1}));
  EXPECT_EQ(index.test_search_layer(kFar, 1, 5, points), 2u);
}

// ------------------------------------------------------- the linking rule

// One insert of id 9 into a graph built by hand, on layer 0 (max_level 0);
// the lists of layer 0 afterwards.
struct LinkCase {
  const char* name;
  std::uint64_t m, ef_construction;
  std::vector<std::pair<std::uint64_t, Vec>> points;
  std::vector<std::pair<std::uint64_t, Ids>> nodes;
  Vec inserted;
  std::vector<std::pair<std::uint64_t, Ids>> expected;
};

const Vec kShort{1, 2, 3}, kZero{0, 0}, kNaN{NAN, 1};

const LinkCase kLinkCases[] = {
    // 2 is nearer to 1 than to the new point: left out.
    {"CandidateCoveredByAKeptOne", 16, 64, {{1, kNear}, {2, kMid}}, {{1, {2}}}, kSame, {{9, {1}}, {1, {2, 9}}}},
    // Equally near, and nearer to the new point than to each other: both
    // kept, in the order the search found them.
    {"TiesKeepTheirOrder", 16, 64, {{1, kNear}, {2, kNearMirror}}, {{1, {2}}}, kSame, {{9, {1, 2}}, {1, {2, 9}}}},
    // The new list holds max(m, 1); a base list takes back links up to
    // twice that.
    {"BaseListTakesBackLinksBeyondTheBound",
     2,
     64,
     {{1, kSame}, {2, kMid}, {3, kMidMirror}},
     {{1, {2, 3}}, {2, {1}}, {3, {1}}},
     kNear,
     {{9, {1, 2}}, {1, {2, 3, 9}}, {2, {1, 9}}, {3, {1}}}},
    // 1's list is full at 2 x 2: re-selected from 1's point of view, it
    // takes 9 and keeps 3 (2 and 3 tie); 9 now covers 2, 4 and 5.
    {"FullBaseListReselected",
     2,
     64,
     {{1, kSame}, {2, kMid}, {3, kMidMirror}, {4, kFar}, {5, kOpposite}},
     {{1, {2, 3, 4, 5}}},
     kNear,
     {{9, {1, 2}}, {1, {9, 3}}}},
    // Links without points (the whole full list here) are dropped.
    {"FullListOfIdsWithoutPoints", 1, 64, {{1, kMid}}, {{1, {100, 101}}}, kNear, {{9, {1}}, {1, {9}}}},
    // 1 (a scaled copy of the new point's direction) stands exactly as far
    // from 2 as the new point does: the tie refuses 2.
    {"ATieRefuses", 16, 64, {{1, Vec{2, 0}}, {2, kMid}}, {{1, {2}}}, kSame, {{9, {1}}, {1, {2, 9}}}},
    // A kept copy of the new point refuses nothing, but a second copy of a
    // kept vector is refused.
    {"CopiesOfTheOwner",
     16,
     64,
     {{1, kSame}, {2, kSame}, {3, kMid}},
     {{1, {2, 3}}},
     kSame,
     {{9, {1, 3}}, {1, {2, 3, 9}}}},
    // A NaN distance is the greatest: a NaN start is passed for any
    // number, and a first candidate is kept whatever its distance.
    {"NaNStartAndNaNFirst", 16, 64, {{1, kNaN}, {2, kMid}}, {{1, {2}}, {2, {}}}, kSame, {{9, {2}}, {2, {9}}}},
    {"OnlyNaNKept", 16, 64, {{1, kNaN}}, {{1, {}}}, kSame, {{9, {1}}, {1, {9}}}},
    // 9's own list joins the candidates; its self-link, repeat and id
    // without a point drop out.
    {"ReinsertMergesItsOwnList",
     16,
     64,
     {{1, kNear}, {3, kNearMirror}, {9, kFar}},
     {{1, {}}, {3, {9}}, {9, {9, 3, 77, 3}}},
     kSame,
     {{9, {1, 3}}, {1, {9}}, {3, {9}}}},
    // m 0 and 1 both keep one link in a new list, two in a base list.
    {"MZero", 0, 64, {{1, kNear}, {2, kMid}}, {{1, {2}}, {2, {1}}}, kSame, {{9, {1}}, {1, {2, 9}}, {2, {1}}}},
    {"MOne", 1, 64, {{1, kNear}, {2, kMid}}, {{1, {2}}, {2, {1}}}, kSame, {{9, {1}}, {1, {2, 9}}, {2, {1}}}},
    // The search keeps one pair with ef_construction 0 or 1, the first
    // of the tie; with 64 it keeps both.
    {"EfConstructionZero",
     16,
     0,
     {{1, kFar}, {2, kNear}, {3, kNearMirror}},
     {{1, {2, 3}}, {2, {}}},
     kSame,
     {{9, {2}}, {2, {9}}}},
    {"EfConstructionOne",
     16,
     1,
     {{1, kFar}, {2, kNear}, {3, kNearMirror}},
     {{1, {2, 3}}, {2, {}}},
     kSame,
     {{9, {2}}, {2, {9}}}},
    {"EfConstructionWide",
     16,
     64,
     {{1, kFar}, {2, kNear}, {3, kNearMirror}},
     {{1, {2, 3}}, {2, {}}},
     kSame,
     {{9, {2, 3}}, {2, {9}}}},
    // The largest float (another length, a zero vector) ranks as a number,
    // NaN after it: each ties with or trails its distance to 1, so 1
    // refuses them all.
    {"SentinelAndNaN",
     16,
     64,
     {{1, kNear}, {2, kMid}, {4, kShort}, {5, kNaN}, {6, kZero}},
     {{1, {4, 5, 6, 2}}},
     kSame,
     {{9, {1}}, {1, {4, 5, 6, 2, 9}}}},
};

class LinkRule : public Graph, public ::testing::WithParamInterface<LinkCase> {};

TEST_P(LinkRule, ListsAfterOneInsert) {
  const LinkCase& c = GetParam();
  lift_examined_bound();
  for (const auto& [id, vector] : c.points) point(id, vector);
  for (const auto& [id, links] : c.nodes) node(id, {links});
  index.m = c.m;
  index.ef_construction = c.ef_construction;
  index.entry_point = 1;
  upsert(9, c.inserted);
  for (const auto& [id, links] : c.expected) EXPECT_EQ(list(id, 0), links) << id;
}

INSTANTIATE_TEST_SUITE_P(Cases, LinkRule, ::testing::ValuesIn(kLinkCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Above layer 0 a list holds max(m, 1) ids at most, back links included.
TEST_F(Graph, UpperListsStayWithinTheBound) {
  index.m = 1;  // every level 15
  upsert(1, kSame);
  upsert(2, kMid);
  upsert(3, kNear);
  EXPECT_EQ(index.check(points, true), "");
  for (std::size_t layer = 1; layer < MAX_LAYERS; ++layer) {
    EXPECT_EQ(list(1, layer), Ids{3}) << layer;
    EXPECT_EQ(list(3, layer), Ids{1}) << layer;
  }
  EXPECT_EQ(list(1, 0), (Ids{2, 3}));
}

// --------------------------------------------------------------- the walks

TEST_F(Graph, WalkMovesToFirstStrictlyCloserNeighbour) {
  for (auto [id, v] : {std::pair{1, kFar}, {2, kMid}, {3, kNear}, {4, kNearMirror}, {5, kSame}}) point(id, v);
  node(1, {{2, 3, 4}});  // 3 and 4 tie: the first of them wins
  node(3, {{1}});
  node(4, {{5}});
  EXPECT_EQ(index.test_search_layer(kQuery, 1, 0, points), 3u);
  node(1, {{2, 4, 3}});
  EXPECT_EQ(index.test_search_layer(kQuery, 1, 0, points), 5u);
}

TEST_F(Graph, WalkStaysOnATie) {
  point(1, kNear);
  point(2, kNearMirror);
  node(1, {{2}});
  node(2, {{1}});
  EXPECT_EQ(index.test_search_layer(kQuery, 1, 0, points), 1u);
}

TEST_F(Graph, WalkOddStates) {
  point(1, kFar);
  point(2, kMid);  // has a point but no node
  point(4, kSame);
  node(1, {{3, 2}});  // 3 has neither node nor point
  node(5, {{4}});     // 5 has a node but no point
  // A linked id without a node ends the walk there.
  EXPECT_EQ(index.test_search_layer(kQuery, 1, 0, points), 2u);
  // A start without a point starts from the largest float and moves.
  EXPECT_EQ(index.test_search_layer(kQuery, 5, 0, points), 4u);
  // Layers of 16 and more are never walked.
  for (std::uint64_t layer : {std::uint64_t{16}, std::uint64_t{1000}, kMaxId}) {
    EXPECT_EQ(index.test_search_layer(kQuery, 1, layer, points), 1u);
  }
  // A start the graph has never heard of.
  EXPECT_EQ(index.test_search_layer(kQuery, 99, 0, points), 99u);
}

TEST_F(Graph, WalkFromANaNMovesToAnyNumber) {
  point(1, kNaN);
  point(2, kFar);
  point(3, kMid);
  point(4, kNaN);
  node(1, {{4, 2, 3}});
  EXPECT_EQ(index.test_search_layer(kQuery, 1, 0, points), 3u);
}

// ----------------------------------------------------- the base-layer search

TEST_F(Graph, EqualDistancesKeepTheOrderTheyWereAdded) {
  lift_examined_bound();
  point(1, kSame);
  for (std::uint64_t id = 10; id < 15; ++id) point(id, id % 2 ? kMid : kMidMirror);
  node(1, {{10, 11, 12, 13, 14}});
  index.entry_point = 1;
  index.ef_search = 3;
  EXPECT_EQ(knn_ids(kQuery), (Ids{1, 10, 11}));
}

TEST_F(Graph, TrimmingDropsTheLastAddedAmongEquals) {
  lift_examined_bound();
  point(1, kNear);
  point(10, kMid);
  point(11, kMidMirror);
  point(12, kSame);
  node(1, {{10, 11, 12}});
  index.entry_point = 1;
  index.ef_search = 3;
  EXPECT_EQ(knn_ids(kQuery), (Ids{12, 1, 10}));
}

TEST_F(Graph, EqualCandidatesExpandInTheOrderAdded) {
  lift_examined_bound();
  point(1, kSame);
  point(10, kFar);
  point(11, kFar);
  point(20, kNear);
  point(21, kNearMirror);
  node(1, {{11, 10}});
  node(11, {{21}});
  node(10, {{20}});
  index.entry_point = 1;
  // 11 was added before 10, so 21 is found before 20 and ranks first.
  EXPECT_EQ(knn_ids(kQuery), (Ids{1, 21, 20, 11, 10}));
}

TEST_F(Graph, WorstStaysFixedDuringOneExpansion) {
  lift_examined_bound();
  point(1, kFar);
  point(10, kNear);
  point(11, kMid);  // admitted against the worst as it was: kFar
  point(12, kSame);
  node(1, {{10, 11}});
  node(11, {{12}});
  index.entry_point = 1;
  index.ef_search = 1;
  EXPECT_EQ(knn_ids(kQuery), Ids{12});
}

TEST_F(Graph, NoStoppingRuleEvenForAFarCandidate) {
  lift_examined_bound();
  point(1, kMid);
  point(10, kFar);  // admitted while there is room, then far behind the worst
  point(11, kNear);
  point(12, kSame);  // reachable only through 10
  node(1, {{10, 11}});
  node(10, {{12}});
  index.entry_point = 1;
  index.ef_search = 2;
  EXPECT_EQ(knn_ids(kQuery), (Ids{12, 11}));
}

TEST_F(Graph, EveryIdIsExaminedOnce) {
  point(1, kMid);
  point(2, kNear);
  node(1, {{2, 2, 1}});
  node(2, {{1, 2}});
  index.entry_point = 1;
  EXPECT_EQ(knn_ids(kQuery), (Ids{2, 1}));
}

TEST_F(Graph, IdsAboveTheLargestNodeKeyAreNeverExamined) {
  point(5, kMid);
  point(6, kSame);  // no node, and above every node key
  point(3, kNear);  // no node, below the largest key
  node(5, {{6, 3}});
  index.entry_point = 5;
  EXPECT_EQ(knn_ids(kQuery), (Ids{3, 5}));
  node(6, {});
  EXPECT_EQ(knn_ids(kQuery), (Ids{6, 3, 5}));
}

TEST_F(Graph, HugeIdsAndForeignNodeIds) {
  point(kMaxId, kMid);
  point(0, kSame);
  HNSWNode odd;
  odd.id = 12345;  // differs from its key
  odd.neighbors[0] = {0, 0, kMaxId};
  index.test_put_node(kMaxId, odd, points);
  index.entry_point = kMaxId;
  EXPECT_EQ(knn_ids(kQuery), (Ids{0, kMaxId}));
  EXPECT_EQ(index.test_node(kMaxId), odd);
  EXPECT_EQ(index.test_node(0), std::nullopt);
  std::vector<std::pair<std::uint64_t, HNSWNode>> all;
  index.for_each_node([&](std::uint64_t key, const HNSWNode& n) { all.emplace_back(key, n); });
  ASSERT_EQ(all.size(), 1u);
  EXPECT_EQ(all[0].first, kMaxId);
  EXPECT_EQ(all[0].second, odd);
}

TEST_F(Graph, StartWithoutPointGivesNothing) {
  point(2, kSame);
  node(1, {{2}});
  index.entry_point = 1;
  EXPECT_EQ(knn_ids(kQuery), Ids{});
}

TEST_F(Graph, EntryPointWithoutAnyNode) {
  point(4, kMid);
  index.entry_point = 4;
  const auto found = index.search_knn(kQuery, points, nullptr);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].id, 4u);
  EXPECT_EQ(found[0].distance, cosine_distance(kQuery, kMid));
}

// A file may name an entry point that has no node and no slot. The insert
// after such a load gives it its slot before ranking it; in a fresh thread
// the visited marks are sized for exactly the slots that existed then.
TEST_F(Graph, InsertFromAnEntryPointWithoutASlot) {
  point(4, kMid);
  index.entry_point = 4;
  index.m = 0;  // level 0: 4 stays the entry point
  std::thread([&] { upsert(5, kNear); }).join();
  EXPECT_EQ(index.check(points, false), "");
  EXPECT_EQ(list(5, 0), Ids{4});
  EXPECT_EQ(index.test_node(4), std::nullopt);
  EXPECT_EQ(knn_ids(kQuery), (Ids{4}));
}

TEST_F(Graph, LengthMismatchAdmitsOnlyWhileThereIsRoom) {
  lift_examined_bound();
  point(1, kSame);
  Ids links;
  for (std::uint64_t id = 10; id < 20; ++id) {
    point(id, Vec{1, 2, 3});
    links.push_back(id);
  }
  node(1, {links});
  index.entry_point = 1;
  index.ef_search = 4;
  const auto found = index.search_knn(kQuery, points, nullptr);
  ASSERT_EQ(found.size(), 4u);
  const Ids expected{1, 10, 11, 12};
  for (std::size_t k = 0; k < 4; ++k) {
    EXPECT_EQ(found[k].id, expected[k]);
    EXPECT_EQ(found[k].distance, k == 0 ? 0.0f : FLOAT_MAX);
  }
  // A query of a length nothing has: every pair at the largest float.
  const auto lost = index.search_knn(Vec{1, 2, 3, 4}, points, nullptr);
  ASSERT_EQ(lost.size(), 4u);
  for (std::size_t k = 0; k < 4; ++k) EXPECT_EQ(lost[k].id, expected[k]);
}

// A result list holding a NaN admits any number, and trims the NaN first;
// NaN pairs come last, in the order they were added.
struct NaNCase {
  const char* name;
  std::uint64_t ef_search;
  std::vector<std::pair<std::uint64_t, Ids>> nodes;
  Ids expected;
};

const NaNCase kNaNCases[] = {
    {"AdmittedAgainstANaNWorst", 2, {{1, {5}}, {5, {3}}}, {3, 1}},
    {"NaNsLastInOrder", 4, {{1, {5, 6, 3}}}, {3, 1, 5, 6}},
    {"NaNTrimmedFirst", 2, {{1, {5, 3, 2}}}, {3, 1}},
};

class NaNDistances : public Graph, public ::testing::WithParamInterface<NaNCase> {};

TEST_P(NaNDistances, FollowTheGraphsOrder) {
  lift_examined_bound();
  point(1, kMid);
  point(2, kFar);
  point(3, kNear);
  point(5, kNaN);
  point(6, Vec{1, NAN});
  for (const auto& [id, links] : GetParam().nodes) node(id, {links});
  index.entry_point = 1;
  index.ef_search = GetParam().ef_search;
  EXPECT_EQ(knn_ids(kQuery), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, NaNDistances, ::testing::ValuesIn(kNaNCases),
                         [](const auto& info) { return std::string(info.param.name); });

// A filtered walk goes through every point and keeps only the tenant's:
// the start and 3 fail it, 2 and 4 (found through 3) pass.
struct TenantWalkCase {
  const char* name;
  std::uint64_t budget;
  bool exhausted;
  Ids expected;
};

const TenantWalkCase kTenantWalks[] = {
    {"NoBudget", HNSWIndex::kNoBudget, false, {4, 2}},
    // Expanding 1 spends 2 and leaves 2 and 3 waiting.
    {"BudgetSpentWithCandidatesLeft", 2, true, {}},
    // Expanding 3 then brings it to 3 with 2 and 4 waiting.
    {"BudgetSpentLater", 3, true, {}},
    {"BudgetLeftWhenTheCandidatesEnd", 4, false, {4, 2}},
};

class TenantWalk : public Graph, public ::testing::WithParamInterface<TenantWalkCase> {};

TEST_P(TenantWalk, StepsThroughOtherPoints) {
  lift_examined_bound();
  point(1, kFar, "b");
  point(2, kMid, "a");
  point(3, kNearMirror, "b");
  point(4, kNear, "a");
  node(1, {{2, 3}});
  node(3, {{4}});
  index.entry_point = 1;
  const std::string a = "a";
  const auto answer = index.search_knn(Scorer(Metric::Cosine, kQuery), points, {&a, 0, GetParam().budget});
  EXPECT_EQ(answer.exhausted, GetParam().exhausted);
  Ids ids;
  for (const Candidate& c : answer.pairs) ids.push_back(c.id);
  EXPECT_EQ(ids, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Cases, TenantWalk, ::testing::ValuesIn(kTenantWalks),
                         [](const auto& info) { return std::string(info.param.name); });

// The descent never applies the filter.
TEST_F(Graph, TenantOfNoPointGetsNothing) {
  point(1, kMid, "a");
  point(2, kNear, "a");
  node(1, {{2}, {2}});
  node(2, {{1}, {1}});
  index.entry_point = 1;
  index.max_level = 1;
  const std::string b = "b";
  EXPECT_EQ(knn_ids(kQuery, &b), Ids{});
  const std::string a = "a";
  EXPECT_EQ(knn_ids(kQuery, &a), (Ids{2, 1}));
}

struct EfCase {
  std::uint64_t ef_search;
  Ids expected;
};

class EfSearch : public Graph, public ::testing::WithParamInterface<EfCase> {};

TEST_P(EfSearch, BoundsTheResultButKeepsTheStartPair) {
  lift_examined_bound();
  point(1, kFar);
  point(2, kMid);
  point(3, kNear);
  point(4, kSame);
  node(1, {{2, 3}});
  node(3, {{4}});
  index.entry_point = 1;
  index.ef_search = GetParam().ef_search;
  EXPECT_EQ(knn_ids(kQuery), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Bounds, EfSearch,
                         ::testing::Values(EfCase{0, {4}}, EfCase{1, {4}}, EfCase{2, {4, 3}},
                                           EfCase{kMaxId, {4, 3, 2, 1}}));

// The reach is max(ef_search, min(limit, points)): a limit above the store's
// size costs nothing more than the store.
TEST_F(Graph, ALimitAboveEfSearchIsReached) {
  lift_examined_bound();
  for (std::uint64_t id = 1; id <= 4; ++id) point(id, std::vector<Vec>{kFar, kMid, kNear, kSame}[id - 1]);
  node(1, {{2, 3}});
  node(3, {{4}});
  index.entry_point = 1;
  index.ef_search = 1;
  for (const auto& [limit, expected] :
       std::vector<std::pair<std::uint64_t, Ids>>{{0, {4}}, {2, {4, 3}}, {3, {4, 3, 2}}, {kMaxId, {4, 3, 2, 1}}}) {
    Ids ids;
    for (const Candidate& c : index.search_knn(kQuery, points, nullptr, limit)) ids.push_back(c.id);
    EXPECT_EQ(ids, expected) << limit;
  }
}

TEST_F(Graph, MaxLevelAboveFifteenIsPassedWithoutMoving) {
  lift_examined_bound();
  point(1, kMid);
  point(2, kSame);
  node(1, {{2}});
  index.entry_point = 1;
  for (std::uint64_t level : {std::uint64_t{16}, std::uint64_t{1000}, kMaxId}) {
    index.max_level = level;
    EXPECT_EQ(knn_ids(kQuery), (Ids{2, 1})) << level;
  }
  upsert(3, kNear);  // must not walk 2^64 layers either
  EXPECT_EQ(index.max_level, kMaxId);
  EXPECT_EQ(index.entry_point, 1u);
}

// Selected lists are clean: within their capacity, no self-link, no
// repeat; the entry point and max_level agree with the nodes.
TEST_F(Graph, InsertsKeepTheGraphSound) {
  std::mt19937 rng(3);
  std::normal_distribution<float> normal;
  for (std::uint64_t id = 0; id < 400; ++id) {
    upsert(id % 300, Vec{normal(rng), normal(rng), normal(rng)});
    if (id % 50 == 0) {
      ASSERT_EQ(index.check(points, true), "") << id;
    }
  }
  EXPECT_EQ(index.check(points, true), "");
  EXPECT_EQ(index.node_count(), 300u);
}

struct Fault {
  const char* name;
  void (*spoil)(HNSWIndex&, PointStore&);
  const char* found;
};

// Each spoils a sound graph of ids 1 to 3 (m 1: every layer linked) in one
// way that check() must find.
const Fault kFaults[] = {
    {"ListBeyondItsCapacity", [](HNSWIndex& i, PointStore& p) { i.test_put_node(1, HNSWNode{1, {Ids{2, 3, 2}}}, p); },
     "slot 0 (id 1) on layer 0 holds more than its capacity"},
    {"SelfLink", [](HNSWIndex& i, PointStore& p) { i.test_put_node(1, HNSWNode{1, {Ids{1}}}, p); },
     "slot 0 (id 1) on layer 0 links itself"},
    {"Repeat",
     [](HNSWIndex& i, PointStore& p) {
       i.m = 2;
       i.test_put_node(1, HNSWNode{1, {Ids{2, 2}}}, p);
     },
     "slot 0 (id 1) on layer 0 repeats a link"},
    {"EntryPointWithoutNode", [](HNSWIndex& i, PointStore&) { i.entry_point = 99; }, "the entry point is not a node"},
    {"NoEntryPoint", [](HNSWIndex& i, PointStore&) { i.entry_point.reset(); },
     "an entry point without nodes, or nodes without one"},
    {"LinksAboveMaxLevel", [](HNSWIndex& i, PointStore&) { i.max_level = 3; },
     "slot 0 (id 1) on layer 4 has links above max_level"},
};

class GraphCheck : public Graph, public ::testing::WithParamInterface<Fault> {};

TEST_P(GraphCheck, FindsTheFault) {
  index.m = 1;  // every level 15
  for (std::uint64_t id = 1; id <= 3; ++id) upsert(id, Vec{1, static_cast<float>(id)});
  ASSERT_EQ(index.check(points, true), "");
  GetParam().spoil(index, points);
  EXPECT_EQ(index.check(points, true), GetParam().found);
}

INSTANTIATE_TEST_SUITE_P(Faults, GraphCheck, ::testing::ValuesIn(kFaults),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Graph, PutNodeRoundTripsAnyState) {
  std::mt19937_64 rng(5);
  std::vector<HNSWNode> expected(300);
  for (std::uint64_t key = 0; key < expected.size(); ++key) {
    HNSWNode& n = expected[key];
    n.id = key % 7 == 0 ? rng() : key;
    for (std::size_t layer = 0; layer < MAX_LAYERS; ++layer) {
      const std::size_t length = layer == 0 ? rng() % 40 : (rng() % 9 == 0 ? rng() % 4 : 0);
      for (std::size_t k = 0; k < length; ++k) n.neighbors[layer].push_back(rng() % 500);
    }
    // Earlier states that the final put must replace whole: lists on every
    // layer, or lists grown by the back links of an insert.
    if (key % 3 == 0) {
      HNSWNode tall;
      tall.id = key;
      for (auto& list : tall.neighbors) list = {key, 1, 2, 3, 4};
      index.test_put_node(key, tall, points);
    } else if (key % 5 == 0) {
      index.test_put_node(key, n, points);
      index.m = 100;
      point(1000 + key, Vec{1, 0});
      index.entry_point = key;
      index.max_level = 15;
      index.insert(1000 + key, *points.slot_of(1000 + key), points);
    }
  }
  for (std::uint64_t key = 0; key < expected.size(); ++key) index.test_put_node(key, expected[key], points);
  for (std::uint64_t key = 0; key < expected.size(); ++key) EXPECT_EQ(index.test_node(key), expected[key]) << key;

  HNSWIndex copy;
  index.for_each_node([&](std::uint64_t key, const HNSWNode& n) { copy.test_put_node(key, n, points); });
  EXPECT_EQ(copy.node_count(), index.node_count());
  index.for_each_node([&](std::uint64_t key, const HNSWNode& n) { EXPECT_EQ(copy.test_node(key), n); });
}

// ---------------------------------------------------- graph against exact

float exact_similarity(const Vec& a, const Vec& b) { return cosine_similarity(a, b).value(); }

TEST(GraphAgainstExact, DistancesAreTheExactOnes) {
  std::mt19937 rng(11);
  std::normal_distribution<float> normal;
  PointStore points;
  HNSWIndex index;
  std::vector<Vec> vectors;
  for (std::uint64_t id = 0; id < 1500; ++id) {
    Vec v(24);
    for (float& x : v) x = normal(rng);
    index.insert(id, points.upsert(id, v, std::nullopt).slot, points);
    vectors.push_back(std::move(v));
  }
  for (int q = 0; q < 40; ++q) {
    Vec query(24);
    for (float& x : query) x = normal(rng);
    const auto found = index.search_knn(query, points, nullptr);
    ASSERT_GE(found.size(), 1u);
    ASSERT_LE(found.size(), 32u);
    Ids ids;
    for (std::size_t k = 0; k < found.size(); ++k) {
      EXPECT_EQ(found[k].distance, 1.0f - exact_similarity(query, vectors[found[k].id]));
      if (k > 0) {
        EXPECT_LE(found[k - 1].distance, found[k].distance);
      }
      ids.push_back(found[k].id);
    }
    std::sort(ids.begin(), ids.end());
    EXPECT_EQ(std::adjacent_find(ids.begin(), ids.end()), ids.end());
    // Scratch state is reused between queries without leaking into them.
    const auto again = index.search_knn(query, points, nullptr);
    ASSERT_EQ(again.size(), found.size());
    for (std::size_t k = 0; k < found.size(); ++k) EXPECT_EQ(again[k].id, found[k].id);
  }
}

// A tenant of 30 % walks through the other points to its own nearest.
TEST(GraphAgainstExact, ThirtyPercentTenantFindsItsNearest) {
  std::mt19937 rng(29);
  std::normal_distribution<float> normal;
  PointStore points;
  HNSWIndex index;
  std::vector<Vec> centres(30, Vec(16));
  for (Vec& c : centres) {
    for (float& x : c) x = normal(rng);
  }
  const std::string tenant = "t";
  for (std::uint64_t id = 0; id < 3000; ++id) {
    Vec v = centres[rng() % centres.size()];
    for (float& x : v) x += 0.3f * normal(rng);
    std::optional<Payload> payload;
    if (rng() % 10 < 3) payload = Payload::from_entries({{"tenant_id", payload_string(tenant)}});
    index.insert(id, points.upsert(id, v, std::move(payload)).slot, points);
  }
  const auto slots = points.tenant_slots(tenant);
  std::size_t found = 0, asked = 0;
  for (int q = 0; q < 50; ++q) {
    Vec query = centres[rng() % centres.size()];
    for (float& x : query) x += 0.3f * normal(rng);
    std::vector<std::pair<float, std::uint64_t>> exact;
    for (const std::uint32_t slot : slots)
      exact.emplace_back(cosine_distance(query, Vec(points.view(slot).vector.begin(), points.view(slot).vector.end())),
                         points.view(slot).id);
    std::sort(exact.begin(), exact.end());
    const auto answer = index.search_knn(Scorer(Metric::Cosine, query), points, {&tenant, 10});
    ASSERT_FALSE(answer.exhausted);
    for (std::size_t k = 0; k < 10; ++k) {
      ++asked;
      found += std::any_of(answer.pairs.begin(), answer.pairs.begin() + std::min<std::size_t>(10, answer.pairs.size()),
                           [&](const Candidate& c) { return c.id == exact[k].second; });
    }
  }
  // A walk confined to the tenant found about a third; this one about all.
  EXPECT_GE(static_cast<double>(found) / static_cast<double>(asked), 0.9);
}

}  // namespace
}  // namespace quorbell
