// The candidate list and the result list of the base-layer search, as
// arrays kept sorted by insertion, which yield exactly what stable
// re-sorting of plain lists would.
//
// Both lists order pairs by ascending distance with ties in the order the
// pairs were added. Re-sorting a list stably after appending keeps equal
// distances in that order, so ordering by (distance, sequence number) gives
// the same lists. Distances follow the graph's one order (closer() below):
// NaN after every number, so NaN pairs come last, in the order they were
// added. The lists hold a few dozen pairs: shifting a few of them on an
// insertion costs less than keeping a heap, and the sorted form needs no
// sorting at the end. Each array starts with a sentinel that no pair moves
// past, so the shifting loops need no test for the array's start.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <span>
#include <vector>

#include "core/distance.h"

namespace quorbell {

// The graph's order of distances, wherever it compares two: numbers by
// value with -0.0 equal to 0.0, and NaN after every number and equal to
// every NaN. A list holding a NaN thus admits any number, and trims its NaN
// pairs first. Whether a comes strictly before b.
inline bool closer(float a, float b) { return !std::isnan(a) && (std::isnan(b) || a < b); }

// closer(a, b) for one b and many a, b's test for NaN taken once.
class CloserThan {
 public:
  explicit CloserThan(float b) : b_(b), b_is_nan_(std::isnan(b)) {}
  bool operator()(float a) const { return a < b_ || (b_is_nan_ && !std::isnan(a)); }

 private:
  float b_;
  bool b_is_nan_;
};

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

// Puts pair at `at`, first moving the pairs before it one place on for as
// long as the one before satisfies moves_on; a sentinel ends the run.
template <class MovesOn>
inline void shift_in(RankedSlot* at, RankedSlot pair, MovesOn moves_on) {
  for (; moves_on(at[-1]); --at) *at = at[-1];
  *at = pair;
}

// Pairs waiting for expansion; the first in list order comes out first.
class CandidateQueue {
 public:
  void clear() { pairs_.assign(1, kLast); }
  bool empty() const { return pairs_.size() == 1; }
  void push(RankedSlot pair) {
    // New neighbours of the pair just expanded tend to rank near the
    // front, which is the end of the array: few pairs move.
    pairs_.push_back(pair);
    shift_in(&pairs_.back(), pair, [&](const RankedSlot& before) { return ranks_ahead(before, pair); });
  }
  RankedSlot pop_first() {
    const RankedSlot first = pairs_.back();
    pairs_.pop_back();
    return first;
  }
  // The pair pop_first would return now; the queue must not be empty.
  const RankedSlot& first() const { return pairs_.back(); }
  // The first pair and the two after it, the first last.
  std::span<const RankedSlot> front_runners() const {
    const std::size_t count = std::min<std::size_t>(pairs_.size() - 1, 3);
    return {pairs_.data() + pairs_.size() - count, count};
  }

 private:
  // Ranks ahead of no pair: the greatest order. A pair's sequence number
  // counts admissions, never as many as there are slots, so no pair has it.
  static constexpr RankedSlot kLast{~std::uint64_t{0}, 0.0f, 0};
  std::vector<RankedSlot> pairs_{kLast};  // the sentinel, then last in list order first
};

// The pairs kept so far, bounded by trimming its last pair. Its worst
// distance is its greatest in the graph's order: NaN when it holds one.
class ResultList {
 public:
  void clear() { pairs_.assign(1, kFirst); }
  std::size_t size() const { return pairs_.size() - 1; }
  float worst() const { return size() == 0 ? FLOAT_MAX : pairs_.back().distance; }
  void append(RankedSlot pair) {
    pairs_.push_back(pair);
    insert_from(pairs_.size() - 1, pair);
  }
  // Removes the last pair.
  void remove_last() { pairs_.pop_back(); }
  // append, then remove_last if the list holds more than `bound` pairs.
  void append_bounded(RankedSlot pair, std::size_t bound) {
    if (size() < bound || size() == 0) return append(pair);
    // Full: the pair ousts the last one, unless it would be the last.
    if (ranks_ahead(pair, pairs_.back())) insert_from(pairs_.size() - 1, pair);
  }
  // The whole list in sorted order, until it next changes.
  std::span<const RankedSlot> sorted() const { return {pairs_.data() + 1, size()}; }

 private:
  // Puts pair in order among the pairs before position `at`, shifting
  // those it ranks ahead of one place on; what stood at `at` is dropped.
  void insert_from(std::size_t at, RankedSlot pair) {
    shift_in(pairs_.data() + at, pair, [&](const RankedSlot& before) { return ranks_ahead(pair, before); });
  }

  // No pair ranks ahead of it: every distance's rank is above 0.
  static constexpr RankedSlot kFirst{0, 0.0f, 0};
  std::vector<RankedSlot> pairs_{kFirst};  // the sentinel, then in list order
};

}  // namespace quorbell
