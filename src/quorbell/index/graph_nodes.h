// Where the graph's links live.
//
// Every id the graph knows (node keys and linked ids, which may lack a
// node) has a dense slot; links are stored as slots in flat lists, so a
// walk follows them without hashing. Layer 0 keeps one list per node slot;
// a node's layers above it share one packed list, so a node that only a
// high layer links stays cheap. Nothing here measures distances or decides
// links: that is the index's (index/hnsw.h).
//
// Thread safety: const methods may run concurrently with each other;
// anything else needs exclusive access.
#pragma once

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdint>
#include <limits>
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
};

// How many ids an insert lets a list on `layer` hold, for the link budget
// m: twice max(m, 1) on the base layer, which every search walks, and
// max(m, 1) above it.
inline std::size_t list_capacity(std::uint64_t m, std::uint64_t layer) {
  const std::uint64_t bound = std::max<std::uint64_t>(m, 1);
  if (layer > 0) return bound;
  return bound > std::numeric_limits<std::uint64_t>::max() / 2 ? bound : 2 * bound;
}

// What a graph that inserts alone have built keeps, beyond its structure:
// see GraphNodes::check.
struct InsertedShape {
  std::uint64_t m;
  std::optional<std::uint64_t> entry_point;
  std::uint64_t max_level;
};

class GraphNodes {
 public:
  static constexpr std::uint32_t kNoSlot = IdSlotMap::kEmpty;

  // An id, and its slot or kNoSlot.
  struct Position {
    std::uint64_t id;
    std::uint32_t slot;
  };

  std::size_t node_count() const { return node_count_; }
  std::uint64_t largest_node_key() const { return largest_node_key_; }
  // Number of slots; slots are [0, slot_count()).
  std::size_t slot_count() const { return slots_.size(); }
  std::uint64_t key(std::uint32_t slot) const {
    assert(slot < slots_.size());
    return slots_[slot].key;
  }
  bool is_node(std::uint32_t slot) const { return slot != kNoSlot && slots_[slot].upper_lists != kNotANode; }
  // Whether the base-layer search may examine id at all: only ids up to the
  // largest node key (id 0 alone while there are no nodes). Deliberate, for
  // compatibility with stored files and callers.
  bool examinable(std::uint64_t id) const { return node_count_ == 0 ? id == 0 : id <= largest_node_key_; }
  // Whether every slot's id is examinable, as in a graph built by upserts:
  // a search then need not ask for each neighbour.
  bool all_examinable() const { return node_count_ > 0 && largest_slot_key_ <= largest_node_key_; }

  Position position_of(std::uint64_t id) const { return Position{id, slot_of_.find(id, key_of()).value_or(kNoSlot)}; }
  // The slot of id, made (with no node and no links) if there is none; a
  // new slot finds the id's point in points.
  std::uint32_t slot_for(std::uint64_t id, const PointStore& points);

  // A node's links on one layer; valid until the lists are next modified.
  std::span<const std::uint32_t> links(std::uint32_t slot, std::uint64_t layer) const;
  std::span<const std::uint32_t> base_links(std::uint32_t slot) const {
    assert(is_node(slot));
    return base_.list(slot);
  }
  void prefetch_slot(std::uint32_t slot) const { __builtin_prefetch(&slots_[slot]); }
  void prefetch_base_links(std::uint32_t slot) const { base_.prefetch(slot); }
  void prefetch_base_link_values(std::uint32_t slot) const { base_.prefetch_values(slot); }

  // For tests only: the node stored under key, in exchange form.
  std::optional<HNSWNode> test_node(std::uint64_t key) const;
  // Calls f(key, node) for every node, in an unspecified order.
  template <class F>
  void for_each_node(F&& f) const;
  // For tests only: stores node under key, replacing any node there, as a
  // load would.
  void test_put_node(std::uint64_t key, const HNSWNode& node, const PointStore& points);
  // Changes of whole lists, planned in full before any is made, so that an
  // insert fails only before it changes anything: prepare() makes every
  // allocation the changes need, and apply() then cannot fail.
  class ListEdits {
   public:
    void clear();
    // The list of the node at slot on layer becomes values. At most one
    // change per list.
    void set(std::uint32_t slot, std::uint64_t layer, std::span<const std::uint32_t> values);
    // Room that a base-layer list moving out of its head gets at least:
    // the base lists' capacity, so that a list growing to it never moves
    // again.
    void set_base_list_room(std::size_t values) { least_run_ = values; }

   private:
    friend class GraphNodes;
    struct Edit {
      std::uint32_t slot;
      std::uint32_t layer;
      std::uint32_t begin, end;  // in values_
    };
    std::vector<Edit> edits_;
    std::vector<std::uint32_t> values_;
    std::vector<std::uint32_t> combined_;  // a node's upper list being rebuilt
    std::size_t least_run_ = 0;
  };
  // Makes the allocations that apply(edits, node) needs. Changes nothing
  // that a reader of the graph sees.
  void prepare(ListEdits& edits, std::uint32_t node);
  // Makes the slot a node with its key as id (a node already keeps its
  // lists), then makes the changes. Allocates nothing, given prepare() for
  // the same arguments.
  void apply(ListEdits& edits, std::uint32_t node) noexcept;

  // Room for this many more nodes, before a load adds them.
  void reserve_nodes(std::size_t count);

  // Fills the graph with a snapshot's nodes, each list built in place from
  // the ids as they are decoded, so a load needs little memory beyond the
  // graph's own. A node's lists come in layer order, 0 to 15. A node left
  // unfinished (the decoding failed) leaves the graph fit only to be
  // dropped.
  class Loader {
   public:
    // Links to ids find their points in points.
    Loader(GraphNodes& nodes, const PointStore& points) : nodes_(nodes), points_(points) {}
    // Starts the node stored under key, replacing any node there.
    void begin_node(std::uint64_t key, std::uint64_t node_id);
    // Starts the next layer's list, with room for `expected` ids.
    void begin_list(std::size_t expected);
    void add(std::uint64_t id);
    void finish_node();

   private:
    LinkLists& lists() { return layer_ == 0 ? nodes_.base_ : nodes_.upper_; }

    GraphNodes& nodes_;
    const PointStore& points_;
    std::uint32_t slot_ = 0;
    std::size_t lists_begun_ = 0;
    std::uint64_t layer_ = 0;  // of the list being read
    // Where each list's ids begin in its pool's tail; [16] is where the
    // upper layers' ids end.
    std::array<std::size_t, MAX_LAYERS + 1> begins_{};
  };

  // Where the point store keeps the point of the slot's id, or kNoPoint.
  // Exact at all times: set when the slot is made, and by an insert of its
  // id (a point once stored keeps its place in the store).
  static constexpr std::uint32_t kNoPoint = 0xFFFFFFFFu;
  std::uint32_t point_slot(std::uint32_t slot) const { return slots_[slot].point_slot; }
  void set_point_slot(std::uint32_t slot, std::uint32_t point_slot) noexcept { slots_[slot].point_slot = point_slot; }
  // The point stored under the position's id.
  std::optional<PointView> point_at(const Position& position, const PointStore& points) const {
    if (position.slot == kNoSlot) return points.find(position.id);
    const std::uint32_t point = slots_[position.slot].point_slot;
    if (point == kNoPoint) return std::nullopt;
    return points.view(point);
  }
  // Compacts the pools of lists once abandoned runs outweigh the live ones.
  void compact_if_wasteful() noexcept;

  // Empty when the graph holds together, else the first fault found: the
  // id map and the slots agree, each slot's point is where points keeps
  // its id's, the counts and largest keys are right, and every node's lists
  // lie within their storage and name slots there are. Any loaded state
  // holds together. Given the shape of a graph that inserts alone built,
  // also: no list beyond its capacity, none with a self-link or a repeat or
  // above max_level, and an entry point that is a node exactly when there
  // are nodes.
  std::string check(const PointStore& points, const InsertedShape* shape = nullptr) const;

 private:
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
  static std::span<const std::uint32_t> upper_layer(std::span<const std::uint32_t> all, std::uint64_t layer);

  // One id the graph knows, kept to 16 bytes: a walk reads it for every
  // neighbour.
  struct SlotInfo {
    std::uint64_t key;
    std::uint32_t point_slot;  // see point_slot()
    // kNotANode when no node is stored under the key (only links name it),
    // else where the node's lists above layer 0 are (see upper_top).
    std::uint32_t upper_lists;
  };

  // Index in upper_ of a node's upper list, made if the node has none, now
  // covering layers 1 to top (1 to 15).
  std::size_t upper_list(std::uint32_t slot, std::uint64_t top);
  // Makes the slot a node with empty lists, unless it is one already, and
  // records its id.
  void make_node(std::uint32_t slot, std::uint64_t node_id);
  // The node's upper list rebuilt into out, with the lists of the edits
  // [first, last) (all of this node, upper layers, ascending) in place of
  // its own; returns the highest layer left non-empty.
  std::uint64_t rebuilt_upper(std::uint32_t slot, std::span<const ListEdits::Edit> edits,
                              const std::vector<std::uint32_t>& values, std::vector<std::uint32_t>& out) const;
  template <class OnBase, class OnUpper>
  void for_each_change(ListEdits& edits, OnBase on_base, OnUpper on_upper) const;
  HNSWNode exchange_form(std::uint32_t slot) const;

  // The id stored at a slot, for the id map's lookups.
  struct KeyAt {
    const GraphNodes* nodes;
    std::uint64_t operator()(std::uint32_t slot) const { return nodes->slots_[slot].key; }
  };
  KeyAt key_of() const { return KeyAt{this}; }

  IdSlotMap slot_of_;
  LargeVector<SlotInfo> slots_;
  LinkLists base_;   // layer 0, one list per slot up to the last node's
  LinkLists upper_;  // layers 1 and up, one list per node that has any
  std::size_t node_count_ = 0;
  std::uint64_t largest_node_key_ = 0;
  std::uint64_t largest_slot_key_ = 0;
  ForeignIds foreign_ids_;
};

template <class F>
void GraphNodes::for_each_node(F&& f) const {
  for (std::uint32_t slot = 0; slot < slots_.size(); ++slot) {
    if (is_node(slot)) f(slots_[slot].key, exchange_form(slot));
  }
}

}  // namespace quorbell
