// The fan-out behind VectorStorage.batch_search. Works on native values
// only and never touches a Python object.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/distance.h"
#include "core/result.h"
#include "parallel/function_ref.h"
#include "storage/segment.h"

namespace quorbell {

// One query's hits as (point id, score), best first.
using ResultPairs = std::vector<std::pair<std::uint64_t, float>>;

// Runs every query through Segment::search; results in query order. While
// the workers run, the calling thread is handed runs of finished results,
// each run once, as take_early(first query, results): it can turn them
// into its own form before the rest are done. `take_early` must not throw.
// Every result is returned at the end, the early ones included.
Result<std::vector<ResultPairs>> run_batch(
    const Segment& segment, std::span<const std::vector<float>> queries, std::uint64_t limit,
    Metric metric, const std::string* tenant,
    FunctionRef<void(std::size_t first, std::span<const ResultPairs> results)> take_early);

}  // namespace quorbell
