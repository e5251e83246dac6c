// Room in a vector for more elements, for callers that know how many are
// coming.
#pragma once

#include <algorithm>
#include <cstddef>

namespace quorbell {

// Room for `extra` more elements: exactly that much when it exceeds what
// doubling would give, else by doubling, so that many small requests stay
// amortised and one large one is not copied again as it fills.
template <class Vector>
void reserve_more(Vector& vector, std::size_t extra) {
  if (vector.capacity() - vector.size() >= extra) return;
  vector.reserve(std::max(vector.size() + extra, vector.capacity() * 2));
}

}  // namespace quorbell
