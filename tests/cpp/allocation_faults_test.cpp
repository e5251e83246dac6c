// Operations whose allocations fail. An upsert or a load leaves the store
// exactly as it was and usable; a save leaves the old file and no
// temporary one. Every allocation of this binary goes through the operator
// new below, which can be told to fail the n-th allocation of this thread,
// or every one from the n-th on (memory that stays short); each operation
// is tried with n = 0, 1, 2, ... until it succeeds.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "storage/segment.h"
#include "storage/snapshot_codec.h"

#if defined(__SANITIZE_ADDRESS__)
#define QUORBELL_FAILING_NEW 0  // the address sanitizer owns operator new
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORBELL_FAILING_NEW 0
#endif
#endif
#ifndef QUORBELL_FAILING_NEW
#define QUORBELL_FAILING_NEW 1
#endif

namespace {
// Allocations left before one fails on this thread; negative: none fails.
thread_local long allocations_before_failure = -1;
// Whether every allocation after that one fails too.
thread_local bool failures_persist = false;
}  // namespace

#if QUORBELL_FAILING_NEW
// malloc underneath, as the library's operator delete expects.
void* operator new(std::size_t size) {
  if (allocations_before_failure == 0) {
    if (!failures_persist) allocations_before_failure = -1;
    throw std::bad_alloc();
  }
  if (allocations_before_failure > 0) --allocations_before_failure;
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
#endif

namespace quorbell {
namespace {

namespace fs = std::filesystem;
using Vec = std::vector<float>;

// Runs `operation` with the n-th allocation failing, and with every later
// one too if `persist`.
template <class Operation>
auto with_failing_allocation(long n, bool persist, Operation operation) {
  failures_persist = persist;
  allocations_before_failure = n;
  auto outcome = operation();
  allocations_before_failure = -1;
  failures_persist = false;
  return outcome;
}

ByteBuffer snapshot_of(Segment& segment) {
  ByteBuffer bytes;
  EXPECT_TRUE(
      segment.test_mutate([&](PointStore& points, HNSWIndex& index) { bytes = encode_snapshot(points, index); }));
  return bytes;
}

struct UpsertCase {
  const char* name;
  std::uint64_t id;
  std::size_t length;
  const char* tenant;
};

class UpsertFaults : public ::testing::TestWithParam<std::tuple<UpsertCase, bool>> {};

TEST_P(UpsertFaults, AFailedAllocationChangesNothing) {
  if (!QUORBELL_FAILING_NEW) GTEST_SKIP() << "allocations cannot be made to fail under the address sanitizer";
  const auto& [c, persist] = GetParam();
  Segment segment;
  std::mt19937 rng(3);
  std::normal_distribution<float> normal;
  auto vector_of = [&](std::size_t length) {
    Vec v(length);
    for (float& x : v) x = normal(rng);
    return v;
  };
  for (std::uint64_t id = 0; id < 600; ++id) {
    ASSERT_TRUE(
        segment.upsert(id, vector_of(8), Payload::from_entries({{"tenant_id", payload_string(id % 3 ? "a" : "b")}})));
  }
  const Vec vector = vector_of(c.length);
  const std::string tenant = c.tenant;
  long failures = 0;
  for (long n = 0;; ++n) {
    const ByteBuffer before = snapshot_of(segment);
    const auto hits_before = segment.search(vector_of(8), 10, Metric::Cosine, &tenant).value().size();
    std::optional<Payload> payload = Payload::from_entries({{"tenant_id", payload_string(tenant)}});
    const Status stored =
        with_failing_allocation(n, persist, [&] { return segment.upsert(c.id, vector, std::move(payload)); });
    if (stored) break;
    ++failures;
    ASSERT_EQ(stored.error().kind, ErrorKind::ResourceExhausted) << n;
    ASSERT_EQ(snapshot_of(segment), before) << n;
    ASSERT_TRUE(segment.test_mutate(
        [&](PointStore& points, HNSWIndex& index) { EXPECT_EQ(index.check(points, true), "") << n; }));
    ASSERT_EQ(segment.search(vector_of(8), 10, Metric::Cosine, &tenant).value().size(), hits_before) << n;
  }
  EXPECT_GT(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UpsertFaults,
    // Each case must allocate from operator new: a new tenant too long
    // for a short string, a vector too long for the room left in its
    // chunk (and short enough for its chunk not to be mapped on its own).
    ::testing::Combine(::testing::Values(UpsertCase{"NewPoint", 1000, 8, "a tenant named at length"},
                                         UpsertCase{"ReplacedSameLength", 7, 8, "b"},
                                         UpsertCase{"ReplacedOtherLength", 7, 50000, "a"}),
                       ::testing::Bool()),
    [](const auto& info) {
      return std::string(std::get<0>(info.param).name) + (std::get<1>(info.param) ? "FromThenOn" : "Once");
    });

// A fresh thread's first search or upsert makes the thread's working
// memory. When an allocation of that call fails, the caller gets the failure
// (std::bad_alloc from a search, which the bindings raise as MemoryError;
// ResourceExhausted from an upsert) and the thread's next call works.
class FirstCallFaults : public ::testing::TestWithParam<bool> {};

TEST_P(FirstCallFaults, AFailedAllocationReachesTheCaller) {
  if (!QUORBELL_FAILING_NEW) GTEST_SKIP() << "allocations cannot be made to fail under the address sanitizer";
  const bool upserting = GetParam();
  Segment segment;
  std::mt19937 rng(5);
  std::normal_distribution<float> normal;
  auto vector_of = [&] {
    Vec v(8);
    for (float& x : v) x = normal(rng);
    return v;
  };
  for (std::uint64_t id = 0; id < 600; ++id) ASSERT_TRUE(segment.upsert(id, vector_of(), std::nullopt));
  const Vec query = vector_of();
  const auto ids_of = [](const std::vector<SearchHit>& hits) {
    std::vector<std::uint64_t> ids;
    for (const SearchHit& hit : hits) ids.push_back(hit.id);
    return ids;
  };
  const auto expected = ids_of(segment.search(query, 10, Metric::Cosine, nullptr).value());
  // Each call on its own thread, with a new id, so every first upsert adds a point.
  const auto call = [&](std::uint64_t id) -> bool {
    if (!upserting) return ids_of(segment.search(query, 10, Metric::Cosine, nullptr).value()) == expected;
    const Status stored = segment.upsert(id, query, std::nullopt);
    if (!stored) {
      EXPECT_EQ(stored.error().kind, ErrorKind::ResourceExhausted);
    }
    return stored.ok();
  };
  long failures = 0;
  for (long n = 0;; ++n) {
    bool first = false, second = false;
    std::thread([&] {
      first = with_failing_allocation(n, false, [&] {
        try {
          return call(1000 + n);
        } catch (const std::bad_alloc&) {
          return false;
        }
      });
      second = call(1000 + n);
    }).join();
    ASSERT_TRUE(second) << n;
    if (first) break;
    ++failures;
  }
  EXPECT_GT(failures, 0);
}

INSTANTIATE_TEST_SUITE_P(Cases, FirstCallFaults, ::testing::Bool(),
                         [](const auto& info) { return std::string(info.param ? "Upsert" : "Search"); });

// A save or load that throws std::bad_alloc (the bindings raise it as
// MemoryError) or fails has changed nothing: not the store, not the file,
// and no temporary file is left beside it.
class SnapshotFaults : public ::testing::TestWithParam<std::tuple<bool, bool>> {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "quorbell-faults-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir_)) names.push_back(entry.path().filename().string());
    return names;
  }
  static ByteBuffer contents(const std::string& file) {
    std::ifstream in(file, std::ios::binary);
    return ByteBuffer(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
};

TEST_P(SnapshotFaults, AFailedAllocationChangesNothing) {
  if (!QUORBELL_FAILING_NEW) GTEST_SKIP() << "allocations cannot be made to fail under the address sanitizer";
  const auto& [saving, persist] = GetParam();
  const std::string path = (dir_ / "s.qb").string();
  Segment small, large;
  ASSERT_TRUE(small.upsert(1, Vec{1, 2}, std::nullopt));
  for (std::uint64_t id = 0; id < 40; ++id) {
    ASSERT_TRUE(large.upsert(id, Vec{float(id), 1, 2}, Payload::from_entries({{"tenant_id", payload_string("t")}})));
  }
  // Saving writes the large store over the small one's file; loading reads
  // that file into the small store.
  ASSERT_TRUE((saving ? small : large).save_to_disk(path));
  const ByteBuffer old_file = contents(path);
  Segment& store = saving ? large : small;
  const ByteBuffer old_store = snapshot_of(store);
  long failures = 0;
  for (long n = 0;; ++n) {
    const bool done = with_failing_allocation(n, persist, [&] {
      try {
        return (saving ? store.save_to_disk(path) : store.load(path)).ok();
      } catch (const std::bad_alloc&) {
        return false;
      }
    });
    ASSERT_EQ(entries(), std::vector<std::string>{"s.qb"}) << n;
    if (done) break;
    ++failures;
    ASSERT_EQ(contents(path), old_file) << n;
    ASSERT_EQ(snapshot_of(store), old_store) << n;
  }
  EXPECT_GT(failures, 0);
  // What an undisturbed save writes, or an undisturbed load holds.
  Segment loaded;
  ASSERT_TRUE(loaded.load(path));
  EXPECT_EQ(saving ? contents(path) : snapshot_of(store), snapshot_of(saving ? store : loaded));
}

INSTANTIATE_TEST_SUITE_P(Cases, SnapshotFaults, ::testing::Combine(::testing::Bool(), ::testing::Bool()),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param) ? "Save" : "Load") +
                                  (std::get<1>(info.param) ? "FromThenOn" : "Once");
                         });

}  // namespace
}  // namespace quorbell
