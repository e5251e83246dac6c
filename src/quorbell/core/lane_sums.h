// Sums of one query against several vectors, side by side.
//
// Each stored vector gets a SIMD lane of its own and its lane adds the terms
// one element at a time in index order, starting from -0.0. That is the
// order of the sequential sums in core/distance.h, so every result is
// bit-identical to them; the speed comes from running several sums at once,
// never from splitting one. Wider instruction sets are used only when the
// CPU reports them at run time, so a baseline build runs anywhere.
#pragma once

#include <cstddef>
#include <span>

namespace quorbell {

// out[k] = sum_products(query, vectors[k], length), for k < count.
void sum_products_lanes(const float* query, const float* const* vectors, std::size_t count, std::size_t length,
                        float* out);

// out[k] = sum_squared_differences(query, vectors[k], length), for k < count.
void sum_squared_differences_lanes(const float* query, const float* const* vectors, std::size_t count,
                                   std::size_t length, float* out);

// Vectors already in lane order: a block holds kBlockLanes vectors, and
// row i of a block holds element i of each of them side by side. Summing
// such blocks needs no shuffling at all, the fastest form of these sums.
inline constexpr std::size_t kBlockLanes = 16;  // one AVX-512 register

// out[b * kBlockLanes + j] = the sum of products of query and vector j of
// block b over its first `length` elements, for b < count; block b begins
// at blocks + b * block_floats.
void sum_products_blocks(const float* query, std::size_t length, const float* blocks, std::size_t block_floats,
                         std::size_t count, float* out);

// The same for sums of squared differences.
void sum_squared_differences_blocks(const float* query, std::size_t length, const float* blocks,
                                    std::size_t block_floats, std::size_t count, float* out);

// Several queries against the vectors of one block in lane order, each
// query element broadcast to every lane: out[q * kBlockLanes + j] = the sum
// of products of queries[q] and the vector in lane j over `length`
// elements, for q < query_count (1 to kRowQueries) and j < lanes (1 to
// kBlockLanes); out's other entries are left unspecified. Row i begins at
// rows + i * row_floats and is read kBlockLanes floats wide, so rows may
// begin at any lane of a block as long as the memory reaches that far.
inline constexpr std::size_t kRowQueries = 4;
void sum_products_rows(const float* const* queries, std::size_t query_count, std::size_t length, const float* rows,
                       std::size_t row_floats, std::size_t lanes, float* out);

// One implementation of the sums for one instruction set.
struct LaneKernels {
  using Sums = void (*)(const float*, const float* const*, std::size_t, std::size_t, float*);
  using BlockSums = void (*)(const float*, std::size_t, const float*, std::size_t, std::size_t, float*);
  using RowSums = void (*)(const float* const*, std::size_t, std::size_t, const float*, std::size_t, std::size_t,
                           float*);
  const char* name;
  Sums products;
  Sums squared_differences;
  BlockSums block_products;
  BlockSums block_squared_differences;
  RowSums row_products;
};

// Every implementation this CPU can run, narrowest first; the functions
// above use the last one.
std::span<const LaneKernels> supported_lane_kernels();

}  // namespace quorbell
