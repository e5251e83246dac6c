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

void TenantSlots::SlotList::release() noexcept {
  if (capacity_ > kInline) delete[] heap_;
  capacity_ = kInline;
  size_ = 0;
}

std::size_t TenantSlots::home_of(std::string_view tenant) const {
  return std::hash<std::string_view>{}(tenant) & (table_.size() - 1);
}

std::uint32_t TenantSlots::entry_of(std::string_view tenant) const {
  if (table_.empty()) return kFree;
  const std::size_t mask = table_.size() - 1;
  for (std::size_t i = home_of(tenant); table_[i] != kFree; i = (i + 1) & mask) {
    if ((*groups_)[table_[i] - 1].tenant == tenant) return table_[i];
  }
  return kFree;
}

const TenantSlots::Group* TenantSlots::find(std::string_view tenant) const {
  const std::uint32_t entry = entry_of(tenant);
  return entry == kFree ? nullptr : &(*groups_)[entry - 1];
}

std::uint32_t TenantSlots::number_of(std::string_view tenant) const {
  const std::uint32_t entry = entry_of(tenant);
  return entry == kFree ? kNone : entry;
}

std::size_t TenantSlots::position_of(std::string_view tenant) const {
  const std::size_t mask = table_.size() - 1;
  std::size_t i = home_of(tenant);
  while ((*groups_)[table_[i] - 1].tenant != tenant) i = (i + 1) & mask;
  return i;
}

void TenantSlots::place(std::uint32_t group) {
  const std::size_t mask = table_.size() - 1;
  std::size_t i = home_of((*groups_)[group].tenant);
  while (table_[i] != kFree) i = (i + 1) & mask;
  table_[i] = group + 1;
}

std::span<const std::uint32_t> TenantSlots::of(std::string_view tenant) const {
  const Group* group = find(tenant);
  if (group == nullptr) return {};
  return group->slots.view();
}

void TenantSlots::prepare(std::optional<std::string_view> tenant, std::uint32_t slot) {
  if (!tenant) return;
  // New entries say "no tenant", as the slots past the end do.
  if (numbers_.size() <= slot) numbers_.resize(std::size_t{slot} + 1, kFree);
  if (find(*tenant) == nullptr) {
    // The table stays at most three quarters full. Each step below either
    // fails before it changes anything or cannot fail.
    if (!groups_) groups_ = std::make_unique<std::deque<Group>>();
    const std::size_t count = live_ + 1;
    if (4 * count > 3 * table_.size()) {
      std::vector<std::uint32_t> fresh(std::bit_ceil(2 * count), kFree);
      table_.swap(fresh);
      for (const std::uint32_t entry : fresh) {
        if (entry != kFree) place(entry - 1);
      }
    }
    std::uint32_t group = vacant_;
    if (group == kNone) {
      groups_->emplace_back(*tenant);
      group = static_cast<std::uint32_t>(groups_->size() - 1);
    } else {
      (*groups_)[group].tenant = *tenant;
      vacant_ = (*groups_)[group].next_vacant;
    }
    place(group);
    ++live_;
  }
  group_of(*tenant).slots.make_room();
}

void TenantSlots::move(std::uint32_t slot, std::optional<std::string_view> from,
                       std::optional<std::string_view> to) noexcept {
  if (from && to && *from == *to) return;
  if (from) group_of(*from).slots.erase(slot);
  if (to) {
    const std::uint32_t entry = entry_of(*to);
    (*groups_)[entry - 1].slots.insert(slot);
    numbers_[slot] = entry;
  } else if (from) {
    numbers_[slot] = kFree;
  }
}

// Linear probing without tombstones: the entries after the freed place
// that could have sat there move back, so every search still stops at the
// first free place.
void TenantSlots::release_if_empty(std::optional<std::string_view> tenant) noexcept {
  if (!tenant) return;
  const Group* found = find(*tenant);
  if (found == nullptr || !found->slots.view().empty()) return;
  const std::size_t mask = table_.size() - 1;
  std::size_t hole = position_of(*tenant);
  const std::uint32_t group = table_[hole] - 1;
  for (std::size_t i = (hole + 1) & mask; table_[i] != kFree; i = (i + 1) & mask) {
    const std::size_t home = home_of((*groups_)[table_[i] - 1].tenant);
    // Whether home lies cyclically in (hole, i]: then the entry stays.
    const bool stays = hole < i ? (hole < home && home <= i) : (hole < home || home <= i);
    if (!stays) {
      table_[hole] = table_[i];
      hole = i;
    }
  }
  table_[hole] = kFree;
  --live_;
  Group& dropped = (*groups_)[group];
  std::string().swap(dropped.tenant);
  dropped.slots.release();
  dropped.next_vacant = vacant_;
  vacant_ = group;
}

}  // namespace quorbell
