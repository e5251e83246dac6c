#include "storage/byte_buffer.h"

#include <sys/mman.h>

namespace quorbell {

namespace {
// Buffers from this size on are mapped in whole huge pages.
constexpr std::size_t kHugePageBytes = std::size_t{2} << 20;
constexpr std::size_t kMappedFrom = 2 * kHugePageBytes;

std::size_t mapped_size(std::size_t size) { return (size + kHugePageBytes - 1) / kHugePageBytes * kHugePageBytes; }
}  // namespace

std::uint8_t* ByteAllocator::allocate(std::size_t size) {
  if (size < kMappedFrom) return static_cast<std::uint8_t*>(::operator new(size));
  void* bytes = ::mmap(nullptr, mapped_size(size), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (bytes == MAP_FAILED) throw std::bad_alloc();
  // Only advice: without huge pages the buffer works the same, just slower.
  (void)::madvise(bytes, mapped_size(size), MADV_HUGEPAGE);
  return static_cast<std::uint8_t*>(bytes);
}

void ByteAllocator::deallocate(std::uint8_t* bytes, std::size_t size) noexcept {
  if (size < kMappedFrom) {
    ::operator delete(bytes);
  } else {
    (void)::munmap(bytes, mapped_size(size));
  }
}

}  // namespace quorbell
