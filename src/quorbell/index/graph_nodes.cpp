#include "index/graph_nodes.h"

#include <algorithm>
#include <bit>
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

std::uint32_t GraphNodes::slot_for(std::uint64_t id) {
  if (auto slot = slot_of_.find(id, key_of())) return *slot;
  if (slots_.size() >= kNoSlot - 1) throw std::bad_alloc();
  const auto slot = static_cast<std::uint32_t>(slots_.size());
  slots_.push_back(SlotInfo{id, kNoSlot, kNotANode});
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

void GraphNodes::assign_upper(std::uint32_t slot, std::uint64_t top,
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

void GraphNodes::append_link(std::uint32_t slot, std::uint64_t layer, std::uint32_t target) {
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

void GraphNodes::append_logged(std::uint32_t slot, std::uint64_t layer, std::uint32_t target, Appended& entry) {
  entry.slot = slot;
  entry.layer = layer;
  entry.upper_lists = slots_[slot].upper_lists;
  if (layer > 0 && upper_top(entry.upper_lists) > 0) {
    const auto list = upper_.list(upper_index(entry.upper_lists));
    entry.upper.assign(list.begin(), list.end());
  }
  append_link(slot, layer, target);
}

// Puts back a list that only grew, in place: a list never needs more room
// than it has to shrink, so nothing here allocates.
void GraphNodes::take_back(const Appended& entry) noexcept {
  if (entry.layer == 0) {
    base_.remove_last(entry.slot);
    return;
  }
  if (upper_top(entry.upper_lists) > 0) upper_.assign(upper_index(entry.upper_lists), entry.upper);
  slots_[entry.slot].upper_lists = entry.upper_lists;
}

void GraphNodes::drop_node(std::uint32_t slot, std::size_t node_count, std::uint64_t largest_node_key) noexcept {
  base_.clear(slot);
  slots_[slot].upper_lists = kNotANode;
  node_count_ = node_count;
  largest_node_key_ = largest_node_key;
}

void GraphNodes::store_node(std::uint64_t key, std::uint64_t node_id,
                            const std::array<std::span<const std::uint32_t>, MAX_LAYERS>& lists) {
  const std::uint32_t slot = slot_for(key);
  make_node(slot, node_id);
  base_.assign(slot, lists[0]);
  // Upper lists are kept up to the highest non-empty one.
  std::uint64_t top = MAX_LAYERS - 1;
  while (top > 0 && lists[top].empty()) --top;
  assign_upper(slot, top, lists);
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

std::optional<HNSWNode> GraphNodes::node(std::uint64_t key) const {
  const Position position = position_of(key);
  if (!is_node(position.slot)) return std::nullopt;
  return exchange_form(position.slot);
}

void GraphNodes::put_node(std::uint64_t key, const HNSWNode& node) {
  Loader loader(*this);
  loader.begin_node(key, node.id);
  for (const auto& ids : node.neighbors) {
    loader.begin_list(ids.size());
    for (std::uint64_t id : ids) loader.add(id);
  }
  loader.finish_node();
}

void GraphNodes::Loader::begin_node(std::uint64_t key, std::uint64_t node_id) {
  slot_ = nodes_.slot_for(key);
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
  const std::uint32_t target = nodes_.slot_for(id);
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
  if (top == 0) {
    nodes_.assign_upper(slot_, 0, {});
  } else {
    // The pushed ids, then their layers' ends and mask: the upper list.
    append_upper_index(std::span<const std::size_t>(begins_).subspan(1), top,
                       [&](std::uint32_t value) { upper.push_tail(value); });
    upper.adopt(nodes_.upper_list(slot_, top), begins_[1], upper.tail());
  }
  nodes_.base_.compact_if_wasteful();
  upper.compact_if_wasteful();
}

std::optional<PointView> GraphNodes::find_point(const Position& position, const PointStore& points) const {
  if (position.slot == kNoSlot) return points.find(position.id);
  const auto found = points.slot_of(position.id);
  if (!found) return std::nullopt;
  std::atomic_ref<std::uint32_t>(slots_[position.slot].point_hint).store(*found, std::memory_order_relaxed);
  return points.view(*found);
}

}  // namespace quorbell
