#include "core/large_arrays.h"

#include <cstdint>

#include <sys/mman.h>

namespace quorbell {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// From this size on an array is mapped on its own: see allocate_large.
constexpr std::size_t kMapped = std::size_t{256} << 10;

// A huge-page array is mapped in whole huge pages.
std::size_t huge_bytes(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

void* map(std::size_t bytes) {
  void* data = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (data == MAP_FAILED) throw std::bad_alloc();
  return data;
}

// `bytes` from a huge-page boundary: one huge page more is mapped, so that
// an aligned start lies within, and the excess on either side unmapped.
void* map_huge(std::size_t bytes) {
  const std::size_t size = huge_bytes(bytes);
  const auto begin = reinterpret_cast<std::uintptr_t>(map(size + kHugePage));
  const std::uintptr_t aligned = (begin + kHugePage - 1) / kHugePage * kHugePage;
  if (aligned > begin) munmap(reinterpret_cast<void*>(begin), aligned - begin);
  munmap(reinterpret_cast<void*>(aligned + size), begin + kHugePage - aligned);
  void* data = reinterpret_cast<void*>(aligned);
  madvise(data, size, MADV_HUGEPAGE);
  return data;
}
}  // namespace

// Arrays from a few hundred KiB up are mapped from the kernel rather than
// taken from the heap, so that one given back (the old array, each time a
// growing one moves) leaves the process at once. In the heap it would stay
// resident as free space that the next, larger array cannot use: a tenth
// of a large store's memory.
void* allocate_large(std::size_t bytes) {
  if (bytes < kMapped) return ::operator new(bytes);
  if (bytes < kHugePage) return map(bytes);
  if (bytes > std::numeric_limits<std::size_t>::max() - 2 * kHugePage) throw std::bad_alloc();
  return map_huge(bytes);
}

void free_large(void* data, std::size_t bytes) noexcept {
  if (bytes < kMapped) {
    ::operator delete(data);
  } else {
    munmap(data, bytes < kHugePage ? bytes : huge_bytes(bytes));
  }
}

}  // namespace quorbell
