// How a search is answered: the exact scan for small stores, the graph
// above, and the rescoring of the graph's candidates under the requested
// metric. Every score comes from one Scorer (index/scorer.h).
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
// instead of walking the graph, which finds only part of a tenant's
// nearest: measured (bench/bench_filtered.py), such a scan costs up to
// about three times a filtered walk.
inline constexpr std::size_t TENANT_SCAN_MAX = 10'000;

// The `limit` best hits for the query: an exact scan below GRAPH_THRESHOLD
// points or without an entry point, else, for a tenant of at most
// TENANT_SCAN_MAX points, an exact scan of the tenant's points, else the
// graph's candidates rescored; a filtered graph search that finds fewer
// hits than min(limit, ef_search) while the tenant has more is answered by
// an exact scan of the tenant's points too. An exact scan of the whole store sums from the store's scan
// copy when it keeps one. The caller holds both read locks.
std::vector<SearchHit> search_points(std::span<const float> query, std::uint64_t limit, Metric metric,
                                     const PointStore& points, const HNSWIndex& index, const std::string* tenant);

}  // namespace quorbell
