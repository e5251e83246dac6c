// Division of a batch among the pool's workers by recursive halving.
//
// The batch [0, count) is cut in halves while a split budget allows it. The
// budget starts at the pool's thread count T and halves with every split,
// so a batch first falls into about T ranges. A range that moved to another
// thread (a half taken by an idle worker) gets its budget raised back to T,
// so work that idle workers take over is cut further and uneven queries
// still spread over every worker.
#pragma once

#include <cstddef>

#include "core/result.h"
#include "parallel/function_ref.h"
#include "parallel/worker_pool.h"

namespace quorbell {

class SplitBudget {
 public:
  explicit SplitBudget(std::size_t threads) : threads_(threads), splits_(threads) {}

  // Whether a range of `length` items splits, spending budget if it does.
  // A range splits only when both halves are non-empty; a moved range
  // always does (its budget becomes max(budget/2, T)); otherwise it splits
  // while its budget is not exhausted (budget becomes budget/2).
  bool try_split(std::size_t length, bool moved);

  std::size_t splits() const { return splits_; }

 private:
  std::size_t threads_;
  std::size_t splits_;
};

// Calls run_range(begin, end) once for each range of a division of
// [0, count), each on one thread. A batch of 0 or 1 items runs on the
// calling thread; a larger one is handed to the pool while the calling
// thread sleeps, calling `while_waiting` every few milliseconds
// (WorkerPool::run). Returns only when every range has settled, with the
// failure of the failing range at the lowest positions, if any. A failing
// range stops itself; the other ranges still run.
Status divide_batch(
    WorkerPool& pool, std::size_t count, FunctionRef<Status(std::size_t begin, std::size_t end)> run_range,
    FunctionRef<void()> while_waiting = [] {});

}  // namespace quorbell
