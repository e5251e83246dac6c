#include "index/link_lists.h"

#include <algorithm>
#include <limits>
#include <new>

namespace quorbell {

namespace {
// Most lists hold one to three links; hubs double their way up.
constexpr std::size_t kFirstCapacity = 2;
// Compaction is not worth a pass over a small pool.
constexpr std::size_t kCompactionFloor = 4096;
}  // namespace

void LinkLists::relocate(Run& run, std::size_t capacity) {
  const std::size_t begin = pool_.size();
  if (capacity > std::numeric_limits<std::uint32_t>::max() - begin) throw std::bad_alloc();
  pool_.resize(begin + capacity);
  std::copy_n(pool_.begin() + run.begin, run.size, pool_.begin() + static_cast<std::ptrdiff_t>(begin));
  abandoned_ += run.capacity;
  run.begin = static_cast<std::uint32_t>(begin);
  run.capacity = static_cast<std::uint32_t>(capacity);
}

void LinkLists::append(std::size_t index, std::uint32_t value) {
  Run& run = runs_[index];
  if (run.size == run.capacity) {
    relocate(run, std::max<std::size_t>(kFirstCapacity, std::size_t{run.capacity} * 2));
  }
  pool_[run.begin + run.size] = value;
  ++run.size;
  compact_if_wasteful();
}

void LinkLists::assign(std::size_t index, std::span<const std::uint32_t> values) {
  Run& run = runs_[index];
  if (values.size() > run.capacity) {
    run.size = 0;
    relocate(run, values.size());
  }
  std::copy(values.begin(), values.end(), pool_.begin() + run.begin);
  run.size = static_cast<std::uint32_t>(values.size());
  compact_if_wasteful();
}

void LinkLists::compact_if_wasteful() {
  if (abandoned_ < kCompactionFloor || abandoned_ * 2 < pool_.size()) return;
  std::vector<std::uint32_t> fresh;
  fresh.reserve(pool_.size() - abandoned_);
  for (Run& run : runs_) {
    const auto begin = static_cast<std::uint32_t>(fresh.size());
    fresh.insert(fresh.end(), pool_.begin() + run.begin, pool_.begin() + run.begin + run.size);
    fresh.resize(fresh.size() + (run.capacity - run.size));
    run.begin = begin;
  }
  pool_ = std::move(fresh);
  abandoned_ = 0;
}

}  // namespace quorbell
