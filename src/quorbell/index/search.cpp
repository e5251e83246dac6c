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
  const PointStore::TenantFilter filter = points.tenant_filter(tenant);
  Scorer(metric, query)
      .score_each(
          count,
          [&](std::size_t k, PointView& point) {
            point = points.view(slot_at(k));
            return points.passes(slot_at(k), filter);
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
  const PointStore::TenantFilter filter = points.tenant_filter(tenant);
  scorer.score_blocks(blocks, points, [&](std::size_t begin, std::size_t end, const float* scores) {
    for (std::size_t slot = begin; slot < end; ++slot) {
      const float score = scores[slot - begin];
      // Most points of a long scan end here, before their record is read.
      if (!best.may_keep(score)) continue;
      const PointView point = points.view(static_cast<std::uint32_t>(slot));
      if (scorer.scorable(point) && points.passes(static_cast<std::uint32_t>(slot), filter)) {
        best.offer(static_cast<std::uint32_t>(slot), score);
      }
    }
  });
  return hits_of(best, points);
}

// The graph's answer: the first `limit` candidates, in cosine order, that
// are stored, pass the filter and can be scored (as in the exact scan),
// ordered by the metric. A cosine score reuses the candidate's distance, so
// it is 1 - (1 - similarity), not the similarity. Nothing when the walk
// spent its budget first (`exhausted`).
struct GraphAnswer {
  std::vector<SearchHit> hits;
  bool exhausted = false;
};

GraphAnswer search_graph(std::span<const float> query, std::uint64_t limit, Metric metric, const PointStore& points,
                         const HNSWIndex& index, const HNSWIndex::KnnQuery& walk) {
  GraphAnswer answer;
  if (limit == 0) return answer;
  const Scorer scorer(metric, query);
  // A cosine scorer serves the graph too: the query's sum of squares is
  // taken once.
  const auto found = metric == Metric::Cosine ? index.search_knn(scorer, points, walk)
                                              : index.search_knn(Scorer(Metric::Cosine, query), points, walk);
  answer.exhausted = found.exhausted;
  const PointStore::TenantFilter filter = points.tenant_filter(walk.tenant);
  for (const Candidate& candidate : found.pairs) {
    if (!points.passes(candidate.point_slot, filter)) continue;
    const PointView point = points.view(candidate.point_slot);
    if (!scorer.scorable(point)) continue;
    const float score = metric == Metric::Cosine ? 1.0f - candidate.distance : *scorer.score(point);
    answer.hits.push_back(SearchHit{point.id, score});
    if (answer.hits.size() >= limit) break;
  }
  // Cosine hits come nearest first, so their scores 1 - distance already
  // descend (subtraction keeps the order; equal scores stay in the
  // candidates' order, as the stable sort would leave them), NaNs last.
  if (metric != Metric::Cosine) sort_by_metric(answer.hits, metric, [](const SearchHit& h) { return h.score; });
  return answer;
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
  if (tenant == nullptr) return search_graph(query, limit, metric, points, index, {nullptr, limit}).hits;
  const auto scan_tenant = [&](std::span<const std::uint32_t> slots) {
    return search_exact_knn(query, limit, metric, points, tenant, slots.size(),
                            [&](std::size_t k) { return slots[k]; });
  };
  const std::span<const std::uint32_t> slots = points.tenant_slots(*tenant);
  if (!tenant_is_walked(slots.size(), points.size())) return scan_tenant(slots);
  // The walk steps through every point and keeps the tenant's. One that
  // spends a quarter of the tenant's size in distances with candidates
  // left is given up for the scan, which is exact: a filtered search costs
  // at most a little more than scanning its tenant.
  auto [hits, exhausted] = search_graph(query, limit, metric, points, index, {tenant, limit, slots.size() / 4});
  if (exhausted) return scan_tenant(slots);
  // A walk that found fewer than it could (limit, or its reach at most),
  // while the tenant holds more, is answered by the tenant's scan.
  const std::uint64_t enough = std::min<std::uint64_t>(limit, index.reach(limit, points.size()));
  if (hits.size() >= enough) return hits;
  const auto same_length = static_cast<std::size_t>(std::count_if(
      slots.begin(), slots.end(), [&](std::uint32_t slot) { return points.view(slot).vector.size() == query.size(); }));
  if (same_length <= hits.size()) return hits;
  return scan_tenant(slots);
}

}  // namespace quorbell
