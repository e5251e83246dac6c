#include "core/large_arrays.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

namespace quorbell {
namespace {

constexpr std::size_t kHugePage = std::size_t{2} << 20;

// Sizes on either side of where arrays leave the heap and where they go
// onto huge pages: each must be aligned as promised and usable to its end.
class LargeArraySizes : public testing::TestWithParam<std::size_t> {};

TEST_P(LargeArraySizes, AlignedAndWritableToTheLastByte) {
  const std::size_t bytes = GetParam();
  auto* data = static_cast<unsigned char*>(allocate_large(bytes));
  const auto address = reinterpret_cast<std::uintptr_t>(data);
  EXPECT_EQ(address % alignof(std::max_align_t), 0u);
  if (bytes >= kHugePage) {
    EXPECT_EQ(address % kHugePage, 0u);
  }
  std::memset(data, 0xA5, bytes);
  EXPECT_EQ(data[0], 0xA5);
  EXPECT_EQ(data[bytes - 1], 0xA5);
  free_large(data, bytes);
}

INSTANTIATE_TEST_SUITE_P(AroundTheThresholds, LargeArraySizes,
                         testing::Values(1, (std::size_t{256} << 10) - 1, std::size_t{256} << 10,
                                         (std::size_t{256} << 10) + 4097, kHugePage - 1, kHugePage, 3 * kHugePage + 1));

}  // namespace
}  // namespace quorbell
