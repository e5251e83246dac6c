// Memory for the large arrays that searches read all over: vectors, point
// records, graph slots and lists, visited marks, id tables.
//
// A search touches a few entries of each, scattered over the whole store.
// With ordinary 4 KiB pages nearly every one of those touches misses the
// TLB, and the page walk (longer still under a hypervisor) comes before
// the cache miss itself. So an allocation of 2 MiB or more is mapped in
// whole huge pages from a huge-page boundary and asks the kernel to back
// it with huge pages. The request is a hint: where the kernel declines,
// the memory is ordinary and works the same. Allocations from 256 KiB are
// mapped too (freeing one unmaps it); smaller ones come from operator new
// like every other.
#pragma once

#include <cstddef>
#include <limits>
#include <memory>
#include <new>
#include <vector>

namespace quorbell {

// `bytes` of memory aligned for any type; throws std::bad_alloc.
void* allocate_large(std::size_t bytes);
// Gives back what allocate_large(bytes) returned, with the same bytes.
void free_large(void* data, std::size_t bytes) noexcept;

template <class T>
struct LargeAllocator {
  using value_type = T;
  LargeAllocator() = default;
  template <class U>
  LargeAllocator(const LargeAllocator<U>&) noexcept {}
  T* allocate(std::size_t count) {
    if (count > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
    return static_cast<T*>(allocate_large(count * sizeof(T)));
  }
  void deallocate(T* data, std::size_t count) noexcept { free_large(data, count * sizeof(T)); }
  friend bool operator==(const LargeAllocator&, const LargeAllocator&) { return true; }
};

template <class T>
using LargeVector = std::vector<T, LargeAllocator<T>>;

// A fixed run of floats from allocate_large.
struct FreeFloats {
  std::size_t count = 0;
  void operator()(float* data) const noexcept { free_large(data, count * sizeof(float)); }
};
using FloatRun = std::unique_ptr<float[], FreeFloats>;

inline FloatRun allocate_floats(std::size_t count) {
  return FloatRun(LargeAllocator<float>().allocate(count), FreeFloats{count});
}

}  // namespace quorbell
