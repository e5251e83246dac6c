// Memory for stored vectors, in chunks.
//
// A search reads vectors scattered over the whole store. With ordinary
// 4 KiB pages nearly every one of them misses the TLB, and the page walk
// (longer still under a hypervisor) comes before the cache miss itself. So
// a chunk of 2 MiB or more starts on a huge-page boundary and asks the
// kernel to back it with huge pages. The request is a hint: where the
// kernel declines, the chunk is ordinary memory and works the same.
// Smaller chunks come from operator new like every other allocation.
#pragma once

#include <cstddef>
#include <memory>

namespace quorbell {

struct FreeVectorChunk {
  bool huge = false;  // from aligned_alloc, else from new[]
  void operator()(float* data) const noexcept;
};
using VectorChunk = std::unique_ptr<float[], FreeVectorChunk>;

// Room for count floats (count > 0); throws std::bad_alloc.
VectorChunk allocate_vector_chunk(std::size_t count);

}  // namespace quorbell
