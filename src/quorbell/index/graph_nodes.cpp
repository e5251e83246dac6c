#include "index/graph_nodes.h"

#include <algorithm>
#include <bit>
#include <cassert>
#include <new>

#include "core/growth.h"

namespace quorbell {

namespace {
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
}  // namespace

std::uint32_t GraphNodes::slot_for(std::uint64_t id, const PointStore& points) {
  if (auto slot = slot_of_.find(id, key_of())) return *slot;
  if (slots_.size() >= kNoSlot - 1) throw std::bad_alloc();
  const auto slot = static_cast<std::uint32_t>(slots_.size());
  slots_.push_back(SlotInfo{id, points.slot_of(id).value_or(kNoPoint), kNotANode});
  largest_slot_key_ = std::max(largest_slot_key_, id);
  slot_of_.insert(id, slot, key_of());
  return slot;
}

void GraphNodes::reserve_nodes(std::size_t count) {
  slots_.reserve(slots_.size() + count);
  slot_of_.reserve(slot_of_.size() + count, key_of());
  base_.reserve(base_.count() + count);
}

void GraphNodes::make_node(std::uint32_t slot, std::uint64_t node_id) {
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

std::span<const std::uint32_t> GraphNodes::upper_layer(std::span<const std::uint32_t> all, std::uint64_t layer) {
  const std::uint32_t mask = all.back();
  if ((mask >> layer & 1) == 0) return {};
  const auto ends = all.first(all.size() - 1).last(static_cast<std::size_t>(std::popcount(mask)));
  const auto below = static_cast<std::size_t>(std::popcount(mask & ((1u << layer) - 1)));
  const std::uint32_t begin = below == 0 ? 0 : ends[below - 1];
  return all.subspan(begin, ends[below] - begin);
}

std::span<const std::uint32_t> GraphNodes::links(std::uint32_t slot, std::uint64_t layer) const {
  assert(is_node(slot));
  if (layer == 0) return base_.list(slot);
  const std::uint32_t packed = slots_[slot].upper_lists;
  if (packed == kNotANode || layer > upper_top(packed)) return {};
  return upper_layer(upper_.list(upper_index(packed)), layer);
}

std::size_t GraphNodes::upper_list(std::uint32_t slot, std::uint64_t top) {
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

void GraphNodes::ListEdits::clear() {
  edits_.clear();
  values_.clear();
}

void GraphNodes::ListEdits::set(std::uint32_t slot, std::uint64_t layer, std::span<const std::uint32_t> values) {
  const auto begin = static_cast<std::uint32_t>(values_.size());
  values_.insert(values_.end(), values.begin(), values.end());
  edits_.push_back(Edit{slot, static_cast<std::uint32_t>(layer), begin, static_cast<std::uint32_t>(values_.size())});
}

std::uint64_t GraphNodes::rebuilt_upper(std::uint32_t slot, std::span<const ListEdits::Edit> edits,
                                        const std::vector<std::uint32_t>& values,
                                        std::vector<std::uint32_t>& out) const {
  out.clear();
  std::array<std::size_t, MAX_LAYERS> ends{};
  std::uint64_t top = 0;
  for (std::uint64_t layer = 1; layer < MAX_LAYERS; ++layer) {
    std::span<const std::uint32_t> list = is_node(slot) ? links(slot, layer) : std::span<const std::uint32_t>{};
    if (!edits.empty() && edits.front().layer == layer) {
      list =
          std::span<const std::uint32_t>(values).subspan(edits.front().begin, edits.front().end - edits.front().begin);
      edits = edits.subspan(1);
    }
    out.insert(out.end(), list.begin(), list.end());
    ends[layer] = out.size();
    if (!list.empty()) top = layer;
  }
  if (top == 0) {
    out.clear();
    return 0;
  }
  append_upper_index(ends, top, [&](std::uint32_t value) { out.push_back(value); });
  return top;
}

// Edits go a node at a time: on_base(edit, values) for a base-layer list,
// on_upper(slot, top) for a node's upper layers, rebuilt together into
// edits.combined_ (top: its highest non-empty layer). Edits must be sorted
// by slot, then layer.
template <class OnBase, class OnUpper>
void GraphNodes::for_each_change(ListEdits& edits, OnBase on_base, OnUpper on_upper) const {
  const auto& all = edits.edits_;
  for (std::size_t k = 0; k < all.size();) {
    const ListEdits::Edit& edit = all[k];
    if (edit.layer == 0) {
      on_base(edit, std::span<const std::uint32_t>(edits.values_).subspan(edit.begin, edit.end - edit.begin));
      ++k;
      continue;
    }
    std::size_t end = k;
    while (end < all.size() && all[end].slot == edit.slot) ++end;
    const auto group = std::span<const ListEdits::Edit>(all).subspan(k, end - k);
    on_upper(edit.slot, rebuilt_upper(edit.slot, group, edits.values_, edits.combined_));
    k = end;
  }
}

void GraphNodes::prepare(ListEdits& edits, std::uint32_t node) {
  std::sort(edits.edits_.begin(), edits.edits_.end(), [](const ListEdits::Edit& a, const ListEdits::Edit& b) {
    return a.slot != b.slot ? a.slot < b.slot : a.layer < b.layer;
  });
  assert(std::adjacent_find(edits.edits_.begin(), edits.edits_.end(), [](const auto& a, const auto& b) {
           return a.slot == b.slot && a.layer == b.layer;
         }) == edits.edits_.end());
  if (!is_node(node)) base_.reserve(std::size_t{node} + 1);
  std::size_t base_room = 0, upper_room = 0, upper_heads = 0, longest_upper = 0;
  for_each_change(
      edits,
      [&](const ListEdits::Edit& edit, std::span<const std::uint32_t> values) {
        base_room += base_.assign_room(edit.slot, values.size(), edits.least_run_);
      },
      [&](std::uint32_t slot, std::uint64_t top) {
        longest_upper = std::max(longest_upper, edits.combined_.size());
        if (top == 0) return;
        const std::uint32_t packed = is_node(slot) ? slots_[slot].upper_lists : kNoUpperLists;
        const bool new_head = upper_top(packed) == 0;
        upper_heads += new_head;
        upper_room += upper_.assign_room(new_head ? upper_.count() : upper_index(packed), edits.combined_.size());
      });
  if (upper_.count() + upper_heads >= kUpperListsLimit) throw std::bad_alloc();
  upper_.reserve(upper_.count() + upper_heads);
  base_.reserve_room(base_room);
  upper_.reserve_room(upper_room);
  reserve_more(edits.combined_, longest_upper);
}

void GraphNodes::apply(ListEdits& edits, std::uint32_t node) noexcept {
  make_node(node, slots_[node].key);
  for_each_change(
      edits,
      [&](const ListEdits::Edit& edit, std::span<const std::uint32_t> values) {
        assert(base_.assign_room(edit.slot, values.size(), edits.least_run_) <= base_.spare_room());
        base_.assign(edit.slot, values, edits.least_run_);
      },
      [&](std::uint32_t slot, std::uint64_t top) {
        std::uint32_t& packed = slots_[slot].upper_lists;
        if (top > 0) {
          const std::size_t index = upper_list(slot, top);
          assert(upper_.assign_room(index, edits.combined_.size()) <= upper_.spare_room());
          upper_.assign(index, edits.combined_);
          return;
        }
        // The emptied list's head stays behind unused.
        if (upper_top(packed) != 0) upper_.assign(upper_index(packed), {});
        packed = kNoUpperLists;
      });
}

void GraphNodes::compact_if_wasteful() noexcept {
  base_.compact_if_wasteful();
  upper_.compact_if_wasteful();
}

HNSWNode GraphNodes::exchange_form(std::uint32_t slot) const {
  HNSWNode node;
  node.id = foreign_ids_.id_of(slot, slots_[slot].key);
  for (std::uint64_t layer = 0; layer < MAX_LAYERS; ++layer) {
    const auto list = links(slot, layer);
    node.neighbors[layer].reserve(list.size());
    for (std::uint32_t target : list) node.neighbors[layer].push_back(slots_[target].key);
  }
  return node;
}

std::optional<HNSWNode> GraphNodes::test_node(std::uint64_t key) const {
  const Position position = position_of(key);
  if (!is_node(position.slot)) return std::nullopt;
  return exchange_form(position.slot);
}

void GraphNodes::test_put_node(std::uint64_t key, const HNSWNode& node, const PointStore& points) {
  Loader loader(*this, points);
  loader.begin_node(key, node.id);
  for (const auto& ids : node.neighbors) {
    loader.begin_list(ids.size());
    for (std::uint64_t id : ids) loader.add(id);
  }
  loader.finish_node();
}

void GraphNodes::Loader::begin_node(std::uint64_t key, std::uint64_t node_id) {
  slot_ = nodes_.slot_for(key, points_);
  nodes_.make_node(slot_, node_id);
  lists_begun_ = 0;
}

void GraphNodes::Loader::begin_list(std::size_t expected) {
  // The base layer's list is complete: adopt it. Upper lists wait until the
  // node's top layer is known.
  if (lists_begun_ == 1) nodes_.base_.adopt(slot_, begins_[0], nodes_.base_.tail());
  layer_ = lists_begun_++;
  begins_[layer_] = lists().tail();
  lists().reserve_tail(expected);
  // Every id may be new: room for their slots now spares copying all the
  // slots as they grow. Unused room is address space only, never touched.
  reserve_more(nodes_.slots_, expected);
}

void GraphNodes::Loader::add(std::uint64_t id) {
  const std::uint32_t target = nodes_.slot_for(id, points_);
  lists().push_tail(target);
}

void GraphNodes::Loader::finish_node() {
  if (lists_begun_ == 1) nodes_.base_.adopt(slot_, begins_[0], nodes_.base_.tail());
  LinkLists& upper = nodes_.upper_;
  for (std::size_t layer = std::max<std::size_t>(lists_begun_, 1); layer <= MAX_LAYERS; ++layer) {
    begins_[layer] = upper.tail();
  }
  std::uint64_t top = MAX_LAYERS - 1;
  while (top > 0 && begins_[top] == begins_[top + 1]) --top;
  std::uint32_t& packed = nodes_.slots_[slot_].upper_lists;
  if (top == 0) {
    // A replaced node's emptied list leaves its head behind unused.
    if (upper_top(packed) != 0) upper.assign(upper_index(packed), {});
    packed = kNoUpperLists;
  } else {
    // The pushed ids, then their layers' ends and mask: the upper list.
    append_upper_index(std::span<const std::size_t>(begins_).subspan(1), top,
                       [&](std::uint32_t value) { upper.push_tail(value); });
    upper.adopt(nodes_.upper_list(slot_, top), begins_[1], upper.tail());
  }
  nodes_.base_.compact_if_wasteful();
  upper.compact_if_wasteful();
}

std::string GraphNodes::check(const PointStore& points, const InsertedShape* shape) const {
  const auto at = [&](std::uint32_t slot) {
    return "slot " + std::to_string(slot) + " (id " + std::to_string(slots_[slot].key) + ")";
  };
  if (slot_of_.size() != slots_.size()) return "the id map and the slots differ in number";
  std::size_t nodes = 0;
  std::uint64_t largest_node = 0, largest_slot = 0;
  for (std::uint32_t slot = 0; slot < slots_.size(); ++slot) {
    const SlotInfo& info = slots_[slot];
    if (slot_of_.find(info.key, key_of()) != slot) return at(slot) + " is not where the id map says";
    if (info.point_slot != points.slot_of(info.key).value_or(kNoPoint)) return at(slot) + " has another point";
    largest_slot = std::max(largest_slot, info.key);
    if (!is_node(slot)) {
      if (slot < base_.count() && !base_.list(slot).empty()) return at(slot) + " has links but no node";
      continue;
    }
    largest_node = nodes++ == 0 ? info.key : std::max(largest_node, info.key);
    if (slot >= base_.count()) return at(slot) + " has no base list";
    if (upper_top(info.upper_lists) != 0) {
      if (upper_index(info.upper_lists) >= upper_.count()) return at(slot) + " has no upper list";
      const auto all = upper_.list(upper_index(info.upper_lists));
      if (all.empty()) return at(slot) + " has an empty upper list";
      const std::uint32_t mask = all.back();
      const auto layers = static_cast<std::size_t>(std::popcount(mask));
      if ((mask & 1u) != 0 || (mask >> upper_top(info.upper_lists)) != 1 || layers >= all.size()) {
        return at(slot) + " has a malformed upper list";
      }
      const auto ends = all.first(all.size() - 1).last(layers);
      if (!std::is_sorted(ends.begin(), ends.end()) || ends.back() != all.size() - 1 - layers) {
        return at(slot) + " has a malformed upper list";
      }
    }
    for (std::uint64_t layer = 0; layer < MAX_LAYERS; ++layer) {
      auto list = links(slot, layer);
      for (const std::uint32_t target : list) {
        if (target >= slots_.size()) return at(slot) + " links a slot that does not exist";
      }
      if (shape == nullptr || list.empty()) continue;
      const std::string where = at(slot) + " on layer " + std::to_string(layer);
      if (list.size() > list_capacity(shape->m, layer)) return where + " holds more than its capacity";
      if (layer > shape->max_level) return where + " has links above max_level";
      std::vector<std::uint32_t> sorted(list.begin(), list.end());
      std::sort(sorted.begin(), sorted.end());
      if (std::adjacent_find(sorted.begin(), sorted.end()) != sorted.end()) return where + " repeats a link";
      if (std::binary_search(sorted.begin(), sorted.end(), slot)) return where + " links itself";
    }
  }
  if (nodes != node_count_) return "the node count is wrong";
  if (nodes > 0 && largest_node != largest_node_key_) return "the largest node key is wrong";
  if (!slots_.empty() && largest_slot > largest_slot_key_) return "the largest slot key is wrong";
  for (const std::string& fault : {base_.check(), upper_.check()}) {
    if (!fault.empty()) return fault;
  }
  if (shape != nullptr) {
    if (shape->entry_point.has_value() != (nodes > 0)) return "an entry point without nodes, or nodes without one";
    if (shape->entry_point && !is_node(position_of(*shape->entry_point).slot)) return "the entry point is not a node";
  }
  return {};
}

}  // namespace quorbell
