// The candidate list and the result list of the base-layer search, as
// heaps that yield exactly what stable re-sorting of plain lists would.
//
// Both lists order pairs by ascending distance with ties in the order the
// pairs were added. Re-sorting a list stably after appending keeps equal
// distances in that order, so a heap keyed by (distance, sequence number)
// gives the same first and last pairs. Distances follow the graph's one
// order (closer() below): NaN after every number, so NaN pairs come last,
// in the order they were added.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

namespace quorbell {

// The graph's order of distances, wherever it compares two: numbers by
// value with -0.0 equal to 0.0, and NaN after every number and equal to
// every NaN. A list holding a NaN thus admits any number, and trims its NaN
// pairs first. Whether a comes strictly before b.
inline bool closer(float a, float b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

// One (distance, slot) pair. `order` packs the pair's place in the lists'
// order into one integer: the distance's rank, then the sequence number of
// the pair's admission.
struct RankedSlot {
  std::uint64_t order;
  float distance;
  std::uint32_t slot;

  std::uint32_t sequence() const { return static_cast<std::uint32_t>(order); }
};

// Maps distances to integers in their order: -0.0 equal to 0.0, and every
// NaN after all numbers and equal to the other NaNs.
inline std::uint32_t distance_rank(float distance) {
  if (std::isnan(distance)) return 0xFFFFFFFFu;
  const auto bits = std::bit_cast<std::uint32_t>(distance == 0.0f ? 0.0f : distance);
  return (bits & 0x80000000u) != 0 ? ~bits : bits | 0x80000000u;
}

inline RankedSlot ranked_slot(float distance, std::uint32_t sequence, std::uint32_t slot) {
  return RankedSlot{(std::uint64_t{distance_rank(distance)} << 32) | sequence, distance, slot};
}

// Whether a comes before b in the lists' order.
inline bool ranks_ahead(const RankedSlot& a, const RankedSlot& b) { return a.order < b.order; }

// Pairs waiting for expansion; the first in list order comes out first.
class CandidateQueue {
 public:
  void clear() { heap_.clear(); }
  bool empty() const { return heap_.empty(); }
  void push(RankedSlot pair);
  RankedSlot pop_first();
  // The pair pop_first would return now; the queue must not be empty.
  const RankedSlot& first() const { return heap_.front(); }
  // The first pair and the two that may come right after it, in no order.
  std::span<const RankedSlot> front_runners() const { return {heap_.data(), std::min<std::size_t>(heap_.size(), 3)}; }

 private:
  std::vector<RankedSlot> heap_;
};

// The pairs kept so far, bounded by trimming its last pair. Its worst
// distance is its greatest in the graph's order: NaN when it holds one.
class ResultList {
 public:
  void clear();
  std::size_t size() const { return numbers_.size() + nans_.size(); }
  float worst() const;
  void append(RankedSlot pair);
  // Sorts the list and removes its last pair.
  void remove_last();
  // append, then remove_last while the list holds more than `bound` pairs.
  void append_bounded(RankedSlot pair, std::size_t bound);
  // The whole list in sorted order; leaves this list empty.
  void drain_sorted(std::vector<RankedSlot>& out);

 private:
  std::vector<RankedSlot> numbers_;  // heap, the last pair in list order on top
  std::vector<RankedSlot> nans_;     // in the order they were added
};

}  // namespace quorbell
