// A growable byte buffer for whole snapshot files.
//
// Growth leaves new bytes uninitialised, so reading a file into the buffer
// touches each byte once instead of zero-filling it first. Large buffers are
// mapped directly and marked for transparent huge pages: filling a fresh
// buffer of tens of megabytes then costs a few dozen page faults instead of
// one per 4 KiB page, which would otherwise dominate the time of a load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <vector>

namespace quorbell {

class ByteAllocator {
 public:
  using value_type = std::uint8_t;
  template <class U>
  struct rebind {
    static_assert(std::is_same_v<U, std::uint8_t>, "a buffer of bytes only");
    using other = ByteAllocator;
  };

  std::uint8_t* allocate(std::size_t size);
  void deallocate(std::uint8_t* bytes, std::size_t size) noexcept;

  // Value-less construction default-initialises: for bytes, no write at all.
  void construct(std::uint8_t* byte) noexcept { ::new (static_cast<void*>(byte)) std::uint8_t; }
  void construct(std::uint8_t* byte, std::uint8_t value) noexcept { *byte = value; }

  bool operator==(const ByteAllocator&) const = default;
};

using ByteBuffer = std::vector<std::uint8_t, ByteAllocator>;

}  // namespace quorbell
