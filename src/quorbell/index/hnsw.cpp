#include "index/hnsw.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "core/distance.h"
#include "core/lane_sums.h"
#include "core/random.h"
#include "core/thread_scratch.h"
#include "index/kept_lanes.h"
#include "index/ranked_lists.h"
#include "index/scorer.h"
#include "index/visited_set.h"

namespace quorbell {

// One batch of graph distances: points added one by one or all at once,
// then their distances from one owner, all in one call. Searches and inserts share it.
class DistanceBatch {
 public:
  std::size_t size() const { return size_; }
  void clear() { size_ = 0; }
  // Room for `count` more points, so that add() allocates nothing.
  void reserve(std::size_t count) {
    if (vectors_.size() < size_ + count) grow(size_ + count);
  }
  // The batch becomes the vectors vector_at(k) returns for k < count.
  template <class VectorAt>
  void assign(std::size_t count, VectorAt&& vector_at) {
    size_ = 0;
    reserve(count);
    const float** vectors = vectors_.data();
    std::uint32_t* lengths = lengths_.data();
    float* norms = norms_.data();
    for (std::size_t k = 0; k < count; ++k) {
      const PointStore::VectorRef vector = vector_at(k);
      vectors[k] = vector.data;
      lengths[k] = vector.length;
      norms[k] = vector.squared_norm;
    }
    size_ = count;
  }
  void add(const PointStore::VectorRef& vector) {
    vectors_[size_] = vector.data;
    lengths_[size_] = vector.length;
    norms_[size_++] = vector.squared_norm;
  }
  // distance(k) = the owner's distance to point k, for begin <= k < end.
  void measure(const Scorer& owner, std::size_t begin, std::size_t end) {
    // A step whose neighbours were all visited gathers none.
    if (begin == end) return;
    owner.cosine_distances(vectors_.data() + begin, lengths_.data() + begin, norms_.data() + begin, end - begin,
                           distances_.data() + begin);
  }
  void measure(const Scorer& owner) { measure(owner, 0, size_); }
  float distance(std::size_t k) const { return distances_[k]; }

 private:
  void grow(std::size_t room) {
    vectors_.resize(room);
    lengths_.resize(room);
    norms_.resize(room);
    distances_.resize(room);
  }

  std::vector<const float*> vectors_;
  std::vector<std::uint32_t> lengths_;
  std::vector<float> norms_;
  std::vector<float> distances_;
  std::size_t size_ = 0;
};

// Per-thread working memory of walks and searches, reused from call to call.
struct SearchScratch {
  VisitedSet visited;
  CandidateQueue candidates;
  ResultList results;
  // The neighbours gathered for one step: their slots and where their
  // points are, the first batch.size() of each, and their points.
  std::vector<std::uint32_t> slots;
  std::vector<std::uint32_t> point_slots;
  DistanceBatch batch;
  // Neighbour distances the last best-first walk computed, for benchmarks
  // (test_walk_distances).
  std::uint64_t walk_distances = 0;

  // Room for a list of `count` neighbours.
  void make_room(std::size_t count) {
    if (slots.size() >= count) return;
    slots.resize(count);
    point_slots.resize(count);
  }
};

// Per-thread working memory of inserts, reused from call to call, so that
// an insert allocates nothing once these have grown.
struct InsertScratch {
  std::vector<ListCandidate> candidates;
  std::vector<std::size_t> unknown;  // where in candidates distances are to be computed
  DistanceBatch batch;
  std::vector<ListCandidate> kept;        // the new node's list on the layer being linked
  std::vector<ListCandidate> reselected;  // a full list that takes the new node, selected again
  KeptLanes lanes;                        // the points kept into either, as they are kept
  std::vector<std::uint32_t> list;
  VisitedSet seen;  // drops repeats among the candidates
  GraphNodes::ListEdits edits;
};

namespace {
// How much of each gathered vector an insert requests ahead into the
// first-level cache, in cache lines: a short vector whole, a longer one its
// first lines (see VectorRequests).
constexpr std::size_t kWholeVectorLines = 8, kLongVectorLines = 2;
constexpr std::size_t kLineBytes = 64;

// Requests every line of a vector into the second-level cache only, where
// the requests do not take the first level's few miss buffers from the
// loads the sums wait on.
void request_whole_into_l2(const PointStore::VectorRef& vector) {
  const std::size_t size = std::size_t{vector.length} * sizeof(float);
  if (size == 0) return;
  const char* line = reinterpret_cast<const char*>(vector.data);
  const char* const last = line + size - 1;
  // Eight lines a round with one test, then the rest one by one; a vector
  // that starts inside a line ends inside one more, requested last.
  for (; line + 7 * kLineBytes <= last; line += 8 * kLineBytes) {
    for (std::size_t k = 0; k < 8; ++k) __builtin_prefetch(line + k * kLineBytes, 0, 1);
  }
  for (; line <= last; line += kLineBytes) __builtin_prefetch(line, 0, 1);
  __builtin_prefetch(last, 0, 1);
}

// Requests the lines of a vector that an insert requests ahead: for a short
// one, one jump into the cases below, where a loop would test its bound
// after every line. A long one is told apart by its length alone, before
// its lines are counted: most gathers are of one kind or the other.
void prefetch_vector(const PointStore::VectorRef& vector) {
  static_assert(kWholeVectorLines == 8 && kLongVectorLines == 2, "one case per line");
  const char* const bytes = reinterpret_cast<const char*>(vector.data);
  const std::size_t size = std::size_t{vector.length} * sizeof(float);
  if (size > kWholeVectorLines * kLineBytes) {
    __builtin_prefetch(bytes);
    __builtin_prefetch(bytes + kLineBytes);
    return;
  }
  // clang-format off
  switch ((size + kLineBytes - 1) / kLineBytes) {
    case 8: __builtin_prefetch(bytes + 7 * kLineBytes); [[fallthrough]];
    case 7: __builtin_prefetch(bytes + 6 * kLineBytes); [[fallthrough]];
    case 6: __builtin_prefetch(bytes + 5 * kLineBytes); [[fallthrough]];
    case 5: __builtin_prefetch(bytes + 4 * kLineBytes); [[fallthrough]];
    case 4: __builtin_prefetch(bytes + 3 * kLineBytes); [[fallthrough]];
    case 3: __builtin_prefetch(bytes + 2 * kLineBytes); [[fallthrough]];
    case 2: __builtin_prefetch(bytes + 1 * kLineBytes); [[fallthrough]];
    case 1: __builtin_prefetch(bytes + 0 * kLineBytes); [[fallthrough]];
    default: break;
  }
  // clang-format on
}

// How many of the nearest kept points the diversity rule measures a
// candidate against before the rest: one register of eight lanes, which
// costs no more than four.
constexpr std::size_t kNearestKept = 8;

SearchScratch& thread_scratch() { return ThreadScratch<SearchScratch>::get(); }

InsertScratch& insert_scratch() { return ThreadScratch<InsertScratch>::get(); }

// The graph's order of distances; equal distances (NaNs among themselves
// included) are left in order by the stable sort using it.
bool nearer(const ListCandidate& a, const ListCandidate& b) { return closer(a.distance, b.distance); }

// Whether two points hold bit-identical vectors: same length, same bits
// (so -0.0 and 0.0 differ, and NaNs of the same bits are copies).
bool same_vector(const PointStore::VectorRef& a, const PointStore::VectorRef& b) {
  if (a.length != b.length) return false;
  if (a.data == b.data || a.length == 0) return true;
  // Most pairs differ in their first element: its bits are compared inline
  // before the call that compares the whole.
  return std::memcmp(a.data, b.data, sizeof(float)) == 0 && std::memcmp(a.data, b.data, a.length * sizeof(float)) == 0;
}

// The graph's distance: 1 - cosine similarity, or FLOAT_MAX for a pair that
// cannot be compared.
float graph_distance(const Scorer& cosine, const PointView& point) {
  const auto similarity = cosine.score(point);
  return similarity ? 1.0f - *similarity : FLOAT_MAX;
}

}  // namespace

std::uint64_t test_walk_distances() { return thread_scratch().walk_distances; }

void discard_thread_scratch() noexcept {
  ThreadScratch<SearchScratch>::discard();
  ThreadScratch<InsertScratch>::discard();
}

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
// so the first stage asks for that point record too. A neighbour marked
// visited already will not be measured: its data are not asked for. The
// marks take two bytes a slot, so they are mostly in cache already.
void HNSWIndex::prefetch_list_targets(std::span<const std::uint32_t> list, const PointStore& points,
                                      const VisitedSet* visited) const {
  for (const std::uint32_t slot : list) {
    if (visited != nullptr && visited->marked(slot)) continue;
    nodes_.prefetch_slot(slot);
    if (slot < points.size()) points.prefetch(slot);
  }
}

// Inlined into its two callers: most of its calls gather a handful of
// points, where a call's setup would weigh.
[[gnu::always_inline]] inline void HNSWIndex::gather(std::span<const std::uint32_t> list, const PointStore& points,
                                                     VisitedSet* visited, bool targets_prefetched,
                                                     VectorRequests requests, SearchScratch& scratch) const {
  if (!targets_prefetched) prefetch_list_targets(list, points, visited);
  scratch.make_room(list.size());
  std::uint32_t* const slots = scratch.slots.data();
  std::uint32_t* const point_slots = scratch.point_slots.data();
  std::size_t resolved = 0;
  const bool check_examinable = visited != nullptr && !nodes_.all_examinable();
  for (const std::uint32_t slot : list) {
    // An id that may not be examined is skipped whether marked or not.
    if (visited != nullptr && visited->test_and_mark(slot)) continue;
    if (check_examinable && !nodes_.examinable(nodes_.key(slot))) continue;
    const std::uint32_t point = nodes_.point_slot(slot);
    if (point == GraphNodes::kNoPoint) continue;
    if (point != slot) points.prefetch(point);
    slots[resolved] = slot;
    point_slots[resolved++] = point;
  }
  // The kind of requests is chosen once a gather, not once a vector: each
  // kind is a lambda of its own type, called directly.
  const auto assign = [&](auto request) {
    scratch.batch.assign(resolved, [&](std::size_t k) {
      const PointStore::VectorRef vector = points.vector_at(point_slots[k]);
      request(vector);
      return vector;
    });
  };
  if (requests == VectorRequests::WholeIntoL2) {
    assign([](const PointStore::VectorRef& vector) { request_whole_into_l2(vector); });
  } else {
    assign([](const PointStore::VectorRef& vector) { prefetch_vector(vector); });
  }
}

HNSWIndex::Stop HNSWIndex::stop_at(const Scorer& cosine, Position position, const PointStore& points) const {
  const auto point = nodes_.point_at(position, points);
  return Stop{position, point ? graph_distance(cosine, *point) : FLOAT_MAX};
}

HNSWIndex::Stop HNSWIndex::walk(const Scorer& cosine, Stop start, std::uint64_t layer, const PointStore& points,
                                SearchScratch& scratch) const {
  if (nodes_.node_count() == 0 || layer >= MAX_LAYERS) return start;
  float best = start.distance;
  Position current = start.position;
  for (;;) {
    if (!nodes_.is_node(current.slot)) return Stop{current, best};
    const auto list = nodes_.links(current.slot, layer);
    if (list.empty() || points.empty()) return Stop{current, best};
    gather(list, points, nullptr, false, VectorRequests::FirstLines, scratch);
    scratch.batch.measure(cosine);
    // The first strictly closer neighbour in list order wins; a tie or a
    // NaN never moves the walk, and any number moves it off a NaN.
    std::uint32_t next = kNoSlot;
    for (std::size_t k = 0; k < scratch.batch.size(); ++k) {
      if (closer(scratch.batch.distance(k), best)) {
        best = scratch.batch.distance(k);
        next = scratch.slots[k];
      }
    }
    if (next == kNoSlot) return Stop{current, best};
    current = Position{nodes_.key(next), next};
  }
}

std::uint64_t HNSWIndex::test_search_layer(std::span<const float> query, std::uint64_t start, std::uint64_t layer,
                                           const PointStore& points) const {
  const Scorer cosine(Metric::Cosine, query);
  return walk(cosine, stop_at(cosine, nodes_.position_of(start), points), layer, points, thread_scratch()).position.id;
}

bool HNSWIndex::best_first(const Scorer& cosine, Stop start, std::uint64_t layer, const WalkLimits& limits,
                           const PointStore& points, SearchScratch& scratch) const {
  const Position current = start.position;
  VisitedSet& visited = scratch.visited;
  CandidateQueue& candidates = scratch.candidates;
  ResultList& results = scratch.results;
  visited.begin_query(nodes_.slot_count());
  candidates.clear();
  results.clear();
  const PointStore::TenantFilter filter = points.tenant_filter(limits.tenant);
  const auto passes = [&](std::uint32_t point_slot) { return points.passes(point_slot, filter); };
  std::uint32_t sequence = 0;
  const RankedSlot first = ranked_slot(start.distance, sequence++, current.slot);
  candidates.push(first);
  if (limits.tenant == nullptr || passes(*start_point_slot(current, points))) results.append(first);
  if (current.slot != kNoSlot && nodes_.examinable(current.id)) visited.test_and_mark(current.slot);

  std::uint64_t spent = 0;
  // The node whose list's targets were loaded ahead last: its expansion
  // need not ask for them again.
  std::uint32_t prefetched = kNoSlot;
  while (!candidates.empty()) {
    if (spent >= limits.budget) {
      scratch.walk_distances = spent;
      return true;
    }
    const RankedSlot expanded = candidates.pop_first();
    // Every admission of this expansion compares against the worst distance
    // as it stands now.
    const CloserThan beats_worst(results.worst());
    if (!nodes_.is_node(expanded.slot)) continue;
    const auto list = layer == 0 ? nodes_.base_links(expanded.slot) : nodes_.links(expanded.slot, layer);
    gather(list, points, &visited, expanded.slot == prefetched, limits.requests, scratch);
    // Most expansions are followed by the best candidate left now, and that
    // one by one of the next two in line: load ahead for them while this
    // expansion's distances are computed. Each stage reads what the one
    // before it loaded an expansion earlier: the first's list is read for
    // its targets, the second's list is loaded from its head, and the
    // heads of all three.
    prefetched = kNoSlot;
    if (layer == 0) {
      if (!candidates.empty() && nodes_.is_node(candidates.first().slot)) {
        prefetched = candidates.first().slot;
        prefetch_list_targets(nodes_.base_links(prefetched), points, &visited);
      }
      const auto runners = candidates.front_runners();
      for (const RankedSlot& runner : runners) {
        if (runner.slot != kNoSlot) nodes_.prefetch_base_links(runner.slot);
      }
      if (runners.size() >= 2 && nodes_.is_node(runners[runners.size() - 2].slot)) {
        nodes_.prefetch_base_link_values(runners[runners.size() - 2].slot);
      }
    }
    scratch.batch.measure(cosine);
    spent += scratch.batch.size();
    bool full = results.size() >= limits.bound;
    for (std::size_t k = 0; k < scratch.batch.size(); ++k) {
      const float distance = scratch.batch.distance(k);
      if (full && !beats_worst(distance)) continue;
      const RankedSlot pair = ranked_slot(distance, sequence++, scratch.slots[k]);
      candidates.push(pair);
      if (limits.tenant == nullptr || passes(scratch.point_slots[k])) {
        results.append_bounded(pair, limits.bound);
        full = results.size() >= limits.bound;
      }
    }
  }
  scratch.walk_distances = spent;
  return false;
}

std::optional<std::uint32_t> HNSWIndex::start_point_slot(Position position, const PointStore& points) const {
  if (position.slot != kNoSlot) {
    const std::uint32_t point = nodes_.point_slot(position.slot);
    return point == GraphNodes::kNoPoint ? std::nullopt : std::optional<std::uint32_t>(point);
  }
  return points.slot_of(position.id);
}

std::uint64_t HNSWIndex::reach(std::uint64_t limit, std::size_t point_count) const {
  return std::max<std::uint64_t>(ef_search, std::min<std::uint64_t>(limit, point_count));
}

std::vector<Candidate> HNSWIndex::search_knn(std::span<const float> query, const PointStore& points,
                                             const std::string* tenant, std::uint64_t limit) const {
  return search_knn(Scorer(Metric::Cosine, query), points, KnnQuery{tenant, limit}).pairs;
}

HNSWIndex::KnnAnswer HNSWIndex::search_knn(const Scorer& cosine, const PointStore& points,
                                           const KnnQuery& query) const {
  if (!entry_point) return {};
  SearchScratch& scratch = thread_scratch();
  // The descent never applies the filter: it only finds where to start.
  Stop stop = stop_at(cosine, nodes_.position_of(*entry_point), points);
  for (std::uint64_t layer = std::min(max_level, MAX_LAYERS - 1); layer >= 1; --layer) {
    stop = walk(cosine, stop, layer, points, scratch);
  }
  const Position current = stop.position;
  const auto start_point = start_point_slot(current, points);
  if (!start_point) return {};
  KnnAnswer answer;
  const WalkLimits limits{reach(query.limit, points.size()), query.tenant, query.budget, VectorRequests::WholeIntoL2};
  answer.exhausted = best_first(cosine, stop, 0, limits, points, scratch);
  if (answer.exhausted) return answer;
  answer.pairs.reserve(scratch.results.size());
  for (const RankedSlot& pair : scratch.results.sorted()) {
    answer.pairs.push_back(pair.slot == kNoSlot
                               ? Candidate{pair.distance, current.id, *start_point}
                               : Candidate{pair.distance, nodes_.key(pair.slot), nodes_.point_slot(pair.slot)});
  }
  return answer;
}

// ------------------------------------------------------------------ insert

void HNSWIndex::insert(std::uint64_t id, std::uint32_t point_slot, const PointStore& points) {
  assert(points.slot_of(id) == point_slot);
  const std::uint64_t level = random_level();
  // The slot's point is set now, for the searches below to see the point;
  // a failure puts back what it was (none for a slot made here: the store
  // takes the point back too).
  const std::uint32_t known = nodes_.position_of(id).slot;
  const std::uint32_t old_point = known == kNoSlot ? GraphNodes::kNoPoint : nodes_.point_slot(known);
  const std::uint32_t self = known == kNoSlot ? nodes_.slot_for(id, points) : known;
  nodes_.set_point_slot(self, point_slot);
  InsertScratch& scratch = insert_scratch();
  scratch.edits.clear();
  // A base list's capacity, up to a sane room: m comes from the file as it
  // was saved.
  scratch.edits.set_base_list_room(std::min<std::size_t>(list_capacity(m, 0), 64));
  try {
    if (entry_point) plan_links(self, level, points, scratch);
    nodes_.prepare(scratch.edits, self);
  } catch (...) {
    nodes_.set_point_slot(self, old_point);
    throw;
  }
  // Nothing below allocates.
  nodes_.apply(scratch.edits, self);
  nodes_.compact_if_wasteful();
  if (!entry_point || level > max_level) {
    max_level = level;
    entry_point = id;
  }
}

void HNSWIndex::plan_links(std::uint32_t self, std::uint64_t level, const PointStore& points, InsertScratch& scratch) {
  SearchScratch& search = thread_scratch();
  const PointView point = points.view(nodes_.point_slot(self));
  const Scorer cosine(Metric::Cosine, point.vector, point.squared_norm);
  // A loaded file may name an entry point that no list names and no node
  // holds. It gets its slot now, before any visited marks are sized for the
  // slots there are, so that every walk below stands on a slot.
  Stop stop = stop_at(cosine, Position{*entry_point, nodes_.slot_for(*entry_point, points)}, points);
  // Layers above 15 hold no links; a walk there would not move.
  for (std::uint64_t layer = std::min(max_level, MAX_LAYERS - 1); layer > level; --layer) {
    stop = walk(cosine, stop, layer, points, search);
  }
  for (std::uint64_t layer = std::min(level, max_level) + 1; layer-- > 0;) {
    stop = plan_layer(cosine, self, stop, layer, points, scratch);
  }
}

// The new node's list is its ef_construction nearest found from stop,
// thinned by keep_diverse() to max(m, 1) on every layer; each node it lists
// links back, up to the layer's capacity, re-selecting a full list. The
// next layer down starts from the nearest kept. The new node joins the
// graph only once every layer is planned, so a node here is re-inserted.
HNSWIndex::Stop HNSWIndex::plan_layer(const Scorer& cosine, std::uint32_t self, Stop stop, std::uint64_t layer,
                                      const PointStore& points, InsertScratch& scratch) {
  const std::size_t bound = std::max<std::uint64_t>(m, 1);
  const std::size_t capacity = list_capacity(m, layer);
  const PointStore::VectorRef owner = points.vector_at(nodes_.point_slot(self));
  clear_candidates(scratch);
  if (nodes_.point_at(stop.position, points)) {
    SearchScratch& search = thread_scratch();
    best_first(cosine, stop, layer, WalkLimits{ef_construction, nullptr, kNoBudget, VectorRequests::FirstLines}, points,
               search);
    for (const RankedSlot& pair : search.results.sorted())
      add_candidate(self, pair.slot, pair.distance, points, scratch);
  }
  if (nodes_.is_node(self)) {
    for (const std::uint32_t slot : nodes_.links(self, layer)) {
      add_candidate(self, slot, std::nullopt, points, scratch);
    }
  }
  sort_candidates(cosine, scratch);
  keep_diverse(owner, bound, scratch, scratch.kept);
  scratch.list.clear();
  for (const auto& kept : scratch.kept) scratch.list.push_back(kept.slot);
  scratch.edits.set(self, layer, scratch.list);

  for (const auto& target : scratch.kept) {
    if (!nodes_.is_node(target.slot)) continue;
    const auto list = nodes_.links(target.slot, layer);
    if (std::find(list.begin(), list.end(), self) != list.end()) continue;
    scratch.list.assign(list.begin(), list.end());
    scratch.list.push_back(self);
    if (list.size() >= capacity) {
      // Full: the target's list and the new id, re-selected from the
      // target's point of view.
      clear_candidates(scratch);
      for (const std::uint32_t slot : scratch.list) add_candidate(target.slot, slot, std::nullopt, points, scratch);
      const PointStore::VectorRef& vector = target.vector;
      sort_candidates(Scorer(Metric::Cosine, {vector.data, vector.length}, vector.squared_norm), scratch);
      keep_diverse(vector, capacity, scratch, scratch.reselected);
      scratch.list.clear();
      for (const auto& kept : scratch.reselected) scratch.list.push_back(kept.slot);
    }
    scratch.edits.set(target.slot, layer, scratch.list);
  }
  if (scratch.kept.empty()) return stop;
  const auto& nearest = scratch.kept.front();
  return Stop{Position{nodes_.key(nearest.slot), nearest.slot}, nearest.distance};
}

void HNSWIndex::clear_candidates(InsertScratch& scratch) const {
  scratch.candidates.clear();
  scratch.unknown.clear();
  scratch.seen.begin_query(nodes_.slot_count());
}

void HNSWIndex::add_candidate(std::uint32_t owner, std::uint32_t slot, std::optional<float> distance,
                              const PointStore& points, InsertScratch& scratch) const {
  if (slot == owner || scratch.seen.test_and_mark(slot)) return;
  const std::uint32_t point = nodes_.point_slot(slot);
  if (point == GraphNodes::kNoPoint) return;
  if (!distance) scratch.unknown.push_back(scratch.candidates.size());
  scratch.candidates.push_back(ListCandidate{slot, points.vector_at(point), distance.value_or(0.0f)});
}

void HNSWIndex::sort_candidates(const Scorer& owner, InsertScratch& scratch) const {
  scratch.batch.clear();
  scratch.batch.reserve(scratch.unknown.size());
  for (const std::size_t k : scratch.unknown) scratch.batch.add(scratch.candidates[k].vector);
  scratch.batch.measure(owner);
  for (std::size_t j = 0; j < scratch.unknown.size(); ++j) {
    scratch.candidates[scratch.unknown[j]].distance = scratch.batch.distance(j);
  }
  // A new node's candidates come from its search nearest first, and most
  // keep that order.
  if (!std::is_sorted(scratch.candidates.begin(), scratch.candidates.end(), nearer)) {
    std::stable_sort(scratch.candidates.begin(), scratch.candidates.end(), nearer);
  }
}

// Keeps a candidate unless it copies the vector of one kept before it, or
// one kept before it stands at least as close to it as the owner does: a
// tie refuses, so that copies of one vector do not fill a list. A kept copy
// of the owner refuses nothing, since it stands exactly as far from every
// candidate as the owner. Stops at `capacity` kept; the first candidate is
// always kept.
void HNSWIndex::keep_diverse(const PointStore::VectorRef& owner, std::size_t capacity, InsertScratch& scratch,
                             std::vector<ListCandidate>& kept) const {
  kept.clear();
  const std::vector<ListCandidate>& candidates = scratch.candidates;
  std::size_t rows = 0;
  for (const auto& candidate : candidates) rows = std::max<std::size_t>(rows, candidate.vector.length);
  // The kept ones that do not copy the owner, as they are kept. No more
  // can be kept than there are candidates; the capacity follows m, which a
  // loaded file may set to anything.
  KeptLanes& lanes = scratch.lanes;
  lanes.reset(rows, std::min(capacity, candidates.size()));
  // A copy stands exactly as far from the owner as what it copies, and the
  // candidates come nearest first: only the last kept ones, as far as the
  // candidate, can be copies of it.
  const auto copies_kept = [&](const ListCandidate& candidate, std::size_t from) {
    for (std::size_t k = kept.size(); k-- > from && !closer(kept[k].distance, candidate.distance);) {
      if (same_vector(kept[k].vector, candidate.vector)) return true;
    }
    return false;
  };
  std::array<const ListCandidate*, kRowQueries> group;
  for (std::size_t next = 0; next < candidates.size() && kept.size() < capacity;) {
    // The next few candidates of one length that copy no kept point are
    // measured together against the nearest kept ones, which refuse most
    // candidates. Each then meets the rest only if none of them refuses
    // it, the rest including any kept meanwhile from this group.
    std::size_t count = 0;
    for (; next < candidates.size() && count < group.size(); ++next) {
      const ListCandidate& candidate = candidates[next];
      if (count > 0 && candidate.vector.length != group[0]->vector.length) break;
      if (!copies_kept(candidate, 0)) group[count++] = &candidate;
    }
    const std::size_t kept_before = kept.size();
    const std::size_t nearest = std::min(lanes.size(), kNearestKept);
    const unsigned refused = lanes.refusals({group.data(), count}, 0, nearest);
    for (std::size_t q = 0; q < count && kept.size() < capacity; ++q) {
      const ListCandidate& candidate = *group[q];
      if ((refused >> q & 1u) != 0 || copies_kept(candidate, kept_before) ||
          lanes.refusals({&group[q], 1}, nearest, lanes.size()) != 0) {
        continue;
      }
      kept.push_back(candidate);
      if (!same_vector(candidate.vector, owner)) lanes.add(candidate.vector);
    }
  }
}

}  // namespace quorbell
