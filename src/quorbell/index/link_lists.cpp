#include "index/link_lists.h"

#include <algorithm>
#include <cassert>
#include <limits>
#include <new>

#include "core/growth.h"

namespace quorbell {

namespace {
// Compaction is not worth a pass over a small pool.
constexpr std::size_t kCompactionFloor = 4096;
}  // namespace

std::uint32_t LinkLists::reserve_run(std::size_t capacity) {
  const std::size_t begin = pool_.size();
  if (capacity > std::numeric_limits<std::uint32_t>::max() - begin) throw std::bad_alloc();
  pool_.resize(begin + capacity);
  return static_cast<std::uint32_t>(begin);
}

void LinkLists::release_run(Head& head) {
  if (head.size > kInline) abandoned_ += head.values[kCapacity];
}

void LinkLists::assign(std::size_t index, std::span<const std::uint32_t> values, std::size_t least_run) {
  assert(values.empty() || values.data() + values.size() <= pool_.data() ||
         values.data() >= pool_.data() + pool_.size());
  Head& head = heads_[index];
  if (values.size() <= kInline) {
    release_run(head);
    std::copy(values.begin(), values.end(), head.values);
  } else {
    if (head.size <= kInline || head.values[kCapacity] < values.size()) {
      const std::size_t capacity = assign_room(index, values.size(), least_run);
      const std::uint32_t begin = reserve_run(capacity);
      release_run(head);
      head.values[kBegin] = begin;
      head.values[kCapacity] = static_cast<std::uint32_t>(capacity);
    }
    std::copy(values.begin(), values.end(), pool_.begin() + head.values[kBegin]);
  }
  head.size = static_cast<std::uint32_t>(values.size());
}

std::size_t LinkLists::assign_room(std::size_t index, std::size_t size, std::size_t least_run) const {
  if (size <= kInline) return 0;
  if (index >= heads_.size() || heads_[index].size <= kInline) return std::max(size, least_run);
  const std::size_t capacity = heads_[index].values[kCapacity];
  return capacity < size ? std::max(size, capacity * 2) : 0;
}

void LinkLists::reserve_room(std::size_t values) {
  if (values > std::numeric_limits<std::uint32_t>::max() - pool_.size()) throw std::bad_alloc();
  reserve_more(pool_, values);
}

void LinkLists::reserve_tail(std::size_t count) { reserve_more(pool_, count); }

void LinkLists::push_tail(std::uint32_t value) {
  if (pool_.size() >= std::numeric_limits<std::uint32_t>::max()) throw std::bad_alloc();
  pool_.push_back(value);
}

void LinkLists::adopt(std::size_t index, std::size_t begin, std::size_t end) {
  Head& head = heads_[index];
  release_run(head);
  const std::size_t size = end - begin;
  if (size <= kInline) {
    std::copy(pool_.begin() + static_cast<std::ptrdiff_t>(begin), pool_.begin() + static_cast<std::ptrdiff_t>(end),
              head.values);
    if (end == pool_.size()) {
      pool_.resize(begin);
    } else {
      abandoned_ += size;
    }
  } else {
    head.values[kBegin] = static_cast<std::uint32_t>(begin);
    head.values[kCapacity] = static_cast<std::uint32_t>(size);
  }
  head.size = static_cast<std::uint32_t>(size);
}

void LinkLists::compact_if_wasteful() noexcept {
  if (abandoned_ < kCompactionFloor || abandoned_ * 2 < pool_.size()) return;
  LargeVector<std::uint32_t> fresh;
  try {
    fresh.reserve(pool_.size() - abandoned_);
  } catch (const std::bad_alloc&) {
    return;
  }
  for (Head& head : heads_) {
    if (head.size <= kInline) continue;
    const auto begin = static_cast<std::uint32_t>(fresh.size());
    const auto run = pool_.begin() + head.values[kBegin];
    fresh.insert(fresh.end(), run, run + head.values[kCapacity]);
    head.values[kBegin] = begin;
  }
  pool_ = std::move(fresh);
  abandoned_ = 0;
}

std::string LinkLists::check() const {
  std::size_t owned = 0;
  for (std::size_t index = 0; index < heads_.size(); ++index) {
    const Head& head = heads_[index];
    if (head.size <= kInline) continue;
    const std::size_t begin = head.values[kBegin], capacity = head.values[kCapacity];
    if (head.size > capacity) return "list " + std::to_string(index) + " holds more than its run";
    if (begin + capacity > pool_.size()) return "list " + std::to_string(index) + " runs past the pool";
    owned += capacity;
  }
  if (owned + abandoned_ > pool_.size()) return "the runs overlap";
  return {};
}

}  // namespace quorbell
