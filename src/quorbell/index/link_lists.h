// Many short growable lists of 32-bit values.
//
// Lists are numbered densely by their owner. Each list has a 16-byte head
// that holds up to three values itself, so reading a short list costs no
// second lookup. Longer lists live in a flat pool: a list that outgrows its
// run moves to the end of the pool with twice the room, and the owner
// compacts the pool once abandoned runs outweigh the live ones.
//
// Thread safety: const methods may run concurrently; anything else needs
// exclusive access.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/growth.h"
#include "core/large_arrays.h"

namespace quorbell {

class LinkLists {
 public:
  // Number of lists; lists [0, count) exist and start empty.
  std::size_t count() const { return heads_.size(); }
  void resize(std::size_t count) { heads_.resize(count); }
  // Room for `count` lists in all, grown as a vector grows.
  void reserve(std::size_t count) {
    if (count > heads_.size()) reserve_more(heads_, count - heads_.size());
  }

  // Valid until the lists are next modified.
  std::span<const std::uint32_t> list(std::size_t index) const {
    const Head& head = heads_[index];
    if (head.size <= kInline) return {head.values, head.size};
    return {pool_.data() + head.values[kBegin], head.size};
  }
  // Asks the CPU to start loading a list's head (and so a short list), if
  // the list exists.
  void prefetch(std::size_t index) const {
    if (index < heads_.size()) __builtin_prefetch(&heads_[index]);
  }
  // Asks the CPU to start loading a longer list's values; reads its head,
  // which should be loaded by now (prefetch).
  void prefetch_values(std::size_t index) const {
    const std::span<const std::uint32_t> values = list(index);
    if (values.size() <= kInline) return;
    const char* const first = reinterpret_cast<const char*>(values.data());
    const char* const last = first + values.size_bytes() - 1;
    for (const char* line = first; line < last; line += 64) __builtin_prefetch(line);
    __builtin_prefetch(last);
  }

  // Replaces the list's contents; `values` must not point into these lists.
  // A list that moves into the pool gets a run of at least `least_run`
  // values, and one that outgrows its run twice its old room. It allocates
  // only when the pool lacks the room that assign_room names.
  void assign(std::size_t index, std::span<const std::uint32_t> values, std::size_t least_run = 0);
  // Pool values that assign(index, values of this size, least_run) takes
  // from the pool's spare room; index may be a list yet to be made.
  std::size_t assign_room(std::size_t index, std::size_t size, std::size_t least_run = 0) const;
  // Spare room in the pool for this many values, so that assigns whose
  // room it covers cannot fail.
  void reserve_room(std::size_t values);
  // Pool values that can be taken without allocating.
  std::size_t spare_room() const { return pool_.capacity() - pool_.size(); }

  // Building lists in place, for loads: values are pushed onto the pool's
  // end and a list then adopts a range of them, so a long list is neither
  // staged elsewhere nor moved as it grows. Nothing may modify the lists
  // while pushed values wait to be adopted.
  std::size_t tail() const { return pool_.size(); }
  // Room for this many more pushes without moving the pool.
  void reserve_tail(std::size_t count);
  void push_tail(std::uint32_t value);
  // Replaces list `index` with the pushed values [begin, end). A short
  // range moves into the head, and the pool shrinks when it was its end.
  void adopt(std::size_t index, std::size_t begin, std::size_t end);
  // Compacts the pool once abandoned runs outweigh the live ones. It only
  // reclaims room, so a failed allocation skips it.
  void compact_if_wasteful() noexcept;

  // Empty when every list lies within its run and every run within the
  // pool; else what is broken.
  std::string check() const;

 private:
  static constexpr std::uint32_t kInline = 3;
  // Where a list longer than kInline keeps its run in the pool.
  static constexpr std::size_t kBegin = 0, kCapacity = 1;

  struct Head {
    std::uint32_t size = 0;
    std::uint32_t values[kInline] = {};  // the values, or begin and capacity of the run
  };

  // Room for `capacity` values at the pool's end; returns where it begins.
  std::uint32_t reserve_run(std::size_t capacity);
  // Counts a pooled list's run as abandoned (the list is about to leave it).
  void release_run(Head& head);

  LargeVector<Head> heads_;
  LargeVector<std::uint32_t> pool_;
  std::size_t abandoned_ = 0;  // pool entries no list owns any more
};

}  // namespace quorbell
