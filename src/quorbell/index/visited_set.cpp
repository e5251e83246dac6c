#include "index/visited_set.h"

#include <algorithm>

namespace quorbell {

void VisitedSet::begin_query(std::size_t count) {
  count_ = count;
  if (cells_.size() < count) {
    // Grows geometrically: an index that gains a point between queries must
    // not cost a reallocation per query. New cells hold no current epoch.
    cells_.resize(std::max(count, cells_.size() * 2), 0);
  } else if (cells_.size() / 4 > count + 1024) {
    // Far larger than needed (a bigger index was searched on this thread
    // earlier): give the memory back.
    cells_.assign(count, 0);
    cells_.shrink_to_fit();
    epoch_ = 0;
  }
  if (++epoch_ == 0) {
    std::fill(cells_.begin(), cells_.end(), 0);
    epoch_ = 1;
  }
}

}  // namespace quorbell
