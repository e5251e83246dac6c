#include "parallel/batch_division.h"

#include <algorithm>

namespace quorbell {

bool SplitBudget::try_split(std::size_t length, bool moved) {
  if (length / 2 < 1) return false;
  if (moved) {
    splits_ = std::max(splits_ / 2, threads_);
    return true;
  }
  if (splits_ == 0) return false;
  splits_ /= 2;
  return true;
}

namespace {

struct Division {
  WorkerPool& pool;
  FunctionRef<Status(std::size_t, std::size_t)> run_range;

  Status divide(std::size_t begin, std::size_t end, SplitBudget budget, bool moved) const {
    if (!budget.try_split(end - begin, moved)) return run_range(begin, end);
    return halve(begin, end, budget, false);
  }

  // Both halves carry the budget left after the split. Only the top split's
  // first half can start out moved: it runs on a worker, not on the thread
  // that decided the split.
  Status halve(std::size_t begin, std::size_t end, SplitBudget budget, bool first_moved) const {
    const std::size_t mid = begin + (end - begin) / 2;
    return pool.join([&] { return divide(begin, mid, budget, first_moved); },
                     [&](bool moved) { return divide(mid, end, budget, moved); });
  }
};

}  // namespace

Status divide_batch(WorkerPool& pool, std::size_t count,
                    FunctionRef<Status(std::size_t begin, std::size_t end)> run_range,
                    FunctionRef<void()> while_waiting) {
  const Division division{pool, run_range};
  SplitBudget budget(pool.thread_count());
  if (!budget.try_split(count, false)) return run_range(0, count);
  return pool.run([&] { return division.halve(0, count, budget, true); }, while_waiting);
}

}  // namespace quorbell
