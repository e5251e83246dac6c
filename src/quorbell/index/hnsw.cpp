#include "index/hnsw.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>

#include "core/distance.h"
#include "core/random.h"
#include "index/scorer.h"
#include "index/ranked_lists.h"
#include "index/visited_set.h"

namespace quorbell {

// Per-thread working memory of walks and searches, reused from call to call.
struct SearchScratch {
  VisitedSet visited;
  CandidateQueue candidates;
  ResultList results;
  std::vector<RankedSlot> sorted;
  // The neighbours gathered for one step, their slots and distances.
  std::vector<std::uint32_t> unresolved;
  std::vector<PointView> views;
  std::vector<std::uint32_t> view_slots;
  std::vector<float> distances;
};

namespace {
// How much of each gathered vector is requested ahead; the hardware
// prefetcher follows longer vectors on its own.
constexpr std::size_t kPrefetchedVectorBytes = 1024;

SearchScratch& thread_scratch() {
  thread_local SearchScratch scratch;
  return scratch;
}

// The graph's distance: 1 - cosine similarity, or FLOAT_MAX for a pair that
// cannot be compared.
float graph_distance(const Scorer& cosine, const PointView& point) {
  const auto similarity = cosine.score(point);
  return similarity ? 1.0f - *similarity : FLOAT_MAX;
}

// out[k] = graph_distance(cosine, points[k]) for every k.
void graph_distances(const Scorer& cosine, std::span<const PointView> points, float* out) {
  std::fill_n(out, points.size(), FLOAT_MAX);
  cosine.score_each(
      points.size(), [&](std::size_t k, PointView& point) { point = points[k]; return true; },
      [&](std::size_t k, float similarity) { out[k] = 1.0f - similarity; });
}
}  // namespace

std::uint64_t level_from_random(std::uint64_t r, std::uint64_t m) {
  constexpr std::uint64_t kTop = MAX_LAYERS - 1;
  const double u = static_cast<double>(r >> 11) * 0x1.0p-53;
  if (u == 0.0) return kTop;
  const double x = (-1.0 / std::log(static_cast<double>(m))) * std::log(u);
  // Truncation toward zero: below 1 (negative and NaN included) gives 0,
  // anything from 15 up, infinity included, is capped.
  if (!(x >= 1.0)) return 0;
  if (x >= static_cast<double>(kTop)) return kTop;
  return static_cast<std::uint64_t>(x);
}

std::uint64_t HNSWIndex::random_level() const { return level_from_random(thread_random_u64(), m); }

// The neighbours' data lie in several arrays, each a likely cache miss, so
// the work runs in stages over the whole list, each stage first asking for
// what the next one reads: the misses of all neighbours then overlap. When
// the graph was built by upserts, a node's slot is also its point's slot,
// so the first stage asks for that point record too, before the hint that
// confirms it has arrived.
void HNSWIndex::prefetch_list_targets(std::span<const std::uint32_t> list, const PointStore& points,
                                      const VisitedSet* visited) const {
  for (const std::uint32_t slot : list) {
    nodes_.prefetch_slot(slot);
    if (visited != nullptr) visited->prefetch(slot);
    if (slot < points.size()) points.prefetch(slot);
  }
}

void HNSWIndex::gather(std::span<const std::uint32_t> list, const PointStore& points,
                       const std::string* tenant, VisitedSet* visited, SearchScratch& scratch) const {
  prefetch_list_targets(list, points, visited);
  scratch.unresolved.clear();
  for (const std::uint32_t slot : list) {
    if (visited != nullptr && (!nodes_.examinable(nodes_.key(slot)) || visited->test_and_mark(slot))) continue;
    if (const std::uint32_t hint = nodes_.point_hint(slot); hint != slot && hint < points.size()) points.prefetch(hint);
    scratch.unresolved.push_back(slot);
  }
  scratch.views.clear();
  scratch.view_slots.clear();
  for (const std::uint32_t slot : scratch.unresolved) {
    const auto point = nodes_.point_at(Position{nodes_.key(slot), slot}, points);
    if (!point || !tenant_matches(point->payload, tenant)) continue;
    const auto* bytes = reinterpret_cast<const char*>(point->vector.data());
    const std::size_t size = std::min<std::size_t>(point->vector.size_bytes(), kPrefetchedVectorBytes);
    for (std::size_t offset = 0; offset < size; offset += 64) __builtin_prefetch(bytes + offset);
    scratch.views.push_back(*point);
    scratch.view_slots.push_back(slot);
  }
  scratch.distances.resize(scratch.views.size());
}

HNSWIndex::Stop HNSWIndex::stop_at(const Scorer& cosine, Position position, const PointStore& points) const {
  const auto point = nodes_.point_at(position, points);
  return Stop{position, point ? graph_distance(cosine, *point) : FLOAT_MAX};
}

HNSWIndex::Stop HNSWIndex::walk(const Scorer& cosine, Stop start, std::uint64_t layer, const PointStore& points,
                                const std::string* tenant, SearchScratch& scratch) const {
  if (nodes_.node_count() == 0 || layer >= MAX_LAYERS) return start;
  float best = start.distance;
  Position current = start.position;
  for (;;) {
    if (!nodes_.is_node(current.slot)) return Stop{current, best};
    const auto list = nodes_.links(current.slot, layer);
    if (list.empty() || points.empty()) return Stop{current, best};
    gather(list, points, tenant, nullptr, scratch);
    graph_distances(cosine, scratch.views, scratch.distances.data());
    // The first strictly closer neighbour in list order wins; a tie or a
    // NaN never moves the walk.
    std::uint32_t next = kNoSlot;
    for (std::size_t k = 0; k < scratch.views.size(); ++k) {
      if (scratch.distances[k] < best) {
        best = scratch.distances[k];
        next = scratch.view_slots[k];
      }
    }
    if (next == kNoSlot) return Stop{current, best};
    current = Position{nodes_.key(next), next};
  }
}

#ifdef QUORBELL_TEST_SEAMS
std::uint64_t HNSWIndex::search_layer(std::span<const float> query, std::uint64_t start,
                                      std::uint64_t layer, const PointStore& points,
                                      const std::string* tenant) const {
  const Scorer cosine(Metric::Cosine, query);
  return walk(cosine, stop_at(cosine, nodes_.position_of(start), points), layer, points, tenant, thread_scratch())
      .position.id;
}
#endif

// Everything an insert changes that its rollback must take back. Slots
// made for new ids stay: without links or a node they change nothing.
struct HNSWIndex::InsertLog {
  std::optional<std::uint64_t> entry_point;
  std::uint64_t max_level;
  std::size_t node_count;
  std::uint64_t largest_node_key;
  // The links appended, in order: at most a back and a forward link per
  // layer.
  std::array<GraphNodes::Appended, 2 * MAX_LAYERS> appended;
  std::size_t appended_count = 0;

  void append(GraphNodes& nodes, std::uint32_t slot, std::uint64_t layer, std::uint32_t target) {
    nodes.append_logged(slot, layer, target, appended[appended_count]);
    ++appended_count;
  }
};

void HNSWIndex::roll_back(std::uint64_t id, const InsertLog& log) noexcept {
  for (std::size_t k = log.appended_count; k-- > 0;) nodes_.take_back(log.appended[k]);
  if (log.node_count != nodes_.node_count()) {
    // The node was new: its lists go with it.
    nodes_.drop_node(nodes_.position_of(id).slot, log.node_count, log.largest_node_key);
  }
  entry_point = log.entry_point;
  max_level = log.max_level;
}

void HNSWIndex::relink(std::uint32_t self, Position current, std::uint64_t layer, InsertLog& log) {
  if (current.slot == self) return;
  if (current.slot == kNoSlot) current.slot = nodes_.slot_for(current.id);
  const auto holds = [&](std::uint32_t slot, std::uint32_t target) {
    const auto list = nodes_.links(slot, layer);
    return std::find(list.begin(), list.end(), target) != list.end();
  };
  if (nodes_.is_node(current.slot) && nodes_.links(current.slot, layer).size() < m && !holds(current.slot, self)) {
    log.append(nodes_, current.slot, layer, self);
  }
  if (nodes_.links(self, layer).size() < std::max<std::uint64_t>(m, 1) && !holds(self, current.slot)) {
    log.append(nodes_, self, layer, current.slot);
  }
}

void HNSWIndex::insert(std::uint64_t id, const PointStore& points) {
  const auto slot = points.slot_of(id);
  if (!slot) return;
  InsertLog log{entry_point, max_level, nodes_.node_count(), nodes_.largest_node_key(), {}};
  try {
    link(id, *slot, points, log);
  } catch (...) {
    roll_back(id, log);
    throw;
  }
}

void HNSWIndex::link(std::uint64_t id, std::uint32_t point_slot, const PointStore& points, InsertLog& log) {
  const std::uint64_t level = random_level();
  const std::uint32_t existing = nodes_.position_of(id).slot;
  const bool reinsert = nodes_.is_node(existing);
  std::array<std::uint32_t, MAX_LAYERS> forward{};
  std::array<std::span<const std::uint32_t>, MAX_LAYERS> lists{};

  if (entry_point) {
    SearchScratch& scratch = thread_scratch();
    const PointView point = points.view(point_slot);
    const Scorer cosine(Metric::Cosine, point.vector, point.squared_norm);
    Stop stop = stop_at(cosine, nodes_.position_of(*entry_point), points);
    // Layers above 15 hold no links; a walk there would not move.
    for (std::uint64_t layer = std::min(max_level, MAX_LAYERS - 1); layer > level; --layer) {
      stop = walk(cosine, stop, layer, points, nullptr, scratch);
    }
    const std::uint64_t top = std::min(level, max_level);
    for (std::uint64_t layer = top + 1; layer-- > 0;) {
      stop = walk(cosine, stop, layer, points, nullptr, scratch);
      Position& current = stop.position;
      if (reinsert) {
        relink(existing, current, layer, log);
        continue;
      }
      // Back link: only to a stored node whose list still has room.
      if (nodes_.is_node(current.slot) && nodes_.links(current.slot, layer).size() < m) {
        log.append(nodes_, current.slot, layer, nodes_.slot_for(id));
      }
      if (current.slot == kNoSlot) current.slot = nodes_.slot_for(current.id);
      forward[layer] = current.slot;
      lists[layer] = std::span<const std::uint32_t>(&forward[layer], 1);
    }
  }
  if (reinsert) {
    nodes_.set_node_id(existing, id);
  } else {
    nodes_.store_node(id, id, lists);
  }
  if (!entry_point || level > max_level) {
    max_level = level;
    entry_point = id;
  }
  nodes_.set_point_hint(nodes_.slot_for(id), point_slot);
}

std::vector<Candidate> HNSWIndex::search_knn(std::span<const float> query, const PointStore& points,
                                             const std::string* tenant) const {
  return search_knn(Scorer(Metric::Cosine, query), points, tenant);
}

std::vector<Candidate> HNSWIndex::search_knn(const Scorer& cosine, const PointStore& points,
                                             const std::string* tenant) const {
  if (!entry_point) return {};
  SearchScratch& scratch = thread_scratch();
  Stop stop = stop_at(cosine, nodes_.position_of(*entry_point), points);
  for (std::uint64_t layer = std::min(max_level, MAX_LAYERS - 1); layer >= 1; --layer) {
    stop = walk(cosine, stop, layer, points, tenant, scratch);
  }
  const Position current = stop.position;
  if (!nodes_.point_at(current, points)) return {};

  // The start pair is admitted whatever the filter says of it.
  VisitedSet& visited = scratch.visited;
  CandidateQueue& candidates = scratch.candidates;
  ResultList& results = scratch.results;
  visited.begin_query(nodes_.slot_count());
  candidates.clear();
  results.clear();
  std::uint32_t sequence = 0;
  const RankedSlot first = ranked_slot(stop.distance, sequence++, current.slot);
  candidates.push(first);
  results.append(first);
  if (current.slot != kNoSlot && nodes_.examinable(current.id)) visited.test_and_mark(current.slot);

  while (!candidates.empty()) {
    const RankedSlot expanded = candidates.pop_first();
    // Every admission of this expansion compares against the worst distance
    // as it stands now.
    const float worst = results.worst();
    if (!nodes_.is_node(expanded.slot)) continue;
    gather(nodes_.base_links(expanded.slot), points, tenant, &visited, scratch);
    // Most expansions are followed by the best candidate left now, and that
    // one by one of its two heap children: load ahead for them while this
    // expansion's distances are computed.
    if (!candidates.empty() && nodes_.is_node(candidates.first().slot)) {
      prefetch_list_targets(nodes_.base_links(candidates.first().slot), points, &visited);
    }
    for (const RankedSlot& runner : candidates.front_runners()) {
      if (runner.slot != kNoSlot) nodes_.prefetch_base_links(runner.slot);
    }
    graph_distances(cosine, scratch.views, scratch.distances.data());
    for (std::size_t k = 0; k < scratch.views.size(); ++k) {
      const float distance = scratch.distances[k];
      if (!(distance < worst) && results.size() >= ef_search) continue;
      const RankedSlot pair = ranked_slot(distance, sequence++, scratch.view_slots[k]);
      candidates.push(pair);
      results.append_bounded(pair, ef_search);
    }
  }

  results.drain_sorted(scratch.sorted);
  std::vector<Candidate> found;
  found.reserve(scratch.sorted.size());
  for (const RankedSlot& pair : scratch.sorted) {
    found.push_back(Candidate{pair.distance, pair.slot == kNoSlot ? current.id : nodes_.key(pair.slot)});
  }
  return found;
}

}  // namespace quorbell
