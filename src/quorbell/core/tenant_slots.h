// The slots of each tenant's points, in ascending order (the store's
// iteration order), so that a filtered search can scan one tenant's points
// without reading the others. Kept up to date as points are stored; a load
// stores every point again, so it is rebuilt there and never saved.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

namespace quorbell {

class TenantSlots {
 public:
  std::span<const std::uint32_t> of(const std::string& tenant) const;

  // Makes room for one more slot of tenant (nullptr: none), so that the
  // next move() to it cannot fail. Changes nothing a reader can see.
  void prepare(const std::string* tenant);
  // Moves slot from one tenant to another; nullptr is no tenant. Needs a
  // prepare() for `to` first and never allocates.
  void move(std::uint32_t slot, const std::string* from, const std::string* to) noexcept;

 private:
  std::unordered_map<std::string, std::vector<std::uint32_t>> slots_;
};

}  // namespace quorbell
