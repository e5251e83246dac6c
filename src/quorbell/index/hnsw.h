// Hierarchical navigable small-world graph over point ids: the algorithm.
//
// The graph stores ids and links only (index/graph_nodes.h) and always
// measures cosine distance, reading vectors from the point store it is
// handed, and compares distances in one order (closer() in
// index/ranked_lists.h). An insert links the new node on each of its
// layers to a diverse few of its nearest (see plan_layer), and they link
// back. A query descends greedily; only the base layer is searched
// best-first, bounded by its reach (see reach()).
//
// Thread safety: the index has no lock of its own. Const methods may run
// concurrently with each other (their scratch state is per thread); insert
// and test_put_node need exclusive access. The Segment provides both
// through its `index` lock, and holds the point store's lock for as long.
#pragma once

#include <cstdint>
#include <limits>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/point_store.h"
#include "index/graph_nodes.h"

namespace quorbell {

// A candidate of the graph query: cosine distance, point id and where the
// point store keeps the point.
struct Candidate {
  float distance;
  std::uint64_t id;
  std::uint32_t point_slot;
};

// The level drawn from one 64-bit random value r with link budget m:
// u = (r >> 11) * 2^-53; 15 when u is 0, else trunc(-ln(u) / ln(m)) capped
// at 15 (0 when that is negative or NaN).
std::uint64_t level_from_random(std::uint64_t r, std::uint64_t m);

// Frees the calling thread's search and insert scratch. A call that ran out
// of memory may have left it half-grown; the next call makes it afresh.
void discard_thread_scratch() noexcept;
// For benchmarks only: the neighbour distances that the calling thread's
// last base-layer walk computed (the start's and the descent's not
// counted), whether it ran to its end or spent its budget.
std::uint64_t test_walk_distances();

// How much of a neighbour's vector a graph walk requests ahead. Queries
// request every line into the second-level cache, which takes a fifth off
// their time (384 floats from memory, 128 floats mostly from the
// third-level cache). Inserts request a short vector whole and a long
// one's first lines, into the first-level cache: whole long vectors
// would take an eighth off a build too, but cost each insert a
// fourteenth more instructions.
enum class VectorRequests { FirstLines, WholeIntoL2 };

class Scorer;
class VisitedSet;
struct SearchScratch;
struct InsertScratch;
struct ListCandidate;

class HNSWIndex {
 public:
  HNSWIndex() = default;
  HNSWIndex(HNSWIndex&&) noexcept = default;
  HNSWIndex& operator=(HNSWIndex&&) noexcept = default;

  std::uint64_t m = 16;                // bound of a list (at least 1), base of the level draw
  std::uint64_t ef_construction = 64;  // candidates an insert searches for on each layer
  std::uint64_t ef_search = 32;        // least bound of a query's base-layer result list
  std::optional<std::uint64_t> entry_point;
  std::uint64_t max_level = 0;

  std::size_t node_count() const { return nodes_.node_count(); }
  // For tests only: the node stored under key, in exchange form.
  std::optional<HNSWNode> test_node(std::uint64_t key) const { return nodes_.test_node(key); }
  // Calls f(key, node) for every node, in an unspecified order.
  template <class F>
  void for_each_node(F&& f) const {
    nodes_.for_each_node(f);
  }
  // For tests that build states directly: stores node under key, replacing
  // any node there, as a load would. Nothing is checked: the node's id may
  // differ from key and links may name any id.
  void test_put_node(std::uint64_t key, const HNSWNode& node, const PointStore& points) {
    nodes_.test_put_node(key, node, points);
  }

  using Loader = GraphNodes::Loader;
  // A loader that fills this index with a snapshot's nodes.
  // Links name ids whose points are found in points.
  Loader loader(const PointStore& points) { return Loader(nodes_, points); }
  // Room for this many more nodes, before a load adds them.
  void reserve_nodes(std::size_t count) { nodes_.reserve_nodes(count); }

  // GraphNodes::check of the graph over points; built_by_inserts adds what
  // a graph that inserts alone built keeps, with this index's parameters.
  std::string check(const PointStore& points, bool built_by_inserts) const {
    const InsertedShape shape{m, entry_point, max_level};
    return nodes_.check(points, built_by_inserts ? &shape : nullptr);
  }

  // A level for a new node, from this thread's generator and the current m.
  std::uint64_t random_level() const;

  // Links the point just stored under id, at point_slot of points, into
  // the graph, measuring with the vector and sum of squares the store
  // keeps for it. An id that already has a node keeps it: its lists on the
  // layers it links on are selected again, its own links among the
  // candidates. When an allocation fails (std::bad_alloc), no node, link,
  // entry point or level has changed, so searches find what they found
  // before; a slot made meanwhile for id or for the entry point stays,
  // with no node and no links.
  void insert(std::uint64_t id, std::uint32_t point_slot, const PointStore& points);

  // What a query's base-layer walk needs besides the query.
  static constexpr std::uint64_t kNoBudget = std::numeric_limits<std::uint64_t>::max();
  struct KnnQuery {
    const std::string* tenant = nullptr;  // results only from its points (the walk goes through all)
    std::uint64_t limit = 0;              // hits asked for: see reach()
    std::uint64_t budget = kNoBudget;     // distances the walk may spend
  };
  struct KnnAnswer {
    std::vector<Candidate> pairs;
    bool exhausted = false;  // the budget ran out first: no pairs
  };
  // The result bound of a query asking for `limit` hits of a store of
  // point_count points: max(ef_search, min(limit, point_count)), so a
  // large limit costs at most the store's size.
  std::uint64_t reach(std::uint64_t limit, std::size_t point_count) const;
  // Up to max(reach, 1) candidates by ascending cosine distance, ties in
  // the order they were found, from a cosine Scorer of the query; empty
  // without an entry point.
  KnnAnswer search_knn(const Scorer& cosine, const PointStore& points, const KnnQuery& query) const;
  // The same from the query itself, with no budget.
  std::vector<Candidate> search_knn(std::span<const float> query, const PointStore& points,
                                    const std::string* tenant = nullptr, std::uint64_t limit = 0) const;

  // For tests only: the greedy walk on one layer from start, which moves to
  // its nearest neighbour (the first of equals) while that is strictly
  // closer; returns where it ends.
  std::uint64_t test_search_layer(std::span<const float> query, std::uint64_t start, std::uint64_t layer,
                                  const PointStore& points) const;

 private:
  static constexpr std::uint32_t kNoSlot = GraphNodes::kNoSlot;
  using Position = GraphNodes::Position;

  // Plans the links of an insert of the node at self, drawn at level, into
  // scratch's edits.
  void plan_links(std::uint32_t self, std::uint64_t level, const PointStore& points, InsertScratch& scratch);
  struct Stop;
  Stop plan_layer(const Scorer& cosine, std::uint32_t self, Stop stop, std::uint64_t layer, const PointStore& points,
                  InsertScratch& scratch);
  // The candidates for one list: clear_candidates() empties them;
  // add_candidate() adds one unless it is the owner, has no point or was
  // added before, with its distance from the owner when known;
  // sort_candidates() computes the unknown distances and sorts them nearest
  // first (stable, NaN last).
  void clear_candidates(InsertScratch& scratch) const;
  void add_candidate(std::uint32_t owner, std::uint32_t slot, std::optional<float> distance, const PointStore& points,
                     InsertScratch& scratch) const;
  void sort_candidates(const Scorer& owner, InsertScratch& scratch) const;
  // The diversity rule over the sorted candidates, from owner's point of
  // view: the diverse ones, up to capacity, into kept.
  void keep_diverse(const PointStore::VectorRef& owner, std::size_t capacity, InsertScratch& scratch,
                    std::vector<ListCandidate>& kept) const;

  // Starts loading what gather reads first for the ids of a list.
  void prefetch_list_targets(std::span<const std::uint32_t> list, const PointStore& points,
                             const VisitedSet* visited) const;
  // Collects into scratch the neighbours of a list that have a point; with
  // a visited set, also skips ids that are not examinable or already
  // marked, marking each before it is tested further. targets_prefetched:
  // prefetch_list_targets ran for this list already.
  void gather(std::span<const std::uint32_t> list, const PointStore& points, VisitedSet* visited,
              bool targets_prefetched, VectorRequests requests, SearchScratch& scratch) const;
  // Where a walk stands: the position and the distance of its point
  // (FLOAT_MAX when the store has none). Each walk starts where the one
  // above ended, with the distance that walk already computed.
  struct Stop {
    Position position;
    float distance;
  };
  Stop stop_at(const Scorer& cosine, Position position, const PointStore& points) const;
  Stop walk(const Scorer& cosine, Stop start, std::uint64_t layer, const PointStore& points,
            SearchScratch& scratch) const;
  // Where the point of a stop's id is, if the store has one.
  std::optional<std::uint32_t> start_point_slot(Position position, const PointStore& points) const;
  // The bounds of a best-first search: the pairs it keeps, the points
  // those may be (nullptr: all; the walk steps through every point), and
  // the neighbour distances it may compute, and how its vectors are
  // requested ahead.
  struct WalkLimits {
    std::uint64_t bound;
    const std::string* tenant;
    std::uint64_t budget;
    VectorRequests requests;
  };
  // The best-first search of one layer from start, whose point must be
  // stored, keeping at most max(bound, 1) pairs: leaves them in
  // scratch.results, nearest first. Returns whether it stopped because its
  // budget was spent while candidates were left (then the pairs are not
  // meaningful).
  bool best_first(const Scorer& cosine, Stop start, std::uint64_t layer, const WalkLimits& limits,
                  const PointStore& points, SearchScratch& scratch) const;

  GraphNodes nodes_;
};

}  // namespace quorbell
