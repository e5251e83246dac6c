// Equality of stored records, for the tests' comparisons only: the library
// itself never compares them.
#pragma once

#include "core/payload.h"
#include "index/graph_nodes.h"

namespace quorbell {

inline bool operator==(const HNSWNode& a, const HNSWNode& b) { return a.id == b.id && a.neighbors == b.neighbors; }

// Equal as maps: the same keys with the same tags and values, in any order.
// Numbers compare by bit pattern, so NaN payloads round-trip as equal.
inline bool operator==(const Payload& a, const Payload& b) {
  if (a.size() != b.size()) return false;
  for (const PayloadEntry mine : a) {
    bool found = false;
    for (const PayloadEntry theirs : b) {
      if (theirs.key() != mine.key()) continue;
      const bool text = mine.tag() == KEYWORD_TAG || mine.tag() == TEXT_TAG;
      found = theirs.tag() == mine.tag() && (text ? theirs.text() == mine.text() : theirs.bits() == mine.bits());
      break;
    }
    if (!found) return false;
  }
  return true;
}

}  // namespace quorbell
