// Stored ids that differ from their map key.
//
// A snapshot keeps every point and every graph node under a map key and
// again in an id field of its own. Correct writers make the two equal, but
// a file may hold them apart, and such a file must still load, report the
// id field in search hits and save back byte for byte. This table is the
// one place that knows: everywhere else a point or node has one id, its
// key. Only snapshot loading (and tests) put entries here; storing a point
// or node again under its key sets its entry back to the key.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace quorbell {

class ForeignIds {
 public:
  // The id field of whatever is stored at slot under key.
  std::uint64_t id_of(std::uint32_t slot, std::uint64_t key) const {
    if (ids_.empty()) return key;
    const std::size_t at = position(slot);
    return at < ids_.size() && ids_[at].slot == slot ? ids_[at].id : key;
  }

  void set(std::uint32_t slot, std::uint64_t key, std::uint64_t id) {
    const std::size_t at = position(slot);
    if (at < ids_.size() && ids_[at].slot == slot) {
      ids_[at].id = id;  // back to the key, the entry reads as none
    } else if (id != key) {
      ids_.insert(ids_.begin() + static_cast<std::ptrdiff_t>(at), Entry{slot, id});
    }
  }

 private:
  // 16 bytes an entry, sorted by slot: a crafted file may give every one
  // of millions of points an id of its own, and a load adds their slots in
  // ascending order, so each lands at the end.
  struct Entry {
    std::uint32_t slot;
    std::uint64_t id;
  };

  // Where slot's entry is, or would go.
  std::size_t position(std::uint32_t slot) const {
    const auto found =
        std::lower_bound(ids_.begin(), ids_.end(), slot, [](const Entry& e, std::uint32_t s) { return e.slot < s; });
    return static_cast<std::size_t>(found - ids_.begin());
  }

  std::vector<Entry> ids_;
};

}  // namespace quorbell
