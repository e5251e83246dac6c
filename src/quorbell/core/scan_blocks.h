// A small store's vectors once more, in lane order (core/lane_sums.h): the
// exact scan then sums sixteen points at a time with no shuffling, about
// three times faster than from the vectors where they are stored.
//
// The copy is kept only while the store is below GRAPH_THRESHOLD, where
// every search scans it whole, and while all its vectors have one length:
// it then costs the vectors' own memory once more, and a store of mixed
// lengths is scanned the ordinary way. Nor is it kept below
// SCAN_COPY_MIN_POINTS: there a search gains 5 % at most from it, while a
// block of 16 costs up to 16 times the vectors (bench/bench_memory.py), and
// stores of a few points each are the very use an exact store invites.
// Block b holds slots 16b to 16b + 15 in width() rows; the lanes past the last
// slot hold zeros, and whatever they sum to is never used.
//
// The point store owns the copy and keeps it in step (core/point_store.h);
// searches read it through the store.
//
// Thread safety: none of its own; it goes with its point store.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "core/graph_threshold.h"
#include "core/lane_sums.h"

namespace quorbell {

inline constexpr std::size_t SCAN_COPY_MIN_POINTS = 16;

class ScanBlocks {
 public:
  // Whether the copy holds exactly the vectors of its store, of this size.
  bool mirrors(std::size_t points) const { return kept_ && count_ == points; }
  // The length of every vector held.
  std::size_t width() const { return width_; }
  std::size_t block_count() const { return (count_ + kBlockLanes - 1) / kBlockLanes; }
  std::size_t block_floats() const { return width_ * kBlockLanes; }
  const float* block(std::size_t b) const { return rows_.data() + b * block_floats(); }

  // Brings the copy up to date after `vector` was stored at slot (added or
  // replaced), the store now holding `points` vectors. Returns false when
  // the copy cannot follow this change by itself; the store then rebuilds
  // it. Never fails: the copy is dropped when the store has grown past the
  // exact scan or memory runs out, and rebuilt by the next change that can.
  [[nodiscard]] bool update(std::uint32_t slot, std::span<const float> vector, std::size_t points) noexcept;
  // Copies every vector of a store of `points` vectors, vector_at(slot)
  // giving each, as after a load.
  template <class VectorAt>
  void rebuild(std::size_t points, const VectorAt& vector_at) noexcept;

 private:
  static bool worth_a_copy(std::size_t points) { return points >= SCAN_COPY_MIN_POINTS && points < GRAPH_THRESHOLD; }
  void drop() noexcept;
  // Makes room for `points` vectors of `width` floats, all lanes zero;
  // false when memory runs out.
  bool start(std::size_t points, std::size_t width) noexcept;
  void write(std::uint32_t slot, std::span<const float> vector);

  std::vector<float> rows_;
  std::size_t width_ = 0;
  std::size_t count_ = 0;  // slots held
  bool kept_ = false;
};

template <class VectorAt>
void ScanBlocks::rebuild(std::size_t points, const VectorAt& vector_at) noexcept {
  drop();
  if (!worth_a_copy(points)) return;
  const std::size_t width = vector_at(0).size();
  for (std::uint32_t slot = 0; slot < points; ++slot) {
    if (vector_at(slot).size() != width) return;
  }
  if (!start(points, width)) return;
  for (std::uint32_t slot = 0; slot < points; ++slot) write(slot, vector_at(slot));
  kept_ = true;
}

}  // namespace quorbell
