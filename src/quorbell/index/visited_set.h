// Visited marks over dense slot numbers for one query at a time.
//
// A mark is the query's epoch stored in the slot's cell, so starting a new
// query clears every mark in O(1) by moving to the next epoch; the cells
// are wiped only when the epoch counter wraps. The memory follows the
// number of slots, not the values of the ids behind them.
//
// Thread safety: none; each thread owns its own set (see thread_scratch).
#pragma once

#include <cassert>
#include <cstdint>
#include <vector>

#include "core/large_arrays.h"

namespace quorbell {

class VisitedSet {
 public:
  // Starts a new query over slots [0, count), all unmarked.
  void begin_query(std::size_t count);

  // Whether slot, one of the query's, is marked.
  bool marked(std::uint32_t slot) const {
    assert(slot < count_);
    return cells_[slot] == epoch_;
  }

  // Marks slot, one of the query's, and returns whether it was marked
  // already.
  bool test_and_mark(std::uint32_t slot) {
    assert(slot < count_);
    std::uint16_t& cell = cells_[slot];
    if (cell == epoch_) return true;
    cell = epoch_;
    return false;
  }

 private:
  LargeVector<std::uint16_t> cells_;
  std::uint16_t epoch_ = 0;
  std::size_t count_ = 0;  // slots of the current query
};

}  // namespace quorbell
