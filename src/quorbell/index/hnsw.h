// Hierarchical navigable small-world graph over point ids.
//
// The graph stores ids and links only and always measures cosine distance,
// reading vectors from the point store it is handed. Insertion adds one
// link per layer, to where a greedy walk ends, plus a link back while the
// target's list is shorter than `m`. Only the base layer is searched
// best-first, bounded by `ef_search`.
//
// Layout: every id the graph knows (node keys and linked ids, which may
// lack a node) has a dense slot; links are stored as slots in flat lists, so
// a walk follows them without hashing. Nothing here depends on a particular
// point store: points are found by id, through a per-slot hint that is
// checked on every use and repaired when stale.
//
// Thread safety: the index has no lock of its own. Const methods may run
// concurrently with each other (their scratch state is per thread); insert
// and put_node need exclusive access. The Segment provides both through its
// `index` lock, and holds the point store's lock for as long.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/foreign_ids.h"
#include "core/id_slot_map.h"
#include "core/large_arrays.h"
#include "core/point_store.h"
#include "index/link_lists.h"

namespace quorbell {

inline constexpr std::uint64_t MAX_LAYERS = 16;

// One node in exchange form: its own id and its 16 lists of linked ids,
// layer 0 first.
struct HNSWNode {
  std::uint64_t id = 0;
  std::array<std::vector<std::uint64_t>, MAX_LAYERS> neighbors;
  bool operator==(const HNSWNode&) const = default;
};

// A candidate of the graph query: cosine distance and point id.
struct Candidate {
  float distance;
  std::uint64_t id;
};

// The level drawn from one 64-bit random value r with link budget m:
// u = (r >> 11) * 2^-53; 15 when u is 0, else trunc(-ln(u) / ln(m)) capped
// at 15 (0 when that is negative or NaN).
std::uint64_t level_from_random(std::uint64_t r, std::uint64_t m);

class Scorer;
class VisitedSet;
struct SearchScratch;

class HNSWIndex {
 public:
  HNSWIndex() = default;
  HNSWIndex(HNSWIndex&&) noexcept = default;
  HNSWIndex& operator=(HNSWIndex&&) noexcept = default;

  std::uint64_t m = 16;                // back links only to lists shorter than m
  std::uint64_t ef_construction = 64;  // kept and persisted, read by nothing
  std::uint64_t ef_search = 32;        // bound of the base-layer result list
  std::optional<std::uint64_t> entry_point;
  std::uint64_t max_level = 0;

  std::size_t node_count() const { return node_count_; }
  // The node stored under key, in exchange form.
  std::optional<HNSWNode> node(std::uint64_t key) const;
  // Calls f(key, node) for every node, in an unspecified order.
  template <class F>
  void for_each_node(F&& f) const;
  // Stores node under key, replacing any node there, as a load would. For
  // tests that build states directly, so nothing is checked: the node's id
  // may differ from key and links may name any id.
  void put_node(std::uint64_t key, const HNSWNode& node);

  // Fills the index with a snapshot's nodes, each list built in place from
  // the ids as they are decoded, so a load needs little memory beyond the
  // graph's own. A node's lists come in layer order, 0 to 15. A node left
  // unfinished (the decoding failed) leaves the index fit only to be
  // dropped.
  class Loader {
   public:
    explicit Loader(HNSWIndex& index) : index_(index) {}
    // Starts the node stored under key, replacing any node there.
    void begin_node(std::uint64_t key, std::uint64_t node_id);
    // Starts the next layer's list, with room for `expected` ids.
    void begin_list(std::size_t expected);
    void add(std::uint64_t id);
    void finish_node();

   private:
    LinkLists& lists() { return layer_ == 0 ? index_.base_ : index_.upper_; }

    HNSWIndex& index_;
    std::uint32_t slot_ = 0;
    std::size_t lists_begun_ = 0;
    std::uint64_t layer_ = 0;  // of the list being read
    // Where each list's ids begin in its pool's tail; [16] is where the
    // upper layers' ids end.
    std::array<std::size_t, MAX_LAYERS + 1> begins_{};
  };

  // Room for this many more nodes, before a load adds them.
  void reserve_nodes(std::size_t count);

  // A level for a new node, from this thread's generator and the current m.
  std::uint64_t random_level() const;

  // Links the point just stored under id into the graph, measuring with
  // the vector and sum of squares the store keeps for it (an id the store
  // lacks changes nothing). An id that already has a node keeps its lists
  // and gains only new links (see relink). When an allocation fails
  // (std::bad_alloc), the graph is left exactly as it was.
  void insert(std::uint64_t id, const PointStore& points);

  // Up to max(ef_search, 1) candidates by ascending cosine distance, ties in
  // the order they were found. Requires an entry point.
  std::vector<Candidate> search_knn(std::span<const float> query, const PointStore& points,
                                    const std::string* tenant) const;
  // The same, given a cosine Scorer of the query.
  std::vector<Candidate> search_knn(const Scorer& cosine, const PointStore& points,
                                    const std::string* tenant) const;

#ifdef QUORBELL_TEST_SEAMS
  // Greedy walk on one layer from start: moves to the first neighbour with
  // a strictly smaller distance until none is closer; returns where it ends.
  std::uint64_t search_layer(std::span<const float> query, std::uint64_t start, std::uint64_t layer,
                             const PointStore& points, const std::string* tenant) const;
#endif

 private:
  static constexpr std::uint32_t kNoSlot = IdSlotMap::kEmpty;
  // SlotInfo::upper_lists of an id that has no node. A node's value packs
  // the index in upper_ of the one list that holds its layers 1 to top
  // above 4 bits that hold top (0 to 15; 0: no upper layers, no list).
  static constexpr std::uint32_t kNotANode = 0xFFFFFFFFu;
  static constexpr std::uint32_t kNoUpperLists = 0;
  static constexpr std::size_t kUpperListsLimit = std::size_t{1} << 28;
  static std::uint32_t upper_top(std::uint32_t packed) { return packed & 0xFu; }
  static std::size_t upper_index(std::uint32_t packed) { return packed >> 4; }
  // One layer's ids in a node's upper list. The list holds the ids of its
  // non-empty layers one layer after another, then where each of those
  // layers' ids end, then a mask with bit k set for each non-empty layer k.
  // One short list for all layers keeps a node that only a high layer
  // links cheap.
  static std::span<const std::uint32_t> upper_layer(std::span<const std::uint32_t> all, std::uint64_t layer);

  // One id the graph knows, kept to 16 bytes: a walk reads it for every
  // neighbour.
  struct SlotInfo {
    std::uint64_t key;
    // Where the point with this key was last found; checked before use.
    // Searches repair it concurrently, hence mutable and accessed atomically.
    mutable std::uint32_t point_hint;
    // kNotANode when no node is stored under the key (only links name it),
    // else where the node's lists above layer 0 are (see upper_top).
    std::uint32_t upper_lists;
  };

  // A walk's position: an id, and its slot or kNoSlot.
  struct Position {
    std::uint64_t id;
    std::uint32_t slot;
  };

  Position position_of(std::uint64_t id) const;
  std::uint32_t slot_for(std::uint64_t id);
  // Makes the slot a node with empty lists, unless it is one already, and
  // records its id.
  void make_node(std::uint32_t slot, std::uint64_t node_id);
  bool is_node(std::uint32_t slot) const { return slot != kNoSlot && slots_[slot].upper_lists != kNotANode; }
  // Whether the base-layer search may examine id at all: only ids up to the
  // largest node key (id 0 alone while there are no nodes). Deliberate, for
  // compatibility with stored files and callers.
  bool examinable(std::uint64_t id) const {
    return node_count_ == 0 ? id == 0 : id <= largest_node_key_;
  }

  std::span<const std::uint32_t> links(std::uint32_t slot, std::uint64_t layer) const;
  // Index in upper_ of a node's upper list, made if the node has none, now
  // covering layers 1 to top (1 to 15).
  std::size_t upper_list(std::uint32_t slot, std::uint64_t top);
  // Stores lists 1 to top as the node's upper list (top 0: none).
  void assign_upper(std::uint32_t slot, std::uint64_t top,
                    const std::array<std::span<const std::uint32_t>, MAX_LAYERS>& lists);
  void append_link(std::uint32_t slot, std::uint64_t layer, std::uint32_t target);
  // The links of a re-insert whose walk on layer ended at current, where
  // they are new: never to the node itself, never an id a list already
  // holds, and a forward link only while the node's list holds fewer than
  // max(m, 1) ids. So re-inserting an unchanged vector cannot cut the node
  // off, as replacing its lists with one link to where the walk ended would.
  struct InsertLog;
  void relink(std::uint32_t self, Position current, std::uint64_t layer, InsertLog& log);
  // insert() without its rollback.
  // point_slot: where the store keeps the point.
  void link(std::uint64_t id, std::uint32_t point_slot, const PointStore& points, InsertLog& log);
  void append_logged(std::uint32_t slot, std::uint64_t layer, std::uint32_t target, InsertLog& log);
  // Takes back what a failed insert of id changed, as far as log records.
  void roll_back(std::uint64_t id, const InsertLog& log) noexcept;
  void store_node(std::uint64_t key, std::uint64_t node_id,
                  const std::array<std::span<const std::uint32_t>, MAX_LAYERS>& lists);
  HNSWNode exchange_form(std::uint32_t slot) const;

  std::uint32_t point_hint(std::uint32_t slot) const {
    return std::atomic_ref<std::uint32_t>(slots_[slot].point_hint).load(std::memory_order_relaxed);
  }
  // The point stored under the position's id, found through the slot's
  // hint when that is still right (nearly always: this runs for every
  // neighbour a walk looks at).
  std::optional<PointView> point_at(const Position& position, const PointStore& points) const {
    if (position.slot != kNoSlot) {
      const std::uint32_t guess = point_hint(position.slot);
      if (guess < points.size() && points.key_at(guess) == position.id) return points.view(guess);
    }
    return find_point(position, points);
  }
  // point_at without a right hint: looks the id up and repairs the hint.
  std::optional<PointView> find_point(const Position& position, const PointStore& points) const;
  // Starts loading what gather reads first for the ids of a list.
  void prefetch_list_targets(std::span<const std::uint32_t> list, const PointStore& points,
                             const VisitedSet* visited) const;
  // Collects into scratch the neighbours of a list that have a point passing
  // the filter; with a visited set, also skips ids that are not examinable
  // or already marked, marking each before it is tested further.
  void gather(std::span<const std::uint32_t> list, const PointStore& points,
              const std::string* tenant, VisitedSet* visited, SearchScratch& scratch) const;
  // Where a walk stands: the position and the distance of its point
  // (FLOAT_MAX when the store has none). Each walk starts where the one
  // above ended, with the distance that walk already computed.
  struct Stop {
    Position position;
    float distance;
  };
  Stop stop_at(const Scorer& cosine, Position position, const PointStore& points) const;
  Stop walk(const Scorer& cosine, Stop start, std::uint64_t layer, const PointStore& points,
            const std::string* tenant, SearchScratch& scratch) const;

  // The id stored at a slot, for the id map's lookups.
  struct KeyAt {
    const HNSWIndex* index;
    std::uint64_t operator()(std::uint32_t slot) const { return index->slots_[slot].key; }
  };
  KeyAt key_of() const { return KeyAt{this}; }

  IdSlotMap slot_of_;
  LargeVector<SlotInfo> slots_;
  LinkLists base_;   // layer 0, one list per slot up to the last node's
  LinkLists upper_;  // layers 1 and up, one list per node that has any
  std::size_t node_count_ = 0;
  std::uint64_t largest_node_key_ = 0;
  ForeignIds foreign_ids_;
};

template <class F>
void HNSWIndex::for_each_node(F&& f) const {
  for (std::uint32_t slot = 0; slot < slots_.size(); ++slot) {
    if (is_node(slot)) f(slots_[slot].key, exchange_form(slot));
  }
}

}  // namespace quorbell
