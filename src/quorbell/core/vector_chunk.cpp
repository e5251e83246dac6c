#include "core/vector_chunk.h"

#include <cstdlib>
#include <limits>
#include <new>

#include <sys/mman.h>

namespace quorbell {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
}  // namespace

void FreeVectorChunk::operator()(float* data) const noexcept {
  if (huge) {
    std::free(data);
  } else {
    delete[] data;
  }
}

VectorChunk allocate_vector_chunk(std::size_t count) {
  if (count < kHugePage / sizeof(float)) return VectorChunk(new float[count], FreeVectorChunk{false});
  if (count > (std::numeric_limits<std::size_t>::max() - kHugePage) / sizeof(float)) throw std::bad_alloc();
  // aligned_alloc takes whole multiples of the alignment.
  const std::size_t bytes = (count * sizeof(float) + kHugePage - 1) / kHugePage * kHugePage;
  void* data = std::aligned_alloc(kHugePage, bytes);
  if (data == nullptr) throw std::bad_alloc();
  madvise(data, bytes, MADV_HUGEPAGE);
  return VectorChunk(static_cast<float*>(data), FreeVectorChunk{true});
}

}  // namespace quorbell
