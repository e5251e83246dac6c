#include "parallel/batch_search.h"

#include <mutex>

#include "parallel/batch_division.h"
#include "parallel/worker_pool.h"

namespace quorbell {

namespace {

// How many queries a worker answers before it hands their results on:
// enough that handing over costs nothing next to the searches, few enough
// that the calling thread gets work early.
constexpr std::size_t RUN_LENGTH = 32;

// Runs [begin, end) of finished result slots, passed from the workers to
// the calling thread while a batch is in flight. The lock also makes the
// slots' contents visible to the thread that takes them.
class FinishedRuns {
 public:
  using Run = std::pair<std::size_t, std::size_t>;

  void add(std::size_t begin, std::size_t end) {
    std::lock_guard lock(mutex_);
    runs_.emplace_back(begin, end);
  }

  std::vector<Run> take() {
    std::lock_guard lock(mutex_);
    return std::exchange(runs_, {});
  }

 private:
  std::mutex mutex_;
  std::vector<Run> runs_;  // guarded by mutex_
};

}  // namespace

// The queries are divided among the process-wide pool; each range fills
// its own slots of the result array, so no slot is shared. A query that
// faults ends its range, and the batch returns the fault of the lowest
// failing range once every range has settled; the results already produced
// are then freed with the array.
Result<std::vector<ResultPairs>> run_batch(
    const Segment& segment, std::span<const std::vector<float>> queries, std::uint64_t limit,
    Metric metric, const std::string* tenant,
    FunctionRef<void(std::size_t first, std::span<const ResultPairs> results)> take_early) {
  auto pool = WorkerPool::global();
  if (!pool) return pool.error();
  std::vector<ResultPairs> results(queries.size());
  FinishedRuns finished;
  const auto run_range = [&](std::size_t begin, std::size_t end) -> Status {
    for (std::size_t i = begin, run_begin = begin; i < end; ++i) {
      auto hits = segment.search(queries[i], limit, metric, tenant);
      if (!hits) return hits.error();
      results[i].reserve(hits.value().size());
      for (const SearchHit& hit : hits.value()) results[i].emplace_back(hit.id, hit.score);
      if (i + 1 - run_begin == RUN_LENGTH || i + 1 == end) {
        finished.add(run_begin, i + 1);
        run_begin = i + 1;
      }
    }
    return {};
  };
  const auto hand_over = [&] {
    for (const auto& [begin, end] : finished.take()) {
      take_early(begin, std::span<const ResultPairs>(results).subspan(begin, end - begin));
    }
  };
  const Status status = divide_batch(*pool.value(), queries.size(), run_range, hand_over);
  if (!status) return status.error();
  return results;
}

}  // namespace quorbell
