#include "parallel/batch_search.h"

#include <atomic>

#include "parallel/batch_division.h"
#include "parallel/worker_pool.h"

namespace quorbell {

// The queries are divided among the process-wide pool; each range fills
// its own slots of the result array, so no slot is shared and no lock is
// needed. A query that faults ends its range, and the batch returns the
// fault of the lowest failing range once every range has settled; the
// results already produced are then freed with the array. An interruption
// is checked for between queries, so a stopped batch settles within one
// query per worker.
Result<std::vector<ResultPairs>> run_batch(const Segment& segment, std::span<const std::vector<float>> queries,
                                           std::uint64_t limit, Metric metric, const std::string* tenant,
                                           InterruptionCheck interrupted) {
  auto pool = WorkerPool::global();
  if (!pool) return pool.error();
  std::vector<ResultPairs> results(queries.size());
  Status interruption;  // written by the waiting thread only
  std::atomic<bool> stop{false};
  const auto check = [&] {
    if (stop.load(std::memory_order_relaxed)) return;
    interruption = interrupted();
    if (!interruption) stop.store(true, std::memory_order_relaxed);
  };
  const Status status = divide_batch(
      *pool.value(), queries.size(),
      [&](std::size_t begin, std::size_t end) -> Status {
        for (std::size_t i = begin; i < end; ++i) {
          if (stop.load(std::memory_order_relaxed)) return Error{ErrorKind::Interrupted, {}};
          auto hits = segment.search(queries[i], limit, metric, tenant);
          if (!hits) return hits.error();
          results[i].reserve(hits.value().size());
          for (const SearchHit& hit : hits.value()) results[i].emplace_back(hit.id, hit.score);
        }
        return {};
      },
      check);
  if (!interruption) return interruption.error();
  if (!status) return status.error();
  return results;
}

}  // namespace quorbell
