// Exact k-nearest-neighbour search: score every point, sort, cut.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/distance.h"
#include "core/point_store.h"
#include "core/search_hit.h"

namespace quorbell {

// Scores every point that passes the tenant filter under the metric (points
// that cannot be scored are left out), orders the hits by the metric with
// ties in store iteration order, and keeps the first `limit`. The caller
// holds the store's read lock.
std::vector<SearchHit> search_exact_knn(std::span<const float> query, std::uint64_t limit,
                                        Metric metric, const PointStore& points,
                                        const std::string* tenant);

}  // namespace quorbell
