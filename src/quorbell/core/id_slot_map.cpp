#include "core/id_slot_map.h"

#include <algorithm>
#include <bit>

#include "core/random.h"

namespace quorbell {

namespace {
std::uint64_t process_hash_key() {
  static const std::uint64_t key = entropy_seed() | 1;
  return key;
}
}  // namespace

IdSlotMap::IdSlotMap() : seed_(process_hash_key()) {}

std::size_t IdSlotMap::capacity_for(std::size_t count) {
  return std::bit_ceil(std::max<std::size_t>(16, count + count / 4 + 1));
}

void IdSlotMap::place(std::uint64_t h, std::uint32_t slot) {
  std::size_t i = h & mask_;
  while (entries_[i].slot != kEmpty) i = (i + 1) & mask_;
  entries_[i] = Entry{slot, static_cast<std::uint32_t>(h >> 32)};
}

}  // namespace quorbell
