#include "core/large_arrays.h"

#include <cstdlib>

#include <sys/mman.h>

namespace quorbell {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;

// aligned_alloc takes whole multiples of the alignment.
std::size_t huge_bytes(std::size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }
}  // namespace

void* allocate_large(std::size_t bytes) {
  if (bytes < kHugePage) return ::operator new(bytes);
  if (bytes > std::numeric_limits<std::size_t>::max() - kHugePage) throw std::bad_alloc();
  void* data = std::aligned_alloc(kHugePage, huge_bytes(bytes));
  if (data == nullptr) throw std::bad_alloc();
  madvise(data, huge_bytes(bytes), MADV_HUGEPAGE);
  return data;
}

void free_large(void* data, std::size_t bytes) noexcept {
  if (bytes < kHugePage) {
    ::operator delete(data);
  } else {
    std::free(data);
  }
}

}  // namespace quorbell
