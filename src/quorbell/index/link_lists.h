// Many short growable lists of 32-bit values in one flat pool.
//
// Lists are numbered densely by their owner. Each occupies a run of the
// pool; a list that outgrows its run moves to the end of the pool with twice
// the room, and the pool is compacted once abandoned runs outweigh the live
// ones. Reading a list is one lookup and one contiguous span.
//
// Thread safety: const methods may run concurrently; anything else needs
// exclusive access.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace quorbell {

class LinkLists {
 public:
  // Number of lists; lists [0, count) exist and start empty.
  std::size_t count() const { return runs_.size(); }
  void resize(std::size_t count) { runs_.resize(count); }
  void reserve(std::size_t count) { runs_.reserve(count); }

  std::span<const std::uint32_t> list(std::size_t index) const {
    const Run& run = runs_[index];
    return {pool_.data() + run.begin, run.size};
  }
  std::size_t size(std::size_t index) const { return runs_[index].size; }
  // Asks the CPU to start loading where a list lives (the list itself
  // follows from there).
  void prefetch(std::size_t index) const { __builtin_prefetch(&runs_[index]); }

  void append(std::size_t index, std::uint32_t value);
  // Replaces the list's contents.
  void assign(std::size_t index, std::span<const std::uint32_t> values);

 private:
  struct Run {
    std::uint32_t begin = 0;
    std::uint32_t size = 0;
    std::uint32_t capacity = 0;
  };

  // Gives the list a fresh run of `capacity` at the pool's end, keeping its
  // contents.
  void relocate(Run& run, std::size_t capacity);
  void compact_if_wasteful();

  std::vector<Run> runs_;
  std::vector<std::uint32_t> pool_;
  std::size_t abandoned_ = 0;  // pool entries no run owns any more
};

}  // namespace quorbell
