#include "index/search.h"

#include <algorithm>

#include "index/scorer.h"
#include "index/top_hits.h"

namespace quorbell {

namespace {

// The hits of an exact scan, in hit order, from its best `limit`.
std::vector<SearchHit> hits_of(TopHits& best, const PointStore& points) {
  const std::vector<TopHits::Hit>& kept = best.sorted();
  std::vector<SearchHit> hits;
  hits.reserve(kept.size());
  for (const TopHits::Hit& hit : kept) hits.push_back(SearchHit{points.view(hit.slot).id, hit.score});
  return hits;
}

// Scores the points at slot_at(0) to slot_at(count - 1), ascending slots,
// that pass the tenant filter (points that cannot be scored are left out),
// orders the hits by the metric with ties in store iteration order, and
// keeps the first `limit`; only the best `limit` are ever held in order.
template <class SlotAt>
std::vector<SearchHit> search_exact_knn(std::span<const float> query, std::uint64_t limit, Metric metric,
                                        const PointStore& points, const std::string* tenant, std::size_t count,
                                        SlotAt slot_at) {
  // Nothing to score: skip the scorer's setup (the query's norm) too.
  if (limit == 0 || count == 0) return {};
  TopHits best(metric, limit, count);
  Scorer(metric, query).score_each(
      count,
      [&](std::size_t k, PointView& point) {
        point = points.view(slot_at(k));
        return points.tenant_matches(slot_at(k), tenant);
      },
      [&](std::size_t k, float score) { best.offer(slot_at(k), score); });
  return hits_of(best, points);
}

// The same scan of the whole store, summed from its lane-order copy.
std::vector<SearchHit> search_exact_blocks(std::span<const float> query, std::uint64_t limit, Metric metric,
                                           const PointStore& points, const ScanBlocks& blocks,
                                           const std::string* tenant) {
  if (limit == 0 || points.empty()) return {};
  TopHits best(metric, limit, points.size());
  const Scorer scorer(metric, query);
  scorer.score_blocks(blocks, points, [&](std::size_t begin, std::size_t end, const float* scores) {
    for (std::size_t slot = begin; slot < end; ++slot) {
      const float score = scores[slot - begin];
      // Most points of a long scan end here, before their record is read.
      if (!best.may_keep(score)) continue;
      const PointView point = points.view(static_cast<std::uint32_t>(slot));
      if (scorer.scorable(point) && points.tenant_matches(static_cast<std::uint32_t>(slot), tenant)) {
        best.offer(static_cast<std::uint32_t>(slot), score);
      }
    }
  });
  return hits_of(best, points);
}

// Takes the first `limit` candidates, in cosine order, that are stored,
// pass the filter and can be scored (as in the exact scan), and orders them
// by the metric. A cosine score reuses the candidate's distance, so it is
// 1 - (1 - similarity), not the similarity.
std::vector<SearchHit> search_graph(std::span<const float> query, std::uint64_t limit, Metric metric,
                                    const PointStore& points, const HNSWIndex& index,
                                    const std::string* tenant) {
  std::vector<SearchHit> hits;
  if (limit == 0) return hits;
  const Scorer scorer(metric, query);
  // A cosine scorer serves the graph too: the query's sum of squares is
  // taken once.
  const auto candidates =
      metric == Metric::Cosine ? index.search_knn(scorer, points, tenant) : index.search_knn(query, points, tenant);
  for (const Candidate& candidate : candidates) {
    const PointView point = points.view(candidate.point_slot);
    if (!tenant_matches(point.payload, tenant) || !scorer.scorable(point)) continue;
    const float score = metric == Metric::Cosine ? 1.0f - candidate.distance : *scorer.score(point);
    hits.push_back(SearchHit{point.id, score});
    if (hits.size() >= limit) break;
  }
  sort_by_metric(hits, metric, [](const SearchHit& h) { return h.score; });
  return hits;
}

}  // namespace

std::vector<SearchHit> search_points(std::span<const float> query, std::uint64_t limit, Metric metric,
                                     const PointStore& points, const HNSWIndex& index, const std::string* tenant) {
  if (points.size() < GRAPH_THRESHOLD || !index.entry_point) {
    const ScanBlocks* blocks = points.scan_blocks();
    if (blocks != nullptr && blocks->width() == query.size()) {
      return search_exact_blocks(query, limit, metric, points, *blocks, tenant);
    }
    return search_exact_knn(query, limit, metric, points, tenant, points.size(),
                            [](std::size_t k) { return static_cast<std::uint32_t>(k); });
  }
  // A walk confined to one tenant's points reaches only part of them, since
  // the graph links each point to a diverse few of all points. So a tenant
  // small enough to scan at about a walk's cost is scanned: exact answers.
  const auto scan_tenant = [&](std::span<const std::uint32_t> slots) {
    return search_exact_knn(query, limit, metric, points, tenant, slots.size(),
                            [&](std::size_t k) { return slots[k]; });
  };
  const std::span<const std::uint32_t> slots =
      tenant != nullptr ? points.tenant_slots(*tenant) : std::span<const std::uint32_t>{};
  if (tenant != nullptr && slots.size() <= TENANT_SCAN_MAX) return scan_tenant(slots);
  std::vector<SearchHit> hits = search_graph(query, limit, metric, points, index, tenant);
  // The filtered walk may not step through other tenants' points, so it can
  // stall far short of the tenant's points. When it found fewer than a
  // graph search can (limit, or ef_search at most) and fewer than could be
  // found, the tenant's own points are scanned instead: the cost follows
  // the tenant's size, not the store's.
  const std::uint64_t enough = std::min<std::uint64_t>(limit, std::max<std::uint64_t>(index.ef_search, 1));
  if (tenant == nullptr || hits.size() >= enough) return hits;
  const auto same_length = static_cast<std::size_t>(std::count_if(
      slots.begin(), slots.end(), [&](std::uint32_t slot) { return points.view(slot).vector.size() == query.size(); }));
  if (same_length <= hits.size()) return hits;
  return scan_tenant(slots);
}

}  // namespace quorbell
