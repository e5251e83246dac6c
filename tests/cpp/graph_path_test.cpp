// Search routing and the graph path of Segment::search.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "core/distance.h"
#include "index/search.h"
#include "scoring_oracles.h"
#include "storage/segment.h"

namespace quorbell {
namespace {

using Vec = std::vector<float>;

std::vector<SearchHit> search(const Segment& segment, const Vec& query, std::uint64_t limit, Metric metric,
                              const std::string* tenant = nullptr) {
  auto hits = segment.search(query, limit, metric, tenant);
  EXPECT_TRUE(hits.ok());
  return std::move(hits).value();
}

Vec random_vector(std::mt19937& rng, std::size_t length) {
  std::normal_distribution<float> normal;
  Vec v(length);
  for (float& x : v) x = normal(rng);
  return v;
}

// Upserts `count` random points of length 8, ids 0 to count - 1, and
// returns their vectors.
std::vector<Vec> fill(Segment& segment, std::size_t count, unsigned seed = 1) {
  std::mt19937 rng(seed);
  std::vector<Vec> vectors;
  for (std::uint64_t id = 0; id < count; ++id) {
    vectors.push_back(random_vector(rng, 8));
    EXPECT_TRUE(segment.upsert(id, vectors.back(), std::nullopt));
  }
  return vectors;
}

TEST(Routing, FiveHundredPointsTakeTheGraph) {
  Segment segment;
  fill(segment, 499);
  const Vec query(8, 1.0f);
  EXPECT_EQ(search(segment, query, 100, Metric::Cosine).size(), 100u);  // exact: any limit
  ASSERT_TRUE(segment.upsert(499, Vec(8, 0.5f), std::nullopt));
  // The graph reaches a limit above ef_search, and one far above the
  // store's size costs no more than the store.
  EXPECT_EQ(search(segment, query, 100, Metric::Cosine).size(), 100u);
  EXPECT_EQ(search(segment, query, std::uint64_t{1} << 60, Metric::Cosine).size(), 500u);
  EXPECT_EQ(search(segment, query, 0, Metric::Cosine).size(), 0u);
}

struct WalkedCase {
  std::uint64_t count, store_points;
  bool walked;
};

class TenantWalked : public ::testing::TestWithParam<WalkedCase> {};

TEST_P(TenantWalked, AboveBothBounds) {
  EXPECT_EQ(tenant_is_walked(GetParam().count, GetParam().store_points), GetParam().walked);
}

INSTANTIATE_TEST_SUITE_P(Bounds, TenantWalked,
                         ::testing::Values(WalkedCase{0, 600, false}, WalkedCase{1, 600, false},
                                           WalkedCase{10'000, 10'000, false}, WalkedCase{10'001, 10'001, true},
                                           WalkedCase{10'001, 100'020, true}, WalkedCase{10'001, 100'021, false},
                                           WalkedCase{30'000, 100'000, true},
                                           WalkedCase{4'000'000'000, 4'000'000'000, true}));

TEST(Routing, NoEntryPointMeansExactWhateverTheSize) {
  Segment segment;
  fill(segment, 600);
  ASSERT_TRUE(segment.test_mutate([](PointStore&, HNSWIndex& index) { index = HNSWIndex(); }));
  EXPECT_EQ(search(segment, Vec(8, 1.0f), 100, Metric::Cosine).size(), 100u);
}

// Graph hits carry the metric's scores computed from the candidates: a
// cosine score is 1 - distance, so 1 - (1 - c) of the exact c.
TEST(GraphPath, ScoresAgreeWithTheExactPath) {
  Segment segment;
  const std::vector<Vec> vectors = fill(segment, 800, 7);
  std::mt19937 rng(99);
  for (int q = 0; q < 20; ++q) {
    const Vec query = random_vector(rng, 8);
    for (Metric metric : {Metric::Cosine, Metric::DotProduct, Metric::Euclidean}) {
      const auto hits = search(segment, query, 10, metric);
      ASSERT_FALSE(hits.empty());
      ASSERT_LE(hits.size(), 10u);
      for (const SearchHit& hit : hits) {
        const Vec& vector = vectors[hit.id];
        float expected = 0;
        switch (metric) {
          case Metric::Cosine:
            expected = 1.0f - (1.0f - cosine_similarity(query, vector).value());
            break;
          case Metric::DotProduct:
            expected = dot_product(query, vector).value();
            break;
          case Metric::Euclidean:
            expected = euclidean_distance(query, vector).value();
            break;
        }
        EXPECT_EQ(hit.score, expected);
      }
      for (std::size_t k = 1; k < hits.size(); ++k) {
        EXPECT_FALSE(ranks_before(metric, hits[k].score, hits[k - 1].score));
      }
    }
  }
}

struct UnscorableCase {
  const char* name;
  Metric metric;
  Vec query;
  std::size_t hits;  // what the exact path would give over the same points
};

class GraphPathUnscorable : public ::testing::TestWithParam<UnscorableCase> {};

// Every point is a candidate (a star around 505 with room for all), so the
// graph path keeps exactly the points the exact scan would score: 500 of
// length 8, a zero vector of length 8 (unscorable under cosine) and four of
// length 3.
TEST_P(GraphPathUnscorable, CandidatesThatCannotBeScoredAreDropped) {
  Segment segment;
  fill(segment, 500);
  ASSERT_TRUE(segment.test_mutate([](PointStore& points, HNSWIndex& index) {
    points.upsert(500, Vec(8, 0.0f), std::nullopt);
    for (std::uint64_t id = 501; id < 505; ++id) points.upsert(id, Vec{1, 2, 3}, std::nullopt);
    points.upsert(505, Vec(8, 1.0f), std::nullopt);
    index = HNSWIndex();
    HNSWNode star;
    star.id = 505;
    for (std::uint64_t id = 0; id < 505; ++id) star.neighbors[0].push_back(id);
    index.test_put_node(505, star, points);
    index.entry_point = 505;
    index.ef_search = 1000;
  }));
  const UnscorableCase& c = GetParam();
  const auto hits = search(segment, c.query, 1000, c.metric);
  EXPECT_EQ(hits.size(), c.hits);
  for (const SearchHit& hit : hits) EXPECT_TRUE(std::isfinite(hit.score)) << hit.id;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GraphPathUnscorable,
    ::testing::Values(UnscorableCase{"CosineDropsOtherLengthsAndZeroVectors", Metric::Cosine, Vec(8, 1.0f), 501},
                      UnscorableCase{"DotDropsOtherLengths", Metric::DotProduct, Vec(8, 1.0f), 502},
                      UnscorableCase{"L2DropsOtherLengths", Metric::Euclidean, Vec(8, 1.0f), 502},
                      UnscorableCase{"QueryOfNoStoredLength", Metric::DotProduct, Vec(5, 1.0f), 0},
                      UnscorableCase{"ShortQueryFindsItsLength", Metric::Euclidean, Vec{1, 2, 3}, 4},
                      UnscorableCase{"ZeroQueryUnderCosine", Metric::Cosine, Vec(8, 0.0f), 0},
                      UnscorableCase{"ZeroQueryUnderDot", Metric::DotProduct, Vec(8, 0.0f), 502}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(GraphPath, FilterAppliesToTheStartAndLimitStopsTheWalk) {
  Segment segment;
  std::mt19937 rng(5);
  for (std::uint64_t id = 0; id < 600; ++id) {
    Payload payload = Payload::from_entries({{"tenant_id", payload_string(id % 2 ? "odd" : "even")}});
    ASSERT_TRUE(segment.upsert(id, random_vector(rng, 8), std::move(payload)));
  }
  const std::string odd = "odd", none = "none";
  const Vec query(8, 1.0f);
  for (const SearchHit& hit : search(segment, query, 50, Metric::Cosine, &odd)) EXPECT_EQ(hit.id % 2, 1u);
  EXPECT_TRUE(search(segment, query, 50, Metric::Cosine, &none).empty());
  const auto all = search(segment, query, 50, Metric::Cosine);
  const auto three = search(segment, query, 3, Metric::Cosine);
  ASSERT_EQ(three.size(), 3u);
  for (std::size_t k = 0; k < 3; ++k) EXPECT_EQ(three[k].id, all[k].id);
}

struct ReupsertCase {
  const char* name;
  bool entry_point_only;
  bool new_vectors;
};

class GraphReupsert : public ::testing::TestWithParam<ReupsertCase> {};

// Re-upserting ids, the entry point above all, must not cut the graph:
// searches of a 2,000-point store still fill their limit.
TEST_P(GraphReupsert, SearchesStillFillTheirLimit) {
  const ReupsertCase& c = GetParam();
  Segment segment;
  const std::vector<Vec> vectors = fill(segment, 2000, 3);
  std::uint64_t entry = 0;
  ASSERT_TRUE(segment.test_mutate([&](PointStore&, HNSWIndex& index) { entry = *index.entry_point; }));
  std::mt19937 rng(17);
  for (std::uint64_t id = 0; id < vectors.size(); ++id) {
    if (c.entry_point_only && id != entry) continue;
    ASSERT_TRUE(segment.upsert(id, c.new_vectors ? random_vector(rng, 8) : vectors[id], std::nullopt));
  }
  for (int q = 0; q < 50; ++q) EXPECT_EQ(search(segment, random_vector(rng, 8), 10, Metric::Cosine).size(), 10u);
}

INSTANTIATE_TEST_SUITE_P(Cases, GraphReupsert,
                         ::testing::Values(ReupsertCase{"EntryPointSameVector", true, false},
                                           ReupsertCase{"EntryPointNewVector", true, true},
                                           ReupsertCase{"EveryIdSameVector", false, false},
                                           ReupsertCase{"EveryIdNewVector", false, true}),
                         [](const auto& info) { return std::string(info.param.name); });

struct TenantCase {
  const char* name;
  std::size_t every;  // one point in `every` is the tenant's
  std::uint64_t limit;
  std::uint64_t points = 2000;
};

class GraphTenant : public ::testing::TestWithParam<TenantCase> {};

// A tenant of at most TENANT_SCAN_MAX points, and a larger one whose
// filtered graph search comes back short of min(limit, ef_search), is
// answered with exactly what the exact scan gives over the tenant's points:
// a store holding only them (searched exactly, in the same order) is the
// oracle. A larger tenant's full graph answer stays a graph answer.
TEST_P(GraphTenant, ShortAnswersAreTheTenantsExactAnswer) {
  const TenantCase& c = GetParam();
  const std::string tenant = "rare";
  Segment segment, tenant_only;
  std::mt19937 rng(23);
  for (std::uint64_t id = 0; id < c.points; ++id) {
    const Vec vector = random_vector(rng, 8);
    const bool mine = id % c.every == 0;
    Payload payload = Payload::from_entries({{"tenant_id", payload_string(mine ? tenant : "common")}});
    if (mine) {
      ASSERT_TRUE(tenant_only.upsert(id, vector, payload));
    }
    ASSERT_TRUE(segment.upsert(id, vector, std::move(payload)));
  }
  for (Segment* store : {&segment, &tenant_only}) {
    ASSERT_TRUE(store->upsert(1, Vec{1, 2, 3}, Payload::from_entries({{"tenant_id", payload_string(tenant)}})));
  }
  for (int q = 0; q < 20; ++q) {
    const Vec query = random_vector(rng, 8);
    for (Metric metric : {Metric::Cosine, Metric::DotProduct, Metric::Euclidean}) {
      const auto hits = search(segment, query, c.limit, metric, &tenant);
      const auto exact = search(tenant_only, query, c.limit, metric, &tenant);
      // Either the graph filled its limit, or the scan answered.
      const std::size_t enough = c.limit;
      const bool scanned = hits.size() == exact.size() && std::equal(hits.begin(), hits.end(), exact.begin(),
                                                                     [](const SearchHit& a, const SearchHit& b) {
                                                                       return a.id == b.id && a.score == b.score;
                                                                     });
      const bool small = c.points / c.every <= TENANT_SCAN_MAX;
      EXPECT_TRUE(scanned || (!small && hits.size() == enough));
      // A large tenant of every point never leaves the graph short.
      if (!small && c.every == 1) {
        EXPECT_EQ(hits.size(), enough);
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, GraphTenant,
                         ::testing::Values(TenantCase{"FortyOfTwoThousand", 50, 10}, TenantCase{"OneInTen", 10, 10},
                                           TenantCase{"LimitAboveTheGraphsBound", 50, 100},
                                           TenantCase{"EveryPointLimitAboveTheBound", 1, 33},
                                           TenantCase{"LargeTenantLimitAboveTheBound", 1, 33, TENANT_SCAN_MAX + 500}),
                         [](const auto& info) { return std::string(info.param.name); });

// Stores that real corpora make: exact copies, and a few NaN vectors. Each
// property holds with margin; the figures in the comments are measured.
TEST(GraphProperty, CopiesDoNotCutVectorsOff) {
  Segment segment;
  std::mt19937 rng(31);
  std::vector<Vec> vectors;
  for (int k = 0; k < 150; ++k) vectors.push_back(random_vector(rng, 16));
  std::vector<std::size_t> order;
  for (std::size_t k = 0; k < 150 * 16; ++k) order.push_back(k % 150);
  std::shuffle(order.begin(), order.end(), rng);
  for (std::uint64_t id = 0; id < order.size(); ++id) ASSERT_TRUE(segment.upsert(id, vectors[order[id]], std::nullopt));
  // The top hit is the vector itself or a copy: all 150 (38 missed when a
  // tie did not refuse).
  int missed = 0;
  for (std::size_t k = 0; k < vectors.size(); ++k) {
    const auto hits = search(segment, vectors[k], 1, Metric::Cosine);
    missed += hits.empty() || order[hits[0].id] != k;
  }
  EXPECT_LE(missed, 3);
}

TEST(GraphProperty, NaNPointsDoNotHideOthers) {
  Segment segment;
  std::mt19937 rng(37);
  std::vector<Vec> vectors;
  for (std::uint64_t id = 0; id < 1000; ++id) {
    vectors.push_back(random_vector(rng, 8));
    ASSERT_TRUE(segment.upsert(id, vectors.back(), std::nullopt));
  }
  for (std::uint64_t k = 0; k < 200; ++k) {
    Vec nan = random_vector(rng, 8);
    nan[k % 8] = NAN;
    ASSERT_TRUE(segment.upsert(1000 + k, nan, std::nullopt));
    ASSERT_TRUE(segment.upsert(k * 5, vectors[k * 5], std::nullopt));
  }
  // Every ordinary point is among its own 32 hits (353 were lost when a
  // NaN worst admitted nothing).
  int lost = 0;
  for (std::uint64_t id = 0; id < vectors.size(); ++id) {
    const auto hits = search(segment, vectors[id], 32, Metric::Cosine);
    lost += std::none_of(hits.begin(), hits.end(), [&](const SearchHit& h) { return h.id == id; });
  }
  EXPECT_LE(lost, 5);
}

}  // namespace
}  // namespace quorbell
