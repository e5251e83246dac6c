// Open-addressing map from a 64-bit id to a dense 32-bit slot number.
//
// Slots are handed out densely by the owner (0, 1, 2, ...) and never
// removed, so the table needs no tombstones, and growing rebuilds it from
// the owner's ids without holding the old table too. The owner already
// keeps each slot's id, so the table stores only the slot and 32 bits of
// the id's hash (8 bytes an entry); a lookup confirms a matching tag by
// asking the owner for the slot's id, which the owner reads next anyway.
// Ids are mixed with a per-process random key so that adversarial id sets
// cannot force long probe chains.
//
// Every call that can meet stored entries takes key_of, a callable that
// returns the id stored at a slot.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/large_arrays.h"

namespace quorbell {

class IdSlotMap {
 public:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  IdSlotMap();

  template <class KeyOf>
  std::optional<std::uint32_t> find(std::uint64_t id, const KeyOf& key_of) const {
    if (entries_.empty()) return std::nullopt;
    const std::uint64_t h = hash(id);
    const auto tag = static_cast<std::uint32_t>(h >> 32);
    for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
      const Entry& e = entries_[i];
      if (e.slot == kEmpty) return std::nullopt;
      if (e.tag == tag && key_of(e.slot) == id) return e.slot;
    }
  }

  // Maps id to slot, the next one (size()); the id must not be present yet.
  // key_of need not know the new slot.
  template <class KeyOf>
  void insert(std::uint64_t id, std::uint32_t slot, const KeyOf& key_of) {
    if (capacity_for(count_ + 1) > entries_.size()) rehash(capacity_for(count_ + 1), key_of);
    place(hash(id), slot);
    ++count_;
  }

  // Removes id, which must be present; key_of must still know its slot.
  // Entries after it in its probe chain move back, so no tombstone is left.
  template <class KeyOf>
  void erase(std::uint64_t id, const KeyOf& key_of) {
    const std::uint64_t h = hash(id);
    const auto tag = static_cast<std::uint32_t>(h >> 32);
    std::size_t hole = h & mask_;
    while (!(entries_[hole].tag == tag && key_of(entries_[hole].slot) == id)) hole = (hole + 1) & mask_;
    for (std::size_t i = (hole + 1) & mask_; entries_[i].slot != kEmpty; i = (i + 1) & mask_) {
      const std::size_t home = hash(key_of(entries_[i].slot)) & mask_;
      // The entry may fill the hole only if the hole lies on its way from home.
      if (((i - home) & mask_) >= ((i - hole) & mask_)) {
        entries_[hole] = entries_[i];
        hole = i;
      }
    }
    entries_[hole] = Entry{kEmpty, 0};
    --count_;
  }

  template <class KeyOf>
  void reserve(std::size_t count, const KeyOf& key_of) {
    if (capacity_for(count) > entries_.size()) rehash(capacity_for(count), key_of);
  }

  std::size_t size() const { return count_; }

 private:
  struct Entry {
    std::uint32_t slot;
    std::uint32_t tag;
  };

  // A power of two above 5/4 of count: the load stays at most 4/5. Probes
  // compare 8-byte entries in a row, so the longer chains this allows stay
  // cheap.
  static std::size_t capacity_for(std::size_t count);
  std::uint64_t hash(std::uint64_t id) const {
    std::uint64_t x = (id ^ seed_) * 0x9E3779B97F4A7C15ull;
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    return x ^ (x >> 32);
  }
  void place(std::uint64_t h, std::uint32_t slot);

  // Holds the existing slots 0 to size() - 1 in a table of capacity. Only
  // allocating can fail, and it comes before the old table is let go.
  template <class KeyOf>
  void rehash(std::size_t capacity, const KeyOf& key_of) {
    LargeVector<Entry> fresh;
    fresh.reserve(capacity);
    entries_ = std::move(fresh);
    entries_.assign(capacity, Entry{kEmpty, 0});
    mask_ = capacity - 1;
    for (std::uint32_t slot = 0; slot < count_; ++slot) place(hash(key_of(slot)), slot);
  }

  LargeVector<Entry> entries_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
  std::uint64_t seed_;
};

}  // namespace quorbell
