#include "core/scan_blocks.h"

#include <algorithm>
#include <new>

#include "core/point_store.h"

namespace quorbell {

void ScanBlocks::drop() noexcept {
  std::vector<float>().swap(rows_);
  width_ = 0;
  count_ = 0;
  kept_ = false;
}

void ScanBlocks::write(std::uint32_t slot, std::span<const float> vector) {
  float* lane = rows_.data() + slot / kBlockLanes * block_floats() + slot % kBlockLanes;
  for (std::size_t i = 0; i < width_; ++i) lane[i * kBlockLanes] = vector[i];
}

namespace {
bool worth_a_copy(std::size_t points) { return points >= SCAN_COPY_MIN_POINTS && points < GRAPH_THRESHOLD; }
}  // namespace

void ScanBlocks::rebuild(const PointStore& points) noexcept {
  drop();
  if (!worth_a_copy(points.size())) return;
  const std::size_t width = points.empty() ? 0 : points.view(0).vector.size();
  for (std::uint32_t slot = 0; slot < points.size(); ++slot) {
    if (points.view(slot).vector.size() != width) return;
  }
  try {
    width_ = width;
    count_ = points.size();
    rows_.assign(block_count() * block_floats(), 0.0f);
  } catch (const std::bad_alloc&) {
    drop();
    return;
  }
  for (std::uint32_t slot = 0; slot < points.size(); ++slot) write(slot, points.view(slot).vector);
  kept_ = true;
}

void ScanBlocks::update(const PointStore& points, std::uint32_t slot) noexcept {
  if (!worth_a_copy(points.size())) {
    if (kept_) drop();
    return;
  }
  const std::span<const float> vector = points.view(slot).vector;
  const bool replaced = slot < count_ && points.size() == count_;
  const bool appended = slot == count_ && points.size() == count_ + 1;
  if (!kept_ || vector.size() != width_ || !(replaced || appended)) {
    rebuild(points);
    return;
  }
  if (appended) {
    try {
      const std::size_t floats = (count_ + kBlockLanes) / kBlockLanes * block_floats();
      // Room grows by a quarter, not double, so the copy follows the store.
      if (floats > rows_.capacity()) rows_.reserve(std::max(floats, rows_.size() / 4 * 5));
      rows_.resize(floats, 0.0f);
    } catch (const std::bad_alloc&) {
      drop();
      return;
    }
    count_ = points.size();
  }
  write(slot, vector);
}

}  // namespace quorbell
