#include "index/hnsw.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <limits>
#include <new>

#include "core/distance.h"
#include "core/growth.h"
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

// Appends to a node's upper list, after the ids of layers 1 to top that end
// at ends[1] to ends[top] (ends[0] is where they begin), where each
// non-empty layer's ids end and the mask of the non-empty layers.
template <class Append>
void append_upper_index(std::span<const std::size_t> ends, std::uint64_t top, Append append) {
  std::uint32_t mask = 0;
  for (std::uint64_t layer = 1; layer <= top; ++layer) {
    if (ends[layer] == ends[layer - 1]) continue;
    append(static_cast<std::uint32_t>(ends[layer] - ends[0]));
    mask |= 1u << layer;
  }
  append(mask);
}

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

HNSWIndex::Position HNSWIndex::position_of(std::uint64_t id) const {
  return Position{id, slot_of_.find(id, key_of()).value_or(kNoSlot)};
}

std::uint32_t HNSWIndex::slot_for(std::uint64_t id) {
  if (auto slot = slot_of_.find(id, key_of())) return *slot;
  if (slots_.size() >= kNoSlot - 1) throw std::bad_alloc();
  const auto slot = static_cast<std::uint32_t>(slots_.size());
  slots_.push_back(SlotInfo{id, kNoSlot, kNotANode});
  slot_of_.insert(id, slot, key_of());
  return slot;
}

void HNSWIndex::reserve_nodes(std::size_t count) {
  slots_.reserve(slots_.size() + count);
  slot_of_.reserve(slot_of_.size() + count, key_of());
  base_.reserve(base_.count() + count);
}

void HNSWIndex::make_node(std::uint32_t slot, std::uint64_t node_id) {
  const std::uint64_t key = slots_[slot].key;
  foreign_ids_.set(slot, key, node_id);
  if (is_node(slot)) return;
  // Only nodes have base lists: an id that links name but no node holds
  // costs no list head (a crafted file may name millions).
  if (base_.count() <= slot) base_.resize(std::size_t{slot} + 1);
  slots_[slot].upper_lists = kNoUpperLists;
  largest_node_key_ = node_count_ == 0 ? key : std::max(largest_node_key_, key);
  ++node_count_;
}

std::span<const std::uint32_t> HNSWIndex::upper_layer(std::span<const std::uint32_t> all, std::uint64_t layer) {
  const std::uint32_t mask = all.back();
  if ((mask >> layer & 1) == 0) return {};
  const auto ends = all.first(all.size() - 1).last(static_cast<std::size_t>(std::popcount(mask)));
  const auto below = static_cast<std::size_t>(std::popcount(mask & ((1u << layer) - 1)));
  const std::uint32_t begin = below == 0 ? 0 : ends[below - 1];
  return all.subspan(begin, ends[below] - begin);
}

std::span<const std::uint32_t> HNSWIndex::links(std::uint32_t slot, std::uint64_t layer) const {
  if (layer == 0) return base_.list(slot);
  const std::uint32_t packed = slots_[slot].upper_lists;
  if (packed == kNotANode || layer > upper_top(packed)) return {};
  return upper_layer(upper_.list(upper_index(packed)), layer);
}

std::size_t HNSWIndex::upper_list(std::uint32_t slot, std::uint64_t top) {
  std::uint32_t& packed = slots_[slot].upper_lists;
  std::size_t index = upper_index(packed);
  if (upper_top(packed) == 0) {
    index = upper_.count();
    if (index >= kUpperListsLimit) throw std::bad_alloc();
    upper_.resize(index + 1);
  }
  packed = static_cast<std::uint32_t>(index << 4) | static_cast<std::uint32_t>(top);
  return index;
}

void HNSWIndex::assign_upper(std::uint32_t slot, std::uint64_t top,
                             const std::array<std::span<const std::uint32_t>, MAX_LAYERS>& lists) {
  std::uint32_t& packed = slots_[slot].upper_lists;
  if (top == 0) {
    // The emptied list's head stays behind unused; only a replaced node
    // can leave one.
    if (upper_top(packed) != 0) upper_.assign(upper_index(packed), {});
    packed = kNoUpperLists;
    return;
  }
  thread_local std::vector<std::uint32_t> combined;
  combined.clear();
  std::array<std::size_t, MAX_LAYERS> ends{};
  for (std::uint64_t layer = 1; layer <= top; ++layer) {
    combined.insert(combined.end(), lists[layer].begin(), lists[layer].end());
    ends[layer] = combined.size();
  }
  append_upper_index(ends, top, [&](std::uint32_t value) { combined.push_back(value); });
  upper_.assign(upper_list(slot, top), combined);
}

void HNSWIndex::append_link(std::uint32_t slot, std::uint64_t layer, std::uint32_t target) {
  if (layer == 0) {
    base_.append(slot, target);
    return;
  }
  // The node's upper list is rebuilt with the link added; upper layers are
  // few and short.
  const std::uint32_t top = upper_top(slots_[slot].upper_lists);
  std::array<std::span<const std::uint32_t>, MAX_LAYERS> lists{};
  for (std::uint64_t l = 1; l <= top; ++l) lists[l] = links(slot, l);
  thread_local std::vector<std::uint32_t> grown;
  grown.assign(lists[layer].begin(), lists[layer].end());
  grown.push_back(target);
  lists[layer] = grown;
  assign_upper(slot, std::max<std::uint64_t>(top, layer), lists);
}

void HNSWIndex::store_node(std::uint64_t key, std::uint64_t node_id,
                           const std::array<std::span<const std::uint32_t>, MAX_LAYERS>& lists) {
  const std::uint32_t slot = slot_for(key);
  make_node(slot, node_id);
  base_.assign(slot, lists[0]);
  // Upper lists are kept up to the highest non-empty one.
  std::uint64_t top = MAX_LAYERS - 1;
  while (top > 0 && lists[top].empty()) --top;
  assign_upper(slot, top, lists);
}

HNSWNode HNSWIndex::exchange_form(std::uint32_t slot) const {
  HNSWNode node;
  node.id = foreign_ids_.id_of(slot, slots_[slot].key);
  for (std::uint64_t layer = 0; layer < MAX_LAYERS; ++layer) {
    const auto list = links(slot, layer);
    node.neighbors[layer].reserve(list.size());
    for (std::uint32_t target : list) node.neighbors[layer].push_back(slots_[target].key);
  }
  return node;
}

std::optional<HNSWNode> HNSWIndex::node(std::uint64_t key) const {
  const Position position = position_of(key);
  if (!is_node(position.slot)) return std::nullopt;
  return exchange_form(position.slot);
}

void HNSWIndex::put_node(std::uint64_t key, const HNSWNode& node) {
  Loader loader(*this);
  loader.begin_node(key, node.id);
  for (const auto& ids : node.neighbors) {
    loader.begin_list(ids.size());
    for (std::uint64_t id : ids) loader.add(id);
  }
  loader.finish_node();
}

void HNSWIndex::Loader::begin_node(std::uint64_t key, std::uint64_t node_id) {
  slot_ = index_.slot_for(key);
  index_.make_node(slot_, node_id);
  lists_begun_ = 0;
}

void HNSWIndex::Loader::begin_list(std::size_t expected) {
  // The base layer's list is complete: adopt it. Upper lists wait until the
  // node's top layer is known.
  if (lists_begun_ == 1) index_.base_.adopt(slot_, begins_[0], index_.base_.tail());
  layer_ = lists_begun_++;
  begins_[layer_] = lists().tail();
  lists().reserve_tail(expected);
  // Every id may be new: room for their slots now spares copying all the
  // slots as they grow. Unused room is address space only, never touched.
  reserve_more(index_.slots_, expected);
}

void HNSWIndex::Loader::add(std::uint64_t id) {
  const std::uint32_t target = index_.slot_for(id);
  lists().push_tail(target);
}

void HNSWIndex::Loader::finish_node() {
  if (lists_begun_ == 1) index_.base_.adopt(slot_, begins_[0], index_.base_.tail());
  LinkLists& upper = index_.upper_;
  for (std::size_t layer = std::max<std::size_t>(lists_begun_, 1); layer <= MAX_LAYERS; ++layer) {
    begins_[layer] = upper.tail();
  }
  std::uint64_t top = MAX_LAYERS - 1;
  while (top > 0 && begins_[top] == begins_[top + 1]) --top;
  if (top == 0) {
    index_.assign_upper(slot_, 0, {});
  } else {
    // The pushed ids, then their layers' ends and mask: the upper list.
    append_upper_index(std::span<const std::size_t>(begins_).subspan(1), top,
                       [&](std::uint32_t value) { upper.push_tail(value); });
    upper.adopt(index_.upper_list(slot_, top), begins_[1], upper.tail());
  }
  index_.base_.compact_if_wasteful();
  upper.compact_if_wasteful();
}

std::optional<PointView> HNSWIndex::find_point(const Position& position, const PointStore& points) const {
  if (position.slot == kNoSlot) return points.find(position.id);
  const auto found = points.slot_of(position.id);
  if (!found) return std::nullopt;
  std::atomic_ref<std::uint32_t>(slots_[position.slot].point_hint).store(*found, std::memory_order_relaxed);
  return points.view(*found);
}

// The neighbours' data lie in several arrays, each a likely cache miss, so
// the work runs in stages over the whole list, each stage first asking for
// what the next one reads: the misses of all neighbours then overlap. When
// the graph was built by upserts, a node's slot is also its point's slot,
// so the first stage asks for that point record too, before the hint that
// confirms it has arrived.
void HNSWIndex::prefetch_list_targets(std::span<const std::uint32_t> list, const PointStore& points,
                                      const VisitedSet* visited) const {
  for (const std::uint32_t slot : list) {
    __builtin_prefetch(&slots_[slot]);
    if (visited != nullptr) visited->prefetch(slot);
    if (slot < points.size()) points.prefetch(slot);
  }
}

void HNSWIndex::gather(std::span<const std::uint32_t> list, const PointStore& points,
                       const std::string* tenant, VisitedSet* visited, SearchScratch& scratch) const {
  prefetch_list_targets(list, points, visited);
  scratch.unresolved.clear();
  for (const std::uint32_t slot : list) {
    if (visited != nullptr && (!examinable(slots_[slot].key) || visited->test_and_mark(slot))) continue;
    if (const std::uint32_t hint = point_hint(slot); hint != slot && hint < points.size()) points.prefetch(hint);
    scratch.unresolved.push_back(slot);
  }
  scratch.views.clear();
  scratch.view_slots.clear();
  for (const std::uint32_t slot : scratch.unresolved) {
    const auto point = point_at(Position{slots_[slot].key, slot}, points);
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
  const auto point = point_at(position, points);
  return Stop{position, point ? graph_distance(cosine, *point) : FLOAT_MAX};
}

HNSWIndex::Stop HNSWIndex::walk(const Scorer& cosine, Stop start, std::uint64_t layer, const PointStore& points,
                                const std::string* tenant, SearchScratch& scratch) const {
  if (node_count_ == 0 || layer >= MAX_LAYERS) return start;
  float best = start.distance;
  Position current = start.position;
  for (;;) {
    if (!is_node(current.slot)) return Stop{current, best};
    const auto list = links(current.slot, layer);
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
    current = Position{slots_[next].key, next};
  }
}

#ifdef QUORBELL_TEST_SEAMS
std::uint64_t HNSWIndex::search_layer(std::span<const float> query, std::uint64_t start,
                                      std::uint64_t layer, const PointStore& points,
                                      const std::string* tenant) const {
  const Scorer cosine(Metric::Cosine, query);
  return walk(cosine, stop_at(cosine, position_of(start), points), layer, points, tenant, thread_scratch())
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
  // layer. An upper-layer link rebuilds its node's upper list, so the list
  // as it was is kept to put back.
  struct Appended {
    std::uint32_t slot;
    std::uint64_t layer;
    std::uint32_t upper_lists;
    std::vector<std::uint32_t> upper;
  };
  std::array<Appended, 2 * MAX_LAYERS> appended;
  std::size_t appended_count = 0;
};

void HNSWIndex::append_logged(std::uint32_t slot, std::uint64_t layer, std::uint32_t target, InsertLog& log) {
  InsertLog::Appended& entry = log.appended[log.appended_count];
  entry.slot = slot;
  entry.layer = layer;
  entry.upper_lists = slots_[slot].upper_lists;
  if (layer > 0 && upper_top(entry.upper_lists) > 0) {
    const auto list = upper_.list(upper_index(entry.upper_lists));
    entry.upper.assign(list.begin(), list.end());
  }
  append_link(slot, layer, target);
  ++log.appended_count;
}

// Puts back lists that only grew, in place: a list never needs more room
// than it has to shrink, so nothing here allocates.
void HNSWIndex::roll_back(std::uint64_t id, const InsertLog& log) noexcept {
  for (std::size_t k = log.appended_count; k-- > 0;) {
    const InsertLog::Appended& entry = log.appended[k];
    if (entry.layer == 0) {
      base_.remove_last(entry.slot);
      continue;
    }
    if (upper_top(entry.upper_lists) > 0) upper_.assign(upper_index(entry.upper_lists), entry.upper);
    slots_[entry.slot].upper_lists = entry.upper_lists;
  }
  if (log.node_count != node_count_) {
    // The node was new: its lists go with it.
    const std::uint32_t slot = position_of(id).slot;
    base_.clear(slot);
    slots_[slot].upper_lists = kNotANode;
  }
  entry_point = log.entry_point;
  max_level = log.max_level;
  node_count_ = log.node_count;
  largest_node_key_ = log.largest_node_key;
}

void HNSWIndex::relink(std::uint32_t self, Position current, std::uint64_t layer, InsertLog& log) {
  if (current.slot == self) return;
  if (current.slot == kNoSlot) current.slot = slot_for(current.id);
  const auto holds = [&](std::uint32_t slot, std::uint32_t target) {
    const auto list = links(slot, layer);
    return std::find(list.begin(), list.end(), target) != list.end();
  };
  if (is_node(current.slot) && links(current.slot, layer).size() < m && !holds(current.slot, self)) {
    append_logged(current.slot, layer, self, log);
  }
  if (links(self, layer).size() < std::max<std::uint64_t>(m, 1) && !holds(self, current.slot)) {
    append_logged(self, layer, current.slot, log);
  }
}

void HNSWIndex::insert(std::uint64_t id, const PointStore& points) {
  const auto slot = points.slot_of(id);
  if (!slot) return;
  InsertLog log{entry_point, max_level, node_count_, largest_node_key_, {}};
  try {
    link(id, *slot, points, log);
  } catch (...) {
    roll_back(id, log);
    throw;
  }
}

void HNSWIndex::link(std::uint64_t id, std::uint32_t point_slot, const PointStore& points, InsertLog& log) {
  const std::uint64_t level = random_level();
  const std::uint32_t existing = position_of(id).slot;
  const bool reinsert = is_node(existing);
  std::array<std::uint32_t, MAX_LAYERS> forward{};
  std::array<std::span<const std::uint32_t>, MAX_LAYERS> lists{};

  if (entry_point) {
    SearchScratch& scratch = thread_scratch();
    const PointView point = points.view(point_slot);
    const Scorer cosine(Metric::Cosine, point.vector, point.squared_norm);
    Stop stop = stop_at(cosine, position_of(*entry_point), points);
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
      if (is_node(current.slot) && links(current.slot, layer).size() < m) {
        append_logged(current.slot, layer, slot_for(id), log);
      }
      if (current.slot == kNoSlot) current.slot = slot_for(current.id);
      forward[layer] = current.slot;
      lists[layer] = std::span<const std::uint32_t>(&forward[layer], 1);
    }
  }
  if (reinsert) {
    foreign_ids_.set(existing, id, id);
  } else {
    store_node(id, id, lists);
  }
  if (!entry_point || level > max_level) {
    max_level = level;
    entry_point = id;
  }
  slots_[slot_for(id)].point_hint = point_slot;
}

std::vector<Candidate> HNSWIndex::search_knn(std::span<const float> query, const PointStore& points,
                                             const std::string* tenant) const {
  return search_knn(Scorer(Metric::Cosine, query), points, tenant);
}

std::vector<Candidate> HNSWIndex::search_knn(const Scorer& cosine, const PointStore& points,
                                             const std::string* tenant) const {
  if (!entry_point) return {};
  SearchScratch& scratch = thread_scratch();
  Stop stop = stop_at(cosine, position_of(*entry_point), points);
  for (std::uint64_t layer = std::min(max_level, MAX_LAYERS - 1); layer >= 1; --layer) {
    stop = walk(cosine, stop, layer, points, tenant, scratch);
  }
  const Position current = stop.position;
  if (!point_at(current, points)) return {};

  // The start pair is admitted whatever the filter says of it.
  VisitedSet& visited = scratch.visited;
  CandidateQueue& candidates = scratch.candidates;
  ResultList& results = scratch.results;
  visited.begin_query(slots_.size());
  candidates.clear();
  results.clear();
  std::uint32_t sequence = 0;
  const RankedSlot first = ranked_slot(stop.distance, sequence++, current.slot);
  candidates.push(first);
  results.append(first);
  if (current.slot != kNoSlot && examinable(current.id)) visited.test_and_mark(current.slot);

  while (!candidates.empty()) {
    const RankedSlot expanded = candidates.pop_first();
    // Every admission of this expansion compares against the worst distance
    // as it stands now.
    const float worst = results.worst();
    if (!is_node(expanded.slot)) continue;
    gather(base_.list(expanded.slot), points, tenant, &visited, scratch);
    // Most expansions are followed by the best candidate left now, and that
    // one by one of its two heap children: load ahead for them while this
    // expansion's distances are computed.
    if (!candidates.empty() && is_node(candidates.first().slot)) {
      prefetch_list_targets(base_.list(candidates.first().slot), points, &visited);
    }
    for (const RankedSlot& runner : candidates.front_runners()) {
      if (runner.slot != kNoSlot) base_.prefetch(runner.slot);
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
    found.push_back(Candidate{pair.distance, pair.slot == kNoSlot ? current.id : slots_[pair.slot].key});
  }
  return found;
}

}  // namespace quorbell
