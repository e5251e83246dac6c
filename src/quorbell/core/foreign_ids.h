// Stored ids that differ from their map key.
//
// A snapshot keeps every point and every graph node under a map key and
// again in an id field of its own. Correct writers make the two equal, but
// a file may hold them apart, and such a file must still load, report the
// id field in search hits and save back byte for byte. This table is the
// one place that knows: everywhere else a point or node has one id, its
// key. Only snapshot loading (and tests) put entries here; storing a point
// or node again under its key removes its entry.
#pragma once

#include <cstdint>
#include <unordered_map>

namespace quorbell {

class ForeignIds {
 public:
  // The id field of whatever is stored at slot under key.
  std::uint64_t id_of(std::uint32_t slot, std::uint64_t key) const {
    if (ids_.empty()) return key;
    auto found = ids_.find(slot);
    return found == ids_.end() ? key : found->second;
  }

  void set(std::uint32_t slot, std::uint64_t key, std::uint64_t id) {
    if (id != key) {
      ids_[slot] = id;
    } else if (!ids_.empty()) {
      ids_.erase(slot);
    }
  }

 private:
  std::unordered_map<std::uint32_t, std::uint64_t> ids_;
};

}  // namespace quorbell
