// Concurrency stress of one Segment: searches on the exact and the graph
// path, batches on the worker pool, upserts, saves and loads, all at once.
// Under a ThreadSanitizer build (-DQUORBELL_SANITIZE=thread) this is the
// race check; QUORBELL_STRESS_MS sets how long it runs (short by default,
// so the normal suite stays fast).
//
// The states are built so that a torn read shows. Loads flip the store
// between two generations: generation 0 holds 400 base points, so searches
// take the exact path and a full search returns every one of them;
// generation 1 holds 600, so searches go through the graph. A base point's
// payload names its generation and its vector is a function of its id and
// generation, so every hit's score tells which vector it was scored on and
// every hit must come from the same generation. Points upserted meanwhile
// ("extras", too few to move generation 0 onto the graph) carry in their
// payload the counter their vector was made from, so a half-replaced point
// shows as a score that matches neither its old nor its new vector.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "parallel/batch_search.h"
#include "scoring_oracles.h"
#include "storage/segment.h"
#include "storage/snapshot_codec.h"

namespace quorbell {
namespace {

using Vec = std::vector<float>;

constexpr std::size_t DIMENSION = 8;
constexpr std::size_t BASE_COUNT[2] = {400, 600};  // exact path, graph path
constexpr std::uint64_t EXTRA_FIRST = 1'000'000;
constexpr std::uint64_t EXTRA_COUNT = 40;  // 400 + 40 stays on the exact path
constexpr std::uint64_t GRAPH_HITS_MAX = 32;
constexpr std::uint64_t LIMIT = 10'000;  // more than any state holds
const std::string BASE = "base";

std::uint64_t mix(std::uint64_t x) {
  x += 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  return x ^ (x >> 31);
}

// A vector in [-1, 1)^DIMENSION determined by (a, b).
Vec vector_of(std::uint64_t a, std::uint64_t b) {
  Vec vector(DIMENSION);
  for (std::size_t i = 0; i < DIMENSION; ++i) {
    vector[i] = static_cast<float>(mix(mix(a) ^ (b * 31 + i)) >> 40) / static_cast<float>(1 << 23) - 1.0f;
  }
  return vector;
}

Vec base_vector(std::uint64_t id, std::int64_t generation) { return vector_of(id, 2 + generation); }
Vec extra_vector(std::uint64_t id, std::int64_t counter) { return vector_of(id, 1000 + counter); }

Payload payload_of(const char* tenant, std::int64_t generation) {
  return Payload::from_entries({{"tenant_id", Keyword{tenant}}, {"gen", generation}});
}

bool is_extra(std::uint64_t id) { return id >= EXTRA_FIRST; }

// Failures seen on any thread, reported by the test body afterwards.
class Failures {
 public:
  void add(const std::string& message) {
    std::lock_guard lock(mutex_);
    if (messages_.size() < 20) messages_.push_back(message);
    ++count_;
  }
  std::size_t count() const {
    std::lock_guard lock(mutex_);
    return count_;
  }
  std::string summary() const {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const auto& message : messages_) all += message + "\n";
    return all;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> messages_;
  std::size_t count_ = 0;
};

bool same_bits(float a, float b) { return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b); }

// Whether a search of a generation that gave `hits` pairs is exact:
// generation 0 always is, and generation 1 under the base tenant when its
// graph search came back short and the tenant's own points were scanned,
// which gives more hits than a graph search can.
bool exact_path(std::int64_t gen, const std::string* tenant, std::size_t hits) {
  return gen == 0 || (tenant != nullptr && hits > GRAPH_HITS_MAX);
}

// The score a base point's hit carries; a graph cosine score reuses the
// graph's distance.
float base_score(Metric metric, const Vec& query, std::uint64_t id, std::int64_t gen, bool exact) {
  const Vec vector = base_vector(id, gen);
  switch (metric) {
    case Metric::DotProduct:
      return dot_product(query, vector).value();
    case Metric::Euclidean:
      return euclidean_distance(query, vector).value();
    case Metric::Cosine:
      return exact ? cosine_similarity(query, vector).value() : 1.0f - cosine_distance(query, vector);
  }
  return 0.0f;
}

// Checks one search's pairs: extra points only without a tenant, each base
// id once, and one generation whose vectors give every base score, with as
// many hits as that generation's path gives.
void check_hits(const Vec& query, Metric metric, const std::string* tenant, const ResultPairs& pairs,
                Failures& failures) {
  bool possible[2] = {true, true};
  std::set<std::uint64_t> base_ids;
  for (const auto& [id, score] : pairs) {
    if (is_extra(id)) {
      if (tenant != nullptr) return failures.add("an extra point passed the base tenant filter");
      continue;
    }
    if (!base_ids.insert(id).second) return failures.add("an id twice in one result");
    for (std::int64_t gen : {0, 1}) {
      possible[gen] = possible[gen] && id < BASE_COUNT[gen] &&
                      same_bits(base_score(metric, query, id, gen, exact_path(gen, tenant, pairs.size())), score);
    }
  }
  if (!possible[0] && !possible[1]) return failures.add("a search saw two generations, or a torn point");
  // Both remain only when no base point came back, which only a graph
  // search of generation 1 may do.
  const std::int64_t gen = possible[1] ? 1 : 0;
  if (exact_path(gen, tenant, pairs.size()) && base_ids.size() != BASE_COUNT[gen]) {
    failures.add("an exact search missed points");
  }
}

// Checks a saved snapshot: one generation complete, every point whole,
// and a graph node for every point.
void check_snapshot(const std::string& path, Failures& failures) {
  std::ifstream file(path, std::ios::binary);
  const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file), {}};
  auto decoded = decode_snapshot(bytes);
  if (!decoded) return failures.add("a saved snapshot does not decode: " + std::string(decoded.error().message));
  const SnapshotState& state = decoded.value();
  std::optional<std::int64_t> generation;
  std::size_t base = 0;
  state.points.for_each([&](std::uint64_t key, const PointView& point) {
    if (point.payload == nullptr) return failures.add("a saved point without its payload");
    const std::int64_t gen = std::get<std::int64_t>(*point.payload->find("gen"));
    const Vec expected = is_extra(key) ? extra_vector(key, gen) : base_vector(key, gen);
    if (!std::equal(expected.begin(), expected.end(), point.vector.begin(), point.vector.end())) {
      failures.add("a saved point is not whole");
    }
    if (is_extra(key)) return;
    if (generation && *generation != gen) failures.add("a snapshot of two generations");
    generation = gen;
    ++base;
  });
  if (!generation || base != BASE_COUNT[*generation]) failures.add("a snapshot missing base points");
  if (state.index.node_count() != state.points.size()) failures.add("a snapshot whose graph and points differ");
}

// A reader's pause between rounds, 0 to 255 microseconds.
void pause(std::uint64_t round) { std::this_thread::sleep_for(std::chrono::microseconds(mix(round) % 256)); }

std::chrono::milliseconds stress_duration() {
  const char* text = std::getenv("QUORBELL_STRESS_MS");
  return std::chrono::milliseconds(text != nullptr ? std::strtoll(text, nullptr, 10) : 300);
}

class SegmentStress : public ::testing::Test {
 protected:
  void SetUp() override {
    directory_ = std::filesystem::temp_directory_path() / ("quorbell-stress-" + std::to_string(getpid()));
    std::filesystem::create_directories(directory_);
    for (std::int64_t gen : {0, 1}) {
      Segment builder;
      for (std::uint64_t id = 0; id < BASE_COUNT[gen]; ++id) {
        ASSERT_TRUE(builder.upsert(id, base_vector(id, gen), payload_of("base", gen)));
      }
      snapshots_[gen] = (directory_ / ("generation-" + std::to_string(gen))).string();
      ASSERT_TRUE(builder.save_to_disk(snapshots_[gen]));
    }
    ASSERT_TRUE(segment_.load(snapshots_[0]));
  }
  void TearDown() override { std::filesystem::remove_all(directory_); }

  // Runs each role on its own thread, over and over until the deadline
  // (each at least once). Readers pause between rounds: the locks favour
  // readers, and back-to-back readers would keep loads and upserts out.
  void run(const std::vector<std::function<void(std::uint64_t round)>>& roles) {
    const auto deadline = std::chrono::steady_clock::now() + stress_duration();
    std::vector<std::thread> threads;
    for (const auto& role : roles) {
      threads.emplace_back([&role, deadline] {
        std::uint64_t round = 0;
        do role(round++);
        while (std::chrono::steady_clock::now() < deadline);
      });
    }
    for (auto& thread : threads) thread.join();
  }

  std::filesystem::path directory_;
  std::string snapshots_[2];
  Segment segment_;
  Failures failures_;
};

TEST_F(SegmentStress, EverySearchSeesOneWholeState) {
  std::atomic<std::uint64_t> searches{0}, batches{0}, batch_queries{0}, upserts{0}, saves{0}, loads{0};
  std::atomic<std::int64_t> extra_counter{0};

  auto searcher = [&](std::uint64_t seed) {
    return [&, seed](std::uint64_t round) {
      static constexpr Metric METRICS[] = {Metric::DotProduct, Metric::Euclidean, Metric::Cosine};
      const Vec query = vector_of(seed, round);
      const Metric metric = METRICS[round % 3];
      const std::string* tenant = round % 2 ? &BASE : nullptr;
      auto hits = segment_.search(query, LIMIT, metric, tenant);
      if (!hits) return failures_.add("search failed: " + std::string(hits.error().message));
      ResultPairs pairs;
      for (const SearchHit& hit : hits.value()) pairs.emplace_back(hit.id, hit.score);
      check_hits(query, metric, tenant, pairs, failures_);
      ++searches;
      pause(round);
    };
  };
  auto batcher = [&](std::uint64_t seed) {
    return [&, seed](std::uint64_t round) {
      static constexpr std::size_t SIZES[] = {1, 2, 7, 33};
      std::vector<Vec> queries;
      for (std::size_t i = 0; i < SIZES[round % 4]; ++i) queries.push_back(vector_of(seed, round * 64 + i));
      auto results = run_batch(segment_, queries, LIMIT, Metric::DotProduct, &BASE);
      if (!results) return failures_.add("batch failed: " + std::string(results.error().message));
      if (results.value().size() != queries.size()) return failures_.add("a batch lost queries");
      for (std::size_t i = 0; i < queries.size(); ++i)
        check_hits(queries[i], Metric::DotProduct, &BASE, results.value()[i], failures_);
      ++batches;
      batch_queries += queries.size();
      pause(round);
    };
  };
  auto upserter = [&](std::uint64_t seed) {
    return [&, seed](std::uint64_t round) {
      const std::uint64_t id = EXTRA_FIRST + mix(seed ^ round) % EXTRA_COUNT;
      const std::int64_t counter = extra_counter++;
      const Status stored = segment_.upsert(id, extra_vector(id, counter), payload_of("extra", counter));
      if (!stored) return failures_.add("upsert failed: " + std::string(stored.error().message));
      ++upserts;
    };
  };
  auto saver = [&](std::uint64_t round) {
    const std::string path = (directory_ / ("saved-" + std::to_string(round % 2))).string();
    const Status saved = segment_.save_to_disk(path);
    if (!saved) return failures_.add("save failed: " + std::string(saved.error().message));
    check_snapshot(path, failures_);
    ++saves;
    pause(round);
  };
  auto loader = [&](std::uint64_t round) {
    const Status loaded = segment_.load(snapshots_[(round + 1) % 2]);
    if (!loaded) return failures_.add("load failed: " + std::string(loaded.error().message));
    ++loads;
  };

  run({searcher(1), searcher(2), searcher(3), batcher(4), batcher(5), upserter(6), upserter(7), saver, loader});

  std::printf("stress: %llu searches, %llu batches (%llu queries), %llu upserts, %llu saves, %llu loads\n",
              static_cast<unsigned long long>(searches), static_cast<unsigned long long>(batches),
              static_cast<unsigned long long>(batch_queries), static_cast<unsigned long long>(upserts),
              static_cast<unsigned long long>(saves), static_cast<unsigned long long>(loads));
  EXPECT_EQ(failures_.count(), 0u) << failures_.summary();
}

}  // namespace
}  // namespace quorbell
