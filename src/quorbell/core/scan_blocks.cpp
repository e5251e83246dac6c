#include "core/scan_blocks.h"

#include <algorithm>
#include <new>

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

bool ScanBlocks::start(std::size_t points, std::size_t width) noexcept {
  try {
    width_ = width;
    count_ = points;
    rows_.assign(block_count() * block_floats(), 0.0f);
    return true;
  } catch (const std::bad_alloc&) {
    drop();
    return false;
  }
}

bool ScanBlocks::update(std::uint32_t slot, std::span<const float> vector, std::size_t points) noexcept {
  if (!worth_a_copy(points)) {
    if (kept_) drop();
    return true;
  }
  const bool replaced = slot < count_ && points == count_;
  const bool appended = slot == count_ && points == count_ + 1;
  if (!kept_ || vector.size() != width_ || !(replaced || appended)) return false;
  if (appended) {
    try {
      const std::size_t floats = (count_ + kBlockLanes) / kBlockLanes * block_floats();
      // Room grows by a quarter, not double, so the copy follows the store.
      if (floats > rows_.capacity()) rows_.reserve(std::max(floats, rows_.size() / 4 * 5));
      rows_.resize(floats, 0.0f);
    } catch (const std::bad_alloc&) {
      drop();
      return true;
    }
    count_ = points;
  }
  write(slot, vector);
  return true;
}

}  // namespace quorbell
