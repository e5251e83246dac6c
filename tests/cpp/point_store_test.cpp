#include "core/point_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace quorbell {
namespace {

std::vector<float> as_vector(std::span<const float> s) { return {s.begin(), s.end()}; }

Payload tenant_payload(const std::string& tenant) {
  return Payload::from_entries({{"tenant_id", payload_string(tenant)}});
}

TEST(PointStore, ReplacesPointsWholeAndKeepsSlots) {
  PointStore store;
  const std::vector<float> a{1, 2}, b{3, 4, 5};
  EXPECT_EQ(store.upsert(7, a, tenant_payload("x")).slot, 0u);
  EXPECT_EQ(store.upsert(9, b, std::nullopt).slot, 1u);
  // Replacing with another length and no payload drops the old payload.
  EXPECT_EQ(store.upsert(7, b, std::nullopt).slot, 0u);
  ASSERT_EQ(store.size(), 2u);
  auto seven = store.find(7);
  ASSERT_TRUE(seven.has_value());
  EXPECT_EQ(as_vector(seven->vector), b);
  EXPECT_EQ(seven->payload, nullptr);
  EXPECT_FALSE(store.find(8).has_value());
}

TEST(PointStore, KeyAndIdMayDiffer) {
  PointStore store;
  store.set_foreign_id(store.upsert(5, std::vector<float>{1}, std::nullopt).slot, 6);
  EXPECT_EQ(store.key_at(0), 5u);
  EXPECT_EQ(store.find(5)->id, 6u);
}

TEST(PointStore, EmptyVectorsAndPresentEmptyPayloads) {
  PointStore store;
  store.upsert(1, {}, Payload{});
  auto point = store.find(1);
  ASSERT_TRUE(point.has_value());
  EXPECT_TRUE(point->vector.empty());
  ASSERT_NE(point->payload, nullptr);
  EXPECT_TRUE(point->payload->empty());
}

TEST(PointStore, VectorsSurviveGrowthAndCompaction) {
  // Small vectors stay in small chunks; long ones fill chunks of 2 MiB and
  // more, which come from the huge-page allocation.
  for (const auto [count, length] : {std::pair<std::uint64_t, std::size_t>{3000, 100}, {200, 3000}}) {
    PointStore store;
    // Many replacements with changing lengths force the arena to compact.
    for (int round = 0; round < 6; ++round) {
      for (std::uint64_t id = 0; id < count; ++id) {
        std::vector<float> v(length + static_cast<std::size_t>(round % 2), static_cast<float>(id + round));
        store.upsert(id, v, std::nullopt);
      }
    }
    ASSERT_EQ(store.size(), count);
    for (std::uint64_t id = 0; id < count; id += 37) {
      auto point = store.find(id);
      ASSERT_TRUE(point.has_value());
      EXPECT_EQ(point->vector.size(), length + 1);
      EXPECT_EQ(point->vector.front(), static_cast<float>(id + 5));
      EXPECT_EQ(point->vector.back(), static_cast<float>(id + 5));
    }
  }
}

TEST(PointStore, LargeAndExtremeIds) {
  PointStore store;
  const std::vector<float> v{1};
  for (std::uint64_t id : {0ull, ~0ull, 1ull << 63, 123456789ull}) store.upsert(id, v, std::nullopt);
  for (std::uint64_t id : {0ull, ~0ull, 1ull << 63, 123456789ull}) EXPECT_TRUE(store.find(id)) << id;
  EXPECT_FALSE(store.find(1));
}

// Tenants come and go: one is dropped when its last point leaves and its
// place reused. Whatever the churn, every name lists exactly its points'
// slots, ascending, whether each upsert is settled or taken back.
TEST(PointStore, TenantSlotsFollowChurn) {
  PointStore store;
  std::mt19937 rng(11);
  std::map<std::uint64_t, std::pair<std::uint32_t, std::string>> model;  // key -> slot, tenant ("" none)
  std::set<std::string> names;                                           // every name ever used
  for (int step = 0; step < 20000; ++step) {
    const std::uint64_t key = rng() % 24;
    // No tenant, a name never used before (short or long), or one of a few.
    const std::uint32_t kind = rng() % 4;
    std::string tenant;
    if (kind == 1) tenant = "fresh-" + std::to_string(step) + std::string(rng() % 24, 'x');
    if (kind >= 2) tenant = "pool-" + std::to_string(rng() % 6);
    if (!tenant.empty()) names.insert(tenant);
    std::optional<Payload> payload;
    if (!tenant.empty()) payload = tenant_payload(tenant);
    PointStore::Stored stored = store.upsert(key, std::vector<float>{1}, std::move(payload));
    if (rng() % 8 == 0) {
      store.undo(std::move(stored));
    } else {
      store.commit(stored);
      model[key] = {stored.slot, tenant};
    }
    if (step % 97 != 0 && step < 19990) continue;
    for (const std::string& name : names) {
      std::vector<std::uint32_t> expected;
      for (const auto& [k, entry] : model) {
        if (entry.second == name) expected.push_back(entry.first);
      }
      std::sort(expected.begin(), expected.end());
      const auto slots = store.tenant_slots(name);
      ASSERT_EQ(std::vector<std::uint32_t>(slots.begin(), slots.end()), expected) << name << " at " << step;
      // The tenant's number picks out exactly the same slots.
      const PointStore::TenantFilter filter = store.tenant_filter(&name);
      for (std::uint32_t slot = 0; slot < store.size(); ++slot) {
        ASSERT_EQ(store.passes(slot, filter), std::binary_search(expected.begin(), expected.end(), slot))
            << name << " slot " << slot << " at " << step;
      }
    }
  }
}

TEST(Payload, LaterKeyReplacesEarlierForSmallAndLargeMaps) {
  for (std::size_t extra : {0u, 40u}) {
    std::vector<Payload::Entry> entries;
    entries.push_back({"k", std::int64_t{1}});
    for (std::size_t i = 0; i < extra; ++i) entries.push_back({"f" + std::to_string(i), 0.5});
    entries.push_back({"k", std::int64_t{2}});
    Payload p = Payload::from_entries(std::move(entries));
    EXPECT_EQ(p.size(), extra + 1);
    EXPECT_EQ(p.find("k"), PayloadValue{std::int64_t{2}});
    EXPECT_EQ(p.entry(0).key(), "k");  // the first place is kept
  }
}

TEST(Payload, StringClassByUtf8Bytes) {
  EXPECT_EQ(payload_string(std::string(64, 'a')).index(), 0u);
  EXPECT_EQ(payload_string(std::string(65, 'a')).index(), 1u);
  std::string three_byte_chars;
  for (int i = 0; i < 22; ++i) three_byte_chars += "\xe2\x82\xac";  // 66 bytes
  EXPECT_EQ(payload_string(three_byte_chars).index(), 1u);
}

struct TenantCase {
  const char* name;
  std::optional<Payload> payload;
  std::optional<std::string> tenant;
  bool passes;
};

class TenantMatches : public ::testing::TestWithParam<TenantCase> {};

TEST_P(TenantMatches, Decides) {
  const TenantCase& c = GetParam();
  const std::string* tenant = c.tenant ? &*c.tenant : nullptr;
  PointStore store;
  store.commit(store.upsert(1, std::vector<float>{1}, c.payload));
  EXPECT_EQ(store.passes(0, store.tenant_filter(tenant)), c.passes);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TenantMatches,
    ::testing::Values(TenantCase{"NoTenantNoPayload", std::nullopt, std::nullopt, true},
                      TenantCase{"KeywordEqual", tenant_payload("acme"), "acme", true},
                      TenantCase{"CaseSensitive", tenant_payload("acme"), "ACME", false},
                      TenantCase{"TextEqual", tenant_payload(std::string(100, 't')), std::string(100, 't'), true},
                      TenantCase{"IntegerNeverPasses", Payload::from_entries({{"tenant_id", std::int64_t{7}}}), "7",
                                 false},
                      TenantCase{"NoPayload", std::nullopt, "a", false},
                      TenantCase{"EmptyPayload", Payload{}, "", false},
                      TenantCase{"EmptyTenantMatchesEmptyString", tenant_payload(""), "", true}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace quorbell
