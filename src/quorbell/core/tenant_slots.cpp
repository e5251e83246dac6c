#include "core/tenant_slots.h"

#include <algorithm>
#include <bit>
#include <functional>

namespace quorbell {

TenantSlots::SlotList::~SlotList() {
  if (capacity_ > kInline) delete[] heap_;
}

void TenantSlots::SlotList::make_room() {
  if (size_ < capacity_) return;
  const std::uint32_t capacity = capacity_ * 2;
  auto* fresh = new std::uint32_t[capacity];
  std::copy_n(data(), size_, fresh);
  if (capacity_ > kInline) delete[] heap_;
  heap_ = fresh;
  capacity_ = capacity;
}

void TenantSlots::SlotList::insert(std::uint32_t slot) noexcept {
  std::uint32_t* begin = data();
  std::uint32_t* at = std::lower_bound(begin, begin + size_, slot);
  std::copy_backward(at, begin + size_, begin + size_ + 1);
  *at = slot;
  ++size_;
}

void TenantSlots::SlotList::erase(std::uint32_t slot) noexcept {
  std::uint32_t* begin = data();
  std::uint32_t* at = std::lower_bound(begin, begin + size_, slot);
  std::copy(at + 1, begin + size_, at);
  --size_;
}

const TenantSlots::Group* TenantSlots::find(std::string_view tenant) const {
  if (table_.empty()) return nullptr;
  const std::size_t mask = table_.size() - 1;
  for (std::size_t i = std::hash<std::string_view>{}(tenant) & mask; table_[i] != kFree; i = (i + 1) & mask) {
    const Group& group = (*groups_)[table_[i] - 1];
    if (group.tenant == tenant) return &group;
  }
  return nullptr;
}

void TenantSlots::place(std::uint32_t group) {
  const std::size_t mask = table_.size() - 1;
  std::size_t i = std::hash<std::string_view>{}((*groups_)[group].tenant) & mask;
  while (table_[i] != kFree) i = (i + 1) & mask;
  table_[i] = group + 1;
}

std::span<const std::uint32_t> TenantSlots::of(std::string_view tenant) const {
  const Group* group = find(tenant);
  if (group == nullptr) return {};
  return group->slots.view();
}

void TenantSlots::prepare(std::optional<std::string_view> tenant) {
  if (!tenant) return;
  if (find(*tenant) == nullptr) {
    // The table stays at most three quarters full. Each step below either
    // fails before it changes anything or cannot fail.
    if (!groups_) groups_ = std::make_unique<std::deque<Group>>();
    const std::size_t count = groups_->size() + 1;
    if (4 * count > 3 * table_.size()) {
      std::vector<std::uint32_t> fresh(std::bit_ceil(2 * count), kFree);
      table_.swap(fresh);
      for (std::uint32_t group = 0; group < groups_->size(); ++group) place(group);
    }
    groups_->emplace_back(*tenant);
    place(static_cast<std::uint32_t>(groups_->size() - 1));
  }
  group_of(*tenant).slots.make_room();
}

void TenantSlots::move(std::uint32_t slot, std::optional<std::string_view> from,
                       std::optional<std::string_view> to) noexcept {
  if (from && to && *from == *to) return;
  if (from) group_of(*from).slots.erase(slot);
  if (to) group_of(*to).slots.insert(slot);
}

}  // namespace quorbell
