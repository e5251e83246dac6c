// How a search is answered: the exact scan for small stores, the graph
// above, a scan of the tenant's own points for a filtered search of all
// but the largest tenants, and the rescoring of the graph's candidates
// under the requested metric. Every score comes from one Scorer
// (index/scorer.h).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/distance.h"
#include "core/graph_threshold.h"
#include "core/point_store.h"
#include "core/search_hit.h"
#include "index/hnsw.h"

namespace quorbell {

// A filtered search of a tenant of at most this many points scans them
// instead of walking the graph: so few points cost little to scan, and the
// answer is exact.
inline constexpr std::size_t TENANT_SCAN_MAX = 10'000;

// Whether a filtered search of a tenant of `count` points in a store of
// `store_points` walks the graph rather than scanning the tenant: above
// TENANT_SCAN_MAX points, and only while count * count > 1000 * store_points
// (a smaller share of the store spends most of a walk on other points).
// The bounds are fixed for compatibility.
inline bool tenant_is_walked(std::uint64_t count, std::uint64_t store_points) {
  return count > TENANT_SCAN_MAX && count * count > 1000 * store_points;
}

// The `limit` best hits for the query: an exact scan below GRAPH_THRESHOLD
// points or without an entry point, else the graph's candidates rescored.
// A filtered search scans the tenant's points unless tenant_is_walked, and
// also when the walk spent its budget or came back with fewer hits than
// min(limit, the walk's reach) while the tenant has more. An exact scan of
// the whole store sums from the store's scan copy when it keeps one. The
// caller holds both read locks.
std::vector<SearchHit> search_points(std::span<const float> query, std::uint64_t limit, Metric metric,
                                     const PointStore& points, const HNSWIndex& index, const std::string* tenant);

}  // namespace quorbell
