#include "core/tenant_slots.h"

#include <algorithm>

namespace quorbell {

std::span<const std::uint32_t> TenantSlots::of(const std::string& tenant) const {
  auto found = slots_.find(tenant);
  if (found == slots_.end()) return {};
  return found->second;
}

void TenantSlots::prepare(const std::string* tenant) {
  if (tenant == nullptr) return;
  std::vector<std::uint32_t>& slots = slots_[*tenant];
  if (slots.size() == slots.capacity()) slots.reserve(std::max<std::size_t>(4, slots.size() * 2));
}

void TenantSlots::move(std::uint32_t slot, const std::string* from, const std::string* to) noexcept {
  if (from != nullptr && to != nullptr && *from == *to) return;
  if (from != nullptr) {
    // The emptied list stays, with its room, so that moving the slot back
    // cannot fail either.
    std::vector<std::uint32_t>& slots = slots_.find(*from)->second;
    slots.erase(std::lower_bound(slots.begin(), slots.end(), slot));
  }
  if (to != nullptr) {
    std::vector<std::uint32_t>& slots = slots_.find(*to)->second;
    slots.insert(std::lower_bound(slots.begin(), slots.end(), slot), slot);
  }
}

}  // namespace quorbell
