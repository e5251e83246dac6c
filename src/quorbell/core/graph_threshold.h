// Where a store's searches pass from the exact scan to the graph.
#pragma once

#include <cstddef>

namespace quorbell {

// Below this many points every search is an exact scan. Fixed by
// compatibility: callers rely on small stores answering exactly.
inline constexpr std::size_t GRAPH_THRESHOLD = 500;

}  // namespace quorbell
