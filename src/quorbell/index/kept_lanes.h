// The points a list has kept so far, for the diversity rule of an insert.
//
// A candidate for a list is measured against the points kept before it,
// and most candidates are refused. The kept points are therefore copied
// into lane order as they are kept (core/lane_sums.h), so that several
// candidates are measured against them in one pass with no shuffling:
// each lane still sums one pair in index order, and every distance is
// bit-identical to the graph's distance between the two points.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/point_store.h"

namespace quorbell {

// A candidate for a list: its slot, its point's vector and its distance
// from the list's owner.
struct ListCandidate {
  std::uint32_t slot;
  PointStore::VectorRef vector;
  float distance;
};

class KeptLanes {
 public:
  // Empties the lanes, with room for `capacity` points of at most `rows`
  // elements each.
  void reset(std::size_t rows, std::size_t capacity);
  std::size_t size() const { return count_; }
  // Keeps the point in the next lane; at most `capacity` points.
  void add(const PointStore::VectorRef& vector);
  // Bit q is set when the point of a lane in [begin, end) refuses
  // candidate q: it stands at least as close to the candidate as the
  // owner does (the candidate's distance), in the graph's order of
  // distances. The candidates (1 to kRowQueries) have one length.
  unsigned refusals(std::span<const ListCandidate* const> candidates, std::size_t begin, std::size_t end) const;

 private:
  std::size_t block_floats() const;
  // Whether a lane in [first, last) refuses the candidate, given the
  // square root of its sum of squares and its sums with those lanes
  // (sums[j - first] for lane j).
  bool refuses(const ListCandidate& candidate, float root, const float* sums, std::size_t first,
               std::size_t last) const;

  std::vector<float> values_;          // blocks of rows_ rows, then a spare row
  std::vector<const float*> vectors_;  // the kept points' own vectors
  std::vector<std::uint32_t> lengths_;
  std::vector<float> norms_;
  std::vector<float> roots_;  // square roots of norms_, taken once
  std::size_t rows_ = 0;
  std::size_t count_ = 0;
};

}  // namespace quorbell
