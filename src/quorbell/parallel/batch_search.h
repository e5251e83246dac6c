// The fan-out behind VectorStorage.batch_search. Works on native values
// only and never touches a Python object.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/distance.h"
#include "core/result.h"
#include "storage/segment.h"

namespace quorbell {

// One query's hits as (point id, score), best first.
using ResultPairs = std::vector<std::pair<std::uint64_t, float>>;

// Runs every query through Segment::search; results in query order. While
// the workers run, the calling thread asks `interrupted` every few
// milliseconds; once it fails, no further query starts, and the batch
// returns its error when no worker runs one of its queries any more.
Result<std::vector<ResultPairs>> run_batch(const Segment& segment, std::span<const std::vector<float>> queries,
                                           std::uint64_t limit, Metric metric, const std::string* tenant,
                                           InterruptionCheck interrupted = never_interrupted);

}  // namespace quorbell
