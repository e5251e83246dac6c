// Open-addressing map from a 64-bit id to a dense 32-bit slot number.
// Slots are handed out by the owner and never removed, so the table needs
// no tombstones. Ids are mixed with a per-process random key so that
// adversarial id sets cannot force long probe chains.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace quorbell {

class IdSlotMap {
 public:
  static constexpr std::uint32_t kEmpty = 0xFFFFFFFFu;

  std::optional<std::uint32_t> find(std::uint64_t id) const {
    if (slots_.empty()) return std::nullopt;
    for (std::size_t i = bucket(id);; i = (i + 1) & mask_) {
      const Entry& e = slots_[i];
      if (e.slot == kEmpty) return std::nullopt;
      if (e.id == id) return e.slot;
    }
  }

  // Maps id to slot; the id must not be present yet.
  void insert(std::uint64_t id, std::uint32_t slot);

  void reserve(std::size_t count);
  std::size_t size() const { return count_; }

 private:
  struct Entry {
    std::uint64_t id;
    std::uint32_t slot;
  };

  std::size_t bucket(std::uint64_t id) const;
  void rehash(std::size_t capacity);

  std::vector<Entry> slots_;
  std::size_t mask_ = 0;
  std::size_t count_ = 0;
};

}  // namespace quorbell
