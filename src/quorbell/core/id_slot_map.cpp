#include "core/id_slot_map.h"

#include <algorithm>
#include <bit>

#include "core/random.h"

namespace quorbell {

namespace {
// Load factor at most 1/2 keeps probe chains short.
std::size_t capacity_for(std::size_t count) {
  return std::bit_ceil(std::max<std::size_t>(16, count * 2));
}

std::uint64_t process_hash_key() {
  static const std::uint64_t key = entropy_seed() | 1;
  return key;
}
}  // namespace

std::size_t IdSlotMap::bucket(std::uint64_t id) const {
  std::uint64_t x = (id ^ process_hash_key()) * 0x9E3779B97F4A7C15ull;
  x ^= x >> 29;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 32;
  return static_cast<std::size_t>(x) & mask_;
}

void IdSlotMap::insert(std::uint64_t id, std::uint32_t slot) {
  if ((count_ + 1) * 2 > slots_.size()) rehash(capacity_for(count_ + 1));
  std::size_t i = bucket(id);
  while (slots_[i].slot != kEmpty) i = (i + 1) & mask_;
  slots_[i] = Entry{id, slot};
  ++count_;
}

void IdSlotMap::reserve(std::size_t count) {
  if (count * 2 > slots_.size()) rehash(capacity_for(count));
}

void IdSlotMap::rehash(std::size_t capacity) {
  std::vector<Entry> old = std::move(slots_);
  slots_.assign(capacity, Entry{0, kEmpty});
  mask_ = capacity - 1;
  for (const Entry& e : old) {
    if (e.slot == kEmpty) continue;
    std::size_t i = bucket(e.id);
    while (slots_[i].slot != kEmpty) i = (i + 1) & mask_;
    slots_[i] = e;
  }
}

}  // namespace quorbell
