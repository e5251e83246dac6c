#include "parallel/worker_pool.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <thread>
#include <vector>

#include "parallel/batch_division.h"
#include "parallel/thread_count.h"

namespace quorbell {
namespace {

using namespace std::chrono_literals;

// Pools live until the process ends, so the tests share one per size.
WorkerPool& pool_of(std::size_t threads) {
  static std::mutex mutex;
  static std::map<std::size_t, WorkerPool*> pools;
  std::lock_guard lock(mutex);
  auto& pool = pools[threads];
  if (pool == nullptr) pool = WorkerPool::start(threads).value();
  return *pool;
}

struct Leaf {
  std::size_t begin;
  std::size_t end;
  std::thread::id thread;
  bool operator==(const Leaf&) const = default;
};

// Records which ranges ran, and on which thread.
class Recorder {
 public:
  void add(std::size_t begin, std::size_t end) {
    std::lock_guard lock(mutex_);
    leaves_.push_back(Leaf{begin, end, std::this_thread::get_id()});
  }

  std::vector<Leaf> sorted() const {
    std::lock_guard lock(mutex_);
    auto leaves = leaves_;
    std::sort(leaves.begin(), leaves.end(), [](const Leaf& a, const Leaf& b) { return a.begin < b.begin; });
    return leaves;
  }

  std::vector<std::pair<std::size_t, std::size_t>> ranges() const {
    std::vector<std::pair<std::size_t, std::size_t>> out;
    for (const Leaf& leaf : sorted()) out.emplace_back(leaf.begin, leaf.end);
    return out;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<Leaf> leaves_;
};

// Waits (bounded, so a broken pool fails instead of hanging) until `ready`.
bool wait_for(const std::atomic<bool>& ready) {
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  while (!ready.load()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(100us);
  }
  return true;
}

using Ranges = std::vector<std::pair<std::size_t, std::size_t>>;

struct BudgetCase {
  std::size_t threads;
  std::size_t splits;  // budget before the call
  std::size_t length;
  bool moved;
  bool splits_expected;
  std::size_t splits_after;
};

void PrintTo(const BudgetCase& c, std::ostream* out) {
  *out << "T" << c.threads << "_budget" << c.splits << "_length" << c.length << (c.moved ? "_moved" : "");
}

class SplitBudgetRule : public ::testing::TestWithParam<BudgetCase> {};

TEST_P(SplitBudgetRule, SpendsOrResetsTheBudget) {
  const BudgetCase& c = GetParam();
  SplitBudget budget(c.threads);
  while (budget.splits() > c.splits) ASSERT_TRUE(budget.try_split(2, false));
  ASSERT_EQ(budget.splits(), c.splits);
  EXPECT_EQ(budget.try_split(c.length, c.moved), c.splits_expected);
  EXPECT_EQ(budget.splits(), c.splits_after);
}

INSTANTIATE_TEST_SUITE_P(Rules, SplitBudgetRule,
                         ::testing::Values(BudgetCase{8, 8, 100, false, true, 4}, BudgetCase{8, 1, 100, false, true, 0},
                                           BudgetCase{8, 0, 100, false, false, 0},
                                           // A moved range is reset to at least T, and splits even at 0.
                                           BudgetCase{8, 0, 100, true, true, 8}, BudgetCase{8, 4, 100, true, true, 8},
                                           BudgetCase{3, 3, 100, true, true, 3},
                                           // A range of one item never splits, moved or not.
                                           BudgetCase{8, 8, 1, false, false, 8}, BudgetCase{8, 8, 1, true, false, 8},
                                           BudgetCase{8, 8, 0, false, false, 8}, BudgetCase{8, 0, 2, true, true, 8}));

TEST(DivideBatch, EmptyAndSingleBatchesRunOnTheCallingThread) {
  for (std::size_t count : {0, 1}) {
    Recorder recorder;
    Status status = divide_batch(pool_of(2), count, [&](std::size_t b, std::size_t e) {
      recorder.add(b, e);
      return Status();
    });
    ASSERT_TRUE(status.ok());
    EXPECT_EQ(recorder.sorted(), (std::vector<Leaf>{{0, count, std::this_thread::get_id()}}));
  }
}

// With one worker nothing is taken over, so the division is fixed: the top
// split (budget 1 -> 0) hands [0,4) to the worker as moved (budget reset to
// 1, so it splits twice more), while [4,8) inherits the spent budget and
// runs whole.
TEST(DivideBatch, OneWorkerTrace) {
  Recorder recorder;
  ASSERT_TRUE(divide_batch(pool_of(1), 8, [&](std::size_t b, std::size_t e) {
                recorder.add(b, e);
                return Status();
              }).ok());
  EXPECT_EQ(recorder.ranges(), (Ranges{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 8}}));
  const auto leaves = recorder.sorted();
  for (const Leaf& leaf : leaves) {
    EXPECT_EQ(leaf.thread, leaves.front().thread);
    EXPECT_NE(leaf.thread, std::this_thread::get_id());
  }
}

TEST(DivideBatch, IdleWorkerTakesTheOfferedHalf) {
  Recorder recorder;
  std::atomic<bool> second_started{false};
  ASSERT_TRUE(divide_batch(pool_of(2), 2, [&](std::size_t b, std::size_t e) {
                recorder.add(b, e);
                if (b == 1) second_started = true;
                // The first half holds its thread until the second runs
                // elsewhere, so only another worker can have taken it.
                if (b == 0 && !wait_for(second_started)) return Status(Error{ErrorKind::Fault, "stuck"});
                return Status();
              }).ok());
  const auto leaves = recorder.sorted();
  ASSERT_EQ(recorder.ranges(), (Ranges{{0, 1}, {1, 2}}));
  EXPECT_NE(leaves[0].thread, leaves[1].thread);
}

// [4,8) leaves the top split with budget 1. Taken over by the idle worker
// it is reset to 2 and cut down to single items; had it kept budget 1 it
// would have stopped at [4,6) and [6,8).
TEST(DivideBatch, TakenOverRangeIsCutFurther) {
  Recorder recorder;
  std::atomic<bool> upper_started{false};
  ASSERT_TRUE(divide_batch(pool_of(2), 8, [&](std::size_t b, std::size_t e) {
                recorder.add(b, e);
                if (b >= 4) upper_started = true;
                if (b == 0 && !wait_for(upper_started)) return Status(Error{ErrorKind::Fault, "stuck"});
                return Status();
              }).ok());
  EXPECT_EQ(recorder.ranges(), (Ranges{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 5}, {5, 6}, {6, 7}, {7, 8}}));
}

class DivideUneven : public ::testing::TestWithParam<std::size_t> {};

// Whatever the timing, the ranges cover the batch exactly once, run on
// workers only, and every slot gets its own item's result.
TEST_P(DivideUneven, CoversTheBatchOnceInOrder) {
  const std::size_t count = GetParam();
  const std::thread::id caller = std::this_thread::get_id();
  Recorder recorder;
  std::vector<std::size_t> slots(count, 0);
  ASSERT_TRUE(divide_batch(pool_of(3), count, [&](std::size_t b, std::size_t e) {
                recorder.add(b, e);
                for (std::size_t i = b; i < e; ++i) {
                  if (i % 5 == 0) std::this_thread::sleep_for(std::chrono::microseconds(50 * (i % 7)));
                  slots[i] += i + 1;
                }
                return Status();
              }).ok());
  std::size_t next = 0;
  for (const Leaf& leaf : recorder.sorted()) {
    EXPECT_EQ(leaf.begin, next);
    EXPECT_LT(leaf.begin, leaf.end);
    EXPECT_NE(leaf.thread, caller);
    next = leaf.end;
  }
  EXPECT_EQ(next, count);
  for (std::size_t i = 0; i < count; ++i) ASSERT_EQ(slots[i], i + 1) << i;
}

INSTANTIATE_TEST_SUITE_P(Sizes, DivideUneven, ::testing::Values(2, 3, 7, 64, 1000));

TEST(DivideBatch, CallersOutsideThePoolShareIt) {
  WorkerPool& pool = pool_of(2);
  std::vector<std::thread> callers;
  std::atomic<int> failures{0};
  for (int t = 0; t < 4; ++t) {
    callers.emplace_back([&] {
      for (int round = 0; round < 20; ++round) {
        std::vector<int> slots(100, 0);
        Status status = divide_batch(pool, slots.size(), [&](std::size_t b, std::size_t e) {
          for (std::size_t i = b; i < e; ++i) slots[i] = static_cast<int>(i);
          return Status();
        });
        for (std::size_t i = 0; i < slots.size(); ++i) {
          if (!status.ok() || slots[i] != static_cast<int>(i)) ++failures;
        }
      }
    });
  }
  for (auto& caller : callers) caller.join();
  EXPECT_EQ(failures.load(), 0);
}

enum class Fails { No, WithError, WithException };

struct FaultCase {
  const char* name;
  std::map<std::size_t, Fails> failing;  // by the range's first item
  std::size_t winner;                    // the range whose failure must arrive
  bool thrown;
};

class DivideFaults : public ::testing::TestWithParam<FaultCase> {};

// On one worker the ranges are [0,1) [1,2) [2,3) [3,4) [4,8). Whichever
// fail, every range still runs and the lowest failure arrives.
TEST_P(DivideFaults, LowestFailureWinsAfterEveryRangeRan) {
  const FaultCase& c = GetParam();
  WorkerPool& pool = pool_of(1);
  Recorder recorder;
  auto run_range = [&](std::size_t b, std::size_t e) -> Status {
    recorder.add(b, e);
    const auto found = c.failing.find(b);
    const Fails fails = found == c.failing.end() ? Fails::No : found->second;
    const std::string message = "range " + std::to_string(b);
    if (fails == Fails::WithException) throw std::runtime_error(message);
    if (fails == Fails::WithError) return Error{ErrorKind::Fault, message};
    return {};
  };
  const std::string expected = "range " + std::to_string(c.winner);
  if (c.thrown) {
    try {
      (void)divide_batch(pool, 8, run_range);
      ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& error) {
      EXPECT_EQ(error.what(), expected);
    }
  } else {
    Status status = divide_batch(pool, 8, run_range);
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().kind, ErrorKind::Fault);
    EXPECT_EQ(status.error().message, expected);
  }
  EXPECT_EQ(recorder.ranges(), (Ranges{{0, 1}, {1, 2}, {2, 3}, {3, 4}, {4, 8}}));

  // The pool goes on serving.
  Recorder after;
  ASSERT_TRUE(divide_batch(pool, 8, [&](std::size_t b, std::size_t e) {
                after.add(b, e);
                return Status();
              }).ok());
  EXPECT_EQ(after.ranges().size(), 5u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DivideFaults,
    ::testing::Values(FaultCase{"first_range", {{0, Fails::WithError}}, 0, false},
                      FaultCase{"second_half_only", {{4, Fails::WithError}}, 4, false},
                      FaultCase{"two_errors", {{4, Fails::WithError}, {1, Fails::WithError}}, 1, false},
                      FaultCase{"all_fail",
                                {{0, Fails::WithError},
                                 {1, Fails::WithError},
                                 {2, Fails::WithError},
                                 {3, Fails::WithError},
                                 {4, Fails::WithError}},
                                0,
                                false},
                      FaultCase{"exception_before_error", {{2, Fails::WithException}, {3, Fails::WithError}}, 2, true},
                      FaultCase{"error_before_exception", {{1, Fails::WithError}, {4, Fails::WithException}}, 1, false},
                      FaultCase{"exception_only", {{3, Fails::WithException}}, 3, true}),
    [](const auto& info) { return std::string(info.param.name); });

// With several workers the failure arrives only once the batch has settled:
// no range is still running when divide_batch returns.
TEST(DivideBatch, FailureArrivesAfterTheBatchSettled) {
  WorkerPool& pool = pool_of(3);
  std::atomic<int> running{0};
  std::atomic<int> ran{0};
  std::atomic<int> running_at_return{-1};
  for (int round = 0; round < 5; ++round) {
    ran = 0;
    Status status = divide_batch(pool, 32, [&](std::size_t b, std::size_t e) -> Status {
      ++running;
      ++ran;
      if (b == 0) {
        --running;
        return Error{ErrorKind::Fault, "first"};
      }
      std::this_thread::sleep_for(std::chrono::microseconds(300 * (e - b)));
      --running;
      return b >= 16 ? Status(Error{ErrorKind::Fault, "later"}) : Status();
    });
    running_at_return = running.load();
    ASSERT_FALSE(status.ok());
    EXPECT_EQ(status.error().message, "first");
    EXPECT_EQ(running_at_return.load(), 0);
    EXPECT_GT(ran.load(), 1);
  }
}

TEST(WorkerPool, ThreadThatCannotStartFailsThePool) {
  auto pool = WorkerPool::start(2, std::size_t{1} << 60);
  ASSERT_FALSE(pool.ok());
  EXPECT_EQ(pool.error().kind, ErrorKind::ResourceExhausted);
  EXPECT_TRUE(pool.error().message.view().starts_with("failed to start a worker thread: "))
      << pool.error().message.view();
}

TEST(WorkerPool, GlobalPoolIsCreatedOnce) {
  auto first = WorkerPool::global();
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(WorkerPool::global().value(), first.value());
  EXPECT_EQ(first.value()->thread_count(), system_thread_count());
}

}  // namespace
}  // namespace quorbell
